"""The main demo: a persistent collection from creation to reopening.

Creates a collection in a temporary directory, inserts 100,000 random vectors
of dimension 128, flushes, reopens it in a fresh process, searches, and prints
the hits and the time of each step.
"""

import os
import random
import subprocess
import sys
import tempfile
import time

import _varnel

DIM = 128
COUNT = 100_000
BATCH = 10_000


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"{label:<40} {time.perf_counter() - start:8.3f} s", flush=True)
    return result


def make_vectors(rng, n):
    try:
        import numpy as np
    except ImportError:
        return [[rng.random() for _ in range(DIM)] for _ in range(n)]
    return np.random.default_rng(rng.randrange(2**32)).random((n, DIM), dtype=np.float32)


def build(path):
    rng = random.Random(7)
    col = timed("open_or_create (new)", lambda: _varnel.Collection.open_or_create(path, DIM, "euclidean"))
    start = time.perf_counter()
    for first in range(0, COUNT, BATCH):
        vectors = make_vectors(rng, BATCH)
        col.insert_batch(list(range(first, first + BATCH)), vectors)
        print(f"  inserted {first + BATCH:>7,} vectors", flush=True)
    print(f"{'insert ' + format(COUNT, ',') + ' vectors':<40} {time.perf_counter() - start:8.3f} s")
    timed("flush", col.flush)


def make_query():
    # Id 42 lies in the first batch: regenerate it from the same seed.
    row = make_vectors(random.Random(7), BATCH)[42]
    return [float(x) for x in row]


def reopen_and_search(path):
    col = timed("open_or_create (existing)", lambda: _varnel.Collection.open_or_create(path, DIM, "euclidean"))
    # The query is the stored vector of id 42, so it must come back first at distance 0.
    query = make_query()
    hits = timed("search k=5", lambda: col.search(query, 5))
    print("nearest to the vector stored under id 42:")
    for vid, dist in hits:
        print(f"  id {vid:>6}  distance {dist:.6f}")
    assert hits[0] == (42, 0.0), hits[0]
    queries = [query] * 100
    timed("search_batch 100 queries k=5", lambda: col.search_batch(queries, 5))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reopen":
        reopen_and_search(sys.argv[2])
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo-collection")
        print(f"collection directory: {path}")
        build(path)
        print("-- reopening in a new process")
        subprocess.run([sys.executable, __file__, "--reopen", path], check=True)


if __name__ == "__main__":
    main()
