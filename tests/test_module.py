"""Loading the module: its globals, enumerations, function objects, and how
an import fails or is repeated."""
import copy
import enum
import functools
import importlib
import inspect
import logging
import pickle
import subprocess
import sys
from pydoc import locate

import pytest

from support import FILENAME, FUNCTIONS, INTERPRETER_CHANGE, MODULE, run_python

# The globals the module body binds from elsewhere, in order: name, what it is.
IMPORTED = {
    "enum": "enum", "logging": "logging", "List": "typing.List", "Union": "typing.Union", "cast": "typing.cast",
    "plt": "matplotlib.pyplot", "np": "numpy", "pd": "pandas", "sns": "seaborn", "cm": "matplotlib.cm",
    "Axes": "matplotlib.axes.Axes", "SubplotBase": "matplotlib.axes.SubplotBase", "DataFrame": "pandas.DataFrame",
    "DataFrameMeta": "kestrune.DataFrameMeta",
    "categorical_or_continuous_values": "kestrune.insight.dataset.categorical_or_continuous_values",
    "set_plotting_style": "kestrune.testing.plotting.style.set_plotting_style", "axes_grid": "kestrune.util.axes_grid",
}


def test_globals_bound_in_source_order(series):
    for name, path in IMPORTED.items():
        assert getattr(series, name) is locate(path) is not None, name
    # The order is read in a fresh interpreter: tests here may delete and restore globals.
    names = run_python("""
        import kestrune.testing.plotting.series as series
        print(" ".join(n for n in vars(series) if not n.startswith("__")))
    """).split()
    order = list(IMPORTED) + ["logger", "ShareSetting", "PlotType"]
    order += [f[0] for f in FUNCTIONS[:13]] + ["ID_INDEX_IDX"] + [f[0] for f in FUNCTIONS[13:]]
    assert names == order
    assert series.ID_INDEX_IDX == 0 and type(series.ID_INDEX_IDX) is int
    assert series.__test__ == {} and series.__doc__ is None
    assert series.__builtins__ is __builtins__ or series.__builtins__.__name__ == "builtins"
    assert series.logger is logging.getLogger(series.__name__)


def test_enumerations_are_plain_enums(series):
    share, kind = series.ShareSetting, series.PlotType
    assert [(m.name, m.value) for m in share] == [("NONE", 0), ("PLOT", 1), ("X_AXIS", 2), ("AXES", 3)]
    assert [(m.name, m.value) for m in kind] == [("CONTINUOUS", 0), ("CATEGORICAL", 1)]
    for cls in (share, kind):
        assert cls.__bases__ == (enum.Enum,) and type(cls) is enum.EnumMeta
        assert cls.__module__ == MODULE and cls.__qualname__ == cls.__name__
        # No docstring of its own: whatever the interpreter gives a plain enum.
        assert cls.__doc__ == enum.Enum("Plain", {"A": 0}).__doc__
    assert format(kind.CATEGORICAL, "") == str(kind.CATEGORICAL) == "PlotType.CATEGORICAL"
    assert repr(share.AXES) == "<ShareSetting.AXES: 3>"
    assert share.AXES != 3 and not isinstance(share.AXES, int)
    assert share(3) is share.AXES and kind["CATEGORICAL"] is kind.CATEGORICAL
    assert kind.CONTINUOUS != share.NONE and list(share.__members__) == ["NONE", "PLOT", "X_AXIS", "AXES"]


@pytest.mark.parametrize("name, line, params, defaults", FUNCTIONS)
def test_function_objects(series, monkeypatch, name, line, params, defaults):
    f = getattr(series, name)
    assert callable(f) and f.__name__ == f.__qualname__ == name
    assert f.__module__ == MODULE and f.__globals__ is vars(series)
    assert f.__kwdefaults__ is None and f.__closure__ is None and f.__dict__ == {}
    if defaults == "axes":  # the member itself: enumeration members compare by identity
        defaults = (None, None, series.ShareSetting.AXES, None)
    assert f.__defaults__ == defaults and f.__defaults__ is f.__defaults__
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (FILENAME, name, line)
    assert code.co_varnames == tuple(params.split())
    assert list(inspect.signature(f).parameters) == params.split()
    annotations = f.__annotations__
    assert isinstance(annotations, dict) and annotations is f.__annotations__
    assert list(annotations) == [p for p in params.split() if p in annotations]
    assert all(isinstance(v, str) for v in annotations.values()) and "return" not in annotations
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f
    monkeypatch.setattr(f, "custom", 1, raising=False)
    assert f.__dict__ == {"custom": 1}


def test_annotations_and_docstrings(series):
    assert series._plot_column.__annotations__ == {}
    assert series.plot_row.__annotations__ == {
        "dfs": "Union[pd.DataFrame, List[pd.DataFrame]]", "name": "str", "ids": "List[str]",
        "ax": "Union[Axes, SubplotBase]", "share": "ShareSetting", "plot_type": "PlotType", "last_row": "bool"}
    assert series.sequence_index_plot.__annotations__ == {"ax": "Axes", "cmap_name": "str"}
    assert series._verify_df_meta_applies_to_dfs.__doc__.split("\n") == [
        "", "    Verify that the inputted dataframes all correspond to the df_meta object inputted",
        "    Args:", "        df_meta:", "        dfs:", "", "    Returns: Void or Error", "    "]
    doc = series.plot_multi_index_dataframes.__doc__.split("\n")
    assert doc[:3] == ["", "    Plot dataframes with timeseries indexes and normal indexes grouped by a useful "
                       "categorical index, highlighting", "    data predicted after a certain date."]
    assert doc[-4:] == ["", "    Returns: Void", "", "    "] and len(doc) == 15
    doc = series.plot_continuous_time_series.__doc__.split("\n")
    assert doc[4] == "        dfs: List of dataframes with identical metas to plot" and len(doc) == 13
    assert {n for n, *_ in FUNCTIONS if getattr(series, n).__doc__ is not None} == {
        "plot_multi_index_dataframes", "plot_continuous_time_series", "_verify_df_meta_applies_to_dfs"}


@pytest.mark.parametrize("name", ["plot_row", "sequence_index_plot", "_plot_column"])
def test_annotations_survive_wrapping_where_they_are_deferred(series, name):
    """From 3.14 functools.wraps copies __annotate__ instead of __annotations__,
    and annotationlib asks it for each format; before 3.14 there is none."""
    f = getattr(series, name)

    @functools.wraps(f)
    def wrapper(*args, **kwargs):
        return f(*args, **kwargs)
    assert wrapper.__annotations__ == f.__annotations__
    if sys.version_info < (3, 14):
        assert not hasattr(f, "__annotate__")
        return
    import annotationlib
    if not f.__annotations__:
        assert f.__annotate__ is None
        return
    for form in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING):
        got = annotationlib.get_annotations(f, format=form)
        assert got == f.__annotations__ and got is not f.__annotations__
    with pytest.raises(NotImplementedError):
        f.__annotate__(annotationlib.Format.VALUE_WITH_FAKE_GLOBALS)


def test_reimport_gives_the_same_objects(series, monkeypatch):
    share, func = series.ShareSetting, series.plot_row
    monkeypatch.delitem(sys.modules, MODULE)
    import kestrune.testing.plotting.series as again
    assert again is series and again.ShareSetting is share and again.plot_row is func
    assert again.plot_multi_index_dataframes.__defaults__[2] is share.AXES
    assert importlib.reload(series) is series and series.plot_row is func


def test_sub_interpreter_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    run_python("""
        import _testcapi
        import kestrune.testing.plotting.series
        assert _testcapi.run_in_subinterp('''if 1:
            try:
                import kestrune.testing.plotting.series
                result = "imported"
            except Exception as error:
                result = type(error).__name__ + ": " + str(error)
            open(%r, "w").write(result)''') == 0
    """ % str(out))
    assert out.read_text() == "ImportError: " + INTERPRETER_CHANGE


# A failed import names the line of the module body that failed; once the
# cause is mended, importing again gives a complete module.
@pytest.mark.parametrize("breaks, mends, reported", [
    ("sys.modules['seaborn'] = None", "del sys.modules['seaborn']",
     "ModuleNotFoundError import of seaborn halted; None in sys.modules 8"),
    ("import kestrune.insight.dataset as d; saved = d.categorical_or_continuous_values; "
     "del d.categorical_or_continuous_values", "d.categorical_or_continuous_values = saved",
     "ImportError cannot import name categorical_or_continuous_values 14"),
    # Everything else that needs enum.Enum is imported before it goes.
    ("import matplotlib.pyplot, pandas, seaborn, kestrune.insight.dataset, kestrune.testing.plotting.style, "
     "kestrune.util; Enum = enum.Enum; del enum.Enum", "enum.Enum = Enum",
     "AttributeError module 'enum' has no attribute 'Enum' 22"),
])
def test_failed_import_names_its_line_and_can_be_retried(breaks, mends, reported):
    out = run_python("""
        import enum, sys, traceback
        %s
        try:
            import kestrune.testing.plotting.series
        except Exception as error:
            (entry,) = [e for e in traceback.extract_tb(error.__traceback__) if e.filename == %r]
            assert entry.name == "init kestrune.testing.plotting.series"
            print(type(error).__name__, error, entry.lineno)
        assert "kestrune.testing.plotting.series" not in sys.modules
        %s
        import kestrune.testing.plotting.series as series
        print(series.sns.__name__, list(series.PlotType))
    """ % (breaks, FILENAME, mends))
    assert out.splitlines() == [reported, "seaborn [<PlotType.CONTINUOUS: 0>, <PlotType.CATEGORICAL: 1>]"]


def test_only_the_init_entry_is_exported(series):
    result = subprocess.run(["nm", "-D", "--defined-only", series.__file__],
                            stdout=subprocess.PIPE, universal_newlines=True)
    if result.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in result.stdout.splitlines() if line.strip()] == ["PyInit_series"]
