import pytest

from vornic import Vornic

ENTRIES = {"k": {"a", "c"}, "solo": {"s"}, "other": {"a"}}


@pytest.fixture
def m():
    return Vornic(ENTRIES)


def assert_entries(m, expected):
    assert m.to_dict() == expected
    assert sorted(m.tags()) == sorted(set().union(*expected.values()))


def test_add_tag_creates_an_absent_key(m):
    m.add_tag("new", "x")
    assert m["new"] == {"x"} and len(m) == len(ENTRIES) + 1
    assert m.find(["x"]) == {"new"}


@pytest.mark.parametrize(
    "method, args",
    [
        ("add_tag", ("k", "a")),
        ("add_tags", ("k", [])),
        ("add_tags", ("k", ["c", "a"])),
        ("add_tags", ("absent", [])),
        ("add_tags", ("absent", "")),
        ("discard_tag", ("absent", "a")),
        ("discard_tag", ("k", "x")),
        ("discard_tag", ("k", "s")),
    ],
)
def test_edits_that_change_nothing(m, method, args):
    assert getattr(m, method)(*args) is None
    assert_entries(m, ENTRIES)


@pytest.mark.parametrize(
    "key, tags, expected",
    [
        ("new", ["a", "a", "b"], {"a", "b"}),
        ("new", "ab", {"a", "b"}),
        ("k", ("b", "a"), {"a", "b", "c"}),
        ("k", "", {"a", "c"}),
        (b"k", [b"x", bytearray(b"y"), "é"], {"a", "c", "x", "y", "é"}),
    ],
)
def test_add_tags_merges_each_tag_once(m, key, tags, expected):
    m.add_tags(key, tags)
    assert_entries(m, {**ENTRIES, "new" if key == "new" else "k": expected})
    assert m.count(list(expected)) == 1


@pytest.mark.parametrize("method", ["remove_tag", "discard_tag"])
def test_removing_the_last_tag_removes_the_key(m, method):
    getattr(m, method)("solo", "s")
    assert "solo" not in m and len(m) == len(ENTRIES) - 1
    assert "s" not in m.tags() and m.count_any(["s"]) == 0
    getattr(m, method)("k", "a")
    assert_entries(m, {"k": {"c"}, "other": {"a"}})
    assert m.find(["a"]) == {"other"}


@pytest.mark.parametrize(
    "key, tag, message",
    [
        ("missing", "a", "key not found: missing"),
        ("k", "x", "tag not found: x"),
        ("k", "s", "tag not found: s"),
        ("missing", "x", "key not found: missing"),
    ],
)
def test_remove_tag_of_an_absent_key_or_tag(m, key, tag, message):
    with pytest.raises(KeyError) as caught:
        m.remove_tag(key, tag)
    assert caught.value.args == (message,)
    assert_entries(m, ENTRIES)


@pytest.mark.parametrize(
    "key, tag, expected",
    [("k", "a", True), (b"k", b"c", True), ("k", "s", False), ("missing", "a", False), ("", "", False)],
)
def test_has_tag(m, key, tag, expected):
    assert m.has_tag(key, tag) is expected
    assert_entries(m, ENTRIES)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda m: m.add_tag(1, "a"), TypeError),
        (lambda m: m.add_tags(1, ["a"]), TypeError),
        (lambda m: m.add_tags("k", 5), TypeError),
        (lambda m: m.add_tags("k", ["b", 1]), RuntimeError),
        (lambda m: m.add_tags("new", ["b", 1]), RuntimeError),
        (lambda m: m.remove_tag("k", 1.5), TypeError),
        (lambda m: m.discard_tag(None, "a"), TypeError),
        (lambda m: m.has_tag("k", 1), TypeError),
    ],
)
def test_arguments_of_the_wrong_kind_change_nothing(m, call, error):
    with pytest.raises(error):
        call(m)
    assert_entries(m, ENTRIES)
