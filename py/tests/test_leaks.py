"""Reference leaks show as growth over many calls, failing or not.

Each workload runs in a fresh interpreter: a warm-up fills caches and free
lists, then a measured stretch of calls of every method, succeeding and
failing, must leave the process's memory where it was. Four gauges: live
interpreter memory blocks (a leaked reference keeps one alive per call),
objects the cycle collector tracks, resident memory (the core's own
allocations) and open file descriptors (failed opens included).
"""
import json
import os
import subprocess
import sys

import pytest

import _tarnvault

HARNESS = r"""
import gc, json, math, os, resource, shutil, sys, tempfile
import _tarnvault
from _tarnvault import Collection, Index
try:
    import numpy
except ImportError:
    numpy = None

def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024

calls = 0

def call(function, *args, **kwargs):
    global calls
    calls += 1
    return function(*args, **kwargs)

def attempt(function, *args, **kwargs):
    global calls
    calls += 1
    try:
        function(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError, OSError):
        return
    raise AssertionError("no exception from %r%r" % (function, args))

class Bad:
    def __float__(self):
        raise TypeError("bad") from ValueError("cause")

class Reenter:
    # A number whose conversion calls back into the object being converted for.
    def __init__(self, action):
        self.action = action
    def __float__(self):
        global calls
        calls += 1
        self.action()  # refused: the conflict fails the outer call
        return 0.0

class Sized:
    # Claims a length it does not have.
    def __len__(self):
        return 10 ** 6
    def __iter__(self):
        return iter([1.0])

def index_round(i):
    index = call(Index, "cosine", 4)
    call(index.insert, 1, [1.0, 2.0, 3.0, 4.0])
    call(index.insert_batch, [2, 3], ((1, 2, 3, 5), [0.5] * 4))
    call(index.search_batch, [[1, 2, 3, 4], [1, 2]], 3)
    call(index.search, range(4), 2)
    call(index.search, [math.nan] * 4, 2)
    attempt(index.insert, 1, [1.0] * 4)                      # duplicate id
    attempt(index.insert, 4, [1.0, Bad(), 0, 0])             # prefixed, with cause
    attempt(index.insert, -1, [1.0] * 4)                     # overflow
    attempt(index.insert, 4, [1.0] * 3)                      # wrong length
    attempt(index.insert, 4, Sized())
    attempt(index.insert_batch, [5, 6], [[0.0] * 4])         # length mismatch
    attempt(index.insert_batch, [5, "x"], [[0.0] * 4] * 2)
    attempt(index.search, "abc", 1)
    attempt(index.search, [1.0] * 4, -1)
    attempt(index.search_batch, [[1.0] * 4, None], 1)
    attempt(index.search, [Reenter(lambda: index.insert(9, [0.0] * 4))] * 4, 1)
    attempt(Index.search, object(), [1.0] * 4, 1)            # not an Index
    attempt(Index, "nope", 4)
    attempt(Index, "dot", -4)
    attempt(Index, metric="dot", dimension=4, extra=1)
    if numpy is not None:
        call(index.insert_batch, numpy.arange(10, 14), numpy.ones((4, 4)))
        call(index.search_batch, numpy.ones((3, 4), numpy.float32), 2)
        attempt(index.insert_batch, numpy.array([-1]), numpy.ones((1, 4), numpy.float32))
        attempt(index.search, numpy.ones((2, 2)), 1)

directory = tempfile.mkdtemp()
other = os.path.join(directory, "other")
collection = Collection.open_or_create(directory, 4, "euclidean")
call(Collection.open_or_create, other, 4, "dot")            # other's meta.json exists from here

def collection_round(i):
    global collection
    if i % 500 == 0:
        # Reopening replays the log: the stretch covers opening and closing too.
        collection = None
        collection = call(Collection.open_or_create, directory, 4, "euclidean")
    if i % 100 == 0:
        call(collection.flush)
    # A handful of ids, rewritten: the index keeps its size.
    call(collection.insert, i % 8, [1.0, 2.0, 3.0, float(i % 5)])
    call(collection.insert_batch, [8, 9], ((1, 2, 3, 5), [0.5] * 4))
    call(collection.search, [1, 2, 3, 4], 3)
    call(collection.search, [1.0, 2.0], 3)                   # wrong length: nothing
    call(collection.search_batch, [[1, 2, 3, 4], range(4)], 2)
    attempt(collection.insert, 1, [1.0] * 3)                 # core error
    attempt(collection.insert, 1, [math.nan] * 4)            # refused by the log
    attempt(collection.insert, 4, [1.0, Bad(), 0, 0])
    attempt(collection.insert, 2 ** 64, [1.0] * 4)
    attempt(collection.insert_batch, [5, 6], [[0.0] * 4])
    attempt(collection.insert_batch, [5, 6], [[0.0] * 4, [0.0] * 2])  # second fails
    attempt(collection.search, [1.0] * 4, "k")
    attempt(collection.search_batch, [[1.0] * 4], -1)
    attempt(collection.search, [Reenter(collection.flush)] * 4, 1)   # already borrowed
    attempt(Collection.insert, object(), 1, [1.0] * 4)        # not a Collection
    attempt(Collection, directory, 4, "euclidean")            # no constructor
    attempt(Collection.open_or_create, directory, 4, "euclidean")  # held open
    attempt(Collection.open_or_create, other, 3, "dot")       # wrong dimension
    attempt(Collection.open_or_create, other, 4, "manhattan")
    attempt(Collection.open_or_create, 7, 4, "dot")
    if numpy is not None:
        call(collection.insert_batch, numpy.arange(10, 12), numpy.ones((2, 4)))
        attempt(collection.insert_batch, numpy.arange(2), numpy.ones((2, 3), numpy.float32))

def run(round_function, count, start):
    for i in range(start, start + count):
        round_function(i)

def gauges():
    gc.collect()
    return (sys.getallocatedblocks(), len(gc.get_objects()), rss_kib(),
            len(os.listdir("/proc/self/fd")))

workload, warm_up, measured = globals()[sys.argv[1]], int(sys.argv[2]), int(sys.argv[3])
run(workload, warm_up, 0)
calls = 0
blocks, objects, rss, fds = gauges()
run(workload, measured, warm_up)
after = gauges()
collection = None
shutil.rmtree(directory)
print(json.dumps({"calls": calls, "blocks": after[0] - blocks, "objects": after[1] - objects,
                  "rss_kib": after[2] - rss, "fds": after[3] - fds}))
"""


def measure(workload, warm_up, measured):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(_tarnvault.__file__),
                                         env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", HARNESS, workload, str(warm_up), str(measured)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# Rounds make some 25 calls each; one object leaked per call would be
# hundreds of thousands of blocks and several MiB, far above these bounds.
@pytest.mark.parametrize("workload, warm_up, measured", [
    ("index_round", 2000, 8000),
    ("collection_round", 1000, 6000),
])
def test_repeated_calls_do_not_grow_memory(workload, warm_up, measured):
    grown = measure(workload, warm_up, measured)
    print(workload, grown)
    assert grown["calls"] >= 20 * measured
    assert grown["blocks"] < 1000, grown
    assert grown["objects"] < 100, grown
    assert grown["rss_kib"] < 1024, grown
    assert grown["fds"] <= 0, grown
