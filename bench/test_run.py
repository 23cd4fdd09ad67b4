"""Checks of the benchmark's own logic (no timings): the hand-written numpy
baseline and the varnel adapter must answer exactly, and the verdicts and
tables must follow from the numbers. Run: python -m pytest bench"""

import importlib.util
import os
import sys

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402


def naive_top(X, q, metric, k=run.K):
    if metric == "l2":
        score = ((X - q) ** 2).sum(axis=1)
    elif metric == "ip":
        score = -(X @ q)
    else:
        score = -(X @ q) / (np.linalg.norm(X, axis=1) * np.linalg.norm(q))
    return np.argsort(score, kind="stable")[:k].tolist()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    return (rng.standard_normal((600, 16)).astype(np.float32),
            rng.standard_normal((7, 16)).astype(np.float32))


@pytest.mark.parametrize("metric", ["l2", "ip", "cos"])
def test_numpy_peer_answers_exactly_one_at_a_time_and_in_chunks(data, metric):
    X, Q = data
    peer = run.NumpyPeer(metric, X.shape[1], 1)
    peer.build(X)
    peer.chunk_bytes = 3 * 4 * len(X)  # three queries per chunk: a partial last chunk
    expected = [naive_top(X.astype(np.float64), q.astype(np.float64), metric) for q in Q]
    assert [peer.one(q) for q in Q] == expected
    assert peer.many(Q) == expected


@pytest.mark.skipif(importlib.util.find_spec("_varnel") is None, reason="_varnel not installed")
@pytest.mark.parametrize("metric", ["l2", "ip", "cos"])
def test_varnel_peer_uses_the_metric_it_is_named_for(data, metric):
    X, Q = data
    peer = run.VarnelPeer(metric, X.shape[1], 1)
    peer.build(X)
    expected = [naive_top(X.astype(np.float64), q.astype(np.float64), metric) for q in Q]
    assert [peer.one(q) for q in Q] == expected
    assert peer.many(Q) == expected


@pytest.mark.parametrize("seconds, small, large, fits", [
    (0.001, 1000, 10000, True),
    (0.5, 1000, 10000, True),     # 50 s even if quadratic
    (0.7, 1000, 10000, False),    # 70 s if quadratic
    (60.0, 1000, 1000, True),
])
def test_fits_budget_assumes_quadratic_growth(seconds, small, large, fits):
    assert run.fits_budget(seconds, small, large) is fits


def results_with(varnel_single, faiss_single, hnsw_single, bw=25e9, open_ratio=1.5, rss=1.2):
    rows = []
    for peer, single in (("varnel", varnel_single), ("faiss", faiss_single),
                         ("hnswlib", hnsw_single)):
        for metric in ("l2", "ip"):
            rows.append({"task": "search", "peer": peer, "n": 1_000_000, "d": 128,
                         "metric": metric, "threads": 1, "single_s": single,
                         "batch_qps": {"100": 1 / single, "1000": 1 / single}})
    rows.append({"task": "search", "peer": "sqlite-vec", "n": 1_000_000, "d": 128, "metric": "ip",
                 "threads": 1, "skipped": "no inner product"})
    rows.append({"task": "search", "peer": "usearch", "n": 1_000_000, "d": 128, "metric": "l2",
                 "threads": 1, "error": "RuntimeError: boom"})
    rows.append({"task": "open", "peer": "varnel", "n": 1_000_000, "d": 128,
                 "data_file_bytes": 540_000_000, "insert_s": 10.0, "flush_s": 1.0, "open_s": 0.6,
                 "open_s_all": [0.6], "read_whole_s": 0.5, "read_stream_s": 0.4,
                 "open_over_read": open_ratio, "open_over_read_whole": 1.2,
                 "peak_rss_bytes": rss * 512e6, "baseline_rss_bytes": 1e7, "vector_bytes": 512e6,
                 "rss_over_vectors": rss, "reopened_probe_found": True})
    return {"preset": "test", "k": 10, "rows": rows, "total_s": 1.0, "load_at_end": [0.1] * 3,
            "load": {"waited_s": 0, "load_at_start": [0.1] * 3},
            "bandwidth": {"best_bytes_per_s": bw, "bytes": 1 << 30, "add.reduce": bw,
                          "maximum.reduce": bw},
            "machine": {"Model name": "test cpu", "cores": 2, "versions": {}}}


def verdicts(results):
    return {name: verdict for name, _, verdict in run.evaluate_targets(results)}


@pytest.mark.parametrize("varnel_s, faiss_s, hnsw_s, expect", [
    # 512 MB at 25 GB/s is 20.48 ms; 1.15 x that is 23.55 ms.
    (0.0210, 0.030, 0.040, {"bandwidth": "met", "hnswlib": "met", "FAISS flat": "met"}),
    (0.0240, 0.030, 0.040, {"bandwidth": "**missed**", "hnswlib": "met", "FAISS flat": "met"}),
    (0.0210, 0.020, 0.030, {"bandwidth": "met", "hnswlib": "**missed**", "FAISS flat": "**missed**"}),
])
def test_single_query_verdicts_follow_the_numbers(varnel_s, faiss_s, hnsw_s, expect):
    v = verdicts(results_with(varnel_s, faiss_s, hnsw_s))
    for metric in ("l2", "ip"):
        assert v[f"one query 1M x 128 {metric}: at most 1.15 x bytes / bandwidth"] == expect["bandwidth"]
        assert v[f"one query 1M x 128 {metric}: at least 1.5 x faster than hnswlib BF"] == expect["hnswlib"]
        assert v[f"one query 1M x 128 {metric}: faster than FAISS flat"] == expect["FAISS flat"]


@pytest.mark.parametrize("open_ratio, rss, open_verdict, rss_verdict", [
    (1.9, 1.29, "met", "met"),
    (2.1, 1.31, "**missed**", "**missed**"),
])
def test_open_verdicts_follow_the_numbers(open_ratio, rss, open_verdict, rss_verdict):
    v = verdicts(results_with(0.02, 0.03, 0.04, open_ratio=open_ratio, rss=rss))
    assert v["open 1000k x 128: at most 2 x a sequential read of data.vnl"] == open_verdict
    assert v["open 1000k x 128: peak memory at most 1.3 x the vectors"] == rss_verdict


def test_markdown_names_failed_peers_and_leaves_skipped_cells_empty():
    text = run.render_markdown(results_with(0.02, 0.03, 0.04))
    assert "usearch n=1000000 d=128 l2: error RuntimeError: boom" in text
    assert "## Targets" in text and "## Reopening a collection" in text
    ip_table = text.split("### d = 128, inner product")[1].split("###")[0]
    assert "—" in ip_table  # sqlite-vec has no inner product
