"""A plain-Python model of vornic.Vornic, and a consistency check that needs
nothing but the public API. Shared by the fuzz driver and the tests.

The model stores keys and tags as the bytes the extension stores, so it also
predicts which calls fail to decode a stored key or tag, and that such a call
leaves the map as it was.
"""


def check_consistent(m):
    """Asserts that every listing, lookup and tag query of `m` agrees with the
    others. Every stored key and tag must be valid UTF-8."""
    keys = m.keys()
    d = m.to_dict()
    assert len(keys) == len(set(keys)) == len(m) == len(d) and bool(m) == bool(keys)
    assert list(d) == keys == list(m)
    assert m.values() == [d[k] for k in keys] and m.items() == list(d.items())
    index = {}
    for k, tags in d.items():
        assert tags and m[k] == tags, k
        for t in tags:
            index.setdefault(t, set()).add(k)
    listed = m.tags()
    assert len(listed) == len(index) and set(listed) == set(index)
    for t, carriers in index.items():
        assert m.find([t]) == carriers == m.find_any([t]) and m.count([t]) == len(carriers)
    assert m.count_any(index) == len(m)


def enc(x):
    """The string cast of an element of a container argument."""
    if isinstance(x, str):
        try:
            return x.encode()
        except UnicodeEncodeError:
            raise RuntimeError("no UTF-8 encoding") from None
    if isinstance(x, (bytes, bytearray)):
        return bytes(x)
    raise RuntimeError(f"Unable to cast Python instance of type {type(x)}")


def arg(x):
    """The conversion of a key or single-tag parameter."""
    try:
        return enc(x)
    except RuntimeError:
        raise TypeError("incompatible function arguments") from None


def dec(b):
    return b.decode()


def shown(b):
    return b.decode(errors="backslashreplace")


def tagset(obj):
    iter(obj)  # a non-iterable fails before anything is read
    return {enc(x) for x in obj}


class Model:
    def __init__(self, entries=()):
        self.d = {}  # key bytes -> set of tag bytes
        for k, tags in entries:
            self._insert(k, tags)

    # ---- builders -------------------------------------------------------
    @classmethod
    def from_dict(cls, d):
        return cls((enc(k), tagset(v)) for k, v in d.items())

    @classmethod
    def from_keys_values(cls, keys, values):
        def pairs():
            vi = iter(values)
            for k in keys:
                v = next(vi, StopIteration)
                if v is StopIteration:
                    raise ValueError("keys and values must have equal length")
                yield enc(k), tagset(v)
            if next(vi, StopIteration) is not StopIteration:
                raise ValueError("keys and values must have equal length")

        return cls(pairs())

    @classmethod
    def from_items(cls, items):
        def pairs():
            for item in items:
                if not isinstance(item, tuple):
                    raise TypeError("each item must be a (key, tags) tuple")
                if len(item) != 2:
                    raise TypeError("each item must be a (key, tags) pair")
                yield enc(item[0]), tagset(item[1])

        return cls(pairs())

    # ---- helpers ----------------------------------------------------------
    def _insert(self, k, tags):
        if tags:
            self.d[k] = set(tags)
        else:
            self.d.pop(k, None)

    def _raw(self, k):
        if k not in self.d:
            raise KeyError("key not found: " + shown(k))
        return self.d[k]

    def _tags(self, k):
        return {dec(t) for t in self._raw(k)}

    def _all_of(self, q):
        return [k for k, v in self.d.items() if not q or q <= v]

    def _any_of(self, q):
        return [k for k, v in self.d.items() if not q or q & v]

    def _retain(self, keep):
        result = [dec(k) for k in keep]
        self.d = {k: self.d[k] for k in keep}
        return result

    # ---- the mapping protocol ---------------------------------------------
    def __len__(self):
        return len(self.d)

    def __bool__(self):
        return bool(self.d)

    def __contains__(self, key):
        return arg(key) in self.d

    def __iter__(self):
        return iter(self.keys())

    def __str__(self):
        return "Vornic(%s)" % self.to_dict()

    __repr__ = __str__

    def __getitem__(self, key):
        return self._tags(arg(key))

    def __setitem__(self, key, tags):
        self._insert(arg(key), tagset(tags))

    def __delitem__(self, key):
        k = arg(key)
        self._raw(k)
        del self.d[k]

    def clear(self):
        self.d.clear()

    def keys(self):
        return [dec(k) for k in self.d]

    def values(self):
        return [{dec(t) for t in v} for v in self.d.values()]

    def items(self):
        return [(dec(k), {dec(t) for t in v}) for k, v in self.d.items()]

    def tags(self):
        return sorted({dec(t) for v in self.d.values() for t in v})

    def to_dict(self):
        return dict(self.items())

    def get(self, key, default=None):
        k = arg(key)
        return self._tags(k) if k in self.d else default

    def setdefault(self, key, default):
        k = arg(key)
        iter(default)
        if k in self.d:
            return self._tags(k)
        tags = tagset(default)
        result = {dec(t) for t in tags}
        self._insert(k, tags)
        return result

    def pop(self, key, default=None):
        k = arg(key)
        if k not in self.d:
            return default
        result = self._tags(k)
        del self.d[k]
        return result

    def update(self, d):
        if not isinstance(d, dict):
            raise TypeError("incompatible function arguments")
        for key, tags in d.items():
            self._insert(enc(key), tagset(tags))

    # ---- per-key tag editing ------------------------------------------------
    def add_tag(self, key, tag):
        k, t = arg(key), arg(tag)
        self.d.setdefault(k, set()).add(t)

    def add_tags(self, key, tags):
        k, new = arg(key), tagset(tags)
        self._insert(k, self.d.get(k, set()) | new)

    def remove_tag(self, key, tag):
        k, t = arg(key), arg(tag)
        if t not in self._raw(k):
            raise KeyError("tag not found: " + shown(t))
        self._insert(k, self.d[k] - {t})

    def discard_tag(self, key, tag):
        k, t = arg(key), arg(tag)
        if k in self.d:
            self._insert(k, self.d[k] - {t})

    def has_tag(self, key, tag):
        k, t = arg(key), arg(tag)
        return t in self.d.get(k, ())

    # ---- queries and bulk removal --------------------------------------------
    def find(self, tags):
        return {dec(k) for k in self._all_of(tagset(tags))}

    def query(self, *args):
        return {dec(k) for k in self._all_of({enc(a) for a in args})}

    def find_any(self, tags):
        return {dec(k) for k in self._any_of(tagset(tags))}

    def query_any(self, *args):
        return {dec(k) for k in self._any_of({enc(a) for a in args})}

    def count(self, tags):
        return len(self._all_of(tagset(tags)))

    def count_any(self, tags):
        return len(self._any_of(tagset(tags)))

    def retain_where(self, tags):
        return self._retain(self._all_of(tagset(tags)))

    def retain_where_any(self, tags):
        return self._retain(self._any_of(tagset(tags)))

    def erase(self, key):
        k = arg(key)
        result = self._tags(k)
        del self.d[k]
        return result

    def discard(self, key):
        return self.d.pop(arg(key), None) is not None

    def erase_where(self, tags):
        q = tagset(tags)
        gone = self._all_of(q) if q else []
        result = [dec(k) for k in gone]
        for k in gone:
            del self.d[k]
        return result
