"""python -m varnel info|verify|compact|export PATH: look after a collection
directory from the shell. Each command opens the collection as any open
does (so one that is open in another process is refused), reports on
stderr what it is doing, and exits with status 1 and a message on failure."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Optional, Sequence

import numpy as np

from ._api import Collection

FILES = ("meta.json", "wal.log", "data.vnl")


def _step(text: str) -> None:
    print(f"varnel: {text}", file=sys.stderr, flush=True)


def _sizes(path: str) -> dict[str, int]:
    return {n: os.path.getsize(os.path.join(path, n)) for n in FILES if os.path.exists(os.path.join(path, n))}


def _open(path: str) -> Collection:
    if not os.path.isfile(os.path.join(path, "meta.json")):
        raise ValueError(f"{path!r} holds no collection")
    _step(f"opening {path} (replaying its log)")
    return Collection(path)


def info(path: str) -> None:
    with _open(path) as c:
        print(f"path: {path}\ndim: {c.dim}\nmetric: {c.metric}\nrows: {len(c)}")
        for name, size in _sizes(path).items():
            print(f"{name}: {size} bytes")


def verify(path: str) -> None:
    """Opening reads every record and log frame (a damaged one is refused);
    then every row is read back and checked."""
    with _open(path) as c:
        n = len(c)
        _step(f"reading {n} rows")
        done = 0
        for start in range(0, n, 65536):
            rows = c.scan(offset=start, limit=65536, vectors=True)
            assert rows.vectors is not None
            if not np.isfinite(rows.vectors).all():
                raise ValueError(f"a vector among ids {int(rows.ids[0])}..{int(rows.ids[-1])} is not finite")
            done += len(rows)
            if n > 65536:
                _step(f"checked {done} of {n} rows")
        if done != n:
            raise ValueError(f"{n} rows counted but {done} read")
        print(f"ok: {n} rows of dim {c.dim}, metric {c.metric}")


def compact(path: str) -> None:
    before = sum(_sizes(path).values())
    with _open(path) as c:
        _step(f"compacting {len(c)} rows")
        c.compact()
    print(f"compacted: {before} -> {sum(_sizes(path).values())} bytes")


def export(path: str, out: str) -> None:
    """To .parquet (pyarrow: id, vector, payload as JSON text) or .npz
    (ids uint64, vectors (n, dim) float32, payload_text uint8 holding each
    row's payload as JSON one after another, payload_ends uint64 where each
    row's text ends; dim and metric)."""
    kind = os.path.splitext(out)[1].lower()
    if kind not in (".parquet", ".npz"):
        raise ValueError(f"cannot export to {out!r}: the name must end in .parquet or .npz")
    with _open(path) as c:
        _step(f"reading {len(c)} rows")
        if kind == ".parquet":
            from . import _convert as cv

            pq = cv.optional_module("pyarrow.parquet")
            table = c.to_arrow()
            _step(f"writing {out}")
            pq.write_table(table, out)
        else:
            ids, vectors, _, (text, ends) = c._core.rows(None, 0, None, True, False, True)
            _step(f"writing {out}")
            np.savez(out, ids=ids, vectors=vectors, payload_text=text, payload_ends=ends,
                     dim=np.int64(c.dim), metric=np.str_(c.metric))
        print(f"exported {len(c)} rows to {out}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m varnel", description="Inspect, check, compact or export a varnel collection directory.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, text in (("info", "print the dimension, metric, row count and file sizes"),
                       ("verify", "read every record and log frame and every row; report damage"),
                       ("compact", "rewrite the data file with the live rows only and empty the log")):
        commands.add_parser(name, help=text, description=text).add_argument("path", help="the collection directory")
    out = commands.add_parser("export", help="write every row to a .parquet or .npz file",
                              description=export.__doc__)
    out.add_argument("path", help="the collection directory")
    out.add_argument("out", help="the file to write, ending in .parquet or .npz")
    args = parser.parse_args(argv)
    started = time.monotonic()
    try:
        if args.command == "export":
            export(args.path, args.out)
        else:
            {"info": info, "verify": verify, "compact": compact}[args.command](args.path)
    except (OSError, ValueError, KeyError, ImportError) as e:
        print(f"varnel: error: {e}", file=sys.stderr)
        return 1
    if time.monotonic() - started > 1:
        _step(f"done in {time.monotonic() - started:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
