"""Reference leaks show as memory growth over many calls, failing or not."""
import os
import subprocess
import sys

SCRIPT = r"""
import resource, sys
from _tarnvault import Index
try:
    import numpy
except ImportError:
    numpy = None

def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024

class Bad:
    def __float__(self):
        raise TypeError("bad") from ValueError("cause")

def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, RuntimeError):
        pass

def rounds(count):
    for i in range(count):
        index = Index("cosine", 4)
        index.insert(1, [1.0, 2.0, 3.0, 4.0])
        index.insert_batch([2, 3], ((1, 2, 3, 5), [0.5] * 4))
        index.search_batch([[1, 2, 3, 4], [1, 2]], 3)
        index.search(range(4), 2)
        attempt(index.insert, 1, [1.0] * 4)                  # core error
        attempt(index.insert, 4, [1.0, Bad(), 0, 0])         # prefixed, with cause
        attempt(index.insert, -1, [1.0] * 4)                 # overflow
        attempt(index.insert_batch, [5, 6], [[0.0] * 4])     # length mismatch
        attempt(index.search, "abc", 1)
        attempt(Index, "nope", 4)
        attempt(Index, metric="dot", dimension=4, extra=1)
        if numpy is not None:
            index.insert_batch(numpy.arange(10, 14), numpy.ones((4, 4)))
            attempt(index.insert_batch, numpy.array([-1]), numpy.ones((1, 4), numpy.float32))

rounds(20000)
before = rss_kib()
rounds(int(sys.argv[1]))
print(rss_kib() - before)
"""


def test_repeated_calls_do_not_grow_memory():
    done = subprocess.run([sys.executable, "-c", SCRIPT, "100000"], capture_output=True, text=True,
                          env=dict(os.environ), check=True)
    # One small object leaked per round would be over 2 MiB here.
    assert int(done.stdout) < 1024
