"""Single-series plots: coloured bands, seaborn lines, series against their index."""
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib import cm
from matplotlib.colors import to_rgba

from support import PREFIX, module_entries

# The colour maps the module draws with: cm's, or pyplot's where that is gone.
get_cmap = getattr(cm, "get_cmap", None) or plt.get_cmap


def bands(ax):
    """(x0, x1, y0, y1, facecolour) of every filled band, in drawing order."""
    return [(p.vertices[:, 0].min(), p.vertices[:, 0].max(), p.vertices[:, 1].min(), p.vertices[:, 1].max(),
             tuple(coll.get_facecolor()[0])) for coll in ax.collections for (p,) in [coll.get_paths()]]


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


# Where `cm` has no getter (a stand-in here, matplotlib 3.11 on its own), the
# old getter's behaviour holds: None is the default map, and an unknown name
# is refused as a value for "name".
@pytest.mark.parametrize("without_cm_getter", [False, True])
def test_index_plot_colour_map_getter(series, ax, monkeypatch, without_cm_getter):
    if without_cm_getter:
        monkeypatch.setattr(series, "cm", object())
    series.sequence_index_plot(["b", "a"], None, ax, None)
    assert bands(ax) == expected_bands([1, 0], 2, None)
    ax = plt.subplots()[1]
    with pytest.raises(ValueError, match="'no-such-map' is not a valid value for name"):
        series.sequence_index_plot(["a"], None, ax, cmap_name="no-such-map")
    assert not ax.collections and ax.get_yaxis().get_visible()


@pytest.mark.parametrize("via", ["sequence_index_plot", "plot_time_series"])
def test_unmatched_value_keeps_earlier_bands(series, ax, via):
    # np.unique hands back its own nan object, which no other nan equals.
    x = np.array([1.0, np.nan, 2.0]) if via == "sequence_index_plot" else np.array([1, np.nan, 2], dtype=complex)
    with pytest.raises(KeyError) as info:
        getattr(series, via)(x=x, t=None, ax=ax)
    assert np.isnan(info.value.args[0])
    assert bands(ax) == expected_bands([0], 3) and ax.get_yaxis().get_visible()
    names = [name for name, _ in module_entries(info.tb)]
    assert names == [PREFIX + f for f in dict.fromkeys([via, "sequence_index_plot"])]


@pytest.mark.parametrize("x, as_line", [
    (np.array([3, 1, 2]), True),
    (np.array([0.5, 0.25]), True),
    (np.array([3, 1], dtype=np.uint8), False),
    (np.array([True, False]), False),
    (pd.Series(["b", "a"]), False),
    (np.array(["2021-01-02", "2021-01-01"], dtype="datetime64[D]"), False),
])
def test_time_series_dispatch(series, ax, x, as_line):
    t = np.arange(10, 10 + len(x))
    assert series.plot_time_series(x, t, ax) is None
    if as_line:  # the values up, against the times
        (line,) = ax.lines
        assert (list(line.get_xdata()), list(line.get_ydata())) == (list(t), list(x)) and ax.get_yaxis().get_visible()
    else:
        assert bands(ax) == expected_bands([1, 0], 2) and not ax.lines


@pytest.mark.parametrize("name, x", [("sequence_line_plot", np.array([1])),
                                     ("sequence_index_plot", np.array(["a"]))])
def test_time_series_uses_current_binding(series, monkeypatch, name, x):
    seen = []
    monkeypatch.setattr(series, name, lambda *a, **k: seen.append((a, k)))
    series.plot_time_series(x, "t", "ax")
    assert seen == [((), {"x": x, "t": "t", "ax": "ax"})]


# Entries that are no numbers are dropped; fewer than two points draw nothing.
@pytest.mark.parametrize("sr, lines", [
    (pd.Series([1.0, np.nan, 3.0], index=[10, 20, 30]), [([10, 30], [1, 3])]),
    (pd.Series(["1", "word", "2.5", ""], index=list("abcd")), [(["a", "c"], [1, 2.5])]),
    (pd.Series([], dtype=float), []),
    (pd.Series(["4", "x"]), []),
])
def test_plot_series_points(series, ax, sr, lines):
    assert series.plot_series(sr, ax) is None
    assert [(list(line.get_xdata()), list(line.get_ydata())) for line in ax.lines] == lines


def test_plot_series_draws_on_the_current_axes_unless_given(series, ax, monkeypatch):
    series.plot_series(pd.Series([1, 2]))
    series.plot_series(pd.Series([1, 2]), None)
    monkeypatch.setattr(plt, "gca", lambda: pytest.fail("gca called with axes given"))
    series.plot_series(pd.Series([1, 2]), ax)
    assert len(ax.lines) == 3
