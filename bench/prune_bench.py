#!/usr/bin/env python3
"""The pruned exact search against full scans, on structured and random data.

    python bench/prune_bench.py                  # the full sizes (several minutes)
    python bench/prune_bench.py --scale 0.25     # every data set at a quarter of its rows
    python bench/prune_bench.py --only patches   # data sets whose name contains the text

Data sets (queries are held out: never among the stored rows):
  patches     8 x 8 x 3 patches of the two photos scikit-learn ships
              (sklearn.datasets.load_sample_images), every position, scaled
              to [0, 1]: about 530,000 x 192
  mixture     a Gaussian mixture whose spectrum decays (component i of the
              centres and of the spread has standard deviation i^-0.7, in a
              random rotation): 1,000,000 x 128 and 200,000 x 768
  isotropic   independent standard normal components: 1,000,000 x 128 and
              200,000 x 768

Measured, one thread, k = 10, Euclidean: the median single-query latency of
varnel.Index with pruning and without (prune=False, the full scan), FAISS
IndexFlatL2 and numpy (norms precomputed, one matrix-vector product and
argpartition); the time to stream the stored float32 vectors once (best of
numpy's add and maximum reductions over them); batches of 100 and 1000
queries with pruning on and off; and, from the index's own counters, the
share of vectors whose block went through the exact kernel and the share of
bytes read (floats of those blocks plus the codes read, an upper bound as
a block's codes may be left part way). Every pruned result is checked
against the full scan: same ids, same distance bits.

Results go to <out>/pruning_results.json and the table is printed in
Markdown (docs/pruning.md carries the checked-in run). Arguments that
scripts/bench.sh passes on for bench/run.py (--preset) are accepted: the
quick preset runs at --scale 0.1.
"""
import argparse
import json
import os
import platform
import statistics
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import numpy as np  # noqa: E402

K = 10
QUERIES = 40
BATCHES = (100, 1000)


def now():
    return time.perf_counter()


def median_time(fn, items):
    times = []
    for x in items:
        t = now()
        fn(x)
        times.append(now() - t)
    return statistics.median(times)


# --------------------------------------------------------------------------- data

def patches(scale, rng):
    from sklearn.datasets import load_sample_images
    out = []
    for img in load_sample_images().images:
        a = np.asarray(img, dtype=np.float32) / np.float32(255)
        w = np.lib.stride_tricks.sliding_window_view(a, (8, 8, 3))  # (h-7, w-7, 1, 8, 8, 3)
        out.append(w.reshape(-1, 192))
    x = np.ascontiguousarray(np.concatenate(out))
    order = rng.permutation(len(x))
    held = order[:max(BATCHES) + QUERIES]
    keep = order[max(BATCHES) + QUERIES:]
    keep = keep[:int(len(keep) * scale)]
    return np.ascontiguousarray(x[np.sort(keep)]), np.ascontiguousarray(x[held])


def mixture(n, d, rng, centres=1000):
    spectrum = (np.arange(1, d + 1, dtype=np.float64) ** -0.7).astype(np.float32)
    rotation, _ = np.linalg.qr(rng.standard_normal((d, d)))
    rotation = rotation.astype(np.float32)
    means = rng.standard_normal((centres, d), dtype=np.float32) * spectrum

    def draw(m):
        z = means[rng.integers(0, centres, m)]
        z += rng.standard_normal((m, d), dtype=np.float32) * (np.float32(0.25) * spectrum)
        return np.ascontiguousarray(z @ rotation)
    return draw(n), draw(max(BATCHES) + QUERIES)


def isotropic(n, d, rng):
    return (rng.standard_normal((n, d), dtype=np.float32),
            rng.standard_normal((max(BATCHES) + QUERIES, d), dtype=np.float32))


def datasets(scale):
    return [
        ("patches 192", lambda rng: patches(scale, rng)),
        ("mixture 128", lambda rng: mixture(int(1_000_000 * scale), 128, rng)),
        ("mixture 768", lambda rng: mixture(int(200_000 * scale), 768, rng)),
        ("isotropic 128", lambda rng: isotropic(int(1_000_000 * scale), 128, rng)),
        ("isotropic 768", lambda rng: isotropic(int(200_000 * scale), 768, rng)),
    ]


# --------------------------------------------------------------------------- one data set

def stream_time(x):
    flat = x.reshape(-1)
    return min(min(timeit_once(np.add.reduce, flat), timeit_once(np.maximum.reduce, flat))
               for _ in range(5))


def timeit_once(fn, a):
    t = now()
    fn(a)
    return now() - t


def run(name, x, queries):
    import faiss
    import varnel
    faiss.omp_set_num_threads(1)
    n, d = x.shape
    singles = queries[:QUERIES]
    out = {"name": name, "n": n, "d": d, "k": K}
    out["stream_s"] = stream_time(x)

    index = varnel.Index(d, "euclidean", threads=1)
    index.upsert(np.arange(n, dtype=np.uint64), x)
    code_bytes = 16 * ((d + 1) // 2 * 2)  # one block's codes
    float_bytes = 16 * d * 4

    def counted(fn):
        before = index._core.scan_counts()
        fn()
        after = index._core.scan_counts()
        return [a - b for a, b in zip(after, before)]

    # Warm both paths, then time them alternately in rounds.
    for q in singles[:3]:
        index.search(q, K)
    results = {}
    for prune in (False, True):
        index.prune = prune
        results[prune] = [index.search(q, K) for q in singles]
        counts = counted(lambda: [index.search(q, K) for q in singles])
        if prune:
            blocks_exact, rows_exact, blocks_bounded = counts
            out["vectors_in_kernel"] = blocks_exact * 16 / (n * len(singles))
            out["vectors_offered"] = rows_exact / (n * len(singles))
            out["bytes_read"] = ((blocks_exact * float_bytes + blocks_bounded * code_bytes)
                                 / (n * d * 4 * len(singles)))
    for a, b in zip(results[True], results[False]):
        assert a.ids.tolist() == b.ids.tolist(), name
        assert a.distances.view(np.uint32).tolist() == b.distances.view(np.uint32).tolist(), name
    times = {True: [], False: []}
    for _ in range(3):
        for prune in (True, False):
            index.prune = prune
            times[prune].append(median_time(lambda q: index.search(q, K), singles))
    out["pruned_s"] = min(times[True])
    out["full_s"] = min(times[False])
    for nb in BATCHES:
        batch = queries[:nb]
        best = {True: [], False: []}
        for _ in range(3):  # alternately, so both see the same machine
            for prune in (True, False):
                index.prune = prune
                best[prune].append(timeit_once(lambda b: index.search(b, K), batch))
        for prune in (True, False):
            out[f"batch{nb}_{'pruned' if prune else 'full'}_s"] = min(best[prune]) / nb
    index.prune = True

    flat = faiss.IndexFlatL2(d)
    flat.add(x)
    flat.search(singles[:1], K)
    out["faiss_s"] = min(median_time(lambda q: flat.search(q[None, :], K), singles) for _ in range(2))
    _, fi = flat.search(singles, K)
    agree = np.mean([len(set(fi[j]) & set(results[True][j].ids.tolist())) / K for j in range(len(singles))])
    out["faiss_agreement"] = float(agree)
    del flat

    norms = np.einsum("ij,ij->i", x, x)

    def numpy_search(q):
        dist = norms - 2 * (x @ q)
        top = np.argpartition(dist, K)[:K]
        return top[np.argsort(dist[top])]
    out["numpy_s"] = min(median_time(numpy_search, singles) for _ in range(2))
    del index
    return out


# --------------------------------------------------------------------------- report

def table(rows):
    lines = [
        "| data | n x d | stream | pruned | full scan | FAISS flat | numpy | pruned / stream "
        "| pruned / full | FAISS / pruned | vectors in kernel | bytes read | batch 100 pruned / full "
        "| batch 1000 pruned / full |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        ms = lambda s: f"{s * 1e3:.2f} ms"  # noqa: E731
        lines.append(
            f"| {r['name'].split()[0]} | {r['n']:,} x {r['d']} | {ms(r['stream_s'])} | {ms(r['pruned_s'])} "
            f"| {ms(r['full_s'])} | {ms(r['faiss_s'])} | {ms(r['numpy_s'])} "
            f"| {r['pruned_s'] / r['stream_s']:.2f} | {r['pruned_s'] / r['full_s']:.2f} "
            f"| {r['faiss_s'] / r['pruned_s']:.1f} | {r['vectors_in_kernel'] * 100:.1f}% "
            f"| {r['bytes_read'] * 100:.1f}% "
            f"| {r['batch100_pruned_s'] / r['batch100_full_s']:.2f} "
            f"| {r['batch1000_pruned_s'] / r['batch1000_full_s']:.2f} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", type=float, default=None, help="share of each data set's rows")
    ap.add_argument("--only", default="", help="run the data sets whose name contains this")
    ap.add_argument("--out", default="docs", help="directory for pruning_results.json")
    ap.add_argument("--preset", default=None, help="quick: --scale 0.1 (others: full sizes)")
    args, _ = ap.parse_known_args()
    scale = args.scale if args.scale is not None else (0.1 if args.preset == "quick" else 1.0)
    rows = []
    for name, make in datasets(scale):
        if args.only not in name:
            continue
        x, queries = make(np.random.default_rng(7))
        print(f"{name}: {x.shape[0]:,} x {x.shape[1]}", file=sys.stderr, flush=True)
        rows.append(run(name, x, queries))
        print(json.dumps(rows[-1]), file=sys.stderr, flush=True)
        del x, queries
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "pruning_results.json"), "w") as f:
        json.dump({"scale": scale, "machine": platform.machine(), "cpus": os.cpu_count(),
                   "load_before": os.getloadavg(), "rows": rows}, f, indent=1)
    print(table(rows))


if __name__ == "__main__":
    main()
