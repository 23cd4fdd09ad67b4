"""varnel search: filters against a plain-Python evaluation of the same
dicts, the tie rule, results across thread counts and against _varnel."""

import math
import random

import numpy as np
import pytest

import _varnel
import varnel

METRICS = ["euclidean", "cosine", "dot"]


# ---- a plain-Python reading of the filter dicts, with the core's semantics


def json_equal(a, b):
    """Same kind and number form: 1 != 1.0 and True != 1."""
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if isinstance(a, int) and isinstance(b, int):
        return a == b
    if isinstance(a, float) and isinstance(b, float):
        return a == b
    if isinstance(a, str) and isinstance(b, str):
        return a == b
    if a is None or b is None:
        return a is None and b is None
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return False


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def field_matches(payload, field, spec):
    present = field in payload
    value = payload.get(field)
    if not isinstance(spec, dict):
        return present and json_equal(value, spec)
    for op, arg in spec.items():
        if op == "$eq":
            ok = present and json_equal(value, arg)
        elif op == "$ne":
            ok = not (present and json_equal(value, arg))
        elif op in ("$gt", "$gte", "$lt", "$lte"):
            ok = present and is_number(value) and {
                "$gt": float(value) > float(arg),
                "$gte": float(value) >= float(arg),
                "$lt": float(value) < float(arg),
                "$lte": float(value) <= float(arg),
            }[op]
        elif op == "$in":
            ok = present and any(json_equal(value, x) for x in arg)
        elif op == "$nin":
            ok = not (present and any(json_equal(value, x) for x in arg))
        elif op == "$contains":
            ok = present and (
                (isinstance(value, str) and isinstance(arg, str) and arg in value)
                or (isinstance(value, list) and any(json_equal(x, arg) for x in value))
            )
        elif op == "$exists":
            ok = present == arg
        else:
            raise AssertionError(op)
        if not ok:
            return False
    return True


def matches(payload, where):
    for key, spec in where.items():
        if key == "$and":
            ok = all(matches(payload, w) for w in spec)
        elif key == "$or":
            ok = any(matches(payload, w) for w in spec)
        elif key == "$not":
            ok = not matches(payload, spec)
        else:
            ok = field_matches(payload, key, spec)
        if not ok:
            return False
    return True


GENRES = ["jazz", "rock", "folk", "jazz fusion"]


def random_payload(rng):
    p = {}
    if rng.random() < 0.8:
        p["genre"] = rng.choice(GENRES)
    if rng.random() < 0.8:
        p["year"] = rng.choice([rng.randint(1950, 2024), float(rng.randint(1950, 2024)), -5])
    if rng.random() < 0.3:
        p["tags"] = rng.choice([["a"], ["a", "b"], []])
    if rng.random() < 0.3:
        p["flag"] = rng.choice([True, False, None, 1])
    return p


def random_where(rng, depth=0):
    leaves = [
        lambda: {"genre": rng.choice(GENRES)},
        lambda: {"genre": {"$ne": rng.choice(GENRES)}},
        lambda: {"year": {rng.choice(["$gt", "$gte", "$lt", "$lte"]): rng.choice([1980, 1999.5, 2000])}},
        lambda: {"year": {"$gte": 1970, "$lt": 2000}},
        lambda: {"year": rng.choice([2000, 2000.0])},
        lambda: {"genre": {"$in": rng.sample(GENRES, 2)}},
        lambda: {"genre": {"$contains": "jazz"}},
        lambda: {"genre": {"$nin": rng.sample(GENRES, 2)}},
        lambda: {"tags": {"$contains": rng.choice(["a", "b", 1])}},
        lambda: {"flag": {"$exists": rng.choice([True, False])}},
        lambda: {"flag": rng.choice([True, 1, None])},
        lambda: {"tags": ["a", "b"]},
        lambda: {"genre": "rock", "year": {"$lt": 1990}},
    ]
    if depth >= 2 or rng.random() < 0.5:
        return rng.choice(leaves)()
    op = rng.choice(["$and", "$or", "$not"])
    if op == "$not":
        return {"$not": random_where(rng, depth + 1)}
    return {op: [random_where(rng, depth + 1) for _ in range(rng.randint(0, 3))]}


@pytest.fixture(scope="module")
def filtered_data():
    rng = random.Random(5)
    n, dim = 300, 4
    vectors = np.random.default_rng(5).standard_normal((n, dim)).astype(np.float32)
    payloads = [random_payload(rng) for _ in range(n)]
    index = varnel.Index(dim, "euclidean", threads=2)
    index.upsert(np.arange(n), vectors, payloads)
    return index, vectors, payloads


@pytest.mark.parametrize("seed", range(60))
def test_filter_keeps_exactly_the_rows_a_plain_reading_keeps(filtered_data, seed):
    index, vectors, payloads = filtered_data
    where = random_where(random.Random(seed))
    keep = [i for i, p in enumerate(payloads) if matches(p, where)]
    query = vectors[seed]
    hits = index.search(query, len(payloads), where=where)
    assert sorted(hits.ids.tolist()) == keep, where
    # The hits are the unfiltered search over only the matching rows.
    sub = varnel.Index(4, "euclidean", threads=1)
    sub.upsert(np.array(keep, dtype=np.uint64), vectors[keep] if keep else np.zeros((0, 4), np.float32))
    alone = sub.search(query, 10)
    top = index.search(query, 10, where=where)
    assert top.ids.tolist() == alone.ids.tolist()
    assert top.distances.tobytes() == alone.distances.tobytes()


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"n": 1}, [0]),  # integer 1 does not equal float 1.0
        ({"n": 1.0}, [1]),
        ({"n": {"$gte": 1}}, [0, 1, 2]),  # comparisons go through doubles
        ({"n": True}, [3]),
        ({"n": {"$exists": False}}, [4]),
        ({"n": None}, [5]),
        ({"n": {"$exists": True}}, [0, 1, 2, 3, 5]),
        ({"$or": []}, []),
        ({"$and": []}, [0, 1, 2, 3, 4, 5]),
        ({}, [0, 1, 2, 3, 4, 5]),
        ({"$not": {}}, []),
        ({"n": {"$in": [2, True]}}, [2, 3]),
        ({"n": {"$ne": 1}}, [1, 2, 3, 4, 5]),
    ],
)
def test_filter_number_forms_and_empty_forms(where, expected):
    index = varnel.Index(2, "dot", threads=1)
    payloads = [{"n": 1}, {"n": 1.0}, {"n": 2}, {"n": True}, {}, {"n": None}]
    index.upsert(range(6), np.ones((6, 2)), payloads)
    assert sorted(index.search([1, 1], 10, where=where).ids.tolist()) == expected


@pytest.mark.parametrize(
    "where, text",
    [
        ({"a": {"$regex": "x"}}, "$regex"),
        ({"$nor": []}, "$nor"),
        ({"a": {"$gt": "x"}}, "$gt"),
        ({"a": {"$in": 3}}, "$in"),
        ({"a": {"$nin": "ab"}}, "$nin"),
        ({"a": {"$exists": 1}}, "$exists"),
        ({"a": {}}, "'a'"),
        ({"a": {"b": 1}}, "'b'"),
        ({"$and": {"a": 1}}, "$and"),
        ([("a", 1)], "dict"),
        ({1: 2}, "str"),
    ],
)
def test_malformed_filters_are_refused_naming_the_fault(where, text):
    index = varnel.Index(2, "euclidean")
    index.upsert(1, [0, 0])
    with pytest.raises(ValueError, match=text.replace("$", r"\$")):
        index.search([0, 0], 1, where=where)


# ---- the tie rule


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("order_seed", range(4))
def test_equal_distances_order_by_id_and_nan_comes_last(metric, order_seed):
    ids = list(range(40))
    random.Random(order_seed).shuffle(ids)
    index = varnel.Index(3, metric, threads=2)
    for i in ids:
        # Four distinct vectors repeated; one row per ten has a zero first
        # component. Stored vectors are finite, so NaN distances come from
        # the query: a NaN component makes every distance NaN, and with
        # "dot" an infinite one gives NaN (0 * inf) for the rows whose first
        # component is zero and -inf for the others.
        v = [0.0, 1.0, 0.0] if i % 10 == 7 else [float(i % 4 + 1), 1.0, 0.0]
        index.upsert(i, v)
    finite = index.search([1.0, 0.5, 0.25], 40)
    d = finite.distances.tolist()
    assert sorted(zip(d, finite.ids.tolist())) == list(zip(d, finite.ids.tolist()))
    nan_query = index.search([float("nan"), 0.5, 0.25], 40)
    assert np.isnan(nan_query.distances).all() and nan_query.ids.tolist() == list(range(40))
    if metric != "dot":
        return
    hits = index.search([float("inf"), 0.5, 0.25], 40)
    d = hits.distances.tolist()
    got = list(zip(d, hits.ids.tolist()))
    numbers = [x for x in got if not math.isnan(x[0])]
    nans = [x for x in got if math.isnan(x[0])]
    assert numbers == sorted(numbers)
    assert [i for _, i in nans] == sorted(i for _, i in nans) == [7, 17, 27, 37]
    assert got[-4:] == nans


@pytest.mark.parametrize("metric", METRICS)
def test_results_are_identical_for_every_thread_count_and_match_the_low_level_module(metric):
    rng = np.random.default_rng(11)
    n, dim = 3000, 24
    vectors = rng.integers(-3, 4, (n, dim)).astype(np.float32)  # many ties
    queries = rng.integers(-3, 4, (17, dim)).astype(np.float32)
    low = _varnel.Index(metric, dim)
    low.insert_batch(np.arange(n, dtype=np.uint64), vectors)
    runs = []
    for threads in (1, 2, 4):
        index = varnel.Index(dim, metric, threads=threads)
        perm = np.random.default_rng(threads).permutation(n)  # insertion order must not matter
        index.upsert(perm, vectors[perm])
        batch = index.search(queries, 25)
        singles = [index.search(q, 25) for q in queries]
        runs.append((batch.ids.tobytes(), batch.distances.tobytes()))
        for q, one in enumerate(singles):
            assert one.ids.tolist() == batch.ids[q].tolist()
            assert one.distances.tobytes() == batch.distances[q].tobytes()
    assert runs[0] == runs[1] == runs[2]
    ids = np.frombuffer(runs[0][0], np.uint64).reshape(17, 25)
    dists = np.frombuffer(runs[0][1], np.float32).reshape(17, 25)
    for q in range(len(queries)):
        # The tie rule is the core's, so the low-level module gives the same list.
        expected = low.search(queries[q].tolist(), 25)
        assert [i for i, _ in expected] == ids[q].tolist()
        assert np.array([d for _, d in expected], np.float32).tobytes() == dists[q].tobytes()


def test_merge_hits_of_shards_equals_one_search():
    rng = np.random.default_rng(2)
    vectors = rng.integers(0, 3, (500, 8)).astype(np.float32)
    queries = rng.integers(0, 3, (5, 8)).astype(np.float32)
    whole = varnel.Index(8, "euclidean", threads=1)
    whole.upsert(range(500), vectors, [{"i": i} for i in range(500)])
    shards = [varnel.Index(8, "euclidean", threads=1) for _ in range(3)]
    for i in range(500):
        shards[i * 7 % 3].upsert(i, vectors[i], {"i": i})
    for q in (queries, queries[0]):
        want = whole.search(q, 30, payloads=True)
        got = varnel.merge_hits([s.search(q, 30, payloads=True) for s in shards], 30)
        assert got.ids.tolist() == want.ids.tolist()
        assert got.distances.tobytes() == want.distances.tobytes()
        assert got.payloads == want.payloads


@pytest.mark.parametrize(
    "k, n, where, shape",
    [
        (5, 3, None, (3,)),
        (0, 3, None, (0,)),
        (2, 0, None, (0,)),
        (5, 10, {"i": {"$lt": 2}}, (2,)),
    ],
)
def test_result_shapes_and_dtypes(k, n, where, shape):
    index = varnel.Index(2, "euclidean")
    if n:
        index.upsert(np.arange(n), np.zeros((n, 2)), [{"i": i} for i in range(n)])
    one = index.search([0, 0], k, where=where)
    assert one.ids.shape == shape and one.ids.dtype == np.uint64
    assert one.distances.shape == shape and one.distances.dtype == np.float32
    assert one.payloads is None
    batch = index.search(np.zeros((3, 2)), k, where=where, payloads=True)
    assert batch.ids.shape == (3,) + shape and batch.distances.shape == (3,) + shape
    assert len(batch.payloads) == 3 and all(len(p) == shape[0] for p in batch.payloads)


def test_large_ids_survive_exactly():
    index = varnel.Index(1, "euclidean")
    big = [2**64 - 1, 2**63, 2**53 + 1]
    index.upsert(big, [[1.0], [2.0], [3.0]])
    assert index.search([0.0], 3).ids.tolist() == big
    assert sorted(index.ids().tolist()) == sorted(big)
    assert all(i in index for i in big)


@pytest.mark.parametrize("reopen", [False, True])
def test_filters_follow_rows_through_deletes_replacements_and_reopening(tmp_path, reopen):
    rng = random.Random(9)
    n = 400
    payloads = {i: random_payload(rng) for i in range(n)}
    vectors = np.random.default_rng(9).standard_normal((n, 4)).astype(np.float32)
    store = varnel.Collection(tmp_path / "c", 4, "dot", threads=2)
    store.upsert(np.arange(n), vectors, [payloads[i] for i in range(n)])
    for i in rng.sample(range(n), 150):  # rows move as others leave
        store.delete(i)
        del payloads[i]
    for i in rng.sample(sorted(payloads), 50):
        payloads[i] = random_payload(rng)
        store.upsert(i, vectors[i], payloads[i])
    if reopen:  # the loader rebuilds the rows, replaced records included
        store.close()
        store = varnel.Collection(tmp_path / "c")
    for seed in range(30):
        where = random_where(random.Random(seed))
        keep = sorted(i for i, p in payloads.items() if matches(p, where))
        assert sorted(store.search(vectors[0], n, where=where).ids.tolist()) == keep, where
    store.close()


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_pruned_search_equals_the_full_scan(metric):
    # Clustered rows, enough for the bounds to prune; upserts that replace
    # and deletes that move rows in between. Every id and distance bit agrees
    # with prune=False, for single queries, batches and filters.
    rng = np.random.default_rng(5)
    centres = rng.normal(size=(200, 32)).astype(np.float32)
    rows = centres[rng.integers(0, 200, 20000)] + np.float32(0.05) * rng.normal(size=(20000, 32)).astype(np.float32)
    rows[::997, 3] = np.float32(1e30)  # distances that overflow to infinity (NaN cannot be stored)
    index = varnel.Index(32, metric, threads=2)
    assert index.prune
    index.upsert(np.arange(20000, dtype=np.uint64), rows, [{"odd": i % 2 == 1} for i in range(20000)])
    index.delete(np.arange(0, 20000, 7, dtype=np.uint64))
    index.upsert(np.arange(0, 20000, 11, dtype=np.uint64), rows[:1819] * np.float32(1.5))
    queries = rows[:20] + np.float32(0.01)
    for k, where in [(1, None), (10, None), (10, {"odd": True}), (300, None)]:
        pruned = [index.search(q, k, where=where) for q in queries]
        batch = index.search(queries, k, where=where)
        index.prune = False
        full = [index.search(q, k, where=where) for q in queries]
        index.prune = True
        for j, (a, b) in enumerate(zip(pruned, full)):
            assert a.ids.tolist() == b.ids.tolist()
            assert a.distances.view(np.uint32).tolist() == b.distances.view(np.uint32).tolist()
            assert batch.ids[j].tolist() == b.ids.tolist()
    assert varnel.Index(32, metric, prune=False).prune is False
