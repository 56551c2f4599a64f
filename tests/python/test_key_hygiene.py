"""A refused key never shows up in the error: tracebacks end up in logs."""
import contextlib
import logging
import traceback

import numpy as np
import pytest
import tavrindb_lite as tdb

SECRET = "sEcReT-kEy-MaTeRiAl-0123456789ab"  # 32 characters: the length is right, the type is not


@pytest.mark.parametrize("bad_key, given", [
    (SECRET, "a str of length 32"),
    (list(range(200, 231)), "a list of length 31"),
    ([7] * 31 + [256], "a list of length 32"),
    ([7] * 31 + [-1], "a list of length 32"),
    ([7.0] * 32, "a list of length 32"),
    (bytes(range(200, 233)), "a bytes of length 33"),
    (12345678901234567890, "an int"),
    (None, "a NoneType"),
])
@pytest.mark.parametrize("member", ["create_index", "load_index", "load_serialized_index"])
def test_a_refused_key_is_named_by_type_never_by_value(memory_client, member, bad_key, given):
    args = {"create_index": ("idx", bad_key, tdb.IndexIVFFlat(4, 2)),
            "load_index": ("idx", bad_key),
            "load_serialized_index": (b"not an index", bad_key)}[member]
    with pytest.raises(TypeError) as err:
        getattr(memory_client, member)(*args)
    assert str(err.value) == f"{member}(): incompatible function arguments: index_key cannot be {given}"
    shown = "".join(traceback.format_exception(err.type, err.value, err.tb))
    for fragment in (SECRET, "200, 201", "256", "7.0, 7.0", "\\xc8\\xc9", "12345678901234567890"):
        assert fragment not in shown


# The other arguments of these members are refused in the same words.
@pytest.mark.parametrize("member, args, refused", [
    ("create_index", ("idx", bytes(range(32)), None), "index_config cannot be None"),
    ("create_index", ("idx", bytes(range(32)), tdb.IndexIVFFlat(4, 2), 5),
     "embedding_model cannot be an int"),
    ("create_index", ("idx", bytes(range(32)), tdb.IndexIVFFlat(4, 2), None, -1),
     "max_cache_size cannot be an int"),
    ("load_serialized_index", (bytearray(b"xy"), bytes(range(32))),
     "serialized_index cannot be a bytearray of length 2"),
])
def test_other_refused_arguments(memory_client, member, args, refused):
    with pytest.raises(TypeError) as err:
        getattr(memory_client, member)(*args)
    assert str(err.value) == f"{member}(): incompatible function arguments: {refused}"


def test_refused_metadata_and_filters_never_reach_the_diagnostics(memory_client, capfd, caplog):
    """What goes to standard error or the logger may be collected by anyone; metadata may not."""
    secret = "zz-patient-record-zz"
    idx = memory_client.create_index("idx", bytes(range(32)), tdb.IndexIVFFlat(4, 2))
    rows = np.random.default_rng(0).standard_normal((8, 4)).astype(np.float32)
    idx.upsert([{"id": f"i{n}", "vector": rows[n], "metadata": {"f": secret, "n": n}} for n in range(8)])
    idx.train()
    nested = {"f": secret}
    for _ in range(600):
        nested = {"a": nested}
    caplog.set_level(logging.DEBUG, logger="tavrindb_lite")
    try:
        for use_logging in (False, True):
            tdb.use_logging(use_logging)
            # A line that does reach the diagnostics: the channel is live.
            idx.upsert([{"id": "d", "vector": rows[0], "metadata": {"f": secret}}] * 2)
            for bad in ({"f": secret, "x": 10**400}, {"f": secret + "\ud800"}, nested):
                with pytest.raises(ValueError):
                    idx.upsert([{"id": "x", "vector": rows[0], "metadata": bad}])
                with pytest.raises(ValueError):
                    idx.update_metadata(["i1"], bad)
            for bad_filter in ({"f": {"$in": secret}}, {"f": {"$bogus": secret}},
                               {"$and": [{"f": {"$gt": secret}}]}):
                with contextlib.suppress(ValueError):
                    idx.query(rows[0], top_k=3, n_probes=2, filters=bad_filter)
    finally:
        tdb.use_logging(False)
    err = capfd.readouterr().err
    assert "Duplicate IDs" in err and "Duplicate IDs" in caplog.text
    assert secret not in err + caplog.text
