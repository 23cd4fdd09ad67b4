#!/usr/bin/env python3
"""Kill test: a child process inserts ids 0, 1, 2, ... into a Collection
(batch sync policy, a flush every few thousand inserts) and is killed with
SIGKILL at a random moment. The parent then reopens the collection and
checks that:

  - it opens;
  - it holds exactly the ids 0..M-1 for some M;
  - M covers every insert the child had reported as synced (the child
    reports after each flush and after every 100th insert since the last
    sync, which under the batch policy ends with an fsync of the log);
  - every vector is bit-identical to the one inserted (checked by search at
    distance 0, and record by record in data.vnl, where a copy that a later
    flush replaced may be marked deleted but still holds the same bits).

A directory lives for several kills in a row: each new child reopens what
the last one left and goes on from M, so recovery (replay, torn tails) is
itself killed and checked. Needs the _varnel module on the import path.

    python3 tests/kill_test.py --kills 50
    python3 tests/kill_test.py --kills 2000 --seed 7 --workdir /var/tmp/kills
"""
import argparse
import gc
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

DIM = 16
SYNC_EVERY = 100  # the batch policy's appends per fsync


def vector_of(i):
    """Deterministic components for id i; no two ids share a vector."""
    return [((i * 2654435761 + j * 40503) % 1000003) / 997.0 - 500.0 + j for j in range(DIM)]


def f32_bits(values):
    return struct.pack('<%df' % len(values), *values)


# ---------------------------------------------------------------- child

def child(path, start, flush_every):
    import _varnel
    out = sys.stdout
    c = _varnel.Collection.open_or_create(path, DIM, 'euclidean')
    out.write('open %d\n' % start)
    out.flush()
    since_sync = 0
    i = start
    while True:
        c.insert(i, vector_of(i))
        i += 1
        since_sync += 1
        if since_sync == SYNC_EVERY:
            since_sync = 0
            out.write('synced %d\n' % i)
            out.flush()
        if (i - start) % flush_every == 0:
            c.flush()
            since_sync = 0
            out.write('synced %d\n' % i)
            out.flush()


# ---------------------------------------------------------------- parent

def read_records(data_path):
    """Every record of data.vnl as (id, deleted, component bytes)."""
    with open(data_path, 'rb') as f:
        data = f.read()
    pos, out = 0, []
    while pos < len(data):
        if pos + 13 > len(data):
            raise AssertionError('data.vnl ends inside a record header at %d' % pos)
        deleted, rid, dim = struct.unpack_from('<BQI', data, pos)
        vec = data[pos + 13:pos + 13 + 4 * dim]
        (plen,) = struct.unpack_from('<I', data, pos + 13 + 4 * dim)
        end = pos + 17 + 4 * dim + plen
        if end > len(data):
            raise AssertionError('data.vnl ends inside the record at %d' % pos)
        out.append((rid, deleted, vec))
        pos = end
    return out


def verify(path, synced, attempted_upto, rng):
    """Reopens and checks; returns M. Raises AssertionError on a violation."""
    import _varnel
    c = _varnel.Collection.open_or_create(path, DIM, 'euclidean')
    # Every stored id comes back for a query far from all of them.
    hits = c.search([1e6] * DIM, 1 << 40)
    ids = sorted(h[0] for h in hits)
    m = len(ids)
    if ids != list(range(m)):
        raise AssertionError('ids are not a prefix 0..M-1 (M=%d, first gap near %d)'
                             % (m, next(k for k, v in enumerate(ids) if v != k)))
    if m < synced:
        raise AssertionError('synced inserts lost: child reported %d synced, reopen holds %d'
                             % (synced, m))
    if m > attempted_upto:
        raise AssertionError('reopen holds %d ids, more than were ever inserted (%d)'
                             % (m, attempted_upto))
    # Spot-check by search: the newest ids and a sample.
    probe = set(range(max(0, m - 50), m)) | set(rng.sample(range(m), min(m, 50)))
    for i in probe:
        got = c.search(vector_of(i), 1)
        if got != [(i, 0.0)]:
            raise AssertionError('id %d does not come back at distance 0: %r' % (i, got[:1]))
    del c
    gc.collect()  # the drop writes the buffers out
    # Bit for bit, every record of the data file. A flush cut short by the
    # kill can leave records of ids that the log still holds; the next flush
    # writes those ids again and marks the earlier copies deleted. So marked
    # records may appear, but every record holds its id's vector, and no
    # live record names an id the reopen did not hold.
    for rid, deleted, vec in read_records(os.path.join(path, 'data.vnl')):
        if vec != f32_bits(vector_of(rid)):
            raise AssertionError('record of id %d does not hold its vector bit for bit' % rid)
        if deleted == 0 and rid >= m:
            raise AssertionError('a live record of id %d, which the reopen did not hold' % rid)
    return m


def run(args):
    rng = random.Random(args.seed)
    base = args.workdir or tempfile.mkdtemp(prefix='varnel-kill-')
    os.makedirs(base, exist_ok=True)
    me = os.path.abspath(__file__)
    stats = dict(kills=0, reopened=0, lost=0, max_m=0, inserts_checked=0)
    failures = []
    path, start, generation = None, 0, args.generations
    t0 = time.time()
    for trial in range(args.kills):
        if generation >= args.generations:
            if path:
                shutil.rmtree(path, ignore_errors=True)
            path = os.path.join(base, 'c%d' % trial)
            start, generation = 0, 0
        generation += 1
        child_proc = subprocess.Popen(
            [sys.executable, me, '--child', path, '--start', str(start),
             '--flush-every', str(args.flush_every)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        early = b''
        if rng.random() < 0.2:
            # Killed while starting up or recovering.
            time.sleep(rng.uniform(0.0, 0.3))
        else:
            # Killed while inserting or flushing.
            early = child_proc.stdout.readline()
            time.sleep(rng.uniform(args.min_delay, args.max_delay))
        child_proc.send_signal(signal.SIGKILL)
        out, err = child_proc.communicate()
        out = early + out
        stats['kills'] += 1
        if child_proc.returncode != -signal.SIGKILL:
            failures.append('trial %d: child ended by itself (%s): %s'
                            % (trial, child_proc.returncode, err.decode(errors='replace')[-500:]))
            break
        synced = start
        for line in out.decode().splitlines():
            word, _, n = line.partition(' ')
            if word == 'synced':
                synced = max(synced, int(n))
        try:
            m = verify(path, synced, synced + SYNC_EVERY, rng)
        except Exception as e:  # noqa: BLE001 - any failure of the reopen is a finding
            failures.append('trial %d (dir %s): %s: %s' % (trial, path, type(e).__name__, e))
            stats['lost'] += 1
            if not args.keep_going:
                break
            generation = args.generations  # start over in a fresh directory
            continue
        stats['reopened'] += 1
        stats['max_m'] = max(stats['max_m'], m)
        stats['inserts_checked'] += m
        start = m
        if args.verbose:
            print('trial %d: synced %d, reopened with %d' % (trial, synced, m), flush=True)
    if path and not failures:
        shutil.rmtree(path, ignore_errors=True)
    if not args.workdir and not failures:
        shutil.rmtree(base, ignore_errors=True)
    print('%d kills: %d reopened, %d with synced inserts lost or a failed check; '
          'largest collection %d ids, %d ids checked in all, %.0f s'
          % (stats['kills'], stats['reopened'], stats['lost'], stats['max_m'],
             stats['inserts_checked'], time.time() - t0), flush=True)
    for f in failures:
        print('FAILED ' + f, flush=True)
    return 1 if failures else 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--kills', type=int, default=50)
    p.add_argument('--seed', type=int, default=1)
    p.add_argument('--workdir', help='where the collections go (default: a new temporary dir)')
    p.add_argument('--flush-every', type=int, default=2000)
    p.add_argument('--generations', type=int, default=5,
                   help='kills in a row on one directory before a fresh one')
    p.add_argument('--min-delay', type=float, default=0.0)
    p.add_argument('--max-delay', type=float, default=1.0)
    p.add_argument('--keep-going', action='store_true')
    p.add_argument('--verbose', action='store_true')
    p.add_argument('--child', help=argparse.SUPPRESS)
    p.add_argument('--start', type=int, default=0, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        child(args.child, args.start, args.flush_every)
        return 0
    return run(args)


if __name__ == '__main__':
    sys.exit(main())
