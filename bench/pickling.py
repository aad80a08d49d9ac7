"""Times pickling a vornic map against pickling the same data as a dict of sets.

    python bench/pickling.py [--size 1000000] [--protocol 5] [--repeats 3]

Uses the seeded workload of bench/run.py. The dict of sets is built from it
as a user would build one, its tags shared between entries. For each of the
map, that dict, and m.to_dict() (converted, then pickled) it prints the best
thread CPU time of pickle.dumps and pickle.loads, with the collector on as in
ordinary use, the size of the pickle, and the memory that dumps needs beyond
the pickle it returns (the peak traced by tracemalloc, in a separate untimed
run). Ratios are to the dict of sets; the map's own size is printed for
scale.
"""

import argparse
import gc
import pickle
import time
import tracemalloc

import workload
from run import BUILD, settled_rss

import vornic


def best_time(fn, repeats):
    """(best thread CPU seconds of fn(), its last result)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        result = None
        gc.collect()
        start = time.thread_time()
        result = fn()
        best = min(best, time.thread_time() - start)
    return best, result


def extra_memory(fn):
    """Peak bytes fn() allocates beyond what it returns and what it started with."""
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        result = fn()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak - start - len(result)


def mb(n):
    return f"{n / 1e6:.0f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--protocol", type=int, default=pickle.HIGHEST_PROTOCOL)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    data = workload.make(args.size, cache_dir=BUILD).data
    dict_of_sets = {key: set(tags) for key, tags in data.items()}
    before = settled_rss()
    m = vornic.Vornic(dict_of_sets)
    print(f"{args.size} entries, protocol {args.protocol}; the map takes {mb(settled_rss() - before)}")

    def dumps(obj):
        return lambda: pickle.dumps(obj, args.protocol)

    cases = {
        "vornic.Vornic": dumps(m),
        "dict of sets": dumps(dict_of_sets),
        "m.to_dict() + dumps": lambda: pickle.dumps(m.to_dict(), args.protocol),
    }
    rows = {}
    for name, fn in cases.items():
        dumped, blob = best_time(fn, args.repeats)
        loaded, _ = best_time(lambda: pickle.loads(blob), args.repeats)
        rows[name] = dumped, loaded, len(blob), extra_memory(fn)
        del blob
    base = rows["dict of sets"]
    print(f"{'':22}{'dumps':>8}{'÷ dict':>8}{'loads':>8}{'÷ dict':>8}{'pickle':>9}{'dumps extra':>13}")
    for name, (dumped, loaded, size, extra) in rows.items():
        print(f"{name:22}{dumped:7.2f}s{dumped / base[0]:8.2f}{loaded:7.2f}s{loaded / base[1]:8.2f}"
              f"{mb(size):>9}{mb(extra):>13}")

if __name__ == "__main__":
    main()
