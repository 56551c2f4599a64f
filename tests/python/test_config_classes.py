"""DBConfig, IndexConfig and IndexIVFFlat as Python sees them."""
import numpy as np

import tavrindb_lite as tdb
from conftest import refusal


def test_dbconfig_location_names():
    for text in ("Memory", "", "REDIS", "memory "):
        assert refusal(lambda: tdb.DBConfig(text)) == "Unknown DB location: " + text
    for args in ((1,), ("memory", 5), ()):
        refusal(lambda: tdb.DBConfig(*args), TypeError)


def test_ivfflat_values_and_conversions():
    c = tdb.IndexIVFFlat(32, 5, "cosine")
    d = c.clone()  # an independent IndexIVFFlat
    assert type(d) is tdb.IndexIVFFlat and d is not c and isinstance(c, tdb.IndexConfig)
    assert (d.dimension, d.metric, d.index_type, d.n_lists(), d.pq_dim(), d.pq_bits()) == (
        32, "cosine", "ivfflat", 5, 0, 0)
    assert [tdb.IndexIVFFlat(8, 2, m).metric for m in ("euclidean", "squared_euclidean")] == [
        "euclidean", "squared_euclidean"]
    for metric in ("Cosine", "l2", "", "squared-euclidean"):
        assert refusal(lambda: tdb.IndexIVFFlat(8, 2, metric)) == (
            "Invalid distance metric: " + metric)
    assert tdb.IndexIVFFlat(2**64 - 1, 1).dimension == 2**64 - 1
    default = tdb.IndexIVFFlat(np.int64(4), np.uint32(3))
    assert (default.n_lists(), default.metric) == (3, "euclidean")
    for args in [(128, -1), (-1, 4), (3.0, 4), (4, 2.0), ("4", 4), (2**64, 1), ()]:
        refusal(lambda: tdb.IndexIVFFlat(*args), TypeError)
    refusal(tdb.IndexConfig, TypeError)
    refusal(lambda: setattr(c, "dimension", 3), AttributeError)
