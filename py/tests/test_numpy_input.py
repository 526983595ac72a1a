"""NumPy arrays are read through their buffers; results and errors must be
exactly those of the same data given as Python lists."""
import array
import math

import pytest

from _tarnvault import Index

np = pytest.importorskip("numpy")

rng = np.random.default_rng(7)
DATA = (rng.standard_normal((50, 8)) * 10).astype(np.float64)
DATA[0, :4] = [1e39, -1e39, math.nan, 3.4028235e38 + 2.0**102]
QUERIES = rng.standard_normal((5, 8))
with np.errstate(over="ignore"):
    DATA32 = DATA.astype(np.float32)


def results(vectors, ids=None, queries=QUERIES.tolist(), metric="dot"):
    index = Index(metric, 8)
    index.insert_batch(list(range(len(vectors))) if ids is None else ids, vectors)
    return repr(index.search_batch(queries, 50))  # repr: NaN compares equal to itself


EXPECTED = results(DATA.tolist())


@pytest.mark.parametrize(
    "vectors",
    [
        DATA,
        DATA32,
        np.asfortranarray(DATA),
        np.ascontiguousarray(DATA[::-1])[::-1],
        np.repeat(DATA, 2, axis=1)[:, ::2],
        list(DATA32),
    ],
    ids=["float64", "float32", "fortran", "reversed", "strided", "list-of-rows"],
)
def test_vectors_match_list_path(vectors):
    assert results(vectors) == EXPECTED


def test_float64_rounds_like_the_element_path():
    assert results(DATA) == results(DATA32.tolist())


@pytest.mark.parametrize(
    "ids",
    [np.arange(50, dtype=t) for t in (np.int64, np.uint64, np.int32, np.uint8, np.int16)]
    + [array.array("q", range(50)), memoryview(array.array("L", range(50)))],
)
def test_integer_ids_match(ids):
    assert results(DATA, ids=ids) == EXPECTED


@pytest.mark.parametrize("query", [QUERIES[0], QUERIES[0].astype(np.float32), memoryview(QUERIES[0])])
def test_single_query_matches(query):
    index = Index("euclidean", 8)
    index.insert_batch(range(50), DATA)
    assert repr(index.search(query, 50)) == repr(index.search(QUERIES[0].tolist(), 50))


def test_full_uint64_range_round_trips():
    index = Index("dot", 1)
    index.insert_batch(np.array([2**64 - 1, 0], dtype=np.uint64), np.ones((2, 1), np.float32))
    assert sorted(i for i, _ in index.search([1.0], 2)) == [0, 2**64 - 1]


def error_of(call):
    with pytest.raises(Exception) as caught:
        call()
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize(
    "ids, vectors",
    [
        (np.array([1, -5], dtype=np.int64), DATA[:2]),  # negative id
        (np.array([1.0, 2.0]), DATA[:2]),  # float ids
        (np.arange(2), DATA[0]),  # 1-D array as the vector list
        (np.arange(2), DATA[:2].reshape(2, 4, 2)),  # 3-D
        (np.arange(2), DATA[:2, :4]),  # wrong dimension: core error
        (np.arange(2), np.array([["a"] * 8, ["b"] * 8])),
        (np.arange(3), DATA[:2]),  # length mismatch
    ],
)
def test_errors_match_list_path(ids, vectors):
    fast = error_of(lambda: Index("dot", 8).insert_batch(ids, vectors))
    slow = error_of(lambda: Index("dot", 8).insert_batch(list(ids), list(vectors)))
    assert fast == slow


def test_two_dimensional_array_as_single_vector():
    with pytest.raises(TypeError, match="^argument 'vector': "):
        Index("dot", 8).insert(1, DATA[:2])


def test_two_dimensional_memoryview_keeps_iteration_semantics():
    # A memoryview refuses to iterate more than one dimension; so must we.
    with pytest.raises(NotImplementedError):
        Index("dot", 8).insert_batch([1, 2], memoryview(DATA[:2]))


def test_bytes_are_integers():
    index = Index("euclidean", 3)
    index.insert_batch(b"\x01", [b"\x01\x02\x03"])
    assert index.search([1.0, 2.0, 3.0], 1) == [(1, 0.0)]
