"""Argument normalisation shared by every front end of the package.

Ids become C-contiguous ``uint64`` arrays without ever passing through a
float; vectors and queries become C-contiguous ``float32`` matrices (values
rounded to the nearest float32 as the low-level module does: through a
double, beyond float32's range to an infinity); ``where`` dicts become the
tuple tree the engine turns into the core's filter conditions.

Every check here runs before anything is stored or searched, so a refused
call changes nothing.
"""

from __future__ import annotations

import json
import operator
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _engine

__all__ = [
    "Metric",
    "check_dim",
    "check_filter",
    "check_k",
    "check_metric",
    "check_payloads",
    "check_threads",
    "columnar_vectors",
    "dimension_mismatch",
    "filter_tree",
    "id_array",
    "one_id",
    "open_config",
    "path_text",
    "payload_list",
    "optional_module",
    "query_matrix",
    "search_window",
    "vector_matrix",
]

METRICS = ("euclidean", "cosine", "dot")
Metric = str
U64_MAX = 2**64 - 1
# The largest dim, k and thread count taken: a row of dim floats is
# addressable, k fits the core's signed sizes, and no process is given
# more CPUs than a CPU set holds.
MAX_DIM = 2**31 - 1
MAX_K = 2**63 - 1
MAX_THREADS = 1024
# Levels of dicts in a `where` (the top one counts); deeper is refused
# before anything recurses on it.
MAX_FILTER_DEPTH = 128

IdLike = Union[int, "np.integer[Any]"]
IdsLike = Union[IdLike, Sequence[IdLike], "npt.NDArray[np.integer[Any]]"]


def check_metric(metric: object) -> str:
    if not isinstance(metric, str) or metric not in METRICS:
        raise ValueError(f"unknown metric: {metric!r} (expected 'euclidean', 'cosine' or 'dot')")
    return metric


def count(name: str, value: object, least: int, most: int, most_text: str) -> int:
    """An int argument in [least, most]; bools and floats are refused."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'") from None
    if n < least:
        raise ValueError(f"{name} must be at least {least}, got {n}")
    if n > most:
        raise ValueError(f"{name} must be at most {most_text}, got {n}")
    return n


def check_dim(dim: object) -> int:
    return count("dim", dim, 1, MAX_DIM, "2**31 - 1")


def check_threads(threads: Optional[int]) -> int:
    """0 stands for every CPU the process may use."""
    return 0 if threads is None else count("threads", threads, 1, MAX_THREADS, str(MAX_THREADS))


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


def _from_library(values: object, name: str) -> bool:
    """Whether `values` is an object of the module `name` (pyarrow, pandas),
    told without importing it."""
    return type(values).__module__.split(".")[0] == name


def optional_module(name: str) -> Any:
    """An optional dependency, or ImportError saying how to install it."""
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError:
        raise ImportError(f"this needs {name}: pip install 'varnel[arrow]'") from None


def _columnar(values: Any) -> Any:
    """A pyarrow array or pandas Series/Index as numpy (zero copy where the
    layout allows); anything else as it is."""
    if _from_library(values, "pyarrow"):
        if hasattr(values, "combine_chunks"):
            values = values.combine_chunks()
        if values.null_count:
            raise ValueError("a pyarrow array with nulls cannot be stored")
        return values.to_numpy(zero_copy_only=False)
    if _from_library(values, "pandas") and hasattr(values, "to_numpy"):
        return values.to_numpy()
    return values


def columnar_vectors(vectors: Any) -> Any:
    """Vectors given as a pyarrow (fixed-size) list array or a pandas Series
    of rows, as one numpy matrix built without a Python loop per row;
    anything else as it is."""
    if _from_library(vectors, "pyarrow"):
        pa = optional_module("pyarrow")
        if isinstance(vectors, pa.ChunkedArray):
            vectors = vectors.combine_chunks()
        if vectors.null_count:
            raise ValueError("vectors must not be null")
        kind = vectors.type
        if pa.types.is_fixed_size_list(kind):
            flat = vectors.flatten()  # honours the array's offset
            if flat.null_count:
                raise ValueError("vector components must not be null")
            return flat.to_numpy(zero_copy_only=False).reshape(len(vectors), kind.list_size)
        if pa.types.is_list(kind) or pa.types.is_large_list(kind):
            rows = vectors.to_numpy(zero_copy_only=False)
            return np.stack(rows) if len(rows) else rows
        return vectors.to_numpy(zero_copy_only=False)
    if _from_library(vectors, "pandas") and hasattr(vectors, "to_numpy"):
        rows = vectors.to_numpy()
        if rows.dtype == object and rows.ndim == 1 and len(rows):
            return np.stack(rows)
        return rows
    return vectors


def id_array(ids: object) -> "tuple[npt.NDArray[np.uint64], bool]":
    """(C-contiguous uint64 array, whether a single id was given)."""
    ids = _columnar(ids)
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


def _row_name(what: str, i: int, ids: "Optional[npt.NDArray[np.uint64]]") -> str:
    """'vector 1 (id 2)': a row by its position, and its id when known."""
    if ids is not None and i < len(ids):
        return f"{what} {i} (id {int(ids[i])})"
    return f"{what} {i}"


def _float32(values: Any, what: str, dim: int, ids: "Optional[npt.NDArray[np.uint64]]" = None) -> "npt.NDArray[np.float32]":
    """Rounded to the nearest float32 through a double, as the low-level module rounds.

    `what` names the rows ('vector', 'query') in error texts; a list of rows
    of several lengths is refused naming the first row that is not `dim`
    long."""
    if values is None:
        raise TypeError(f"{what}s must be array-like of real numbers, not None")
    if isinstance(values, np.ndarray) and values.dtype == np.float32:
        return np.ascontiguousarray(values)
    if isinstance(values, np.ndarray) and values.dtype.kind not in "biuf":
        raise TypeError(f"{what}s must hold real numbers, not {values.dtype}")
    try:
        wide = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as e:
        if isinstance(values, Sequence) and not isinstance(values, (str, bytes)):
            for i, row in enumerate(values):
                if isinstance(row, (str, bytes)) or not hasattr(row, "__len__"):
                    continue
                if len(row) != dim:
                    raise ValueError(
                        f"{_row_name(what, i, ids)}: dimension mismatch: expected {dim}, got {len(row)}"
                    ) from None
        raise TypeError(f"{what}s must be sequences of real numbers: {e}") from None
    if wide.ndim == 0:
        raise TypeError(f"{what}s must be array-like: a {what} is a sequence of {dim} numbers, not a scalar")
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(wide.astype(np.float32))


def _check_finite(m: "npt.NDArray[np.float32]", ids: "Optional[npt.NDArray[np.uint64]]") -> None:
    finite = np.isfinite(m)
    if finite.all():
        return
    r = int(np.flatnonzero(~finite.all(axis=1))[0])
    c = int(np.flatnonzero(~finite[r])[0])
    raise ValueError(f"{_row_name('vector', r, ids)} has a non-finite component: {float(m[r, c])}")


def vector_matrix(
    vectors: Any, count: int, single: bool, dim: int, ids: "Optional[npt.NDArray[np.uint64]]" = None
) -> "npt.NDArray[np.float32]":
    """(count, dim) float32 of finite values; a single id takes one 1-D
    vector. `ids` (the ids of the rows) names a refused row in the error."""
    m = _float32(vectors, "vector", dim, ids)
    if single:
        if m.ndim != 1:
            raise ValueError(f"one id takes one 1-D vector, got shape {m.shape}")
        if m.shape[0] != dim:
            raise dimension_mismatch(dim, m.shape[0])
        m = m.reshape(1, dim)
    elif m.ndim == 1 and m.shape[0] == 0 and count == 0:
        return m.reshape(0, dim)
    elif m.ndim != 2:
        raise ValueError(f"{count} ids take a (n, dim) array of vectors, got shape {m.shape}")
    elif m.shape[0] != count:
        raise ValueError(f"{count} ids but {m.shape[0]} vectors")
    elif m.shape[1] != dim:
        raise dimension_mismatch(dim, m.shape[1])
    _check_finite(m, ids)
    return m


def query_matrix(queries: Any, dim: int) -> "tuple[npt.NDArray[np.float32], bool]":
    """((nq, dim) float32, whether a single 1-D query was given)."""
    m = _float32(queries, "query", dim)
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
    return count("k", k, 0, MAX_K, "2**63 - 1")


def search_window(k: object, offset: object, max_distance: object) -> "tuple[Optional[int], int, Optional[float]]":
    """(k or None for every hit, offset, max_distance or None) of a search;
    k=None needs max_distance."""
    first = count("offset", offset, 0, MAX_K, "2**63 - 1")
    radius: Optional[float] = None
    if max_distance is not None:
        if isinstance(max_distance, (bool, np.bool_)) or not _is_number(max_distance):
            raise TypeError(f"max_distance must be a number, not '{type(max_distance).__name__}'")
        radius = float(max_distance)  # type: ignore[arg-type]
        if radius != radius:
            raise ValueError("max_distance must not be NaN")
    if k is None:
        if radius is None:
            raise TypeError("k=None needs max_distance (every hit within that distance)")
        return None, first, radius
    return check_k(k), first, radius


def payload_list(payloads: Any, count: int, single: bool) -> Optional[list[Any]]:
    """None, or one dict-or-None per id (the engine checks the values)."""
    if payloads is None:
        return None
    if _from_library(payloads, "pyarrow"):
        pa = optional_module("pyarrow")
        if isinstance(payloads, pa.ChunkedArray):
            payloads = payloads.combine_chunks()
        if pa.types.is_string(payloads.type) or pa.types.is_large_string(payloads.type):
            # JSON text, as to_arrow writes it.
            payloads = [None if t is None else json.loads(t) for t in payloads.to_pylist()]
        else:
            payloads = payloads.to_pylist()
    elif _from_library(payloads, "pandas") and hasattr(payloads, "tolist"):
        payloads = payloads.tolist()
    elif isinstance(payloads, np.ndarray) and payloads.dtype == object and payloads.ndim == 1:
        payloads = payloads.tolist()
    if single:
        return [payloads]
    if isinstance(payloads, Mapping):
        raise TypeError("several ids take a sequence of payloads, one per id")
    items = list(payloads)
    if len(items) != count:
        raise ValueError(f"{count} ids but {len(items)} payloads")
    return items


def check_payloads(items: Optional[list[Any]]) -> None:
    """Refuses what upsert would refuse in `payload_list`'s result, with its texts."""
    if items is not None:
        _engine.check_payloads(items, len(items))


# ---- where -> filter tree
#
# The tree (the engine reads it; see py/src/engine.cc):
#   (op, field, value, where)   op: eq ne gt gte lt lte contains_element
#   ("in", field, [values], where)  ("contains", field, text, where)
#   ("exists", field)  ("not", tree)  ("and"|"or", [trees])
# `where` is the text naming the operand in the user's dict, for errors.
# And/Or take any number of operands, so a wide filter is a wide node, never
# a deep chain; ("and", []) matches every row and ("or", []) none.

Tree = tuple[Any, ...]

_COMPARISONS = {"$eq": "eq", "$ne": "ne", "$gt": "gt", "$gte": "gte", "$lt": "lt", "$lte": "lte"}
_NUMERIC = ("gt", "gte", "lt", "lte")
_ALL: Tree = ("and", [])
_NOTHING: Tree = ("or", [])


def _is_number(v: object) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))


def _all_of(nodes: list[Tree]) -> Optional[Tree]:
    """None (every row) for no nodes, the node itself for one."""
    if not nodes:
        return None
    return nodes[0] if len(nodes) == 1 else ("and", nodes)


def _text_key(key: object, at: str) -> str:
    if not isinstance(key, str):
        raise ValueError(f"{at}: filter keys must be str, got {key!r}")
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{at}[{key!r}]: text is not valid UTF-8") from None
    return key


def _value_list(op: str, field: str, value: object, at: str) -> list[Any]:
    """The operands of $in / $nin: a list, tuple, set or 1-D numpy array."""
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"{at}: {op} on {field!r} takes a list of values, got an array of shape {value.shape}")
        return value.tolist()  # type: ignore[no-any-return]
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, (Sequence, set, frozenset)):
        raise ValueError(f"{at}: {op} on {field!r} takes a list of values")
    return list(value)


def _field(field: str, spec: object, at: str) -> Tree:
    """The node for `field: spec`; `at` names the field ("where['a']")."""
    if not isinstance(spec, Mapping):
        return ("eq", field, spec, at)
    if not spec:
        raise ValueError(f"{at}: empty condition for field {field!r}")
    nodes: list[Tree] = []
    for op, value in spec.items():
        if not isinstance(op, str) or not op.startswith("$"):
            raise ValueError(
                f"{at}: unknown operator {op!r} in the condition on {field!r} "
                "(to compare with a dict, use {'$eq': {...}})"
            )
        here = f"{at}[{op!r}]"
        if op in _COMPARISONS:
            kind = _COMPARISONS[op]
            if kind in _NUMERIC and not _is_number(value):
                raise ValueError(f"{here}: {op} on {field!r} takes a number, got {type(value).__name__}")
            nodes.append((kind, field, value, here))
        elif op == "$in":
            nodes.append(("in", field, _value_list(op, field, value, here), here))
        elif op == "$nin":
            nodes.append(("not", ("in", field, _value_list(op, field, value, here), here)))
        elif op == "$contains":
            element = ("contains_element", field, value, here)
            # A str operand: a substring of a str field, or an element of an array.
            nodes.append(("or", [("contains", field, value, here), element]) if isinstance(value, str) else element)
        elif op == "$exists":
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError(f"{here}: $exists on {field!r} takes True or False")
            node: Tree = ("exists", field)
            nodes.append(node if value else ("not", node))
        else:
            raise ValueError(f"{here}: unknown operator {op!r} in the condition on {field!r}")
    tree = _all_of(nodes)
    assert tree is not None
    return tree


def _clauses(op: str, value: object, at: str, depth: int) -> list[Optional[Tree]]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Sequence):
        raise ValueError(f"{at}: {op} takes a list of conditions")
    return [_where(item, f"{at}[{i}]", depth + 1) for i, item in enumerate(value)]


def _where(where: object, at: str, depth: int) -> Optional[Tree]:
    """The tree of a `where` dict at level `depth`; None when it keeps every row."""
    if depth > MAX_FILTER_DEPTH:
        raise ValueError(f"filter nested too deeply (more than {MAX_FILTER_DEPTH} levels of dicts)")
    if not isinstance(where, Mapping):
        raise ValueError(f"{at}: a filter must be a dict, not '{type(where).__name__}'")
    nodes: list[Tree] = []
    for key, value in where.items():
        key = _text_key(key, at)
        here = f"{at}[{key!r}]"
        if key == "$and":
            nodes.extend(t for t in _clauses(key, value, here, depth) if t is not None)
        elif key == "$or":
            clauses = _clauses(key, value, here, depth)
            nodes.append(("or", [_ALL if t is None else t for t in clauses]))
        elif key == "$not":
            inner = _where(value, here, depth + 1)
            nodes.append(_NOTHING if inner is None else ("not", inner))
        elif key.startswith("$"):
            raise ValueError(f"{here}: unknown filter operator {key!r}")
        else:
            nodes.append(_field(key, value, here))
    return _all_of(nodes)


def filter_tree(where: object) -> Optional[Tree]:
    """The tree for a `where` dict; None when it keeps every row. Refuses
    what is not a filter, and dicts nested more than MAX_FILTER_DEPTH deep;
    the operand values are checked by the engine (`check_filter`)."""
    if where is None:
        return None
    return _where(where, "where", 1)


def check_filter(tree: Optional[Tree]) -> None:
    """Refuses the operand values a search would refuse, with its texts."""
    _engine.check_filter(tree)
