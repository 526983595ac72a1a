"""Collection.compact(): the dict it returns, the space it gives back, that
nothing a caller sees changes, and that a failed compaction keeps the
collection working. Crash safety is tested in the core."""

import os

import pytest

import _tarnvault
from _tarnvault import Collection

DIM = 4
RECORD = 28 + 4 * DIM  # bytes of a record with an empty payload
TAG = {"k": "v"}
TAGGED = RECORD - len('{"data":{}}') + len('{"data":{"k":"v"}}')


def vector(i, version=0):
    # Ids a multiple of 10 apart share a vector: ties for the enumeration order.
    return [float(i % 10), float(version), 1.0, -1.0]


def data_size(path):
    return os.path.getsize(os.path.join(path, "data.qvf"))


def seen(c):
    """Everything a caller sees: ids in order, each id's vector and payload,
    and full searches with payloads (ties in enumeration order)."""
    queries = [vector(0), vector(3, 1), [0.0] * DIM]
    return (c.ids(), [c.get(i) for i in c.ids()],
            [c.search(q, len(c) + 1, with_payload=True) for q in queries])


def delete_half(c):
    c.delete_batch(list(range(0, 100, 2)))


def replace_half(c):
    c.insert_batch(list(range(0, 100, 2)), [vector(i, 1) for i in range(0, 100, 2)])


def replace_tagged(c):
    for i in range(10):
        c.insert(i, vector(i, 2), payload=TAG)


def nothing(c):
    pass


# The changes are closed without a flush, so the reopen before the
# compaction replays them: every logged write appends its record once more.
@pytest.mark.parametrize("change, flush_first, dropped, before, live", [
    (delete_half, True, 50, 100 * RECORD, 50 * RECORD),
    (replace_half, True, 100, 200 * RECORD, 100 * RECORD),
    (replace_half, False, 200, 300 * RECORD, 100 * RECORD),
    (replace_tagged, True, 20, 100 * RECORD + 20 * TAGGED, 90 * RECORD + 10 * TAGGED),
    (nothing, True, 0, 100 * RECORD, 100 * RECORD),
], ids=["delete half", "replace half", "replace half unflushed", "replace with payloads",
        "nothing dead"])
def test_reclaims_dead_records_and_nothing_else(tmp_path, change, flush_first, dropped, before,
                                                live):
    path = str(tmp_path / "c")
    c = Collection.open_or_create(path, DIM, "euclidean")
    c.insert_batch(list(range(100)), [vector(i) for i in range(100)])
    if flush_first:
        c.flush()
    change(c)
    c.close()
    # What the read-only check says a compaction would reclaim...
    report = _tarnvault._verify(path)
    c = Collection.open(path)
    visible = seen(c)
    result = c.compact()
    assert result == {"bytes_before": before, "bytes_after": live, "records_dropped": dropped}
    # ... is what it reclaimed.
    assert report["data_dead_bytes"] == result["bytes_before"] - result["bytes_after"]
    assert report["data_live_bytes"] == live
    assert data_size(path) == live
    assert seen(c) == visible
    assert c.compact()["records_dropped"] == 0
    c.close()
    after = _tarnvault._verify(path)
    assert (after["data_size"], after["data_live_bytes"], after["data_dead_bytes"]) == (live, live, 0)
    with Collection.open(path) as c:
        assert {i: c.get(i) for i in c.ids()} == dict(zip(visible[0], visible[1]))


def test_a_failed_compaction_keeps_the_collection_working(tmp_path):
    path = str(tmp_path / "c")
    c = Collection.open_or_create(path, DIM, "dot")
    c.insert_batch(list(range(20)), [vector(i) for i in range(20)])
    c.delete(3)
    # Where the new file must go stands a directory: even root cannot create it.
    blocker = os.path.join(path, "data.qvf.compact")
    os.mkdir(blocker)
    size = data_size(path)
    with pytest.raises(OSError) as caught:
        c.compact()
    assert str(caught.value).startswith("io error: failed to open data file: ")
    assert data_size(path) == size
    c.insert(30, vector(30))
    assert 30 in c and 3 not in c and len(c) == 20
    os.rmdir(blocker)
    assert c.compact()["records_dropped"] == 1
    c.close()
    with Collection.open(path) as c:
        assert sorted(c.ids()) == sorted(set(range(20)) - {3} | {30})


def test_open_removes_a_leftover(tmp_path):
    path = str(tmp_path / "c")
    with Collection.open_or_create(path, DIM, "euclidean") as c:
        c.insert(1, vector(1))
    leftover = os.path.join(path, "data.qvf.compact")
    with open(leftover, "wb") as f:
        f.write(b"half a compaction")
    with Collection.open(path) as c:
        assert not os.path.exists(leftover)
        assert c.get(1) == (vector(1), {})


def test_takes_no_arguments(tmp_path):
    c = Collection.open_or_create(str(tmp_path / "c"), DIM, "euclidean")
    with pytest.raises(TypeError):
        c.compact(True)  # type: ignore[call-arg]
    assert Collection.compact.__text_signature__ == "($self)"
