"""The installed type stubs describe the module as it is: every class,
member, argument name and default, and mypy reads them."""
import ast
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import tavrindb_lite as tdb

SITE = os.path.dirname(tdb.__file__)


def _shape(fn, skip_self=True):
    # Argument names, each with "=repr(default)", "*" before keyword-only
    # ones; and the return type without its parameters.
    def default(node):
        try:
            return "" if node is None else "=%r" % (ast.literal_eval(node),)
        except ValueError:
            return "=Ellipsis"
    a = fn.args
    args = a.args[1 if skip_self else 0:]
    names = [p.arg + default(d)
             for p, d in zip(args, [None] * (len(args) - len(a.defaults)) + a.defaults)]
    if a.kwonlyargs:
        names += ["*"] + [k.arg + default(d) for k, d in zip(a.kwonlyargs, a.kw_defaults)]
    return names, ast.unparse(fn.returns).split("[")[0].replace("tavrindb_lite.", "")


def _runtime_shape(func, skip_self=True):
    # pybind11's signature line reads as a def, but for an object's repr.
    line = re.sub(r"<[^<>]*>", "...", func.__doc__.splitlines()[0])
    return _shape(ast.parse("def %s: ..." % line).body[0], skip_self)


# Each public member (and __init__) of a class, stub or runtime: "property" or
# the shape of its (first) def. Classes without a Python constructor carry
# pybind11's refusing __init__, which the stubs leave out.
def _members(cls, runtime):
    if runtime:
        return {k: "property" if isinstance(v, property) else _runtime_shape(v)
                for k, v in vars(cls).items() if not k.startswith("_") or (
                    k == "__init__" and not v.__doc__.startswith("Initialize self"))}
    out = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef) and (not fn.name.startswith("_") or fn.name == "__init__"):
            decorators = [ast.unparse(d) for d in fn.decorator_list]
            out.setdefault(fn.name, "property" if "property" in decorators else _shape(fn))
    return out


def test_stubs_match_the_module():
    with open(os.path.join(SITE, "tavrindb_lite.pyi")) as a, \
            open(os.path.join(SITE, "tavrindb_lite-stubs", "__init__.pyi")) as b:
        text = a.read()
        assert b.read() == text  # both installed copies alike
    tree = ast.parse(text)
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    public = [k for k in vars(tdb) if not k.startswith("_") and isinstance(vars(tdb)[k], type)]
    assert list(classes) == public
    assert [ast.unparse(b) for b in classes["IndexIVFFlat"].bases] == ["IndexConfig"]
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert {k: _shape(fn, False) for k, fn in functions.items()} == {
        k: _runtime_shape(v, False) for k, v in vars(tdb).items()
        if not k.startswith("_") and k not in public}
    for name in public:
        assert _members(classes[name], False) == _members(getattr(tdb, name), True), name


def test_mypy_reads_the_installed_stubs(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed: run scripts/bootstrap")
    (tmp_path / "use.py").write_text(
        "import numpy as np\nimport tavrindb_lite as tdb\nm = tdb.DBConfig('memory')\n"
        "index = tdb.Client(m, m).create_index('a', bytes(32), tdb.IndexIVFFlat(4, 2))\n"
        "index.upsert(['a'], np.ones((1, 4), np.float32))\n"
        "n: int = index.index_config()['dimension']\n"
        "index.query(np.ones(4, np.float32), top_k='3')\n")
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith(
        'use.py:7: error: Argument "top_k" to "query" of "EncryptedIndex" has incompatible type '
        '"str"; expected "int"'), out.stdout + out.stderr
