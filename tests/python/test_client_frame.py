"""Client construction and listing as Python sees them."""
import os
import subprocess
import sys

import pytest

import tavrindb_lite as tdb
from conftest import refusal

NUMPY1 = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      ".venv", "numpy1")


def test_defaults_and_stored_options():
    m = tdb.DBConfig("memory")
    assert (tdb.Client(m, m).get_cpu_threads(), tdb.Client(m, m).is_gpu_enabled()) == (0, False)
    c = tdb.Client(m, m, m, cpu_threads=1024, gpu_accelerate=True)
    assert (c.get_cpu_threads(), c.is_gpu_enabled()) == (1024, True)
    # The OpenMP runtime sizes its team by the count: a huge one killed the
    # interpreter on the first upsert.
    for bad in (-2, 1025, 2**31 - 1):
        assert refusal(lambda: tdb.Client(m, m, m, bad)) == (
            "cpu_threads must be between 0 and 1024.")
    for args in ((m, m, m, 1.0), (m, m, m, 2**31), (m,)):
        refusal(lambda: tdb.Client(*args), TypeError)


def test_listing_failures_are_value_errors(postgres_conninfo):
    for cfg in (tdb.DBConfig("memory"), tdb.DBConfig("postgres", "nothing", postgres_conninfo)):
        refusal(tdb.Client(cfg, cfg).list_indexes)


def test_numpy_booleans():
    # Here on NumPy 2, then in a child on NumPy 1.
    code = """if True:
        import numpy as np, tavrindb_lite as tdb
        m = tdb.DBConfig("memory")
        for flag in (np.bool_(True), np.bool_(False), np.array(True)[()]):
            assert tdb.Client(m, m, m, 0, flag).is_gpu_enabled() is bool(flag), flag
        version = np.__version__"""
    scope = {}
    exec(code, scope)
    assert scope["version"].startswith("2.")
    if not os.path.isdir(os.path.join(NUMPY1, "numpy")):
        pytest.skip("NumPy 1 not installed beside the venv: run scripts/bootstrap")
    out = subprocess.run([sys.executable, "-c", code + "\nprint(version)"], capture_output=True,
                         text=True, timeout=60, env=dict(os.environ, PYTHONPATH=NUMPY1))
    assert (out.returncode, out.stdout[:2]) == (0, "1."), out.stderr
