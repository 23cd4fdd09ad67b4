"""fork() with a collection open: the child's inherited handle refuses every
call and changes nothing on disk, the child's exit never hangs, and the
child's copy of the writer lock never outlives the parent's close."""
import pytest

pytest.importorskip("numpy")

from fault_kit import json_lines, read_collection, rows_of, run_py  # noqa: E402

DIM = 4

# argv: path, module, call, ending, rows. The parent stores ids 0..rows-1 in
# one batch (its log's sync may still be running behind it), forks, and the
# child makes one call through the inherited handle ("none": no call) and
# exits by os._exit or by an ordinary interpreter shutdown with the handle
# still referenced. The parent waits (at most 20 s; a hang is reported, not
# waited out), compares the directory's bytes, stores id `rows` and closes.
FORKER = r"""
import gc, json, os, signal, sys, time
import numpy as np
import _varnel, varnel
path, module, call, ending, rows = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
def vecs(ids):
    return np.array([[i, i + 0.5, -i, 1.0] for i in ids], dtype=np.float32)
def snapshot():
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))}
if module == "varnel":
    c = varnel.Collection(path, 4, "euclidean")
    c.upsert(np.arange(rows), vecs(range(rows)))
else:
    c = _varnel.Collection.open_or_create(path, 4, "euclidean")
    c.insert_batch(list(range(rows)), vecs(range(rows)))
v = vecs([99])[0]
CALLS = {
    "upsert": lambda: c.upsert(99, v), "delete": lambda: c.delete([0]), "get": lambda: c.get(0),
    "search": lambda: c.search(v, 1), "len": lambda: len(c), "flush": lambda: c.flush(),
    "compact": lambda: c.compact(), "close": lambda: c.close(),
    "insert": lambda: c.insert(99, v), "insert_batch": lambda: c.insert_batch([99], [v]),
}
before = snapshot()
parent = os.getpid()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    said = "no call"
    if call != "none":
        try:
            CALLS[call]()
            said = "returned"
        except BaseException as e:
            said = f"{type(e).__name__}: {e}"
    os.write(w, said.encode())
    os.close(w)
    if ending == "_exit":
        os._exit(0)
    sys.exit(0)
os.close(w)
said = b""
while chunk := os.read(r, 4096):
    said += chunk
hung = True
for _ in range(2000):
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        hung = False
        break
    time.sleep(0.01)
if hung:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
unchanged = snapshot() == before
if module == "varnel":
    c.upsert(rows, vecs([rows])[0])
    c.close()
else:
    c.insert(rows, vecs([rows])[0])
    del c, CALLS
    gc.collect()
print(json.dumps({"parent": parent, "child": said.decode(), "hung": hung,
                  "status": status if not hung else None, "unchanged": unchanged}))
"""

REFUSED = [("varnel", call) for call in ("upsert", "delete", "get", "search", "len", "flush", "compact", "close")]
REFUSED += [("_varnel", call) for call in ("insert", "insert_batch", "search", "flush")]


def fork_case(tmp_path, module, call, ending, rows):
    path = tmp_path / "c"
    (out,) = json_lines(run_py(FORKER, path, module, call, ending, rows))
    assert not out["hung"], f"the child never ended: {out}"
    assert out["status"] == 0, out
    assert out["unchanged"], f"the child changed the directory: {out}"
    want = rows_of({i: ([i, i + 0.5, -i, 1.0], {}) for i in range(rows + 1)}, DIM)
    assert read_collection(path) == want  # exactly the parent's writes
    return out


@pytest.mark.parametrize("module,call", REFUSED)
def test_inherited_handle_refuses_every_call_in_the_child(tmp_path, module, call):
    out = fork_case(tmp_path, module, call, "_exit", 3)
    assert out["child"].startswith("OSError: "), out
    assert (f"this collection was opened by process {out['parent']}; open it again in this process"
            in out["child"]), out


@pytest.mark.parametrize("module", ["varnel", "_varnel"])
@pytest.mark.parametrize("ending", ["_exit", "shutdown"])
def test_child_exit_after_a_batch_never_hangs_nor_writes(tmp_path, module, ending):
    fork_case(tmp_path, module, "none", ending, 1000)


# argv: path, module. Opens the collection, stores id 1, starts a fork pool
# of 2 workers (kept alive), closes; then the parent, a new process and one
# of the pool's workers (forked while the collection was open) each open it
# and store one id (2, 3, 4). Prints one JSON line per step.
POOLED = r"""
import gc, json, multiprocessing, os, subprocess, sys
import _varnel, varnel
path, module = sys.argv[1], sys.argv[2]
def vec(i):
    return [float(i), i + 0.5, -float(i), 1.0]
def store(i):
    c = varnel.Collection(path)
    c.upsert(i, vec(i))
    c.close()
    return os.getpid()
if module == "varnel":
    c = varnel.Collection(path, 4, "euclidean")
    c.upsert(1, vec(1))
else:
    c = _varnel.Collection.open_or_create(path, 4, "euclidean")
    c.insert(1, vec(1))
def worker_pid(_):
    return os.getpid()
pool = multiprocessing.get_context("fork").Pool(2)
pool.map(worker_pid, range(8), chunksize=1)  # the workers are forked while it is open
if module == "varnel":
    c.close()
del c
gc.collect()
def step(name, fn):
    try:
        fn()
        print(json.dumps({"step": name, "error": None}), flush=True)
    except Exception as e:
        print(json.dumps({"step": name, "error": f"{type(e).__name__}: {e}"}), flush=True)
step("parent", lambda: store(2))
def in_new_process():
    done = subprocess.run([sys.executable, "-c", "import sys, varnel; c = varnel.Collection(sys.argv[1]); "
                           "c.upsert(3, [3.0, 3.5, -3.0, 1.0]); c.close()", path],
                          timeout=15, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr.strip().splitlines()[-1:]
step("new process", in_new_process)
def in_worker():
    # Either worker may take it (one may have run every task above).
    assert pool.apply_async(store, (4,)).get(timeout=15) != os.getpid()
step("pool worker", in_worker)
pool.terminate()
"""


@pytest.mark.parametrize("module", ["varnel", "_varnel"])
def test_living_fork_pool_keeps_no_lock_after_close(tmp_path, module):
    path = tmp_path / "c"
    steps = json_lines(run_py(POOLED, path, module))
    assert [s["step"] for s in steps] == ["parent", "new process", "pool worker"]
    assert [s for s in steps if s["error"]] == []
    want = rows_of({i: ([i, i + 0.5, -i, 1.0], {}) for i in (1, 2, 3, 4)}, DIM)
    assert read_collection(path) == want
