# Types of the extension module _tarnvault, for editors and type checkers.
#
# A vector is any sequence of numbers except str: lists, tuples, array.array,
# bytes and NumPy arrays all convert, element by element, to 32-bit floats.
# Ids are unsigned 64-bit integers; anything with __index__ converts.

from typing import Any, Iterator, Protocol, Self, SupportsFloat, SupportsIndex, TypeVar, final


_T_co = TypeVar("_T_co", covariant=True)

class _SequenceLike(Protocol[_T_co]):
    # What the module's sequence check accepts, NumPy arrays included.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

_Vector = _SequenceLike[SupportsFloat | SupportsIndex]
_Vectors = _SequenceLike[_Vector]
_Ids = _SequenceLike[SupportsIndex]
# (id, distance) pairs, nearest first.
_Results = list[tuple[int, float]]

__all__ = ["Index", "Collection"]

@final
class Index:
    """In-memory brute-force vector index.

    metric is "euclidean", "cosine" or "dot".
    """

    def __new__(cls, metric: str, dimension: SupportsIndex) -> Self: ...
    def insert(self, id: SupportsIndex, vector: _Vector) -> None: ...
    def search(self, query: _Vector, k: SupportsIndex) -> _Results: ...
    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None: ...
    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Results]: ...

@final
class Collection:
    """Persistent vector collection kept in a directory on disk."""

    @staticmethod
    def open_or_create(path: str, dimension: SupportsIndex, metric: str) -> Collection: ...
    def insert(self, id: SupportsIndex, vector: _Vector) -> None: ...
    def search(self, query: _Vector, k: SupportsIndex) -> _Results: ...
    def flush(self) -> None: ...
    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None: ...
    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Results]: ...

def _verify(path: str, /) -> dict[str, Any]:
    """Check the collection at path without changing it (for the command line)."""
