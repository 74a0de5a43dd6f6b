"""The figures whose pictures are compared with baselines, and the baselines.

    make baselines        (or: .venv/bin/python tests/pictures.py)

redraws every baseline into tests/baseline_images/ and records the library
versions they were drawn with. Baselines belong to the reference
environment, the pinned packages of requirements/py37.txt; the command
refuses to run anywhere else. tests/test_pictures.py compares against them
only where the same versions are installed.

Every figure holds one continuous and one categorical column, so the order
of its rows does not depend on the order of a set (and so not on the hash
seed).
"""
import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BASELINES = Path(__file__).resolve().parent / "baseline_images"
MANIFEST = BASELINES / "environment.json"
PINS = ROOT / "requirements" / "py37.txt"
DPI = 50
# Root-mean-square difference of the pixel values (0 to 255) that a picture
# may show against its baseline. The same library versions draw identical
# pixels; this leaves room for anti-aliasing at edges and nothing more: a
# bar moved by a tenth of its width, a lost tick label or a changed colour
# each give several times as much (see test_pictures.py).
TOLERANCE = 0.5
PACKAGES = ("matplotlib", "numpy", "pandas", "seaborn")


def _series():
    import kestrune.testing.plotting.series as series

    return series


def tiny_panel():
    """Two frames of two ids over six steps, one column of each kind."""
    index = pd.MultiIndex.from_product([["a", "b"], range(6)], names=["id", "t"])
    original = pd.DataFrame({
        "level": [1.0, 2.0, 4.0, 3.0, 5.0, 6.0, 2.0, 2.5, 2.0, 3.5, 3.0, 4.0],
        "state": ["on", "off", "on", None, "on", "on",
                  "off", "off", "on", "off", None, "off"],
    }, index=index)
    synthetic = original.assign(
        level=original["level"] + [0.5, -0.5] * 6,
        state=original["state"].shift(1).fillna("on"))
    return original, synthetic


def demo_panel():
    """The demo's two frames, cut down to two stores and two columns."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import demo
    finally:
        sys.path.remove(str(ROOT / "examples"))
    frames = []
    for name in ("original", "synthetic"):
        frame = demo.load_panel(name)
        frames.append(frame.loc[["north", "south"], ["sales", "weather"]])
    return frames, demo.ID, demo.TIME


def draw_demo():
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.frames import labelled_frames

    frames, id_name, time_name = demo_panel()
    meta = DataFrameMeta.from_frame(frames[0], id_name, time_name)
    with labelled_frames(["original", "synthetic"]):
        _series().plot_multi_index_dataframes(frames, meta, ["sales", "weather"])
    return plt.gcf()


def draw_share(setting):
    from kestrune import DataFrameMeta

    series = _series()
    frames = list(tiny_panel())
    meta = DataFrameMeta.from_frame(frames[0], "id", "t")
    series.plot_multi_index_dataframes(
        frames, meta, ["level", "state"], ["a", "b"],
        getattr(series.ShareSetting, setting))
    return plt.gcf()


def draw_single(kind):
    from kestrune.testing.plotting.style import set_plotting_style

    set_plotting_style()
    figure, ax = plt.subplots(figsize=(4, 1.5))
    original = tiny_panel()[0].xs("a")
    column = "state" if kind == "strip" else "level"
    values = original[column].fillna("Null") if kind == "strip" else original[column]
    _series().plot_time_series(values, original.index, ax)
    figure.tight_layout()
    return figure


CASES = {
    "demo_panel": draw_demo,
    "share_none": lambda: draw_share("NONE"),
    "share_plot": lambda: draw_share("PLOT"),
    "share_x_axis": lambda: draw_share("X_AXIS"),
    "share_axes": lambda: draw_share("AXES"),
    "single_strip": lambda: draw_single("strip"),
    "single_line": lambda: draw_single("line"),
}


def draw(name, path, alter=None):
    """Draw the case ``name`` into the PNG ``path``, leaving the style as it was.

    ``alter``, if given, is called with the figure before it is saved.
    """
    with matplotlib.rc_context():
        figure = CASES[name]()
        if alter is not None:
            alter(figure)
        figure.savefig(str(path), dpi=DPI, metadata={"Software": None})
    plt.close("all")


def installed_versions():
    """Versions of the libraries that decide the pixels, freetype included."""
    from importlib import import_module
    from matplotlib import ft2font

    versions = {name: import_module(name).__version__ for name in PACKAGES}
    versions["freetype"] = ft2font.__freetype_version__
    return versions


def pinned_versions():
    pins = {}
    for line in PINS.read_text().splitlines():
        name, sep, version = line.partition("==")
        if sep and name.strip() in PACKAGES:
            pins[name.strip()] = version.strip()
    return pins


def main():
    installed = installed_versions()
    differ = {name: (version, installed[name])
              for name, version in pinned_versions().items()
              if installed[name] != version}
    if differ:
        sys.exit("baselines belong to the pinned environment of {}; here {}".format(
            PINS.relative_to(ROOT),
            ", ".join("{} is {} (pinned {})".format(n, got, want)
                      for n, (want, got) in sorted(differ.items()))))
    BASELINES.mkdir(exist_ok=True)
    for name in CASES:
        draw(name, BASELINES / (name + ".png"))
        print(BASELINES / (name + ".png"))
    MANIFEST.write_text(json.dumps(installed, indent=2, sort_keys=True) + "\n")
    print(MANIFEST)


if __name__ == "__main__":
    main()
