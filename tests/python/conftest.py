"""Shared fixtures: the servers scripts/test starts, servers of a test's own,
an in-process client, and the stand-in embedding package."""
import importlib
import os
import sqlite3
import sys

import numpy as np
import pytest

import tavrindb_lite as tdb

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from launch_servers import Missing, ScratchServer  # noqa: E402

FAKE_MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_models")


def _unavailable(why):
    if os.environ.get("CI") == "true":
        pytest.fail("%s although CI=true" % why)
    pytest.skip("SKIPPED LOUDLY: " + why)


def shared_server(kind):
    """The connection string of the server scripts/test started."""
    value = os.environ.get({"postgres": "TAVRIN_TEST_POSTGRES", "redis": "TAVRIN_TEST_REDIS"}[kind])
    if not value:
        _unavailable("no %s server: run the tests through scripts/test" % kind)
    return value


@pytest.fixture
def postgres_conninfo():
    return shared_server("postgres")


class ScratchSqlite:
    """An SQLite file in a folder of the test's own, standing in for a server
    (nothing to start or stop) and dumped the same way."""
    kind = "sqlite"

    def __init__(self, root):
        self.connection_string = os.path.join(str(root), "store.sqlite")

    def dump(self):
        """Every value of every table, as byte strings (numbers as text)."""
        db = sqlite3.connect(self.connection_string)
        try:
            cells = []
            tables = db.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
            for (t,) in tables:
                for row in db.execute('SELECT * FROM "%s"' % t.replace('"', '""')):
                    cells += [v if isinstance(v, bytes) else str(v).encode() for v in row]
            return cells
        finally:
            db.close()


def scratch(kind, tmp_path):
    """A fresh server of the test's own, which it may kill and start again on
    the same port and data; or an SQLite file."""
    if kind == "sqlite":
        yield ScratchSqlite(tmp_path)
        return
    try:
        # Redis syncs its append-only file on every write, so that every
        # acknowledged write survives a kill.
        server = ScratchServer(kind, {"postgres": "",
                                      "redis": "--appendonly yes --appendfsync always"}[kind])
    except Missing as e:
        _unavailable("no scratch %s: %s" % (kind, e))
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def memory_client():
    m = tdb.DBConfig("memory")
    return tdb.Client(m, m, m, cpu_threads=2)


def new_index(client, dimension=4, n_lists=2, metric="euclidean", name="idx", **kwargs):
    return client.create_index(name, bytes(range(1, 33)),
                               tdb.IndexIVFFlat(dimension, n_lists, metric), **kwargs)


def random_vectors(n, dimension, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dimension)).astype(np.float32)


def refusal(call, kind=ValueError):
    """The text of the exception of type `kind` that call() raises."""
    with pytest.raises(kind) as e:
        call()
    return str(e.value)


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
