"""varnel.cluster against one varnel.Collection, on a local Ray (2 CPUs) and
on a simulated two-node cluster; shard processes killed for real."""

import gc
import json
import os
import platform
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

if platform.python_implementation() != "CPython":
    pytest.skip("Ray runs on CPython only", allow_module_level=True)
np = pytest.importorskip("numpy", reason="varnel.cluster needs numpy")
ray = pytest.importorskip("ray", reason="Ray is not installed (pip install 'varnel[cluster]')")

import varnel  # noqa: E402
import varnel.cluster as vc  # noqa: E402

METRICS = ["euclidean", "cosine", "dot"]
DIM = 6


class RaySessions:
    """One Ray at a time for the whole module: a local one with 2 CPUs, or a
    simulated cluster of two nodes; switching shuts the other one down."""

    def __init__(self):
        self.mode = None
        self.cluster = None
        self.nodes = []

    def _stop(self):
        if ray.is_initialized():
            ray.shutdown()
        if self.cluster is not None:
            self.cluster.shutdown()
            self.cluster = None
        self.mode = None

    def local(self):
        if self.mode != "local":
            self._stop()
            ray.init(num_cpus=2, object_store_memory=200 << 20, include_dashboard=False,
                     log_to_driver=False)
            self.mode = "local"

    def two_nodes(self):
        if self.mode != "two_nodes":
            from ray.cluster_utils import Cluster
            self._stop()
            self.cluster = Cluster(initialize_head=True, head_node_args={
                "num_cpus": 1, "resources": {"disk_a": 1}, "object_store_memory": 100 << 20,
                "include_dashboard": False})
            self.cluster.add_node(num_cpus=1, resources={"disk_b": 1}, object_store_memory=100 << 20)
            ray.init(address=self.cluster.address, log_to_driver=False)
            self.cluster.wait_for_nodes()
            self.nodes = [n.node_id for n in self.cluster.list_all_nodes()]
            self.mode = "two_nodes"


@pytest.fixture(scope="module")
def sessions():
    s = RaySessions()
    yield s
    s._stop()


@pytest.fixture
def local_ray(sessions):
    sessions.local()
    return sessions


@pytest.fixture
def two_nodes(sessions):
    sessions.two_nodes()
    return sessions


# --------------------------------------------------------------------------- helpers

def tied_data(n, seed):
    """Vectors with components in {-1, 0, 1} (many equal distances, some
    duplicate rows, one zero row for NaN cosines), ids over the whole u64
    range, payloads for filters."""
    rng = np.random.default_rng(seed)
    vectors = rng.integers(-1, 2, (n, DIM)).astype(np.float32)
    vectors[n // 2] = 0.0
    vectors[1::17] = vectors[0]
    ids = np.unique(rng.integers(0, 2**64 - 1, 2 * n, dtype=np.uint64, endpoint=True))[:n]
    rng.shuffle(ids)
    ids[0] = np.uint64(2**64 - 1)
    ids[1] = np.uint64(0)
    payloads = [None if i % 11 == 0 else {"g": int(i % 4), "t": "ab"[i % 2], "x": float(i) / 4}
                for i in range(n)]
    return ids, vectors, payloads


WHERES = [None, {"g": 1}, {"g": {"$in": [0, 3]}, "t": "a"},
          {"$or": [{"x": {"$lt": 10.0}}, {"$not": {"t": "b"}}]}, {"g": 99}]


def assert_same_hits(got, want):
    assert got.ids.dtype == np.uint64 and got.distances.dtype == np.float32
    assert got.ids.shape == want.ids.shape
    assert np.array_equal(got.ids, want.ids)
    assert np.array_equal(got.distances.view(np.uint32), want.distances.view(np.uint32))
    assert got.payloads == want.payloads


def assert_same_store(coll, one):
    assert len(coll) == len(one)
    assert np.array_equal(coll.ids(), one.ids())
    for i in one.ids()[::7].tolist():
        got, want = coll.get(i), one.get(i)
        assert np.array_equal(got[0].view(np.uint32), want[0].view(np.uint32)) and got[1] == want[1]


def search_everything(coll, one, queries, ks):
    for k in ks:
        for where in WHERES:
            for payloads in (False, True):
                assert_same_hits(coll.search(queries, k, where=where, payloads=payloads),
                                 one.search(queries, k, where=where, payloads=payloads))
                assert_same_hits(coll.search(queries[0], k, where=where, payloads=payloads),
                                 one.search(queries[0], k, where=where, payloads=payloads))


def same_error(call_cluster, call_one):
    with pytest.raises(Exception) as one_error:
        call_one()
    with pytest.raises(type(one_error.value)) as got:
        call_cluster()
    assert str(got.value) == str(one_error.value)


def reference_of(coll, path):
    """One varnel.Collection holding exactly what the cluster holds."""
    one = varnel.Collection(path, coll.dim, coll.metric, threads=1)
    ids = coll.ids()
    if len(ids):
        rows = [coll.get(i) for i in ids.tolist()]
        one.upsert(ids, np.stack([r[0] for r in rows]), [r[1] for r in rows])
    return one


# --------------------------------------------------------------------------- routing

def test_routing_is_splitmix64_mod_shards():
    def splitmix64(x):
        m = 2**64 - 1
        z = (x + 0x9E3779B97F4A7C15) & m
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & m
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & m
        return z ^ (z >> 31)

    assert splitmix64(0) == 0xE220A8397B1DCDAF  # the generator's well-known first output
    ids = [0, 1, 2, 2**32, 2**63, 2**64 - 2, 2**64 - 1, 123456789012345678]
    for shards in (1, 2, 3, 7):
        assert vc.shard_of(ids, shards).tolist() == [splitmix64(i) % shards for i in ids]
        assert vc.shard_of(np.array(ids, np.uint64), shards).tolist() == [splitmix64(i) % shards for i in ids]
    assert vc.shard_of(2**64 - 1, 3).tolist() == [splitmix64(2**64 - 1) % 3]


# --------------------------------------------------------------------------- results

@pytest.mark.parametrize("shards", [1, 2, 3])
@pytest.mark.parametrize("metric", METRICS)
def test_results_identical_to_one_collection(local_ray, tmp_path, shards, metric):
    ids, vectors, payloads = tied_data(300, seed=shards * 10 + METRICS.index(metric))
    one = varnel.Collection(tmp_path / "one", DIM, metric, threads=1)
    coll = vc.Collection(tmp_path / "cluster", DIM, metric, shards)
    try:
        for target in (one, coll):
            target.upsert(ids[:200], vectors[:200], payloads[:200])
            target.upsert(ids[200:], vectors[200:].astype(np.float64), payloads[200:])
            target.upsert(ids[5:40], vectors[40:75][::-1], None)        # replace, payloads dropped
            target.upsert(int(ids[3]), vectors[9].tolist(), {"g": 2})    # one id, list vector
            assert target.delete(ids[60:90]) == 30
            assert target.delete([int(ids[60]), int(ids[95]), int(ids[95])]) == 1
        assert_same_store(coll, one)
        queries = np.vstack([vectors[[0, 7, 150]], np.zeros((1, DIM), np.float32),
                             np.random.default_rng(3).standard_normal((3, DIM)).astype(np.float32)])
        search_everything(coll, one, queries, ks=[1, 10, 400])
        assert_same_hits(coll.search(queries, 0), one.search(queries, 0))
    finally:
        coll.close()
        one.close()


def test_every_id_is_stored_on_its_shard(local_ray, tmp_path):
    ids, vectors, payloads = tied_data(200, seed=5)
    coll = vc.Collection(tmp_path / "c", DIM, "euclidean", 3)
    coll.upsert(ids, vectors, payloads)
    coll.upsert(int(ids[10]), vectors[11], {"g": 7})                 # an update reaches the holder
    assert coll.delete(np.concatenate([ids[:20], ids[:5]])) == 20
    assert len(coll) == 180 and int(ids[0]) not in coll and int(ids[10]) not in coll
    coll.upsert(ids[:20], vectors[:20])
    assert coll[int(ids[12])][1] == {}
    with pytest.raises(KeyError):
        coll[12345]
    coll.close()
    seen = []
    for s in range(3):
        with varnel.Collection(tmp_path / "c" / f"shard-{s:03d}") as shard:
            held = shard.ids()
            assert (vc.shard_of(held, 3) == s).all()
            seen.append(held)
    assert np.array_equal(np.sort(np.concatenate(seen)), np.sort(ids))


# --------------------------------------------------------------------------- reopening

DRIVER = textwrap.dedent("""
    import os, signal, sys, numpy as np, ray, varnel.cluster as vc
    ray.init(address=sys.argv[1], log_to_driver=False)
    coll = vc.Collection(sys.argv[2], 4, "dot", 2)
    ids = np.arange(1000, 1100, dtype=np.uint64)
    coll.upsert(ids, np.arange(400, dtype=np.float32).reshape(100, 4), [{"n": i} for i in range(100)])
    coll.delete([1000, 1001])
    coll.flush()
    coll.upsert(np.arange(2000, 2010), np.ones((10, 4)))   # not synced by any shard's log yet
    print("flushed", flush=True)
    if sys.argv[3] == "kill":
        os.kill(os.getpid(), signal.SIGKILL)   # the driver dies without closing anything
    # else the driver ends normally, without closing the collection
""")


@pytest.mark.parametrize("end", ["kill", "exit"])
def test_new_driver_reopens_after_the_old_one_ended(local_ray, tmp_path, end):
    path = str(tmp_path / "c")
    address = ray.get_runtime_context().gcs_address
    run = subprocess.run([sys.executable, "-c", DRIVER, address, path, end], stdout=subprocess.PIPE,
                         text=True, timeout=120)
    assert run.returncode == (-signal.SIGKILL if end == "kill" else 0) and "flushed" in run.stdout
    with pytest.raises(ValueError, match="2 shards, not 3"):
        vc.Collection(path, shards=3)
    with pytest.raises(ValueError, match="holds a collection of dim=4, metric='dot'; asked for dim=5"):
        vc.Collection(path, dim=5)
    with pytest.raises(ValueError, match="asked for dim=4, metric='cosine'"):
        vc.Collection(path, metric="cosine")
    with vc.Collection(path) as coll:                   # dim, metric, shards from the manifest
        assert (coll.dim, coll.metric, coll.shards) == (4, "dot", 2)
        unsynced = sum(i in coll for i in range(2000, 2010))
        assert unsynced == 10 if end == "exit" else unsynced in range(11)
        assert len(coll) == 98 + unsynced and 1000 not in coll
        vector, payload = coll[1050]
        assert vector.tolist() == [200.0, 201.0, 202.0, 203.0] and payload == {"n": 50}
        hits = coll.search([1.0, 0.0, 0.0, 0.0], 3)
        assert hits.ids.tolist() == [1099, 1098, 1097]


def test_one_writer_per_shard_and_a_dropped_collection_keeps_its_writes(local_ray, tmp_path):
    coll = vc.Collection(tmp_path / "c", 4, "euclidean", 2)
    coll.upsert(np.arange(10), np.ones((10, 4)))          # 5 or so per shard: no log sync yet
    with pytest.raises(vc.ShardUnavailableError, match="shard 0 of .*in use by another process"):
        vc.Collection(tmp_path / "c")                      # a second writer is refused
    assert len(coll) == 10                                 # the first one is untouched
    del coll                                               # dropped, never closed
    gc.collect()
    with vc.Collection(tmp_path / "c") as again:
        assert again.ids().tolist() == list(range(10))


def test_lost_shard_directory_is_refused(local_ray, tmp_path):
    with vc.Collection(tmp_path / "c", 4, "euclidean", 2) as coll:
        coll.upsert([1, 2, 3], np.ones((3, 4)))
    os.rename(tmp_path / "c" / "shard-001", tmp_path / "moved")
    with pytest.raises(vc.ShardUnavailableError, match="shard 1 of .* FileNotFoundError: .*"
                                                       "shard 1 holds no collection") as e:
        vc.Collection(tmp_path / "c")
    assert e.value.shard == 1


# --------------------------------------------------------------------------- faults

def test_shard_killed_during_upserts(local_ray, tmp_path):
    """SIGKILL to one shard's process while a stream of writes runs: the call
    in flight is retried on the restarted shard, every operation acknowledged
    before the last flush that preceded the kill (and every one sent after
    it) is there, and results equal one collection holding the same set."""
    coll = vc.Collection(tmp_path / "c", DIM, "euclidean", 2)
    rng = np.random.default_rng(11)
    victim = 1
    pid_before = coll._processes()[victim][0]
    ops = []            # (submitted, acknowledged, {id: vector or None})
    flushes = []        # acknowledged times
    killed = {}

    def killer(after):
        time.sleep(after)
        killed["at"] = time.monotonic()
        os.kill(pid_before, signal.SIGKILL)

    next_id = 0
    for batch in range(60):
        if batch == 12:
            threading.Thread(target=killer, args=(rng.uniform(0.0, 0.05),)).start()
        change = {}
        fresh = np.arange(next_id, next_id + 25, dtype=np.uint64)
        next_id += 25
        vectors = rng.standard_normal((25, DIM)).astype(np.float32)
        if batch % 5 == 4:                                          # overwrite older ids too
            fresh[:5] = rng.choice(next_id - 25, 5, replace=False)
        t0 = time.monotonic()
        coll.upsert(fresh, vectors)
        change.update({int(i): v for i, v in zip(fresh.tolist(), vectors)})
        if batch % 7 == 6:
            gone = rng.choice(next_id, 4, replace=False)
            coll.delete(gone)
            change.update({int(i): None for i in gone.tolist()})
        ops.append((t0, time.monotonic(), change))
        if batch % 6 == 5:
            coll.flush()
            flushes.append(time.monotonic())
    coll.flush()
    assert "at" in killed
    assert coll._processes()[victim][0] != pid_before             # Ray restarted the shard

    synced = max([t for t in flushes if t < killed["at"]], default=float("-inf"))
    # The suffix of the victim's writes between the last flush before the
    # kill and the kill may be lost; everything else must be there.
    allowed = {}                                                    # id -> list of acceptable states
    for t0, t1, change in ops:
        for i, v in change.items():
            certain = t1 < synced or t0 > killed["at"] or vc.shard_of(i, 2)[0] != victim
            if certain or i not in allowed:
                allowed[i] = [v] if certain else [None, v]
            else:
                allowed[i].append(v)
    stored = set(coll.ids().tolist())
    for i, states in allowed.items():
        got = coll.get(i)
        assert (got is None) == (i not in stored)
        assert any((got is None and s is None) or (got is not None and s is not None and
                                                   np.array_equal(got[0], s)) for s in states), i
    one = reference_of(coll, tmp_path / "one")
    queries = rng.standard_normal((6, DIM)).astype(np.float32)
    for k in (1, 10, 50):
        assert_same_hits(coll.search(queries, k), one.search(queries, k))
        assert_same_hits(coll.search(queries[0], k), one.search(queries[0], k))
    coll.close()
    one.close()


@pytest.mark.parametrize("how", ["ray.kill", "restarts used up"])
def test_shard_that_stays_down_is_named(local_ray, tmp_path, how):
    coll = vc.Collection(tmp_path / "c", 4, "euclidean", 3, max_restarts=0)
    coll.upsert(np.arange(30), np.ones((30, 4)))
    if how == "ray.kill":
        ray.kill(coll._actors[2], no_restart=True)
    else:
        os.kill(coll._processes()[2][0], signal.SIGKILL)
    for call in (lambda: coll.search([0, 0, 0, 0], 5), lambda: len(coll), coll.flush,
                 lambda: coll.upsert(np.arange(30), np.zeros((30, 4)))):
        with pytest.raises(vc.ShardUnavailableError, match="shard 2 of the cluster collection") as e:
            call()
        assert e.value.shard == 2
    coll._stop()


# --------------------------------------------------------------------------- refused input

BAD_CALLS = [
    ("upsert", (1, [1.0, 2.0]), {}),                                   # wrong length
    ("upsert", ([1, 2], np.ones((2, 5))), {}),
    ("upsert", ([1, 2], np.ones((3, 4))), {}),                         # counts differ
    ("upsert", ([-1], np.ones((1, 4))), {}),                           # id out of range
    ("upsert", ([2**64], np.ones((1, 4))), {}),
    ("upsert", ([1.5], np.ones((1, 4))), {}),
    ("upsert", ([1, 2], np.ones((2, 4)), [{"a": float("nan")}, None]), {}),
    ("upsert", ([1, 2], np.ones((2, 4)), [{"a": {1, 2}}, None]), {}),
    ("upsert", ([1, 2], np.ones((2, 4)), [{3: 1}, None]), {}),
    ("upsert", ([1, 2], np.ones((2, 4)), [{"a": 1}]), {}),
    ("upsert", (1, [1.0, 2.0, 3.0, 4.0], [1, 2]), {}),
    ("search", ([1.0, 2.0],), {"k": 3}),
    ("search", (np.ones((2, 5)),), {"k": 3}),
    ("search", ([1.0] * 4,), {"k": -1}),
    ("search", ([1.0] * 4,), {"k": 3, "where": {"g": {"$near": 1}}}),
    ("search", ([1.0] * 4,), {"k": 3, "where": {"$and": {"g": 1}}}),
    ("search", ([1.0] * 4,), {"k": 3, "where": "g = 1"}),
    ("delete", ([-5],), {}),
    ("delete", (["a"],), {}),
    ("get", (-1,), {}),
    ("get", (2**64,), {}),
]


def test_bad_input_is_refused_in_the_driver_with_one_node_texts(local_ray, tmp_path, monkeypatch):
    one = varnel.Collection(tmp_path / "one", 4, "euclidean", threads=1)
    coll = vc.Collection(tmp_path / "c", 4, "euclidean", 2)
    coll.upsert([7, 8], np.ones((2, 4)))
    sent = []
    real_submit = coll._submit
    monkeypatch.setattr(coll, "_submit", lambda *a: sent.append(a) or real_submit(*a))
    for method, args, kwargs in BAD_CALLS:
        same_error(lambda: getattr(coll, method)(*args, **kwargs),
                   lambda: getattr(one, method)(*args, **kwargs))
        assert sent == [], (method, args)
    same_error(lambda: coll[-1], lambda: one[-1])
    assert sent == []
    assert len(coll) == 2 and len(one) == 0
    coll.close()
    one.close()
    for call in (lambda: coll.upsert(1, [0.0] * 4), lambda: coll.search([0.0] * 4, 1), coll.flush,
                 lambda: coll.delete(1), lambda: coll.get(1), lambda: 1 in coll, lambda: len(coll),
                 coll.ids, coll.compact):
        same_error(call, lambda: one.get(1))                           # "collection is closed"
    coll.close()                                                        # a second close does nothing


def test_creation_and_reopening_refusals(local_ray, tmp_path):
    path = tmp_path / "a"
    for dim, metric in [(4, "manhattan"), (0, "dot"), (2.0, "dot"), (None, "dot"), (3, None), (2**64, "dot")]:
        same_error(lambda: vc.Collection(path, dim, metric, 1), lambda: varnel.Collection(path, dim, metric))
    assert not path.exists()
    with pytest.raises(ValueError, match="shards"):
        vc.Collection(tmp_path / "a", 4, "dot", 0)
    with pytest.raises(ValueError, match="placement"):
        vc.Collection(tmp_path / "a", 4, "dot", 2, placement=[{"node_id": "x"}])
    varnel.Collection(tmp_path / "plain", 4, "dot").close()
    with pytest.raises(ValueError, match="not a cluster collection"):
        vc.Collection(tmp_path / "plain", 4, "dot", 1)
    (tmp_path / "torn").mkdir()
    (tmp_path / "torn" / vc.MANIFEST_NAME).write_text('{"format": "varnel.cluster", "vers')
    with pytest.raises(ValueError, match="not a varnel cluster manifest"):
        vc.Collection(tmp_path / "torn")
    (tmp_path / "huge").mkdir()
    (tmp_path / "huge" / vc.MANIFEST_NAME).write_text(json.dumps({
        "format": "varnel.cluster", "version": 1, "routing": "splitmix64 mod shards", "shards": 1,
        "dim": 2**64, "metric": "dot", "shard_dirs": ["shard-000"], "placement": [None], "complete": True}))
    with pytest.raises(ValueError, match="not a varnel cluster manifest: dim 18446744073709551616"):
        vc.Collection(tmp_path / "huge")


# --------------------------------------------------------------------------- two nodes

@pytest.mark.parametrize("by", ["resource", "node_id"])
def test_placement_on_two_nodes(two_nodes, tmp_path, by):
    a, b = two_nodes.nodes
    if by == "resource":
        placement = [{"resource": "disk_a"}, {"resource": "disk_b"}, {"resource": "disk_b"}]
    else:
        placement = [{"node_id": a}, {"node_id": b}, {"node_id": b}]
    want_nodes = [a, b, b]
    ids, vectors, payloads = tied_data(240, seed=21)
    one = varnel.Collection(tmp_path / "one", DIM, "cosine", threads=1)
    one.upsert(ids, vectors, payloads)
    coll = vc.Collection(tmp_path / "c", DIM, "cosine", 3, placement=placement)
    coll.upsert(ids, vectors, payloads)
    assert [node for _, node in coll._processes()] == want_nodes
    queries = vectors[[3, 40, 120]] + np.float32(0.5)
    search_everything(coll, one, queries, ks=[1, 10])
    victim = coll._processes()[1][0]
    coll.flush()
    os.kill(victim, signal.SIGKILL)                                  # restarts on its own node
    assert_same_hits(coll.search(queries, 10, payloads=True), one.search(queries, 10, payloads=True))
    assert [node for _, node in coll._processes()] == want_nodes
    coll.close()
    with vc.Collection(tmp_path / "c") as again:                     # placement from the manifest
        assert again.placement == placement
        assert [node for _, node in again._processes()] == want_nodes
        assert_same_store(again, one)
    one.close()
