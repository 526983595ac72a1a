import io
import os
import re
import subprocess
import sys

import pytest

import _tarnvault
from tarnvault import cli

np = pytest.importorskip("numpy")


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def make_collection(path, count=5, dimension=3, flush=True, metric="euclidean"):
    collection = _tarnvault.Collection.open_or_create(str(path), dimension, metric)
    collection.insert_batch(list(range(1, count + 1)),
                            [[float(i)] * dimension for i in range(1, count + 1)])
    if flush:
        collection.flush()
    del collection  # releases the directory's lock


def snapshot(path):
    return {name: (os.stat(path / name).st_mtime_ns, (path / name).read_bytes())
            for name in sorted(os.listdir(path))}


def report(path):
    return _tarnvault._verify(str(path))


@pytest.mark.parametrize("flush", [True, False])
def test_info_and_verify_read_without_changing_a_file(tmp_path, capsys, flush):
    make_collection(tmp_path / "c", flush=flush)
    before = snapshot(tmp_path / "c")
    status, out, _ = run(capsys, "info", tmp_path / "c")
    assert status == 0
    assert "dimension: 3" in out and "metric:    euclidean" in out
    assert "vectors:   5" in out and "next id:   6" in out
    assert ("nothing unflushed" in out) == flush
    assert run(capsys, "verify", tmp_path / "c")[0] == 0
    assert snapshot(tmp_path / "c") == before


def test_info_finds_the_state_recovery_would(tmp_path):
    # meta.json still says what the first flush wrote; the log holds more.
    path = tmp_path / "c"
    make_collection(path, count=2)
    collection = _tarnvault.Collection.open_or_create(str(path), 3, "euclidean")
    collection.insert(41, [0.0, 0.0, 0.0])
    collection.insert(1, [9.0, 9.0, 9.0])  # replaces id 1
    del collection
    found = report(path)
    assert (found["live_vectors"], found["next_id"], found["unflushed_records"]) == (3, 42, 2)
    assert (found["meta_vector_count"], found["meta_next_id"]) == (2, 3)


def corrupt(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


@pytest.mark.parametrize("file, offset, data, status, expected", [
    # The first record's body flipped, good records after it: damage.
    ("wal.log", 10, b"#", 1, "DAMAGE in wal.log at offset 0"),
    # The first record's dimension made huge: it runs past the end.
    ("data.qvf", 9, b"\xff\xff\xff\x7f", 1, "DAMAGE in data.qvf at offset 0"),
    # Half a record at the end, as a crash leaves it: reported, not damage.
    ("wal.log", None, b"\x01\x02\x03\x04\x40\x00\x00\x00{\"ki", 0, "torn tail in wal.log"),
    ("data.qvf", None, b"\x00\x07\x00\x00\x00\x00\x00\x00\x00\x03\x00", 0,
     "torn tail in data.qvf"),
    ("meta.json", 0, b"[[[", 1, "DAMAGE in meta.json"),
])
def test_verify_reports_damage_and_torn_tails(tmp_path, capsys, file, offset, data, status,
                                              expected):
    path = tmp_path / "c"
    make_collection(path, flush=file != "wal.log")
    if offset is None:
        with open(path / file, "ab") as f:
            f.write(data)
    else:
        corrupt(path / file, offset, data)
    before = snapshot(path)
    got, out, err = run(capsys, "verify", path)
    assert (got, expected in out) == (status, True), out + err
    assert snapshot(path) == before


def test_verify_refuses_a_collection_open_elsewhere(tmp_path, capsys):
    make_collection(tmp_path / "c")
    held = _tarnvault.Collection.open_or_create(str(tmp_path / "c"), 3, "euclidean")
    status, out, err = run(capsys, "verify", tmp_path / "c")
    assert status == 2 and "already open" in err and err.count("\n") == 1
    del held
    assert run(capsys, "verify", tmp_path / "c")[0] == 0


@pytest.mark.parametrize("argv, message", [
    (["verify", "{tmp}/missing"], "no collection at"),
    (["info", "{tmp}"], "no meta.json"),
    (["verify"], "the following arguments are required"),
    (["frobnicate"], "invalid choice"),
    (["import", "{tmp}/c", "{tmp}/missing.npy"], "cannot read"),
    (["import", "{tmp}/c", "{tmp}/text.npy"], "cannot read"),
    (["import", "{tmp}/c", "{tmp}/ints.npy"], "expected a 2-D array of floats"),
    (["import", "{tmp}/c", "{tmp}/v.npy", "--batch", "0"], "--batch"),
    (["import", "{tmp}/c", "{tmp}/v.npy", "--ids", "{tmp}/short_ids.npy"], "2 ids for 4"),
    (["import", "{tmp}/c", "{tmp}/v.npy", "--metric", "manhattan"], "invalid choice"),
])
def test_bad_input_fails_in_one_line(tmp_path, capsys, argv, message):
    (tmp_path / "text.npy").write_text("not an array")
    np.save(tmp_path / "ints.npy", np.arange(6).reshape(2, 3))
    np.save(tmp_path / "v.npy", np.ones((4, 3), dtype=np.float32))
    np.save(tmp_path / "short_ids.npy", np.arange(2, dtype=np.uint64))
    status, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in argv])
    assert status == 2
    assert message in err and err.startswith("tarnvault: ") and err.count("\n") == 1
    assert not (tmp_path / "c").exists()


def test_import_into_a_new_then_an_existing_collection(tmp_path, capsys):
    path = tmp_path / "c"
    first = np.arange(12, dtype=np.float32).reshape(4, 3)
    np.save(tmp_path / "first.npy", first)
    assert run(capsys, "import", path, tmp_path / "first.npy", "--metric", "dot",
               "--batch", "3")[0] == 0
    found = report(path)
    assert (found["metric"], found["live_vectors"], found["unflushed_records"]) == \
        ("DotProduct", 4, 0)

    # An existing collection keeps its metric, and ids continue from its next id.
    np.save(tmp_path / "second.npy", first[:2] + 100)
    assert run(capsys, "import", path, tmp_path / "second.npy")[0] == 0
    np.save(tmp_path / "ids.npy", np.array([2**64 - 1], dtype=np.uint64))
    np.save(tmp_path / "third.npy", first[:1] - 100)
    assert run(capsys, "import", path, tmp_path / "third.npy",
               "--ids", tmp_path / "ids.npy")[0] == 0

    collection = _tarnvault.Collection.open_or_create(str(path), 3, "dot")
    hits = collection.search([1.0, 1.0, 1.0], 10)
    del collection
    assert sorted(id for id, _ in hits) == [0, 1, 2, 3, 4, 5, 2**64 - 1]
    assert dict(hits)[4] == -float(np.sum(first[0] + 100))

    status, _, err = run(capsys, "import", path, tmp_path / "second.npy", "--metric", "cosine")
    assert status == 2 and "uses the metric dot" in err
    np.save(tmp_path / "wide.npy", np.ones((1, 4), dtype=np.float32))
    status, _, err = run(capsys, "import", path, tmp_path / "wide.npy")
    assert status == 2 and "wrong dimension" in err


def test_import_reads_fvecs(tmp_path, capsys):
    rows = np.arange(8, dtype=np.float32).reshape(2, 4)
    with open(tmp_path / "v.fvecs", "wb") as f:
        for row in rows:
            f.write(np.int32(4).tobytes() + row.tobytes())
    assert run(capsys, "import", tmp_path / "c", tmp_path / "v.fvecs")[0] == 0
    collection = _tarnvault.Collection.open_or_create(str(tmp_path / "c"), 4, "euclidean")
    assert collection.search(rows[1], 1) == [(1, 0.0)]
    del collection
    (tmp_path / "bad.fvecs").write_bytes(np.int32(4).tobytes() + b"\0" * 5)
    assert run(capsys, "import", tmp_path / "d", tmp_path / "bad.fvecs")[0] == 2


def test_import_without_numpy_says_so(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    status, _, err = run(capsys, "import", tmp_path / "c", tmp_path / "v.npy")
    assert status == 2 and "needs NumPy" in err


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("with_tqdm", [False, True])
def test_progress_on_a_terminal(monkeypatch, with_tqdm):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    step = cli._progress(10, "import")
    step(4)
    step(6)
    step(0, close=True)
    shown = terminal.getvalue()
    assert "100%" in shown and ("10.0/10.0" if with_tqdm else "10/10") in shown


def test_no_progress_off_a_terminal(monkeypatch):
    quiet = io.StringIO()
    monkeypatch.setattr(sys, "stderr", quiet)
    step = cli._progress(10, "import")
    step(10, close=True)
    assert quiet.getvalue() == ""


def test_module_entry_point_exits_cleanly(tmp_path):
    done = subprocess.run([sys.executable, "-m", "tarnvault", "verify", str(tmp_path / "none")],
                          capture_output=True, text=True, env=dict(os.environ))
    assert done.returncode == 2
    assert done.stderr.startswith("tarnvault: no collection at") and "Traceback" not in done.stderr


# ---------------------------------------------------------------- search and export

def mixed_collection(path, state="logged"):
    """Dimension 3: flushed records, then replacements and deletes that only
    the log holds (the reading verbs must see what recovery would)."""
    collection = _tarnvault.Collection.open_or_create(str(path), 3, "euclidean")
    collection.insert_batch(list(range(10, 18)), [[i, i / 2, -i] for i in range(8)])
    collection.flush()
    if state != "flushed":
        collection.insert(12, [0.5, 0.25, 7.0])  # replaces id 12
        collection.delete(15)
        collection.insert(3, [0.1, 0.2, 0.3])
    collection.close()
    if state == "torn log":
        # Half a record, as a crash leaves it; a reader must not cut it off.
        with open(path / "wal.log", "ab") as f:
            f.write(b"\x01\x02\x03\x04\x40\x00\x00\x00{\"ki")


def parse_results(out):
    lines = out.splitlines()
    assert lines[0] == "query\tid\tdistance"
    rows = [line.split("\t") for line in lines[1:]]
    return [(int(q), int(i), d) for q, i, d in rows]


def expected_results(path, queries, k):
    with _tarnvault.Collection.open(str(path), read_only=True) as collection:
        return [(q, id, distance) for q, hits in enumerate(collection.search_batch(queries, k))
                for id, distance in hits]


QUERIES = [[1.0, 0.5, -1.0], [0.1, 0.2, 0.3], [-3.0, 7.25, 1e-3]]


@pytest.mark.parametrize("state", ["flushed", "logged", "torn log"])
@pytest.mark.parametrize("verb", ["info", "verify", "search --vector", "search --query",
                                  "export"])
def test_reading_verbs_change_no_file(tmp_path, capsys, state, verb):
    path = tmp_path / "c"
    mixed_collection(path, state)
    np.save(tmp_path / "q.npy", np.array(QUERIES, dtype=np.float32))
    argv = {
        "info": ["info", path],
        "verify": ["verify", path],
        "search --vector": ["search", path, "--vector", "1,2,3", "-k", "4"],
        "search --query": ["search", path, "--query", tmp_path / "q.npy"],
        "export": ["export", path, tmp_path / "out.npy", "--ids", tmp_path / "ids.npy"],
    }[verb]
    before = snapshot(path)
    assert set(before) == {"meta.json", "wal.log", "data.qvf"}
    status, out, err = run(capsys, *argv)
    assert (status, err) == (0, "")
    assert snapshot(path) == before  # bytes and mtimes, and no file added


@pytest.mark.parametrize("source", ["vector", "npy 2-D", "npy 1-D float64", "fvecs"])
@pytest.mark.parametrize("k", [1, 4, 50])
def test_search_prints_what_a_search_finds(tmp_path, capsys, source, k):
    path = tmp_path / "c"
    mixed_collection(path)
    queries = QUERIES[:1] if source in ("vector", "npy 1-D float64") else QUERIES
    if source == "vector":
        argv = ["--vector=" + ",".join(map(repr, queries[0]))]
    elif source == "npy 1-D float64":
        np.save(tmp_path / "q.npy", np.array(queries[0], dtype=np.float64))
        argv = ["--query", tmp_path / "q.npy"]
    elif source == "npy 2-D":
        np.save(tmp_path / "q.npy", np.array(queries, dtype=np.float32))
        argv = ["--query", tmp_path / "q.npy"]
    else:
        with open(tmp_path / "q.fvecs", "wb") as f:
            for row in np.array(queries, dtype=np.float32):
                f.write(np.int32(3).tobytes() + row.tobytes())
        argv = ["--query", tmp_path / "q.fvecs"]
    status, out, _ = run(capsys, "search", path, *argv, "-k", k)
    assert status == 0
    printed = parse_results(out)
    expected = expected_results(path, queries, k)
    assert [(q, i) for q, i, _ in printed] == [(q, i) for q, i, _ in expected]
    # The printed distance reads back as the very float32 the search gave.
    for (_, _, text), (_, _, distance) in zip(printed, expected):
        assert float(np.float32(text)) == distance
        assert len(text) <= len(repr(distance))
    assert 12 in {i for _, i, _ in printed} or k < 8  # the replaced vector is found
    assert 15 not in {i for _, i, _ in printed}       # the deleted one is not


@pytest.mark.parametrize("state", ["flushed", "logged", "empty"])
def test_export_round_trips_through_import(tmp_path, capsys, state):
    path = tmp_path / "c"
    if state == "empty":
        _tarnvault.Collection.open_or_create(str(path), 3, "euclidean").close()
    else:
        mixed_collection(path, state)
    status, out, _ = run(capsys, "export", path, tmp_path / "v.npy", "--ids", tmp_path / "i.npy")
    assert status == 0 and "exported" in out
    vectors, ids = np.load(tmp_path / "v.npy"), np.load(tmp_path / "i.npy")
    assert (vectors.dtype, vectors.shape[1:], ids.dtype) == (np.float32, (3,), np.uint64)
    with _tarnvault.Collection.open(str(path), read_only=True) as original:
        # Enumeration order, so that a re-import keeps the order of ties.
        assert ids.tolist() == original.ids()
        if len(ids):
            assert run(capsys, "import", tmp_path / "copy", tmp_path / "v.npy",
                       "--ids", tmp_path / "i.npy")[0] == 0
            with _tarnvault.Collection.open(str(tmp_path / "copy")) as copy:
                assert copy.ids() == original.ids()
                for id in original.ids():
                    assert copy.get(id)[0] == original.get(id)[0]  # bit-exact floats
    # Without --ids only the vectors are written, in the same order.
    assert run(capsys, "export", path, tmp_path / "w.npy")[0] == 0
    assert np.load(tmp_path / "w.npy").tobytes() == vectors.tobytes()
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["c", "v.npy", "i.npy", "w.npy"] + (["copy"] if len(ids) else []))


@pytest.mark.parametrize("argv, message", [
    (["search", "{tmp}/missing", "--vector", "1,2,3"], "no collection at"),
    (["export", "{tmp}/missing", "{tmp}/out.npy"], "no collection at"),
    (["search", "{tmp}", "--vector", "1,2,3"], "no meta.json"),
    (["search", "{tmp}/c"], "one of the arguments --query --vector is required"),
    (["search", "{tmp}/c", "--vector", "1,2,3", "--query", "{tmp}/q.npy"], "not allowed with"),
    (["search", "{tmp}/c", "--vector", "1,2,3", "-k", "0"], "-k must be at least 1"),
    (["search", "{tmp}/c", "--vector", "1,x,3"], "--vector: not a number: 'x'"),
    (["search", "{tmp}/c", "--vector", "1,2"], "wrong dimension"),
    (["search", "{tmp}/c", "--vector", "1,nan,3"], "NaN or an infinity"),
    (["search", "{tmp}/c", "--query", "{tmp}/wide.npy"], "wrong dimension"),
    (["search", "{tmp}/c", "--query", "{tmp}/cube.npy"], "expected a 2-D array of floats"),
    (["search", "{tmp}/c", "--query", "{tmp}/missing.npy"], "cannot read"),
    (["export", "{tmp}/c", "{tmp}/c/data.npy"], "will not write into the collection"),
    (["export", "{tmp}/c", "{tmp}/out.npy", "--ids", "{tmp}/out.npy"], "the same file"),
    (["export", "{tmp}/c", "{tmp}/no/out.npy"], "cannot write"),
    (["export", "{tmp}/c", "{tmp}/out.npy", "--ids", "{tmp}/no/ids.npy"], "cannot write"),
])
def test_search_and_export_refuse_bad_input_in_one_line(tmp_path, capsys, argv, message):
    make_collection(tmp_path / "c")
    np.save(tmp_path / "q.npy", np.ones((1, 3), dtype=np.float32))
    np.save(tmp_path / "wide.npy", np.ones((2, 4), dtype=np.float32))
    np.save(tmp_path / "cube.npy", np.ones((2, 2, 3), dtype=np.float32))
    before, listed = snapshot(tmp_path / "c"), sorted(os.listdir(tmp_path))
    status, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in argv])
    assert status == 2 and out == ""
    assert message in err and err.startswith("tarnvault: ") and err.count("\n") == 1
    assert snapshot(tmp_path / "c") == before
    assert sorted(os.listdir(tmp_path)) == listed  # no output, no leftover part file


@pytest.mark.parametrize("argv", [["search", "--vector", "1,1,1"], ["export", "{tmp}/out.npy"]])
def test_search_and_export_of_a_damaged_collection_fail_with_status_1(tmp_path, capsys, argv):
    make_collection(tmp_path / "c", flush=False)
    corrupt(tmp_path / "c" / "wal.log", 10, b"#")
    argv = [a.format(tmp=tmp_path) for a in argv]
    status, out, err = run(capsys, argv[0], tmp_path / "c", *argv[1:])
    assert (status, out) == (1, "")
    assert "is damaged; see tarnvault verify" in err and err.count("\n") == 1
    assert not (tmp_path / "out.npy").exists()


READERS = [["info"], ["verify"], ["search", "--vector", "1,1,1"],
           ["export", "{tmp}/out.npy"]]


@pytest.mark.parametrize("argv", READERS)
def test_readers_share_the_directory_and_a_writer_excludes_them(tmp_path, capsys, argv):
    make_collection(tmp_path / "c")
    argv = [a.format(tmp=tmp_path) for a in argv]
    command = [argv[0], tmp_path / "c", *argv[1:]]
    with _tarnvault.Collection.open(str(tmp_path / "c"), read_only=True):
        assert run(capsys, *command)[0] == 0
    with _tarnvault.Collection.open(str(tmp_path / "c")):
        status, out, err = run(capsys, *command)
        assert (status, out) == (2, "")
        assert "is already open" in err and err.count("\n") == 1


@pytest.mark.parametrize("argv, works", [
    (["search", "{tmp}/c", "--vector", "1,1,1"], True),
    (["search", "{tmp}/c", "--query", "{tmp}/q.npy"], False),
    (["export", "{tmp}/c", "{tmp}/out.npy"], False),
])
def test_only_what_needs_numpy_asks_for_it(tmp_path, capsys, monkeypatch, argv, works):
    make_collection(tmp_path / "c")
    np.save(tmp_path / "q.npy", np.ones((1, 3), dtype=np.float32))
    monkeypatch.setitem(sys.modules, "numpy", None)
    status, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in argv])
    if works:
        assert (status, err) == (0, "") and "\t" in out
    else:
        assert status == 2 and "needs NumPy" in err and err.count("\n") == 1


def test_search_into_a_closed_pipe_ends_without_a_traceback(tmp_path):
    path = tmp_path / "c"
    count = 2000
    collection = _tarnvault.Collection.open_or_create(str(path), 3, "euclidean")
    collection.insert_batch(list(range(count)), [[i, 0, 0] for i in range(count)])
    collection.close()
    np.save(tmp_path / "q.npy", np.zeros((40, 3), dtype=np.float32))
    # 40 x 2000 lines: far more than a pipe holds, so the writer meets the
    # closed end.
    reader = subprocess.Popen(
        [sys.executable, "-m", "tarnvault", "search", str(path), "--query",
         str(tmp_path / "q.npy"), "-k", str(count)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ))
    assert reader.stdout.readline() == b"query\tid\tdistance\n"
    reader.stdout.close()
    err = reader.stderr.read().decode()
    assert reader.wait() == 1
    assert err == ""


# ---------------------------------------------------------------- compact

def info_rows(capsys, path):
    status, out, _ = run(capsys, "info", path)
    assert status == 0
    return dict(line.split(":", 1) for line in out.splitlines() if ":" in line)


def dead_bytes(capsys, path):
    return int(info_rows(capsys, path)["dead"].split()[0])


@pytest.mark.parametrize("state", ["flushed", "logged", "torn log"])
def test_compact_reclaims_what_info_called_dead(tmp_path, capsys, state):
    path = tmp_path / "c"
    mixed_collection(path, state)
    with _tarnvault.Collection.open(str(path), read_only=True) as collection:
        kept = {id: collection.get(id) for id in collection.ids()}
    dead = dead_bytes(capsys, path)
    status, out, err = run(capsys, "compact", path)
    assert (status, err) == (0, "")
    before, after, dropped = (int(n) for n in
                              re.search(r"(\d+) -> (\d+) bytes, (\d+) records", out).groups())
    assert before - after == dead and (dropped > 0) == (state != "flushed")
    assert os.path.getsize(path / "data.qvf") == after
    assert dead_bytes(capsys, path) == 0
    with _tarnvault.Collection.open(str(path), read_only=True) as collection:
        assert {id: collection.get(id) for id in collection.ids()} == kept


@pytest.mark.parametrize("holder, status, message", [
    ("writer", 2, "is already open"),
    ("reader", 2, "is already open"),
    ("damage", 1, "is damaged; see tarnvault verify"),
])
def test_compact_fails_cleanly_and_changes_nothing(tmp_path, capsys, holder, status, message):
    path = tmp_path / "c"
    make_collection(path, flush=False)
    if holder == "damage":
        corrupt(path / "wal.log", 10, b"#")
    held = {"writer": lambda: _tarnvault.Collection.open(str(path)),
            "reader": lambda: _tarnvault.Collection.open(str(path), read_only=True)}
    holding = held[holder]() if holder in held else None
    before = snapshot(path)
    got, out, err = run(capsys, "compact", path)
    assert (got, out) == (status, "")
    assert message in err and err.count("\n") == 1
    assert snapshot(path) == before
    if holding is not None:
        holding.close()
