"""Embedded vector database: exact nearest-neighbour search in memory (Index)
or in a crash-safe directory (Collection)."""

from typing import Protocol, SupportsFloat, SupportsIndex, final

__all__ = ["Index", "Collection"]

class _FloatSequence(Protocol):
    # list, tuple, range, array.array, memoryview or a 1-D numpy array;
    # a float32/float64 C-contiguous buffer is read without per-item work.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat: ...

class _VectorSequence(Protocol):
    # a sequence of float sequences, or a 2-D (n x d) numpy array.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _FloatSequence: ...

class _IdSequence(Protocol):
    # a sequence of ints, or a 1-D int64/uint64 numpy array.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

_Hit = tuple[int, float]

@final
class Index:
    """In-memory brute-force vector index.

    This index stores all vectors in memory and performs exhaustive search
    for exact nearest neighbors."""

    def __init__(self, metric: str, dimension: SupportsIndex) -> None: ...
    def insert(self, id: SupportsIndex, vector: _FloatSequence) -> None:
        """Insert a vector into the index."""
    def search(self, query: _FloatSequence, k: SupportsIndex) -> list[_Hit]:
        """Search for nearest neighbors."""
    def insert_batch(self, ids: _IdSequence, vectors: _VectorSequence) -> None:
        """Insert multiple vectors at once."""
    def search_batch(self, queries: _VectorSequence, k: SupportsIndex) -> list[list[_Hit]]:
        """Search for nearest neighbors for multiple queries."""

@final
class Collection:
    """Persistent vector collection backed by disk storage.

    Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection
    for durability. Supports crash recovery."""

    @staticmethod
    def open_or_create(path: str, dimension: SupportsIndex, metric: str) -> Collection:
        """Open an existing collection or create a new one."""
    def insert(self, id: SupportsIndex, vector: _FloatSequence) -> None:
        """Insert a vector into the collection."""
    def search(self, query: _FloatSequence, k: SupportsIndex) -> list[_Hit]:
        """Search for nearest neighbors."""
    def flush(self) -> None:
        """Flush all pending writes to disk (checkpoint)."""
    def insert_batch(self, ids: _IdSequence, vectors: _VectorSequence) -> None:
        """Insert multiple vectors at once."""
    def search_batch(self, queries: _VectorSequence, k: SupportsIndex) -> list[list[_Hit]]:
        """Search for nearest neighbors for multiple queries."""
