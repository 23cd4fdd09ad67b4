"""Argument normalisation shared by every front end of the package.

Ids become C-contiguous ``uint64`` arrays without ever passing through a
float; vectors and queries become C-contiguous ``float32`` matrices (values
rounded to the nearest float32 as the low-level module does: through a
double, beyond float32's range to an infinity); ``where`` dicts become the
tuple tree the engine turns into the core's filter conditions.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "Metric",
    "check_metric",
    "dimension_mismatch",
    "filter_tree",
    "id_array",
    "one_id",
    "open_config",
    "path_text",
    "payload_list",
    "query_matrix",
    "vector_matrix",
]

METRICS = ("euclidean", "cosine", "dot")
Metric = str
U64_MAX = 2**64 - 1

IdLike = Union[int, "np.integer[Any]"]
IdsLike = Union[IdLike, Sequence[IdLike], "npt.NDArray[np.integer[Any]]"]


def check_metric(metric: object) -> str:
    if not isinstance(metric, str) or metric not in METRICS:
        raise ValueError(f"unknown metric: {metric!r} (expected 'euclidean', 'cosine' or 'dot')")
    return metric


def count(name: str, value: object, least: int) -> int:
    """An int argument of at least `least`; bools and floats are refused."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int")
    n = operator.index(value)  # type: ignore[arg-type]
    if n < least:
        raise ValueError(f"{name} must be at least {least}, got {n}")
    return n


def check_dim(dim: object) -> int:
    return count("dim", dim, 1)


def check_threads(threads: Optional[int]) -> int:
    """0 stands for every CPU the process may use."""
    return 0 if threads is None else count("threads", threads, 1)


def path_text(path: Union[str, "os.PathLike[str]"]) -> str:
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError("path must be a str or an os.PathLike of str")
    return p


def open_config(
    path: str, stored: Optional[tuple[int, str]], dim: Optional[int], metric: Optional[str]
) -> tuple[int, str]:
    """The (dim, metric) to open `path` with: what it stores (`stored`, None for
    nothing yet) checked against what the caller asked for (None: anything).

    Creating needs both; a stored metric varnel cannot search, or a stored
    configuration other than the one asked for, is refused naming both."""
    want_dim = None if dim is None else check_dim(dim)
    want_metric = None if metric is None else check_metric(metric)
    if stored is None:
        if want_dim is None or want_metric is None:
            raise ValueError(f"{path!r} holds no collection: dim and metric are needed to create one")
        return want_dim, want_metric
    have_dim, have_metric = stored
    if have_metric not in METRICS:
        raise ValueError(f"{path!r} holds a collection of metric {have_metric!r}, which varnel cannot search")
    if (want_dim is not None and want_dim != have_dim) or (want_metric is not None and want_metric != have_metric):
        raise ValueError(
            f"{path!r} holds a collection of dim={have_dim}, metric={have_metric!r}; "
            f"asked for dim={want_dim if want_dim is not None else have_dim}, "
            f"metric={want_metric if want_metric is not None else have_metric!r}"
        )
    return have_dim, have_metric


def dimension_mismatch(expected: int, got: int) -> ValueError:
    return ValueError(f"dimension mismatch: expected {expected}, got {got}")


def one_id(value: object) -> int:
    """An id as a Python int in [0, 2**64 - 1]; floats and bools are refused."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("ids must be integers, not bool")
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"ids must be integers, not '{type(value).__name__}'") from None
    if n < 0 or n > U64_MAX:
        raise ValueError(f"id out of range: {n} (ids are 0 to 2**64 - 1)")
    return n


def id_array(ids: object) -> "tuple[npt.NDArray[np.uint64], bool]":
    """(C-contiguous uint64 array, whether a single id was given)."""
    if isinstance(ids, np.ndarray):
        if ids.ndim == 0:
            return np.array([one_id(ids.item())], dtype=np.uint64), True
        if ids.ndim != 1:
            raise ValueError(f"ids must be one-dimensional, got shape {ids.shape}")
        if ids.dtype.kind == "u":
            return np.ascontiguousarray(ids, dtype=np.uint64), False
        if ids.dtype.kind == "i":
            if ids.size and int(ids.min()) < 0:
                raise ValueError(f"id out of range: {int(ids.min())} (ids are 0 to 2**64 - 1)")
            return np.ascontiguousarray(ids.astype(np.uint64)), False
        if ids.dtype == object:
            return np.array([one_id(i) for i in ids], dtype=np.uint64), False
        raise TypeError(f"ids must be integers, not an array of {ids.dtype}")
    if isinstance(ids, (str, bytes)):
        raise TypeError(f"ids must be integers, not '{type(ids).__name__}'")
    if isinstance(ids, Iterable):
        return np.array([one_id(i) for i in ids], dtype=np.uint64), False
    return np.array([one_id(ids)], dtype=np.uint64), True


def _float32(values: Any) -> "npt.NDArray[np.float32]":
    """Rounded to the nearest float32 through a double, as the low-level module rounds."""
    if isinstance(values, np.ndarray) and values.dtype == np.float32:
        return np.ascontiguousarray(values)
    if isinstance(values, np.ndarray) and values.dtype.kind not in "biuf":
        raise TypeError(f"vectors must hold real numbers, not {values.dtype}")
    try:
        wide = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"vectors must be sequences of real numbers: {e}") from None
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(wide.astype(np.float32))


def vector_matrix(vectors: Any, count: int, single: bool, dim: int) -> "npt.NDArray[np.float32]":
    """(count, dim) float32; a single id takes one 1-D vector."""
    m = _float32(vectors)
    if single:
        if m.ndim != 1:
            raise ValueError(f"one id takes one 1-D vector, got shape {m.shape}")
        if m.shape[0] != dim:
            raise dimension_mismatch(dim, m.shape[0])
        return m.reshape(1, dim)
    if m.ndim == 1 and m.shape[0] == 0 and count == 0:
        return m.reshape(0, dim)
    if m.ndim != 2:
        raise ValueError(f"{count} ids take a (n, dim) array of vectors, got shape {m.shape}")
    if m.shape[0] != count:
        raise ValueError(f"{count} ids but {m.shape[0]} vectors")
    if m.shape[1] != dim:
        raise dimension_mismatch(dim, m.shape[1])
    return m


def query_matrix(queries: Any, dim: int) -> "tuple[npt.NDArray[np.float32], bool]":
    """((nq, dim) float32, whether a single 1-D query was given)."""
    m = _float32(queries)
    if m.ndim == 1:
        if m.shape[0] != dim:
            raise dimension_mismatch(dim, m.shape[0])
        return m.reshape(1, dim), True
    if m.ndim != 2:
        raise ValueError(f"queries must be 1-D or 2-D, got shape {m.shape}")
    if m.shape[1] != dim and not (m.shape[0] == 0 and m.shape[1] == 0):
        raise dimension_mismatch(dim, m.shape[1])
    return m.reshape(m.shape[0], dim), False


def check_k(k: object) -> int:
    return count("k", k, 0)


def payload_list(payloads: Any, count: int, single: bool) -> Optional[list[Any]]:
    """None, or one dict-or-None per id (the engine checks the values)."""
    if payloads is None:
        return None
    if single:
        return [payloads]
    if isinstance(payloads, Mapping):
        raise TypeError("several ids take a sequence of payloads, one per id")
    items = list(payloads)
    if len(items) != count:
        raise ValueError(f"{count} ids but {len(items)} payloads")
    return items


# ---- where -> filter tree

_COMPARISONS = {"$eq": "eq", "$ne": "ne", "$gt": "gt", "$gte": "gte", "$lt": "lt", "$lte": "lte"}
_NUMERIC = ("gt", "gte", "lt", "lte")


def _is_number(v: object) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))


def _chain(op: str, nodes: list[tuple[Any, ...]], empty: Optional[tuple[Any, ...]]) -> Optional[tuple[Any, ...]]:
    """Folds nodes right to left; `empty` (None: match all) for no nodes."""
    if not nodes:
        return empty
    tree = nodes[-1]
    for node in reversed(nodes[:-1]):
        tree = (op, node, tree)
    return tree


def _field(field: str, spec: object) -> tuple[Any, ...]:
    if not isinstance(spec, Mapping):
        return ("eq", field, spec)
    if not spec:
        raise ValueError(f"empty condition for field {field!r}")
    nodes = []
    for op, value in spec.items():
        if not isinstance(op, str) or not op.startswith("$"):
            raise ValueError(
                f"unknown operator {op!r} in the condition on {field!r} "
                "(to compare with a dict, use {'$eq': {...}})"
            )
        if op in _COMPARISONS:
            kind = _COMPARISONS[op]
            if kind in _NUMERIC and not _is_number(value):
                raise ValueError(f"{op} on {field!r} takes a number, got {type(value).__name__}")
            nodes.append((kind, field, value))
        elif op == "$in":
            if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, (Sequence, set, frozenset)):
                raise ValueError(f"$in on {field!r} takes a list of values")
            nodes.append(("in", field, list(value)))
        elif op == "$contains":
            if not isinstance(value, str):
                raise ValueError(f"$contains on {field!r} takes a str")
            nodes.append(("contains", field, value))
        elif op == "$exists":
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError(f"$exists on {field!r} takes True or False")
            node: tuple[Any, ...] = ("exists", field)
            nodes.append(node if value else ("not", node))
        else:
            raise ValueError(f"unknown operator {op!r} in the condition on {field!r}")
    tree = _chain("and", nodes, None)
    assert tree is not None
    return tree


def _clauses(op: str, value: object) -> list[tuple[Any, ...]]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Sequence):
        raise ValueError(f"{op} takes a list of conditions")
    out = []
    for item in value:
        node = filter_tree(item)
        out.append(node if node is not None else ("not", ("none",)))
    return out


def filter_tree(where: object) -> Optional[tuple[Any, ...]]:
    """The tree for a `where` dict; None when it keeps every row."""
    if where is None:
        return None
    if not isinstance(where, Mapping):
        raise ValueError(f"where must be a dict, not '{type(where).__name__}'")
    nodes = []
    for key, value in where.items():
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be str, got {key!r}")
        if key == "$and":
            tree = _chain("and", _clauses(key, value), None)
            if tree is not None:
                nodes.append(tree)
        elif key == "$or":
            tree = _chain("or", _clauses(key, value), ("none",))
            assert tree is not None
            nodes.append(tree)
        elif key == "$not":
            inner = filter_tree(value)
            nodes.append(("not", inner if inner is not None else ("not", ("none",))))
        elif key.startswith("$"):
            raise ValueError(f"unknown operator {key!r}")
        else:
            nodes.append(_field(key, value))
    return _chain("and", nodes, None)
