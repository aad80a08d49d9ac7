"""Answers a batch of queries in worker processes, each sent a copy of the map.

A map pickles like a dict, so it can be handed to multiprocessing workers. This
builds a seeded map of generated documents, answers the same queries in one
process and then in a pool of workers that each receive the map once, checks
that the answers agree and says how long each way took. The pool starts its
workers afresh ("spawn", the default outside Linux), so the map really is
pickled and rebuilt in every worker; that cost, printed too, is paid once per
worker and pays off when the queries cost more than it.

    python examples/parallel_queries.py [number_of_documents] [workers]
"""

import multiprocessing
import os
import pickle
import random
import sys
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


def main(n, workers):
    global catalog
    catalog = vornic.Vornic(generate(n, random.Random(7)))
    rng = random.Random(8)
    queries = [[rng.choice(LANGUAGES), rng.choice(TOPICS[:10])] for _ in range(400)]
    print(f"{len(catalog):,} documents, {len(queries)} queries, {workers} workers")

    start = time.perf_counter()
    pickle.loads(pickle.dumps(catalog))
    print(f"{time.perf_counter() - start:8.2f} s  to pickle the map and rebuild it from the pickle")

    start = time.perf_counter()
    alone = [answer(q) for q in queries]
    print(f"{time.perf_counter() - start:8.2f} s  for the queries in this process")

    start = time.perf_counter()
    context = multiprocessing.get_context("spawn")
    with context.Pool(workers, initializer=receive, initargs=(catalog,)) as pool:
        pooled = pool.map(answer, queries)
    print(f"{time.perf_counter() - start:8.2f} s  for the queries in the pool, starting it and sending the map included")
    assert pooled == alone, "the workers disagree with this process"


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000,
         int(sys.argv[2]) if len(sys.argv) > 2 else os.cpu_count() or 2)
