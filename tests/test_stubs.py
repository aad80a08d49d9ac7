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
# Stub spellings of the types that the runtime signatures render.
ALIASES = {"_Str": "str", "_K": "str", "_Tags": "Iterable", "_V": "Iterable", "AbstractSet": "Set"}


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, **kw)


def stub_functions(cls):
    """Name -> the stub's definitions (overloads, property getter and setter) in class cls."""
    [body] = [c.body for c in ast.parse(STUB.read_text()).body if getattr(c, "name", "") == cls.__name__]
    functions = collections.defaultdict(list)
    for f in body:
        if isinstance(f, ast.FunctionDef):
            functions[f.name].append(f)
    return functions


def origin(annotation):
    """Outer type name: 'collections.abc.Iterable' and 'Iterable[_Str]' both give 'Iterable'."""
    name = re.split(r"[\[ |]", annotation)[0].rsplit(".", 1)[-1]
    return ALIASES.get(name, name)


def runtime_signatures(cls, name):
    """([(name, type, has_default)], result) per overload, from the generated docstrings."""
    attr = getattr(cls, name)
    if isinstance(attr, property):  # getter and setter, documented without the name
        docs = [name + f.__doc__ for f in (attr.fget, attr.fset)]
    else:  # an overloaded function lists its overloads after a generic first line
        docs = [d for d in re.findall(rf"^(?:\d+\. )?({name}\(.*)$", attr.__doc__, re.M) if "**" not in d]
    sigs = [re.match(rf"{name}\((.*)\) -> (.*)", doc).groups() for doc in docs]
    return [([re.match(r"(\*?\w+)(?:: ([^=]+?))?( = .*)?$", p).groups() for p in params.split(", ")], result)
            for params, result in sigs]


def stub_signatures(func_defs):
    for f in func_defs:
        a, params = f.args, f.args.posonlyargs + f.args.args
        first_default = len(params) - len(a.defaults)
        sig = [(p.arg, p.annotation and ast.unparse(p.annotation), i >= first_default) for i, p in enumerate(params)]
        yield sig + ([("*" + a.vararg.arg, None, False)] if a.vararg else []), ast.unparse(f.returns)


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
                    assert origin(s_type) == origin(r_type), (name, r_type)
            if r_result != "object":
                assert origin(s_result) == origin(r_result), (name, r_result)


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
