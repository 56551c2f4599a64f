"""A LangChain vector store over one encrypted tavrindb_lite index.

Each document is one item of the index: its id, its embedding as the vector,
its page content as the item's contents (UTF-8) and its metadata as the
item's metadata. A search asks the index for ids, distances and metadata,
then fetches the contents of the hits in one batched get.
"""
from __future__ import annotations

import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
import tavrindb_lite as tdb
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

DEFAULT_N_PROBES = 8


def _cosine_relevance(distance: float) -> float:
    # Cosine distance runs from 0 (same direction) to 2 (opposite).
    return min(1.0, max(0.0, 1.0 - distance / 2.0))


def _euclidean_relevance(distance: float) -> float:
    return 1.0 / (1.0 + max(0.0, distance))


_RELEVANCE = {
    "cosine": _cosine_relevance,
    "euclidean": _euclidean_relevance,
    "squared_euclidean": _euclidean_relevance,
}


def _reject_unknown(method: str, kwargs: dict[str, Any]) -> None:
    # A misspelt option (filters= for filter=) must not pass silently.
    if kwargs:
        raise TypeError("%s() got unexpected keyword arguments: %s"
                        % (method, ", ".join(sorted(kwargs))))


def _create_or_load(client: tdb.Client, name: str, key: Any,
                    config: tdb.IndexConfig | None, max_cache_size: int | None) -> tdb.EncryptedIndex:
    if config is not None:
        try:
            exists = name in client.list_indexes()
        except ValueError:
            exists = False  # an in-process configuration location keeps no indexes to load
        if not exists:
            return client.create_index(name, key, config, max_cache_size=max_cache_size)
    index = client.load_index(name, key, max_cache_size=max_cache_size)
    if config is not None:
        have = index.index_config()
        want = {"dimension": config.dimension, "metric": config.metric,
                "n_lists": config.n_lists()}
        got = {k: have[k] for k in want}
        if got != want:
            raise ValueError("Index %s exists with %s, not %s." % (name, got, want))
    return index


class TavrinDBVectorStore(VectorStore):
    """LangChain vector store over one `tavrindb_lite.EncryptedIndex`.

    Give it an index::

        store = TavrinDBVectorStore(embeddings, index)

    or a client, a name and a key, with which it loads the index of that name,
    or creates it when `index_config` is given and no such index exists::

        store = TavrinDBVectorStore(
            embeddings, client=client, index_name="docs", key=key,
            index_config=tdb.IndexIVFFlat(384, n_lists=16, metric="cosine"))

    Searches take `filter=` (a metadata filter in the index's filter
    language, e.g. `{"lang": "en"}` or `{"$and": [...]}`), and `n_probes=`
    and `greedy=`, which matter once the index is trained (`store.index.train()`);
    before training every search is exhaustive. Scores from
    `similarity_search_with_score` are the index's distances (lower is
    nearer); relevance scores are 1 - d/2 for cosine and 1/(1 + d) for the
    Euclidean metrics.
    """

    def __init__(
        self,
        embedding: Embeddings,
        index: tdb.EncryptedIndex | None = None,
        *,
        client: tdb.Client | None = None,
        index_name: str | None = None,
        key: Any = None,
        index_config: tdb.IndexConfig | None = None,
        max_cache_size: int | None = 0,
        n_probes: int = DEFAULT_N_PROBES,
    ) -> None:
        if index is not None:
            if client is not None or index_name is not None or key is not None \
                    or index_config is not None:
                raise ValueError("Give either an index or a client, an index_name and a key, "
                                 "not both.")
        elif client is None or index_name is None or key is None:
            raise ValueError("TavrinDBVectorStore needs an index, or a client, an index_name "
                             "and a key.")
        else:
            index = _create_or_load(client, index_name, key, index_config, max_cache_size)
        if n_probes < 1:
            raise ValueError("n_probes must be at least 1, got %r." % (n_probes,))
        config = index.index_config()
        self._embedding = embedding
        self._index = index
        self._dimension = int(config["dimension"])
        self._metric = str(config["metric"])
        self._n_probes = n_probes

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def index(self) -> tdb.EncryptedIndex:
        """The underlying index (to train it, or to use it directly)."""
        return self._index

    # Writing and deleting

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: Sequence[str | None] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds the texts and upserts them in one write: an id that exists
        is overwritten. Ids that are not given (None or empty) are made.
        Returns the ids, one per text."""
        _reject_unknown("add_texts", kwargs)
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError("Got %d metadatas for %d texts." % (len(metadatas), len(texts)))
        if ids is not None and len(ids) != len(texts):
            raise ValueError("Got %d ids for %d texts." % (len(ids), len(texts)))
        if not texts:
            return []
        item_ids = [i if i else str(uuid.uuid4())
                    for i in (ids if ids is not None else [None] * len(texts))]
        embedded = self._embedding.embed_documents(texts)
        # The index reads every row at the width of the first one, so ragged
        # or wrong-sized embeddings are refused here, before anything is written.
        widths = sorted({len(v) for v in embedded})
        if len(embedded) != len(texts) or widths != [self._dimension]:
            raise ValueError("Got %d embeddings of widths %s for %d texts; the index expects "
                             "dimension %d." % (len(embedded), widths, len(texts), self._dimension))
        vectors = np.asarray(embedded, dtype=np.float32)
        # An id given twice keeps its last document, as two calls would (the
        # index itself would keep the first).
        items: dict[str, dict[str, Any]] = {}
        for n, (item_id, text) in enumerate(zip(item_ids, texts)):
            item: dict[str, Any] = {"id": item_id, "vector": vectors[n], "contents": text}
            if metadatas is not None and metadatas[n]:
                item["metadata"] = metadatas[n]
            items.pop(item_id, None)
            items[item_id] = item
        self._index.upsert(list(items.values()))
        return item_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the items of these ids; unknown ids are ignored. Deleting
        everything (ids=None) is refused: the index cannot list its items."""
        _reject_unknown("delete", kwargs)
        if ids is None:
            raise ValueError("delete needs the ids to delete: an encrypted index cannot list "
                             "its items (delete the whole index with store.index.delete_index()).")
        ids = list(ids)
        if ids:
            self._index.delete(ids)
        return True

    # Reading

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        items = self._index.get(list(ids), include=["contents", "metadata"])
        return [Document(id=it["id"], page_content=it["contents"].decode("utf-8", "replace"),
                         metadata=it["metadata"]) for it in items]

    def _query(self, embedding: Sequence[float], k: int, filter: dict[str, Any] | None,
               n_probes: int | None, greedy: bool) -> list[dict[str, Any]]:
        if k < 0:
            raise ValueError("k must not be negative, got %d." % k)
        vector = np.asarray(embedding, dtype=np.float32)
        if vector.ndim != 1:
            raise ValueError("One query embedding is expected, got shape %s." % (vector.shape,))
        if k == 0:
            return []
        return self._index.query(vector, top_k=k, n_probes=n_probes or self._n_probes,
                                 filters=filter or {}, include=["distance", "metadata"],
                                 greedy=greedy)

    def similarity_search_with_score_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: dict[str, Any] | None = None,
        *,
        n_probes: int | None = None,
        greedy: bool = False,
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """The k nearest documents with their distances, nearest first."""
        _reject_unknown("similarity_search", kwargs)
        hits = self._query(embedding, k, filter, n_probes, greedy)
        if not hits:
            return []
        contents = {it["id"]: it["contents"]
                    for it in self._index.get([h["id"] for h in hits], include=["contents"])}
        out = []
        for h in hits:
            text = contents.get(h["id"])
            if text is None:  # deleted since the query
                continue
            doc = Document(id=h["id"], page_content=text.decode("utf-8", "replace"),
                           metadata=h["metadata"])
            out.append((doc, float(h["distance"])))
        return out

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: dict[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(
            self._embedding.embed_query(query), k, filter, **kwargs)

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: dict[str, Any] | None = None,
        **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in
                self.similarity_search_with_score_by_vector(embedding, k, filter, **kwargs)]

    def similarity_search(
        self, query: str, k: int = 4, filter: dict[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        try:
            return _RELEVANCE[self._metric]
        except KeyError:
            raise ValueError("No relevance score for the metric %r." % self._metric) from None

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | None = None,
        *,
        n_probes: int | None = None,
        greedy: bool = False,
        **kwargs: Any,
    ) -> list[Document]:
        """k documents chosen among the fetch_k nearest for closeness to the
        query and difference from each other."""
        _reject_unknown("max_marginal_relevance_search", kwargs)
        hits = self._query(embedding, max(k, fetch_k), filter, n_probes, greedy)
        if not hits or k <= 0:
            return []
        items = {it["id"]: it for it in
                 self._index.get([h["id"] for h in hits], include=["vector", "contents"])}
        hits = [h for h in hits if h["id"] in items]
        if not hits:
            return []
        vectors = [items[h["id"]]["vector"] for h in hits]
        chosen = maximal_marginal_relevance(np.asarray(embedding, dtype=np.float32), vectors,
                                            lambda_mult=lambda_mult, k=min(k, len(hits)))
        return [Document(id=hits[i]["id"],
                         page_content=items[hits[i]["id"]]["contents"].decode("utf-8", "replace"),
                         metadata=hits[i]["metadata"]) for i in chosen]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs)

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> TavrinDBVectorStore:
        """A store made with the keyword arguments (index=..., or client=,
        index_name=, key= and index_config=), holding the texts."""
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
