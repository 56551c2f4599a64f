"""Indexes with an embedding model, through the stand-in sentence_transformers
package: every call the module makes into it, and every failure it reports."""
import numpy as np
import pytest

import tavrindb_lite as tdb

KEY = bytes(range(1, 33))
MODEL = "fake/bag-of-words"
NO_MODEL = ("Index was not set up for automatic embedding generation. Provide `vector` "
            "explicitly or create a new index with an embedding model.")
SENTENCES = {
    "cat": "a cat sits on the warm mat",
    "dog": "the dog chases a red ball in the park",
    "sea": "waves roll over the quiet sea at night",
}


def _model_index(client, metric="cosine", name="texts"):
    return client.create_index(name, KEY, tdb.IndexIVFFlat(3, 2, metric), embedding_model=MODEL)


def test_create_index_takes_the_models_dimension(memory_client, fake_model):
    cfg = tdb.IndexIVFFlat(3, 4, "squared_euclidean")
    idx = memory_client.create_index("t", KEY, cfg, embedding_model=MODEL)
    assert idx.index_config() == {"dimension": fake_model.DIMENSION, "metric": "squared_euclidean",
                                  "index_type": "ivfflat", "n_lists": 4, "pq_dim": 0,
                                  "pq_bits": 0}
    assert cfg.dimension == 3
    assert fake_model.constructed == [MODEL]
    assert fake_model.calls == [("get_sentence_embedding_dimension", (), {})]
    # No model name: the package is not touched.
    memory_client.create_index("plain", KEY, cfg, embedding_model="")
    assert fake_model.constructed == [MODEL]

    fake_model.knobs["dimension"] = 384
    big = memory_client.create_index("big", KEY, cfg, embedding_model="other")
    assert big.index_config()["dimension"] == 384
    # The dimension replaces the configuration's even where that one is 0;
    # the list count is still checked.
    assert memory_client.create_index("z", KEY, tdb.IndexIVFFlat(0, 1),
                                      embedding_model="other").index_config()["dimension"] == 384
    with pytest.raises(ValueError) as e:
        memory_client.create_index("z", KEY, tdb.IndexIVFFlat(3, 0), embedding_model="other")
    assert str(e.value) == "n_lists cannot be 0."


def test_create_index_model_failures(memory_client, fake_model, capfd):
    cfg = tdb.IndexIVFFlat(3, 2)

    def refusal(kind=ValueError, name=MODEL):
        with pytest.raises(kind) as e:
            memory_client.create_index("t", KEY, cfg, embedding_model=name)
        return str(e.value)

    fake_model.knobs["dimension"] = None
    assert refusal(name="m1") == "Unable to determine embedding dimension for model: m1"
    fake_model.knobs["dimension"] = "384"
    assert "Unable to cast" in refusal()
    fake_model.knobs["dimension"] = -5
    assert refusal() == "Embedding dimension -5 is negative for model: " + MODEL
    fake_model.knobs["dimension"] = 0
    assert refusal() == "Vector dimension cannot be 0."
    del fake_model.knobs["dimension"]
    capfd.readouterr()
    fake_model.knobs["load_error"] = "no such model"
    assert refusal(name="m2") == "Failed to load embedding model: no such model"
    assert capfd.readouterr().err == "Python Exception: no such model\n"


def test_missing_package(memory_client, no_model_package, capfd):
    with pytest.raises(ValueError) as e:
        memory_client.create_index("t", KEY, tdb.IndexIVFFlat(3, 2), embedding_model=MODEL)
    assert str(e.value) == "Failed to load embedding model: " + no_model_package
    assert capfd.readouterr().err == "Python Exception: %s\n" % no_model_package


def test_text_upsert_and_query_end_to_end(memory_client, fake_model):
    idx = _model_index(memory_client)
    # Mixed batch: text items are embedded in one call and keep their place.
    idx.upsert([
        {"id": "cat", "contents": SENTENCES["cat"], "metadata": {"kind": "pet"}},
        {"id": "explicit", "vector": [1.0] + [0.0] * (fake_model.DIMENSION - 1),
         "contents": b"binary stays bytes"},
        {"id": "dog", "contents": SENTENCES["dog"], "metadata": {"kind": "pet"}},
        {"id": "sea", "contents": SENTENCES["sea"]},
    ])
    encodes = [c for c in fake_model.calls if c[0] == "encode"]
    assert encodes == [("encode", [SENTENCES["cat"], SENTENCES["dog"], SENTENCES["sea"]],
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
    class Replacement(fake_model.SentenceTransformer):
        pass

    fake_model.SentenceTransformer = Replacement
    idx.query(query_contents="sea", top_k=1)
    assert fake_model.constructed == [MODEL, MODEL]
    idx.query(query_contents="sea", top_k=1)
    assert fake_model.constructed == [MODEL, MODEL]


def test_batch_embedding_results_are_checked(memory_client, fake_model):
    idx = _model_index(memory_client)
    texts = [{"id": "v", "vector": [1.0] * fake_model.DIMENSION}] + [
        {"id": "t%d" % i, "contents": s} for i, s in enumerate(SENTENCES.values())]

    def refusal():
        with pytest.raises(ValueError) as e:
            idx.upsert(texts)
        return str(e.value)

    fake_model.knobs["batch"] = lambda m: m[:, 0]
    assert refusal() == "Expected 2D array from batch encoding, got 1D"
    fake_model.knobs["batch"] = lambda m: m[None]
    assert refusal() == "Expected 2D array from batch encoding, got 3D"
    fake_model.knobs["batch"] = lambda m: m[:-1]
    assert refusal() == "Mismatch between number of embeddings returned and texts provided."
    fake_model.knobs["batch"] = lambda m: m.tolist()
    assert refusal() == "Failed to process batch embeddings: 'list' object has no attribute 'ndim'"
    fake_model.knobs["batch"] = lambda m: m[:, :-1]
    assert refusal() == ("Item at index 1 has %d vector values, fewer than the %d of the first "
                         "item." % (fake_model.DIMENSION - 1, fake_model.DIMENSION))
    del fake_model.knobs["batch"]
    fake_model.knobs["encode_error"] = "encoder broke"
    assert refusal() == "Failed to process batch embeddings: encoder broke"
    assert idx.get(["v", "t0", "t1", "t2"]) == []

    # Strided, Fortran-ordered or float64 results are read by value.
    del fake_model.knobs["encode_error"]
    for i, shape in enumerate([lambda m: np.repeat(m, 2, axis=1)[:, ::2],
                               np.asfortranarray, lambda m: m.astype(np.float64)]):
        fake_model.knobs["batch"] = shape
        idx.upsert([{"id": "s%d" % i, "contents": SENTENCES["sea"]}])
        got = idx.get(["s%d" % i], include=["vector"])[0]["vector"]
        assert got == pytest.approx(fake_model.embed(SENTENCES["sea"]).tolist())
    # A model failure while loading reaches upsert as ValueError.
    fake_model.SentenceTransformer = type("Broken", (), {"__init__": lambda self, n: 1 / 0})
    assert refusal() == "Failed to load embedding model: division by zero"


def test_text_query_failures(memory_client, fake_model, capfd):
    idx = _model_index(memory_client)
    idx.upsert([{"id": "cat", "contents": SENTENCES["cat"]}])

    def refusal(kind, text):
        with pytest.raises(kind) as e:
            idx.query(query_contents=text)
        return str(e.value)

    assert refusal(ValueError, b"bytes") == (
        "'query_contents' must be of type `str` for auto-embedding.")
    fake_model.knobs["encode_error"] = "cannot encode"
    assert refusal(RuntimeError, "cat") == "Failed to encode query_contents: cannot encode"
    del fake_model.knobs["encode_error"]
    fake_model.SentenceTransformer.encode = lambda self, text: "not numbers"
    assert refusal(RuntimeError, "cat").startswith(
        "Failed to encode query_contents: Unable to cast")
    capfd.readouterr()
    fake_model.knobs["load_error"] = "gone"
    fake_model.SentenceTransformer = type("Fresh", (fake_model.SentenceTransformer,), {})
    assert refusal(RuntimeError, "cat") == "Failed to load embedding model: gone"
    assert capfd.readouterr().err == "Python Exception: gone\n"
    # The model is loaded before the text is looked at.
    assert refusal(RuntimeError, 5) == "Failed to load embedding model: gone"


def test_model_index_without_the_package(memory_client, fake_model, monkeypatch):
    import sys
    idx = _model_index(memory_client)
    idx.upsert([{"id": "cat", "contents": SENTENCES["cat"]}])
    # The package is imported on every call: once it is gone, the cached
    # model is not used.
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    with pytest.raises(RuntimeError) as e:
        idx.query(query_contents="cat")
    assert str(e.value).startswith("Failed to load embedding model: ")
    with pytest.raises(ValueError) as e:
        idx.upsert([{"id": "dog", "contents": SENTENCES["dog"]}])
    assert str(e.value).startswith("Failed to load embedding model: ")
    # Vectors need no model.
    idx.upsert([{"id": "v", "vector": [0.5] * fake_model.DIMENSION}])
    assert idx.query(np.full(fake_model.DIMENSION, 0.5, np.float32), top_k=1)[0]["id"] == "v"


def test_index_without_model_refuses_text(memory_client, fake_model):
    idx = memory_client.create_index("plain", KEY, tdb.IndexIVFFlat(3, 2), embedding_model="")
    assert idx.index_config()["dimension"] == 3
    for call in (lambda: idx.upsert([{"id": "x", "contents": "hi"}]),
                 lambda: idx.query(query_contents="hi")):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == NO_MODEL
    assert fake_model.constructed == []
