"""Shared fixtures: the servers scripts/test starts, when they started."""
import os

import pytest


def _server(variable, name):
    value = os.environ.get(variable)
    if not value:
        pytest.skip("no %s server: run the tests through scripts/test" % name)
    return value


@pytest.fixture
def postgres_conninfo():
    return _server("TAVRIN_TEST_POSTGRES", "PostgreSQL")


@pytest.fixture
def redis_connection_string():
    return _server("TAVRIN_TEST_REDIS", "Redis")
