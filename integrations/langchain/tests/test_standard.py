"""LangChain's standard vector store suite (sync and async), on the
in-process store and on PostgreSQL. Nothing is skipped or overridden."""
import os

import pytest
import tavrindb_lite as tdb
from langchain_tests.integration_tests.vectorstores import EMBEDDING_SIZE, VectorStoreIntegrationTests

from conftest import fresh_name, memory_client
from langchain_tavrindb import TavrinDBVectorStore


def _store(embeddings, client, metric):
    return TavrinDBVectorStore(embeddings, client=client, index_name=fresh_name(),
                               key=os.urandom(32),
                               index_config=tdb.IndexIVFFlat(EMBEDDING_SIZE, 2, metric))


class TestInProcessStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        store = _store(self.get_embeddings(), memory_client(), "cosine")
        try:
            yield store
        finally:
            store.index.delete_index()


class TestPostgresStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, postgres_client):
        store = _store(self.get_embeddings(), postgres_client, "euclidean")
        try:
            yield store
        finally:
            store.index.delete_index()
