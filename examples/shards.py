"""One vornic map spread over Dask workers, a shard per actor: ShardedVornic,
and the errors a caller meets when a worker or the scheduler fails.

A key belongs to shard crc32(UTF-8 of the key) % N, a hash every process
computes alike (Python's own str hash is salted per process). A call about one
key goes to that key's shard alone; a question about tags goes to every shard
at once and the answers are merged: sets united, counts added, lists joined (a
key lives in one shard, so nothing is counted twice).

Failures, each its own exception, all ShardError:
  ShardLost      the shard's worker died: restore(i) starts the shard again from
                 its last snapshot on a worker that answers.
  ShardStalled   no answer within the call's limit, but the scheduler still
                 lists the worker (stopped, swapping, cut off). A change sent
                 then may or may not have landed; the next call to the shard
                 fences it first, so nothing sent before lands after. Call
                 again once it answers, or restore(i).
  SchedulerLost  the scheduler is gone; its workers end without it and every
                 shard with them: start a new cluster and from_snapshots().
A change sent to every shard that fails on some carries what landed: .applied
maps each shard that applied it to its answer, .failed each shard that did
not to its error.

Time limits follow the work: a call about one key waits `timeout` seconds; a
call to every shard waits `timeout` plus `per_million` seconds per million
entries the shard holds (each answer reports the shard's size).
Loads and snapshots go in slices of SLICE entries, so that a worker's event
loop, and with it its heartbeats to the scheduler, runs between them.
"""

import glob
import os
import pickle
import re
import sys
import time
import uuid
import zlib

import cloudpickle

import vornic

# The workers need not import this module: its classes travel by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

SLICE = 20_000  # entries per piece of a load or snapshot: a fraction of a second of work each
SNAPSHOT = "shard-{:03}-of-{:03}.pickle"
FORMAT = "vornic shard snapshot, 1"
# What Dask's actor proxy and a closing worker answer instead of the shard.
GOING = {"Unable to contact Actor's worker", "cannot schedule new futures after shutdown"}
PACKED = {"find", "find_any", "keys", "items", "tags", "erase_where", "retain_where"}
CALLS = PACKED | {"__getitem__", "__setitem__", "__delitem__", "pop", "add_tag", "remove_tag", "has_tag",
                  "count", "count_any", "__len__"}


def packed(value):
    return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)


class Fenced(RuntimeError):
    """A call sent before the client fenced the shard off: refused, not applied."""


def read_header(f, path):
    """The header of a snapshot file, or ValueError if it holds none."""
    try:
        header = pickle.load(f)
    except Exception as e:
        raise ValueError(f"{path} holds no shard snapshot ({type(e).__name__}: {e})") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ValueError(f"{path} holds no shard snapshot (another pickle)")
    return header


class Shard:
    """One part of the map, held by a Dask actor on a worker. Every call names
    the client's epoch for the shard: a call from before a fence is refused.
    Each answer comes with the shard's size; large ones travel pickled, as
    Dask's message encoding walks a list or set element by element."""

    def __init__(self):
        self.m, self.epoch = vornic.Vornic(), 0

    def _admit(self, epoch):
        if epoch != self.epoch:
            raise Fenced(f"a call of epoch {epoch} reached a shard fenced at {self.epoch}")

    def call(self, epoch, name, *args):
        self._admit(epoch)
        if name not in CALLS:
            raise AttributeError(name)
        answer = getattr(self.m, name)(*args)
        return (packed(answer) if name in PACKED else answer), len(self.m)

    def fence(self, epoch):
        self.epoch = max(self.epoch, epoch)
        return None, len(self.m)

    def update(self, epoch, part):
        self._admit(epoch)
        self.m.update(pickle.loads(part))
        return None, len(self.m)

    def snapshot(self, epoch, path):
        """Writes a header and the map in slices to path, whole or not at all."""
        self._admit(epoch)
        keys, temporary = self.m.keys(), f"{path}.{os.getpid()}.tmp"
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(temporary, "wb") as f:
            pickle.dump({"format": FORMAT, "entries": len(keys)}, f, protocol=pickle.HIGHEST_PROTOCOL)
            for start in range(0, len(keys), SLICE):
                tags = {}  # each tag's one string: written once, and shared again when read
                pickle.dump({k: [tags.setdefault(t, t) for t in self.m[k]] for k in keys[start : start + SLICE]},
                            f, protocol=pickle.HIGHEST_PROTOCOL)
        os.replace(temporary, path)
        return os.path.getsize(path), len(self.m)

    def header(self, path):
        with open(path, "rb") as f:
            return read_header(f, path), len(self.m)

    def load(self, epoch, path):
        """Takes the map from a snapshot, slice by slice; keeps the old one unless it is whole."""
        self._admit(epoch)
        m = vornic.Vornic()
        with open(path, "rb") as f:
            header = read_header(f, path)
            try:
                while len(m) < header["entries"]:
                    m.update(pickle.load(f))
            except Exception as e:
                raise ValueError(f"{path} is damaged after {len(m):,} of {header['entries']:,} entries "
                                 f"({type(e).__name__}: {e})") from None
        self.m = m
        return None, len(m)


class ShardError(RuntimeError):
    """A shard out of reach. For a change sent to every shard, `applied` maps
    each shard that applied it to its answer, `failed` each that did not to
    its error; both are empty otherwise."""

    def __init__(self, message, shard):
        super().__init__(message)
        self.shard, self.applied, self.failed = shard, {}, {}


class ShardLost(ShardError):
    pass


class ShardStalled(ShardError):
    pass


class SchedulerLost(ShardError):
    pass


class ShardedVornic:
    """A map spread over Dask actors, with the calls of vornic.Vornic that make
    sense across shards, for one thread at a time. `workers` holds the
    address of each shard's worker."""

    def __init__(self, client, shards, *, timeout=10.0, per_million=60.0, snapshots=None):
        self.client, self.timeout, self.per_million, self.snapshots = client, timeout, per_million, snapshots
        self._futures, self._actors, self.workers = [None] * shards, [None] * shards, [None] * shards
        self._epochs, self._sizes, self._in_doubt = [0] * shards, [0] * shards, [False] * shards
        live = sorted(client.nthreads())
        if not live:
            raise RuntimeError(f"the cluster at {client.scheduler.address} has no workers")
        try:
            for i in range(shards):
                self._place(i, live[i % len(live)])
        except BaseException:
            self.close()
            raise

    @classmethod
    def from_snapshots(cls, client, directory, shards=None, **kwargs):
        """The shards whose snapshots are in directory, each started from its
        file: the set of `shards` files, by default the newest complete set."""
        directory = os.path.abspath(directory)
        sets = {}
        for path in glob.glob(os.path.join(directory, "shard-*-of-*.pickle")):
            found = re.fullmatch(r"shard-(\d+)-of-(\d+)\.pickle", os.path.basename(path))
            if found:
                sets.setdefault(int(found[2]), {})[int(found[1])] = os.path.getmtime(path)
        complete = {n: max(files.values()) for n, files in sets.items() if sorted(files) == list(range(n))}
        if shards is None and complete:
            shards = max(complete, key=complete.get)
        if shards not in complete:
            which = "no complete set" if shards is None else f"no complete set of {shards}"
            raise FileNotFoundError(f"{which} of shard snapshots in {directory} (complete sets: "
                                    f"{sorted(complete) or 'none'})")
        sharded = cls(client, shards, snapshots=directory, **kwargs)
        try:
            paths = [sharded._snapshot_path(i, directory) for i in range(shards)]
            sharded._load([(i, sharded._actors[i], path) for i, path in enumerate(paths)])
        except BaseException:
            sharded.close()
            raise
        return sharded

    def close(self):
        """Ends every shard's actor: a proxy holds a future of its own, so only
        cancelling the key frees it on the worker."""
        futures = [f for f in self._futures if f is not None]
        self._futures, self._actors = [None] * len(self._futures), [None] * len(self._actors)
        if futures and self.client.status == "running":
            self.client.cancel(futures)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Placement, snapshots and restore.

    def _place(self, i, worker):
        """Starts an empty shard i on worker, or raises ShardStalled if the
        worker does not answer within the timeout."""
        # The shard travels as a pickle of an empty one, by value: neither the
        # scheduler nor the workers need to import this module.
        future = self.client.submit(pickle.loads, cloudpickle.dumps(Shard()), actor=True, workers=[worker],
                                    allow_other_workers=False, key=f"vornic-shard-{i}-{uuid.uuid4().hex}")
        try:
            actor = future.result(timeout=self.timeout)
        except TimeoutError:
            self.client.cancel([future])
            raise ShardStalled(f"the worker at {worker} did not start shard {i} within {self.timeout:g} s",
                               i) from None
        self._futures[i], self._actors[i], self.workers[i] = future, actor, worker
        self._epochs[i], self._sizes[i], self._in_doubt[i] = 0, 0, False

    def _snapshot_path(self, i, directory):
        return os.path.join(os.path.abspath(directory), SNAPSHOT.format(i, len(self._actors)))

    def _load(self, targets):
        """Loads each (shard, actor, path): the headers first, for each load's limit."""
        headers = [self._wait(i, actor.header(path), self.timeout) for i, actor, path in targets]
        calls = [(i, actor.load(0, path)) for i, actor, path in targets]
        for (i, call), header in zip(calls, headers):
            self._wait(i, call, self.timeout + self.per_million * header["entries"] / 1e6)

    def snapshot(self, directory):
        """Every shard writes its snapshot into directory at once; returns the bytes written."""
        directory = os.path.abspath(directory)
        sizes = self._every("snapshot", lambda i: (self._snapshot_path(i, directory),), change="snapshot")
        self.snapshots = directory
        return sum(sizes)

    def restore(self, i, directory=None):
        """Starts shard i again from its last snapshot (in directory, by default
        where the map last wrote or read them) on a worker that answers, the one
        holding the fewest shards first. Its changes since that snapshot are lost."""
        if not 0 <= i < len(self._actors):
            raise IndexError(f"no shard {i} in a map of {len(self._actors)}")
        directory = directory or self.snapshots
        if directory is None:
            raise FileNotFoundError(f"shard {i} has no snapshot to restore: call snapshot(DIR) first, "
                                    f"or restore({i}, DIR) with a directory that holds one")
        path = self._snapshot_path(i, directory)
        self._check_scheduler(i)
        held = [w for j, w in enumerate(self.workers) if j != i]
        suspects = {w for w, doubt in zip(self.workers, self._in_doubt) if doubt}
        # A worker that stalled is tried last: it may start an actor and stall again.
        live = sorted(self.client.nthreads(), key=lambda w: (w in suspects, held.count(w), w))
        saved = self._futures[i], self._actors[i], self.workers[i], self._epochs[i], self._sizes[i], \
            self._in_doubt[i]
        tried = []
        for worker in live:
            try:
                self._place(i, worker)
            except ShardStalled:
                tried.append(worker)
                continue
            try:
                self._load([(i, self._actors[i], path)])
            except BaseException:
                self.client.cancel([self._futures[i]])
                self._futures[i], self._actors[i], self.workers[i], self._epochs[i], self._sizes[i], \
                    self._in_doubt[i] = saved
                raise
            if saved[0] is not None:
                self.client.cancel([saved[0]])  # fenced: the old actor gets no call from here on
            return
        raise ShardLost(f"no worker answered to take shard {i} within {self.timeout:g} s (tried "
                        f"{', '.join(tried) or 'none: the scheduler lists no worker'}); start workers for "
                        f"{self.client.scheduler.address} and call restore({i}) again", i)

    # Calls to the actors. Every wait is in short steps, so that a worker the
    # scheduler marks lost, or a lost scheduler, is reported at once; at the
    # call's limit a worker the scheduler still lists has stalled.

    def _check_scheduler(self, i):
        if self.client.status != "running":
            raise SchedulerLost(
                f"the scheduler at {self.client.scheduler.address} is lost (calling shard {i}): its workers end "
                f"without it, and every shard with them; start a scheduler and workers, then "
                f"ShardedVornic.from_snapshots(client, DIR) brings back the last snapshots, without the changes "
                f"made since", i)

    def _lost(self, i, why):
        return ShardLost(f"shard {i} of {len(self._actors)} (on {self.workers[i]}) is lost: {why}; restore({i}) "
                         f"brings back its last snapshot on a worker that answers, without the changes made on "
                         f"it since", i)

    def _stalled(self, i, limit):
        self._in_doubt[i] = True
        return ShardStalled(
            f"shard {i} of {len(self._actors)} (on {self.workers[i]}) did not answer within {limit:g} s, though "
            f"the scheduler still lists its worker (stopped, swapping or cut off): a change sent to it may or may "
            f"not have landed, and the next call fences it first, so nothing sent before lands after; call again "
            f"when it answers, or restore({i}) starts it from its last snapshot on a worker that answers", i)

    def _send(self, i, method, *args):
        """Sends one call to shard i, after fencing the shard if a call to it
        went unanswered; returns its future."""
        self._check_scheduler(i)
        if self._actors[i] is None:
            raise self._lost(i, "it was closed or never restored")
        if self._in_doubt[i]:
            self._wait(i, self._remote(i, "fence", self._epochs[i] + 1), self.timeout)
            self._epochs[i] += 1
            self._in_doubt[i] = False
        return self._remote(i, method, self._epochs[i], *args)

    def _remote(self, i, method, *args):
        try:
            return getattr(self._actors[i], method)(*args)
        except RuntimeError:  # the proxy's "Worker holding Actor was lost"
            self._check_scheduler(i)
            raise self._lost(i, "its worker died") from None

    def _wait(self, i, future, limit):
        """The answer of one call, recording the shard's size."""
        deadline, broke = time.monotonic() + limit, False
        while True:
            try:
                answer, self._sizes[i] = future.result(timeout=max(0.0, min(0.2, deadline - time.monotonic())))
                return answer
            except TimeoutError:
                pass
            except (OSError, RuntimeError) as e:
                if str(e) not in GOING:  # the shard's own error, e.g. a missing file
                    raise
                broke = True  # the scheduler tells whether the worker died
                time.sleep(0.05)
            self._check_scheduler(i)
            if self._futures[i] is not None and self._futures[i].status != "finished":
                raise self._lost(i, "its worker died") from None
            if time.monotonic() >= deadline:
                if broke or self.workers[i] not in self.client.nthreads():
                    raise self._lost(i, "its worker cannot be reached") from None
                raise self._stalled(i, limit) from None

    def _limit(self, i):
        return self.timeout + self.per_million * self._sizes[i] / 1e6

    def _every(self, method, arguments, change=None):
        """Each shard's answer to method(*arguments(i)), asked of all at once.
        A shard that fails does not stop the others; for a change (named by
        `change`) the error then carries what the others answered."""
        calls, answers, failed = {}, {}, {}
        for i in range(len(self._actors)):
            try:
                calls[i] = self._send(i, method, *arguments(i))
            except ShardError as e:
                failed[i] = e
        for i, call in calls.items():
            try:
                answers[i] = self._wait(i, call, self._limit(i))
            except ShardError as e:
                failed[i] = e
        if failed:
            raise self._partly(change, answers, failed)
        return [answers[i] for i in range(len(self._actors))]

    def _partly(self, change, answers, failed):
        error = next((e for e in failed.values() if isinstance(e, SchedulerLost)), failed[min(failed)])
        if change:
            error.applied = {i: pickle.loads(a) if isinstance(a, bytes) else a for i, a in sorted(answers.items())}
            error.failed = dict(sorted(failed.items()))
            error.args = (f"{error.args[0]}. {change} applied on shard(s) {sorted(error.applied) or 'none'} "
                          f"(their answers on .applied), not on {sorted(error.failed)} (.failed)",)
        return error

    def _call_every(self, name, tags=None, change=False):
        args = () if tags is None else (list(tags),)
        return self._every("call", lambda i: (name, *args), name if change else None)

    def _merged(self, name, tags=None, change=False):
        return [pickle.loads(a) for a in self._call_every(name, tags, change)]

    def shard_of(self, key):
        if isinstance(key, (bytes, bytearray)):
            return zlib.crc32(key) % len(self._actors)
        if isinstance(key, str):
            try:
                return zlib.crc32(key.encode()) % len(self._actors)
            except UnicodeEncodeError:
                pass
        vornic.Vornic().get(key)  # raises what one map raises for such a key
        raise TypeError(f"not a key: {key!r}")

    def _one(self, key, name, *args):
        i = self.shard_of(key)
        return self._wait(i, self._send(i, "call", name, key, *args), self.timeout)

    # The map's own calls.

    def update(self, entries):
        """Stores {key: tags}: each shard's part in slices of SLICE entries, the
        shards at once. A shard that fails gets no further slice; the others
        get all of theirs before the error is raised."""
        if not isinstance(entries, dict):
            vornic.Vornic().update(entries)  # raises what one map raises
        parts = [[] for _ in self._actors]
        for k, tags in entries.items():
            parts[self.shard_of(k)].append((k, list(tags)))
        # Two slices in flight per shard, so that each has the next at hand:
        # a slice's wait may include the one before it.
        failed, previous, limit = {}, {}, self.timeout + self.per_million * 2 * SLICE / 1e6
        for start in range(0, max(map(len, parts)) + SLICE, SLICE):
            calls = {}
            for i, part in enumerate(parts):
                if i not in failed and start < len(part):
                    try:
                        calls[i] = self._send(i, "update", packed(dict(part[start : start + SLICE])))
                    except ShardError as e:
                        failed[i] = e
            for i, call in previous.items():
                try:
                    self._wait(i, call, limit)
                except ShardError as e:
                    failed[i] = e
            previous = {i: call for i, call in calls.items() if i not in failed}
        if failed:
            raise self._partly("update", {i: None for i in range(len(parts)) if i not in failed}, failed)

    def __getitem__(self, k):
        return self._one(k, "__getitem__")

    def __setitem__(self, k, tags):
        self._one(k, "__setitem__", list(tags))

    def __delitem__(self, k):
        self._one(k, "__delitem__")

    def pop(self, k, default=None):
        return self._one(k, "pop", default)

    def add_tag(self, k, t):
        self._one(k, "add_tag", t)

    def remove_tag(self, k, t):
        self._one(k, "remove_tag", t)

    def has_tag(self, k, t):
        return self._one(k, "has_tag", t)

    def find(self, tags):
        return set().union(*self._merged("find", tags))

    def find_many(self, queries, in_flight=16):
        """The answers to many all-of queries, up to in_flight of them sent to
        every shard before the oldest answer is awaited. Each call in flight
        holds a connection of its own to its worker."""
        answers, pending = [], []
        shards = range(len(self._actors))

        def gather(calls):
            return set().union(*(pickle.loads(self._wait(i, c, self._limit(i))) for i, c in zip(shards, calls)))

        for q in queries:
            pending.append([self._send(i, "call", "find", list(q)) for i in shards])
            if len(pending) == in_flight:
                answers.append(gather(pending.pop(0)))
        return answers + [gather(calls) for calls in pending]

    def find_any(self, tags):
        return set().union(*self._merged("find_any", tags))

    def count(self, tags):
        return sum(self._call_every("count", tags))

    def count_any(self, tags):
        return sum(self._call_every("count_any", tags))

    def __len__(self):
        return sum(self._call_every("__len__"))

    def keys(self):
        return [k for part in self._merged("keys") for k in part]

    def items(self):
        return [item for part in self._merged("items") for item in part]

    def tags(self):
        return list(set().union(*self._merged("tags")))

    def erase_where(self, tags):
        """The removed keys; if a shard fails, the error's .applied holds each other shard's removed keys."""
        return [k for part in self._merged("erase_where", tags, change=True) for k in part]

    def retain_where(self, tags):
        """The kept keys; if a shard fails, the error's .applied holds each other shard's kept keys."""
        return [k for part in self._merged("retain_where", tags, change=True) for k in part]
