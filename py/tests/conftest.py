import ctypes

import pytest

from _tarnvault import Index


def f32(x):
    """The nearest 32-bit float to x, widened back (hardware narrowing)."""
    return ctypes.c_float(x).value


def stored_component(value):
    """The float32 the module stores for one vector component."""
    index = Index("dot", 1)
    index.insert(0, value if isinstance(value, (list, tuple)) else [value])
    # dot with the query [1.0] is +0.0 + 1*x, so the distance is -x exactly
    # (a stored -0.0 reads back as -0.0: -(+0.0 + -0.0) = -0.0).
    return -index.search([1.0], 1)[0][1]


@pytest.fixture
def index3():
    return Index("euclidean", 3)
