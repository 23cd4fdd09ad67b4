"""What the standard suite leaves out: filters, scores per metric, exact
MMR, a reopened directory, and the refusals that store nothing."""

from pathlib import Path
from typing import Any

import numpy as np
import pytest
import varnel
from langchain_core.embeddings import Embeddings

import langchain_varnel.vectorstores as lv
from langchain_varnel import VarnelVectorStore

# Each text's embedding is written in its name: "1,0" is [1, 0].
class Coords(Embeddings):
    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return [float(x) for x in text.split(",")]


DOCS: dict[str, dict[str, Any]] = {  # text: metadata
    "1,0": {"genre": "jazz", "year": 1959, "tags": ["a", "b"]},
    "0.9,0.1": {"genre": "jazz", "year": 2001, "tags": ["b"]},
    "0.6,0.8": {"genre": "rock", "year": 1971},
    "0,1": {"genre": "rock", "year": 2010, "tags": []},
    "-1,0": {"genre": "folk"},
}


def make(metric: str = "cosine", **kw: Any) -> VarnelVectorStore:
    texts = list(DOCS)
    return VarnelVectorStore.from_texts(texts, Coords(), [DOCS[t] for t in texts], ids=texts, metric=metric, **kw)


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"genre": "jazz"}, ["1,0", "0.9,0.1"]),
        ({"year": {"$gte": 2000}}, ["0.9,0.1", "0,1"]),
        ({"$or": [{"genre": "folk"}, {"year": {"$lt": 1960}}]}, ["1,0", "-1,0"]),
        ({"tags": {"$contains": "a"}}, ["1,0"]),
        ({"year": {"$exists": False}}, ["-1,0"]),
        ({"genre": {"$nin": ["jazz", "rock"]}}, ["-1,0"]),
    ],
)
def test_filter_selects_by_metadata_before_the_search(where: dict[str, Any], expected: list[str]) -> None:
    store = make()
    found = store.similarity_search("1,0", k=10, filter=where)
    assert [d.id for d in found] == expected
    retriever = store.as_retriever(search_kwargs={"k": 1, "filter": where})
    assert [d.id for d in retriever.invoke("1,0")] == expected[:1]
    assert store.delete(filter=where)
    assert store.get_by_ids(expected) == []
    assert len(store.get_by_ids(list(DOCS))) == len(DOCS) - len(expected)


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot"])
def test_scores_are_exact_distances_and_relevance_follows_the_metric(metric: str) -> None:
    store = make(metric)
    query = np.array([0.8, 0.6], dtype=np.float32)
    vecs = np.array([Coords().embed_query(t) for t in DOCS], dtype=np.float32)
    if metric == "cosine":
        want = 1 - vecs @ query / (np.linalg.norm(vecs, axis=1) * np.linalg.norm(query))
    elif metric == "euclidean":
        want = np.linalg.norm(vecs - query, axis=1)
    else:
        want = -(vecs @ query)
    order = np.argsort(want, kind="stable")
    got = store.similarity_search_with_score("0.8,0.6", k=len(DOCS))
    assert [d.id for d, _ in got] == [list(DOCS)[i] for i in order]
    assert np.allclose([s for _, s in got], want[order], atol=1e-6)
    # A stored unit vector is the most relevant match of itself: relevance 1.
    top = store.similarity_search_with_relevance_scores("0,1", k=1)
    assert top[0][0].id == "0,1"
    assert top[0][1] == pytest.approx(1.0, abs=1e-6)


def test_mmr_trades_nearness_for_diversity_over_the_exact_candidates() -> None:
    store = make()
    near = store.max_marginal_relevance_search("1,0", k=2, fetch_k=5, lambda_mult=1.0)
    assert [d.id for d in near] == ["1,0", "0.9,0.1"]
    diverse = store.max_marginal_relevance_search("1,0", k=2, fetch_k=5, lambda_mult=0.2)
    assert [d.id for d in diverse] == ["1,0", "-1,0"]
    only_rock = store.max_marginal_relevance_search("1,0", k=3, fetch_k=5, filter={"genre": "rock"})
    assert {d.id for d in only_rock} == {"0.6,0.8", "0,1"}


def test_reopened_directory_keeps_documents_and_metric(tmp_path: Path) -> None:
    path = tmp_path / "docs"
    store = make("euclidean", path=path)
    store.delete(["0,1", "missing"])
    store.close()
    again = VarnelVectorStore(Coords(), path=path)
    assert again.metric == "euclidean"
    assert [d.id for d in again.similarity_search("0,1", k=2)] == ["0.6,0.8", "0.9,0.1"]
    assert [d.metadata for d in again.get_by_ids(["-1,0", "0,1", "1,0"])] == [DOCS["-1,0"], DOCS["1,0"]]
    again.close()
    with pytest.raises(ValueError):
        VarnelVectorStore(Coords(), path=path, metric="cosine")
    # An existing collection is used as it is and left open.
    with varnel.Collection(path) as coll:
        assert len(VarnelVectorStore(Coords(), collection=coll).get_by_ids(["1,0"])) == 1


@pytest.mark.parametrize(
    "metadatas, ids, text",
    [
        ([{"_text": "x"}, {}], ["a", "b"], "reserved key '_text'"),
        ([{}, {"_id": "x"}], ["a", "b"], "reserved key '_id'"),
        ([{}, {"v": float("nan")}], ["a", "b"], "not finite"),
        ([{}, {}], ["a", "b"], "share the row id"),  # two ids on one row
    ],
)
def test_refused_add_stores_nothing(monkeypatch: pytest.MonkeyPatch, metadatas: Any, ids: Any, text: str) -> None:
    store = make()
    if "share" in text:
        monkeypatch.setattr(lv, "row_id", lambda doc_id: 7)
    with pytest.raises(ValueError, match=text):
        store.add_texts(["1,1", "2,2"], metadatas, ids=ids)
    monkeypatch.undo()
    assert store.get_by_ids(["a", "b"]) == []
    assert store.collection is not None and len(store.collection) == len(DOCS)


def test_id_meeting_a_stored_id_on_its_row_is_refused(monkeypatch: pytest.MonkeyPatch) -> None:
    store = VarnelVectorStore(Coords())
    monkeypatch.setattr(lv, "row_id", lambda doc_id: 7)
    store.add_texts(["1,0"], ids=["first"])
    with pytest.raises(ValueError, match="stored id 'first'"):
        store.add_texts(["0,1"], ids=["second"])
    assert [d.page_content for d in store.get_by_ids(["first", "second"])] == ["1,0"]
    assert store.delete(["second"]) and len(store.get_by_ids(["first"])) == 1


def test_refused_first_add_makes_no_collection(tmp_path: Path) -> None:
    store = VarnelVectorStore(Coords(), path=tmp_path / "docs")
    with pytest.raises(ValueError, match="not finite"):
        store.add_texts(["1,0", "0,1"], [{}, {"v": float("inf")}])
    assert not (tmp_path / "docs").exists() and store.collection is None
    store.add_texts(["1,0,0"], ids=["a"])  # the dimension is still open
    assert store.collection is not None and store.collection.dim == 3
