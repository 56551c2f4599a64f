"""An index on PostgreSQL or Redis outlives its handle: load it back with the
same key, with its items, training, model name and list counts."""
import gc
import os

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import random_vectors

KEY = bytes(range(1, 33))


@pytest.fixture(params=["postgres", "redis"])
def stores(request):
    """A Client factory on fresh tables of one server kind."""
    tag = "py_%s" % os.urandom(4).hex()
    if request.param == "postgres":
        conninfo = request.getfixturevalue("postgres_conninfo")
        locations = [tdb.DBConfig("postgres", tag + suffix, conninfo)
                     for suffix in ("_index", "_config", "_items")]
    else:
        conn = request.getfixturevalue("redis_connection_string")
        locations = [tdb.DBConfig("redis", tag + suffix, conn)
                     for suffix in ("_index", "_config", "_items")]
    return lambda: tdb.Client(*locations, cpu_threads=2)


def test_index_survives_its_handle(stores, fake_model):
    vectors = random_vectors(60, 6, seed=4)
    ids = ["p%d" % i for i in range(60)]
    idx = stores().create_index("docs", KEY, tdb.IndexIVFFlat(6, 3, "cosine"))
    idx.upsert([{"id": i, "vector": v, "contents": "text of " + i, "metadata": {"n": k}}
                for k, (i, v) in enumerate(zip(ids, vectors))])
    idx.train(max_iters=10)
    expected = idx.query(vectors[:4], top_k=5, n_probes=3)
    with pytest.raises(ValueError) as e:
        stores().create_index("docs", KEY, tdb.IndexIVFFlat(6, 3))
    assert str(e.value) == "Index name docs already exists"
    assert "docs" in stores().list_indexes()
    del idx
    gc.collect()

    with pytest.raises(ValueError):
        stores().load_index("docs", bytes(range(2, 34)))
    again = stores().load_index("docs", KEY, max_cache_size=2)
    assert again.is_trained() is True
    assert again.index_config() == {"dimension": 6, "metric": "cosine", "index_type": "ivfflat",
                                    "n_lists": 3, "pq_dim": 0, "pq_bits": 0}
    assert again.query(vectors[:4], top_k=5, n_probes=3) == expected
    assert again.get(["p7"]) == [{"id": "p7", "vector": pytest.approx(vectors[7].tolist()),
                                  "contents": b"text of p7", "metadata": {"n": 7}}]
    again.upsert(["extra"], vectors[:1] * 3)
    assert again.query(vectors[0] * 3, top_k=2, n_probes=3)[0]["id"] in ("extra", "p0")
    assert len(again.query(vectors[0], top_k=100, n_probes=3)) == 61
    again.delete_index()
    with pytest.raises(ValueError):
        stores().load_index("docs", KEY)

    # The model name is stored with the configuration: a loaded index embeds.
    texts = stores().create_index("texts", KEY, tdb.IndexIVFFlat(3, 2, "cosine"),
                                  embedding_model="fake/bag-of-words")
    texts.upsert([{"id": "cat", "contents": "a cat on the mat"},
                  {"id": "sea", "contents": "waves on the sea"}])
    del texts
    gc.collect()
    loaded = stores().load_index("texts", KEY)
    assert loaded.index_config()["dimension"] == fake_model.DIMENSION
    assert loaded.query(query_contents="the cat sat", top_k=1)[0]["id"] == "cat"
    loaded.delete_index()


def test_failed_write_after_validation_is_a_value_error(postgres_conninfo, capfd):
    import subprocess
    tag = "py_%s" % os.urandom(4).hex()
    locations = [tdb.DBConfig("postgres", tag + s, postgres_conninfo) for s in ("_i", "_c")]
    idx = tdb.Client(*locations).create_index("gone", KEY, tdb.IndexIVFFlat(2, 1))
    idx.upsert(["a"], np.ones((1, 2), np.float32))
    subprocess.run(["psql", postgres_conninfo, "-q", "-c", 'DROP TABLE "%s_i";' % tag],
                   check=True, capture_output=True, timeout=60)
    capfd.readouterr()
    with pytest.raises(ValueError) as e:
        idx.upsert(["b"], np.ones((1, 2), np.float32))
    assert str(e.value)
    assert "Error ingesting: %s\n" % e.value in capfd.readouterr().err


def test_result_cache_messages(postgres_conninfo, capfd):
    tag = "py_%s" % os.urandom(4).hex()
    locations = [tdb.DBConfig("postgres", tag + s, postgres_conninfo) for s in ("_i", "_c")]
    idx = tdb.Client(*locations).create_index("cached", KEY, tdb.IndexIVFFlat(2, 1))
    idx.upsert(["a"], np.ones((1, 2), np.float32))
    del idx
    gc.collect()
    loaded = tdb.Client(*locations).load_index("cached", KEY, max_cache_size=2)
    capfd.readouterr()
    # Upserting into a stored list that is not cached, then reading it, each
    # report the list once; a second read is a silent cache hit.
    loaded.upsert(["b"], np.full((1, 2), 2, np.float32))
    assert capfd.readouterr().out == "Token not found: 0\n"
    first = loaded.query(np.ones(2, np.float32))
    assert capfd.readouterr().out == "Token not found: 0\n"
    assert loaded.query(np.ones(2, np.float32)) == first
    assert [h["id"] for h in first] == ["a", "b"]
    assert capfd.readouterr().out == ""
    loaded.delete_index()
