"""Damaged files: one flipped bit in a header or length field of the log or
the data file, or a meta.json that cannot be used. Every open either gives
every row back exactly or is refused with OSError, and a refused open
changes no file in the directory."""
import json
import os
import re
import struct

import pytest

pytest.importorskip("numpy")
import _varnel  # noqa: E402
import varnel  # noqa: E402

from fault_kit import json_lines, run_py, snapshot  # noqa: E402

# argv: kind, path. "flushed": 500 rows, closed. "logged": 50 rows flushed,
# then 20 deletes (ids 10..29) and 80 upserts (ids 100..179), one call each;
# the 100th change syncs the log and the process dies there, so the log
# holds all 100 changes and was never emptied.
BUILDER = r"""
import os, sys
import numpy as np
import varnel
kind, path = sys.argv[1], sys.argv[2]
def vec(i):
    return np.array([i, i + 0.25, -i, 7.0], dtype=np.float32)
c = varnel.Collection(path, 4, "euclidean")
n = 500 if kind == "flushed" else 50
c.upsert(np.arange(n), np.stack([vec(i) for i in range(n)]), [{"i": i} for i in range(n)])
c.close()
if kind == "logged":
    c = varnel.Collection(path)
    for i in range(10, 30):
        c.delete(i)
    for i in range(100, 180):
        c.upsert(i, vec(i), {"i": i})
    os._exit(0)
"""

# argv: source, work directory, cases as JSON [[file, offset, bit], ...].
# Opens an undamaged copy for the rows, then one damaged copy per case.
DAMAGER = r"""
import json, os, shutil, sys
import varnel
source, work, cases = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
def files(path):
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))}
def rows(path):
    c = varnel.Collection(path)
    out = {int(i): (c.get(int(i))[0].tobytes().hex(), c.get(int(i))[1]) for i in c.ids()}
    c.close()
    return out
def copy(name):
    path = os.path.join(work, name)
    shutil.copytree(source, path)
    return path
want = rows(copy("undamaged"))
print(json.dumps({"rows": len(want)}), flush=True)
for n, (name, offset, bit) in enumerate(cases):
    path = copy(f"case{n}")
    with open(os.path.join(path, name), "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ (1 << bit)]))
    damaged = files(path)
    out = {"file": name, "offset": offset, "bit": bit}
    try:
        got = rows(path)
        out["outcome"] = "same" if got == want else (
            f"opened with other rows: {len(set(want) - set(got))} missing, "
            f"{sum(got.get(i) != r for i, r in want.items())} missing or changed, {len(got)} in all")
    except OSError as e:
        out["outcome"] = "refused"
        out["error"] = str(e)
        out["changed"] = files(path) != damaged
    except Exception as e:
        out["outcome"] = f"{type(e).__name__}: {e}"
    shutil.rmtree(path)
    print(json.dumps(out), flush=True)
"""


def data_header_fields(data, records):
    """(offset, size, name) of the deleted marker, dim and payload length of
    the first `records` records of a data file."""
    fields, off = [], 0
    for _ in range(records):
        dim = struct.unpack_from("<I", data, off + 9)[0]
        plen = struct.unpack_from("<I", data, off + 13 + 4 * dim)[0]
        fields += [(off, 1, "deleted"), (off + 9, 4, "dim"), (off + 13 + 4 * dim, 4, "plen")]
        off += 17 + 4 * dim + plen
    return fields


def log_header_fields(log, frames):
    """(offset, size, name) of the checksum and length of the first frames."""
    fields, off = [], 0
    for _ in range(frames):
        n = struct.unpack_from("<I", log, off + 4)[0]
        fields += [(off, 4, "crc"), (off + 4, 4, "len")]
        off += 8 + n
    return fields


# (collection, file): every bit of the header fields of the first 3 records
# of data.vnl or frames of wal.log. The ids are left alone (nothing in the
# format can tell a changed id from another id), and so is the lowest bit of
# the deleted marker (it is the marker).
TABLE = [("flushed", "data.vnl"), ("logged", "data.vnl"), ("logged", "wal.log")]


@pytest.mark.parametrize("kind,name", TABLE)
def test_flipped_header_bit_opens_whole_or_is_refused(tmp_path, kind, name):
    source = tmp_path / kind
    run_py(BUILDER, kind, source)
    blob = (source / name).read_bytes()
    fields = data_header_fields(blob, 3) if name == "data.vnl" else log_header_fields(blob, 3)
    cases = [(name, off + b // 8, b % 8) for off, size, field in fields for b in range(8 * size)
             if not (field == "deleted" and b == 0)]
    work = tmp_path / "work"
    work.mkdir()
    head, *outs = json_lines(run_py(DAMAGER, source, work, json.dumps(cases)))
    assert head["rows"] == (500 if kind == "flushed" else 110)
    assert len(outs) == len(cases), outs[-1:]  # a crash shows as a short list
    refused = [o for o in outs if o["outcome"] == "refused"]
    print(f"{kind} {name}: {len(cases)} flips, {len(refused)} refused")
    bad = [o for o in outs if o["outcome"] not in ("same", "refused")]
    assert bad == [], f"{len(bad)} of {len(cases)} flips opened wrong, e.g. {bad[:3]}"
    bad = [o for o in refused if o["changed"]]
    assert bad == [], f"{len(bad)} refused opens changed files, e.g. {bad[:3]}"
    bad = [o for o in refused if not re.search(r"offset\D{0,3}\d+", o["error"])]
    assert bad == [], f"{len(bad)} refusals name no offset, e.g. {bad[:3]}"


def build_small(path):
    c = varnel.Collection(path, 3, "euclidean")
    c.upsert(list(range(10)), [[i, i, i] for i in range(10)])
    c.close()


META = {
    "other dimension": lambda text: text.replace('"dimension": 3', '"dimension": 5'),
    "not JSON": lambda text: text[: len(text) // 2],
}


@pytest.mark.parametrize("meta", sorted(META))
@pytest.mark.parametrize("log", ["log", "no log"])
@pytest.mark.parametrize("module", ["varnel", "_varnel"])
def test_unusable_meta_refuses_the_open_and_changes_nothing(tmp_path, meta, log, module):
    path = tmp_path / "c"
    build_small(path)
    text = (path / "meta.json").read_text()
    (path / "meta.json").write_text(META[meta](text))
    if log == "no log":
        os.unlink(path / "wal.log")
    before = snapshot(path)
    with pytest.raises(OSError):
        if module == "varnel":
            varnel.Collection(path)
        else:
            _varnel.Collection.open_or_create(str(path), 5 if meta == "other dimension" else 3, "euclidean")
    assert snapshot(path) == before
