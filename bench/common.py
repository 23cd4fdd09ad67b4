"""The benchmark's shared ground: the constants its parts read, the random data
and queries, the timing loops, the exact answers results are checked against,
and the filtered search's filters in their three forms. Nothing here imports a
peer."""

from __future__ import annotations

import os
import statistics
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
