"""varnel.cluster's data API (scan, count, update, delete by filter, radius
and paged search, export) gives the one-node answer. Runs the driver in a
child interpreter with an in-process stand-in for Ray, whose actors are
plain objects, so that it needs no Ray and leaves this process's modules
alone; the Ray-backed suite (test_cluster.py) covers the actors."""

import subprocess
import sys

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("pandas")

CHILD = r'''
# Exercises varnel.cluster's driver logic with a stand-in for ray (calls run in process).
import sys, types, tempfile, numpy as np
ray = types.ModuleType("ray"); exc = types.ModuleType("ray.exceptions")
class RayError(Exception): pass
for n in ("RayError", "RayTaskError", "ActorUnavailableError", "GetTimeoutError", "ActorDiedError"):
    setattr(exc, n, type(n, (RayError,), {}))
ray.exceptions = exc
class Done:
    def __init__(self, v): self.v = v
class Method:
    def __init__(self, f): self.f = f
    def remote(self, *a): return Done(self.f(*a))
def remote(cls=None, **kw):
    class Actor:
        def __init__(self, *a, **k): self._o = cls(*a, **k)
        @classmethod
        def options(c, **kw): return c
        @classmethod
        def remote(c, *a, **k): return c(*a, **k)
        def __getattr__(self, n): return Method(getattr(self._o, n))
    return Actor
ray.remote = remote
ray.get = lambda r, timeout=None: [x.v for x in r] if isinstance(r, list) else r.v
ray.put = lambda x: x
sys.modules["ray"] = ray; sys.modules["ray.exceptions"] = exc
import varnel, varnel.cluster as vc
from varnel._api import Collection as One
class Fake(vc.Collection):
    def __init__(self, path, shards):
        self._shards = shards; self._dim = 3; self._closed = False; self._where = path
        self._actors = [vc._Shard(i, f"{path}/s{i}", 3, "euclidean", True) for i in range(shards)]
    def _submit(self, shard, method, args): return Done(getattr(self._actors[shard], method)(*args))
d = tempfile.mkdtemp()
c = Fake(d, 3); one = varnel.Index(3, "euclidean")
rng = np.random.default_rng(0)
ids = rng.permutation(200); v = rng.integers(-2, 3, (200, 3)).astype(np.float32)
p = [{"g": int(i % 4)} for i in ids]
for s in (c, one): s.upsert(ids, v, p)
def same(a, b):
    assert a.ids.tolist() == b.ids.tolist(), (a.ids[:10], b.ids[:10])
for args in [dict(), dict(where={"g": 1}, offset=5, limit=7, vectors=True), dict(offset=190), dict(limit=0)]:
    a, b = c.scan(**args), one.scan(**args)
    same(a, b); assert a.payloads == b.payloads
    if a.vectors is not None: assert a.vectors.tobytes() == b.vectors.tobytes()
assert c.count({"g": 2}) == one.count({"g": 2})
q = rng.integers(-2, 3, (5, 3)).astype(np.float32)
for args in [dict(k=5, offset=3), dict(k=None, max_distance=2.0), dict(k=4, offset=2, max_distance=3.0)]:
    a, b = c.search(q, payloads=True, **args), one.search(q, payloads=True, **args)
    assert a.ids.tobytes() == b.ids.tobytes() and a.distances.tobytes() == b.distances.tobytes() and a.payloads == b.payloads
assert c.update([ids[0], 999, ids[1]], vectors=np.zeros((3, 3)), payloads=[{"x": 1}] * 3) == one.update([ids[0], 999, ids[1]], vectors=np.zeros((3, 3)), payloads=[{"x": 1}] * 3) == 2
assert c.delete(where={"g": 3}) == one.delete(where={"g": 3}) == 50
same(c.scan(vectors=True), one.scan(vectors=True)); assert c.scan().payloads == one.scan().payloads
ta, tb = c.to_arrow(), one.to_arrow()
assert ta.equals(tb), (ta.slice(0, 3), tb.slice(0, 3))
pa_, pb = c.to_pandas(), one.to_pandas()
assert pa_["id"].tolist() == pb["id"].tolist() and pa_["payload"].tolist() == pb["payload"].tolist()
e = Fake(tempfile.mkdtemp(), 2); assert e.to_arrow().num_rows == 0
print("export agrees")
'''


def test_cluster_data_api_agrees_with_one_node():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "export agrees", done.stderr
