"""Search results are the same bits at every instruction-set level, and
search_batch gives exactly what search gives query by query."""
import os
import subprocess
import sys

import pytest

# Enough vectors for several storage chunks and a partly filled last group;
# coarse values so that distances tie, plus NaN and infinities.
SCRIPT = r"""
import random
from _tarnvault import Index
rng = random.Random(3)
values = [0.0, -0.0, 0.5, 1.0, -1.5, 2.0, 1e-3, float("inf"), float("nan")]
def vector(n):
    return [rng.choice(values[:7]) if rng.random() < 0.97 else rng.choice(values) for _ in range(n)]
for metric in ("euclidean", "cosine", "dot"):
    for dimension in (1, 17, 100):
        index = Index(metric, dimension)
        count = 3001
        index.insert_batch(list(range(count)), [vector(dimension) for _ in range(count)])
        queries = [vector(dimension) for _ in range(5)] + [vector(dimension + 1)]
        singles = [index.search(q, 25) for q in queries]
        assert repr(index.search_batch(queries, 25)) == repr(singles)  # repr: NaN equals itself
        print(metric, dimension, repr(singles))
"""


def run_at(level):
    env = dict(os.environ, TARNVAULT_SIMD=level)
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("level", ["avx2", "scalar"])
def test_every_level_gives_the_same_results(level):
    assert run_at(level) == run_at("avx512")
