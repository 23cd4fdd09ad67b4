"""A collection's directory renamed or deleted while open: the open handle
keeps writing to the directory it opened, wherever it now is, and never to
whatever a path now names."""
import contextlib
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy")
import varnel  # noqa: E402

from fault_kit import TIMEOUT, read_collection, rows_of, snapshot  # noqa: E402


def vec(i):
    return [float(i), i + 0.5, -float(i), 1.0]


def model(ids):
    return rows_of({i: (vec(i), {}) for i in ids}, 4)


# Creates a new collection (another metric) at argv[1], stores 100 and 101,
# flushes, stores 102..301 in one batch (its log synced, not emptied) and
# says "ready"; then either dies at once (argv[2] == "died", leaving the log
# to replay) or closes when its stdin closes.
NEWCOMER = """
import os, sys, varnel
c = varnel.Collection(sys.argv[1], 4, "dot")
c.upsert([100, 101], [[100.0, 100.5, -100.0, 1.0], [101.0, 101.5, -101.0, 1.0]])
c.flush()
c.upsert(list(range(102, 302)), [[float(i), i + 0.5, -float(i), 1.0] for i in range(102, 302)])
print("ready", flush=True)
if sys.argv[2] == "died":
    os._exit(0)
sys.stdin.read()
c.close()
"""


@pytest.mark.parametrize("newcomer", ["died", "open"])
def test_renamed_directory_keeps_the_old_handle_away_from_the_old_path(tmp_path, newcomer):
    p, q = tmp_path / "p", tmp_path / "q"
    old = varnel.Collection(p, 4, "euclidean")
    old.upsert([1, 2], [vec(1), vec(2)])
    old.flush()
    old.upsert(3, vec(3))
    p.rename(q)
    other = subprocess.Popen([sys.executable, "-c", textwrap.dedent(NEWCOMER), str(p), newcomer],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert other.stdout.readline() == "ready\n", other.stderr.read()
        if newcomer == "died":
            other.communicate("", timeout=TIMEOUT)
        at_p = snapshot(p)
        assert at_p["wal.log"]
        old.upsert(4, vec(4))
        old.flush()
        old.upsert(5, vec(5))
        old.close()
        assert snapshot(p) == at_p  # wal.log, meta.json and data.vnl byte for byte
    finally:
        other.communicate("", timeout=TIMEOUT)
    assert other.returncode == 0, other.stderr
    assert read_collection(q) == model([1, 2, 3, 4, 5])
    assert read_collection(p) == model(range(100, 302))


@pytest.mark.parametrize("call", ["flush", "close"])
def test_deleted_directory_fails_clearly_and_creates_nothing(tmp_path, call):
    p = tmp_path / "p"
    old = varnel.Collection(p, 4, "euclidean")
    old.upsert([1, 2], [vec(1), vec(2)])
    old.flush()
    old.upsert(3, vec(3))
    shutil.rmtree(p)
    with pytest.raises(OSError):
        getattr(old, call)()
    assert not p.exists()
    with contextlib.suppress(OSError):
        old.close()
    assert not p.exists()
