"""The input checks of the frame plots: what passes, and the exact message and
traceback line of what does not."""
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from kestrune import DataFrameMeta
from support import PREFIX, module_entries


def frame(columns, ids=("a", "b")):
    index = pd.MultiIndex.from_product([list(ids), [0, 1]], names=["id", "t"])
    return pd.DataFrame(np.zeros((len(index), len(columns))), index=index, columns=columns)


META = DataFrameMeta("id", "t", categorical=["kind"], continuous=["temp", "rain"])


def check(series, function, args, text, line):
    """Calls the check: it returns None (`text` None) or raises a ValueError with `text` reported at `line`."""
    if text is None:
        assert getattr(series, function)(*args) is None
        return
    with pytest.raises(ValueError) as excinfo:
        getattr(series, function)(*args)
    assert (excinfo.value.args, module_entries(excinfo.tb)) == ((text,), [(PREFIX + function, line)])


@pytest.mark.parametrize("frames, bad", [
    ([], None),
    ((f for f in [frame(["rain", "kind", "temp"])] * 2), None),
    ([frame(["kind", "temp", "rain", "extra"])], 0),
    ([frame(["kind", "temp"])], 0),
    ([frame(["kind", "temp", "rain"]), frame(["kind"]), frame(["x"])], 1),
])
def test_frames_must_have_the_meta_columns(series, frames, bad):
    text = None if bad is None else (
        "Meta provided must apply to all dataframes provided. df_meta received had columns "
        f"{set(META.columns)} whilst one dataframe had the following columns {set(frames[bad].columns)}.")
    check(series, "_verify_df_meta_applies_to_dfs", (META, frames), text, 198)


@pytest.mark.parametrize("columns, children, what, line", [
    (None, [], "column", 206),
    (pd.Index([]), None, "column", 206),
    (pd.Index(["a"]), [], "child", 210),
    (pd.Index(["a"]), None, "child", 210),
    (pd.Index(["a"]), ["a"], None, None),
])
def test_meta_needs_columns_then_children(series, columns, children, what, line):
    meta = SimpleNamespace(columns=columns, children=children)
    text = what and f"df_meta must have {what} values set but this df_meta does not: {meta}"
    check(series, "_verify_df_meta_has_required_parameters_set", (meta,), text, line)


# A set's text follows its hash order: the expected one is built the same way.
@pytest.mark.parametrize("columns", [[], ["temp", "kind"], ["temp", "zz", "zz", "yy"]])
def test_requested_columns_must_be_in_meta(series, columns):
    missing = set(columns) - set(META.columns)
    text = f"The following columns were specified that were not found in the df_meta: {missing}" if missing else None
    check(series, "_verify_columns_exist_in_df_meta", (META, columns), text, 218)


# The time level holds 0 and 1, which are no ids.
@pytest.mark.parametrize("names", [["b"], ["a", "b", "a"], ["a", 1, "q"]])
def test_requested_ids_must_be_in_id_level(series, names):
    df = frame(["temp"])
    missing = set(names) - set(df.index.get_level_values(0))
    text = f"The following columns were specified that were not found in the df: {missing}" if missing else None
    check(series, "_verify_names_exist_in_df_index", (df, names), text, 229)


def test_id_level_position_is_read_at_call_time(series, monkeypatch):
    monkeypatch.setattr(series, "ID_INDEX_IDX", 1)
    series._verify_names_exist_in_df_index(frame(["temp"]), [0, 1])
