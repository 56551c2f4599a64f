"""EncryptedIndex.query, get, delete and train as Python sees them: argument
shapes, result shapes, include lists, filters, and search results checked
against a NumPy brute force."""
import itertools

import numpy as np
import pytest

from conftest import new_index, random_vectors


def _reference_top_k(items, queries, metric, k):
    """Exact distances in float64 and the ids of the k nearest, by (distance, id)."""
    x = items.astype(np.float64)
    q = queries.astype(np.float64)
    if metric == "cosine":
        xn = np.linalg.norm(x, axis=1)
        qn = np.linalg.norm(q, axis=1)
        d = 1 - (q @ x.T) / np.outer(qn, xn)
    else:
        d = ((q[:, None, :] - x[None, :, :]) ** 2).sum(axis=2)
        if metric == "euclidean":
            d = np.sqrt(d)
    order = np.argsort(d, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(d, order, axis=1)


@pytest.fixture
def filled(memory_client):
    idx = new_index(memory_client, dimension=4)
    vectors = np.array([[0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0], [1, 0, 0, 0], [1, 1, 1, 1]],
                       np.float32)
    idx.upsert([{"id": "i%d" % i, "vector": v.tolist(), "contents": "c%d" % i,
                 "metadata": {"n": i, "lang": "en" if i % 2 else "fr"}}
                for i, v in enumerate(vectors)])
    return idx, vectors


def test_query_argument_and_result_shapes(filled):
    idx, vectors = filled
    q = vectors[0]
    flat = idx.query(q, top_k=2)
    assert [list(h) for h in flat] == [["id", "distance", "metadata"]] * 2
    assert flat[0] == {"id": "i0", "distance": 0.0, "metadata": {"n": 0, "lang": "fr"}}
    assert idx.query(q[None, :], top_k=2) == [flat]
    assert idx.query([q.tolist()], top_k=2) == flat
    assert idx.query(q.astype(np.float64), top_k=2) == flat
    assert idx.query(vectors[:2].tolist(), top_k=2) == [flat, idx.query(vectors[1], top_k=2)]
    assert idx.query(vectors[:2], top_k=2) == idx.query(vectors[:2].tolist(), top_k=2)
    assert idx.query(np.asfortranarray(vectors), top_k=2) == idx.query(vectors, top_k=2)
    # query_contents is ignored when a vector is given.
    assert idx.query(q, "ignored text", top_k=2) == flat
    assert idx.query(q, top_k=0) == []
    assert len(idx.query(q, top_k=50)) == 5

    def refused(kind, *args, **kwargs):
        with pytest.raises(kind) as e:
            idx.query(*args, **kwargs)
        return str(e.value)

    assert refused(ValueError) == "Provide at least one: query_vector or query_contents."
    assert refused(TypeError, np.zeros((1, 2, 2), np.float32)) == (
        "query_vector must be a 1D or 2D NumPy array.")
    assert refused(TypeError, np.ones((), np.float32)) == (
        "query_vector must be a 1D or 2D NumPy array.")
    for bad in (("a",), (0.1, 0.2), "text", 5):
        assert refused(ValueError, bad) == (
            "query_vector must be a 1D or 2D NumPy array or List[List[float]].")
    assert "Unable to cast" in refused(ValueError, [0.1, 0.2])
    assert "Unable to cast" in refused(ValueError, [["a", "b"]])
    assert refused(ValueError, [q.tolist(), [1.0]]) == (
        "Query at index 1 has 1 vector values, fewer than the 4 of the first query.")
    # A longer row is refused too, never cut to the first row's width.
    assert refused(ValueError, [q.tolist(), q.tolist() + [7.0]]) == (
        "Query at index 1 has 5 vector values, more than the 4 of the first query.")
    assert refused(ValueError, query_contents="text") == (
        "Index was not set up for automatic embedding generation. Provide `vector` explicitly "
        "or create a new index with an embedding model.")
    assert refused(ValueError, []) == "Query vectors cannot be empty."
    assert refused(ValueError, [[]]) == (
        "The dimension of the vectors provided (0) doesn't match the index configuration (4).")
    assert refused(ValueError, np.zeros(5, np.float32)) == (
        "The dimension of the vectors provided (5) doesn't match the index configuration (4).")
    with pytest.raises(TypeError):
        idx.query(q, top_k=-1)
    with pytest.raises(TypeError):
        idx.query(q, filters=[])


def test_query_include_and_filters(filled):
    idx, vectors = filled
    q = vectors[4]
    full = idx.query(q)
    # include decides what the index fills in; the three keys are always there.
    for include in ([], ["distance"], ["contents", "vector"]):
        hits = idx.query(q, include=include)
        assert [h["id"] for h in hits] == [h["id"] for h in full]
        assert all(list(h) == ["id", "distance", "metadata"] and h["metadata"] == {}
                   for h in hits)
    assert idx.query(q, include=["metadata", "metadata", "distance"]) == full
    assert idx.query(q, include=["distance", "metadata"]) == full

    # Filters travel as JSON text; the index applies them.
    en = idx.query(q, filters={"lang": "en"})
    assert sorted(h["id"] for h in en) == ["i1", "i3"]
    ranged = idx.query(q, filters={"$and": [{"n": {"$gte": 1}}, {"n": {"$lt": 3}}]})
    assert sorted(h["id"] for h in ranged) == ["i1", "i2"]
    assert idx.query(q, filters={"lang": {"$in": ["de"]}}) == []
    with pytest.raises(ValueError) as e:
        idx.query(q, filters={"a": {1, 2}})
    assert str(e.value) == ("Failed to serialize filters to JSON: Object of type set is not JSON "
                            "serializable")
    with pytest.raises(ValueError) as e:
        idx.query(q, filters={"a": 1, "b": 2})
    assert str(e.value) == "The filters argument must contain exactly one top-level filter."
    with pytest.raises(ValueError) as e:
        idx.query(q, filters={"a": {"$near": 1}})
    assert str(e.value) == "Unsupported operator: $near for field: a"


@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
def test_max_probes_fills_rare_filtered_queries(memory_client, metric):
    rng = np.random.default_rng(3)
    centres = 20 * np.eye(8, dtype=np.float32)[:4]
    vectors = (centres[np.arange(400) % 4] + rng.standard_normal((400, 8))).astype(np.float32)
    rare = set(range(0, 400, 25))  # 16 items, four in each cluster
    idx = new_index(memory_client, dimension=8, n_lists=4, metric=metric)
    idx.upsert([{"id": "p%d" % i, "vector": vectors[i],
                 "metadata": {"tag": "rare" if i in rare else "common"}} for i in range(400)])
    idx.train()
    queries = centres + 0.1
    short = idx.query(queries, top_k=10, n_probes=1, filters={"tag": "rare"})
    assert all(len(hits) < 10 for hits in short)
    full = idx.query(queries, top_k=10, n_probes=1, filters={"tag": "rare"}, max_probes=99)
    reference_order, reference = _reference_top_k(vectors, queries, metric, 400)
    for q, hits in enumerate(full):
        assert len(hits) == 10
        assert all(h["metadata"] == {"tag": "rare"} for h in hits)
        exact = dict(zip(reference_order[q], reference[q]))
        assert [h["distance"] for h in hits] == pytest.approx(
            [exact[int(h["id"][1:])] for h in hits], abs=1e-4)
        assert [h["distance"] for h in hits] == sorted(h["distance"] for h in hits)
    # Unfiltered queries never widen; the default answers as before.
    assert idx.query(queries, top_k=10, n_probes=1, max_probes=4) == idx.query(
        queries, top_k=10, n_probes=1)
    assert idx.query(queries, top_k=10, n_probes=1, filters={"tag": "rare"}) == short
    with pytest.raises(ValueError) as e:
        idx.query(queries, n_probes=2, max_probes=1)
    assert str(e.value) == "max_probes cannot be smaller than n_probes."
    with pytest.raises(TypeError):
        idx.query(queries, 10, 1, {}, ["distance"], False, 4)  # keyword only


def test_get_includes_and_delete(filled):
    idx, vectors = filled
    fields = {"vector": vectors[2].tolist(), "contents": b"c2", "metadata": {"n": 2, "lang": "fr"}}
    names = ["vector", "contents", "metadata"]
    for r in range(len(names) + 1):
        for include in itertools.permutations(names, r):
            got = idx.get(["i2"], include=list(include) + ["bogus"])
            assert len(got) == 1
            assert list(got[0].items()) == [("id", "i2")] + [(n, fields[n]) for n in include]
    assert list(idx.get(["i2"], include=["metadata", "vector", "metadata"])[0]) == [
        "id", "metadata", "vector"]
    assert list(idx.get(["i2"])[0]) == ["id", "vector", "contents", "metadata"]
    assert [r["id"] for r in idx.get(["i4", "missing", "i0"], include=[])] == ["i4", "i0"]
    assert idx.get([]) == []
    with pytest.raises(TypeError):
        idx.get("i2")

    idx.delete(["i0", "missing"])
    assert idx.get(["i0"]) == []
    assert "i0" not in [h["id"] for h in idx.query(vectors[0])]
    idx.delete([])
    idx.upsert(["i0"], vectors[:1] * 2)
    assert idx.get(["i0"], include=["vector", "contents"]) == [
        {"id": "i0", "vector": (vectors[0] * 2).tolist(), "contents": b""}]
    with pytest.raises(TypeError):
        idx.delete("i0")


def test_training(memory_client):
    rng = np.random.default_rng(5)
    centres = 20 * np.eye(4, dtype=np.float32)
    labels = rng.integers(0, 4, 200)
    vectors = (centres[labels] + rng.standard_normal((200, 4))).astype(np.float32)
    ids = ["p%d" % i for i in range(200)]

    few = new_index(memory_client, n_lists=4, name="few")
    few.upsert(ids[:3], vectors[:3])
    with pytest.raises(ValueError) as e:
        few.train()
    assert str(e.value) == ("Number of embeddings is less than the number of clusters. "
                            "Please ingest more data before training.")
    assert few.is_trained() is False

    idx = new_index(memory_client, n_lists=4)
    idx.upsert([{"id": ids[i], "vector": vectors[i], "contents": "c%d" % i,
                 "metadata": {"cluster": int(labels[i])}} for i in range(200)])
    before = idx.query(vectors[:5], top_k=5)
    idx.train(batch_size=64, max_iters=30, tolerance=1e-4)
    assert idx.is_trained() is True
    with pytest.raises(ValueError) as e:
        idx.train()
    assert str(e.value) == "Index has already been trained."
    # Probing every list finds what the exhaustive search found.
    assert idx.query(vectors[:5], top_k=5, n_probes=4) == before
    # Well-separated clusters: one probe suffices for a point near a centre.
    assert idx.query(centres[1], top_k=3)[0]["metadata"] == {"cluster": 1}
    hits = idx.query(centres[2], top_k=10, n_probes=4, filters={"cluster": 3})
    assert hits and all(h["metadata"] == {"cluster": 3} for h in hits)
    assert idx.get(["p7"], include=["contents"]) == [{"id": "p7", "contents": b"c7"}]
    # Queries of one batch that probe lists of different sizes get their own
    # list's items each, and no empty slots. Training is random: about once in
    # a hundred runs k-means++ seeds two lists in one of these clusters, and
    # one list then spans two clusters; a fresh index is trained until the
    # four centres probe four different lists (five tries at most).
    sizes = [int((labels == c).sum()) for c in range(4)]
    assert sizes[1] != sizes[2]
    for attempt in range(5):
        sep = new_index(memory_client, n_lists=4, name="sep%d" % attempt)
        sep.upsert([{"id": ids[i], "vector": vectors[i], "metadata": {"cluster": int(labels[i])}}
                    for i in range(200)])
        sep.train(batch_size=64, max_iters=30)
        lists = {frozenset(h["id"] for h in sep.query(c, top_k=1000, n_probes=1))
                 for c in centres}
        if len(lists) == 4:
            break
    both = sep.query(np.stack([centres[1], centres[2]]), top_k=1000, n_probes=1)
    assert [len(r) for r in both] == [sizes[1], sizes[2]]
    assert all(h["metadata"] == {"cluster": 1} for h in both[0])
    assert all(h["metadata"] == {"cluster": 2} for h in both[1])
    idx.upsert(["new"], centres[:1])
    assert idx.query(centres[0], top_k=1, n_probes=1)[0]["id"] == "new"
    with pytest.raises(TypeError):
        idx.train(batch_size=-1)
    with pytest.raises(TypeError):
        idx.train(tolerance="x")


def test_untrained_warning_above_fifty_thousand_items(memory_client, capfd):
    idx = new_index(memory_client, dimension=2)
    idx.upsert(np.arange(50000), np.zeros((50000, 2), np.float32))
    idx.query(np.zeros(2, np.float32), top_k=1)
    assert "Warning: querying untrained index" not in capfd.readouterr().err
    idx.upsert(["one-more"], np.zeros((1, 2), np.float32))
    idx.query(np.zeros((3, 2), np.float32), top_k=1)
    err = capfd.readouterr().err
    assert err.count("Warning: querying untrained index with more than 50000 indexed vectors.\n"
                     "Queries may be slow; consider calling `TrainIndex()` to speed up "
                     "queries.\n") == 1
