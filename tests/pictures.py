"""The figures whose pictures tests/test_pictures.py compares with baselines.

`make baselines` (or: .venv/bin/python tests/pictures.py) redraws every baseline
into tests/baseline_images/ and records the library versions it was drawn with;
it refuses to run outside the reference environment (requirements/py37.txt).
Each figure holds one continuous and one categorical column, so the order of its
rows does not depend on the order of a set (and so not on the hash seed).
"""
import json
import sys
from importlib import import_module
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402
from matplotlib import ft2font  # noqa: E402

import kestrune.testing.plotting.series as series  # noqa: E402
from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.frames import labelled_frames  # noqa: E402
from kestrune.testing.plotting.style import set_plotting_style  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BASELINES = Path(__file__).resolve().parent / "baseline_images"
MANIFEST = BASELINES / "environment.json"
PINS = ROOT / "requirements" / "py37.txt"
DPI = 50
# Root-mean-square difference of the pixel values (0 to 255) that a picture
# may show against its baseline: room for anti-aliasing at edges and nothing
# more; each fault of test_pictures.py gives several times as much.
TOLERANCE = 0.5
PACKAGES = ("matplotlib", "numpy", "pandas", "seaborn")


def tiny_panel():
    """Two frames of two ids over six steps, one column of each kind."""
    index = pd.MultiIndex.from_product([["a", "b"], range(6)], names=["id", "t"])
    original = pd.DataFrame({
        "level": [1.0, 2.0, 4.0, 3.0, 5.0, 6.0, 2.0, 2.5, 2.0, 3.5, 3.0, 4.0],
        "state": ["on", "off", "on", None, "on", "on", "off", "off", "on", "off", None, "off"],
    }, index=index)
    synthetic = original.assign(level=original["level"] + [0.5, -0.5] * 6,
                                state=original["state"].shift(1).fillna("on"))
    return original, synthetic


def draw_demo():
    """The demo's two frames, cut down to two stores and two columns."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import demo
    finally:
        sys.path.remove(str(ROOT / "examples"))
    frames = [demo.load_panel(name).loc[["north", "south"], ["sales", "weather"]]
              for name in ("original", "synthetic")]
    with labelled_frames(["original", "synthetic"]):
        series.plot_multi_index_dataframes(frames, DataFrameMeta.from_frame(frames[0], demo.ID, demo.TIME),
                                           ["sales", "weather"])
    return plt.gcf()


def draw_share(setting):
    frames = list(tiny_panel())
    series.plot_multi_index_dataframes(frames, DataFrameMeta.from_frame(frames[0], "id", "t"), ["level", "state"],
                                       ["a", "b"], getattr(series.ShareSetting, setting))
    return plt.gcf()


def draw_single(kind):
    set_plotting_style()
    figure, ax = plt.subplots(figsize=(4, 1.5))
    original = tiny_panel()[0].xs("a")
    values = original["state"].fillna("Null") if kind == "strip" else original["level"]
    series.plot_time_series(values, original.index, ax)
    figure.tight_layout()
    return figure


CASES = {"demo_panel": draw_demo}
CASES.update(("share_" + s.lower(), lambda s=s: draw_share(s)) for s in ("NONE", "PLOT", "X_AXIS", "AXES"))
CASES.update(("single_" + kind, lambda kind=kind: draw_single(kind)) for kind in ("strip", "line"))


def draw(name, path, alter=None):
    """Draw the case ``name`` into the PNG ``path``, leaving the style as it was;
    ``alter``, if given, is called with the figure before it is saved."""
    with matplotlib.rc_context():
        figure = CASES[name]()
        if alter is not None:
            alter(figure)
        figure.savefig(str(path), dpi=DPI, metadata={"Software": None})
    plt.close("all")


def installed_versions():
    """Versions of the libraries that decide the pixels, freetype included."""
    versions = {name: import_module(name).__version__ for name in PACKAGES}
    versions["freetype"] = ft2font.__freetype_version__
    return versions


def main():
    installed = installed_versions()
    pins = dict((part.strip() for part in line.split("==", 1))
                for line in PINS.read_text().splitlines() if "==" in line)
    differ = ["{} is {} (pinned {})".format(name, installed[name], pins[name])
              for name in PACKAGES if name in pins and installed[name] != pins[name]]
    if differ:
        sys.exit("baselines belong to the pinned environment of {}; here {}".format(
            PINS.relative_to(ROOT), ", ".join(differ)))
    BASELINES.mkdir(exist_ok=True)
    for name in CASES:
        draw(name, BASELINES / (name + ".png"))
        print(BASELINES / (name + ".png"))
    MANIFEST.write_text(json.dumps(installed, indent=2, sort_keys=True) + "\n")
    print(MANIFEST)


if __name__ == "__main__":
    main()
