"""Indexes with an embedding model, through the stand-in sentence_transformers
package: every call the module makes into it, and every failure it reports."""
import sys

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import refusal

KEY = bytes(range(1, 33))
MODEL = "fake/bag-of-words"
WIDTH = 16  # the stand-in model's dimension
SENTENCES = {
    "cat": "a cat sits on the warm mat",
    "dog": "the dog chases a red ball in the park",
    "sea": "waves roll over the quiet sea at night",
}


def _model_index(client, name="texts"):
    return client.create_index(name, KEY, tdb.IndexIVFFlat(3, 2, "cosine"), embedding_model=MODEL)


def test_create_index_takes_the_models_dimension(memory_client, fake_model):
    c = memory_client
    cfg = tdb.IndexIVFFlat(3, 4, "squared_euclidean")
    assert c.create_index("t", KEY, cfg, embedding_model=MODEL).index_config() == {
        "dimension": WIDTH, "metric": "squared_euclidean", "index_type": "ivfflat",
        "n_lists": 4, "pq_dim": 0, "pq_bits": 0}
    assert cfg.dimension == 3
    assert fake_model.calls == [("get_sentence_embedding_dimension", (), {})]
    # No model name: the package is not touched.
    assert c.create_index("plain", KEY, cfg, embedding_model="").index_config()["dimension"] == 3
    assert fake_model.constructed == [MODEL]
    # The dimension replaces the configuration's even where that one is 0.
    fake_model.knobs["dimension"] = 384
    assert c.create_index("z", KEY, tdb.IndexIVFFlat(0, 1),
                          embedding_model="other").index_config()["dimension"] == 384


def test_text_upsert_and_query_end_to_end(memory_client, fake_model, monkeypatch):
    idx = _model_index(memory_client)
    # Mixed batch: text items are embedded in one call and keep their place.
    idx.upsert([
        {"id": "cat", "contents": SENTENCES["cat"], "metadata": {"kind": "pet"}},
        {"id": "explicit", "vector": [1.0] + [0.0] * (WIDTH - 1), "contents": b"binary stays"},
        {"id": "dog", "contents": SENTENCES["dog"], "metadata": {"kind": "pet"}},
        {"id": "sea", "contents": SENTENCES["sea"]},
    ])
    assert fake_model.calls[1:] == [("encode", list(SENTENCES.values()),
                                     {"convert_to_numpy": True})]
    got = {r["id"]: r for r in idx.get(["cat", "explicit", "dog", "sea"])}
    for name in SENTENCES:
        assert got[name]["vector"] == pytest.approx(fake_model.embed(SENTENCES[name]).tolist())
        assert got[name]["contents"] == SENTENCES[name].encode()
    assert (got["explicit"]["contents"], got["explicit"]["vector"][0]) == (b"binary stays", 1.0)

    hits = idx.query(query_contents="where is the cat on the mat", top_k=2)
    assert hits[0]["id"] == "cat" and hits[0]["metadata"] == {"kind": "pet"}
    # The text query is encoded alone, with no keyword arguments.
    assert fake_model.calls[-1] == ("encode", "where is the cat on the mat", {})
    # One model object served the creation, the upsert and the query.
    assert fake_model.constructed == [MODEL]
    # A replaced package class is a different model source: loaded afresh.
    fake_model.SentenceTransformer = type("Replacement", (fake_model.SentenceTransformer,), {})
    idx.query(query_contents="sea", top_k=1)
    idx.query(query_contents="sea", top_k=1)
    assert fake_model.constructed == [MODEL, MODEL]
    # The package is imported on every call: once it is gone, the cached
    # model is not used; vectors need no model.
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    assert refusal(lambda: idx.query(query_contents="cat"), RuntimeError).startswith(
        "Failed to load embedding model: ")
    idx.upsert([{"id": "v", "vector": [0.5] * WIDTH}])
    assert idx.query(np.full(WIDTH, 0.5, np.float32), top_k=1)[0]["id"] == "v"


LOAD, BATCH, ENCODE = ("Failed to load embedding model: ", "Failed to process batch embeddings: ",
                       "Failed to encode query_contents: ")


# call: "create2" or "create0" (the list count), "upsert", or the text of a
# query. An upsert refuses the whole batch, explicit vectors included. A load
# failure comes from a fresh model class (a cached model is not loaded again)
# and is also written to standard error; knobs None: no package at all.
@pytest.mark.parametrize("knobs, call, kind, message", [
    ({}, "create0", ValueError, "n_lists cannot be 0."),
    ({"dimension": None}, "create2", ValueError,
     "Unable to determine embedding dimension for model: " + MODEL),
    ({"dimension": "384"}, "create2", ValueError, "Unable to cast"),
    ({"dimension": -5}, "create2", ValueError,
     "Embedding dimension -5 is negative for model: " + MODEL),
    ({"dimension": 0}, "create2", ValueError, "Vector dimension cannot be 0."),
    ({"load_error": "gone"}, "create2", ValueError, LOAD + "gone"),
    (None, "create2", ValueError, LOAD),
    ({"batch": lambda m: m[:, 0]}, "upsert", ValueError,
     "Expected 2D array from batch encoding, got 1D"),
    ({"batch": lambda m: m[None]}, "upsert", ValueError,
     "Expected 2D array from batch encoding, got 3D"),
    ({"batch": lambda m: m[:-1]}, "upsert", ValueError,
     "Mismatch between number of embeddings returned and texts provided."),
    ({"batch": lambda m: m.tolist()}, "upsert", ValueError,
     BATCH + "'list' object has no attribute 'ndim'"),
    ({"encode_error": "broke"}, "upsert", ValueError, BATCH + "broke"),
    ({"load_error": "gone"}, "upsert", ValueError, LOAD + "gone"),
    ({}, b"bytes", ValueError, "'query_contents' must be of type `str` for auto-embedding."),
    ({"encode_error": "broke"}, "cat", RuntimeError, ENCODE + "broke"),
    ({"single": lambda v: "not numbers"}, "cat", RuntimeError, ENCODE + "Unable to cast"),
    # The model is loaded before the text is looked at.
    ({"load_error": "gone"}, 5, RuntimeError, LOAD + "gone"),
])
def test_embedding_failures(memory_client, fake_model, capfd, knobs, call, kind, message):
    assert fake_model.DIMENSION == WIDTH
    idx = _model_index(memory_client)
    texts = [{"id": "v", "vector": [1.0] * WIDTH}] + [
        {"id": k, "contents": s} for k, s in SENTENCES.items()]
    if knobs is None:
        sys.modules["sentence_transformers"] = None
        with pytest.raises(ImportError) as e:
            import sentence_transformers  # noqa: F401
        message += str(e.value)
    else:
        fake_model.knobs.update(knobs)
    if "load_error" in (knobs or {}):
        fake_model.SentenceTransformer = type("Fresh", (fake_model.SentenceTransformer,), {})
    calls = {"upsert": lambda: idx.upsert(texts)}
    for n in (0, 2):
        calls["create%d" % n] = lambda n=n: memory_client.create_index(
            "t", KEY, tdb.IndexIVFFlat(3, n), embedding_model=MODEL)
    text = refusal(calls.get(call, lambda: idx.query(query_contents=call)), kind)
    assert text == message or (message.endswith("cast") and text.startswith(message))
    assert idx.get(["v"] + list(SENTENCES)) == []
    assert capfd.readouterr().err == (
        "Python Exception: %s\n" % message[len(LOAD):] if message.startswith(LOAD) else "")
