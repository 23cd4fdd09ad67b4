"""`VarnelVectorStore`: a LangChain vector store over a varnel `Collection`
(a directory) or `Index` (memory). Every search is varnel's exact one, so
`similarity_search` returns the true k nearest documents.

One document is one row. Its payload holds the metadata fields at the top
level, so a varnel `where` dict filters them by name, beside two reserved
keys: ``"_text"`` (the page content) and ``"_id"`` (the document's string
id). The row id is a 64-bit hash of the string id (`row_id`).
"""

from __future__ import annotations

import hashlib
import os
import threading
import uuid
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import numpy as np
import varnel
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

__all__ = ["ID_KEY", "TEXT_KEY", "VarnelVectorStore", "row_id"]

TEXT_KEY = "_text"
ID_KEY = "_id"
_RESERVED = (TEXT_KEY, ID_KEY)

Store = Union[varnel.Collection, varnel.Index]
Where = Optional[dict[str, Any]]


def row_id(doc_id: str) -> int:
    """The varnel row id of a document id: the first 8 bytes of its BLAKE2b
    digest (UTF-8), read little-endian. The only place that maps one to
    the other; two ids that meet on one row are refused when added."""
    return int.from_bytes(hashlib.blake2b(doc_id.encode("utf-8"), digest_size=8).digest(), "little")


def _document(payload: dict[str, Any]) -> Document:
    metadata = dict(payload)
    text = metadata.pop(TEXT_KEY)
    doc_id = metadata.pop(ID_KEY)
    return Document(id=doc_id, page_content=text, metadata=metadata)


def _holds_collection(path: str) -> bool:
    return os.path.isdir(path) and any(os.scandir(path))


class VarnelVectorStore(VectorStore):
    """A LangChain `VectorStore` kept by varnel.

    Parameters
    ----------
    embedding : Embeddings
    path : str or os.PathLike, optional
        A collection directory: opened when it holds one, else created at
        the first `add_texts` (with the dimension of its embeddings).
    collection : varnel.Collection or varnel.Index, optional
        A store to use as it is (not closed by `close`). Give at most one of
        `path` and `collection`; with neither the documents live in an
        in-memory `varnel.Index`.
    metric : {'cosine', 'euclidean', 'dot'}, optional
        For a new store; 'cosine' when not given. An existing store keeps
        its own, and a different one given here is refused.

    Filters (``filter=``) are varnel `where` dicts over the metadata
    fields: ``{"genre": "jazz", "year": {"$gte": 2000}}``. Scores from
    `similarity_search_with_score` are varnel distances (smaller is nearer).
    """

    def __init__(
        self,
        embedding: Embeddings,
        *,
        path: Union[str, "os.PathLike[str]", None] = None,
        collection: Optional[Store] = None,
        metric: Optional[str] = None,
    ) -> None:
        if path is not None and collection is not None:
            raise TypeError("VarnelVectorStore takes path or collection, not both")
        self._embedding = embedding
        self._path = None if path is None else os.fspath(path)
        self._owned = collection is None
        self._lock = threading.Lock()  # guards the creation of _store
        self._store: Optional[Store] = collection
        if self._store is None and self._path is not None and _holds_collection(self._path):
            self._store = varnel.Collection(self._path, metric=metric)
        if self._store is not None:
            if metric is not None and metric != self._store.metric:
                raise ValueError(f"the store's metric is {self._store.metric!r}, not {metric!r}")
            metric = self._store.metric
        self._metric = metric or "cosine"

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def collection(self) -> Optional[Store]:
        """The varnel store; None until the first documents of a new one."""
        return self._store

    @property
    def metric(self) -> str:
        return self._metric

    def close(self) -> None:
        """Closes a collection this store opened (flushing it); idempotent."""
        if self._owned and isinstance(self._store, varnel.Collection):
            self._store.close()

    def _create(self, dim: int) -> Store:
        with self._lock:
            if self._store is None:
                if self._path is None:
                    self._store = varnel.Index(dim, self._metric)
                else:
                    self._store = varnel.Collection(self._path, dim, self._metric)
            return self._store

    # -- writing ---------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Optional[list[dict[str, Any]]] = None,
        *,
        ids: Optional[Sequence[Optional[str]]] = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores the texts, replacing documents of the same ids.

        An id that is None or missing gets a new UUID4. Nothing is stored
        when a metadata dict uses a reserved key (``_text``, ``_id``), holds a
        value varnel refuses, or when two different ids meet on one row.
        """
        texts = list(texts)
        n = len(texts)
        if metadatas is not None and len(metadatas) != n:
            raise ValueError(f"got {len(metadatas)} metadatas for {n} texts")
        if ids is not None and len(ids) != n:
            raise ValueError(f"got {len(ids)} ids for {n} texts")
        doc_ids = [i if i else str(uuid.uuid4()) for i in (ids if ids is not None else [None] * n)]
        payloads = []
        for i in range(n):
            metadata = metadatas[i] if metadatas is not None else {}
            taken = [key for key in _RESERVED if key in metadata]
            if taken:
                raise ValueError(f"metadata of document {doc_ids[i]!r} uses the reserved key {taken[0]!r}")
            payloads.append({**metadata, TEXT_KEY: texts[i], ID_KEY: doc_ids[i]})
        if n == 0:
            return []
        rows = self._rows(doc_ids)
        vectors = np.asarray(self._embedding.embed_documents(texts), dtype=np.float32)
        if self._store is None:
            # Everything is checked before the store exists, so a refused
            # first call leaves no collection (of its dimension) behind.
            varnel.Index(vectors.shape[1], self._metric).upsert(rows, vectors, payloads)
        store = self._store if self._store is not None else self._create(vectors.shape[1])
        self._check_rows(store, rows, doc_ids)
        # An id given twice: its last document wins, as if added one by one.
        last = list({r: i for i, r in enumerate(rows)}.values())
        store.upsert([rows[i] for i in last], vectors[last], [payloads[i] for i in last])
        return doc_ids

    @staticmethod
    def _rows(doc_ids: Sequence[str]) -> list[int]:
        seen: dict[int, str] = {}
        rows = []
        for doc_id in doc_ids:
            r = row_id(doc_id)
            if seen.setdefault(r, doc_id) != doc_id:
                raise ValueError(f"document ids {seen[r]!r} and {doc_id!r} share the row id {r}")
            rows.append(r)
        return rows

    @staticmethod
    def _check_rows(store: Store, rows: list[int], doc_ids: list[str]) -> None:
        for r, doc_id in zip(rows, doc_ids):
            entry = store.get(r)
            if entry is not None and entry[1].get(ID_KEY) != doc_id:
                raise ValueError(
                    f"document id {doc_id!r} shares the row id {r} with the stored id {entry[1].get(ID_KEY)!r}"
                )

    def _stored_rows(self, doc_ids: Sequence[str]) -> list[Optional[dict[str, Any]]]:
        """The payload stored for each id, None where it is absent."""
        out: list[Optional[dict[str, Any]]] = []
        for doc_id in doc_ids:
            entry = None if self._store is None else self._store.get(row_id(doc_id))
            out.append(entry[1] if entry is not None and entry[1].get(ID_KEY) == doc_id else None)
        return out

    def delete(self, ids: Optional[list[str]] = None, *, filter: Where = None, **kwargs: Any) -> bool:
        """Removes the documents of `ids` (missing ones are skipped), or the
        ones matching `filter`, or with neither every document."""
        if ids is not None and filter is not None:
            raise TypeError("delete takes ids or filter, not both")
        if self._store is None:
            return True
        if ids is None:
            self._store.delete(where=filter or {})
            return True
        found = [row_id(i) for i, p in zip(ids, self._stored_rows(ids)) if p is not None]
        if found:
            self._store.delete(found)
        return True

    # -- reading ---------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents of `ids`, in that order, skipping missing ones."""
        return [_document(p) for p in self._stored_rows(ids) if p is not None]

    def similarity_search_with_score_by_vector(
        self, embedding: Sequence[float], k: int = 4, filter: Where = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The `k` documents nearest to `embedding` that match `filter`, each
        with its distance, nearest first (equal distances by row id)."""
        if self._store is None or k <= 0:
            return []
        hits = self._store.search(np.asarray(embedding, dtype=np.float32), k, filter, payloads=True)
        assert hits.payloads is not None
        return [(_document(p), float(d)) for p, d in zip(hits.payloads, hits.distances)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: Where = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, filter)

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: Where = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter)]

    def similarity_search(self, query: str, k: int = 4, filter: Where = None, **kwargs: Any) -> list[Document]:
        return self.similarity_search_by_vector(self._embedding.embed_query(query), k, filter)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Distance to relevance: 1 - d for cosine, 1 - d / sqrt(2) for
        euclidean (1 to 0 for unit vectors), and for dot (d is the negated
        product) the product's LangChain mapping."""
        return {
            "cosine": self._cosine_relevance_score_fn,
            "euclidean": self._euclidean_relevance_score_fn,
            "dot": self._max_inner_product_relevance_score_fn,
        }[self._metric]

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Where = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Maximal marginal relevance over the exact `fetch_k` nearest
        documents matching `filter`, using their stored vectors."""
        if self._store is None or k <= 0:
            return []
        hits = self._store.search(np.asarray(embedding, dtype=np.float32), fetch_k, filter, payloads=True)
        assert hits.payloads is not None
        vectors, payloads = [], []
        for r, p in zip(hits.ids, hits.payloads):
            entry = self._store.get(int(r))
            if entry is not None:  # else removed since the search
                vectors.append(entry[0])
                payloads.append(p)
        if not vectors:
            return []
        # float32 to Python floats is exact; the candidates are compared by cosine.
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32), np.stack(vectors).tolist(), lambda_mult=lambda_mult, k=k
        )
        return [_document(payloads[i]) for i in chosen]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Where = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter
        )

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: Optional[list[dict[str, Any]]] = None,
        *,
        ids: Optional[list[str]] = None,
        path: Union[str, "os.PathLike[str]", None] = None,
        collection: Optional[Store] = None,
        metric: Optional[str] = None,
        **kwargs: Any,
    ) -> "VarnelVectorStore":
        """A store made as the constructor does, holding `texts`."""
        store = cls(embedding, path=path, collection=collection, metric=metric)
        store.add_texts(texts, metadatas, ids=ids)
        return store
