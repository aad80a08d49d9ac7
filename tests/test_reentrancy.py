"""A __del__ run by the garbage collector in the middle of a call must not
change the map under the method that is walking it."""

import gc

import pytest

import vornic

OPERATIONS = {
    "values": lambda m: m.values(),
    "items": lambda m: m.items(),
    "to_dict": lambda m: m.to_dict(),
    "str": str,
    "erase_where": lambda m: m.erase_where(["a"]),
    "retain_where": lambda m: m.retain_where(["a"]),
    "retain_where_any": lambda m: m.retain_where_any(["a", "t1"]),
    "popitem": lambda m: m.popitem(),
    "erase": lambda m: m.erase("k0"),
    "pop": lambda m: m.pop("k0"),
    "getitem": lambda m: m["k0"],
    "get": lambda m: m.get("k0"),
}


class _Bomb:
    """Cyclic garbage whose finaliser rewrites the map."""

    def __init__(self, m):
        self.m = m
        self.me = self

    def __del__(self):
        self.m.clear()
        for i in range(50):
            self.m[f"n{i}"] = ["a"]
        self.m["k0"] = ["a"]  # the key the single-key calls use


@pytest.fixture
def low_gc_threshold():
    old = gc.get_threshold()
    gc.set_threshold(100)
    yield
    gc.set_threshold(*old)


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_finaliser_during_call_cannot_corrupt(name, low_gc_threshold):
    m = vornic.Vornic()
    for _ in range(30):
        for i in range(2000):
            m[f"k{i}"] = ["a", f"t{i % 7}"]
        _Bomb(m)
        OPERATIONS[name](m)
    gc.collect()
    for key in m:
        assert m.find(m[key]) >= {key}
    assert set(m.tags()) == set().union(*m.values())


@pytest.mark.parametrize("name", ["find", "find_any"])
def test_no_collection_between_search_and_answer(name):
    """The tags iterable leaves cyclic garbage behind and lowers the threshold
    so that allocating the answer set would run the collection while the
    matches found still point into the map."""
    m = vornic.Vornic({f"k{i}": ["a"] for i in range(100)})
    ran = []

    class Bomb(_Bomb):
        def __del__(self):
            ran.append(True)
            super().__del__()

    def tags(slack):
        yield "a"
        Bomb(m)
        ran.clear()
        gc.set_threshold(gc.get_count()[0] + slack)

    old = gc.get_threshold()
    try:
        for slack in range(4):
            gc.collect()
            answer = getattr(m, name)(tags(slack))
            during_call = bool(ran)
            gc.set_threshold(*old)
            gc.collect()
            assert not during_call
            assert answer == {f"k{i}" for i in range(100)}
            m.clear()
            m.update({f"k{i}": ["a"] for i in range(100)})
    finally:
        gc.set_threshold(*old)
