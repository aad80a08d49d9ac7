"""Measures the memory a vornic map holds over a long life, against plain
Python doing the same in the same run: a map rebuilt again and again, one
filled and cleared again and again, maps shrunk by retain_where, and many
small maps.

    python bench/lifetime.py [--scenarios rebuild,refill,...] [--quick] [--read-once]
                             [--out bench/results/lifetime.json] [sizes...]

Scenarios (sizes are options; --quick makes them small, for a smoke run):

  rebuild        build a map of --rebuild-size entries, delete it, --cycles
                 times: the peak of each cycle, what stays after each delete
  refill         one map filled by update() and clear()ed, the same cycles
  rebuild_large  rebuild, --large-size entries, --large-cycles times
  shrunk         --shrink-maps maps of --shrink-size entries, each
                 retain_where down to its --kept entries tagged "keep", all
                 kept: what they hold in all, and as a multiple of one full map
  empty          --small-count empty maps: bytes each
  single         --small-count one-entry maps (2 tags): bytes each
  regrown        --regrown-maps maps of each size in --regrown-sizes entries,
                 each shrunk by del to one entry, all kept: bytes each
  drain_del      one map of --drain-size entries, built from one input read
                 before, deleted by del in listing order down to --drain-left
  drain_popitem  the same drain by popitem

The entries are the seeded workload of bench/run.py, read afresh from its
cached pickle for every map built or filled, as a service rebuilding from its
source would: the input is then part of each peak, and what it leaves in the
heap lies between the map's blocks. With --read-once every map is built from
one input read before the scenario starts. The plain-Python peer
(bench/peers.py: a dict of sets and the inverted dict of sets) runs rebuild,
shrunk, single and regrown; single also measures a one-entry dict of a set.

Every scenario runs in a fresh process per implementation, with plain Python's
allocator as a program has it (no malloc_trim). Resident sizes come from
/proc/self/statm and are counted from the process's size just before the
scenario starts (with --read-once, its input already read). A peak is the kernel's
high-water mark (VmHWM), reset before each cycle through /proc/self/clear_refs;
where that is refused, it is the largest resident size read at the end of each
build instead, and the results say which. Prints a table (in brackets: peer /
vornic; above 1, vornic is smaller) and writes the figures to --out.
"""

import argparse
import datetime
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

import workload
from run import BUILD, machine, rss_bytes

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results" / "lifetime.json"
MIB = 2**20

DEFAULTS = {
    "rebuild_size": 300_000, "cycles": 8, "large_size": 1_000_000, "large_cycles": 12,
    "shrink_size": 200_000, "shrink_maps": 8, "kept": 200, "small_count": 50_000,
    "regrown_maps": 300, "drain_size": 300_000, "drain_left": 3_000,
}  # fmt: skip
QUICK = {
    "rebuild_size": 20_000, "cycles": 3, "large_size": 50_000, "large_cycles": 3,
    "shrink_size": 20_000, "shrink_maps": 3, "kept": 20, "small_count": 2_000,
    "regrown_maps": 30, "drain_size": 20_000, "drain_left": 200,
}  # fmt: skip
REGROWN_SIZES = [100, 1_000, 3_000]
KEEP = "keep"
SMALL_TAGS = ["tag-a", "tag-b"]


# ---- resident size ---------------------------------------------------------


def collected_rss():
    gc.collect()
    return rss_bytes()


def high_water():
    with open("/proc/self/status") as f:
        line = next(line for line in f if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


class Peak:
    """The peak resident size since reset(): the kernel's VmHWM where writing
    5 to /proc/self/clear_refs resets it, else the largest resident size
    passed to mark() (read at the end of each build)."""

    def __init__(self):
        self.kernel = self._reset_high_water()
        self.source = "VmHWM, reset per cycle" if self.kernel else "statm at the end of each build"
        self.seen = 0

    @staticmethod
    def _reset_high_water():
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            return True
        except OSError:
            return False

    def reset(self):
        self.seen = rss_bytes()
        if self.kernel:
            self._reset_high_water()

    def read(self):
        self.seen = max(self.seen, rss_bytes())
        return high_water() if self.kernel else self.seen


# ---- the scenarios, one implementation in one process ----------------------


def builder(impl):
    if impl == "vornic":
        import vornic

        return vornic.Vornic
    from peers import PlainPython

    return PlainPython


def entries(size, fresh, kept=0):
    """A function giving the workload of `size` entries, `kept` of them
    spread evenly and tagged KEEP: read anew from the cached pickle at each
    call when `fresh` (as a service rebuilding from its source would), else
    the same dict, read once."""

    def read():
        data = workload.make(size, cache_dir=BUILD).data
        if kept:
            keys = list(data)
            for key in keys[:: len(keys) // kept][:kept]:
                data[key].append(KEEP)
        return data

    if fresh:
        return read
    data = read()
    return lambda: data


def cycles(fill, clean, count):
    """Each cycle: held = fill(), then clean(held) and held dropped; the
    peak of each cycle, the resident size when fill() returns, and what
    stays after the clean-up."""
    peak = Peak()
    base = collected_rss()
    peaks, built, after = [], [], []
    for _ in range(count):
        peak.reset()
        held = fill()
        built.append(rss_bytes() - base)
        peaks.append(peak.read() - base)
        clean(held)
        held = None
        after.append(collected_rss() - base)
    return {"base": base, "peak_source": peak.source, "peaks": peaks, "built": built, "after": after}


def rebuild(impl, size, count, fresh):
    build, data = builder(impl), entries(size, fresh)
    return cycles(lambda: build(data()), lambda m: None, count)


def refill(impl, size, count, fresh):
    m, data = builder(impl)(), entries(size, fresh)
    return cycles(lambda: m.update(data()), lambda _: m.clear(), count)


def shrunk(impl, size, maps, kept, fresh):
    build, data = builder(impl), entries(size, fresh, kept)
    base = collected_rss()
    held, after, one_map = [], [], None
    for _ in range(maps):
        m = build(data())
        if one_map is None:
            one_map = collected_rss() - base
        left = len(m.retain_where([KEEP]))
        if left != kept:
            raise AssertionError(f"retain_where kept {left} entries, not {kept}")
        held.append(m)
        after.append(collected_rss() - base)
        del m
    return {"base": base, "one_map": one_map, "after": after, "held": after[-1]}


def per_map(make, count):
    """Resident bytes per map of `count` maps made by make(i), all kept."""
    held = [None] * count  # allocated up front: only the maps are counted
    base = collected_rss()
    for i in range(count):
        held[i] = make(i)
    return {"base": base, "each": (collected_rss() - base) / count}


def empty(impl, count):
    return per_map(lambda i: builder(impl)(), count)


def single(impl, count):
    """A map of one entry with a key of its own (made anew, as a program
    reading it from somewhere would) and two tags shared by all."""
    key = workload.key_name
    if impl == "dict":
        return per_map(lambda i: {key(i): set(SMALL_TAGS)}, count)
    build = builder(impl)
    return per_map(lambda i: build({key(i): SMALL_TAGS}), count)


def regrown(impl, size, count):
    """Maps of `size` entries each shrunk by del to their first entry."""
    data = workload.make(size, cache_dir=BUILD).data
    build = builder(impl)

    def make(i):
        m = build(data)
        for key in list(data)[1:]:
            del m[key]
        return m

    return per_map(make, count)


def drain(impl, size, left, how):
    """One map of `size` entries drained to `left` by popitem, or by del in
    the order popitem would take (the listing order); the input is read
    before and kept, so that only the map is counted."""
    data = entries(size, fresh=False)()
    base = collected_rss()
    m = builder(impl)(data)
    full = collected_rss()
    if how == "popitem":
        for _ in range(size - left):
            m.popitem()
    else:
        doomed = m.keys()[: size - left]
        for key in doomed:
            del m[key]
        del doomed
    assert len(m) == left
    return {"base": base, "full": full, "left": collected_rss()}


SCENARIOS = {
    "rebuild": (["vornic", "python"], lambda impl, s: rebuild(impl, s["rebuild_size"], s["cycles"], s["fresh"])),
    "refill": (["vornic"], lambda impl, s: refill(impl, s["rebuild_size"], s["cycles"], s["fresh"])),
    "rebuild_large": (["vornic"], lambda impl, s: rebuild(impl, s["large_size"], s["large_cycles"], s["fresh"])),
    "shrunk": (
        ["vornic", "python"],
        lambda impl, s: shrunk(impl, s["shrink_size"], s["shrink_maps"], s["kept"], s["fresh"]),
    ),
    "empty": (["vornic"], lambda impl, s: empty(impl, s["small_count"])),
    "single": (["vornic", "python", "dict"], lambda impl, s: single(impl, s["small_count"])),
    **{
        f"regrown_{size}": (["vornic", "python"], lambda impl, s, n=size: regrown(impl, n, s["regrown_maps"]))
        for size in REGROWN_SIZES
    },
    **{
        f"drain_{how}": (["vornic"], lambda impl, s, w=how: drain(impl, s["drain_size"], s["drain_left"], w))
        for how in ("del", "popitem")
    },
}


def worker(job, settings):
    scenario, impl = job.split(":")
    json.dump(SCENARIOS[scenario][1](impl, settings), sys.stdout)


# ---- the whole run ---------------------------------------------------------


def spawn(scenario, impl, settings):
    command = [sys.executable, __file__, "--worker", f"{scenario}:{impl}", "--settings", json.dumps(settings)]
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout)


def title(scenario, s):
    return {
        "rebuild": f"build a {s['rebuild_size']:,}-entry map, delete it, {s['cycles']} times",
        "refill": f"fill the same map, clear() it, {s['cycles']} times",
        "rebuild_large": f"build/delete {s['large_size']:,} entries, {s['large_cycles']} cycles",
        "shrunk": f"{s['shrink_maps']} maps of {s['shrink_size']:,} entries, each retain_where"
        f" down to its {s['kept']} '{KEEP}' entries, all kept",
        "empty": f"{s['small_count']:,} empty maps",
        "single": f"{s['small_count']:,} one-entry maps (2 tags)",
        **{f"regrown_{n}": f"{s['regrown_maps']} maps of {n:,} entries, each shrunk by del to one"
           for n in REGROWN_SIZES},
        "drain_del": f"a {s['drain_size']:,}-entry map drained by del to {s['drain_left']:,} entries",
        "drain_popitem": f"a {s['drain_size']:,}-entry map drained by popitem to {s['drain_left']:,} entries",
    }[scenario]


def summary(scenario, r):
    """label -> (value, unit) of one implementation's result; units "MiB" and
    "B" get peer ratios, "x" does not."""
    if scenario in ("rebuild", "refill", "rebuild_large"):
        peaks, after = r["peaks"], r["after"]
        return {
            "first peak": (peaks[0] / MIB, "MiB"),
            "last peak": (peaks[-1] / MIB, "MiB"),
            "highest peak": (max(peaks) / MIB, "MiB"),
            "last / first peak": (peaks[-1] / peaks[0], "x"),
            "after the first clean-up": (after[0] / MIB, "MiB"),
            "after the last clean-up": (after[-1] / MIB, "MiB"),
        }
    if scenario == "shrunk":
        return {
            "one full map": (r["one_map"] / MIB, "MiB"),
            "all shrunk maps": (r["held"] / MIB, "MiB"),
            "all shrunk / one full map": (r["held"] / r["one_map"], "x"),
        }
    if scenario.startswith("drain_"):
        return {
            "the full map": ((r["full"] - r["base"]) / MIB, "MiB"),
            "after the drain": ((r["left"] - r["base"]) / MIB, "MiB"),
        }
    return {"each": (r["each"], "B")}


def table(scenario, settings, by_impl):
    impls = [impl for impl in SCENARIOS[scenario][0] if impl in by_impl]
    base = summary(scenario, by_impl["vornic"]) if "vornic" in by_impl else None
    sums = {impl: summary(scenario, by_impl[impl]) for impl in impls}
    head = [""] + [impl if impl == "vornic" else f"{impl} (x)" for impl in impls]
    rows = [head]
    for label in next(iter(sums.values())):
        cells = [label]
        for impl in impls:
            value, unit = sums[impl][label]
            cell = f"{value:,.2f}" if unit == "x" else f"{value:,.0f} {unit}"
            if impl != "vornic" and base and unit != "x":
                cell += f" ({value / base[label][0]:.2f})"
            cells.append(cell)
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    lines = [f"== {title(scenario, settings)}"]
    for r in rows:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    for impl in impls:
        r = by_impl[impl]
        for series in ("peaks", "after"):
            if series in r:
                lines.append(f"   {impl} {series} (MiB): " + " ".join(f"{b / MIB:.0f}" for b in r[series]))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scenarios", default=",".join(SCENARIOS), help="comma-separated, from the list above")
    parser.add_argument("--impls", default="vornic,python,dict", help="which to run where a scenario has them")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    for name, value in DEFAULTS.items():
        parser.add_argument("--" + name.replace("_", "-"), type=int, help=f"default {value:,} ({QUICK[name]:,} quick)")
    parser.add_argument("--read-once", action="store_true", help="build every map from one input, read before")
    parser.add_argument("--out", type=Path, default=RESULTS, help="JSON file to write")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--settings", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker, json.loads(args.settings))

    settings = {name: getattr(args, name) or (QUICK if args.quick else DEFAULTS)[name] for name in DEFAULTS}
    settings["fresh"] = not args.read_once
    scenarios = args.scenarios.split(",")
    unknown = set(scenarios) - set(SCENARIOS)
    if unknown:
        parser.error(f"unknown scenarios: {', '.join(sorted(unknown))}")
    impls = args.impls.split(",")
    # Generated once here, so that no worker's heap carries the generation.
    sizes = {"rebuild": ["rebuild_size"], "refill": ["rebuild_size"], "rebuild_large": ["large_size"],
             "shrunk": ["shrink_size"], "drain_del": ["drain_size"],
             "drain_popitem": ["drain_size"]}  # fmt: skip
    wanted = {settings[name] for scenario in scenarios for name in sizes.get(scenario, [])}
    wanted |= {n for n in REGROWN_SIZES if f"regrown_{n}" in scenarios}
    for size in sorted(wanted):
        workload.make(size, cache_dir=BUILD)

    report = {"settings": settings, "results": {}}
    report["input"] = "read afresh for every map built or filled" if settings["fresh"] else "read once, before"
    print(f"Input {report['input']}; MiB resident over the process before the scenario.", flush=True)
    started = time.perf_counter()
    for scenario in scenarios:
        by_impl = report["results"].setdefault(scenario, {})
        for impl in [impl for impl in SCENARIOS[scenario][0] if impl in impls]:
            t = time.perf_counter()
            by_impl[impl] = spawn(scenario, impl, settings)
            print(f"   {scenario} {impl}: {time.perf_counter() - t:.0f}s", file=sys.stderr)
        print(table(scenario, settings, by_impl), flush=True)
    peak_sources = {r["peak_source"] for by_impl in report["results"].values() for r in by_impl.values()
                    if "peak_source" in r}  # fmt: skip
    report["peak"] = sorted(peak_sources)
    report["rss"] = "resident bytes from /proc/self/statm over the process's size before the scenario; no malloc_trim"
    report["machine"] = machine()
    report["date"] = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)  # the sdist leaves results/ out
    args.out.write_text(json.dumps(report, indent=1) + "\n")
    if report["peak"]:
        print(f"peaks: {', '.join(report['peak'])}", file=sys.stderr)
    print(f"{time.perf_counter() - started:.0f}s in all; wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
