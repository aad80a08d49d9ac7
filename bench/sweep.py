"""Times queries of fixed selectivity as the map grows, in vornic, plain
Python and sqlite3, and draws time per query against the number of entries.

    python bench/sweep.py [--sizes 10000,...,10000000]   # runs, then draws
    python bench/sweep.py --plot                         # draws the last run

The entries are the workload of bench/run.py (about 610 B each in vornic).
Two tags are added to a fixed number of entries spread evenly over the keys,
so that the answers keep their size while N grows (the peers up to 2M
entries, vornic to 10M):

- rare + common: the rare tag (100 carriers) with the workload's most common
  tag (about half of all entries);
- one tag, 1,000 carriers: a find whose answer is always 1,000 keys.

An all-of query starts from its rarest tag, so its time should stay flat.
Writes bench/results/sweep.json and bench/results/sweep.png.
"""

import argparse
import gc
import json
import sys
import time
from functools import partial
from pathlib import Path

import run
import workload
from peers import IMPLEMENTATIONS

RESULTS = Path(__file__).resolve().parent / "results"
SIZES = [10_000, 20_000, 50_000, 100_000, 200_000, 500_000, 1_000_000, 2_000_000, 5_000_000, 10_000_000]
# Beyond this only vornic runs: plain Python at 10M needs about 10 GB beside
# its input, and sqlite3 minutes per build.
PEERS_UP_TO = 2_000_000
IMPLS = [("vornic", "vornic", "tab:red"), ("python", "plain Python", "tab:blue"), ("sqlite", "sqlite3", "tab:green")]
RARE, FIXED = "sweep-rare", "sweep-1000"
CARRIERS = {RARE: 100, FIXED: 1000}


def sweep_data(n):
    """The workload of n entries plus the two fixed-count tags, and the
    queries: name -> tags."""
    w = workload.make(n, cache_dir=run.BUILD)
    data = w.data  # a fresh copy read from the cache: edited in place, not copied again
    keys = list(data)
    for tag, count in CARRIERS.items():
        for key in keys[:: len(keys) // count][:count]:
            data[key].append(tag)
    common = w.frequency.most_common(1)[0][0]
    return data, {"rare + common": [RARE, common], "one tag, 1,000 carriers": [FIXED]}


def time_size(n):
    """{impl: {query: seconds}} at n entries, and each answer's size."""
    data, queries = sweep_data(n)
    times, sizes = {}, {}
    for impl, _, _ in IMPLS:
        if impl != "vornic" and n > PEERS_UP_TO:
            continue
        gc.collect()
        started = time.perf_counter()
        m = IMPLEMENTATIONS[impl]()(data)
        built = time.perf_counter() - started
        times[impl] = {}
        for name, tags in queries.items():
            times[impl][name] = run.measure(partial(m.find, tags), budget=0.3)[0]
            answer = len(m.find(tags))
            if sizes.setdefault(name, answer) != answer:
                sys.exit(f"{impl} gives {answer} keys for {name} at {n:,}, not {sizes[name]}")
        m = None
        print(f"   {impl} at {n:,}: built in {built:.1f}s", file=sys.stderr)
    return times, sizes


def draw(report, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = report["sizes"]
    queries = list(report["times"][str(sizes[0])]["vornic"])
    fig, axes = plt.subplots(1, len(queries), figsize=(5.5 * len(queries), 4.2), squeeze=False)
    for ax, query in zip(axes[0], queries):
        for impl, label, colour in IMPLS:
            xs = [n for n in sizes if impl in report["times"][str(n)]]
            ys = [report["times"][str(n)][impl][query] * 1e6 for n in xs]
            ax.plot(xs, ys, marker="o", label=label, color=colour)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"find: {query}")
        ax.set_xlabel("entries in the map")
        ax.set_ylabel("median time per query (µs)")
        ax.grid(which="both", alpha=0.3)
    axes[0][0].legend()
    fig.text(0.99, 0.01, f"{report['machine']['cpu']}; thread CPU time; {report['date']}",
             ha="right", va="bottom", fontsize="x-small")  # fmt: skip
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(out, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated entry counts")
    parser.add_argument("--plot", action="store_true", help="only draw the last results")
    args = parser.parse_args()
    out = RESULTS / "sweep.json"
    if not args.plot:
        report = {"sizes": [int(s.replace("_", "")) for s in args.sizes.split(",")], "times": {}}
        report["answer_sizes"] = {}
        for n in report["sizes"]:
            report["times"][str(n)], report["answer_sizes"][str(n)] = time_size(n)
        report["machine"] = run.machine()
        report["clock"] = "median thread CPU time per call, seconds"
        report["date"] = time.strftime("%Y-%m-%d", time.gmtime())
        out.parent.mkdir(parents=True, exist_ok=True)  # the sdist leaves results/ out
        out.write_text(json.dumps(report, indent=1) + "\n")
    report = json.loads(out.read_text())
    draw(report, RESULTS / "sweep.png")
    for query in report["times"][str(report["sizes"][0])]["vornic"]:
        print(f"{query}:")
        for n in report["sizes"]:
            row = report["times"][str(n)]
            keys = report["answer_sizes"][str(n)][query]
            cells = [f"{impl} {run.fmt_time(row[impl][query]):>9}" for impl, _, _ in IMPLS if impl in row]
            print(f"  {n:>9,} ({keys:,} keys)  " + "  ".join(cells))
    print(f"wrote {out} and {RESULTS / 'sweep.png'}", file=sys.stderr)


if __name__ == "__main__":
    main()
