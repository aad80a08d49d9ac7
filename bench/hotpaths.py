"""Runs one vornic operation in a loop on the benchmark workload, for a
profiler to watch. Building the map happens before the profiled region
unless the operation is the build itself.

    perf record -e cpu-clock -D -1 --control fifo:ctl,ack -- \\
        python bench/hotpaths.py count_pair --size 1000000 --control ctl,ack
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*vornic*' ...

With --control, perf's control fifos are told to enable and disable events
around the loop.
"""

import argparse
import time

import vornic

import workload
from run import BUILD

OPERATIONS = {
    "build": lambda m, w, q: vornic.Vornic(w.data),
    "count_one": lambda m, w, q: m.count(q["one_common"]),
    "count_pair": lambda m, w, q: m.count(q["common_pair"]),
    "count_triple": lambda m, w, q: m.count(q["triple"]),
    "count_any": lambda m, w, q: m.count_any(q["any_medium"]),
    "find_selective": lambda m, w, q: m.find(q["rare_common"]),
    "find_triple": lambda m, w, q: m.find(q["triple"]),
    "find_medium": lambda m, w, q: m.find(q["one_medium"]),
    "find_pair": lambda m, w, q: m.find(q["common_pair"]),
    "find_large": lambda m, w, q: m.find(q["one_common"]),
    "find_any_medium": lambda m, w, q: m.find_any(q["any_medium"]),
    "find_any_large": lambda m, w, q: m.find_any(q["any_common"]),
    "keys": lambda m, w, q: m.keys(),
    "values": lambda m, w, q: m.values(),
    "items": lambda m, w, q: m.items(),
    "to_dict": lambda m, w, q: m.to_dict(),
    "iter": lambda m, w, q: list(m),
    "build_lists": None,  # from a list of keys and one of values, below
    "getitem": None,  # cycles through keys, below
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("operation", choices=OPERATIONS)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to loop")
    parser.add_argument("--control", help="perf control and ack fifos, comma-separated")
    args = parser.parse_args()

    w = workload.make(args.size, cache_dir=BUILD)
    m = None if args.operation.startswith("build") else vornic.Vornic(w.data)
    op = OPERATIONS[args.operation]
    if args.operation == "build_lists":
        lists = list(w.data), list(w.data.values())

        def op(m, w, q):
            return vornic.Vornic(*lists)

    elif op is None:
        keys = list(w.data)[:: max(1, args.size // 100_000)]
        position = iter(range(1 << 62))

        def op(m, w, q):
            return m[keys[next(position) % len(keys)]]

    def tell(command):
        if args.control:
            ctl_path, ack_path = args.control.split(",")
            with open(ctl_path, "w") as ctl, open(ack_path) as ack:
                ctl.write(command + "\n")
                ctl.flush()
                ack.readline()

    tell("enable")
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < args.seconds:
        last = op(m, w, w.queries)  # kept, so that freeing the last build is not profiled
        calls += 1
    took = time.perf_counter() - start
    tell("disable")
    del last
    print(f"{args.operation}: {calls} calls, {took / calls * 1e6:.1f} us each")


if __name__ == "__main__":
    main()
