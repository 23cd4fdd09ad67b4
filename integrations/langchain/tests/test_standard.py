"""LangChain's own suite for vector stores, sync and async, over a
collection in a temporary directory."""

from pathlib import Path
from typing import Iterator

import pytest
from langchain_tests.integration_tests import VectorStoreIntegrationTests

from langchain_varnel import VarnelVectorStore


class TestVarnelVectorStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path: Path) -> Iterator[VarnelVectorStore]:
        store = VarnelVectorStore(self.get_embeddings(), path=tmp_path / "docs")
        yield store
        store.close()


class TestVarnelVectorStoreInMemory(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self) -> Iterator[VarnelVectorStore]:
        yield VarnelVectorStore(self.get_embeddings())
