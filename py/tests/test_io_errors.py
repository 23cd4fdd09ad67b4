"""Disk errors seen from Python: each reaches the caller as the documented
exception class (ValueError from inserts, OSError from open_or_create and
flush) with exactly the core's text, the object stays usable, and what was
acknowledged is there after a reopen. /dev/full stands in for a full disk
(every write fails with ENOSPC)."""
import gc
import os

import pytest

from _varnel import Collection

DEV_FULL = "/dev/full"
ENOSPC = "No space left on device (os error 28)"

pytestmark = pytest.mark.skipif(not os.path.exists(DEV_FULL), reason="needs /dev/full")


def open_at(path, dimension=3):
    return Collection.open_or_create(str(path), dimension, "euclidean")


def collection_with(tmp_path, name):
    """A new collection whose file `name` is /dev/full."""
    path = tmp_path / "c"
    path.mkdir()
    os.symlink(DEV_FULL, path / name)
    return path, open_at(path)


def test_full_log_fails_the_syncing_insert_and_the_flush(tmp_path):
    path, c = collection_with(tmp_path, "wal.log")
    for i in range(99):  # frames stay in the log's buffer
        c.insert(i, [i, 1.0, 2.0])
    with pytest.raises(ValueError) as info:
        c.insert(99, [99, 1.0, 2.0])  # the batch policy's sync writes out
    assert str(info.value) == "io error: flush failed: " + ENOSPC
    with pytest.raises(OSError) as info:
        c.flush()
    assert type(info.value) is OSError
    assert str(info.value) == "io error: flush failed: " + ENOSPC
    # Still usable: searches see what was applied, a refused insert did not.
    assert c.search([5, 1.0, 2.0], 1) == [(5, 0.0)]
    assert len(c.search([0, 0, 0], 1000)) == 99


def test_full_data_file_fails_the_flush_and_keeps_the_log(tmp_path):
    # Inserts only log; the data file takes them at the flush, which fails
    # here and leaves the log holding every insert.
    path, c = collection_with(tmp_path, "data.vnl")
    for i in range(1000):
        c.insert(i, [i, 1.0, 2.0])
    with pytest.raises(OSError) as info:
        c.flush()
    assert str(info.value).endswith(ENOSPC)
    assert len(c.search([0, 0, 0], 10**6)) == 1000
    del c
    gc.collect()  # PyPy frees objects only at garbage collection
    os.unlink(path / "data.vnl")  # the disk has room again
    reopened = open_at(path)
    assert sorted(h[0] for h in reopened.search([0, 0, 0], 10**6)) == list(range(1000))


def test_full_disk_under_meta_json_fails_the_flush_last(tmp_path):
    path = tmp_path / "c"
    c = open_at(path)
    c.insert(1, [1.0, 2.0, 3.0])
    os.symlink(DEV_FULL, path / f"meta.json.tmp.{os.getpid()}")  # the temporary is named after the writer
    with pytest.raises(OSError) as info:
        c.flush()
    assert str(info.value) == "collection error: write meta failed: " + ENOSPC
    # The data file and the log were done before meta.json: nothing is lost,
    # and the old meta.json is untouched.
    assert (path / "meta.json").read_text().startswith('{\n  "dimension": 3,')
    assert os.path.getsize(path / "wal.log") == 0
    c.insert(2, [2.0, 2.0, 3.0])
    os.unlink(path / f"meta.json.tmp.{os.getpid()}")
    c.flush()
    del c
    gc.collect()
    assert sorted(h[0] for h in open_at(path).search([0, 0, 0], 10)) == [1, 2]


@pytest.mark.parametrize(
    "make_path, text",
    [
        (lambda base: base + "/file", "io error: failed to open WAL: Not a directory (os error 20)"),
        (lambda base: base + "/file/c",
         "collection error: create dir failed: Not a directory (os error 20)"),
        (lambda base: base + "/" + "x" * 300,
         "collection error: create dir failed: File name too long (os error 36)"),
        (lambda base: base + "/a\0b",
         "collection error: create dir failed: file name contained an unexpected NUL byte"),
    ],
    ids=["a-file", "below-a-file", "name-too-long", "nul"],
)
def test_open_errors_have_exact_texts(tmp_path, make_path, text):
    (tmp_path / "file").write_text("not a directory")
    with pytest.raises(OSError) as info:
        Collection.open_or_create(make_path(str(tmp_path)), 3, "euclidean")
    assert type(info.value) is OSError
    assert str(info.value) == text


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not stop root")
def test_read_only_parent(tmp_path):
    tmp_path.chmod(0o500)
    try:
        with pytest.raises(OSError) as info:
            Collection.open_or_create(str(tmp_path / "c"), 3, "euclidean")
        assert str(info.value) == "collection error: create dir failed: Permission denied (os error 13)"
    finally:
        tmp_path.chmod(0o700)
