"""Import-time behaviour of the extension module."""
import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

import tavrindb_lite

COMPILED = "%d.%d" % sys.version_info[:2]


def test_docstring_and_registration_order():
    assert tavrindb_lite.__doc__ == "Pybind11 bindings for TavrinDB"
    assert [k for k in vars(tavrindb_lite) if not k.startswith("_")] == (
        "DBConfig IndexConfig IndexIVFFlat Client EncryptedIndex use_logging".split())
    for cls, names in [
            ("Client", "__init__ list_indexes create_index load_index load_serialized_index "
                       "get_cpu_threads is_gpu_enabled"),
            ("EncryptedIndex", "is_trained index_name index_type index_config delete_index get "
                               "train upsert delete query train_and_serialize")]:
        names = names.split()
        assert [k for k in vars(getattr(tavrindb_lite, cls)) if k in names] == names, cls


# Imports the module from a folder of its own under another interpreter.
PROBE = """
import sys
try:
    import tavrindb_lite
except ImportError as e:
    expected = ("Python version mismatch: module was compiled for Python %s, but the "
                "interpreter version is incompatible: " + sys.version + ".")
    print("REFUSED-EXACT" if str(e) == expected else "REFUSED-OTHER: " + str(e))
print("IMPORTED" if "tavrindb_lite" in sys.modules else "")
""" % COMPILED


def test_other_minor_versions_are_refused_with_the_exact_message(tmp_path):
    # A plain ".so" name is importable by every CPython, so the module's own
    # version check, not the file-name tag, decides.
    shutil.copy(tavrindb_lite.__file__, tmp_path / "tavrindb_lite.so")

    def probe(exe):
        out = subprocess.run([exe, "-c", PROBE], cwd=tmp_path, capture_output=True, text=True,
                             timeout=60, env={k: v for k, v in os.environ.items()
                                              if k != "PYTHONPATH"})
        return out.stdout.strip() + out.stderr.strip()

    assert probe(sys.executable) == "IMPORTED"
    others = {}
    for root in filter(None, [os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")]):
        for exe in glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3")):
            minor = re.match(r"3\.(\d+)\.", exe.split(os.sep)[-3])
            if minor and int(minor.group(1)) >= 6 and minor.group(0) != COMPILED + ".":
                others[exe] = probe(exe)
    if not others:
        pytest.skip("no other CPython 3 minor version under pyenv to import with")
    # An interpreter that lacks a symbol the module links against is refused
    # by the dynamic loader before the module's own check runs.
    assert all(r == "REFUSED-EXACT" or "undefined symbol" in r for r in others.values()), others
    assert "REFUSED-EXACT" in others.values(), others


# Each member's signature text, its class read from the self argument.
@pytest.mark.parametrize("signature", [
    "__init__(self: tavrindb_lite.DBConfig, location: str, table_name: Optional[str] = None, "
    "connection_string: Optional[str] = None) -> None",
    "__init__(self: tavrindb_lite.IndexIVFFlat, dimension: int, n_lists: int, "
    "metric: str = 'euclidean') -> None",
    "n_lists(self: tavrindb_lite.IndexIVFFlat) -> int",
    "clone(self: tavrindb_lite.IndexConfig) -> tavrindb_lite.IndexConfig",
    "pq_bits(self: tavrindb_lite.IndexConfig) -> int",
    "create_index(self: tavrindb_lite.Client, index_name: str, index_key: "
    "Annotated[list[int], FixedSize(32)], index_config: tavrindb_lite.IndexConfig, "
    "embedding_model: Optional[str] = None, max_cache_size: Optional[int] = 0, *, "
    "tamper_evident: bool = False) -> tavrindb_lite.EncryptedIndex",
    "load_index(self: tavrindb_lite.Client, index_name: str, index_key: "
    "Annotated[list[int], FixedSize(32)], max_cache_size: Optional[int] = 0, *, "
    "min_epoch: Optional[int] = None) -> tavrindb_lite.EncryptedIndex",
    "load_serialized_index(self: tavrindb_lite.Client, serialized_index: bytes, index_key: "
    "Annotated[list[int], FixedSize(32)]) -> tavrindb_lite.EncryptedIndex",
    "is_trained(self: tavrindb_lite.EncryptedIndex) -> bool",
    "index_name(self: tavrindb_lite.EncryptedIndex) -> str",
    "index_type(self: tavrindb_lite.EncryptedIndex) -> str",
    "index_config(self: tavrindb_lite.EncryptedIndex) -> dict",
    "delete_index(self: tavrindb_lite.EncryptedIndex) -> None",
    "get(self: tavrindb_lite.EncryptedIndex, ids: list[str], include: list[str] = "
    "['vector', 'contents', 'metadata']) -> list",
    "train(self: tavrindb_lite.EncryptedIndex, batch_size: int = 2048, max_iters: int = 100, "
    "tolerance: float = 1e-06, max_memory: int = 0) -> None",
    "upsert(self: tavrindb_lite.EncryptedIndex, arg1: object, arg2: object = None) -> None",
    "delete(self: tavrindb_lite.EncryptedIndex, ids: list[str]) -> None",
    "query(self: tavrindb_lite.EncryptedIndex, query_vector: object = None, query_contents: "
    "object = None, top_k: int = 100, n_probes: int = 1, filters: dict = {}, include: "
    "list[str] = ['distance', 'metadata'], greedy: bool = False, *, max_probes: "
    "Optional[int] = None) -> list",
    "train_and_serialize(self: tavrindb_lite.EncryptedIndex, vectors: "
    "numpy.ndarray[numpy.float32], batch_size: int = 0, max_iters: int = 0, tolerance: "
    "float = 1e-06, max_memory: int = 0, delete_index: bool = True) -> bytes",
])
def test_member_signatures(signature):
    name, cls = re.match(r"(\w+)\(self: tavrindb_lite\.(\w+)", signature).groups()
    assert getattr(getattr(tavrindb_lite, cls), name).__doc__.splitlines()[0] == signature
