"""What users of the installed package ask about: what ships, copying, pickling."""

import copy
import importlib.metadata
import multiprocessing
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vornic

COPIES = {"copy": copy.copy, "deepcopy": copy.deepcopy}
COPIES |= {f"pickle-protocol-{p}": lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in range(6)}
# Bytes that are not UTF-8 stay bytes; "" is an ordinary key and tag.
ENTRIES = [{}, {"a": {"x", "y"}, b"\xff": {"x", b"\xfe"}, "é": {"x"}, "": {""}}]


@pytest.mark.parametrize(
    "args", [["quickstart.py"], ["file_catalog.py", "3000"], ["parallel_queries.py", "5000"]], ids=lambda a: a[0]
)
def test_example_runs(args):
    example = Path(__file__).parents[1] / "examples" / args[0]
    result = subprocess.run([sys.executable, example, *args[1:]], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout, result.stderr


def test_distribution_ships_module_and_stub():
    files = {str(f) for f in importlib.metadata.files("vornic")}
    assert "vornic-stubs/__init__.pyi" in files
    assert any(f.startswith("vornic.") and f.endswith(".so") for f in files)


def test_module_exports_only_its_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    table = subprocess.run([nm, "-D", "--defined-only", vornic.__file__], capture_output=True, text=True,
                           check=True).stdout
    assert [line.split()[-1] for line in table.splitlines() if line.strip()] == ["PyInit_vornic"]


def entries(m):
    """Every entry, read without decoding: keys and tags stored from bytes
    that are not UTF-8 come back as bytes."""
    keys, values = m.__reduce__()[1]
    return {key: set(tags) for key, tags in zip(keys, values)}


@pytest.mark.parametrize("op", sorted(COPIES))
def test_copies_are_equal_and_independent(op):
    for d in ENTRIES:
        m = vornic.Vornic(d)
        twin = COPIES[op](m)
        assert type(twin) is vornic.Vornic and entries(twin) == d
        assert twin.count(["x"]) == m.count(["x"])  # the copy has its own index
        twin["new"] = ["x"]
        assert "new" not in m
    for obj in [vornic.Object(), vornic.Object("k", {"x"}), vornic.Object(b"\xff", {"x", b"\xfe"})]:
        twin = COPIES[op](obj)
        assert type(twin) is vornic.Object and twin.__reduce__() == obj.__reduce__()


def entries_and_count(m):
    return entries(m), m.count(["x"])


def test_maps_travel_to_worker_processes():
    with multiprocessing.Pool(2) as pool:
        results = pool.map(entries_and_count, [vornic.Vornic(d) for d in ENTRIES])
    assert results == [(d, sum("x" in tags for tags in d.values())) for d in ENTRIES]


def test_changing_a_returned_tag_set_changes_nothing_stored():
    obj = vornic.Object("k", {"x"})
    obj.tags.add("y")
    assert obj.tags == {"x"}
    m = vornic.Vornic({"k": ["x"]})
    m["k"].add("y")
    m.to_dict()["k"].add("y")
    assert m["k"] == {"x"} and m.count(["y"]) == 0
