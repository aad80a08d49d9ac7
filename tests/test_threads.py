"""Several threads hammering one map: no crash, no stray error, and the map is
consistent afterwards."""

import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vornic
from fuzz.model import check_consistent

KEYS = [f"k{i}" for i in range(40)]
TAGS = [f"t{i}" for i in range(12)]


def yielding(tags):
    """Tags that give other threads a turn while they are read."""
    for t in tags:
        time.sleep(0)
        yield t


def some_tags(rng):
    tags = rng.sample(TAGS, rng.randint(0, 3))
    return yielding(tags) if rng.random() < 0.3 else tags


OPS = [
    lambda m, r: m.__setitem__(r.choice(KEYS), some_tags(r)),
    lambda m, r: m.add_tag(r.choice(KEYS), r.choice(TAGS)),
    lambda m, r: m.add_tags(r.choice(KEYS), some_tags(r)),
    lambda m, r: m.remove_tag(r.choice(KEYS), r.choice(TAGS)),
    lambda m, r: m.discard_tag(r.choice(KEYS), r.choice(TAGS)),
    lambda m, r: m.__delitem__(r.choice(KEYS)),
    lambda m, r: m.pop(r.choice(KEYS)),
    lambda m, r: m.popitem(),
    lambda m, r: m.update({r.choice(KEYS): some_tags(r) for _ in range(3)}),
    lambda m, r: m.setdefault(r.choice(KEYS), some_tags(r)),
    lambda m, r: m.find(some_tags(r)) | m.find_any(some_tags(r)) | m.query(*r.sample(TAGS, 2)),
    lambda m, r: m.count(some_tags(r)) + m.count_any(some_tags(r)),
    lambda m, r: m.erase_where(r.sample(TAGS, 2)),
    lambda m, r: m.retain_where_any(r.sample(TAGS, 10)),
    lambda m, r: (m.keys(), m.values(), m.items(), m.to_dict(), m.tags(), str(m)),
    lambda m, r: [m.discard(k) for k in m if r.random() < 0.2],
    lambda m, r: m.clear() if r.random() < 0.05 else m.get(r.choice(KEYS)),
    lambda m, r: m.__contains__(r.choice(KEYS)) or m.has_tag(r.choice(KEYS), r.choice(TAGS)),
]


def hammer(m, barrier, seed, seconds, errors):
    rng = random.Random(seed)
    barrier.wait()
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            try:
                rng.choice(OPS)(m, rng)
            except KeyError:
                pass
    except BaseException as e:  # reported by the main thread
        errors.append(e)


def test_threads_sharing_one_map(seconds=2.0, threads=4):
    m = vornic.Vornic({k: random.Random(k).sample(TAGS, 2) for k in KEYS})
    barrier, errors = threading.Barrier(threads), []
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=hammer, args=(m, barrier, seed, seconds, errors))
                   for seed in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not errors, errors
    check_consistent(m)


def test_key_claimed_while_setdefault_reads_its_default():
    # Another thread stores the key while this one's default is being read:
    # the stored value wins, as with a dict.
    m = vornic.Vornic()
    reading, claimed = threading.Event(), threading.Event()

    def default():
        reading.set()
        claimed.wait()
        yield "default"

    def claim():
        reading.wait()
        m["k"] = ["claimed"]
        claimed.set()

    other = threading.Thread(target=claim)
    other.start()
    assert m.setdefault("k", default()) == {"claimed"}
    other.join()
    assert m.to_dict() == {"k": {"claimed"}}


def test_update_with_generator_values_is_never_seen_half_done(rounds=300):
    # Reading each value lets the reader in; it must see the pairs stored
    # together or not at all.
    m = vornic.Vornic({"a": ["x"], "b": ["x"]})
    done, torn = threading.Event(), []

    def write():
        try:
            for _ in range(rounds):
                for tag in "yx":
                    m.update({"a": yielding([tag]), "b": yielding([tag])})
        finally:
            done.set()

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    writer = threading.Thread(target=write)
    try:
        writer.start()
        while not done.is_set():
            d = m.to_dict()
            if d["a"] != d["b"]:
                torn.append(d)
        writer.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not torn, torn[:3]
    assert m.to_dict() == {"a": {"x"}, "b": {"x"}}


AT_EXIT = """
    import gc, os, pickle, sys, threading, time, vornic

    class Sub(vornic.Vornic):
        def __getstate__(self):
            slow_start()
            time.sleep(5)

    m = Sub({f"k{i}": ["a"] for i in range(200)})
    started = threading.Event()

    def slow_start():
        started.set()
        for _ in range(5000):
            time.sleep(0.001)

    def slow(tags):
        slow_start()
        yield from tags

    def work(call):
        items = {f"n{i}": ["b"] for i in range(100)}
        slow_last = list(items.values())[:-1] + [slow(["c"])]
        {
            "update": lambda: m.update({**items, "last": slow(["c"])}),
            "setitem": lambda: m.__setitem__("x", slow(["c"] * 5000)),
            "setdefault": lambda: m.setdefault("x", slow(["c"])),
            "add_tags": lambda: m.add_tags("k1", slow(["c"])),
            "find": lambda: m.find(slow(["a"])),
            "init_dict": lambda: m.__init__({**items, "last": slow(["c"])}),
            "init_items": lambda: vornic.Vornic(zip(items, slow_last)),
            "keys_values": lambda: vornic.Vornic.from_keys_values(list(items), slow_last),
            "pickle": lambda: pickle.dumps(m),
        }[call]()

    class Watch:
        # Finalised on the main thread after the interpreter has begun ending
        # daemon threads; it uses the map the daemon thread was changing.
        def __del__(self, m=m, time=time, write=os.write):
            end = time.monotonic() + 0.3
            while time.monotonic() < end:
                if len(m) != 200:
                    break
                m["main"] = [f"m{i}" for i in range(50)]
                del m["main"]
            write(1, b"%d entries" % len(m))

    threading.Thread(target=work, args=sys.argv[1:], daemon=True).start()
    started.wait()
    time.sleep(0.05)
    gc.disable()
    w = Watch()
    w.cycle = w
    del w
"""


@pytest.mark.parametrize("call", ["update", "setitem", "setdefault", "add_tags", "find", "init_dict",
                                  "init_items", "keys_values", "pickle"])
def test_daemon_thread_ended_at_exit_inside_a_call(call):
    # The interpreter ends such a thread when it asks for the lock back; it
    # must then neither change the map nor free anything without the lock,
    # which the debug allocator reports and the main thread, still using the
    # map, would trip over.
    for malloc in ["pymalloc", "debug", "pymalloc"]:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(AT_EXIT), call], capture_output=True,
                                text=True, timeout=60, env={**os.environ, "PYTHONMALLOC": malloc})
        assert (result.returncode, result.stdout) == (0, "200 entries"), (malloc, result.stderr[-2000:])
