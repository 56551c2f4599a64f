"""Shared fixtures: servers, in-process clients, the stand-in embedding package."""
import importlib
import os
import sqlite3
import sys
from contextlib import closing

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


@pytest.fixture
def postgres_conninfo():
    """The server scripts/test started."""
    return os.environ.get("TAVRIN_TEST_POSTGRES") or _unavailable(
        "no postgres server: run the tests through scripts/test")


class ScratchSqlite:
    """An SQLite file standing in for a server, dumped the same way."""
    kind, cluster = "sqlite", False

    def __init__(self, root):
        self.connection_string = os.path.join(str(root), "store.sqlite")

    def dump(self):
        """Every value of every table, as byte strings (numbers as text)."""
        with closing(sqlite3.connect(self.connection_string)) as db:
            tables = db.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
            return [v if isinstance(v, bytes) else str(v).encode() for (t,) in tables
                    for row in db.execute('SELECT * FROM "%s"' % t.replace('"', '""'))
                    for v in row]


@pytest.fixture(params=["postgres", "redis", "sqlite"])
def server(request, tmp_path):
    """A server of the test's own (killed, started on its port and data), or an SQLite file."""
    if request.param == "sqlite":
        yield ScratchSqlite(tmp_path)
        return
    try:
        # Redis syncs its append-only file on every write, so that every
        # acknowledged write survives a kill.
        redis = "--appendonly yes --appendfsync always"
        server = ScratchServer(request.param, redis if request.param == "redis" else "")
    except Missing as e:
        _unavailable("no scratch %s: %s" % (request.param, e))
    with closing(server):
        yield server


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
    """The stand-in sentence_transformers, imported afresh: no model loaded by another test."""
    monkeypatch.syspath_prepend(FAKE_MODELS)
    # Recorded first, so that undoing it (last) leaves sys.modules as it was,
    # whatever the test put there meanwhile.
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    del sys.modules["sentence_transformers"]
    module = importlib.import_module("sentence_transformers")
    assert module.__file__.startswith(FAKE_MODELS)
    module.reset()
    return module
