"""query(): search results as NumPy arrays."""
import os
import subprocess
import sys

import numpy as np
import pytest

from _tarnvault import Collection, Index

PAD_ID = 2**64 - 1


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    s = Index("euclidean", 2) if request.param == "index" else Collection.open_or_create(
        str(tmp_path / "c"), 2, "euclidean")
    s.insert_batch([10, 11, 12], [[0, 0], [1, 0], [5, 5]], payloads=[{"g": 1}, {"g": 2}, {"g": 1}])
    return s


@pytest.mark.parametrize(
    "queries",
    [[[0, 0], [5, 5], [1, 0, 0]], np.array([[0, 0], [5, 5], [9, 9]], dtype=np.float32)],
)
def test_rows_match_search_batch_with_padding(store, queries):
    k = 4
    ids, distances = store.query(queries, k)
    assert ids.dtype == np.uint64 and distances.dtype == np.float32
    assert ids.shape == distances.shape == (3, k)
    for row, results in enumerate(store.search_batch(queries, k)):
        assert list(ids[row, :len(results)]) == [i for i, _ in results]
        assert list(distances[row, :len(results)]) == [d for _, d in results]
        assert all(ids[row, len(results):] == PAD_ID)
        assert all(np.isinf(distances[row, len(results):]))


def test_one_query_counts_as_one_row(store):
    for query in ([1, 0], (1.0, 0.0), np.array([1, 0], dtype=np.float64)):
        ids, distances = store.query(query, 2)
        assert ids.tolist() == [[11, 10]] and distances.tolist() == [[0.0, 1.0]]
    ids, distances = store.query([], 3)
    assert ids.shape == (0, 3)


def test_where_and_k_zero(store):
    ids, _ = store.query([[0, 0]], 3, where={"g": 1})
    assert ids.tolist() == [[10, 12, PAD_ID]]
    assert store.query([[0, 0]], 0)[0].shape == (1, 0)
    with pytest.raises(ValueError, match="invalid filter"):
        store.query([[0, 0]], 1, where=[1])
    with pytest.raises(TypeError, match="unexpected keyword argument 'with_payload'"):
        store.query([[0, 0]], 1, with_payload=True)


def test_numpy_is_imported_only_by_query():
    code = ("import sys, _tarnvault\n"
            "i = _tarnvault.Index('dot', 1); i.insert(1, [1]); i.search([1], 1)\n"
            "assert 'numpy' not in sys.modules\n"
            "i.query([1], 1)\n"
            "assert 'numpy' in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
