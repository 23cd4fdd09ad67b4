#!/usr/bin/env python3
"""varnel against the peers, on the same random data, one process per configuration.

    python bench/run.py                      # the default matrix (about 15-20 minutes)
    python bench/run.py --preset quick       # a smoke run (about a minute)
    python bench/run.py --preset full        # adds 1,000,000 x 768 (needs ~10 GB free)
    python bench/run.py --render docs/bench_results.json   # redo the Markdown and the plot

Every configuration runs in a fresh subprocess whose thread variables
(OMP/OPENBLAS/MKL_NUM_THREADS) are set before numpy or faiss is imported, and
every peer is also told its thread count through its own API. varnel is
single-threaded whatever the setting. Results go to <out>/bench_results.json,
<out>/benchmarks.md and <out>/benchmarks.png.

What is measured (k = 10 throughout):
  bandwidth   one-core sequential read bandwidth (best of numpy add/max reductions
              over 1 GiB), so a single query can be shown as a share of the limit
  search      single-query latency (median) and batch throughput (100 and 1000
              queries) for varnel, FAISS flat, hnswlib BFIndex, usearch exact,
              numpy (matrix product + argpartition), sqlite-vec (small N only)
  insert      Index.insert_batch from numpy and from lists, against the peers' adds
  collection  Collection.insert_batch (log on, batch sync) + flush, against
              sqlite-vec inserts in one transaction + commit
  open        reopening a flushed collection in a fresh process: time against a
              sequential read of its data file, and peak RSS against the vectors
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

K = 10
SEED = 20240613
METRICS = {  # our name -> varnel's metric name
    "l2": "euclidean",
    "ip": "dot",
    "cos": "cosine",
}
PEERS = ["varnel", "faiss", "hnswlib", "usearch", "numpy", "sqlite-vec"]
TARGET_PEERS = {"varnel", "faiss", "hnswlib", "numpy"}  # the peers the targets compare with

PRESETS = {
    "quick": {
        "search": [(n, d) for n in (10_000, 100_000) for d in (128,)],
        "metrics": ["l2", "ip"],
        "batches": [100],
        "threads": [1],
        "two_thread_search": [],
        "sqlite_max_elems": 10_000 * 128,
        "all_batches": False,
        "insert_n": 100_000,
        "insert_list_n": 20_000,
        "collection_n": 20_000,
        "open_n": 100_000,
        "bandwidth_mib": 512,
    },
    "default": {
        "search": [(n, d) for n in (10_000, 100_000, 1_000_000) for d in (128, 768)
                   if not (n == 1_000_000 and d == 768)],
        "metrics": ["l2", "ip", "cos"],
        "batches": [100, 1000],
        "threads": [1, 2],
        # Two threads: the shapes of the batch targets, L2 only.
        "two_thread_search": [(100_000, 128), (1_000_000, 128)],
        "two_thread_metrics": ["l2"],
        # sqlite-vec up to 100,000 x 128 (its build of 100,000 x 768 alone takes
        # half a minute, a single query over it half a second).
        "sqlite_max_elems": 100_000 * 128,
        "all_batches": False,
        "insert_n": 1_000_000,
        "insert_list_n": 100_000,
        "collection_n": 100_000,
        "open_n": 1_000_000,
        "bandwidth_mib": 1024,
    },
}
PRESETS["full"] = dict(PRESETS["default"])
PRESETS["full"].update({
    "search": [(n, d) for n in (10_000, 100_000, 1_000_000) for d in (128, 768)],
    "two_thread_search": PRESETS["default"]["search"],
    "two_thread_metrics": ["l2", "ip"],
    "sqlite_max_elems": 1_000_000 * 768,
    "all_batches": True,
})


# --------------------------------------------------------------------------- helpers

def now():
    return time.perf_counter()


def thread_env(threads):
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                "NUMEXPR_NUM_THREADS", "VECLIB_MAXIMUM_THREADS"):
        env[var] = str(threads)
    return env


def make_data(n, d, seed=SEED):
    import numpy as np
    rng = np.random.default_rng(seed + 7919 * d)
    return rng.standard_normal((n, d), dtype=np.float32)


def make_queries(nq, d):
    return make_data(nq, d, seed=SEED + 1)


def median_time(fn, args_list, warmup=2, budget_s=3.0, min_reps=5, max_reps=40):
    """Median wall time of fn(arg) over distinct arguments, after a warm-up."""
    t0 = now()
    for a in args_list[:warmup]:
        fn(a)
    per_call = (now() - t0) / max(1, warmup)
    reps = int(min(max_reps, max(min_reps, budget_s / max(per_call, 1e-6))))
    times = []
    for i in range(reps):
        a = args_list[(warmup + i) % len(args_list)]
        t = now()
        fn(a)
        times.append(now() - t)
    return statistics.median(times), reps


def best_time(fn, budget_s=4.0, max_reps=3):
    """Best wall time of fn(); repeats only while repeats are cheap."""
    t = now()
    fn()
    best = now() - t
    reps = 1
    while reps < max_reps and best * (reps + 1) < budget_s:
        t = now()
        fn()
        best = min(best, now() - t)
        reps += 1
    return best, reps


def ids_of(result, peer):
    """The identifiers of one query's hits, nearest first, as plain ints."""
    if peer in ("varnel", "sqlite-vec"):
        return [int(i) for i, _ in result]
    return [int(i) for i in result]


def overlap(a, b):
    if not a:
        return None
    return len(set(a) & set(b)) / len(a)


# --------------------------------------------------------------------------- peers
#
# Each peer is a small object: build(X) loads the data, one(q) answers one
# query with the identifiers of its k nearest, many(Q) a batch. Identifiers
# are the row numbers 0..N-1 everywhere.

class VarnelPeer:
    name = "varnel"

    def __init__(self, metric, d, threads):
        import _varnel
        self.index = _varnel.Index(METRICS[metric], d)

    def build(self, X):
        import numpy as np
        self.index.insert_batch(np.arange(len(X), dtype=np.uint64), X)

    def one(self, q):
        return [i for i, _ in self.index.search(q, K)]

    def many(self, Q):
        return [[i for i, _ in hits] for hits in self.index.search_batch(Q, K)]


class FaissPeer:
    name = "faiss"

    def __init__(self, metric, d, threads):
        import faiss
        self.faiss = faiss
        faiss.omp_set_num_threads(threads)
        self.metric = metric
        self.index = faiss.IndexFlatL2(d) if metric == "l2" else faiss.IndexFlatIP(d)

    def _prep(self, X):
        if self.metric != "cos":
            return X
        import numpy as np
        X = np.array(X, dtype=np.float32, copy=True)
        self.faiss.normalize_L2(X)
        return X

    def build(self, X):
        self.index.add(self._prep(X))

    def one(self, q):
        _, ids = self.index.search(self._prep(q.reshape(1, -1)), K)
        return ids[0].tolist()

    def many(self, Q):
        _, ids = self.index.search(self._prep(Q), K)
        return ids.tolist()

    def many_blas(self, Q):
        # The shipped build takes its BLAS path only from a batch size that
        # depends on d (1000 x 128 does, 100 x 128 does not); here it always
        # does. A batch counts at the faster of the two.
        cvar = self.faiss.cvar
        saved = cvar.distance_compute_blas_threshold
        cvar.distance_compute_blas_threshold = 0
        try:
            return self.many(Q)
        finally:
            cvar.distance_compute_blas_threshold = saved


class HnswlibPeer:
    name = "hnswlib"

    def __init__(self, metric, d, threads):
        import hnswlib
        self.threads = threads
        self.index = hnswlib.BFIndex(space={"l2": "l2", "ip": "ip", "cos": "cosine"}[metric], dim=d)

    def build(self, X):
        import numpy as np
        self.index.init_index(max_elements=len(X))
        self.index.set_num_threads(self.threads)
        self.index.add_items(X, np.arange(len(X)))

    def one(self, q):
        labels, _ = self.index.knn_query(q, k=K, num_threads=self.threads)
        return labels[0].tolist()

    def many(self, Q):
        labels, _ = self.index.knn_query(Q, k=K, num_threads=self.threads)
        return labels.tolist()


class UsearchPeer:
    name = "usearch"

    def __init__(self, metric, d, threads):
        from usearch.index import MetricKind, search
        self.search = search
        self.threads = threads
        self.metric = {"l2": MetricKind.L2sq, "ip": MetricKind.IP, "cos": MetricKind.Cos}[metric]

    def build(self, X):
        self.X = X  # exact search runs over the array itself

    def one(self, q):
        m = self.search(self.X, q, K, self.metric, exact=True, threads=self.threads)
        return [int(k) for k in m.keys]

    def many(self, Q):
        m = self.search(self.X, Q, K, self.metric, exact=True, threads=self.threads)
        return m.keys.tolist()


class NumpyPeer:
    """Matrix product + argpartition: the brute force people write by hand."""
    name = "numpy"

    def __init__(self, metric, d, threads):
        import numpy as np
        self.np = np
        self.metric = metric

    def build(self, X):
        np = self.np
        if self.metric == "cos":
            X = X / np.linalg.norm(X, axis=1, keepdims=True)
        self.X = X
        self.sq = np.einsum("ij,ij->i", X, X) if self.metric == "l2" else None

    def _scores(self, Q):
        # Smaller is nearer; the query's own norm does not change the order.
        np = self.np
        if self.metric == "cos":
            Q = Q / np.linalg.norm(Q, axis=-1, keepdims=True)
        p = Q @ self.X.T
        if self.metric == "l2":
            return self.sq - 2.0 * p
        return -p

    def _top(self, s):
        np = self.np
        part = np.argpartition(s, K, axis=-1)[..., :K]
        order = np.take_along_axis(s, part, axis=-1).argsort(axis=-1)
        return np.take_along_axis(part, order, axis=-1)

    def one(self, q):
        return self._top(self._scores(q)).tolist()

    chunk_bytes = 256 << 20  # the score matrix of one chunk of queries

    def many(self, Q):
        step = max(1, self.chunk_bytes // (4 * len(self.X)))
        out = []
        for s in range(0, len(Q), step):
            out.extend(self._top(self._scores(Q[s:s + step])).tolist())
        return out


def sqlite_connect(path):
    import sqlite3
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        # An interpreter built without extension loading: the stand-in module.
        from pysqlite3 import dbapi2 as sqlite3
    import sqlite_vec
    db = sqlite3.connect(path)
    db.enable_load_extension(True)
    sqlite_vec.load(db)
    db.enable_load_extension(False)
    return db


class SqliteVecPeer:
    name = "sqlite-vec"

    def __init__(self, metric, d, threads):
        if metric == "ip":
            raise NotImplementedError("vec0 has no inner-product distance")
        self.dir = tempfile.mkdtemp(prefix="bench-sqlite-", dir=WORK_DIR)
        self.db = sqlite_connect(os.path.join(self.dir, "v.db"))
        self.db.execute(f"create virtual table v using vec0(embedding float[{d}] "
                        f"distance_metric={'l2' if metric == 'l2' else 'cosine'})")

    def build(self, X):
        with self.db:
            self.db.executemany("insert into v(rowid, embedding) values (?, ?)",
                                ((i, X[i].tobytes()) for i in range(len(X))))

    def one(self, q):
        rows = self.db.execute("select rowid from v where embedding match ? and k = ?",
                               (q.tobytes(), K)).fetchall()
        return [r[0] for r in rows]

    def many(self, Q):
        return [self.one(q) for q in Q]

    def close(self):
        self.db.close()
        shutil.rmtree(self.dir, ignore_errors=True)


PEER_CLASSES = {c.name: c for c in (VarnelPeer, FaissPeer, HnswlibPeer, UsearchPeer, NumpyPeer,
                                    SqliteVecPeer)}
WORK_DIR = None  # scratch directory for files, set by main()


# --------------------------------------------------------------------------- workers

def worker_bandwidth(task):
    """One-core read bandwidth: best of several full reductions over a big array."""
    import numpy as np
    a = np.ones(task["mib"] * (1 << 20) // 4, dtype=np.float32)
    out = {}
    for name, fn in (("add.reduce", np.add.reduce), ("maximum.reduce", np.maximum.reduce)):
        best = min(_timed(fn, a) for _ in range(7))
        out[name] = a.nbytes / best
    out["bytes"] = a.nbytes
    out["best_bytes_per_s"] = max(out["add.reduce"], out["maximum.reduce"])
    del a
    # Filling memory that was never touched: page faults plus writes, the
    # price any insert pays for the room it stores vectors in.
    n = task["mib"] * (1 << 20) // 4
    out["first_touch_bytes_per_s"] = n * 4 / min(_timed(np.full, n, 1.0, np.float32)
                                                  for _ in range(3))
    return out


def _timed(fn, *args):
    t = now()
    fn(*args)
    return now() - t


def worker_search(task):
    import numpy as np
    n, d, metric, threads = task["n"], task["d"], task["metric"], task["threads"]
    X = make_data(n, d)
    Q = make_queries(max(task["batches"] + [64]), d)
    rows = []
    reference = None  # varnel's answer to the first batch, to check the others
    for peer_name in task["peers"]:
        row = {"task": "search", "peer": peer_name, "n": n, "d": d, "metric": metric,
               "threads": threads}
        peer = None
        try:
            peer = PEER_CLASSES[peer_name](metric, d, threads)
            row["build_s"] = _timed(peer.build, X)
            single, reps = median_time(peer.one, list(Q[:64]))
            row["single_s"] = single
            row["single_reps"] = reps
            if peer_name != "sqlite-vec":
                row["batch_qps"] = {}
                for nq in task["batches"]:
                    # A peer no target names is spared batches that would
                    # take minutes at the rate of its previous batch.
                    if (peer_name not in TARGET_PEERS and row["batch_qps"]
                            and nq / min(row["batch_qps"].values()) > task.get("batch_budget_s", 40)):
                        row.setdefault("batch_skipped", []).append(nq)
                        continue
                    t, _ = best_time(lambda: peer.many(Q[:nq]))
                    row["batch_qps"][str(nq)] = nq / t
                    if hasattr(peer, "many_blas"):
                        row.setdefault("batch_qps_default", {})[str(nq)] = nq / t
                        t, _ = best_time(lambda: peer.many_blas(Q[:nq]))
                        row.setdefault("batch_qps_blas", {})[str(nq)] = nq / t
                        row["batch_qps"][str(nq)] = max(row["batch_qps"][str(nq)], nq / t)
            answer = peer.many(Q[:8])
            if peer_name == "varnel":
                reference = answer
            elif reference is not None:
                row["agree_with_varnel"] = statistics.mean(
                    overlap(a, b) for a, b in zip(reference, answer))
        except NotImplementedError as e:
            row["skipped"] = str(e)
        except Exception as e:  # a failing peer must not stop the others
            row["error"] = f"{type(e).__name__}: {e}"
        finally:
            if peer is not None and hasattr(peer, "close"):
                peer.close()
            del peer
            gc.collect()
        rows.append(row)
        print(f"  {peer_name:<10} {json.dumps({k: v for k, v in row.items() if k not in ('task',)})}",
              file=sys.stderr, flush=True)
    return rows


def fits_budget(seconds, small, large, budget_s=60.0):
    """Whether a run that took `seconds` at size `small` stays within the
    budget at size `large` even if its cost grows with the square of the size."""
    return seconds * (large / small) ** 2 <= budget_s


def worker_insert(task):
    """Index inserts from numpy and from lists, against the peers' adds."""
    import numpy as np
    import _varnel
    d, threads = task["d"], task["threads"]
    n_np, n_list = task["n"], task["list_n"]
    X = make_data(n_np, d)
    ids = np.arange(n_np, dtype=np.uint64)
    lists = X[:n_list].tolist()
    list_ids = list(range(n_list))
    rows = []

    def add(peer, source, n, fn):
        t, reps = best_time(fn, budget_s=6.0)
        rows.append({"task": "insert", "peer": peer, "source": source, "n": n, "d": d,
                     "threads": threads, "seconds": t, "vectors_per_s": n / t,
                     "bytes_per_s": n * d * 4 / t, "ns_per_float": t / (n * d) * 1e9})
        print(f"  {rows[-1]}", file=sys.stderr, flush=True)

    add("varnel", "numpy", n_np, lambda: _varnel.Index("euclidean", d).insert_batch(ids, X))
    # Lists first at a tenth of the size: a conversion whose cost grows faster
    # than the input shows it here, and the full size is then skipped rather
    # than left to run for many minutes.
    small = max(1000, n_list // 10)
    add("varnel", "lists", small,
        lambda: _varnel.Index("euclidean", d).insert_batch(list_ids[:small], lists[:small]))
    if fits_budget(rows[-1]["seconds"], small, n_list):
        add("varnel", "lists", n_list,
            lambda: _varnel.Index("euclidean", d).insert_batch(list_ids, lists))
    else:
        rows[-1]["note"] = f"{n_list:,} skipped: would take too long if the cost grows quadratically"

    import faiss
    faiss.omp_set_num_threads(threads)
    add("faiss", "numpy", n_np, lambda: faiss.IndexFlatL2(d).add(X))
    add("faiss", "lists", n_list,
        lambda: faiss.IndexFlatL2(d).add(np.asarray(lists, dtype=np.float32)))

    import hnswlib

    def hnsw_add(data, n):
        ix = hnswlib.BFIndex(space="l2", dim=d)
        ix.init_index(max_elements=n)
        ix.set_num_threads(threads)
        ix.add_items(data, np.arange(n))

    add("hnswlib", "numpy", n_np, lambda: hnsw_add(X, n_np))
    add("hnswlib", "lists", n_list, lambda: hnsw_add(lists, n_list))

    # numpy: copying into a preallocated matrix (numpy) or building one (lists).
    buf = np.empty_like(X)
    add("numpy", "numpy", n_np, lambda: np.copyto(buf, X))
    add("numpy", "lists", n_list, lambda: np.asarray(lists, dtype=np.float32))
    return rows


def worker_collection(task):
    """Persistent inserts: Collection.insert_batch + flush against sqlite-vec."""
    import numpy as np
    import _varnel
    import sqlite_vec
    n, d = task["n"], task["d"]
    X = make_data(n, d)
    ids = np.arange(n, dtype=np.uint64)
    lists = X.tolist()
    list_ids = list(range(n))
    rows = []

    def varnel_run(source, n):
        path = tempfile.mkdtemp(prefix="bench-col-", dir=WORK_DIR)
        try:
            col = _varnel.Collection.open_or_create(os.path.join(path, "c"), d, "euclidean")
            if source == "numpy":
                insert = _timed(col.insert_batch, ids[:n], X[:n])
            else:
                insert = _timed(col.insert_batch, list_ids[:n], lists[:n])
            flush = _timed(col.flush)
            del col
            gc.collect()
            return insert, flush
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def sqlite_run(source, n):
        path = tempfile.mkdtemp(prefix="bench-sqlite-", dir=WORK_DIR)
        try:
            db = sqlite_connect(os.path.join(path, "v.db"))
            db.execute(f"create virtual table v using vec0(embedding float[{d}])")
            t = now()
            if source == "numpy":
                rows_in = ((i, X[i].tobytes()) for i in range(n))
            else:
                rows_in = ((i, sqlite_vec.serialize_float32(lists[i])) for i in range(n))
            db.execute("begin")
            db.executemany("insert into v(rowid, embedding) values (?, ?)", rows_in)
            insert = now() - t
            flush = _timed(db.commit)
            db.close()
            return insert, flush
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def record(peer, source, count, fn):
        best = None
        for _ in range(task.get("reps", 2)):
            r = fn(source, count)
            if best is None or sum(r) < sum(best):
                best = r
        insert, flush = best
        rows.append({"task": "collection", "peer": peer, "source": source, "n": count, "d": d,
                     "insert_s": insert, "flush_s": flush, "vectors_per_s": count / insert,
                     "with_flush_vectors_per_s": count / (insert + flush)})
        print(f"  {rows[-1]}", file=sys.stderr, flush=True)

    rows.append(fsync_probe(d))
    print(f"  {rows[-1]}", file=sys.stderr, flush=True)
    for peer, fn in (("varnel", varnel_run), ("sqlite-vec", sqlite_run)):
        record(peer, "numpy", n, fn)
        # Lists at a tenth of the size first, as in worker_insert.
        small = max(1000, n // 10)
        record(peer, "lists", small, fn)
        if fits_budget(rows[-1]["insert_s"], small, n):
            record(peer, "lists", n, fn)
        else:
            rows[-1]["note"] = f"{n:,} skipped: would take too long if the cost grows quadratically"
    return rows


def fsync_probe(d, rounds=40, batch=100):
    """The disk's price for the log's batch policy: append what 100 log
    frames of d floats take (about 11.6 bytes per component), then fsync;
    the median gives the most inserts per second any log that syncs every
    100 appends can sustain here."""
    frame = b"x" * (60 + 12 * d)
    path = os.path.join(WORK_DIR, "fsync-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    times = []
    try:
        for _ in range(rounds):
            os.write(fd, frame * batch)
            t = now()
            os.fsync(fd)
            times.append(now() - t)
    finally:
        os.close(fd)
        os.unlink(path)
    med = statistics.median(times)
    return {"task": "fsync", "bytes_per_sync": len(frame) * batch, "median_s": med,
            "min_s": min(times), "max_s": max(times),
            "ceiling_vectors_per_s": batch / med}


OPEN_PROBE = r"""
import json, resource, sys, time
import _varnel
path, d, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
out = {}
if mode == "open":
    t = time.perf_counter()
    col = _varnel.Collection.open_or_create(path, d, "euclidean")
    out["open_s"] = time.perf_counter() - t
    probe = [float(x) for x in json.loads(sys.argv[4])]
    out["hit"] = col.search(probe, 1)
# ru_maxrss is carried over from the parent across fork and exec on Linux, so
# the high-water mark of this process's own memory comes from VmHWM.
out["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
with open("/proc/self/status") as f:
    for line in f:
        if line.startswith("VmHWM:"):
            out["hwm_kib"] = int(line.split()[1])
print(json.dumps(out))
"""


def worker_open(task):
    """Reopening a flushed collection in fresh processes."""
    import numpy as np
    import _varnel
    n, d = task["n"], task["d"]
    X = make_data(n, d)
    root = tempfile.mkdtemp(prefix="bench-open-", dir=WORK_DIR)
    path = os.path.join(root, "c")
    try:
        col = _varnel.Collection.open_or_create(path, d, "euclidean")
        insert = _timed(col.insert_batch, np.arange(n, dtype=np.uint64), X)
        flush = _timed(col.flush)
        del col
        gc.collect()
        probe = json.dumps(X[n // 2].tolist())
        del X
        gc.collect()
        data_path = os.path.join(path, "data.vnl")
        size = os.path.getsize(data_path)

        def read_whole():
            # The file into one new buffer of its size: the reading plus the
            # page faults that any loader of this much data pays.
            buf = bytearray(size)
            with open(data_path, "rb", buffering=0) as f:
                view = memoryview(buf)
                got = 0
                while got < size:
                    r = f.readinto(view[got:got + (16 << 20)])
                    if not r:
                        break
                    got += r
            return buf

        def read_stream():
            buf = bytearray(1 << 20)
            with open(data_path, "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass

        read_whole()  # bring the file into the page cache, as the opens below find it
        whole = min(_timed(read_whole) for _ in range(3))
        stream = min(_timed(read_stream) for _ in range(3))

        def probe_run(mode):
            cmd = [sys.executable, "-c", OPEN_PROBE, path, str(d), mode, probe]
            res = subprocess.run(cmd, capture_output=True, text=True, check=True)
            return json.loads(res.stdout.strip().splitlines()[-1])

        base = min(probe_run("baseline")["hwm_kib"] for _ in range(2))
        opens = [probe_run("open") for _ in range(3)]
        best = min(opens, key=lambda o: o["open_s"])
        peak = max(o["hwm_kib"] for o in opens)
        hit = best.get("hit") or [[None, None]]
        vector_bytes = n * d * 4
        row = {"task": "open", "peer": "varnel", "n": n, "d": d, "data_file_bytes": size,
               "insert_s": insert, "flush_s": flush,
               "open_s": best["open_s"], "open_s_all": [o["open_s"] for o in opens],
               "read_whole_s": whole, "read_stream_s": stream,
               "open_over_read": best["open_s"] / stream,
               "open_over_read_whole": best["open_s"] / whole,
               "peak_rss_bytes": (peak - base) * 1024, "baseline_rss_bytes": base * 1024,
               "vector_bytes": vector_bytes, "rss_over_vectors": (peak - base) * 1024 / vector_bytes,
               "reopened_probe_found": hit[0][0] == n // 2 and hit[0][1] == 0.0}
        print(f"  {row}", file=sys.stderr, flush=True)
        return [row]
    finally:
        shutil.rmtree(root, ignore_errors=True)


WORKERS = {"bandwidth": worker_bandwidth, "search": worker_search, "insert": worker_insert,
           "collection": worker_collection, "open": worker_open}


# --------------------------------------------------------------------------- orchestrator

def run_worker(task, threads):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(task),
           "--work-dir", WORK_DIR]
    t = now()
    load = load_average()[0]
    res = subprocess.run(cmd, env=thread_env(threads), stdout=subprocess.PIPE, text=True)
    if res.returncode != 0:
        print(f"!! worker failed ({res.returncode}): {task}", file=sys.stderr, flush=True)
        return {"task": task, "error": f"exit status {res.returncode}"}
    out = json.loads(res.stdout.strip().splitlines()[-1])
    # The 1-minute load average as the configuration began: on a shared
    # machine it tells which numbers had company.
    for row in out if isinstance(out, list) else [out]:
        row["load_at_start"] = load
    print(f"   ({now() - t:.1f} s)", file=sys.stderr, flush=True)
    return out


def load_average():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def wait_for_quiet(limit, max_wait):
    start = now()
    load = load_average()
    while load[0] >= limit and now() - start < max_wait:
        print(f"load average {load[0]:.2f} >= {limit}; waiting", file=sys.stderr, flush=True)
        time.sleep(20)
        load = load_average()
    return {"waited_s": round(now() - start), "load_at_start": load}


def machine_description():
    import importlib.metadata as md
    info = {"python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "kernel": platform.release(), "cores": os.cpu_count()}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            key, _, value = line.partition(":")
            if key.strip() in ("Model name", "Core(s) per socket", "Thread(s) per core",
                               "L2 cache", "L3 cache", "Hypervisor vendor"):
                info[key.strip()] = value.strip()
            if key.strip() == "Flags":
                info["avx512f"] = " avx512f " in f" {value.strip()} "
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                info["memory_gib"] = round(int(line.split()[1]) / (1 << 20), 1)
    # Huge pages change both the measured bandwidth (numpy asks for them on
    # large arrays) and varnel's scans (its index asks for them too).
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            info["transparent_hugepages"] = f.read().strip()
    except OSError:
        pass
    versions = {}
    for pkg in ("numpy", "faiss-cpu", "hnswlib", "usearch", "sqlite-vec", "matplotlib", "varnel"):
        try:
            versions[pkg] = md.version(pkg)
        except md.PackageNotFoundError:
            versions[pkg] = None
    import sqlite3
    versions["sqlite"] = sqlite3.sqlite_version
    info["versions"] = versions
    try:
        from threadpoolctl import threadpool_info
        info["blas"] = [{k: p.get(k) for k in ("internal_api", "prefix", "architecture", "version")}
                        for p in threadpool_info() if p.get("user_api") == "blas"]
    except ImportError:
        pass
    if os.environ.get("VARNEL_BUILT_FROM"):
        info["varnel_commit"] = os.environ["VARNEL_BUILT_FROM"]
        return info
    try:
        here = os.path.dirname(os.path.abspath(__file__))
        commit = subprocess.run(["git", "-C", here, "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", here, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        info["varnel_commit"] = commit + (" (with uncommitted changes)" if dirty else "")
    except OSError:
        pass
    return info


def orchestrate(args):
    preset = PRESETS[args.preset]
    results = {"preset": args.preset, "k": K, "started": time.strftime("%Y-%m-%d %H:%M:%S UTC",
                                                                       time.gmtime())}
    results["load"] = wait_for_quiet(args.max_load, args.wait)
    results["machine"] = machine_description()
    rows = []
    t_all = now()

    print("== bandwidth", file=sys.stderr, flush=True)
    results["bandwidth"] = run_worker({"kind": "bandwidth", "mib": preset["bandwidth_mib"]}, 1)

    for threads in preset["threads"]:
        configs = preset["search"] if threads == 1 else preset["two_thread_search"]
        for n, d in configs:
            for metric in preset["metrics"]:
                if threads > 1 and metric not in preset.get("two_thread_metrics", ["l2", "ip"]):
                    continue
                peers = [p for p in PEERS if p != "sqlite-vec" or (n * d <= preset["sqlite_max_elems"]
                                                                    and threads == 1)]
                # Batches of 1000 where a target asks for them (d = 128, L2 and
                # inner product), everywhere in the full preset.
                batches = [b for b in preset["batches"]
                           if b < 1000 or preset["all_batches"] or (d == 128 and metric != "cos")]
                print(f"== search n={n} d={d} {metric} threads={threads}", file=sys.stderr,
                      flush=True)
                rows += run_worker({"kind": "search", "n": n, "d": d, "metric": metric,
                                    "threads": threads, "peers": peers, "batches": batches},
                                   threads)

    print("== insert", file=sys.stderr, flush=True)
    rows += run_worker({"kind": "insert", "n": preset["insert_n"], "list_n": preset["insert_list_n"],
                        "d": 128, "threads": 1}, 1)
    print("== collection", file=sys.stderr, flush=True)
    rows += run_worker({"kind": "collection", "n": preset["collection_n"], "d": 128}, 1)
    print("== open", file=sys.stderr, flush=True)
    rows += run_worker({"kind": "open", "n": preset["open_n"], "d": 128}, 1)

    results["rows"] = [r for r in rows if isinstance(r, dict)]
    results["total_s"] = now() - t_all
    results["load_at_end"] = load_average()
    return results


# --------------------------------------------------------------------------- report

def fmt_ms(s):
    if s is None:
        return "—"
    ms = s * 1e3
    return f"{ms:.3f}" if ms < 1 else f"{ms:.2f}" if ms < 10 else f"{ms:.1f}" if ms < 1000 else f"{ms:.0f}"


def fmt_num(x, digits=3):
    if x is None:
        return "—"
    if x >= 100:
        return f"{x:,.0f}"
    return f"{x:.{digits}g}"


def find(rows, **kw):
    for r in rows:
        if all(r.get(k) == v for k, v in kw.items()):
            return r
    return None


def find_largest(rows, **kw):
    """Of the rows that match, the one measured at the largest N."""
    match = [r for r in rows if all(r.get(k) == v for k, v in kw.items())]
    return max(match, key=lambda r: r.get("n", 0)) if match else None


def evaluate_targets(results):
    rows = results["rows"]
    bw = results["bandwidth"]["best_bytes_per_s"]
    out = []

    def verdict(ok):
        return "met" if ok else "**missed**"

    for metric in ("l2", "ip"):
        v = find(rows, task="search", peer="varnel", n=1_000_000, d=128, metric=metric, threads=1)
        f = find(rows, task="search", peer="faiss", n=1_000_000, d=128, metric=metric, threads=1)
        h = find(rows, task="search", peer="hnswlib", n=1_000_000, d=128, metric=metric, threads=1)
        if not v or "single_s" not in v:
            continue
        limit = 1_000_000 * 128 * 4 / bw
        share = v["single_s"] / limit
        out.append((f"one query 1M x 128 {metric}: at most 1.15 x bytes / bandwidth",
                    f"{fmt_ms(v['single_s'])} ms = {share:.2f} x {fmt_ms(limit)} ms", verdict(share <= 1.15)))
        if h and "single_s" in h:
            r = h["single_s"] / v["single_s"]
            out.append((f"one query 1M x 128 {metric}: at least 1.5 x faster than hnswlib BF",
                        f"{r:.2f} x ({fmt_ms(h['single_s'])} ms)", verdict(r >= 1.5)))
        if f and "single_s" in f:
            r = f["single_s"] / v["single_s"]
            out.append((f"one query 1M x 128 {metric}: faster than FAISS flat",
                        f"{r:.2f} x ({fmt_ms(f['single_s'])} ms)", verdict(r > 1.0)))
    for n in (100_000, 1_000_000):
        for metric in ("l2", "ip"):
            for nq in ("100", "1000"):
                v = find(rows, task="search", peer="varnel", n=n, d=128, metric=metric, threads=1)
                if not v or nq not in v.get("batch_qps", {}):
                    continue
                q = v["batch_qps"][nq]
                parts, ok = [], True
                for peer, need in (("faiss", 1.0), ("numpy", 4.0), ("hnswlib", 4.0)):
                    p = find(rows, task="search", peer=peer, n=n, d=128, metric=metric, threads=1)
                    if p and nq in p.get("batch_qps", {}):
                        r = q / p["batch_qps"][nq]
                        ok = ok and r >= need
                        parts.append(f"{r:.2f} x {peer}")
                out.append((f"batch {nq} over {n // 1000}k x 128 {metric}: >= 1 x FAISS, >= 4 x numpy, hnswlib",
                            f"{fmt_num(q)} q/s: " + ", ".join(parts), verdict(ok)))
    ins = find(rows, task="insert", peer="varnel", source="numpy")
    if ins:
        touch = results["bandwidth"].get("first_touch_bytes_per_s")
        extra = f" (filling fresh memory runs at {touch / 1e9:.2f} GB/s here)" if touch else ""
        out.append(("Index.insert_batch from numpy: at least 1 GB/s",
                    f"{ins['bytes_per_s'] / 1e9:.2f} GB/s{extra}", verdict(ins["bytes_per_s"] >= 1e9)))
    ins = find_largest(rows, task="insert", peer="varnel", source="lists")
    if ins:
        out.append(("Index.insert_batch from lists: at most about 5 ns per float",
                    f"{ins['ns_per_float']:.1f} ns (N = {ins['n']:,})", verdict(ins["ns_per_float"] <= 5.5)))
    fs = find(rows, task="fsync")
    for source in ("numpy", "lists"):
        col = find_largest(rows, task="collection", peer="varnel", source=source)
        if col:
            ceiling = (f"; the fsync every 100 inserts alone caps it at "
                       f"{fmt_num(fs['ceiling_vectors_per_s'])}" if fs else "")
            out.append((f"Collection.insert_batch ({source}), log on: at least 150,000 vectors/s",
                        f"{fmt_num(col['vectors_per_s'])} vectors/s (N = {col['n']:,}){ceiling}",
                        verdict(col["vectors_per_s"] >= 150_000)))
    op = find(rows, task="open")
    if op:
        out.append((f"open {op['n'] // 1000}k x {op['d']}: at most 2 x a sequential read of data.vnl",
                    f"{op['open_s']:.2f} s = {op['open_over_read']:.2f} x {op['read_stream_s']:.2f} s "
                    f"({op['open_over_read_whole']:.2f} x a read into one new buffer)",
                    verdict(op["open_over_read"] <= 2.0)))
        out.append((f"open {op['n'] // 1000}k x {op['d']}: peak memory at most 1.3 x the vectors",
                    f"{op['peak_rss_bytes'] / 2**20:.0f} MiB = {op['rss_over_vectors']:.2f} x "
                    f"{op['vector_bytes'] / 2**20:.0f} MiB", verdict(op["rss_over_vectors"] <= 1.3)))
    return out


def render_markdown(results):
    rows = results["rows"]
    m = results["machine"]
    bw = results["bandwidth"]["best_bytes_per_s"]
    L = []
    L.append("# Benchmarks")
    L.append("")
    L.append("Produced by `bash scripts/bench.sh` (which runs `bench/run.py`); the raw numbers are in "
             "[bench_results.json](bench_results.json). Exact k-nearest-neighbour search, k = 10, "
             "float32 vectors drawn from a standard normal distribution; every peer gets the same "
             "data in one process, one process per configuration.")
    L.append("")
    L.append("![benchmarks](benchmarks.png)")
    L.append("")
    L.append("## Machine and run")
    L.append("")
    v = m.get("versions", {})
    L.append(f"- CPU: {m.get('Model name', '?')}, {m.get('cores')} cores "
             f"(AVX-512: {'yes' if m.get('avx512f') else 'no'}), {m.get('memory_gib')} GiB, "
             f"Linux {m.get('kernel')}, {m.get('implementation')} {m.get('python')}"
             + (f", transparent huge pages: {m['transparent_hugepages']}"
                if m.get("transparent_hugepages") else ""))
    L.append("- Peers: " + ", ".join(f"{k} {v[k]}" for k in ("numpy", "faiss-cpu", "hnswlib",
                                                               "usearch", "sqlite-vec") if v.get(k))
             + f" (SQLite {v.get('sqlite')})")
    if m.get("blas"):
        L.append("- BLAS: " + "; ".join(f"{b.get('prefix')} {b.get('version')} ({b.get('architecture')})"
                                        for b in m["blas"]))
    L.append(f"- varnel: {m.get('varnel_commit', '?')}")
    load = results.get("load", {})
    L.append(f"- Load average (1, 5, 15 min) when the run began: "
             f"{', '.join(f'{x:.2f}' for x in load.get('load_at_start', []))} "
             f"(after waiting {load.get('waited_s', 0)} s); at the end: "
             f"{', '.join(f'{x:.2f}' for x in results.get('load_at_end', []))}. "
             f"Preset `{results['preset']}`, {results.get('total_s', 0) / 60:.1f} minutes.")
    L.append(f"- One-core sequential read bandwidth, measured in the same run: **{bw / 1e9:.1f} GB/s** "
             f"(best of numpy add and max reductions over {results['bandwidth']['bytes'] >> 20} MiB: "
             f"{results['bandwidth']['add.reduce'] / 1e9:.1f} and "
             f"{results['bandwidth']['maximum.reduce'] / 1e9:.1f} GB/s)"
             + (f"; filling never-touched memory (`np.full`): "
                f"{results['bandwidth']['first_touch_bytes_per_s'] / 1e9:.1f} GB/s."
                if "first_touch_bytes_per_s" in results["bandwidth"] else "."))
    L.append("")
    L.append("## Targets")
    L.append("")
    L.append("One thread each, ratios from this run.")
    L.append("")
    L.append("| target | measured | |")
    L.append("|---|---|---|")
    for name, value, verdict in evaluate_targets(results):
        L.append(f"| {name} | {value} | {verdict} |")
    L.append("")

    search = [r for r in rows if r.get("task") == "search"]
    for threads in sorted({r["threads"] for r in search}):
        L.append(f"## Search, {threads} thread{'s' if threads > 1 else ''}")
        L.append("")
        if threads > 1:
            L.append("varnel is single-threaded; the peers use both cores.")
            L.append("")
        L.append("Single query: median latency in ms. Batches: queries per second. "
                 "'limit' is the bytes of the stored vectors divided by the read bandwidth; "
                 "'x limit' is varnel's single-query time over it (meaningful once the vectors "
                 "outgrow the caches; 10,000 x 128 is 5 MB and fits in L3). FAISS batches count at "
                 "the faster of its shipped setting and its BLAS path forced. 'load' is the "
                 "machine's 1-minute load average as the configuration began (2 cores): above about "
                 "1, other processes shared the cores, and peers that spin on OpenMP barriers with "
                 "two threads suffer most.")
        L.append("")
        peers = [p for p in PEERS if any(r["peer"] == p for r in search if r["threads"] == threads)]
        for d in sorted({r["d"] for r in search if r["threads"] == threads}):
            for metric in ("l2", "ip", "cos"):
                sub = [r for r in search if r["threads"] == threads and r["d"] == d and r["metric"] == metric]
                if not sub:
                    continue
                L.append(f"### d = {d}, {dict(l2='L2', ip='inner product', cos='cosine')[metric]}")
                L.append("")
                batches = sorted({int(b) for r in sub for b in r.get("batch_qps", {})})
                head = ["N", "load", "limit ms", "x limit"] + [f"{p} ms" for p in peers]
                for b in batches:
                    head += [f"{p} q/s ({b})" for p in peers if p != "sqlite-vec"]
                L.append("| " + " | ".join(head) + " |")
                L.append("|" + "---|" * len(head))
                for n in sorted({r["n"] for r in sub}):
                    limit = n * d * 4 / bw
                    vr = find(sub, peer="varnel", n=n)
                    load = vr.get("load_at_start") if vr else None
                    cells = [f"{n:,}", f"{load:.1f}" if load is not None else "—", fmt_ms(limit),
                             f"{vr['single_s'] / limit:.2f}" if vr and "single_s" in vr else "—"]
                    for p in peers:
                        r = find(sub, peer=p, n=n)
                        cells.append(fmt_ms(r.get("single_s")) if r else "—")
                    for b in batches:
                        for p in peers:
                            if p == "sqlite-vec":
                                continue
                            r = find(sub, peer=p, n=n)
                            q = r.get("batch_qps", {}).get(str(b)) if r else None
                            cells.append(fmt_num(q))
                    L.append("| " + " | ".join(cells) + " |")
                L.append("")
        bad = [r for r in search if r["threads"] == threads and r.get("agree_with_varnel") is not None
               and r["agree_with_varnel"] < 0.99]
        if bad:
            L.append("Answers that differ from varnel's in more than 1% of the top 10 (8 queries):")
            for r in bad:
                L.append(f"- {r['peer']} n={r['n']} d={r['d']} {r['metric']}: {r['agree_with_varnel']:.3f}")
            L.append("")
        skipped = [r for r in search if r["threads"] == threads and r.get("batch_skipped")]
        for r in skipped:
            L.append(f"- {r['peer']} n={r['n']:,} d={r['d']} {r['metric']}: batch of "
                     f"{', '.join(map(str, r['batch_skipped']))} not run (it would take over 40 s "
                     f"at the rate of its smaller batch)")
        if skipped:
            L.append("")
        errs = [r for r in search if r["threads"] == threads and ("error" in r)]
        for r in errs:
            L.append(f"- {r['peer']} n={r['n']} d={r['d']} {r['metric']}: error {r['error']}")
        if errs:
            L.append("")

    ins = [r for r in rows if r.get("task") == "insert"]
    if ins:
        L.append("## Inserts into an in-memory index (d = 128, one thread)")
        L.append("")
        L.append("numpy: a 2-D float32 array; lists: a list of lists of Python floats. For numpy "
                 "the peer 'numpy' is a copy into a preallocated array; for lists it is "
                 "`np.asarray(lists, dtype=float32)`. usearch has no exact index to insert into "
                 "(its exact search runs over the caller's array) and is left out.")
        L.append("")
        L.append("| peer | source | N | seconds | vectors/s | GB/s | ns per float | note |")
        L.append("|---|---|---|---|---|---|---|---|")
        for r in ins:
            L.append(f"| {r['peer']} | {r['source']} | {r['n']:,} | {r['seconds']:.3f} | "
                     f"{fmt_num(r['vectors_per_s'])} | {r['bytes_per_s'] / 1e9:.2f} | {r['ns_per_float']:.2f} | "
                     f"{r.get('note', '')} |")
        L.append("")
    col = [r for r in rows if r.get("task") == "collection"]
    if col:
        L.append("## Persistent inserts (d = 128)")
        L.append("")
        L.append("varnel: `Collection.insert_batch` with the write-ahead log on (an fsync every "
                 "100 inserts), then `flush` (data file synced, log emptied). sqlite-vec: a `vec0` "
                 "table, the inserts in one transaction, then the commit; its journal is synced "
                 "once at commit, so it promises less durability along the way than varnel's log.")
        L.append("")
        fs = find(rows, task="fsync")
        if fs:
            L.append(f"The disk, in the same run: appending {fs['bytes_per_sync'] // 1024} KiB (100 log "
                     f"frames of d = 128) and then fsync takes {fs['median_s'] * 1e3:.2f} ms (median; "
                     f"{fs['min_s'] * 1e3:.2f} to {fs['max_s'] * 1e3:.2f} ms), so a log that syncs every "
                     f"100 inserts cannot pass {fmt_num(fs['ceiling_vectors_per_s'])} inserts/s here, "
                     f"whatever its encoding costs.")
            L.append("")
        L.append("| peer | source | N | insert s | flush/commit s | vectors/s (insert) | vectors/s (with flush) | note |")
        L.append("|---|---|---|---|---|---|---|---|")
        for r in col:
            L.append(f"| {r['peer']} | {r['source']} | {r['n']:,} | {r['insert_s']:.3f} | {r['flush_s']:.3f} | "
                     f"{fmt_num(r['vectors_per_s'])} | {fmt_num(r['with_flush_vectors_per_s'])} | {r.get('note', '')} |")
        L.append("")
    op = find(rows, task="open")
    if op:
        L.append("## Reopening a collection")
        L.append("")
        L.append(f"{op['n']:,} x {op['d']}, data file {op['data_file_bytes'] / 2**20:.0f} MiB, in the page "
                 f"cache. Built with `insert_batch` in {op['insert_s']:.2f} s "
                 f"({op['n'] / op['insert_s']:,.0f} vectors/s) and flushed in {op['flush_s']:.2f} s.")
        L.append("")
        L.append("| measure | value |")
        L.append("|---|---|")
        L.append(f"| open in a fresh process (best of 3) | {op['open_s']:.3f} s (all: "
                 f"{', '.join(f'{x:.3f}' for x in op['open_s_all'])}) |")
        L.append(f"| sequential read of data.vnl into one new buffer | {op['read_whole_s']:.3f} s |")
        L.append(f"| sequential read of data.vnl through a 1 MiB buffer | {op['read_stream_s']:.3f} s |")
        L.append(f"| open / read through 1 MiB | {op['open_over_read']:.2f} |")
        L.append(f"| open / read into one buffer | {op['open_over_read_whole']:.2f} |")
        L.append(f"| peak RSS of the opening process minus a process that only imported _varnel | "
                 f"{op['peak_rss_bytes'] / 2**20:.0f} MiB |")
        L.append(f"| vectors (N x d x 4 bytes) | {op['vector_bytes'] / 2**20:.0f} MiB |")
        L.append(f"| peak / vectors | {op['rss_over_vectors']:.2f} |")
        L.append(f"| the reopened collection finds a stored vector at distance 0 | "
                 f"{'yes' if op['reopened_probe_found'] else 'NO'} |")
        L.append("")
    return "\n".join(L) + "\n"


def render_plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = results["rows"]
    bw = results["bandwidth"]["best_bytes_per_s"]
    colors = {"varnel": "#d62728", "faiss": "#1f77b4", "hnswlib": "#2ca02c", "usearch": "#9467bd",
              "numpy": "#ff7f0e", "sqlite-vec": "#8c564b"}
    fig, axes = plt.subplots(2, 2, figsize=(13, 9.5))

    ax = axes[0][0]
    sub = [r for r in rows if r.get("task") == "search" and r["threads"] == 1 and r["d"] == 128
           and r["metric"] == "l2" and "single_s" in r]
    ns = sorted({r["n"] for r in sub})
    for p in PEERS:
        pts = [(r["n"], r["single_s"] * 1e3) for r in sub if r["peer"] == p]
        if pts:
            pts.sort()
            ax.plot(*zip(*pts), marker="o", label=p, color=colors[p],
                    linewidth=2.5 if p == "varnel" else 1.2)
    if ns:
        ax.plot(ns, [n * 128 * 4 / bw * 1e3 for n in ns], "k--", label="read-bandwidth limit")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("N (vectors)")
    ax.set_ylabel("ms per query (median)")
    ax.set_title("Single query, d = 128, L2, one thread")
    ax.legend(fontsize=8)
    ax.grid(True, which="both", alpha=0.3)

    def bars(ax, groups, title, ylabel, log=False):
        peers = [p for p in PEERS if any(p in g[1] for g in groups)]
        width = 0.8 / max(1, len(peers))
        for i, p in enumerate(peers):
            xs = [j + (i - (len(peers) - 1) / 2) * width for j in range(len(groups))]
            ys = [g[1].get(p, 0) or 0 for g in groups]
            ax.bar(xs, ys, width, label=p, color=colors[p])
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels([g[0] for g in groups], fontsize=8)
        ax.set_title(title)
        ax.set_ylabel(ylabel)
        if log:
            ax.set_yscale("log")
        ax.legend(fontsize=8)
        ax.grid(True, axis="y", alpha=0.3)

    groups = []
    for n in (100_000, 1_000_000):
        for metric in ("l2", "ip"):
            for nq in ("100", "1000"):
                g = {r["peer"]: r.get("batch_qps", {}).get(nq) for r in rows
                     if r.get("task") == "search" and r["threads"] == 1 and r["d"] == 128
                     and r["n"] == n and r["metric"] == metric}
                if g.get("varnel"):
                    groups.append((f"{n // 1000}k {metric}\n{nq} q", g))
    bars(axes[0][1], groups, "Batch throughput, d = 128, one thread", "queries/s", log=True)

    groups = []
    for metric in ("l2", "ip", "cos"):
        g = {r["peer"]: r["single_s"] * 1e3 for r in rows if r.get("task") == "search"
             and r["threads"] == 1 and r["d"] == 768 and r["n"] == 100_000 and r["metric"] == metric
             and "single_s" in r}
        if g:
            groups.append((f"100k x 768 {metric}", g))
    g = {r["peer"]: r["single_s"] * 1e3 for r in rows if r.get("task") == "search"
         and r["threads"] == 1 and r["d"] == 128 and r["n"] == 1_000_000 and r["metric"] == "cos"
         and "single_s" in r}
    if g:
        groups.append(("1M x 128 cos", g))
    bars(axes[1][0], groups, "Single query, other shapes (lower is better)", "ms per query", log=True)

    groups = []
    for source in ("numpy", "lists"):
        g = {r["peer"]: r["vectors_per_s"] for r in rows if r.get("task") == "insert"
             and r["source"] == source}
        if g:
            groups.append((f"index insert\n({source})", g))
    for source in ("numpy", "lists"):
        g = {r["peer"]: r["vectors_per_s"] for r in rows if r.get("task") == "collection"
             and r["source"] == source}
        if g:
            groups.append((f"persistent insert\n({source})", g))
    bars(axes[1][1], groups, "Insert throughput, d = 128, one thread", "vectors/s", log=True)

    m = results["machine"]
    fig.suptitle(f"varnel vs peers — {m.get('Model name', '?')}, {m.get('cores')} cores, "
                 f"read bandwidth {bw / 1e9:.1f} GB/s, k = {K}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def render(results, out_dir):
    with open(os.path.join(out_dir, "benchmarks.md"), "w") as f:
        f.write(render_markdown(results))
    try:
        render_plot(results, os.path.join(out_dir, "benchmarks.png"))
    except ImportError as e:
        print(f"no plot: {e}", file=sys.stderr)


def main():
    global WORK_DIR
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--preset", choices=sorted(PRESETS), default="default")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs"))
    ap.add_argument("--max-load", type=float, default=1.0,
                    help="wait until the 1-minute load average is below this")
    ap.add_argument("--wait", type=float, default=600, help="longest wait for a quiet machine, s")
    ap.add_argument("--render", metavar="RESULTS_JSON", help="only redo the Markdown and the plot")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--work-dir", help="scratch directory for collections and databases")
    args = ap.parse_args()

    if args.worker:
        WORK_DIR = args.work_dir
        task = json.loads(args.worker)
        out = WORKERS[task["kind"]](task)
        print(json.dumps(out))
        return
    if args.render:
        with open(args.render) as f:
            results = json.load(f)
        render(results, os.path.dirname(os.path.abspath(args.render)))
        return

    os.makedirs(args.out, exist_ok=True)
    WORK_DIR = tempfile.mkdtemp(prefix="varnel-bench-", dir=args.work_dir)
    try:
        results = orchestrate(args)
    finally:
        shutil.rmtree(WORK_DIR, ignore_errors=True)
    path = os.path.join(args.out, "bench_results.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    render(results, args.out)
    print(f"wrote {path}, benchmarks.md, benchmarks.png ({results['total_s'] / 60:.1f} min)",
          file=sys.stderr)


if __name__ == "__main__":
    main()
