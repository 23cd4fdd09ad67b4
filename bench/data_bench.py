#!/usr/bin/env python3
"""The data API without a query vector, measured on one thread:

    python bench/data_bench.py                 # 1,000,000 x 128 (a few minutes)
    python bench/data_bench.py --n 20000       # a sanity run of any size

Rows (median of up to 7 runs each, after one warm-up):
  count, scan      varnel.Collection.count(where) and scan(where) (ids and
                   payloads) keeping about 1% and 10% of the rows, against
                   LanceDB's count_rows(filter) and Chroma's get(where=...)
                   when they are installed (bench/requirements.txt)
  update           update() of a tenth of the rows: payloads merged, then
                   vectors replaced; against upsert() of the same rows whole
  to_arrow         Collection.to_arrow() of every row against numpy's copy
                   of the (n, dim) vectors once
Prints a Markdown table; --out also writes the rows as JSON.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

import varnel


def median_time(fn, reps=7, budget_s=20.0):
    fn()  # warm-up
    times = []
    started = time.perf_counter()
    while len(times) < reps and (len(times) < 3 or time.perf_counter() - started < budget_s):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def data(n, d, seed=7):
    rng = np.random.default_rng(seed)
    vectors = rng.random((n, d), dtype=np.float32)
    bucket = rng.integers(0, 100, n)  # bucket < 1 keeps ~1%, < 10 keeps ~10%
    payloads = [{"bucket": int(b), "lang": "en" if b % 2 else "de"} for b in bucket]
    return vectors, bucket, payloads


def peers_rows(n, d, vectors, bucket, work, rows):
    """LanceDB's count_rows(filter) and Chroma's get(where) at the same selectivities."""
    if importlib.util.find_spec("lancedb") is not None:
        import lancedb
        import pyarrow as pa

        db = lancedb.connect(os.path.join(work, "lance"))
        table = db.create_table("t", pa.table({
            "id": pa.array(np.arange(n, dtype=np.uint64)),
            "vector": pa.FixedSizeListArray.from_arrays(pa.array(vectors.reshape(-1)), d),
            "bucket": pa.array(bucket)}))
        for keep in (1, 10):
            rows.append({"row": f"count {keep}%", "peer": "lancedb count_rows",
                         "s": median_time(lambda: table.count_rows(f"bucket < {keep}"))})
    if importlib.util.find_spec("chromadb") is not None:
        import chromadb

        client = chromadb.PersistentClient(path=os.path.join(work, "chroma"))
        coll = client.create_collection("t")
        step = 5000
        for s in range(0, n, step):
            coll.add(ids=[str(i) for i in range(s, min(n, s + step))], embeddings=vectors[s:s + step],
                     metadatas=[{"bucket": int(b)} for b in bucket[s:s + step]])
        for keep in (1, 10):
            rows.append({"row": f"scan {keep}%", "peer": "chroma get(where)",
                         "s": median_time(lambda: coll.get(where={"bucket": {"$lt": keep}}, include=[]))})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--out", help="a JSON file for the rows")
    args, _ = parser.parse_known_args(argv)
    n, d = args.n, args.d
    vectors, bucket, payloads = data(n, d)
    work = tempfile.mkdtemp(prefix="varnel-data-bench-")
    rows = []
    try:
        coll = varnel.Collection(os.path.join(work, "c"), d, "euclidean", threads=1)
        coll.upsert(np.arange(n), vectors, payloads)
        coll.flush()
        for keep in (1, 10):
            where = {"bucket": {"$lt": keep}}
            rows.append({"row": f"count {keep}%", "peer": "varnel count", "s": median_time(lambda: coll.count(where))})
            rows.append({"row": f"scan {keep}%", "peer": "varnel scan",
                         "s": median_time(lambda: coll.scan(where))})
        tenth = np.arange(0, n, 10)
        patch = [{"seen": True}] * len(tenth)
        fresh = vectors[tenth] + 1
        rows.append({"row": "update a tenth", "peer": "varnel update(payloads)",
                     "s": median_time(lambda: coll.update(tenth, payloads=patch))})
        rows.append({"row": "update a tenth", "peer": "varnel update(vectors)",
                     "s": median_time(lambda: coll.update(tenth, vectors=fresh))})
        whole = [payloads[i] for i in tenth.tolist()]
        rows.append({"row": "update a tenth", "peer": "varnel upsert (whole rows)",
                     "s": median_time(lambda: coll.upsert(tenth, fresh, whole))})
        coll.flush()
        if importlib.util.find_spec("pyarrow") is not None:
            rows.append({"row": "export", "peer": "numpy copy of the vectors",
                         "s": median_time(lambda: vectors.copy())})
            rows.append({"row": "export", "peer": "varnel to_arrow", "s": median_time(coll.to_arrow)})
        coll.close()
        peers_rows(n, d, vectors, bucket, work, rows)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"| n={n} d={d} | | ms |\n|---|---|---|")
    for r in rows:
        print(f"| {r['row']} | {r['peer']} | {r['s'] * 1e3:.2f} |")
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"n": n, "d": d, "rows": rows}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
