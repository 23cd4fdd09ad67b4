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
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import peers as peer_module
import workers as worker_module
from common import (COSINE_1000_PEERS, K, MISSING_PACKAGE, PACKAGE, PEERS, TWO_THREAD_PEERS, now,
                    thread_env)
from report import render
from workers import WORKERS

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

# The scratch directory for files, set by main(); the peers and the workers
# read their own copies, which main() sets to the same.
WORK_DIR = None


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
        peer_module.WORK_DIR = worker_module.WORK_DIR = WORK_DIR
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
    peer_module.WORK_DIR = worker_module.WORK_DIR = WORK_DIR
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
