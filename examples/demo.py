"""The main demo: a varnel collection from creation to reopening.

Creates a collection in a temporary directory, upserts 100,000 random
vectors of dimension 128 with payloads, searches with and without a filter,
updates and deletes, closes it, reopens it in a fresh process and checks
that everything came back. Prints each step with its time.
"""

import subprocess
import sys
import tempfile
import time

import numpy as np

import varnel

DIM = 128
COUNT = 100_000
GENRES = ["jazz", "rock", "folk", "soul"]


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"{label:<48} {time.perf_counter() - start:8.3f} s", flush=True)
    return result


def data():
    rng = np.random.default_rng(7)
    vectors = rng.random((COUNT, DIM), dtype=np.float32)
    payloads = [{"genre": GENRES[i % 4], "year": 1950 + i % 75} for i in range(COUNT)]
    return vectors, payloads


def build(path):
    vectors, payloads = data()
    coll = timed("create", lambda: varnel.Collection(path, DIM, "euclidean"))
    timed(f"upsert {COUNT:,} vectors with payloads", lambda: coll.upsert(np.arange(COUNT), vectors, payloads))
    hits = timed("search k=5", lambda: coll.search(vectors[42], 5))
    print("  nearest to the vector of id 42:", hits.ids.tolist())
    assert hits.ids[0] == 42 and hits.distances[0] == 0.0
    where = {"genre": "jazz", "year": {"$gte": 2000}}
    hits = timed(f"search k=5 where {where}", lambda: coll.search(vectors[42], 5, where=where, payloads=True))
    for i, d, p in zip(hits.ids.tolist(), hits.distances.tolist(), hits.payloads):
        print(f"  {i:>6}  {d:.4f}  {p}")
    batch = timed("search_batch of 100 queries, k=10", lambda: coll.search(vectors[:100], 10))
    assert (batch.ids[:, 0] == np.arange(100)).all()
    timed("update id 42, delete ids 0-9", lambda: (coll.upsert(42, np.zeros(DIM), {"genre": "new"}), coll.delete(range(10))))
    timed("close (flush)", coll.close)


def reopen(path):
    with timed("reopen", lambda: varnel.Collection(path)) as coll:
        print(f"  {len(coll):,} vectors of dimension {coll.dim}, metric {coll.metric}")
        vector, payload = coll[42]
        assert not vector.any() and payload == {"genre": "new"}
        assert 5 not in coll and len(coll) == COUNT - 10
        hits = timed("search k=3 near the origin", lambda: coll.search(np.zeros(DIM), 3, payloads=True))
        print("  ", hits.ids.tolist(), hits.payloads)
        assert hits.ids[0] == 42
    print("reopened collection is intact")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reopen":
        reopen(sys.argv[2])
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/demo"
        build(path)
        # A fresh process, as after a restart.
        subprocess.run([sys.executable, __file__, "--reopen", path], check=True)


if __name__ == "__main__":
    main()
