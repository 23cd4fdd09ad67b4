"""Helpers of the fault suites (test_shared_handles, test_disk_full,
test_damaged_files, test_kill_prefix): child interpreters with a timeout, a
fresh-process reader of whole collections, byte snapshots of directories."""
import json
import os
import subprocess
import sys
import textwrap

TIMEOUT = 60  # seconds; a hung child fails its test instead of blocking CI

# Reads every directory given, in order, in one fresh interpreter: one JSON
# line per directory, {"rows": {id: [vector bytes as hex, payload]}} or
# {"error": "<type>: <text>"}. The vectors are compared bit for bit.
READER = r"""
import json, sys
import varnel
for path in sys.argv[1:]:
    try:
        c = varnel.Collection(path)
    except Exception as e:
        print(json.dumps({"error": f"{type(e).__name__}: {e}"}), flush=True)
        continue
    rows = {}
    for i in c.ids().tolist():
        v, p = c.get(i)
        rows[str(i)] = [v.tobytes().hex(), p]
    c.close()
    print(json.dumps({"rows": rows}), flush=True)
"""


def run_py(code, *args, timeout=TIMEOUT, check=True, **kwargs):
    """Runs `code` in a fresh interpreter of the running kind; its output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, **kwargs)
    if check:
        assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout


def read_collections(paths):
    """{path: rows} or {path: "error text"}, read by a fresh process. Rows
    map int ids to (vector bytes as hex, payload)."""
    paths = [str(p) for p in paths]
    lines = run_py(READER, *paths).splitlines()
    assert len(lines) == len(paths), lines
    out = {}
    for path, line in zip(paths, lines):
        got = json.loads(line)
        out[path] = got["error"] if "error" in got else {int(k): tuple(v) for k, v in got["rows"].items()}
    return out


def read_collection(path):
    return read_collections([path])[str(path)]


def rows_of(model, dim):
    """The rows `read_collections` gives for a model {id: (vector list, payload)}."""
    import numpy as np
    return {i: (np.asarray(v, dtype=np.float32).reshape(dim).tobytes().hex(), p) for i, (v, p) in model.items()}


def difference(got, want):
    """A short account of how two row maps differ (or an error text)."""
    if isinstance(got, str) or isinstance(want, str):
        return f"got {got if isinstance(got, str) else len(got)} rows, wanted {want if isinstance(want, str) else len(want)}"
    missing = sorted(set(want) - set(got))
    extra = sorted(set(got) - set(want))
    changed = sorted(i for i in set(got) & set(want) if got[i] != want[i])
    return f"missing ids {missing[:10]}, extra ids {extra[:10]}, changed ids {changed[:10]}"


def snapshot(path):
    """{file name: bytes} of a directory, sub-directories left out."""
    return {name: open(os.path.join(path, name), "rb").read()
            for name in sorted(os.listdir(path)) if os.path.isfile(os.path.join(path, name))}


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.startswith("{")]
