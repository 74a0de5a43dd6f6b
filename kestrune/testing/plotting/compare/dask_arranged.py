"""Permutation levels of the population page on dask frames that rearrange
every id, read from the partitions: what the report under nearest pairing
on dask (:mod:`.dask_nearest`) uses, with the exact Kolmogorov-Smirnov
statistics of one continuous column over value ranges.

The rearrangements are drawn once in the calling process, one bit per id
and rearrangement, packed (25 MB for 1,000,000 ids and 199
rearrangements), and every task reads the bits of its rows' ids; for
labels each partition counts the labels that every rearrangement deals to
the compared frame, for numbers the value ranges return, per rearrangement
and time point, their counts and largest and smallest gaps. These are
the pandas path's levels up to :data:`noise.SAMPLED` ids of both frames;
beyond, both paths rearrange a sample of the ids instead
(:func:`noise.arranged_levels`; on dask ``dask_nearest._sampled_levels``).
"""

import numpy as np
import pandas as pd

from . import partitions as _parts
from . import noise
from .dask_report import (MISSING, RANGE_VALUES, _combined, _range_gaps, _split, _splitters,
                          _time_counts)


def _ks(pairs, facts, meta, column, times, n1, n2):
    """The Kolmogorov-Smirnov statistic of a continuous column at each of
    ``times`` and over every row (last), ``n1`` and ``n2`` the values of
    each side there: exactly, over ranges of values (see this module)."""
    import dask
    splitters = _splitters(facts, column, (n1[-1] + n2[-1]) // RANGE_VALUES)
    pieces = [dask.delayed(_split)(r, o, meta, {column: splitters}, times)[column]
              for r, o in pairs]
    found = dask.compute(*[dask.delayed(_range_gaps)(n1, n2, *[p[b] for p in pieces])
                           for b in range(len(splitters) + 1)])
    return _combined(found, n1, n2)


def _rows_per_time(facts, column, is_label, times):
    """The rows of each side with a value (every row for labels) per time
    point of ``times``, and in all."""
    if is_label:
        counts = [_label_counts(facts, column, side=side).sum(axis=1) for side in (0, 1)]
    else:
        counts = [_time_counts(facts, column, side) for side in (0, 1)]
    return ([c.reindex(times, fill_value=0).to_numpy() for c in counts],
            [int(c.sum()) for c in counts])


def _label_counts(facts, column, times=None, side=None):
    """Label counts per time point (rows) and label (columns) over both
    sides or one, over every time point with a row or over ``times``."""
    sides = (0, 1) if side is None else (side,)
    found = pd.concat([f["labels"][column]["counts"][s] for f in facts for s in sides])
    table = found.groupby(level=[0, 1]).sum().unstack(fill_value=0)
    table = table.reindex(columns=sorted(table.columns, key=str))
    return table if times is None else table.reindex(times, fill_value=0)


def _drawn(count, units):
    """The rearrangements of :class:`noise._Arrangements` under id pairing,
    one row per unit, its ``count`` bits packed."""
    state = np.random.RandomState(noise.SEED)
    bits = np.empty((units, (count + 7) // 8), dtype=np.uint8)
    step = max(1, 4000000 // max(units, 1))
    for start in range(0, count, 8 * step):
        rows = state.random_sample((min(8 * step, count - start), units)) < 0.5
        bits[:, start // 8:(start + len(rows) + 7) // 8] = np.packbits(rows.T, axis=1)
    return bits


def _bits(packed, units, first, count, most=8):
    """The choice of each row (rows of ``units``) by rearrangements
    ``first`` to ``first + most - 1`` (at most ``count``), a multiple of 8
    apart: rearrangements x rows."""
    return np.unpackbits(packed[units, first // 8:(first + most + 7) // 8], axis=1)[
        :, :min(most, count - first)].T.astype(bool)


def _side_rows(reference, other, meta, column, union, times, is_label):
    """One pair of partitions' rows with a value: their values, units,
    time points' numbers in ``times`` (-1 for none) and sides. The units
    are the ids' places in ``union``, or with a pair of indexes (ids of
    each frame, units of their own) in the first, then in the second."""
    parts = []
    for side, partition in enumerate((reference, other)):
        frame = _parts._prepared(partition, meta, None)
        values = frame[column].to_numpy()
        present = np.ones(len(values), dtype=bool) if is_label else \
            ~np.isnan(values.astype(float))
        units = union.get_indexer(frame.index.get_level_values(0)) if not isinstance(
            union, tuple) else union[side].get_indexer(frame.index.get_level_values(0)) \
            + side * len(union[0])
        parts.append((values[present], units[present],
                      times.get_indexer(frame.index.get_level_values(1))[present],
                      np.full(present.sum(), side == 1)))
    return [np.concatenate(x) for x in zip(*parts)]


def _arranged(reference, other, meta, column, union, packed, times, count, labels):
    """Per rearrangement, one pair of partitions' rows that it deals to the
    compared frame at each time point and over all (last): counts
    (rearrangements x groups), and per label for ``labels``."""
    values, units, time, flip = _side_rows(reference, other, meta, column, union, times,
                                           labels is not None)
    groups = len(times) + 1
    width = 1
    codes = np.zeros(len(values), dtype=np.int64)
    if labels is not None:
        width = len(labels)
        filled = np.where(pd.isna(values), MISSING, values.astype(object))
        codes = pd.Index(labels, dtype=object).get_indexer(filled)
    out = np.zeros((count, groups * width))
    timed = time >= 0
    cells = np.r_[time[timed], np.full(len(time), groups - 1)] * width + np.r_[codes[timed],
                                                                              codes]
    for first in range(0, count, 8):
        chosen = _bits(packed, units, first, count) ^ flip
        for n, dealt in enumerate(np.hstack([chosen[:, timed], chosen]), first):
            out[n] = np.bincount(cells, weights=dealt, minlength=groups * width)
    out = out.reshape(count, groups, width)
    return out if labels is not None else out[:, :, 0].astype(np.int64)


def _label_distance(total, second):
    """Total variation per rearrangement and group (:class:`noise._Counted`):
    ``total`` rows per time point and label, ``second`` the rows dealt to
    the compared frame (rearrangements x groups x labels)."""
    first = total[None] - second
    with np.errstate(divide="ignore", invalid="ignore"):
        return 0.5 * np.abs(first / first.sum(axis=2, keepdims=True)
                            - second / second.sum(axis=2, keepdims=True)).sum(axis=2)


def _ks_arranged(pairs, facts, meta, column, times, union, packed, count, n, n2):
    """The Kolmogorov-Smirnov statistic per rearrangement and group, over
    ranges of values as :func:`_ks` (see :class:`noise._Sorted`), and the
    statistic of the frames as they are (``n``: the values of each side
    per group)."""
    import dask
    every = n[0] + n[1]
    # Half as many values per range as for one statistic: each range holds
    # its rows' bits and the counts of several rearrangements at once.
    splitters = _splitters(facts, column, 2 * every[-1] // RANGE_VALUES)
    pieces = [dask.delayed(_split_units)(r, o, meta, column, union, times, splitters)
              for r, o in pairs]
    found = dask.compute(*[dask.delayed(_range_arranged)(n, n2, packed, count,
                                                         *[p[b] for p in pieces])
                           for b in range(len(splitters) + 1)])
    high, low, second, size = (np.array([f[j] for f in found]) for j in range(4))
    before = np.cumsum(size, axis=0) - size
    dealt = np.cumsum(second, axis=0) - second
    offset = before[:, None, :] * n2[None] - every[None, None, :] * dealt
    spread = np.fmax(np.nanmax(offset + high, axis=0), -np.nanmin(offset + low, axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        return spread / ((every[None, :] - n2) * n2), _combined([f[4] for f in found], *n)


def _split_units(reference, other, meta, column, union, times, splitters):
    values, units, time, flip = _side_rows(reference, other, meta, column, union, times,
                                           False)
    values = values.astype(float)
    where = np.searchsorted(splitters, values, side="right")
    return [tuple(x[where == b] for x in (values, units, time, flip))
            for b in range(len(splitters) + 1)]


def _range_arranged(n, n2, packed, count, *pieces):
    """One value range's part of the rearranged statistics: per
    rearrangement and group the largest and smallest gap
    place n2 - N dealt at its ends of ties, counted from the range's start,
    the rows dealt to the compared frame, and the group's rows; and the
    range's part of the frames' own statistic (:func:`_range_gaps`)."""
    values, units, time, flip = (np.concatenate([p[j] for p in pieces]) for j in range(4))
    gaps = _range_gaps(n[0], n[1], (values, time, flip.astype(np.int8)))
    every = n[0] + n[1]
    groups = len(every)
    timed = time >= 0
    values = np.r_[values[timed], values]
    units = np.r_[units[timed], units]
    flip = np.r_[flip[timed], flip]
    group = np.r_[time[timed], np.full(len(time), groups - 1)]
    order = np.lexsort((values, group))
    values, units, flip, group = values[order], units[order], flip[order], group[order]
    size = np.bincount(group, minlength=groups)
    high = np.full((count, groups), np.nan)
    low = np.full((count, groups), np.nan)
    second = np.zeros((count, groups))
    if not len(values):
        return high, low, second, size, gaps
    start = np.cumsum(size) - size
    place = np.arange(1, len(values) + 1) - start[group]
    last = np.r_[(group[1:] != group[:-1]) | (values[1:] != values[:-1]), True]
    ends = np.flatnonzero(last)
    heads = np.flatnonzero(np.r_[True, group[ends][1:] != group[ends][:-1]])
    present = group[ends][heads]
    step = max(8, (4000000 // len(values)) // 8 * 8)
    for first in range(0, count, step):
        chosen = _bits(packed, units, first, count, step) ^ flip
        dealt = np.cumsum(chosen, axis=1, dtype=np.int64)
        dealt -= np.where(start[group] > 0, dealt[:, np.maximum(start[group] - 1, 0)], 0)
        rows = slice(first, first + len(chosen))
        gap = place[ends] * n2[rows][:, group[ends]] - every[group[ends]] * dealt[:, ends]
        gap = gap.astype(float)
        high[rows, present] = np.maximum.reduceat(gap, heads, axis=1)
        low[rows, present] = np.minimum.reduceat(gap, heads, axis=1)
        tails = np.r_[heads[1:], len(ends)] - 1
        second[rows, present] = dealt[:, ends[tails]]
    return high, low, second, size, gaps
