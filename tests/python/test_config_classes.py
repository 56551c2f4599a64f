"""DBConfig, IndexConfig and IndexIVFFlat as Python sees them."""
import numpy as np
import pytest

import tavrindb_lite as tdb


def test_dbconfig_location_names():
    for text in ("memory", "postgres", "redis", "sqlite"):
        tdb.DBConfig(text)
        tdb.DBConfig(text, "items", "host=127.0.0.1")
        tdb.DBConfig(location=text, table_name=None, connection_string=None)
    for text in ("Memory", "none", "", "REDIS", "postgresql", "memory "):
        with pytest.raises(ValueError) as e:
            tdb.DBConfig(text)
        assert str(e.value) == "Unknown DB location: " + text
    for args in ((1,), ("memory", 5), ()):
        with pytest.raises(TypeError):
            tdb.DBConfig(*args)


def test_ivfflat_values_and_conversions():
    c = tdb.IndexIVFFlat(128, 16)
    assert isinstance(c, tdb.IndexConfig)
    assert (c.dimension, c.metric, c.index_type, c.n_lists(), c.pq_dim(), c.pq_bits()) == (
        128, "euclidean", "ivfflat", 16, 0, 0)
    for metric in ("cosine", "euclidean", "squared_euclidean"):
        assert tdb.IndexIVFFlat(dimension=8, n_lists=2, metric=metric).metric == metric
    for metric in ("Cosine", "l2", "", "squared-euclidean"):
        with pytest.raises(ValueError) as e:
            tdb.IndexIVFFlat(8, 2, metric)
        assert str(e.value) == "Invalid distance metric: " + metric
    big = 2**64 - 1
    assert tdb.IndexIVFFlat(big, big).dimension == big
    assert tdb.IndexIVFFlat(np.int64(4), np.uint32(3)).n_lists() == 3
    for dim, lists in [(128, -1), (-1, 4), (3.0, 4), (4, 2.0), ("4", 4), (2**64, 1)]:
        with pytest.raises(TypeError):
            tdb.IndexIVFFlat(dim, lists)
    with pytest.raises(TypeError):
        tdb.IndexConfig()
    # clone gives an independent IndexIVFFlat; the values are read-only.
    c = tdb.IndexIVFFlat(32, 5, "cosine")
    d = c.clone()
    assert type(d) is tdb.IndexIVFFlat and d is not c
    assert (d.dimension, d.metric, d.index_type, d.n_lists()) == (32, "cosine", "ivfflat", 5)
    with pytest.raises(AttributeError):
        c.dimension = 3
