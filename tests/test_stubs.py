"""The shipped type stub (vornic-stubs) against the installed module."""

import ast
import collections
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import vornic

HERE = Path(__file__).parent
STUB = Path(vornic.__file__).parent / "vornic-stubs" / "__init__.pyi"
CLASSES = [vornic.Object, vornic.Vornic]
# The binding library adds this interoperability hook to every class; it is
# not part of the API (stubtest skips it as private, and so does this check).
NOT_API = {"_pybind11_conduit_v1_", "__module__"}
# The stub's aliases, spelled as the runtime signatures render them (where a
# key or tag may be given as bytes too, those say str).
ALIASES = {"_Tags": "Iterable[str]", "_V": "Iterable[str]", "_Str": "str", "_K": "str", "AbstractSet": "Set"}


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, **kw)


def stub_class(cls):
    [node] = [c for c in ast.parse(STUB.read_text()).body if getattr(c, "name", "") == cls.__name__]
    return node


def stub_functions(cls):
    """Name -> the stub's definitions (overloads, property getter and setter) in class cls."""
    functions = collections.defaultdict(list)
    for f in stub_class(cls).body:
        if isinstance(f, ast.FunctionDef):
            functions[f.name].append(f)
    return functions


def stub_type(annotation):
    """A stub annotation spelled as pybind11 renders it: 'Iterable[tuple[_Str, _Tags]]'
    gives 'Iterable[tuple[str, Iterable[str]]]'."""
    return re.sub(r"\b\w+\b", lambda m: ALIASES.get(m[0], m[0]), annotation)


def runtime_type(rendered):
    """A rendered type without module prefixes: 'collections.abc.Iterable[str]' gives 'Iterable[str]'."""
    return re.sub(r"\b(collections\.abc|vornic)\.", "", rendered)


def split_params(text):
    """The parameters of a rendered signature, split at the commas outside brackets."""
    params, depth, start = [], 0, 0
    for i, c in enumerate(text + ","):
        depth += {"[": 1, "]": -1}.get(c, 0)
        if c == "," and depth == 0:
            params.append(text[start:i].strip())
            start = i + 1
    return params if text else []


def runtime_signatures(cls, name):
    """([(name, type, has_default)], result) per overload, from the generated docstrings."""
    attr = getattr(cls, name)
    if isinstance(attr, property):  # getter and setter, documented without the name
        docs = [name + f.__doc__ for f in (attr.fget, attr.fset)]
    else:  # an overloaded function lists its overloads after a generic first line
        docs = [d for d in re.findall(rf"^(?:\d+\. )?({name}\(.*)$", attr.__doc__, re.M) if "**" not in d]
    sigs = [re.match(rf"{name}\((.*)\) -> (.*)", doc).groups() for doc in docs]
    return [([re.match(r"(\*?\w+)(?:: ([^=]+?))?( = .*)?$", p).groups() for p in split_params(params)], result)
            for params, result in sigs]


def stub_signatures(func_defs):
    for f in func_defs:
        a, params = f.args, f.args.posonlyargs + f.args.args
        first_default = len(params) - len(a.defaults)
        sig = [(p.arg, p.annotation and ast.unparse(p.annotation), i >= first_default) for i, p in enumerate(params)]
        if a.vararg:
            sig.append(("*" + a.vararg.arg, ast.unparse(a.vararg.annotation), False))
        yield sig, ast.unparse(f.returns)


def runtime_docs(cls, name):
    """The docstring of each overload of `name`, without pybind11's signature lines."""
    attr = vars(cls)[name]
    if isinstance(attr, property):
        return [attr.__doc__]
    doc = getattr(cls, name).__doc__
    if doc.startswith(f"{name}(*args, **kwargs)\nOverloaded function."):
        return [part.strip() for part in re.split(r"^\d+\. .*$", doc, flags=re.M)[1:]]
    return [doc.partition("\n")[2].strip()]


def test_stubtest_finds_no_mismatch(tmp_path):
    result = run("mypy.stubtest", "vornic", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_runtime_name_is_in_the_stub(cls):
    assert set(dir(cls)) - set(dir(object)) - NOT_API <= set(stub_functions(cls))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_stub_signatures_match_the_registered_ones(cls):
    for name, defs in stub_functions(cls).items():
        runtime, stub = runtime_signatures(cls, name), list(stub_signatures(defs))
        # A single runtime signature may be split into stub overloads (get, pop).
        assert len(runtime) in (1, len(stub)), name
        pairs = zip(runtime, stub) if len(runtime) > 1 else ((runtime[0], s) for s in stub)
        for (r_params, r_result), (s_params, s_result) in pairs:
            if not isinstance(vars(cls)[name], property):  # setter arguments are positional
                assert [n for n, _, _ in r_params] == [n for n, _, _ in s_params], name
                # an overload may require what has a default, never the reverse
                assert all(rd or not sd for (_, _, rd), (_, _, sd) in zip(r_params, s_params)), name
            for (_, r_type, _), (_, s_type, _) in zip(r_params, s_params):
                if r_type not in (None, "object") and s_type is not None:
                    assert stub_type(s_type) == runtime_type(r_type), (name, r_type)
            if r_result != "object":
                assert stub_type(s_result) == runtime_type(r_result), (name, r_result)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_name_has_the_stubs_docstring(cls):
    stub = ast.parse(STUB.read_text())
    assert ast.get_docstring(stub, clean=False) == vornic.__doc__
    assert ast.get_docstring(stub_class(cls)) == cls.__doc__
    for name in set(vars(cls)) - NOT_API - {"__doc__"}:
        for doc in runtime_docs(cls, name):
            assert 1 <= len(doc.splitlines()) <= 3, name
    for name, defs in stub_functions(cls).items():
        # a setter takes the property's docstring; get and pop split one runtime signature in two
        docs = [ast.get_docstring(f) for f in defs if not any("setter" in ast.unparse(d) for d in f.decorator_list)]
        runtime = runtime_docs(cls, name)
        assert docs == (runtime if len(runtime) > 1 else runtime * len(docs)), name


def test_usage_type_checks_and_runs(tmp_path):
    result = run("mypy", "--strict", "--cache-dir", str(tmp_path), str(HERE / "typing_usage.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    runpy.run_path(str(HERE / "typing_usage.py"))


def test_wrong_calls_are_flagged(tmp_path):
    bad = ["m.find(1)", "m[1]", "m.query(['a'])", "m.update([('a', ['x'])])", "m.setdefault('k')",
           "m.keys().add('x')", "vornic.Vornic.from_dict(m)", "vornic.Object('k', ['a'])"]
    (tmp_path / "bad.py").write_text("import vornic\nm = vornic.Vornic()\n" + "\n".join(bad) + "\n")
    result = run("mypy", "--cache-dir", str(tmp_path), "bad.py", cwd=tmp_path)
    flagged = {int(n) for n in re.findall(r"^bad\.py:(\d+): error", result.stdout, re.M)}
    assert flagged == set(range(3, 3 + len(bad))), result.stdout
