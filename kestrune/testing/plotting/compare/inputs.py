"""Frames as users bring them, checked and prepared for the report.

Everything that can be wrong with the input is found here, before anything
is computed or drawn, and named in one ``ValueError``: which frame, which
column, which id, and what would have been valid.
"""

import collections

import numpy as np
import pandas as pd
from pandas.api import types

from kestrune import DataFrameMeta

# How many valid choices or offending values a message lists.
SHOWN = 10

Panel = collections.namedtuple(
    "Panel", "names meta frames columns ids first_seen missing")
Panel.__doc__ = """The checked input of a report.

names : list of str, one per frame, the reference first.
meta : DataFrameMeta of every frame.
frames : list of prepared frames (indexed by id, then time, sorted).
columns : list of the data columns to compare and draw, in row order.
ids : pandas.Index of the ids of the report (not yet ordered).
first_seen : list of the ids in order of first appearance, first frame first.
missing : dict of name to the list of ids (sorted) of ``ids`` that the
    frame lacks; only frames that lack some id are keys.
"""


def shown(values):
    """Text of at most ``SHOWN`` values, saying how many more there are."""
    values = list(values)
    text = ", ".join(repr(_plain(v)) for v in values[:SHOWN])
    if len(values) > SHOWN:
        text += ", ... ({} more)".format(len(values) - SHOWN)
    return "[" + text + "]"


def missing_message(missing, sep="; "):
    """Text naming each frame that lacks ids, and the ids, joined by ``sep``."""
    return sep.join("frame {!r} lacks {} id{}: {}".format(
        name, len(ids), "" if len(ids) == 1 else "s", shown(ids))
        for name, ids in missing.items())


def _plain(value):
    """numpy scalars as the Python values they hold, for messages."""
    return value.item() if isinstance(value, np.generic) else value


def sort_ids(ids):
    """Ids in ascending order; by their text where their types do not compare."""
    ids = list(ids)
    try:
        return sorted(ids)
    except TypeError:
        return sorted(ids, key=lambda value: (type(value).__name__, str(value)))


def read_panel(frames, meta=None, id_index=None, time_index=None, names=None,
               columns=None, ids=None):
    """Check the frames and the choices of a report; prepare the frames.

    Parameters are those of :func:`compare_panels`.

    Returns
    -------
    Panel

    Raises
    ------
    ValueError
        For fewer than two frames, bad ``names``, an empty frame, frames
        whose columns differ, duplicate (id, time) rows, a continuous column
        that holds no numbers in some frame, an unknown column or id.

    """
    names, frames = _named(frames, names)
    for name, frame in zip(names, frames):
        if not isinstance(frame, pd.DataFrame):
            raise ValueError("frame {!r} is a {}, not a pandas DataFrame".format(
                name, type(frame).__name__))
        if len(frame) == 0:
            raise ValueError("frame {!r} is empty".format(name))
    if meta is None:
        if id_index is None or time_index is None:
            raise ValueError(
                "give meta, or id_index and time_index to infer it from the "
                "first frame")
        meta = DataFrameMeta.from_frame(frames[0], id_index, time_index)
    _check_columns(names, frames, meta)
    prepared = [meta.set_indices(frame) for frame in frames]
    for name, frame in zip(names, prepared):
        _check_rows(name, frame, meta)
    _check_numbers(names, prepared, meta)

    # The frame's own order: the meta lists categorical columns first.
    declared = set(meta.columns)
    valid = [c for c in _data_columns(frames[0], meta) if c in declared]
    if columns is None:
        columns = valid
    else:
        columns = list(columns)
        unknown = [c for c in columns if c not in valid]
        if unknown or not columns:
            raise ValueError(
                "columns {} are not data columns; valid are {}".format(
                    shown(unknown), shown(valid)))

    first_seen = _first_seen(frames, prepared, meta)
    every = pd.Index(first_seen)
    if ids is None:
        report_ids = every
    else:
        report_ids = pd.Index(list(ids))
        unknown = [i for i in report_ids if i not in every]
        if unknown or len(report_ids) == 0:
            raise ValueError("ids {} are in none of the frames; valid are {}".format(
                shown(unknown), shown(sort_ids(every))))
        if report_ids.has_duplicates:
            raise ValueError("ids {} are given more than once".format(
                shown(report_ids[report_ids.duplicated()].unique())))
    missing = {}
    for name, frame in zip(names, prepared):
        held = frame.index.get_level_values(0).unique()
        lacking = report_ids[~report_ids.isin(held)]
        if len(lacking):
            missing[name] = sort_ids(lacking)
    return Panel(names, meta, prepared, columns, report_ids, first_seen, missing)


def _named(frames, names):
    if isinstance(frames, collections.abc.Mapping):
        if names is not None:
            raise ValueError(
                "names are taken from the keys of the mapping of frames; "
                "give a list of frames to name them with names")
        names, frames = list(frames.keys()), list(frames.values())
    elif isinstance(frames, pd.DataFrame):
        raise ValueError(
            "a report compares at least two frames; got one DataFrame")
    else:
        frames = list(frames)
        if names is None:
            names = ["frame {}".format(n + 1) for n in range(len(frames))]
    names = [str(name) for name in names]
    if len(frames) < 2:
        raise ValueError(
            "a report compares at least two frames (the first is the "
            "reference); got {}".format(len(frames)))
    if len(names) != len(frames):
        raise ValueError("names has {} entries for {} frames: {}".format(
            len(names), len(frames), shown(names)))
    repeated = [name for name, count in collections.Counter(names).items()
                if count > 1]
    if repeated:
        raise ValueError("names must differ; given more than once: {}".format(
            shown(repeated)))
    return names, frames


def _data_columns(frame, meta):
    keys = (meta.id_index, meta.time_index)
    return [c for c in frame.columns if c not in keys]


def _check_columns(names, frames, meta):
    expected = list(meta.columns)
    for name, frame in zip(names, frames):
        try:
            meta._check_frame(frame)
        except ValueError as error:
            raise ValueError("frame {!r}: {}".format(name, error)) from None
        have = _data_columns(frame, meta)
        lacks = [c for c in expected if c not in have]
        adds = [c for c in have if c not in expected]
        if lacks or adds:
            parts = []
            if lacks:
                parts.append("lacks columns {}".format(shown(lacks)))
            if adds:
                parts.append("adds columns {}".format(shown(adds)))
            raise ValueError("frame {!r} {} (compared with {!r}: {})".format(
                name, " and ".join(parts), names[0], shown(expected)))


def _check_rows(name, frame, meta):
    repeated = frame.index[frame.index.duplicated()]
    if len(repeated):
        raise ValueError(
            "frame {!r} has more than one row for ({}, {}) {}".format(
                name, meta.id_index, meta.time_index,
                shown(list(repeated.unique()))))


def _check_numbers(names, frames, meta):
    for column in meta.continuous:
        for name, frame in zip(names, frames):
            values = frame[column]
            if types.is_numeric_dtype(values.dtype) and not types.is_bool_dtype(values.dtype):
                continue
            numbers = pd.to_numeric(values, errors="coerce")
            bad = values[numbers.isna() & values.notna()]
            raise ValueError(
                "column {!r} holds numbers in {!r} but not in frame {!r}: "
                "{}".format(column, names[0], name,
                            shown(bad.unique()) if len(bad) else values.dtype))


def _first_seen(frames, prepared, meta):
    """Every id once, in order of first appearance, the first frame first.

    The frames are read as the caller passed them (``set_indices`` sorts).
    """
    seen = []
    for frame in frames:
        if meta.id_index in frame.columns:
            values = frame[meta.id_index]
        else:
            values = frame.index.get_level_values(meta.id_index)
        seen.append(pd.unique(np.asarray(values, dtype=object)))
    # An Index of the objects takes back their common dtype (integers).
    return list(pd.Index(pd.unique(np.concatenate(seen))))
