import pytest

from vornic import Object


def test_empty_construction():
    o = Object()
    assert o.data == ""
    assert o.tags == set()


def test_reads_return_copies():
    o = Object("k", {"x", "y"})
    o.tags.add("z")
    assert o.tags == {"x", "y"}
    assert o.tags is not o.tags


@pytest.mark.parametrize(
    "tags, expected",
    [
        (frozenset({"x"}), {"x"}),
        ({"x": 1, "y": 2}.keys(), {"x", "y"}),
        ({b"x", "z"}, {"x", "z"}),
        (set(), set()),
    ],
)
def test_accepted_tag_sets(tags, expected):
    assert Object("k", tags).tags == expected
    o = Object()
    o.tags = tags
    assert o.tags == expected
    assert type(o.tags) is set


@pytest.mark.parametrize("tags", [["x"], ("x",), "x", {"x", 1}, (t for t in ["x"])])
def test_rejected_tag_sets(tags):
    with pytest.raises(TypeError):
        Object("k", tags)
    o = Object("k", {"t"})
    with pytest.raises(TypeError):
        o.tags = tags
    assert o.tags == {"t"}


def test_bytes_round_trip_to_equal_str():
    o = Object("ké".encode(), {"tä".encode()})
    assert (o.data, o.tags) == ("ké", {"tä"})
    o.data = bytearray(b"n")
    assert o.data == "n"


def test_invalid_utf8_is_stored_but_fails_on_read():
    o = Object(b"\xff", {b"\xfe"})
    with pytest.raises(UnicodeDecodeError):
        o.data
    with pytest.raises(UnicodeDecodeError):
        o.tags
    o.data = "fine"
    assert o.data == "fine"
