"""EncryptedIndex.query, get, delete and train as Python sees them: argument
shapes and their refusals, result shapes and include lists. What the answers
are is the index harness's (tests/cpp/index_harness_test.cc)."""
import gc
import itertools
import weakref

import numpy as np
import pytest

from conftest import new_index, refusal

VECTORS = np.array([[0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0], [1, 0, 0, 0], [1, 1, 1, 1]],
                   np.float32)
DIMENSION = "The dimension of the vectors provided (%d) doesn't match the index configuration (4)."


@pytest.fixture
def idx(memory_client):
    idx = new_index(memory_client, dimension=4)
    idx.upsert([{"id": "i%d" % i, "vector": v.tolist(), "contents": "c%d" % i,
                 "metadata": {"n": i, "lang": "en" if i % 2 else "fr"}}
                for i, v in enumerate(VECTORS)])
    return idx


@pytest.mark.parametrize("kind, args, kwargs, message", [
    (ValueError, (), {}, "Provide at least one: query_vector or query_contents."),
] + [(TypeError, (a,), {}, "query_vector must be a 1D or 2D NumPy array.")
     for a in (np.zeros((1, 2, 2), np.float32), np.ones((), np.float32))] + [
    (ValueError, (bad,), {}, "query_vector must be a 1D or 2D NumPy array or List[List[float]].")
    for bad in (("a",), "text", 5)] + [
    (ValueError, ([[0.0] * 4, [1.0]],), {},
     "Query at index 1 has 1 vector values, fewer than the 4 of the first query."),
    # A longer row is refused too, never cut to the first row's width.
    (ValueError, ([[0.0] * 4, [7.0] * 5],), {},
     "Query at index 1 has 5 vector values, more than the 4 of the first query."),
    (ValueError, (), {"query_contents": "text"},
     "Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
     "create a new index with an embedding model."),
    (ValueError, ([],), {}, "Query vectors cannot be empty."),
    (ValueError, ([[]],), {}, DIMENSION % 0),
    (ValueError, (np.zeros(5, np.float32),), {}, DIMENSION % 5),
] + [(ValueError, (VECTORS,), {"filters": f}, m) for f, m in [
    ({"a": {1, 2}}, "Failed to serialize filters to JSON: Object of type set is not JSON serializable"),
    ({"a": 1, "b": 2}, "The filters argument must contain exactly one top-level filter."),
    ({"a": {"$near": 1}}, "Unsupported operator: $near for field: a")]] + [
    (ValueError, (VECTORS,), {"n_probes": 2, "max_probes": 1},
     "max_probes cannot be smaller than n_probes."),
] + [(ValueError, (a,), {}, "Unable to cast") for a in ([0.1, 0.2], [["a", "b"]])] + [
    (TypeError, a, k, "incompatible function arguments") for a, k in [
        ((VECTORS[0],), {"top_k": -1}), ((VECTORS[0],), {"filters": []}),
        ((VECTORS, 10, 1, {}, ["distance"], False, 4), {})]])  # max_probes: keyword only
def test_query_refusals(idx, kind, args, kwargs, message):
    text = refusal(lambda: idx.query(*args, **kwargs), kind)
    assert text == message or (message.endswith(("cast", "arguments")) and message in text)


def test_query_argument_and_result_shapes(idx):
    q = VECTORS[0]
    flat = idx.query(q, top_k=2)
    assert list(flat[0].items()) == [("id", "i0"), ("distance", 0.0),
                                     ("metadata", {"n": 0, "lang": "fr"})]
    # One row as a list or of another dtype is one query; a text beside a
    # vector is ignored.
    for same in (q[None, :].tolist(), q.astype(np.float64), q):
        assert idx.query(same, "ignored text", top_k=2) == flat
    batch = idx.query(VECTORS[:2], top_k=2)
    assert batch == [flat, idx.query(VECTORS[1], top_k=2)] == idx.query(VECTORS[:2].tolist(),
                                                                          top_k=2)
    assert idx.query(q[None, :], top_k=2) == [flat]
    assert idx.query(np.asfortranarray(VECTORS), top_k=2) == idx.query(VECTORS, top_k=2)
    assert idx.query(q, top_k=0) == []
    # include decides what the index fills in; the three keys are always there.
    full = idx.query(VECTORS[4])
    assert idx.query(VECTORS[4], include=["metadata", "metadata", "distance"]) == full
    for include in ([], ["distance"], ["contents", "vector"]):
        hits = idx.query(VECTORS[4], include=include)
        assert [h["id"] for h in hits] == [h["id"] for h in full]
        assert all(list(h) == ["id", "distance", "metadata"] and h["metadata"] == {} for h in hits)


def test_answers_leave_the_cyclic_collector_as_they_found_it(idx):
    """Building a large answer may hold the collector off; it is restored as
    it was, enabled or not, also when the call fails, and the answer's dicts
    are ordinary objects afterwards: a cycle through one is collected."""
    queries = np.repeat(VECTORS, 400, axis=0)
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            for include in ([], ["metadata"]):
                hits = idx.query(queries, top_k=5, include=include)
                assert gc.isenabled() == enabled
                assert len(hits) == len(queries) and all(len(h) == 5 for h in hits)
            with pytest.raises(ValueError):
                idx.query(queries, top_k=5, n_probes=2, max_probes=1)
            assert gc.isenabled() == enabled
        gc.enable()
        hits = idx.query(queries, top_k=5)

        class Anchor:
            pass
        anchor = Anchor()
        anchor.hit = hits[0][0]
        hits[0][0]["metadata"]["anchor"] = anchor  # a cycle through the answer
        gone = weakref.ref(anchor)
        del hits, anchor
        gc.collect()
        assert gone() is None
    finally:
        (gc.enable if was else gc.disable)()


def test_get_includes_and_delete(idx):
    fields = {"vector": VECTORS[2].tolist(), "contents": b"c2", "metadata": {"n": 2, "lang": "fr"}}
    for r in range(4):
        for include in itertools.permutations(fields, r):
            got = idx.get(["i2"], include=list(include) + ["bogus"])
            assert [list(g.items()) for g in got] == [[("id", "i2")] + [
                (n, fields[n]) for n in include]]
    assert list(idx.get(["i2"])[0]) == ["id", "vector", "contents", "metadata"]
    assert [r["id"] for r in idx.get(["i4", "missing", "i0"], include=[])] == ["i4", "i0"]
    idx.delete(["i0", "missing"])
    assert idx.get(["i0"]) == []
    for call in (lambda: idx.get("i2"), lambda: idx.delete("i0")):
        with pytest.raises(TypeError):
            call()


def test_training_and_batch_queries_of_unequal_lists(memory_client):
    idx = new_index(memory_client, n_lists=3)
    idx.upsert(["p0", "p1"], np.ones((2, 4), np.float32))
    assert refusal(idx.train) == ("Number of embeddings is less than the number of clusters. "
                                  "Please ingest more data before training.")
    assert idx.is_trained() is False
    # Two far clusters of 150 and 50 items: after training, one list each.
    centres = 20 * np.eye(4, dtype=np.float32)[:2]
    side = (np.arange(200) % 4 == 0).astype(int)
    vectors = centres[side] + np.random.default_rng(5).standard_normal((200, 4))
    idx = new_index(memory_client, n_lists=2)
    idx.upsert(["p%d" % i for i in range(200)], vectors.astype(np.float32))
    idx.train(batch_size=64, max_iters=30, tolerance=1e-4)
    assert idx.is_trained() is True
    assert refusal(idx.train) == "Index has already been trained."
    # Each query of a batch gets its own list's items, and no empty slots.
    alone = [idx.query(c, top_k=1000, n_probes=1, include=[]) for c in centres]
    assert sorted(len(a) for a in alone) == [50, 150]
    assert idx.query(centres, top_k=1000, n_probes=1, include=[]) == alone
    for call in (lambda: idx.train(batch_size=-1), lambda: idx.train(tolerance="x")):
        with pytest.raises(TypeError):
            call()


def test_untrained_warning_above_fifty_thousand_items(memory_client, capfd):
    idx = new_index(memory_client, dimension=2)
    idx.upsert(np.arange(50000), np.zeros((50000, 2), np.float32))
    idx.query(np.zeros(2, np.float32), top_k=1)
    assert "Warning: querying untrained index" not in capfd.readouterr().err
    idx.upsert(["one-more"], np.zeros((1, 2), np.float32))
    idx.query(np.zeros((3, 2), np.float32), top_k=1)
    assert capfd.readouterr().err.count(
        "Warning: querying untrained index with more than 50000 indexed vectors.\nQueries may be "
        "slow; consider calling `TrainIndex()` to speed up queries.\n") == 1
