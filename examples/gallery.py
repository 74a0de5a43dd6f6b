"""Draw the gallery: the Grunfeld investment panel under each sharing setting.

    make gallery      (or: python examples/gallery.py --out docs/gallery)

Writes one PNG per sharing setting into the output folder and the page
docs/gallery.md beside it, which shows each picture with the call that drew
it. The panel is examples/data/grunfeld.csv (see examples/data/GRUNFELD.md
for its source and licence); the "synthetic" frame is a noisy copy of it.
"""

import argparse
import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

sys.path.append(str(Path(__file__).resolve().parents[1]))

from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.frames import labelled_frames  # noqa: E402
import kestrune.testing.plotting.series as series  # noqa: E402

DATA = Path(__file__).resolve().parent / "data" / "grunfeld.csv"
FIRMS = ["General Electric", "Westinghouse", "Chrysler", "IBM"]
COLUMNS = ["invest", "trend"]
SEED = 1950
DPI = 60

# The call shown under each picture; `original`, `synthetic` and `meta` are
# made by load_grunfeld, make_synthetic and DataFrameMeta.from_frame below.
CALL = """\
with labelled_frames(["original", "synthetic"]):
    series.plot_multi_index_dataframes(
        [original, synthetic], meta,
        columns_to_plot=["invest", "trend"],
        categories_to_group_plots={firms},
        share_setting=series.ShareSetting.{setting})"""

INTRO = """\
# Gallery: the Grunfeld investment panel

Gross investment of four U.S. firms, 1935 to 1954, from the Grunfeld (1950)
investment panel (`examples/data/grunfeld.csv`; source and licence in
`examples/data/GRUNFELD.md`), drawn by `plot_multi_index_dataframes` once per
sharing setting. Each figure shows the original panel against a synthetic
copy: investment with about 8 % multiplicative noise, as a generative model
might give. The row `trend` is a categorical column derived from
investment: "rise" or "fall" against the firm's previous year, missing
(counted under "Null") in the first year.

The frames are named by `labelled_frames` from
`kestrune.testing.plotting.frames`: in one cell per firm the colour tells
the frames apart; under `ShareSetting.PLOT`, where colours stand for the
firms, the synthetic frame is dashed and its bars hatched.

Every picture was made with

```python
from kestrune import DataFrameMeta
from kestrune.testing.plotting.frames import labelled_frames
import kestrune.testing.plotting.series as series

original = load_grunfeld()          # see examples/gallery.py
synthetic = make_synthetic(original)
meta = DataFrameMeta.from_frame(original, id_index="firm", time_index="year")
```

followed by the call under it. Regenerate the pictures and this page with
`make gallery`.
"""


def with_trend(frame):
    """Add "trend": "rise" or "fall" of investment against the year before."""
    change = frame.groupby(level="firm")["invest"].diff()
    trend = pd.Series(np.where(change > 0, "rise", "fall"), index=frame.index,
                      dtype=object)
    return frame.assign(trend=trend.where(change.notna()))


def load_grunfeld():
    """The panel indexed by (firm, year), with investment and its trend.

    Years become dates (January 1st) so the time axis is labelled by year.
    """
    frame = pd.read_csv(DATA)
    frame["year"] = pd.to_datetime(frame["year"].astype(str), format="%Y")
    frame = frame.set_index(["firm", "year"]).sort_index()
    return with_trend(frame[["invest"]])


def make_synthetic(original, seed=SEED):
    """A noisy copy: investment times 1 + N(0, 0.08), trend recomputed."""
    rng = np.random.RandomState(seed)
    noise = 1 + rng.normal(0, 0.08, len(original))
    return with_trend((original[["invest"]] * noise[:, None]).round(1))


def draw(original, synthetic, meta, setting, out):
    with labelled_frames(["original", "synthetic"]):
        series.plot_multi_index_dataframes(
            [original, synthetic], meta,
            columns_to_plot=COLUMNS,
            categories_to_group_plots=FIRMS,
            share_setting=getattr(series.ShareSetting, setting))
    plt.gcf().savefig(str(out), dpi=DPI, metadata={"Software": None})
    plt.close("all")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="docs/gallery",
                        help="folder of the pictures (default: %(default)s); "
                             "the page is written beside it")
    args = parser.parse_args(argv)
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)

    original = load_grunfeld()
    synthetic = make_synthetic(original)
    meta = DataFrameMeta.from_frame(original, id_index="firm", time_index="year")

    sections = [INTRO]
    for setting in ("NONE", "PLOT", "X_AXIS", "AXES"):
        picture = out / "share_{}.png".format(setting.lower())
        with matplotlib.rc_context():
            draw(original, synthetic, meta, setting, picture)
        print(picture)
        sections.append("## ShareSetting.{}\n\n![ShareSetting.{}]({}/{})\n\n"
                        "```python\n{}\n```\n".format(
                            setting, setting, out.name, picture.name,
                            CALL.format(firms=json.dumps(FIRMS), setting=setting)))
    page = out.parent / (out.name + ".md")
    page.write_text("\n".join(sections))
    print(page)


if __name__ == "__main__":
    main()
