"""Multi-index frame plots: one cell, one row, blocks of rows and the whole
figure, as a user sees them."""
import enum
import types

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from support import FUNCTIONS, PREFIX, module_entries

IDS = ["a", "b", "c"]


@pytest.fixture
def df():
    index = pd.MultiIndex.from_product([IDS, [0, 1, 2, 3]], names=["id", "t"])
    return pd.DataFrame({"temp": np.arange(12.0), "weather": ["sun", np.nan, "rain", "sun"] * 3}, index=index)


@pytest.fixture
def meta():
    return DataFrameMeta("id", "t", categorical=["weather"], continuous=["temp"])


@pytest.fixture
def rows():
    """The row axes of a three-row figure."""
    return list(plt.subplots(3, 1)[1])


def cells():
    """The cells drawn into the current figure after its first three axes."""
    return plt.gcf().axes[3:]


def shows_labels(axis):
    return all(t.label1.get_visible() for t in axis.get_major_ticks())


def test_plot_column_draws_one_id(series, df, rows):
    line_of = series._plot_column(rows[0], df, "b", "temp", series.PlotType.CONTINUOUS)
    counts = series._plot_column(rows[1], df, "b", "weather", series.PlotType.CATEGORICAL)
    (line,) = rows[0].get_lines()
    assert (line.get_label(), list(line.get_xdata()), list(line.get_ydata())) == ("b", [0, 1, 2, 3], [4, 5, 6, 7])
    assert [p.get_height() for p in rows[1].patches] == [1, 1, 2]
    assert (line_of.index.name, list(counts.index), counts.index.name) == ("t", ["Null", "rain", "sun"], "weather")


@pytest.mark.parametrize("plot_type", [None, 0, enum.Enum("Lookalike", {"CONTINUOUS": 0}).CONTINUOUS])
def test_plot_column_refuses_non_members(series, df, ax, plot_type):
    with pytest.raises(ValueError) as excinfo:
        series._plot_column(ax, df, "a", "temp", plot_type)
    assert str(excinfo.value) == (f"Unknown PlotType {plot_type}. PlotType has to be either "
                                  "PlotType.CONTINUOUS or PlotType.CATEGORICAL")
    assert module_entries(excinfo.tb) == [(PREFIX + "_plot_column", 40)]
    assert not ax.get_lines() and not ax.patches


# A continuous row by sharing setting on the first of three rows (x labels with
# NONE only), then with X_AXIS further down or flagged as the last row.
@pytest.mark.parametrize("share, row, last_row, frames, titles, y_labelled, x_labelled", [
    ("NONE", 0, False, 2, IDS, [True] * 3, True),
    ("PLOT", 0, False, 2, [""], [True], False),
    ("X_AXIS", 0, False, 2, IDS, [True] * 3, False),
    ("AXES", 0, False, 2, IDS, [True, False, False], False),
    ("X_AXIS", 1, False, 1, [""] * 3, [True] * 3, False),
    ("X_AXIS", 1, True, 1, [""] * 3, [True] * 3, True),
    ("X_AXIS", 2, False, 1, [""] * 3, [True] * 3, True),
])
def test_continuous_row(series, df, rows, share, row, last_row, frames, titles, y_labelled, x_labelled):
    series.plot_row([df] * frames if frames > 1 else df, "temp", IDS, rows[row], getattr(series.ShareSetting, share),
                    series.PlotType.CONTINUOUS, last_row)
    drawn = cells()
    # The row's cells: y axes shared under AXES only; the gap between cells is
    # 0.1 of a cell's width under NONE, 0.05 otherwise.
    shared = [drawn[0].get_shared_y_axes().joined(drawn[0], c) for c in drawn[1:]]
    assert shared == [share == "AXES"] * (len(drawn) - 1)
    boxes = [c.get_position() for c in drawn]
    gaps = [(right.x0 - left.x1) / left.width for left, right in zip(boxes, boxes[1:])]
    assert gaps == pytest.approx([0.1 if share == "NONE" else 0.05] * (len(drawn) - 1))
    assert [c.get_title() for c in drawn] == titles and drawn[0].get_ylabel() == "temp"
    assert [len(c.get_lines()) for c in drawn] == ([6] if share == "PLOT" else [frames] * 3)
    assert [shows_labels(c.yaxis) for c in drawn] == y_labelled
    assert all(shows_labels(c.xaxis) == x_labelled and c.get_xlabel() == "t" * x_labelled for c in drawn)
    if share == "PLOT":
        assert [t.get_text() for t in drawn[0].get_legend().get_texts()] == ["a", "a", "b", "b", "c", "c"]


# The y-label helper of the cells under AXES gets `check_patch`, unless it
# names `skip_non_rectangular_axes` among its parameters (matplotlib 3.8+).
HELPER_CALLS = []


def takes_kwargs(self, **kwargs):
    skip_non_rectangular_axes = kwargs  # a local, not a parameter
    HELPER_CALLS.append(skip_non_rectangular_axes)


def takes_new_keyword(self, *, skip_non_rectangular_axes=True):
    HELPER_CALLS.append({"skip_non_rectangular_axes": skip_non_rectangular_axes})


def takes_old_keyword(self, check_patch=True):
    HELPER_CALLS.append({"check_patch": check_patch})


class WithoutCode:
    def __call__(self, **kwargs):
        HELPER_CALLS.append(kwargs)


def give_cells_helper(series, monkeypatch, helper):
    """Each cell that axes_grid makes gets `helper` as its y-label helper, as a
    method of the cell where it is a plain function."""
    grid = series.axes_grid

    def grid_of_stand_ins(**kwargs):
        drawn = grid(**kwargs)
        for cell in drawn:
            is_function = isinstance(helper, types.FunctionType)
            cell._label_outer_yaxis = types.MethodType(helper, cell) if is_function else helper
        return drawn

    HELPER_CALLS.clear()
    monkeypatch.setattr(series, "axes_grid", grid_of_stand_ins)


@pytest.mark.parametrize("helper, keyword", [
    (takes_kwargs, "check_patch"),
    (takes_new_keyword, "skip_non_rectangular_axes"),
    (takes_old_keyword, "check_patch"),
    (WithoutCode(), "check_patch"),
])
def test_y_label_helper_keyword(series, df, rows, monkeypatch, helper, keyword):
    give_cells_helper(series, monkeypatch, helper)
    series.plot_row(df, "temp", IDS, rows[0], series.ShareSetting.AXES, series.PlotType.CONTINUOUS)
    assert HELPER_CALLS == [{keyword: False}] * len(IDS)


class Count:
    """A parameter count whose conversion to an index fails or is recorded."""

    def __init__(self, fails):
        self.fails = fails

    def __index__(self):
        HELPER_CALLS.append(self)
        if self.fails:
            raise ValueError("no count")
        return 0


class CodeWithBadCount:
    co_varnames = ()
    co_argcount = Count(fails=True)
    co_kwonlyargcount = Count(fails=False)

    def __init__(self):
        self.__code__ = self


def test_y_label_helper_count_that_fails_ends_the_reading(series, df, rows, monkeypatch):
    give_cells_helper(series, monkeypatch, CodeWithBadCount())
    with pytest.raises(ValueError, match="^no count$"):
        series.plot_row(df, "temp", IDS, rows[0], series.ShareSetting.AXES, series.PlotType.CONTINUOUS)
    # The keyword-only count is never converted while the first error is pending.
    assert HELPER_CALLS == [CodeWithBadCount.co_argcount]


def test_categorical_rows_always_label_x(series, df, rows):
    series.plot_categorical_time_series([df], ["weather", "weather"], IDS, rows[:2], series.ShareSetting.NONE)
    drawn = cells()
    assert [(c.get_ylabel(), c.get_title()) for c in drawn] == [
        ("Count", "a"), ("", "b"), ("", "c"), ("Count", ""), ("", ""), ("", "")]
    assert all(c.get_xlabel() == "weather" and shows_labels(c.xaxis) for c in drawn)
    assert all(t.label1.get_rotation() == 90 for t in drawn[4].xaxis.get_major_ticks())
    assert [p.get_height() for p in drawn[4].patches] == [1, 1, 2]


@pytest.mark.parametrize("kind, row", [("CATEGORICAL", 0), ("CONTINUOUS", 2)])
def test_row_without_frames_has_no_series(series, rows, kind, row):
    with pytest.raises(UnboundLocalError, match="^local variable 'series' referenced before assignment$"):
        series.plot_row([], "temp", ["a"], rows[row], series.ShareSetting.AXES, getattr(series.PlotType, kind))


def test_continuous_block_flags_rows_named_like_the_last_name(series, monkeypatch):
    seen = []
    monkeypatch.setattr(series, "plot_row", lambda *args, last_row: seen.append(args + (last_row,)))
    # The shorter of names and axes ends the pairing: no names, no rows (and no last name read).
    series.plot_continuous_time_series("df", [], "ids", "xy", "share")
    series.plot_continuous_time_series("df", np.array([1.0, 2.0, 1.0]), "ids", "xy", "share")
    kind = series.PlotType.CONTINUOUS
    assert seen == [("df", 1.0, "ids", "x", "share", kind, True), ("df", 2.0, "ids", "y", "share", kind, False)]
    # The comparison's own result is handed on.
    assert all(type(row[-1]) is np.bool_ for row in seen)


def test_driver_defaults(series, df, meta, capsys, restore_rc):
    original = df.copy()
    series.plot_multi_index_dataframes(df, meta, [])
    assert capsys.readouterr().out == ("No columns to plot provided so plotting all 2 columns...\n"
                                       "No categories to plot provided so plotting all 3 categories...\n")
    assert tuple(plt.gcf().get_size_inches()) == (15, 6)
    drawn = cells()  # after the figure's own axes and the cells of its two rows
    assert [c.get_title() for c in drawn[:3]] == IDS
    assert [len(c.get_lines()) for c in drawn[:3]] == [1, 1, 1] and all(c.patches for c in drawn[3:])
    pd.testing.assert_frame_equal(df, original)


@pytest.mark.parametrize("columns, ids, size", [(["temp"], ["b"], (5, 3)), (["temp", "temp"], ["a", "c"], (10, 6))])
def test_driver_figure_size(series, df, meta, capsys, restore_rc, columns, ids, size):
    series.plot_multi_index_dataframes((df,), meta, columns, ids, forecast_from="2020")
    assert capsys.readouterr().out == ""
    assert tuple(plt.gcf().get_size_inches()) == size


def test_driver_hands_rows_to_current_wrappers(series, df, meta, monkeypatch, restore_rc):
    seen = []
    for name in ("plot_continuous_time_series", "plot_categorical_time_series"):
        monkeypatch.setattr(series, name, lambda *args: seen.append(args[1:]))
    series.plot_multi_index_dataframes([df], meta, ["weather"], ["a"])
    assert seen[0][0] == seen[0][2] == [] and seen[0][3] is series.ShareSetting.AXES
    assert seen[1][:2] == (["weather"], ["a"]) and len(seen[1][2]) == 1


def returning(value):
    return lambda *args, **kwargs: value


def failing(*args):
    # Refuses the cast of the ids: a numpy array, or pandas' own array for text ids.
    if not args or isinstance(args[-1], (np.ndarray, pd.api.extensions.ExtensionArray)):
        raise RuntimeError("refused")
    return args[-1]


NOT_FOUND = "The following columns were specified that were not found in the "
SPLIT = "categorical_or_continuous_values"


@pytest.mark.parametrize("patch, dfs, args, exc, text, line", [
    ({}, None, (["zz"],), ValueError, NOT_FOUND + "df_meta: {'zz'}", 274),
    ({}, None, (["temp"], ["q"]), ValueError, NOT_FOUND + "df: {'q'}", 286),
    ({}, [], (), IndexError, "list index out of range", 271),
    ({"cast": failing}, None, (["temp"],), RuntimeError, "refused", 278),
    ({"ID_INDEX_IDX": "nope"}, None, (["temp"],), KeyError, "'Level nope not found'", 279),
    ({SPLIT: returning("abc")}, None, (), ValueError, "too many values to unpack (expected 2)", 289),
    ({SPLIT: returning("a")}, None, (), ValueError, "need more than 1 value to unpack", 289),
    ({SPLIT: returning("")}, None, (), ValueError, "need more than 0 values to unpack", 289),
    ({"set_plotting_style": failing}, None, (), RuntimeError, "refused", 300),
    ({"axes_grid": returning(5)}, None, (), TypeError, "'int' object is unsliceable", 325),
])
def test_driver_failures(series, df, meta, monkeypatch, restore_rc, patch, dfs, args, exc, text, line):
    for name, value in patch.items():
        monkeypatch.setattr(series, name, value)
    with pytest.raises(exc) as excinfo:
        series.plot_multi_index_dataframes(df if dfs is None else dfs, meta, *args)
    # The driver's entry comes first; a check it calls may add its own after it.
    assert (str(excinfo.value), module_entries(excinfo.tb)[0]) == (text, (PREFIX + "plot_multi_index_dataframes", line))
    assert bool(plt.get_fignums()) == (line > 300)


# A wrong value in any place must raise or return, never crash the process.
@pytest.mark.parametrize("bad", [None, 5, "x", object()])
@pytest.mark.parametrize("name", [name for name, *_ in FUNCTIONS])
def test_wrong_types_raise_or_return(series, df, meta, rows, restore_rc, name, bad):
    ax, share, kinds = rows[0], series.ShareSetting.PLOT, series.PlotType
    valid = {
        "_plot_column": (ax, df, "a", "temp", kinds.CONTINUOUS), "_plot_continuous": (ax, df, "a", "temp"),
        "_plot_categorical": (ax, df, "a", "weather"),
        "plot_row": (df, "temp", ["a"], ax, share, kinds.CONTINUOUS, True),
        "plot_continuous_time_series": (df, ["temp"], ["a"], rows, share),
        "plot_categorical_time_series": (df, ["weather"], ["a"], rows, share),
        "plot_multi_index_dataframes": (df, meta, ["temp"], ["a"], share, None),
        "_verify_df_meta_applies_to_dfs": (meta, [df]), "_verify_df_meta_has_required_parameters_set": (meta,),
        "_verify_columns_exist_in_df_meta": (meta, ["temp"]), "_verify_names_exist_in_df_index": (df, ["a"]),
        "plot_time_series": (np.array(["a"]), [0], ax), "plot_series": (pd.Series([1, 2]), ax),
        "sequence_index_plot": (["a", "b"], [0, 1], ax, "YlGn"), "sequence_line_plot": ([1, 2], [0, 1], ax),
    }[name]
    for pos in range(len(valid)):
        try:
            getattr(series, name)(*valid[:pos], bad, *valid[pos + 1:])
        except Exception:
            pass
