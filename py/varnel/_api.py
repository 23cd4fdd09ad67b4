"""The package's classes: `Index` (in memory), `Collection` (a directory),
`Hits` (search results) and `Rows` (rows read without a query), as numpy
arrays."""

from __future__ import annotations

import os
from typing import Any, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _convert as cv
from . import _engine

__all__ = ["Collection", "Hits", "Index", "Rows", "merge_hits"]

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


class Rows:
    """Rows read without a query vector, in ascending id order.

    Attributes
    ----------
    ids : numpy.ndarray of uint64, shape ``(n,)``
    vectors : numpy.ndarray of float32, shape ``(n, dim)``, or None
        None unless asked for.
    payloads : list of dict, or None
        None when not asked for.
    """

    __slots__ = ("ids", "vectors", "payloads")

    def __init__(
        self,
        ids: "npt.NDArray[np.uint64]",
        vectors: "Optional[npt.NDArray[np.float32]]" = None,
        payloads: Optional[list[Payload]] = None,
    ) -> None:
        self.ids = ids
        self.vectors = vectors
        self.payloads = payloads

    def __len__(self) -> int:
        return len(self.ids)

    def __repr__(self) -> str:
        return f"Rows(ids={self.ids!r}, vectors={self.vectors!r}, payloads={self.payloads!r})"


def _within(hits: Hits, one: bool, k: Optional[int], offset: int, max_distance: Optional[float]) -> Hits:
    """The ordered hits cut to [offset, offset + k), and with `max_distance`
    to those at that distance or nearer. The engine gave the first
    offset + k hits of each query in the search order (ascending distance,
    NaN last), so the hits within the distance are a prefix of each list and
    the cut is exact. Queries of a batch that keep fewer hits than the
    longest are padded with id 0 and distance NaN; their payload lists hold
    only the hits kept."""
    ids = hits.ids.reshape(1, -1) if one else hits.ids
    dists = hits.distances.reshape(1, -1) if one else hits.distances
    found = [hits.payloads] if one and hits.payloads is not None else hits.payloads
    if max_distance is None:
        keep = np.full(ids.shape[0], max(0, ids.shape[1] - offset), dtype=np.int64)
    else:
        with np.errstate(invalid="ignore"):
            keep = np.maximum((dists <= max_distance).sum(axis=1) - offset, 0)
    if k is not None:
        keep = np.minimum(keep, k)
    m = int(keep.max()) if len(keep) else 0
    out_ids = np.ascontiguousarray(ids[:, offset : offset + m])
    out_dists = np.ascontiguousarray(dists[:, offset : offset + m])
    pad = np.arange(m)[None, :] >= keep[:, None]
    if pad.any():
        out_ids[pad] = 0
        out_dists[pad] = np.nan
    payloads: Optional[list[Any]] = None
    if found is not None:
        payloads = [list(p[offset : offset + int(n)]) for p, n in zip(found, keep)]
    if one:
        return Hits(out_ids[0], out_dists[0], payloads[0] if payloads is not None else None)
    return Hits(out_ids, out_dists, payloads)


def arrow_table(
    ids: "npt.NDArray[np.uint64]",
    vectors: "npt.NDArray[np.float32]",
    dim: int,
    text: "npt.NDArray[np.uint8]",
    ends: "npt.NDArray[np.uint64]",
) -> Any:
    """The export table over the engine's arrays, sharing their memory:
    payload row i is text[ends[i - 1]:ends[i]] (from 0 for row 0)."""
    pa = cv.optional_module("pyarrow")
    n = len(ids)
    large = len(text) > 2**31 - 1
    offsets = np.empty(n + 1, dtype=np.int64 if large else np.int32)
    offsets[0] = 0
    offsets[1:] = ends
    kind = pa.LargeStringArray if large else pa.StringArray
    payload = kind.from_buffers(n, pa.py_buffer(offsets), pa.py_buffer(text))
    vector = pa.FixedSizeListArray.from_arrays(pa.array(vectors.reshape(-1)), dim)
    return pa.table({"id": pa.array(ids), "vector": vector, "payload": payload})


def pandas_frame(ids: "npt.NDArray[np.uint64]", vectors: "npt.NDArray[np.float32]", payloads: list[Payload]) -> Any:
    """The export frame: one float32 array per row (views of `vectors`)."""
    pd = cv.optional_module("pandas")
    column = np.empty(len(ids), dtype=object)
    column[:] = list(vectors)
    return pd.DataFrame({"id": ids, "vector": column, "payload": payloads})


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
        ids : int, sequence of int, integer numpy array, pyarrow array or pandas Series
            0 to 2**64 - 1.
        vectors : array_like
            One 1-D vector of length `dim` for a single id, else shape
            ``(n, dim)``; any real dtype, rounded to float32. A pyarrow
            fixed-size list array (or a Series or list array of rows) is
            taken without a Python loop per row. Every
            component must be finite once rounded (a value beyond float32's
            range rounds to infinity and is refused too); `Index` and
            `Collection` keep this one rule alike.
        payloads : dict, sequence of dict or None, or None
            Metadata stored with each vector: str keys; values None, bool,
            int (64-bit), finite float, str, list or dict, and numpy scalars
            of those kinds (``np.float32(0.5)`` is stored as the float 0.5,
            ``np.bool_`` as a bool, ``np.str_`` as a str). A pyarrow array
            or pandas Series of dicts is taken too; a pyarrow string array
            is read as JSON text, as `to_arrow` writes it.

        Everything is checked before anything is stored: a refused call
        stores nothing. A ValueError or TypeError names the refused vector
        by position and id, or the refused payload value by where it sits
        (``payload['a'][2]``).
        """
        id_arr, single = cv.id_array(ids)
        matrix = cv.vector_matrix(cv.columnar_vectors(vectors), len(id_arr), single, self.dim, id_arr)
        self._core.upsert(id_arr, matrix, cv.payload_list(payloads, len(id_arr), single))

    def delete(self, ids: Any = None, *, where: Optional[dict[str, Any]] = None) -> int:
        """Remove the given ids, or every row matching `where` (give exactly
        one of the two); returns how many rows were removed. In a
        `Collection` every removal is logged as a delete, and the rows of
        `where` are chosen and removed in one writer's turn."""
        if (ids is None) == (where is None):
            raise TypeError("delete takes ids or where=, exactly one of the two")
        if where is not None:
            return int(self._core.delete_where(cv.filter_tree(where)))
        id_arr, _ = cv.id_array(ids)
        return int(self._core.delete(id_arr))

    def update(self, ids: Any, vectors: Any = None, payloads: Any = None) -> int:
        """Change only what is given of stored rows.

        Parameters
        ----------
        ids : as for `upsert`
            Ids not stored are skipped; an id given twice takes its updates
            in order.
        vectors : array_like, optional
            Replace the vectors (as for `upsert`); None keeps them.
        payloads : dict, sequence of dict or None, optional
            Each dict is merged key by key into the stored payload: the keys
            it names are set (a value of None stores null), the others kept.
            None keeps every payload.

        Returns
        -------
        int
            How many distinct stored ids were updated.

        Everything is checked before anything changes. A `Collection` logs
        the new rows as updates through the same path as `upsert`, so an
        update is as crash-safe as an upsert.
        """
        id_arr, single = cv.id_array(ids)
        matrix = None
        if vectors is not None:
            matrix = cv.vector_matrix(cv.columnar_vectors(vectors), len(id_arr), single, self.dim, id_arr)
        return int(self._core.update(id_arr, matrix, cv.payload_list(payloads, len(id_arr), single)))

    def scan(
        self,
        where: Optional[dict[str, Any]] = None,
        *,
        limit: Optional[int] = None,
        offset: int = 0,
        vectors: bool = False,
        payloads: bool = True,
    ) -> Rows:
        """The rows matching `where` (every row when None), by ascending id.

        The order is stable, so `offset` and `limit` page through the rows:
        ``scan(w, offset=100, limit=100)`` is rows 100 to 199 of
        ``scan(w)``. `vectors` adds the ``(n, dim)`` float32 vectors,
        `payloads` the payload dicts. The filter is `search`'s.
        """
        tree = cv.filter_tree(where)
        first = cv.count("offset", offset, 0, cv.MAX_K, "2**63 - 1")
        most = None if limit is None else cv.count("limit", limit, 0, cv.MAX_K, "2**63 - 1")
        ids, vecs, found, _ = self._core.rows(tree, first, most, bool(vectors), bool(payloads), False)
        return Rows(ids, vecs, found)

    def count(self, where: Optional[dict[str, Any]] = None) -> int:
        """How many rows match `where` (every row when None)."""
        return int(self._core.count(cv.filter_tree(where)))

    def to_arrow(self) -> Any:
        """Every row as a ``pyarrow.Table`` by ascending id: ``id`` (uint64),
        ``vector`` (fixed-size list of float32, `dim` long) and ``payload``
        (the payload as JSON text, keys sorted). Needs pyarrow
        (``pip install varnel[arrow]``). The vectors are copied once, from
        the engine straight into the memory the table uses."""
        ids, vecs, _, (text, ends) = self._core.rows(None, 0, None, True, False, True)
        return arrow_table(ids, vecs, self.dim, text, ends)

    def to_pandas(self) -> Any:
        """Every row as a ``pandas.DataFrame`` by ascending id: ``id``
        (uint64), ``vector`` (one float32 array per row, views of one
        ``(n, dim)`` array) and ``payload`` (dicts). Needs pandas."""
        ids, vecs, found, _ = self._core.rows(None, 0, None, True, True, False)
        return pandas_frame(ids, vecs, found)

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

    def search(
        self,
        queries: Any,
        k: Optional[int],
        where: Optional[dict[str, Any]] = None,
        payloads: bool = False,
        *,
        max_distance: Optional[float] = None,
        offset: int = 0,
    ) -> Hits:
        """The k nearest stored vectors to each query.

        Parameters
        ----------
        queries : array_like
            One query of shape ``(dim,)`` or a batch ``(nq, dim)``.
        k : int or None
            0 to 2**63 - 1; None (with `max_distance`) for every hit within
            that distance.
        where : dict, optional
            Keeps only rows whose payload matches: ``{"genre": "jazz"}``,
            ``{"year": {"$gte": 2000}}``. Several keys, and the operators
            of one field, are an And; ``$and`` and ``$or`` take lists of
            such dicts, ``$not`` one dict. Field operators:

            - ``$eq``, ``$ne``: equal / not equal; ``$ne`` also matches a
              row without the field. Equality keeps the number form: the
              integer 1 does not equal the float 1.0.
            - ``$gt $gte $lt $lte``: take a number; a row matches when its
              field is a number and compares so, as doubles.
            - ``$in``: the field is present and equals one of the values;
              ``$nin``: the field is missing or equals none of them (as
              ``$ne`` for one value). Both take a list, tuple, set or 1-D
              numpy array.
            - ``$contains``: on a str field, holds the str operand as a
              substring; on an array field, has an element equal to the
              operand (any value; number form kept as in equality).
            - ``$exists``: True or False.

            Values may be numpy scalars (``np.float32(0.5)`` is the float
            0.5, ``np.bool_`` a bool, ``np.str_`` a str). A filter wider
            than any limit is fine (100,000 ``$or`` clauses); dicts nested
            more than 128 levels are refused with ValueError ("filter nested
            too deeply"). Errors name the place in the filter, as
            ``where['year']['$gte']``.
        payloads : bool
            Also return the hits' payloads.
        max_distance : float, optional
            Keep only hits at this distance or nearer (as the metric
            measures it: for 'dot' the negated product, for 'cosine' one
            minus the cosine).
        offset : int
            Skip this many hits of the ordered result first (paging:
            ``offset=10, k=10`` gives hits 10 to 19).

        Returns
        -------
        Hits
            Nearest first; equal distances by ascending id, NaN last. Exact
            and the same for every thread count with `max_distance` and
            `offset` too. With `max_distance`, queries of a batch keeping
            fewer hits than the longest are padded with id 0 and distance
            NaN (their payload lists hold only the hits kept).
        """
        matrix, one = cv.query_matrix(queries, self.dim)
        tree = cv.filter_tree(where)
        want, first, radius = cv.search_window(k, offset, max_distance)
        fetch = cv.MAX_K if want is None else min(cv.MAX_K, first + want)
        ids, distances, found = self._core.search(matrix, fetch, tree, one, bool(payloads))
        hits = Hits(ids, distances, found)
        if first == 0 and radius is None:
            return hits
        return _within(hits, one, want, first, radius)


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
        A missing or empty directory is made a collection (dim and metric
        are then required); a non-empty directory without a collection's
        files is refused with ValueError; otherwise the stored collection opens, and dim and
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
        *,
        _exclusive: bool = False,
    ) -> None:
        self._path = cv.path_text(path)
        if dim is not None:
            cv.check_dim(dim)
        if metric is not None:
            cv.check_metric(metric)
        nthreads = cv.check_threads(threads)
        # The stored configuration is read and checked under the writer lock.
        self._core = _engine.Collection(self._path, dim, metric, nthreads, _exclusive)

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
