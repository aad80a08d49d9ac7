"""Draws bench/results/results.json as bench/results/chart.png: for every
size, each peer's time (and memory) relative to vornic's, on a log scale.

    python bench/chart.py [--results PATH] [--out PATH]
"""

import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

RESULTS = Path(__file__).resolve().parent / "results"
SERIES = [("python", "plain Python", "tab:blue"), ("roaring", "pyroaring", "tab:orange"),
          ("sqlite", "sqlite3", "tab:green"), ("floor", "floor (set of new str)", "tab:gray")]  # fmt: skip
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
            t = other["times"].get(op)
            out.append(t / base["times"][op] if t else None)
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
        "median thread CPU time per call; bars right of 1: vornic faster / smaller",
    ])  # fmt: skip


def draw(report, out):
    sizes = [str(s) for s in report["sizes"]]
    first = report["results"][sizes[0]]
    ops = ["build"] + [op for op in first["vornic"]["times"] if op != "build"] + [MEMORY]
    fig, axes = plt.subplots(1, len(sizes), figsize=(5.2 * len(sizes) + 2.5, 0.32 * len(ops) + 2.2),
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", type=Path, default=RESULTS / "results.json")
    parser.add_argument("--out", type=Path, default=RESULTS / "chart.png")
    args = parser.parse_args()
    draw(json.loads(args.results.read_text()), args.out)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
