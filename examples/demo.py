"""Draw the demo panel, original beside synthetic, and save the figure.

    python examples/demo.py [--out build/demo.png]

Prints the absolute path of the PNG it wrote.
"""

import argparse
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

# An installed kestrune comes first; otherwise use the checkout this script
# sits in (after an in-place build of the extension).
sys.path.append(str(Path(__file__).resolve().parents[1]))

from kestrune import DataFrameMeta  # noqa: E402
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="build/demo.png",
                        help="where to write the PNG (default: %(default)s)")
    args = parser.parse_args(argv)

    original = load_panel("original")
    synthetic = load_panel("synthetic")
    meta = DataFrameMeta.from_frame(original, ID, TIME)

    out = Path(args.out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    try:
        series.plot_multi_index_dataframes([original, synthetic], meta)
        plt.gcf().savefig(str(out))
    finally:
        plt.close("all")
    print(out)


if __name__ == "__main__":
    main()
