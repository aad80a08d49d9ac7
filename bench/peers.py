"""The implementations vornic is measured against, behind vornic's own
interface: built from a dict of key -> iterable of tags, then find, count,
find_any, count_any, m[key], add_tag, remove_tag, erase_where,
retain_where and the listings keys, values, items and to_dict (but for
Roaring, whose listings would be plain Python's). Answers are new objects the caller owns, as vornic's are.
Polars and DuckDB are optional: their modules load only when they are built."""

import itertools
import sqlite3
from collections import defaultdict
from operator import itemgetter


class PlainPython:
    """dict key -> set of tags plus dict tag -> set of keys; the key and tag
    str objects are shared with the input, as an expert would let them be."""

    def __init__(self, d):
        self.tags = {key: set(tags) for key, tags in d.items()}
        index = defaultdict(set)
        for key, tags in self.tags.items():
            for tag in tags:
                index[tag].add(key)
        index.default_factory = None
        self.index = index

    def _postings(self, tags):
        """Posting sets of `tags` (repeats are harmless), smallest first;
        None when some tag is not in use."""
        get = self.index.get
        postings = [get(tag) for tag in tags]
        if None in postings:
            return None
        postings.sort(key=len)
        return postings

    def find(self, tags):
        postings = self._postings(tags)
        if postings is None:
            return set()
        if not postings:
            return set(self.tags)
        return postings[0].intersection(*postings[1:])

    def count(self, tags):
        postings = self._postings(tags)
        if postings is None:
            return 0
        if len(postings) == 1:
            return len(postings[0])
        if not postings:
            return len(self.tags)
        return len(postings[0].intersection(*postings[1:]))

    def find_any(self, tags):
        get = self.index.get
        postings = [get(tag, ()) for tag in tags]
        return set().union(*postings) if postings else set(self.tags)

    def count_any(self, tags):
        return len(self.find_any(tags))

    def __getitem__(self, key):
        return set(self.tags[key])

    def add_tag(self, key, tag):
        self.tags.setdefault(key, set()).add(tag)
        self.index.setdefault(tag, set()).add(key)

    def remove_tag(self, key, tag):
        tags = self.tags[key]
        tags.remove(tag)
        if not tags:
            del self.tags[key]
        self._unlink(tag, key)

    def _unlink(self, tag, key):
        keys = self.index[tag]
        keys.discard(key)
        if not keys:
            del self.index[tag]

    def _remove(self, keys):
        for key in keys:
            for tag in self.tags.pop(key):
                self._unlink(tag, key)

    def __delitem__(self, key):
        self._remove([key])

    def erase_where(self, tags):
        tags = set(tags)
        doomed = self.find(tags) if tags else set()
        self._remove(doomed)
        return list(doomed)

    def retain_where(self, tags):
        keep = self.find(tags)
        self._remove([key for key in self.tags if key not in keep])
        return list(keep)

    # Listings copy the tag sets, so that the caller owns what it gets.
    def keys(self):
        return list(self.tags)

    def values(self):
        return [set(tags) for tags in self.tags.values()]

    def items(self):
        return [(key, set(tags)) for key, tags in self.tags.items()]

    def to_dict(self):
        return {key: set(tags) for key, tags in self.tags.items()}


class Roaring:
    """Keys interned to integer ids, one compressed bitmap of ids per tag,
    and dict key -> set of tags for the per-key questions."""

    def __init__(self, d):
        from pyroaring import BitMap

        self.BitMap = BitMap
        self.keys = list(d)  # id -> key; ids are never reused
        self.ids = {key: i for i, key in enumerate(self.keys)}
        self.tags = {key: set(tags) for key, tags in d.items()}
        ids_of = defaultdict(list)
        for i, tags in enumerate(self.tags.values()):
            for tag in tags:
                ids_of[tag].append(i)
        self.index = {tag: BitMap(ids) for tag, ids in ids_of.items()}

    def _keys_of(self, ids):
        return set(map(self.keys.__getitem__, ids))

    def _match(self, tags):
        """Bitmap of the ids carrying all of `tags` (non-empty)."""
        bitmaps = []
        for tag in set(tags):
            bitmap = self.index.get(tag)
            if bitmap is None:
                return self.BitMap()
            bitmaps.append(bitmap)
        if len(bitmaps) == 1:
            return bitmaps[0]
        return self.BitMap.intersection(*bitmaps)

    def _match_any(self, tags):
        get = self.index.get
        return self.BitMap.union(*(get(tag) or self.BitMap() for tag in set(tags)))

    def find(self, tags):
        tags = set(tags)
        return self._keys_of(self._match(tags)) if tags else set(self.tags)

    def count(self, tags):
        tags = set(tags)
        if not tags:
            return len(self.tags)
        bitmaps = [self.index.get(tag) for tag in tags]
        if None in bitmaps:
            return 0
        if len(bitmaps) == 2:
            return bitmaps[0].intersection_cardinality(bitmaps[1])
        return len(self._match(tags))

    def find_any(self, tags):
        tags = set(tags)
        return self._keys_of(self._match_any(tags)) if tags else set(self.tags)

    def count_any(self, tags):
        tags = set(tags)
        return len(self._match_any(tags)) if tags else len(self.tags)

    def __getitem__(self, key):
        return set(self.tags[key])

    def add_tag(self, key, tag):
        i = self.ids.get(key)
        if i is None:
            i = self.ids[key] = len(self.keys)
            self.keys.append(key)
        self.tags.setdefault(key, set()).add(tag)
        bitmap = self.index.get(tag)
        if bitmap is None:
            bitmap = self.index[tag] = self.BitMap()
        bitmap.add(i)

    def remove_tag(self, key, tag):
        tags = self.tags[key]
        tags.remove(tag)
        if not tags:
            del self.tags[key]
        bitmap = self.index[tag]
        bitmap.remove(self.ids[key])
        if not bitmap:
            del self.index[tag]

    def _remove(self, ids):
        """Drops the entries of `ids`, one bitmap difference per touched tag."""
        ids = self.BitMap(ids)
        touched = set()
        for i in ids:
            key = self.keys[i]
            touched.update(self.tags.pop(key))
            del self.ids[key]
        for tag in touched:
            bitmap = self.index[tag]
            bitmap.difference_update(ids)
            if not bitmap:
                del self.index[tag]

    def erase_where(self, tags):
        tags = set(tags)
        if not tags:
            return []
        doomed = self._match(tags)
        keys = list(map(self.keys.__getitem__, doomed))
        self._remove(doomed)
        return keys

    def retain_where(self, tags):
        tags = set(tags)
        if not tags:
            return list(self.tags)
        keep = self._match(tags)
        self._remove(self.BitMap(self.ids.values()) - keep)
        return list(map(self.keys.__getitem__, keep))


class GroupedListings:
    """The listings of a peer that reads (key, set of tags) pairs from its
    rows through its own _grouped()."""

    def values(self):
        return [tags for _, tags in self._grouped()]

    def items(self):
        return list(self._grouped())

    def to_dict(self):
        return dict(self._grouped())


class Sqlite(GroupedListings):
    """An in-memory table of (tag, key) rows: a WITHOUT ROWID primary key on
    (tag, key) answers tag lookups from the index alone, and a second index
    on key serves the per-key questions. A per-tag row count, kept by
    triggers, answers one-tag counts and lets all-of join the query's posting
    lists rarest first through primary-key probes (faster here than GROUP BY
    / HAVING or INTERSECT, which read every posting list whole)."""

    def __init__(self, d):
        self.db = sqlite3.connect(":memory:", isolation_level=None)
        self.db.executescript(
            """
            PRAGMA journal_mode = OFF;
            PRAGMA synchronous = OFF;
            PRAGMA secure_delete = OFF;
            CREATE TABLE t (tag TEXT NOT NULL, key TEXT NOT NULL, PRIMARY KEY (tag, key)) WITHOUT ROWID;
            CREATE TABLE counts (tag TEXT PRIMARY KEY, n INTEGER NOT NULL) WITHOUT ROWID;
            """
        )
        # Loading in primary-key order and indexing afterwards is the fast way in.
        rows = sorted((tag, key) for key, tags in d.items() for tag in set(tags))
        with self.db:
            self.db.execute("BEGIN")
            self.db.executemany("INSERT INTO t VALUES (?, ?)", rows)
            self.db.execute("INSERT INTO counts SELECT tag, count(*) FROM t GROUP BY tag")
        self.db.executescript(
            """
            CREATE INDEX t_key ON t (key);
            CREATE TRIGGER t_added AFTER INSERT ON t BEGIN
              INSERT INTO counts VALUES (new.tag, 1) ON CONFLICT (tag) DO UPDATE SET n = n + 1;
            END;
            CREATE TRIGGER t_removed AFTER DELETE ON t BEGIN
              UPDATE counts SET n = n - 1 WHERE tag = old.tag;
              DELETE FROM counts WHERE tag = old.tag AND n = 0;
            END;
            ANALYZE;
            """
        )
        self._all_of_sql = {}

    def _tag_count(self, tag):
        row = self.db.execute("SELECT n FROM counts WHERE tag = ?", (tag,)).fetchone()
        return row[0] if row is not None else 0

    def _all_of(self, what, tags):
        """Runs `SELECT what` over the keys carrying every tag of `tags`
        (non-empty), the rarest tag driving; None if a tag is unused."""
        counted = sorted((self._tag_count(tag), tag) for tag in tags)
        if counted[0][0] == 0:
            return None
        k = len(counted)
        sql = self._all_of_sql.get((what, k))
        if sql is None:
            # CROSS JOIN keeps the order we chose: the planner has no per-tag statistics.
            joins = "".join(f" CROSS JOIN t AS t{i} ON t{i}.tag = ? AND t{i}.key = t0.key" for i in range(1, k))
            sql = self._all_of_sql[what, k] = f"SELECT {what} FROM t AS t0{joins} WHERE t0.tag = ?"
        ordered = [tag for _, tag in counted]
        return self.db.execute(sql, ordered[1:] + ordered[:1])

    def _keys(self, cursor):
        return {key for (key,) in cursor} if cursor is not None else set()

    def find(self, tags):
        tags = set(tags)
        if not tags:
            return self._keys(self.db.execute("SELECT DISTINCT key FROM t"))
        if len(tags) == 1:
            return self._keys(self.db.execute("SELECT key FROM t WHERE tag = ?", tuple(tags)))
        return self._keys(self._all_of("t0.key", tags))

    def count(self, tags):
        tags = set(tags)
        if not tags:
            return self.db.execute("SELECT count(DISTINCT key) FROM t").fetchone()[0]
        if len(tags) == 1:
            return self._tag_count(*tags)
        cursor = self._all_of("count(*)", tags)
        return cursor.fetchone()[0] if cursor is not None else 0

    def _any_of(self, what, tags):
        marks = ", ".join("?" * len(tags))
        return self.db.execute(f"SELECT {what} FROM t WHERE tag IN ({marks})", tuple(tags))

    def find_any(self, tags):
        tags = set(tags)
        if not tags:
            return self.find(tags)
        return self._keys(self._any_of("key", tags))

    def count_any(self, tags):
        tags = set(tags)
        if not tags:
            return self.count(tags)
        return self._any_of("count(DISTINCT key)", tags).fetchone()[0]

    def __getitem__(self, key):
        tags = {tag for (tag,) in self.db.execute("SELECT tag FROM t WHERE key = ?", (key,))}
        if not tags:
            raise KeyError(key)
        return tags

    def add_tag(self, key, tag):
        self.db.execute("INSERT OR IGNORE INTO t VALUES (?, ?)", (tag, key))

    def remove_tag(self, key, tag):
        if self.db.execute("DELETE FROM t WHERE tag = ? AND key = ?", (tag, key)).rowcount == 0:
            raise KeyError(key)

    def _delete(self, keys):
        with self.db:
            self.db.execute("BEGIN")
            self.db.executemany("DELETE FROM t WHERE key = ?", ((key,) for key in keys))

    def erase_where(self, tags):
        tags = set(tags)
        doomed = list(self.find(tags)) if tags else []
        self._delete(doomed)
        return doomed

    def retain_where(self, tags):
        keep = self.find(tags)
        everything = self._keys(self.db.execute("SELECT DISTINCT key FROM t"))
        self._delete(everything - keep)
        return list(keep)

    def keys(self):
        return [key for (key,) in self.db.execute("SELECT DISTINCT key FROM t")]

    def _grouped(self):
        """(key, set of tags) per key, in key order, read through the key index."""
        rows = self.db.execute("SELECT key, tag FROM t INDEXED BY t_key ORDER BY key")
        return ((key, {tag for _, tag in group}) for key, group in itertools.groupby(rows, itemgetter(0)))


def exploded(d):
    """The (key, tag) pairs of `d` as two flat lists, entry by entry."""
    keys = [key for key, tags in d.items() for _ in tags]
    return keys, list(itertools.chain.from_iterable(d.values()))


class Polars:
    """A frame of a key column, sorted, and a list column of each key's tags
    for the per-key questions and the listings; for the queries, one sorted
    Series of keys per tag. All-of intersects those from the rarest tag by
    binary search (search_sorted), any-of concatenates them; answers go to
    Python through to_list(), then set(). Frames are immutable: a per-key edit
    splices a new row between slices of the old frame (rechunked now and then)
    and rebuilds the one posting Series it changes."""

    MAX_CHUNKS = 32

    def __init__(self, d):
        import polars as pl

        self.pl = pl
        keys, tags = exploded(d)
        rows = pl.DataFrame({"key": keys, "tags": tags}, schema={"key": pl.String, "tags": pl.String})
        frame = rows.group_by("key", maintain_order=True).agg("tags")
        self.frame = frame.with_columns(pl.col("tags").list.unique()).sort("key")
        self._index_all()

    def _index_all(self):
        pairs = self.frame.explode("tags")  # key order, kept within each tag
        parts = pairs.partition_by("tags", as_dict=True, include_key=False, maintain_order=True)
        self.index = {tag: part.to_series() for (tag,), part in parts.items()}

    def _match(self, tags):
        """Sorted Series of the keys carrying every tag of `tags` (non-empty)."""
        if not all(tag in self.index for tag in tags):
            return self.frame["key"].clear()
        postings = sorted((self.index[tag] for tag in tags), key=len)
        found = postings[0]
        for posting in postings[1:]:
            if found.is_empty():
                break
            at = posting.search_sorted(found)  # non-decreasing, as found is sorted
            if at[-1] == len(posting):  # keys past the posting's last one
                inside = at < len(posting)
                found, at = found.filter(inside), at.filter(inside)
            found = found.filter(posting.gather(at) == found)
        return found

    def _any(self, tags):
        get = self.index.get
        return self.pl.concat([get(tag) for tag in tags if tag in self.index] or [self.frame["key"].clear()])

    def find(self, tags):
        tags = set(tags)
        return set((self._match(tags) if tags else self.frame["key"]).to_list())

    def count(self, tags):
        tags = set(tags)
        return len(self._match(tags)) if tags else self.frame.height

    def find_any(self, tags):
        tags = set(tags)
        return set((self._any(tags) if tags else self.frame["key"]).to_list())

    def count_any(self, tags):
        tags = set(tags)
        return self._any(tags).n_unique() if tags else self.frame.height

    def _row(self, key):
        """(row of key or where it would go, its tags or None)."""
        i = self.frame["key"].search_sorted(key)
        if i < self.frame.height and self.frame["key"][i] == key:
            return i, self.frame["tags"][i].to_list()
        return i, None

    def __getitem__(self, key):
        _, tags = self._row(key)
        if tags is None:
            raise KeyError(key)
        return set(tags)

    def _splice(self, start, stop, key, tags):
        """Replaces rows [start, stop) by key's row, or by nothing."""
        pieces = [self.frame.slice(0, start)]
        if tags:
            pieces.append(self.pl.DataFrame({"key": [key], "tags": [tags]}, schema=self.frame.schema))
        pieces.append(self.frame.slice(stop))
        frame = self.pl.concat(pieces)
        self.frame = frame.rechunk() if frame.n_chunks() > self.MAX_CHUNKS else frame

    def add_tag(self, key, tag):
        i, tags = self._row(key)
        if tags is None:
            self._splice(i, i, key, [tag])
        elif tag not in tags:
            self._splice(i, i + 1, key, tags + [tag])
        else:
            return
        posting = self.index.get(tag)
        if posting is None:
            self.index[tag] = self.pl.Series("key", [key], dtype=self.pl.String)
        else:
            j = posting.search_sorted(key)
            self.index[tag] = self.pl.concat([posting[:j], self.pl.Series("key", [key]), posting[j:]]).rechunk()

    def remove_tag(self, key, tag):
        i, tags = self._row(key)
        if tags is None or tag not in tags:
            raise KeyError(key)
        tags.remove(tag)
        self._splice(i, i + 1, key, tags)
        posting = self.index[tag]
        j = posting.search_sorted(key)
        if len(posting) == 1:
            del self.index[tag]
        else:
            self.index[tag] = self.pl.concat([posting[:j], posting[j + 1 :]]).rechunk()

    def erase_where(self, tags):
        tags = set(tags)
        doomed = self._match(tags) if tags else self.frame["key"].clear()
        if doomed.is_empty():
            return []
        gone = self.frame["key"].is_in(doomed.implode())
        removed = self.frame.filter(gone).explode("tags")
        self.frame = self.frame.filter(~gone)
        # Only the posting Series of the removed entries' tags change.
        for (tag,), part in removed.partition_by("tags", as_dict=True, include_key=False).items():
            posting = self.index[tag]
            posting = posting.filter(~posting.is_in(part.to_series().implode()))
            if posting.is_empty():
                del self.index[tag]
            else:
                self.index[tag] = posting
        return doomed.to_list()

    def retain_where(self, tags):
        tags = set(tags)
        if not tags:
            return self.keys()
        keep = self._match(tags)
        self.frame = self.frame.filter(self.pl.col("key").is_in(keep.implode()))
        self._index_all()
        return keep.to_list()

    def keys(self):
        return self.frame["key"].to_list()

    def _tag_sets(self):
        # One flat list and slices of it: faster than to_list() of the list column.
        column = self.frame["tags"]
        flat = column.explode().to_list()
        ends = column.list.len().cum_sum().to_list()
        return [set(flat[a:b]) for a, b in zip(itertools.chain([0], ends), ends)]

    def values(self):
        return self._tag_sets()

    def items(self):
        return list(zip(self.keys(), self._tag_sets()))

    def to_dict(self):
        return dict(zip(self.keys(), self._tag_sets()))


class DuckDB(GroupedListings):
    """An in-memory table of (tag, key) rows, loaded in (tag, key) order so
    that each row group's min/max bounds on tag skip the groups a tag is not
    in, and an index on key (an ART) for the per-key questions. All-of joins
    the query's tags on key, leaving the join order to the planner; answers go
    to Python through fetchnumpy(), tolist(), then set()."""

    def __init__(self, d):
        import duckdb
        import numpy as np

        self.db = duckdb.connect(":memory:", config={"threads": 1})
        keys, tags = exploded(d)
        rows = {"key": np.array(keys, dtype=object), "tag": np.array(tags, dtype=object)}
        self.db.register("rows", rows)
        self.db.execute("CREATE TABLE t AS SELECT DISTINCT tag, key FROM rows ORDER BY tag, key")
        self.db.unregister("rows")
        self.db.execute("CREATE INDEX t_key ON t (key)")
        self._all_of_sql = {}

    def _column(self, sql, params=()):
        return self.db.execute(sql, list(params)).fetchnumpy()["key"].tolist()

    def _all_of(self, what, k):
        """`SELECT what` over the keys carrying all of k tags, given as parameters."""
        sql = self._all_of_sql.get((what, k))
        if sql is None:
            joins = "".join(f" JOIN t AS t{i} ON t{i}.key = t0.key AND t{i}.tag = ?" for i in range(1, k))
            sql = self._all_of_sql[what, k] = f"SELECT {what} FROM t AS t0{joins} WHERE t0.tag = ?"
        return sql

    def _match_sql(self, tags):
        tags = list(tags)
        return self._all_of("t0.key AS key", len(tags)), tags[1:] + tags[:1]

    def find(self, tags):
        tags = set(tags)
        if not tags:
            return set(self._column("SELECT DISTINCT key FROM t"))
        return set(self._column(*self._match_sql(tags)))

    def count(self, tags):
        tags = list(set(tags))
        if not tags:
            return self.db.execute("SELECT count(DISTINCT key) FROM t").fetchone()[0]
        return self.db.execute(self._all_of("count(*)", len(tags)), tags[1:] + tags[:1]).fetchone()[0]

    def _in(self, tags):
        return f"tag IN ({', '.join('?' * len(tags))})"

    def find_any(self, tags):
        tags = list(set(tags))
        if not tags:
            return self.find(tags)
        return set(self._column(f"SELECT key FROM t WHERE {self._in(tags)}", tags))

    def count_any(self, tags):
        tags = list(set(tags))
        if not tags:
            return self.count(tags)
        return self.db.execute(f"SELECT count(DISTINCT key) FROM t WHERE {self._in(tags)}", tags).fetchone()[0]

    def __getitem__(self, key):
        tags = {tag for (tag,) in self.db.execute("SELECT tag FROM t WHERE key = ?", [key]).fetchall()}
        if not tags:
            raise KeyError(key)
        return tags

    def add_tag(self, key, tag):
        self.db.execute(
            "INSERT INTO t SELECT ?, ? WHERE NOT EXISTS (SELECT 1 FROM t WHERE key = ? AND tag = ?)", [tag, key, key, tag]
        )

    def remove_tag(self, key, tag):
        if self.db.execute("DELETE FROM t WHERE key = ? AND tag = ?", [key, tag]).fetchone()[0] == 0:
            raise KeyError(key)

    def _remove(self, keep):
        """Deletes the entries whose keys are (or, with keep, are not) in
        the temporary table `chosen`, which it drops; its keys go back."""
        keys = self._column("SELECT key FROM chosen")
        self.db.execute(f"DELETE FROM t WHERE key {'NOT IN' if keep else 'IN'} (SELECT key FROM chosen)")
        self.db.execute("DROP TABLE chosen")
        return keys

    def erase_where(self, tags):
        tags = set(tags)
        if not tags:
            return []
        sql, params = self._match_sql(tags)
        self.db.execute(f"CREATE TEMP TABLE chosen AS {sql}", params)
        return self._remove(keep=False)

    def retain_where(self, tags):
        tags = set(tags)
        if not tags:
            return self.keys()
        sql, params = self._match_sql(tags)
        self.db.execute(f"CREATE TEMP TABLE chosen AS {sql}", params)
        return self._remove(keep=True)

    def keys(self):
        return self._column("SELECT DISTINCT key FROM t")

    def _grouped(self):
        """(key, set of tags) per key: the rows in key order, cut where the key changes."""
        rows = self.db.execute("SELECT key, tag FROM t ORDER BY key").fetchnumpy()
        keys, tags = rows["key"].tolist(), rows["tag"].tolist()
        starts = [i for i in range(len(keys)) if i == 0 or keys[i] != keys[i - 1]]
        ends = starts[1:] + [len(keys)]
        return ((keys[a], set(tags[a:b])) for a, b in zip(starts, ends))


def vornic_class():
    import vornic

    return vornic.Vornic


def warmed(cls):
    """cls, after one small instance has answered every question once: the
    first call of a large library pages in code, which would otherwise count
    as memory the map holds."""
    m = cls({"k1": ["a", "b"], "k2": ["b"], "k3": ["c"]})
    for ask in [m.find, m.count, m.find_any, m.count_any]:
        ask(["a", "b"])
        ask(["b"])
    m.add_tag("k3", "a")
    m.remove_tag("k3", "a")
    m["k1"]
    m.items(), m.values(), m.to_dict()
    m.erase_where(["c"])
    m.retain_where(["b"])
    return cls


IMPLEMENTATIONS = {
    "vornic": vornic_class,
    "python": lambda: PlainPython,
    "roaring": lambda: Roaring,
    "sqlite": lambda: Sqlite,
    "polars": lambda: warmed(Polars),
    "duckdb": lambda: warmed(DuckDB),
}

# Set before the library loads. One thread, as every other implementation
# uses: the columnar engines' worker threads would otherwise share the work
# (their time is taken as the whole process's CPU time). Their allocators
# hand freed pages back at once, as malloc_trim does for the others before
# memory is read.
ENVIRONMENT = {
    "polars": {"POLARS_MAX_THREADS": "1", "_RJEM_MALLOC_CONF": "dirty_decay_ms:0,muzzy_decay_ms:0"},
    "duckdb": {"DUCKDB_JE_MALLOC_CONF": "dirty_decay_ms:0,muzzy_decay_ms:0"},
}
MODULES = {"roaring": "pyroaring", "polars": "polars", "duckdb": "duckdb"}
# Processes whose work may run on other threads than the caller's.
PROCESS_CLOCK = {"polars", "duckdb"}
