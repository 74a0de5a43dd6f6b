"""Bounds that the data set on the options of a report.

An option can ask for more than the data hold: a lag that no series is long
enough for (and whose loop would run for nothing), or measures that give
none of the chosen columns a cell. Both are refused in one line that says
what the data allow, before anything is measured or drawn (or the lag
lowered to what the series allow, which changes no cell).
"""
import datetime
import numbers

import numpy as np

__all__ = ["largest_lag", "check_options", "check_ids"]


def largest_lag(frames):
    """The largest lag that the series of ``frames`` allow: the most rows
    of one id (the first index level) in any frame, less one; at least 1."""
    # Rows per id, counted by the codes of the id level (no id is hashed again).
    longest = max([np.bincount(f.index.codes[0]).max() for f in frames if len(f)] or [0])
    return max(1, int(longest) - 1)


def check_options(frames, columns, categorical, measures, max_lag, cap=False):
    """Refuse ``measures`` that leave ``columns`` without a cell, and a
    ``max_lag`` beyond :func:`largest_lag` when ``dynamics`` is measured
    (or, with ``cap``, lower it to that: the lags beyond have no pair of
    values, so the cells are the same, and their loop is not run).

    Parameters
    ----------
    frames : sequence of pandas.DataFrame
        The prepared frames, indexed by id and time.
    columns : sequence of str
        The data columns compared.
    categorical : collection of str
        Those of them that hold labels.
    measures : sequence of str
    max_lag : int
    cap : bool, optional

    Returns
    -------
    int
        The ``max_lag`` to measure with.

    Raises
    ------
    ValueError

    """
    numbers = [c for c in columns if c not in categorical]
    # Distribution and dynamics give every column a cell; dependence, the
    # number columns when there are two of them or more.
    if set(measures) == {"dependence"} and len(numbers) < 2:
        raise ValueError(
            "measures ['dependence'] leave no cell: dependence compares number "
            "columns in pairs, and the columns compared hold {}; add "
            "'distribution' or 'dynamics'".format(
                "none" if not numbers else "only {!r}".format(numbers[0])))
    if "dynamics" not in measures:
        return max_lag
    allowed = largest_lag(frames)
    if max_lag > allowed and not cap:
        raise ValueError(
            "max_lag must be at most {}, the most times of one id less one "
            "(no series has a pair of values further apart), got {}".format(
                allowed, max_lag))
    return min(max_lag, allowed)


def check_ids(frames, names, nearest=False):
    """Refuse ids that the report cannot tell apart or, under nearest
    pairing (``nearest``), cannot pair and draw.

    True and False are refused always: pandas mixes them up with 1 and 0
    in an index. Nearest pairing writes the ids into its tables and into
    the labels of its pages, which take text, numbers and times only.

    Parameters
    ----------
    frames : sequence of pandas.DataFrame
        The prepared frames, indexed by id and time.
    names : sequence of str
        Their names.
    nearest : bool, optional

    Raises
    ------
    ValueError

    """
    kinds = (str, numbers.Real, datetime.datetime, np.datetime64)
    for frame, name in zip(frames, names):
        for value in frame.index.remove_unused_levels().levels[0]:
            if isinstance(value, (bool, np.bool_)):
                raise ValueError(
                    "frame {!r} has the id {!r}: ids of True and False are mixed "
                    "up with 1 and 0; write them as text".format(name, value))
            if nearest and not isinstance(value, kinds):
                raise ValueError(
                    "nearest pairing needs ids that are text, numbers or times; "
                    "frame {!r} has ids of type {}: {!r}".format(
                        name, type(value).__name__, value))
