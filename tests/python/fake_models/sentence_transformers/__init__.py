"""Stand-in for sentence-transformers, for tests that must not download a model:
hashed bags of words at unit length, so texts that share words are near under
the cosine metric. `knobs` makes it misbehave; `constructed` and `calls`
record what was asked of it."""
import hashlib
import re

import numpy as np

DIMENSION = 16

# dimension: what get_sentence_embedding_dimension returns (default DIMENSION;
#   None or a non-int to test the refusals).
# load_error / encode_error: message of an exception raised by the
#   constructor / by encode.
# batch / single: function applied to the (texts x DIMENSION) float32 result
#   of a batch encode / the vector of one text before it is returned (wrong
#   shapes, strides, dtypes).
knobs = {}
constructed = []
calls = []


def reset():
    knobs.clear()
    del constructed[:]
    del calls[:]


def embed(text, dimension=DIMENSION):
    """The vector of one text: signed word counts in hashed slots, unit length."""
    v = np.zeros(dimension, np.float32)
    for word in re.findall(r"[a-z0-9]+", text.lower()):
        h = int.from_bytes(hashlib.sha256(word.encode()).digest()[:8], "little")
        v[h % dimension] += 1.0 if (h >> 40) & 1 else -1.0
    norm = np.linalg.norm(v)
    return v / norm if norm else v


class SentenceTransformer:
    def __init__(self, model_name_or_path):
        if "load_error" in knobs:
            raise OSError(knobs["load_error"])
        constructed.append(model_name_or_path)
        self.name = model_name_or_path

    def get_sentence_embedding_dimension(self):
        calls.append(("get_sentence_embedding_dimension", (), {}))
        return knobs.get("dimension", DIMENSION)

    def encode(self, sentences, **kwargs):
        calls.append(("encode", sentences, kwargs))
        if "encode_error" in knobs:
            raise RuntimeError(knobs["encode_error"])
        if isinstance(sentences, str):
            return knobs.get("single", lambda v: v)(embed(sentences))
        batch = np.stack([embed(s) for s in sentences]).astype(np.float32)
        return knobs.get("batch", lambda m: m)(batch)
