#!/usr/bin/env python3
"""Plots a quorvane_4d csv report: the eleven channel energies and dist_prev
over the plies of a game, as a PNG.

usage: plot_csv.py [CSV] -o PNG [--title TEXT]
    CSV   the output of `quorvane_4d csv` (default: standard input)

    quorvane_4d csv game.quorvanez4 | python3 tools/plot_csv.py -o game.png

Needs matplotlib (Debian: python3-matplotlib). Both axes of values are
symmetric-logarithmic: linear near zero, so that channels whose energy is 0
still show, and logarithmic beyond, since energies span many decades.
"""
import argparse
import csv
import sys

ENERGY_COLUMNS = ["E_A1", "E_STD4_X", "E_STD4_Y", "E_STD4_Z", "E_STD4_W", "E_FIB_SYM_1", "E_FIB_SYM_2",
                  "E_FIB_SYM_3", "E_FA_PAWN_W", "E_FA_PAWN_Y", "E_FD_DIAG"]
STYLES = ["-", "--", "-.", ":"]


def read_report(stream):
    """(plies, {column: values}) of a csv report."""
    reader = csv.DictReader(stream)
    missing = [c for c in ["ply", "dist_prev", *ENERGY_COLUMNS] if c not in (reader.fieldnames or [])]
    if missing:
        raise ValueError(f"not a quorvane_4d csv report: no column {', '.join(missing)}")
    rows = list(reader)
    columns = {c: [float(row[c]) for row in rows] for c in ["dist_prev", *ENERGY_COLUMNS]}
    return [int(row["ply"]) for row in rows], columns


def plot(plies, columns, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (energies, change) = plt.subplots(2, 1, figsize=(11, 8), sharex=True,
                                              gridspec_kw={"height_ratios": [3, 1]})
    colours = [*plt.get_cmap("tab10").colors, "black"]
    for k, column in enumerate(ENERGY_COLUMNS):
        energies.plot(plies, columns[column], label=column[2:], color=colours[k],
                      linestyle=STYLES[k % len(STYLES)], linewidth=1.6, marker=".", markersize=4)
    energies.set_yscale("symlog", linthresh=1.0)
    energies.set_ylabel("channel energy (sum of v²)")
    energies.legend(ncol=4, fontsize="small", loc="upper left", framealpha=0.9)
    energies.grid(True, which="major", alpha=0.3)
    energies.set_title(title)

    change.plot(plies, columns["dist_prev"], color="dimgray", marker=".", linewidth=1.2)
    change.set_yscale("symlog", linthresh=1.0)
    change.set_ylabel("dist_prev")
    change.set_xlabel("ply")
    change.grid(True, which="major", alpha=0.3)

    figure.tight_layout()
    figure.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description="Plot a quorvane_4d csv report as a PNG.")
    parser.add_argument("csv", nargs="?", help="csv report (default: standard input)")
    parser.add_argument("-o", "--output", required=True, help="PNG to write")
    parser.add_argument("--title", help="title of the plot (default: the csv's name)")
    args = parser.parse_args()
    try:
        if args.csv is None:
            plies, columns = read_report(sys.stdin)
        else:
            with open(args.csv, newline="") as stream:
                plies, columns = read_report(stream)
    except (OSError, ValueError) as error:
        sys.exit(f"plot_csv.py: {error}")
    if not plies:
        sys.exit("plot_csv.py: the report has no rows")
    title = args.title or f"channel energies and dist_prev per ply: {args.csv or 'standard input'}"
    plot(plies, columns, args.output, title)


if __name__ == "__main__":
    main()
