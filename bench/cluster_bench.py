#!/usr/bin/env python3
"""varnel.cluster against one varnel.Collection on one thread, in one run.

    python bench/cluster_bench.py                    # 1,000,000 x 128 (a few minutes)
    python bench/cluster_bench.py --preset quick     # 100,000 x 128
    python bench/cluster_bench.py --n 20000          # a sanity run of any size
    python bench/cluster_bench.py --render docs/cluster_bench_results.json

Its one configuration is named "cluster": with --only, it runs when a
pattern selects that name (bench/run.py's rule) and otherwise does nothing;
--list prints the name.

Takes the arguments of bench/run.py (scripts/bench.sh passes them on) and
ignores those it has no use for. Measures, k = 10, L2, on the data and
queries bench/run.py uses:
  one          varnel.Collection(threads=1) in this process, before Ray starts
  one, N threads  the same directory reopened with every core's thread: the
               most any split of one scan over these cores can reach
  cluster-1/2  varnel.cluster.Collection with 1 and 2 shards on a local Ray
               given every core (2 here): each shard one actor, one thread
and for each: single-query latency (median over distinct queries), batches
of 100 and 1000 queries (best of up to 3, queries/s); for the clusters also
Ray's own cost (an empty call to every shard and back, median) and the
driver's merge of the shards' top-k lists per query. The results go to
<out>/cluster_bench_results.json and <out>/cluster_benchmarks.md.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# One search thread in this process too (the peers' convention), before numpy loads.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

# bench/run.py and the modules it is made of, from this script's folder.
sys.path.insert(0, HERE)
import common  # noqa: E402
import run  # noqa: E402

PRESETS = {"quick": 100_000, "default": 1_000_000, "full": 1_000_000}
D = 128
METRIC = "euclidean"
BATCHES = [100, 1000]
LOAD_CHUNK = 100_000
TARGET_BATCH = 1.7    # 2 shards: batch throughput at least this many times one collection's
TARGET_SINGLE = 0.65  # 2 shards: a single query at most this share of one collection's time
NAME = "cluster"
RESULTS = "cluster_bench_results.json"


def measure(coll, queries):
    """Single-query latency and batch throughput of one collection-like object."""
    singles = [queries[i] for i in range(64)]
    single, reps = common.median_time(lambda q: coll.search(q, common.K), singles)
    row = {"single_s": single, "single_reps": reps, "batch_qps": {}}
    for nq in BATCHES:
        best, _ = common.best_time(lambda: coll.search(queries[:nq], common.K))
        row["batch_qps"][str(nq)] = nq / best
    return row


def load(coll, X, ids):
    t = common.now()
    for s in range(0, len(X), LOAD_CHUNK):
        coll.upsert(ids[s:s + LOAD_CHUNK], X[s:s + LOAD_CHUNK])
    coll.flush()
    return common.now() - t


def ray_costs(coll, varnel, np, shards):
    """Ray's empty round to every shard, and the merge of `shards` top-k lists, per query."""
    times = []
    for _ in range(200):
        t = common.now()
        coll._noop()
        times.append(common.now() - t)
    rng = np.random.default_rng(5)
    nq = 1000
    parts = []
    for s in range(shards):
        ids = (rng.integers(0, 2**40, (nq, common.K), dtype=np.uint64) << np.uint64(2)) + np.uint64(s)
        dist = np.sort(rng.random((nq, common.K), dtype=np.float32), axis=1)
        parts.append(varnel.Hits(ids, dist))
    merge, _ = common.best_time(lambda: varnel.merge_hits(parts, common.K))
    return {"noop_round_s": statistics.median(times), "merge_s_per_query": merge / nq}


def same_hits(a, b):
    import numpy as np
    return bool(np.array_equal(a.ids, b.ids)
                and np.array_equal(a.distances.view(np.uint32), b.distances.view(np.uint32)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--preset", choices=sorted(PRESETS), default="default")
    ap.add_argument("--out", default=os.path.join(HERE, "..", "docs"))
    ap.add_argument("--max-load", type=float, default=1.0)
    ap.add_argument("--wait", type=float, default=600)
    ap.add_argument("--work-dir")
    ap.add_argument("--n", type=int, help="vectors (overrides the preset's)")
    ap.add_argument("--only", action="append", default=[])
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--render", metavar="RESULTS_JSON")
    args, _ = ap.parse_known_args()  # bench/run.py's other options are not ours
    patterns = [p for arg in args.only for p in arg.split(",") if p]
    if args.list:
        if run.selected(NAME, patterns):
            print(NAME)
        return
    if args.render:
        # bench.sh passes run.py's results file: redo ours from its folder.
        path = args.render
        if os.path.basename(path) != RESULTS:
            path = os.path.join(os.path.dirname(os.path.abspath(path)), RESULTS)
        if os.path.exists(path):
            with open(path) as f:
                write_markdown(json.load(f), os.path.dirname(os.path.abspath(path)))
        return
    if not run.selected(NAME, patterns):
        return

    import numpy as np
    import ray
    import varnel
    import varnel.cluster

    n = args.n or PRESETS[args.preset]
    results = {"n": n, "d": D, "metric": METRIC, "k": common.K, "preset": args.preset,
               "started": time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime()),
               "load": run.wait_for_quiet(args.max_load, args.wait)}
    results["machine"] = run.machine_description()
    try:
        import importlib.metadata as md
        results["machine"]["versions"]["ray"] = md.version("ray")
    except Exception:  # noqa: BLE001 - a version is only informative
        pass
    X = common.make_data(n, D)
    Q = common.make_queries(1000, D)
    ids = np.arange(n, dtype=np.uint64)
    root = tempfile.mkdtemp(prefix="varnel-cluster-bench-", dir=args.work_dir)
    rows = []
    try:
        print(f"== one varnel.Collection, threads=1, {n} x {D}", file=sys.stderr, flush=True)
        one = varnel.Collection(os.path.join(root, "one"), D, METRIC, threads=1)
        row = {"config": "one", "shards": 0, "load_s": load(one, X, ids), "load_at_start": run.load_average()[0]}
        row.update(measure(one, Q))
        check = [one.search(Q[:8], common.K)] + [one.search(Q[i], common.K) for i in range(8)]
        one.close()
        del one
        rows.append(row)
        print(f"  {row}", file=sys.stderr, flush=True)
        # The same directory searched by every core of this process: what
        # any split of the scan over these cores can reach, shards included.
        both = varnel.Collection(os.path.join(root, "one"), threads=os.cpu_count())
        row = {"config": f"one, {os.cpu_count()} threads", "shards": 0, "threads": os.cpu_count()}
        row.update(measure(both, Q))
        both.close()
        del both
        rows.append(row)
        print(f"  {row}", file=sys.stderr, flush=True)

        ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
        for shards in (1, 2):
            print(f"== varnel.cluster.Collection, {shards} shard(s)", file=sys.stderr, flush=True)
            coll = varnel.cluster.Collection(os.path.join(root, f"cluster{shards}"), D, METRIC, shards)
            row = {"config": f"cluster-{shards}", "shards": shards, "load_s": load(coll, X, ids),
                   "load_at_start": run.load_average()[0]}
            row.update(measure(coll, Q))
            row.update(ray_costs(coll, varnel, np, shards))
            got = [coll.search(Q[:8], common.K)] + [coll.search(Q[i], common.K) for i in range(8)]
            row["identical_to_one"] = all(same_hits(a, b) for a, b in zip(got, check))
            coll.close()
            rows.append(row)
            print(f"  {row}", file=sys.stderr, flush=True)
        ray.shutdown()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    results["rows"] = rows
    results["load_at_end"] = run.load_average()
    results["targets"] = targets(rows)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, RESULTS)
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    md_path = write_markdown(results, args.out)
    print(render(results), file=sys.stderr)
    print(f"wrote {path} and {md_path}", file=sys.stderr)


def write_markdown(results, out):
    md_path = os.path.join(out, "cluster_benchmarks.md")
    with open(md_path, "w") as f:
        f.write(render(results))
    return md_path


def targets(rows):
    one = next(r for r in rows if r["config"] == "one")
    two = next(r for r in rows if r["config"] == "cluster-2")
    out = []
    for nq in BATCHES:
        ratio = two["batch_qps"][str(nq)] / one["batch_qps"][str(nq)]
        out.append({"target": f"2 shards, batch of {nq}: at least {TARGET_BATCH} x the queries/s of one "
                              "collection on one thread", "ratio": ratio, "met": ratio >= TARGET_BATCH})
    ratio = two["single_s"] / one["single_s"]
    target = {"target": f"2 shards, one query: at most {TARGET_SINGLE} x the time of one collection "
                        "on one thread", "ratio": ratio, "met": ratio <= TARGET_SINGLE}
    both = next((r for r in rows if r.get("threads")), None)
    if both is not None:
        # One query is a read of every stored vector: two cores' read rate bounds it.
        target["ceiling"] = both["single_s"] / one["single_s"]
    out.append(target)
    out.append({"target": "every cluster result identical to one collection's (ids and distance bits)",
                "met": all(r.get("identical_to_one", True) for r in rows)})
    return out


def render(results):
    rows = results["rows"]
    lines = [f"# varnel.cluster against one collection ({results['n']:,} x {results['d']}, "
             f"{results['metric']}, k = {results['k']})", "",
             f"Run {results['started']} on {results['machine'].get('cores')} cores "
             f"({results['machine'].get('Model name', '?')}); load average "
             f"{results['load']['load_at_start'][0]:.2f} at the start, "
             f"{results['load_at_end'][0]:.2f} at the end. Ray "
             f"{results['machine'].get('versions', {}).get('ray', '?')}.", "",
             "| configuration | one query (ms) | batch 100 (q/s) | batch 1000 (q/s) | empty round (ms) "
             "| merge per query (us) | load + flush (s) |",
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        noop = f"{r['noop_round_s'] * 1e3:.2f}" if "noop_round_s" in r else "—"
        merge = f"{r['merge_s_per_query'] * 1e6:.2f}" if "merge_s_per_query" in r else "—"
        loaded = f"{r['load_s']:.1f}" if "load_s" in r else "—"
        lines.append(f"| {r['config']} | {r['single_s'] * 1e3:.2f} | {r['batch_qps']['100']:,.0f} | "
                     f"{r['batch_qps']['1000']:,.0f} | {noop} | {merge} | {loaded} |")
    lines += ["", "| target | ratio | met |", "|---|---|---|"]
    for t in results["targets"]:
        ratio = f"{t['ratio']:.2f}" if "ratio" in t else "—"
        if "ceiling" in t:
            ratio += (f" (one collection searched by every core of this process: "
                      f"{t['ceiling']:.2f} x, the most a split of the scan reaches here)")
        lines.append(f"| {t['target']} | {ratio} | {'yes' if t['met'] else 'no'} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
