"""A __del__ run by the garbage collector in the middle of a call must not
change the map under the method that is walking it."""

import collections.abc
import gc
import threading

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


@pytest.mark.parametrize("name", ["find", "find_any", "tags"])
def test_no_collection_between_search_and_answer(name):
    """Cyclic garbage is left behind and the threshold lowered just before the
    answer is allocated (by the tags iterable, or right before the call), so
    that allocating it would run the collection while the map is being read."""
    m = vornic.Vornic({f"k{i}": ["a"] for i in range(100)})
    ran = []

    class Bomb(_Bomb):
        def __del__(self):
            ran.append(True)
            super().__del__()

    def arm(slack):
        Bomb(m)
        ran.clear()
        gc.set_threshold(gc.get_count()[0] + slack)

    def tags(slack):
        yield "a"
        arm(slack)

    calls = {"find": lambda slack: m.find(tags(slack)), "find_any": lambda slack: m.find_any(tags(slack)),
             "tags": lambda slack, list_tags=m.tags: arm(slack) or list_tags()}
    expected = {"a"} if name == "tags" else {f"k{i}" for i in range(100)}
    old = gc.get_threshold()
    try:
        for slack in range(4):
            gc.collect()
            answer = calls[name](slack)
            during_call = bool(ran)
            gc.set_threshold(*old)
            gc.collect()
            assert not during_call
            assert set(answer) == expected
            m.clear()
            m.update({f"k{i}": ["a"] for i in range(100)})
    finally:
        gc.set_threshold(*old)


class _ReenteringSet(collections.abc.Set):
    """Tags whose iteration first calls `reenter`."""

    def __init__(self, reenter):
        self.reenter = reenter

    def __iter__(self):
        self.reenter()
        yield "t"

    def __len__(self):
        return 1

    def __contains__(self, tag):
        return tag == "t"


CONSTRUCTIONS = {
    "Vornic": (lambda inst, tags: vornic.Vornic.__init__(inst, [("k", tags)]), lambda inst: inst.to_dict(),
               {"k": {"t"}}),
    "Object": (lambda inst, tags: vornic.Object.__init__(inst, "k", tags), lambda inst: (inst.data, inst.tags),
               ("k", {"t"})),
}


@pytest.mark.parametrize("cls", sorted(CONSTRUCTIONS))
def test_init_called_again_by_its_own_argument_is_refused(cls):
    construct, contents, expected = CONSTRUCTIONS[cls]
    inst = getattr(vornic, cls).__new__(getattr(vornic, cls))

    def reenter(propagate):
        with pytest.raises(TypeError, match="already running") as refusal:
            inst.__init__()
        if propagate:
            raise refusal.value

    with pytest.raises(TypeError, match="already running"):
        construct(inst, _ReenteringSet(lambda: reenter(True)))
    construct(inst, _ReenteringSet(lambda: reenter(False)))
    assert contents(inst) == expected
    construct(inst, _ReenteringSet(lambda: reenter(False)))  # once constructed, builds anew
    assert contents(inst) == expected
    del inst
    gc.collect()


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("cls", sorted(CONSTRUCTIONS))
def test_init_in_another_thread_meanwhile_is_not_nested(cls, fails):
    # Thread A's __init__ waits inside its argument while this thread's runs
    # to the end; each builds whole, the last to finish wins, and a failed
    # one changes nothing.
    construct, contents, expected = CONSTRUCTIONS[cls]
    inst = getattr(vornic, cls).__new__(getattr(vornic, cls))
    reading, other_done, errors = threading.Event(), threading.Event(), []

    def wait_for_other():
        reading.set()
        assert other_done.wait(timeout=60)
        if fails:
            raise ValueError("thread A fails")

    def thread_a():
        try:
            construct(inst, _ReenteringSet(wait_for_other))
        except ValueError as e:
            errors.append(e)

    a = threading.Thread(target=thread_a)
    a.start()
    assert reading.wait(timeout=60)
    try:
        construct(inst, {"u"})
        mine = contents(inst)
    finally:
        other_done.set()
        a.join()
    assert mine != expected and "u" in str(mine)
    assert contents(inst) == (mine if fails else expected)
    assert len(errors) == fails
