"""Living with an index from Python: counting and listing, metadata updates,
compaction, retraining, closing, and the module's messages through logging.
What these do to stored data under failures is the index harness's
(tests/cpp/index_harness_test.cc); here, the Python surface and the figures
a user relies on."""
import logging
import os

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import new_index, random_vectors

NOT_CONNECTED = ("Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` "
                 "before calling this function.")


def test_count_ids_update_metadata_and_compact(memory_client):
    idx = new_index(memory_client, dimension=4, n_lists=2)
    v = random_vectors(30, 4)
    idx.upsert(["i%d" % i for i in range(30)], v)
    idx.upsert([{"id": "i%d" % i, "vector": v[i], "metadata": {"n": i}} for i in range(10)])
    idx.delete(["i20", "i21", "missing"])
    assert len(idx) == idx.count() == 28
    assert sorted(idx.ids()) == sorted("i%d" % i for i in range(30) if i not in (20, 21))

    with pytest.raises(ValueError) as e:
        idx.update_metadata(["i1", "nope", "i2", "gone"], {"x": 1})
    assert str(e.value) == "Unknown ids: nope, gone"
    for ids, metadata in ((["i1", "i1"], {}), (["i1", "i2"], [{}])):
        with pytest.raises(ValueError):
            idx.update_metadata(ids, metadata)
    with pytest.raises(ValueError):
        idx.update_metadata(["i1"], {"x": float("nan")})
    assert idx.get(["i1"], include=["metadata"]) == [{"id": "i1", "metadata": {"n": 1}}]
    idx.update_metadata(["i1", "i2"], {"tag": "red"})
    idx.update_metadata(["i3", "i4"], [{"tag": "blue"}, None])
    assert [r["metadata"] for r in idx.get(["i1", "i2", "i3", "i4"], include=["metadata"])] == [
        {"tag": "red"}, {"tag": "red"}, {"tag": "blue"}, {}]
    assert idx.get(["i1"], include=["vector"])[0]["vector"] == pytest.approx(v[1].tolist())
    red = idx.query(v[0], top_k=30, filters={"tag": "red"})
    assert sorted(h["id"] for h in red) == ["i1", "i2"]

    before = idx.query(v[:5], top_k=8)
    removed = idx.compact()
    assert removed == 40 - 28  # ten overwritten entries, two deleted items
    assert idx.compact() == 0
    assert idx.query(v[:5], top_k=8) == before
    idx.train()
    idx.update_metadata(["i5"], {"tag": "red"})
    red = idx.query(v[0], top_k=30, n_probes=2, filters={"tag": "red"})
    assert sorted(h["id"] for h in red) == ["i1", "i2", "i5"]


def test_retrain_follows_data_that_moved(memory_client):
    rng = np.random.default_rng(7)
    dim, lists = 16, 8
    old = (rng.standard_normal((lists, dim)) * 10).astype(np.float32)
    # The data moves to the midpoints between the old centres, where the old
    # lists' borders cut every new cluster in two.
    new = (old + np.roll(old, 1, axis=0)) / 2
    first = old[np.arange(160) % lists] + rng.standard_normal((160, dim)).astype(np.float32)
    later = new[rng.integers(0, lists, 1600)] + rng.standard_normal((1600, dim)).astype(np.float32)
    data = np.vstack([first, later]).astype(np.float32)
    idx = new_index(memory_client, dimension=dim, n_lists=lists, name="moved")
    with pytest.raises(ValueError):
        idx.retrain()
    idx.upsert(["a%d" % i for i in range(160)], data[:160])
    idx.train()
    idx.upsert(["b%d" % i for i in range(1600)], data[160:])
    queries = (new[rng.integers(0, lists, 100)]
               + rng.standard_normal((100, dim))).astype(np.float32)
    exact = [set(h["id"] for h in r) for r in idx.query(queries, top_k=10, n_probes=lists)]

    def recall():
        got = idx.query(queries, top_k=10, n_probes=1)
        return np.mean([len(exact[q] & set(h["id"] for h in got[q])) / 10 for q in range(100)])

    stale = recall()
    idx.retrain()
    assert recall() >= 0.9 > stale
    assert len(idx) == 1760 and len(idx.query(queries[0], top_k=5000, n_probes=lists)) == 1760


def test_close_and_context_manager(redis_connection_string):
    r = tdb.DBConfig("redis", "upkeep_close", redis_connection_string)
    client = tdb.Client(r, r)
    key = os.urandom(32)
    name = "close_%s" % os.urandom(4).hex()
    v = random_vectors(10, 4)
    with client.create_index(name, key, tdb.IndexIVFFlat(4, 2)) as idx:
        idx.upsert(["x%d" % i for i in range(10)], v)
    for member in (lambda: idx.get(["x1"]), lambda: idx.query(v[0]), lambda: len(idx),
                   lambda: idx.upsert(["y"], v[:1]), idx.compact):
        with pytest.raises(ValueError) as e:
            member()
        assert str(e.value) == NOT_CONNECTED
    assert idx.index_name() == name and idx.index_config()["dimension"] == 4
    assert idx.is_trained() is False
    idx.close()
    again = client.load_index(name, key)
    assert len(again) == 10
    assert [h["id"] for h in again.query(v[3], top_k=1)] == ["x3"]
    again.delete_index()


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
    records = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "tavrindb_lite"]
    assert ("WARNING", "Warning: Duplicate IDs detected. Skipping duplicate IDs.") in records
    assert ("DEBUG", "Token not found: 0") in records
    out, err = capfd.readouterr()
    assert "Duplicate" not in err and "Token not found" not in out
    idx.upsert(["d", "d"], np.ones((2, 2), np.float32))
    assert "Warning: Duplicate IDs detected." in capfd.readouterr().err
