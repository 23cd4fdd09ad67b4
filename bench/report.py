"""The report: the verdict on each target, the Markdown tables and the plot, all
from a results file alone (`run.py --render` redraws them without measuring)."""

from __future__ import annotations

import os
import sys

from common import BATCH_BUDGET_S, FILTER_KEEPS, FILTER_SHAPES, K, MISSING_PACKAGE, PACKAGE, PEERS


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
