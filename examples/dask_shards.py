"""Spreads one map over Dask workers, a shard per actor, and checks it against one in process.

A key belongs to shard crc32(UTF-8 of the key) % N, a hash every process
computes alike (Python's own str hash is salted per process). Each shard is a
Dask actor holding one vornic.Vornic on a worker. A call about one key goes to
that key's shard alone; a question about tags goes to every shard at once, and
the answers are merged: sets united, counts added, lists joined (a key lives in
one shard, so nothing is counted twice). Each shard can write its pickle to a
directory that its worker can reach, and a new set of actors, on this cluster
or another, can start from those files.

When a shard's worker dies, the next call to that shard raises ShardLost,
naming the shard, within the call timeout; restore() starts the shard again on
a live worker from its last snapshot. Whatever changed on that shard since the
snapshot is lost: Dask keeps an actor's state only in its worker's memory.

Without --scheduler the program starts a LocalCluster of 2 worker processes on
127.0.0.1 (scheduler, workers and the scheduler's HTTP server all on loopback,
on ports the system picks) and stops it when it ends. It builds a seeded map
in process and the same map over 1 shard and over 2, runs each operation many
times on both sides, compares every answer, snapshots and restarts the shards
and compares their whole contents, and prints each operation's time. Exit
status 1 names the first disagreement or lost shard; a scheduler that cannot be
reached gives one line and status 2.

    python examples/dask_shards.py [--scheduler tcp://HOST:PORT] [--entries 20000] [--rounds 200]
        [--snapshots DIR]   (on a cluster of several machines, a directory every worker can reach)
"""

import argparse
import collections
import glob
import logging
import os
import pickle
import random
import re
import statistics
import sys
import tempfile
import time
import uuid
import zlib

from dask.distributed import Client, LocalCluster

import vornic

TAGS = [f"t{i:03}" for i in range(200)]
WEIGHTS = [1 / (rank + 1) for rank in range(len(TAGS))]  # a few tags are common
SNAPSHOT = "shard-{:03}-of-{:03}.pickle"


def packed(value):
    return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)


class Shard:
    """One part of the map, held by a Dask actor on a worker. Dask looks an
    actor's methods up on its class, so each call the client makes is spelled
    out. Large arguments and answers travel pickled: Dask's message encoding
    walks a list or set element by element, tens of microseconds per string,
    where one bytes object passes whole."""

    def __init__(self, snapshot=None):
        if snapshot is None:
            self.m = vornic.Vornic()
        else:
            with open(snapshot, "rb") as f:
                self.m = pickle.load(f)

    def update(self, part):
        self.m.update(pickle.loads(part))

    def get(self, k):
        return self.m[k]

    def set(self, k, tags):
        self.m[k] = tags

    def delete(self, k):
        del self.m[k]

    def pop(self, k, default):
        return self.m.pop(k, default)

    def add_tag(self, k, t):
        self.m.add_tag(k, t)

    def remove_tag(self, k, t):
        self.m.remove_tag(k, t)

    def has_tag(self, k, t):
        return self.m.has_tag(k, t)

    def find(self, tags):
        return packed(self.m.find(tags))

    def find_any(self, tags):
        return packed(self.m.find_any(tags))

    def count(self, tags):
        return self.m.count(tags)

    def count_any(self, tags):
        return self.m.count_any(tags)

    def size(self):
        return len(self.m)

    def keys(self):
        return packed(self.m.keys())

    def items(self):
        return packed(self.m.items())

    def tags(self):
        return packed(self.m.tags())

    def erase_where(self, tags):
        return packed(self.m.erase_where(tags))

    def retain_where(self, tags):
        return packed(self.m.retain_where(tags))

    def snapshot(self, path):
        """Writes the map's pickle to path, whole or not at all; returns its size."""
        temporary = f"{path}.{os.getpid()}.tmp"
        with open(temporary, "wb") as f:
            pickle.dump(self.m, f, protocol=pickle.HIGHEST_PROTOCOL)
        os.replace(temporary, path)
        return os.path.getsize(path)


class ShardLost(RuntimeError):
    """A shard's worker died or did not answer in time: its entries are out of
    reach until restore() brings back its last snapshot."""

    def __init__(self, shard, shards, address, why):
        super().__init__(f"shard {shard} of {shards} (on {address}) is lost: {why}; restore({shard}) brings back "
                         "its last snapshot, without the changes made on it since")
        self.shard = shard


class ShardedVornic:
    """A map spread over Dask actors, with the calls of vornic.Vornic that make
    sense across shards. Every call waits at most `timeout` seconds; `workers`
    holds the address of each shard's worker."""

    def __init__(self, client, shards, *, timeout=30.0, snapshots=None):
        self.client, self.timeout, self.snapshots = client, timeout, snapshots
        self._futures, self._actors, self.workers = [None] * shards, [None] * shards, [None] * shards
        live = sorted(client.nthreads())
        if not live:
            raise RuntimeError(f"the cluster at {client.scheduler.address} has no workers")
        for i in range(shards):
            path = None if snapshots is None else os.path.join(snapshots, SNAPSHOT.format(i, shards))
            self._place(i, live[i % len(live)], path)

    @classmethod
    def from_snapshots(cls, client, directory, **kwargs):
        """The shards whose snapshots are in directory, each started from its file."""
        directory = os.path.abspath(directory)
        found = [re.fullmatch(r"shard-(\d+)-of-(\d+)\.pickle", os.path.basename(p))
                 for p in glob.glob(os.path.join(directory, "shard-*-of-*.pickle"))]
        numbers = sorted((int(f[2]), int(f[1])) for f in found if f)
        if not numbers or numbers != [(numbers[0][0], i) for i in range(numbers[0][0])]:
            raise FileNotFoundError(f"no complete set of shard snapshots in {directory}")
        return cls(client, numbers[0][0], snapshots=directory, **kwargs)

    def _place(self, i, worker, snapshot):
        """Starts shard i as an actor on worker, empty or from a snapshot. The
        actor is pinned there: Dask does not move an actor's state, so a copy
        elsewhere would only be an empty map answering in its place."""
        future = self.client.submit(Shard, snapshot, actor=True, workers=[worker], allow_other_workers=False,
                                    key=f"vornic-shard-{i}-{uuid.uuid4().hex}")
        self._actors[i] = future.result(timeout=self.timeout)
        self._futures[i], self.workers[i] = future, worker

    def restore(self, i, directory=None):
        """Starts shard i again from its last snapshot (in directory, by default
        where the map last wrote or read them), on the live worker that holds
        the fewest shards. Its changes since that snapshot are lost."""
        directory = os.path.abspath(directory or self.snapshots)
        live = sorted(self.client.nthreads())
        if not live:
            raise RuntimeError("no live worker to restore the shard on")
        held = [a for j, a in enumerate(self.workers) if j != i and self._futures[j].status == "finished"]
        worker = min(live, key=held.count)
        self._futures[i].release()
        self._place(i, worker, os.path.join(directory, SNAPSHOT.format(i, len(self._actors))))

    def snapshot(self, directory):
        """Every shard writes its pickle into directory at once; returns the bytes written."""
        directory = os.path.abspath(directory)
        paths = [os.path.join(directory, SNAPSHOT.format(i, len(self._actors))) for i in range(len(self._actors))]
        sizes = self._wait_all([self._start(i, "snapshot", path) for i, path in enumerate(paths)])
        self.snapshots = directory
        return sum(sizes)

    def close(self):
        for future in self._futures:
            if future is not None:
                future.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Calls to the actors. A call to a dead worker fails in one of three ways:
    # the actor proxy refuses it once the scheduler has marked the actor lost,
    # the connection fails, or (a machine gone silent) no answer comes; each
    # becomes ShardLost here, and only the map's own errors pass through.

    def _lost(self, i, why):
        return ShardLost(i, len(self._actors), self.workers[i], why)

    def _worker_gone(self, i, patience=5.0):
        """Whether the scheduler has marked shard i's actor lost, waiting a
        little for it to notice a connection that just broke."""
        deadline = time.monotonic() + patience
        while self._futures[i].status == "finished" and time.monotonic() < deadline:
            time.sleep(0.02)
        return self._futures[i].status != "finished"

    def _start(self, i, method, *args):
        try:
            return i, getattr(self._actors[i], method)(*args)
        except RuntimeError:  # the proxy's "Worker holding Actor was lost"
            if self._futures[i].status == "finished":
                raise
            raise self._lost(i, "its worker died") from None

    def _wait(self, call):
        i, future = call
        try:
            return future.result(timeout=self.timeout)
        except OSError as e:  # TimeoutError, and a broken connection
            if self._worker_gone(i):
                raise self._lost(i, "its worker died") from None
            if isinstance(e, TimeoutError):
                raise self._lost(i, f"no answer within {self.timeout:g} s") from None
            raise

    def _wait_all(self, calls):
        return [self._wait(call) for call in calls]

    def _one(self, key, method, *args):
        return self._wait(self._start(self.shard_of(key), method, *args))

    def _every(self, method, *args):
        return self._wait_all([self._start(i, method, *args) for i in range(len(self._actors))])

    def _every_packed(self, method, *args):
        return [pickle.loads(answer) for answer in self._every(method, *args)]

    def shard_of(self, key):
        data = key.encode() if isinstance(key, str) else bytes(key)
        return zlib.crc32(data) % len(self._actors)

    def update(self, entries):
        """Stores {key: tags}, each shard's part in one call, all shards at once."""
        parts = [{} for _ in self._actors]
        for k, tags in entries.items():
            parts[self.shard_of(k)][k] = list(tags)
        self._wait_all([self._start(i, "update", packed(part)) for i, part in enumerate(parts)])

    def __getitem__(self, k):
        return self._one(k, "get", k)

    def __setitem__(self, k, tags):
        self._one(k, "set", k, list(tags))

    def __delitem__(self, k):
        self._one(k, "delete", k)

    def pop(self, k, default=None):
        return self._one(k, "pop", k, default)

    def add_tag(self, k, t):
        self._one(k, "add_tag", k, t)

    def remove_tag(self, k, t):
        self._one(k, "remove_tag", k, t)

    def has_tag(self, k, t):
        return self._one(k, "has_tag", k, t)

    def find(self, tags):
        return set().union(*self._every_packed("find", list(tags)))

    def find_many(self, queries, in_flight=16):
        """The answers to many all-of queries, up to in_flight of them sent to
        every shard before the oldest answer is awaited. Each call in flight
        holds a connection of its own to its worker."""
        answers, pending = [], collections.deque()
        for q in queries:
            pending.append([self._start(i, "find", list(q)) for i in range(len(self._actors))])
            if len(pending) == in_flight:
                answers.append(set().union(*map(pickle.loads, self._wait_all(pending.popleft()))))
        answers += [set().union(*map(pickle.loads, self._wait_all(calls))) for calls in pending]
        return answers

    def find_any(self, tags):
        return set().union(*self._every_packed("find_any", list(tags)))

    def count(self, tags):
        return sum(self._every("count", list(tags)))

    def count_any(self, tags):
        return sum(self._every("count_any", list(tags)))

    def __len__(self):
        return sum(self._every("size"))

    def keys(self):
        return [k for part in self._every_packed("keys") for k in part]

    def items(self):
        return [item for part in self._every_packed("items") for item in part]

    def tags(self):
        return list(set().union(*self._every_packed("tags")))

    def erase_where(self, tags):
        return [k for part in self._every_packed("erase_where", list(tags)) for k in part]

    def retain_where(self, tags):
        return [k for part in self._every_packed("retain_where", list(tags)) for k in part]


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


def exercise(client, entries, shards, rounds, seed, directory, batch):
    """Runs every operation on a map in process and on one over `shards`
    shards, compares each answer, and returns each operation's time per call
    on both sides."""
    times = {}
    start = time.perf_counter()
    m = vornic.Vornic(entries)
    local_load = time.perf_counter() - start
    with ShardedVornic(client, shards) as sharded:
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
        times[shards] = exercise(client, entries, shards, args.rounds, args.seed, directory, args.batch)
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
    parser.add_argument("--timeout", type=float, default=30, help="seconds to wait for any call (default: %(default)s)")
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
    except ShardLost as e:
        print(f"dask_shards: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
