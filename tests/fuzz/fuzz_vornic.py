#!/usr/bin/env python3
"""Fuzzes vornic.Vornic against the plain-Python model in model.py.

Each input is decoded into a constructor call and a sequence of operations.
Every operation runs on the extension and on the model; both must return the
same result or raise the same exception, and afterwards hold the same entries.

  python tests/fuzz/fuzz_vornic.py -max_total_time=120    coverage-guided (atheris,
                                                          libFuzzer's options)
  python tests/fuzz/fuzz_vornic.py --random SECONDS [SEED] random bytes, no atheris

With --snapshots, each input instead edits a map's snapshot (its pickled
form) byte by byte, and the map read back from it must either be refused
with ValueError, leaving the map it was read into as it was, or agree with
itself and with its own snapshot.
"""

import ast
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

atheris = None
if "--random" not in sys.argv:
    try:
        import atheris
    except ImportError:
        sys.exit("atheris is not installed; use --random SECONDS")
if atheris is not None:
    with atheris.instrument_imports():  # coverage of the model steers the fuzzer
        from fuzz import model
else:
    from fuzz import model
from fuzz.model import Model

import vornic

# The last entries of each pool are rare: not valid UTF-8, no UTF-8 encoding,
# not a string at all.
KEYS = ["a", "b", "c", "", "é", "k\x00z", b"a", bytearray(b"b"), "日本", "d"], [b"\xff", "\ud800", 7]
TAGS = ["x", "y", "z", "", "ü", "t\x00", b"x", bytearray(b"y"), "w"], [b"\xfe", "\udc00", 3]


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def int(self, n):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1] % n

    def more(self):
        return self.pos < len(self.data)

    def pick(self, pools):
        common, rare = pools
        v = self.int(64)
        return rare[v - 61] if v >= 61 else common[v % len(common)]


def hashable(x):
    return bytes(x) if isinstance(x, bytearray) else x


def raising(items):
    yield from items
    raise ValueError("boom")


def tags_arg(r):
    """A maker of one tag-collection argument: each call builds it afresh."""
    items = [r.pick(TAGS) for _ in range(r.int(4))]
    kind = r.int(10)
    if kind == 0 and all(isinstance(t, str) for t in items):
        return lambda: "".join(items)  # a str is iterated by characters
    builders = [list, tuple, lambda i: (t for t in i), lambda i: {hashable(t) for t in i},
                lambda i: dict.fromkeys(map(hashable, i)), raising, list, tuple,
                lambda i: 5 if i else iter(i)]
    return lambda: builders[kind % len(builders)](items)


def key_arg(r):
    k = r.pick(KEYS)
    return lambda: k


def tag_arg(r):
    t = r.pick(TAGS)
    return lambda: t


def default_arg(r):
    # get and pop hand back the very default object: one that compares equal
    return [lambda: None, lambda: 0, lambda: ("sentinel",), lambda: ["x"]][r.int(4)]


def dict_arg(r, strict=False):
    pairs = [(hashable(r.pick(KEYS)), tags_arg(r)) for _ in range(r.int(5))]
    if r.int(16) == 0 and not strict:
        return lambda: [(k, mk()) for k, mk in pairs]  # not a dict
    return lambda: {k: mk() for k, mk in pairs}


def args_arg(r):
    args = [r.pick(TAGS) for _ in range(r.int(4))]
    return lambda: args


def call(name):
    return lambda o, *a: getattr(o, name)(*a)


OPS = [
    ("len", len, ()), ("bool", bool, ()), ("contains", lambda o, k: k in o, (key_arg,)),
    ("iter", list, ()), ("str", str, ()), ("repr", repr, ()),
    ("getitem", lambda o, k: o[k], (key_arg,)),
    ("setitem", lambda o, k, t: o.__setitem__(k, t), (key_arg, tags_arg)),
    ("delitem", lambda o, k: o.__delitem__(k), (key_arg,)),
    ("clear", call("clear"), ()), ("keys", call("keys"), ()), ("values", call("values"), ()),
    ("items", call("items"), ()), ("tags", call("tags"), ()), ("to_dict", call("to_dict"), ()),
    ("get", call("get"), (key_arg, default_arg)), ("setdefault", call("setdefault"), (key_arg, tags_arg)),
    ("pop", call("pop"), (key_arg, default_arg)), ("popitem", None, ()),
    ("update", call("update"), (dict_arg,)),
    ("add_tag", call("add_tag"), (key_arg, tag_arg)), ("add_tags", call("add_tags"), (key_arg, tags_arg)),
    ("remove_tag", call("remove_tag"), (key_arg, tag_arg)),
    ("discard_tag", call("discard_tag"), (key_arg, tag_arg)), ("has_tag", call("has_tag"), (key_arg, tag_arg)),
    ("find", call("find"), (tags_arg,)), ("query", lambda o, a: o.query(*a), (args_arg,)),
    ("find_any", call("find_any"), (tags_arg,)), ("query_any", lambda o, a: o.query_any(*a), (args_arg,)),
    ("count", call("count"), (tags_arg,)), ("count_any", call("count_any"), (tags_arg,)),
    ("retain_where", call("retain_where"), (tags_arg,)),
    ("retain_where_any", call("retain_where_any"), (tags_arg,)),
    ("erase", call("erase"), (key_arg,)), ("discard", call("discard"), (key_arg,)),
    ("erase_where", call("erase_where"), (tags_arg,)),
]
# Stores more often than anything else, so that the maps grow past a few keys.
CHOICES = OPS + [op for op in OPS if op[0] in ("setitem", "add_tag", "add_tags", "update")] * 4
UNORDERED = {"iter", "keys", "tags", "retain_where", "retain_where_any", "erase_where"}


def normalise(name, value):
    if name in UNORDERED:
        return sorted(value)
    if name == "values":
        return sorted(map(sorted, value))
    if name == "items":
        return sorted((k, sorted(v)) for k, v in value)
    if name in ("str", "repr"):
        assert value.startswith("Vornic(") and value.endswith(")")
        return ast.literal_eval(value[7:-1])
    return value


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # compared below, type and KeyError text
        return type(e), (e.args if isinstance(e, KeyError) else None)


def decodable(m):
    try:
        m.to_dict()
        return True
    except UnicodeDecodeError:
        return False


def same_state(real, m):
    if decodable(m):
        assert outcome(real.to_dict) == ("ok", m.to_dict())
        return
    assert len(real) == len(m.d)
    union = set().union(*m.d.values())
    for k, tags in m.d.items():
        assert k in real and all(real.has_tag(k, t) for t in tags)
    for t in union:
        assert real.count([t]) == sum(t in v for v in m.d.values())


def build(r):
    """The constructor to call on each side, and makers of its arguments."""
    kind = r.int(6)
    if kind == 0:
        return (vornic.Vornic, Model), ()
    if kind <= 2:
        real = vornic.Vornic if kind == 1 else vornic.Vornic.from_dict
        return (real, Model.from_dict), (dict_arg(r, strict=True),)
    if kind <= 4:
        n = r.int(5)
        keys = [r.pick(KEYS) for _ in range(n)]
        values = [tags_arg(r) for _ in range(max(0, n + r.int(3) - 1))]  # one short, even or one over
        real = vornic.Vornic if kind == 3 else vornic.Vornic.from_keys_values
        return (real, Model.from_keys_values), (lambda: iter(keys), lambda: [mk() for mk in values])
    pairs = [(key_arg(r), tags_arg(r), r.int(16)) for _ in range(r.int(5))]
    shape = lambda k, t, s: [k, t] if s == 0 else (k, t, None) if s == 1 else (k, t)  # noqa: E731
    return (vornic.Vornic, Model.from_items), (lambda: [shape(k(), t(), s) for k, t, s in pairs],)


operations = 0


def one_input(data):
    global operations
    r = Reader(data)
    (make_real, make_model), makers = build(r)
    got = outcome(make_real, *(mk() for mk in makers))
    want = outcome(make_model, *(mk() for mk in makers))
    assert got[0] == want[0], (got, want)
    real, m = (got[1], want[1]) if got[0] == "ok" else (vornic.Vornic(), Model())
    same_state(real, m)
    while r.more():
        name, fn, argmakers = CHOICES[r.int(len(CHOICES))]
        operations += 1
        if name == "popitem":
            got = outcome(real.popitem)
            if got[0] == "ok":
                key, tags = got[1]
                assert m._tags(key.encode()) == tags
                del m.d[key.encode()]
            elif got[0] is UnicodeDecodeError:
                assert not decodable(m)
            else:
                assert got == (KeyError, ("popitem(): Vornic is empty",)) and not m.d
        else:
            args = [mk(r) for mk in argmakers]
            got = outcome(fn, real, *(mk() for mk in args))
            want = outcome(fn, m, *(mk() for mk in args))
            if got[0] == want[0] == "ok":
                got, want = normalise(name, got[1]), normalise(name, want[1])
            assert got == want, (name, got, want)
        same_state(real, m)
    if decodable(m):
        model.check_consistent(real)


def entries(m):
    """Every entry, its keys and tags bytes; read through the snapshot itself."""
    data = bytes(m.__reduce_ex__(4)[2])

    def varint():
        nonlocal pos
        value = shift = 0
        while True:
            value |= (data[pos] & 0x7F) << shift
            pos, shift = pos + 1, shift + 7
            if data[pos - 1] < 0x80:
                return value

    def string():
        nonlocal pos
        size = varint()
        pos += size
        return data[pos - size:pos]

    pos = 1
    tags, keys = varint(), varint()
    names = [string() for _ in range(tags)]
    out = {}
    for _ in range(keys):
        key, numbers = string(), [varint() for _ in range(varint())]
        out[key] = {names[sum(numbers[:i + 1]) + i] for i in range(len(numbers))}
    return out


def one_snapshot(data):
    global operations
    r = Reader(data)
    try:
        source = vornic.Vornic(dict_arg(r, strict=True)())
    except Exception:  # a value that is not a collection of strings
        source = vornic.Vornic()
    payload = bytearray(source.__reduce_ex__(4)[2])
    while r.more():  # edits: overwrite, insert, delete, cut
        kind, at, value = r.int(4), r.int(256) % (len(payload) + 1), r.int(256)
        if kind == 0 and at < len(payload):
            payload[at] = value
        elif kind == 1:
            payload[at:at] = bytes([value])
        elif kind == 2:
            del payload[at:at + 1]
        else:
            del payload[at + value:]
    operations += 1
    m = vornic.Vornic({"k": ["t"]})
    try:
        m.__setstate__(payload)
    except ValueError as e:
        assert str(e).startswith("not a vornic.Vornic snapshot: "), e
        assert m.to_dict() == {"k": {"t"}}
        return
    twin = vornic.Vornic()
    twin.__setstate__(m.__reduce_ex__(5)[2])
    assert entries(twin) == entries(m)
    for tag in set().union(*entries(m).values()):
        assert m.count([tag]) == sum(tag in tags for tags in entries(m).values())
    if decodable(m):
        model.check_consistent(m)


def main():
    target = one_snapshot if "--snapshots" in sys.argv else one_input
    if "--snapshots" in sys.argv:
        sys.argv.remove("--snapshots")
    if "--random" in sys.argv:
        i = sys.argv.index("--random")
        seconds = float(sys.argv[i + 1])
        seed = int(sys.argv[i + 2]) if len(sys.argv) > i + 2 else 0
        rng, start = random.Random(seed), time.monotonic()
        inputs = 0
        while time.monotonic() - start < seconds:
            target(rng.randbytes(rng.randint(1, 300)))
            inputs += 1
        print(f"{inputs} inputs, {operations} operations, no divergence (seed {seed})")
        return
    last = [time.monotonic()]

    def with_progress(data):
        target(data)
        if time.monotonic() - last[0] > 30:
            last[0] = time.monotonic()
            print(f"#operations {operations}", file=sys.stderr, flush=True)

    atheris.Setup(sys.argv, with_progress)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
