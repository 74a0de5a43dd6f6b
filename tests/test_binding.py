"""How the module's functions bind their arguments and report bad calls."""
import gc
import sys
import tracemalloc
from types import SimpleNamespace
from unittest.mock import Mock

import pandas as pd
import pytest

from support import PREFIX, module_entries

A, B, C, D = object(), object(), object(), object()

# function, args, kwargs, message (after the function's name)
BAD_CALLS = [(name, args, kwargs, name + "() " + text) for name, args, kwargs, text in [
    ("_plot_column", (A, B, C, D), {}, "takes exactly 5 positional arguments (4 given)"),
    ("_verify_df_meta_has_required_parameters_set", (), {}, "takes exactly 1 positional argument (0 given)"),
    ("plot_series", (), {}, "takes at least 1 positional argument (0 given)"),
    ("plot_series", (A, B, C), {}, "takes at most 2 positional arguments (3 given)"),
    ("plot_row", (A,) * 8, {}, "takes at most 7 positional arguments (8 given)"),
    ("plot_multi_index_dataframes", (A,), {}, "takes at least 2 positional arguments (1 given)"),
    ("plot_multi_index_dataframes", (), {"dfs": A}, "takes at least 2 positional arguments (1 given)"),
    ("plot_multi_index_dataframes", (A,) * 7, {}, "takes at most 6 positional arguments (7 given)"),
    ("_plot_column", (), {"axis": A, "df": B, "plot_name": C, "plot_type": D},
     "takes exactly 5 positional arguments (2 given)"),
    ("_plot_column", (A, B), {"unknown": C}, "takes exactly 5 positional arguments (2 given)"),
    ("sequence_line_plot", (A, B, C), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    ("plot_series", (A,), {"sr": A}, "got multiple values for keyword argument 'sr'"),
    # A name made at run time: equal to the parameter's name, not the same object.
    ("plot_series", (A,), {"".join(["s", "r"]): A}, "got multiple values for keyword argument 'sr'"),
    ("sequence_index_plot", (A, B, C, "YlGn"), {"cmap_name": "x"},
     "got multiple values for keyword argument 'cmap_name'"),
]]
# Refused before the arguments are bound.
EARLY = [
    ("plot_series", (A,), {1: 2}, "keywords must be strings"),
    ("plot_row", (A, 5, B, C, D, A), {}, "Argument 'name' has incorrect type (expected str, got int)"),
    ("plot_multi_index_dataframes", (A, B), {"forecast_from": 5},
     "Argument 'forecast_from' has incorrect type (expected str, got int)"),
    ("sequence_index_plot", (A, B, C, 5), {}, "Argument 'cmap_name' has incorrect type (expected str, got int)"),
    ("sequence_index_plot", (A, B, C), {"cmap_name": type("Str", (str,), {})("YlGn")},
     "Argument 'cmap_name' has incorrect type (expected str, got Str)"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BAD_CALLS + EARLY)
def test_bad_call_raises_type_error(series, name, args, kwargs, message):
    function = getattr(series, name)
    with pytest.raises(TypeError) as excinfo:
        function(*args, **kwargs)
    assert str(excinfo.value) == message
    # A failed binding is reported at the def line; the checks before it add no entry.
    bound = (name, args, kwargs, message) in BAD_CALLS
    assert module_entries(excinfo.tb) == [(PREFIX + name, function.__code__.co_firstlineno)] * bound


@pytest.mark.parametrize("value", [None, "a name"])
def test_str_parameter_accepts_str_and_none(series, monkeypatch, value):
    seen = []
    monkeypatch.setattr(series, "axes_grid", lambda **kw: seen.append(kw["row_titles"]) or [])
    assert series.plot_row([], value, [], Mock(), series.ShareSetting.NONE, series.PlotType.CONTINUOUS) is None
    assert seen == [[value]]


def test_plot_series_hands_extra_keywords_on_in_a_dict_of_their_own(series, ax):
    calls = []
    fake = SimpleNamespace(plot=lambda *args, **kwargs: calls.append(kwargs))
    given = {"color": "red", "label": "x"}
    series.plot_series(pd.Series([1.0, 2.0]), fake, **given)
    series.plot_series(sr=pd.Series([1.0, 2.0]), ax=fake)
    assert calls == [{"color": "red", "label": "x"}, {}] and given == {"color": "red", "label": "x"}
    with pytest.raises(AttributeError):
        series.plot_series(pd.Series([1, 2]), ax, no_such_property=1)


def test_keyword_names_made_at_run_time_bind(series, monkeypatch):
    calls = []
    monkeypatch.setattr(series, "_plot_continuous", lambda *a: calls.append(a))
    names = ["axis", "df", "id_name", "plot_name", "plot_type"]
    kwargs = {"".join(list(name)): value for name, value in zip(names, (A, B, C, D, series.PlotType.CONTINUOUS))}
    assert not any(made is name for made, name in zip(kwargs, names))
    series._plot_column(**kwargs)
    assert calls == [(A, B, C, D)]


def test_internal_calls_follow_rebinding_and_non_module_callables(series, monkeypatch):
    """A module function calls the global as it is bound at the time of the call."""
    calls = []
    monkeypatch.setattr(series, "_plot_continuous", lambda *a: calls.append(a) or "drawn")
    assert series._plot_column(A, B, C, D, series.PlotType.CONTINUOUS) == "drawn"
    assert calls == [(A, B, C, D)]
    monkeypatch.delattr(series, "_plot_continuous")
    with pytest.raises(NameError, match="^name '_plot_continuous' is not defined$"):
        series._plot_column(A, B, C, D, series.PlotType.CONTINUOUS)


def test_nested_failures_add_one_entry_per_function(series, monkeypatch):
    monkeypatch.setattr(series, "axes_grid", lambda **kw: [])
    with pytest.raises(IndexError) as excinfo:
        series.plot_categorical_time_series([], ["a"], ["x", "y"], [Mock()], series.ShareSetting.NONE)
    assert [name for name, _ in module_entries(excinfo.tb)] == [
        PREFIX + "plot_categorical_time_series", PREFIX + "plot_row"]


def _bad_calls(series, times):
    """Makes every bad call `times` times; returns the memory traced afterwards."""
    for _ in range(times):
        for name, args, kwargs, _ in BAD_CALLS + EARLY:
            try:
                getattr(series, name)(*args, **kwargs)
            except TypeError:
                pass
        for name in ("plot_row", "plot_multi_index_dataframes", "_plot_column"):
            f = getattr(series, name)
            f.__defaults__, f.__annotations__, f.__code__, f.__globals__, f.__dict__, f.__doc__, repr(f)
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def test_no_reference_or_memory_growth(series):
    watched = [A, B, C, D, series.plot_row, series.plot_series, series.ShareSetting.AXES,
               series.plot_multi_index_dataframes]
    _bad_calls(series, 50)
    before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        first, second = _bad_calls(series, 200), _bad_calls(series, 2000)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == before
    assert second - first < 64 * 1024, (first, second)
