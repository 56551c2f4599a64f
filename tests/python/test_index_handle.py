"""Client.create_index / load_index / load_serialized_index and the handle
members of EncryptedIndex, including what a deleted index still answers."""
import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import new_index

KEY = bytes(range(1, 33))
NOT_CONNECTED = ("Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` "
                 "before calling this function.")


def _refusal(call, kind=ValueError):
    with pytest.raises(kind) as e:
        call()
    return str(e.value)


def test_create_index_checks_in_order(memory_client):
    c = memory_client
    cfg = tdb.IndexIVFFlat(4, 2)
    zero = bytes(32)
    too_long = "n" * 256
    # The name length is checked first, in bytes, even with a zero key.
    assert _refusal(lambda: c.create_index(too_long, zero, cfg)) == (
        "Index name cannot be longer than 255 characters.")
    assert _refusal(lambda: c.create_index("\u00e9" * 128, KEY, cfg)) == (
        "Index name cannot be longer than 255 characters.")
    assert c.create_index("n" * 255, KEY, cfg).index_name() == "n" * 255
    assert _refusal(lambda: c.create_index("", zero, cfg)) == (
        "Index name cannot be an empty string.")
    assert _refusal(lambda: c.create_index("a", zero, cfg)) == "Index key cannot be an empty array."
    assert _refusal(lambda: c.create_index("a", zero, tdb.IndexIVFFlat(0, 0))) == (
        "Index key cannot be an empty array.")
    one_bit = bytearray(32)
    one_bit[31] = 1
    assert c.create_index("a", bytes(one_bit), cfg).index_name() == "a"
    # Lists before dimension.
    assert _refusal(lambda: c.create_index("a", KEY, tdb.IndexIVFFlat(0, 0))) == (
        "n_lists cannot be 0.")
    assert _refusal(lambda: c.create_index("a", KEY, tdb.IndexIVFFlat(0, 2))) == (
        "Vector dimension cannot be 0.")
    # Lists are sized up front: a count beyond the cap is refused, not allocated.
    for n_lists in (2**20 + 1, 2**32 - 1):
        assert _refusal(lambda: c.create_index("a", KEY, tdb.IndexIVFFlat(4, n_lists))) == (
            "n_lists cannot be larger than 1048576.")


def test_create_index_argument_conversion(memory_client):
    c = memory_client
    cfg = tdb.IndexIVFFlat(4, 2)
    # The key: any sequence of exactly 32 ints in 0..255.
    assert c.create_index("a", list(KEY), cfg).index_name() == "a"
    assert c.create_index("a", tuple(KEY), cfg).index_name() == "a"
    for bad in (KEY[:31], KEY + b"x", list(KEY[:31]) + [256], list(KEY[:31]) + [-1],
                "k" * 32, list(KEY[:31]) + [1.0], None):
        with pytest.raises(TypeError) as e:
            c.create_index("a", bad, cfg)
        assert "incompatible function arguments" in str(e.value)
    with pytest.raises(TypeError):
        c.create_index("a", KEY, None)
    with pytest.raises(TypeError):
        c.create_index("a", KEY, cfg, max_cache_size=-1)
    with pytest.raises(TypeError):
        c.create_index("a", KEY, cfg, embedding_model=5)
    # An unset cache capacity is accepted like the default engaged 0.
    for cache in (None, 0, 3):
        idx = c.create_index("a", KEY, cfg, max_cache_size=cache)
        idx.upsert(["x"], np.ones((1, 4), np.float32))
        assert [h["id"] for h in idx.query(np.ones(4, np.float32))] == ["x"]
        assert [h["id"] for h in idx.query(np.ones(4, np.float32))] == ["x"]
    # One configuration object serves several indexes and is not changed.
    a = c.create_index("a", KEY, cfg, embedding_model="")
    b = c.create_index("b", KEY, cfg, embedding_model=None)
    assert a.index_config() == b.index_config()
    assert (cfg.dimension, cfg.n_lists()) == (4, 2)


def test_handle_members(memory_client):
    idx = memory_client.create_index("cfg", KEY, tdb.IndexIVFFlat(8, 2, "squared_euclidean"))
    config = idx.index_config()
    assert list(config.items()) == [("dimension", 8), ("metric", "squared_euclidean"),
                                    ("index_type", "ivfflat"), ("n_lists", 2), ("pq_dim", 0),
                                    ("pq_bits", 0)]
    assert idx.index_type() == "ivfflat"
    assert idx.is_trained() is False
    assert idx.index_name() == "cfg"
    # The dict is a fresh copy each time.
    config["dimension"] = 3
    assert idx.index_config()["dimension"] == 8
    with pytest.raises(TypeError):
        tdb.EncryptedIndex()


def test_load_index_refusals():
    m = tdb.DBConfig("memory")
    r = tdb.DBConfig("redis", "cfg", "host:127.0.0.1,port:1,db:0")
    memory_message = "Memory location is not supported for loading an existing index."
    # Any in-process location is refused, before the name is looked at.
    for locations in ((m, m, m), (r, r, m), (m, r, r), (r, m, r)):
        c = tdb.Client(*locations)
        assert _refusal(lambda: c.load_index("", KEY)) == memory_message
        assert _refusal(lambda: c.load_index("x", KEY, max_cache_size=None)) == memory_message
    c = tdb.Client(r, r, r)
    assert _refusal(lambda: c.load_index("", KEY)) == "Index name cannot be an empty string."
    with pytest.raises(TypeError):
        c.load_index("x", KEY[:31])


def test_deleted_index_refuses_every_data_member(memory_client):
    idx = new_index(memory_client)
    idx.upsert(["a", "b", "c"], np.eye(3, 4, dtype=np.float32))
    idx.delete_index()
    assert idx.is_trained() is False
    assert idx.index_name() == ""
    # Both configuration readers fail alike.
    errors = [_refusal(idx.index_type, RuntimeError), _refusal(idx.index_config, RuntimeError)]
    assert errors[0] == errors[1] and errors[0]
    vectors = np.ones((2, 4), np.float32)
    calls = [
        idx.delete_index,
        lambda: idx.get(["a"]),
        lambda: idx.get(["a"], include=[]),
        lambda: idx.delete(["a"]),
        lambda: idx.upsert(["z"], vectors[:1]),
        lambda: idx.upsert([{"id": "z", "vector": [1.0, 2.0, 3.0, 4.0]}]),
        lambda: idx.upsert([{"id": "z", "contents": "text"}]),
        lambda: idx.query(np.ones(4, np.float32)),
        lambda: idx.query(query_contents="text"),
        idx.train,
        lambda: idx.train_and_serialize(vectors),
        lambda: idx.train_and_serialize(vectors, delete_index=False),
    ]
    for call in calls:
        assert _refusal(call) == NOT_CONNECTED


def test_serialized_round_trip(memory_client):
    rng = np.random.default_rng(3)
    centres = np.array([[10, 0, 0, 0], [0, 10, 0, 0], [0, 0, 10, 0]], np.float32)
    vectors = (centres[rng.integers(0, 3, 60)] + rng.standard_normal((60, 4))).astype(np.float32)
    src = new_index(memory_client, n_lists=3, metric="cosine")
    src.upsert(["keep"], vectors[:1])
    # Other numeric dtypes and nested lists are converted to float32.
    blob = src.train_and_serialize(vectors.astype(np.float64).tolist(), max_iters=20,
                                   delete_index=False)
    assert isinstance(blob, bytes) and blob
    # A handle that keeps its items keeps its lists too: it stays untrained.
    assert src.is_trained() is False
    assert [r["id"] for r in src.get(["keep"], include=[])] == ["keep"]
    # Under another key the bytes give an empty, trained index with the same
    # configuration.
    other_key = bytes(range(100, 132))
    dst = memory_client.load_serialized_index(blob, other_key)
    assert dst.is_trained() is True
    assert dst.index_name() == "idx"
    assert dst.index_config() == src.index_config()
    assert dst.query(vectors[0], n_probes=3) == []
    ids = ["v%d" % i for i in range(len(vectors))]
    dst.upsert(ids, vectors)
    hits = dst.query(vectors[5], top_k=3, n_probes=3)
    assert hits[0]["id"] == "v5" and hits[0]["distance"] == pytest.approx(0, abs=1e-5)
    # With the default delete_index the source index is emptied.
    blob2 = src.train_and_serialize(vectors, max_iters=5)
    assert blob2 and src.get(["keep"]) == []
    assert src.is_trained() is True

    m = tdb.DBConfig("memory")
    assert _refusal(lambda: memory_client.load_serialized_index(b"", KEY)) == (
        "Could not deserialize index config: buffer is empty")
    assert _refusal(lambda: memory_client.load_serialized_index(b"\x00" * 7, KEY)) == (
        "Could not deserialize index config: buffer is invalid")
    r = tdb.DBConfig("redis", "cfg", "host:127.0.0.1,port:1,db:0")
    assert _refusal(lambda: tdb.Client(m, m, r).load_serialized_index(blob, KEY)) == (
        "All locations must be of type Memory for TrainAndSerialize.")
    assert _refusal(lambda: tdb.Client(r, r, r).load_serialized_index(b"", KEY)) == (
        "Could not deserialize index config: buffer is empty")
    with pytest.raises(TypeError):
        memory_client.load_serialized_index(bytearray(blob), KEY)
    with pytest.raises(TypeError):
        memory_client.load_serialized_index(blob, KEY[:31])
    with pytest.raises(ValueError) as e:
        src.train_and_serialize(np.ones(4, np.float32))
    assert str(e.value) == "Expected a 2D array."
    # Vectors of another width are refused before the handle changes.
    fresh = new_index(memory_client, name="fresh")
    with pytest.raises(ValueError) as e:
        fresh.train_and_serialize(np.ones((30, 5), np.float32))
    assert str(e.value) == (
        "The dimension of the vectors provided (5) doesn't match the index configuration (4).")
    assert fresh.is_trained() is False
    fresh.upsert(["a"], np.ones((1, 4), np.float32))
    assert [h["id"] for h in fresh.query(np.ones(4, np.float32))] == ["a"]
