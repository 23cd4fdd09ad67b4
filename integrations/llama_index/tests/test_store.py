"""VarnelVectorStore under LlamaIndex's own VectorStoreIndex: building,
every filter operator (inside the search), deleting a document, a store
reopened by another process, and the refusals."""

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from llama_index.core import Document, StorageContext, VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.schema import TextNode
from llama_index.core.vector_stores.types import (
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)

from llama_index.vector_stores.varnel import VarnelVectorStore

EMBED = MockEmbedding(embed_dim=8)
DOCS = {  # id: metadata; the text is the id
    "A": {"genre": "jazz", "year": 1959, "tags": ["cool", "modal"], "note": "kind of blue"},
    "B": {"genre": "jazz", "year": 2001, "tags": ["modal"], "note": ""},
    "C": {"genre": "rock", "year": 1971, "tags": []},
    "D": {"genre": "folk", "year": 2010.0},
}


def build(store: VarnelVectorStore) -> VectorStoreIndex:
    docs = [Document(text=f"text {i}", id_=i, metadata=m) for i, m in DOCS.items()]
    context = StorageContext.from_defaults(vector_store=store)
    return VectorStoreIndex.from_documents(docs, storage_context=context, embed_model=EMBED)


def found(index: VectorStoreIndex, filters: MetadataFilters | None = None) -> list[str]:
    hits = index.as_retriever(similarity_top_k=10, filters=filters).retrieve("anything")
    return sorted(h.node.ref_doc_id or "" for h in hits)


def one(key: str, op: str, value: Any) -> MetadataFilters:
    return MetadataFilters(filters=[MetadataFilter(key=key, value=value, operator=FilterOperator(op))])


@pytest.mark.parametrize(
    "filters, expected",
    [
        (one("genre", "==", "jazz"), "AB"),
        (one("year", "==", 2010), "D"),  # a whole number matches in either form
        (one("genre", "!=", "jazz"), "CD"),
        (one("year", ">", 2000), "BD"),
        (one("year", ">=", 1971), "BCD"),
        (one("year", "<", 1971), "A"),
        (one("year", "<=", 1971), "AC"),
        (one("genre", "in", ["rock", "folk"]), "CD"),
        (one("genre", "nin", ["jazz"]), "CD"),
        (one("tags", "contains", "modal"), "AB"),
        (one("note", "text_match", "blue"), "A"),
        (one("tags", "is_empty", None), "CD"),
        (one("note", "is_empty", None), "BCD"),
        (
            MetadataFilters(
                filters=[
                    MetadataFilter(key="genre", value="folk"),
                    MetadataFilters(
                        filters=[
                            MetadataFilter(key="genre", value="jazz"),
                            MetadataFilter(key="year", value=2000, operator=FilterOperator.GT),
                        ]
                    ),
                ],
                condition=FilterCondition.OR,
            ),
            "BD",
        ),
        (MetadataFilters(filters=[MetadataFilter(key="genre", value="jazz")], condition=FilterCondition.NOT), "CD"),
    ],
)
def test_filters_select_inside_the_search(filters: MetadataFilters, expected: str) -> None:
    index = build(VarnelVectorStore())
    assert found(index, filters) == list(expected)
    # top 1 of the filtered search is a match, never an empty post-filtered list
    assert len(index.as_retriever(similarity_top_k=1, filters=filters).retrieve("q")) == 1


def test_delete_ref_doc_nodes_and_clear() -> None:
    store = VarnelVectorStore()
    index = build(store)
    index.delete_ref_doc("B")
    assert found(index) == ["A", "C", "D"]
    ids = {n.ref_doc_id: n.node_id for n in store.get_nodes()}
    assert [n.node_id for n in store.get_nodes([ids["D"], "missing", ids["A"]])] == [ids["D"], ids["A"]]
    store.delete_nodes(filters=one("genre", "==", "rock"))
    store.delete_nodes(node_ids=[ids["A"], "missing"])
    assert [n.ref_doc_id for n in store.get_nodes()] == ["D"]
    with pytest.raises(ValueError, match="clear"):
        store.delete_nodes()
    store.clear()
    assert store.get_nodes() == []


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot"])
def test_query_is_exact_with_node_and_doc_ids(metric: str) -> None:
    store = VarnelVectorStore(metric=metric)
    rng = np.random.default_rng(5)
    vecs = rng.standard_normal((40, 4)).astype(np.float32)
    nodes = [TextNode(text=str(i), id_=f"n{i}", embedding=v.tolist()) for i, v in enumerate(vecs)]
    for i, n in enumerate(nodes):
        n.relationships = {}  # no source document: ref_doc_id is "None"
    store.add(nodes)
    q = rng.standard_normal(4).astype(np.float32)
    if metric == "cosine":
        dist = 1 - vecs @ q / (np.linalg.norm(vecs, axis=1) * np.linalg.norm(q))
    elif metric == "euclidean":
        dist = np.linalg.norm(vecs - q, axis=1)
    else:
        dist = -(vecs @ q)
    res = store.query(VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=5))
    assert res.ids == [f"n{i}" for i in np.argsort(dist, kind="stable")[:5]]
    assert res.similarities == sorted(res.similarities or [], reverse=True)
    sub = ["n3", "n7", "n11"]
    res = store.query(VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=5, node_ids=sub))
    assert set(res.ids or []) == set(sub)
    res = store.query(VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=5, doc_ids=["other"]))
    assert res.ids == []


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda s: s.query(VectorStoreQuery(query_embedding=[0.5] * 8, mode=VectorStoreQueryMode.MMR)), "mode"),
        (lambda s: s.query(VectorStoreQuery(query_str="q")), "query_embedding"),
        (lambda s: s.query(VectorStoreQuery([0.5] * 8, filters=one("note", "text_match_insensitive", "x"))), "operator"),
        (lambda s: s.add([TextNode(text="x", id_="x", metadata={"_text": 1}, embedding=[0.5] * 8)]), "reserved"),
        (lambda s: s.add([TextNode(text="x", id_="x", metadata={"v": float("inf")}, embedding=[0.5] * 8)]), "finite"),
    ],
)
def test_refused_calls_change_nothing(call: Any, text: str) -> None:
    store = VarnelVectorStore()
    build(store)
    with pytest.raises(ValueError, match=text):
        call(store)
    assert len(store.get_nodes()) == len(DOCS)


def test_persisted_store_reopens_in_a_new_process(tmp_path: Path) -> None:
    path = tmp_path / "nodes"
    store = VarnelVectorStore(path=path, metric="dot")
    with pytest.raises(ValueError, match="finite"):  # a refused first add makes no collection
        store.add([TextNode(text="x", id_="x", metadata={"v": float("nan")}, embedding=[0.5] * 3)])
    assert not path.exists()
    build(store)
    store.close()
    script = f"""
import json
from llama_index.core import VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.vector_stores.types import MetadataFilter, MetadataFilters
from llama_index.vector_stores.varnel import VarnelVectorStore
store = VarnelVectorStore(path={str(path)!r})
index = VectorStoreIndex.from_vector_store(store, embed_model=MockEmbedding(embed_dim=8))
jazz = MetadataFilters(filters=[MetadataFilter(key="genre", value="jazz")])
hits = index.as_retriever(similarity_top_k=10, filters=jazz).retrieve("q")
print(json.dumps([store.metric, sorted(h.node.get_content() for h in hits)]))
"""
    # Run in tmp_path, so the source tree never shadows the installed module.
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True, cwd=tmp_path)
    assert json.loads(out.stdout) == ["dot", ["text A", "text B"]]
