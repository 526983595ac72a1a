"""python3 -m tarnvault: the command line (see tarnvault/cli.py)."""

import sys

from .cli import main

sys.exit(main())
