"""Opening as stored, read-only opens, close and `with` for Collection."""
import os
import pathlib
import shutil

import pytest

from _tarnvault import Collection

FILES = ("meta.json", "wal.log", "data.qvf")


def snapshot(path):
    return {name: (path / name).read_bytes() for name in FILES}


@pytest.fixture
def path(tmp_path):
    """A collection of dimension 2, cosine, with flushed and logged records."""
    where = tmp_path / "c"
    c = Collection.open_or_create(str(where), 2, "cosine")
    c.insert_batch([1, 2, 3], [[1, 0], [0, 1], [1, 1]], payloads=[{"a": 1}, None, None])
    c.flush()
    c.insert(4, [2, 1])
    c.delete(2)
    c.close()
    return where


def test_open_takes_dimension_and_metric_from_the_collection(path):
    c = Collection.open(path)  # os.PathLike
    assert (c.dimension, c.metric) == (2, "cosine")
    assert sorted(c.ids()) == [1, 3, 4]
    assert c.get(1)[1] == {"a": 1}


@pytest.mark.parametrize("read_only", [False, True])
def test_open_of_a_directory_without_a_collection_creates_nothing(tmp_path, read_only):
    missing = tmp_path / "missing"
    with pytest.raises(OSError) as caught:
        Collection.open(missing, read_only=read_only)
    assert str(caught.value) == f"collection error: no collection at {missing}"
    assert not missing.exists()
    with pytest.raises(OSError):
        Collection.open(str(tmp_path), read_only=read_only)
    assert os.listdir(tmp_path) == []


def test_read_only_changes_no_file_and_refuses_writes(path):
    before = snapshot(path)
    with Collection.open(path, read_only=True) as c:
        assert sorted(c.ids()) == [1, 3, 4]
        assert c.search([1, 0], 1) == [(1, 0.0)]
        for write in (lambda: c.insert(9, [1, 1]), lambda: c.insert_batch([9], [[1, 1]]),
                      lambda: c.delete(1), lambda: c.delete_batch([1]), c.flush, c.compact):
            with pytest.raises(ValueError) as caught:
                write()
            assert str(caught.value) == "collection is read-only"
    assert snapshot(path) == before


def test_read_only_opens_share_the_directory_and_exclude_a_writer(path):
    first = Collection.open(path, read_only=True)
    second = Collection.open(str(path), read_only=True)
    with pytest.raises(OSError, match="is already open"):
        Collection.open(path)
    with pytest.raises(OSError, match="is already open"):
        Collection.open_or_create(path, 2, "cosine")
    first.close()
    second.close()
    writer = Collection.open(path)
    with pytest.raises(OSError, match="is already open"):
        Collection.open(path, read_only=True)
    writer.close()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"read_only": 1}, TypeError, "argument 'read_only': 'int' object cannot be converted to 'bool'"),
        ({"sync": "sometimes"}, ValueError, "Invalid sync mode"),
        ({"sync": 1}, TypeError, "argument 'sync': 'int' object cannot be converted to 'PyString'"),
        ({"mode": "r"}, TypeError, "Collection.open() got an unexpected keyword argument 'mode'"),
    ],
)
def test_open_argument_errors(path, kwargs, error, message):
    with pytest.raises(error) as caught:
        Collection.open(path, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("sync", ["always", "batched", "never"])
def test_sync_modes(tmp_path, sync):
    c = Collection.open_or_create(tmp_path / "c", 1, "dot", sync=sync)
    c.insert(1, [1.0])
    c.close()
    assert Collection.open(tmp_path / "c", sync=sync).ids() == [1]


def test_open_or_create_with_another_metric_uses_it_and_records_it_at_flush(path):
    c = Collection.open_or_create(path, 2, "dot")
    assert c.metric == "dot"
    c.flush()
    c.close()
    assert Collection.open(path).metric == "dot"


def test_close(path):
    c = Collection.open(path)
    c.insert(5, [1, 1])
    c.close()
    c.close()  # again: nothing
    assert (c.dimension, c.metric) == (2, "cosine")
    assert repr(c) == f"<Collection {str(path)!r} cosine dim=2 closed>"
    for call in (lambda: c.insert(6, [1, 1]), lambda: c.search([1, 1], 1), c.flush, c.compact,
                 c.ids,
                 lambda: len(c), lambda: 5 in c, lambda: c.get(5), lambda: c.query([1, 1], 1),
                 c.__enter__):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == "collection is closed"
    # The lock went at once, and the buffers were written out.
    assert 5 in Collection.open(path)


def test_with_flushes_then_closes(path):
    with Collection.open(path) as c:
        c.insert(7, [1, 2])
    with pytest.raises(ValueError, match="closed"):
        c.ids()
    assert (path / "wal.log").stat().st_size == 0  # flushed: the log is empty
    assert 7 in Collection.open(path)


def test_with_closes_on_an_exception_and_lets_it_through(path):
    with pytest.raises(KeyError):
        with Collection.open(path) as c:
            c.insert(8, [1, 2])
            raise KeyError("inside")
    with pytest.raises(ValueError, match="closed"):
        len(c)
    assert 8 in Collection.open(path)


def test_leaving_a_block_whose_collection_was_closed_does_nothing(path):
    with Collection.open(path) as c:
        c.close()
    with Collection.open(path):
        pass


@pytest.mark.parametrize("raising", [None, KeyError])
def test_a_failed_flush_still_closes_and_propagates_unless_another_error_does(path, raising):
    c = Collection.open(path)
    c.insert(9, [1, 1])
    shutil.rmtree(path)  # meta.json can no longer be written
    with pytest.raises(raising or OSError):
        with c:
            if raising:
                raise raising("first")
    with pytest.raises(ValueError, match="closed"):
        len(c)


def test_paths_may_be_path_like(tmp_path):
    class Custom(os.PathLike):
        def __fspath__(self):
            return str(tmp_path / "custom")

    Collection.open_or_create(Custom(), 1, "dot").close()
    assert Collection.open(pathlib.Path(tmp_path / "custom")).dimension == 1
    with pytest.raises(TypeError, match="argument 'path'"):
        Collection.open(b"bytes")
