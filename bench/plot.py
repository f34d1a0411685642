"""Draws the benchmark's figures: time per access check against scale.

Usage: plot.py bench-results.csv performance.png

Left, against the number of direct grants (everything else in proportion):
the library, the floor and a new connection per check, per store, and the
library through the PostgreSQL ODBC driver. Right, against the
size of the rights catalogue at 100,000 grants: the library, the floor, the
listed statement and the form the library ran before.
"""

import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# The library through the PostgreSQL ODBC driver has no floor of its own:
# it is drawn as the library alone, beside PostgreSQL's.
STORES = {"SQLite": "tab:blue", "SQLite WAL": "tab:green",
          "PostgreSQL": "tab:red", "PostgreSQL ODBC": "tab:orange",
          "MariaDB": "tab:purple"}
STYLES = {"library": "-", "floor": "--", "conn/check": ":", "listed": "-.",
          "previous": (0, (3, 1, 1, 1, 1, 1))}
CATALOGUE_GRANTS = 100000


def read(path):
    with open(path, newline="") as figures:
        return [row for row in csv.DictReader(figures)
                if row["section"] == "access"]


def draw(axes, rows, contenders, x_column, xlabel):
    for store, colour in STORES.items():
        for contender in contenders:
            points = sorted(
                (int(row[x_column]), float(row["median_us"])) for row in rows
                if row["store"] == store and row["what"] == contender)
            if points:
                axes.plot(*zip(*points), linestyle=STYLES[contender],
                          color=colour, marker="o",
                          label=f"{store}, {contender}")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel(xlabel)
    axes.set_ylabel("microseconds per check (median)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=7)


def main(source, target):
    rows = read(source)
    # The scale series keeps the catalogue at a hundredth of the grants.
    in_proportion = [row for row in rows
                     if int(row["grants"]) == 100 * int(row["rights"])]
    catalogue = [row for row in rows
                 if int(row["grants"]) == CATALOGUE_GRANTS]
    figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5))
    draw(left, in_proportion, ["library", "floor", "conn/check"], "grants",
         "direct grants (users, groups, memberships in proportion)")
    left.set_title("Access check against scale")
    draw(right, catalogue, ["library", "floor", "listed", "previous"], "rights",
         "rows in the rights catalogue (100,000 grants)")
    right.set_title("Access check against the catalogue")
    figure.tight_layout()
    figure.savefig(target, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
