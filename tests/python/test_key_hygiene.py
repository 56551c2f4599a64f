"""A refused key never shows up in the error: tracebacks end up in logs."""
import traceback

import pytest
import tavrindb_lite as tdb

SECRET = "sEcReT-kEy-MaTeRiAl-0123456789ab"  # 32 characters: the length is right, the type is not


@pytest.mark.parametrize("bad_key, given", [
    (SECRET, "a str of length 32"),
    (list(range(200, 231)), "a list of length 31"),
    ([7] * 31 + [256], "a list of length 32"),
    (12345678901234567890, "an int"),
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
    for fragment in (SECRET, "200, 201", "256", "12345678901234567890"):
        assert fragment not in shown


def test_a_missing_index_config_is_a_type_error(memory_client):
    with pytest.raises(TypeError, match=r"^create_index\(\): incompatible function arguments: "
                                        r"index_config cannot be None$"):
        memory_client.create_index("idx", bytes(range(32)), None)
