import io
import os
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
