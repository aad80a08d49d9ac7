"""Times m[key] and has_tag while cycling through 10 to 10,000 keys spread
evenly over a map of the bench workload: how a lookup's cost follows the
number of distinct entries read (their nodes fit the caches or not) rather
than the size of the map.

    python bench/lookup_spread.py [--size 10000000]
"""

import argparse
import itertools

import run
import workload

import vornic


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=10_000_000)
    args = parser.parse_args()
    data = workload.make(args.size, cache_dir=run.BUILD).data
    m = vornic.Vornic(data)
    keys = sorted(data)
    tag = workload.make(args.size, cache_dir=run.BUILD).queries["one_medium"][0]
    data = None
    run.settled_rss()
    print(f"{args.size:,} entries (median thread CPU time per call)")
    for count in [10, 100, 1000, 10000]:
        sample = keys[:: len(keys) // count][:count]
        looked_up, asked = itertools.cycle(sample), itertools.cycle(sample)
        getitem = run.measure(lambda: m[next(looked_up)])[0]
        has_tag = run.measure(lambda: m.has_tag(next(asked), tag))[0]
        print(f"  {count:>6,} keys cycled: m[key] {run.fmt_time(getitem):>8}   has_tag {run.fmt_time(has_tag):>8}")


if __name__ == "__main__":
    main()
