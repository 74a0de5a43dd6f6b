"""Frames as users bring them, checked and prepared for the report.

Everything that can be wrong with the input is found here, before anything
is computed or drawn, and named in one ``ValueError``: which frame, which
column, which id, and what would have been valid.
"""

import collections
import numbers
import operator
import warnings

import numpy as np
import pandas as pd
from pandas.api import types

from kestrune import DataFrameMeta, _as_floats, _as_labels, _is_nullable_number

from .bounds import check_ids
from .plan import sort_ids

# How many valid choices or offending values a message lists.
SHOWN = 10
# The largest magnitude a continuous value may have: the measures square
# deviations and sum them over rows, which must not overflow a float.
LARGEST = 1e150


class IdTypeWarning(UserWarning):
    """A frame's ids matched the reference's only after converting their type."""


class IdSpellingWarning(UserWarning):
    """A frame's ids would match more of the reference's if written alike:
    without leading zeros, in one case, without surrounding spaces."""


class TimeOverlapWarning(UserWarning):
    """A frame shares fewer than half of the reference's time points."""


Panel = collections.namedtuple(
    "Panel", "names meta frames columns ids first_seen missing pairing why",
    defaults=(None,))
Panel.__doc__ = """The checked input of a report.

names : list of str, one per frame, the reference first.
meta : DataFrameMeta of every frame.
frames : list of prepared frames (indexed by id, then time, sorted).
columns : list of the data columns to compare and draw, in row order.
ids : pandas.Index of the ids of the report (not yet ordered).
first_seen : list of the ids in order of first appearance, first frame first.
missing : dict of name to the list of ids (sorted) of ``ids`` that the
    frame lacks; only frames that lack some id are keys.
pairing : "ids" (rows of one id are compared with the rows of the same id)
    or "nearest" (each id of the one compared frame with the reference id it
    resembles most; ``ids`` are then the compared frame's ids).
why : text saying why that pairing was chosen (the share of the
    reference's ids that each compared frame holds).
"""


def shown(values, total=None):
    """Text of at most ``SHOWN`` values, saying how many more there are (of
    ``total`` values, when only the first are given)."""
    values = list(values)
    total = len(values) if total is None else total
    text = ", ".join(repr(_plain(v)) for v in values[:SHOWN])
    if total > SHOWN:
        text += ", ... ({} more)".format(total - SHOWN)
    return "[" + text + "]"


def missing_message(missing, sep="; "):
    """Text naming each frame that lacks ids, and the ids, joined by ``sep``."""
    return sep.join("frame {!r} lacks {} id{}: {}".format(
        name, len(ids), "" if len(ids) == 1 else "s", shown(ids))
        for name, ids in missing.items())


def _plain(value):
    """numpy scalars as the Python values they hold, for messages."""
    return value.item() if isinstance(value, np.generic) else value


def prepare_frame(frame, meta, columns=None, name="frame"):
    """One frame, checked and converted in one pass, as every table reads it.

    The id and the time (index levels or columns) are factorized once: rows
    without either are refused, the first appearance of each id is kept,
    and the rows are ordered by id, then time (already sorted frames are
    not reordered). The data columns are taken once each, in that order:
    categorical columns become plain labels and continuous columns of
    pandas' nullable dtypes floats, exactly as
    :meth:`DataFrameMeta.set_indices` converts them, vectorised.

    Parameters
    ----------
    frame : pandas.DataFrame
        A frame that ``meta`` describes, the id and the time as index levels
        or columns.
    meta : kestrune.DataFrameMeta
    columns : list of str, optional
        The data columns kept; by default every data column of ``frame``.
    name : str, optional
        The frame's name in messages.

    Returns
    -------
    prepared : pandas.DataFrame
        Indexed by a sorted (id, time) ``MultiIndex`` whose levels hold only
        the ids and times present; the data columns in the frame's order.
    first_seen : numpy.ndarray
        The frame's ids, each once, in order of first appearance.

    Raises
    ------
    ValueError
        For a frame without the id or the time, with other index levels, or
        with rows without an id or a time (naming the first such row).

    """
    _check_frame(name, frame, meta)
    return _prepare(name, frame, meta, columns)


def _check_frame(name, frame, meta):
    try:
        meta._check_frame(frame)
    except ValueError as error:
        raise ValueError("frame {!r}: {}".format(name, error)) from None


def _prepare(name, frame, meta, columns):
    """:func:`prepare_frame` of a frame whose id and time are known present."""
    keys, levels = [], []
    for role, key in (("id", meta.id_index), ("time", meta.time_index)):
        codes, uniques = pd.factorize(_keys(frame, key))
        gaps = np.flatnonzero(codes < 0)
        if len(gaps):
            raise ValueError(gap_message(name, role, key, len(gaps), gaps[0]))
        if role == "id":
            first_seen = np.asarray(uniques, dtype=object)
        codes, uniques = _sorted_codes(codes, uniques)
        keys.append(codes)
        levels.append(uniques)
    row = keys[0].astype(np.int64) * max(len(levels[1]), 1) + keys[1]
    order = None
    if len(row) > 1 and (row[1:] < row[:-1]).any():
        order = np.argsort(row, kind="stable")
        keys = [codes[order] for codes in keys]
    index = pd.MultiIndex(levels=levels, codes=keys, verify_integrity=False,
                          names=[meta.id_index, meta.time_index])
    kinds = {c: "label" for c in meta.categorical}
    kinds.update((c, "number") for c in meta.continuous)
    data = {}
    for column in _data_columns(frame, meta):
        if columns is not None and column not in columns:
            continue
        values = frame[column]
        if kinds.get(column) == "label":
            values = _as_labels(values)
        elif kinds.get(column) == "number" and _is_nullable_number(values.dtype):
            values = _as_floats(values)
        values = values.to_numpy()  # numpy or pandas' own array, as the frame has it
        # Series of the array's own dtype: a frame built from bare arrays
        # would make labels strings on pandas 3, where set_indices keeps objects.
        data[column] = pd.Series(values if order is None else values[order], index=index,
                                 dtype=values.dtype, copy=False)
    prepared = pd.DataFrame(data, index=index, columns=list(data))
    return prepared, first_seen


def gap_message(name, role, key, count, first):
    """The refusal of ``count`` rows without an id or a time (``role``), the
    ``first`` of them counted from 0 in the frame as given."""
    return ("frame {!r} has {} row{} without {} {} ({!r}); the first is row {} "
            "(counting from 0)".format(name, count, "" if count == 1 else "s",
                                       "an" if role == "id" else "a", role, key, first))


def _sorted_codes(codes, uniques):
    """Codes and uniques of ``pandas.factorize``, renumbered so that the
    uniques ascend (as an index sorts them; in order of appearance where
    they do not compare)."""
    try:
        order = uniques.argsort()
    except TypeError:
        return codes, uniques
    if (order == np.arange(len(order))).all():
        return codes, uniques
    rank = np.empty(len(order), dtype=np.intp)
    rank[order] = np.arange(len(order))
    return rank[codes], uniques.take(order)


def read_panel(frames, meta=None, id_index=None, time_index=None, names=None,
               columns=None, ids=None, pairing="ids", allow_disjoint_times=False):
    """Check the frames and the choices of a report; prepare the frames.

    Each frame is read once, by :func:`prepare_frame`; every check reads the
    prepared frames. Parameters are those of :func:`compare_panels`.

    Returns
    -------
    Panel

    Raises
    ------
    ValueError
        For fewer than two frames, bad ``names``, an empty frame, frames
        whose columns differ, duplicate (id, time) rows, a continuous column
        that holds no numbers in some frame, an unknown column or id, a
        frame that shares no time point with the reference (unless
        ``allow_disjoint_times``), times of kinds that do not compare.

    Warns
    -----
    IdTypeWarning
        Once, when a frame's ids match the reference's only as text and are
        converted.
    TimeOverlapWarning
        For a frame that shares fewer than half of the reference's time
        points.
    IdSpellingWarning
        For a frame whose ids would match more of the reference's once
        leading zeros, case and surrounding spaces are set aside.

    """
    names, frames = _named(frames, names)
    columns = _listed("columns", columns)
    ids = _listed("ids", ids)
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
    for name, frame in zip(names, frames):
        _check_frame(name, frame, meta)

    columns = chosen_columns(names, frames, meta, columns)
    # The one pass over each frame; every check below reads its result.
    prepared, first_seen = zip(*(_prepare(name, frame, meta, columns)
                                 for name, frame in zip(names, frames)))
    prepared = list(prepared)
    check_ids(prepared, names)
    for name, frame in zip(names, prepared):
        _check_rows(name, frame, meta)
    _check_numbers(names, prepared, meta, columns)
    _check_times(names, prepared, allow_disjoint_times)
    if pairing == "nearest":
        mappings = [None] * len(prepared)
    else:
        prepared, mappings = _matched_ids(names, prepared, refuse=pairing == "ids")
        _warn_near_ids(names, prepared)
    pairing, why = _chosen_pairing(names, prepared, pairing, ids)
    if pairing == "nearest":
        first_seen = _first_seen(first_seen[1:], mappings[1:])
        return Panel(names, meta, prepared, columns, pd.Index(first_seen),
                     first_seen, {}, pairing, why)

    first_seen = _first_seen(first_seen, mappings)
    every = pd.Index(first_seen)
    if ids is None:
        report_ids = every
    else:
        report_ids = pd.Index(ids)
        unknown = [i for i in report_ids if i not in every]
        if unknown or len(report_ids) == 0:
            raise ValueError("ids {} are in none of the frames; valid are {}".format(
                shown(unknown), shown(sort_ids(every))))
        if report_ids.has_duplicates:
            raise ValueError("ids {} are given more than once".format(
                shown(report_ids[report_ids.duplicated()].unique())))
    missing = {}
    for name, frame in zip(names, prepared):
        lacking = report_ids[~report_ids.isin(frame.index.levels[0])]
        if len(lacking):
            missing[name] = sort_ids(lacking)
    return Panel(names, meta, prepared, columns, report_ids, first_seen, missing,
                 pairing, why)


def chosen_columns(names, frames, meta, columns):
    """The data columns compared, checked against every frame's columns
    (which is all this reads of the frames)."""
    # The frame's own order: the meta lists categorical columns first.
    declared = set(meta.columns)
    valid = [c for c in _data_columns(frames[0], meta) if c in declared]
    if not valid:
        raise ValueError(
            "frame {!r} has no data column besides {!r} and {!r}{}".format(
                names[0], meta.id_index, meta.time_index,
                "" if not len(meta.columns) else
                " that the meta describes ({})".format(shown(meta.columns))))
    if columns is None:
        _check_columns(names, frames, meta, list(meta.columns), every=True)
        return valid
    unknown = [c for c in columns if c not in valid]
    if unknown or not columns:
        raise ValueError(
            "columns {} are not data columns; valid are {}".format(
                shown(unknown), shown(valid)))
    repeated = _repeated(columns)
    if repeated:
        raise ValueError("columns {} are given more than once".format(
            shown(repeated)))
    _check_columns(names, frames, meta, columns, every=False)
    return columns


def _shares(names, frames, judged=True):
    """Text of how many of the reference's ids each compared frame holds
    (with ``judged``, against the half that ``"auto"`` asks for)."""
    reference, held = _held(frames)
    half = all(2 * n >= len(reference) for n in held)
    parts = ["{!r} holds {} of the {} ids of {!r} ({:.0f} %{})".format(
        name, n, len(reference), names[0], 100.0 * n / len(reference),
        "" if not judged else ", at least half" if half else ", under half")
        for name, n in zip(names[1:], held)]
    return "; ".join(parts)


def _held(frames):
    """The reference's ids, and how many of them each compared frame holds.

    A prepared frame's id level holds exactly its ids, each once.
    """
    reference = frames[0].index.levels[0]
    return reference, [int(reference.isin(frame.index.levels[0]).sum())
                       for frame in frames[1:]]


def _chosen_pairing(names, frames, pairing, ids):
    """``"ids"`` or ``"nearest"`` for the requested ``pairing``, and why.

    ``"auto"`` pairs by id when every compared frame holds at least half of
    the reference's ids (or ``ids`` are named), otherwise by nearest
    summaries, each compared frame on its own. Nearest pairing takes no
    ``ids``. The reason names the share of the reference's ids that each
    compared frame holds.
    """
    if pairing == "auto":
        if ids is not None:
            return "ids", "chosen by auto: the ids to compare were named"
        reference, held = _held(frames)
        if all(2 * n >= len(reference) for n in held):
            return "ids", "chosen by auto: " + _shares(names, frames)
        return "nearest", "chosen by auto: " + _shares(names, frames)
    if pairing == "nearest" and ids is not None:
        raise ValueError(
            "ids choose ids that the frames share; nearest pairing "
            "compares every id of the compared frame, so give no ids")
    return pairing, "as asked; " + _shares(names, frames, judged=False)


def count(name, value):
    """``value`` as an int of at least 1 (any integral number), else ValueError."""
    if not isinstance(value, (bool, np.bool_)):
        try:
            whole = operator.index(value)
        except TypeError:
            whole = None
        if whole is not None and whole >= 1:
            return whole
    raise ValueError("{} must be a whole number of at least 1, got {!r}".format(
        name, _plain(value)))


def _listed(what, values):
    """A list of ``values``, refusing a single string (which would split)."""
    if values is None:
        return None
    if isinstance(values, (str, bytes)):
        raise ValueError(
            "{} must be a list, not the single string {!r}; write [{!r}]".format(
                what, values, values))
    return list(values)


def _repeated(values):
    return [v for v, n in collections.Counter(values).items() if n > 1]


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
    names = _listed("names", names)
    names = [str(name) for name in names]
    if len(frames) < 2:
        raise ValueError(
            "a report compares at least two frames (the first is the "
            "reference); got {}".format(len(frames)))
    if len(names) != len(frames):
        raise ValueError("names has {} entries for {} frames: {}".format(
            len(names), len(frames), shown(names)))
    repeated = _repeated(names)
    if repeated:
        raise ValueError("names must differ; given more than once: {}".format(
            shown(repeated)))
    return names, frames


def _data_columns(frame, meta):
    keys = (meta.id_index, meta.time_index)
    return [c for c in frame.columns if c not in keys]


def _check_columns(names, frames, meta, expected, every):
    """Every frame has the ``expected`` data columns; with ``every`` column
    compared (none chosen), no frame has others either."""
    for name, frame in zip(names, frames):
        have = _data_columns(frame, meta)
        lacks = [c for c in expected if c not in have]
        adds = [c for c in have if c not in expected] if every else []
        if lacks or adds:
            parts = []
            if lacks:
                parts.append("lacks columns {}".format(shown(lacks)))
            if adds:
                parts.append("adds columns {}".format(shown(adds)))
            shared = [c for c in expected if c in have]
            hint = ""
            if adds and shared:
                hint = "; to compare the columns they share, pass columns={!r}".format(shared)
            raise ValueError("frame {!r} {} (compared with {!r}: {}){}".format(
                name, " and ".join(parts), names[0], shown(expected), hint))


def _keys(frame, name):
    if name in frame.columns:
        return frame[name]
    return frame.index.get_level_values(name).to_series(index=None)


def _check_rows(name, frame, meta):
    """Refuse repeated (id, time) rows: in a prepared frame (sorted, its
    levels unique) they are rows whose codes equal the row's before."""
    repeated = repeated_rows(frame)
    if len(repeated):
        raise ValueError(repeated_message(name, meta, list(repeated.unique())))


def repeated_rows(frame):
    """The (id, time) keys of a prepared frame's repeated rows: in a sorted
    frame whose levels are unique, rows whose codes equal the row's before."""
    ids, times = frame.index.codes
    same = (ids[1:] == ids[:-1]) & (times[1:] == times[:-1])
    return frame.index[1:][same]


def repeated_message(name, meta, keys, total=None):
    """The refusal of repeated (id, time) ``keys`` (the first, of ``total``)."""
    return "frame {!r} has more than one row for ({}, {}) {}".format(
        name, meta.id_index, meta.time_index, shown(keys, total))


def _check_numbers(names, frames, meta, columns):
    for column in meta.continuous:
        if column not in columns:
            continue
        for name, frame in zip(names, frames):
            facts = number_facts(frame[column])
            if facts["bad"] is not None:
                facts["bad"] = list(facts["bad"])
            check_number_facts(column, name, names[0], facts)


def number_facts(values):
    """What the checks of a continuous column need of its values: whether
    they are True/False, or numbers; if not, the values that read as no
    number (each once, in order; None for numbers) and the dtype; else the
    first finite value too large to measure (None for none) and its row
    (``"at"``)."""
    facts = {"bool": types.is_bool_dtype(values.dtype), "bad": None,
             "dtype": str(values.dtype), "huge": None}
    if facts["bool"]:
        return facts
    if not types.is_numeric_dtype(values.dtype):
        numbers = pd.to_numeric(values, errors="coerce")
        facts["bad"] = values[numbers.isna() & values.notna()].unique()
        return facts
    numbers = values.astype(float).to_numpy()  # nullable numbers' missing values as NaN
    huge = np.abs(numbers) > LARGEST
    huge &= np.isfinite(numbers)
    if huge.any():
        facts["at"] = np.flatnonzero(huge)[0]
        facts["huge"] = numbers[facts["at"]]
    return facts


def check_number_facts(column, name, reference, facts, total=None):
    """Refuse a continuous column by its :func:`number_facts` (the first of
    ``total`` bad values given), in frame ``name``."""
    if facts["bool"]:
        raise ValueError(
            "column {!r} is continuous but holds True/False in frame "
            "{!r}; declare it categorical".format(column, name))
    if facts["bad"] is not None:
        where = ("holds numbers in {!r} but not in".format(reference)
                 if name != reference else "is continuous but not numeric in")
        bad = facts["bad"]
        raise ValueError("column {!r} {} frame {!r}: {}".format(
            column, where, name, shown(bad, total) if len(bad) else facts["dtype"]))
    if facts["huge"] is not None:
        raise ValueError(
            "column {!r} holds {} in frame {!r}: finite values "
            "beyond +-{:g} cannot be measured (their squares "
            "overflow)".format(column, _plain(facts["huge"]), name, LARGEST))


def _time_text(value):
    """A time point for messages: dates without a midnight time of day."""
    value = _plain(value)
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d") if value == value.normalize() else str(value)
    return str(value)


def _time_ends(name, times, key):
    """The first and last of a frame's time points, as text; times of
    kinds that do not compare (numbers and text, say) are refused, naming
    the smallest time of each kind."""
    try:
        return _time_text(times.min()), _time_text(times.max())
    except TypeError:
        pass
    kinds = pd.Series(times, dtype=object).groupby(
        pd.Series([type(v).__name__ for v in times], dtype=object)).min()
    raise ValueError(
        "frame {!r} has times ({!r}) of kinds that do not compare: {}; give "
        "every time as a number, or every time as a date".format(
            name, key, ", ".join("{} such as {!r}".format(kind, _plain(value))
                                 for kind, value in kinds.items())))


def _check_times(names, frames, allow_disjoint):
    """Refuse a frame whose time points meet none of the reference's (unless
    ``allow_disjoint``); warn when it shares fewer than half of them.

    Times that never meet are a misalignment (years 0 to 19 against 1935 to
    1954, month ends against month starts) far more often than a choice: the
    measures would still compare the values, but nothing over time would
    line up.
    """
    ends = [_time_ends(name, frame.index.levels[1], frame.index.names[1])
            for name, frame in zip(names, frames)]
    reference = frames[0].index.levels[1]
    span = "{!r} runs from {} to {}".format(names[0], *ends[0])
    for name, frame, (first, last) in zip(names[1:], frames[1:], ends[1:]):
        times = frame.index.levels[1]
        try:
            shared = int(reference.isin(times).sum())
        except TypeError:  # times of kinds that do not compare
            shared = 0
        runs = "{!r} from {} to {}".format(name, first, last)
        if shared == 0 and not allow_disjoint:
            raise ValueError(
                "frame {!r} shares no time point with frame {!r}: {}, {}; "
                "align the times, or pass allow_disjoint_times=True to compare "
                "them anyway".format(name, names[0], span, runs))
        if 0 < 2 * shared < len(reference):
            warnings.warn(
                "frame {!r} shares {} of the {} time points of frame {!r} "
                "({}, {})".format(name, shared, len(reference), names[0], span, runs),
                TimeOverlapWarning, stacklevel=4)


def _spelled(value):
    """An id's text without surrounding spaces, case or leading zeros."""
    text = _text(value).strip().lower()
    stripped = text.lstrip("0")
    return stripped if stripped and stripped[0] != "." else text


def _warn_near_ids(names, frames):
    """Warn once for each compared frame whose ids would match more of the
    reference's if leading zeros, case and surrounding spaces were set aside,
    naming some of those ids side by side."""
    reference = frames[0].index.levels[0]
    by_spelling = None
    for name, frame in zip(names[1:], frames[1:]):
        held = frame.index.levels[0]
        unmatched = held[~held.isin(reference)]
        if not len(unmatched):
            continue
        if by_spelling is None:  # spelled out only where some id is unmatched
            by_spelling = {}
            for value in reference:
                by_spelling.setdefault(_spelled(value), value)
        near = [(v, by_spelling[_spelled(v)]) for v in unmatched
                if _spelled(v) in by_spelling]
        if near:
            pairs = ", ".join("{!r} \u2248 {!r}".format(_plain(v), _plain(r))
                              for v, r in near[:3])
            warnings.warn(
                "{} id{} of frame {!r} match{} ids of frame {!r} only once leading "
                "zeros, case and surrounding spaces are set aside ({}{}); write "
                "the ids alike in both (for instance without leading zeros) to "
                "pair them by id".format(
                    len(near), "" if len(near) == 1 else "s", name,
                    "es" if len(near) == 1 else "", names[0], pairs,
                    ", ..." if len(near) > 3 else ""),
                IdSpellingWarning, stacklevel=4)


def _kind(ids):
    if types.is_bool_dtype(ids.dtype):
        return "other"
    if types.is_numeric_dtype(ids.dtype):
        return "number"
    if types.infer_dtype(ids, skipna=False) == "string":
        return "text"
    return "other"


def _text(value):
    """An id as text: whole floats as integers, so 13 and 13.0 read alike."""
    value = _plain(value)
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def _describe(ids):
    kind = "text" if _kind(ids) == "text" else str(ids.dtype)
    return "{} ids such as {}".format(
        kind, shown(ids[:3]).rstrip("]") + (", ...]" if len(ids) > 3 else "]"))


def _matched_ids(names, frames, refuse=True):
    """Frames whose ids share none with the reference's, but whose ids read
    alike as text (integers in one, strings in the other), take the
    reference's ids, with one warning; frames that still share no id with
    the reference are refused (when ``refuse``)."""
    reference = frames[0].index.levels[0]
    kind = _kind(reference)
    by_text = {_text(v): v for v in reference}
    out, mappings, converted = [frames[0]], [None], []
    for name, frame in zip(names[1:], frames[1:]):
        mapping = None
        held = frame.index.levels[0]
        if not held.isin(reference).any() and _kind(held) != kind != "other":
            texts = [_text(v) for v in held]
            if any(t in by_text for t in texts):
                if kind == "number":
                    # Only numbers written as the reference writes them:
                    # "007" stays apart from 7.
                    numbers = pd.to_numeric(pd.Series(texts), errors="coerce")
                    target = [by_text.get(t, n) for t, n in zip(texts, numbers)]
                    usable = all(_text(n) == t for t, n in zip(texts, target)
                                 if not pd.isna(n))
                    usable = usable and not any(pd.isna(target))
                else:
                    target, usable = texts, True
                if usable and len(set(target)) == len(target):
                    mapping = dict(zip(held, target))
                    frame = frame.rename(index=mapping, level=0).sort_index()
                    converted.append((name, held.dtype))
                    held = frame.index.levels[0]
        if refuse and not held.isin(reference).any():
            raise ValueError(
                "frame {!r} shares no id with frame {!r}: frame {!r} has {}, "
                "frame {!r} has {}".format(name, names[0], names[0],
                                           _describe(reference), name,
                                           _describe(held)))
        out.append(frame)
        mappings.append(mapping)
    if converted:
        warnings.warn(
            "the ids of frame{} {} match the ids of {!r} ({}) only as text; "
            "they were converted to match".format(
                "s" if len(converted) > 1 else "",
                ", ".join("{!r} ({})".format(*c) for c in converted),
                names[0], reference.dtype), IdTypeWarning, stacklevel=4)
    return out, mappings


def _first_seen(firsts, mappings):
    """Every id once, in order of first appearance, the first frame first.

    ``firsts`` holds each frame's ids in the order the caller passed them
    (as :func:`prepare_frame` found them); ids converted to match the
    reference's are taken converted.
    """
    seen = []
    for values, mapping in zip(firsts, mappings):
        if mapping is not None:
            values = np.array([mapping[v] for v in values], dtype=object)
        seen.append(values)
    # The objects take back their common dtype (integers), as a Series
    # infers it (an Index of objects warns on pandas 1.5 that it will not).
    every = pd.Series(pd.unique(np.concatenate(seen)), dtype=object).infer_objects()
    return list(pd.Index(every))
