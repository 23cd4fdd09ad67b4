import gc
import os

import pytest

from _varnel import Collection
from conftest import IS_PYPY


def reopen(path, dimension=3, metric="euclidean"):
    return Collection.open_or_create(str(path), dimension, metric)


# ---------------------------------------------------------------------------
# Surface


def test_class_docstring():
    assert Collection.__name__ == "Collection"
    assert Collection.__module__ == "_varnel"
    assert Collection.__doc__ == (
        "Persistent vector collection backed by disk storage.\n\n"
        "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
        "for durability. Supports crash recovery."
    )
    assert getattr(Collection, "__text_signature__", None) is None  # no constructor


def test_open_or_create_docstring():
    # A static method keeps its docstring on PyPy too.
    method = Collection.open_or_create
    assert method.__doc__ == (
        "Open an existing collection or create a new one.\n\n"
        "Args:\n"
        "    path (str): File system path for the collection.\n"
        "    dimension (int): Dimension of the vectors (must match existing).\n"
        '    metric (str): Distance metric ("cosine", "euclidean", "dot").'
    )
    if not IS_PYPY:
        assert method.__text_signature__ == "(path, dimension, metric)"


COLLECTION_METHOD_DOCS = {
    "insert": (
        "($self, id, vector)",
        "Insert a vector into the collection.\n\nArgs:\n"
        "    id (int): Unique identifier.\n"
        "    vector (list[float]): Vector data.",
    ),
    "search": (
        "($self, query, k)",
        "Search for nearest neighbors.\n\nArgs:\n"
        "    query (list[float]): Query vector.\n"
        "    k (int): Number of results.\n\n"
        "Returns:\n    list[tuple[int, float]]: List of (id, distance) tuples.",
    ),
    "flush": (
        "($self)",
        "Flush all pending writes to disk (checkpoint).\n\n"
        "This ensures all data is durable and truncates the WAL.",
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


@pytest.mark.parametrize("name", sorted(COLLECTION_METHOD_DOCS))
def test_method_docstrings(cpython_only, name):
    signature, doc = COLLECTION_METHOD_DOCS[name]
    method = getattr(Collection, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize(
    "call", [lambda: Collection(), lambda: Collection("p", 3, "dot"), lambda: Collection.__new__(Collection)]
)
def test_no_constructor(call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "No constructor defined for Collection"


def test_instances_made_around_open_are_refused(tmp_path):
    try:
        raw = object.__new__(Collection)
    except TypeError:
        raw = None  # CPython refuses outright
    if raw is not None:  # PyPy: a zeroed instance that every method refuses
        for call in (
            lambda: raw.insert(1, [1.0]),
            lambda: raw.search([1.0], 1),
            lambda: raw.flush(),
            lambda: raw.insert_batch([1], [[1.0]]),
            lambda: raw.search_batch([[1.0]], 1),
        ):
            with pytest.raises(TypeError):
                call()
        del raw
        gc.collect()  # PyPy frees it only at garbage collection
    with pytest.raises(TypeError):
        Collection.flush(object())


def test_open_or_create_on_instance_ignores_it(tmp_path):
    first = reopen(tmp_path / "a")
    second = first.open_or_create(str(tmp_path / "b"), 2, "dot")
    second.insert(1, [1.0, 2.0])
    with pytest.raises(ValueError):
        first.insert(1, [1.0, 2.0])  # first keeps dimension 3
    assert (tmp_path / "b" / "meta.json").exists()


# ---------------------------------------------------------------------------
# Lifecycle


def test_create_insert_flush_reopen(tmp_path):
    path = tmp_path / "col"
    collection = reopen(path)
    assert sorted(os.listdir(path)) == ["data.vnl", "meta.json", "wal.log"]
    assert collection.search([0, 0, 0], 10) == []
    collection.insert(1, [0.0, 0.0, 0.0])
    collection.insert_batch([2, 3], [[3.0, 4.0, 0.0], [1.0, 0.0, 0.0]])
    assert collection.flush() is None
    expected = [(1, 0.0), (3, 1.0), (2, 5.0)]
    assert collection.search([0, 0, 0], 10) == expected
    del collection
    gc.collect()  # PyPy frees it only at garbage collection

    again = reopen(path)
    assert again.search([0, 0, 0], 10) == expected
    assert again.search_batch([[0, 0, 0], [3, 4, 0]], 1) == [[(1, 0.0)], [(2, 0.0)]]


def test_unflushed_inserts_survive_a_drop(tmp_path):
    path = tmp_path / "col"
    collection = reopen(path)
    collection.insert_batch(range(10), [[float(i), 0.0, 0.0] for i in range(10)])
    del collection
    gc.collect()  # PyPy frees it only at garbage collection
    assert len(reopen(path).search([0, 0, 0], 100)) == 10


def test_insert_replaces_existing_identifier(tmp_path):
    collection = reopen(tmp_path / "col")
    collection.insert(1, [1.0, 0.0, 0.0])
    collection.insert(1, [5.0, 0.0, 0.0])
    assert collection.search([0, 0, 0], 10) == [(1, 5.0)]


def test_reopen_with_other_dimension(tmp_path):
    path = tmp_path / "col"
    collection = reopen(path, dimension=3)
    collection.flush()
    del collection
    gc.collect()  # PyPy frees it only at garbage collection
    with pytest.raises(OSError) as info:
        reopen(path, dimension=4)
    assert str(info.value) == "collection error: dimension mismatch: collection has 3, config has 4"
    assert type(info.value) is OSError


def test_reopen_with_other_metric_measures_with_it(tmp_path):
    path = tmp_path / "col"
    collection = reopen(path, dimension=2, metric="euclidean")
    collection.insert_batch([1, 2], [[1.0, 0.0], [10.0, 10.0]])
    collection.flush()
    del collection
    gc.collect()  # PyPy frees it only at garbage collection
    dot = reopen(path, dimension=2, metric="dot")
    assert dot.search([1.0, 1.0], 2) == [(2, -20.0), (1, -1.0)]


@pytest.mark.parametrize("metric", ["Euclidean", "hamming", "", "dot "])
def test_invalid_metric_creates_nothing(tmp_path, metric):
    path = tmp_path / "never"
    with pytest.raises(ValueError) as info:
        Collection.open_or_create(str(path), 3, metric)
    assert str(info.value) == "Invalid metric"
    assert not path.exists()


def test_argument_conversion_order_and_prefixes(tmp_path):
    path = str(tmp_path / "never")
    with pytest.raises(TypeError) as info:
        Collection.open_or_create(b"/tmp/x", 3, "dot")
    assert str(info.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(OverflowError):
        Collection.open_or_create(path, -1, "bad")
    with pytest.raises(TypeError) as info:
        Collection.open_or_create(path, 3, None)
    assert str(info.value) == "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        Collection.open_or_create(path, 3)
    assert str(info.value) == (
        "Collection.open_or_create() missing 1 required positional argument: 'metric'"
    )
    with pytest.raises(TypeError) as info:
        Collection.open_or_create(path, 3, "dot", 4)
    assert str(info.value) == (
        "Collection.open_or_create() takes 3 positional arguments but 4 were given"
    )
    assert not os.path.exists(path)
    Collection.open_or_create(metric="dot", dimension=3, path=path)
    assert os.path.exists(path)


# ---------------------------------------------------------------------------
# Failures


def test_wrong_length_insert_and_search(tmp_path):
    collection = reopen(tmp_path / "col")
    with pytest.raises(ValueError) as info:
        collection.insert(1, [1.0, 2.0])
    assert str(info.value) == "dimension mismatch: expected 3, got 2"
    assert collection.search([1.0, 2.0], 5) == []
    collection.insert(1, [1.0, 2.0, 3.0])
    assert collection.search([1.0, 2.0], 5) == []
    assert collection.search_batch([[1, 2, 3], [1]], 5) == [[(1, 0.0)], []]


def test_batch_rules(tmp_path):
    path = tmp_path / "col"
    collection = reopen(path)
    with pytest.raises(ValueError, match=r"^ids and vectors must have the same length$"):
        collection.insert_batch([1, 2], [[1, 2, 3]])
    with pytest.raises(ValueError, match=r"^dimension mismatch: expected 3, got 1$"):
        collection.insert_batch([1, 2, 3], [[1, 2, 3], [1], [4, 5, 6]])
    assert collection.search([0, 0, 0], 10) == [(1, collection.search([0, 0, 0], 1)[0][1])]
    del collection
    gc.collect()  # PyPy frees it only at garbage collection
    # The pair before the failure was logged.
    assert [hit[0] for hit in reopen(path).search([0, 0, 0], 10)] == [1]


def test_flush_twice_and_with_nothing_inserted(tmp_path):
    collection = reopen(tmp_path / "col")
    assert collection.flush() is None
    assert collection.flush() is None
    collection.insert(1, [1, 2, 3])
    assert collection.flush() is None
    assert collection.flush() is None
    assert os.path.getsize(tmp_path / "col" / "wal.log") == 0


def test_flush_takes_no_arguments(tmp_path):
    collection = reopen(tmp_path / "col")
    with pytest.raises(TypeError) as info:
        collection.flush(1)
    assert str(info.value) == "Collection.flush() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as info:
        collection.flush(force=True)
    assert str(info.value) == "Collection.flush() got an unexpected keyword argument 'force'"


@pytest.mark.parametrize(
    "make_path",
    [
        lambda base: base + "/with\0nul",
        lambda base: "\0",
        lambda base: base + "/bad\udcffutf8",
        lambda base: base + "/file/below",
        lambda base: "",
    ],
    ids=["nul", "only-nul", "surrogate", "below-a-file", "empty"],
)
def test_unusable_paths_raise(tmp_path, make_path):
    (tmp_path / "file").write_text("not a directory")
    with pytest.raises((OSError, UnicodeEncodeError)):
        Collection.open_or_create(make_path(str(tmp_path)), 3, "cosine")


def test_nul_in_path_text(tmp_path):
    with pytest.raises(OSError) as info:
        Collection.open_or_create(str(tmp_path) + "/a\0b", 3, "cosine")
    assert "file name contained an unexpected NUL byte" in str(info.value)
    assert type(info.value) is OSError


def test_open_failure_on_existing_corrupt_meta(tmp_path):
    path = tmp_path / "col"
    path.mkdir()
    (path / "meta.json").write_text("{")
    with pytest.raises(OSError) as info:
        reopen(path)
    assert str(info.value).startswith("collection error: ")


def test_borrow_conflict_on_collection(tmp_path):
    collection = reopen(tmp_path / "col")

    class Reenter:
        def __index__(self):
            collection.flush()
            return 1

    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        collection.insert(Reenter(), [1, 2, 3])
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        collection.search([1, 2, 3], Reenter())
    collection.insert(1, [1, 2, 3])
    assert collection.search([1, 2, 3], 1) == [(1, 0.0)]


def test_numpy_fast_path(tmp_path, np):
    path = tmp_path / "col"
    collection = reopen(path, dimension=4, metric="cosine")
    vectors = np.arange(40, dtype="float32").reshape(10, 4) + 1
    collection.insert_batch(np.arange(10, dtype="uint64"), vectors)
    collection.insert(10, np.array([1, 0, 0, 0], dtype="float64"))
    expected = collection.search_batch(vectors.tolist(), 3)
    assert collection.search_batch(vectors, 3) == expected
    assert collection.search(vectors[2], 3) == expected[2]
    collection.flush()
    del collection
    gc.collect()  # PyPy frees it only at garbage collection
    assert reopen(path, dimension=4, metric="cosine").search_batch(vectors, 3) == expected


def _fail_inside_conversion(path, exc):
    collection = reopen(path)
    collection.insert(1, [1.0, 0.0, 0.0])

    class Raises:
        def __index__(self):
            raise exc("from user code")

    try:
        collection.insert(Raises(), [2.0, 0.0, 0.0])
    except exc:
        pass
    else:
        pytest.fail("no exception")


@pytest.mark.parametrize("exc, passes", [(ZeroDivisionError, 2), (OverflowError, 2), (TypeError, 6)])
def test_exception_from_user_code_does_not_keep_collection_alive(tmp_path, exc, passes):
    # The exception's traceback holds the frames that held the collection;
    # once it is gone the collection must be freed (and its buffers written
    # out). On PyPy a traceback that C code has fetched is freed one link
    # per collection; only a renamed TypeError needs to fetch it.
    path = tmp_path / "col"
    _fail_inside_conversion(path, exc)
    for _ in range(passes):
        gc.collect()
    assert reopen(path).search([0, 0, 0], 10) == [(1, 1.0)]
