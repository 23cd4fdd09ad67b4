"""Several collections under one root directory: one subdirectory each,
named by the collection's name."""

from __future__ import annotations

import os
import re
import shutil
import uuid
from typing import Optional, Union

from . import _convert as cv
from ._api import Collection

__all__ = ["Database"]

# A name is one path component that cannot be "." or "..", hidden, or
# reach outside the root.
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,127}")
# Where a dropped collection goes first (a name no collection can have),
# so that a drop is one rename and a failed removal leaves nothing listed.
_DROPPED_PREFIX = ".dropped-"


def _check_name(name: object) -> str:
    if not isinstance(name, str) or _NAME.fullmatch(name) is None:
        raise ValueError(
            f"invalid collection name {name!r}: 1 to 128 characters of letters, digits, '_', '.' "
            "and '-', starting with a letter or digit"
        )
    return name


class Database:
    """Collections under one root directory, each in the subdirectory of
    its name.

    Parameters
    ----------
    root : str or os.PathLike
        Created when missing.
    threads : int, optional
        Passed to every collection opened (see `Collection`).

    Names match ``[A-Za-z0-9][A-Za-z0-9_.-]{0,127}``; any other name raises
    ValueError, so no name reaches outside the root. Dropping or renaming a
    collection that is open (in this process or another) raises OSError
    and changes nothing.
    """

    def __init__(self, root: Union[str, "os.PathLike[str]"], threads: Optional[int] = None) -> None:
        self._root = os.path.abspath(cv.path_text(root))
        self._threads = threads
        os.makedirs(self._root, exist_ok=True)

    @property
    def root(self) -> str:
        """The root directory, made absolute."""
        return self._root

    def _path(self, name: object) -> str:
        return os.path.join(self._root, _check_name(name))

    def _holds(self, path: str) -> bool:
        return os.path.isfile(os.path.join(path, "meta.json"))

    def create_collection(self, name: str, dim: int, metric: str, *, id_type: str = "int") -> Collection:
        """A new collection; ValueError when `name` exists already."""
        if id_type != "int":
            raise ValueError(f"id_type {id_type!r} is not supported (only 'int')")
        path = self._path(name)
        cv.check_dim(dim)
        cv.check_metric(metric)
        try:
            os.mkdir(path)
        except FileExistsError:
            raise ValueError(f"collection {name!r} exists already") from None
        try:
            return Collection(path, dim, metric, self._threads)
        except BaseException:
            os.rmdir(path)  # still empty: a refused open creates nothing
            raise

    def collection(self, name: str) -> Collection:
        """Opens an existing collection; ValueError when there is none."""
        path = self._path(name)
        if not self._holds(path):
            raise ValueError(f"no collection named {name!r} in {self._root!r}")
        return Collection(path, threads=self._threads)

    def get_or_create_collection(self, name: str, dim: int, metric: str) -> Collection:
        """Opens `name`, which must then hold dim and metric, or creates it."""
        return Collection(self._path(name), dim, metric, self._threads)

    def list_collections(self) -> list[str]:
        """The names of the collections, sorted."""
        return sorted(
            n for n in os.listdir(self._root) if _NAME.fullmatch(n) and self._holds(os.path.join(self._root, n))
        )

    def _take(self, name: str) -> tuple[str, Collection]:
        """The collection opened as its only handle, which also holds its
        writer lock: refused with OSError when it is open anywhere."""
        path = self._path(name)
        if not self._holds(path):
            raise ValueError(f"no collection named {name!r} in {self._root!r}")
        return path, Collection(path, threads=1, _exclusive=True)

    def drop_collection(self, name: str) -> None:
        """Removes the collection and its files."""
        path, held = self._take(name)
        gone = os.path.join(self._root, _DROPPED_PREFIX + uuid.uuid4().hex)
        try:
            # Under the writer lock: one rename takes it out of the root.
            os.rename(path, gone)
        except BaseException:
            held.close()
            raise
        held._core.discard()
        shutil.rmtree(gone, ignore_errors=True)

    def rename_collection(self, old: str, new: str) -> None:
        """Gives collection `old` the name `new`; ValueError when `new` exists."""
        target = self._path(new)
        path, held = self._take(old)
        try:
            if os.path.lexists(target):
                raise ValueError(f"collection {new!r} exists already")
            os.rename(path, target)
        finally:
            held.close()

    def __repr__(self) -> str:
        return f"varnel.Database({self._root!r})"
