import copy
import importlib
import os
import pickle
import pydoc
import re
import subprocess
import sys

import pytest

import vornic
from fuzz.model import check_consistent
from vornic import Object, Vornic

# The rendered signatures are part of the public interface: callers read them
# in help() and IDEs. One line per overload, in registration order; the last
# rows of each class are the hooks of pickle and copy.
OBJECT_SIGNATURES = """\
__init__(self: vornic.Object) -> None
__init__(self: vornic.Object, data: str, tags: collections.abc.Set[str]) -> None
data(self: vornic.Object) -> str
data(self: vornic.Object, arg0: str) -> None
tags(self: vornic.Object) -> set[str]
tags(self: vornic.Object, arg0: collections.abc.Set[str]) -> None
__reduce__(self: object) -> object""".splitlines()

_S = "self: vornic.Vornic"
_IT = "collections.abc.Iterable[str]"
_D = f"dict[str, {_IT}]"
VORNIC_SIGNATURES = f"""\
__init__({_S}) -> None
__init__({_S}, d: {_D}) -> None
__init__({_S}, keys: {_IT}, values: collections.abc.Iterable[{_IT}]) -> None
__init__({_S}, items: collections.abc.Iterable[tuple[str, {_IT}]]) -> None
from_keys_values(keys: {_IT}, values: collections.abc.Iterable[{_IT}]) -> vornic.Vornic
from_dict(d: {_D}) -> vornic.Vornic
__len__({_S}) -> int
__bool__({_S}) -> bool
__contains__({_S}, key: str) -> bool
__iter__({_S}) -> collections.abc.Iterator[str]
__str__({_S}) -> str
__repr__({_S}) -> str
__getitem__({_S}, key: str) -> set[str]
__setitem__({_S}, key: str, tags: {_IT}) -> None
__delitem__({_S}, key: str) -> None
clear({_S}) -> None
keys({_S}) -> list[str]
values({_S}) -> list[set[str]]
items({_S}) -> list[tuple[str, set[str]]]
tags({_S}) -> list[str]
to_dict({_S}) -> dict[str, set[str]]
get({_S}, key: str, default: object = None) -> object
setdefault({_S}, key: str, default: {_IT}) -> set[str]
pop({_S}, key: str, default: object = None) -> object
popitem({_S}) -> tuple[str, set[str]]
update({_S}, d: {_D}) -> None
add_tag({_S}, key: str, tag: str) -> None
add_tags({_S}, key: str, tags: {_IT}) -> None
remove_tag({_S}, key: str, tag: str) -> None
discard_tag({_S}, key: str, tag: str) -> None
has_tag({_S}, key: str, tag: str) -> bool
find({_S}, tags: {_IT}) -> set[str]
query({_S}, *args: str) -> set[str]
find_any({_S}, tags: {_IT}) -> set[str]
query_any({_S}, *args: str) -> set[str]
count({_S}, tags: {_IT}) -> int
count_any({_S}, tags: {_IT}) -> int
retain_where({_S}, tags: {_IT}) -> list[str]
retain_where_any({_S}, tags: {_IT}) -> list[str]
erase({_S}, key: str) -> set[str]
discard({_S}, key: str) -> bool
erase_where({_S}, tags: {_IT}) -> list[str]
__reduce__(self: object) -> object
__reduce_ex__(self: object, protocol: typing.SupportsInt | typing.SupportsIndex) -> object
__setstate__(self: vornic.Vornic, state: object) -> None""".splitlines()

# Attributes every class gets from Python or from the binding library itself.
NOT_ROWS = {"__doc__", "__module__", "_pybind11_conduit_v1_"}


def rendered_signatures(cls):
    lines = []
    for name, attr in vars(cls).items():
        if name in NOT_ROWS:
            continue
        if isinstance(attr, property):
            lines += [name + attr.fget.__doc__.splitlines()[0], name + attr.fset.__doc__.splitlines()[0]]
            continue
        doc = getattr(cls, name).__doc__
        overloads = re.findall(r"^\d+\. (.*)$", doc, re.M)
        lines += overloads if doc.startswith(f"{name}(*args, **kwargs)\nOverloaded function.") else [doc.splitlines()[0]]
    return lines


def test_module_docstring():
    assert vornic.__doc__ == "vornic: fast tagged object map (pybind interface)"


def test_second_import_yields_cached_module():
    cls = vornic.Vornic
    del sys.modules["vornic"]
    try:
        again = importlib.import_module("vornic")
    finally:
        sys.modules["vornic"] = vornic
    assert again is vornic
    assert again.Vornic is cls


def test_listing_order_follows_the_interpreters_hash_seed():
    # Tables are hashed under a key taken from the interpreter's own secret, so
    # that nobody can craft colliding keys, yet one seed gives one order.
    code = "import vornic; m = vornic.Vornic({f'k{i}': [f't{i}'] for i in range(40)}); print(m.keys(), m.tags())"

    def listing(seed):
        env = {**os.environ, "PYTHONHASHSEED": seed}
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout

    assert listing("0") == listing("0") != listing("1")


@pytest.mark.parametrize("cls, expected", [(Object, OBJECT_SIGNATURES), (Vornic, VORNIC_SIGNATURES)])
def test_signatures_in_registration_order(cls, expected):
    assert rendered_signatures(cls) == expected


def test_help_shows_signatures():
    text = pydoc.render_doc(Vornic, renderer=pydoc.plaintext)
    assert "get(self: vornic.Vornic, key: str, default: object = None) -> object" in text


@pytest.mark.parametrize(
    "cls, use",
    [
        (Vornic, len),
        (Vornic, str),
        (Vornic, lambda m: m["a"]),
        (Vornic, lambda m: m.__setitem__("a", ["x"])),
        (Object, lambda o: o.data),
        (Object, lambda o: setattr(o, "tags", {"x"})),
        (Vornic, pickle.dumps),
        (Object, copy.copy),
    ],
)
def test_instance_without_init_refuses_use(cls, use):
    bare = cls.__new__(cls)
    with pytest.raises(TypeError, match="not initialized"):
        use(bare)


class TwiceInitialised(Vornic):
    def __init__(self, first, second):
        super().__init__(first)
        super().__init__(second)


def test_second_init_replaces_contents_unless_it_fails():
    m, o = Vornic({"a": ["x"]}), Object("k", {"t"})
    keys_before = iter(m)
    for args, expected in [(({"b": ["y"]},), {"b": {"y"}}), ((["c"], [["z"]]), {"c": {"z"}}), ((), {}),
                           (([("d", ["x", "w"])],), {"d": {"x", "w"}})]:
        assert m.__init__(*args) is None and m.to_dict() == expected
        check_consistent(m)
    assert list(keys_before) == ["a"]

    def failing_midway():
        yield "d", ["v"]
        raise ValueError("midway")

    for args, error in [((failing_midway(),), ValueError), ((5,), TypeError), (({"e": ["t", 1]},), RuntimeError)]:
        with pytest.raises(error):
            m.__init__(*args)
        assert m.to_dict() == {"d": {"x", "w"}} and m.find(["x"]) == {"d"}
    o.__init__("other", {"y"})
    with pytest.raises(TypeError):
        o.__init__("k", ["a list"])
    assert (o.data, o.tags) == ("other", {"y"})
    o.__init__()
    assert (o.data, o.tags) == ("", set())
    twice = TwiceInitialised({"a": ["x"]}, {"b": ["y"]})
    assert twice.to_dict() == {"b": {"y"}} and twice.find(["x"]) == set()
