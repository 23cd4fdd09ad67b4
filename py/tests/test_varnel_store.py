"""varnel Index and Collection: upsert, delete, get, ids, reopen, payloads,
refused input (nothing written), errors, threads and fork."""

import array
import errno
import gc
import os
import pathlib
import shutil
import sys
import threading

import numpy as np
import pytest

import _varnel
import varnel

PYPY = sys.implementation.name == "pypy"


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    if request.param == "index":
        yield varnel.Index(3, "euclidean", threads=2)
    else:
        c = varnel.Collection(tmp_path / "c", 3, "euclidean", threads=2)
        yield c
        c.close()


def files_of(store):
    """The bytes of a collection's files (nothing for an Index)."""
    if not isinstance(store, varnel.Collection):
        return None
    return {name: (pathlib.Path(store.path) / name).read_bytes() for name in ("wal.log", "data.vnl", "meta.json")}


def test_upsert_get_delete_round(store):
    store.upsert(7, [1, 2, 3], {"a": 1})
    store.upsert([8, 9], np.array([[4, 5, 6], [7, 8, 9]], np.float64), [None, {"b": [1, {"c": None}]}])
    assert len(store) == 3 and 7 in store and 10 not in store and "x" not in store
    vec, payload = store.get(9)
    assert vec.dtype == np.float32 and vec.tolist() == [7, 8, 9] and payload == {"b": [1, {"c": None}]}
    assert store[8][1] == {}
    store.upsert(7, [0, 0, 1], {"z": "new"})  # replaces vector and payload
    assert store[7][0].tolist() == [0, 0, 1] and store[7][1] == {"z": "new"}
    assert len(store) == 3
    assert store.delete([7, 100, 8]) == 2
    assert store.delete(7) == 0
    assert store.ids().tolist() == [9] and store.ids().dtype == np.uint64
    assert store.get(7) is None
    with pytest.raises(KeyError):
        store[7]


@pytest.mark.parametrize(
    "vectors",
    [
        [[1, 2, 3]],
        ((1.0, 2.0, 3.0),),
        [array.array("d", [1, 2, 3])],
        np.array([[1, 2, 3]], np.int32),
        np.array([[1, 2, 3]], np.float16),
        np.asfortranarray(np.array([[1, 2, 3], [4, 5, 6]], np.float64))[:1],
        np.array([[3, 9, 2, 9, 1, 9]], np.float32)[:, ::2][:, ::-1],
    ],
)
def test_vector_forms_are_read_as_float32(store, vectors):
    store.upsert([5], vectors)
    assert store[5][0].tolist() == [1, 2, 3]


@pytest.mark.parametrize(
    "ids",
    [[2**64 - 1], np.array([2**64 - 1], np.uint64), (2**64 - 1,), [np.uint64(2**64 - 1)]],
)
def test_ids_use_the_full_unsigned_range(store, ids):
    store.upsert(ids, [[1, 1, 1]])
    assert store.ids().tolist() == [2**64 - 1]
    assert store.search([1, 1, 1], 1).ids.tolist() == [2**64 - 1]


def test_float64_rounds_like_the_low_level_module():
    # 3.4028235e38 rounds to float32's largest value (1e39 would round to
    # infinity, which varnel refuses to store).
    values = [0.1, 3.4028235e38, -1e-50, 16777217.0]
    query = [0.3, 2.0, 1e-45, 3.0]
    low = _varnel.Index("euclidean", 4)
    low.insert(1, values)
    s = varnel.Index(4, "euclidean")
    s.upsert(1, values)
    assert s[1][0].tolist()[1] == float(np.finfo(np.float32).max) and s[1][0].tolist()[3] == 16777216.0
    assert s.search(query, 1).distances.tolist() == [d for _, d in low.search(query, 1)]


BAD_UPSERTS = [
    # (ids, vectors, payloads, exception, text)
    (1, [1, 2], None, ValueError, "dimension mismatch: expected 3, got 2"),
    ([1, 2], [[1, 2, 3]], None, ValueError, "2 ids but 1 vectors"),
    (-1, [1, 2, 3], None, ValueError, "id out of range"),
    (2**64, [1, 2, 3], None, ValueError, "id out of range"),
    (1.0, [1, 2, 3], None, TypeError, "integers"),
    (True, [1, 2, 3], None, TypeError, "bool"),
    (np.array([1.5]), [[1, 2, 3]], None, TypeError, "float64"),
    (np.array([-3]), [[1, 2, 3]], None, ValueError, "-3"),
    ([1, 2], [[1, 2, 3], [1, 2, 3]], [{}, {"ok": float("nan")}], ValueError, r"payload\['ok'\]: float is not finite"),
    (1, [1, 2, 3], {"s": {1, 2}}, TypeError, r"payload\['s'\]: values of type 'set'"),
    (1, [1, 2, 3], {"big": 2**64}, ValueError, r"payload\['big'\]: int does not fit"),
    (1, [1, 2, 3], {"n": {3: "x"}}, TypeError, r"payload\['n'\]: key of type 'int'"),
    (1, [1, 2, 3], {"l": [1, [2, object()]]}, TypeError, r"payload\['l'\]\[1\]\[1\]"),
    (1, [1, 2, 3], {"u": "\ud800"}, ValueError, "UTF-8"),
    (1, [1, 2, 3], [{}], TypeError, "dict"),
    ([1], [[1, 2, 3]], [{}, {}], ValueError, "1 ids but 2 payloads"),
    (1, [1, "x", 3], None, TypeError, "real numbers"),
    (1, np.array([1, 2, 3], np.complex64), None, TypeError, "complex"),
]


@pytest.mark.parametrize("ids, vectors, payloads, exc, text", BAD_UPSERTS)
def test_refused_upserts_write_nothing(store, ids, vectors, payloads, exc, text):
    store.upsert(50, [0, 0, 0], {"keep": 1})
    if isinstance(store, varnel.Collection):
        store.flush()
    before = files_of(store)
    with pytest.raises(exc, match=text):
        store.upsert(ids, vectors, payloads)
    assert store.ids().tolist() == [50] and store[50][1] == {"keep": 1}
    assert files_of(store) == before


def test_deep_payloads_are_refused_at_the_readers_limit(store):
    deep = {}
    node = deep
    for _ in range(200):
        node["x"] = {}
        node = node["x"]
    with pytest.raises(ValueError, match="nested too deeply|nesting"):
        store.upsert(1, [0, 0, 0], deep)
    ok = {}
    node = ok
    for _ in range(100):
        node["x"] = {}
        node = node["x"]
    store.upsert(1, [0, 0, 0], ok)
    assert store[1][1] == ok


@pytest.mark.parametrize("query, text", [([1, 2], "expected 3, got 2"), ([], "expected 3, got 0"), (np.zeros((2, 4)), "got 4")])
def test_queries_of_the_wrong_length_raise(store, query, text):
    with pytest.raises(ValueError, match=text):
        store.search(query, 1)


def test_collection_reopens_with_payloads_deletes_and_updates(tmp_path):
    path = tmp_path / "c"
    with varnel.Collection(path, 2, "cosine") as c:
        c.upsert(range(5), np.arange(10).reshape(5, 2) + 1, [{"i": i} for i in range(5)])
        c.upsert(2, [9, 9], {"i": "two"})
        assert c.delete([0, 4]) == 2
    c = varnel.Collection(str(path))
    assert (c.dim, c.metric) == (2, "cosine")
    assert c.ids().tolist() == [1, 2, 3]
    assert c[2][1] == {"i": "two"} and c[2][0].tolist() == [9, 9]
    assert c.search([1, 1], 3, where={"i": {"$gte": 2}}).ids.tolist() == [3]
    c.compact()
    size = (path / "data.vnl").stat().st_size
    c.close()
    c = varnel.Collection(path, 2)
    assert c.ids().tolist() == [1, 2, 3] and c[2][1] == {"i": "two"}
    assert size == (path / "data.vnl").stat().st_size
    c.close()


def test_unflushed_deletes_and_updates_survive_a_drop(tmp_path):
    path = tmp_path / "c"
    c = varnel.Collection(path, 1, "euclidean")
    c.upsert(range(10), np.arange(10.0).reshape(10, 1))
    c.flush()
    c.delete(3)
    c.upsert(4, [40.0], {"u": 1})
    del c
    for _ in range(3):  # PyPy frees an extension object over more than one collection
        gc.collect()
    c = varnel.Collection(path)
    assert 3 not in c and c[4][0].tolist() == [40.0] and c[4][1] == {"u": 1} and len(c) == 9
    c.close()


def test_collections_interoperate_with_the_low_level_module(tmp_path):
    a = tmp_path / "a"
    with varnel.Collection(a, 2, "dot") as c:
        c.upsert([1, 2], [[1, 0], [0, 1]], [{"p": 1}, None])
    low = _varnel.Collection.open_or_create(str(a), 2, "dot")
    assert low.search([1.0, 0.0], 2) == [(1, -1.0), (2, 0.0)]
    low.insert(3, [2.0, 2.0])
    low.flush()
    del low
    gc.collect()
    with varnel.Collection(a) as c:
        assert c.ids().tolist() == [1, 2, 3] and c[1][1] == {"p": 1} and c[3][1] == {}


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((), ValueError, "dim and metric are needed"),
        ((3,), ValueError, "dim and metric are needed"),
        ((3, "manhattan"), ValueError, "unknown metric"),
        ((0, "dot"), ValueError, "at least 1"),
    ],
)
def test_creating_needs_dim_and_metric(tmp_path, args, exc, text):
    with pytest.raises(exc, match=text):
        varnel.Collection(tmp_path / "new", *args)
    assert not (tmp_path / "new" / "meta.json").exists()


@pytest.mark.parametrize("dim, metric", [(4, None), (None, "dot"), (4, "dot"), (3, "euclidean")])
def test_reopening_with_other_settings_names_both(tmp_path, dim, metric):
    varnel.Collection(tmp_path / "c", 3, "cosine").close()
    before = (tmp_path / "c" / "meta.json").read_bytes()
    with pytest.raises(ValueError, match=r"dim=3, metric='cosine'.*asked for"):
        varnel.Collection(tmp_path / "c", dim, metric)
    assert (tmp_path / "c" / "meta.json").read_bytes() == before


def test_file_system_errors_carry_errno(tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(NotADirectoryError) as e:
        varnel.Collection(tmp_path / "file" / "c", 2, "dot")
    assert e.value.errno == errno.ENOTDIR
    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "meta.json").write_text("{not json")
    with pytest.raises(OSError, match="parse meta failed"):
        varnel.Collection(tmp_path / "c", 2, "dot")


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.upsert(1, [0, 0]),
        lambda c: c.delete(1),
        lambda c: c.get(1),
        lambda c: len(c),
        lambda c: 1 in c,
        lambda c: c.ids(),
        lambda c: c.search([0, 0], 1),
        lambda c: c.flush(),
        lambda c: c.compact(),
        lambda c: c.dim,
    ],
)
def test_closed_collection_refuses_every_call(tmp_path, call):
    c = varnel.Collection(tmp_path / "c", 2, "dot")
    c.upsert(1, [1, 1])
    c.close()
    c.close()  # a second close does nothing
    assert c.closed
    with pytest.raises(ValueError, match="collection is closed"):
        call(c)
    with varnel.Collection(tmp_path / "c") as again:  # close flushed
        assert 1 in again


def test_threads_search_while_one_upserts(tmp_path):
    c = varnel.Collection(tmp_path / "c", 8, "euclidean", threads=2)
    rng = np.random.default_rng(0)
    c.upsert(np.arange(2000), rng.standard_normal((2000, 8)))
    errors = []
    stop = threading.Event()

    def searcher():
        q = rng.standard_normal((4, 8))
        try:
            while not stop.is_set():
                hits = c.search(q, 5)
                assert hits.ids.shape == (4, 5)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=searcher) for _ in range(4)]
    for w in workers:
        w.start()
    for i in range(200):
        c.upsert(10000 + i, np.full(8, i, np.float32), {"i": i})
        if i % 50 == 0:
            c.delete(i)
    stop.set()
    for w in workers:
        w.join()
    assert errors == []
    assert len(c) == 2000 + 200 - 4
    c.close()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_gets_a_working_pool():
    index = varnel.Index(4, "dot", threads=2)
    index.upsert(np.arange(5000), np.random.default_rng(1).standard_normal((5000, 4)))
    want = index.search(np.ones(4), 7).ids.tolist()
    pid = os.fork()
    if pid == 0:
        ok = index.search(np.ones(4), 7).ids.tolist() == want
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def test_threads_default_to_the_cpus_the_process_may_use():
    expected = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    assert varnel.Index(2, "dot").threads == expected
    assert varnel.Index(2, "dot", threads=3).threads == 3
    with pytest.raises(ValueError):
        varnel.Index(2, "dot", threads=0)


def _cut_tail(path):
    os.truncate(path / "data.vnl", (path / "data.vnl").stat().st_size - 7)


def _damage_midway(path):
    with open(path / "data.vnl", "r+b") as f:
        f.seek(1000 * (17 + 4 * 32 + 11) + 17 + 4 * 32 + 3)  # inside a payload text
        f.write(b"!")


@pytest.mark.parametrize("damage", [None, _cut_tail, _damage_midway], ids=["whole", "torn", "damaged"])
def test_opening_with_two_threads_builds_what_one_thread_builds(tmp_path, damage):
    # Large enough for the load to be split: replaced and deleted records,
    # several active records of one id (the low-level insert leaves the old
    # one active), payloads, and a torn or damaged file.
    src = tmp_path / "src"
    rng = np.random.default_rng(5)
    low = _varnel.Collection.open_or_create(str(src), 32, "euclidean")
    low.insert_batch(list(range(3000)), rng.standard_normal((3000, 32), dtype=np.float32))
    low.insert_batch(list(range(0, 3000, 7)), rng.standard_normal((429, 32), dtype=np.float32))
    low.flush()
    del low
    gc.collect()
    with varnel.Collection(src) as c:
        c.upsert(range(10, 400, 3), rng.standard_normal((130, 32)), [{"k": i, "s": "x" * (i % 9)} for i in range(130)])
        c.delete(range(50, 900, 11))
    if damage is not None:
        damage(src)
    seen = []
    for threads in (1, 2):
        path = tmp_path / f"t{threads}"
        shutil.copytree(src, path)
        try:
            c = varnel.Collection(path, threads=threads)
        except Exception as e:  # the same error, text and all
            seen.append((type(e), str(e), (path / "data.vnl").read_bytes()))
            continue
        ids = c.ids()
        entries = [(v.tobytes(), p) for v, p in (c[int(i)] for i in ids)]
        hits = c.search(np.ones(32, dtype=np.float32), 50)
        c.close()
        seen.append((ids.tolist(), entries, hits.ids.tolist(), hits.distances.tobytes(),
                     (path / "data.vnl").read_bytes(), (path / "meta.json").read_text()))
    assert seen[0] == seen[1]
    if damage is _damage_midway:
        assert seen[0][0] is OSError and "data file damaged" in seen[0][1]
