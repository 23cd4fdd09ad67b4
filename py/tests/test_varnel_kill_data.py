"""SIGKILL during partial updates and deletes by filter: the reopened
collection is the state after a prefix of the acknowledged calls (one call
more when its acknowledgement was not yet printed), never a mix."""

import random
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import varnel

# Call n: n % 4 == 0, 1: upsert id n (g = n % 5); 2: update ids n - 2 and
# |n - 9| (vector and a merged payload member); 3: delete every row of group
# (n // 4) % 5. A flush every 50 calls.
CHILD = r"""
import sys, numpy as np, varnel
c = varnel.Collection(sys.argv[1], 4, "euclidean", threads=1)
n = 0
while True:
    if n % 4 < 2:
        c.upsert(n, np.full(4, n, dtype=np.float32), {"g": n % 5, "n": n})
    elif n % 4 == 2:
        c.update([n - 2, abs(n - 9)], np.full((2, 4), -n, dtype=np.float32), [{"u": n}, {"u": n}])
    else:
        c.delete(where={"g": (n // 4) % 5})
    if n % 50 == 49:
        c.flush()
    print(n, flush=True)
    n += 1
"""


def model_states():
    """The state after each call, one by one: {id: (vector value, payload)}."""
    rows = {}
    n = 0
    while True:
        yield rows
        if n % 4 < 2:
            rows[n] = (float(n), {"g": n % 5, "n": n})
        elif n % 4 == 2:
            for i in (n - 2, abs(n - 9)):
                if i in rows:
                    rows[i] = (float(-n), {**rows[i][1], "u": n})
        else:
            rows = {i: r for i, r in rows.items() if r[1]["g"] != (n // 4) % 5}
        n += 1


@pytest.mark.parametrize("seed", range(4))
def test_kill_keeps_a_prefix_of_updates_and_filtered_deletes(tmp_path, seed):
    path = tmp_path / "c"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), str(path)],
                             stdout=subprocess.PIPE, text=True)
    acknowledged = -1
    deadline = time.monotonic() + random.Random(seed).uniform(0.2, 1.0)
    try:
        while time.monotonic() < deadline or acknowledged < 20:
            line = child.stdout.readline()
            if not line:
                break
            acknowledged = int(line)
    finally:
        child.kill()
        # What the child printed before the kill but was not read yet (read
        # through the same buffered stream as the lines before it).
        rest = child.stdout.read()
        child.wait(timeout=60)
    for line in rest.splitlines():
        if line.strip().isdigit():
            acknowledged = int(line)
    assert acknowledged >= 20, "the child died early"
    c = varnel.Collection(path)
    rows = c.scan(vectors=True)
    got = {int(i): (float(v[0]), p) for i, v, p in zip(rows.ids, rows.vectors, rows.payloads)}
    assert all((v == v[0]).all() for v in rows.vectors)
    c.close()
    # Calls 0..acknowledged returned; the next may have been applied too.
    for n, state in enumerate(model_states()):  # n: the calls applied
        if state == got:
            break
        assert n < acknowledged + 2, f"the reopened rows are no prefix of the {acknowledged + 1} calls made"
