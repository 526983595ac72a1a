import re

import pytest

from _tarnvault import Index

INDEX = Index("euclidean", 3)

CASES = [
    (Index, (), {}, "Index.__new__() missing 2 required positional arguments: 'metric' and 'dimension'"),
    (Index, ("dot",), {}, "Index.__new__() missing 1 required positional argument: 'dimension'"),
    (Index, (), {"dimension": 3}, "Index.__new__() missing 1 required positional argument: 'metric'"),
    (Index, ("dot", 3, 4), {}, "Index.__new__() takes 2 positional arguments but 3 were given"),
    (Index, ("dot",), {"metric": "dot"}, "Index.__new__() got multiple values for argument 'metric'"),
    (Index, ("dot", 3), {"size": 3}, "Index.__new__() got an unexpected keyword argument 'size'"),
    (INDEX.insert, (), {}, "Index.insert() missing 2 required positional arguments: 'id' and 'vector'"),
    (INDEX.insert, (1, [0, 0, 0], 2, 3), {}, "Index.insert() takes 2 positional arguments but 4 were given"),
    # Keywords are examined in the order given; the first offender is reported.
    (INDEX.insert, (1,), {"zzz": 1, "id": 2}, "Index.insert() got an unexpected keyword argument 'zzz'"),
    (INDEX.insert, (1,), {"id": 2, "zzz": 1}, "Index.insert() got multiple values for argument 'id'"),
    (INDEX.search, ([0, 0, 0],), {}, "Index.search() missing 1 required positional argument: 'k'"),
    (INDEX.insert_batch, (), {"vectors": []}, "Index.insert_batch() missing 1 required positional argument: 'ids'"),
    (INDEX.search_batch, ([],), {"k": 1, "q": 2}, "Index.search_batch() got an unexpected keyword argument 'q'"),
]


@pytest.mark.parametrize("call, args, kwargs, message", CASES)
def test_binding_messages(call, args, kwargs, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(*args, **kwargs)


def test_binding_precedes_conversion():
    # A bad argument is never converted when the call cannot be bound.
    with pytest.raises(TypeError, match="missing 1 required"):
        Index(42)


@pytest.mark.parametrize("kwargs", [{"metric": "dot", "dimension": 2}, {"dimension": 2, "metric": "dot"}])
def test_constructor_by_keyword(kwargs):
    index = Index(**kwargs)
    index.insert(id=1, vector=[1.0, 2.0])
    assert index.search(k=1, query=[1.0, 0.0]) == [(1, -1.0)]
