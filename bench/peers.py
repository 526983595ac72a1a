"""tarnvault next to its peers: FAISS flat indexes, hnswlib's BFIndex and a
NumPy one-liner, single thread, on the same seeded random float32 data.

    PYTHONPATH=build/py /usr/bin/python3 bench/peers.py            # N = 10^6
    PYTHONPATH=build/py /usr/bin/python3 bench/peers.py --smoke    # tiny N, checks results

Every measurement runs in a fresh subprocess that generates the data itself
from the seed, so no process holds more than one data set and its index, and
each peer runs with the environment it needs (FAISS once with the generic
BLAS and once with OpenBLAS, all BLAS and OpenMP pools at one thread).
bench/README.md explains each row.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

K = 10
SEED = 20240601
METRICS = ("euclidean", "cosine", "dot")
ONE_THREAD = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}

FULL = dict(n=1_000_000, dims=(128, 768), singles={128: 10, 768: 5}, batch=100,
            list_n=100_000, collection_n=1_000_000, log_n=100_000, collection_insert_n=100_000,
            memory_n=1_000_000, bandwidth_mib=2048, repeats=3)
SMOKE = dict(n=3_000, dims=(128, 768), singles={128: 3, 768: 3}, batch=10,
             list_n=2_000, collection_n=3_000, log_n=300, collection_insert_n=1_000,
             memory_n=3_000, bandwidth_mib=64, repeats=1)


# ---------------------------------------------------------------- measuring

def timed(action, repeats=1):
    """Median wall and CPU seconds of `repeats` calls, and the last result."""
    walls, cpus, result = [], [], None
    for _ in range(repeats):
        cpu, wall = time.process_time(), time.perf_counter()
        result = action()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return {"wall": sorted(walls)[len(walls) // 2], "cpu": sorted(cpus)[len(cpus) // 2]}, result


def per_item(timing, count):
    return {clock: seconds / count for clock, seconds in timing.items()}


def dataset(n, d, seed=SEED):
    import numpy as np
    return np.random.default_rng(seed).random((n, d), dtype=np.float32)


def queries(count, d):
    return dataset(count, d, seed=SEED + 1)


def loaded_blas():
    """The BLAS libraries mapped into this process."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "blas" in line.lower() and "/" in line}
    return sorted(paths)


def reference_distances(X, q, metric, chunk=65536):
    """Every row's distance to q in float64, computed a chunk at a time."""
    import numpy as np
    q64 = q.astype(np.float64)
    parts = []
    for start in range(0, len(X), chunk):
        rows = X[start:start + chunk].astype(np.float64)
        if metric == "euclidean":
            parts.append(np.sqrt(((rows - q64) ** 2).sum(1)))
        elif metric == "dot":
            parts.append(-(rows @ q64))
        else:
            parts.append(1.0 - (rows @ q64) / (np.linalg.norm(rows, axis=1) * np.linalg.norm(q64)))
    return np.concatenate(parts)


def agrees_with_reference(X, q, metric, results):
    """The ids returned are the k nearest and their distances are right,
    within float32 rounding."""
    import numpy as np
    reference = reference_distances(X, q, metric)
    best = np.sort(np.partition(reference, K - 1)[:K])
    ids = np.array([i for i, _ in results], dtype=np.int64)
    got = np.array([d for _, d in results])
    return (len(results) == K and np.allclose(reference[ids], got, rtol=1e-4, atol=1e-5)
            and np.allclose(np.sort(reference[ids]), best, rtol=1e-4, atol=1e-5))


# ------------------------------------------------------- tasks (subprocesses)

def task_machine(cfg, _):
    import numpy  # noqa: F401  (maps the BLAS NumPy uses)
    info = {"cores": os.cpu_count(), "numpy_blas": loaded_blas()}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = line.partition(":")
            if key.strip() == "model name" and "cpu" not in info:
                info["cpu"] = value.strip()
            if key.strip() == "flags" and "flags" not in info:
                info["flags"] = value.split()
    flags = info.pop("flags", [])
    info["avx512"] = "avx512f" in flags
    info["avx2"] = "avx2" in flags
    info["load"] = os.getloadavg()
    return info


def task_bandwidth(cfg, args):
    tool = args["tool"]
    output = subprocess.run([tool, str(cfg["bandwidth_mib"]), "5"], check=True,
                            capture_output=True, text=True).stdout.split()
    return {"wall": float(output[1]), "cpu": float(output[4])}


def task_ours(cfg, args):
    """Index.search with list and NumPy queries, search_batch, per metric."""
    import numpy as np
    from _tarnvault import Index
    n, d = cfg["n"], args["d"]
    X, singles = dataset(n, d), cfg["singles"][d]
    Q = queries(singles + cfg["batch"], d)
    single, batch = Q[:singles], Q[singles:]
    ids = np.arange(n, dtype=np.uint64)
    out = {"checks": {}}
    for metric in METRICS:
        index = Index(metric, d)
        index.insert_batch(ids, X)
        index.search(single[0], K)  # warm the caches the scan does not stream
        lists = [q.tolist() for q in single]
        t_list, first = timed(lambda: [index.search(q, K) for q in lists])
        t_numpy, _ = timed(lambda: [index.search(q, K) for q in single])
        t_batch, batch_results = timed(lambda: index.search_batch(batch, K))
        out[metric] = {"list": per_item(t_list, singles), "numpy": per_item(t_numpy, singles),
                       "batch": per_item(t_batch, len(batch))}
        out["checks"][metric] = bool(
            agrees_with_reference(X, single[0], metric, first[0])
            and agrees_with_reference(X, batch[-1], metric, batch_results[-1]))
        del index
    return out


def task_hnswlib(cfg, args):
    import hnswlib
    import numpy as np
    n, d = cfg["n"], args["d"]
    X, singles = dataset(n, d), cfg["singles"][d]
    Q = queries(singles + cfg["batch"], d)
    single, batch = Q[:singles], Q[singles:]
    out = {}
    for metric, space in (("euclidean", "l2"), ("cosine", "cosine"), ("dot", "ip")):
        index = hnswlib.BFIndex(space=space, dim=d)
        index.init_index(max_elements=n)
        index.add_items(X, np.arange(n))
        index.knn_query(single[:1], K)
        t_single, _ = timed(lambda: [index.knn_query(q[None, :], K) for q in single])
        t_batch, _ = timed(lambda: index.knn_query(batch, K))
        out[metric] = {"numpy": per_item(t_single, singles), "batch": per_item(t_batch, len(batch))}
        del index
    return out


def task_faiss(cfg, args):
    """IndexFlatL2 / IndexFlatIP (IP over normalised vectors for cosine)."""
    import faiss
    faiss.omp_set_num_threads(1)
    n, d = cfg["n"], args["d"]
    X, singles = dataset(n, d), cfg["singles"][d]
    Q = queries(singles + cfg["batch"], d)
    single, batch = Q[:singles], Q[singles:]
    out = {"blas": loaded_blas()}
    for metric in ("euclidean", "dot", "cosine"):
        if metric == "cosine":
            faiss.normalize_L2(X)  # in place: the last use of X
            faiss.normalize_L2(single)
            faiss.normalize_L2(batch)
        index = faiss.IndexFlatL2(d) if metric == "euclidean" else faiss.IndexFlatIP(d)
        t_add, _ = timed(lambda: index.add(X))
        index.search(single[:1], K)
        t_single, _ = timed(lambda: [index.search(q[None, :], K) for q in single])
        t_batch, _ = timed(lambda: index.search(batch, K))
        out[metric] = {"numpy": per_item(t_single, singles), "batch": per_item(t_batch, len(batch)),
                       "add": t_add}
        del index
    return out


def task_numpy(cfg, args):
    import numpy as np
    n, d = cfg["n"], args["d"]
    X, singles = dataset(n, d), cfg["singles"][d]
    single = queries(singles, d)
    norms = np.linalg.norm(X, axis=1)  # precomputed, as a user of the one-liner would

    def top_k(distances):
        best = np.argpartition(distances, K)[:K]
        return best[np.argsort(distances[best])]

    searches = {
        "euclidean": lambda q: top_k(((X - q) ** 2).sum(1)),
        "dot": lambda q: top_k(-(X @ q)),
        "cosine": lambda q: top_k(1 - (X @ q) / (norms * np.linalg.norm(q))),
    }
    out = {"blas": loaded_blas()}
    for metric, search in searches.items():
        search(single[0])
        t, _ = timed(lambda: [search(q) for q in single])
        out[metric] = {"numpy": per_item(t, singles)}
    return out


def task_insert(cfg, args):
    """Index.insert_batch from an n x 128 array and from lists, against
    NumPy's own list conversion."""
    import numpy as np
    from _tarnvault import Index
    d, repeats = 128, cfg["repeats"]
    X = dataset(cfg["n"], d)
    ids = np.arange(len(X), dtype=np.uint64)
    t_array, _ = timed(lambda: Index("euclidean", d).insert_batch(ids, X), repeats)
    lists, id_list = X[:cfg["list_n"]].tolist(), ids[:cfg["list_n"]].tolist()
    del X
    t_lists, _ = timed(lambda: Index("euclidean", d).insert_batch(id_list, lists), repeats)
    t_numpy, _ = timed(lambda: np.array(lists, dtype=np.float32), repeats)
    return {"array": per_item(t_array, cfg["n"]), "lists": per_item(t_lists, cfg["list_n"]),
            "numpy_lists": per_item(t_numpy, cfg["list_n"])}


def task_build_collection(cfg, args):
    """A flushed collection of collection_n x 128 and the same matrix as .npy."""
    import numpy as np
    from _tarnvault import Collection
    X = dataset(cfg["collection_n"], 128)
    np.save(args["npy"], X)
    collection = Collection.open_or_create(args["path"], 128, "euclidean")
    step = 10_000
    for start in range(0, len(X), step):
        collection.insert_batch(np.arange(start, start + len(X[start:start + step]),
                                          dtype=np.uint64), X[start:start + step])
    collection.flush()
    return {}


def task_log_tail(cfg, args):
    """Leaves log_n more inserts in the log: the process ends without flush."""
    import numpy as np
    from _tarnvault import Collection
    collection = Collection.open_or_create(args["path"], 128, "euclidean")
    first = cfg["collection_n"]
    tail = dataset(cfg["log_n"], 128, seed=SEED + 2)
    collection.insert_batch(np.arange(first, first + len(tail), dtype=np.uint64), tail)
    return {}


def task_open(cfg, args):
    """open_or_create against numpy.load of the same matrix, alternating, page
    cache warm for both; then searches on the opened collection."""
    import numpy as np
    from _tarnvault import Collection
    path, npy = args["path"], args["npy"]
    np.load(npy)
    Collection.open_or_create(path, 128, "euclidean")
    opens, loads = [], []
    for _ in range(cfg["repeats"]):
        t, loaded = timed(lambda: np.load(npy))
        loads.append(t)
        del loaded
        t, opened = timed(lambda: Collection.open_or_create(path, 128, "euclidean"))
        opens.append(t)
        del opened  # releases the collection's lock for the next open
    out = {"open": min(opens, key=lambda t: t["wall"]), "load": min(loads, key=lambda t: t["wall"])}
    if args.get("search"):
        collection = Collection.open_or_create(path, 128, "euclidean")
        X = np.load(npy)
        singles = cfg["singles"][128]
        Q = queries(singles + cfg["batch"], 128)
        single, batch = Q[:singles], Q[singles:]
        collection.search(single[0], K)
        lists = [q.tolist() for q in single]
        t_list, first = timed(lambda: [collection.search(q, K) for q in lists])
        t_numpy, _ = timed(lambda: [collection.search(q, K) for q in single])
        t_batch, _ = timed(lambda: collection.search_batch(batch, K))
        out["search"] = {"list": per_item(t_list, singles), "numpy": per_item(t_numpy, singles),
                         "batch": per_item(t_batch, len(batch))}
        out["check"] = bool(agrees_with_reference(X, single[0], "euclidean", first[0]))
    return out


def task_first_open(cfg, args):
    """The first open_or_create, or the first numpy.load, of a fresh process:
    no memory of the process's own to reuse, as a program that starts and
    opens its data meets it."""
    if args["which"] == "numpy":
        import numpy as np
        t, _ = timed(lambda: np.load(args["npy"]))
    else:
        from _tarnvault import Collection
        t, _ = timed(lambda: Collection.open_or_create(args["path"], 128, "euclidean"))
    return t


def task_collection_insert(cfg, args):
    import numpy as np
    from _tarnvault import Collection
    n = cfg["collection_insert_n"]
    X = dataset(n, 128)
    collection = Collection.open_or_create(args["path"], 128, "euclidean")
    t, _ = timed(lambda: collection.insert_batch(np.arange(n, dtype=np.uint64), X))
    return per_item(t, n)


def task_memory(cfg, args):
    """Resident memory an Index of memory_n x 128 adds, and the peak on the way."""
    import numpy as np
    from _tarnvault import Index

    def status(field):
        with open("/proc/self/status") as lines:
            for line in lines:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    X = dataset(cfg["memory_n"], 128)
    ids = np.arange(len(X), dtype=np.uint64)
    rss, peak = status("VmRSS"), status("VmHWM")
    index = Index("euclidean", 128)
    index.insert_batch(ids, X)
    grown = {"rss": status("VmRSS") - rss, "peak": status("VmHWM") - peak}
    del index
    return dict(grown, raw=X.nbytes)


TASKS = {name[len("task_"):]: fn for name, fn in globals().items() if name.startswith("task_")}


# ------------------------------------------------------------ orchestration

def blas_directory(name):
    directory = os.path.join("/usr/lib", sysconfig.get_config_var("MULTIARCH") or "", name)
    return directory if os.path.isdir(directory) else None


def run_task(name, cfg, args=None, env=None):
    """Runs one task in a fresh interpreter and returns its JSON result."""
    command = [sys.executable, os.path.abspath(__file__), "--task", name,
               "--config", json.dumps(cfg), "--args", json.dumps(args or {})]
    environment = dict(os.environ, **ONE_THREAD, **(env or {}))
    print(f"  running {name} {json.dumps(args or {})} ...", file=sys.stderr, flush=True)
    done = subprocess.run(command, env=environment, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"task {name} failed with exit status {done.returncode}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def bandwidth_tool():
    """build/bench/read_bandwidth, built on demand, beside the module's build."""
    import _tarnvault
    build = os.path.dirname(os.path.dirname(os.path.abspath(_tarnvault.__file__)))
    tool = os.path.join(build, "bench", "read_bandwidth")
    if not os.path.exists(tool):
        subprocess.run(["cmake", "--build", build, "--target", "read_bandwidth"], check=True,
                       stdout=subprocess.DEVNULL)
    return tool


def collect(cfg, workdir):
    runs = {"machine": run_task("machine", cfg)}
    runs["bandwidth"] = run_task("bandwidth", cfg, {"tool": bandwidth_tool()})
    generic, openblas = blas_directory("blas"), blas_directory("openblas-pthread")
    for d in cfg["dims"]:
        runs[f"ours{d}"] = run_task("ours", cfg, {"d": d})
        runs[f"hnswlib{d}"] = run_task("hnswlib", cfg, {"d": d})
        runs[f"numpy{d}"] = run_task("numpy", cfg, {"d": d})
        if generic:
            runs[f"faiss{d}"] = run_task("faiss", cfg, {"d": d}, {"LD_LIBRARY_PATH": generic})
        if openblas:
            runs[f"faiss_openblas{d}"] = run_task("faiss", cfg, {"d": d},
                                                  {"LD_LIBRARY_PATH": openblas})
    runs["insert"] = run_task("insert", cfg)
    runs["memory"] = run_task("memory", cfg)
    runs["collection_insert"] = run_task("collection_insert", cfg,
                                         {"path": os.path.join(workdir, "insert")})
    paths = {"path": os.path.join(workdir, "collection"), "npy": os.path.join(workdir, "x.npy")}
    run_task("build_collection", cfg, paths)
    runs["open_flushed"] = run_task("open", cfg, dict(paths, search=True))
    firsts = {"ours": [], "numpy": []}
    for _ in range(cfg["repeats"]):
        for which in firsts:
            firsts[which].append(run_task("first_open", cfg, dict(paths, which=which)))
    runs["first_open"] = {which: {clock: sorted(t[clock] for t in times)[len(times) // 2]
                                  for clock in ("wall", "cpu")}
                          for which, times in firsts.items()}
    run_task("log_tail", cfg, paths)
    runs["open_logged"] = run_task("open", cfg, paths)
    return runs


# ----------------------------------------------------------------- printing

def rate(seconds, amount):
    return amount / seconds if seconds > 0 else float("inf")


def format_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    line = lambda row: "  ".join(str(cell).ljust(w) if i == 0 else str(cell).rjust(w)
                                 for i, (cell, w) in enumerate(zip(row, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def libraries(paths):
    """Library file names with the directory that tells the BLAS apart."""
    return ", ".join(os.path.join(*path.split("/")[-2:]) for path in paths) or "none mapped"


def report(runs, cfg, clock):
    machine, n = runs["machine"], cfg["n"]
    dram = runs["bandwidth"][clock]
    print(f"Machine: {machine.get('cpu', '?')}, {machine['cores']} cores, "
          f"AVX-512: {'yes' if machine['avx512'] else 'no'}, AVX2: {'yes' if machine['avx2'] else 'no'}, "
          f"load average at start {machine['load'][0]:.1f}")
    print(f"NumPy's BLAS: {libraries(machine['numpy_blas'])}")
    for d in cfg["dims"]:
        for key, label in ((f"faiss{d}", "FAISS (generic BLAS)"),
                           (f"faiss_openblas{d}", "FAISS (OpenBLAS)")):
            if key in runs:
                print(f"{label}, d={d}, mapped: {libraries(runs[key]['blas'])}")
    print(f"N = {n:,} random float32 vectors, k = {K}, one thread, clock: {clock} time")
    print(f"GB/s = N x d x 4 bytes / time per query; (x DRAM) = that over one core's read "
          f"bandwidth, {dram:.1f} GB/s\n")

    def scan(d, timing):
        if timing is None:
            return "-"
        gbs = rate(timing[clock], n * d * 4) / 1e9
        return f"{gbs:.1f} ({gbs / dram:.2f}x)"

    def cell(key, metric, mode):
        entry = runs.get(key, {}).get(metric, {})
        return entry.get(mode)

    systems = [
        ("tarnvault Index.search, list query", "ours", "list"),
        ("tarnvault Index.search, NumPy query", "ours", "numpy"),
        ("hnswlib BFIndex", "hnswlib", "numpy"),
        ("FAISS IndexFlat (generic BLAS)", "faiss", "numpy"),
        ("NumPy one-liner + argpartition", "numpy", "numpy"),
    ]
    columns = [(m, d) for m in METRICS for d in cfg["dims"]]
    header = ["single query, GB/s scanned"] + [f"{m} d={d}" for m, d in columns]
    rows = [["one core's DRAM read bandwidth"] + [f"{dram:.1f}" for _ in columns]]
    for label, key, mode in systems:
        rows.append([label] + [scan(d, cell(f"{key}{d}", m, mode)) for m, d in columns])
    search = runs["open_flushed"].get("search", {})
    for mode, label in (("list", "list"), ("numpy", "NumPy")):
        rows.append([f"tarnvault Collection.search, {label} query"]
                    + [scan(d, search.get(mode)) if (m, d) == ("euclidean", 128) else "-"
                       for m, d in columns])
    print(format_table(header, rows) + "\n")

    batch_systems = [
        ("tarnvault search_batch", "ours"),
        ("hnswlib BFIndex knn_query", "hnswlib"),
        ("FAISS IndexFlat (generic BLAS)", "faiss"),
        ("FAISS IndexFlat (OpenBLAS, 1 thread)", "faiss_openblas"),
    ]
    header = [f"{cfg['batch']} queries in a batch, GB/s effective"] + [f"{m} d={d}" for m, d in columns]
    rows = [[label] + [scan(d, cell(f"{key}{d}", m, "batch")) for m, d in columns]
            for label, key in batch_systems]
    rows.append(["tarnvault Collection.search_batch"]
                + [scan(d, search.get("batch")) if (m, d) == ("euclidean", 128) else "-"
                   for m, d in columns])
    print(format_table(header, rows) + "\n")

    def ratio(ours, peer):
        if ours is None or peer is None:
            return "-"
        return f"{peer[clock] / ours[clock]:.2f}"
    header = ["ours (NumPy query) / peer, speed ratio"] + [f"{m} d={d}" for m, d in columns]
    rows = []
    for label, key in (("vs hnswlib BFIndex", "hnswlib"), ("vs FAISS (generic BLAS)", "faiss"),
                       ("vs NumPy one-liner", "numpy")):
        rows.append([label + ", single"] + [ratio(cell(f"ours{d}", m, "numpy"), cell(f"{key}{d}", m, "numpy"))
                                            for m, d in columns])
    for label, key in (("vs hnswlib BFIndex", "hnswlib"), ("vs FAISS (generic BLAS)", "faiss"),
                       ("vs FAISS (OpenBLAS)", "faiss_openblas")):
        rows.append([label + ", batch"] + [ratio(cell(f"ours{d}", m, "batch"), cell(f"{key}{d}", m, "batch"))
                                           for m, d in columns])
    print(format_table(header, rows) + "\n")

    insert = runs["insert"]
    faiss_add = cell("faiss_openblas128", "euclidean", "add") or cell("faiss128", "euclidean", "add")
    array_rate = rate(insert["array"][clock], 1)
    rows = [["Index.insert_batch, C-contiguous float32 array", f"{array_rate / 1e6:.2f} M/s", ""]]
    if faiss_add:
        faiss_rate = rate(faiss_add[clock], n)
        rows.append(["FAISS IndexFlatL2.add", f"{faiss_rate / 1e6:.2f} M/s",
                     f"ours {array_rate / faiss_rate:.2f}x"])
    lists_rate, numpy_rate = rate(insert["lists"][clock], 1), rate(insert["numpy_lists"][clock], 1)
    rows.append([f"Index.insert_batch, {cfg['list_n']:,} lists", f"{lists_rate / 1e6:.2f} M/s", ""])
    rows.append(["np.array(lists, dtype=float32)", f"{numpy_rate / 1e6:.2f} M/s",
                 f"ours takes {numpy_rate / lists_rate:.2f}x its time"])
    coll = rate(runs["collection_insert"][clock], 1)
    rows.append([f"Collection.insert_batch, {cfg['collection_insert_n']:,} (default sync)",
                 f"{coll:,.0f} /s", ""])
    print(format_table([f"insert, d=128 (array: {n:,} vectors)", "vectors/s", "ratio"], rows) + "\n")

    flushed, logged = runs["open_flushed"], runs["open_logged"]
    rows = [
        [f"Collection.open_or_create, {cfg['collection_n']:,} flushed", f"{flushed['open'][clock]:.3f}",
         f"{flushed['open'][clock] / flushed['load'][clock]:.2f}x numpy.load"],
        [f"  ... plus {cfg['log_n']:,} records in the log", f"{logged['open'][clock]:.3f}",
         f"{logged['open'][clock] / logged['load'][clock]:.2f}x numpy.load"],
        [f"numpy.load of the {cfg['collection_n']:,} x 128 .npy", f"{flushed['load'][clock]:.3f}", ""],
    ]
    if "first_open" in runs:  # absent from runs recorded before it was measured
        first = runs["first_open"]
        rows += [
            ["first open_or_create of a fresh process, flushed", f"{first['ours'][clock]:.3f}",
             f"{first['ours'][clock] / first['numpy'][clock]:.2f}x numpy.load"],
            ["first numpy.load of a fresh process", f"{first['numpy'][clock]:.3f}", ""],
        ]
    print(format_table(["open, d=128, page cache warm", "seconds", "ratio"], rows) + "\n")

    memory = runs["memory"]
    print(f"memory: Index of {cfg['memory_n']:,} x 128 adds {memory['rss'] / 1e6:.0f} MB resident "
          f"({memory['rss'] / memory['raw']:.2f}x the {memory['raw'] / 1e6:.0f} MB of raw vectors); "
          f"peak on the way +{memory['peak'] / 1e6:.0f} MB ({memory['peak'] / memory['raw']:.2f}x)")
    print(f"load average at end {os.getloadavg()[0]:.1f}")


def failed_checks(runs, cfg):
    failures = [f"ours d={d} {metric}" for d in cfg["dims"]
                for metric, ok in runs[f"ours{d}"]["checks"].items() if not ok]
    if not runs["open_flushed"].get("check", False):
        failures.append("Collection.search")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="tiny N, for CI: checks, no figures")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="time base of the figures (cpu: leaves out waiting for a busy core)")
    parser.add_argument("--json", help="also write the raw measurements to this file")
    parser.add_argument("--report", metavar="JSON", help="print the tables of an earlier --json file")
    parser.add_argument("--task", help=argparse.SUPPRESS)
    parser.add_argument("--config", help=argparse.SUPPRESS)
    parser.add_argument("--args", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.task:
        cfg = json.loads(options.config)
        cfg["singles"] = {int(d): count for d, count in cfg["singles"].items()}  # JSON keys are text
        result = TASKS[options.task](cfg, json.loads(options.args))
        print(json.dumps(result))
        return 0

    if options.report:
        with open(options.report) as saved:
            saved = json.load(saved)
        report(saved["runs"], saved["config"], options.clock)
        return 0

    cfg = dict(SMOKE if options.smoke else FULL)
    workdir = tempfile.mkdtemp(prefix="tarnvault-bench-")
    try:
        runs = collect(cfg, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if options.json:
        with open(options.json, "w") as out:
            json.dump({"config": cfg, "runs": runs}, out, indent=1)
    report(runs, cfg, options.clock)
    failures = failed_checks(runs, cfg)
    if failures:
        print("results disagree with the float64 reference: " + ", ".join(failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
