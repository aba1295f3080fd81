"""Draws one benchmark run as a chart: ns per operation for tarvu, the floor and the peer.

    python bench/chart.py RESULTS -o chart.png

RESULTS is what bench/run.py wrote with --json, or any text holding the table
it prints (its output saved to a file, or bench/README.md, whose table is
drawn as printed into the README's chart). `bench/run.py --chart PATH` draws its own run the same way. The
time axis is logarithmic: the peer is up to a hundred times slower than the
other two, which a linear axis would flatten into nothing. Needs matplotlib
(the `bench` dependency group).
"""

import argparse
import json
import re
import sys
from pathlib import Path

IMPLEMENTATIONS = ("tarvu", "floor", "peer")
COLOURS = {"tarvu": "#1f5fa8", "floor": "#9a9a9a", "peer": "#e08a2c"}
LEGEND = {"tarvu": "tarvu", "floor": "plain C floor (tp_new)", "peer": "enum.IntEnum peer"}
TABLE_HEADER = re.compile(r"^operation\s+tarvu ns\s+floor ns\s+peer ns(\s+shared ns)?")


def row_pattern(figures):
    """A row: the operation (which may hold spaces and numbers, as `m == 16`),
    `figures` ns figures and ratios, each a number or n/a, then two spaces and
    the goals."""
    return re.compile(r"^(.+?)" + r"\s+(n/a|[\d.]+)" * figures + r"  \S")


# Tables with the shared floor's column have four ns figures and three ratios;
# older ones three and two.
ROW_WITH_SHARED = row_pattern(7)
ROW = row_pattern(5)
INTERPRETER = re.compile(r"^CPython (\S+), (\d+) run")


def from_json(document):
    rows = [(row["operation"], row["ns"]) for row in document["operations"]]
    return rows, "CPython {}, median of {} run(s)".format(document["python"], document["runs"])


def from_text(text):
    """Rows of the first table in text laid out as bench/run.py prints it."""
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines) if TABLE_HEADER.match(line)), None)
    row = ROW_WITH_SHARED if start is not None and TABLE_HEADER.match(lines[start]).group(1) else ROW
    if start is None:
        raise ValueError("no benchmark table (a line starting 'operation  tarvu ns') in the text")
    title = "benchmark"
    for line in lines[max(0, start - 3):start]:
        found = INTERPRETER.match(line)
        if found:
            title = "CPython {}, median of {} run(s)".format(found.group(1), found.group(2))
    rows = []
    for line in lines[start + 2:]:
        fields = row.match(line)
        if not line.strip() or not fields:
            break
        numbers = [None if value == "n/a" else float(value) for value in fields.group(2, 3, 4)]
        rows.append((fields.group(1).strip(), dict(zip(IMPLEMENTATIONS, numbers))))
    if not rows:
        raise ValueError("the benchmark table has no rows")
    return rows, title


def read_results(path):
    text = Path(path).read_text(encoding="utf-8")
    if text.lstrip().startswith("{"):
        return from_json(json.loads(text))
    return from_text(text)


def draw(rows, title, out):
    """Writes a horizontal grouped bar chart of rows [(operation, {implementation: ns})] to out."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    height = 0.26
    figure, axes = plt.subplots(figsize=(9, 0.48 * len(rows) + 1.6), dpi=110)
    for i, name in enumerate(IMPLEMENTATIONS):
        positions = [row + (i - 1) * height for row in range(len(rows))]
        values = [ns.get(name) or 0 for _, ns in rows]
        bars = axes.barh(positions, values, height=height, color=COLOURS[name], label=LEGEND[name])
        if name == "tarvu":
            for bar, value in zip(bars, values):
                if value:
                    axes.annotate("{:.1f}".format(value), (value, bar.get_y() + bar.get_height() / 2),
                                  xytext=(3, 0), textcoords="offset points", va="center",
                                  fontsize=7, color=COLOURS[name])
    axes.set_xscale("log")
    axes.set_yticks(range(len(rows)))
    axes.set_yticklabels([operation for operation, _ in rows], fontsize=8)
    axes.invert_yaxis()
    axes.set_xlabel("ns per operation (log scale; shorter is faster)")
    axes.set_title("tarvu against the plain C floor and enum.IntEnum: " + title, fontsize=9)
    axes.grid(axis="x", which="both", color="#e4e4e4", linewidth=0.6)
    axes.set_axisbelow(True)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.07), ncol=3, fontsize=8, frameon=False)
    figure.tight_layout()
    figure.savefig(str(out))
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", help="bench/run.py --json output, or text holding its table")
    parser.add_argument("-o", "--out", required=True, help="the PNG to write")
    args = parser.parse_args()
    try:
        rows, title = read_results(args.results)
    except (OSError, ValueError, KeyError) as error:
        sys.exit("chart.py: {}: {}".format(args.results, error))
    draw(rows, title, args.out)
    print("chart of {} operations written to {}".format(len(rows), args.out))


if __name__ == "__main__":
    main()
