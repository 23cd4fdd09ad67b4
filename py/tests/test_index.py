import array
import gc
import math
import random
import struct
import weakref

import pytest

import _varnel
from _varnel import Index
from conftest import IS_PYPY

MAX_ID = 2**64 - 1


def f32(x):
    """x rounded to a 32-bit float, widened back (x must be in range)."""
    return struct.unpack("f", struct.pack("f", x))[0]


def make(metric="euclidean", dimension=3):
    return Index(metric, dimension)


# ---------------------------------------------------------------------------
# Module and class surface


def test_module_surface():
    assert _varnel.__name__ == "_varnel"
    assert _varnel.__doc__ == ""
    assert _varnel.__all__ == ["Index", "Collection"]
    public = {name for name in dir(_varnel) if not name.startswith("__")}
    assert public == {"Index", "Collection"}


def test_class_docstring_and_signature():
    assert Index.__name__ == "Index"
    assert Index.__qualname__ == "Index"
    assert Index.__module__ == "_varnel"
    assert Index.__doc__ == (
        "In-memory brute-force vector index.\n\n"
        "This index stores all vectors in memory and performs exhaustive search\n"
        "for exact nearest neighbors."
    )
    assert Index.__text_signature__ == "(metric, dimension)"


INDEX_METHOD_DOCS = {
    "insert": (
        "($self, id, vector)",
        "Insert a vector into the index.\n\nArgs:\n"
        "    id (int): Unique identifier for the vector.\n"
        "    vector (list[float]): The vector data.",
    ),
    "search": (
        "($self, query, k)",
        "Search for nearest neighbors.\n\nArgs:\n"
        "    query (list[float]): The query vector.\n"
        "    k (int): Number of neighbors to return.\n\n"
        "Returns:\n    list[tuple[int, float]]: List of (id, distance) tuples.",
    ),
    "insert_batch": (
        "($self, ids, vectors)",
        "Insert multiple vectors at once.\n\nArgs:\n"
        "    ids (list[int]): List of unique identifiers.\n"
        "    vectors (list[list[float]]): List of vectors.",
    ),
    "search_batch": (
        "($self, queries, k)",
        "Search for nearest neighbors for multiple queries.\n\nArgs:\n"
        "    queries (list[list[float]]): List of query vectors.\n"
        "    k (int): Number of neighbors per query.\n\n"
        "Returns:\n    list[list[tuple[int, float]]]: Results for each query.",
    ),
}


@pytest.mark.parametrize("name", sorted(INDEX_METHOD_DOCS))
def test_method_docstrings(cpython_only, name):
    signature, doc = INDEX_METHOD_DOCS[name]
    method = getattr(Index, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_cannot_subclass():
    try:

        class Sub(Index):
            pass

    except TypeError:
        return  # CPython refuses the class statement itself
    # PyPy lets the class statement through; making an instance must fail.
    with pytest.raises(TypeError):
        Sub("cosine", 3)


def test_instances_made_around_the_constructor_are_refused():
    # CPython refuses object.__new__(Index); PyPy makes a zeroed instance,
    # which every method must refuse instead of crashing.
    try:
        raw = object.__new__(Index)
    except TypeError:
        raw = None
    if raw is not None:
        for call in (
            lambda: raw.insert(1, [1.0, 2.0, 3.0]),
            lambda: raw.search([1.0, 2.0, 3.0], 1),
            lambda: raw.insert_batch([1], [[1.0, 2.0, 3.0]]),
            lambda: raw.search_batch([[1.0, 2.0, 3.0]], 1),
        ):
            with pytest.raises(TypeError):
                call()
        del raw
        gc.collect()
    with pytest.raises(TypeError):
        Index.__new__(int, "cosine", 3)
    with pytest.raises(TypeError):
        Index.__new__(object, "cosine", 3)
    with pytest.raises(TypeError):
        Index.insert(5, 1, [1.0, 2.0, 3.0])


@pytest.mark.parametrize("duplicate", ["copy", "deepcopy", "pickle"])
def test_no_copying_or_pickling(duplicate):
    import copy
    import pickle

    index = make()
    index.insert(1, [1, 2, 3])
    with pytest.raises(TypeError):
        # CPython refuses to pickle; PyPy pickles, then cannot rebuild.
        if duplicate == "pickle":
            pickle.loads(pickle.dumps(index))
        else:
            getattr(copy, duplicate)(index)
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]


def test_no_dict_no_weakref_no_extras():
    index = make()
    with pytest.raises(TypeError):
        len(index)
    with pytest.raises(TypeError):
        index < index
    if IS_PYPY:
        return  # PyPy gives every instance a dictionary and weak references
    with pytest.raises(AttributeError):
        index.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(index)


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "metric", ["Cosine", "hamming", "Hamming", "", " cosine", "cosine ", "dot\0", "euclid"]
)
def test_invalid_metric(metric):
    with pytest.raises(ValueError, match=r"^Invalid metric$"):
        Index(metric, 3)


def test_construct_by_keyword_either_order():
    Index(metric="cosine", dimension=3)
    Index(dimension=3, metric="cosine")
    Index("cosine", dimension=3)


def test_swapped_constructor_arguments_name_metric():
    with pytest.raises(TypeError) as info:
        Index(3, "cosine")
    assert str(info.value) == "argument 'metric': 'int' object cannot be converted to 'PyString'"


def test_dimension_converted_before_metric_lookup():
    with pytest.raises(OverflowError):
        Index("no-such-metric", -1)
    with pytest.raises(TypeError, match=r"^argument 'dimension': "):
        Index("no-such-metric", "3")
    with pytest.raises(OverflowError):
        Index("cosine", 2**64)


def test_metric_text_that_cannot_be_utf8_passes_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        Index("\udcff", 3)


def test_dimension_zero():
    for metric, expected in [("euclidean", 0.0), ("cosine", 1.0)]:
        index = Index(metric, 0)
        index.insert(4, [])
        assert index.search([], 5) == [(4, expected)]


# ---------------------------------------------------------------------------
# Binding errors


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda i: i.insert(1), "Index.insert() missing 1 required positional argument: 'vector'"),
        (
            lambda i: i.insert(),
            "Index.insert() missing 2 required positional arguments: 'id' and 'vector'",
        ),
        (
            lambda i: i.insert(1, [1, 2, 3], 4),
            "Index.insert() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda i: i.insert(1, [1, 2, 3], id=4),
            "Index.insert() got multiple values for argument 'id'",
        ),
        (
            lambda i: i.insert(1, [1, 2, 3], other=4),
            "Index.insert() got an unexpected keyword argument 'other'",
        ),
        (lambda i: i.search([1, 2, 3]), "Index.search() missing 1 required positional argument: 'k'"),
        (
            lambda i: i.insert_batch(ids=[1]),
            "Index.insert_batch() missing 1 required positional argument: 'vectors'",
        ),
        (
            lambda i: i.search_batch(k=1),
            "Index.search_batch() missing 1 required positional argument: 'queries'",
        ),
        (
            lambda i: Index("cosine"),
            "Index.__new__() missing 1 required positional argument: 'dimension'",
        ),
        (
            lambda i: Index("cosine", 3, 4),
            "Index.__new__() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda i: Index("cosine", 3, metric="dot"),
            "Index.__new__() got multiple values for argument 'metric'",
        ),
    ],
)
def test_binding_errors(call, text):
    index = make()
    with pytest.raises(TypeError) as info:
        call(index)
    assert str(info.value) == text


def test_every_argument_by_keyword():
    index = make()
    index.insert(vector=[1, 2, 3], id=1)
    index.insert_batch(vectors=[[4, 5, 6]], ids=[2])
    assert index.search(k=1, query=[1, 2, 3]) == [(1, 0.0)]
    assert index.search_batch(k=1, queries=[[4, 5, 6]]) == [[(2, 0.0)]]


# ---------------------------------------------------------------------------
# The failure table


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda i: i.insert(1, "abc"), "vector"),
        (lambda i: i.search("abc", 1), "query"),
        (lambda i: i.insert_batch("ab", [[1, 2, 3]] * 2), "ids"),
        (lambda i: i.insert_batch([1], "abc"), "vectors"),
        (lambda i: i.insert_batch([1], ["abc"]), "vectors"),
        (lambda i: i.search_batch("abc", 1), "queries"),
        (lambda i: i.search_batch(["abc"], 1), "queries"),
    ],
)
def test_str_where_a_sequence_is_expected(call, name):
    with pytest.raises(TypeError) as info:
        call(make())
    assert str(info.value) == "argument '%s': Can't extract `str` to `Vec`" % name


@pytest.mark.parametrize(
    "value, type_name",
    [
        ({1.0, 2.0, 3.0}, "set"),
        ({1: 1.0}, "dict"),
        ((x for x in [1.0, 2.0, 3.0]), "generator"),
        (3.0, "float"),
        (None, "NoneType"),
        ({}.keys(), "dict_keys"),
    ],
)
def test_non_sequence_refused(value, type_name):
    text = "'%s' object cannot be converted to 'Sequence'" % type_name
    index = make()
    with pytest.raises(TypeError) as info:
        index.insert(1, value)
    assert str(info.value) == "argument 'vector': " + text
    with pytest.raises(TypeError) as info:
        index.search_batch([value], 1)
    assert str(info.value) == "argument 'queries': " + text
    with pytest.raises(TypeError) as info:
        index.insert_batch(value, [])
    assert str(info.value) == "argument 'ids': " + text


# (call on an index holding id 7 at [1, 2, 3], exception, exact text or None,
#  ids present afterwards)
REFUSED_CALLS = [
    (lambda i: i.insert(1, [1.0, 2.0]), ValueError, "dimension mismatch: expected 3, got 2", [7]),
    # The length is checked before the identifier.
    (lambda i: i.insert(7, [1, 2]), ValueError, "dimension mismatch: expected 3, got 2", [7]),
    (lambda i: i.insert(7, [4, 5, 6]), ValueError, "duplicate vector id: 7", [7]),
    (lambda i: i.insert(-1, [1, 2, 3]), OverflowError, None, [7]),
    (lambda i: i.insert(2**64, [1, 2, 3]), OverflowError, None, [7]),
    (lambda i: i.insert(2**70, [1, 2, 3]), OverflowError, None, [7]),
    (lambda i: i.insert(1.0, [1, 2, 3]), TypeError, "argument 'id': ...", [7]),
    (lambda i: i.search([1, 2, 3], -1), OverflowError, None, [7]),
    (lambda i: i.search([1, 2, 3], 2**64), OverflowError, None, [7]),
    (lambda i: i.search_batch([[1, 2, 3]], 2**64), OverflowError, None, [7]),
    (lambda i: i.insert_batch([1, -(2**63)], [[1, 2, 3]] * 2), OverflowError, None, [7]),
    (lambda i: i.insert_batch([1, 2], [[1, 2, 3]]), ValueError,
     "ids and vectors must have the same length", [7]),
    # Conversion ends the call before anything is inserted...
    (lambda i: i.insert_batch([1, 2], [[1, 2, 3], [1, 2, "x"]]), TypeError,
     "argument 'vectors': ...", [7]),
    # ... while the core stops at the first refused pair, keeping the earlier ones.
    (lambda i: i.insert_batch([1, 2, 3], [[1, 2, 3], [1, 2], [4, 5, 6]]), ValueError,
     "dimension mismatch: expected 3, got 2", [1, 7]),
    (lambda i: i.insert_batch([1, 1], [[1, 2, 3], [4, 5, 6]]), ValueError,
     "duplicate vector id: 1", [1, 7]),
    (lambda i: i.insert_batch([1, 7, 2], [[1, 2, 3]] * 3), ValueError, "duplicate vector id: 7",
     [1, 7]),
]


@pytest.mark.parametrize("call, exc, text, after", REFUSED_CALLS)
def test_refused_calls(call, exc, text, after):
    index = make()
    index.insert(7, [1, 2, 3])
    with pytest.raises(exc) as info:
        call(index)
    assert type(info.value) is exc
    if text is not None and text.endswith("..."):
        assert str(info.value).startswith(text[:-3])
    elif text is not None:
        assert str(info.value) == text
    assert sorted(hit[0] for hit in index.search([1, 2, 3], 10)) == after
    assert dict(index.search([1, 2, 3], 10))[7] == 0.0  # the first vector is kept


def test_batch_of_short_rows_reserves_nothing_for_long_ones():
    # 10**5 rows of one float against a dimension of 10**6: room for full
    # rows would be 400 GB; the batch must simply be refused.
    index = Index("euclidean", 10**6)
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 1000000, got 1$"):
        index.insert_batch(range(10**5), [[1.0]] * 10**5)


def test_batch_whose_first_row_is_long_and_the_rest_short():
    # Room is taken for all rows at the first row's length; shorter rows
    # must still be refused one by one, keeping the rows before.
    index = Index("euclidean", 4096)
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 4096, got 1$"):
        index.insert_batch(range(10**5), [[0.5] * 4096] + [[1.0]] * (10**5 - 1))
    assert index.search([0.5] * 4096, 5) == [(0, 0.0)]


def test_object_usable_after_every_failure():
    index = make()
    failures = [
        lambda: index.insert(-1, [1, 2, 3]),
        lambda: index.insert(1, "abc"),
        lambda: index.insert(1, [1, 2]),
        lambda: index.search([1, 2, 3], -1),
        lambda: index.insert_batch([1], []),
        lambda: index.search_batch([[1, 2, 3], {1}], 1),
    ]
    for n, call in enumerate(failures):
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call()
        index.insert(100 + n, [1, 2, 3])
    assert len(index.search([1, 2, 3], 100)) == len(failures)


# ---------------------------------------------------------------------------
# Search results


def test_euclidean_example_and_result_types():
    index = Index("euclidean", 2)
    index.insert_batch([1, 2, 3], [[0, 0], [3, 4], [1, 0]])
    hits = index.search([0, 0], 2)
    assert hits == [(1, 0.0), (3, 1.0)]
    assert type(hits) is list
    for hit in hits:
        assert type(hit) is tuple and type(hit[0]) is int and type(hit[1]) is float


def test_query_length_k_and_empty_cases():
    index = make()
    assert index.search([1, 2, 3], 5) == []
    assert index.search_batch([], 5) == []
    index.insert_batch([], [])
    index.insert_batch([1, 2], [[0, 0, 0], [0, 0, 1]])
    for k in (0, 1, 10):
        assert index.search([1, 2], k) == []  # wrong length: empty, no error
    assert index.search([0, 0, 0], 0) == []
    assert index.search([0, 0, 0], 2**64 - 1) == [(1, 0.0), (2, 1.0)]
    assert index.search_batch([[0, 0, 0], [0, 0]], 2**64 - 1) == [[(1, 0.0), (2, 1.0)], []]


def test_distance_is_widened_exactly():
    index = Index("dot", 1)
    index.insert(1, [0.1])
    [(ident, distance)] = index.search([-1.0], 1)
    assert ident == 1
    assert distance == 0.10000000149011612
    assert repr(distance) == "0.10000000149011612"


@pytest.mark.parametrize("ident", [0, 1, 2**63, MAX_ID])
def test_identifier_extremes_round_trip(ident):
    index = make()
    index.insert(ident, [1, 2, 3])
    [(back, _)] = index.search([1, 2, 3], 1)
    assert back == ident and type(back) is int


# ---------------------------------------------------------------------------
# Conversions


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class MyInt(int):
    pass


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    "vector",
    [
        [1, 2, 3],
        (1.0, 2.0, 3.0),
        range(1, 4),
        [True, 2, 3.0],
        [MyInt(1), MyFloat(2.0), Floatable(3.0)],
        array.array("f", [1, 2, 3]),
        array.array("d", [1, 2, 3]),
        array.array("i", [1, 2, 3]),
        memoryview(array.array("f", [1, 2, 3])),
        memoryview(array.array("f", [1, 0, 2, 0, 3, 0]))[::2],
    ],
    ids=repr,
)
def test_vector_forms_accepted(vector):
    index = make()
    index.insert(1, vector)
    assert index.search([1.0, 2.0, 3.0], 1) == [(1, 0.0)]
    assert index.search(vector, 1) == [(1, 0.0)]


@pytest.mark.parametrize(
    "ident, expected",
    [(True, 1), (MyInt(5), 5), (Indexable(7), 7), (Indexable(MAX_ID), MAX_ID)],
)
def test_identifier_forms(ident, expected):
    index = make()
    index.insert(ident, [1, 2, 3])
    assert index.search([1, 2, 3], 1) == [(expected, 0.0)]
    other = make()
    other.insert_batch([ident], [[1, 2, 3]])
    assert other.search([1, 2, 3], 1) == [(expected, 0.0)]


def test_count_accepts_index_objects():
    index = make()
    index.insert_batch([1, 2], [[1, 2, 3], [1, 2, 4]])
    assert len(index.search([1, 2, 3], Indexable(1))) == 1
    with pytest.raises(OverflowError):
        index.search([1, 2, 3], Indexable(-1))
    with pytest.raises(TypeError, match=r"^argument 'k': "):
        index.search([1, 2, 3], 1.0)


@pytest.mark.parametrize(
    "value, expected",
    [
        (1e39, math.inf),
        (-1e39, -math.inf),
        (1e300, math.inf),
        (float("inf"), math.inf),
        # Halfway between the largest float32 and 2**128 rounds to infinity...
        (float.fromhex("0x1.ffffffp127"), math.inf),
        # ... just below it, to the largest float32.
        (float.fromhex("0x1.fffffefffffffp127"), f32(float.fromhex("0x1.fffffep127"))),
        (0.1, f32(0.1)),
        (1e-46, 0.0),
        (2**24 + 1, float(2**24)),
    ],
)
def test_float_rounding(value, expected):
    # With "dot" against the query [-1] the distance is the stored component.
    index = Index("dot", 1)
    index.insert(1, [value])
    [(_, distance)] = index.search([-1.0], 1)
    assert distance == expected


def test_nan_component_is_stored():
    index = Index("euclidean", 1)
    index.insert_batch([1, 2], [[float("nan")], [1.0]])
    hits = index.search([0.0], 2)
    assert sorted(hit[0] for hit in hits) == [1, 2]
    assert any(math.isnan(hit[1]) for hit in hits)


def test_float_conversion_errors_pass_with_prefix():
    index = make()
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(1, [1, 2, Floatable("x")])
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(1, [1, 2, None])
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        index.search([1, 2, object()], 1)


def test_renamed_error_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        make().insert(Bad(), [1, 2, 3])
    assert str(info.value) == "argument 'id': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_exception_classes_pass_unchanged():
    class Boom:
        def __index__(self):
            raise ZeroDivisionError("boom")

    class MyTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise MyTypeError("sub")

    index = make()
    with pytest.raises(ZeroDivisionError, match=r"^boom$"):
        index.insert(Boom(), [1, 2, 3])
    with pytest.raises(MyTypeError, match=r"^sub$"):
        index.insert(1, [Sub(), 1, 2])
    with pytest.raises(OverflowError):
        index.insert(Indexable(-5), [1, 2, 3])


@pytest.mark.parametrize("length", [63, 64, 65, 200])
def test_long_float_lists_match_item_path(length):
    # PyPy copies long lists of exact floats in one go; the values must be
    # those of the item-by-item path (a tuple, or a list holding an int).
    rng = random.Random(length)
    specials = [1e39, -1e39, -0.0, 0.1, float.fromhex("0x1.ffffffp127"), 1e-46, 2**24 + 1.0]
    values = [rng.choice(specials + [rng.uniform(-1e6, 1e6)]) for _ in range(length)]
    # A float subclass first, in the middle or last: the fast loop over exact
    # floats stops there and the row is taken item by item.
    mixed = [
        [MyFloat(values[0])] + values[1:],
        values[: length // 2] + [MyFloat(values[length // 2])] + values[length // 2 + 1 :],
        values[:-1] + [MyFloat(values[-1])],
    ]
    index = Index("dot", length)
    index.insert_batch([1, 2, 3], [values, tuple(values), array.array("d", values)])
    index.insert_batch([4, 5, 6], mixed)
    query = [rng.uniform(-1, 1) for _ in range(length)]
    hits = dict(index.search(query, 6))
    for other in (2, 3, 4, 5, 6):
        assert hits[1] == hits[other] or (math.isnan(hits[1]) and math.isnan(hits[other]))
    assert index.search(values, 1)[0][1] == index.search(tuple(values), 1)[0][1]


# ---------------------------------------------------------------------------
# Hostile objects


class LyingLength:
    """A sequence whose len() says one thing and iteration yields another."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("length", [0, 1, 10**6, 2**62, 2**70, RuntimeError("no len")])
def test_len_is_only_a_hint(length):
    index = make()
    index.insert(1, LyingLength([1.0, 2.0, 3.0], length))
    index.insert_batch(LyingLength([2], length), LyingLength([[4.0, 5.0, 6.0]], length))
    assert index.search([1, 2, 3], 5) == [(1, 0.0), (2, f32(math.sqrt(27.0)))]


def test_sequence_shrinking_while_converted():
    victim = []

    class Shrinker:
        def __float__(self):
            victim.clear()
            return 1.0

    victim.extend([Shrinker(), 2.0, 3.0])
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 1$"):
        make().insert(1, victim)


def test_sequence_growing_while_converted():
    victim = []

    class Grower:
        def __float__(self):
            victim.append(9.0)
            return 1.0

    victim.extend([Grower(), 2.0])
    index = make()
    index.insert(1, victim)  # the list's iterator sees the appended item
    assert index.search([1, 2, 9], 1) == [(1, 0.0)]


def test_outer_list_cleared_while_rows_converted():
    rows = []

    class Clearer:
        def __float__(self):
            rows.clear()
            return 1.0

    rows.extend([[Clearer(), 2.0, 3.0], [4.0, 5.0, 6.0]])
    index = make()
    with pytest.raises(ValueError, match=r"^ids and vectors must have the same length$"):
        index.insert_batch([1, 2], rows)
    index.insert_batch([1], [[Clearer(), 2.0, 3.0]])


def test_iterator_protocol_failures():
    class NotIterator:
        def __getitem__(self, i):
            return 1.0

        def __iter__(self):
            return 42

    class FailsMidway:
        def __getitem__(self, i):
            if i == 2:
                raise ZeroDivisionError("midway")
            if i > 2:
                raise IndexError
            return 1.0

    index = make()
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(1, NotIterator())
    with pytest.raises(ZeroDivisionError, match="midway"):
        index.insert(1, FailsMidway())
    assert index.search([1, 1, 1], 1) == []

    class GetitemOnly:  # iterated through __getitem__ until IndexError
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return float(i)

    index.insert(1, GetitemOnly())
    assert index.search([0, 1, 2], 1) == [(1, 0.0)]


# ---------------------------------------------------------------------------
# Borrow conflicts


class Callback:
    """Runs `action` from inside a conversion, then yields `value`."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def reenter_cases(index):
    vec = [1.0, 2.0, 3.0]
    return [
        # (outer call taking `cb`, what the callback does, expected error or None)
        (lambda cb: index.insert(cb, vec), lambda: index.search(vec, 1), "Already mutably borrowed"),
        (lambda cb: index.insert(cb, vec), lambda: index.insert(99, vec), "Already borrowed"),
        (lambda cb: index.insert(5, [cb, 2, 3]), lambda: index.search_batch([vec], 1),
         "Already mutably borrowed"),
        (lambda cb: index.insert_batch([cb], [vec]), lambda: index.insert(98, vec),
         "Already borrowed"),
        (lambda cb: index.search(vec, cb), lambda: index.insert(97, vec), "Already borrowed"),
        (lambda cb: index.search([cb, 2, 3], 1), lambda: index.insert_batch([96], [vec]),
         "Already borrowed"),
        (lambda cb: index.search_batch([[cb, 2, 3]], 1), lambda: index.insert(95, vec),
         "Already borrowed"),
        (lambda cb: index.search(vec, cb), lambda: index.search(vec, 1), None),
        (lambda cb: index.search_batch([vec], cb), lambda: index.search_batch([vec], 1), None),
    ]


@pytest.mark.parametrize("case", range(9))
def test_borrow_conflicts_from_callbacks(case):
    index = make()
    outer, inner, expected = reenter_cases(index)[case]
    if expected is None:
        outer(Callback(inner))  # shared borrows overlap
    else:
        with pytest.raises(RuntimeError) as info:
            outer(Callback(inner))
        assert str(info.value) == expected
    # The borrow was given back: both kinds succeed afterwards.
    index.insert(1000 + case, [1.0, 2.0, 3.0])
    assert index.search([1.0, 2.0, 3.0], 1)[0][1] == 0.0


def test_borrow_conflict_from_iter():
    index = make()

    class Reenter:
        def __getitem__(self, i):
            raise IndexError

        def __len__(self):
            index.search([1, 2, 3], 1)  # shared while exclusive: refused, error ignored by len
            return 1

        def __iter__(self):
            index.insert(50, [1, 2, 3])
            return iter([1, 2, 3])

    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        index.insert(1, Reenter())
    index.insert(1, [1, 2, 3])


# ---------------------------------------------------------------------------
# numpy


@pytest.mark.parametrize(
    "dtype", ["float32", "float64", "float16", "int64", "int32", "uint8", ">f4", ">f8", "bool"]
)
def test_numpy_vector_dtypes(np, dtype):
    values = [1, 0, 1] if dtype == "bool" else [1, 2, 3]
    arr = np.array(values, dtype=dtype)
    index = make()
    index.insert(1, arr)
    index.insert_batch([2], arr.reshape(1, 3))
    index.insert_batch([3], [arr])
    assert [hit[1] for hit in index.search(values, 3)] == [0.0, 0.0, 0.0]
    assert [hit[1] for hit in index.search(arr, 3)] == [0.0, 0.0, 0.0]
    assert [h[1] for h in index.search_batch(arr.reshape(1, 3), 3)[0]] == [0.0, 0.0, 0.0]


def test_numpy_matches_list_path_bit_for_bit(np):
    rng = random.Random(11)
    rows = [[rng.uniform(-1e3, 1e3) * 10 ** rng.randint(-30, 30) for _ in range(19)] for _ in range(40)]
    queries = [[rng.uniform(-5, 5) for _ in range(19)] for _ in range(6)]
    ids = list(range(40))
    for metric in ("euclidean", "cosine", "dot"):
        by_list = Index(metric, 19)
        by_list.insert_batch(ids, rows)
        for dtype in ("float64", "float32"):
            by_array = Index(metric, 19)
            by_array.insert_batch(np.array(ids, dtype="uint64"), np.array(rows, dtype=dtype))
            for q in queries:
                qa = np.array(q, dtype=dtype)
                expected = by_list.search(qa.tolist(), 40)
                assert by_array.search(qa, 40) == expected
                assert by_array.search(qa.tolist(), 40) == expected
            batch = by_array.search_batch(np.array(queries, dtype=dtype), 7)
            assert batch == [by_list.search(np.array(q, dtype=dtype).tolist(), 7) for q in queries]


def test_numpy_non_contiguous_and_fortran(np):
    base = np.arange(12, dtype="float32").reshape(3, 4)
    index = Index("euclidean", 3)
    index.insert(1, base[0, :3])  # contiguous slice
    index.insert(2, base[:, 0])  # strided column: item by item
    index.insert_batch([3, 4], np.asfortranarray(base[:2, 1:]))
    index.insert_batch([5], base[1:2, ::-1][:, :3])
    assert index.search([0, 1, 2], 1) == [(1, 0.0)]
    assert index.search([0, 4, 8], 1) == [(2, 0.0)]
    assert index.search([1, 2, 3], 1) == [(3, 0.0)]
    assert index.search([5, 6, 7], 1) == [(4, 0.0)]
    assert index.search([7, 6, 5], 1) == [(5, 0.0)]


def test_numpy_wrong_ndim(np):
    index = make()
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(1, np.zeros((1, 3), dtype="float32"))
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(1, np.float32(3.0))
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        index.insert_batch([1, 2, 3], np.zeros(3, dtype="float32"))
    with pytest.raises(TypeError, match=r"^argument 'queries': "):
        index.search_batch(np.zeros((1, 1, 3), dtype="float32"), 1)
    assert index.search(np.zeros(3, dtype="float32"), 1) == []


def test_numpy_zero_sized(np):
    index = make()
    index.insert_batch(np.zeros(0, dtype="uint64"), np.zeros((0, 3), dtype="float32"))
    assert index.search_batch(np.zeros((0, 3), dtype="float32"), 1) == []
    zero_dim = Index("euclidean", 0)
    zero_dim.insert_batch(np.array([1, 2], dtype="int64"), np.zeros((2, 0), dtype="float32"))
    assert sorted(zero_dim.search(np.zeros(0, dtype="float64"), 5)) == [(1, 0.0), (2, 0.0)]


def test_numpy_float_rounding(np):
    values = np.array([1e39, -1e39, 0.1, 3.4028235e38, 1e-46], dtype="float64")
    index = Index("dot", 1)
    index.insert_batch(np.arange(5, dtype="uint64"), values.reshape(5, 1))
    got = dict(index.search([-1.0], 5))
    with np.errstate(over="ignore"):
        assert got == {i: float(np.float32(v)) for i, v in enumerate(values)}


@pytest.mark.parametrize("dtype", ["uint64", "int64", "int32", "uint8", ">u8"])
def test_numpy_identifier_arrays(np, dtype):
    info = np.iinfo(dtype)
    ids = np.array([0, 7, info.max], dtype=dtype)
    index = Index("euclidean", 1)
    index.insert_batch(ids, np.array([[1], [2], [3]], dtype="float32"))
    assert sorted(i for i, _ in index.search([0.0], 5)) == sorted(int(i) for i in ids)


def test_numpy_identifier_errors(np):
    index = Index("euclidean", 1)
    vecs = np.zeros((2, 1), dtype="float32")
    with pytest.raises(OverflowError):
        index.insert_batch(np.array([1, -1], dtype="int64"), vecs)
    with pytest.raises(OverflowError):
        index.insert_batch(np.array([1, -1], dtype="int32"), vecs)
    with pytest.raises(TypeError, match=r"^argument 'ids': "):
        index.insert_batch(np.array([1.0, 2.0]), vecs)
    with pytest.raises(TypeError, match=r"^argument 'id': "):
        index.insert(np.float64(1.0), [1.0])
    assert index.search([0.0], 5) == []
    index.insert(np.uint64(MAX_ID), np.array([1.0], dtype="float32"))
    index.insert(np.int64(5), [1.0])
    assert sorted(i for i, _ in index.search([0.0], 5)) == [5, MAX_ID]


def test_numpy_readonly_and_big_endian_batches(np):
    arr = np.array([[1, 2, 3], [4, 5, 6]], dtype=">f4")
    ro = np.array([[1, 2, 3], [4, 5, 6]], dtype="float32")
    ro.flags.writeable = False
    index = make()
    index.insert_batch(np.array([1, 2], dtype=">u8"), arr)
    index.insert_batch([3, 4], ro)
    assert sorted(index.search([4, 5, 6], 4), key=lambda h: (h[1], h[0]))[:2] == [
        (2, 0.0),
        (4, 0.0),
    ]


def test_numpy_object_array_goes_item_by_item(np):
    arr = np.array([1, 2.0, Floatable(3.0)], dtype=object)
    index = make()
    index.insert(1, arr)
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]


# ---------------------------------------------------------------------------
# Against a reference written here: float32 scalars, blocked summation.


def blocked_sum(np, terms):
    total = np.float32(0.0)
    i = 0
    while i + 16 <= len(terms):
        block = terms[i] + terms[i + 1]
        for j in range(i + 2, i + 16):
            block = block + terms[j]
        total = total + block
        i += 16
    for j in range(i, len(terms)):
        total = total + terms[j]
    return total


def reference_distance(np, metric, q, v):
    if metric == "euclidean":
        return np.sqrt(blocked_sum(np, [(a - b) * (a - b) for a, b in zip(q, v)]))
    p = blocked_sum(np, [a * b for a, b in zip(q, v)])
    if metric == "dot":
        return -p
    nq = blocked_sum(np, [a * a for a in q])
    nv = blocked_sum(np, [b * b for b in v])
    denominator = np.sqrt(nq) * np.sqrt(nv)
    if denominator == 0:
        return np.float32(1.0)
    return np.float32(1.0) - p / denominator


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("dimension", [1, 3, 15, 16, 17, 33, 40])
def test_search_matches_reference(np, metric, dimension):
    rng = random.Random(dimension * 7 + len(metric))
    with np.errstate(all="ignore"):
        for _ in range(3):
            count = rng.randint(1, 25)
            # Coarse values make ties likely; scaled ones make rounding matter.
            rows = [
                [rng.choice([rng.randint(-3, 3), rng.uniform(-1, 1) * 10 ** rng.randint(-3, 5)])
                 for _ in range(dimension)]
                for _ in range(count)
            ]
            ids = rng.sample(range(10**6), count)
            index = Index(metric, dimension)
            index.insert_batch(ids, rows)
            stored = {i: [np.float32(x) for x in row] for i, row in zip(ids, rows)}
            for _ in range(4):
                query = [rng.choice([0, rng.randint(-3, 3), rng.uniform(-2, 2)]) for _ in range(dimension)]
                q32 = [np.float32(x) for x in query]
                expected = {i: float(reference_distance(np, metric, q32, v)) for i, v in stored.items()}
                k = rng.randint(1, count + 2)
                hits = index.search(query, k)
                assert len(hits) == min(k, count)
                for ident, distance in hits:
                    assert distance == expected[ident] or (
                        math.isnan(distance) and math.isnan(expected[ident])
                    )
                assert [d for _, d in hits] == sorted(expected.values())[: len(hits)]
                assert len({ident for ident, _ in hits}) == len(hits)


# ---------------------------------------------------------------------------
# References


@pytest.mark.skipif(IS_PYPY, reason="reference counts are a CPython notion")
def test_no_reference_leaks_on_success_or_failure():
    import sys

    index = make()
    item = Floatable(2.0)
    ident = Indexable(3)
    vector = [1.0, item, 3.0]
    bad = [1.0, 2.0, "x"]
    rows = [vector, (4.0, 5.0, 6.0)]
    watched = [item, ident, vector, bad, rows, rows[1]]
    before = [sys.getrefcount(obj) for obj in watched]
    for n in range(50):
        index.insert(10 + n, vector)
        index.search(vector, 3)
        index.search_batch(rows, 2)
        for call in (
            lambda: index.insert(10, vector),
            lambda: index.insert(ident, bad),
            lambda: index.insert_batch([ident, -1], rows),
            lambda: index.insert_batch([ident], rows),
            lambda: index.search(bad, 1),
            lambda: index.search_batch([vector, bad], 1),
            lambda: index.search(vector, ident) and index.insert(ident, vector, extra=1),
        ):
            with pytest.raises((TypeError, ValueError, OverflowError)):
                call()
    assert [sys.getrefcount(obj) for obj in watched] == before
