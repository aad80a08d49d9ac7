"""Typical use of vornic: test_stubs.py type-checks it with mypy --strict
against the shipped stub, and runs it so that it stays valid code."""

from typing import assert_type

import vornic

m = vornic.Vornic({"a.txt": ["text", "alice"], "b.png": {"image", "bob"}})
assert_type(vornic.Vornic(["k"], [("x", "y")]), vornic.Vornic)
assert_type(vornic.Vornic([("k", ["x"]), (b"raw", frozenset({"y"}))]), vornic.Vornic)
assert_type(m.from_keys_values(iter(["k"]), [["x"]]), vornic.Vornic)
assert_type(vornic.Vornic.from_dict({b"k": "xy"}), vornic.Vornic)
m["c.txt"] = ("text", "bob")
m.update({"d.png": ["image"]})
assert_type([key for key in m if key in m], list[str])
assert_type(m["a.txt"], set[str])
assert_type(m.items(), list[tuple[str, set[str]]])
assert_type(m.values(), list[set[str]])
assert_type(m.to_dict(), dict[str, set[str]])
assert_type(m.get("nope"), set[str] | None)
assert_type(m.pop("nope", 0), set[str] | int)
assert_type(m.setdefault("e", ["x"]), set[str])
assert_type(m.popitem(), tuple[str, set[str]])

m.add_tag("a.txt", "draft")
m.add_tags(b"a.txt", {"x", "y"})
m.remove_tag("a.txt", "x")
m.discard_tag("a.txt", bytearray(b"y"))
assert_type(m.has_tag("a.txt", "draft"), bool)
assert_type(m.query("text", b"bob") | m.find_any(t for t in ("image", "text")), set[str])
assert_type(m.count({"text"}) + m.count_any(["image"]), int)
assert_type(m.erase_where(["draft"]) + m.retain_where_any(["text", "image"]), list[str])
assert_type(m.erase(m.keys()[0]), set[str])

o = vornic.Object("k", {"x"})
o.data = b"k2"
o.tags = frozenset({"y"})
o.tags = {"a": 1}.keys()
assert_type(o.data, str)
assert_type(o.tags, set[str])
