"""Noise levels of the population page: how large each of its numbers is
when both frames come from one process.

Every number of the page compares the reference's values with a compared
frame's. Its null 95 % level is

- for the Kolmogorov-Smirnov statistic between the ids' values at one time
  point, or between the ids' summaries of one entry (one value per id and
  frame): the exact critical value of the two-sample test at those sizes
  (:func:`ks_level`), since the ids are independent units;
- for the numbers that pool every row of a column, and for a band that
  holds at every time point at once: the smallest value that at most 5 %
  of random rearrangements of whole ids reach (:func:`permutation_levels`). The rows of one
  id depend on each other, so rows are never rearranged one by one. Under
  id pairing a rearrangement swaps the two frames' series of some ids;
  where the ids differ between frames it deals the pooled ids out anew.

Under id pairing the values at one time point are paired too (an id's two
values are alike when ids differ from each other), so their levels come
from the same swaps as the band's rather than from the unpaired exact
value, which would lie above the band; every level of a time point then
lies at or below the band's.

Beyond 10,000 ids the rearrangements deal a sample of 10,000 ids, keyed
by their values, and the levels are scaled to every id (see
:func:`arranged_levels`): rearranging a million ids costs minutes per
column, and a level moves by a few per cent between samples.

Where no rearrangement can reach 5 % (too few ids), the level is NaN and
the page says "too few ids to tell".
"""

import numpy as np
import pandas as pd
from scipy import special

from .divergence import round_significant

SEED = 20240526
# Rearrangements of whole ids for a permutation level; fewer for a column
# of more than LARGE rows, whose levels are then estimated less finely but
# sooner.
REARRANGEMENTS = 999
FEWER = 199
LARGE = 20000
# Ids whose rearrangements give a permutation level: beyond, a sample of
# this many ids (see arranged_levels).
SAMPLED = 10000
# The test level of every noise level.
ALPHA = 0.05
# Above this product of the two sizes the critical value comes from the
# limit distribution (with Stephens' small-sample scaling) instead.
EXACT_CELLS = 250000
# Rows times rearrangements handled at once.
CHUNK = 4000000


class _Arrangements:
    def __init__(self, rows, count, seed):
        state = np.random.RandomState(seed)
        self.rows = rows
        if rows.paired:
            self.units = state.random_sample((count, rows.units)) < 0.5
        else:
            compared = np.bincount(rows.unit[rows.frame == 1], minlength=rows.units) > 0
            self.units = np.array([state.permutation(compared) for _ in range(count)])

    def __getitem__(self, where):
        units = self.units[where]
        labels = units[:, self.rows.unit]
        if self.rows.paired:
            labels ^= (self.rows.frame == 1)
        return labels


def ks_tail(m, n, h):
    """P(D >= h / (m n)) of the two-sample Kolmogorov-Smirnov statistic D
    for samples of sizes m and n without ties, exactly.

    A uniformly random path from (0, 0) to (m, n) (one step per value, in
    the pooled sorted order) avoids the band |i n - j m| >= h with the
    probability computed here, one anti-diagonal at a time: from (i, j)
    the path steps to (i + 1, j) with probability (m - i)/(m + n - i - j).
    """
    inside = np.zeros(m + 1)
    inside[0] = 1.0
    for k in range(1, m + n + 1):
        i = np.arange(max(0, k - n), min(k, m) + 1)
        j = k - i
        new = np.zeros(m + 1)
        # From (i - 1, j): a step in the first sample.
        came = i >= 1
        left = i[came] - 1
        new[i[came]] += inside[left] * (m - left) / (m + n - left - j[came])
        # From (i, j - 1): a step in the second sample.
        came = j >= 1
        new[i[came]] += inside[i[came]] * (n - j[came] + 1) / (m + n - i[came] - j[came] + 1)
        new[i[np.abs(i * n - j * m) >= h]] = 0.0
        keep = np.zeros(m + 1, dtype=bool)
        keep[i] = True
        inside = np.where(keep, new, 0.0)
    return 1.0 - inside[m]


_LEVELS = {}


def ks_level(m, n, alpha=ALPHA):
    """The smallest value d of the two-sample Kolmogorov-Smirnov statistic
    at sizes m and n with P(D >= d) <= ``alpha`` under the null; NaN where
    even D = 1 is more likely than that (too few values to tell).

    Exact for m n up to ``EXACT_CELLS``; beyond, the limit law at Stephens'
    scaling (sqrt(e) + 0.12 + 0.11/sqrt(e)) D, e = m n/(m + n).
    """
    m, n = int(m), int(n)
    if m < 1 or n < 1:
        return np.nan
    key = (min(m, n), max(m, n), alpha)
    if key in _LEVELS:
        return _LEVELS[key]
    m, n = key[:2]
    if m * n > EXACT_CELLS:
        e = np.sqrt(m * n / (m + n))
        level = special.kolmogi(alpha) / (e + 0.12 + 0.11 / e)
    elif ks_tail(m, n, m * n) > alpha:
        level = np.nan
    else:
        low, high = 0, m * n  # P(D >= high/(mn)) <= alpha < P(D >= low/(mn))
        while high - low > 1:
            middle = (low + high) // 2
            if ks_tail(m, n, middle) <= alpha:
                high = middle
            else:
                low = middle
        # |i n - j m| takes the multiples of gcd(m, n) only.
        step = np.gcd(m, n)
        level = -(-high // step) * step / (m * n)
    _LEVELS[key] = level
    return level


class Rows:
    """The rows of one column of both frames, pooled, with their units.

    ``values``: the pooled values (the reference's rows first); ``frame``:
    0 or 1; ``unit``: the id of the row, numbered over both frames (one
    number for an id under id pairing, where both frames hold it); ``time``:
    the code of the row's time point (-1 for none).
    """

    def __init__(self, values, frame, unit, time, paired):
        self.values, self.frame, self.unit, self.time = values, frame, unit, time
        self.paired = paired
        self.units = int(unit.max()) + 1 if len(unit) else 0

    def arrangements(self, count, seed=SEED):
        """Frame labels of every row (rows of booleans: compared frame)
        under ``count`` random rearrangements of whole ids, one row each,
        made as they are read."""
        return _Arrangements(self, count, seed)

    def possible(self):
        """The number of distinct rearrangements of whole ids."""
        if self.paired:
            return 2.0 ** min(self.units, 1000)  # more than enough, without overflow
        compared = len(np.unique(self.unit[self.frame == 1]))
        return special.comb(self.units, compared)


class _Sorted:
    """Values sorted once, for the KS statistic of many labellings.

    With ``unit`` and ``flip`` (the rows' units and whether a row is the
    compared frame's, under id pairing) the labellings may be given per
    unit (:meth:`units`): the rows' labels are then read, in sorted order,
    from a table as small as the number of units, instead of gathering the
    labels of every row into sorted order.
    """

    def __init__(self, values, unit=None, flip=None):
        self.order = np.argsort(values, kind="stable")
        ordered = values[self.order]
        ends = np.flatnonzero(np.r_[ordered[1:] != ordered[:-1], True])
        # Without ties every position ends a run of equal values.
        self.ends = None if len(ends) == len(ordered) else ends
        if unit is not None:
            self.unit = unit[self.order]
            self.flip = None if flip is None else flip[self.order]

    def __call__(self, labels):
        """KS statistic between the rows labelled False and True, per row
        of ``labels`` (rearrangements x rows)."""
        return self._statistic(labels[:, self.order])

    def units(self, chosen):
        """KS statistic per row of ``chosen`` (rearrangements x units): the
        units whose rows are labelled True (under id pairing, whose rows
        swap frames)."""
        labels = chosen[:, self.unit]
        if self.flip is not None:
            labels ^= self.flip
        return self._statistic(labels)

    def _statistic(self, ordered):
        # n1 n2 (F1 - F2) at position p, F the empirical distributions of the
        # rows labelled False (n1 of them) and True (n2): (p + 1) n2 - N c,
        # c the True rows up to p, N = n1 + n2; exact in integers.
        second = np.cumsum(ordered, axis=1, dtype=np.int32)
        n2 = second[:, -1:].astype(np.int64)
        total = ordered.shape[1]
        if self.ends is not None:
            second = second[:, self.ends]
            place = self.ends + 1
        else:
            place = np.arange(1, total + 1)
        gap = place[None, :] * n2
        # In int64: N c passes 2 ** 31 beyond about 46,000 rows, and an
        # int64 scalar times an int32 array stays int32 on numpy 1.
        gap -= np.multiply(second, total, dtype=np.int64)
        spread = np.maximum(gap.max(axis=1), -gap.min(axis=1)).astype(float)
        with np.errstate(divide="ignore", invalid="ignore"):
            return spread / ((total - n2[:, 0]) * n2[:, 0])


class _Counted:
    """Label codes, for the total variation distance of many labellings;
    per unit (:meth:`units`) through each unit's label counts."""

    def __init__(self, codes, unit=None, flip=None):
        nlabels = int(codes.max()) + 1 if len(codes) else 1
        self.onehot = np.zeros((len(codes), nlabels))
        self.onehot[np.arange(len(codes)), codes] = 1.0
        if unit is not None:
            units = int(unit.max()) + 1 if len(unit) else 0
            counts = [np.zeros((units, nlabels)), np.zeros((units, nlabels))]
            side = np.zeros(len(codes), dtype=bool) if flip is None else flip
            for k, rows in enumerate((~side, side)):
                np.add.at(counts[k], (unit[rows], codes[rows]), 1.0)
            # Compared counts: base + chosen @ change (chosen units' rows
            # labelled True; under id pairing, a chosen unit swaps frames).
            self.base, self.change = counts[1], counts[0] - counts[1]
            self.base = self.base.sum(axis=0)

    def __call__(self, labels):
        return self._distance(labels.astype(float) @ self.onehot)

    def units(self, chosen):
        # Units past the last that holds one of these rows change nothing.
        return self._distance(self.base + chosen[:, :len(self.change)].astype(float)
                              @ self.change)

    def _distance(self, second):
        first = self.onehot.sum(axis=0) - second
        with np.errstate(divide="ignore", invalid="ignore"):
            return 0.5 * np.abs(first / first.sum(axis=1, keepdims=True)
                                - second / second.sum(axis=1, keepdims=True)).sum(axis=1)


def permutation_levels(rows, is_label, times=0, count=None):
    """The 95th percentile, over ``count`` rearrangements of whole ids, of
    the divergence of all rows together, of the largest divergence over
    the ``times`` time points, and of the divergence at each of them:
    (pooled level, simultaneous level, array of ``times`` levels under id
    pairing, else NaN), NaN where fewer than 20 rearrangements exist, and
    at a time point where a frame has no value. By default 999 rearrangements, 199 for more than 20,000
    rows."""
    each = np.full(times, np.nan)
    if rows.possible() * ALPHA < 1 or not len(rows.values):
        return np.nan, np.nan, each
    if count is None:
        count = REARRANGEMENTS if len(rows.values) <= LARGE else FEWER
    kind = _Counted if is_label else _Sorted
    flip = (rows.frame == 1) if rows.paired else None
    whole = kind(rows.values, rows.unit, flip)
    at = [np.flatnonzero(rows.time == t) for t in range(times)]
    held = [t for t in range(times) if len(at[t])]
    parts = [kind(rows.values[at[t]], rows.unit[at[t]], None if flip is None else flip[at[t]])
             for t in held]
    chosen = rows.arrangements(count).units
    pooled, largest = np.empty(count), np.zeros(count)
    drawn = np.empty((len(held), count))
    step = max(1, CHUNK // max(len(rows.values), 1))
    for start in range(0, count, step):
        chunk = chosen[start:start + step]
        pooled[start:start + step] = whole.units(chunk)
        for k, statistic in enumerate(parts):
            drawn[k, start:start + step] = statistic.units(chunk)
            largest[start:start + step] = np.fmax(largest[start:start + step],
                                                  drawn[k, start:start + step])
    for k, t in enumerate(held):
        if rows.paired and np.bincount(rows.frame[at[t]], minlength=2).min() > 0:  # both frames hold values
            each[t] = critical(drawn[k])
    return critical(pooled), critical(largest) if parts else np.nan, each


def critical(drawn, alpha=ALPHA):
    """The smallest value v with at most ``alpha`` of ``drawn`` at v or
    above: a value is beyond noise when it is at least v. Just above the
    largest drawn value when every value is more likely than that (a
    degenerate null, where nothing is beyond noise)."""
    # Rounded as the page's values are, so that the same divergence reached
    # by other arithmetic counts as the same value.
    values = np.sort(round_significant(np.asarray(drawn, dtype=float)))
    unique = np.unique(values)
    share = 1.0 - np.searchsorted(values, unique, side="left") / len(values)
    rare = unique[share <= alpha]
    return rare[0] if len(rare) else np.nextafter(values[-1], np.inf)


def population_levels(frames, names, meta, columns, paired, summaries):
    """The noise levels of every number of :func:`_population`'s tables.

    Parameters
    ----------
    frames : list of pandas.DataFrame
        Prepared frames (indexed by id, time, sorted), the reference first.
    names : list of str
    meta : kestrune.DataFrameMeta
    columns : list of str
    paired : bool
        The frames hold the same ids (id pairing).
    summaries : list of pandas.DataFrame, optional
        The ids' summaries of each frame; computed when not given.

    Returns
    -------
    dict
        ``"columns"``, ``"over_time"`` and ``"summaries"``: tables of the
        shape of the population's, each value's null 95 % level (NaN: too
        few ids to tell); ``"band"``: per column (rows) and compared frame,
        the level that the largest value over the time points passes with
        5 % chance; ``"ids"``: the number of ids of each frame.
    """
    if summaries is None:
        from .pairing import _labels, _summaries
        labels = _labels(frames, meta, columns)
        summaries = [_summaries(f, meta, columns, labels) for f in frames]
    categorical = set(meta.categorical)
    reference = frames[0]
    times = reference.index.get_level_values(1).unique()
    try:
        times = times.sort_values()
    except TypeError:
        pass
    pooled, band, over_time = {}, {}, {}
    for name, frame in zip(names[1:], frames[1:]):
        pooled[name], band[name], each = arranged_levels(
            reference, frame, columns, categorical, paired, times)
        for column in columns:
            over_time[(name, column)] = each[column]
    over = pd.DataFrame(over_time, index=times)
    if over_time:
        over.columns = pd.MultiIndex.from_tuples(list(over_time))
    entries = summaries[0].columns
    summary = {}
    for name, table in zip(names[1:], summaries[1:]):
        counts = [s[entries].notna().sum(axis=0).to_numpy() for s in (summaries[0], table)]
        summary[name] = [ks_level(a, b) for a, b in zip(*counts)]
    return {"columns": pd.DataFrame(pooled, index=pd.Index(columns)),
            "band": pd.DataFrame(band, index=pd.Index(columns)),
            "over_time": over,
            "summaries": pd.DataFrame(summary, index=pd.Index(entries)),
            "ids": pd.Series([f.index.get_level_values(0).nunique() for f in frames],
                             index=list(names))}


def sampled_ids(ids, most=None, salt=0):
    """The ids whose rearrangements give a permutation level: every id up
    to ``most``, else the ``most`` ids of smallest key (a hash of the id's
    value, so the same ids whatever the frames' row order or partitions),
    in the order of ``ids``. ``salt`` keys another frame's ids apart."""
    ids = pd.Index(ids)
    most = SAMPLED if most is None else most
    if len(ids) <= most:
        return ids
    return ids[np.sort(np.argsort(_keys(ids, salt), kind="stable")[:most])]


def _keys(ids, salt):
    from .calibration import _mix, id_keys
    return _mix(id_keys(ids) ^ np.uint64(salt))


def arranged_levels(reference, frame, columns, categorical, paired, times, sizes=None,
                    counts=None):
    """The permutation levels of one compared frame's columns (see
    :func:`permutation_levels`): per column the pooled level and the band's
    (two lists) and the levels of each of ``times`` (a dict of arrays).

    Over more than :data:`SAMPLED` ids the rearrangements deal the ids of a
    sample and each level is scaled to the whole frames: each of these
    statistics shrinks as one over the root of the number of independent
    units (the ids) as they grow, whatever the dependence within an id, as
    sqrt(1/n1 + 1/n2) for n1 and n2 ids. Under id pairing the sample is
    :func:`sampled_ids` of the ids of both frames; otherwise the
    ``SAMPLED`` ids of smallest key of the two frames' ids together, each
    frame's keyed apart (each time point's level, exact from its sizes,
    then comes from every row). By default the frames hold every id and
    are sampled here; with ``sizes`` (the ids of the reference, of the
    compared frame and, under id pairing, of both) they hold the sample's
    rows only (the caller sampled them). ``counts``: the rearrangements of
    a column of at most ``LARGE`` rows and of more (by default
    ``REARRANGEMENTS`` and ``FEWER``; a caller on other processes passes
    its own).
    """
    counts = (REARRANGEMENTS, FEWER) if counts is None else counts
    own = [f.index.get_level_values(0).unique() for f in (reference, frame)]
    union = own[0].append(own[1]).unique() if paired else None
    timed = {}
    if sizes is None:
        sizes = (len(own[0]), len(own[1])) + ((len(union),) if paired else ())
        chosen = None
        if paired and len(union) > SAMPLED:
            chosen = [sampled_ids(union)] * 2
        elif not paired and len(own[0]) + len(own[1]) > SAMPLED:
            keys = np.r_[_keys(own[0], 0), _keys(own[1], 1)]
            cut = np.sort(keys)[SAMPLED - 1]
            chosen = [own[0][keys[:len(own[0])] <= cut], own[1][keys[len(own[0]):] <= cut]]
            # Each time point's exact level needs the sizes of every row.
            for column in columns:
                timed[column] = _time_levels(
                    _rows(reference, frame, column, categorical, own, None, times),
                    column in categorical, len(times))
        if chosen is not None:
            reference, frame = (f[f.index.get_level_values(0).isin(c)]
                                for f, c in zip((reference, frame), chosen))
            own = [f.index.get_level_values(0).unique() for f in (reference, frame)]
            union = own[0].append(own[1]).unique() if paired else None
    if paired:
        scale = np.sqrt(len(union) / sizes[2]) if sizes[2] else 1.0
    else:
        with np.errstate(divide="ignore", invalid="ignore"):
            scale = np.sqrt((1 / sizes[0] + 1 / sizes[1]) / (1 / len(own[0]) + 1 / len(own[1])))
        scale = float(scale) if np.isfinite(scale) else 1.0
    pooled, band, each = [], [], {}
    for column in columns:
        rows = _rows(reference, frame, column, categorical, own, union, times)
        is_label = column in categorical
        level, simultaneous, at = permutation_levels(
            rows, is_label, times=len(times),
            count=counts[0] if len(rows.values) <= LARGE else counts[1])
        pooled.append(_scaled(level, scale))
        band.append(_scaled(simultaneous, scale))
        if paired:
            each[column] = _scaled(at, scale)
        else:
            each[column] = timed[column] if column in timed else \
                _time_levels(rows, is_label, len(times))
    return pooled, band, each


def _rows(reference, frame, column, categorical, own, union, times):
    """The :class:`Rows` of one column of both frames: units numbered over
    ``union`` under id pairing (None otherwise: each frame's ``own`` ids
    apart)."""
    index = [f.index.get_level_values(0) for f in (reference, frame)]
    if union is not None:
        unit = np.concatenate([union.get_indexer(i) for i in index])
    else:
        unit = np.r_[own[0].get_indexer(index[0]), own[1].get_indexer(index[1]) + len(own[0])]
    side = np.r_[np.zeros(len(reference), int), np.ones(len(frame), int)]
    time = np.concatenate([times.get_indexer(i) for i in
                           (f.index.get_level_values(1) for f in (reference, frame))])
    values = np.concatenate([np.asarray(f[column]) for f in (reference, frame)])
    if column in categorical:
        present = np.ones(len(values), dtype=bool)
        values = pd.factorize(pd.Series(values, dtype=object).fillna(
            "\0missing").to_numpy(dtype=object))[0]
    else:
        values = values.astype(float)
        present = ~np.isnan(values)
    return Rows(values[present], side[present], unit[present], time[present],
                union is not None)


def _scaled(level, scale):
    if scale == 1.0:
        return level
    found = round_significant(np.asarray(level, dtype=float) * scale)
    return float(found) if np.ndim(found) == 0 else found


def _time_levels(rows, is_label, times):
    """The level of the divergence across ids at each time point: the exact
    KS critical value at the numbers of values (continuous), or the 95th
    percentile over rearrangements of the ids' labels at that time point."""
    out = np.full(times, np.nan)
    for t in range(times):
        at = rows.time == t
        sizes = np.bincount(rows.frame[at], minlength=2)
        if sizes.min() == 0:
            continue
        if not is_label:
            out[t] = ks_level(*sizes)
            continue
        if special.comb(sizes.sum(), sizes[1]) * ALPHA < 1:
            continue
        out[t] = critical(_dealt_labels(rows.values[at], sizes[1], REARRANGEMENTS,
                                        np.random.RandomState(SEED + t)))
    return out


def _dealt_labels(codes, compared, count, state):
    """The total variation distance between the labels ``codes`` dealt at
    random, ``compared`` of them to the compared frame and the rest to the
    reference, ``count`` times. Only the labels' counts in each frame
    matter, so the deals are drawn as counts: label after label, the number
    of its values in the compared frame is hypergeometric given what the
    earlier labels took."""
    totals = np.bincount(codes)
    second = np.zeros((count, len(totals)))
    wanted = np.full(count, compared, dtype=np.int64)
    left = int(totals.sum())
    for k, total in enumerate(totals[:-1]):
        left -= total
        if total:
            drawn = state.hypergeometric(total, max(left, 0) + (left == 0), np.maximum(wanted, 1))
            # (nsample of 0, or no other values left, are outside numpy's range.)
            drawn = np.where(wanted > 0, np.minimum(drawn, wanted) if left else wanted, 0)
            second[:, k] = drawn
            wanted = wanted - drawn
    second[:, -1] = wanted
    first = totals - second
    return 0.5 * np.abs(first / first.sum(axis=1, keepdims=True)
                        - second / compared).sum(axis=1)
