"""What runs in each configuration's subprocess (`run.py --worker TASK`): one
function per kind of task (bandwidth, search, filtered, insert, collection, open),
each returning its rows of results."""

from __future__ import annotations

import gc
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from common import (BATCH_BUDGET_S, FILTER_KEEPS, FILTER_SHAPES, K, METRICS, MISSING_PACKAGE,
                    PACKAGE, SEED, TARGET_PEERS, FilterSpec, best_time, exact_l2_top, make_data,
                    make_fields, make_queries, median_time, now, overlap, recall_at_k)
from peers import PEER_CLASSES, arrow_table, sqlite_connect

WORK_DIR = None  # scratch directory for files, set by run.main() (as in peers)


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
