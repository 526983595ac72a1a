"""Deletes, lookups and the read-only views of both classes."""
import struct

import pytest

from _tarnvault import Collection, Index


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    if request.param == "index":
        return Index("cosine", 2)
    return Collection.open_or_create(str(tmp_path / "c"), 2, "cosine")


def test_delete_and_delete_batch(store):
    store.insert_batch([1, 2, 3, 4], [[1, 0], [0, 1], [1, 1], [2, 1]])
    assert store.delete(2) is True
    assert store.delete(2) is False
    assert store.delete_batch([1, 9, 1, 4]) == 2
    assert store.delete_batch([]) == 0
    assert store.ids() == [3]
    assert [i for i, _ in store.search([1, 1], 10)] == [3]
    store.insert(2, [0, 1])  # brings it back
    assert sorted(store.ids()) == [2, 3]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.delete(-1), OverflowError),
        (lambda s: s.delete("1"), TypeError),
        (lambda s: s.delete_batch([1, "x"]), TypeError),
        (lambda s: s.get(2**64), OverflowError),
        (lambda s: s.ids(1), TypeError),
    ],
)
def test_bad_arguments_change_nothing(store, call, error):
    store.insert(1, [1, 0])
    with pytest.raises(error):
        call(store)
    assert store.ids() == [1]


def test_get_is_bit_exact(store):
    values = [struct.unpack("f", struct.pack("f", v))[0] for v in (0.1, -3.4028234663852886e38)]
    store.insert(5, values, payload={"k": "v"})
    vector, payload = store.get(5)
    assert [struct.pack("f", v) for v in vector] == [struct.pack("f", v) for v in values]
    assert payload == {"k": "v"}
    assert store.get(6) is None


def test_len_contains_ids_and_bool(store):
    assert len(store) == 0 and bool(store) is True
    store.insert_batch([2**64 - 1, 0, 7], [[1, 0], [0, 1], [1, 1]])
    assert len(store) == 3
    assert 7 in store and True not in store and 0 in store and 8 not in store
    assert -1 not in store and 2**64 not in store
    with pytest.raises(TypeError):
        "7" in store
    with pytest.raises(TypeError):
        7.0 in store
    # Enumeration order: the order equal distances take in a search.
    assert store.ids() == [i for i, _ in store.search([0, 0], 10)]
    assert sorted(store.ids()) == [0, 7, 2**64 - 1]


def test_dimension_metric_and_repr(tmp_path):
    index = Index("dot", 3)
    index.insert(1, [1, 2, 3])
    assert (index.dimension, index.metric) == (3, "dot")
    assert repr(index) == "<Index dot dim=3 len=1>"
    path = str(tmp_path / "c")
    c = Collection.open_or_create(path, 4, "euclidean")
    assert (c.dimension, c.metric) == (4, "euclidean")
    assert repr(c) == f"<Collection {path!r} euclidean dim=4 len=0>"
    with pytest.raises(AttributeError):
        c.dimension = 5


def test_deletes_of_a_collection_last_across_reopens(tmp_path):
    path = str(tmp_path / "c")
    c = Collection.open_or_create(path, 2, "euclidean")
    c.insert_batch([1, 2, 3], [[1, 1], [2, 2], [3, 3]])
    c.flush()
    assert c.delete(1)
    c.insert(3, [4, 4], payload={"v": 2})
    del c  # not flushed: the log is replayed
    c = Collection.open(path)
    assert sorted(c.ids()) == [2, 3]
    assert c.get(3) == ([4.0, 4.0], {"v": 2})
    assert c.delete_batch([2, 3]) == 2
    c.flush()
    c.close()
    c = Collection.open(path)
    assert c.ids() == []
    c.insert(1, [5, 5])
    c.close()
    assert Collection.open(path).get(1) == ([5.0, 5.0], {})
