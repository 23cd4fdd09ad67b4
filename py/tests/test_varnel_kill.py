"""Kill test of the varnel package: a child process upserts, updates,
deletes, flushes and compacts a collection and is killed with SIGKILL at a
random moment; every operation synced before the kill must be there.

Op n (from 0): even n inserts id n // 2; odd n reaches back to the id j
inserted 38 ops earlier and updates it (j even) or deletes it (j odd). So
an id's insert and its later change straddle the log's syncs (every 100th
append, and every flush or compact), which is where a deleted marker
written too early would lose a durable value.
"""

import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import varnel

DIM = 8
LAG = 37  # an odd op reaches back to the id inserted 2 * LAG + 1 ops earlier
SYNC_EVERY = 100

CHILD = r"""
import sys, numpy as np, varnel
path = sys.argv[1]
def vec(j, updated):
    return np.arange(8, dtype=np.float32) + j * 16 + (0.5 if updated else 0.0)
c = varnel.Collection(path, 8, "euclidean", threads=1)
since = 0
n = 0
while True:
    if n % 2 == 0:
        c.upsert(n // 2, vec(n // 2, False), {"j": n // 2})
    else:
        j = (n - 1) // 2 - 37
        if j >= 0 and j % 2 == 0:
            c.upsert(j, vec(j, True), {"j": j, "updated": True})
        elif j >= 0:
            c.delete(j)
        else:
            c.upsert(10**9 + n, vec(0, False))  # one append per op, from the start
    n += 1
    since += 1
    if since == 100:
        since = 0
        print("synced", n, flush=True)
    if n % 700 == 0:
        (c.compact if n % 1400 == 0 else c.flush)()
        since = 0
        print("synced", n, flush=True)
"""


def vec(j, updated):
    return np.arange(DIM, dtype=np.float32) + j * 16 + (0.5 if updated else 0.0)


def change_op(j):
    """The op that updates or deletes id j."""
    return 2 * (j + LAG) + 1


@pytest.mark.parametrize("seed", range(6))
def test_every_synced_operation_survives_a_kill(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "c")
    report = tmp_path / "report"
    with open(report, "w") as out:
        child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=out)
        time.sleep(rng.uniform(0.8, 2.5))
        child.send_signal(signal.SIGKILL)
        child.wait()
    synced = 0
    for line in report.read_text().splitlines():
        if line.startswith("synced "):
            synced = int(line.split()[1])
    assert child.returncode == -signal.SIGKILL
    assert synced > 0, "the child synced nothing before the kill"

    with varnel.Collection(path) as c:
        stored = {i for i in c.ids().tolist() if i < 10**9}
        for j in sorted(stored | {j for j in range(synced // 2)}):
            inserted_synced = 2 * j < synced
            change_synced = change_op(j) < synced
            entry = c.get(j)
            if inserted_synced and change_synced:
                if j % 2:
                    assert entry is None, f"id {j}: its synced delete was lost"
                else:
                    assert entry is not None, f"id {j}: lost"
                    assert entry[0].tobytes() == vec(j, True).tobytes() and entry[1] == {"j": j, "updated": True}
            elif inserted_synced:
                if j % 2 == 0:
                    assert entry is not None, f"id {j}: a durable value was lost by an unsynced update"
                if entry is not None:
                    allowed = [vec(j, False).tobytes()] + ([vec(j, True).tobytes()] if j % 2 == 0 else [])
                    assert entry[0].tobytes() in allowed
            elif entry is not None:
                assert entry[0].tobytes() in (vec(j, False).tobytes(), vec(j, True).tobytes())
        # Search agrees with get.
        hits = c.search(vec(0, False), len(c))
        assert sorted(hits.ids.tolist()) == sorted(c.ids().tolist())
