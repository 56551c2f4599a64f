"""Client.create_index / load_index / load_serialized_index and the handle
members of EncryptedIndex, including what a deleted index still answers."""
import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import new_index, refusal

KEY = bytes(range(1, 33))
NOT_CONNECTED = ("Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` "
                 "before calling this function.")
M = tdb.DBConfig("memory")
R = tdb.DBConfig("redis", "cfg", "host:127.0.0.1,port:1,db:0")


# The name length is checked first, in bytes, even with a zero key; then the
# key; lists before dimension; lists are sized up front, so a count beyond
# the cap is refused, not allocated.
@pytest.mark.parametrize("name, key, dimension, n_lists, message", [
    ("n" * 256, bytes(32), 4, 2, "Index name cannot be longer than 255 characters."),
    ("\u00e9" * 128, KEY, 4, 2, "Index name cannot be longer than 255 characters."),
    ("", bytes(32), 4, 2, "Index name cannot be an empty string."),
    ("a", bytes(32), 4, 2, "Index key cannot be an empty array."),
    ("a", bytes(32), 0, 0, "Index key cannot be an empty array."),
    ("a", KEY, 0, 0, "n_lists cannot be 0."),
    ("a", KEY, 0, 2, "Vector dimension cannot be 0."),
    ("a", KEY, 4, 2**20 + 1, "n_lists cannot be larger than 1048576."),
    ("a", KEY, 4, 2**32 - 1, "n_lists cannot be larger than 1048576."),
])
def test_create_index_checks_in_order(memory_client, name, key, dimension, n_lists, message):
    assert refusal(lambda: memory_client.create_index(
        name, key, tdb.IndexIVFFlat(dimension, n_lists))) == message


def test_create_index_argument_conversion_and_handle_members(memory_client):
    c = memory_client
    cfg = tdb.IndexIVFFlat(8, 2, "squared_euclidean")
    # The key: any sequence of exactly 32 ints in 0..255.
    for name, key in (("n" * 255, KEY), ("a", bytes(31) + b"\x01"), ("b", list(KEY)),
                      ("c", tuple(KEY))):
        assert c.create_index(name, key, cfg).index_name() == name
    # An unset cache capacity is accepted like the default engaged 0.
    for cache in (None, 0, 3):
        idx = c.create_index("a", KEY, cfg, max_cache_size=cache, embedding_model=None)
        idx.upsert(["x"], np.ones((1, 8), np.float32))
        assert [h["id"] for h in idx.query(np.ones(8, np.float32))] == ["x"]
    config = idx.index_config()
    assert list(config.items()) == [("dimension", 8), ("metric", "squared_euclidean"),
                                    ("index_type", "ivfflat"), ("n_lists", 2), ("pq_dim", 0),
                                    ("pq_bits", 0)]
    assert (idx.index_type(), idx.is_trained(), idx.index_name()) == ("ivfflat", False, "a")
    # The dict is a fresh copy each time, and the configuration object is
    # not changed by the indexes made with it.
    config["dimension"] = 3
    assert idx.index_config()["dimension"] == 8 == cfg.dimension
    with pytest.raises(TypeError):
        tdb.EncryptedIndex()


def test_load_index_refusals():
    # Any in-process location is refused, before the name is looked at.
    for locations in ((M, M, M), (R, R, M), (M, R, R), (R, M, R)):
        assert refusal(lambda: tdb.Client(*locations).load_index("", KEY, None)) == (
            "Memory location is not supported for loading an existing index.")
    assert refusal(lambda: tdb.Client(R, R, R).load_index("", KEY)) == (
        "Index name cannot be an empty string.")


def test_deleted_index_refuses_every_data_member(memory_client):
    idx = new_index(memory_client)
    idx.upsert(["a", "b", "c"], np.eye(3, 4, dtype=np.float32))
    idx.delete_index()
    assert (idx.is_trained(), idx.index_name()) == (False, "")
    # Both configuration readers fail alike.
    errors = [refusal(idx.index_type, RuntimeError), refusal(idx.index_config, RuntimeError)]
    assert errors[0] == errors[1] and errors[0]
    vectors = np.ones((2, 4), np.float32)
    for call in [idx.delete_index, lambda: idx.get(["a"]), lambda: idx.delete(["a"]),
                 lambda: idx.upsert(["z"], vectors[:1]),
                 lambda: idx.upsert([{"id": "z", "vector": [1.0, 2.0, 3.0, 4.0]}]),
                 lambda: idx.upsert([{"id": "z", "contents": "text"}]),
                 lambda: idx.query(np.ones(4, np.float32)), lambda: idx.query(query_contents="t"),
                 idx.train, lambda: idx.train_and_serialize(vectors, delete_index=False)]:
        assert refusal(call) == NOT_CONNECTED


def test_serialized_round_trip(memory_client):
    vectors = np.random.default_rng(3).standard_normal((60, 4)).astype(np.float32)
    src = new_index(memory_client, n_lists=3, metric="cosine")
    src.upsert(["keep"], vectors[:1])
    # Other numeric dtypes and nested lists are converted to float32. A
    # handle that keeps its items keeps its lists too: it stays untrained.
    blob = src.train_and_serialize(vectors.astype(np.float64).tolist(), delete_index=False)
    assert (src.is_trained(), [r["id"] for r in src.get(["keep"], include=[])]) == (
        False, ["keep"])
    # Under another key the bytes give an empty, trained index with the same
    # configuration.
    dst = memory_client.load_serialized_index(blob, bytes(range(100, 132)))
    assert (dst.is_trained(), dst.index_name(), dst.index_config()) == (
        True, "idx", src.index_config())
    assert dst.query(vectors[0], n_probes=3) == []
    # With the default delete_index the source index is emptied.
    assert src.train_and_serialize(vectors) and src.get(["keep"]) == []
    assert src.is_trained() is True
    for client, data, message in [
            (memory_client, b"", "Could not deserialize index config: buffer is empty"),
            (memory_client, b"\x00" * 7, "Could not deserialize index config: buffer is invalid"),
            (tdb.Client(M, M, R), blob,
             "All locations must be of type Memory for TrainAndSerialize."),
            (tdb.Client(R, R, R), b"", "Could not deserialize index config: buffer is empty")]:
        assert refusal(lambda: client.load_serialized_index(data, KEY)) == message
    assert refusal(lambda: src.train_and_serialize(np.ones(4, np.float32))) == (
        "Expected a 2D array.")
    # Vectors of another width are refused before the handle changes.
    fresh = new_index(memory_client, name="fresh")
    assert refusal(lambda: fresh.train_and_serialize(np.ones((30, 5), np.float32))) == (
        "The dimension of the vectors provided (5) doesn't match the index configuration (4).")
    fresh.upsert(["a"], np.ones((1, 4), np.float32))
    assert (fresh.is_trained(), [h["id"] for h in fresh.query(np.ones(4, np.float32))]) == (
        False, ["a"])
