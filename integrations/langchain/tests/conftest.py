"""Stores for the integration's tests: the in-process store, and the
PostgreSQL server that scripts/test starts (TAVRIN_TEST_POSTGRES, a libpq
conninfo). Without that server its tests are skipped, or fail under CI=true."""
import os
import uuid

import pytest
import tavrindb_lite as tdb


def memory_client():
    m = tdb.DBConfig("memory")
    return tdb.Client(m, m, m, cpu_threads=2)


@pytest.fixture
def postgres_client():
    conninfo = os.environ.get("TAVRIN_TEST_POSTGRES")
    if not conninfo:
        if os.environ.get("CI") == "true":
            pytest.fail("no PostgreSQL server although CI=true")
        pytest.skip("no PostgreSQL server: run the tests through scripts/test")
    return tdb.Client(tdb.DBConfig("postgres", "lc_items", conninfo),
                      tdb.DBConfig("postgres", "lc_configs", conninfo), cpu_threads=2)


def fresh_name():
    return "lc_" + uuid.uuid4().hex
