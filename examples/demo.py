"""Draw the demo panel, original beside synthetic, and save the figure.

    python examples/demo.py [--out build/demo.png]

Also draws one store with the single-series plots (``demo-store.png``) and
writes the comparison report of the two frames (the folder ``demo-report``)
beside it, and two more reports: the original against its own values in a
shuffled time order (``demo-scrambled``), and against a copy whose stores
are renamed and whose numbers carry noise of 5 % of their spread
(``demo-renamed``, paired by nearest summaries). Prints the absolute path of
each.
"""

import argparse
import sys
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

# An installed kestrune comes first; otherwise use the checkout this script
# sits in (after an in-place build of the extension).
sys.path.append(str(Path(__file__).resolve().parents[1]))

from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import NearCopyWarning, compare_panels  # noqa: E402
from kestrune.testing.plotting.frames import labelled_frames  # noqa: E402
import kestrune.testing.plotting.series as series  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"
ID, TIME = "store", "date"
LABEL_COLUMNS = ["weather", "promo"]


def load_panel(name):
    """Read one panel, indexed by (store, date), with only its data columns.

    Labels stay strings in object columns and only empty fields count as
    missing, so a label such as "none" is kept as it is.
    """
    frame = pd.read_csv(
        DATA / "panel_{}.csv".format(name),
        parse_dates=[TIME],
        dtype={column: object for column in LABEL_COLUMNS},
        keep_default_na=False,
        na_values=[""],
    )
    return frame.set_index([ID, TIME])


def draw_one_store(original, store, out):
    """The single-series plots for one store: a strip, a line and a series."""
    rows = original.xs(store)
    figure, (strip, line, dots) = plt.subplots(3, 1, figsize=(10, 6), sharex=False)
    weather = rows["weather"].fillna("Null").to_numpy()
    series.plot_time_series(weather, rows.index, strip)
    strip.set_title("{}: weather, one band a month".format(store))
    # The strip colours each value by its rank among the distinct values.
    values = np.unique(weather)
    cmap = plt.get_cmap("YlGn")
    strip.legend(handles=[Patch(color=cmap(j / len(values)), label=v) for j, v in enumerate(values)],
                 loc="center left", bbox_to_anchor=(1.0, 0.5), frameon=False)
    series.plot_time_series(rows["visitors"], rows.index, line)
    line.set_title("{}: visitors".format(store))
    series.plot_series(rows["sales"], dots, marker="o", markersize=3, color="C2")
    dots.set_title("{}: sales".format(store))
    figure.tight_layout()
    figure.savefig(str(out))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="build/demo.png",
                        help="where to write the PNG (default: %(default)s); the "
                             "single-store figure goes beside it with '-store' added, "
                             "the report of the two frames with '-report'")
    args = parser.parse_args(argv)

    original = load_panel("original")
    synthetic = load_panel("synthetic")
    meta = DataFrameMeta.from_frame(original, ID, TIME)

    out = Path(args.out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    store_out = out.with_name(out.stem + "-store" + out.suffix)
    report_out = out.with_name(out.stem + "-report")
    try:
        # Names the frames in a legend before the driver shows the figure.
        with labelled_frames(["original", "synthetic"]):
            series.plot_multi_index_dataframes([original, synthetic], meta)
        plt.gcf().savefig(str(out))
        plt.close("all")
        draw_one_store(original, "north", store_out)
    finally:
        plt.close("all")
    report = compare_panels({"original": original, "synthetic": synthetic}, meta,
                            progress=False)
    # The demo's own output: replaced on every run, whatever is there.
    report.save(report_out, overwrite=True)
    # Two synthetic frames that the value distributions alone cannot tell
    # apart from the original, or whose ids are their own.
    scrambled_out = out.with_name(out.stem + "-scrambled")
    compare_panels({"original": original, "scrambled": scrambled(original)}, meta,
                   progress=False).save(scrambled_out, overwrite=True)
    renamed_out = out.with_name(out.stem + "-renamed")
    # Every renamed store is a near-copy, as made: what the report found is
    # printed under its path, not raised as a warning.
    with warnings.catch_warnings(record=True) as found:
        warnings.simplefilter("always", NearCopyWarning)
        compare_panels({"original": original, "renamed": renamed(original)}, meta,
                       progress=False).save(renamed_out, overwrite=True)
    for path in (out, store_out, report_out, scrambled_out, renamed_out):
        print(path)
    for warning in found:
        if issubclass(warning.category, NearCopyWarning):
            print("  " + str(warning.message))
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename,
                                   warning.lineno)


def scrambled(frame, seed=7):
    """Each store's own values in a shuffled time order (the same values)."""
    rng = np.random.default_rng(seed)
    parts = []
    for store in frame.index.unique(ID):
        rows = frame.xs(store, drop_level=False)
        parts.append(rows.set_axis(rows.index[rng.permutation(len(rows))]).sort_index())
    return pd.concat(parts)


def renamed(frame, seed=7):
    """Every store under a new name, its numbers with noise of 5 % of their spread."""
    rng = np.random.default_rng(seed)
    out = frame.rename(index=lambda store: "synthetic " + store, level=ID)
    for column in out.columns:
        if column not in LABEL_COLUMNS:
            out[column] = out[column] + rng.normal(0, 0.05 * out[column].std(), len(out))
    return out


if __name__ == "__main__":
    main()
