"""LangChain integration of varnel: `VarnelVectorStore`."""

from .vectorstores import ID_KEY, TEXT_KEY, VarnelVectorStore, row_id

__all__ = ["ID_KEY", "TEXT_KEY", "VarnelVectorStore", "row_id"]
