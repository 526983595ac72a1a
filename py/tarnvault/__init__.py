"""tarnvault: an embedded, exact-search vector database.

The classes are those of the extension module ``_tarnvault``, re-exported
here so that ``tarnvault.Index is _tarnvault.Index``; helpers and the command
line (``python3 -m tarnvault``) live beside this file.
"""

from _tarnvault import Collection, Index

# The one place the version is written: the package metadata reads it from
# here when the wheel is built.
__version__ = "0.1.0"

__all__ = ["Index", "Collection"]
