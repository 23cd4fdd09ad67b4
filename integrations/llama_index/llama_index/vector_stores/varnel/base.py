"""`VarnelVectorStore`: a LlamaIndex vector store over a varnel `Collection`
(a directory) or `Index` (memory). Queries are varnel's exact search, and
metadata filters become a varnel `where` evaluated inside that search, so
the top k are the true k nearest matching nodes.

One node is one row. Its payload holds the node's metadata fields at the
top level (with LlamaIndex's own ``_node_content``, ``_node_type`` and
``ref_doc_id``) beside two reserved keys: ``"_text"`` (the node's text)
and ``"_id"`` (the node id). The row id is a 64-bit hash of the node id
(`row_id`).
"""

from __future__ import annotations

import hashlib
import os
import threading
from typing import Any, Optional, Sequence, Union

import numpy as np
import varnel
from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode, MetadataMode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

__all__ = ["ID_KEY", "TEXT_KEY", "VarnelVectorStore", "row_id", "to_where"]

TEXT_KEY = "_text"
ID_KEY = "_id"
_RESERVED = (TEXT_KEY, ID_KEY)

Store = Union[varnel.Collection, varnel.Index]
Where = dict[str, Any]


def row_id(node_id: str) -> int:
    """The varnel row id of a node id: the first 8 bytes of its BLAKE2b
    digest (UTF-8), read little-endian. The only place that maps one to
    the other; two ids that meet on one row are refused when added."""
    return int.from_bytes(hashlib.blake2b(node_id.encode("utf-8"), digest_size=8).digest(), "little")


def _forms(value: Any) -> list[Any]:
    """The values equal to `value` as LlamaIndex compares: varnel keeps the
    number form (1 != 1.0), so a whole number is matched in both forms."""
    if isinstance(value, bool):
        return [value]
    if isinstance(value, int) and float(value) == value:
        return [value, float(value)]
    if isinstance(value, float) and value.is_integer():
        return [value, int(value)]
    return [value]


def _many(values: Any) -> list[Any]:
    if not isinstance(values, list):
        raise ValueError(f"expected a list of values, got {values!r}")
    return [f for v in values for f in _forms(v)]


def _condition(f: MetadataFilter) -> Where:
    key, value, op = f.key, f.value, f.operator
    if op == FilterOperator.EQ:
        return {key: {"$in": _forms(value)}}
    if op == FilterOperator.NE:
        return {key: {"$nin": _forms(value)}}
    comparisons = {FilterOperator.GT: "$gt", FilterOperator.GTE: "$gte", FilterOperator.LT: "$lt", FilterOperator.LTE: "$lte"}
    if op in comparisons:
        return {key: {comparisons[op]: value}}
    if op == FilterOperator.IN:
        return {key: {"$in": _many(value)}}
    if op == FilterOperator.NIN:
        return {key: {"$nin": _many(value)}}
    if op in (FilterOperator.CONTAINS, FilterOperator.TEXT_MATCH):
        # varnel's $contains: an element of an array field, or with a str
        # operand also a substring of a str field (Python's `in` on either).
        return {key: {"$contains": value}}
    if op in (FilterOperator.ANY, FilterOperator.ALL):
        parts = [{key: {"$contains": v}} for v in _many(value)]
        return {"$or": parts} if op == FilterOperator.ANY else {"$and": parts}
    if op == FilterOperator.IS_EMPTY:
        return {"$or": [{key: {"$exists": False}}, {key: None}, {key: ""}, {key: []}]}
    raise ValueError(f"VarnelVectorStore does not support the filter operator {op.value!r}")


def _part(f: Any) -> Where:
    if isinstance(f, MetadataFilters):
        return to_where(f)
    if isinstance(f, MetadataFilter):
        return _condition(f)
    return {f.key: {"$in": _forms(f.value)}}  # a legacy exact-match filter


def to_where(filters: MetadataFilters) -> Where:
    """The varnel `where` dict of LlamaIndex metadata filters, nesting
    included: AND and OR of the parts, NOT as none of them matching."""
    parts = [_part(f) for f in filters.filters]
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return {"$and": parts}
    if condition == FilterCondition.OR:
        return {"$or": parts}
    if condition == FilterCondition.NOT:
        return {"$not": {"$or": parts}}
    raise ValueError(f"VarnelVectorStore does not support the filter condition {condition!r}")


def _holds_collection(path: str) -> bool:
    return os.path.isdir(path) and any(os.scandir(path))


class VarnelVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store kept by varnel.

    Parameters
    ----------
    path : str or os.PathLike, optional
        A collection directory: opened when it holds one, else created at
        the first `add` (with the dimension of its embeddings).
    collection : varnel.Collection or varnel.Index, optional
        A store to use as it is (not closed by `close`). Give at most one of
        `path` and `collection`; with neither the nodes live in an
        in-memory `varnel.Index`.
    metric : {'cosine', 'euclidean', 'dot'}, optional
        For a new store; 'cosine' when not given. An existing store keeps
        its own, and a different one given here is refused.

    Query similarities are higher for nearer nodes: the cosine for
    'cosine', the dot product for 'dot', 1 / (1 + distance) for 'euclidean'.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    path: Optional[str] = None
    metric: str = "cosine"

    _store: Optional[Store] = PrivateAttr(default=None)
    _owned: bool = PrivateAttr(default=True)
    _lock: Any = PrivateAttr(default_factory=threading.Lock)  # guards the creation of _store

    def __init__(
        self,
        path: Union[str, "os.PathLike[str]", None] = None,
        collection: Optional[Store] = None,
        metric: Optional[str] = None,
        **kwargs: Any,
    ) -> None:
        if path is not None and collection is not None:
            raise TypeError("VarnelVectorStore takes path or collection, not both")
        text = None if path is None else os.fspath(path)
        store: Optional[Store] = collection
        if store is None and text is not None and _holds_collection(text):
            store = varnel.Collection(text, metric=metric)
        if store is not None:
            if metric is not None and metric != store.metric:
                raise ValueError(f"the store's metric is {store.metric!r}, not {metric!r}")
            metric = store.metric
        super().__init__(path=text, metric=metric or "cosine", **kwargs)
        self._store = store
        self._owned = collection is None

    @classmethod
    def class_name(cls) -> str:
        return "VarnelVectorStore"

    @property
    def client(self) -> Optional[Store]:
        """The varnel store; None until the first nodes of a new one."""
        return self._store

    def close(self) -> None:
        """Closes a collection this store opened (flushing it); idempotent."""
        if self._owned and isinstance(self._store, varnel.Collection):
            self._store.close()

    def _create(self, dim: int) -> Store:
        with self._lock:
            if self._store is None:
                if self.path is None:
                    self._store = varnel.Index(dim, self.metric)
                else:
                    self._store = varnel.Collection(self.path, dim, self.metric)
            return self._store

    # -- writing ---------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Stores the nodes with their embeddings, replacing nodes of the
        same ids. Nothing is stored when a node has no embedding, its
        metadata uses a reserved key or holds a value varnel refuses, or two
        different node ids meet on one row."""
        if not nodes:
            return []
        ids, payloads, vectors = [], [], []
        for node in nodes:
            taken = [key for key in _RESERVED if key in node.metadata]
            if taken:
                raise ValueError(f"metadata of node {node.node_id!r} uses the reserved key {taken[0]!r}")
            payload = node_to_metadata_dict(node, remove_text=True, flat_metadata=self.flat_metadata)
            # The metadata as given, not its JSON form (where infinity became
            # null), so varnel refuses what it cannot store as it is.
            payload.update(node.metadata)
            payload[TEXT_KEY] = node.get_content(metadata_mode=MetadataMode.NONE)
            payload[ID_KEY] = node.node_id
            ids.append(node.node_id)
            payloads.append(payload)
            vectors.append(node.get_embedding())
        matrix = np.asarray(vectors, dtype=np.float32)
        rows: list[int] = []
        seen: dict[int, str] = {}
        for node_id in ids:
            r = row_id(node_id)
            if seen.setdefault(r, node_id) != node_id:
                raise ValueError(f"node ids {seen[r]!r} and {node_id!r} share the row id {r}")
            rows.append(r)
        if self._store is None:
            # Everything is checked before the store exists, so a refused
            # first call leaves no collection (of its dimension) behind.
            varnel.Index(matrix.shape[1], self.metric).upsert(rows, matrix, payloads)
        store = self._store if self._store is not None else self._create(matrix.shape[1])
        for r, node_id in zip(rows, ids):
            entry = store.get(r)
            if entry is not None and entry[1].get(ID_KEY) != node_id:
                raise ValueError(f"node id {node_id!r} shares the row id {r} with the stored id {entry[1].get(ID_KEY)!r}")
        # A node given twice: its last version wins, as if added one by one.
        last = list({r: i for i, r in enumerate(rows)}.values())
        store.upsert([rows[i] for i in last], matrix[last], [payloads[i] for i in last])
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Removes every node of the document `ref_doc_id`."""
        if self._store is not None:
            self._store.delete(where={"ref_doc_id": ref_doc_id})

    def delete_nodes(
        self,
        node_ids: Optional[list[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Removes the nodes of `node_ids` that match `filters` (missing ids
        are skipped); give at least one of the two (`clear` removes all)."""
        if node_ids is None and filters is None:
            raise ValueError("delete_nodes takes node_ids or filters; clear() removes every node")
        if self._store is not None:
            self._store.delete(where=self._where(node_ids, filters))

    def clear(self) -> None:
        """Removes every node."""
        if self._store is not None:
            self._store.delete(where={})

    # -- reading ---------------------------------------------------------

    @staticmethod
    def _where(
        node_ids: Optional[list[str]] = None,
        filters: Optional[MetadataFilters] = None,
        doc_ids: Optional[list[str]] = None,
    ) -> Where:
        parts: list[Where] = []
        if node_ids is not None:
            parts.append({ID_KEY: {"$in": list(node_ids)}})
        if doc_ids is not None:
            parts.append({"ref_doc_id": {"$in": list(doc_ids)}})
        if filters is not None:
            parts.append(to_where(filters))
        return {"$and": parts}

    @staticmethod
    def _node(payload: dict[str, Any]) -> BaseNode:
        metadata = dict(payload)
        text = metadata.pop(TEXT_KEY)
        metadata.pop(ID_KEY)
        return metadata_dict_to_node(metadata, text=text)

    def get_nodes(
        self,
        node_ids: Optional[list[str]] = None,
        filters: Optional[MetadataFilters] = None,
    ) -> list[BaseNode]:
        """The stored nodes of `node_ids` (in that order, missing ones
        skipped) or of every id, that match `filters`."""
        if self._store is None:
            return []
        rows = self._store.scan(self._where(node_ids, filters))
        assert rows.payloads is not None
        found = {p[ID_KEY]: p for p in rows.payloads}
        order = node_ids if node_ids is not None else list(found)
        return [self._node(found[i]) for i in order if i in found]

    def _similarity(self, distance: float) -> float:
        if self.metric == "cosine":
            return 1.0 - distance
        if self.metric == "dot":
            return -distance
        return 1.0 / (1.0 + distance)

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` nodes nearest to `query_embedding` among
        those matching `filters`, `node_ids` and `doc_ids`, nearest first.
        Only the default (dense) mode is supported."""
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"VarnelVectorStore supports the default query mode only, not {query.mode.value!r}")
        if query.query_embedding is None:
            raise ValueError("VarnelVectorStore needs a query_embedding")
        if self._store is None or query.similarity_top_k <= 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        # LlamaIndex's retrievers pass an empty list of ids for "no restriction".
        where = self._where(query.node_ids or None, query.filters, query.doc_ids or None)
        vector = np.asarray(query.query_embedding, dtype=np.float32)
        hits = self._store.search(vector, query.similarity_top_k, where, payloads=True)
        assert hits.payloads is not None
        return VectorStoreQueryResult(
            nodes=[self._node(p) for p in hits.payloads],
            similarities=[self._similarity(float(d)) for d in hits.distances],
            ids=[p[ID_KEY] for p in hits.payloads],
        )
