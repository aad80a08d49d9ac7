"""A catalogue of 200,000 files tagged by type, owner, project, year and state.

Builds the map from generated data (seeded, so every run is the same), runs the
queries such a catalogue gets, edits tags and removes files in bulk, and says
how long each step took. A plain dict of sets answers one query too, to show
what the tag index saves.

    python examples/file_catalog.py [number_of_files]
"""

import random
import sys
import time
from contextlib import contextmanager

import vornic

TYPES = ["pdf", "docx", "xlsx", "png", "jpg", "py", "md", "csv", "log", "tmp"]
OWNERS = [f"user{i:03}" for i in range(300)]
PROJECTS = [f"proj{i:02}" for i in range(40)]
YEARS = [str(y) for y in range(2015, 2025)]


@contextmanager
def step(what):
    start = time.perf_counter()
    yield
    print(f"{(time.perf_counter() - start) * 1000:9.1f} ms  {what}")


def generate(n, rng):
    """File path -> tags, e.g. 'proj07/user042/report-12.pdf' -> {'type:pdf', ...}."""
    files = {}
    for i in range(n):
        kind, owner, project = rng.choice(TYPES), rng.choice(OWNERS), rng.choice(PROJECTS)
        tags = [f"type:{kind}", f"owner:{owner}", f"project:{project}", f"year:{rng.choice(YEARS)}"]
        if rng.random() < 0.05:
            tags.append("confidential")
        if rng.random() < 0.02:
            tags.append("shared")
        files[f"{project}/{owner}/file-{i}.{kind}"] = tags
    return files


def main(n):
    rng = random.Random(2024)
    with step(f"generated {n:,} tagged paths"):
        files = generate(n, rng)

    with step("built the map"):
        catalog = vornic.Vornic(files)
    print(f"           {len(catalog):,} files, {len(catalog.tags()):,} distinct tags")

    print("queries:")
    with step("pdfs of user042 in proj07 (all of three tags)"):
        hits = catalog.find(["type:pdf", "owner:user042", "project:proj07"])
    print(f"           -> {len(hits)} matching, e.g. {min(hits, default='-')}")
    with step("confidential spreadsheets from 2024 (query with one tag per argument)"):
        hits = catalog.query("confidential", "type:xlsx", "year:2024")
    print(f"           -> {len(hits)} matching")
    with step("images of any kind (any of two tags)"):
        hits = catalog.find_any(["type:png", "type:jpg"])
    print(f"           -> {len(hits):,} matching")
    with step("counting shared files per project (40 counts)"):
        per_project = {p: catalog.count(["shared", f"project:{p}"]) for p in PROJECTS}
    busiest = max(per_project, key=per_project.__getitem__)
    print(f"           -> most shared: {busiest} with {per_project[busiest]} files")

    plain = {path: set(tags) for path, tags in files.items()}
    wanted = {"type:pdf", "owner:user042", "project:proj07"}
    with step("the first query again, scanning a dict of sets"):
        scanned = {path for path, tags in plain.items() if wanted <= tags}
    assert scanned == catalog.find(wanted)

    print("edits:")
    sample = rng.sample(catalog.keys(), 1000)
    with step("tagged 1,000 files 'reviewed'"):
        for path in sample:
            catalog.add_tag(path, "reviewed")
    with step("moved proj03 from user007 to user008 (tag edits per file)"):
        moved = catalog.find(["project:proj03", "owner:user007"])
        for path in moved:
            catalog.remove_tag(path, "owner:user007")
            catalog.add_tag(path, "owner:user008")
    print(f"           -> {len(moved)} files moved; user007 still owns {catalog.count(['owner:user007'])}")

    print("bulk removals:")
    with step("deleted every temporary file"):
        removed = catalog.erase_where(["type:tmp"])
    print(f"           -> {len(removed):,} removed, {len(catalog):,} left")
    with step("archived everything from 2015 and 2016 (erase_where per year)"):
        archived = catalog.erase_where(["year:2015"]) + catalog.erase_where(["year:2016"])
    print(f"           -> {len(archived):,} removed, {len(catalog):,} left")
    with step("kept only proj00 to proj09 (retain_where_any)"):
        kept = catalog.retain_where_any([f"project:{p}" for p in PROJECTS[:10]])
    print(f"           -> {len(kept):,} kept; 'type:tmp' still in use: {'type:tmp' in catalog.tags()}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
