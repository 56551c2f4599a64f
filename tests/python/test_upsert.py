"""EncryptedIndex.upsert: its three argument forms, every refusal, and what
ends up stored."""
import json

import numpy as np
import pytest

from conftest import new_index, refusal

V4 = [1.0, 2.0, 3.0, 4.0]
ONE = np.ones((1, 4), np.float32)
TWO = np.ones((2, 4), np.float32)
SINGLE = "Invalid arguments. Expected a list of dicts when passing a single argument."
TYPES = ("Invalid argument types. Expected a list of dicts for single arg mode, (list[str], "
         "float32 np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.")
NO_MODEL = ("Index was not set up for automatic embedding generation. Provide `vector` explicitly "
            "or create a new index with an embedding model.")
DIMENSION = "The dimension of the vectors provided (%d) doesn't match the index configuration (4)."
CAST = "Unable to cast"  # the start of pybind11's message, matched as a part


def item(i, vector=V4, **fields):
    return dict(id=i, vector=vector, **fields)


# Each refusal, with the arguments; in the dict form the first passes check
# ids, contents and metadata of every item before any vector.
@pytest.mark.parametrize("args, message", [(a, SINGLE) for a in (
    ([],), (item("a"),), ([1],), ((item("a"),),), (None,))] + [
    ((["a"], [V4]), "Second argument must be a numpy array for vectors."),
] + [((["a"], ONE.astype(t)), "vectors must be float32.") for t in (np.float64, ">f4")] + [
    ((["a"], np.ones((1, 1, 4), np.float32)), "Expected a 2D array."),
] + [((ids, ONE), "ids array must be 1D.") for ids in (np.array([[1, 2]]), np.array(5))] + [
    ((("a",), ONE), TYPES),
    # str() of None or bytes would make ids nobody meant.
    ((np.array([b"x", "y"], dtype=object), TWO),
     "ids array elements must be numbers or str, not bytes."),
    ((np.array(["x", None], dtype=object), TWO),
     "ids array elements must be numbers or str, not NoneType."),
    ((["a", "b"], ONE), "Mismatch between the number of vectors and IDs."),
    (([], np.ones((0, 4), np.float32)), "Vectors and IDs cannot be empty."),
    ((["a"], np.ones((1, 3), np.float32)), DIMENSION % 3),
    # A missing id anywhere comes before a missing vector anywhere.
    (([{"id": "a"}, {"vector": [1.0]}],), "Each dictionary must contain an 'id' key."),
    (([{"id": "a"}, item("b", contents=5)],), "'contents' must be of type `bytes` or `str`."),
    (([{"id": "x", "contents": b"abc"}],), "'contents' must be of `str` type for auto-embedding."),
    (([item("a"), item("b"), {"id": "x"}],),
     "Item at index 2 is missing both 'vector' and 'contents' fields."),
    (([{"id": "x", "contents": "hi"}],), NO_MODEL),
    (([item("a"), 5],), "argument of type 'int' is not iterable"),
    (([item("a", metadata={1, 2})],), "Object of type set is not JSON serializable"),
    # Rows of another length than the first are refused: never read past nor cut.
    (([item("a"), item("b", [1.0, 2.0])],),
     "Item at index 1 has 2 vector values, fewer than the 4 of the first item."),
    (([item("a", V4[:3]), item("b")],),
     "Item at index 1 has 4 vector values, more than the 3 of the first item."),
    (([item("a", [])],), DIMENSION % 0),
] + [(a, CAST) for a in ((["a", 5], TWO), ([b"a"], ONE), ([item(b"a")],),
                         ([item("a", ["x", 1, 2, 3])],), ([item("a", 3.0)],))] + [
    # A list element that answers `in` but is not a mapping.
    (([item("a"), ["id"]],), "list indices must be integers"),
])
def test_refusals_write_nothing(memory_client, args, message):
    idx = new_index(memory_client)
    text = refusal(lambda: idx.upsert(*args))
    partial = message in (CAST, "list indices must be integers")
    assert text == message or (partial and message in text)
    assert idx.query(np.ones(4, np.float32)) == []


def _nested(depth):
    return json.loads("[" * depth + "1" + "]" * depth)


# What json.dumps writes but the index could not read back (training re-reads
# every item, and one such item used to make it drop them all).
def test_unreadable_metadata_is_refused_before_any_write(memory_client):
    idx = new_index(memory_client)
    for bad in (float("nan"), float("inf"), -float("inf"), "\ud800", {"k": ["ok", "\udfff"]},
                10**400, _nested(513)):
        assert refusal(lambda: idx.upsert([item("good"), item("bad", metadata=bad)])) == (
            "The metadata of the item at index 1 cannot be stored: it is not strict JSON (NaN, "
            "infinities, numbers beyond the double range and lone surrogates are refused) or "
            "nests values more than 512 levels deep."), repr(bad)[:20]
    assert idx.get(["good", "bad"]) == []
    # As deep as the index reads is still taken.
    idx.upsert([item("deep", metadata=_nested(512))])
    assert idx.get(["deep"], include=["metadata"]) == [{"id": "deep", "metadata": _nested(512)}]


def test_argument_forms_store_what_was_given(memory_client, capfd):
    idx = new_index(memory_client)
    base = np.arange(24, dtype=np.float32).reshape(6, 4)
    idx.upsert(["a", "b"], base[:2])
    # Integer id arrays give their decimal texts; strided and Fortran-ordered
    # arrays are read row by row.
    idx.upsert(np.array([7, 8], np.int64), np.asfortranarray(base[2:4]))
    idx.upsert(np.array(["x", "y"]), np.repeat(base[4:6], 2, axis=1)[:, ::2])
    idx.upsert([item("bytes", contents=b"\x00\xffraw", metadata={"k": [1, "x"]}),
                item("text", np.array(V4, np.float64), contents="h\u00e9llo"),
                item("none-meta", (1, 2, 3, 4), metadata=None),
                item("str-meta", [9.0] + V4[1:], metadata="s")])
    assert idx.get(["a", "b", "7", "8", "x", "y", "bytes", "text", "none-meta", "str-meta"]) == [
        {"id": i, "vector": v, "contents": b"", "metadata": {}}
        for i, v in zip(["a", "b", "7", "8", "x", "y"], base.tolist())] + [
        {"id": "bytes", "vector": V4, "contents": b"\x00\xffraw", "metadata": {"k": [1, "x"]}},
        {"id": "text", "vector": V4, "contents": "h\u00e9llo".encode(), "metadata": {}},
        {"id": "none-meta", "vector": V4, "contents": b"", "metadata": None},
        {"id": "str-meta", "vector": [9.0] + V4[1:], "contents": b"", "metadata": "s"}]
    # Duplicates: one warning each, in both forms (which one is kept is the
    # index harness's).
    capfd.readouterr()
    idx.upsert(["d", "e", "d"], np.array([[1] * 4, [2] * 4, [3] * 4], np.float32))
    idx.upsert([item("f", [5.0] * 4, contents="first"), item("f", [6.0] * 4, contents="second")])
    assert capfd.readouterr().err.count(
        "Warning: Duplicate IDs detected. Skipping duplicate IDs.\n") == 2
