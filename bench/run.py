#!/usr/bin/env python3
"""varnel against the peers, on the same random data, one process per configuration.

    python bench/run.py                      # the default matrix (about 15 minutes)
    python bench/run.py --preset quick       # a smoke run (about a minute)
    python bench/run.py --preset full        # adds 1,000,000 x 768 (needs ~10 GB free)
    python bench/run.py --only filtered      # rerun the configurations whose name matches
    python bench/run.py --list               # the configurations' names, without running
    python bench/run.py --render docs/bench_results.json   # redo the Markdown and the plot

Every configuration runs in a fresh subprocess whose thread variables
(OMP/OPENBLAS/MKL_NUM_THREADS, LANCE_CPU_THREADS) are set before numpy, faiss
or lancedb is imported, and every peer is also told its thread count through
its own API. `_varnel` (the peer "varnel") is single-threaded whatever the
setting; the package's `varnel.Index` is given the configuration's thread
count. Results go to <out>/bench_results.json, <out>/benchmarks.md and
<out>/benchmarks.png; a run with --only merges its rows into an existing
<out>/bench_results.json, replacing the rows of the configurations it reran.

What is measured (k = 10 throughout):
  bandwidth   sequential read bandwidth of one core and of two processes at once
              (best of numpy add/max reductions over 1 GiB), so a single query
              can be shown as a share of the limit
  search      single-query latency (median) and batch throughput (100 and 1000
              queries) for varnel (`_varnel`), varnel.Index, FAISS flat, hnswlib
              BFIndex, usearch exact, numpy (matrix product + argpartition),
              sqlite-vec (small N only) and LanceDB (flat scan, two threads only)
  filtered    varnel.Index, LanceDB and sqlite-vec searches whose filter keeps
              1%, 10% or 50% of the rows (string equality, number range, And of
              both), against the unfiltered search, with exactness checks
  insert      Index.insert_batch from numpy and from lists, against the peers' adds
  collection  Collection.insert_batch (log on, batch sync) + flush, against
              sqlite-vec inserts in one transaction + commit; varnel.Collection
              upsert and delete against sqlite-vec and LanceDB; Chroma's
              persistent client: insert rate, search latency and recall@10
  open        reopening a flushed collection in a fresh process (`_varnel` and
              varnel.Collection): time against a sequential read of its data
              file, and peak RSS against the vectors
"""

from __future__ import annotations

import argparse
import fnmatch
import gc
import importlib.util
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
PACKAGE = "varnel.Index"  # the varnel package's index, a peer like the others
PEERS = ["varnel", PACKAGE, "faiss", "hnswlib", "usearch", "numpy", "sqlite-vec", "lancedb"]
# The peers the targets compare with (the others are spared batches that would take minutes).
TARGET_PEERS = {"varnel", PACKAGE, "faiss", "hnswlib", "numpy"}
MISSING_PACKAGE = "the varnel package is not installed"
# The longest batch a peer no target names is given, estimated from the rate of
# its smaller batch (usearch's exact batch of 1000 over 1,000,000 x 128 took a
# minute and LanceDB's half of one: a third of the run for cells no target reads).
BATCH_BUDGET_S = 20

# The peers of the two-thread tables for inner product and cosine (L2 has them all):
# the ones the targets compare with there, and LanceDB.
TWO_THREAD_PEERS = ["varnel", PACKAGE, "faiss", "lancedb"]
# Batches of 1000 for cosine only where a target names them (the package's
# scaling with threads and FAISS at two threads); L2 and inner product give
# every peer the batch of 1000 at d = 128.
COSINE_1000_PEERS = {"varnel", PACKAGE, "faiss"}

PRESETS = {
    "quick": {
        "search": [(n, d) for n in (10_000, 100_000) for d in (128,)],
        "metrics": ["l2", "ip"],
        "batches": [100],
        "threads": [1, 2],
        "two_thread_search": [(10_000, 128)],
        "two_thread_metrics": ["l2", "ip"],
        "sqlite_max_elems": 10_000 * 128,
        "all_batches": False,
        "insert_n": 100_000,
        "insert_list_n": 20_000,
        "collection_n": 20_000,
        "filtered": {"n": 20_000, "d": 128, "batch": 100, "threads": 2},
        "open_n": 100_000,
        "bandwidth_mib": 512,
    },
    "default": {
        "search": [(n, d) for n in (10_000, 100_000, 1_000_000) for d in (128, 768)
                   if not (n == 1_000_000 and d == 768)],
        "metrics": ["l2", "ip", "cos"],
        "batches": [100, 1000],
        "threads": [1, 2],
        # Two threads: the shapes of the batch targets, every metric.
        "two_thread_search": [(100_000, 128), (1_000_000, 128)],
        "two_thread_metrics": ["l2", "ip", "cos"],
        # sqlite-vec up to 100,000 x 128 (its build of 100,000 x 768 alone takes
        # half a minute, a single query over it half a second).
        "sqlite_max_elems": 100_000 * 128,
        "all_batches": False,
        "insert_n": 1_000_000,
        "insert_list_n": 100_000,
        "collection_n": 100_000,
        "filtered": {"n": 1_000_000, "d": 128, "batch": 100, "threads": 2},
        "open_n": 1_000_000,
        "bandwidth_mib": 1024,
    },
}
PRESETS["full"] = dict(PRESETS["default"])
PRESETS["full"].update({
    "search": [(n, d) for n in (10_000, 100_000, 1_000_000) for d in (128, 768)],
    "two_thread_search": PRESETS["default"]["search"],
    "two_thread_metrics": ["l2", "ip", "cos"],
    "sqlite_max_elems": 1_000_000 * 768,
    "all_batches": True,
})

# Filtered search: which rows each filter keeps. Every row has a string field
# "cat" (1% "p1", 10% "p10", 50% "p50", the rest "rest"), a string field "grp"
# ("in" on 1/sqrt(2) of the rows) and a number "num" (uniform in [0, 1)), all
# independent. Equality on "cat", a range on "num", and "grp" equality And a
# range on "num" each keep 1%, 10% or 50%.
FILTER_SHAPES = ("eq", "range", "and")
FILTER_KEEPS = (0.01, 0.10, 0.50)
CAT_VALUES = {0.01: "p1", 0.10: "p10", 0.50: "p50"}
GRP_IN = 0.5 ** 0.5
RANGE_LO = 0.25


# --------------------------------------------------------------------------- helpers

def now():
    return time.perf_counter()


def thread_env(threads):
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                "NUMEXPR_NUM_THREADS", "VECLIB_MAXIMUM_THREADS",
                # LanceDB's pool for distance computations (its I/O threads
                # are apart from it).
                "LANCE_CPU_THREADS"):
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


def recall_at_k(found, exact, k=K):
    """Mean share of each query's exact k nearest that `found` returned."""
    return statistics.mean(len(set(f[:k]) & set(e[:k])) / len(e[:k]) for f, e in zip(found, exact))


def exact_l2_top(X, Q, mask=None, k=K, candidates=64):
    """The exact L2 k nearest of each query among the rows where mask is true
    (every row without one), as row numbers: a float32 matrix product picks
    candidates, float64 distances order them (equal distances by row)."""
    import numpy as np
    rows = np.arange(len(X)) if mask is None else np.flatnonzero(mask)
    sub = X if mask is None else X[rows]
    score = np.einsum("ij,ij->i", sub, sub)[None, :] - 2.0 * (np.atleast_2d(Q) @ sub.T)
    c = min(candidates, len(rows))
    if c == 0:
        return [[] for _ in np.atleast_2d(Q)]
    part = np.argpartition(score, c - 1, axis=1)[:, :c]
    out = []
    for q, cand in zip(np.atleast_2d(Q), part):
        dist = ((sub[cand].astype(np.float64) - q.astype(np.float64)) ** 2).sum(axis=1)
        order = np.lexsort((rows[cand], dist))
        out.append(rows[cand][order][:k].tolist())
    return out


def group_by_query(query_index, distance, ids, nq):
    """Rows of (query, distance, id) from a multi-query search into one
    nearest-first list of ids per query."""
    import numpy as np
    order = np.lexsort((distance, query_index))
    out = [[] for _ in range(nq)]
    for i in order:
        out[int(query_index[i])].append(int(ids[i]))
    return out


def make_fields(n, seed=SEED):
    """The filtered search's payload fields, as numpy arrays (see FILTER_SHAPES)."""
    import numpy as np
    rng = np.random.default_rng(seed + 17)
    cat = np.full(n, "rest", dtype=object)
    perm = rng.permutation(n)
    start = 0
    for keep, value in CAT_VALUES.items():
        count = round(n * keep)
        cat[perm[start:start + count]] = value
        start += count
    grp = np.full(n, "out", dtype=object)
    grp[rng.permutation(n)[:round(n * GRP_IN)]] = "in"
    return {"cat": cat, "grp": grp, "num": rng.random(n)}


class FilterSpec:
    """One filter in the three forms the peers take: a varnel `where` dict, an
    SQL condition (LanceDB, sqlite-vec) and a numpy mask over make_fields."""

    def __init__(self, shape, keep):
        self.shape, self.keep = shape, keep
        if shape == "eq":
            value = CAT_VALUES[keep]
            self.where = {"cat": value}
            self.sql = f"cat = '{value}'"
        elif shape == "range":
            lo, hi = RANGE_LO, RANGE_LO + keep
            self.where = {"num": {"$gte": lo, "$lt": hi}}
            self.sql = f"num >= {lo!r} AND num < {hi!r}"
        elif shape == "and":
            hi = keep / GRP_IN
            self.where = {"$and": [{"grp": "in"}, {"num": {"$lt": hi}}]}
            self.sql = f"grp = 'in' AND num < {hi!r}"
        else:
            raise ValueError(f"unknown filter shape {shape!r}")

    def mask(self, fields):
        f = fields
        if self.shape == "eq":
            return f["cat"] == self.where["cat"]
        if self.shape == "range":
            return (f["num"] >= RANGE_LO) & (f["num"] < RANGE_LO + self.keep)
        return (f["grp"] == "in") & (f["num"] < self.keep / GRP_IN)


def payloads_of(fields):
    if not fields:
        return None
    names = list(fields)
    columns = [fields[name].tolist() for name in names]
    return [dict(zip(names, values)) for values in zip(*columns)]


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
        self.d, self.metric = d, metric
        self.dir = tempfile.mkdtemp(prefix="bench-sqlite-", dir=WORK_DIR)
        self.db = sqlite_connect(os.path.join(self.dir, "v.db"))

    def build(self, X, fields=None):
        # The filtered search's fields become vec0 metadata columns, which
        # its k-nearest query filters on.
        meta = "".join(f", {name} {'float' if fields[name].dtype.kind == 'f' else 'text'}"
                       for name in fields or {})
        self.db.execute(f"create virtual table v using vec0(embedding float[{self.d}] "
                        f"distance_metric={'l2' if self.metric == 'l2' else 'cosine'}{meta})")
        names = list(fields or {})
        columns = [fields[name].tolist() for name in names]
        marks = ", ?" * len(names)
        with self.db:
            self.db.executemany(
                f"insert into v(rowid, embedding{''.join(', ' + n for n in names)}) values (?, ?{marks})",
                ((i, X[i].tobytes(), *(c[i] for c in columns)) for i in range(len(X))))

    def one(self, q, spec=None):
        cond = f" and {spec.sql}" if spec is not None else ""
        rows = self.db.execute(f"select rowid from v where embedding match ? and k = ?{cond}",
                               (q.tobytes(), K)).fetchall()
        return [r[0] for r in rows]

    def many(self, Q, spec=None):
        return [self.one(q, spec) for q in Q]

    def close(self):
        self.db.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class VarnelIndexPeer:
    """The varnel package's in-memory index; its searches use `threads` workers."""
    name = PACKAGE

    def __init__(self, metric, d, threads):
        try:
            import varnel
        except ImportError as e:
            raise NotImplementedError(MISSING_PACKAGE) from e
        self.index = varnel.Index(d, METRICS[metric], threads=threads)

    def build(self, X, fields=None):
        import numpy as np
        self.index.upsert(np.arange(len(X), dtype=np.uint64), X, payloads_of(fields))

    def one(self, q, spec=None):
        return self.index.search(q, K, where=spec.where if spec is not None else None).ids.tolist()

    many = one  # a 2-D query array answers row by row


def arrow_table(X, fields=None):
    import numpy as np
    import pyarrow as pa
    cols = {"id": pa.array(np.arange(len(X), dtype=np.int64)),
            "vector": pa.FixedSizeListArray.from_arrays(pa.array(X.reshape(-1)), X.shape[1])}
    for name, values in (fields or {}).items():
        cols[name] = pa.array(values.tolist() if values.dtype == object else values)
    return pa.table(cols)


class LanceDBPeer:
    """LanceDB: a table in a directory, with no vector index, so that a search
    is a flat (exact) scan; filters are applied before the distances."""
    name = "lancedb"

    def __init__(self, metric, d, threads):
        import lancedb
        self.dir = tempfile.mkdtemp(prefix="bench-lance-", dir=WORK_DIR)
        self.db = lancedb.connect(self.dir)
        self.distance = {"l2": "l2", "ip": "dot", "cos": "cosine"}[metric]

    def build(self, X, fields=None):
        self.table = self.db.create_table("v", arrow_table(X, fields))

    def _search(self, query, spec):
        b = (self.table.search(query).distance_type(self.distance)
             .select(["id", "_distance"]).limit(K))
        if spec is not None:
            b = b.where(spec.sql, prefilter=True)
        return b.to_arrow()

    def one(self, q, spec=None):
        return self._search(q, spec)["id"].to_pylist()

    def many(self, Q, spec=None):
        t = self._search(list(Q), spec)  # a list of vectors: one search per vector
        if "query_index" not in t.column_names:  # a list of one is a plain search
            return [t["id"].to_pylist()]
        return group_by_query(t["query_index"].to_numpy(), t["_distance"].to_numpy(),
                              t["id"].to_numpy(), len(Q))

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


PEER_CLASSES = {c.name: c for c in (VarnelPeer, VarnelIndexPeer, FaissPeer, HnswlibPeer, UsearchPeer,
                                    NumpyPeer, SqliteVecPeer, LanceDBPeer)}
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
    # Both cores at once: two processes, each reducing its own half, started
    # together; the limit of a search that spreads one scan over two threads.
    out["two_core_bytes_per_s"] = two_core_bandwidth(task["mib"])
    return out


def _half_reader(conn, mib):
    import numpy as np
    a = np.ones(mib * (1 << 20) // 8, dtype=np.float32)  # half of the total
    conn.send(None)
    while True:
        fn = conn.recv()
        if fn is None:
            return
        t = now()
        getattr(np, fn).reduce(a)
        conn.send((now() - t, a.nbytes))


def two_core_bandwidth(mib, rounds=7):
    import multiprocessing
    ctx = multiprocessing.get_context("fork")
    pipes, procs = [], []
    for _ in range(2):
        parent, child = ctx.Pipe()
        p = ctx.Process(target=_half_reader, args=(child, mib))
        p.start()
        pipes.append(parent)
        procs.append(p)
    try:
        for c in pipes:
            c.recv()
        best = 0.0
        for fn in ["add"] * rounds + ["maximum"] * rounds:
            for c in pipes:
                c.send(fn)
            done = [c.recv() for c in pipes]
            best = max(best, sum(b for _, b in done) / max(t for t, _ in done))
        return best
    finally:
        for c in pipes:
            c.send(None)
        for p in procs:
            p.join()


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
                for nq in task.get("peer_batches", {}).get(peer_name, task["batches"]):
                    # A peer no target names is spared batches that would
                    # take minutes at the rate of its previous batch.
                    if (peer_name not in TARGET_PEERS and row["batch_qps"]
                            and nq / min(row["batch_qps"].values()) > task.get("batch_budget_s", BATCH_BUDGET_S)):
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


def worker_filtered(task):
    """Searches whose filter keeps 1%, 10% or 50% of the rows, against the
    unfiltered search over the same peer, and checked against the exact
    answer over only the matching rows."""
    n, d, threads, nb = task["n"], task["d"], task["threads"], task["batch"]
    X = make_data(n, d)
    Q = make_queries(max(nb, 64), d)
    fields = make_fields(n)
    specs = [None] + [FilterSpec(shape, keep) for shape in FILTER_SHAPES for keep in FILTER_KEEPS]
    masks = [None if spec is None else spec.mask(fields) for spec in specs]
    exact = [exact_l2_top(X, Q[:8], mask) for mask in masks]
    rows = []
    for peer_name in task["peers"]:
        base = {"task": "filtered", "peer": peer_name, "n": n, "d": d, "metric": "l2",
                "threads": threads}
        peer = None
        try:
            peer = PEER_CLASSES[peer_name]("l2", d, threads)
            build_s = _timed(peer.build, X, fields)
            for spec, mask, ex in zip(specs, masks, exact):
                row = dict(base, shape=spec.shape if spec else None, keep=spec.keep if spec else 1.0,
                           matching=n if mask is None else int(mask.sum()), build_s=build_s)
                try:
                    # The data is warm after the first filter; the peers no
                    # target names (a second a query over 1,000,000 rows for
                    # LanceDB) get fewer repeats.
                    row["single_s"], row["single_reps"] = median_time(
                        lambda q: peer.one(q, spec), list(Q[:64]), budget_s=2.0,
                        warmup=2 if spec is None else 1,
                        min_reps=5 if peer_name in TARGET_PEERS else 3)
                    if peer_name != "sqlite-vec":  # it answers one query at a time
                        t, _ = best_time(lambda: peer.many(Q[:nb], spec), budget_s=3.0)
                        row["batch_qps"] = {str(nb): nb / t}
                    row["agree_exact"] = recall_at_k(peer.many(Q[:8], spec), ex)
                    if peer_name == PACKAGE and spec is not None:
                        row["identical_to_subset"] = identical_to_subset(peer, X, Q[:8], spec, mask,
                                                                         threads)
                except Exception as e:  # one filter a peer cannot run must not stop the others
                    row["error"] = f"{type(e).__name__}: {e}"
                rows.append(row)
                print(f"  {peer_name:<12} {json.dumps({k: v for k, v in row.items() if k != 'task'})}",
                      file=sys.stderr, flush=True)
        except NotImplementedError as e:
            rows.append(dict(base, skipped=str(e)))
        except Exception as e:
            rows.append(dict(base, error=f"{type(e).__name__}: {e}"))
        finally:
            if peer is not None and hasattr(peer, "close"):
                peer.close()
            del peer
            gc.collect()
    return rows


def identical_to_subset(peer, X, Q, spec, mask, threads):
    """Whether the package's filtered search gives exactly (ids and distance
    bits) what an unfiltered search over an index of the matching rows alone
    gives, for a batch and for one query."""
    import numpy as np
    import varnel
    keep = np.flatnonzero(mask)
    sub = varnel.Index(X.shape[1], METRICS["l2"], threads=threads)
    sub.upsert(keep.astype(np.uint64), X[keep])
    for query in (Q, Q[0]):
        a = peer.index.search(query, K, where=spec.where)
        b = sub.search(query, K)
        if not (np.array_equal(a.ids, b.ids)
                and np.array_equal(a.distances.view(np.uint32), b.distances.view(np.uint32))):
            return False
    return True


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
    """Persistent writes: `_varnel` Collection.insert_batch + flush and the
    package's Collection.upsert of new ids + flush, then delete of a tenth of
    the ids + flush, against sqlite-vec (one transaction each, then commit),
    LanceDB (one add, one delete) and Chroma's persistent client (inserts,
    then its search latency and recall@10)."""
    import numpy as np
    import _varnel
    import sqlite_vec
    n, d = task["n"], task["d"]
    X = make_data(n, d)
    ids = np.arange(n, dtype=np.uint64)
    lists = X.tolist()
    list_ids = list(range(n))
    # The same tenth of the ids for every peer that deletes.
    doomed = np.sort(np.random.default_rng(SEED + 3).choice(n, n // 10, replace=False))
    rows = []

    def scratch(prefix):
        return tempfile.mkdtemp(prefix=prefix, dir=WORK_DIR)

    def varnel_run(source, n):
        path = scratch("bench-col-")
        try:
            col = _varnel.Collection.open_or_create(os.path.join(path, "c"), d, "euclidean")
            if source == "numpy":
                insert = _timed(col.insert_batch, ids[:n], X[:n])
            else:
                insert = _timed(col.insert_batch, list_ids[:n], lists[:n])
            flush = _timed(col.flush)
            del col
            gc.collect()
            return {"insert_s": insert, "flush_s": flush}
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def package_run(source, n):
        try:
            import varnel
        except ImportError as e:
            raise NotImplementedError(MISSING_PACKAGE) from e
        path = scratch("bench-pkg-")
        try:
            col = varnel.Collection(os.path.join(path, "c"), dim=d, metric="euclidean")
            if source == "numpy":
                insert = _timed(col.upsert, ids[:n], X[:n])
            else:
                insert = _timed(col.upsert, list_ids[:n], lists[:n])
            out = {"insert_s": insert, "flush_s": _timed(col.flush)}
            if source == "numpy" and n == len(X):
                out["delete_s"] = _timed(col.delete, doomed)
                out["commit_s"] = _timed(col.flush)
                out["left"] = len(col)
            col.close()
            return out
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def sqlite_run(source, n):
        path = scratch("bench-sqlite-")
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
            out = {"insert_s": now() - t, "flush_s": _timed(db.commit)}
            if source == "numpy" and n == len(X):
                t = now()
                db.execute("begin")
                db.executemany("delete from v where rowid = ?", ((int(i),) for i in doomed))
                out["delete_s"] = now() - t
                out["commit_s"] = _timed(db.commit)
                out["left"] = db.execute("select count(*) from v").fetchone()[0]
            db.close()
            return out
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def lance_run(source, n):
        import lancedb
        path = scratch("bench-lance-")
        try:
            db = lancedb.connect(path)
            data = arrow_table(X[:n])
            table = db.create_table("v", schema=data.schema)
            out = {"insert_s": _timed(table.add, data), "flush_s": 0.0}
            if n == len(X):
                out["delete_s"] = _timed(table.delete, f"id IN ({', '.join(map(str, doomed.tolist()))})")
                out["commit_s"] = 0.0
                out["left"] = table.count_rows()
            return out
        finally:
            shutil.rmtree(path, ignore_errors=True)

    def record(peer, source, count, fn, reps=task.get("reps", 2)):
        base = {"task": "collection", "peer": peer, "source": source, "n": count, "d": d}
        try:
            runs = [fn(source, count) for _ in range(reps)]
        except NotImplementedError as e:
            rows.append(dict(base, skipped=str(e)))
            return None
        except Exception as e:  # a failing peer must not stop the others
            rows.append(dict(base, error=f"{type(e).__name__}: {e}"))
            return None
        best = min(runs, key=lambda r: r["insert_s"] + r["flush_s"])
        row = dict(base, insert_s=best["insert_s"], flush_s=best["flush_s"],
                   vectors_per_s=count / best["insert_s"],
                   with_flush_vectors_per_s=count / (best["insert_s"] + best["flush_s"]))
        rows.append(row)
        print(f"  {row}", file=sys.stderr, flush=True)
        deletes = [r for r in runs if "delete_s" in r]
        if deletes:
            best = min(deletes, key=lambda r: r["delete_s"] + r["commit_s"])
            rows.append({"task": "delete", "peer": peer, "n": count, "d": d,
                         "deleted": len(doomed), "left": best["left"],
                         "delete_s": best["delete_s"], "commit_s": best["commit_s"],
                         "deletes_per_s": len(doomed) / best["delete_s"],
                         "with_commit_per_s": len(doomed) / (best["delete_s"] + best["commit_s"])})
            print(f"  {rows[-1]}", file=sys.stderr, flush=True)
        return row

    rows.append(fsync_probe(d))
    print(f"  {rows[-1]}", file=sys.stderr, flush=True)
    for peer, fn in (("varnel", varnel_run), ("varnel.Collection", package_run),
                     ("sqlite-vec", sqlite_run)):
        if record(peer, "numpy", n, fn) is None:
            continue
        # Lists at a tenth of the size first, as in worker_insert.
        small = max(1000, n // 10)
        row = record(peer, "lists", small, fn)
        if row is None:
            continue
        if fits_budget(row["insert_s"], small, n):
            record(peer, "lists", n, fn)
        else:
            row["note"] = f"{n:,} skipped: would take too long if the cost grows quadratically"
    record("lancedb", "numpy", n, lance_run)
    rows += chroma_run(X, task)
    return rows


def chroma_run(X, task):
    """Chroma's persistent client: inserts in batches of its largest size,
    then single and batch searches of its (approximate) index, with recall@10
    against the exact answer."""
    n, d = X.shape
    base = {"task": "collection", "peer": "chroma", "source": "numpy", "n": n, "d": d}
    path = tempfile.mkdtemp(prefix="bench-chroma-", dir=WORK_DIR)
    try:
        import chromadb
        client = chromadb.PersistentClient(path=path, settings=chromadb.Settings(
            anonymized_telemetry=False))
        col = client.create_collection("bench", configuration={"hnsw": {"space": "l2"}},
                                       embedding_function=None)
        step = client.get_max_batch_size()
        str_ids = [str(i) for i in range(n)]
        t = now()
        for s in range(0, n, step):
            col.add(ids=str_ids[s:s + step], embeddings=X[s:s + step])
        insert = now() - t
        row = dict(base, insert_s=insert, flush_s=0.0, vectors_per_s=n / insert,
                   with_flush_vectors_per_s=n / insert, batch_size=step)
        Q = make_queries(100, d)

        def query(q):
            res = col.query(query_embeddings=q, n_results=K, include=[])
            return [[int(i) for i in hit] for hit in res["ids"]]

        search = {"task": "chroma", "peer": "chroma", "n": n, "d": d, "metric": "l2",
                  "hnsw": {"space": "l2", **{k: v for k, v in (col.configuration.get("hnsw") or {}).items()
                                               if k in ("ef_construction", "ef_search", "max_neighbors")}}}
        search["first_query_s"] = _timed(query, Q[:1])
        search["single_s"], search["single_reps"] = median_time(lambda q: query(q[None]), list(Q[:64]))
        t, _ = best_time(lambda: query(Q))
        search["batch_qps"] = {str(len(Q)): len(Q) / t}
        search["recall_at_10"] = recall_at_k(query(Q), exact_l2_top(X, Q))
        for r in (row, search):
            print(f"  {r}", file=sys.stderr, flush=True)
        return [row, search]
    except Exception as e:
        return [dict(base, error=f"{type(e).__name__}: {e}")]
    finally:
        shutil.rmtree(path, ignore_errors=True)


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
path, d, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if "package" in mode:
    import numpy as np
    import varnel
else:
    import _varnel
out = {}
if mode == "open":
    t = time.perf_counter()
    col = _varnel.Collection.open_or_create(path, d, "euclidean")
    out["open_s"] = time.perf_counter() - t
    probe = [float(x) for x in json.loads(sys.argv[4])]
    out["hit"] = col.search(probe, 1)
elif mode.startswith("open-package"):
    t = time.perf_counter()
    col = varnel.Collection(path, threads=int(mode.split("-")[-1]))
    out["open_s"] = time.perf_counter() - t
    hits = col.search(np.array(json.loads(sys.argv[4]), dtype=np.float32), 1)
    out["hit"] = [[int(hits.ids[0]), float(hits.distances[0])]]
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
        # The package's Collection on the same files, with two threads (the
        # package_* keys) and with one (package1_*): the second thread takes
        # part of the load.
        package = {}
        if importlib.util.find_spec("varnel") is None:
            package["package_skipped"] = MISSING_PACKAGE
        else:
            try:
                pbase = min(probe_run("baseline-package")["hwm_kib"] for _ in range(2))
                for threads, key in ((2, "package"), (1, "package1")):
                    popens = [probe_run(f"open-package-{threads}") for _ in range(3)]
                    pbest = min(popens, key=lambda o: o["open_s"])
                    ppeak = max(o["hwm_kib"] for o in popens)
                    package.update({f"{key}_open_s": pbest["open_s"],
                                    f"{key}_open_s_all": [o["open_s"] for o in popens],
                                    f"{key}_open_over_read": pbest["open_s"] / stream,
                                    f"{key}_peak_rss_bytes": (ppeak - pbase) * 1024,
                                    f"{key}_rss_over_vectors": (ppeak - pbase) * 1024 / vector_bytes,
                                    f"{key}_probe_found": pbest["hit"][0] == [n // 2, 0.0]})
            except subprocess.CalledProcessError as e:
                lines = (e.stderr or "").strip().splitlines()
                package["package_error"] = lines[-1] if lines else str(e)
        row = {"task": "open", "peer": "varnel", "n": n, "d": d, "data_file_bytes": size,
               "insert_s": insert, "flush_s": flush,
               "open_s": best["open_s"], "open_s_all": [o["open_s"] for o in opens],
               "read_whole_s": whole, "read_stream_s": stream,
               "open_over_read": best["open_s"] / stream,
               "open_over_read_whole": best["open_s"] / whole,
               "peak_rss_bytes": (peak - base) * 1024, "baseline_rss_bytes": base * 1024,
               "vector_bytes": vector_bytes, "rss_over_vectors": (peak - base) * 1024 / vector_bytes,
               "reopened_probe_found": hit[0][0] == n // 2 and hit[0][1] == 0.0, **package}
        print(f"  {row}", file=sys.stderr, flush=True)
        return [row]
    finally:
        shutil.rmtree(root, ignore_errors=True)


WORKERS = {"bandwidth": worker_bandwidth, "search": worker_search, "filtered": worker_filtered,
           "insert": worker_insert, "collection": worker_collection, "open": worker_open}


# --------------------------------------------------------------------------- orchestrator

def run_worker(task, threads, name=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(task),
           "--work-dir", WORK_DIR]
    t = now()
    load = load_average()[0]
    res = subprocess.run(cmd, env=thread_env(threads), stdout=subprocess.PIPE, text=True)
    if res.returncode != 0:
        print(f"!! worker failed ({res.returncode}): {task}", file=sys.stderr, flush=True)
        return {"task": task, "config": name, "error": f"exit status {res.returncode}"}
    out = json.loads(res.stdout.strip().splitlines()[-1])
    # The 1-minute load average as the configuration began: on a shared
    # machine it tells which numbers had company.
    for row in out if isinstance(out, list) else [out]:
        row["load_at_start"] = load
        if name is not None:
            row["config"] = name
    print(f"   ({now() - t:.1f} s)", file=sys.stderr, flush=True)
    return out


def plan(preset, package=True):
    """A preset's configurations in running order, as (name, task, threads);
    --only selects among them by name."""
    out = []
    for threads in preset["threads"]:
        configs = preset["search"] if threads == 1 else preset["two_thread_search"]
        for n, d in configs:
            for metric in preset["metrics"]:
                if threads > 1 and metric not in preset.get("two_thread_metrics", ["l2", "ip"]):
                    continue
                peers = [p for p in PEERS
                         if (p != "sqlite-vec" or (n * d <= preset["sqlite_max_elems"] and threads == 1))
                         # LanceDB's I/O threads run beside its compute pool
                         # whatever it is told: two-thread tables only.
                         and (p != "lancedb" or threads > 1)
                         and (threads == 1 or metric == "l2" or p in TWO_THREAD_PEERS)
                         and (p != PACKAGE or package)]
                # Batches of 1000 at d = 128 (for cosine only where a target
                # names them), everywhere in the full preset.
                batches = [b for b in preset["batches"] if b < 1000 or preset["all_batches"] or d == 128]
                task = {"kind": "search", "n": n, "d": d, "metric": metric, "threads": threads,
                        "peers": peers, "batches": batches}
                if metric == "cos" and not preset["all_batches"]:
                    task["peer_batches"] = {p: [b for b in batches if b < 1000] for p in peers
                                            if p not in COSINE_1000_PEERS}
                out.append((f"search n={n} d={d} {metric} threads={threads}", task, threads))
    f = preset["filtered"]
    out.append((f"filtered n={f['n']} d={f['d']} threads={f['threads']}",
                dict(f, kind="filtered", peers=[p for p in (PACKAGE, "lancedb", "sqlite-vec")
                                                if p != PACKAGE or package]), f["threads"]))
    out.append(("insert", {"kind": "insert", "n": preset["insert_n"], "list_n": preset["insert_list_n"],
                           "d": 128, "threads": 1}, 1))
    # Two threads: LanceDB and Chroma write with both cores (varnel and
    # sqlite-vec write on one whatever the setting).
    out.append(("collection", {"kind": "collection", "n": preset["collection_n"], "d": 128}, 2))
    out.append(("open", {"kind": "open", "n": preset["open_n"], "d": 128}, 1))
    return out


def selected(name, patterns):
    """Whether a configuration's name matches one of the --only patterns
    (shell wildcards, matched anywhere in the name); no patterns select all."""
    return not patterns or any(fnmatch.fnmatchcase(name, f"*{p}*") for p in patterns)


def row_config(row):
    """The name of the configuration a row came from (rows of runs that did not
    record it get it from their fields)."""
    if row.get("config"):
        return row["config"]
    task = row.get("task")
    if task == "search":
        return f"search n={row['n']} d={row['d']} {row['metric']} threads={row['threads']}"
    if task == "fsync":
        return "collection"
    return task if isinstance(task, str) else "?"


def merge_results(old, new, patterns):
    """A rerun of some configurations folded into an earlier run: their rows
    replace the earlier ones, everything else stays as it was."""
    merged = dict(old)
    merged["rows"] = [r for r in old["rows"] if not selected(row_config(r), patterns)] + new["rows"]
    if "bandwidth" in new:
        merged["bandwidth"] = new["bandwidth"]
    merged["notes"] = sorted(set(old.get("notes", [])) | set(new.get("notes", [])))
    merged["config_s"] = {**old.get("config_s", {}), **new.get("config_s", {})}
    merged["reruns"] = old.get("reruns", []) + [{
        "only": patterns, "started": new["started"], "load": new["load"],
        "total_s": new["total_s"], "varnel_commit": new["machine"].get("varnel_commit")}]
    return merged


def package_available():
    """Whether the varnel package imports in the interpreter the workers use."""
    res = subprocess.run([sys.executable, "-c", "import varnel; varnel.Index, varnel.Collection"],
                         capture_output=True, text=True)
    return res.returncode == 0


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
    for pkg in ("numpy", "faiss-cpu", "hnswlib", "usearch", "sqlite-vec", "lancedb", "pyarrow",
                "chromadb", "matplotlib", "varnel"):
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


def orchestrate(args, patterns=(), bandwidth=True):
    preset = PRESETS[args.preset]
    results = {"preset": args.preset, "k": K, "started": time.strftime("%Y-%m-%d %H:%M:%S UTC",
                                                                       time.gmtime())}
    results["load"] = wait_for_quiet(args.max_load, args.wait)
    results["machine"] = machine_description()
    results["notes"] = []
    package = package_available()
    if not package:
        results["notes"].append(f"{MISSING_PACKAGE}: its rows were skipped")
    rows = []
    t_all = now()

    if bandwidth:
        print("== bandwidth", file=sys.stderr, flush=True)
        results["bandwidth"] = run_worker({"kind": "bandwidth", "mib": preset["bandwidth_mib"]}, 1)
    for name, task, threads in plan(preset, package):
        if selected(name, patterns):
            print(f"== {name}", file=sys.stderr, flush=True)
            t = now()
            out = run_worker(task, threads, name)
            results.setdefault("config_s", {})[name] = round(now() - t, 1)
            rows += out if isinstance(out, list) else [out]

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
            ceiling = (f"; waiting for the fsync of every 100 inserts would cap it at "
                       f"{fmt_num(fs['ceiling_vectors_per_s'])}, and the fsync runs behind the next "
                       "inserts instead" if fs else "")
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
    return out + package_targets(results)


FILTER_NAMES = {"eq": "string equality", "range": "number range", "and": "equality And range"}


def measured(row, key="single_s"):
    """The row, if it carries the measure (not skipped, not failed)."""
    return row if row and key in row else None


def package_targets(results):
    """The targets of the varnel package: threads, filtered search, persistent
    writes and open, each as (target, measured, verdict)."""
    rows = results["rows"]
    bw = results["bandwidth"]
    out = []

    def verdict(ok):
        return "met" if ok else "**missed**"

    def search(peer, n, metric, threads):
        return find(rows, task="search", peer=peer, n=n, d=128, metric=metric, threads=threads)

    for n in (100_000, 1_000_000):
        for metric in ("l2", "ip", "cos"):
            for nq in ("100", "1000"):
                one = measured(search(PACKAGE, n, metric, 1), "batch_qps")
                two = measured(search(PACKAGE, n, metric, 2), "batch_qps")
                if not one or not two or nq not in one["batch_qps"] or nq not in two["batch_qps"]:
                    continue
                q1, q2 = one["batch_qps"][nq], two["batch_qps"][nq]
                scale = q2 / q1
                ok = scale >= 1.85
                value = f"{fmt_num(q2)} q/s = {scale:.2f} x {fmt_num(q1)} (1 thread)"
                faiss = measured(search("faiss", n, metric, 2), "batch_qps")
                vs = faiss["batch_qps"][nq] if faiss and nq in faiss["batch_qps"] else None
                if vs:
                    value += f"; {q2 / vs:.2f} x FAISS flat at 2 threads ({fmt_num(vs)})"
                name = f"varnel.Index batch {nq} over {n // 1000}k x 128 {metric}, 2 threads: >= 1.85 x 1 thread"
                if metric == "l2":
                    # No FAISS verdict for L2: its BLAS form (norms + one
                    # product) is not the exact difference-and-square.
                    ip = measured(search(PACKAGE, n, "ip", 2), "batch_qps")
                    if ip and nq in ip["batch_qps"]:
                        value += (f"; compute ceiling: its own inner-product scan of the same rows, "
                                  f"{fmt_num(ip['batch_qps'][nq])} q/s ({q2 / ip['batch_qps'][nq]:.2f} x)")
                else:
                    name += ", >= 1.0 x FAISS flat (BLAS) at 2 threads"
                    ok = ok and vs is not None and q2 / vs >= 1.0
                out.append((name, value, verdict(ok)))
    two_bw = bw.get("two_core_bytes_per_s")
    for metric in ("l2", "ip", "cos"):
        one = measured(search(PACKAGE, 1_000_000, metric, 1))
        two = measured(search(PACKAGE, 1_000_000, metric, 2))
        if not one or not two:
            continue
        r = two["single_s"] / one["single_s"]
        limit = (f"; two cores read it in {fmt_ms(1_000_000 * 128 * 4 / two_bw)} ms "
                 f"({two['single_s'] / (1_000_000 * 128 * 4 / two_bw):.2f} x that)" if two_bw else "")
        out.append((f"varnel.Index one query 1M x 128 {metric}, 2 threads: at most 0.6 x 1 thread",
                    f"{fmt_ms(two['single_s'])} ms = {r:.2f} x {fmt_ms(one['single_s'])} ms{limit}",
                    verdict(r <= 0.6)))
    filt = [r for r in rows if r.get("task") == "filtered" and r.get("peer") == PACKAGE]
    base = measured(find(filt, shape=None))
    for shape in FILTER_SHAPES:
        for keep in FILTER_KEEPS:
            f = measured(find(filt, shape=shape, keep=keep))
            if not base or not f:
                continue
            single = f["single_s"] / base["single_s"]
            parts = [f"one query {fmt_ms(f['single_s'])} ms = {single:.2f} x"]
            ok = single <= 1.2
            for nq, qps in f.get("batch_qps", {}).items():
                b = base.get("batch_qps", {}).get(nq)
                if b:
                    parts.append(f"batch {nq} {b / qps:.2f} x")
                    ok = ok and b / qps <= 1.2
            exact = f.get("identical_to_subset")
            parts.append("hits identical to a search of the matching rows alone" if exact
                         else "hits DIFFER from a search of the matching rows alone")
            out.append((f"filter keeping {keep:.0%} ({FILTER_NAMES[shape]}) over {f['n'] // 1000}k x "
                        f"{f['d']}: at most 1.2 x the unfiltered search, the exact hits",
                        ", ".join(parts), verdict(ok and bool(exact))))
    up = measured(find_largest(rows, task="collection", peer="varnel.Collection", source="numpy"),
                  "vectors_per_s")
    lite = measured(find_largest(rows, task="collection", peer="sqlite-vec", source="numpy"),
                    "vectors_per_s")
    if up and lite:
        r = up["vectors_per_s"] / lite["vectors_per_s"]
        rf = up["with_flush_vectors_per_s"] / lite["with_flush_vectors_per_s"]
        fs = find(rows, task="fsync")
        ceiling = (f"; waiting for the fsync of every 100 upserts would cap it at "
                   f"{fmt_num(fs['ceiling_vectors_per_s'])}, and the fsync runs behind the next upserts "
                   "instead" if fs else "")
        out.append(("varnel.Collection.upsert of new ids: at least 1.5 x sqlite-vec in one transaction",
                    f"{fmt_num(up['vectors_per_s'])} vectors/s = {r:.2f} x {fmt_num(lite['vectors_per_s'])} "
                    f"(N = {up['n']:,}; {rf:.2f} x with flush and commit{ceiling})", verdict(r >= 1.5)))
    op = find(rows, task="open")
    if op:
        # What no loader that puts the vectors into new memory can beat: the
        # streamed read plus filling that memory at the first-touch rate
        # measured in this run (one after the other on one thread; side by
        # side on two, as the split load does).
        read_s = op["read_stream_s"]
        touch = results["bandwidth"].get("first_touch_bytes_per_s")
        fill_s = op["vector_bytes"] / touch if touch else None

        def floor(total_s, floor_s, how):
            if fill_s is None:
                return ""
            return (f"; floor, {how}: {floor_s:.3f} s = {floor_s / read_s:.2f} x the read; the other "
                    f"{total_s - floor_s:.3f} s is the reading thread's work per record (decoding, "
                    "copying into the rows, the id maps)")

        out.append((f"open {op['n'] // 1000}k x {op['d']} with _varnel.Collection: at most 2.5 x a "
                    f"streamed read of data.vnl",
                    f"{op['open_s']:.2f} s = {op['open_over_read']:.2f} x {read_s:.2f} s"
                    + floor(op["open_s"], read_s + (fill_s or 0),
                            f"the read, then filling {op['vector_bytes'] / 2**20:.0f} MiB of new memory "
                            f"at the first-touch rate ({fill_s or 0:.3f} s)"),
                    verdict(op["open_over_read"] <= 2.5)))
        if "package_open_s" in op:
            out.append((f"open {op['n'] // 1000}k x {op['d']} with varnel.Collection (2 threads): at most "
                        f"1.5 x a streamed read of data.vnl",
                        f"{op['package_open_s']:.2f} s = {op['package_open_over_read']:.2f} x "
                        f"{read_s:.2f} s"
                        + (f" (1 thread: {op['package1_open_over_read']:.2f} x)" if "package1_open_s" in op else "")
                        + floor(op["package_open_s"], max(read_s, fill_s or 0),
                                "the read and that fill side by side on the two cores"),
                        verdict(op["package_open_over_read"] <= 1.5)))
    if not any(r.get("peer") in (PACKAGE, "varnel.Collection") and "skipped" not in r for r in rows):
        out.append(("the varnel package's targets (threads, filtered search, upsert, open)",
                    f"not measured: {MISSING_PACKAGE}", "not measured"))
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
                                                               "usearch", "sqlite-vec", "lancedb",
                                                               "chromadb") if v.get(k))
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
                if "first_touch_bytes_per_s" in results["bandwidth"] else ".")
             + (f" Two processes reading at once (both cores): "
                f"**{results['bandwidth']['two_core_bytes_per_s'] / 1e9:.1f} GB/s**."
                if "two_core_bytes_per_s" in results["bandwidth"] else ""))
    for rerun in results.get("reruns", []):
        L.append(f"- Rerun of the configurations matching `{','.join(rerun['only'])}` at "
                 f"{rerun['started']} (varnel {rerun.get('varnel_commit', '?')}, load "
                 f"{', '.join(f'{x:.2f}' for x in rerun['load'].get('load_at_start', []))}, "
                 f"{rerun['total_s'] / 60:.1f} minutes); their rows replace the first run's.")
    for note in results.get("notes", []):
        L.append(f"- Note: {note}.")
    L.append("")
    L.append("## Targets")
    L.append("")
    L.append("Ratios from this run; one thread each unless the target names two.")
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
            L.append("`varnel` (the `_varnel` module) is single-threaded; varnel.Index searches "
                     "with two worker threads and the peers use both cores. Inner product and "
                     "cosine run the peers the targets name, and LanceDB.")
            L.append("")
        else:
            L.append("`varnel` is the `_varnel` module; varnel.Index is the package's index "
                     "with `threads=1`. LanceDB is in the two-thread tables only: besides the "
                     "compute pool it is given, it reads through I/O threads of its own.")
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
        for d in sorted({r["d"] for r in search if r["threads"] == threads}):
            for metric in ("l2", "ip", "cos"):
                sub = [r for r in search if r["threads"] == threads and r["d"] == d and r["metric"] == metric]
                if not sub:
                    continue
                # The peers this table ran (the two-thread tables of inner
                # product and cosine run fewer).
                peers = [p for p in PEERS if any(r["peer"] == p for r in sub)]
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
                     f"{', '.join(map(str, r['batch_skipped']))} not run (it would take over {BATCH_BUDGET_S} s "
                     f"at the rate of its smaller batch)")
        if skipped:
            L.append("")
        errs = [r for r in search if r["threads"] == threads and ("error" in r)]
        for r in errs:
            L.append(f"- {r['peer']} n={r['n']} d={r['d']} {r['metric']}: error {r['error']}")
        if errs:
            L.append("")

    L += render_threads(results)
    L += render_filtered(results)
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
    col = [r for r in rows if r.get("task") == "collection" and "insert_s" in r]
    if col:
        L.append("## Persistent inserts (d = 128)")
        L.append("")
        L.append("varnel: `_varnel` `Collection.insert_batch` with the write-ahead log on (an fsync every "
                 "100 inserts), then `flush` (data file synced, log emptied). varnel.Collection: the "
                 "package's `upsert` of new ids, the same log and policy, then `flush`. sqlite-vec: a `vec0` "
                 "table, the inserts in one transaction, then the commit; its journal is synced "
                 "once at commit, so it promises less durability along the way than varnel's log. "
                 "LanceDB: one `table.add` of all the rows into an empty table in a directory (it "
                 "never calls fsync, so nothing is durable when it returns). Chroma: its persistent "
                 "client, `collection.add` in batches of its largest size, building its HNSW graph "
                 "as it goes (its own log is synced). LanceDB and Chroma use both cores.")
        L.append("")
        fs = find(rows, task="fsync")
        if fs:
            L.append(f"The disk, in the same run: appending {fs['bytes_per_sync'] // 1024} KiB (100 log "
                     f"frames of d = 128) and then fsync takes {fs['median_s'] * 1e3:.2f} ms (median; "
                     f"{fs['min_s'] * 1e3:.2f} to {fs['max_s'] * 1e3:.2f} ms), so a log that waits for "
                     f"a sync every 100 inserts cannot pass {fmt_num(fs['ceiling_vectors_per_s'])} "
                     f"inserts/s here, whatever its encoding costs. varnel's batch calls start that "
                     f"sync on a thread of the log's own and encode the next inserts while it runs "
                     f"(a call returns once its last sync is done), so they can pass it.")
            L.append("")
        L.append("| peer | source | N | insert s | flush/commit s | vectors/s (insert) | vectors/s (with flush) | note |")
        L.append("|---|---|---|---|---|---|---|---|")
        for r in col:
            L.append(f"| {r['peer']} | {r['source']} | {r['n']:,} | {r['insert_s']:.3f} | {r['flush_s']:.3f} | "
                     f"{fmt_num(r['vectors_per_s'])} | {fmt_num(r['with_flush_vectors_per_s'])} | {r.get('note', '')} |")
        L.append("")
    L += render_deletes_and_chroma(results)
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
        if "package_open_s" in op:
            L.append(f"| varnel.Collection (2 threads): open in a fresh process (best of 3) | "
                     f"{op['package_open_s']:.3f} s (all: "
                     f"{', '.join(f'{x:.3f}' for x in op['package_open_s_all'])}) |")
            L.append(f"| varnel.Collection: open / read through 1 MiB | {op['package_open_over_read']:.2f} |")
            L.append(f"| varnel.Collection: peak RSS minus a process that only imported varnel | "
                     f"{op['package_peak_rss_bytes'] / 2**20:.0f} MiB "
                     f"({op['package_rss_over_vectors']:.2f} x the vectors) |")
            L.append(f"| varnel.Collection finds the stored vector at distance 0 | "
                     f"{'yes' if op['package_probe_found'] else 'NO'} |")
            if "package1_open_s" in op:
                L.append(f"| varnel.Collection (1 thread): open in a fresh process (best of 3) | "
                         f"{op['package1_open_s']:.3f} s (all: "
                         f"{', '.join(f'{x:.3f}' for x in op['package1_open_s_all'])}) |")
                L.append(f"| varnel.Collection (1 thread): open / read through 1 MiB | "
                         f"{op['package1_open_over_read']:.2f} |")
        else:
            L.append(f"| varnel.Collection | not measured: "
                     f"{op.get('package_skipped') or op.get('package_error', 'not in this run')} |")
        L.append("")
    return "\n".join(L) + "\n"


def render_threads(results):
    """The package's index with two threads against one, beside FAISS at two."""
    rows = [r for r in results["rows"] if r.get("task") == "search" and r.get("d") == 128]
    two_bw = results["bandwidth"].get("two_core_bytes_per_s")
    table = []
    for n in sorted({r["n"] for r in rows}):
        for metric in ("l2", "ip", "cos"):
            one = measured(find(rows, peer=PACKAGE, n=n, metric=metric, threads=1))
            two = measured(find(rows, peer=PACKAGE, n=n, metric=metric, threads=2))
            if not one or not two:
                continue
            faiss = find(rows, peer="faiss", n=n, metric=metric, threads=2) or {}
            cells = [f"{n:,}", metric, fmt_ms(one["single_s"]), fmt_ms(two["single_s"]),
                     f"{two['single_s'] / one['single_s']:.2f}",
                     fmt_ms(n * 128 * 4 / two_bw) if two_bw else "—"]
            for nq in ("100", "1000"):
                q1, q2 = one.get("batch_qps", {}).get(nq), two.get("batch_qps", {}).get(nq)
                qf = faiss.get("batch_qps", {}).get(nq)
                cells += [fmt_num(q1), fmt_num(q2), f"{q2 / q1:.2f}" if q1 and q2 else "—",
                          fmt_num(qf), f"{q2 / qf:.2f}" if q2 and qf else "—"]
            table.append("| " + " | ".join(cells) + " |")
    if not table:
        return []
    L = ["## varnel.Index: two threads against one (d = 128)", "",
         "Single query: median ms; batches: queries per second; 'x' columns are two threads over "
         "one (for ms, lower is better) and varnel.Index over FAISS flat at two threads (its "
         "faster of shipped and forced BLAS). 'two-core limit' is the stored vectors over the "
         "two-process read bandwidth.", "",
         "| N | metric | 1 thread ms | 2 threads ms | x | two-core limit ms | "
         "1 thread q/s (100) | 2 threads q/s (100) | x | faiss 2 threads (100) | x faiss | "
         "1 thread q/s (1000) | 2 threads q/s (1000) | x | faiss 2 threads (1000) | x faiss |",
         "|" + "---|" * 16]
    return L + table + [""]


def render_filtered(results):
    rows = [r for r in results["rows"] if r.get("task") == "filtered"]
    if not rows:
        return []
    any_row = rows[0]
    peers = [p for p in (PACKAGE, "lancedb", "sqlite-vec") if any(r["peer"] == p for r in rows)]
    nb = next((b for r in rows for b in r.get("batch_qps", {})), None)
    L = [f"## Filtered search ({any_row['n']:,} x {any_row['d']}, L2, {any_row['threads']} threads)", "",
         "Every row carries a string `cat` (1% \"p1\", 10% \"p10\", 50% \"p50\"), a string `grp` "
         "(\"in\" on 1/sqrt(2) of the rows) and a number `num` (uniform in [0, 1)), independent of "
         "each other and of the vectors. The filters: `cat` equality; `num` in [0.25, 0.25 + share); "
         "`grp` = \"in\" And `num` below share x sqrt(2). varnel.Index takes them as `where` dicts "
         "(payloads stored with the vectors), LanceDB as SQL `where` with prefiltering (no vector "
         "index, a flat scan), sqlite-vec as metadata columns of its `vec0` table (one query at a "
         "time, so no batch). Single query: median ms; batch: queries per second; 'x' is the cost "
         "over the same peer's unfiltered search (time over time, above 1 is slower). 'exact' is "
         "the share of the exact top 10 over only the matching rows that came back (8 queries); for "
         "varnel.Index 'same' says whether ids and distance bits equal those of an index holding "
         "the matching rows alone.", ""]
    head = ["filter", "kept"]
    for p in peers:
        head += [f"{p} ms", "x"]
        if p != "sqlite-vec":
            head += [f"{p} q/s ({nb})", "x"]
        head += ["exact"] + (["same"] if p == PACKAGE else [])
    L += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for shape in (None,) + FILTER_SHAPES:
        for keep in ((1.0,) if shape is None else FILTER_KEEPS):
            ref = next((r for r in rows if r.get("shape") == shape and r.get("keep") == keep), None)
            if ref is None:
                continue
            label = "none" if shape is None else f"{FILTER_NAMES[shape]}, {keep:.0%}"
            cells = [label, f"{ref['matching'] / ref['n']:.2%}" if "matching" in ref else "—"]
            for p in peers:
                r = measured(find(rows, peer=p, shape=shape, keep=keep)) or {}
                base = measured(find(rows, peer=p, shape=None, keep=1.0)) or {}
                cells += [fmt_ms(r.get("single_s")),
                          f"{r['single_s'] / base['single_s']:.2f}" if r and base else "—"]
                if p != "sqlite-vec":
                    q, qb = r.get("batch_qps", {}).get(nb), base.get("batch_qps", {}).get(nb)
                    cells += [fmt_num(q), f"{qb / q:.2f}" if q and qb else "—"]
                cells.append(f"{r['agree_exact']:.2f}" if "agree_exact" in r else "—")
                if p == PACKAGE:
                    same = r.get("identical_to_subset")
                    cells.append("—" if same is None else "yes" if same else "**NO**")
            L.append("| " + " | ".join(cells) + " |")
    L.append("")
    for r in rows:
        if "error" in r or "skipped" in r:
            L.append(f"- {r['peer']} {'' if r.get('shape') is None else FILTER_NAMES[r['shape']]} "
                     f"{'' if r.get('keep') is None else format(r['keep'], '.0%')}: "
                     f"{r.get('error') or r.get('skipped')}".replace("  ", " "))
    if L[-1] != "":
        L.append("")
    return L


def render_deletes_and_chroma(results):
    rows = results["rows"]
    L = []
    dels = [r for r in rows if r.get("task") == "delete"]
    if dels:
        L += ["### Deletes", "",
              f"A tenth of the ids ({dels[0]['deleted']:,}, the same for every peer, in one call or "
              f"one transaction) out of the {dels[0]['n']:,} just inserted, then `flush` (varnel), "
              f"the commit (sqlite-vec); LanceDB's delete commits by itself.", "",
              "| peer | deleted | left | delete s | flush/commit s | deletes/s | with flush |",
              "|---|---|---|---|---|---|---|"]
        for r in dels:
            L.append(f"| {r['peer']} | {r['deleted']:,} | {r['left']:,} | {r['delete_s']:.3f} | "
                     f"{r['commit_s']:.3f} | {fmt_num(r['deletes_per_s'])} | "
                     f"{fmt_num(r['with_commit_per_s'])} |")
        L.append("")
    for r in rows:
        if r.get("task") == "collection" and ("error" in r or "skipped" in r):
            L.append(f"- {r['peer']} ({r.get('source')}): {r.get('error') or r.get('skipped')}")
            L.append("")
    ch = find(rows, task="chroma")
    if ch:
        ins = find(rows, task="collection", peer="chroma")
        exact = [r for r in rows if r.get("task") == "search" and r.get("n") == ch["n"]
                 and r.get("d") == ch["d"] and r.get("metric") == "l2" and "single_s" in r
                 and (r["peer"] == PACKAGE or (r["peer"] == "varnel" and r["threads"] == 1))]
        hnsw = ", ".join(f"{k} = {v}" for k, v in ch.get("hnsw", {}).items())
        L += ["## Chroma (approximate search)", "",
              f"Chroma's persistent client over the same {ch['n']:,} x {ch['d']} vectors ({hnsw}, its "
              f"defaults). Its HNSW search is approximate: recall@10 is the share of the exact 10 "
              f"nearest it returns, over 100 queries. The exact searches beside it are this run's "
              f"varnel rows for the same data.", "",
              "| measure | value |", "|---|---|"]
        if ins and "vectors_per_s" in ins:
            L.append(f"| inserts (batches of {ins.get('batch_size', '?'):,}) | "
                     f"{fmt_num(ins['vectors_per_s'])} vectors/s ({ins['insert_s']:.1f} s) |")
        L.append(f"| first query after the inserts | {fmt_ms(ch['first_query_s'])} ms |")
        L.append(f"| single query (median) | {fmt_ms(ch['single_s'])} ms |")
        for nq, q in ch.get("batch_qps", {}).items():
            L.append(f"| batch of {nq} | {fmt_num(q)} q/s |")
        L.append(f"| recall@10 | **{ch['recall_at_10']:.3f}** |")
        for r in exact:
            who = "varnel (`_varnel`)" if r["peer"] == "varnel" else r["peer"]
            L.append(f"| exact: {who}, {r['threads']} thread{'s' if r['threads'] > 1 else ''}, "
                     f"single query | {fmt_ms(r['single_s'])} ms (recall 1) |")
        L.append("")
    return L


def render_plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = results["rows"]
    bw = results["bandwidth"]["best_bytes_per_s"]
    colors = {"varnel": "#d62728", PACKAGE: "#7f0000", "varnel.Collection": "#7f0000",
              "faiss": "#1f77b4", "hnswlib": "#2ca02c", "usearch": "#9467bd", "numpy": "#ff7f0e",
              "sqlite-vec": "#8c564b", "lancedb": "#17becf", "chroma": "#bcbd22"}
    order = PEERS[:2] + ["varnel.Collection"] + PEERS[2:] + ["chroma"]
    fig, axes = plt.subplots(2, 3, figsize=(19, 9.5))

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
        peers = [p for p in order if any(g[1].get(p) for g in groups)]
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
             and r["source"] == source and "vectors_per_s" in r}
        if g:
            groups.append((f"persistent insert\n({source})", g))
    bars(axes[1][1], groups, "Insert throughput, d = 128 (LanceDB, Chroma: two cores)", "vectors/s",
         log=True)

    groups = []
    for n in (100_000, 1_000_000):
        for metric in ("l2", "ip", "cos"):
            for nq in ("100", "1000"):
                g = {r["peer"]: r.get("batch_qps", {}).get(nq) for r in rows
                     if r.get("task") == "search" and r["threads"] == 2 and r["d"] == 128
                     and r["n"] == n and r["metric"] == metric}
                one = find(rows, task="search", peer=PACKAGE, n=n, d=128, metric=metric, threads=1)
                if g.get(PACKAGE) and nq == "1000":
                    g = {"varnel.Index, 1 thread": (one or {}).get("batch_qps", {}).get(nq), **g}
                    groups.append((f"{n // 1000}k {metric}\n{nq} q", g))
    colors["varnel.Index, 1 thread"] = "#ff9896"
    order.insert(2, "varnel.Index, 1 thread")
    bars(axes[0][2], groups, "Batch of 1000, d = 128, two threads", "queries/s", log=True)

    ax = axes[1][2]
    filt = [r for r in rows if r.get("task") == "filtered" and "single_s" in r]
    short = {"eq": "equality", "range": "range", "and": "And"}
    labels = [f"{short[s]}\n{k:.0%}" for s in FILTER_SHAPES for k in FILTER_KEEPS]
    peers = [p for p in (PACKAGE, "lancedb", "sqlite-vec") if any(r["peer"] == p for r in filt)]
    width = 0.8 / max(1, len(peers))
    for i, p in enumerate(peers):
        base = find(filt, peer=p, shape=None)
        ys = []
        for shape in FILTER_SHAPES:
            for keep in FILTER_KEEPS:
                r = find(filt, peer=p, shape=shape, keep=keep)
                ys.append(r["single_s"] / base["single_s"] if r and base else 0)
        ax.bar([j + (i - (len(peers) - 1) / 2) * width for j in range(len(labels))], ys, width,
               label=p, color=colors[p])
    if peers:
        ax.axhline(1.2, color="k", linestyle="--", linewidth=1, label="target 1.2 x (varnel)")
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_title("Filtered single query: time / unfiltered (lower is better)")
    ax.set_ylabel("x unfiltered")
    ax.legend(fontsize=8)
    ax.grid(True, axis="y", alpha=0.3)

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
    ap.add_argument("--only", action="append", default=[], metavar="PATTERN",
                    help="run only the configurations whose name contains PATTERN (shell "
                         "wildcards allowed; repeat or separate with commas); their rows "
                         "replace those of <out>/bench_results.json when it exists")
    ap.add_argument("--list", action="store_true", help="print the configurations' names and stop")
    args = ap.parse_args()
    patterns = [p for arg in args.only for p in arg.split(",") if p]

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
    if args.list:
        for name, _, threads in plan(PRESETS[args.preset]):
            if selected(name, patterns):
                print(name)
        return

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "bench_results.json")
    old = None
    if patterns:
        if not any(selected(name, patterns) for name, _, _ in plan(PRESETS[args.preset])):
            if selected("cluster", patterns):
                return  # bench/cluster_bench.py's configuration alone
            sys.exit(f"--only {','.join(patterns)}: no configuration of preset "
                     f"{args.preset} matches (see --list)")
        if os.path.exists(path):
            with open(path) as f:
                old = json.load(f)
            if old.get("preset") != args.preset:
                sys.exit(f"{path} holds a run of preset {old.get('preset')!r}, not {args.preset!r}: "
                         f"rerun with that preset or write elsewhere with --out")
    WORK_DIR = tempfile.mkdtemp(prefix="varnel-bench-", dir=args.work_dir)
    try:
        # A rerun merged into an earlier run keeps that run's bandwidth unless
        # it asks for the bandwidth again.
        results = orchestrate(args, patterns,
                              bandwidth=old is None or selected("bandwidth", patterns))
    finally:
        shutil.rmtree(WORK_DIR, ignore_errors=True)
    took = results["total_s"]
    if old is not None:
        results = merge_results(old, results, patterns)
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    render(results, args.out)
    print(f"wrote {path}, benchmarks.md, benchmarks.png ({took / 60:.1f} min)", file=sys.stderr)


if __name__ == "__main__":
    main()
