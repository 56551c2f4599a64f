"""Shared fixtures: the servers scripts/test starts, when they started."""
import os

import pytest


@pytest.fixture
def postgres_conninfo():
    conninfo = os.environ.get("TAVRIN_TEST_POSTGRES")
    if not conninfo:
        pytest.skip("no PostgreSQL server: run the tests through scripts/test")
    return conninfo


@pytest.fixture
def redis_connection_string():
    conn = os.environ.get("TAVRIN_TEST_REDIS")
    if not conn:
        pytest.skip("no Redis server: run the tests through scripts/test")
    return conn
