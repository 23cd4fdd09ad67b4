"""The package's classes: `Index` (in memory), `Collection` (a directory) and
`Hits` (search results as numpy arrays)."""

from __future__ import annotations

import os
from typing import Any, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _convert as cv
from . import _engine

__all__ = ["Collection", "Hits", "Index", "merge_hits"]

Payload = dict[str, Any]
Entry = tuple["npt.NDArray[np.float32]", Payload]


class Hits:
    """Search results, nearest first.

    Attributes
    ----------
    ids : numpy.ndarray of uint64
        Shape ``(m,)`` for one query, ``(nq, m)`` for a batch, where ``m`` is
        ``min(k, number of rows matching the filter)``.
    distances : numpy.ndarray of float32
        The same shape; bit for bit what the low-level module gives.
    payloads : list of dict, list of lists of dict, or None
        The hits' payloads when the search asked for them.

    Equal distances are ordered by ascending id; NaN distances come after
    every number, by id.
    """

    __slots__ = ("ids", "distances", "payloads")

    def __init__(
        self,
        ids: "npt.NDArray[np.uint64]",
        distances: "npt.NDArray[np.float32]",
        payloads: Optional[list[Any]] = None,
    ) -> None:
        self.ids = ids
        self.distances = distances
        self.payloads = payloads

    def __len__(self) -> int:
        return len(self.ids)

    def __iter__(self) -> Iterator[Any]:
        return iter((self.ids, self.distances, self.payloads))

    def __repr__(self) -> str:
        return f"Hits(ids={self.ids!r}, distances={self.distances!r}, payloads={self.payloads!r})"


def merge_hits(parts: list[Hits], k: int) -> Hits:
    """The top `k` of several `Hits` over disjoint sets of rows.

    All parts hold the same queries (1-D parts for one query). The merge
    follows the search order: ascending distance, equal distances by
    ascending id, NaN last; so the merged list of per-part top-k lists is
    exactly the top-k of all rows together.
    """
    k = cv.check_k(k)
    if not parts:
        raise ValueError("merge_hits needs at least one part")
    one = parts[0].ids.ndim == 1
    ids = [np.ascontiguousarray(p.ids.reshape(1, -1) if one else p.ids, dtype=np.uint64) for p in parts]
    dists = [np.ascontiguousarray(p.distances.reshape(1, -1) if one else p.distances, dtype=np.float32) for p in parts]
    part_of, pos_of = _engine.merge(ids, dists, k)
    nq, m = part_of.shape
    stacked_ids = np.empty((nq, m), dtype=np.uint64)
    stacked_dists = np.empty((nq, m), dtype=np.float32)
    rows = np.broadcast_to(np.arange(nq)[:, None], (nq, m))
    for p in range(len(parts)):
        sel = part_of == p
        stacked_ids[sel] = ids[p][rows[sel], pos_of[sel]]
        stacked_dists[sel] = dists[p][rows[sel], pos_of[sel]]
    payloads: Optional[list[Any]] = None
    if all(p.payloads is not None for p in parts):
        lists: list[list[Any]] = [[p.payloads] if one else p.payloads for p in parts]  # type: ignore[misc]
        payloads = [
            [lists[int(part_of[q, j])][q][int(pos_of[q, j])] for j in range(m)] for q in range(nq)
        ]
        if one:
            payloads = payloads[0]
    if one:
        return Hits(stacked_ids[0], stacked_dists[0], payloads)
    return Hits(stacked_ids, stacked_dists, payloads)


class _Lookup:
    """`store[id]` and `id in store` over get() and _holds(), for every
    collection-like class of the package."""

    def get(self, id: Any) -> Optional[Entry]:
        raise NotImplementedError

    def _holds(self, id: int) -> bool:
        raise NotImplementedError

    def __getitem__(self, id: Any) -> Entry:
        entry = self.get(id)
        if entry is None:
            raise KeyError(id)
        return entry

    def __contains__(self, id: object) -> bool:
        try:
            n = cv.one_id(id)
        except (TypeError, ValueError):
            return False
        return self._holds(n)


class _Store(_Lookup):
    """What Index and Collection share: every call normalises its arguments
    and forwards them to the engine object in `_core`."""

    _core: Any

    @property
    def dim(self) -> int:
        """The length of every vector."""
        return int(self._core.dim)

    @property
    def metric(self) -> str:
        """'euclidean', 'cosine' or 'dot'."""
        return str(self._core.metric)

    @property
    def threads(self) -> int:
        """How many threads one search spreads over."""
        return int(self._core.threads)

    def upsert(self, ids: Any, vectors: Any, payloads: Any = None) -> None:
        """Store vectors under ids, replacing what an id held before.

        Parameters
        ----------
        ids : int, sequence of int, or integer numpy array
            0 to 2**64 - 1.
        vectors : array_like
            One 1-D vector of length `dim` for a single id, else shape
            ``(n, dim)``; any real dtype, rounded to float32.
        payloads : dict, sequence of dict or None, or None
            Metadata stored with each vector: str keys; values None, bool,
            int (64-bit), finite float, str, list or dict.

        Everything is checked before anything is stored.
        """
        id_arr, single = cv.id_array(ids)
        matrix = cv.vector_matrix(vectors, len(id_arr), single, self.dim)
        self._core.upsert(id_arr, matrix, cv.payload_list(payloads, len(id_arr), single))

    def delete(self, ids: Any) -> int:
        """Remove ids; returns how many of them were stored."""
        id_arr, _ = cv.id_array(ids)
        return int(self._core.delete(id_arr))

    def get(self, id: Any) -> Optional[Entry]:
        """(float32 copy of the vector, payload dict), or None when absent."""
        return self._core.get(cv.one_id(id))  # type: ignore[no-any-return]

    def _holds(self, id: int) -> bool:
        return bool(self._core.contains(id))

    def __len__(self) -> int:
        return int(len(self._core))

    def ids(self) -> "npt.NDArray[np.uint64]":
        """Every stored id, ascending."""
        return self._core.ids()  # type: ignore[no-any-return]

    def search(self, queries: Any, k: int, where: Optional[dict[str, Any]] = None, payloads: bool = False) -> Hits:
        """The k nearest stored vectors to each query.

        Parameters
        ----------
        queries : array_like
            One query of shape ``(dim,)`` or a batch ``(nq, dim)``.
        k : int
        where : dict, optional
            Keeps only rows whose payload matches: ``{"genre": "jazz"}``,
            ``{"year": {"$gte": 2000}}``; operators ``$eq $ne $gt $gte $lt
            $lte $in $contains $exists``; ``$and``, ``$or`` (lists) and
            ``$not``; several keys are an And. Equality keeps the number
            form: the integer 1 does not equal the float 1.0. Comparisons
            take numbers and compare as doubles.
        payloads : bool
            Also return the hits' payloads.

        Returns
        -------
        Hits
            Nearest first; equal distances by ascending id, NaN last.
        """
        matrix, one = cv.query_matrix(queries, self.dim)
        tree = cv.filter_tree(where)
        ids, distances, found = self._core.search(matrix, cv.check_k(k), tree, one, bool(payloads))
        return Hits(ids, distances, found)


class Index(_Store):
    """An in-memory exact k-nearest-neighbour index.

    Parameters
    ----------
    dim : int
    metric : {'euclidean', 'cosine', 'dot'}
    threads : int, optional
        Threads one search spreads over; None for every CPU the process
        may use. Results are the same for every count.
    prune : bool, optional
        Whether a single-query search may skip vectors that bounds show
        cannot be among the k nearest (on by default). Results are the same
        either way, bit for bit; False forces the full scan, for comparison.
    """

    def __init__(self, dim: int, metric: str, threads: Optional[int] = None, prune: bool = True) -> None:
        self._core = _engine.Index(
            cv.check_dim(dim), cv.check_metric(metric), cv.check_threads(threads), bool(prune)
        )

    @property
    def prune(self) -> bool:
        """Whether single-query searches skip vectors by their bounds; settable."""
        return bool(self._core.prune)

    @prune.setter
    def prune(self, on: bool) -> None:
        self._core.prune = bool(on)

    def __repr__(self) -> str:
        return f"varnel.Index(dim={self.dim}, metric={self.metric!r}, len={len(self)})"


class Collection(_Store):
    """A persistent collection: a directory with a log, a data file and metadata.

    Parameters
    ----------
    path : str or os.PathLike
        A directory holding no collection is made one (dim and metric are
        then required); otherwise the stored collection opens, and dim and
        metric, when given, must match what it holds.
    dim : int, optional
    metric : {'euclidean', 'cosine', 'dot'}, optional
    threads : int, optional
        As for `Index`; with two or more, opening also shares the loading
        of a large data file between two threads (same collection).

    Every write is logged before it is applied. The log reaches the disk
    at every 100th write and at `flush`; a crash keeps everything up to
    there. `flush` also makes the data file durable and empties the log;
    `close` flushes.
    """

    def __init__(
        self,
        path: Union[str, "os.PathLike[str]"],
        dim: Optional[int] = None,
        metric: Optional[str] = None,
        threads: Optional[int] = None,
    ) -> None:
        self._path = cv.path_text(path)
        if dim is not None:
            cv.check_dim(dim)
        if metric is not None:
            cv.check_metric(metric)
        nthreads = cv.check_threads(threads)
        want_dim, want_metric = cv.open_config(self._path, _engine.stored_config(self._path), dim, metric)
        self._core = _engine.Collection(self._path, want_dim, want_metric, nthreads)

    @property
    def path(self) -> str:
        """The directory, as given."""
        return self._path

    @property
    def closed(self) -> bool:
        return bool(self._core.closed)

    def flush(self) -> None:
        """Makes the data file durable, empties the log and rewrites meta.json."""
        self._core.flush()

    def compact(self) -> None:
        """Rewrites the data file with the stored records only, then empties the log."""
        self._core.compact()

    def close(self) -> None:
        """Flushes and closes the files; later calls raise ValueError. Idempotent."""
        self._core.close()

    def __enter__(self) -> "Collection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"varnel.Collection({self._path!r}, closed)"
        return f"varnel.Collection({self._path!r}, dim={self.dim}, metric={self.metric!r}, len={len(self)})"
