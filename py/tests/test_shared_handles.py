"""Several handles on one directory: within one process every handle, from
either module, reads and writes one collection; between processes, racing
creators never leave a handle searching with another metric than the one
stored."""
import gc
import json
import subprocess
import sys
import textwrap
import time

import pytest

np = pytest.importorskip("numpy")
import _varnel  # noqa: E402
import varnel  # noqa: E402

from fault_kit import TIMEOUT, difference, read_collection, rows_of  # noqa: E402

DIM = 4


def vec(i):
    return [float(i), i + 0.5, -float(i), 1.0]


def open_with(module, path):
    if module == "varnel":
        return varnel.Collection(path, DIM, "euclidean")
    return _varnel.Collection.open_or_create(str(path), DIM, "euclidean")


def write(handle, ids):
    if isinstance(handle, varnel.Collection):
        handle.upsert(ids, [vec(i) for i in ids])
    else:
        handle.insert_batch(ids, [vec(i) for i in ids])


def close(handle):
    if isinstance(handle, varnel.Collection):
        handle.close()


def assert_sees(handle, ids, gone=()):
    """The handle sees exactly `ids`, through every reading call it has."""
    if isinstance(handle, varnel.Collection):
        assert len(handle) == len(ids)
        assert handle.ids().tolist() == sorted(ids)
        for i in ids:
            assert i in handle
            assert handle.get(i)[0].tolist() == vec(i)
            assert handle.search(vec(i), 1).ids.tolist() == [i]
        for i in gone:
            assert i not in handle and handle.get(i) is None
    else:
        assert sorted(h[0] for h in handle.search(vec(0), 1000)) == sorted(ids)
        for i in ids:
            assert handle.search(vec(i), 1) == [(i, 0.0)]


PAIRS = [(w, f) for w in ("varnel", "_varnel") for f in ("varnel", "_varnel")]


@pytest.mark.parametrize("writer,other", PAIRS)
def test_handles_in_one_process_share_one_collection(tmp_path, writer, other):
    path = tmp_path / "c"
    a = open_with(writer, path)
    b = open_with(other, path)
    write(a, [1, 2, 3])
    assert_sees(b, [1, 2, 3])
    a.flush()
    b.compact() if other == "varnel" else b.flush()  # b's view must hold a's rows
    write(b, [4])
    assert_sees(a, [1, 2, 3, 4])
    want = {1, 2, 3, 4}
    if other == "varnel":  # a record written through a, deleted through b
        assert b.delete([2]) == 1
        want.discard(2)
    elif writer == "varnel":  # and the other way round
        assert a.delete([4]) == 1
        want.discard(4)
    assert_sees(a, sorted(want), gone={1, 2, 3, 4} - want)
    close(a)
    del a
    gc.collect()
    write(b, [5])  # b outlives a
    want.add(5)
    assert_sees(b, sorted(want))
    close(b)
    del b
    gc.collect()
    got = read_collection(path)
    expected = rows_of({i: (vec(i), {}) for i in want}, DIM)
    assert got == expected, difference(got, expected)


def test_other_metric_on_an_existing_collection_is_refused(tmp_path):
    path = tmp_path / "c"
    a = varnel.Collection(path, DIM, "euclidean")
    a.upsert(1, vec(1))
    with pytest.raises(ValueError, match="metric"):  # while open in this process
        varnel.Collection(path, DIM, "cosine")
    a.close()
    with pytest.raises(ValueError, match="metric"):  # and once closed
        varnel.Collection(path, DIM, "dot")
    assert varnel.Collection(path).metric == "euclidean"


# Opens argv[1] with metric argv[2] from time argv[3] on, retrying for 20 s
# while the other racer holds it; stores [1, 0, 0] and reports the handle's metric and
# the distance of [2, 0, 0] to it (1 euclidean, 0 cosine, -2 dot).
RACER = """
import json, sys, time
import varnel
path, metric, start = sys.argv[1], sys.argv[2], float(sys.argv[3])
while time.time() < start:
    pass
while True:
    try:
        c = varnel.Collection(path, 3, metric)
    except OSError as e:
        if "in use" in str(e) and time.time() < start + 20:
            continue
        print(json.dumps({"error": f"OSError: {e}"}))
        break
    except ValueError as e:
        print(json.dumps({"error": f"ValueError: {e}"}))
        break
    c.upsert(1 if metric == "euclidean" else 2, [1.0, 0.0, 0.0])
    d = float(c.search([2.0, 0.0, 0.0], 1).distances[0])
    print(json.dumps({"metric": c.metric, "distance": d}))
    c.close()
    break
"""

BY_DISTANCE = {1.0: "euclidean", 0.0: "cosine", -2.0: "dot"}
BY_STORED_NAME = {"Euclidean": "euclidean", "Cosine": "cosine", "DotProduct": "dot"}


@pytest.mark.parametrize("trial", range(6))
def test_racing_creators_agree_with_the_stored_metric(tmp_path, trial):
    path = tmp_path / "c"
    start = time.time() + 0.8  # both interpreters are up by then
    racers = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(RACER), str(path), metric, str(start)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
              for metric in ("euclidean", "dot")]
    outs = []
    for p in racers:
        out, err = p.communicate(timeout=TIMEOUT)
        assert p.returncode == 0, err
        outs.append(json.loads(out))
    stored = BY_STORED_NAME[json.loads((path / "meta.json").read_text())["metric"]]
    opened = [o for o in outs if "metric" in o]
    assert opened, outs
    for o in opened:
        assert o["metric"] == stored and BY_DISTANCE[o["distance"]] == stored, (stored, outs)
    for o in outs:
        if "error" in o:
            assert o["error"].startswith(("ValueError: ", "OSError: ")), outs
