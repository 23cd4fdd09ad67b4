"""One varnel collection sharded over the actors of a Ray cluster.

    import ray, varnel.cluster
    ray.init()                                   # or ray.init(address="auto")
    coll = varnel.cluster.Collection("vectors.cluster", dim=768, metric="cosine", shards=4)
    coll.upsert(ids, vectors, payloads)
    hits = coll.search(queries, 10, where={"lang": "en"})

`Collection` has the methods, arguments, results, errors and error texts of
`varnel.Collection`; a program switches between the two by changing the
constructor. For the same stored set a search returns exactly what one
`varnel.Collection` holding everything returns: the same ids in the same
order and the same distance bits. Every shard answers with its own exact
top-k and `varnel.merge_hits` merges them by the engine's order (ascending
distance, equal distances by ascending id, NaN last), and the exact top-k of
a union is always inside the union of the parts' top-k lists.

On disk, `path` holds the cluster manifest `cluster.json` (dimension,
metric, shard count, routing, shard directories, placement; replaced
atomically) and one `varnel` collection directory per shard. An id lives on
shard `shard_of(id, shards)`: splitmix64 of the id modulo the shard count, a
fixed function, so every driver routes an id to the shard that holds it.
Resharding is not supported: reopening with another shard count is refused.

One Ray actor per shard owns that shard's `varnel.Collection` (one search
thread each). A search goes to every shard at once (a batch of queries is
put in the object store once and every shard reads that copy); a batch write
is split by shard and the parts are sent in parallel. Input is checked in the
driver, by the package's own conversions, before anything is sent.

Faults: an actor whose process dies is restarted by Ray (up to
`max_restarts` times); the new process reopens the shard's directory
(recovering its log as any reopened collection does) and the call that
failed is sent once more. Upsert and delete are idempotent, so a repeated
write leaves what one write leaves. A shard that does not come back makes the
call raise `ShardUnavailableError` naming the shard: a result is never built
from fewer than all shards. Every operation a shard acknowledged before its
log's last sync survives the death of its process, as on one node; `flush()`
makes everything acknowledged so far durable on every shard. Actors belong to
the driver that opened the collection and end with it; a driver that ends or
drops the collection without closing it closes every shard first, and a new
driver opens the same path again. One driver at a time: each shard directory
has one writer, its actor, and a second opener is refused.
"""

from __future__ import annotations

import atexit
import errno
import functools
import json
import os
import tempfile
import time
import weakref
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import ray
import ray.exceptions

import varnel
from varnel import _convert as cv
from varnel._api import _Lookup

__all__ = ["Collection", "ShardUnavailableError", "shard_of", "MANIFEST_NAME"]

MANIFEST_NAME = "cluster.json"
_FORMAT = "varnel.cluster"
_FORMAT_VERSION = 1
_ROUTING = "splitmix64 mod shards"
# A shard pinned to a custom resource asks for this much of it, so one node
# offering the resource (any amount from 1) hosts up to 1000 such shards.
_RESOURCE_SHARE = 0.001
# A batch of queries, or one query larger than this, goes to the object
# store once and every shard reads that one copy; a smaller single query
# travels inside the calls, which is cheaper.
_PUT_BYTES = 64 * 1024
# How long a restarting shard's new process keeps trying to open a
# directory whose previous owner has not yet been reaped (the one-writer
# lock is released only when that process is gone).
_LOCK_RETRY_S = 10.0
# How long the driver waits for a restarted shard to answer before the
# failed call's one retry, and for every shard to start when opening.
_RESTART_WAIT_S = 60.0
_START_WAIT_S = 120.0
_CLOSED = "collection is closed"

IdsLike = Union[int, Sequence[int], "np.ndarray[Any, Any]"]
Payload = Optional[Dict[str, Any]]
Entry = Tuple["np.ndarray[Any, np.dtype[np.float32]]", Dict[str, Any]]


class ShardUnavailableError(RuntimeError):
    """A shard's actor is down and did not come back; `shard` is its number."""

    def __init__(self, shard: int, path: str, why: str) -> None:
        super().__init__(f"shard {shard} of the cluster collection at {path} is unavailable: {why}")
        self.shard = shard


# --------------------------------------------------------------------------- routing

_GAMMA = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def _splitmix64(x: "np.ndarray[Any, Any]") -> "np.ndarray[Any, Any]":
    # Array arithmetic on uint64 wraps modulo 2**64, as the function needs.
    z = x + _GAMMA
    z = (z ^ (z >> np.uint64(30))) * _MIX1
    z = (z ^ (z >> np.uint64(27))) * _MIX2
    return z ^ (z >> np.uint64(31))  # type: ignore[no-any-return]


def shard_of(ids: IdsLike, shards: int) -> "np.ndarray[Any, np.dtype[np.int64]]":
    """The shard of each id: splitmix64(id) mod shards, as int64 (a 1-D array)."""
    arr, _ = cv.id_array(ids)
    return (_splitmix64(arr) % np.uint64(shards)).astype(np.int64)


# --------------------------------------------------------------------------- manifest

def _write_manifest(directory: str, manifest: Dict[str, Any]) -> None:
    """Replaces the manifest atomically: temporary file, fsync, rename, fsync of the directory."""
    data = (json.dumps(manifest, indent=1, sort_keys=True) + "\n").encode()
    fd, tmp = tempfile.mkstemp(prefix="." + MANIFEST_NAME + ".", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, os.path.join(directory, MANIFEST_NAME))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)


def _read_manifest(directory: str) -> Optional[Dict[str, Any]]:
    name = os.path.join(directory, MANIFEST_NAME)
    try:
        with open(name, "rb") as f:
            text = f.read()
    except FileNotFoundError:
        return None

    def bad(why: str) -> ValueError:
        return ValueError(f"{name} is not a varnel cluster manifest: {why}")

    try:
        m = json.loads(text)
    except ValueError as e:
        raise bad(str(e)) from None
    if not isinstance(m, dict) or m.get("format") != _FORMAT:
        raise bad("no 'format': 'varnel.cluster'")
    if m.get("version") != _FORMAT_VERSION:
        raise bad(f"version {m.get('version')!r} (this varnel reads version {_FORMAT_VERSION})")
    if m.get("routing") != _ROUTING:
        raise bad(f"routing {m.get('routing')!r} (this varnel routes by {_ROUTING!r})")
    shards = m.get("shards")
    if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
        raise bad(f"shards {shards!r}")
    dim = m.get("dim")
    try:
        cv.check_dim(dim)
    except (TypeError, ValueError):
        raise bad(f"dim {dim!r}") from None
    if not isinstance(m.get("metric"), str):
        raise bad(f"metric {m.get('metric')!r}")
    dirs = m.get("shard_dirs")
    if (not isinstance(dirs, list) or len(dirs) != shards
            or not all(isinstance(d, str) and d and os.sep not in d and d not in (".", "..") for d in dirs)):
        raise bad("shard_dirs must name one subdirectory per shard")
    try:
        m["placement"] = _check_placement(m.get("placement"), shards)
    except ValueError as e:
        raise bad(str(e)) from None
    if not isinstance(m.get("complete"), bool):
        raise bad("no 'complete' flag")
    return m


def _check_placement(placement: Any, shards: int) -> List[Optional[Dict[str, str]]]:
    """One entry per shard: None (anywhere), {"node_id": hex} or {"resource": name}."""
    if placement is None:
        return [None] * shards
    if not isinstance(placement, (list, tuple)) or len(placement) != shards:
        raise ValueError(f"placement must be a list of one entry per shard ({shards})")
    out: List[Optional[Dict[str, str]]] = []
    for i, p in enumerate(placement):
        if p is None:
            out.append(None)
            continue
        if (not isinstance(p, dict) or len(p) != 1 or not set(p) <= {"node_id", "resource"}
                or not isinstance(next(iter(p.values())), str) or not next(iter(p.values()))):
            raise ValueError(f"placement of shard {i} must be None, {{'node_id': str}} or "
                             f"{{'resource': str}}, not {p!r}")
        out.append(dict(p))
    return out


# --------------------------------------------------------------------------- the shard actor

class _Shard:
    """Runs in a Ray actor: owns one shard's `varnel.Collection` (one thread)."""

    def __init__(self, shard: int, directory: str, dim: int, metric: str, create: bool) -> None:
        if not create and not os.path.exists(os.path.join(directory, "meta.json")):
            # The manifest says every shard exists: an empty directory here
            # is a lost shard (another machine's disk, a deleted directory),
            # not one to create afresh.
            raise FileNotFoundError(errno.ENOENT, f"shard {shard} holds no collection", directory)
        deadline = time.monotonic() + _LOCK_RETRY_S
        delay = 0.01
        while True:
            try:
                self._coll = varnel.Collection(directory, dim, metric, threads=1)
                break
            except OSError as e:
                # The process this one replaces may not be reaped yet.
                if not isinstance(e, varnel.CollectionInUseError) or time.monotonic() >= deadline:
                    raise
                time.sleep(delay)
                delay = min(delay * 2, 0.25)
        # Ray ends an actor whose handles are all gone (a driver that drops
        # the collection without closing it) gracefully, running these.
        atexit.register(self._coll.close)

    def ping(self) -> Tuple[int, str]:
        return os.getpid(), ray.get_runtime_context().get_node_id()

    def upsert(self, ids: Any, vectors: Any, payloads: Optional[List[Payload]]) -> None:
        self._coll.upsert(ids, vectors, payloads)

    def delete(self, ids: Any) -> int:
        return self._coll.delete(ids)

    def get(self, id: int) -> Any:
        return self._coll.get(id)

    def contains(self, id: int) -> bool:
        return id in self._coll

    def count(self) -> int:
        return len(self._coll)

    def ids(self) -> Any:
        return self._coll.ids()

    def search(self, queries: Any, k: int, where: Any, payloads: bool) -> Tuple[Any, Any, Any]:
        hits = self._coll.search(queries, k, where=where, payloads=payloads)
        return hits.ids, hits.distances, hits.payloads

    def flush(self) -> None:
        self._coll.flush()

    def compact(self) -> None:
        self._coll.compact()

    def close(self) -> None:
        self._coll.close()

    def noop(self) -> None:
        return None


_ShardActor = ray.remote(_Shard)


# --------------------------------------------------------------------------- the driver side

class Collection(_Lookup):
    """A varnel collection whose vectors are spread over `shards` Ray actors.

    `path`: a directory (str or os.PathLike). When it holds no cluster
    manifest it is created (dim and metric required; shards defaults to the
    CPUs of the Ray cluster); otherwise it is opened, and dim, metric and
    shards may be omitted, but when given must match what is stored.
    `placement`: one entry per shard, None (anywhere: shards spread over the
    nodes, for a file system that every node mounts at `path`),
    {"node_id": id} or {"resource": name} (the shard runs on that node, or on
    a node offering that custom resource, and its directory lives on that
    node's disk). It is recorded in the manifest; a placement given when
    reopening replaces the recorded one. `max_restarts`: how often Ray may
    restart each shard's actor over this driver's life. `num_cpus`: the CPUs
    each shard's actor reserves in Ray's scheduler: 0 (the default) starts
    every shard whatever else the nodes run; 1 reserves a core per shard, so
    that a cluster of C CPUs holds at most C shards (and opening fails when
    a shard finds no free CPU within two minutes).
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], dim: Optional[int] = None,
                 metric: Optional[str] = None, shards: Optional[int] = None, *,
                 placement: Optional[Sequence[Optional[Dict[str, str]]]] = None,
                 max_restarts: int = 3, num_cpus: float = 0) -> None:
        self._closed = True
        self._actors: List[Any] = []
        # The one-node checks, in the one-node order.
        self._path = cv.path_text(path)
        want_dim = None if dim is None else cv.check_dim(dim)
        want_metric = None if metric is None else cv.check_metric(metric)
        where = os.path.abspath(self._path)
        self._where = where
        if shards is not None and (not isinstance(shards, int) or isinstance(shards, bool) or shards < 1):
            raise ValueError(f"shards must be a positive int, not {shards!r}")
        if isinstance(max_restarts, bool) or not isinstance(max_restarts, int) or max_restarts < -1:
            raise ValueError(f"max_restarts must be an int >= -1, not {max_restarts!r}")
        if isinstance(num_cpus, bool) or not isinstance(num_cpus, (int, float)) or not num_cpus >= 0:
            raise ValueError(f"num_cpus must be a number >= 0, not {num_cpus!r}")
        manifest = _read_manifest(where) if os.path.isdir(where) else None
        if manifest is None:
            manifest = self._create(where, want_dim, want_metric, shards, placement)
        else:
            cv.open_config(self._path, (manifest["dim"], manifest["metric"]), want_dim, want_metric)
            if shards is not None and shards != manifest["shards"]:
                raise ValueError(
                    f"the cluster collection at {where} has {manifest['shards']} shards, not {shards}: "
                    f"open it with shards={manifest['shards']} or None (resharding is not supported)")
            if placement is not None:
                chosen = _check_placement(placement, manifest["shards"])
                if chosen != manifest["placement"]:
                    manifest["placement"] = chosen
                    _write_manifest(where, manifest)
        self._dim: int = manifest["dim"]
        self._metric: str = manifest["metric"]
        self._shards: int = manifest["shards"]
        self._placement: List[Optional[Dict[str, str]]] = manifest["placement"]
        self._max_restarts = max_restarts
        self._num_cpus = num_cpus
        self._actors = [self._start(i, os.path.join(where, manifest["shard_dirs"][i]),
                                    not manifest["complete"])
                        for i in range(self._shards)]
        self._closed = False
        # A driver that ends without closing still flushes every shard.
        self._at_exit = functools.partial(_close_at_exit, weakref.ref(self))
        atexit.register(self._at_exit)
        try:
            self._started()
        except BaseException:
            self._stop()
            raise
        if not manifest["complete"]:
            manifest["complete"] = True
            _write_manifest(where, manifest)

    def _create(self, where: str, dim: Optional[int], metric: Optional[str], shards: Optional[int],
                placement: Optional[Sequence[Optional[Dict[str, str]]]]) -> Dict[str, Any]:
        if os.path.exists(os.path.join(where, "meta.json")):
            raise ValueError(f"{self._path!r} holds a varnel.Collection, not a cluster collection")
        dim, metric = cv.open_config(self._path, None, dim, metric)
        if shards is None:
            if not ray.is_initialized():
                ray.init()
            shards = max(1, int(ray.cluster_resources().get("CPU", 1)))
        chosen = _check_placement(placement, shards)
        os.makedirs(where, exist_ok=True)
        width = max(3, len(str(shards - 1)))
        manifest: Dict[str, Any] = {
            "format": _FORMAT, "version": _FORMAT_VERSION, "dim": int(dim), "metric": metric,
            "shards": shards, "routing": _ROUTING,
            "shard_dirs": [f"shard-{i:0{width}d}" for i in range(shards)],
            "placement": chosen,
            # False until every shard has created its directory once; from
            # then on a shard directory without a collection is an error.
            "complete": False,
        }
        _write_manifest(where, manifest)
        return manifest

    def _started(self) -> None:
        """Waits until every shard has opened its directory, or raises ShardUnavailableError."""
        refs = [actor.ping.remote() for actor in self._actors]
        _, pending = ray.wait(refs, num_returns=len(refs), timeout=_START_WAIT_S)
        if pending:
            shard = refs.index(pending[0])
            wanted = self._placement[shard] or "any node"
            raise ShardUnavailableError(
                shard, self._where, f"not started within {_START_WAIT_S:.0f} s: no node offers "
                f"its placement ({wanted}) with {self._num_cpus} free CPUs")
        self._gather([(i, "ping", ()) for i in range(self._shards)])

    def _start(self, i: int, directory: str, create: bool) -> Any:
        # num_cpus always explicit: Ray keeps one CPU for an actor's whole life
        # when resources are named and it is not.
        options: Dict[str, Any] = {"max_restarts": self._max_restarts, "max_task_retries": 0,
                                   "num_cpus": self._num_cpus}
        p = self._placement[i]
        if p is None:
            options["scheduling_strategy"] = "SPREAD"
        elif "node_id" in p:
            from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy
            options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(p["node_id"], soft=False)
        else:
            options["resources"] = {p["resource"]: _RESOURCE_SHARE}
        return _ShardActor.options(**options).remote(i, directory, self._dim, self._metric, create)

    # ---- calls to the shards

    def _submit(self, shard: int, method: str, args: Tuple[Any, ...]) -> Any:
        return getattr(self._actors[shard], method).remote(*args)

    def _gather(self, calls: List[Tuple[int, str, Tuple[Any, ...]]]) -> List[Any]:
        """Runs the calls (shard, method, args) at once and returns their results.

        A call whose actor died is sent once more after the actor is back;
        an error raised by a shard's collection is raised as it is, after
        every call has finished."""
        refs = [self._submit(s, m, a) for s, m, a in calls]
        try:
            return list(ray.get(refs))  # the usual case: one wait for every call
        except ray.exceptions.RayError:
            pass  # sorted out call by call below
        results: List[Any] = [None] * len(calls)
        failed: List[int] = []
        raised: List[Tuple[int, BaseException]] = []
        for j, ref in enumerate(refs):
            try:
                results[j] = ray.get(ref)
            except ray.exceptions.RayTaskError as e:
                raised.append((calls[j][0], e.cause if e.cause is not None else e))
            except ray.exceptions.RayError:
                failed.append(j)
        for j in failed:
            shard, method, args = calls[j]
            try:
                self._await(shard)
                results[j] = ray.get(self._submit(shard, method, args))
            except ray.exceptions.RayTaskError as e:
                raised.append((shard, e.cause if e.cause is not None else e))
            except ray.exceptions.RayError as e:
                raised.append((shard, ShardUnavailableError(shard, self._where, _why(e))))
            except ShardUnavailableError as e:
                raised.append((shard, e))
        if raised:
            raised.sort(key=lambda r: r[0])
            raise raised[0][1]
        return results

    def _await(self, shard: int) -> None:
        """Waits until a restarting shard answers, or raises ShardUnavailableError."""
        deadline = time.monotonic() + _RESTART_WAIT_S
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ShardUnavailableError(shard, self._where,
                                            f"no answer within {_RESTART_WAIT_S:.0f} s of its restart")
            try:
                ray.get(self._actors[shard].ping.remote(), timeout=left)
                return
            except ray.exceptions.ActorUnavailableError:
                time.sleep(0.05)  # restarting: Ray has not yet seen the new process
            except ray.exceptions.GetTimeoutError:
                continue
            except ray.exceptions.RayTaskError as e:
                raise ShardUnavailableError(shard, self._where, _why(e)) from None
            except ray.exceptions.RayError as e:
                raise ShardUnavailableError(shard, self._where, _why(e)) from None

    def _everywhere(self, method: str, *args: Any) -> List[Any]:
        return self._gather([(i, method, args) for i in range(self._shards)])

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(_CLOSED)

    def _split(self, ids: "np.ndarray[Any, Any]") -> List[Tuple[int, Optional["np.ndarray[Any, Any]"]]]:
        """(shard, positions) for each shard that gets any of the ids, positions in their order;
        positions None means all of them."""
        if self._shards == 1:
            return [(0, None)] if len(ids) else []
        where = shard_of(ids, self._shards)
        order = np.argsort(where, kind="stable")
        bounds = np.cumsum(np.bincount(where, minlength=self._shards))
        out: List[Tuple[int, Optional["np.ndarray[Any, Any]"]]] = []
        start = 0
        for s in range(self._shards):
            end = int(bounds[s])
            if end > start:
                out.append((s, order[start:end]))
            start = end
        return out

    def _shared(self, queries: "np.ndarray[Any, Any]") -> Any:
        """Queries every shard reads: a batch (or one large query) is put in the
        object store once and its reference is sent instead."""
        if self._shards > 1 and (queries.ndim == 2 or queries.nbytes > _PUT_BYTES):
            return ray.put(queries)
        return queries

    # ---- the collection's methods

    def upsert(self, ids: IdsLike, vectors: Any, payloads: Any = None) -> None:
        """Inserts or replaces vectors by id (one id and vector, or n of each); see varnel.Collection."""
        arr, single = cv.id_array(ids)
        matrix = cv.vector_matrix(vectors, len(arr), single, self._dim, arr)
        items = cv.payload_list(payloads, len(arr), single)
        cv.check_payloads(items)
        self._check_open()
        calls: List[Tuple[int, str, Tuple[Any, ...]]] = []
        for s, pos in self._split(arr):
            if pos is None:
                part = (arr, matrix, items)
            else:
                part = (arr[pos], matrix[pos], None if items is None else [items[i] for i in pos.tolist()])
            calls.append((s, "upsert", part))
        self._gather(calls)

    def delete(self, ids: IdsLike) -> int:
        """Deletes by id; returns how many of them were present."""
        arr, _ = cv.id_array(ids)
        self._check_open()
        calls = [(s, "delete", (arr if pos is None else arr[pos],)) for s, pos in self._split(arr)]
        return sum(self._gather(calls))

    def _route(self, n: int) -> int:
        return int((_splitmix64(np.array([n], dtype=np.uint64)) % np.uint64(self._shards))[0])

    def get(self, id: Any) -> Optional[Entry]:
        """(float32 copy of the vector, payload dict) of `id`, or None when absent."""
        n = cv.one_id(id)
        self._check_open()
        return self._gather([(self._route(n), "get", (n,))])[0]  # type: ignore[no-any-return]

    def _holds(self, id: int) -> bool:
        self._check_open()
        return bool(self._gather([(self._route(id), "contains", (id,))])[0])

    def __len__(self) -> int:
        self._check_open()
        return sum(self._everywhere("count"))

    def ids(self) -> "np.ndarray[Any, np.dtype[np.uint64]]":
        """Every stored id, ascending (uint64)."""
        self._check_open()
        parts = self._everywhere("ids")
        return np.sort(np.concatenate([np.asarray(p, dtype=np.uint64) for p in parts]))

    def search(self, queries: Any, k: int, where: Optional[Dict[str, Any]] = None,
               payloads: bool = False) -> varnel.Hits:
        """The k nearest stored vectors of each query, merged over every shard; see varnel.Collection."""
        # The one-node checks, in the one-node order.
        matrix, one = cv.query_matrix(queries, self._dim)
        tree = cv.filter_tree(where)
        k = cv.check_k(k)
        cv.check_filter(tree)
        self._check_open()
        shared = self._shared(matrix[0] if one else matrix)
        parts = self._everywhere("search", shared, k, where, bool(payloads))
        return varnel.merge_hits([varnel.Hits(i, d, p) for i, d, p in parts], k)

    def flush(self) -> None:
        """Makes every operation acknowledged so far durable on every shard."""
        self._check_open()
        self._everywhere("flush")

    def compact(self) -> None:
        """Compacts every shard's collection."""
        self._check_open()
        self._everywhere("compact")

    def close(self) -> None:
        """Flushes and closes every shard, then ends their actors. A second close does nothing;
        when a shard's close fails the collection stays open."""
        if self._closed:
            return
        self._everywhere("close")
        self._stop()

    def _stop(self) -> None:
        atexit.unregister(self._at_exit)
        for actor in self._actors:
            ray.kill(actor, no_restart=True)
        self._actors = []
        self._closed = True

    def __enter__(self) -> "Collection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- attributes

    @property
    def path(self) -> str:
        """The directory, as given."""
        return self._path

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> str:
        return self._metric

    @property
    def threads(self) -> int:
        """Search threads of each shard's collection (one; the shards run in parallel)."""
        return 1

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def placement(self) -> List[Optional[Dict[str, str]]]:
        return [None if p is None else dict(p) for p in self._placement]

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return (f"varnel.cluster.Collection({self._path!r}, dim={self._dim}, metric={self._metric!r}, "
                f"shards={self._shards}) [{state}]")

    # ---- for tests and benchmarks

    def _processes(self) -> List[Tuple[int, str]]:
        """(pid, node id) of each shard's actor process."""
        self._check_open()
        return self._everywhere("ping")

    def _noop(self) -> None:
        """An empty call to every shard: Ray's own cost of one round."""
        self._check_open()
        self._everywhere("noop")


def _close_at_exit(ref: "weakref.ref[Collection]") -> None:
    coll = ref()
    if coll is not None and not coll.closed and ray.is_initialized():
        try:
            coll.close()
        except Exception:  # noqa: BLE001 - the driver is ending; a shard's log still holds what was synced
            pass


def _why(e: BaseException) -> str:
    """Ray's reason in one line: for a shard whose opening raised, the
    exception's own last line ("FileNotFoundError: ..."); else the first."""
    lines = [line for line in str(e).strip().splitlines() if line.strip()]
    if not lines:
        return type(e).__name__
    if isinstance(e, ray.exceptions.RayActorError) and e.actor_init_failed:
        return lines[-1].strip()
    return lines[0].strip()
