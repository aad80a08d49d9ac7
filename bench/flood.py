"""Times vornic on keys crafted to collide under a fixed-seed string hash
against random keys of the same length, and the installed build against
another build of vornic (an older revision) in the same run.

    python bench/flood.py [--sizes 16384,65536] [--baseline-rev REV] [--repeats 3]

The crafted keys share one full std::hash code as libstdc++ computes it:
8-byte blocks mix into the state invertibly, so for any printable first
block one can solve for the second block that brings the state back where
it started, and keep the pairs that come out printable. Every sequence of
such 16-byte pairs then hashes alike. Keys are 224 bytes (14 pairs).

Each case runs in its own process, the builds alternating, `--repeats` times;
the table shows medians of thread CPU time and the ratios of the same run.
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
    rng = random.Random(12)
    return ["".join(chr(rng.randrange(0x20, 0x7F)) for _ in range(16 * PAIRS)) for _ in range(n)]


def call_each(fn, args):
    for arg in args:
        fn(arg)


def run_case(kind, n):
    """Seconds per operation for one key set, with the vornic on sys.path."""
    import vornic

    keys = crafted_keys(n) if kind == "crafted" else random_keys(n)
    data = {key: ["x"] for key in keys}
    sample = random.Random(13).sample(keys, min(SAMPLE, n))
    builds = [timed(lambda: vornic.Vornic(data))[0]]
    # The crafted side under a fixed-seed hash is quadratic: time it once only.
    repeats = 1 if builds[0] > 1 else 5
    builds += [timed(lambda: vornic.Vornic(data))[0] for _ in range(repeats - 1)]
    times = {"build": statistics.median(builds)}

    def tag_one_key():
        m = vornic.Vornic()
        m["one"] = keys

    times["one key, keys as tags"] = statistics.median(timed(tag_one_key)[0] for _ in range(repeats))
    m = vornic.Vornic(data)
    tagged = vornic.Vornic({"one": keys})
    budget = 0.2 if repeats > 1 else 0.05
    for op, fn in [("m[key]", m.__getitem__), ("find", tagged.find), ("count", tagged.count)]:
        args = sample if op == "m[key]" else [[key] for key in sample]
        times[op] = measure(partial(call_each, fn, args), budget=budget, repeats=(3, 9))[0] / len(sample)
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
    code = (
        f"import sys, json; sys.path[:0] = [{str(BENCH)!r}] + ([{path!r}] if {path!r} else []);"
        f"import flood; print(json.dumps(flood.run_case({kind!r}, {n})))"
    )
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def fmt(seconds):
    for unit, scale in [("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)]:
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="16384,65536")
    parser.add_argument("--baseline-rev", help="git revision to compare with, e.g. the last one before keyed hashing")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    builds = {"keyed": ""}
    if args.baseline_rev:
        builds = {"before": str(build_baseline(args.baseline_rev)), **builds}

    for n in map(int, args.sizes.split(",")):
        runs = {(b, k): [] for b in builds for k in ("random", "crafted")}
        for _ in range(args.repeats):
            for (build, kind), results in runs.items():
                results.append(worker(kind, n, builds[build]))
        med = {case: {op: statistics.median(r[op] for r in rs) for op in rs[0]} for case, rs in runs.items()}
        print(f"\n{n} keys of {16 * PAIRS} bytes, medians of {args.repeats} runs")
        head = ["operation"] + [f"{b}: random, crafted (ratio)" for b in builds]
        if "before" in builds:
            head.append("keyed ÷ before, random keys")
        print(" | ".join(head))
        for op in med[("keyed", "random")]:
            row = [op]
            for b in builds:
                r, c = med[(b, "random")][op], med[(b, "crafted")][op]
                row.append(f"{fmt(r)}, {fmt(c)} ({c / r:.3g})")
            if "before" in builds:
                row.append(f"{med[('keyed', 'random')][op] / med[('before', 'random')][op]:.3f}")
            print(" | ".join(row))


if __name__ == "__main__":
    main()
