import itertools

import pytest

from vornic import Vornic

# "ab" is a tag of its own so that a two-character string can be told apart
# from the two single-character tags it iterates into.
ENTRIES = {
    "k1": {"a", "b"},
    "k2": {"a"},
    "k3": {"b", "c"},
    "k4": {"c", "ab"},
    "ключ": {"é", "a"},
    "k6": {"d"},
}
CAST_ERROR = (
    "Unable to cast Python instance of type <class 'list'> to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)
TAG_SETS = [["a"], ["a", "b"], ["b", "c", "z"], ["z"], ["é"], ["ab", "a"], ["a", "b", "c", "d"]]


@pytest.fixture
def m():
    return Vornic(ENTRIES)


def all_of(tags):
    return {k for k, t in ENTRIES.items() if set(tags) <= t}


def any_of(tags):
    return {k for k, t in ENTRIES.items() if set(tags) & t} if tags else set(ENTRIES)


def assert_consistent(m, expected):
    assert m.to_dict() == expected
    assert sorted(m.tags()) == sorted(set().union(*expected.values()))


@pytest.mark.parametrize(
    "ask",
    [
        lambda m, t: m.find(t),
        lambda m, t: m.find_any(t),
        lambda m, t: set(m.retain_where(t)),
        lambda m, t: set(m.retain_where_any(t)),
    ],
    ids=["find", "find_any", "retain_where", "retain_where_any"],
)
def test_empty_tags_select_every_key_and_remove_nothing(m, ask, as_iterable):
    assert ask(m, as_iterable([])) == set(ENTRIES)
    assert_consistent(m, ENTRIES)


def test_empty_tags_counts_and_positional_queries(m, as_iterable):
    assert m.count(as_iterable([])) == m.count_any(as_iterable([])) == len(ENTRIES)
    assert m.query() == m.query_any() == set(ENTRIES)
    assert m.erase_where(as_iterable([])) == []
    assert_consistent(m, ENTRIES)


def test_unknown_tags_and_overlapping_any_of_matches(m):
    assert m.find(["a", "z"]) == set()
    assert m.count(["a", "z"]) == 0
    assert m.find_any(["a", "z"]) == m.find_any(["a"]) == all_of(["a"])
    assert m.count_any(["z"]) == 0
    # k1 carries both a and b and is counted once.
    assert m.count_any(["a", "b"]) == len({"k1", "k2", "k3", "ключ"})
    assert m.find_any(["a", "b", "c"]) == {"k1", "k2", "k3", "k4", "ключ"}


def test_positional_queries_take_one_tag_per_argument(m):
    assert m.query("a", "b") == m.find(["a", "b"]) == {"k1"}
    assert m.query("a", "a", "b") == {"k1"}
    assert m.query("ab") == {"k4"}
    assert m.find("ab") == {"k1"}
    assert m.query_any("ab", "d") == {"k4", "k6"}
    assert m.query(b"a", bytearray(b"b")) == {"k1"}


@pytest.mark.parametrize("method", ["query", "query_any"])
def test_positional_query_rejects_a_list_argument(m, method):
    with pytest.raises(RuntimeError) as caught:
        getattr(m, method)(["a", "b"])
    assert str(caught.value) == CAST_ERROR


@pytest.mark.parametrize("tags", TAG_SETS)
def test_answers_agree_with_a_plain_model_for_every_iterable(m, tags, as_iterable):
    assert m.find(as_iterable(tags)) == all_of(tags)
    assert m.find_any(as_iterable(tags)) == any_of(tags)
    assert m.count(as_iterable(tags)) == len(all_of(tags))
    assert m.count_any(as_iterable(tags)) == len(any_of(tags))
    assert m.query(*tags) == all_of(tags)
    assert m.query_any(*tags) == any_of(tags)


@pytest.mark.parametrize("tags", TAG_SETS)
@pytest.mark.parametrize("method, match", [("retain_where", all_of), ("retain_where_any", any_of)])
def test_retain_keeps_exactly_what_it_returns(m, method, match, tags):
    kept = getattr(m, method)(tags)
    assert sorted(kept) == sorted(match(tags))
    assert_consistent(m, {k: ENTRIES[k] for k in kept})


@pytest.mark.parametrize("tags", TAG_SETS)
def test_erase_where_removes_each_match_once(m, tags):
    before = m.find(tags)
    removed = m.erase_where(tags)
    assert sorted(removed) == sorted(before)
    assert_consistent(m, {k: t for k, t in ENTRIES.items() if k not in before})


@pytest.mark.parametrize(
    "method, arg, gone",
    [
        ("retain_where", ["a"], {"c", "ab", "d"}),
        ("retain_where_any", ["d"], {"a", "b", "c", "ab", "é"}),
        ("erase_where", ["c"], {"c", "ab"}),
        ("erase", "k6", {"d"}),
        ("discard", "ключ", {"é"}),
    ],
)
def test_tags_of_removed_entries_leave_the_tag_list(m, method, arg, gone):
    getattr(m, method)(arg)
    assert not gone & set(m.tags())
    assert_consistent(m, m.to_dict())


def test_erase_and_discard_remove_the_key(m):
    expected = m["k1"]
    assert m.erase("k1") == expected
    assert "k1" not in m
    assert m.erase(b"k2") == {"a"}
    with pytest.raises(KeyError) as caught:
        m.erase("missing")
    assert caught.value.args == ("key not found: missing",)
    assert m.discard("k3") is True
    assert m.discard("k3") is False
    assert_consistent(m, {k: t for k, t in ENTRIES.items() if k not in ("k1", "k2", "k3")})


# Entries whose key or tag came in as bytes that are not UTF-8. A removal that
# has to hand such a key or tag back must fail before it removes anything.
BAD = b"\xff\xfe"


# Everything about m over these keys and tags, without decoding any of them.
def snapshot(m, keys, tags):
    return (
        len(m),
        [k in m for k in keys],
        [m.count([t]) for t in tags],
        [m.has_tag(k, t) for k, t in itertools.product(keys, tags)],
    )


@pytest.mark.parametrize(
    "entries, remove",
    [
        ({"k": [BAD, "a"], "j": ["a"]}, lambda m: m.erase("k")),
        ({BAD: ["a"], "j": ["a", "b"]}, lambda m: m.erase_where(["a"])),
        ({BAD: ["a"], "j": ["a", "b"]}, lambda m: m.retain_where(["a"])),
        ({BAD: ["a"], "j": ["b"], "i": ["c"]}, lambda m: m.retain_where_any(["a", "b"])),
    ],
    ids=["erase", "erase_where", "retain_where", "retain_where_any"],
)
def test_removal_that_cannot_decode_its_result_changes_nothing(entries, remove):
    m = Vornic(list(entries.items()))
    keys = [*entries, "i", "j", "k"]
    tags = [BAD, "a", "b", "c"]
    before = snapshot(m, keys, tags)
    with pytest.raises(UnicodeDecodeError):
        remove(m)
    assert snapshot(m, keys, tags) == before


def test_any_of_many_tags_agrees_with_model():
    # Enough records, most under several of the tags, that the searches and
    # removals order them by their radix sort rather than a comparison sort.
    data = {f"k{i}": {f"t{i % 17}", f"t{i % 5}", "common"} for i in range(300)}
    m = Vornic(data)
    for n in (2, 8, 9, 12, 17):
        tags = [f"t{j}" for j in range(n)] + ["unknown"]
        expected = {k for k, v in data.items() if v & set(tags)}
        assert m.find_any(tags) == m.query_any(*tags) == expected
        assert m.count_any(tags) == len(expected)
    assert m.count_any([f"t{j}" for j in range(17)] + ["common"]) == 300
    kept = {k for k, v in data.items() if v & {"t1", "t2"}}
    assert sorted(m.retain_where_any(["t1", "t2"])) == sorted(kept) == sorted(m)
