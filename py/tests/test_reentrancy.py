import concurrent.futures
import threading

import pytest

from _tarnvault import Collection, Index


class Reenter:
    """A number whose conversion calls back into the index."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __float__(self):
        self.outcome = self.action()
        return 0.0

    def __index__(self):
        self.outcome = self.action()
        return 1


@pytest.fixture
def index():
    index = Index("euclidean", 1)
    index.insert(1, [1.0])
    return index


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        (lambda ix, x: ix.insert(2, [x]), lambda ix: ix.search([0.0], 1), "Already mutably borrowed"),
        (lambda ix, x: ix.insert(2, [x]), lambda ix: ix.insert(3, [0.0]), "Already borrowed"),
        (lambda ix, x: ix.search([x], 1), lambda ix: ix.insert(3, [0.0]), "Already borrowed"),
        (lambda ix, x: ix.search_batch([[0.0]], x), lambda ix: ix.insert_batch([3], [[0.0]]), "Already borrowed"),
        (lambda ix, x: ix.insert_batch([x], [[0.0]]), lambda ix: ix.search_batch([[0.0]], 1), "Already mutably borrowed"),
    ],
)
def test_conflicting_reentry_fails_the_outer_call(index, outer, inner, message):
    with pytest.raises(RuntimeError, match="^" + message + "$"):
        outer(index, Reenter(lambda: inner(index)))
    # The state was restored on the failing paths: both kinds of access work.
    index.insert(9, [9.0])
    assert index.search([9.0], 1) == [(9, 0.0)]


def test_shared_access_nests(index):
    probe = Reenter(lambda: index.search([1.0], 1))
    assert index.search([probe], 1) == [(1, 1.0)]
    assert probe.outcome == [(1, 0.0)]


def test_caught_conflict_lets_the_outer_call_finish(index):
    def try_search():
        try:
            index.search([0.0], 1)
        except RuntimeError as error:
            return str(error)

    probe = Reenter(try_search)
    index.insert(2, [probe])
    assert probe.outcome == "Already mutably borrowed"
    assert index.search([0.0], 5) == [(2, 0.0), (1, 1.0)]


# --- other Python threads ----------------------------------------------------
# A conversion that runs Python code can let another thread in while a call
# holds its access; that thread is refused, never let into the same object.

class Parked:
    """A number whose conversion waits, without the interpreter lock, until released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __float__(self):
        self.entered.set()
        self.release.wait()
        return 0.0


def make_index(tmp_path):
    return Index("euclidean", 1)


def make_collection(tmp_path):
    return Collection.open_or_create(str(tmp_path / "c"), 1, "euclidean")


@pytest.mark.parametrize("make", [make_index, make_collection])
@pytest.mark.parametrize(
    "outer, inner, message",
    [
        (lambda ob, x: ob.insert(2, [x]), lambda ob: ob.search([0.0], 1), "Already mutably borrowed"),
        (lambda ob, x: ob.search([x], 1), lambda ob: ob.insert_batch([3], [[0.0]]), "Already borrowed"),
    ],
)
def test_a_call_parked_in_conversion_refuses_other_threads(tmp_path, make, outer, inner, message):
    target = make(tmp_path)
    target.insert(1, [1.0])
    parked = Parked()
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(outer(target, parked)))
    thread.start()
    try:
        assert parked.entered.wait(timeout=60)
        with pytest.raises(RuntimeError, match="^" + message + "$"):
            inner(target)
    finally:
        parked.release.set()
        thread.join()
    assert len(outcome) == 1
    # Both kinds of access work again.
    target.insert(4, [4.0])
    assert target.search([4.0], 1) == [(4, 0.0)]


@pytest.mark.parametrize("make", [make_index, make_collection])
def test_threads_sharing_one_object_see_every_insert(tmp_path, make):
    target = make(tmp_path)
    per_thread = 300

    def work(t):
        base = 1000 * (t + 1)
        for i in range(0, per_thread, 3):
            target.insert(base + i, [float(base + i)])
            target.insert_batch([base + i + 1, base + i + 2],
                                [[float(base + i + 1)], [float(base + i + 2)]])
            found = target.search([float(base + i)], 1)
            assert found == [(base + i, 0.0)]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for done in [pool.submit(work, t) for t in range(4)]:
            done.result()  # re-raises what failed in the thread
    everything = target.search([0.0], 4 * per_thread + 10)
    assert sorted(id for id, _ in everything) == [
        1000 * (t + 1) + i for t in range(4) for i in range(per_thread)]
