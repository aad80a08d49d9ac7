"""Times pickling a vornic map against pickling the same data as a dict of sets.

    python bench/pickling.py [--sizes 1000000] [--protocol 5] [--repeats 3]
                             [--cases vornic,dict,to_dict] [--out FILE]
                             [--baseline PYTHON]

Uses the seeded workload of bench/run.py. The dict of sets is built from it
as a user would build one, its tags shared between entries. For each of the
map, that dict, and m.to_dict() (converted, then pickled) it prints the best
thread CPU time of pickle.dumps and pickle.loads, with the collector on as in
ordinary use, the part of that time the kernel spent for the thread (mostly
handing over fresh memory, which a virtual machine may do slowly), and the
size of the pickle. Each case runs in its own process,
so that memory is measured from the kernel's counts rather than from Python's
allocator alone: the object's own size (growth of the resident size over its
build, after giving back what can be), and the peak resident size above it
during the first dumps (the pickle included) and during the first loads (above
what the process held before it, the rebuilt object included). Ratios are to
the dict of sets. --baseline names the interpreter of another environment
(another build of vornic, say the one before a change): its map is measured
too, each in its own process in the same run, and the last line gives its
times and size over this build's.
"""

import argparse
import ctypes
import gc
import json
import pickle
import resource
import subprocess
import sys
import time
from pathlib import Path

import workload
from run import BUILD, peak_rss, rss_bytes, settled_rss

CASES = {"vornic": "vornic.Vornic", "dict": "dict of sets", "to_dict": "m.to_dict() + dumps",
         "baseline": "vornic.Vornic, baseline"}


def reset_peak():
    """Starts the process's peak resident size (VmHWM) afresh from now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def settle():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)


def build(case, size):
    """(the object to pickle, its own bytes): the input goes before the
    measuring starts, so that only the object is left."""
    data = workload.make(size, cache_dir=BUILD).data
    before = settled_rss()
    if case == "dict":
        obj = {key: set(tags) for key, tags in data.items()}
    else:
        import vornic

        obj = vornic.Vornic(data)
    own = settled_rss() - before
    data = None
    settle()
    return obj, own


def thread_times():
    """(CPU time, of which in the kernel) of this thread so far."""
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime + usage.ru_stime, usage.ru_stime


def measure(call, repeats):
    """The best thread time of call() over `repeats` calls and the kernel's
    part of it, the growth of the resident peak during the first, and the last
    call's result."""
    best, kernel, peak, result = float("inf"), 0.0, 0, None
    for i in range(repeats):
        result = None  # the previous result goes before the next call is measured
        settle()
        base = rss_bytes()
        reset_peak()
        start, start_kernel = thread_times()
        result = call()
        end, end_kernel = thread_times()
        if end - start < best:
            best, kernel = end - start, end_kernel - start_kernel
        if i == 0:
            peak = peak_rss() - base
    return best, kernel, peak, result


def worker(case, size, protocol, repeats):
    obj, own = build(case, size)
    if case == "to_dict":
        def dumps():
            return pickle.dumps(obj.to_dict(), protocol)
    else:
        def dumps():
            return pickle.dumps(obj, protocol)

    dumped, dumps_kernel, dumps_peak, blob = measure(dumps, repeats)
    obj = None  # what loads makes stands in its place
    loaded, loads_kernel, loads_peak, _ = measure(lambda: pickle.loads(blob), repeats)
    return {
        "dumps": dumped, "loads": loaded, "pickle": len(blob), "own": own,
        "dumps_kernel": dumps_kernel, "loads_kernel": loads_kernel,
        "dumps_peak": dumps_peak, "loads_peak": loads_peak,
    }  # fmt: skip


def mb(n):
    return f"{n / 1e6:,.{0 if n >= 1e7 else 1}f} MB"


def table(size, protocol, rows):
    base = rows.get("dict")
    head = ["", "dumps", "÷ dict", "loads", "÷ dict", "kernel: dumps, loads", "pickle", "object", "dumps peak", "loads peak"]
    lines = [head]
    for case, r in rows.items():
        lines.append([
            CASES[case], f"{r['dumps']:.2f} s", f"{r['dumps'] / base['dumps']:.2f}" if base else "",
            f"{r['loads']:.2f} s", f"{r['loads'] / base['loads']:.2f}" if base else "",
            f"{r.get('dumps_kernel', 0):.2f} s, {r.get('loads_kernel', 0):.2f} s", mb(r["pickle"]), mb(r["own"]), mb(r["dumps_peak"]), mb(r["loads_peak"]),
        ])  # fmt: skip
    widths = [max(len(row[i]) for row in lines) for i in range(len(head))]
    out = [f"== {size:,} entries, protocol {protocol}; peaks are above the resident size before each call"]
    for row in lines:
        out.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))))
    if "baseline" in rows and "vornic" in rows:
        old, new = rows["baseline"], rows["vornic"]
        out.append("baseline ÷ this build: " + ", ".join(
            f"{what} {old[what] / new[what]:.2f}" for what in ("dumps", "loads", "pickle", "dumps_peak", "loads_peak")))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000000", help="comma-separated entry counts")
    parser.add_argument("--protocol", type=int, default=pickle.HIGHEST_PROTOCOL)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cases", default=",".join(CASES), help="which to run: " + ", ".join(CASES))
    parser.add_argument("--out", type=Path, help="JSON file to write")
    parser.add_argument("--baseline", help="interpreter of an environment with another build of vornic")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",")]
    cases = args.cases.split(",") + (["baseline"] if args.baseline else [])
    if args.worker:
        json.dump(worker(args.worker, sizes[0], args.protocol, args.repeats), sys.stdout)
        return
    report = {"protocol": args.protocol, "repeats": args.repeats, "results": {}}
    for size in sizes:
        workload.make(size, cache_dir=BUILD)  # generated once, read by every worker
        rows = report["results"].setdefault(str(size), {})
        for case in cases:
            python = args.baseline if case == "baseline" else sys.executable
            command = [python, __file__, "--worker", "vornic" if case == "baseline" else case, "--sizes", str(size),
                       "--protocol", str(args.protocol), "--repeats", str(args.repeats)]  # fmt: skip
            rows[case] = json.loads(subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True).stdout)
        print(table(size, args.protocol, rows), flush=True)
    if args.out:
        report["date"] = time.strftime("%Y-%m-%d", time.gmtime())
        args.out.parent.mkdir(parents=True, exist_ok=True)  # the sdist leaves results/ out
        args.out.write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
