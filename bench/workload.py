"""Seeded benchmark workload: keys with Zipf-distributed tags, and query tags
picked from the generated data by how many entries carry them."""

import pickle
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import numpy as np

VOCABULARY = 5000
ZIPF_EXPONENT = 1.0
TAGS_PER_ENTRY = (3, 8)
SEED = 20240611


@dataclass(frozen=True)
class Workload:
    data: dict  # key -> list of tags
    queries: dict  # query name -> list of tags
    frequency: Counter  # tag -> number of entries carrying it


def key_name(i):
    return f"k{i:07d}"


def distinct_first(draws, sizes):
    """Mask of the first `sizes[i]` distinct values of each row of `draws`,
    and whether each row had that many."""
    order = np.argsort(draws, axis=1, kind="stable")
    ranked = np.take_along_axis(draws, order, axis=1)
    first_sorted = np.ones(draws.shape, dtype=bool)
    first_sorted[:, 1:] = ranked[:, 1:] != ranked[:, :-1]
    first = np.empty_like(first_sorted)
    np.put_along_axis(first, order, first_sorted, axis=1)
    mask = first & (np.cumsum(first, axis=1) <= sizes[:, None])
    return mask, first.sum(axis=1) >= sizes


def generate_data(n, seed=SEED):
    """n entries, each with 3 to 8 distinct tags; tag rank r is drawn with
    probability proportional to 1/r**ZIPF_EXPONENT, and ranks are shuffled
    onto names so a name says nothing about its frequency."""
    rng = np.random.default_rng(seed)
    names = np.array([f"tag{i:04d}" for i in rng.permutation(VOCABULARY)], dtype=object)
    cdf = np.cumsum(1.0 / np.arange(1, VOCABULARY + 1) ** ZIPF_EXPONENT)
    lo, hi = TAGS_PER_ENTRY
    sizes = rng.integers(lo, hi + 1, size=n)
    # Draw more than needed per row and keep the first distinct ones; redraw
    # the rare rows that came up short.
    draws = np.searchsorted(cdf, rng.random((n, 2 * hi)) * cdf[-1])
    mask, ok = distinct_first(draws, sizes)
    while not ok.all():
        short = np.flatnonzero(~ok)
        draws[short] = np.searchsorted(cdf, rng.random((len(short), 2 * hi)) * cdf[-1])
        mask[short], ok[short] = distinct_first(draws[short], sizes[short])
    flat = names[draws[mask]].tolist()  # row-major, so entry by entry
    ends = np.cumsum(sizes).tolist()
    starts = [0] + ends[:-1]
    keys = [f"k{i:07d}" for i in range(n)]  # key_name, inlined: it is 1M calls
    return {key: flat[a:b] for key, a, b in zip(keys, starts, ends)}


def nearest(frequency, target, count, exclude=()):
    """The `count` tags whose frequency is closest to `target`."""
    ranked = sorted((abs(f - target), tag) for tag, f in frequency.items() if tag not in exclude)
    return [tag for _, tag in ranked[:count]]


def pick_queries(frequency, n):
    """Query tags by frequency: rare about 0.01% of entries (at least 5),
    medium about 1%, common the most frequent ones."""
    common = [tag for tag, _ in frequency.most_common(2)]
    rare = nearest(frequency, max(5, n // 10_000), 1)[0]
    medium = nearest(frequency, n // 100, 3, exclude=common)
    return {
        "one_rare": [rare],
        "one_medium": [medium[0]],
        "one_common": [common[0]],
        "common_pair": common,
        "rare_common": [rare, common[0]],
        "triple": [common[0], common[1], medium[0]],
        "any_medium": medium,
        "any_common": common,
    }


def make(n, seed=SEED, cache_dir=None):
    """The workload of n entries; with `cache_dir`, the generated data is
    kept there as a pickle so that every worker process need not redo it."""
    data = None
    if cache_dir is not None:
        path = Path(cache_dir) / f"workload-{n}-{seed}.pickle"
        if path.exists():
            with path.open("rb") as f:
                data = pickle.load(f)
    if data is None:
        data = generate_data(n, seed)
        if cache_dir is not None:
            path.parent.mkdir(parents=True, exist_ok=True)
            tmp = path.with_suffix(".tmp")
            with tmp.open("wb") as f:
                pickle.dump(data, f, protocol=pickle.HIGHEST_PROTOCOL)
            tmp.replace(path)
    frequency = Counter(tag for tags in data.values() for tag in tags)
    return Workload(data, pick_queries(frequency, n), frequency)


if __name__ == "__main__":
    import sys
    import time

    for n in map(int, sys.argv[1:] or ["10000"]):
        start = time.perf_counter()
        w = make(n)
        took = time.perf_counter() - start
        print(f"{n} entries, {len(w.frequency)} tags in use, {took:.2f}s")
        for name, tags in w.queries.items():
            print(f"  {name:12} {[(t, w.frequency[t]) for t in tags]}")
