"""varnel input checks: every refused argument raises before anything is
stored (with a text naming it), filters of any width work and deep ones are
refused, and the filter operators $nin, $contains on arrays and numpy
scalars."""

import pathlib
import platform

import numpy as np

import pytest

import varnel
from varnel import _convert

inf = float("inf")
nan = float("nan")


@pytest.fixture(params=["index", "collection"])
def store(request, tmp_path):
    if request.param == "index":
        yield varnel.Index(3, "euclidean", threads=1)
    else:
        c = varnel.Collection(tmp_path / "c", 3, "euclidean", threads=1)
        yield c
        c.close()


def state_of(store):
    """What a refused call must leave alone: ids, payloads and the files."""
    state = [(i, store[i][0].tolist(), store[i][1]) for i in store.ids().tolist()]
    if isinstance(store, varnel.Collection):
        store.flush()
        d = pathlib.Path(store.path)
        state.append({n: (d / n).read_bytes() for n in ("wal.log", "data.vnl", "meta.json")})
    return state


# ---- refused calls: (call on a 3-dim store, exception, text)

REFUSED = [
    # vectors
    (lambda s: s.upsert(7, None), TypeError, "not None"),
    (lambda s: s.upsert(7, 5.0), TypeError, "not a scalar"),
    (lambda s: s.upsert([7], np.float32(5.0)), TypeError, "not a scalar"),
    (lambda s: s.upsert([1, 2, 3], [[1, 2, 3], [1, 2], [1, 2, 3]]), ValueError,
     r"vector 1 \(id 2\): dimension mismatch: expected 3, got 2"),
    (lambda s: s.upsert([1, 2], [[1, 2, 3, 4], [1, 2, 3]]), ValueError,
     r"vector 0 \(id 1\): dimension mismatch: expected 3, got 4"),
    (lambda s: s.upsert([1, 2, 3], [[1, 1, 1], [inf, 1, 1], [2, 2, 2]]), ValueError,
     r"vector 1 \(id 2\) has a non-finite component: inf"),
    (lambda s: s.upsert([1, 2], [[1, 1, 1], [1, 1, -inf]]), ValueError, r"vector 1 \(id 2\).*: -inf"),
    (lambda s: s.upsert([4, 9], [[1, 1, nan], [1, 1, 1]]), ValueError, r"vector 0 \(id 4\).*: nan"),
    (lambda s: s.upsert(9, [1, 1e39, 1]), ValueError, r"vector 0 \(id 9\).*: inf"),  # rounds to inf
    (lambda s: s.upsert([3], np.array([[1, 1, np.inf]], np.float32)), ValueError, r"\(id 3\)"),
    # counts
    (lambda s: s.search([1, 2, 3], 2**64), ValueError, r"k must be at most 2\*\*63 - 1"),
    (lambda s: s.search([1, 2, 3], 2**63), ValueError, r"k must be at most"),
    (lambda s: s.search([1, 2, 3], "ten"), TypeError, "k must be an int, not 'str'"),
    (lambda s: s.search(None, 1), TypeError, "not None"),
    # text that is not valid UTF-8
    (lambda s: s.upsert(1, [1, 2, 3], {"\ud800": 1}), ValueError,
     r"payload\['\\ud800'\]: text is not valid UTF-8"),
    (lambda s: s.upsert(1, [1, 2, 3], {"a": [{"\udfff": 1}]}), ValueError,
     r"payload\['a'\]\[0\]\['\\udfff'\]: text is not valid UTF-8"),
    (lambda s: s.upsert(1, [1, 2, 3], {"a": "x\ud800"}), ValueError, r"payload\['a'\]: text is not valid"),
    (lambda s: s.search([1, 2, 3], 1, where={"\ud800": 1}), ValueError,
     r"where\['\\ud800'\]: text is not valid UTF-8"),
    (lambda s: s.search([1, 2, 3], 1, where={"$or": [{"a": {"$in": [1, "\ud800"]}}]}), ValueError,
     r"where\['\$or'\]\[0\]\['a'\]\['\$in'\]\[1\]: text is not valid UTF-8"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$contains": "\ud800"}}), ValueError,
     r"where\['a'\]\['\$contains'\]: text is not valid"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"b": {"\ud800": 1}}}), ValueError, "unknown operator"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$eq": {"\ud800": 1}}}), ValueError,
     r"where\['a'\]\['\$eq'\]\['\\ud800'\]: text is not valid"),
    # filter values: the text names the filter, never storing
    (lambda s: s.search([1, 2, 3], 1, where={"a": {1, 2}}), TypeError, r"where\['a'\]: values of type 'set'"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$ne": nan}}), ValueError, r"where\['a'\]\['\$ne'\]: float"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$in": [1, 2**64]}}), ValueError, r"\['\$in'\]\[1\]: int"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$nin": np.zeros((2, 2))}}), ValueError, r"shape \(2, 2\)"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$nin": 3}}), ValueError, r"\$nin on 'a' takes a list"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": {"$gt": np.bool_(True)}}), ValueError, r"\$gt on 'a'"),
    (lambda s: s.search([1, 2, 3], 1, where={"a": np.complex64(1)}), TypeError, r"where\['a'\]: values of type"),
]


@pytest.mark.parametrize("call, exc, text", REFUSED)
def test_refused_calls_name_the_fault_and_change_nothing(store, call, exc, text):
    store.upsert([50, 51], [[0, 0, 0], [1, 1, 1]], [{"keep": 1}, None])
    before = state_of(store)
    with pytest.raises(exc, match=text) as e:
        call(store)
    assert "cannot be stored" not in str(e.value) or "payload" in str(e.value)
    assert "incompatible function arguments" not in str(e.value)
    assert state_of(store) == before


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda p: varnel.Index(2**64, "dot"), r"dim must be at most 2\*\*31 - 1"),
        (lambda p: varnel.Index(2**31, "dot"), r"dim must be at most"),
        (lambda p: varnel.Index(2, "dot", threads=2**64), "threads must be at most 1024"),
        (lambda p: varnel.Collection(p / "c", 2**64, "dot"), r"dim must be at most"),
        (lambda p: varnel.Collection(p / "c", 2, "dot", threads=2**64), "threads must be at most"),
    ],
)
def test_out_of_range_counts_are_refused_before_the_engine(tmp_path, make, text):
    with pytest.raises(ValueError, match=text):
        make(tmp_path)
    assert not (tmp_path / "c" / "meta.json").exists()


# ---- wide and deep filters


def nested(key, depth, leaf):
    where = leaf
    for _ in range(depth):
        where = {key: where} if key == "$not" else {key: [where]}
    return where


@pytest.fixture(scope="module")
def ten():
    index = varnel.Index(2, "dot", threads=1)
    index.upsert(range(10), np.ones((10, 2)), [{"n": i, "k": f"k{i}"} for i in range(10)])
    return index


def wide_keys(n):
    where = {f"f{j}": {"$exists": False} for j in range(n)}
    where["n"] = {"$gte": 7}
    return where


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"$or": [{"n": j} for j in range(20000, 0, -1)]}, list(range(1, 10))),
        ({"$or": [{"n": j + 10} for j in range(100000)] + [{"n": 3}]}, [3]),
        ({"$and": [{"n": {"$ne": j}} for j in range(100000)]}, []),
        ({"$and": [{"n": {"$ne": j}} for j in range(1, 100000)]}, [0]),
        ({"n": {"$in": list(range(5, 100000))}}, [5, 6, 7, 8, 9]),
        ({"n": {"$nin": np.arange(2, 100000)}}, [0, 1]),
        (wide_keys(20000), [7, 8, 9]),
        (nested("$not", 127, {"n": 1}), [0] + list(range(2, 10))),  # 128 levels of dicts in all
        (nested("$not", 126, {"n": 1}), [1]),
        (nested("$and", 127, {"n": 4}), [4]),
        (nested("$or", 127, {"n": 4}), [4]),
    ],
)
def test_wide_filters_and_deep_ones_up_to_the_limit_work(ten, where, expected):
    assert sorted(ten.search([1, 1], 10, where=where).ids.tolist()) == expected


@pytest.mark.parametrize("key, depth", [("$not", 128), ("$and", 128), ("$or", 128), ("$not", 10000),
                                        ("$and", 10000), ("$or", 10000)])
def test_filters_nested_too_deeply_are_refused(ten, key, depth):
    with pytest.raises(ValueError, match="filter nested too deeply"):
        ten.search([1, 1], 1, where=nested(key, depth, {"n": 1}))


def test_engine_refuses_a_deep_tree_it_is_handed():
    tree = ("exists", "n")
    for _ in range(10000):
        tree = ("not", tree)
    if platform.python_implementation() == "PyPy":
        # PyPy's C API layer copies the nested tuples on the way in and stops
        # at its own recursion limit, before the engine sees the tree.
        with pytest.raises((ValueError, RecursionError)):
            _convert.check_filter(tree)
        return
    with pytest.raises(ValueError, match="filter nested too deeply"):
        _convert.check_filter(tree)


# ---- $nin, $contains on arrays, numpy scalars

ROWS = [
    {"n": 1},                 # 0
    {"n": 1.0},               # 1
    {"n": 2},                 # 2
    {"tags": ["a", "b"]},     # 3
    {"tags": [1, 2.5, None]},  # 4
    {"tags": "ab"},           # 5
    {},                       # 6
    {"n": None},              # 7
    {"b": True},              # 8
    {"b": 1},                 # 9
    {"tags": [["a"], {"x": 1}]},  # 10
]


@pytest.fixture(scope="module")
def rows():
    index = varnel.Index(1, "dot", threads=1)
    index.upsert(range(len(ROWS)), np.ones((len(ROWS), 1)), ROWS)
    return index


@pytest.mark.parametrize(
    "where, expected",
    [
        # $nin: a missing field matches, as for $ne
        ({"n": {"$nin": [1, 2]}}, [1, 3, 4, 5, 6, 7, 8, 9, 10]),
        ({"n": {"$nin": (1.0, None)}}, [0, 2, 3, 4, 5, 6, 8, 9, 10]),
        ({"n": {"$nin": []}}, list(range(11))),
        ({"n": {"$ne": 1}}, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]),
        ({"n": {"$nin": np.array([1, 2])}}, [1, 3, 4, 5, 6, 7, 8, 9, 10]),
        ({"n": {"$in": np.array([1.0, 2.0])}}, [1]),
        ({"n": {"$in": (2, 1)}}, [0, 2]),
        # $contains: element of an array (number form kept), substring of a str
        ({"tags": {"$contains": "a"}}, [3, 5]),
        ({"tags": {"$contains": "ab"}}, [5]),
        ({"tags": {"$contains": 1}}, [4]),
        ({"tags": {"$contains": 1.0}}, []),
        ({"tags": {"$contains": 2.5}}, [4]),
        ({"tags": {"$contains": None}}, [4]),
        ({"tags": {"$contains": ["a"]}}, [10]),
        ({"tags": {"$contains": {"x": 1}}}, [10]),
        ({"n": {"$contains": 1}}, []),
        ({"$not": {"tags": {"$contains": "b"}}}, [0, 1, 2, 4, 6, 7, 8, 9, 10]),
        # numpy scalars hold their values; np.bool_ is a bool, not an int
        ({"n": np.int64(1)}, [0]),
        ({"n": np.uint8(2)}, [2]),
        ({"n": np.float32(1.0)}, [1]),
        ({"n": np.float64(1.0)}, [1]),
        ({"b": np.bool_(True)}, [8]),
        ({"b": {"$in": [np.bool_(True)]}}, [8]),
        ({"tags": np.str_("ab")}, [5]),
        ({"n": {"$gt": np.float32(1.5)}}, [2]),
        ({"n": {"$lte": np.int16(1)}}, [0, 1]),
        ({"tags": {"$contains": np.str_("b")}}, [3, 5]),
        ({"tags": {"$contains": np.float32(2.5)}}, [4]),
        ({"n": {"$exists": np.bool_(False)}}, [3, 4, 5, 6, 8, 9, 10]),
    ],
)
def test_filter_operators(rows, where, expected):
    assert sorted(rows.search([1], 20, where=where).ids.tolist()) == expected


def test_numpy_scalars_in_payloads_are_stored_as_the_values_they_hold(store):
    store.upsert(1, [1, 2, 3], {
        "f32": np.float32(0.5), "f16": np.float16(0.25), "f64": np.float64(0.1), "tenth": np.float32(0.1),
        "b": np.bool_(False), "s": np.str_("x"), "u": np.uint64(2**64 - 1), "i": np.int8(-3),
        "l": [np.bool_(True), np.float32(2.0)],
    })
    got = store[1][1]
    assert got == {"f32": 0.5, "f16": 0.25, "f64": 0.1, "tenth": float(np.float32(0.1)), "b": False, "s": "x",
                   "u": 2**64 - 1, "i": -3, "l": [True, 2.0]}
    assert [type(got[k]) for k in ("f32", "b", "s", "u")] == [float, bool, str, int]
    assert type(got["l"][0]) is bool
    assert store.search([1, 2, 3], 1, where={"tenth": np.float32(0.1), "b": False}).ids.tolist() == [1]
    with pytest.raises(ValueError, match=r"payload\['x'\]: float is not finite"):
        store.upsert(2, [1, 2, 3], {"x": np.float32("inf")})


def test_convert_checks_refuse_what_upsert_and_search_refuse():
    with pytest.raises(ValueError, match=r"payload\['a'\]: int does not fit"):
        _convert.check_payloads([None, {"a": 2**64}])
    with pytest.raises(TypeError, match="payload must be a dict"):
        _convert.check_payloads([3])
    _convert.check_payloads(None)
    with pytest.raises(TypeError, match=r"where\['a'\]: values of type 'object'"):
        _convert.check_filter(_convert.filter_tree({"a": object()}))
    _convert.check_filter(_convert.filter_tree({"$or": [{"a": 1}, {"b": {"$nin": [1]}}]}))
