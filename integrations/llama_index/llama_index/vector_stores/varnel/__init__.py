"""LlamaIndex integration of varnel: `VarnelVectorStore`."""

from llama_index.vector_stores.varnel.base import ID_KEY, TEXT_KEY, VarnelVectorStore, row_id, to_where

__all__ = ["ID_KEY", "TEXT_KEY", "VarnelVectorStore", "row_id", "to_where"]
