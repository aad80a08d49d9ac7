"""Debian's package catalogue, queried by its faceted tags.

Reads the package lists apt keeps after `apt-get update` (every
/var/lib/apt/lists/*Packages* file, in name order) or, with --packages, one
such file, plain or compressed with gzip, xz or lz4 (lz4 needs the `lz4`
package from PyPI). Each package gets the tags of its Tag: field, such as
role::program or works-with-format::pdf, plus section::S and priority::P from
its Section: and Priority: fields. A package listed more than once keeps its
last stanza.

    python examples/debian_tags.py                    a tour, timed beside a dict of sets and sqlite3
    python examples/debian_tags.py --query role::program interface::x11
    python examples/debian_tags.py --query-any works-with-format::pdf works-with-format::postscript

--query prints the packages carrying every given tag, --query-any those
carrying any of them: one name per line, sorted, and nothing else.
"""

import argparse
import glob
import gzip
import io
import lzma
import os
import re
import pickle
import sqlite3
import sys
import time
from collections import defaultdict

import vornic

LISTS = "/var/lib/apt/lists/*Packages*"
QUESTIONS = [  # asked when every tag is in use: Debian's tags change between releases
    ("GTK programs written in C", "find", ["role::program", "uitoolkit::gtk", "implemented-in::c"]),
    ("programs that work with PDF files", "find", ["role::program", "works-with-format::pdf"]),
    ("text editors that run in a terminal", "find", ["role::program", "use::editing", "works-with::text", "interface::text-mode"]),
    ("Python libraries", "find", ["devel::library", "implemented-in::python"]),
    ("anything for PDF or PostScript", "find_any", ["works-with-format::pdf", "works-with-format::postscript"]),
    ("how many X11 programs", "count", ["role::program", "interface::x11"]),
]


class Refusal(Exception):
    """A problem the user can fix, told in one line."""


def open_list(path):
    if path.endswith(".lz4"):
        try:
            import lz4.frame
        except ImportError:
            raise Refusal(f"{path} is lz4-compressed: reading it needs the lz4 package (pip install lz4)") from None
        raw = lz4.frame.open(path)
    elif path.endswith(".gz"):
        raw = gzip.open(path)
    elif path.endswith(".xz"):
        raw = lzma.open(path)
    else:
        raw = open(path, "rb")
    return io.TextIOWrapper(raw, encoding="utf-8", errors="replace")


def stanzas(lines):
    """Each stanza's fields as {lower-case name: value}; a line starting
    with white space continues the field before it."""
    fields, name = {}, None
    for line in lines:
        if not line.strip():
            if fields:
                yield fields
            fields, name = {}, None
        elif line[0] in " \t":
            if name is not None:
                fields[name] += " " + line.strip()
        else:
            name, _, value = line.partition(":")
            name = name.strip().lower()
            fields[name] = value.strip()
    if fields:
        yield fields


def read_packages(paths):
    """Package name -> tags, the last stanza of a name winning."""
    packages = {}
    for path in paths:
        try:
            with open_list(path) as lines:
                for fields in stanzas(lines):
                    name = fields.get("package")
                    if not name:
                        continue
                    tags = {t.strip() for t in fields.get("tag", "").split(",")} - {""}
                    for field in ("section", "priority"):
                        if fields.get(field):
                            tags.add(f"{field}::{fields[field]}")
                    packages[name] = tags
        except OSError as e:
            raise Refusal(f"cannot read {path}: {e.strerror or e}") from None
    return packages


def best_time(fn, *args):
    """The fastest of several runs, in seconds, and the answer."""
    best, runs, spent = float("inf"), 0, 0.0
    while runs < 5 or (spent < 0.2 and runs < 1000):
        answer = None  # the last run's answer is freed before the clock starts, not on it
        start = time.perf_counter()
        answer = fn(*args)
        took = time.perf_counter() - start
        best, runs, spent = min(best, took), runs + 1, spent + took
    return best, answer


class DictOfSets:
    """Tag -> set of package names, the plain-Python index: the rarest
    tag's set intersected with the others."""

    def __init__(self, packages):
        self.index = defaultdict(set)
        for name, tags in packages.items():
            for tag in tags:
                self.index[tag].add(name)

    def find(self, tags):
        sets = sorted((self.index.get(t, set()) for t in tags), key=len)
        return sets[0].intersection(*sets[1:])

    def find_any(self, tags):
        return set().union(*(self.index.get(t, ()) for t in tags))

    def count(self, tags):
        return len(self.find(tags))

    def dumps(self):
        return pickle.dumps(dict(self.index), pickle.HIGHEST_PROTOCOL)

    @staticmethod
    def loads(data):
        return pickle.loads(data)


class Sqlite:
    """An in-memory (tag, name) table keyed on both; all-of starts from the
    rarest tag (a per-tag count says which) and probes the key for the rest."""

    def __init__(self, packages):
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE TABLE t (tag TEXT, name TEXT, PRIMARY KEY (tag, name)) WITHOUT ROWID")
        self.db.executemany("INSERT INTO t VALUES (?, ?)", sorted((t, n) for n, tags in packages.items() for t in tags))
        self.db.execute("CREATE TABLE counts (tag TEXT PRIMARY KEY, n INTEGER) WITHOUT ROWID")
        self.db.execute("INSERT INTO counts SELECT tag, count(*) FROM t GROUP BY tag")
        self.db.commit()

    def all_of(self, what, tags):
        marks = ", ".join("?" * len(tags))
        counted = dict(self.db.execute(f"SELECT tag, n FROM counts WHERE tag IN ({marks})", tags))
        if len(counted) < len(set(tags)):
            return []
        order = sorted(counted, key=counted.get)
        joins = "".join(f" CROSS JOIN t AS t{i} ON t{i}.tag = ? AND t{i}.name = t0.name" for i in range(1, len(order)))
        return self.db.execute(f"SELECT {what} FROM t AS t0{joins} WHERE t0.tag = ?", order[1:] + order[:1])

    def find(self, tags):
        return {name for (name,) in self.all_of("t0.name", tags)}

    def count(self, tags):
        return next(iter(self.all_of("count(*)", tags)), (0,))[0]

    def find_any(self, tags):
        marks = ", ".join("?" * len(tags))
        return {name for (name,) in self.db.execute(f"SELECT name FROM t WHERE tag IN ({marks})", tags)}

    def dumps(self):
        return self.db.serialize()

    @staticmethod
    def loads(data):
        db = sqlite3.connect(":memory:")
        db.deserialize(data)
        return db


def tour(packages, paths):
    start = time.perf_counter()
    m = vornic.Vornic(packages)
    built = {"vornic": time.perf_counter() - start}
    peers = {}
    for label, peer in (("dict of sets", DictOfSets), ("sqlite3", Sqlite)):
        start = time.perf_counter()
        peers[label] = peer(packages)
        built[label] = time.perf_counter() - start
    faceted = [t for t in m.tags() if not t.startswith(("section::", "priority::"))]
    # count_any([]) would count every package, so no faceted tag means none has a Tag: field.
    untagged = len(m) - (m.count_any(faceted) if faceted else 0)
    print(f"{len(m):,} packages from {len(paths)} list(s), {len(m.tags()):,} tags ({untagged:,} of them without a Tag: field)")
    common = sorted(m.tags(), key=lambda t: (-m.count([t]), t))
    print("most common tags: " + ", ".join(f"{t} {m.count([t]):,}" for t in common[:8]))
    print(f"\n{'question':<40}{'answer':>7}{'vornic':>11}{'dict of sets':>14}{'sqlite3':>11}")
    print(f"{'build the index':<40}{'':>7}" + "".join(f"{built[x] * 1000:{w}.0f} ms" for x, w in zip(built, (8, 11, 8))))
    # Saved and brought back: pickle for the map and the dict, sqlite3's own image of its database.
    saves = [lambda: pickle.dumps(m, pickle.HIGHEST_PROTOCOL)] + [peer.dumps for peer in peers.values()]
    images = [save() for save in saves]
    restores = [pickle.loads] + [peer.loads for peer in peers.values()]
    for label, calls, args in (("save it (dumps)", saves, [()] * 3), ("bring it back (loads)", restores, [(i,) for i in images])):
        times = [best_time(call, *a)[0] for call, a in zip(calls, args)]
        print(f"{label:<40}{'':>7}" + "".join(f"{t * 1000:{w}.1f} ms" for t, w in zip(times, (8, 11, 8))))
    unasked = []
    for question, method, tags in QUESTIONS:
        absent = [t for t in tags if m.count([t]) == 0]
        if absent:
            unasked.append(f"{question} ({', '.join(absent)})")
            continue
        took, answer = best_time(getattr(m, method), tags)
        row = f"{question:<40}{answer if method == 'count' else len(answer):>7,}{took * 1e6:8.1f} µs"
        for width, peer in zip((11, 8), peers.values()):
            peer_took, peer_answer = best_time(getattr(peer, method), tags)
            assert peer_answer == answer, question
            row += f"{peer_took * 1e6:{width}.1f} µs"
        print(row)
    if not faceted:
        print("no question asked: each needs the tags of a Tag: field, and no package here has one")
    elif unasked:
        print("not asked, as no package carries the tags in brackets:" + "".join(f"\n  {q}" for q in unasked))
    print("\nAsk your own with --query TAG... (all of them) or --query-any TAG...")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--packages", metavar="FILE", help="one Packages file instead of apt's lists")
    ask = parser.add_mutually_exclusive_group()
    ask.add_argument("--query", nargs="+", metavar="TAG", help="print the packages carrying all the tags")
    ask.add_argument("--query-any", nargs="+", metavar="TAG", help="print the packages carrying any of the tags")
    args = parser.parse_args()
    # Not the diff indexes that may sit beside the lists.
    paths = [args.packages] if args.packages else sorted(p for p in glob.glob(LISTS) if re.search(r"Packages(\.\w+)?$", p))
    try:
        if not paths:
            raise Refusal(f"no package lists in {LISTS.rsplit('/', 1)[0]}: run `sudo apt-get update`, or pass --packages FILE")
        packages = read_packages(paths)
    except Refusal as e:
        print(f"debian_tags: {e}", file=sys.stderr)
        return 2
    if args.query or args.query_any:
        m = vornic.Vornic(packages)
        names = m.find(args.query) if args.query else m.find_any(args.query_any)
        print("\n".join(sorted(names)), end="\n" if names else "")
    else:
        tour(packages, paths)
    return 0


if __name__ == "__main__":
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader stopped early (`| head`): not an error of ours. Point
        # stdout at nothing so that the flush at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    sys.exit(status)
