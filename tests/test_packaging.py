"""What users of the installed package ask about: what ships, copying, pickling."""

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import pytest

import vornic

MAKE = {"Vornic": "vornic.Vornic({'k': ['x']})", "Object": "vornic.Object('k', {'x'})"}
COPIES = {"copy": "copy.copy", "deepcopy": "copy.deepcopy"}
COPIES |= {f"pickle-protocol-{p}": f"lambda o: pickle.dumps(o, {p})" for p in range(6)}


@pytest.mark.parametrize("args", [["quickstart.py"], ["file_catalog.py", "3000"]], ids=lambda a: a[0])
def test_example_runs(args):
    example = Path(__file__).parents[1] / "examples" / args[0]
    result = subprocess.run([sys.executable, example, *args[1:]], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout, result.stderr


def test_distribution_ships_module_and_stub():
    files = {str(f) for f in importlib.metadata.files("vornic")}
    assert "vornic-stubs/__init__.pyi" in files
    assert any(f.startswith("vornic.") and f.endswith(".so") for f in files)


# Each attempt runs in its own interpreter, so a crash is reported as a failure.
@pytest.mark.parametrize("op", sorted(COPIES))
@pytest.mark.parametrize("cls", sorted(MAKE))
def test_copy_and_pickle_raise_type_error(cls, op):
    code = f"""import copy, pickle, vornic
try:
    ({COPIES[op]})({MAKE[cls]})
except Exception as e:
    print(type(e).__name__, e)"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("TypeError") and cls in result.stdout, result.stdout


def test_changing_a_returned_tag_set_changes_nothing_stored():
    obj = vornic.Object("k", {"x"})
    obj.tags.add("y")
    assert obj.tags == {"x"}
    m = vornic.Vornic({"k": ["x"]})
    m["k"].add("y")
    m.to_dict()["k"].add("y")
    assert m["k"] == {"x"} and m.count(["y"]) == 0
