"""Single-series plots: coloured bands, seaborn lines, series against their index."""
import traceback

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib import cm
from matplotlib.colors import to_rgba

PREFIX = "kestrune.testing.plotting.series."


@pytest.fixture
def ax():
    return plt.subplots()[1]


def bands(ax):
    """(x0, x1, y0, y1, facecolour) of every filled band, in drawing order."""
    out = []
    for coll in ax.collections:
        (path,) = coll.get_paths()
        v = path.vertices
        out.append((v[:, 0].min(), v[:, 0].max(), v[:, 1].min(), v[:, 1].max(),
                    tuple(coll.get_facecolor()[0])))
    return out


def get_cmap(name):
    """The colour map the module draws with: cm.get_cmap, or the registry where it is gone."""
    if hasattr(cm, "get_cmap"):
        return cm.get_cmap(name)
    return matplotlib.colormaps.get_cmap(name)


def expected_bands(ranks, n, cmap_name="YlGn"):
    cmap = get_cmap(cmap_name)
    return [(i, i + 1, 0, 2, to_rgba(cmap(r / n))) for i, r in enumerate(ranks)]


@pytest.mark.parametrize("x, ranks, n, cmap_name", [
    (["a", "b", "a", "c"], [0, 1, 0, 2], 3, "YlGn"),
    (["c", "a"], [1, 0], 2, "YlGn"),              # rank, not first appearance
    (pd.Series([7, 7, 7]), [0, 0, 0], 1, "viridis"),
    ([], [], 0, "YlGn"),
    (["b", "a"], [1, 0], 2, None),                # None: matplotlib's default map
])
def test_index_plot_bands(series, ax, x, ranks, n, cmap_name):
    assert series.sequence_index_plot(x, object(), ax, cmap_name) is None
    assert bands(ax) == expected_bands(ranks, n, cmap_name)
    assert not ax.get_yaxis().get_visible()


class StrSub(str):
    pass


@pytest.mark.parametrize("cmap_name, exc, text", [
    (5, TypeError, "Argument 'cmap_name' has incorrect type (expected str, got int)"),
    (StrSub("YlGn"), TypeError, "Argument 'cmap_name' has incorrect type (expected str, got StrSub)"),
    ("no-such-map", ValueError, None),
])
def test_index_plot_bad_cmap_draws_nothing(series, ax, cmap_name, exc, text):
    with pytest.raises(exc) as info:
        series.sequence_index_plot(["a"], None, ax, cmap_name=cmap_name)
    assert text is None or str(info.value) == text
    assert not ax.collections and ax.get_yaxis().get_visible()


@pytest.mark.parametrize("via", ["sequence_index_plot", "plot_time_series"])
def test_unmatched_value_keeps_earlier_bands(series, ax, via):
    # np.unique hands back its own nan object, which no other nan equals.
    x = np.array([1.0, np.nan, 2.0]) if via == "sequence_index_plot" else np.array([1, np.nan, 2], dtype=complex)
    with pytest.raises(KeyError) as info:
        getattr(series, via)(x=x, t=None, ax=ax)
    assert np.isnan(info.value.args[0])
    assert bands(ax) == expected_bands([0], 3)
    assert ax.get_yaxis().get_visible()
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)[1:]]
    assert names == [PREFIX + f for f in dict.fromkeys([via, "sequence_index_plot"])]


def test_line_plot_crosses_names(series, ax):
    series.sequence_line_plot(x=pd.Series([5.0, 1.0, 3.0]), t=pd.Series([10, 20, 30]), ax=ax)
    (line,) = ax.lines
    assert list(line.get_xdata()) == [10, 20, 30] and list(line.get_ydata()) == [5, 1, 3]


@pytest.mark.parametrize("x, as_line", [
    (np.array([3, 1, 2]), True),
    (np.array([0.5, 0.25]), True),
    (np.array([3, 1], dtype=np.uint8), False),
    (np.array([True, False]), False),
    (pd.Series(["b", "a"]), False),
    (np.array(["2021-01-02", "2021-01-01"], dtype="datetime64[D]"), False),
])
def test_time_series_dispatch(series, ax, x, as_line):
    assert series.plot_time_series(x, np.arange(len(x)), ax) is None
    if as_line:
        assert list(ax.lines[0].get_ydata()) == list(x) and ax.get_yaxis().get_visible()
    else:
        assert bands(ax) == expected_bands([1, 0], 2) and not ax.lines


@pytest.mark.parametrize("name, x", [("sequence_line_plot", np.array([1])),
                                     ("sequence_index_plot", np.array(["a"]))])
def test_time_series_uses_current_binding(series, monkeypatch, name, x):
    seen = []
    monkeypatch.setattr(series, name, lambda *a, **k: seen.append((a, k)))
    series.plot_time_series(x, "t", "ax")
    assert seen == [((), {"x": x, "t": "t", "ax": "ax"})]


@pytest.mark.parametrize("sr, xs, ys", [
    (pd.Series([1.0, np.nan, 3.0], index=[10, 20, 30]), [10, 30], [1, 3]),
    (pd.Series(["1", "word", "2.5", ""], index=list("abcd")), ["a", "c"], [1, 2.5]),
    (pd.Series([], dtype=float), None, None),
    (pd.Series(["4", "x"]), None, None),
])
def test_plot_series_points(series, ax, sr, xs, ys):
    assert series.plot_series(sr, ax) is None
    if xs is None:
        assert not ax.lines
    else:
        (line,) = ax.lines
        assert list(line.get_xdata()) == xs and list(line.get_ydata()) == ys


@pytest.mark.parametrize("args", [(), (None,), ("given",)])
def test_plot_series_axes_choice(series, ax, monkeypatch, args):
    if args == ("given",):
        args = (ax,)
        monkeypatch.setattr(plt, "gca", lambda: pytest.fail("gca called with axes given"))
    series.plot_series(pd.Series([1, 2]), *args)
    assert len(ax.lines) == 1


def test_plot_series_passes_keywords_unchanged(series, ax):
    kw = {"color": "red", "label": "demand"}
    series.plot_series(pd.Series([1, 2]), ax, **kw)
    assert kw == {"color": "red", "label": "demand"}
    assert (ax.lines[0].get_color(), ax.lines[0].get_label()) == ("red", "demand")
    with pytest.raises(AttributeError):
        series.plot_series(pd.Series([1, 2]), ax, no_such_property=1)


VALID = {
    "plot_time_series": lambda ax: [np.array(["a"]), [0], ax],
    "plot_series": lambda ax: [pd.Series([1, 2]), ax],
    "sequence_index_plot": lambda ax: [["a", "b"], [0, 1], ax, "YlGn"],
    "sequence_line_plot": lambda ax: [[1, 2], [0, 1], ax],
}


@pytest.mark.parametrize("func, pos", [(f, p) for f, mk in VALID.items() for p in range(len(mk(None)))])
@pytest.mark.parametrize("bad", [None, 5, "x", object()])
def test_wrong_types_raise_or_return(series, ax, func, pos, bad):
    args = VALID[func](ax)
    args[pos] = bad
    try:
        assert getattr(series, func)(*args) is None
    except Exception:
        pass
