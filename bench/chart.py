"""Draws bench/results/results.json as bench/results/chart.png: for every
size, each peer's time (and memory) relative to vornic's, on a log scale.
With --table, prints instead the README's Markdown table for the largest size.

    python bench/chart.py [--results PATH] [--out PATH] [--table]
"""

import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

RESULTS = Path(__file__).resolve().parent / "results"
SERIES = [("python", "plain Python", "tab:blue"), ("roaring", "pyroaring", "tab:orange"),
          ("sqlite", "sqlite3", "tab:green"), ("polars", "Polars", "tab:purple"),
          ("duckdb", "DuckDB", "tab:brown"), ("floor", "floor (set of new str)", "tab:gray")]  # fmt: skip
MEMORY = "memory/entry"


def ratios(by_impl, impl, ops):
    """impl's time (or memory) over vornic's per operation; None where missing."""
    base, other = by_impl.get("vornic"), by_impl.get(impl)
    out = []
    for op in ops:
        if base is None or other is None:
            out.append(None)
        elif op == MEMORY:
            out.append(other["mem_per_entry"] / base["mem_per_entry"] if "mem_per_entry" in other else None)
        else:
            t, b = other["times"].get(op), base["times"].get(op)
            out.append(t / b if t and b else None)
    return out


def describe(report):
    m = report["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in m["versions"].items())
    sizes = ", ".join(f"{s:,}" for s in report["sizes"])
    return "\n".join([
        f"{m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB",
        m["platform"],
        versions,
        f"entries: {sizes}; {report['date']}",
        "median CPU time per call (of the thread; Polars, DuckDB: of the process, held to one thread)",
        "bars right of 1: vornic faster / smaller",
    ])  # fmt: skip


def draw(report, out):
    sizes = [str(s) for s in report["sizes"]]
    largest = report["results"][sizes[-1]]  # older runs at other sizes may lack some rows
    ops = ["build"] + [op for op in largest["vornic"]["times"] if op != "build"] + [MEMORY]
    fig, axes = plt.subplots(1, len(sizes), figsize=(5.2 * len(sizes) + 2.5, 0.08 * len(SERIES) * len(ops) + 2.2),
                             sharex=True, sharey=True, squeeze=False)  # fmt: skip
    height = 0.8 / len(SERIES)
    for ax, size in zip(axes[0], sizes):
        by_impl = report["results"][size]
        for i, (impl, label, colour) in enumerate(SERIES):
            values = ratios(by_impl, impl, ops)
            ys = [y + (i - (len(SERIES) - 1) / 2) * height for y in range(len(ops))]
            present = [(y, v) for y, v in zip(ys, values) if v]
            if present:
                # Bars grow from 1 towards the ratio: right where vornic is ahead.
                ax.barh([y for y, _ in present], [v - 1 for _, v in present], height=height, left=1,
                        color=colour, label=label)  # fmt: skip
        ax.set_xscale("log")
        ax.axvline(1, color="black", linewidth=0.8)
        ax.set_title(f"{int(size):,} entries")
        ax.set_xlabel("peer / vornic")
        ax.grid(axis="x", which="both", alpha=0.3)
        ax.set_axisbelow(True)
    axes[0][0].set_yticks(range(len(ops)), ops)
    axes[0][0].invert_yaxis()
    axes[0][-1].legend(loc="upper left", bbox_to_anchor=(1.02, 1), fontsize="small")
    fig.text(0.99, 0.01, describe(report), ha="right", va="bottom", fontsize="x-small", family="monospace")
    fig.tight_layout(rect=(0, 0.09, 1, 1))
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)


def fmt_time(seconds):
    for unit, scale in [("s", 1), ("ms", 1e-3), ("µs", 1e-6)]:
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(report):
    """Markdown rows for the largest size: every operation, each peer's time
    with its ratio to vornic's, and vornic's ratio to the floor."""
    size = str(max(report["sizes"]))
    by_impl = report["results"][size]
    base = by_impl["vornic"]
    peers = [(impl, label) for impl, label, _ in SERIES if impl in by_impl and impl != "floor"]
    head = [f"operation ({int(size):,} entries)", "vornic"] + [label for _, label in peers] + ["vornic ÷ floor"]
    rows = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    ops = ["build"] + [op for op in base["times"] if op != "build"]
    for op in ops:
        t = base["times"][op]
        cells = [op, fmt_time(t)]
        for impl, _ in peers:
            other = by_impl[impl]["times"].get(op)
            cells.append(f"{fmt_time(other)} ({other / t:.2f})" if other else "")
        floor = by_impl.get("floor", {}).get("times", {}).get(op)
        cells.append(f"{t / floor:.2f}" if floor else "")
        rows.append("| " + " | ".join(cells) + " |")
    mem = ["memory per entry", f"{base['mem_per_entry']:.0f} B"]
    for impl, _ in peers:
        b = by_impl[impl]["mem_per_entry"]
        mem.append(f"{b:.0f} B ({b / base['mem_per_entry']:.2f})")
    rows.append("| " + " | ".join(mem + [""]) + " |")
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", type=Path, default=RESULTS / "results.json")
    parser.add_argument("--out", type=Path, default=RESULTS / "chart.png")
    parser.add_argument("--table", action="store_true", help="print the Markdown table instead")
    args = parser.parse_args()
    report = json.loads(args.results.read_text())
    if args.table:
        print(table(report))
        return
    draw(report, args.out)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
