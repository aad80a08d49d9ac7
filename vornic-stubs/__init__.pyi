"""vornic: fast tagged object map (pybind interface)"""

from collections.abc import Iterable, Iterator
from collections.abc import Set as AbstractSet
from typing import TypeAlias, TypeVar, overload

from typing_extensions import disjoint_base

# Keys and tags are passed as str, or as bytes/bytearray holding UTF-8;
# they always come back as str.
_Str: TypeAlias = str | bytes | bytearray
_Tags: TypeAlias = Iterable[_Str]
# dict is invariant in both parameters, so the dict arguments are generic to
# accept e.g. dict[str, list[str]] as well as dict[bytes, set[str]].
_K = TypeVar("_K", bound=_Str)
_V = TypeVar("_V", bound=_Tags)
_T = TypeVar("_T")

# The binding library gives its classes a metaclass of their own.
class _ExtensionType(type): ...

# Each has a layout of its own: no class can derive from both.
@disjoint_base
class Object(metaclass=_ExtensionType):
    """A standalone record: a key `data` and a tag set `tags`.
    The map neither takes nor returns it."""

    @overload
    def __init__(self) -> None:
        """A record with an empty `data` and no tags."""
    @overload
    def __init__(self, data: _Str, tags: AbstractSet[_Str]) -> None:
        """A record of `data` and a copy of `tags`, which must be set-like (set, frozenset,
        dict.keys()). Raises TypeError for a list, a str or another kind."""
    @property
    def data(self) -> str:
        """The key, read and assignable. Reading raises UnicodeDecodeError if it was
        given as bytes that are not UTF-8."""
    @data.setter
    def data(self, value: _Str, /) -> None: ...
    @property
    def tags(self) -> set[str]:
        """A new set copy of the tags; assign a set-like collection to change them.
        Raises TypeError on assigning a list."""
    @tags.setter
    def tags(self, value: AbstractSet[_Str], /) -> None: ...

@disjoint_base
class Vornic(metaclass=_ExtensionType):
    """A map from string keys to non-empty sets of string tags, with an inverted tag
    index for all-of and any-of queries. Keys and tags are given as str, bytes or
    bytearray and come back as str."""

    @overload
    def __init__(self) -> None:
        """An empty map."""
    @overload
    def __init__(self, d: dict[_K, _V]) -> None:
        """A map from a dict {key: tags}; keys with no tags are left out."""
    @overload
    def __init__(self, keys: Iterable[_Str], values: Iterable[_Tags]) -> None:
        """A map from two iterables of equal length, paired in order; a key given twice
        takes its later tags. Raises ValueError if the lengths differ."""
    @overload
    def __init__(self, items: Iterable[tuple[_Str, _Tags]]) -> None:
        """A map from an iterable of (key, tags) tuples, e.g. another map's items().
        Raises TypeError for an item that is not such a pair."""
    @staticmethod
    def from_keys_values(keys: Iterable[_Str], values: Iterable[_Tags]) -> Vornic:
        """Static; the same as Vornic(keys, values). Raises ValueError if the lengths differ."""
    @staticmethod
    def from_dict(d: dict[_K, _V]) -> Vornic:
        """Static; the same as Vornic(d)."""

    # Mapping protocol.
    def __len__(self) -> int:
        """The number of keys."""
    def __bool__(self) -> bool:
        """Whether there is any key."""
    def __contains__(self, key: _Str) -> bool:
        """Whether the key has an entry."""
    def __iter__(self) -> Iterator[str]:
        """Iterates over a snapshot of the keys, taken when the loop starts."""
    def __getitem__(self, key: _Str) -> set[str]:
        """The key's tags, as a new set. Raises KeyError if the key is absent."""
    def __setitem__(self, key: _Str, tags: _Tags) -> None:
        """Replaces the key's tags; an empty collection deletes the key."""
    def __delitem__(self, key: _Str) -> None:
        """Removes the key. Raises KeyError if it is absent."""
    def clear(self) -> None:
        """Removes every key."""
    def keys(self) -> list[str]:
        """A new list of the keys, in listing order."""
    def values(self) -> list[set[str]]:
        """A new list of the tag sets, in the order of keys()."""
    def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tags) tuples, in the order of keys()."""
    def tags(self) -> list[str]:
        """A new list of every tag in use, each once."""
    def to_dict(self) -> dict[str, set[str]]:
        """A new dict {key: tags}, in the order of keys()."""
    @overload
    def get(self, key: _Str, default: None = None) -> set[str] | None:
        """The key's tags as a new set, or `default` if the key is absent."""
    @overload
    def get(self, key: _Str, default: _T) -> set[str] | _T:
        """The key's tags as a new set, or `default` if the key is absent."""
    def setdefault(self, key: _Str, default: _Tags) -> set[str]:
        """The key's tags; if the key is absent, first stores `default` (an iterable
        of tags, which stores nothing if empty)."""
    @overload
    def pop(self, key: _Str, default: None = None) -> set[str] | None:
        """Removes the key and returns its tags, or returns `default` if it is absent."""
    @overload
    def pop(self, key: _Str, default: _T) -> set[str] | _T:
        """Removes the key and returns its tags, or returns `default` if it is absent."""
    def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) in listing order.
        Raises KeyError if the map is empty."""
    def update(self, d: dict[_K, _V]) -> None:
        """Stores each {key: tags} of a dict, replacing tags; empty tags delete the key.
        If a value fails to convert, the items before it stay stored."""

    # Per-key tag editing.
    def add_tag(self, key: _Str, tag: _Str) -> None:
        """Adds one tag to the key; creates the key if absent."""
    def add_tags(self, key: _Str, tags: _Tags) -> None:
        """Adds every tag of the collection to the key; creates the key if absent and
        `tags` is not empty."""
    def remove_tag(self, key: _Str, tag: _Str) -> None:
        """Removes one tag; removing the last one removes the key.
        Raises KeyError if the key is absent or does not carry the tag."""
    def discard_tag(self, key: _Str, tag: _Str) -> None:
        """As remove_tag, but silent when the key or the tag is absent."""
    def has_tag(self, key: _Str, tag: _Str) -> bool:
        """Whether the key exists and carries the tag."""

    # Queries (an empty tag set matches every key) and bulk removal.
    def find(self, tags: _Tags) -> set[str]:
        """A new set of the keys that carry every tag (all keys if `tags` is empty)."""
    def query(self, *args: _Str) -> set[str]:
        """As find, one tag per argument. Raises RuntimeError if an argument is not a string."""
    def find_any(self, tags: _Tags) -> set[str]:
        """A new set of the keys that carry at least one of the tags (all keys if `tags`
        is empty)."""
    def query_any(self, *args: _Str) -> set[str]:
        """As find_any, one tag per argument. Raises RuntimeError if an argument is not a string."""
    def count(self, tags: _Tags) -> int:
        """How many keys find would return, without building the set."""
    def count_any(self, tags: _Tags) -> int:
        """How many keys find_any would return, without building the set."""
    def retain_where(self, tags: _Tags) -> list[str]:
        """Keeps only the keys that carry every tag (all if `tags` is empty); returns
        the kept keys."""
    def retain_where_any(self, tags: _Tags) -> list[str]:
        """Keeps only the keys that carry at least one of the tags (all if `tags` is
        empty); returns the kept keys."""
    def erase(self, key: _Str) -> set[str]:
        """Removes the key and returns its tags. Raises KeyError if it is absent."""
    def discard(self, key: _Str) -> bool:
        """Removes the key if present; returns whether it was."""
    def erase_where(self, tags: _Tags) -> list[str]:
        """Removes every key that carries every tag (none if `tags` is empty); returns
        the removed keys."""
    def __setstate__(self, state: object, /) -> None:
        """Replaces the map's contents with those of a snapshot made by __reduce_ex__.
        Raises ValueError, changing nothing, for bytes that are not one."""
