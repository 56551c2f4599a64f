"""Upkeep members and logging from Python; their effect on stored data is the C++ harness's."""
import logging

import numpy as np

import tavrindb_lite as tdb
from conftest import new_index, random_vectors, refusal


def test_count_ids_update_metadata_and_compact(memory_client):
    idx = new_index(memory_client)
    v = random_vectors(30, 4)
    idx.upsert(["i%d" % i for i in range(30)], v)
    idx.upsert([{"id": "i%d" % i, "vector": v[i], "metadata": {"n": i}} for i in range(10)])
    idx.delete(["i20", "i21", "missing"])
    assert len(idx) == idx.count() == 28
    assert sorted(idx.ids()) == sorted("i%d" % i for i in range(30) if i not in (20, 21))
    for ids, metadata, message in (
            (["i6", "nope", "i2", "gone"], {"x": 1}, "Unknown ids: nope, gone"),
            (["i6", "i2"], [{}], "metadata must be one dict or a list as long as ids (2), not 1"),
            (["i6", "i6"], {}, "Repeated id"),
            (["i6"], {"x": float("nan")}, "Metadata cannot be stored as JSON")):
        assert message in refusal(lambda: idx.update_metadata(ids, metadata))
    idx.update_metadata(["i1", "i2"], {"tag": "red"})
    idx.update_metadata(["i3", "i4", "i5"], [{"tag": "blue"}, None, {}])
    # Refused updates changed nothing (i6).
    assert idx.get(["i%d" % i for i in range(7)], include=["metadata", "vector"]) == [
        {"id": "i%d" % i, "metadata": m, "vector": v[i].tolist()} for i, m in enumerate(
            [{"n": 0}, {"tag": "red"}, {"tag": "red"}, {"tag": "blue"}, {}, {}, {"n": 6}])]
    before = idx.query(v[:5], top_k=8)
    assert idx.compact() == 40 - 28  # ten overwritten entries, two deleted items
    assert idx.compact() == 0
    assert idx.query(v[:5], top_k=8) == before


def test_retrain_follows_data_that_moved(memory_client):
    rng = np.random.default_rng(7)
    dim, lists = 16, 8
    old = (rng.standard_normal((lists, dim)) * 10).astype(np.float32)
    # The data moves to the midpoints between the old centres, where the old
    # lists' borders cut every new cluster in two.
    new = (old + np.roll(old, 1, axis=0)) / 2
    idx = new_index(memory_client, dimension=dim, n_lists=lists, name="moved")
    assert refusal(idx.retrain)  # untrained
    def near(centres, n):
        return (centres + rng.standard_normal((n, dim))).astype(np.float32)

    ids = sorted(["a%d" % i for i in range(160)] + ["b%d" % i for i in range(1600)])
    idx.upsert(ids[:160], near(old[np.arange(160) % lists], 160))
    idx.train()
    idx.upsert(ids[160:], near(new[rng.integers(0, lists, 1600)], 1600))
    queries = near(new[rng.integers(0, lists, 100)], 100)
    exact = [set(h["id"] for h in r) for r in idx.query(queries, top_k=10, n_probes=lists)]

    def recall():
        got = idx.query(queries, top_k=10, n_probes=1)
        return np.mean([len(exact[q] & set(h["id"] for h in got[q])) / 10 for q in range(100)])

    stale = recall()
    idx.retrain()
    assert recall() >= 0.9 > stale
    assert sorted(idx.ids()) == sorted(h["id"] for h in idx.query(
        queries[0], top_k=2000, n_probes=lists, include=[])) == ids


def test_messages_go_to_the_logger_when_asked(memory_client, caplog, capfd):
    idx = new_index(memory_client, dimension=2, max_cache_size=2)
    caplog.set_level(logging.DEBUG, logger="tavrindb_lite")
    tdb.use_logging(True)
    try:
        idx.upsert(["a", "a"], np.ones((2, 2), np.float32))
        idx.upsert(["b", "c"], np.ones((2, 2), np.float32))
        idx.query(np.ones(2, np.float32))
    finally:
        tdb.use_logging(False)
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("tavrindb_lite", "WARNING", "Warning: Duplicate IDs detected. Skipping duplicate IDs."),
        ("tavrindb_lite", "DEBUG", "Token not found: 0")]
    assert capfd.readouterr() == ("", "")
    idx.upsert(["d", "d"], np.ones((2, 2), np.float32))
    assert "Warning: Duplicate IDs detected." in capfd.readouterr().err
