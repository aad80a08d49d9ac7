"""Spreads one map over Dask workers, a shard per actor, and checks it against one in process.

The shards are examples/shards.py's ShardedVornic: each a Dask actor holding
one vornic.Vornic on a worker, reached by a stable hash of the key; questions
about tags go to every shard and their answers are merged. Its docstring says
what a caller sees when a worker stalls or dies or the scheduler goes, and
what to do.

Without --scheduler the program starts a LocalCluster of 2 worker processes on
127.0.0.1 (scheduler, workers and the scheduler's HTTP server all on loopback,
on ports the system picks) and stops it when it ends. It builds a seeded map
in process and the same map over 1 shard and over 2, runs each operation many
times on both sides, compares every answer, snapshots and restarts the shards
and compares their whole contents, and prints each operation's time. Exit
status 1 names the first disagreement or shard out of reach; a scheduler that cannot be
reached gives one line and status 2.

    python examples/dask_shards.py [--scheduler tcp://HOST:PORT] [--entries 20000] [--rounds 200]
        [--snapshots DIR]   (on a cluster of several machines, a directory every worker can reach)
"""

import argparse
import logging
import os
import random
import statistics
import sys
import tempfile
import time

from dask.distributed import Client, LocalCluster

import vornic
from shards import ShardedVornic, ShardError

TAGS = [f"t{i:03}" for i in range(200)]
WEIGHTS = [1 / (rank + 1) for rank in range(len(TAGS))]  # a few tags are common


class Disagreement(Exception):
    pass


def assign(m, k, tags):
    m[k] = tags


def delete(m, k):
    del m[k]


# Each operation as a call on either side; both have the same surface.
OPERATIONS = {
    "m[k]": lambda m, k: m[k],
    "m[k] = tags": assign,
    "add_tag": lambda m, k, t: m.add_tag(k, t),
    "remove_tag": lambda m, k, t: m.remove_tag(k, t),
    "has_tag": lambda m, k, t: m.has_tag(k, t),
    "del m[k]": delete,
    "pop": lambda m, k: m.pop(k),
    "find": lambda m, tags: m.find(tags),
    "find_any": lambda m, tags: m.find_any(tags),
    "count": lambda m, tags: m.count(tags),
    "count_any": lambda m, tags: m.count_any(tags),
    "len": lambda m: len(m),
    "keys": lambda m: m.keys(),
    "tags": lambda m: m.tags(),
    "erase_where": lambda m, tags: m.erase_where(tags),
}
LISTINGS = {"len", "keys", "tags"}  # each call moves the whole map or its tags: fewer of them


def arguments(op, keys, rng):
    """Random arguments for one call: mostly present keys and used tags."""
    k = rng.choice(keys) if rng.random() < 0.9 else f"new{rng.randrange(1000)}"
    tag = rng.choices(TAGS, WEIGHTS)[0]
    if op in ("add_tag", "remove_tag", "has_tag"):
        return k, tag
    if op == "m[k] = tags":
        return k, set(rng.sample(TAGS, rng.randint(0, 4)))  # an empty set deletes
    if op in ("m[k]", "del m[k]", "pop"):
        return (k,)
    if op in LISTINGS:
        return ()
    if op == "erase_where":
        return (set(rng.choices(TAGS[20:], k=2)),)  # two uncommon tags: few keys each time
    return (set(rng.choices(TAGS, WEIGHTS, k=rng.randint(1, 3))),)


def answer(fn, m, args):
    """The call's answer in a form both sides share: lists have no meaningful
    order, and a KeyError is an answer too."""
    try:
        result = fn(m, *args)
    except KeyError as e:
        return f"KeyError: {e}"
    return sorted(result) if isinstance(result, list) else result


def timed(fn, m, calls, batch=10):
    """The answers to the calls and the time per call: the median over
    batches, so that a pause of the machine's other work weighs little."""
    answers, times = [], []
    for i in range(0, len(calls), batch):
        start = time.perf_counter()
        answers += [answer(fn, m, args) for args in calls[i : i + batch]]
        times.append((time.perf_counter() - start) / len(calls[i : i + batch]))
    return answers, statistics.median(times)


def compare(what, expected, got):
    if expected != got:
        raise Disagreement(f"{what}: in process {str(expected)[:200]}, through the cluster {str(got)[:200]}")


def exercise(client, entries, shards, rounds, seed, directory, batch, timeout):
    """Runs every operation on a map in process and on one over `shards`
    shards, compares each answer, and returns each operation's time per call
    on both sides."""
    times = {}
    start = time.perf_counter()
    m = vornic.Vornic(entries)
    local_load = time.perf_counter() - start
    with ShardedVornic(client, shards, timeout=timeout) as sharded:
        start = time.perf_counter()
        sharded.update(entries)
        times[f"bulk load ({len(entries):,} entries)"] = (local_load, time.perf_counter() - start)
        rng, keys = random.Random(seed), m.keys()  # removed keys stay candidates: absent keys are asked about too
        for op, fn in OPERATIONS.items():
            calls = [arguments(op, keys, rng) for _ in range(max(10, rounds // 10) if op in LISTINGS else rounds)]
            expected, local = timed(fn, m, calls)
            got, remote = timed(fn, sharded, calls)
            for args, e, g in zip(calls, expected, got):
                compare(f"{op}{args}", e, g)
            times[op] = (local, remote)

        queries = [[rng.choices(TAGS, WEIGHTS)[0], rng.choice(TAGS[:5])] for _ in range(batch)]
        start = time.perf_counter()
        expected = [m.find(q) for q in queries]
        local = time.perf_counter() - start
        start = time.perf_counter()
        got = sharded.find_many(queries)
        compare(f"{batch} finds", expected, got)
        times[f"{batch} finds, 16 in flight, per second"] = (batch / local, batch / (time.perf_counter() - start))

        # The shards' snapshots, read by a new set of actors, hold the map.
        sharded.snapshot(directory)
        with ShardedVornic.from_snapshots(client, directory, timeout=sharded.timeout) as restarted:
            compare("contents after a restart from snapshots", m.to_dict(), dict(restarted.items()))

        tags = [TAGS[0]]
        compare(f"retain_where({tags})", sorted(m.retain_where(tags)), sorted(sharded.retain_where(tags)))
        compare("contents at the end", m.to_dict(), dict(sharded.items()))
    return times


def duration(seconds):
    """Three significant digits in the largest unit that keeps them at least 1."""
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        rounded = float(f"{seconds / scale:.3g}")
        if rounded >= 1 or unit == "ns":
            return f"{rounded:g} {unit}"


def report(times_by_shards):
    columns = ["in process"] + [f"{n} shard{'s' if n > 1 else ''}" for n in times_by_shards]
    print(f"{'operation':<36}" + "".join(f"{c:>12}" for c in columns))
    first = next(iter(times_by_shards.values()))
    for op, (local, _) in first.items():
        remote = [times[op][1] for times in times_by_shards.values()]
        if op.endswith("per second"):
            cells = [f"{local:,.0f}"] + [f"{r:,.0f}" for r in remote]
        else:
            cells = [duration(local)] + [duration(r) for r in remote]
        print(f"{op:<36}" + "".join(f"{c:>12}" for c in cells))


def run(client, args):
    rng = random.Random(args.seed)
    entries = {f"k{i:06}": set(rng.choices(TAGS, WEIGHTS, k=rng.randint(2, 6))) for i in range(args.entries)}
    workers = sorted(client.nthreads())
    print(f"{len(entries):,} entries, {args.rounds} calls of each operation, "
          f"on {len(workers)} worker(s) of {client.scheduler.address}", flush=True)
    times = {}
    for shards in (1, 2):
        directory = os.path.join(args.snapshots, f"{shards}-shards")
        os.makedirs(directory, exist_ok=True)
        times[shards] = exercise(client, entries, shards, args.rounds, args.seed, directory, args.batch,
                                 args.timeout)
    print("every answer agrees with the map in process, and so do the contents of shards restarted from "
          "their snapshots; time per call, median over batches of 10 (the last row: finds answered per second):")
    report(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (default: start a local cluster)")
    parser.add_argument("--entries", type=int, default=20000, help="entries in the map (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=200, help="calls of each operation (default: %(default)s)")
    parser.add_argument("--batch", type=int, default=400, help="finds sent at once (default: %(default)s)")
    parser.add_argument("--snapshots", help="directory for the shards' snapshots (default: a temporary one)")
    parser.add_argument("--timeout", type=float, default=10,
                        help="seconds to wait for a call about one key (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    try:
        with tempfile.TemporaryDirectory(prefix="vornic-shards-") as scratch:
            args.snapshots = os.path.abspath(args.snapshots or scratch)
            if args.scheduler:
                try:
                    client = Client(args.scheduler, timeout=args.timeout, direct_to_workers=True)
                except OSError as e:
                    print(f"dask_shards: cannot reach the scheduler at {args.scheduler}: {e}", file=sys.stderr)
                    return 2
                with client:
                    run(client, args)
            else:
                # Loopback only, every port the system's choice: the scheduler's
                # HTTP server would otherwise take 8787, or with ":8787" every address.
                with (LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster,
                      Client(cluster, direct_to_workers=True) as client):
                    run(client, args)
    except Disagreement as e:
        print(f"dask_shards: the shards and the map in process disagree: {e}", file=sys.stderr)
        return 1
    except ShardError as e:
        print(f"dask_shards: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
