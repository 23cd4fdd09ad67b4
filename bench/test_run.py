"""Checks of the benchmark's own logic (no timings): the hand-written numpy
baseline and the varnel adapter must answer exactly, and the verdicts and
tables must follow from the numbers. Run: python -m pytest bench"""

import importlib.util
import os
import sys

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import run  # noqa: E402
import workers  # noqa: E402


def naive_top(X, q, metric, k=common.K):
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
    peer = peers.NumpyPeer(metric, X.shape[1], 1)
    peer.build(X)
    peer.chunk_bytes = 3 * 4 * len(X)  # three queries per chunk: a partial last chunk
    expected = [naive_top(X.astype(np.float64), q.astype(np.float64), metric) for q in Q]
    assert [peer.one(q) for q in Q] == expected
    assert peer.many(Q) == expected


@pytest.mark.parametrize("module, peer_class, threads", [
    ("_varnel", "VarnelPeer", 1), ("varnel", "VarnelIndexPeer", 1), ("varnel", "VarnelIndexPeer", 2)])
@pytest.mark.parametrize("metric", ["l2", "ip", "cos"])
def test_varnel_peers_use_the_metric_they_are_named_for(data, metric, module, peer_class, threads):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} not installed")
    X, Q = data
    peer = getattr(peers, peer_class)(metric, X.shape[1], threads)
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
    assert workers.fits_budget(seconds, small, large) is fits


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
    return {name: verdict for name, _, verdict in report.evaluate_targets(results)}


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
    text = report.render_markdown(results_with(0.02, 0.03, 0.04))
    assert "usearch n=1000000 d=128 l2: error RuntimeError: boom" in text
    assert "## Targets" in text and "## Reopening a collection" in text
    ip_table = text.split("### d = 128, inner product")[1].split("###")[0]
    assert "—" in ip_table  # sqlite-vec has no inner product


# --------------------------------------------------------------------------- filtered search, recall

def have(module):
    return importlib.util.find_spec(module) is not None


@pytest.mark.parametrize("keep_rows", [None, "half", "few", "none"])
def test_exact_l2_top_is_the_naive_answer_over_the_matching_rows(data, keep_rows):
    X, Q = data
    rng = np.random.default_rng(9)
    mask = {None: None, "half": rng.random(len(X)) < 0.5,
            "few": np.isin(np.arange(len(X)), [3, 50, 51, 400]),  # fewer than k
            "none": np.zeros(len(X), bool)}[keep_rows]
    rows = np.arange(len(X)) if mask is None else np.flatnonzero(mask)
    expected = [rows[naive_top(X[rows].astype(np.float64), q.astype(np.float64), "l2")].tolist()
                for q in Q]
    assert common.exact_l2_top(X, Q, mask, candidates=20) == expected


def test_exact_l2_top_orders_equal_distances_by_row():
    X = np.zeros((30, 4), np.float32)  # every distance equal
    assert common.exact_l2_top(X, np.ones((1, 4), np.float32))[0] == list(range(common.K))


@pytest.mark.parametrize("found, exact, recall", [
    ([[1, 2, 3]], [[3, 2, 1]], 1.0),                 # order does not matter
    ([[1, 2, 9], [4, 5, 6]], [[1, 2, 3], [7, 8, 9]], (2 / 3 + 0) / 2),
    ([[1, 2]], [[1, 2, 3, 4]], 0.5),                 # fewer hits than asked
])
def test_recall_at_k(found, exact, recall):
    assert common.recall_at_k(found, exact) == pytest.approx(recall)


def test_group_by_query_sorts_each_query_by_distance():
    qi = np.array([1, 0, 1, 0, 1])
    dist = np.array([0.5, 0.2, 0.1, 0.1, 0.9])
    ids = np.array([10, 20, 30, 40, 50])
    assert common.group_by_query(qi, dist, ids, 3) == [[40, 20], [30, 10, 50], []]


def where_matches(where, payload):
    """A plain evaluation of the `where` dicts the benchmark uses."""
    ops = {"$gte": lambda a, b: a >= b, "$lt": lambda a, b: a < b}
    for key, cond in where.items():
        if key == "$and":
            if not all(where_matches(w, payload) for w in cond):
                return False
        elif isinstance(cond, dict):
            if not all(ops[op](payload[key], v) for op, v in cond.items()):
                return False
        elif payload[key] != cond:
            return False
    return True


@pytest.fixture(scope="module")
def fields():
    return common.make_fields(20_000)


@pytest.mark.parametrize("shape", common.FILTER_SHAPES)
@pytest.mark.parametrize("keep", common.FILTER_KEEPS)
def test_the_three_forms_of_a_filter_keep_the_same_rows(fields, shape, keep):
    import sqlite3
    spec = common.FilterSpec(shape, keep)
    mask = spec.mask(fields)
    payloads = common.payloads_of(fields)
    assert [where_matches(spec.where, p) for p in payloads] == mask.tolist()
    db = sqlite3.connect(":memory:")
    db.execute("create table t (id integer primary key, cat text, grp text, num float)")
    db.executemany("insert into t values (?, ?, ?, ?)",
                   ((i, p["cat"], p["grp"], p["num"]) for i, p in enumerate(payloads)))
    got = [r[0] for r in db.execute(f"select id from t where {spec.sql} order by id")]
    assert got == np.flatnonzero(mask).tolist()
    # Each keeps about the share it is named for (equality exactly).
    share = mask.mean()
    assert share == keep if shape == "eq" else abs(share - keep) < 4 * (keep / len(mask)) ** 0.5


def test_payloads_of_builds_one_dict_per_row_with_plain_python_values(fields):
    payloads = common.payloads_of(fields)
    assert len(payloads) == 20_000 and common.payloads_of(None) is None
    assert set(payloads[0]) == {"cat", "grp", "num"}
    assert all(type(payloads[7][k]) is t for k, t in (("cat", str), ("grp", str), ("num", float)))


def filtered_peer_answers(peer_class, X, Q, fields, spec):
    peer = peer_class("l2", X.shape[1], 1)
    try:
        peer.build(X, fields)
        return [peer.one(q, spec) for q in Q], peer.many(Q, spec)
    finally:
        if hasattr(peer, "close"):
            peer.close()


@pytest.mark.parametrize("peer", [
    pytest.param("VarnelIndexPeer", marks=pytest.mark.skipif(not have("varnel"), reason="no varnel")),
    pytest.param("LanceDBPeer", marks=pytest.mark.skipif(not have("lancedb"), reason="no lancedb")),
    pytest.param("SqliteVecPeer", marks=pytest.mark.skipif(not have("sqlite_vec"), reason="no sqlite-vec")),
])
@pytest.mark.parametrize("shape", common.FILTER_SHAPES)
def test_filtered_peers_return_the_exact_hits_of_the_matching_rows(tmp_path, data, peer, shape):
    X, Q = data
    f = common.make_fields(len(X))
    spec = common.FilterSpec(shape, 0.10)
    peers.WORK_DIR = str(tmp_path)
    expected = common.exact_l2_top(X, Q, spec.mask(f))
    one, many = filtered_peer_answers(getattr(peers, peer), X, Q, f, spec)
    assert one == expected and many == expected


@pytest.mark.skipif(not have("varnel"), reason="no varnel")
def test_identical_to_subset_sees_a_filter_that_lets_through_the_wrong_rows(data):
    X, Q = data
    f = common.make_fields(len(X))
    peer = peers.VarnelIndexPeer("l2", X.shape[1], 2)
    peer.build(X, f)
    spec = common.FilterSpec("eq", 0.10)
    assert workers.identical_to_subset(peer, X, Q, spec, spec.mask(f), 2)
    wrong = common.FilterSpec("eq", 0.50)  # another category's rows
    assert not workers.identical_to_subset(peer, X, Q, wrong, spec.mask(f), 2)


# --------------------------------------------------------------------------- the package's verdicts

def package_results(q1=1000.0, q2=1900.0, faiss2=1800.0, s1=0.020, s2=0.011, filt=1.1,
                    identical=True, upsert=160_000.0, lite=100_000.0, open_s=0.14, package_open_s=0.12):
    rows = []
    for metric in ("l2", "ip", "cos"):
        for n in (100_000, 1_000_000):
            for threads, q, s in ((1, q1, s1), (2, q2, s2)):
                rows.append({"task": "search", "peer": common.PACKAGE, "n": n, "d": 128, "metric": metric,
                             "threads": threads, "single_s": s,
                             "batch_qps": {"100": q, "1000": q}})
            rows.append({"task": "search", "peer": "faiss", "n": n, "d": 128, "metric": metric,
                         "threads": 2, "single_s": 0.03, "batch_qps": {"100": faiss2, "1000": faiss2}})
    base = {"task": "filtered", "peer": common.PACKAGE, "n": 1_000_000, "d": 128, "threads": 2}
    rows.append(dict(base, shape=None, keep=1.0, single_s=0.010, batch_qps={"100": 100.0}))
    for shape in common.FILTER_SHAPES:
        for keep in common.FILTER_KEEPS:
            rows.append(dict(base, shape=shape, keep=keep, matching=int(keep * 1_000_000),
                             single_s=0.010 * filt,
                             batch_qps={"100": 100.0 / filt}, identical_to_subset=identical))
    for peer, rate in (("varnel.Collection", upsert), ("sqlite-vec", lite)):
        rows.append({"task": "collection", "peer": peer, "source": "numpy", "n": 100_000, "d": 128,
                     "insert_s": 100_000 / rate, "flush_s": 0.1, "vectors_per_s": rate,
                     "with_flush_vectors_per_s": 100_000 / (100_000 / rate + 0.1)})
    results = results_with(0.02, 0.03, 0.04, open_ratio=open_s / 0.1)
    op = next(r for r in results["rows"] if r["task"] == "open")
    op.update(open_s=open_s, read_stream_s=0.1, package_open_s=package_open_s,
              package_open_over_read=package_open_s / 0.1, package_open_s_all=[package_open_s],
              package_peak_rss_bytes=600e6, package_rss_over_vectors=1.17, package_probe_found=True,
              package1_open_s=0.2, package1_open_over_read=2.0, package1_open_s_all=[0.2, 0.3])
    results["rows"] += rows
    results["bandwidth"]["two_core_bytes_per_s"] = 40e9
    return results


def package_verdicts(**kw):
    return {name: verdict for name, _, verdict in report.package_targets(package_results(**kw))}


def test_open_reports_the_package_with_one_thread_beside_two():
    results = package_results()
    measured = {name: text for name, text, _ in report.package_targets(results)}
    two = next(t for n, t in measured.items() if "varnel.Collection (2 threads)" in n)
    assert two.endswith("(1 thread: 2.00 x)")
    assert "| varnel.Collection (1 thread): open / read through 1 MiB | 2.00 |" in report.render_markdown(results)


def test_package_verdicts_all_met():
    v = package_verdicts()
    assert len(v) == 12 + 3 + 9 + 1 + 2 and set(v.values()) == {"met"}


@pytest.mark.parametrize("kw, missed", [
    # 1.8 x its own one-thread rate misses every batch row.
    ({"q2": 1800.0}, {"batch": 12}),
    # Below FAISS: only inner product and cosine are judged against it.
    ({"faiss2": 2000.0}, {"batch": 8}),
    ({"s2": 0.0125}, {"one query": 3}),
    ({"filt": 1.25}, {"filter": 9}),
    ({"identical": False}, {"filter": 9}),
    ({"upsert": 149_000.0}, {"upsert": 1}),
    ({"open_s": 0.26, "package_open_s": 0.16}, {"open": 2}),
])
def test_package_verdicts_follow_the_numbers(kw, missed):
    v = package_verdicts(**kw)
    miss = [name for name, verdict in v.items() if verdict == "**missed**"]
    (word, count), = missed.items()
    assert len(miss) == count and all(word in name for name in miss)


def test_without_the_package_its_targets_say_not_measured():
    v = {name: verdict for name, _, verdict in report.package_targets(results_with(0.02, 0.03, 0.04))}
    assert list(v.values()).count("not measured") == 1


# --------------------------------------------------------------------------- plan, --only, merging

def test_plan_keeps_lancedb_to_two_threads_and_drops_the_package_when_missing():
    plan = run.plan(run.PRESETS["default"], package=False)
    names = [name for name, _, _ in plan]
    assert len(names) == len(set(names))
    for name, task, threads in plan:
        peers = task.get("peers", [])
        assert common.PACKAGE not in peers
        if task["kind"] == "search":
            assert ("lancedb" in peers) == (threads == 2)
            if threads == 2 and task["metric"] != "l2":
                assert set(peers) <= set(common.TWO_THREAD_PEERS)
            if task["metric"] == "cos" and task["d"] == 128:
                # the batch of 1000 only for the peers a target names
                assert task["peer_batches"] == {p: [100] for p in peers if p not in common.COSINE_1000_PEERS}
    assert common.PACKAGE in next(t for _, t, _ in run.plan(run.PRESETS["default"]) if t["kind"] == "filtered")["peers"]


@pytest.mark.parametrize("name, patterns, chosen", [
    ("search n=100000 d=128 l2 threads=2", [], True),
    ("search n=100000 d=128 l2 threads=2", ["threads=2"], True),
    ("search n=1000000 d=128 l2 threads=2", ["n=100000 "], False),
    ("search n=100000 d=128 l2 threads=2", ["search*l2*=2"], True),
    ("filtered n=1000000 d=128 threads=2", ["open", "filtered"], True),
    ("collection", ["open"], False),
])
def test_selected_matches_patterns_anywhere_in_the_name(name, patterns, chosen):
    assert run.selected(name, patterns) is chosen


def test_merge_replaces_only_the_rerun_configurations():
    old = results_with(0.02, 0.03, 0.04)  # rows without a "config" (an older run)
    old["rows"].append({"task": "fsync", "median_s": 1.0})
    new = {"rows": [{"task": "search", "peer": "varnel", "n": 1_000_000, "d": 128, "metric": "ip",
                     "threads": 1, "single_s": 0.01, "config": "search n=1000000 d=128 ip threads=1"}],
           "started": "now", "load": {"load_at_start": [0.1]}, "total_s": 5.0, "machine": {},
           "notes": [], "config_s": {"search n=1000000 d=128 ip threads=1": 5.0}}
    merged = run.merge_results(old, new, ["d=128 ip"])
    ip = [r for r in merged["rows"] if r.get("metric") == "ip" and r["task"] == "search"]
    assert [r["single_s"] for r in ip] == [0.01]
    assert len(merged["rows"]) == len(old["rows"]) - 4 + 1  # varnel, faiss, hnswlib, sqlite-vec ip
    assert merged["bandwidth"] == old["bandwidth"] and merged["reruns"][0]["only"] == ["d=128 ip"]
    assert "Rerun of the configurations matching `d=128 ip`" in report.render_markdown(merged)


def test_markdown_has_the_thread_and_filter_tables_with_their_ratios():
    text = report.render_markdown(package_results(filt=1.25))
    threads = text.split("## varnel.Index: two threads against one")[1].split("\n## ")[0]
    # 1,000,000 x 128 l2: 20 ms -> 11 ms (0.55 x), 1,000 -> 1,900 q/s (1.90 x), FAISS 1,800 (1.06 x)
    assert "| 1,000,000 | l2 | 20.0 | 11.0 | 0.55 | 12.8 | 1,000 | 1,900 | 1.90 | 1,800 | 1.06 |" in threads
    filtered = text.split("## Filtered search")[1].split("\n## ")[0]
    assert "| string equality, 10% | 10.00% | 12.5 | 1.25 | 80 | 1.25 | — | yes |" in filtered
