import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.transforms import Bbox

from kestrune import DataFrameMeta
from kestrune.insight.dataset import categorical_or_continuous_values
from kestrune.testing.plotting.style import set_plotting_style
from kestrune.util import axes_grid
from support import run_python


@pytest.fixture
def panel():
    """Two stores over three days, id and time as plain columns."""
    return pd.DataFrame({
        "store": ["b", "a", "b", "a", "a", "b"],
        "date": pd.to_datetime(["2021-01-02", "2021-01-03", "2021-01-01", "2021-01-01", "2021-01-02", "2021-01-03"]),
        "weather": ["sun", "rain", None, "sun", "sun", "rain"],
        "sales": [2.0, 3.0, 1.0, 4.0, 5.0, 6.0], "visitors": [20, 30, 10, 40, 50, 60],
    })


def test_grid_cells_in_row_major_order_inside_parent(ax):
    box = ax.get_position()
    cells = axes_grid(ax, ["upper", 7], np.array([10, 20, 30]))
    positions = [cell.get_position() for cell in cells]
    for pos in positions:
        assert box.x0 - 1e-9 <= pos.x0 < pos.x1 <= box.x1 + 1e-9
        assert box.y0 - 1e-9 <= pos.y0 < pos.y1 <= box.y1 + 1e-9
    # Left to right within a row, and the first row above the second.
    assert positions[0].x0 < positions[1].x0 < positions[2].x0 and positions[0].y0 > positions[3].y1
    specs = [cell.get_subplotspec() for cell in cells]
    assert [(s.is_first_row(), s.is_last_row()) for s in specs] == [(True, False)] * 3 + [(False, True)] * 3
    # Titles only on the first row, y labels only in the first column, both through str.
    assert [c.get_title() for c in cells] == ["10", "20", "30", "", "", ""]
    assert [c.get_ylabel() for c in cells] == ["upper", "", "", "7", "", ""]


@pytest.mark.parametrize("rows, cols", [([], ["a"]), (["a"], []), ([], [])])
def test_empty_grid_hides_parent(ax, rows, cols):
    assert axes_grid(ax, rows, cols) == [] and not ax.get_visible() and ax.figure.axes == [ax]


@pytest.mark.parametrize("sharey", [True, False])
def test_sharey_ties_each_row_to_its_first_cell(ax, sharey):
    cells = axes_grid(ax, ["r0", "r1"], ["a", "b"], sharey=sharey)
    cells[1].set_ylim(0, 100)
    cells[3].set_ylim(-5, 5)
    assert [cells[0].get_ylim() == (0, 100), cells[2].get_ylim() == (-5, 5)] == [sharey] * 2


def test_nested_grid_hides_outer_titles_and_lays_out(ax):
    rows = axes_grid(ax, ["sales", "visitors"], [""], hspace=0.3)
    inner = axes_grid(rows[1], ["Count"], ["x", "y"], sharey=True, wspace=0.05)
    assert not rows[1].get_visible() and rows[0].get_visible()
    spec = inner[0].get_subplotspec()
    assert spec.is_first_row() and spec.is_last_row()
    assert all(rows[1].get_position().y0 - 1e-9 <= c.get_position().y0 for c in inner)
    ax.figure.tight_layout()


def test_from_frame_infers_kinds_and_columns(panel):
    meta = DataFrameMeta.from_frame(panel, "store", "date")
    assert isinstance(meta.columns, pd.Index) and list(meta.columns) == ["weather", "sales", "visitors"]
    assert all(type(name) is str for name in meta.columns)
    assert str(meta) == format(meta, "") == repr(meta) == (
        "DataFrameMeta(id_index='store', time_index='date', categorical=['weather'], continuous=['sales', 'visitors'])")
    forced = DataFrameMeta.from_frame(panel.set_index(["date", "store"]), "store", "date", categorical=["visitors"])
    categorical, continuous = categorical_or_continuous_values(forced)
    assert [(c.name, c.kind) for c in categorical] == [("weather", "categorical"), ("visitors", "categorical")]
    assert [c.name for c in continuous] == ["sales"]
    empty = DataFrameMeta("store", "date")
    assert empty.columns.empty and not empty.children


def test_meta_refuses_names_that_are_no_data_columns(panel):
    for forced in ("missing", "store"):
        with pytest.raises(ValueError, match=forced):
            DataFrameMeta.from_frame(panel, "store", "date", categorical=[forced])
    with pytest.raises(ValueError, match="region"):
        DataFrameMeta.from_frame(panel, "store", "date").set_indices(
            panel.assign(region=1).set_index(["store", "date", "region"]))


@pytest.mark.parametrize("prepare", [
    lambda df: df,
    lambda df: df.set_index(["date", "store"]),
    lambda df: df.set_index(["store", "date"]).sort_index(ascending=False),
    lambda df: df.set_index("date"),
])
def test_set_indices_orders_levels_and_rows(panel, prepare):
    out = DataFrameMeta.from_frame(panel, "store", "date").set_indices(prepare(panel.copy()))
    assert list(out.index.names) == ["store", "date"] and out.index.is_monotonic_increasing
    assert list(out.columns) == ["weather", "sales", "visitors"]
    assert out.xs("a")["sales"].tolist() == [4.0, 5.0, 3.0]


NAN = float("nan")
LABELS = ["x", None, "y", "x"]

# A data column as a user brings it: how from_frame classifies it (or the
# dtype its refusal names), and the values set_indices prepares from it.
DTYPES = [
    (pd.Series(LABELS, dtype=object), (), "categorical", ["x", NAN, "y", "x"]),
    (pd.Series(LABELS, dtype="category"), (), "categorical", ["x", NAN, "y", "x"]),
    (pd.Series(LABELS, dtype="string"), (), "categorical", ["x", NAN, "y", "x"]),
    (pd.Series([None] * 4, dtype=object), (), "categorical", [NAN] * 4),
    (pd.Series([True, False, True, True]), (), "categorical", ["True", "False", "True", "True"]),
    (pd.Series([True, None, False, True], dtype="boolean"), (), "categorical", ["True", NAN, "False", "True"]),
    (pd.Series([1.0, NAN, 2.0, 1.0]), ["col"], "categorical", ["1", NAN, "2", "1"]),
    (pd.Series([1, None, 3, 4], dtype="Int64"), (), "continuous", [1.0, NAN, 3.0, 4.0]),
    (pd.Series([1.5, None, 3, 4], dtype="Float64"), (), "continuous", [1.5, NAN, 3.0, 4.0]),
    (pd.Series([1, 2, 3, 4], dtype="uint8"), (), "continuous", [1, 2, 3, 4]),
    (pd.Series([0.5, NAN, 3.0, 4.0]), (), "continuous", [0.5, NAN, 3.0, 4.0]),
    (pd.Series(pd.to_datetime(["2020-01-01"] * 4)), (), "datetime64", None),
    (pd.Series(pd.to_timedelta([1, 2, 3, 4], unit="D")), (), "timedelta64", None),
    (pd.Series(["a", 1, None, "b"], dtype=object), (), "object", None),
    (pd.Series([1j, 2j, 3j, 4j]), (), "complex", None),
]


@pytest.mark.parametrize("values, forced, kind, prepared", DTYPES)
def test_column_dtypes(values, forced, kind, prepared):
    frame = pd.DataFrame({"store": ["a", "a", "b", "b"], "date": [1, 2, 1, 2], "col": values})
    if prepared is None:
        with pytest.raises(ValueError, match="Column 'col' of dtype " + kind):
            DataFrameMeta.from_frame(frame, "store", "date", categorical=forced)
        return
    meta = DataFrameMeta.from_frame(frame, "store", "date", categorical=forced)
    assert getattr(meta, kind) == ["col"]
    before = frame.copy(deep=True)
    out = meta.set_indices(frame)["col"].reset_index(drop=True)
    pd.testing.assert_frame_equal(frame, before)
    dtype = object if kind == "categorical" else values.dtype if isinstance(values.dtype, np.dtype) else np.float64
    pd.testing.assert_series_equal(out, pd.Series(prepared, name="col", dtype=dtype))


@pytest.mark.parametrize("id_index, time_index, message", [
    ("shop", "date", "^id_index 'shop' is neither a level of the row index nor a column"),
    ("store", "day", "^time_index 'day' is neither"),
    ("shop", "day", "^id_index 'shop' and time_index 'day' are neither levels"),
])
@pytest.mark.parametrize("indexed", [False, True])
def test_missing_id_or_time_is_named(panel, id_index, time_index, message, indexed):
    frame = panel.set_index(["store", "date"]) if indexed else panel
    with pytest.raises(ValueError, match=message):
        DataFrameMeta.from_frame(frame, id_index, time_index)
    with pytest.raises(ValueError, match=message):
        DataFrameMeta(id_index, time_index, continuous=["sales"]).set_indices(frame)


def test_driver_draws_labels_of_category_and_bool_columns(series, restore_rc):
    index = pd.MultiIndex.from_product([["a"], range(4)], names=["id", "t"])
    frame = pd.DataFrame({"kind": pd.Categorical(["x", None, "y", "x"]), "flag": [True, False, True, True],
                          "count": pd.array([1, None, 3, 4], dtype="Int64")}, index=index)
    series.plot_multi_index_dataframes(frame, DataFrameMeta.from_frame(frame, "id", "t"), ["kind", "flag", "count"])
    ticks = {ax.get_xlabel(): [t.get_text() for t in ax.get_xticklabels()]
             for ax in plt.gcf().axes if ax.get_visible() and ax.patches}
    assert ticks == {"kind": ["Null", "x", "y"], "flag": ["False", "True"]}


@pytest.mark.parametrize("n_rows", [2, 3, 6])
def test_rows_of_long_labels_do_not_collide(series, restore_rc, n_rows):
    # Two ids; each column holds three labels of 20 characters.
    index = pd.MultiIndex.from_product([["a", "b"], range(6)], names=["id", "t"])
    frame = pd.DataFrame({"c{}".format(c): ["{}-{}".format(c, k % 3).ljust(20, "x") for k in range(12)]
                          for c in range(n_rows)}, index=index)
    series.plot_multi_index_dataframes(frame, DataFrameMeta.from_frame(frame, "id", "t"))
    figure = plt.gcf()
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    boxes = []
    for row in sorted(figure.axes[1:1 + n_rows], key=lambda row: -row.get_position().y0):
        box = row.get_position()
        cells = [ax for ax in figure.axes if ax.get_visible() and box.y0 <= ax.get_position().y0 < box.y1]
        assert len(cells) == 2
        boxes.append(Bbox.union([ax.get_tightbbox(renderer) for ax in cells]))
    # Everything drawn for a row (rotated tick labels, x label) ends above the row below.
    assert all(lower.y1 < upper.y0 for upper, lower in zip(boxes, boxes[1:]))


def test_set_plotting_style_changes_rcparams(restore_rc):
    before = dict(matplotlib.rcParams)
    assert set_plotting_style() is None and matplotlib.rcParams["axes.grid"]
    assert dict(matplotlib.rcParams) != before



def test_packages_import_without_numpy_or_pandas():
    assert run_python("""
        import sys, kestrune, kestrune.testing, kestrune.testing.plotting
        print(sorted({"numpy", "pandas", "matplotlib", "seaborn"} & set(sys.modules)))
    """).strip() == "[]"
