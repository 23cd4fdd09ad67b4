"""Collections and real processes: one writer process per collection, the
directory bound at open, and batch calls that answer SIGINT. Children are
fresh interpreters of the same kind as the one running the tests."""
import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from _varnel import Collection

IN_USE = "collection error: the collection is in use by another process"

# A child that opens the collection at argv[1] (dimension 3), inserts id 1
# and flushes, says "open" and holds it until its stdin closes.
HOLDER = """
import sys
from _varnel import Collection
c = Collection.open_or_create(sys.argv[1], 3, "euclidean")
c.insert(1, [1.0, 2.0, 3.0])
c.flush()
print("open", flush=True)
sys.stdin.read()
"""


def child(code, *args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, **kwargs)


def start_holder(path):
    p = child(HOLDER, path)
    assert p.stdout.readline() == "open\n", p.stderr.read()
    return p


def snapshot(path):
    return {name: (path / name).read_bytes() for name in sorted(os.listdir(path))}


def ids_in(c, n=10**6):
    return sorted(h[0] for h in c.search([0.0, 0.0, 0.0], n))


def test_second_process_is_refused_and_changes_nothing(tmp_path):
    path = tmp_path / "c"
    holder = start_holder(path)
    try:
        # A torn last frame in the log, and no meta.json: an open that went on
        # would cut the frame away and write meta.json.
        with open(path / "wal.log", "ab") as f:
            f.write(b"\x01\x02")
        os.unlink(path / "meta.json")
        before = snapshot(path)
        p = child("""
            import sys
            from _varnel import Collection
            try:
                Collection.open_or_create(sys.argv[1], 3, "euclidean")
            except OSError as e:
                print(e)
        """, path)
        out, err = p.communicate(timeout=60)
        assert out == f"{IN_USE} (pid {holder.pid})\n", err
        assert snapshot(path) == before
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


@pytest.mark.parametrize("end", ["exit", "sigkill"])
def test_opens_once_the_holder_is_gone(tmp_path, end):
    path = tmp_path / "c"
    holder = start_holder(path)
    with pytest.raises(OSError, match="in use by another process"):
        Collection.open_or_create(str(path), 3, "euclidean")
    if end == "exit":
        holder.stdin.close()
    else:
        holder.send_signal(signal.SIGKILL)
    holder.wait(timeout=60)
    c = Collection.open_or_create(str(path), 3, "euclidean")
    assert ids_in(c) == [1]


RACER = """
import sys, time
from _varnel import Collection
start = float(sys.argv[2])
while time.time() < start:
    pass
try:
    c = Collection.open_or_create(sys.argv[1], 3, "euclidean")
    print("ok", flush=True)
except OSError as e:
    print(e, flush=True)
sys.stdin.read()
"""


def test_racing_creators_give_one_success_and_one_refusal(tmp_path):
    outcomes = []
    for trial in range(20):
        path = tmp_path / f"c{trial}"
        start = time.time() + 1.0  # both interpreters are up by then
        racers = [child(RACER, path, start) for _ in range(2)]
        lines = sorted((p.stdout.readline().strip() for p in racers), key=lambda t: t != "ok")
        for p in racers:
            p.stdin.close()
            p.wait(timeout=60)
        outcomes.append(lines)
        assert lines[0] == "ok", lines
        assert lines[1].startswith(IN_USE), lines
        c = Collection.open_or_create(str(path), 3, "euclidean")
        assert sorted(os.listdir(path)) == ["data.vnl", "meta.json", "wal.log"]
        del c
        gc.collect()
    assert len(outcomes) == 20


def test_same_process_opens_share_the_lock(tmp_path):
    path = tmp_path / "c"
    a = Collection.open_or_create(str(path), 3, "euclidean")
    b = Collection.open_or_create(str(path), 3, "euclidean")
    a.insert(1, [1.0, 0.0, 0.0])
    b.insert(2, [2.0, 0.0, 0.0])
    a.flush()
    del a
    gc.collect()
    # b still holds the lock for this process.
    p = child(HOLDER, path)
    out, _ = p.communicate("", timeout=60)
    assert "open" not in out
    del b
    gc.collect()
    holder = start_holder(path)  # the last object is gone: another process may open
    holder.stdin.close()
    assert holder.wait(timeout=60) == 0


def test_chdir_after_relative_open_reaches_the_opened_directory(tmp_path):
    (tmp_path / "one").mkdir()
    (tmp_path / "two").mkdir()
    cwd = os.getcwd()
    try:
        os.chdir(tmp_path / "two")
        other = Collection.open_or_create("c", 3, "euclidean")
        other.insert(7, [7.0, 7.0, 7.0])
        other.flush()
        del other
        gc.collect()
        os.chdir(tmp_path / "one")
        c = Collection.open_or_create("c", 3, "euclidean")
        os.chdir(tmp_path / "two")  # now holds a different "c"
        c.insert(1, [1.0, 2.0, 3.0])
        c.flush()
        c.insert(2, [2.0, 2.0, 3.0])
        del c
        gc.collect()
    finally:
        os.chdir(cwd)
    assert ids_in(Collection.open_or_create(str(tmp_path / "one" / "c"), 3, "euclidean")) == [1, 2]
    gc.collect()
    two = Collection.open_or_create(str(tmp_path / "two" / "c"), 3, "euclidean")
    assert ids_in(two) == [7]
    assert '"next_id": 8' in (tmp_path / "two" / "c" / "meta.json").read_text()


INTERRUPTED = """
import gc, sys, time
from _varnel import Collection, Index
kind, n, d = sys.argv[1], int(sys.argv[3]), 64
try:
    import numpy
    rows = numpy.ones((n, d), dtype=numpy.float32)
except ImportError:
    from array import array
    rows = memoryview(array("f", [1.0]) * (n * d)).cast("B").cast("f", (n, d))
if kind == "collection":
    target = Collection.open_or_create(sys.argv[2], d, "euclidean")
else:
    target = Index("euclidean", d)
print("ready", flush=True)
try:
    target.insert_batch(list(range(n)), rows)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
del target
gc.collect()
"""


def test_sigint_stops_a_long_insert_batch(tmp_path):
    # Index.insert_batch runs the same loop, too fast to catch in the middle
    # with a batch of reasonable size; Index.search_batch is caught below.
    kind, n = "collection", 1_000_000
    path = tmp_path / "c"
    p = child(INTERRUPTED, kind, path, n)
    assert p.stdout.readline() == "ready\n", p.stderr.read()
    time.sleep(0.5)  # well inside the batch
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=120)
    words = out.split()
    assert words[0] == "interrupted", (out, err)
    delay = float(words[1]) - sent
    print(f"{kind}: SIGINT took effect after {delay * 1000:.1f} ms")
    assert delay < 2.0  # the target is 0.2 s; a loaded machine gets slack
    c = Collection.open_or_create(str(path), 64, "euclidean")
    kept = sorted(h[0] for h in c.search([1.0] * 64, n))
    print(f"kept {len(kept)} of {n}")
    assert 0 < len(kept) < n
    assert kept == list(range(len(kept)))  # a prefix of the batch


SEARCH_INTERRUPTED = """
import signal, sys, time
from array import array
from _varnel import Collection, Index
kind, handler = sys.argv[1], sys.argv[2]
d, rows = 64, 200_000
if kind == "collection":
    target = Collection.open_or_create(sys.argv[3], d, "euclidean")
else:
    target = Index("euclidean", d)
flat = memoryview(array("f", [1.0]) * (rows * d)).cast("B").cast("f", (rows, d))
target.insert_batch(list(range(rows)), flat)
queries = memoryview(array("f", [0.5]) * (4000 * d)).cast("B").cast("f", (4000, d))
seen = []
if handler == "quiet":
    # A handler that does not raise: the search goes on to its end.
    signal.signal(signal.SIGINT, lambda *_: seen.append(time.monotonic()))
print("ready", flush=True)
try:
    hits = target.search_batch(queries, 5)
    print("finished", len(hits), len(seen), hits[-1] == target.search([0.5] * d, 5), flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


@pytest.mark.parametrize("kind", ["index", "collection"])
def test_sigint_stops_a_long_search_batch(kind, tmp_path):
    p = child(SEARCH_INTERRUPTED, kind, "raise", tmp_path / "c")
    assert p.stdout.readline() == "ready\n", p.stderr.read()
    time.sleep(0.5)
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=300)
    words = out.split()
    assert words[0] == "interrupted", (out, err)
    delay = float(words[1]) - sent
    print(f"{kind} search_batch: SIGINT took effect after {delay * 1000:.1f} ms")
    assert delay < 2.0


def test_a_handler_that_does_not_raise_lets_search_batch_finish():
    p = child(SEARCH_INTERRUPTED, "index", "quiet", "-")
    assert p.stdout.readline() == "ready\n", p.stderr.read()
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=300)
    # The handler ran once, and every list is whole.
    assert out.split() == ["finished", "4000", "1", "True"], (out, err)
