#!/usr/bin/env python3
"""Draws qkmine bench's JSON lines: int8 TOPS of each build's search pass and
of cuBLASLt per shape as grouped bars, with the GPU's int8 peak as a dashed
line. The output's format follows its extension (.png or .svg).

Usage: plot_bench.py --input BENCH.jsonl --output FILE.png|FILE.svg
"""
import argparse
import json
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402

FORMATS = {".png": "png", ".svg": "svg"}


def read_run(path):
    with open(path, encoding="utf-8") as f:
        lines = [json.loads(line) for line in f if line.strip()]
    if not lines:
        raise ValueError("no benchmark lines")
    return lines[0], lines[1:]


def series(shapes):
    """{name: [TOPS or None per shape]}: each build in order, then cuBLASLt."""
    out = {}
    for i, shape in enumerate(shapes):
        for engine in shape.get("search", []):
            out.setdefault(engine["build"], [None] * len(shapes))[i] = engine.get("tops")
    out["cuBLASLt"] = [shape.get("cublaslt", {}).get("tops") for shape in shapes]
    return out


def draw(run, shapes, output, fmt):
    names = ["%dx%dx%d" % (s["m"], s["n"], s["k"]) for s in shapes]
    bars = series(shapes)
    fig, ax = plt.subplots(figsize=(9.6, 5.4))
    width = 0.8 / max(1, len(bars))
    for j, (name, tops) in enumerate(bars.items()):
        xs = [i + (j - (len(bars) - 1) / 2) * width for i in range(len(names))]
        heights = [t if t is not None else 0 for t in tops]
        drawn = ax.bar(xs, heights, width, label=name)
        ax.bar_label(drawn, labels=["%.0f" % t if t is not None else "n/a" for t in tops], fontsize=8)
    peak = run.get("peak_int8_tops")
    if peak:
        ax.axhline(peak, linestyle="--", color="tab:red", label="int8 peak %.0f" % peak)
    ax.set_xticks(range(len(names)), names)
    ax.set_ylabel("TOPS (2·m·n·k per pass)")
    ax.set_title("int8 TOPS, %s, search mode %s" % (run.get("device", "?"), run.get("mode", "?")))
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1))
    fig.tight_layout()
    fig.savefig(output, format=fmt)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    fmt = next((f for ext, f in FORMATS.items() if args.output.lower().endswith(ext)), None)
    if fmt is None:
        sys.exit("plot_bench.py: %s: the plot is .png or .svg" % args.output)
    try:
        run, shapes = read_run(args.input)
        draw(run, shapes, args.output, fmt)
    except (OSError, ValueError, KeyError, TypeError) as e:
        sys.exit("plot_bench.py: %s" % e)


if __name__ == "__main__":
    main()
