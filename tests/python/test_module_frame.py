"""Import-time behaviour of the extension module."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

import tavrindb_lite

COMPILED = "%d.%d" % sys.version_info[:2]


def test_docstring_and_registration_order():
    assert tavrindb_lite.__doc__ == "Pybind11 bindings for TavrinDB"
    assert [k for k in vars(tavrindb_lite) if not k.startswith("_")] == [
        "DBConfig", "IndexConfig", "IndexIVFFlat", "Client", "EncryptedIndex", "use_logging"]
    for cls, names in {
            "Client": ["__init__", "list_indexes", "create_index", "load_index",
                       "load_serialized_index", "get_cpu_threads", "is_gpu_enabled"],
            "EncryptedIndex": ["is_trained", "index_name", "index_type", "index_config",
                               "delete_index", "get", "train", "upsert", "delete", "query",
                               "train_and_serialize"]}.items():
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
else:
    print("IMPORTED")
""" % COMPILED


def test_other_minor_versions_are_refused_with_the_exact_message(tmp_path):
    # A plain ".so" name is importable by every CPython, so the module's own
    # version check, not the file-name tag, decides.
    shutil.copy(tavrindb_lite.__file__, tmp_path / "tavrindb_lite.so")
    pythons = {sys.version.split()[0]: sys.executable}
    for root in filter(None, [os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")]):
        for exe in sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3"))):
            pythons.setdefault(exe.split(os.sep)[-3], exe)
    results = {}
    for version, exe in pythons.items():
        minor = version.split(".")[1]
        if minor.isdigit() and int(minor) >= 6:
            out = subprocess.run([exe, "-c", PROBE], cwd=tmp_path, capture_output=True, text=True,
                                 timeout=60, env={k: v for k, v in os.environ.items()
                                                  if k != "PYTHONPATH"})
            results[version] = out.stdout.strip() + out.stderr.strip()
    assert results.pop(sys.version.split()[0]) == "IMPORTED"
    others = {v: r for v, r in results.items() if not v.startswith(COMPILED + ".")}
    if not others:
        pytest.skip("no other CPython 3 minor version under pyenv to import with")
    for version, result in others.items():
        # An interpreter that lacks a symbol the module links against is
        # refused by the dynamic loader before the module's own check runs.
        assert result == "REFUSED-EXACT" or "undefined symbol" in result, (version, result)
    assert "REFUSED-EXACT" in others.values(), others


@pytest.mark.parametrize("member, signature", [
    ("DBConfig.__init__",
     "__init__(self: tavrindb_lite.DBConfig, location: str, table_name: Optional[str] = None, "
     "connection_string: Optional[str] = None) -> None"),
    ("IndexIVFFlat.__init__",
     "__init__(self: tavrindb_lite.IndexIVFFlat, dimension: int, n_lists: int, "
     "metric: str = 'euclidean') -> None"),
    ("IndexIVFFlat.n_lists", "n_lists(self: tavrindb_lite.IndexIVFFlat) -> int"),
    ("IndexConfig.clone", "clone(self: tavrindb_lite.IndexConfig) -> tavrindb_lite.IndexConfig"),
    ("IndexConfig.pq_bits", "pq_bits(self: tavrindb_lite.IndexConfig) -> int"),
    ("Client.create_index",
     "create_index(self: tavrindb_lite.Client, index_name: str, index_key: "
     "Annotated[list[int], FixedSize(32)], index_config: tavrindb_lite.IndexConfig, "
     "embedding_model: Optional[str] = None, max_cache_size: Optional[int] = 0) -> "
     "tavrindb_lite.EncryptedIndex"),
    ("Client.load_index",
     "load_index(self: tavrindb_lite.Client, index_name: str, index_key: "
     "Annotated[list[int], FixedSize(32)], max_cache_size: Optional[int] = 0) -> "
     "tavrindb_lite.EncryptedIndex"),
    ("Client.load_serialized_index",
     "load_serialized_index(self: tavrindb_lite.Client, serialized_index: bytes, index_key: "
     "Annotated[list[int], FixedSize(32)]) -> tavrindb_lite.EncryptedIndex"),
    ("EncryptedIndex.is_trained", "is_trained(self: tavrindb_lite.EncryptedIndex) -> bool"),
    ("EncryptedIndex.index_name", "index_name(self: tavrindb_lite.EncryptedIndex) -> str"),
    ("EncryptedIndex.index_type", "index_type(self: tavrindb_lite.EncryptedIndex) -> str"),
    ("EncryptedIndex.index_config", "index_config(self: tavrindb_lite.EncryptedIndex) -> dict"),
    ("EncryptedIndex.delete_index", "delete_index(self: tavrindb_lite.EncryptedIndex) -> None"),
    ("EncryptedIndex.get",
     "get(self: tavrindb_lite.EncryptedIndex, ids: list[str], include: list[str] = "
     "['vector', 'contents', 'metadata']) -> list"),
    ("EncryptedIndex.train",
     "train(self: tavrindb_lite.EncryptedIndex, batch_size: int = 2048, max_iters: int = 100, "
     "tolerance: float = 1e-06, max_memory: int = 0) -> None"),
    ("EncryptedIndex.upsert",
     "upsert(self: tavrindb_lite.EncryptedIndex, arg1: object, arg2: object = None) -> None"),
    ("EncryptedIndex.delete", "delete(self: tavrindb_lite.EncryptedIndex, ids: list[str]) -> None"),
    ("EncryptedIndex.query",
     "query(self: tavrindb_lite.EncryptedIndex, query_vector: object = None, query_contents: "
     "object = None, top_k: int = 100, n_probes: int = 1, filters: dict = {}, include: "
     "list[str] = ['distance', 'metadata'], greedy: bool = False, *, max_probes: "
     "Optional[int] = None) -> list"),
    ("EncryptedIndex.train_and_serialize",
     "train_and_serialize(self: tavrindb_lite.EncryptedIndex, vectors: "
     "numpy.ndarray[numpy.float32], batch_size: int = 0, max_iters: int = 0, tolerance: "
     "float = 1e-06, max_memory: int = 0, delete_index: bool = True) -> bytes"),
])
def test_member_signatures(member, signature):
    cls, name = member.split(".")
    doc = getattr(getattr(tavrindb_lite, cls), name).__doc__
    assert doc.splitlines()[0] == signature
