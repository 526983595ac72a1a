import pytest

from _tarnvault import Index
from conftest import f32


def test_results_are_int_float_tuples_of_exact_float32_distances():
    index = Index("euclidean", 2)
    index.insert(2**64 - 1, [0.1, 0.2])
    index.insert(3, [1.0, 1.0])
    results = index.search([0.0, 0.2], 5)
    assert [type(r) for r in results] == [tuple, tuple]
    (top_id, top_distance), _ = results
    assert type(top_id) is int and top_id == 2**64 - 1
    assert type(top_distance) is float and top_distance == f32(0.1)


@pytest.mark.parametrize(
    "metric, expected",
    [("euclidean", [(1, 0.0), (2, 1.0)]), ("dot", [(2, -2.0), (1, -1.0)]), ("cosine", [(2, 0.0), (1, 1.0)])],
)
def test_metric_names_select_metrics(metric, expected):
    index = Index(metric, 2)
    index.insert_batch([1, 2], [[1.0, 0.0], [0.0, 2.0]] if metric == "cosine" else [[1.0, 0.0], [2.0, 0.0]])
    assert index.search([0.0, 1.0] if metric == "cosine" else [1.0, 0.0], 2) == expected


def test_duplicate_id_keeps_first_vector(index3):
    index3.insert(7, [1, 2, 3])
    with pytest.raises(ValueError) as caught:
        index3.insert(7, [4, 5, 6])
    assert caught.value.args == ("duplicate vector id: 7",)
    assert index3.search([1, 2, 3], 5) == [(7, 0.0)]


def test_dimension_checked_before_duplicate(index3):
    index3.insert(7, [1, 2, 3])
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
        index3.insert(7, [1, 2])


@pytest.mark.parametrize("query, k", [([1, 2, 3], 0), ([1, 2], 5), ([1, 2, 3, 4], 5)])
def test_searches_that_find_nothing(query, k, index3):
    assert Index("cosine", 3).search([1, 2, 3], 5) == []
    index3.insert(1, [1, 2, 3])
    assert index3.search(query, k) == []


def test_k_beyond_count_returns_all_sorted(index3):
    index3.insert_batch(range(3), [[3, 0, 0], [1, 0, 0], [2, 0, 0]])
    assert index3.search([0, 0, 0], 2**64 - 1) == [(1, 1.0), (2, 2.0), (0, 3.0)]


def test_batch_length_mismatch_stores_nothing(index3):
    with pytest.raises(ValueError, match="^ids and vectors must have the same length$"):
        index3.insert_batch([1, 2], [[0, 0, 0]])
    assert index3.search([0, 0, 0], 5) == []


def test_batch_stops_at_first_failure(index3):
    with pytest.raises(ValueError, match="^duplicate vector id: 5$"):
        index3.insert_batch([4, 5, 5, 6], [[4, 0, 0], [5, 0, 0], [9, 9, 9], [6, 0, 0]])
    assert sorted(index3.search([0, 0, 0], 10)) == [(4, 4.0), (5, 5.0)]


def test_batch_converts_ids_before_vectors(index3):
    with pytest.raises(TypeError, match="^argument 'ids'"):
        index3.insert_batch([1.5], "not vectors")


def test_empty_batches(index3):
    assert index3.insert_batch([], []) is None
    assert index3.search_batch([], 3) == []


def test_search_batch_keeps_query_order(index3):
    index3.insert_batch([1, 2], [[1, 0, 0], [0, 1, 0]])
    assert index3.search_batch([[0, 1, 0], [1, 0], [1, 0, 0]], 1) == [[(2, 0.0)], [], [(1, 0.0)]]


def test_dimension_zero_stores_and_finds_empty_vectors():
    index = Index("dot", 0)
    index.insert_batch([1, 2], [[], ()])
    assert sorted(index.search([], 5)) == [(1, -0.0), (2, -0.0)]
    with pytest.raises(ValueError, match="^dimension mismatch: expected 0, got 1$"):
        index.insert(3, [1.0])
