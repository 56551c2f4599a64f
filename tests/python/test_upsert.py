"""EncryptedIndex.upsert: its three argument forms, every refusal, and what
ends up stored."""
import numpy as np
import pytest

from conftest import new_index

V4 = [1.0, 2.0, 3.0, 4.0]


def _refused(idx, *args):
    with pytest.raises(ValueError) as e:
        idx.upsert(*args)
    return str(e.value)


def _stored_ids(idx, ids):
    return [r["id"] for r in idx.get(ids, include=[])]


def test_form_selection_and_array_form_refusals(memory_client):
    idx = new_index(memory_client)
    one = np.ones((1, 4), np.float32)
    single = "Invalid arguments. Expected a list of dicts when passing a single argument."
    for arg in ([], {"id": "a", "vector": V4}, [1], ["a"], "abc", ({"id": "a", "vector": V4},),
                [[{"id": "a"}]], None):
        assert _refused(idx, arg) == single
    cases = [
        ((["a"], [V4]), "Second argument must be a numpy array for vectors."),
        ((["a"], np.ones((1, 4), np.float64)), "vectors must be float32."),
        ((["a"], np.ones((1, 4), np.int32)), "vectors must be float32."),
        ((["a"], np.ones((1, 4), ">f4")), "vectors must be float32."),
        ((["a", "b"], np.ones(3, np.float32)), "Expected a 2D array."),
        ((["a"], np.ones((1, 1, 4), np.float32)), "Expected a 2D array."),
        ((np.array([[1, 2]]), one), "ids array must be 1D."),
        ((np.array(5), one), "ids array must be 1D."),
        ((("a",), one), "Invalid argument types. Expected a list of dicts for single arg mode, "
                        "(list[str], float32 np.ndarray) or (int32/int64 np.ndarray, float32 "
                        "np.ndarray) for two-arg mode."),
        (("a", one), "Invalid argument types. Expected a list of dicts for single arg mode, "
                     "(list[str], float32 np.ndarray) or (int32/int64 np.ndarray, float32 "
                     "np.ndarray) for two-arg mode."),
        # str() of None or bytes would make ids nobody meant.
        ((np.array([b"x", "y"], dtype=object), np.ones((2, 4), np.float32)),
         "ids array elements must be numbers or str, not bytes."),
        ((np.array(["x", None], dtype=object), np.ones((2, 4), np.float32)),
         "ids array elements must be numbers or str, not NoneType."),
        # Checked by the index.
        ((["a", "b"], one), "Mismatch between the number of vectors and IDs."),
        (([], np.ones((0, 4), np.float32)), "Vectors and IDs cannot be empty."),
        ((["a"], np.ones((1, 3), np.float32)),
         "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
    ]
    for args, message in cases:
        assert _refused(idx, *args) == message, args
    # Non-str ids in a list fail with a cast message.
    for ids in (["a", 5], [b"a"], [None]):
        assert "Unable to cast" in _refused(idx, ids, np.ones((len(ids), 4), np.float32))
    assert idx.query(np.ones(4, np.float32)) == []


def test_array_forms_store_rows_in_order(memory_client):
    idx = new_index(memory_client)
    base = np.arange(24, dtype=np.float32).reshape(6, 4)
    idx.upsert(["a", "b"], base[:2])
    # Integer id arrays give their decimal texts; strided and Fortran-ordered
    # arrays are read row by row.
    idx.upsert(np.array([7, 8], np.int64), np.asfortranarray(base[2:4]))
    wide = np.zeros((2, 8), np.float32)
    wide[:, ::2] = base[4:6]
    idx.upsert(np.array(["x", "y"]), wide[:, ::2])
    got = idx.get(["a", "b", "7", "8", "x", "y"])
    assert [r["id"] for r in got] == ["a", "b", "7", "8", "x", "y"]
    assert [r["vector"] for r in got] == base.tolist()
    assert all(r["contents"] == b"" and r["metadata"] == {} for r in got)


def test_dict_form_refusals_come_in_pass_order(memory_client):
    idx = new_index(memory_client)
    cases = [
        # A missing id anywhere comes before a missing vector anywhere.
        ([{"id": "a"}, {"vector": [1.0]}], "Each dictionary must contain an 'id' key."),
        ([{"id": "a"}, {"id": "b", "vector": V4, "contents": 5}],
         "'contents' must be of type `bytes` or `str`."),
        ([{"id": "x", "contents": b"abc"}],
         "'contents' must be of `str` type for auto-embedding."),
        ([{"id": "x", "contents": None}],
         "'contents' must be of `str` type for auto-embedding."),
        ([{"id": "a", "vector": V4}, {"id": "b", "vector": V4}, {"id": "x"}],
         "Item at index 2 is missing both 'vector' and 'contents' fields."),
        ([{"id": "x", "contents": "hi"}],
         "Index was not set up for automatic embedding generation. Provide `vector` explicitly "
         "or create a new index with an embedding model."),
        ([{"id": "a", "vector": V4}, 5], "argument of type 'int' is not iterable"),
        ([{"id": "a", "vector": V4, "metadata": {1, 2}}],
         "Object of type set is not JSON serializable"),
        # Rows of another length than the first are refused: never read past
        # nor cut.
        ([{"id": "a", "vector": V4}, {"id": "b", "vector": [1.0, 2.0]}],
         "Item at index 1 has 2 vector values, fewer than the 4 of the first item."),
        ([{"id": "a", "vector": V4}, {"id": "b", "vector": V4 + [5.0]}],
         "Item at index 1 has 5 vector values, more than the 4 of the first item."),
        ([{"id": "a", "vector": [1.0, 2.0, 3.0]}, {"id": "b", "vector": V4}],
         "Item at index 1 has 4 vector values, more than the 3 of the first item."),
        ([{"id": "a", "vector": [1.0, 2.0, 3.0]}, {"id": "b", "vector": [1.0, 2.0, 3.0]}],
         "The dimension of the vectors provided (3) doesn't match the index configuration (4)."),
        ([{"id": "a", "vector": []}],
         "The dimension of the vectors provided (0) doesn't match the index configuration (4)."),
    ]
    for items, message in cases:
        assert _refused(idx, items) == message, items
    for items in ([{"id": 5, "vector": V4}], [{"id": b"a", "vector": V4}],
                  [{"id": "a", "vector": ["x", 1, 2, 3]}], [{"id": "a", "vector": 3.0}]):
        assert "Unable to cast" in _refused(idx, items)
    # A list element that answers `in` but is not a mapping.
    assert "list indices must be integers" in _refused(idx, [{"id": "a", "vector": V4}, ["id"]])
    assert idx.query(np.ones(4, np.float32)) == []


def _nested(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


# What json.dumps writes but the index could not read back. Training re-reads
# every item, so a single one stored used to make train() drop them all.
@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), "\ud800",
                                 {"k": ["ok", "\udfff"]}, 10**400, _nested(513)],
                         ids=["nan", "inf", "-inf", "surrogate", "nested surrogate", "huge int",
                              "deep"])
def test_unreadable_metadata_is_refused_before_any_write(memory_client, bad):
    idx = new_index(memory_client, n_lists=2)
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((101, 4)).astype(np.float32)
    items = [{"id": "i%d" % i, "vector": vectors[i], "metadata": {"n": i}} for i in range(101)]
    idx.upsert(items[:100])
    message = _refused(idx, items[100:] + [{"id": "bad", "vector": V4, "metadata": bad}])
    assert message == (
        "The metadata of the item at index 1 cannot be stored: it is not strict JSON (NaN, "
        "infinities, numbers beyond the double range and lone surrogates are refused) or nests "
        "values more than 512 levels deep.")
    assert _stored_ids(idx, ["i100", "bad"]) == []
    # As deep as the index reads is still taken.
    items[100]["metadata"] = _nested(512)
    idx.upsert(items[100:])
    idx.train(max_iters=5)
    assert idx.is_trained()
    assert len(_stored_ids(idx, ["i%d" % i for i in range(101)])) == 101
    assert [h["id"] for h in idx.query(vectors[3], top_k=1, n_probes=2,
                                       filters={"n": {"$lt": 5}})] == ["i3"]


def test_dict_form_round_trip_overwrite_and_duplicates(memory_client, capfd):
    idx = new_index(memory_client)
    items = [
        {"id": "bytes", "vector": V4, "contents": b"\x00\xffraw", "metadata": {"k": [1, "x"]}},
        {"id": "text", "vector": np.array(V4, np.float64), "contents": "h\u00e9llo"},
        {"id": "none-meta", "vector": (1, 2, 3, 4), "metadata": None},
        {"id": "long", "vector": [9.0] + V4[1:], "metadata": "s"},
    ]
    idx.upsert(items)
    got = {r["id"]: r for r in idx.get(["bytes", "text", "none-meta", "long"])}
    assert got["bytes"] == {"id": "bytes", "vector": V4, "contents": b"\x00\xffraw",
                            "metadata": {"k": [1, "x"]}}
    assert got["text"]["contents"] == "h\u00e9llo".encode("utf-8")
    assert got["none-meta"]["metadata"] is None and got["none-meta"]["contents"] == b""
    assert got["long"]["vector"] == [9.0] + V4[1:] and got["long"]["metadata"] == "s"
    capfd.readouterr()

    # Overwrite: new vector, contents and metadata replace the old ones.
    idx.upsert([{"id": "bytes", "vector": [4.0, 3.0, 2.0, 1.0], "contents": b"new"}])
    assert idx.get(["bytes"]) == [{"id": "bytes", "vector": [4.0, 3.0, 2.0, 1.0],
                                   "contents": b"new", "metadata": {}}]
    # The array form stores no contents: an overwritten item loses its old ones.
    idx.upsert(["text"], np.zeros((1, 4), np.float32))
    assert idx.get(["text"], include=["contents", "vector"]) == [
        {"id": "text", "contents": b"", "vector": [0.0] * 4}]
    hits = idx.query(np.zeros(4, np.float32), top_k=10)
    assert [h["id"] for h in hits].count("text") == 1

    # Duplicates: one warning, the first occurrence kept, in both forms.
    idx.upsert(["d", "e", "d"], np.array([[1] * 4, [2] * 4, [3] * 4], np.float32))
    idx.upsert([{"id": "f", "vector": [5.0] * 4, "contents": "first"},
                {"id": "f", "vector": [6.0] * 4, "contents": "second"}])
    err = capfd.readouterr().err
    assert err.count("Warning: Duplicate IDs detected. Skipping duplicate IDs.\n") == 2
    assert idx.get(["d"], include=["vector"])[0]["vector"] == [1.0] * 4
    assert idx.get(["f"], include=["vector", "contents"])[0] == {
        "id": "f", "vector": [5.0] * 4, "contents": b"first"}
    assert sorted(h["id"] for h in idx.query(np.ones(4, np.float32), top_k=100)) == sorted(
        ["bytes", "text", "none-meta", "long", "d", "e", "f"])
