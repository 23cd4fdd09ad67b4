#!/usr/bin/env python3
"""Soak test, run by hand (not in CI): one process inserts N vectors of
dimension 128 into a Collection (numpy batches, a few searches after every
batch, a flush every 100,000), then drops it, reopens the directory and
checks every vector. Reports, and checks:

  - memory: the resident set, and its high-water mark, stay within 1.3x of
    the vectors' own size (N * 128 * 4 bytes) above what the interpreter held
    before the first insert, while inserting and through the reopen (checked
    from 200,000 vectors on);
  - descriptors: the number of open file descriptors is the same at every
    flush and after the reopen;
  - the reopened collection holds all N ids, each at distance 0 from its
    own vector (sampled), and answers like the live one did.

    python3 tests/soak.py                      # 2,000,000 vectors
    python3 tests/soak.py --vectors 20000      # a short run, e.g. under
        valgrind or with the ASan module (see docs/reliability.md)

Needs numpy and the _varnel module on the import path.
"""
import argparse
import gc
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import _varnel

DIM = 128


def status_bytes(field):
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1]) * 1024
    return 0


def rss_bytes():
    return status_bytes('VmRSS')


def high_water_bytes():
    """The largest resident set the process has had so far."""
    return status_bytes('VmHWM')


def open_fds():
    return len(os.listdir('/proc/self/fd'))


def batch(start, count, seed=0):
    """Vectors of ids start..start+count-1, derived from the ids alone."""
    rng = np.random.default_rng(seed + start)
    return rng.standard_normal((count, DIM), dtype=np.float32)


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--vectors', type=int, default=2_000_000)
    p.add_argument('--batch', type=int, default=10_000)
    p.add_argument('--flush-every', type=int, default=100_000)
    p.add_argument('--queries', type=int, default=2, help='searches after every batch')
    p.add_argument('--workdir', help='parent directory for the collection (default: a temp dir)')
    args = p.parse_args()
    assert args.flush_every % args.batch == 0

    base = tempfile.mkdtemp(prefix='varnel-soak-', dir=args.workdir)
    path = os.path.join(base, 'c')
    vector_bytes = args.vectors * DIM * 4
    gc.collect()
    rss0 = rss_bytes()
    peak = 0
    fds = []
    failures = []
    t0 = time.time()

    c = _varnel.Collection.open_or_create(path, DIM, 'euclidean')
    fds_open = open_fds()
    for start in range(0, args.vectors, args.batch):
        n = min(args.batch, args.vectors - start)
        vecs = batch(start, n)
        c.insert_batch(np.arange(start, start + n, dtype=np.uint64), vecs)
        # Interleaved searches: the newest vector must come back first.
        for q in range(args.queries):
            i = (q * 7919) % n
            hit = c.search(vecs[i], 1)
            if hit != [(start + i, 0.0)]:
                failures.append('search for id %d gave %r' % (start + i, hit))
        if (start + n) % args.flush_every == 0 or start + n == args.vectors:
            c.flush()
            fds.append(open_fds())
        peak = max(peak, rss_bytes() - rss0)
    insert_s = time.time() - t0
    probe = batch(0, 8, seed=99)
    live_answers = c.search_batch(probe, 10)

    del c
    gc.collect()
    rss_after_drop = rss_bytes() - rss0
    t1 = time.time()
    c = _varnel.Collection.open_or_create(path, DIM, 'euclidean')
    reopen_s = time.time() - t1
    peak_reopen = rss_bytes() - rss0
    high_water = high_water_bytes() - rss0
    fds_reopen = open_fds()

    # Every id is there (a query far from everything ranks them all)...
    rng = np.random.default_rng(1)
    sample = sorted(set(rng.integers(0, args.vectors, 200).tolist()) | {0, args.vectors - 1})
    for i in sample:
        start = i - i % args.batch
        vec = batch(start, min(args.batch, args.vectors - start))[i - start]
        hit = c.search(vec, 1)
        if hit != [(i, 0.0)]:
            failures.append('after reopen, id %d gave %r' % (i, hit))
    if c.search_batch(probe, 10) != live_answers:
        failures.append('the reopened collection answers differently')
    count = len(c.search(np.full(DIM, 1e6, dtype=np.float32), args.vectors + 1))
    if count != args.vectors:
        failures.append('reopened collection holds %d vectors, not %d' % (count, args.vectors))

    # Below a few hundred thousand vectors the interpreter's and the
    # allocator's own overheads outweigh the vectors; the ratio means little.
    limit = 1.3 * vector_bytes if args.vectors >= 200_000 else float('inf')
    if high_water > limit:
        failures.append('peak memory up to the reopen: %.0f MB above start, limit %.0f MB'
                        % (high_water / 2**20, limit / 2**20))
    if peak > limit:
        failures.append('memory while inserting: %.0f MB above start, limit %.0f MB'
                        % (peak / 2**20, limit / 2**20))
    if peak_reopen > limit:
        failures.append('memory after reopen: %.0f MB above start, limit %.0f MB'
                        % (peak_reopen / 2**20, limit / 2**20))
    if len(set(fds)) != 1 or fds_reopen != fds_open or fds[0] != fds_open:
        failures.append('open descriptors changed: at open %d, at flushes %s, after reopen %d'
                        % (fds_open, sorted(set(fds)), fds_reopen))

    print('soak: %d vectors of dimension %d (%.0f MB of vectors), %d flushes, %d searches'
          % (args.vectors, DIM, vector_bytes / 2**20, len(fds),
             (args.vectors // args.batch) * args.queries))
    print('  inserting: %.0f s; resident set at most %.0f MB above start (%.2fx the vectors)'
          % (insert_s, peak / 2**20, peak / vector_bytes))
    print('  after drop: %.0f MB above start' % (rss_after_drop / 2**20))
    print('  reopen: %.1f s; resident set %.0f MB above start (%.2fx the vectors)'
          % (reopen_s, peak_reopen / 2**20, peak_reopen / vector_bytes))
    print('  high-water mark up to the reopen: %.0f MB above start (%.2fx the vectors)%s'
          % (high_water / 2**20, high_water / vector_bytes,
             '' if limit != float('inf') else '; too few vectors for the 1.3x check'))
    print('  open descriptors: %d at open, %s at the flushes, %d after reopen'
          % (fds_open, sorted(set(fds)), fds_reopen))
    del c
    gc.collect()
    shutil.rmtree(base, ignore_errors=True)
    for f in failures[:20]:
        print('FAILED ' + f)
    print('soak: %s' % ('passed' if not failures else '%d failures' % len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
