"""Answers a batch of queries in worker processes, which either share the
parent's map or are each sent a copy of it.

This builds a seeded map of generated documents, answers the same queries in
one process and then in a pool of workers, checks that the answers agree and
says how long each way took. Workers get the map one of two ways:

- spawn (the default; the only way on Windows, the default on macOS): the
  pool starts each worker afresh and hands it the map, which pickles like a
  dict, so it is pickled and rebuilt in every worker. That cost, printed too,
  is paid once per worker and pays off when the queries cost more than it.
- fork (Linux): the workers are copies of this process made after the map was
  built, so they read the parent's map where it is, with nothing sent. Its
  nodes are not Python objects, so reading them writes nothing and its pages
  stay shared between all the processes.

    python examples/parallel_queries.py [number_of_documents] [workers] [--start spawn|fork]
"""

import argparse
import multiprocessing
import os
import pickle
import random
import time

import vornic

TOPICS = [f"topic:{i:03}" for i in range(300)]
WEIGHTS = [1 / (rank + 1) for rank in range(len(TOPICS))]  # a few topics are common
LANGUAGES = ["lang:en", "lang:de", "lang:fr", "lang:ja"]


def generate(n, rng):
    """Document id -> tags: a language and two to five topics."""
    return {
        f"doc{i:07}": [rng.choice(LANGUAGES), *rng.choices(TOPICS, WEIGHTS, k=rng.randint(2, 5))]
        for i in range(n)
    }


catalog = None  # in a worker: its copy of the map


def receive(sent):
    global catalog
    catalog = sent


def answer(query):
    return len(catalog.find(query))


def main(n, workers, start_method):
    global catalog
    catalog = vornic.Vornic(generate(n, random.Random(7)))
    rng = random.Random(8)
    queries = [[rng.choice(LANGUAGES), rng.choice(TOPICS[:10])] for _ in range(400)]
    print(f"{len(catalog):,} documents, {len(queries)} queries, {workers} workers started by {start_method}")

    if start_method == "spawn":
        start = time.perf_counter()
        pickle.loads(pickle.dumps(catalog))
        print(f"{time.perf_counter() - start:8.2f} s  to pickle the map and rebuild it from the pickle")

    start = time.perf_counter()
    alone = [answer(q) for q in queries]
    print(f"{time.perf_counter() - start:8.2f} s  for the queries in this process")

    start = time.perf_counter()
    context = multiprocessing.get_context(start_method)
    # A forked worker already holds the map: only a spawned one is sent it.
    setup = {"initializer": receive, "initargs": (catalog,)} if start_method == "spawn" else {}
    with context.Pool(workers, **setup) as pool:
        pooled = pool.map(answer, queries)
    how = "sending the map" if start_method == "spawn" else "the workers sharing this process's map"
    print(f"{time.perf_counter() - start:8.2f} s  for the queries in the pool, starting it included, {how}")
    assert pooled == alone, "the workers disagree with this process"


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("documents", type=int, nargs="?", default=100_000)
    parser.add_argument("workers", type=int, nargs="?", default=os.cpu_count() or 2)
    parser.add_argument("--start", choices=["spawn", "fork"], default="spawn",
                        help="how the pool starts its workers (fork: Linux only)")
    args = parser.parse_args()
    main(args.documents, args.workers, args.start)
