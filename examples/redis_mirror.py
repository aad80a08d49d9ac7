"""Keeps a map in a Redis server beside vornic and checks that both answer alike.

The server side uses the layout of the README: one set per key holding its tags
(PREFIX:key:K) and one per tag holding its keys (PREFIX:tag:T), changed together
in one MULTI/EXEC transaction. The prefix is chosen at random per run and every
name this program creates starts with it; they are all deleted when it ends,
also after an error or Ctrl-C, so it is safe to point at a server that holds
other data. It builds a seeded map, runs each operation many times on both
sides, compares every answer and then the whole contents, and prints each
operation's time in vornic and through the server. Exit status 1 names the
first disagreement; a server that cannot be reached gives one line and status 2.

    python examples/redis_mirror.py [--url redis://127.0.0.1:6379/0] [--entries 3000] [--rounds 300]
"""

import argparse
import random
import secrets
import signal
import statistics
import sys
import time
from collections import defaultdict

import redis

import vornic

TAGS = [f"t{i:03}" for i in range(200)]
WEIGHTS = [1 / (rank + 1) for rank in range(len(TAGS))]  # a few tags are common


class Disagreement(Exception):
    pass


class Mirror:
    """The map's entries on the server, one operation per method."""

    def __init__(self, server, prefix):
        self.r, self.prefix = server, prefix
        self.scratch = prefix + "scratch"

    def key(self, k):
        return f"{self.prefix}key:{k}"

    def tag(self, t):
        return f"{self.prefix}tag:{t}"

    def load(self, entries):
        items = list(entries.items())
        for start in range(0, len(items), 500):
            with self.r.pipeline() as p:  # one MULTI/EXEC per 500 entries
                for k, tags in items[start : start + 500]:
                    p.sadd(self.key(k), *tags)
                    for t in tags:
                        p.sadd(self.tag(t), k)
                p.execute()

    def add_tag(self, k, t):
        self.r.pipeline().sadd(self.key(k), t).sadd(self.tag(t), k).execute()

    def remove_tag(self, k, t):
        """Whether the tag was there. The server deletes a set when its last
        member goes, so the key (and an unused tag) disappears by itself."""
        removed, _ = self.r.pipeline().srem(self.key(k), t).srem(self.tag(t), k).execute()
        return removed == 1

    def store(self, k, tags):
        """Replaces k's tags (none: deletes k) and returns the old ones. WATCH
        makes the transaction fail, and redis-py retry it, if another client
        changes k between the read and EXEC."""

        def change(p):
            old = p.smembers(self.key(k))
            p.multi()
            for t in old - tags:
                p.srem(self.tag(t), k)
            for t in tags - old:
                p.sadd(self.tag(t), k)
            if not tags:
                p.delete(self.key(k))
            else:
                if old - tags:
                    p.srem(self.key(k), *(old - tags))
                if tags - old:
                    p.sadd(self.key(k), *(tags - old))
            return old

        return self.r.transaction(change, self.key(k), value_from_callable=True)

    def assign(self, k, tags):
        self.store(k, tags)

    def get(self, k):
        return self.r.smembers(self.key(k))  # empty: no such key

    def has_tag(self, k, t):
        return bool(self.r.sismember(self.key(k), t))

    def all_keys(self):
        """An empty tag list asks for every key; no set holds them all."""
        skip = len(self.key(""))
        return {name[skip:] for name in self.r.scan_iter(match=self.key("*"), count=1000)}

    def find(self, tags):
        return self.r.sinter([self.tag(t) for t in tags]) if tags else self.all_keys()

    def count(self, tags):
        return self.r.sintercard(len(tags), [self.tag(t) for t in tags]) if tags else len(self.all_keys())

    def find_any(self, tags):
        return self.r.sunion([self.tag(t) for t in tags]) if tags else self.all_keys()

    def count_any(self, tags):
        """SUNIONSTORE replies with the union's size; the DEL in the same
        transaction removes the union it stored."""
        if not tags:
            return len(self.all_keys())
        size, _ = self.r.pipeline().sunionstore(self.scratch, [self.tag(t) for t in tags]).delete(self.scratch).execute()
        return size

    def erase_where(self, tags):
        """Removes the keys carrying every tag, in one transaction that fails
        and is retried if a watched tag or key set changes before EXEC."""
        if not tags:
            return []

        def change(p):
            found = sorted(p.sinter([self.tag(t) for t in tags]))
            if found:
                p.watch(*(self.key(k) for k in found))
            with self.r.pipeline(transaction=False) as reads:
                for k in found:
                    reads.smembers(self.key(k))
                olds = reads.execute()
            p.multi()
            for k, old in zip(found, olds):
                for t in old:
                    p.srem(self.tag(t), k)
                p.delete(self.key(k))
            return found

        return self.r.transaction(change, *(self.tag(t) for t in tags), value_from_callable=True)

    def contents(self):
        """Every key set and every tag set, read back in one pipeline each,
        and how many names under the prefix are neither."""
        sides = []
        for kind in ("key", "tag"):
            names = list(self.r.scan_iter(match=f"{self.prefix}{kind}:*", count=1000))
            with self.r.pipeline(transaction=False) as p:
                for name in names:
                    p.smembers(name)
                sets = p.execute()
            skip = len(self.prefix) + len(kind) + 1
            sides.append({name[skip:]: members for name, members in zip(names, sets)})
        others = sum(1 for _ in self.r.scan_iter(match=self.prefix + "*", count=1000)) - len(sides[0]) - len(sides[1])
        return sides, others

    def clean_up(self):
        """Deletes every name under the prefix."""
        names = list(self.r.scan_iter(match=self.prefix + "*", count=1000))
        for start in range(0, len(names), 1000):
            self.r.unlink(*names[start : start + 1000])


def vornic_side(m):
    """The same operations on the map, with answers in the mirror's terms."""

    def remove_tag(k, t):
        try:
            m.remove_tag(k, t)
            return True
        except KeyError:
            return False

    def assign(k, tags):
        m[k] = tags

    return {
        "add_tag": m.add_tag,
        "remove_tag": remove_tag,
        "m[k] = tags": assign,
        "del m[k]": lambda k: m.pop(k, set()),
        "m[k]": lambda k: m.get(k, set()),
        "has_tag": m.has_tag,
        "find": m.find,
        "count": m.count,
        "find_any": m.find_any,
        "count_any": m.count_any,
        "erase_where": lambda tags: sorted(m.erase_where(tags)),
    }


def server_side(mirror):
    return {
        "add_tag": mirror.add_tag,
        "remove_tag": mirror.remove_tag,
        "m[k] = tags": mirror.assign,
        "del m[k]": lambda k: mirror.store(k, set()),
        "m[k]": mirror.get,
        "has_tag": mirror.has_tag,
        "find": mirror.find,
        "count": mirror.count,
        "find_any": mirror.find_any,
        "count_any": mirror.count_any,
        "erase_where": mirror.erase_where,
    }


def arguments(op, keys, rng):
    """Random arguments for one call: mostly present keys and used tags."""
    k = rng.choice(keys) if rng.random() < 0.9 else f"new{rng.randrange(1000)}"
    tag = rng.choices(TAGS, WEIGHTS)[0]
    few = set(rng.choices(TAGS, WEIGHTS, k=rng.randint(1, 3)))
    if op in ("add_tag", "remove_tag", "has_tag"):
        return k, tag
    if op == "m[k] = tags":
        return k, set(rng.sample(TAGS, rng.randint(0, 4)))  # an empty set deletes
    if op in ("del m[k]", "m[k]"):
        return (k,)
    if op == "erase_where":
        return (set(rng.choices(TAGS[20:], k=2)),)  # two uncommon tags: few keys each time
    return (few,)


def timed(fn, calls):
    """The answers to the calls, made in one tight loop, and its time per call."""
    start = time.perf_counter()
    answers = [fn(*args) for args in calls]
    return answers, (time.perf_counter() - start) / len(calls)


def run(m, mirror, rounds, rng, batch=20):
    """Each operation in turn, a batch of calls at a time: first on the map,
    then the same calls through the server, each side timed in a loop of its
    own; then the answers are compared one by one."""
    ours, theirs = vornic_side(m), server_side(mirror)
    times = defaultdict(lambda: ([], []))
    keys = m.keys()  # removed ones stay candidates: the answers for absent keys are compared too
    for i in range(0, rounds, batch):
        for op in ours:
            calls = [arguments(op, keys, rng) for _ in range(min(batch, rounds - i))]
            expected, our_time = timed(ours[op], calls)
            got, their_time = timed(theirs[op], calls)
            times[op][0].append(our_time)
            times[op][1].append(their_time)
            for args, e, g in zip(calls, expected, got):
                if e != g:
                    raise Disagreement(f"{op}{args}: vornic {e!r}, server {g!r}")
            if op in ("add_tag", "remove_tag", "m[k] = tags"):
                for args in calls:
                    if m.get(args[0], set()) != mirror.get(args[0]):
                        raise Disagreement(f"after {op}{args}: the key's tags differ")
    for tags in ([], ["t000", "no-such-tag"]):  # every key; none
        for op in ("find", "count", "find_any", "count_any", "erase_where"):
            if ours[op](tags) != theirs[op](tags):
                raise Disagreement(f"{op}({tags})")
    return times, batch


def compare_contents(m, mirror):
    (keys, tags), others = mirror.contents()
    if others:
        raise Disagreement(f"the server holds {others} name(s) under the prefix beside the key and tag sets")
    if keys != m.to_dict():
        differ = sorted(k for k in keys.keys() | set(m.keys()) if keys.get(k) != m.get(k))
        raise Disagreement(f"the keys' tag sets differ, first at {differ[0]!r}")
    index = {t: m.find([t]) for t in m.tags()}
    if tags != index:
        differ = sorted(t for t in tags.keys() | index.keys() if tags.get(t) != index.get(t))
        raise Disagreement(f"the tags' key sets differ, first at {differ[0]!r}")


def report(times, version):
    print(f"{'operation':<14}{'vornic':>10}{f'Redis {version}':>14}{'ratio':>9}")
    for op, (ours, theirs) in times.items():
        ours, theirs = statistics.median(ours), statistics.median(theirs)
        print(f"{op:<14}{ours * 1e6:8.2f} µs{theirs * 1e6:11.1f} µs{theirs / ours:8.0f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--url", default="redis://127.0.0.1:6379/0", help="server to use (default: %(default)s)")
    parser.add_argument("--entries", type=int, default=3000, help="entries in the map (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=300, help="calls of each operation (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    server = redis.Redis.from_url(args.url, decode_responses=True, socket_connect_timeout=5, socket_timeout=30)
    mirror, status = None, 0
    try:
        version = server.info("server")["redis_version"]
        mirror = Mirror(server, f"vornic-mirror:{secrets.token_hex(6)}:")
        entries = {f"k{i:05}": set(rng.choices(TAGS, WEIGHTS, k=rng.randint(2, 6))) for i in range(args.entries)}
        m = vornic.Vornic(entries)
        mirror.load(entries)
        print(f"mirrored {len(m):,} entries with {len(m.tags())} tags into Redis {version} under {mirror.prefix}", flush=True)
        times, batch = run(m, mirror, args.rounds, rng)
        compare_contents(m, mirror)
        print(f"{args.rounds} calls of each operation agree, and so do both sides' whole contents "
              f"({len(m):,} keys, {len(m.tags())} tags); time per call, median over batches of {batch}:")
        report(times, version)
    except Disagreement as e:
        print(f"redis_mirror: vornic and the server disagree: {e}", file=sys.stderr)
        status = 1
    except KeyboardInterrupt:
        print("redis_mirror: interrupted", file=sys.stderr)
        status = 130
    except (redis.ConnectionError, redis.TimeoutError) as e:
        print(f"redis_mirror: cannot reach the server at {args.url}: {e}", file=sys.stderr)
        status = 2
    except redis.RedisError as e:
        print(f"redis_mirror: the server at {args.url} answered with an error: {e}", file=sys.stderr)
        status = 1
    finally:
        # No return in here: it would swallow an exception on its way out.
        if mirror is not None:
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not stop the clean-up
            try:
                mirror.clean_up()
            except redis.RedisError as e:
                print(f"redis_mirror: could not delete the keys under {mirror.prefix}: {e}", file=sys.stderr)
                status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
