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


def run_and_kill(report, args, word, delay):
    """Runs a child Python with `args`, its output going to `report`, and
    SIGKILLs it `delay` seconds after it first prints `word` (its start-up
    takes as long as the machine makes it). Gives the lines it printed whole
    (the kill may land in the middle of one)."""
    with open(report, "w") as out:
        child = subprocess.Popen([sys.executable, "-c", *args], stdout=out)
        deadline = time.monotonic() + 120
        while word not in report.read_text() and child.poll() is None:
            assert time.monotonic() < deadline, f"the child never printed {word!r}"
            time.sleep(0.02)
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL
    return report.read_text().split("\n")[:-1]


def vec(j, updated):
    return np.arange(DIM, dtype=np.float32) + j * 16 + (0.5 if updated else 0.0)


def change_op(j):
    """The op that updates or deletes id j."""
    return 2 * (j + LAG) + 1


@pytest.mark.parametrize("seed", range(6))
def test_every_synced_operation_survives_a_kill(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "c")
    lines = run_and_kill(tmp_path / "report", [CHILD, path], "synced", rng.uniform(0.0, 1.5))
    synced = 0
    for line in lines:
        if line.startswith("synced "):
            synced = int(line.split()[1])
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


BATCH_CHILD = r"""
import sys, numpy as np
face, path = sys.argv[1], sys.argv[2]
import varnel, _varnel
if face == "varnel":
    c = varnel.Collection(path, 16, "euclidean", threads=1)
    write = lambda ids, rows: c.upsert(ids, rows)
else:
    c = _varnel.Collection.open_or_create(path, 16, "euclidean")
    write = lambda ids, rows: c.insert_batch(ids.tolist(), rows)
start = 0
while True:
    ids = np.arange(start, start + 250, dtype=np.uint64)
    rows = (np.arange(16, dtype=np.float32) + ids[:, None].astype(np.float32) / 7).astype(np.float32)
    write(ids, rows)
    start += 250
    print("acked", start, flush=True)
"""


@pytest.mark.parametrize("face", ["varnel", "_varnel"])
@pytest.mark.parametrize("seed", range(3))
def test_batch_writes_killed_keep_a_whole_prefix(tmp_path, face, seed):
    # A batch write lets the log's fsync run behind its next changes and
    # waits for it before returning: once a call has returned, every 100th
    # change before its end is durable, and the log left by a kill in the
    # middle of a batch (a sync still running, a frame half written) opens
    # to a prefix of the writes, bit for bit.
    rng = random.Random(seed)
    path = str(tmp_path / "c")
    lines = run_and_kill(tmp_path / "report", [BATCH_CHILD, face, path], "acked", rng.uniform(0.0, 1.0))
    acked = max(int(line.split()[1]) for line in lines)
    with varnel.Collection(path) as c:
        held = np.sort(c.ids())
        assert held.tolist() == list(range(len(held)))
        assert len(held) >= acked - acked % 100
        for i in rng.sample(range(len(held)), 50) + [len(held) - 1]:
            want = (np.arange(16, dtype=np.float32) + np.float32(i) / 7).astype(np.float32)
            assert c.get(i)[0].tobytes() == want.tobytes(), i
