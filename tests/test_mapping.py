import pickle
import types

import pytest

from vornic import Vornic

CAST_INT = (
    "Unable to cast Python instance of type <class 'int'> to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


@pytest.fixture
def m():
    return Vornic({"a": ["x", "y"], "b": ["y"], "c": ["z"]})


def test_empty_container():
    e = Vornic()
    assert (len(e), bool(e), list(e)) == (0, False, [])
    assert e.keys() == e.values() == e.items() == e.tags() == []
    assert e.to_dict() == {}
    assert str(e) == repr(e) == "Vornic({})"
    with pytest.raises(KeyError) as err:
        e.popitem()
    assert err.value.args[0] == "popitem(): Vornic is empty"


def test_lookup_returns_a_copy(m):
    tags = m["a"]
    tags.add("q")
    assert m["a"] == {"x", "y"}
    assert type(m["a"]) is set


def test_assignment_replaces(m, as_iterable):
    m["a"] = as_iterable(["p", "q"])
    assert m["a"] == {"p", "q"}
    assert sorted(m.tags()) == ["p", "q", "y", "z"]


def test_empty_assignment_deletes(m, as_iterable):
    m["c"] = as_iterable([])
    assert "c" not in m and len(m) == 2
    assert "z" not in m.tags()
    m["absent"] = as_iterable([])
    assert "absent" not in m and len(m) == 2


@pytest.mark.parametrize("op", [lambda m, k: m[k], lambda m, k: m.__delitem__(k)])
@pytest.mark.parametrize(
    "key, shown",
    [("k", "k"), ("a\x00b", "a\x00b"), (b"\xff", "\\xff"), (b"k\xc3", "k\\xc3"), ("\u00e9", "\u00e9")],
)
def test_missing_key_error_text(m, op, key, shown):
    with pytest.raises(KeyError) as e:
        op(m, key)
    assert e.value.args == ("key not found: " + shown,)
    assert len(m) == 3


@pytest.mark.parametrize("method", ["get", "pop"])
def test_get_pop_absent_key_returns_default_itself(m, method):
    sentinel = object()
    assert getattr(m, method)("nope", sentinel) is sentinel
    assert getattr(m, method)("nope") is getattr(m, method)("nope", default=None) is None
    assert len(m) == 3


def test_get_and_pop_present(m):
    assert m.get("a", object()) == {"x", "y"}
    assert m.pop("c", object()) == {"z"}
    assert "c" not in m.keys() and "z" not in m.tags()


def test_setdefault(m, as_iterable):
    # a present key ignores the default beyond requiring it to be iterable
    assert m.setdefault("a", ["q"]) == m.setdefault("a", [1]) == {"x", "y"}
    with pytest.raises(TypeError):
        m.setdefault("a", 5)
    with pytest.raises(TypeError):
        m.setdefault("a")
    assert m["a"] == {"x", "y"}
    assert m.setdefault("n", as_iterable([])) == set()
    assert "n" not in m
    assert m.setdefault("n", as_iterable(["p"])) == {"p"}
    assert m["n"] == {"p"}
    with pytest.raises(RuntimeError):
        m.setdefault("bad", [1])
    assert "bad" not in m


def test_popitem_takes_first_key(m):
    while m:
        first = m.keys()[0]
        tags = m[first]
        assert m.popitem() == (first, tags)
        assert first not in m
    assert m.tags() == []
    with pytest.raises(KeyError):
        m.popitem()


def test_large_listings_share_the_order_popitem_takes():
    # Large enough that the table is walked from many places at once.
    m = Vornic({f"k{i}": [f"t{i % 7}", "all"] for i in range(40_000)})
    keys = m.keys()
    assert list(m) == keys == list(m.to_dict()) == [key for key, _ in m.items()]
    assert m.values() == [tags for _, tags in m.items()]
    # Until as many nodes were freed as remain, nothing moves and popitem
    # follows the listing; past that a removal may move the map into memory of
    # its size, and the drain goes on in the new listing order.
    third = len(keys) // 3
    assert [m.popitem()[0] for _ in range(third)] == keys[:third]
    rest = [m.popitem()[0] for _ in keys[third:]]
    assert sorted(rest) == sorted(keys[third:]) and not m


def test_update_replaces_and_deletes(m):
    m.update({"a": ["q"], "c": [], "n": "st"})
    assert m.to_dict() == {"a": {"q"}, "b": {"y"}, "n": {"s", "t"}}


@pytest.mark.parametrize("bad_item", [{2: ["u"]}, {"n2": [1]}])
def test_update_keeps_items_before_failure(m, bad_item):
    with pytest.raises(RuntimeError) as e:
        m.update({"n1": ["t"], **bad_item, "n3": ["v"]})
    assert str(e.value) == CAST_INT
    assert "n1" in m and "n2" not in m and "n3" not in m


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.update([("a", ["q"])]),
        lambda m: m.update(types.MappingProxyType({"a": ["q"]})),
        lambda m: m.update(Vornic({"a": ["q"]})),
        lambda m: m.__setitem__("a", 5),
        lambda m: m.__setitem__(1, ["q"]),
        lambda m: m.get(1),
        lambda m: 1 in m,
    ],
)
def test_wrong_argument_kinds_raise_type_error(m, call):
    before = m.to_dict()
    with pytest.raises(TypeError):
        call(m)
    assert m.to_dict() == before


def test_listings_line_up():
    m = Vornic({f"k{i}": [f"t{i % 7}", f"u{i % 3}"] for i in range(40)})
    keys = m.keys()
    assert list(m) == keys
    assert m.values() == [m[k] for k in keys]
    assert m.items() == list(zip(keys, m.values()))
    assert list(m.to_dict().items()) == m.items()
    assert str(m) == repr(m) == "Vornic(" + str(m.to_dict()) + ")"


def test_delete_everything_while_iterating(m):
    for key in m:
        del m[key]
    assert len(m) == 0 and m.tags() == []


def test_bytes_key_reaches_str_entry(m):
    assert b"a" in m and bytearray(b"a") in m
    assert m[b"a"] == {"x", "y"}
    m[bytearray(b"a")] = ["w"]
    assert m.to_dict() == {"a": {"w"}, "b": {"y"}, "c": {"z"}}


def test_clear(m):
    m.clear()
    assert len(m) == 0 and m.tags() == []
    assert not any(k in m for k in "abc")
    m["a"] = ["x"]
    assert m.to_dict() == {"a": {"x"}}


# An entry stored from invalid UTF-8 bytes cannot be handed back as str. The
# call must fail before it removes or changes anything, not lose the entry.
@pytest.mark.parametrize(
    "key, tag, call",
    [
        (b"\xff", "t", lambda m: m.popitem()),
        ("k", b"\xff", lambda m: m.popitem()),
        ("k", b"\xff", lambda m: m.pop("k")),
        ("k", b"\xff", lambda m: m.pop("k", object())),
        ("k", b"\xff", lambda m: m.setdefault("k", ["ok"])),
        ("k", "t", lambda m: m.setdefault("new", [b"\xff"])),
    ],
)
def test_undecodable_entry_survives_failed_call(key, tag, call):
    m = Vornic()
    m[key] = [tag]
    with pytest.raises(UnicodeDecodeError):
        call(m)
    assert len(m) == 1 and key in m and m.has_tag(key, tag)


def test_a_map_shrunk_far_keeps_what_it_kept():
    # Most removed, the survivors scattered: the map moves into memory of its
    # own size, which neither results, a running iteration nor a pickle sees.
    m = Vornic({f"k{i}": [f"t{i % 7}", "keep" if i % 100 == 0 else "drop"] for i in range(40_000)})
    it = iter(m)
    seen = [next(it)]
    assert len(m.erase_where(["drop"])) == 39_600
    kept = {f"k{i}": {f"t{i % 7}", "keep"} for i in range(0, 40_000, 100)}
    assert m.to_dict() == kept
    assert m.find(["keep", "t3"]) == {k for k, tags in kept.items() if "t3" in tags}
    assert pickle.loads(pickle.dumps(m)).to_dict() == kept
    seen.extend(it)
    assert sorted(seen) == sorted(f"k{i}" for i in range(40_000))
    for key in list(kept)[:-1]:
        del m[key]
    assert m.to_dict() == {"k39900": {"t0", "keep"}}
