"""Times vornic against its peers on the same seeded workload.

    python bench/run.py [--sizes 10000,100000,1000000] [--impls vornic,python,...]
                        [--listings-up-to N]

Every implementation runs in its own processes per size (one answers, one
removes), so that the memory it adds per entry is measured cleanly. Prints a table of median times with
each peer's ratio to vornic (above 1: vornic is faster) and writes
bench/results/results.json, which bench/chart.py draws.
"""

import argparse
import ctypes
import datetime
import gc
import importlib.metadata
import importlib.util
import itertools
import json
import os
import platform
import sqlite3
import statistics
import subprocess
import sys
import time
from functools import partial
from pathlib import Path

import workload

BENCH = Path(__file__).resolve().parent
BUILD = BENCH / "build"
RESULTS = BENCH / "results" / "results.json"
PEERS = ["vornic", "python", "roaring", "sqlite", "polars", "duckdb"]
FLOOR = "floor"

ALL_OF = ["one_rare", "one_medium", "one_common", "common_pair", "rare_common", "triple"]
ANY_OF = ["any_medium", "any_common"]
ERASE_QUERY = "one_medium"  # removes about 1% of the entries
RETAIN_QUERY = "one_common"  # keeps the largest share, removes the rest
EDITED_TAG = "one_medium"  # added to and removed from keys that lack it
LISTINGS = ["keys", "values", "items", "to_dict"]


# ---- timing ----------------------------------------------------------------

# CPU time of this thread, not wall time: the machine may be shared, and time
# spent descheduled is not the code's. Everything timed is single-threaded;
# the peers that may work on threads of their own are held to one and timed by
# the CPU time of their whole process (see worker()).
clock = time.thread_time


def measure(fn, min_batch=0.02, budget=0.5, repeats=(5, 25)):
    """(median, best) seconds per call of fn(), timeit-style: calls are
    batched until a batch takes min_batch, then batches are repeated to fill
    about `budget` seconds (within `repeats`). The garbage collector is off
    meanwhile."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        number = 1
        while True:
            batch = timed_batch(fn, number)
            if batch >= min_batch:
                break
            number = number * 10 if batch < min_batch / 20 else number * 2
        lo, hi = repeats
        count = max(lo, min(hi, int(budget / batch)))
        batches = [batch] + [timed_batch(fn, number) for _ in range(count - 1)]
    finally:
        if enabled:
            gc.enable()
    return statistics.median(batches) / number, min(batches) / number


def timed_batch(fn, number):
    start = clock()
    for _ in range(number):
        fn()
    return clock() - start


def timed(fn):
    """(seconds, result) of one call, collector off."""
    gc.disable()
    try:
        start = clock()
        result = fn()
        return clock() - start, result
    finally:
        gc.enable()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settled_rss():
    """Resident size after freeing what can be freed, so that a later delta
    counts only what was kept."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return rss_bytes()


# ---- one implementation in one process -------------------------------------


def peak_rss():
    """The process's peak resident size so far (VmHWM)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def run_peer(impl, size, phase, copying_listings=True):
    """Times one of the two phases of an implementation's run, each in a
    process of its own: "answers" (build, memory, queries, edits, listings)
    and "removal" (bulk removal, on fresh builds). Between the two the heap
    is left full of holes that a process does not give back, which at 10M
    entries is gigabytes. Without `copying_listings`, the listings that copy
    every tag set (all but keys) are left out."""
    from peers import IMPLEMENTATIONS

    cls = IMPLEMENTATIONS[impl]()
    w = workload.make(size, cache_dir=BUILD)
    data, q = w.data, w.queries
    w = None
    if phase == "removal":
        return run_removal(cls, data, q)
    times, best, checks = {}, {}, {}

    def record(op, fn):
        times[op], best[op] = measure(fn)

    before = settled_rss()
    build_seconds, m = timed(lambda: cls(data))
    build_times = [build_seconds]
    mem_per_entry = (settled_rss() - before) / len(data)

    # partial() rather than a lambda: less harness time in the tiny calls.
    for finder, counter, queries in [("find", "count", ALL_OF), ("find_any", "count_any", ANY_OF)]:
        for query in queries:
            tags = q[query]
            record(f"{finder} {query}", partial(getattr(m, finder), tags))
            record(f"{counter} {query}", partial(getattr(m, counter), tags))
            checks[f"{finder} {query}"] = len(getattr(m, finder)(tags))
            checks[f"{counter} {query}"] = getattr(m, counter)(tags)

    sample = sorted(data)[:: max(1, len(data) // 1000)]
    keys = itertools.cycle(sample)
    record("m[key]", lambda: m[next(keys)])
    checks["m[key]"] = sum(len(m[key]) for key in sample)

    tag = q[EDITED_TAG][0]
    lacking = itertools.cycle([key for key in sample if tag not in data[key]])

    def add_remove():
        key = next(lacking)
        m.add_tag(key, tag)
        m.remove_tag(key, tag)

    # At 10M entries the input is itself gigabytes: it goes while the map
    # answers, so that a listing's copy fits beside the map.
    data = None
    record("add_tag+remove_tag", add_remove)
    checks["add_tag+remove_tag"] = m.count([tag])

    for op in LISTINGS if copying_listings else LISTINGS[:1]:
        if hasattr(cls, op):
            record(op, getattr(m, op))
            checks[op] = len(getattr(m, op)())
    return {"times": times, "best": best, "checks": checks, "builds": build_times,
            "mem_per_entry": mem_per_entry, "peak_rss": {"answers": peak_rss()}}  # fmt: skip


def run_removal(cls, data, q):
    """Bulk removal changes the instance: each run gets a fresh one, built
    outside the timed region (and timed as one more build)."""
    times, best, checks, build_times = {}, {}, {}, []
    repeats = None
    for op, query in [("erase_where", ERASE_QUERY), ("retain_where", RETAIN_QUERY)]:
        runs = []
        while len(runs) < (repeats or 1):
            m = None
            # A dropped map's chunks stay with the C allocator until trimmed:
            # at 10M entries each rebuild would otherwise add gigabytes.
            settled_rss()
            build_seconds, m = timed(lambda: cls(data))
            build_times.append(build_seconds)
            repeats = repeats or max(3, min(7, int(5 / build_seconds)))
            seconds, result = timed(partial(getattr(m, op), q[query]))
            runs.append(seconds)
        times[f"{op} {query}"], best[f"{op} {query}"] = statistics.median(runs), min(runs)
        checks[f"{op} {query}"] = len(result)
        m = None
    return {"times": times, "best": best, "checks": checks, "builds": build_times, "peak_rss": {"removal": peak_rss()}}


def merge_phases(answers, removal):
    """One implementation's result from its two phases' results."""
    result = dict(answers)
    for field in ["times", "best", "checks", "peak_rss"]:
        result[field] = answers[field] | removal[field]
    builds = answers.pop("builds") + removal.pop("builds")
    result.pop("builds")
    result["times"] = {"build": statistics.median(builds)} | result["times"]
    result["best"] = {"build": min(builds)} | result["best"]
    return result


def run_floor(w):
    """Times the floor for every key-returning query: a set of as many new
    str as the query's answer, built from a vector of those keys; and for
    every listing, the same containers of new str built from vectors."""
    sys.path.insert(0, str(build_floor()))
    import vornic_floor

    from peers import PlainPython

    reference = PlainPython(w.data)
    answers = {
        f"{op} {query}": sorted(getattr(reference, op)(w.queries[query]))
        for op, queries in [("find", ALL_OF), ("find_any", ANY_OF)]
        for query in queries
    }
    reference = None
    times, best, checks = {}, {}, {}
    for op, answer in answers.items():
        keys = vornic_floor.Keys(answer)
        times[op], best[op] = measure(keys.to_set)
        checks[op] = len(keys.to_set())
    keys = None
    entries = vornic_floor.Entries(list(w.data), list(w.data.values()))
    for op in LISTINGS:
        times[op], best[op] = measure(getattr(entries, op))
        checks[op] = len(getattr(entries, op)())
    return {"times": times, "best": best, "checks": checks}


def build_floor():
    """Configures and builds bench/floor into bench/build/floor (a no-op when
    it is up to date); returns the directory holding the module."""
    import pybind11

    out = BUILD / "floor"
    configure = [
        "cmake", "-S", str(BENCH / "floor"), "-B", str(out), "-G", "Ninja",
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}",
    ]  # fmt: skip
    if not (out / "build.ninja").exists():
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(out)], check=True, stdout=subprocess.DEVNULL)
    return out


def worker(impl, size, phase, copying_listings):
    global clock
    from peers import ENVIRONMENT, PROCESS_CLOCK

    os.environ.update(ENVIRONMENT.get(impl, {}))
    if impl in PROCESS_CLOCK:
        clock = time.process_time
    if impl == FLOOR:
        result = run_floor(workload.make(size, cache_dir=BUILD))
    else:
        result = run_peer(impl, size, phase, copying_listings)
    if impl in PROCESS_CLOCK:
        result["clock"] = "process CPU time (all threads)"
    json.dump(result, sys.stdout)


def installed(impls):
    """impls without the optional peers whose package is missing, each
    skipped with a note."""
    from peers import MODULES

    missing = [impl for impl in impls if impl in MODULES and importlib.util.find_spec(MODULES[impl]) is None]
    for impl in missing:
        print(f"   skipping {impl}: {MODULES[impl]} is not installed (bench/requirements.txt)", file=sys.stderr)
    return [impl for impl in impls if impl not in missing]


# ---- the whole run ---------------------------------------------------------


def spawn(impl, size, listings_up_to):
    def phase(name):
        command = [sys.executable, __file__, "--worker", impl, "--phase", name, "--sizes", str(size)]
        if listings_up_to and size > listings_up_to:
            command += ["--listings-up-to", str(listings_up_to)]
        done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
        return json.loads(done.stdout)

    if impl == FLOOR:
        return phase("answers")
    return merge_phases(phase("answers"), phase("removal"))


def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = {"python": platform.python_version(), "sqlite": sqlite3.sqlite_version}
    for package in ["vornic", "pyroaring", "polars", "duckdb"]:
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2**30, 1),
        "platform": platform.platform(),
        "versions": versions,
    }


def fmt_time(seconds):
    for unit, scale in [("s", 1), ("ms", 1e-3), ("us", 1e-6)]:
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(size, by_impl):
    """Rows of the printed table for one size."""
    base = by_impl.get("vornic")
    peers = [p for p in PEERS[1:] if p in by_impl]
    head = ["operation", "vornic"] + [f"{p} (x)" for p in peers]
    if FLOOR in by_impl:
        head.append("floor (vornic/floor)")
    rows = [head]
    ops = list(base["times"]) if base else list(next(iter(by_impl.values()))["times"])
    for op in ["build"] + [o for o in ops if o != "build"]:
        cells = [op, fmt_time(base["times"][op]) if base else "-"]
        for p in peers:
            t = by_impl[p]["times"].get(op)
            ratio = f" ({t / base['times'][op]:.2f})" if base and t else ""
            cells.append(fmt_time(t) + ratio if t else "-")
        if FLOOR in by_impl:
            t = by_impl[FLOOR]["times"].get(op)
            cells.append(f"{fmt_time(t)} ({base['times'][op] / t:.2f})" if t and base else "")
        rows.append(cells)
    mem = ["memory/entry", f"{base['mem_per_entry']:.0f} B" if base else "-"]
    for p in peers:
        b = by_impl[p]["mem_per_entry"]
        mem.append(f"{b:.0f} B" + (f" ({b / base['mem_per_entry']:.2f})" if base else ""))
    rows.append(mem + ([""] if FLOOR in by_impl else []))
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    lines = [f"== {size:,} entries (in brackets: peer / vornic; above 1, vornic is faster or smaller)"]
    for r in rows:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def mismatches(by_impl):
    """Answers sizes on which an implementation disagrees with another."""
    seen, wrong = {}, []
    for impl, result in by_impl.items():
        for op, value in result["checks"].items():
            if seen.setdefault(op, (impl, value))[1] != value:
                wrong.append(f"{op}: {impl} gives {value}, {seen[op][0]} gives {seen[op][1]}")
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated entry counts")
    parser.add_argument("--impls", default=",".join(PEERS + [FLOOR]), help="which to run")
    parser.add_argument("--out", type=Path, default=RESULTS, help="JSON file to write")
    parser.add_argument("--merge", action="store_true", help="keep results of the out file not rerun now")
    parser.add_argument("--listings-up-to", type=int, metavar="N",
                        help="beyond N entries, leave out the listings that copy every tag set (all but keys)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--phase", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",")]
    if args.worker:
        return worker(args.worker, sizes[0], args.phase, not args.listings_up_to or sizes[0] <= args.listings_up_to)

    impls = args.impls.split(",")
    unknown = set(impls) - set(PEERS + [FLOOR])
    if unknown:
        parser.error(f"unknown implementations: {', '.join(sorted(unknown))}")
    impls = installed(impls)
    if FLOOR in impls:
        build_floor()
    report = {"results": {}, "queries": {}}
    if args.merge and args.out.exists():
        report = json.loads(args.out.read_text())
    started = time.perf_counter()
    for size in sizes:
        w = workload.make(size, cache_dir=BUILD)  # generated once, read by every worker
        report["queries"][str(size)] = {
            name: {"tags": tags, "carried_by": [w.frequency[t] for t in tags]} for name, tags in w.queries.items()
        }
        by_impl = report["results"].setdefault(str(size), {})
        del w
        for impl in impls:
            t = time.perf_counter()
            by_impl[impl] = spawn(impl, size, args.listings_up_to)
            peaks = by_impl[impl].get("peak_rss", {})
            peak = "".join(f", peak resident {p / 2**30:.1f} GiB ({phase})" for phase, p in peaks.items())
            print(f"   {impl} at {size:,}: {time.perf_counter() - t:.0f}s{peak}", file=sys.stderr)
        print(table(size, by_impl), flush=True)
        for line in mismatches(by_impl):
            print("   MISMATCH", line)
    report["machine"] = machine()
    report["clock"] = "thread CPU time per call, seconds: median ('times') and best ('best') of the repeats"
    report["date"] = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    report["sizes"] = sorted(int(s) for s in report["results"])
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)  # the sdist leaves results/ out
    args.out.write_text(json.dumps(report, indent=1) + "\n")
    print(f"{time.perf_counter() - started:.0f}s in all; wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
