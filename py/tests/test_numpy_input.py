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


def unaligned(array):
    raw = np.frombuffer(b"\0" + array.tobytes(), dtype=np.uint8)[1:]
    view = raw.view(array.dtype).reshape(array.shape)
    assert view.ctypes.data % array.dtype.alignment != 0
    return view


def read_only(array):
    copy = array.copy()
    copy.setflags(write=False)
    return copy


@pytest.mark.parametrize(
    "vectors",
    [
        DATA,
        DATA32,
        np.asfortranarray(DATA),
        np.ascontiguousarray(DATA[::-1])[::-1],
        np.repeat(DATA, 2, axis=1)[:, ::2],
        list(DATA32),
        np.pad(DATA32, ((0, 0), (0, 3)))[:, :8],
        np.ascontiguousarray(DATA32[::-1])[::-1],
        np.repeat(DATA32, 2, axis=1)[:, ::2],
        np.asfortranarray(DATA32),
        unaligned(DATA32),
        read_only(DATA32),
    ],
    ids=["float64", "float32", "fortran", "reversed", "strided", "list-of-rows",
         "float32-padded-rows", "float32-reversed", "float32-strided", "float32-fortran",
         "float32-unaligned", "float32-read-only"],
)
def test_vectors_match_list_path(vectors):
    assert results(vectors) == EXPECTED


def single_insert_results(rows, payload):
    index = Index("dot", 8)
    for i, row in enumerate(rows):
        if payload == "absent":
            index.insert(i, row)
        else:
            index.insert(i, row, payload=payload)
    return repr(index.search_batch(QUERIES.tolist(), 50))


# A lone float32 vector is read in place when its components lie side by
# side; every other layout is copied. Both must give the list path's result.
@pytest.mark.parametrize(
    "rows",
    [
        DATA32,
        np.asfortranarray(DATA32),
        np.ascontiguousarray(DATA32[:, ::-1])[:, ::-1],
        unaligned(DATA32),
        read_only(DATA32),
        [memoryview(row) for row in DATA32],
        [array.array("f", row) for row in DATA32],
        DATA,
    ],
    ids=["float32", "float32-fortran", "float32-reversed-components", "float32-unaligned",
         "float32-read-only", "memoryview", "array-module", "float64"],
)
@pytest.mark.parametrize("payload", ["absent", None, {"k": 1}])
def test_single_vectors_match_list_path(rows, payload):
    assert single_insert_results(rows, payload) == EXPECTED


def test_single_vector_is_copied_and_released():
    row = DATA32[1].copy()
    index = Index("dot", 8)
    index.insert(1, row)
    row[:] = 0
    row.resize((1,), refcheck=False)  # refused while a buffer is still exported
    assert index.get(1) == (DATA32[1].tolist(), {})


def test_stored_rows_are_copies_and_the_array_is_released():
    vectors = DATA32.copy()
    index = Index("dot", 8)
    index.insert_batch(range(50), vectors)
    vectors[:] = 0
    vectors.resize((1, 8), refcheck=False)  # refused while a buffer is still exported
    assert repr(index.search_batch(QUERIES.tolist(), 50)) == EXPECTED


def test_empty_float32_batches():
    index = Index("dot", 8)
    index.insert_batch([], np.zeros((0, 8), np.float32))
    assert index.search([1.0] * 8, 5) == []
    with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 0$"):
        index.insert_batch(range(3), np.zeros((3, 0), np.float32))


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


FINITE32 = DATA32[1:]  # the log holds finite components only


@pytest.mark.parametrize("rows", [FINITE32, np.pad(FINITE32, ((0, 0), (0, 3)))[:, :8]],
                         ids=["contiguous", "padded-rows"])
def test_collection_files_match_list_path(tmp_path, rows):
    from _tarnvault import Collection

    def files_after_insert(name, vectors):
        path = tmp_path / name
        collection = Collection.open_or_create(str(path), 8, "dot")
        collection.insert_batch(range(len(FINITE32)), vectors)
        del collection  # writes out the buffers
        return {file: (path / file).read_bytes() for file in ("wal.log", "data.qvf")}

    assert files_after_insert("array", rows) == files_after_insert("lists", FINITE32.tolist())
