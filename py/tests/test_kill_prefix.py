"""SIGKILL after a short run of single changes: the reopened collection is
the state after some prefix of the acknowledged changes, never a mix (a
delete lost while the upserts made after it survived)."""
import os
import random
import signal
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")

from fault_kit import TIMEOUT, difference, read_collection, rows_of  # noqa: E402

DIM = 64  # the data file's 8 KiB buffer fills late in the run, while the log's still holds the delete

# 26 upserts (ids 0..25), delete(5), 3 upserts (ids 26..28): one call each.
STEPS = [("upsert", i) for i in range(26)] + [("delete", 5)] + [("upsert", i) for i in range(26, 29)]

# argv: path, last step. Prints each step's number once its call returned;
# after the last one it waits to be killed.
CHILD = """
import sys
import numpy as np
import varnel
path, last = sys.argv[1], int(sys.argv[2])
steps = [("upsert", i) for i in range(26)] + [("delete", 5)] + [("upsert", i) for i in range(26, 29)]
c = varnel.Collection(path, 64, "euclidean")
for n, (what, i) in enumerate(steps[:last], 1):
    if what == "upsert":
        c.upsert(i, np.arange(64, dtype=np.float32) * (i + 1), {"i": i})
    else:
        c.delete(i)
    print(n, flush=True)
sys.stdin.read()
"""


def state_after(n):
    rows = {}
    for what, i in STEPS[:n]:
        if what == "upsert":
            rows[i] = ((np.arange(DIM, dtype=np.float32) * (i + 1)).tolist(), {"i": i})
        else:
            rows.pop(i, None)
    return rows_of(rows, DIM)


SEED = int(os.environ.get("VARNEL_KILL_SEED", random.randrange(2**32)))
KILL_AFTER = [len(STEPS)] + random.Random(SEED).sample(range(1, len(STEPS)), 4)


@pytest.mark.parametrize("last", KILL_AFTER)
def test_reopen_after_kill_is_a_prefix_of_the_acknowledged_changes(tmp_path, last):
    path = tmp_path / "c"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), str(path), str(last)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        acknowledged = [child.stdout.readline() for _ in range(last)]
        assert acknowledged[-1] == f"{last}\n", child.stderr.read()
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=TIMEOUT)
    got = read_collection(path)
    prefixes = [n for n in range(last + 1) if state_after(n) == got]
    assert prefixes, (f"seed {SEED}: killed after step {last}, the reopened collection is no prefix; "
                      f"against all {last} steps: {difference(got, state_after(last))}")
