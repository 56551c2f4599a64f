"""Shared fixtures: the servers scripts/test starts, when they started, and
servers of a test's own; an in-process client and keys; the stand-in
embedding package."""
import importlib
import os
import sys

import numpy as np
import pytest

import tavrindb_lite as tdb

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from launch_servers import Missing, ScratchServer  # noqa: E402

FAKE_MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_models")


def _unavailable(why):
    if os.environ.get("CI") == "true":
        pytest.fail("%s although CI=true" % why)
    pytest.skip("SKIPPED LOUDLY: " + why)


def _server(variable, name):
    value = os.environ.get(variable)
    if not value:
        _unavailable("no %s server: run the tests through scripts/test" % name)
    return value


@pytest.fixture
def postgres_conninfo():
    return _server("TAVRIN_TEST_POSTGRES", "PostgreSQL")


@pytest.fixture
def redis_connection_string():
    return _server("TAVRIN_TEST_REDIS", "Redis")


@pytest.fixture(params=["postgres", "redis"])
def scratch_server(request):
    """A fresh server of each kind in turn, of the test's own: it may kill the
    server and start it again on the same port and data."""
    yield from _scratch(request.param)


def _scratch(kind):
    try:
        # Redis syncs its append-only file on every write, so that every
        # acknowledged write survives a kill.
        server = ScratchServer(kind, {
            "postgres": "", "redis": "--appendonly yes --appendfsync always"}[kind])
    except Missing as e:
        _unavailable("no scratch %s: %s" % (kind, e))
    try:
        yield server
    finally:
        server.close()


class ScratchSqlite:
    """An SQLite database file in a folder of the test's own, standing in for
    a server (nothing to start or stop) and dumped the same way."""
    kind = "sqlite"

    def __init__(self, root):
        self.connection_string = os.path.join(str(root), "store.sqlite")

    def start(self):
        pass

    def stop(self):
        pass

    def dump(self):
        """Every value of every table, as byte strings (numbers as text)."""
        import sqlite3
        db = sqlite3.connect(self.connection_string)
        try:
            cells = []
            tables = [t for (t,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
            for t in tables:
                for row in db.execute('SELECT * FROM "%s"' % t.replace('"', '""')):
                    cells += [v if isinstance(v, bytes) else str(v).encode() for v in row]
            return cells
        finally:
            db.close()


@pytest.fixture(params=["postgres", "redis", "sqlite"])
def scratch_store(request, tmp_path):
    """A fresh server of each kind in turn, then an SQLite file."""
    if request.param == "sqlite":
        yield ScratchSqlite(tmp_path)
        return
    yield request.getfixturevalue("scratch_server_" + request.param)


@pytest.fixture
def scratch_server_postgres():
    yield from _scratch("postgres")


@pytest.fixture
def scratch_server_redis():
    yield from _scratch("redis")


@pytest.fixture
def memory_client():
    m = tdb.DBConfig("memory")
    return tdb.Client(m, m, m, cpu_threads=2)


@pytest.fixture
def key():
    return bytes(range(1, 33))


def new_index(client, dimension=4, n_lists=2, metric="euclidean", name="idx", **kwargs):
    return client.create_index(name, bytes(range(1, 33)),
                               tdb.IndexIVFFlat(dimension, n_lists, metric), **kwargs)


def random_vectors(n, dimension, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dimension)).astype(np.float32)


@pytest.fixture
def fake_model(monkeypatch):
    """The stand-in sentence_transformers, imported afresh from sys.path, so
    that every test gets its own SentenceTransformer class (and so no model
    loaded by another test)."""
    monkeypatch.syspath_prepend(FAKE_MODELS)
    # Recorded first, so that undoing it (last) leaves sys.modules as it was,
    # whatever the test put there meanwhile.
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    del sys.modules["sentence_transformers"]
    module = importlib.import_module("sentence_transformers")
    assert module.__file__.startswith(FAKE_MODELS)
    module.reset()
    return module


@pytest.fixture
def no_model_package(monkeypatch):
    """An interpreter in which importing sentence_transformers fails; returns
    the text of that failure."""
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    try:
        import sentence_transformers  # noqa: F401
    except ImportError as e:
        return str(e)
    raise AssertionError("sentence_transformers imported although blocked")
