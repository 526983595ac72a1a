"""The command line: ``python3 -m tarnvault`` or ``tarnvault``.

    tarnvault info PATH
    tarnvault verify PATH
    tarnvault import PATH FILE [--ids IDS.npy] [--metric M] [--batch N]

Only ``import`` changes files; ``info`` and ``verify`` read the collection
through ``_tarnvault._verify``, which replays and truncates nothing. Every
failure ends with one line on stderr and a non-zero exit status, never a
traceback:

    0  success (verify: the collection is clean)
    1  the collection is damaged, or the work failed part way
    2  nothing was done: a usage error, a missing or unreadable path or
       input file, a wrong dimension, a collection open in another process
"""

from __future__ import annotations

import argparse
import importlib
import os
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


def _load_vectors(np: Any, file: str) -> Any:
    """The rows of a .npy or .fvecs file as a 2-D float array, mapped, not read."""
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
    parser = _Parser(prog=PROG, description="Inspect and load tarnvault collections.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    verbs = parser.add_subparsers(dest="verb", required=True, metavar="VERB",
                                  parser_class=_Parser)

    info = verbs.add_parser("info", help="dimension, metric, counts and file sizes")
    info.add_argument("path", metavar="PATH")
    info.set_defaults(run=_info)

    verify = verbs.add_parser("verify", help="read every record, report damage; changes nothing")
    verify.add_argument("path", metavar="PATH")
    verify.set_defaults(run=_verify)

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
    except BaseException as error:  # noqa: B902 - the user sees one line, never a traceback
        if isinstance(error, SystemExit):
            raise
        print(f"{PROG}: unexpected failure: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
