"""DBConfig, IndexConfig and IndexIVFFlat as Python sees them."""
import numpy as np
import pytest

import tavrindb_lite as tdb


@pytest.mark.parametrize("text", ["memory", "postgres", "redis"])
def test_dbconfig_accepts_the_three_location_names(text):
    tdb.DBConfig(text)
    tdb.DBConfig(text, "items", "host=127.0.0.1")
    tdb.DBConfig(text, table_name=None, connection_string=None)
    tdb.DBConfig(location=text, table_name="")


@pytest.mark.parametrize("text", ["Memory", "none", "", "REDIS", "postgresql", "memory "])
def test_dbconfig_refuses_other_location_text_with_value_error(text):
    with pytest.raises(ValueError) as e:
        tdb.DBConfig(text)
    assert str(e.value) == "Unknown DB location: " + text


def test_dbconfig_argument_types():
    with pytest.raises(TypeError):
        tdb.DBConfig(1)
    with pytest.raises(TypeError):
        tdb.DBConfig("memory", 5)
    with pytest.raises(TypeError):
        tdb.DBConfig()


def test_ivfflat_defaults():
    c = tdb.IndexIVFFlat(128, 16)
    assert c.dimension == 128
    assert c.metric == "euclidean"
    assert c.index_type == "ivfflat"
    assert c.n_lists() == 16
    assert c.pq_dim() == 0
    assert c.pq_bits() == 0
    assert isinstance(c, tdb.IndexConfig)


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "squared_euclidean"])
def test_ivfflat_metric_text_round_trips(metric):
    c = tdb.IndexIVFFlat(8, 2, metric)
    assert c.metric == metric
    assert tdb.IndexIVFFlat(dimension=8, n_lists=2, metric=metric).metric == metric


@pytest.mark.parametrize("metric", ["Cosine", "l2", "", "squared-euclidean"])
def test_ivfflat_refuses_unknown_metric_text(metric):
    with pytest.raises(ValueError) as e:
        tdb.IndexIVFFlat(8, 2, metric)
    assert str(e.value) == "Invalid distance metric: " + metric


def test_ivfflat_integer_conversion():
    big = 2**64 - 1
    assert tdb.IndexIVFFlat(big, big).dimension == big
    assert tdb.IndexIVFFlat(0, 0).n_lists() == 0
    assert tdb.IndexIVFFlat(np.int64(4), np.uint32(3)).n_lists() == 3
    for dim, lists in [(128, -1), (-1, 4), (3.0, 4), (4, 2.0), ("4", 4), (2**64, 1)]:
        with pytest.raises(TypeError):
            tdb.IndexIVFFlat(dim, lists)


def test_index_config_has_no_constructor():
    with pytest.raises(TypeError):
        tdb.IndexConfig()


def test_clone_is_an_independent_ivfflat():
    c = tdb.IndexIVFFlat(32, 5, "cosine")
    d = c.clone()
    assert type(d) is tdb.IndexIVFFlat
    assert d is not c
    assert (d.dimension, d.metric, d.index_type, d.n_lists()) == (32, "cosine", "ivfflat", 5)
    with pytest.raises(AttributeError):
        c.dimension = 3
