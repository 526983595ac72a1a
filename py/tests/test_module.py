import inspect
import os
import subprocess
import sys
import weakref

import pytest

import _tarnvault
from _tarnvault import Index


def test_public_surface():
    assert _tarnvault.__all__ == ["Index", "Collection"]
    assert _tarnvault.__doc__ == ""
    assert [name for name in dir(_tarnvault) if not name.startswith("_")] == ["Collection", "Index"]
    # The one private function, for the package's command line.
    assert [name for name in dir(_tarnvault)
            if name.startswith("_") and not name.startswith("__")] == ["_verify"]


def test_class_docstring_and_signature():
    assert Index.__text_signature__ == "(metric, dimension)"
    assert Index.__doc__ == (
        "In-memory brute-force vector index.\n\n"
        "This index stores all vectors in memory and performs exhaustive search\n"
        "for exact nearest neighbors."
    )
    assert repr(Index) == "<class 'Index'>"


@pytest.mark.parametrize(
    "name, signature, first_line",
    [
        ("insert", "($self, id, vector, *, payload=None)", "Insert a vector into the index."),
        ("search", "($self, query, k, *, where=None, with_payload=False)",
         "Search for nearest neighbors."),
        ("insert_batch", "($self, ids, vectors, *, payloads=None)",
         "Insert multiple vectors at once."),
        ("search_batch", "($self, queries, k, *, where=None, with_payload=False)",
         "Search for nearest neighbors for multiple queries."),
    ],
)
def test_method_docstrings(name, signature, first_line):
    method = getattr(Index, name)
    assert method.__text_signature__ == signature
    assert method.__doc__.startswith(first_line + "\n\nArgs:\n")
    assert not method.__doc__.endswith("\n")
    names = [p.split("=")[0] for p in signature[8:-1].split(", ") if p != "*"]
    assert list(inspect.signature(method).parameters)[1:] == names


def test_search_docstring_in_full():
    assert Index.search.__doc__ == (
        "Search for nearest neighbors.\n\nArgs:\n"
        "    query (list[float]): The query vector.\n"
        "    k (int): Number of neighbors to return.\n"
        "    where (dict | None): Only vectors whose payload matches, e.g.\n"
        '        {"genre": "jazz", "year": {"$gte": 1990}}. Operators: $eq $ne\n'
        "        $gt $gte $lt $lte $in $nin $contains $exists $and $or $not.\n"
        "    with_payload (bool): Add each result's payload as a third item.\n\nReturns:\n"
        "    list[tuple[int, float]]: List of (id, distance) tuples."
    )


def test_methods_in_table_order():
    names = [n for n in vars(Index) if not n.startswith("__")]
    assert names == ["insert", "search", "insert_batch", "search_batch", "query", "delete",
                     "delete_batch", "get", "ids", "dimension", "metric"]


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Index,), {})


def test_instances_take_no_attributes_or_weakrefs(index3):
    with pytest.raises(AttributeError):
        index3.dimension = 3
    assert not hasattr(index3, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(index3)


def test_unbound_method_refuses_other_objects():
    with pytest.raises(TypeError):
        Index.insert(object(), 1, [0.0])


def run_python(script, *options):
    done = subprocess.run([sys.executable, *options, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ), check=True)
    return done.stdout


def test_second_initialisation_is_refused():
    script = (
        "import importlib, sys\n"
        "import _tarnvault\n"
        "del sys.modules['_tarnvault']\n"
        "try:\n"
        "    importlib.import_module('_tarnvault')\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    assert "may only be initialized once per interpreter process" in run_python(script)


def test_import_with_warnings_as_errors():
    assert run_python("import _tarnvault; print(_tarnvault.__all__)", "-W", "error") == "['Index', 'Collection']\n"
