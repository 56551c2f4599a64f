"""The installed type stubs describe the module as it is: every class,
member, argument name and default, and mypy reads them."""
import ast
import importlib.util
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tavrindb_lite as tdb

SITE = os.path.dirname(tdb.__file__)
STUB = os.path.join(SITE, "tavrindb_lite.pyi")


def _signature(fn, skip_self=True):
    """(argument names, defaults by name, return type) of a def; keyword-only
    arguments follow a "*" name, and a default that is not a literal maps to
    Ellipsis."""
    def value(node):
        try:
            return ast.literal_eval(node)
        except ValueError:
            return Ellipsis
    args = fn.args.args[1 if skip_self else 0:]
    pairs = list(zip(args[len(args) - len(fn.args.defaults):], fn.args.defaults))
    pairs += [(a, d) for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults) if d is not None]
    names = [a.arg for a in args] + (["*"] + [a.arg for a in fn.args.kwonlyargs]
                                     if fn.args.kwonlyargs else [])
    return names, {a.arg: value(d) for a, d in pairs}, ast.unparse(fn.returns)


def _runtime_signature(func, skip_self=True):
    # pybind11's signature line reads as a def, but for an object's repr.
    line = re.sub(r"<[^<>]*>", "...", func.__doc__.splitlines()[0])
    return _signature(ast.parse("def %s: ..." % line).body[0], skip_self)


def test_stubs_match_the_module():
    with open(STUB) as a, open(os.path.join(SITE, "tavrindb_lite-stubs", "__init__.pyi")) as b:
        text = a.read()
        assert b.read() == text  # both installed copies alike
    tree = ast.parse(text)
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    public = [k for k in vars(tdb) if not k.startswith("_") and isinstance(vars(tdb)[k], type)]
    assert list(classes) == public
    assert sorted(functions) == sorted(k for k in vars(tdb)
                                       if not k.startswith("_") and k not in public)
    for name, fn in functions.items():
        assert _signature(fn, False)[:2] == _runtime_signature(vars(tdb)[name], False)[:2]
    assert [ast.unparse(b) for b in classes["IndexIVFFlat"].bases] == ["IndexConfig"]
    for name in public:
        members = {}
        for item in classes[name].body:
            if isinstance(item, ast.FunctionDef) and (not item.name.startswith("_")
                                                      or item.name == "__init__"):
                members.setdefault(item.name, []).append(item)
        # Classes without a Python constructor carry pybind11's refusing
        # __init__, which the stubs leave out.
        runtime = {k: v for k, v in vars(getattr(tdb, name)).items()
                   if not k.startswith("_") or (
                       k == "__init__" and not v.__doc__.startswith("Initialize self"))}
        assert sorted(members) == sorted(runtime), name
        for member, value in runtime.items():
            if isinstance(value, property):
                assert "property" in [ast.unparse(d) for d in members[member][0].decorator_list]
                continue
            names, defaults, returns = _runtime_signature(value)
            for fn in members[member]:
                s_names, s_defaults, s_returns = _signature(fn)
                assert s_names == names, (name, member)
                assert s_returns.split("[")[0] == returns.split("[")[0].replace(
                    "tavrindb_lite.", ""), (name, member)
                assert {a: defaults.get(a, "absent") for a in s_defaults} == s_defaults, (
                    name, member)
            # Every default appears in the stub (in the first overload at least).
            assert _signature(members[member][0])[1].keys() == defaults.keys(), (name, member)


def test_mypy_reads_the_installed_stubs(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed: run scripts/bootstrap")
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        import numpy as np
        import tavrindb_lite as tdb

        m = tdb.DBConfig("memory")
        index = tdb.Client(m, m).create_index("a", bytes(32), tdb.IndexIVFFlat(4, 2))
        index.upsert(["a"], np.ones((1, 4), np.float32))
        n: int = index.index_config()["dimension"]
        trained: bool = index.is_trained()
        index.query(np.ones(4, np.float32), top_k="3")
        """))
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, out.stdout + out.stderr
    assert 'use.py:10: error: Argument "top_k" to "query" of "EncryptedIndex" has ' \
           'incompatible type "str"; expected "int"' in errors[0]
