"""Payloads stored with vectors and `where` filters on them, for both classes."""
import math

import pytest

from _tarnvault import Collection, Index


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    if request.param == "index":
        return Index("euclidean", 2)
    return Collection.open_or_create(str(tmp_path / "c"), 2, "euclidean")


PAYLOADS = [
    {},
    {"s": "text", "n": None, "t": True, "f": False},
    {"u": 2**64 - 1, "i": -2**63, "zero": 0, "one": 1, "one_float": 1.0, "neg": -0.5},
    {"nested": {"list": [1, [2, {"x": None}]], "empty": {}}, "tuple_is_list": [1, 2]},
    {"a.b": 1, "": "empty key", "ünï": "cödé"},
]


@pytest.mark.parametrize("payload", PAYLOADS)
def test_payloads_read_back_with_exact_types(store, payload):
    store.insert(7, [1.0, 2.0], payload=payload)
    vector, stored = store.get(7)
    assert vector == [1.0, 2.0]
    assert stored == payload
    for key, value in payload.items():
        assert type(stored[key]) is type(value)
    [(result_id, distance, result_payload)] = store.search([1.0, 2.0], 1, with_payload=True)
    assert (result_id, distance, result_payload) == (7, 0.0, payload)


def test_tuples_come_back_as_lists_and_none_is_empty(store):
    store.insert(1, [0, 0], payload={"t": (1, (2,))})
    store.insert(2, [0, 0], payload=None)
    store.insert(3, [0, 0])
    assert store.get(1)[1] == {"t": [1, [2]]}
    assert store.get(2)[1] == {} and store.get(3)[1] == {}


def nested(levels):
    """A payload whose containers nest `levels` deep, the payload dict being 1."""
    value = 0
    for _ in range(levels - 1):
        value = [value]
    return {"k": value}


@pytest.mark.parametrize(
    "payload, error, message",
    [
        ([("k", 1)], TypeError, "argument 'payload': 'list' object cannot be converted to 'dict'"),
        ({1: "x"}, TypeError, "argument 'payload': payload key 1 is not a str"),
        ({"k": {2: 0}}, TypeError, "argument 'payload': payload key 'k': key 2 is not a str"),
        ({"k": {1, 2}}, TypeError, "argument 'payload': payload key 'k': 'set' object is not a JSON value"),
        ({"k": b"x"}, TypeError, "argument 'payload': payload key 'k': 'bytes' object is not a JSON value"),
        ({"k": math.nan}, ValueError, "payload key 'k': float nan is not finite"),
        ({"k": [math.inf]}, ValueError, "payload key 'k': float inf is not finite"),
        ({"k": 2**64}, ValueError, "payload key 'k': int 18446744073709551616 is outside -2**63 .. 2**64-1"),
        ({"k": -2**63 - 1}, ValueError, "payload key 'k': int -9223372036854775809 is outside -2**63 .. 2**64-1"),
        (nested(126), ValueError, "payload key 'k': nests deeper than 125 levels"),
    ],
)
def test_bad_payloads_are_refused_before_anything_is_stored(store, payload, error, message):
    with pytest.raises(error) as caught:
        store.insert(1, [0, 0], payload=payload)
    assert str(caught.value) == message
    with pytest.raises(error):
        store.insert_batch([1, 2], [[0, 0], [1, 1]], payloads=[{}, payload])
    assert len(store) == 0


def test_nesting_up_to_125_levels_survives_a_reopen(tmp_path):
    path = str(tmp_path / "c")
    with Collection.open_or_create(path, 1, "dot") as c:
        c.insert(1, [1], payload=nested(125))
        c.insert(2, [1], payload={"cycle_free": [[]] * 3})
    reopened = Collection.open(path)
    assert reopened.get(1)[1] == nested(125)


def test_a_self_containing_list_is_refused():
    cycle = []
    cycle.append(cycle)
    with pytest.raises(ValueError, match="nests deeper than 125 levels"):
        Index("dot", 1).insert(1, [1], payload={"c": cycle})


def test_insert_batch_payloads(store):
    store.insert_batch([1, 2, 3], [[0, 0], [1, 1], [2, 2]], payloads=[{"a": 1}, None, {"b": [2]}])
    assert [store.get(i)[1] for i in (1, 2, 3)] == [{"a": 1}, {}, {"b": [2]}]
    with pytest.raises(ValueError) as caught:
        store.insert_batch([4, 5], [[0, 0], [1, 1]], payloads=[{}])
    assert str(caught.value) == "ids and payloads must have the same length"
    # The ids/vectors check comes first.
    with pytest.raises(ValueError, match="ids and vectors must have the same length"):
        store.insert_batch([4, 5], [[0, 0]], payloads=[{}])
    assert len(store) == 3


def test_new_parameters_are_keyword_only(store):
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        store.insert(1, [0, 0], {"a": 1})
    with pytest.raises(TypeError, match="unexpected keyword argument 'payloads'"):
        store.insert(1, [0, 0], payloads={})
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        store.search([0, 0], 1, {"a": 1})
    with pytest.raises(TypeError, match="argument 'with_payload'"):
        store.search([0, 0], 1, with_payload=1)


ROWS = {
    1: {"genre": "jazz", "year": 1959, "rating": 4.5, "tags": ["modal", "cool"]},
    2: {"genre": "rock", "year": 1969, "rating": 4.0, "live": None},
    3: {"genre": "jazz", "year": 1991, "rating": 3.5, "year_float": 1991.0},
    4: {"genre": "pop", "title": "Jazzy days"},
    5: {},
    6: {"genre": "jazz", "year": 2**64 - 1, "nested": {"a": 1}},
}


@pytest.fixture
def filled(store):
    for i, payload in ROWS.items():
        store.insert(i, [float(i), 0.0], payload=payload)
    return store


@pytest.mark.parametrize(
    "where, expected",
    [
        (None, [1, 2, 3, 4, 5, 6]),
        ({}, [1, 2, 3, 4, 5, 6]),
        ({"genre": "jazz"}, [1, 3, 6]),
        ({"genre": {"$eq": "jazz"}}, [1, 3, 6]),
        ({"genre": {"$ne": "jazz"}}, [2, 4, 5]),
        ({"year": {"$gt": 1959}}, [2, 3, 6]),
        ({"year": {"$gte": 1959, "$lt": 1991}}, [1, 2]),
        ({"year": {"$lte": 1969.0}}, [1, 2]),
        ({"year": 1991}, [3]),
        ({"year_float": 1991}, []),  # 1 and 1.0 differ
        ({"year_float": {"$gte": 1991}}, [3]),  # ordering compares numbers
        ({"genre": {"$gt": "a"}}, []),  # but never strings
        ({"genre": {"$in": ["rock", "pop"]}}, [2, 4]),
        ({"genre": {"$nin": ("rock", "pop")}}, [1, 3, 5, 6]),
        ({"title": {"$contains": "azz"}}, [4]),
        ({"live": {"$exists": True}}, [2]),
        ({"live": None}, [2]),
        ({"live": {"$exists": False}}, [1, 3, 4, 5, 6]),
        ({"tags": ["modal", "cool"]}, [1]),
        ({"nested": {"a": 1}}, [6]),  # a literal object
        ({"nested.a": 1}, []),  # no dotted paths
        ({"nested": {}}, []),
        ({"genre": "jazz", "year": {"$lt": 2000}}, [1, 3]),
        ({"$and": [{"genre": "jazz"}, {"rating": {"$gte": 4}}]}, [1]),
        ({"$or": [{"genre": "rock"}, {"year": {"$gt": 1990}}]}, [2, 3, 6]),
        ({"$not": {"genre": "jazz"}}, [2, 4, 5]),
        ({"$and": [{}, {"genre": "pop"}]}, [4]),
        ({"$or": [{}, {"genre": "pop"}]}, [1, 2, 3, 4, 5, 6]),
        ({"$not": {}}, []),
        ({"year": 2**64 - 1}, [6]),
    ],
)
def test_where(filled, where, expected):
    found = sorted(i for i, _ in filled.search([0, 0], 10, where=where))
    assert found == expected
    [batch] = filled.search_batch([[0, 0]], 10, where=where)
    assert sorted(i for i, _ in batch) == expected


def test_filtered_search_returns_the_k_nearest_matches(filled):
    assert filled.search([0, 0], 2, where={"genre": "jazz"}) == [(1, 1.0), (3, 3.0)]
    assert [r[2] for r in filled.search([0, 0], 1, where={"genre": "rock"}, with_payload=True)] == [ROWS[2]]


@pytest.mark.parametrize(
    "where, message",
    [
        ([("genre", "jazz")], "expected a dict, not 'list'"),
        ("genre", "expected a dict, not 'str'"),
        ({1: "x"}, "field 1 is not a str"),
        ({"$foo": []}, "unknown operator '$foo'"),
        ({"f": {"$foo": 1}}, "unknown operator '$foo'"),
        ({"f": {"$in": 1}}, "$in needs a list or tuple, not 'int'"),
        ({"f": {"$nin": "ab"}}, "$nin needs a list or tuple, not 'str'"),
        ({"f": {"$contains": 1}}, "$contains needs a str, not 'int'"),
        ({"f": {"$exists": 1}}, "$exists needs a bool, not 'int'"),
        ({"$and": []}, "$and needs a non-empty list or tuple of dicts, not an empty one"),
        ({"$or": {"a": 1}}, "$or needs a non-empty list or tuple of dicts, not 'dict'"),
        ({"$or": [1]}, "$or needs a non-empty list or tuple of dicts, not 'int'"),
        ({"$not": [{}]}, "$not needs a dict, not 'list'"),
        ({"f": {"$eq": 1, "x": 2}}, "field 'f' mixes operators with other keys"),
        ({"f": math.nan}, "field 'f': float nan is not finite"),
        ({"f": {"$gt": 2**64}}, "field 'f': int 18446744073709551616 is outside -2**63 .. 2**64-1"),
        ({"f": {"$in": [-2**63 - 1]}}, "field 'f': int -9223372036854775809 is outside -2**63 .. 2**64-1"),
        ({"f": {1, 2}}, "field 'f': 'set' object is not a JSON value"),
    ],
)
def test_invalid_filters(filled, where, message):
    for call in (lambda: filled.search([0, 0], 1, where=where),
                 lambda: filled.search_batch([[0, 0]], 1, where=where)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == "invalid filter: " + message


def test_deeply_nested_filters_are_refused_not_crashing(filled):
    where = {"genre": "jazz"}
    for _ in range(200):
        where = {"$not": where}
    with pytest.raises(ValueError, match="invalid filter: nests deeper than 125 levels"):
        filled.search([0, 0], 1, where=where)
