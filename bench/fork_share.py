"""Measures how much of a map forked workers share with the parent that built it.

    python bench/fork_share.py [--size 1000000] [--workers 1,2,4] [--impls vornic,python]

The parent builds the seeded workload of bench/run.py in one implementation
(vornic, or plain Python's dict of tag sets plus inverted dict from
bench/peers.py), then forks 1, 2 and 4 workers in turn. Each worker reads
every entry once (m[key] over m.keys()), answers every all-of and any-of query
of the workload and 200 one-tag finds, gives back to the system what it freed,
and waits while the parent reads its /proc/PID/smaps_rollup: Private_Dirty is
what the worker holds alone (pages it wrote, the shared map's included, and
its own heap), Pss its proportional share of everything it maps. The parent
freezes its objects out of the collector before forking (gc.freeze()), as a
pre-fork server should, so that a collection in a worker does not write to
them. Linux only. Prints one row per implementation and number of workers;
with --out, writes them as JSON.
"""

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import workload
from run import BUILD, settled_rss

IMPLS = {"vornic": "vornic", "python": "plain Python"}


def rollup(pid):
    """Private_Dirty and Pss of process pid, in bytes."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("Private_Dirty", "Pss"):
                fields[name] = int(rest.split()[0]) * 1024
    return fields


def queries(m, w):
    """The workers' mix, in the order a reader might ask it."""
    sum(len(m[key]) for key in m.keys())
    for tags in w.queries.values():
        m.find(tags)
        m.find_any(tags)
    for tag in sorted(w.frequency)[:: max(1, len(w.frequency) // 200)]:
        m.find([tag])


def work(m, w, ready, go):
    """A forked worker: the queries, then report and wait to be measured."""
    try:
        queries(m, w)
        gc.collect()
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        os.write(ready, b"1")
        os.read(go, 1)
    finally:
        os._exit(0)


def fork_workers(m, w, count):
    """Forks `count` workers, waits for all to finish their queries, and
    returns their smaps_rollup fields, the parent's, read while they are
    alive, and how long the slowest took."""
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    start = time.perf_counter()
    pids = []
    for _ in range(count):
        pid = os.fork()
        if pid == 0:
            os.close(ready_r)
            os.close(go_w)
            work(m, w, ready_w, go_r)
        pids.append(pid)
    os.close(ready_w)
    os.close(go_r)
    for _ in range(count):
        if not os.read(ready_r, 1):
            sys.exit("a worker died before it was measured")
    seconds = time.perf_counter() - start
    fields = [rollup(pid) for pid in pids]
    parent = rollup(os.getpid())
    os.write(go_w, b"1" * count)
    for pid in pids:
        os.waitpid(pid, 0)
    os.close(ready_r)
    os.close(go_w)
    return fields, parent, seconds


def worker(impl, size, counts):
    from peers import IMPLEMENTATIONS

    w = workload.make(size, cache_dir=BUILD)
    before = settled_rss()
    m = IMPLEMENTATIONS[impl]()(w.data)
    own = settled_rss() - before
    # The parent keeps only the map and the query tags: the input goes.
    w = workload.Workload({}, w.queries, w.frequency)
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    gc.freeze()
    rows = []
    for count in counts:
        fields, parent, seconds = fork_workers(m, w, count)
        private = [f["Private_Dirty"] for f in fields]
        rows.append({
            "workers": count, "map": own, "parent_pss": parent["Pss"],
            "private_dirty": private, "workers_pss": sum(f["Pss"] for f in fields), "seconds": seconds,
        })  # fmt: skip
    return rows


def mb(n):
    return f"{n / 1e6:,.0f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--workers", default="1,2,4", help="comma-separated numbers of workers")
    parser.add_argument("--impls", default=",".join(IMPLS), help="which to run: " + ", ".join(IMPLS))
    parser.add_argument("--out", type=Path, help="JSON file to write")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    counts = [int(c) for c in args.workers.split(",")]
    if args.worker:
        json.dump(worker(args.worker, args.size, counts), sys.stdout)
        return
    workload.make(args.size, cache_dir=BUILD)  # generated once, read by every process
    head = ["", "workers", "map", "private per worker", "workers' Pss", "all Pss", "queries"]
    lines, report = [head], {"size": args.size, "results": {}}
    for impl in args.impls.split(","):
        command = [sys.executable, __file__, "--worker", impl, "--size", str(args.size), "--workers", args.workers]
        rows = json.loads(subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True).stdout)
        report["results"][impl] = rows
        for r in rows:
            private = r["private_dirty"]
            lines.append([
                IMPLS[impl], str(r["workers"]), mb(r["map"]),
                f"{mb(min(private))}-{mb(max(private))}" if len(private) > 1 else mb(private[0]),
                mb(r["workers_pss"]), mb(r["workers_pss"] + r["parent_pss"]), f"{r['seconds']:.1f} s",
            ])  # fmt: skip
    widths = [max(len(row[i]) for row in lines) for i in range(len(head))]
    print(f"== {args.size:,} entries; private = Private_Dirty after the queries; all = workers' and parent's Pss")
    for row in lines:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))))
    if args.out:
        report["date"] = time.strftime("%Y-%m-%d", time.gmtime())
        args.out.parent.mkdir(parents=True, exist_ok=True)  # the sdist leaves results/ out
        args.out.write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
