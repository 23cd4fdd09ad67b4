"""varnel: an embedded vector database with exact, bit-reproducible search.

`Index` holds vectors in memory; `Collection` keeps them in a crash-safe
directory. Both store an optional payload dict with each vector, search
with payload filters, delete, read back, and give numpy results. Every
call releases the interpreter lock, and one search spreads over a pool of
threads with the same results for every thread count.

>>> import numpy as np, varnel
>>> index = varnel.Index(3, "euclidean", threads=1)
>>> index.upsert([1, 2], np.eye(3, dtype=np.float32)[:2], [{"tag": "a"}, {"tag": "b"}])
>>> hits = index.search([1, 0, 0], 2, where={"tag": "b"})
>>> hits.ids.tolist(), hits.distances.tolist()
([2], [2.0])
"""

from ._api import Collection, Hits, Index, Rows, merge_hits
from ._database import Database
from ._engine import CollectionInUseError
from ._version import __version__

__all__ = [
    "Collection",
    "CollectionInUseError",
    "Database",
    "Hits",
    "Index",
    "Rows",
    "merge_hits",
    "__version__",
]
