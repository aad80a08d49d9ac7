"""Times the Dask shards of examples/shards.py at a size, and how long each
step keeps a worker from its heartbeats.

    python bench/shards_scale.py [--entries 1000000] [--shards 2]

Starts a cluster of 2 worker processes on 127.0.0.1 (stopped at the end),
loads the seeded workload of bench/run.py into the shards, snapshots them,
restores shard 0, asks a question of every shard, and loads shard 0's contents
as one whole map pickle in one call on a worker, as a snapshot was loaded
before it came in slices. For each step it prints the wall time, the time per
million entries of the largest shard it touched, and the longest the
scheduler went without a heartbeat from any worker while it ran (sampled
every 50 ms; the workers beat every 0.5 s).
"""

import argparse
import logging
import os
import pickle
import sys
import tempfile
import threading
import time
from pathlib import Path

from dask.distributed import Client, LocalCluster

import vornic
import workload

sys.path.insert(0, str(Path(__file__).parents[1] / "examples"))
from shards import ShardedVornic  # noqa: E402


class Gaps:
    """The longest time since any worker's last heartbeat, sampled while a step runs."""

    def __init__(self, scheduler):
        self.scheduler, self.longest, self.done = scheduler, 0.0, threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self):
        while not self.done.wait(0.05):
            now = time.time()
            self.longest = max([self.longest] + [now - ws.last_seen for ws in self.scheduler.workers.values()])

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()


def reset_peak():
    """The resident size now, from which the peak (VmHWM) starts afresh."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status("VmRSS")


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def load_whole(path):
    with open(path, "rb") as f:
        return len(pickle.load(f))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=2)
    args = parser.parse_args()
    data = workload.generate_data(args.entries)
    with (tempfile.TemporaryDirectory(prefix="vornic-shards-bench-") as scratch,
          LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                       dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster,
          Client(cluster, direct_to_workers=True) as client,
          ShardedVornic(client, args.shards, timeout=30, per_million=60) as m):
        per_shard = [0] * args.shards
        for k in data:
            per_shard[m.shard_of(k)] += 1
        whole = os.path.join(scratch, "whole.pickle")
        with open(whole, "wb") as f:
            pickle.dump(vornic.Vornic({k: t for k, t in data.items() if m.shard_of(k) == 0}), f, protocol=5)
        steps = [("bulk load (update)", max(per_shard), lambda: m.update(data)),
                 ("snapshot", max(per_shard), lambda: m.snapshot(scratch)),
                 ("restore(0)", per_shard[0], lambda: m.restore(0)),
                 ("len, every shard", max(per_shard), lambda: len(m)),
                 ("keys, every shard", max(per_shard), m.keys),
                 ("one whole pickle, one call", per_shard[0],
                  lambda: client.submit(load_whole, whole, workers=[m.workers[1]], pure=False).result())]
        print(f"{args.entries:,} entries over {args.shards} shards ({', '.join(f'{n:,}' for n in per_shard)})")
        print("| step | wall time | per million entries of a shard | longest without a heartbeat "
              "| a worker's peak above its size before |")
        print("|---|---|---|---|---|")
        for name, entries, step in steps:
            before = client.run(reset_peak)
            with Gaps(cluster.scheduler) as gaps:
                start = time.perf_counter()
                step()
                took = time.perf_counter() - start
            peak = client.run(status, "VmHWM")
            above = max(peak[w] - before[w] for w in before)
            print(f"| {name} | {took:.2f} s | {took / entries * 1e6:.2f} s | {gaps.longest:.1f} s "
                  f"| {above / 1e6:,.0f} MB |", flush=True)
        print(f"snapshot files: {sum(os.path.getsize(p) for p in Path(scratch).glob('shard-*')) / 1e6:,.0f} MB")


if __name__ == "__main__":
    main()
