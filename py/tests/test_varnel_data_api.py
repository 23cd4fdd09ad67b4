"""varnel's data API beyond upsert and search: scan, count, delete by
filter, partial updates, radius and paged search, export and bulk import,
several collections under one root, and the command line."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import varnel

DIM = 3


def rows12():
    """Ids 1..12 inserted out of order; payload g = id % 3, odd ids tagged."""
    ids = [7, 1, 12, 3, 9, 2, 11, 4, 10, 5, 8, 6]
    vectors = np.array([[i, i * 0.5, -i] for i in ids], dtype=np.float32)
    payloads = [{"g": i % 3, "tags": ["odd"] if i % 2 else []} for i in ids]
    return ids, vectors, payloads


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    s = varnel.Index(DIM, "euclidean", threads=2) if request.param == "index" else \
        varnel.Collection(tmp_path / "c", DIM, "euclidean", threads=2)
    s.upsert(*rows12())
    yield s
    if isinstance(s, varnel.Collection):
        s.close()


def reopened(store):
    """The same rows read back: a Collection from a fresh open."""
    if isinstance(store, varnel.Index):
        return store
    store.close()
    return varnel.Collection(store.path)


@pytest.mark.parametrize("where, offset, limit, want", [
    (None, 0, None, list(range(1, 13))),
    (None, 10, None, [11, 12]),
    (None, 3, 4, [4, 5, 6, 7]),
    (None, 20, 5, []),
    (None, 0, 0, []),
    ({"g": 1}, 1, 2, [4, 7]),
    ({"tags": {"$contains": "odd"}}, 0, None, [1, 3, 5, 7, 9, 11]),
    ({"g": {"$nin": [0, 1]}}, 0, 3, [2, 5, 8]),
])
def test_scan_pages_by_ascending_id(store, where, offset, limit, want):
    rows = store.scan(where, offset=offset, limit=limit, vectors=True)
    assert rows.ids.dtype == np.uint64 and rows.ids.tolist() == want and len(rows) == len(want)
    assert rows.vectors.dtype == np.float32 and rows.vectors.shape == (len(want), DIM)
    for i, v, p in zip(want, rows.vectors, rows.payloads):
        stored_v, stored_p = store.get(i)
        assert v.tobytes() == stored_v.tobytes() and p == stored_p
    assert store.count(where) == len(store.scan(where))
    bare = store.scan(where, offset=offset, limit=limit, payloads=False)
    assert bare.vectors is None and bare.payloads is None and bare.ids.tolist() == want


@pytest.mark.parametrize("call, error", [
    (lambda s: s.delete(), TypeError),
    (lambda s: s.delete([1], where={"g": 1}), TypeError),
    (lambda s: s.scan(offset=-1), ValueError),
    (lambda s: s.scan(limit=1.5), TypeError),
    (lambda s: s.count({"g": {"$bad": 1}}), ValueError),
    (lambda s: s.update([1], vectors=[[1, 2]]), ValueError),
    (lambda s: s.update([1, 2], vectors=[[1, 2, np.nan], [0, 0, 0]]), ValueError),
    (lambda s: s.update([1], payloads=[{"x": object()}]), TypeError),
    (lambda s: s.search([0, 0, 0], None), TypeError),
    (lambda s: s.search([0, 0, 0], 3, max_distance=float("nan")), ValueError),
    (lambda s: s.search([0, 0, 0], 3, offset=-1), ValueError),
])
def test_refused_calls_change_nothing(store, call, error):
    before = store.scan(vectors=True)
    with pytest.raises(error):
        call(store)
    after = reopened(store).scan(vectors=True)
    assert after.ids.tolist() == before.ids.tolist() and after.payloads == before.payloads
    assert after.vectors.tobytes() == before.vectors.tobytes()


@pytest.mark.parametrize("how, removed, left", [
    ({"ids": [1, 2, 99, 2]}, 2, 10),
    ({"where": {"g": 0}}, 4, 8),
    ({"where": {"$or": [{"g": 0}, {"tags": {"$contains": "odd"}}]}}, 8, 4),
    ({"where": {"g": 5}}, 0, 12),
    ({"where": {}}, 12, 0),
])
def test_delete_by_ids_or_filter(store, how, removed, left):
    if "ids" in how:
        assert store.delete(how["ids"]) == removed
    else:
        assert store.delete(where=how["where"]) == removed
        assert store.count(how["where"]) == 0
    assert len(reopened(store)) == left


@pytest.mark.parametrize("ids, vectors, payloads, count, want", [
    # want: id -> (vector or None for unchanged, payload)
    ([1], None, [{"g": 9, "new": "x"}], 1, {1: (None, {"g": 9, "new": "x", "tags": ["odd"]})}),
    ([2, 99], [[5, 5, 5], [6, 6, 6]], None, 1, {2: ([5, 5, 5], {"g": 2, "tags": []})}),
    (3, [1, 1, 1], {"tags": None}, 1, {3: ([1, 1, 1], {"g": 0, "tags": None})}),
    ([4, 4], None, [{"a": 1}, {"b": 2}], 1, {4: (None, {"g": 1, "tags": [], "a": 1, "b": 2})}),
    ([4, 4], [[1, 2, 3], [4, 5, 6]], None, 1, {4: ([4, 5, 6], {"g": 1, "tags": []})}),
    ([98, 99], None, [{}, {}], 0, {}),
    ([], None, None, 0, {}),
])
def test_update_changes_only_what_is_given(store, ids, vectors, payloads, count, want):
    before = {i: store.get(i) for i in range(1, 13)}
    assert store.update(ids, vectors=vectors, payloads=payloads) == count
    after = reopened(store)
    assert after.ids().tolist() == list(range(1, 13))
    for i in range(1, 13):
        v, p = after.get(i)
        want_v, want_p = want.get(i, (None, before[i][1]))
        expect_v = before[i][0] if want_v is None else np.array(want_v, dtype=np.float32)
        assert v.tobytes() == expect_v.tobytes() and p == want_p, i


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("k, offset, max_distance", [
    (5, 0, None), (5, 3, None), (5, 11, None), (None, 0, 6.0), (3, 2, 6.0), (None, 4, 1e9), (4, 0, -1e9),
])
def test_radius_and_offset_are_exact_on_every_thread_count(k, offset, max_distance, metric):
    rng = np.random.default_rng(5)
    vectors = rng.integers(-3, 4, size=(300, DIM)).astype(np.float32)  # many ties
    queries = rng.integers(-3, 4, size=(4, DIM)).astype(np.float32)
    results = []
    for threads in (1, 4):
        index = varnel.Index(DIM, metric, threads=threads)
        index.upsert(np.arange(300), vectors)
        results.append(index.search(queries, k, payloads=True, max_distance=max_distance, offset=offset))
        full = index.search(queries, 300)
        single = index.search(queries[1], k, max_distance=max_distance, offset=offset)
    a, b = results
    assert a.ids.tobytes() == b.ids.tobytes() and a.distances.tobytes() == b.distances.tobytes()
    assert a.payloads == b.payloads
    for q in range(4):
        keep = full.ids[q][full.distances[q] <= max_distance] if max_distance is not None else full.ids[q]
        want = keep[offset:][:k] if k is not None else keep[offset:]
        n = len(want)
        assert a.ids[q][:n].tolist() == want.tolist() and len(a.payloads[q]) == n
        assert np.isnan(a.distances[q][n:]).all()
    assert single.ids.tolist() == a.ids[1][:len(a.payloads[1])].tolist()


@pytest.mark.parametrize("source", ["arrow", "pandas", "numpy"])
def test_export_and_bulk_import_round_trip(store, tmp_path, source):
    pyarrow = pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    store.update([5], payloads=[{"nested": {"x": [1.5, None, "é"]}}])
    table = store.to_arrow()
    assert table.column_names == ["id", "vector", "payload"]
    assert table.schema.field("id").type == pyarrow.uint64()
    assert table.schema.field("vector").type == pyarrow.list_(pyarrow.float32(), DIM)
    frame = store.to_pandas()
    want = store.scan(vectors=True)
    assert frame["id"].tolist() == want.ids.tolist() == table["id"].to_pylist()
    assert [json.loads(t) for t in table["payload"].to_pylist()] == want.payloads == frame["payload"].tolist()
    assert np.stack(frame["vector"]).tobytes() == want.vectors.tobytes()
    if source == "arrow":
        args = (table["id"], table["vector"], table["payload"])
    elif source == "pandas":
        args = (frame["id"], frame["vector"], frame["payload"])
    else:
        args = (want.ids, want.vectors, np.array(want.payloads, dtype=object))
    copy = varnel.Collection(tmp_path / source, DIM, "euclidean")
    copy.upsert(*args)
    got = copy.scan(vectors=True)
    assert got.ids.tolist() == want.ids.tolist() and got.payloads == want.payloads
    assert got.vectors.tobytes() == want.vectors.tobytes()
    empty = varnel.Index(DIM, "dot").to_arrow()
    assert empty.num_rows == 0 and empty.schema == table.schema


# ---- several collections under one root

def test_database_lifecycle(tmp_path):
    db = varnel.Database(tmp_path / "root")
    a = db.create_collection("b-1", DIM, "cosine")
    a.upsert([1], [[1, 2, 3]])
    db.get_or_create_collection("a.2", DIM, "dot").close()
    assert db.list_collections() == ["a.2", "b-1"]
    with pytest.raises(ValueError, match="exists already"):
        db.create_collection("b-1", DIM, "cosine")
    with pytest.raises(ValueError):
        db.get_or_create_collection("b-1", 4, "cosine")
    with pytest.raises(ValueError, match="no collection named"):
        db.collection("c")
    for refused in (lambda: db.drop_collection("b-1"), lambda: db.rename_collection("b-1", "c")):
        with pytest.raises(OSError, match="in use|open in this process"):
            refused()
    assert db.list_collections() == ["a.2", "b-1"]
    a.close()
    db.rename_collection("b-1", "c")
    with pytest.raises(ValueError, match="exists already"):
        db.rename_collection("c", "a.2")
    assert db.list_collections() == ["a.2", "c"] and db.collection("c").get(1)[0].tolist() == [1, 2, 3]
    db.collection("c").close()
    db.drop_collection("a.2")
    assert db.list_collections() == ["c"] and sorted(os.listdir(db.root)) == ["c"]


def test_database_refuses_a_collection_open_in_another_process(tmp_path):
    db = varnel.Database(tmp_path)
    db.create_collection("x", DIM, "euclidean").close()
    child = subprocess.Popen(
        [sys.executable, "-c", "import sys, varnel; c = varnel.Collection(sys.argv[1]); print('open', flush=True); "
         "sys.stdin.read()", str(tmp_path / "x")], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "open\n"
        with pytest.raises(OSError, match="in use by another process"):
            db.drop_collection("x")
        with pytest.raises(OSError, match="in use by another process"):
            db.rename_collection("x", "y")
        assert db.list_collections() == ["x"]
    finally:
        child.communicate("", timeout=60)
    db.drop_collection("x")
    assert db.list_collections() == []


@pytest.mark.parametrize("name", ["", "..", ".", ".hidden", "a/b", "../x", "-a", "a" * 129, "a b", "é", 5, None])
def test_database_refuses_bad_names(tmp_path, name):
    db = varnel.Database(tmp_path / "root")
    for call in (lambda: db.create_collection(name, DIM, "dot"), lambda: db.collection(name),
                 lambda: db.drop_collection(name), lambda: db.rename_collection("ok", name)):
        with pytest.raises(ValueError, match="invalid collection name"):
            call()
    assert os.listdir(tmp_path) == ["root"] and os.listdir(tmp_path / "root") == []


def test_a_foreign_directory_is_not_made_a_collection(tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(ValueError, match="holds no collection"):
        varnel.Collection(tmp_path, DIM, "dot")
    assert os.listdir(tmp_path) == ["notes.txt"]


# ---- the command line

def run_cli(*args):
    done = subprocess.run([sys.executable, "-m", "varnel", *map(str, args)], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("args, code, out, err", [
    (["info", "{c}"], 0, "dim: 3\nmetric: euclidean\nrows: 12\n", ""),
    (["verify", "{c}"], 0, "ok: 12 rows of dim 3, metric euclidean", ""),
    (["compact", "{c}"], 0, "compacted: ", ""),
    (["export", "{c}", "{tmp}/out.npz"], 0, "exported 12 rows", ""),
    (["export", "{c}", "{tmp}/out.parquet"], 0, "exported 12 rows", ""),
    (["export", "{c}", "{tmp}/out.csv"], 1, "", "must end in .parquet or .npz"),
    (["info", "{tmp}/missing"], 1, "", "holds no collection"),
    (["verify", "{tmp}/damaged"], 1, "", "varnel: error: "),
    (["frobnicate", "{c}"], 2, "", "invalid choice"),
    (["--help"], 0, "export    write every row", ""),
])
def test_command_line(tmp_path, args, code, out, err):
    if "parquet" in str(args):
        pytest.importorskip("pyarrow")
    c = varnel.Collection(tmp_path / "c", DIM, "euclidean")
    c.upsert(*rows12())
    c.close()
    (tmp_path / "damaged").mkdir()
    (tmp_path / "damaged" / "meta.json").write_text("{not json")
    got_code, got_out, got_err = run_cli(*[a.format(c=tmp_path / "c", tmp=tmp_path) for a in args])
    assert (got_code, out in got_out, err in got_err) == (code, True, True), (got_out, got_err)
    if args[0] == "export" and code == 0:
        want = varnel.Collection(tmp_path / "c").scan(vectors=True)
        if args[2].endswith(".npz"):
            z = np.load(tmp_path / "out.npz")
            ends = z["payload_ends"].tolist()
            text = z["payload_text"].tobytes().decode()
            got = [json.loads(text[a:b]) for a, b in zip([0] + ends[:-1], ends)]
            assert z["ids"].tolist() == want.ids.tolist() and z["vectors"].tobytes() == want.vectors.tobytes()
        else:
            import pyarrow.parquet as pq
            table = pq.read_table(tmp_path / "out.parquet")
            got = [json.loads(t) for t in table["payload"].to_pylist()]
            assert table["id"].to_pylist() == want.ids.tolist()
        assert got == want.payloads
