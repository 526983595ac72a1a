"""The command line: ``python3 -m tarnvault`` or ``tarnvault``.

    tarnvault info PATH
    tarnvault verify PATH
    tarnvault search PATH (--query FILE.npy | --vector x,y,...) [-k K]
    tarnvault export PATH FILE.npy [--ids IDS.npy]
    tarnvault import PATH FILE [--ids IDS.npy] [--metric M] [--batch N]
    tarnvault compact PATH

Only ``import`` and ``compact`` change a collection's files. ``info`` and
``verify`` read it through ``_tarnvault._verify``, which replays and
truncates nothing; ``search`` and ``export`` open it with
``Collection.open(path, read_only=True)``, which replays the log in memory
only. These four share the directory's lock with each other and are refused
while a writer holds it.
Every failure ends with one line on stderr and a non-zero exit status, never
a traceback:

    0  success (verify: the collection is clean)
    1  the collection is damaged, or the work failed part way
    2  nothing was done: a usage error, a missing or unreadable path or
       input file, a wrong dimension, a collection open in another process
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import struct
import sys
from typing import Any, Callable, NoReturn, Sequence

import _tarnvault

from . import __version__

PROG = "tarnvault"

# Metric names as meta.json spells them, and as Python passes them.
_METRIC_NAMES = {"Euclidean": "euclidean", "Cosine": "cosine", "DotProduct": "dot"}


class CommandError(Exception):
    """A failure the user is told about in one line: message and exit status."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------- reading

def _check(path: str) -> dict[str, Any]:
    """The read-only check of the collection at path (see _tarnvault._verify)."""
    if not os.path.isdir(path):
        raise CommandError(f"no collection at {path}: not a directory")
    try:
        return _tarnvault._verify(path)
    except OSError as error:
        raise CommandError(str(error)) from None


def _metric(report: dict[str, Any]) -> str:
    return _METRIC_NAMES.get(report["metric"], report["metric"])


def _findings(report: dict[str, Any]) -> list[str]:
    lines = []
    for kind, key in (("torn tail", "torn_tails"), ("DAMAGE", "damage")):
        for file, offset, what in report[key]:
            where = file if offset is None else f"{file} at offset {offset}"
            lines.append(f"{kind} in {where}: {what}")
    return lines


def _open(path: str, read_only: bool = True) -> _tarnvault.Collection:
    """The collection at path; read-only, it is loaded with its log replayed
    in memory only."""
    if not os.path.isdir(path):
        raise CommandError(f"no collection at {path}: not a directory")
    if not os.path.exists(os.path.join(path, "meta.json")):
        raise CommandError(f"no collection at {path}: no meta.json")
    try:
        return _tarnvault.Collection.open(path, read_only=read_only)
    except OSError as error:
        failure = error
    # The open says only that it failed; the check tells damage (status 1)
    # from a collection held elsewhere (its error, status 2).
    if _check(path)["damage"]:
        raise CommandError(f"{path} is damaged; see {PROG} verify", 1)
    raise CommandError(f"cannot open {path}: {failure}")


def _info(args: argparse.Namespace) -> int:
    report = _check(args.path)
    unflushed = report["unflushed_records"]
    rows = [
        ("path", args.path),
        ("dimension", report["dimension"]),
        ("metric", _metric(report)),
        ("vectors", report["live_vectors"]),
        ("next id", report["next_id"]),
        ("meta.json", f"{report['meta_size']} bytes"),
        ("wal.log", f"{report['wal_size']} bytes, "
                    + (f"{unflushed} unflushed records" if unflushed else "nothing unflushed")),
        ("data.qvf", f"{report['data_size']} bytes"),
    ]
    if "data_dead_bytes" in report:
        # Deleted and replaced records, and whatever the log deletes or rewrites.
        rows.append(("dead", f"{report['data_dead_bytes']} bytes of data.qvf "
                             f"({PROG} compact reclaims them)"))
    for name, value in rows:
        print(f"{name + ':':<10} {value}")
    for line in _findings(report):
        print(line)
    return 1 if report["damage"] else 0


def _verify(args: argparse.Namespace) -> int:
    report = _check(args.path)
    for line in _findings(report):
        print(line)
    if report["damage"]:
        print(f"{args.path}: damaged", file=sys.stderr)
        return 1
    print(f"{args.path}: clean ({report['live_vectors']} vectors, "
          f"{report['unflushed_records']} unflushed log records)")
    return 0


# ---------------------------------------------------------------- import

def _numpy(verb: str) -> Any:
    try:
        import numpy
    except ImportError:
        raise CommandError(f"{verb} needs NumPy, which is not installed "
                           "(pip install 'tarnvault[numpy]')") from None
    return numpy


def _load_vectors(np: Any, file: str, allow_one_row: bool = False) -> Any:
    """The rows of a .npy or .fvecs file as a 2-D float array, mapped, not read.
    With allow_one_row, a 1-D array is one row."""
    try:
        if file.endswith(".fvecs"):
            # Each row: its dimension as int32, then that many float32.
            words = np.memmap(file, dtype="<i4", mode="r")
            if words.size == 0:
                return np.empty((0, 0), dtype=np.float32)
            dimension = int(words[0])
            if dimension <= 0 or words.size % (dimension + 1):
                raise CommandError(f"{file}: not an .fvecs file")
            rows = words.reshape(-1, dimension + 1)
            if (rows[:, 0] != dimension).any():
                raise CommandError(f"{file}: rows of different dimensions")
            return rows[:, 1:].view("<f4")
        vectors = np.load(file, mmap_mode="r", allow_pickle=False)
        if allow_one_row and vectors.ndim == 1:
            vectors = vectors.reshape(1, -1)
    except CommandError:
        raise
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot read {file}: {error}") from None
    if vectors.ndim != 2 or vectors.dtype.kind != "f":
        raise CommandError(f"{file}: expected a 2-D array of floats, "
                           f"got {vectors.ndim}-D {vectors.dtype}")
    return vectors


def _load_ids(np: Any, file: str, count: int) -> Any:
    try:
        ids = np.load(file, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot read {file}: {error}") from None
    if ids.ndim != 1 or ids.dtype.kind not in "ui":
        raise CommandError(f"{file}: expected a 1-D array of unsigned 64-bit integers, "
                           f"got {ids.ndim}-D {ids.dtype}")
    if len(ids) != count:
        raise CommandError(f"{file}: {len(ids)} ids for {count} vectors")
    if ids.dtype.kind == "i" and len(ids) and ids.min() < 0:
        raise CommandError(f"{file}: negative ids")
    return ids


def _import(args: argparse.Namespace) -> int:
    np = _numpy("import")
    if args.batch < 1:
        raise CommandError("--batch must be at least 1")
    vectors = _load_vectors(np, args.file)
    count, dimension = vectors.shape
    if dimension == 0:
        raise CommandError(f"{args.file}: vectors of dimension 0")

    existing = os.path.exists(os.path.join(args.path, "meta.json"))
    if existing:
        report = _check(args.path)
        if report["damage"]:
            raise CommandError(f"{args.path} is damaged; see tarnvault verify", 1)
        metric = _metric(report)
        if args.metric is not None and args.metric != metric:
            raise CommandError(f"{args.path} uses the metric {metric}, not {args.metric}")
        if report["dimension"] != dimension:
            raise CommandError(f"wrong dimension: {args.path} holds vectors of dimension "
                               f"{report['dimension']}, {args.file} of {dimension}")
        first_id = report["next_id"]
    else:
        metric = args.metric or "euclidean"
        first_id = 0

    if args.ids is not None:
        ids = _load_ids(np, args.ids, count)
    else:
        if first_id + count > 2**64:
            raise CommandError(f"ids from {first_id} on run past 2^64 - 1; give --ids")
        ids = np.arange(first_id, first_id + count, dtype=np.uint64)

    try:
        collection = _tarnvault.Collection.open_or_create(args.path, dimension, metric)
    except OSError as error:
        raise CommandError(f"cannot open {args.path}: {error}") from None
    progress = _progress(count, "import")
    done = 0
    try:
        for start in range(0, count, args.batch):
            end = min(start + args.batch, count)
            rows = np.ascontiguousarray(vectors[start:end], dtype=np.float32)
            collection.insert_batch(np.ascontiguousarray(ids[start:end], dtype=np.uint64), rows)
            progress(end - start)
            done = end
        collection.flush()
    except (OSError, ValueError) as error:
        raise CommandError(f"import stopped after {done} of {count} vectors: {error}", 1) from None
    finally:
        progress(0, close=True)
    print(f"imported {count} vectors into {args.path}")
    return 0


# ---------------------------------------------------------------- search

def _parse_vector(text: str) -> list[float]:
    values = []
    for item in text.split(","):
        try:
            value = float(item)
        except ValueError:
            raise CommandError(f"--vector: not a number: {item.strip()!r}") from None
        values.append(value)
    return values


def _float32_text(value: float) -> str:
    """The shortest decimal that reads back as the same 32-bit float: the
    distances are float32, and their full double expansion is noise."""
    for digits in range(1, 10):
        text = f"{value:.{digits}g}"
        if struct.unpack("<f", struct.pack("<f", float(text)))[0] == value:
            return text
    return repr(value)


def _search(args: argparse.Namespace) -> int:
    if args.k < 1:
        raise CommandError("-k must be at least 1")
    queries: Any
    if args.vector is not None:
        # Without NumPy: one query needs nothing beyond the standard library.
        queries = [_parse_vector(args.vector)]
        width = len(queries[0])
        finite = all(math.isfinite(x) for x in queries[0])
        rows_of: Callable[[Any], Any] = lambda rows: rows
    else:
        np = _numpy("search --query")
        queries = _load_vectors(np, args.query, allow_one_row=True)
        width = queries.shape[1]
        finite = bool(np.isfinite(queries).all())
        rows_of = lambda rows: np.ascontiguousarray(rows, dtype=np.float32)  # noqa: E731
    if not finite:
        # The scan would answer with NaN distances in file order.
        raise CommandError("the query holds a NaN or an infinity")

    with _open(args.path) as collection:
        if width != collection.dimension:
            source = args.query or "--vector"
            raise CommandError(f"wrong dimension: {args.path} holds vectors of dimension "
                               f"{collection.dimension}, {source} of {width}")
        out = sys.stdout
        out.write("query\tid\tdistance\n")
        chunk = 256  # queries per scan: one pass over the vectors serves them all
        for start in range(0, len(queries), chunk):
            rows = rows_of(queries[start:start + chunk])
            for number, hits in enumerate(collection.search_batch(rows, args.k), start):
                for id, distance in hits:
                    out.write(f"{number}\t{id}\t{_float32_text(distance)}\n")
    return 0


# ---------------------------------------------------------------- export

def _export(args: argparse.Namespace) -> int:
    np = _numpy("export")
    targets = [args.file] + ([args.ids] if args.ids is not None else [])
    if len(targets) == 2 and os.path.realpath(args.ids) == os.path.realpath(args.file):
        raise CommandError("FILE and --ids name the same file")
    for target in targets:
        # Writing beside data.qvf could replace one of the collection's files.
        if os.path.realpath(os.path.dirname(os.path.abspath(target))) == \
                os.path.realpath(args.path):
            raise CommandError(f"{target}: will not write into the collection's directory")

    with _open(args.path) as collection:
        ids = collection.ids()
        count, dimension = len(ids), collection.dimension
        # Each output goes to a temporary file beside it, renamed into place
        # once complete, so a failure leaves no half-written array behind.
        parts: dict[str, str] = {}
        try:
            for target in targets:
                directory, name = os.path.split(os.path.abspath(target))
                part = os.path.join(directory, f".{name}.{os.getpid()}.part")
                # Mode 0666 less the umask, as open() would give the file.
                os.close(os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
                parts[target] = part
        except OSError as error:
            _remove(parts.values())
            raise CommandError(f"cannot write {target}: {error.strerror or error}") from None

        progress = _progress(count, "export")
        try:
            with open(parts[args.file], "wb") as out:
                np.lib.format.write_array_header_1_0(out, {
                    "descr": "<f4", "fortran_order": False, "shape": (count, dimension)})
                chunk = 4096
                for start in range(0, count, chunk):
                    rows = [_vector_of(collection, id) for id in ids[start:start + chunk]]
                    out.write(np.array(rows, dtype="<f4").reshape(-1, dimension).tobytes())
                    progress(len(rows))
            if args.ids is not None:
                # Through a handle: np.save would add ".npy" to the name.
                with open(parts[args.ids], "wb") as out:
                    np.save(out, np.array(ids, dtype="<u8"))
            for target in targets:
                os.replace(parts[target], target)
        except BaseException as error:  # an interrupt too leaves no part file
            _remove(parts.values())
            if isinstance(error, OSError):
                raise CommandError(f"export failed: {error}", 1) from None
            raise
        finally:
            progress(0, close=True)
    print(f"exported {count} vectors of dimension {dimension} to {args.file}"
          + (f", their ids to {args.ids}" if args.ids is not None else ""))
    return 0


def _vector_of(collection: _tarnvault.Collection, id: int) -> list[float]:
    found = collection.get(id)
    assert found is not None, "a read-only collection lost an id it listed"
    return found[0]


def _remove(paths: Any) -> None:
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


# ---------------------------------------------------------------- compact

def _compact(args: argparse.Namespace) -> int:
    collection = _open(args.path, read_only=False)
    try:
        result = collection.compact()
    except OSError as error:
        # A failed compaction keeps the collection on its old data file.
        raise CommandError(f"compaction of {args.path} failed: {error}", 1) from None
    finally:
        collection.close()
    print(f"compacted {args.path}: data.qvf {result['bytes_before']} -> "
          f"{result['bytes_after']} bytes, {result['records_dropped']} records dropped")
    return 0


# ---------------------------------------------------------------- progress

def _progress(total: int, label: str) -> Callable[..., None]:
    """A progress display on a terminal (tqdm's when it is installed);
    nothing when stderr is not a terminal."""
    stream = sys.stderr
    if not stream.isatty():
        return lambda step, close=False: None
    try:
        # Imported by name: tqdm is optional and ships no type information.
        tqdm: Any = importlib.import_module("tqdm").tqdm
    except ImportError:
        tqdm = None
    if tqdm is not None:
        bar = tqdm(total=total, desc=label, unit="vec", unit_scale=True, file=stream)

        def tqdm_step(step: int, close: bool = False) -> None:
            bar.update(step)
            if close:
                bar.close()
        return tqdm_step

    done = 0

    def step(step: int, close: bool = False) -> None:
        nonlocal done
        done += step
        width = 30
        filled = width * done // total if total else width
        percent = 100 * done // total if total else 100
        stream.write(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] "
                     f"{percent:3d}% {done}/{total}")
        if close:
            stream.write("\n")
        stream.flush()
    return step


# ---------------------------------------------------------------- main

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see {PROG} --help)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Inspect, search, export and load tarnvault collections.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    verbs = parser.add_subparsers(dest="verb", required=True, metavar="VERB",
                                  parser_class=_Parser)

    info = verbs.add_parser("info", help="dimension, metric, counts and file sizes")
    info.add_argument("path", metavar="PATH")
    info.set_defaults(run=_info)

    verify = verbs.add_parser("verify", help="read every record, report damage; changes nothing")
    verify.add_argument("path", metavar="PATH")
    verify.set_defaults(run=_verify)

    search = verbs.add_parser("search", help="the k nearest vectors to each query; changes nothing")
    search.add_argument("path", metavar="PATH")
    query = search.add_mutually_exclusive_group(required=True)
    query.add_argument("--query", metavar="FILE.npy",
                       help="queries: a 1-D or 2-D float .npy, or an .fvecs file")
    query.add_argument("--vector", metavar="x,y,...",
                       help="one query, comma-separated (--vector=-1,2 when it begins with -)")
    search.add_argument("-k", type=int, default=10, help="results per query (default 10)")
    search.set_defaults(run=_search)

    export = verbs.add_parser("export", help="write the live vectors (and ids) to .npy")
    export.add_argument("path", metavar="PATH")
    export.add_argument("file", metavar="FILE.npy", help="float32 rows, in enumeration order")
    export.add_argument("--ids", metavar="IDS.npy", help="their ids, uint64, in the same order")
    export.set_defaults(run=_export)

    compact = verbs.add_parser("compact", help="rewrite data.qvf without its dead records")
    compact.add_argument("path", metavar="PATH")
    compact.set_defaults(run=_compact)

    load = verbs.add_parser("import", help="bulk-load vectors from .npy or .fvecs, then flush")
    load.add_argument("path", metavar="PATH")
    load.add_argument("file", metavar="FILE", help="a 2-D float32 .npy, or an .fvecs file")
    load.add_argument("--ids", metavar="IDS.npy", help="a .npy of unsigned 64-bit ids")
    load.add_argument("--metric", choices=sorted(_METRIC_NAMES.values()),
                      help="for a new collection (default euclidean)")
    load.add_argument("--batch", type=int, default=10000, metavar="N",
                      help="vectors per insert_batch call (default 10000)")
    load.set_defaults(run=_import)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        return int(args.run(args))
    except CommandError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (search ... | head): stop quietly, and keep
        # the interpreter's final flush of stdout from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as error:  # noqa: B902 - the user sees one line, never a traceback
        if isinstance(error, SystemExit):
            raise
        print(f"{PROG}: unexpected failure: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
