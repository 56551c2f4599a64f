"""Indexes with an embedding model, through the stand-in sentence_transformers
package: every call the module makes into it, and every failure it reports."""
import sys

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import refusal

KEY = bytes(range(1, 33))
MODEL = "fake/bag-of-words"
SENTENCES = {
    "cat": "a cat sits on the warm mat",
    "dog": "the dog chases a red ball in the park",
    "sea": "waves roll over the quiet sea at night",
}


def _model_index(client, name="texts"):
    return client.create_index(name, KEY, tdb.IndexIVFFlat(3, 2, "cosine"), embedding_model=MODEL)


def test_create_index_takes_the_models_dimension(memory_client, fake_model, capfd):
    c = memory_client
    cfg = tdb.IndexIVFFlat(3, 4, "squared_euclidean")
    assert c.create_index("t", KEY, cfg, embedding_model=MODEL).index_config() == {
        "dimension": fake_model.DIMENSION, "metric": "squared_euclidean", "index_type": "ivfflat",
        "n_lists": 4, "pq_dim": 0, "pq_bits": 0}
    assert cfg.dimension == 3
    assert fake_model.constructed == [MODEL]
    assert fake_model.calls == [("get_sentence_embedding_dimension", (), {})]
    # No model name: the package is not touched, and text is refused.
    plain = c.create_index("plain", KEY, cfg, embedding_model="")
    assert plain.index_config()["dimension"] == 3
    for call in (lambda: plain.upsert([{"id": "x", "contents": "hi"}]),
                 lambda: plain.query(query_contents="hi")):
        assert refusal(call) == ("Index was not set up for automatic embedding generation. "
                                 "Provide `vector` explicitly or create a new index with an "
                                 "embedding model.")
    assert fake_model.constructed == [MODEL]
    # The dimension replaces the configuration's even where that one is 0;
    # the list count is still checked.
    fake_model.knobs["dimension"] = 384
    assert c.create_index("z", KEY, tdb.IndexIVFFlat(0, 1),
                          embedding_model="other").index_config()["dimension"] == 384

    def refused(name=MODEL, config=cfg):
        return refusal(lambda: c.create_index("t", KEY, config, embedding_model=name))

    assert refused("other", tdb.IndexIVFFlat(3, 0)) == "n_lists cannot be 0."
    fake_model.knobs["dimension"] = None
    assert refused("m1") == "Unable to determine embedding dimension for model: m1"
    fake_model.knobs["dimension"] = "384"
    assert "Unable to cast" in refused()
    fake_model.knobs["dimension"] = -5
    assert refused() == "Embedding dimension -5 is negative for model: " + MODEL
    fake_model.knobs["dimension"] = 0
    assert refused() == "Vector dimension cannot be 0."
    capfd.readouterr()
    fake_model.knobs["load_error"] = "no such model"
    assert refused("m2") == "Failed to load embedding model: no such model"
    assert capfd.readouterr().err == "Python Exception: no such model\n"
    # Without the package: its import failure, in the same words.
    sys.modules["sentence_transformers"] = None
    with pytest.raises(ImportError) as e:
        import sentence_transformers  # noqa: F401
    assert refused("m3") == "Failed to load embedding model: %s" % e.value
    assert capfd.readouterr().err == "Python Exception: %s\n" % e.value


def test_text_upsert_and_query_end_to_end(memory_client, fake_model, monkeypatch):
    idx = _model_index(memory_client)
    # Mixed batch: text items are embedded in one call and keep their place.
    idx.upsert([
        {"id": "cat", "contents": SENTENCES["cat"], "metadata": {"kind": "pet"}},
        {"id": "explicit", "vector": [1.0] + [0.0] * (fake_model.DIMENSION - 1),
         "contents": b"binary stays bytes"},
        {"id": "dog", "contents": SENTENCES["dog"], "metadata": {"kind": "pet"}},
        {"id": "sea", "contents": SENTENCES["sea"]},
    ])
    assert [c for c in fake_model.calls if c[0] == "encode"] == [
        ("encode", [SENTENCES["cat"], SENTENCES["dog"], SENTENCES["sea"]],
         {"convert_to_numpy": True})]
    got = {r["id"]: r for r in idx.get(["cat", "explicit", "dog", "sea"])}
    for name in ("cat", "dog", "sea"):
        assert got[name]["vector"] == pytest.approx(fake_model.embed(SENTENCES[name]).tolist())
        assert got[name]["contents"] == SENTENCES[name].encode()
    assert got["explicit"]["contents"] == b"binary stays bytes"
    assert got["explicit"]["vector"][0] == 1.0

    hits = idx.query(query_contents="where is the cat on the mat", top_k=2)
    assert hits[0]["id"] == "cat" and hits[0]["metadata"] == {"kind": "pet"}
    assert idx.query(query_contents="red ball for the dog", top_k=1,
                     filters={"kind": "pet"})[0]["id"] == "dog"
    # The text query is encoded alone, with no keyword arguments.
    assert fake_model.calls[-1] == ("encode", "red ball for the dog", {})
    # One model object served the creation, the upsert and both queries.
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
    assert refusal(lambda: idx.upsert([{"id": "d", "contents": "dog"}])).startswith(
        "Failed to load embedding model: ")
    idx.upsert([{"id": "v", "vector": [0.5] * fake_model.DIMENSION}])
    assert idx.query(np.full(fake_model.DIMENSION, 0.5, np.float32), top_k=1)[0]["id"] == "v"


def test_batch_embedding_results_are_checked(memory_client, fake_model):
    idx = _model_index(memory_client)
    texts = [{"id": "v", "vector": [1.0] * fake_model.DIMENSION}] + [
        {"id": "t%d" % i, "contents": s} for i, s in enumerate(SENTENCES.values())]
    width = fake_model.DIMENSION
    for batch, message in [
            (lambda m: m[:, 0], "Expected 2D array from batch encoding, got 1D"),
            (lambda m: m[None], "Expected 2D array from batch encoding, got 3D"),
            (lambda m: m[:-1],
             "Mismatch between number of embeddings returned and texts provided."),
            (lambda m: m.tolist(),
             "Failed to process batch embeddings: 'list' object has no attribute 'ndim'"),
            (lambda m: m[:, :-1], "Item at index 1 has %d vector values, fewer than the %d of the "
                                  "first item." % (width - 1, width))]:
        fake_model.knobs["batch"] = batch
        assert refusal(lambda: idx.upsert(texts)) == message
    del fake_model.knobs["batch"]
    fake_model.knobs["encode_error"] = "encoder broke"
    assert refusal(lambda: idx.upsert(texts)) == "Failed to process batch embeddings: encoder broke"
    assert idx.get(["v", "t0", "t1", "t2"]) == []
    del fake_model.knobs["encode_error"]
    # Strided, Fortran-ordered or float64 results are read by value.
    for i, shape in enumerate([lambda m: np.repeat(m, 2, axis=1)[:, ::2],
                               np.asfortranarray, lambda m: m.astype(np.float64)]):
        fake_model.knobs["batch"] = shape
        idx.upsert([{"id": "s%d" % i, "contents": SENTENCES["sea"]},
                    {"id": "c%d" % i, "contents": SENTENCES["cat"]}])
        got = idx.get(["s%d" % i, "c%d" % i], include=["vector"])
        np.testing.assert_allclose([g["vector"] for g in got], [
            fake_model.embed(SENTENCES[k]) for k in ("sea", "cat")], atol=1e-6)
    # A model failure while loading reaches upsert as ValueError.
    fake_model.SentenceTransformer = type("Broken", (), {"__init__": lambda self, n: 1 / 0})
    assert refusal(lambda: idx.upsert(texts)) == "Failed to load embedding model: division by zero"


def test_text_query_failures(memory_client, fake_model, capfd):
    idx = _model_index(memory_client)
    idx.upsert([{"id": "cat", "contents": SENTENCES["cat"]}])

    def refused(kind, text):
        return refusal(lambda: idx.query(query_contents=text), kind)

    assert refused(ValueError, b"bytes") == (
        "'query_contents' must be of type `str` for auto-embedding.")
    fake_model.knobs["encode_error"] = "cannot encode"
    assert refused(RuntimeError, "cat") == "Failed to encode query_contents: cannot encode"
    del fake_model.knobs["encode_error"]
    fake_model.SentenceTransformer.encode = lambda self, text: "not numbers"
    assert refused(RuntimeError, "cat").startswith(
        "Failed to encode query_contents: Unable to cast")
    capfd.readouterr()
    fake_model.knobs["load_error"] = "gone"
    fake_model.SentenceTransformer = type("Fresh", (fake_model.SentenceTransformer,), {})
    assert refused(RuntimeError, "cat") == "Failed to load embedding model: gone"
    assert capfd.readouterr().err == "Python Exception: gone\n"
    # The model is loaded before the text is looked at.
    assert refused(RuntimeError, 5) == "Failed to load embedding model: gone"
