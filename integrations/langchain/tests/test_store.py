"""The store against a NumPy reference, creating and loading by name, what it
refuses before writing, and a retriever answering questions."""
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest
import tavrindb_lite as tdb
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores.utils import maximal_marginal_relevance

from conftest import fresh_name, memory_client
from langchain_tavrindb import TavrinDBVectorStore


class TableEmbeddings(Embeddings):
    """Looks texts up in a table, so the test knows every vector."""

    def __init__(self, table):
        self.table = table

    def embed_documents(self, texts):
        return [list(map(float, self.table[t])) for t in texts]

    def embed_query(self, text):
        return list(map(float, self.table[text]))


def _reference(vectors, query, metric):
    diff = vectors.astype(np.float64) - query
    if metric == "cosine":
        cos = vectors @ query / (np.linalg.norm(vectors, axis=1) * np.linalg.norm(query))
        return 1.0 - cos
    squared = (diff * diff).sum(axis=1)
    return np.sqrt(squared) if metric == "euclidean" else squared


@pytest.mark.parametrize("metric,relevance", [
    ("cosine", lambda d: 1 - d / 2),
    ("euclidean", lambda d: 1 / (1 + d)),
    ("squared_euclidean", lambda d: 1 / (1 + d)),
])
def test_searches_agree_with_numpy_before_and_after_training(metric, relevance):
    rng = np.random.default_rng(11)
    n, dim = 60, 8
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    texts = ["doc %d" % i for i in range(n)]
    queries = rng.standard_normal((5, dim)).astype(np.float32)
    table = dict(zip(texts, vectors))
    table.update({"query %d" % q: queries[q] for q in range(len(queries))})
    groups = np.arange(n) % 3
    store = TavrinDBVectorStore.from_texts(
        texts, TableEmbeddings(table), [{"group": int(g), "n": i} for i, g in enumerate(groups)],
        ids=[str(i) for i in range(n)], client=memory_client(), index_name="ref",
        key=os.urandom(32), index_config=tdb.IndexIVFFlat(dim, 4, metric))

    def check(n_probes):
        for q, query in enumerate(queries):
            dist = _reference(vectors, query, metric)
            order = np.argsort(dist, kind="stable")
            got = store.similarity_search_with_relevance_scores(
                "query %d" % q, k=7, n_probes=n_probes)
            assert [d.id for d, _ in got] == [str(i) for i in order[:7]]
            for doc, score in got:
                i = int(doc.id)
                assert doc.page_content == texts[i] and doc.metadata == {"group": int(groups[i]), "n": i}
                assert 0.0 <= score <= 1.0
                assert score == pytest.approx(relevance(dist[i]), abs=1e-5)

            # A filter keeps the nearest of the group, not the nearest overall.
            hits = store.similarity_search_with_score("query %d" % q, k=5, filter={"group": 1},
                                                      n_probes=n_probes)
            in_group = order[groups[order] == 1]
            assert [int(d.id) for d, _ in hits] == list(in_group[:5])
            assert [s for _, s in hits] == pytest.approx(list(dist[in_group[:5]]), abs=1e-5)

            # MMR picks among the fetch_k nearest, as LangChain's reference does.
            mmr = store.max_marginal_relevance_search("query %d" % q, k=4, fetch_k=10,
                                                      lambda_mult=0.3, n_probes=n_probes)
            expect = maximal_marginal_relevance(query, vectors[order[:10]].tolist(),
                                                lambda_mult=0.3, k=4)
            assert [int(d.id) for d in mmr] == [int(order[:10][i]) for i in expect]

    ids = [str(i) for i in range(n)]
    assert [d.id for d in store.get_by_ids(ids)] == ids
    check(None)
    store.index.train()
    assert store.index.is_trained()
    check(4)  # every list probed: exact again
    # Everything when k exceeds the items; nothing for k=0.
    assert len(store.similarity_search("query 0", k=n + 5, n_probes=4)) == n
    assert store.similarity_search("query 0", k=0) == []


def test_create_or_load_by_name_and_refusals(postgres_client):
    table = {"alpha": [1, 0, 0], "beta": [0, 1, 0], "gamma": [0, 0, 1], "odd": [1, 2]}
    emb = TableEmbeddings(table)
    name, key = fresh_name(), os.urandom(32)
    config = tdb.IndexIVFFlat(3, 2, "cosine")
    store = TavrinDBVectorStore.from_documents(
        [Document(page_content="alpha", metadata={"lang": "en"}, id="a"),
         Document(page_content="beta")], emb,
        client=postgres_client, index_name=name, key=key, index_config=config)
    try:
        # The same name and key load it, with or without a matching config.
        for kwargs in ({}, {"index_config": config}):
            again = TavrinDBVectorStore(emb, client=postgres_client, index_name=name, key=key,
                                        **kwargs)
            docs = again.get_by_ids(["a", "missing"])
            assert docs == [Document(page_content="alpha", metadata={"lang": "en"}, id="a")]
        with pytest.raises(ValueError, match="exists with"):
            TavrinDBVectorStore(emb, client=postgres_client, index_name=name, key=key,
                                index_config=tdb.IndexIVFFlat(4, 2, "cosine"))

        # An id given twice in one call keeps its last document.
        assert store.add_texts(["beta", "gamma"], ids=["d", "d"]) == ["d", "d"]
        assert [d.page_content for d in store.get_by_ids(["d"])] == ["gamma"]
        before = sorted(d.page_content for d in store.similarity_search("alpha", k=10))
        assert before == ["alpha", "beta", "gamma"]
        # Refused before anything is written: a wrong-sized embedding among
        # good ones, a misspelt option, too few ids.
        with pytest.raises(ValueError, match="expects dimension 3"):
            store.add_texts(["gamma", "odd"])
        with pytest.raises(TypeError, match="filters"):
            store.similarity_search("alpha", filters={"lang": "en"})
        with pytest.raises(ValueError):
            store.add_texts(["gamma"], ids=["g", "h"])
        with pytest.raises(ValueError, match="cannot list"):
            store.delete()
        assert sorted(d.page_content for d in store.similarity_search("alpha", k=10)) == before
    finally:
        store.index.delete_index()


class WordEmbeddings(Embeddings):
    """Counts the words of a small vocabulary: texts that share words are
    near, enough for a retriever to find the right passage."""

    VOCAB = ["planet", "red", "mars", "jupiter", "largest", "gas", "ocean", "pacific", "deepest",
             "trench", "mountain", "highest", "everest", "river", "longest", "nile", "africa"]

    def _embed(self, text):
        words = [w.strip("?.,").lower() for w in text.split()]
        v = np.array([words.count(t) for t in self.VOCAB], dtype=np.float32)
        return (v + 0.01).tolist()  # never the zero vector

    def embed_documents(self, texts):
        return [self._embed(t) for t in texts]

    def embed_query(self, text):
        return self._embed(text)


PASSAGES = {
    "mars": "Mars is called the red planet because of iron oxide on its surface.",
    "jupiter": "Jupiter is the largest planet, a gas giant.",
    "trench": "The Mariana trench in the Pacific ocean is the deepest place.",
    "everest": "Mount Everest is the highest mountain above sea level.",
    "nile": "The Nile is the longest river in Africa.",
}


@pytest.mark.parametrize("search_type,search_kwargs", [
    ("similarity", {"k": 1}),
    ("mmr", {"k": 1, "fetch_k": 5}),
    ("similarity_score_threshold", {"score_threshold": 0.85}),
])
async def test_retriever_answers_questions(search_type, search_kwargs):
    store = TavrinDBVectorStore.from_texts(
        list(PASSAGES.values()), WordEmbeddings(), [{"topic": t} for t in PASSAGES],
        client=memory_client(), index_name="facts", key=os.urandom(32),
        index_config=tdb.IndexIVFFlat(len(WordEmbeddings.VOCAB), 2, "cosine"))
    retriever = store.as_retriever(search_type=search_type, search_kwargs=search_kwargs)
    questions = {
        "Which planet is the red planet?": "mars",
        "What is the deepest ocean trench?": "trench",
        "Which river is the longest in Africa?": "nile",
    }
    for question, topic in questions.items():
        for docs in (retriever.invoke(question), await retriever.ainvoke(question)):
            assert [d.metadata["topic"] for d in docs] == [topic]
            assert docs[0].page_content == PASSAGES[topic]


def test_retrieval_example():
    """examples/langchain_retrieval.py answers its questions with the real
    model where langchain-huggingface is installed, and runs on the stand-in
    embeddings elsewhere."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
    example = os.path.join(root, "examples", "langchain_retrieval.py")
    out = subprocess.run([sys.executable, example], capture_output=True, text=True,
                         timeout=600, cwd=os.path.dirname(example))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    topics = [line.split("]")[0].strip(" [") for line in lines[2::2]]
    if importlib.util.find_spec("langchain_huggingface") is None:
        assert lines[0].startswith("embeddings: LangChain's deterministic stand-in")
        assert len(topics) == 4
    else:
        assert lines[0] == "embeddings: all-MiniLM-L6-v2 through langchain-huggingface"
        assert topics == ["mars", "trench", "bread", "violin"]
