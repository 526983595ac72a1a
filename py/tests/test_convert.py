import array
import math

import pytest

from _tarnvault import Index
from conftest import f32, stored_component

FLT_MAX = f32(3.4028234663852886e38)


class Outer:
    class Inner:
        pass


class Indexable:
    def __index__(self):
        return 7


class BadFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize("given, stored", [(True, 1), (False, 0), (Indexable(), 7), (2**64 - 1, 2**64 - 1)])
def test_id_accepts_integers_through_index(given, stored):
    index = Index("dot", 1)
    index.insert(given, [1.0])
    assert index.search([1.0], 1)[0][0] == stored


@pytest.mark.parametrize("bad_id", [-1, 2**64, -(2**70)])
def test_id_out_of_range_is_unwrapped_overflow(bad_id, index3):
    with pytest.raises(OverflowError) as caught:
        index3.insert(bad_id, [0, 0, 0])
    assert "argument" not in str(caught.value)


@pytest.mark.parametrize("bad_id", [1.0, "1", None])
def test_id_without_index_is_prefixed(bad_id, index3):
    with pytest.raises(TypeError, match="^argument 'id': "):
        index3.insert(bad_id, [0, 0, 0])


def test_dimension_converted_before_metric_parsed():
    with pytest.raises(TypeError, match="^argument 'dimension': "):
        Index("no such metric", "3")
    with pytest.raises(OverflowError):
        Index("no such metric", -1)


@pytest.mark.parametrize("name", ["Cosine", "hamming", "", " dot", "dot_product", "euclidean\0"])
def test_invalid_metric(name):
    with pytest.raises(ValueError, match="^Invalid metric$"):
        Index(name, 3)


def test_metric_text_rules():
    class Name(str):
        pass

    Index(Name("cosine"), 2)
    with pytest.raises(TypeError, match="^argument 'metric': 'int' object cannot be converted to 'PyString'$"):
        Index(3, 3)
    with pytest.raises(UnicodeEncodeError):
        Index("dot\udc80", 3)


class SubStr(str):
    pass


@pytest.mark.parametrize(
    "vector, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        (SubStr("abc"), "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({0: 1.0}, "'dict' object cannot be converted to 'Sequence'"),
        ({1.0, 2.0}, "'set' object cannot be converted to 'Sequence'"),
        (iter([1.0, 2.0, 3.0]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'Sequence'"),
    ],
)
def test_vector_container_errors(vector, message, index3):
    with pytest.raises(TypeError, match="^argument 'vector': " + message.replace("(", r"\(") + "$"):
        index3.insert(1, vector)


@pytest.mark.parametrize("vector", [(1, 2, 3), range(1, 4), array.array("d", [1, 2, 3]), b"\x01\x02\x03", [True, 2, 3.0]])
def test_vector_sequences_accepted(vector, index3):
    index3.insert(1, vector)
    assert index3.search([1.0, 2.0, 3.0], 1) == [(1, 0.0)]


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.1, f32(0.1)),
        (-1.0, -1.0),
        (1e39, math.inf),
        (-1e39, -math.inf),
        (FLT_MAX + 2.0**102, FLT_MAX),  # within half an ulp of the largest float
        (2.0**128 - 2.0**103, math.inf),  # the tie rounds to even: infinity
        (1e-46, 0.0),
        (10**40, math.inf),
    ],
)
def test_components_round_to_nearest_float32(value, expected):
    assert stored_component(value) == expected


def test_nan_stays_nan():
    assert math.isnan(stored_component(math.nan))


@pytest.mark.parametrize("element", ["1.0", None, [1.0]])
def test_bad_element_is_prefixed_with_the_parameter(element, index3):
    with pytest.raises(TypeError, match="^argument 'vector': must be real number"):
        index3.insert(1, [0.0, element, 0.0])


def test_prefixed_error_keeps_the_cause(index3):
    cause = ValueError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        index3.insert(1, [BadFloat(inner), 0, 0])
    assert str(caught.value) == "argument 'vector': inner"
    assert type(caught.value) is TypeError
    assert caught.value.__cause__ is cause


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("v"), TypeErrorSubclass("s"), OverflowError("o")])
def test_other_element_errors_pass_unchanged(error, index3):
    with pytest.raises(type(error)) as caught:
        index3.insert(1, [BadFloat(error), 0, 0])
    assert caught.value is error


def test_huge_int_element_overflows(index3):
    with pytest.raises(OverflowError):
        index3.insert(1, [10**400, 0, 0])


class Sequence:
    """A sequence whose __len__ and __iter__ misbehave on demand."""

    def __init__(self, items, len_error=None, iter_error=None):
        self.items, self.len_error, self.iter_error = items, len_error, iter_error

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return 10**12  # an overstated length is only a hint

    def __iter__(self):
        yield from self.items[:1]
        if self.iter_error:
            raise self.iter_error
        yield from self.items[1:]


def test_failing_length_is_ignored(index3):
    index3.insert(1, Sequence([1.0, 2.0, 3.0], len_error=RuntimeError("no length")))
    index3.insert(2, Sequence([1.0, 2.0, 4.0]))
    assert [id for id, _ in index3.search([1, 2, 3], 2)] == [1, 2]


@pytest.mark.parametrize("error, expected", [(KeyError("k"), KeyError), (TypeError("t"), TypeError)])
def test_iteration_errors(error, expected, index3):
    with pytest.raises(expected) as caught:
        index3.insert(1, Sequence([1.0, 2.0, 3.0], iter_error=error))
    if expected is TypeError:
        assert str(caught.value) == "argument 'vector': t"
    else:
        assert caught.value is error


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ix: ix.insert_batch("12", []), "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda ix: ix.insert_batch([1, 2.5], []), "argument 'ids': 'float' object cannot be interpreted as an integer"),
        (lambda ix: ix.insert_batch([1], ["abc"]), "argument 'vectors': Can't extract `str` to `Vec`"),
        (lambda ix: ix.insert_batch([1], [1.0]), "argument 'vectors': 'float' object cannot be converted to 'Sequence'"),
        (lambda ix: ix.search_batch(7, 1), "argument 'queries': 'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_list_errors_name_the_list(call, message, index3):
    with pytest.raises(TypeError) as caught:
        call(index3)
    assert str(caught.value) == message


class ClearsList:
    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()  # drops the list's reference to this very element
        return 1.0


def test_list_changed_during_conversion_is_iterated_like_its_iterator():
    vector = [0.0]
    vector[0] = ClearsList(vector)
    vector += [2.0, 3.0]
    index = Index("dot", 1)
    index.insert(1, vector)  # iteration ends after the clearing element
    assert index.search([1.0], 1) == [(1, -1.0)]
