import pytest

from _tarnvault import Index


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
