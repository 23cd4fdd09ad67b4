"""A full disk, for real: a small tmpfs is filled to leave N bytes free, one
operation runs, the space comes back, the handle is closed and a fresh
process reopens the collection. For N = 0, 4 KiB, 8 KiB, ... until the
operation has succeeded twice in a row, every run must end in one of two
ways: the operation raised ENOSPC and the collection is as it was before
it, or it succeeded and the collection is as it is after it. Needs root."""
import os
import subprocess

import pytest

pytest.importorskip("numpy")

from fault_kit import TIMEOUT, difference, json_lines, read_collections, run_py  # noqa: E402

ENOSPC = "No space left on device"


@pytest.fixture
def tmpfs(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # a sanitizer run preloads its runtime
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mnt)],
                             capture_output=True, text=True, timeout=TIMEOUT, env=env)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], timeout=TIMEOUT, env=env)


# argv: op, tmpfs, work directory. Builds the template (ids 0..59 durable,
# dimension 64, payloads; for "open" also a synced log of 90 upserts and 10
# deletes left by a process that died), the reference collections before
# and after the operation on the ordinary disk, then sweeps the free space.
# Prints one JSON line per case and a last line with the references.
# "replace" replaces durable id 1 as the log's 100th append, which writes
# the buffered frames out; "replace wide" does it with dimension 2048, whose
# log frame and record are each larger than their file's buffer, so that
# the log's write can succeed and the data file's fail.
RUNNER = r"""
import gc, json, os, shutil, subprocess, sys
import numpy as np
import varnel
op, mnt, work = sys.argv[1:4]
DIM = 2048 if op == "replace wide" else 64
def vec(i, salt=0):
    return np.arange(DIM, dtype=np.float32) + i * 100 + salt
def pay(i, salt=0):
    return {"i": i, "salt": salt}
def upsert_each(c, ids, salt=0):
    for i in ids:
        c.upsert(i, vec(i, salt), pay(i, salt))

template = os.path.join(work, "template")
c = varnel.Collection(template, DIM, "euclidean")
c.upsert(np.arange(60), np.stack([vec(i) for i in range(60)]), [pay(i) for i in range(60)])
c.close()
if op == "open":
    subprocess.run([sys.executable, "-c",
        "import os, sys, numpy as np, varnel\n"
        "c = varnel.Collection(sys.argv[1])\n"
        "for i in range(60, 150):\n"
        "    c.upsert(i, np.arange(64, dtype=np.float32) + i * 100, {'i': i, 'salt': 0})\n"
        "for i in range(10):\n"
        "    c.delete(i)\n"
        "os._exit(0)\n", template], check=True, timeout=60)
    assert os.path.getsize(os.path.join(template, "wal.log")) > 0

def pre(c):
    if op == "replace":
        upsert_each(c, range(1000, 1099))  # the op is the log's 100th append
    elif op == "delete":
        upsert_each(c, range(1000, 1090))  # the op's appends reach the 100th
    elif op in ("flush", "compact"):
        upsert_each(c, range(30, 180), salt=7)
        for i in range(10):
            c.delete(i)

def run_op(c, path):
    if op in ("replace", "replace wide"):
        c.upsert(1, vec(1, 7), pay(1, 7))
    elif op == "upsert batch":
        ids = np.arange(30, 130)
        c.upsert(ids, np.stack([vec(i, 7) for i in ids]), [pay(int(i), 7) for i in ids])
    elif op == "delete":
        c.delete(list(range(40)))
    elif op == "flush":
        c.flush()
    elif op == "compact":
        c.compact()

def reference(name, with_op):
    path = os.path.join(work, name)
    shutil.copytree(template, path)
    if op != "open":
        c = varnel.Collection(path)
        pre(c)
        if with_op:
            run_op(c, path)
        c.close()
    return path

before = reference("before", False)
after = reference("after", True)
opened = reference("opened", False)  # for "open": the data file after one clean open
varnel.Collection(opened).close()

def fill(leave):
    st = os.statvfs(mnt)
    size = st.f_bavail * st.f_frsize - leave
    fd = os.open(os.path.join(mnt, "filler"), os.O_CREAT | os.O_WRONLY, 0o600)
    try:
        if size > 0:
            os.posix_fallocate(fd, 0, size)
    finally:
        os.close(fd)

def text(e):
    return f"{type(e).__name__}: {e}"

free, successes = 0, 0
while successes < 2:
    assert free <= 1 << 20, "the operation never succeeded"
    path = os.path.join(mnt, f"case-{free}")
    shutil.copytree(template, path)
    case = {"op": op, "free": free, "error": None, "close_error": None}
    c = None
    if op != "open":
        c = varnel.Collection(path)
        pre(c)
    fill(free)
    try:
        if op == "open":
            files = lambda: [open(os.path.join(path, n), "rb").read() for n in ("meta.json", "wal.log", "data.vnl")]
            unopened = files()
            for attempt in range(3):  # a refused open leaves the files as it found them
                try:
                    c = varnel.Collection(path)
                    break
                except OSError as e:
                    case["error"] = text(e)
            if c is not None:
                case["error"] = None
            else:
                case["refusal_changed_files"] = files() != unopened
        else:
            run_op(c, path)
    except Exception as e:
        case["error"] = text(e)
    os.unlink(os.path.join(mnt, "filler"))
    if op == "open" and c is None:
        try:
            c = varnel.Collection(path)
        except Exception as e:
            case["close_error"] = text(e)
    if c is not None:
        try:
            c.close()
        except Exception as e:
            case["close_error"] = text(e)
    del c
    gc.collect()
    case["dir"] = os.path.join(work, f"case-{free}")
    shutil.copytree(path, case["dir"])
    shutil.rmtree(path)
    case["data_size"] = os.path.getsize(os.path.join(case["dir"], "data.vnl"))
    print(json.dumps(case), flush=True)
    successes = successes + 1 if case["error"] is None else 0
    free += 4096
print(json.dumps({"before": before, "after": after,
                  "opened_data_size": os.path.getsize(os.path.join(opened, "data.vnl"))}))
"""

OPS = ["replace", "replace wide", "upsert batch", "delete", "flush", "compact", "open"]


@pytest.mark.parametrize("op", OPS)
def test_full_disk_gives_the_state_before_or_after(tmpfs, tmp_path, op):
    work = tmp_path / "work"
    work.mkdir()
    *cases, refs = json_lines(run_py(RUNNER, op, tmpfs, work))
    states = read_collections([refs["before"], refs["after"]] + [c["dir"] for c in cases])
    before, after = states[refs["before"]], states[refs["after"]]
    assert isinstance(before, dict) and isinstance(after, dict), (before, after)
    failed = sum(c["error"] is not None for c in cases)
    print(f"{op}: {len(cases)} free-space cases, {failed} ended in ENOSPC")
    for c in cases:
        got = states[c["dir"]]
        where = f"{op} with {c['free']} bytes free: error {c['error']!r}, close error {c['close_error']!r}"
        if c["error"] is None:
            assert got == after, f"{where}; success but {difference(got, after)}"
        else:
            assert ENOSPC in c["error"], where
            assert got == before, f"{where}; {difference(got, before)}"
        if op == "open":  # and the open once space is back finds them so
            assert not c.get("refusal_changed_files"), where
            assert c["close_error"] is None, where
            assert c["data_size"] == refs["opened_data_size"], where
    if op != "open":  # an open may replay into memory only and write nothing
        assert failed > 0, f"{op} never met the full disk"
