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
STUB_PACKAGE = os.path.join(SITE, "tavrindb_lite-stubs", "__init__.pyi")


def _split_top_level(text):
    """Splits on commas outside brackets and quotes."""
    parts, depth, quote, cur = [], 0, None, ""
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
            continue
        cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def _runtime_signature(func, skip_self=True):
    """(argument names, defaults by name, return type) from pybind11's
    signature line; a default that is not a literal maps to Ellipsis."""
    line = func.__doc__.splitlines()[0]
    m = re.match(r"^\w+\((.*)\) -> (.+)$", line)
    names, defaults = [], {}
    for part in _split_top_level(m.group(1))[1 if skip_self else 0:]:
        name, _, rest = part.partition(":")
        names.append(name.strip())
        if " = " in rest:
            text = rest.split(" = ", 1)[1]
            try:
                defaults[name.strip()] = ast.literal_eval(text)
            except (ValueError, SyntaxError):
                defaults[name.strip()] = Ellipsis
    return names, defaults, m.group(2)


def _stub_classes():
    with open(STUB) as f:
        tree = ast.parse(f.read())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.setdefault(item.name, []).append(item)
            classes[node.name] = (node, members)
    return classes


def _stub_signature(fn):
    return _stub_signature_of(fn, skip_self=True)


def _stub_signature_of(fn, skip_self):
    """As _runtime_signature; keyword-only arguments follow a "*" name."""
    args = fn.args.args[1:] if skip_self else fn.args.args
    pairs = list(zip(args[len(args) - len(fn.args.defaults):], fn.args.defaults))
    pairs += [(a, d) for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults) if d is not None]
    defaults = {}
    for a, d in pairs:
        defaults[a.arg] = Ellipsis if isinstance(d, ast.Constant) and d.value is ... else (
            ast.literal_eval(d))
    names = [a.arg for a in args]
    if fn.args.kwonlyargs:
        names += ["*"] + [a.arg for a in fn.args.kwonlyargs]
    return names, defaults, ast.unparse(fn.returns)


def test_stub_files_are_installed_alike():
    with open(STUB) as a, open(STUB_PACKAGE) as b:
        assert a.read() == b.read()


def test_stubs_match_the_module():
    classes = _stub_classes()
    public = [k for k in vars(tdb) if not k.startswith("_") and isinstance(vars(tdb)[k], type)]
    assert [k for k in classes] == public
    with open(STUB) as f:
        functions = {n.name: n for n in ast.parse(f.read()).body if isinstance(n, ast.FunctionDef)}
    module_functions = [k for k in vars(tdb) if not k.startswith("_") and k not in public]
    assert sorted(functions) == sorted(module_functions)
    for name in module_functions:
        names, defaults, _ = _runtime_signature(vars(tdb)[name], skip_self=False)
        s_names, s_defaults, _ = _stub_signature_of(functions[name], skip_self=False)
        assert (s_names, s_defaults) == (names, defaults), name
    assert [ast.unparse(b) for b in classes["IndexIVFFlat"][0].bases] == ["IndexConfig"]
    for name in public:
        cls = getattr(tdb, name)
        _, members = classes[name]
        members = {k: v for k, v in members.items() if not k.startswith("_") or k == "__init__"}
        # Classes without a Python constructor carry pybind11's refusing
        # __init__, which the stubs leave out.
        runtime = {k: v for k, v in vars(cls).items()
                   if not k.startswith("_") or (
                       k == "__init__" and not v.__doc__.startswith("Initialize self"))}
        assert sorted(members) == sorted(runtime), name
        for member, value in runtime.items():
            if isinstance(value, property):
                assert any(d.id == "property" for d in members[member][0].decorator_list
                           if isinstance(d, ast.Name)), (name, member)
                continue
            names, defaults, returns = _runtime_signature(value)
            for fn in members[member]:
                s_names, s_defaults, s_returns = _stub_signature(fn)
                assert s_names == names, (name, member)
                assert s_returns.split("[")[0] == returns.split("[")[0].replace(
                    "tavrindb_lite.", ""), (name, member)
                for arg, default in s_defaults.items():
                    assert arg in defaults and defaults[arg] == default, (name, member, arg)
            # Every default appears in the stub (in the first overload at least).
            assert _stub_signature(members[member][0])[1].keys() == defaults.keys(), (
                name, member)


SNIPPET = textwrap.dedent(
    """
    import numpy as np
    import tavrindb_lite as tdb

    m = tdb.DBConfig("memory")
    index = tdb.Client(m, m).create_index("a", bytes(32), tdb.IndexIVFFlat(4, 2))
    index.upsert(["a"], np.ones((1, 4), np.float32))
    n: int = index.index_config()["dimension"]
    trained: bool = index.is_trained()
    index.query(np.ones(4, np.float32), top_k="3")
    """
)


def test_mypy_reads_the_installed_stubs(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed: run scripts/bootstrap")
    (tmp_path / "use.py").write_text(SNIPPET)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, out.stdout + out.stderr
    assert 'use.py:10: error: Argument "top_k" to "query" of "EncryptedIndex" has ' \
           'incompatible type "str"; expected "int"' in errors[0]
