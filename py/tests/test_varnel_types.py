"""The package's types: mypy --strict accepts typical use, and rejects a
misuse, against the installed package and its stubs."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

TYPICAL = """
    import pathlib
    import numpy as np
    import varnel

    def main() -> None:
        with varnel.Collection(pathlib.Path("x.db"), 4, "cosine") as coll:
            coll.upsert([1, 2], np.zeros((2, 4), np.float32), [{"a": 1}, None])
            hits: varnel.Hits = coll.search([1.0, 0.0, 0.0, 0.0], 2, where={"a": {"$gte": 1}}, payloads=True)
            print(hits.ids.tolist(), hits.distances, hits.payloads, len(coll), 1 in coll)
            entry = coll.get(1)
            if entry is not None:
                vector, payload = entry
                print(vector.shape, payload.get("a"))
            n: int = coll.delete([1])
            print(n, coll.ids(), coll.path, coll.dim, coll.metric)
        index = varnel.Index(4, "dot", threads=2)
        merged = varnel.merge_hits([index.search(np.ones(4), 3)], 3)
        print(merged.ids, varnel.__version__)
"""

# varnel.cluster's types come from its stub, Ray or not.
CLUSTER = """
    import numpy as np
    import varnel
    import varnel.cluster

    def main() -> None:
        with varnel.cluster.Collection("x.cluster", 4, "cosine", 2, placement=[{"resource": "a"}, None]) as coll:
            coll.upsert([1, 2], np.zeros((2, 4), np.float32), [{"a": 1}, None])
            hits: varnel.Hits = coll.search(np.ones((3, 4)), 2, where={"a": 1}, payloads=True)
            entry = coll.get(1)
            if entry is not None:
                vector, payload = entry
                print(vector.shape, payload.get("a"))
            n: int = coll.delete([1]) + len(coll) + coll.shards
            shard: int = varnel.cluster.ShardUnavailableError(1, "x", "gone").shard
            print(hits.ids, n, shard, 1 in coll, coll.ids(), varnel.cluster.shard_of([1, 2], 3))
"""

# The data API: scan, count, update, delete by filter, radius search, Database.
DATA = """
    import numpy as np
    import varnel

    def main() -> None:
        db = varnel.Database("root")
        coll = db.get_or_create_collection("docs", 4, "cosine")
        rows: varnel.Rows = coll.scan({"a": 1}, limit=10, offset=0, vectors=True)
        print(rows.ids, rows.vectors, rows.payloads, len(rows), db.list_collections())
        n: int = coll.count() + coll.update([1], payloads=[{"b": 2}]) + coll.delete(where={"a": 1})
        hits = coll.search(np.ones(4), None, max_distance=0.5, offset=2)
        print(n, hits.ids, coll.to_arrow(), coll.to_pandas())
"""


@pytest.mark.parametrize(
    "source, ok",
    [
        (TYPICAL, True),
        ("import varnel\nn: str = len(varnel.Index(2, 'dot'))\n", False),
        ("import varnel\nvarnel.Collection('x').flush(1)\n", False),
        (CLUSTER, True),
        (DATA, True),
        ("import varnel\nvarnel.Index(2, 'dot').scan(limit='5', offset=None)\n", False),
        ("import varnel.cluster\nvarnel.cluster.Collection('x').search([1.0], 'ten')\n", False),
    ],
)
def test_mypy_strict(tmp_path, source, ok):
    (tmp_path / "use.py").write_text(textwrap.dedent(source))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert (run.returncode == 0) == ok, run.stdout + run.stderr
