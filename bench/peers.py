"""The peers: one small class per library, each loading the same data and answering
the same queries with row numbers. A peer's library is imported when the peer is
made, after the worker process has set its thread variables."""

from __future__ import annotations

import os
import shutil
import tempfile

from common import K, METRICS, MISSING_PACKAGE, PACKAGE, group_by_query, payloads_of


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
WORK_DIR = None  # scratch directory for files, set by run.main() (as in workers)
