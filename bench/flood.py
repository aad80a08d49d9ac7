"""Times vornic on keys crafted to collide under a fixed-seed string hash
against random keys of the same length, and the installed build against
another build of vornic (an older revision) in the same run.

    python bench/flood.py [--sizes 16384,65536] [--workload-size 100000]
                          [--baseline-rev REV] [--repeats 5]

The crafted keys share one full std::hash code as libstdc++ computes it:
8-byte blocks mix into the state invertibly, so for any printable first
block one can solve for the second block that brings the state back where
it started, and keep the pairs that come out printable. Every sequence of
such 16-byte pairs then hashes alike. Keys are 224 bytes (14 pairs).

Each case runs in its own process, the builds alternating, `--repeats` times
(crafted keys under the older build once: they take minutes); the tables show
medians of thread CPU time and the ratios of the same run. The last table
times bench/run.py's workload, short keys and tags, in both builds.
"""

import argparse
import json
import random
import statistics
import subprocess
import sys
from functools import partial
from pathlib import Path

from run import BUILD, measure, timed

BENCH = Path(__file__).resolve().parent
PAIRS = 14
MASK = (1 << 64) - 1
MUL = 0xC6A4A7935BD1E995
SEED = 0xC70F6907
SAMPLE = 1000  # keys looked up per timed batch
WORKLOAD_QUERIES = ["one_rare", "rare_common", "one_common", "common_pair"]


def mix(block):
    v = (block * MUL) & MASK
    return ((v ^ (v >> 47)) * MUL) & MASK


def unmix(value):
    inv = pow(MUL, -1, 1 << 64)
    v = (value * inv) & MASK
    return ((v ^ (v >> 47)) * inv) & MASK


def loops(count, rng):
    """`count` printable 16-byte strings each leading libstdc++'s hash state
    for a 16 * PAIRS byte string from its start back to its start."""
    start = SEED ^ ((16 * PAIRS * MUL) & MASK)
    found = []
    while len(found) < count:
        first = bytes(rng.randrange(0x20, 0x7F) for _ in range(8))
        middle = ((start ^ mix(int.from_bytes(first, "little"))) * MUL) & MASK
        second = unmix(((start * pow(MUL, -1, 1 << 64)) & MASK) ^ middle).to_bytes(8, "little")
        if all(0x20 <= c < 0x7F for c in second):
            found.append((first + second).decode())
    return found


def crafted_keys(n):
    """n distinct keys sharing one std::hash: base-b numerals over b loops."""
    base = 2
    while base**PAIRS < n:
        base += 1
    parts = loops(base, random.Random(11))
    keys = []
    for i in range(n):
        digits = []
        for _ in range(PAIRS):
            i, d = divmod(i, base)
            digits.append(parts[d])
        keys.append("".join(digits))
    return keys


def random_keys(n):
    length = 16 * PAIRS
    text = "".join(random.Random(12).choices([chr(c) for c in range(0x20, 0x7F)], k=n * length))
    return [text[i : i + length] for i in range(0, n * length, length)]


def call_each(fn, args):
    for arg in args:
        fn(arg)


def run_case(kind, n):
    """Seconds per operation for one key set, with the vornic on sys.path."""
    import vornic

    keys = crafted_keys(n) if kind == "crafted" else random_keys(n)
    data = {key: ["x"] for key in keys}
    seconds, m = timed(lambda: vornic.Vornic(data))
    builds = [seconds]
    # The crafted side under a fixed-seed hash is quadratic: time it once only.
    slow = seconds > 1
    for _ in range(0 if slow else 4):
        m = None
        seconds, m = timed(lambda: vornic.Vornic(data))
        builds.append(seconds)
    times = {"build": statistics.median(builds)}

    def tag_one_key():
        tagged = vornic.Vornic()
        tagged["one"] = keys
        return tagged

    tags_runs = [timed(tag_one_key) for _ in range(1 if slow else 5)]
    times["one key, keys as tags"] = statistics.median(seconds for seconds, _ in tags_runs)
    tagged = tags_runs[-1][1]
    sample = random.Random(13).sample(keys, 100 if slow else SAMPLE)
    for op, fn in [("m[key]", m.__getitem__), ("find", tagged.find), ("count", tagged.count)]:
        args = sample if op == "m[key]" else [[key] for key in sample]
        times[op] = measure(partial(call_each, fn, args), budget=0.5, repeats=(3, 15))[0] / len(sample)
    return times


def run_workload(n):
    """Seconds per operation on bench/run.py's workload (short keys and tags)."""
    import vornic
    import workload

    w = workload.make(n, cache_dir=BUILD)
    times = {"build": statistics.median(timed(lambda: vornic.Vornic(w.data))[0] for _ in range(3))}
    m = vornic.Vornic(w.data)
    sample = random.Random(13).sample(list(w.data), SAMPLE)
    times["m[key]"] = measure(partial(call_each, m.__getitem__, sample), budget=0.5, repeats=(3, 15))[0] / SAMPLE
    for query in WORKLOAD_QUERIES:
        for op in ("find", "count"):
            times[f"{op} {query}"] = measure(partial(getattr(m, op), w.queries[query]), budget=0.5)[0]
    return times


def build_baseline(rev):
    """Installs vornic as of git revision `rev` into bench/build/base-REV
    unless present; returns that directory."""
    out = BUILD / f"base-{rev}"
    if not any(out.glob("vornic*.so")):
        src = BUILD / f"base-{rev}-src"
        src.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "archive", rev], cwd=BENCH.parent, check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation",
                        "--target", str(out), "-C", f"build-dir={src}/build", str(src)], check=True)  # fmt: skip
    return out


def worker(kind, n, path):
    """Times one case in a fresh process, importing vornic from `path` first."""
    call = f"run_workload({n})" if kind == "workload" else f"run_case({kind!r}, {n})"
    code = (
        f"import sys, json; sys.path[:0] = [{str(BENCH)!r}] + ([{path!r}] if {path!r} else []);"
        f"import flood; print(json.dumps(flood.{call}))"
    )
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def fmt(seconds):
    for unit, scale in [("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)]:
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def table(head, rows):
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def medians(results):
    return {op: statistics.median(r[op] for r in results) for op in results[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="16384,65536")
    parser.add_argument("--workload-size", type=int, default=100_000, help="entries of run.py's workload; 0: skip")
    parser.add_argument("--baseline-rev", help="git revision to compare with, e.g. the last before keyed hashing")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    builds = {"keyed": ""}
    if args.baseline_rev:
        builds = {"before": str(build_baseline(args.baseline_rev)), **builds}
    cases = [(kind, n) for n in map(int, args.sizes.split(",")) for kind in ("random", "crafted")]
    if args.workload_size:
        cases.append(("workload", args.workload_size))

    runs = {(build, case): [] for case in cases for build in builds}
    for i in range(args.repeats):  # alternating, so that a busy spell hits both builds alike
        for (build, (kind, n)), results in runs.items():
            # Crafted keys under a fixed-seed hash take minutes, and a run is enough to see it.
            if i == 0 or (build, kind) != ("before", "crafted"):
                results.append(worker(kind, n, builds[build]))
    med = {key: medians(results) for key, results in runs.items()}

    print(f"Medians of {args.repeats} runs (crafted keys before: one); keys of {16 * PAIRS} bytes.")
    head = ["operation", "keys"] + [f"{b}: random / crafted" for b in builds]
    if "before" in builds:
        head.append("keyed ÷ before, random")
    rows = []
    for kind, n in cases:
        if kind != "random":
            continue
        for op in med[("keyed", ("random", n))]:
            row = [op, str(n)]
            for b in builds:
                r, c = med[(b, ("random", n))][op], med[(b, ("crafted", n))][op]
                row.append(f"{fmt(r)} / {fmt(c)} ({c / r:.3g}x)")
            if "before" in builds:
                row.append(f"{med[('keyed', ('random', n))][op] / med[('before', ('random', n))][op]:.3f}")
            rows.append(row)
    table(head, rows)
    if args.workload_size:
        print(f"\nbench/run.py's workload, {args.workload_size} entries.")
        case = ("workload", args.workload_size)
        rows = []
        for op, seconds in med[("keyed", case)].items():
            row = [op] + [fmt(med[(b, case)][op]) for b in builds]
            if "before" in builds:
                row.append(f"{seconds / med[('before', case)][op]:.3f}")
            rows.append(row)
        ratio = ["keyed ÷ before"] if "before" in builds else []
        table(["operation", *builds, *ratio], rows)


if __name__ == "__main__":
    main()
