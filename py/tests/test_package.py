import re

import _tarnvault
import tarnvault


def test_package_reexports_the_module_classes():
    assert tarnvault.Index is _tarnvault.Index
    assert tarnvault.Collection is _tarnvault.Collection
    assert tarnvault.__all__ == ["Index", "Collection"]


def test_version_is_a_release_number():
    assert re.fullmatch(r"\d+\.\d+\.\d+", tarnvault.__version__)
