import itertools

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from vornic import Vornic

# Small alphabets so that keys collide and tags are shared; "" and non-ASCII
# (and a NUL) are ordinary strings to the map.
KEYS = ["", "a", "b", "é", "ключ", "k\x00"]
TAGS = ["", "x", "y", "xy", "ß", "标签"]
PROBES = [(), ("zz",), ("x", "zz"), tuple(TAGS[:3]), *itertools.combinations(TAGS, 1),
          *itertools.combinations(TAGS, 2)]

# A key may be passed as its UTF-8 bytes: it names the same entry.
keys = st.sampled_from(KEYS).flatmap(lambda k: st.sampled_from([k, k.encode()]))
tags = st.sampled_from(TAGS)
tag_lists = st.lists(tags, max_size=4) | st.lists(tags, max_size=4).map(tuple) | st.sets(tags)


def text(key):
    return key.decode() if isinstance(key, bytes) else key


BUILDERS = {
    "dict": lambda d: Vornic(d),
    "keys_values": lambda d: Vornic(list(d), [sorted(t) for t in d.values()]),
    "items": lambda d: Vornic([(k, list(t)) for k, t in d.items()]),
    "zip": lambda d: Vornic(zip(d, d.values())),
    "from_dict": lambda d: Vornic.from_dict(d),
    "from_keys_values": lambda d: Vornic.from_keys_values(iter(d), (iter(t) for t in d.values())),
}


class VornicMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = Vornic()
        self.model = {}

    def store(self, key, new_tags):
        if new_tags:
            self.model[key] = set(new_tags)
        else:
            self.model.pop(key, None)

    def all_of(self, query):
        return {k for k, t in self.model.items() if set(query) <= t}

    def any_of(self, query):
        return {k for k, t in self.model.items() if t & set(query)} if query else set(self.model)

    @rule(key=keys, new_tags=tag_lists)
    def setitem(self, key, new_tags):
        self.m[key] = new_tags
        self.store(text(key), new_tags)

    @rule(key=keys, method=st.sampled_from(["erase", "__delitem__"]))
    def erase(self, key, method):
        if text(key) in self.model:
            removed = self.model.pop(text(key))
            assert getattr(self.m, method)(key) == (removed if method == "erase" else None)
        else:
            with pytest.raises(KeyError, match="^'key not found: "):
                getattr(self.m, method)(key)

    @rule()
    def clear(self):
        self.m.clear()
        self.model.clear()

    @rule(key=keys, default=tag_lists)
    def setdefault(self, key, default):
        expected = self.model.get(text(key), set(default))
        assert self.m.setdefault(key, default) == expected
        self.store(text(key), expected)

    @rule(key=keys)
    def pop(self, key):
        missing = object()
        got = self.m.pop(key, missing)
        assert got == self.model.pop(text(key), missing)

    @rule()
    def popitem(self):
        if not self.model:
            with pytest.raises(KeyError, match="popitem\\(\\): Vornic is empty"):
                self.m.popitem()
            return
        first = self.m.keys()[0]
        key, got = self.m.popitem()
        assert key == first
        assert got == self.model.pop(key)

    @rule(d=st.dictionaries(keys, tag_lists, max_size=3))
    def update(self, d):
        self.m.update(d)
        for key, new_tags in d.items():
            self.store(text(key), new_tags)

    @rule(key=keys, tag=tags)
    def add_tag(self, key, tag):
        self.m.add_tag(key, tag)
        self.store(text(key), self.model.get(text(key), set()) | {tag})

    @rule(key=keys, new_tags=tag_lists)
    def add_tags(self, key, new_tags):
        self.m.add_tags(key, new_tags)
        self.store(text(key), self.model.get(text(key), set()) | set(new_tags))

    @rule(key=keys, tag=tags)
    def remove_tag(self, key, tag):
        current = self.model.get(text(key))
        if current is None or tag not in current:
            with pytest.raises(KeyError, match="^'(key|tag) not found: "):
                self.m.remove_tag(key, tag)
        else:
            self.m.remove_tag(key, tag)
            self.store(text(key), current - {tag})

    @rule(key=keys, tag=tags)
    def discard_tag(self, key, tag):
        self.m.discard_tag(key, tag)
        if text(key) in self.model:
            self.store(text(key), self.model[text(key)] - {tag})

    @rule(query=tag_lists, any_of=st.booleans())
    def retain(self, query, any_of):
        kept = (self.m.retain_where_any if any_of else self.m.retain_where)(query)
        expected = self.any_of(query) if any_of else self.all_of(query)
        assert sorted(kept) == sorted(expected)
        self.model = {k: self.model[k] for k in expected}

    @rule(key=keys)
    def discard(self, key):
        assert self.m.discard(key) is (self.model.pop(text(key), None) is not None)

    @rule(query=tag_lists)
    def erase_where(self, query):
        expected = self.all_of(query) if query else set()
        assert sorted(self.m.erase_where(query)) == sorted(expected)
        self.model = {k: t for k, t in self.model.items() if k not in expected}

    @rule(adopt=st.sampled_from(sorted(BUILDERS)))
    def rebuild(self, adopt):
        for name, build in BUILDERS.items():
            built = build(self.model)
            assert built.to_dict() == self.model, name
            if name == adopt:
                self.m = built

    @invariant()
    def entries_agree(self):
        assert self.m.to_dict() == self.model
        assert len(self.m) == len(self.model)
        assert sorted(self.m.tags()) == sorted(set().union(*self.model.values()))

    @invariant()
    def queries_agree(self):
        for query in PROBES:
            all_of, any_of = self.all_of(query), self.any_of(query)
            assert self.m.find(query) == self.m.query(*query) == all_of, query
            assert self.m.find_any(query) == self.m.query_any(*query) == any_of, query
            assert self.m.count(query) == len(all_of), query
            assert self.m.count_any(query) == len(any_of), query


TestVornicMachine = VornicMachine.TestCase
TestVornicMachine.settings = settings(max_examples=300, stateful_step_count=40)
