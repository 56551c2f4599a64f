"""Trained search quality: recall against exact search on clustered data,
and probing every list gives exactly the exhaustive answer."""
import numpy as np
import pytest

from conftest import new_index


def _clustered(n, dimension, clusters, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dimension)).astype(np.float32) * 4
    labels = rng.integers(0, clusters, n)
    return (centres[labels] + rng.standard_normal((n, dimension))).astype(np.float32)


def _exact_top_k(items, queries, metric, k):
    if metric == "cosine":
        a = items / np.maximum(np.linalg.norm(items, axis=1, keepdims=True), 1e-30)
        b = queries / np.maximum(np.linalg.norm(queries, axis=1, keepdims=True), 1e-30)
        dist = 1.0 - b.astype(np.float64) @ a.T.astype(np.float64)
    else:
        dist = (np.sum(queries.astype(np.float64) ** 2, axis=1)[:, None]
                + np.sum(items.astype(np.float64) ** 2, axis=1)[None, :]
                - 2.0 * queries.astype(np.float64) @ items.T.astype(np.float64))
    return np.argsort(dist, axis=1, kind="stable")[:, :k]


@pytest.mark.parametrize("metric", ["squared_euclidean", "cosine"])
def test_trained_recall_and_full_probe_equal_exact_search(memory_client, metric):
    items = _clustered(20000, 64, 50, seed=11)
    queries = _clustered(200, 64, 50, seed=12)
    ids = np.arange(len(items))
    idx = new_index(memory_client, dimension=64, n_lists=64, metric=metric)
    idx.upsert(ids, items)
    idx.train()
    exact = _exact_top_k(items, queries, metric, 10)

    probed = idx.query(queries, top_k=10, n_probes=8, include=[])
    hits = sum(len({int(h["id"]) for h in row} & set(exact[q].tolist()))
               for q, row in enumerate(probed))
    assert hits / exact.size >= 0.95

    # Every list probed: exactly what the exhaustive search of an untrained
    # index answers, ids and distances.
    exhaustive = new_index(memory_client, dimension=64, n_lists=64, metric=metric, name="flat")
    exhaustive.upsert(ids, items)
    assert idx.query(queries, top_k=10, n_probes=64) == exhaustive.query(queries, top_k=10)
