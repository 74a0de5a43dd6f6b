"""One verdict per compared frame, column and measure, over the whole panel.

The per-id p-values of :func:`measure_table` answer "which ids differ?";
short series leave most of them silent. A verdict answers "does this frame
get the column wrong?" by pooling the evidence of every id: each id gives a
contrast between its two series (compared minus reference) that changes
sign when the two series are swapped, and the verdict tests whether the
contrasts lean one way.

The null hypothesis under id pairing: in each id both series are
independent draws of one process, which may differ from id to id. Swapping
the two series of any set of ids then leaves the joint distribution of the
contrasts unchanged, which gives an exact test (random swaps of the ids, or
the normal limit when there are many ids). The verdicts test a *systematic*
difference, shared by many ids; a difference that goes one way in some ids
and the other way in as many others leaves the sum of contrasts at zero.

Before the contrasts are taken, each frame's mean over the ids at every
time point is removed from its continuous columns: a time factor shared by
every id (a business cycle, a season) differs between two independent
draws, moves every id's contrast the same way and would make any test that
takes ids as independent units call honest panels different. A shift of
every id by the same amount is removed with it, and so is most of a shift
of a few ids (a tenth of the ids moved by one moves the frame's mean by a
tenth, which the removal takes from every id). The distribution verdict of
a continuous column therefore joins two tests by Bonferroni's rule (twice
the smaller p-value): the contrasts per id below, which see how the ids
move against each other, and a test of the shift shared by every id, the
mean over the time points of the mean contrast over the ids, whose noise
is the time factors' and the ids' (:mod:`.shift`). The verdict's method
says which of the two gave the smaller p-value; its effect is that test's
(the shared shift in the column's units, or the leading contrast). A time
factor limits what the shared test can see: it cannot tell a shift from
the time factors' own swings over the span.

Contrasts per measure (``c`` is the contrast of one id, one entry per
component of the vector):

``distribution``, continuous
    the difference of the means over the pooled standard deviation of the
    two series, its cube (a shift of a few ids leaves the mean of the first
    near zero but not that of the cube), and the log ratio of the standard
    deviations.
``dynamics``, continuous
    the difference of the lag-1 autocorrelations.
``dependence``
    the difference of Fisher's z of the Spearman correlation with each other
    continuous column.
``distribution``, categorical
    the difference of the shares of each label but the last.
``dynamics``, categorical
    the difference of the chance of keeping each label from one row to the
    next (0 where either series never leaves that label's rows).

The statistic is the self-normalised quadratic form T = S' V^+ S, S the sum
of the contrasts over the ids and V the sum of their outer products (V^+ its
pseudo-inverse): under random swaps S has mean 0 and covariance V exactly,
so T is near chi-square with as many degrees of freedom as V has rank.
"""

import numpy as np
import pandas as pd
from scipy import special, stats

from .divergence import _sorted_union, round_significant
from .grouped import order_within, sorted_ranks
from .measures import (FEWEST, MEASURES, _checked_measures, _level, _measures, _Rows,
                       benjamini_hochberg)
from .shift import shared_shift

#: The columns of a verdict table, in order.
FIELDS = ("frame", "column", "measure", "statistic", "effect", "low", "high",
          "p", "q", "ids", "contrast", "method")
# Above this many ids the normal limit gives the p-value; at or below it,
# swaps of the ids.
NORMAL_LIMIT = 50
# Random swaps when the ids are too many to swap in every way.
SWAPS = 9999
# Fewer ids than this cannot reach p < 0.05 by swaps for some contrasts
# (2 ** 5 = 32 arrangements at most): the cells' p-values are combined.
FEWEST_IDS = 6
# At or below this many ids every arrangement of the swaps is counted.
EXACT = 13
# A verdict whose q-value is below this is beyond sampling noise.
NOISE = 0.05
SEED = 20240525
# Spearman correlations are clipped here before Fisher's z.
STEEPEST = 0.999
# Contrasts smaller than this are taken as 0.
ROUNDING = 1e-9

METHODS = {"swaps": "swaps of the two frames within ids",
           "normal": "normal limit of swaps within ids",
           "fisher": "Fisher's combination of the ids' cell p-values "
                     "(fewer than 6 ids)",
           "pooled": "permutations of the pooled ids (two samples)",
           "pooled-normal": "normal limit of the two-sample statistic",
           "shared": "t-test of the shift shared by every id over the time points"}
# The distribution verdict of a continuous column under id pairing joins two
# tests by Bonferroni's rule; its method names both and the one that found
# the smaller p-value.
BOTH = "{} and {} (Bonferroni); smaller p: {}"


def verdict_table(reference, other, meta, columns=None, ids=None,
                  measures=MEASURES, name="frame 2", pairing="ids"):
    """Verdicts of ``other`` against ``reference`` per column and measure.

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Two panel frames that ``meta`` describes, with the id and the time
        as index levels or as columns.
    meta : kestrune.DataFrameMeta
    columns : list of str, optional
        The data columns; every column of ``meta`` by default.
    ids : sequence, optional
        Under id pairing, the ids whose two series are compared; by default
        those of both frames.
    measures : sequence of str, optional
        Some of ``"distribution"``, ``"dynamics"``, ``"dependence"``.
    name : str, optional
        The compared frame's name, for the ``frame`` column.
    pairing : {"ids", "nearest"}, optional
        ``"ids"``: the contrasts of each id's two series, swapped within
        ids. ``"nearest"``: the ids of the two frames are different units:
        the per-id statistics of the compared ids against those of the
        reference ids, by permutations of the pooled ids.

    Returns
    -------
    pandas.DataFrame
        One row per (column, measure) that is defined, with ``frame``,
        ``column``, ``measure``, ``statistic`` (T, or Fisher's chi-square
        below 6 ids), ``effect`` (the mean contrast of the leading
        component, ``contrast``, over the ids; under nearest pairing the
        difference of the frames' mean statistics), ``low`` and ``high``
        (its 95 % interval; NaN below 6 ids, where no interval agrees with
        the verdict's test), ``p``, ``q`` (Benjamini-Hochberg over the
        table's rows), ``ids`` (the ids that enter) and ``method``.

    Notes
    -----
    Under id pairing with 6 to 50 ids the p-value counts the swaps (every
    one of the 2^n arrangements up to 13 ids, else 9,999 random ones with
    a fixed seed) whose T is at least the observed one; above 50 ids it is
    the chi-square tail of T. Below 6 ids no arrangement of swaps reaches
    5 %: the p-value is then Fisher's combination of the per-id p-values of
    :func:`measure_table`, which test each id on its own.

    The distribution verdict of a continuous column (under id pairing
    from 6 ids on) also tests the shift shared by every id, which the
    removal of each frame's means over time takes from the contrasts
    (:mod:`.shift`): its p-value is twice the smaller of the two, and its
    ``method`` says which test gave that; where the shared shift did, the
    effect is that shift in the column's units.

    """
    measures = _checked_measures(measures)
    if pairing not in ("ids", "nearest"):
        raise ValueError("pairing must be 'ids' or 'nearest', got {!r}".format(pairing))
    reference = meta.set_indices(reference)
    other = meta.set_indices(other)
    columns = list(meta.columns) if columns is None else list(columns)
    return _finished(_verdicts(reference, other, meta, columns, ids, measures,
                               name, pairing))


def _verdicts(reference, other, meta, columns, ids, measures, name, pairing):
    """The rows of :func:`verdict_table` of prepared frames (indexed by id,
    time, sorted), without q-values."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if pairing == "nearest":
            rows = _nearest(reference, other, meta, columns, measures)
        else:
            ids = _shared(reference, other) if ids is None else pd.Index(ids)
            rows = _paired(reference, other, meta, columns, ids, measures)
    return [dict(row, frame=name) for row in rows]


def _shared(reference, other):
    ids = _sorted_union(reference, other)
    held = [f.index.get_level_values(0).unique() for f in (reference, other)]
    return ids[ids.isin(held[0]) & ids.isin(held[1])]


def _finished(rows):
    """The verdict table of rows (of one or several compared frames), with
    q-values over them all."""
    table = pd.DataFrame(rows, columns=list(FIELDS))
    table["q"] = benjamini_hochberg(table["p"].to_numpy(dtype=float))
    for field in ("statistic", "effect", "low", "high", "p"):
        table[field] = round_significant(table[field].to_numpy(dtype=float))
    table["ids"] = table["ids"].astype(int)
    return table




# -- Statistics per id -------------------------------------------------------

def _centred(frame, columns, means=None):
    """The continuous ``columns`` less the frame's mean at each time point
    (``means``, time points x columns, when the frame is a part of one)."""
    times = frame.index.get_level_values(1)
    out = frame[columns].astype(float)
    if means is None:
        means = out.groupby(times).mean()
    held, place = _level(frame.index, 1)
    means = means[columns]
    # Rounded to 12 digits: a mean summed in another order (over a dask
    # frame's partitions) is then the same number, and ties between
    # centred values, which the ranks of the dependence see, stay ties.
    means = pd.DataFrame(round_significant(means.to_numpy(dtype=float)), index=means.index,
                         columns=means.columns)
    return out - means.reindex(held).to_numpy()[place]


class _Stats:
    """Per-id statistics of one frame over ``ids`` (rows in id, time order)."""

    def __init__(self, frame, ids, meta, columns, means=None):
        self.rows = _Rows(frame, ids)
        size = self.rows.ngroups
        categorical = set(meta.categorical)
        self.numeric = [c for c in columns if c not in categorical]
        centred = _centred(frame, self.numeric, means).to_numpy()[self.rows.kept]
        codes = self.rows.codes
        first, second = self.rows.pairs(1)
        self.mean, self.sd, self.r, self.values = {}, {}, {}, {}
        for n, column in enumerate(self.numeric):
            x = centred[:, n]
            present = ~np.isnan(x)
            count = np.bincount(codes[present], minlength=size)
            total = np.bincount(codes[present], weights=x[present], minlength=size)
            mean = total / count
            deviation = np.where(present, x - mean[codes], 0.0)
            square = np.bincount(codes, weights=deviation ** 2, minlength=size)
            sd = np.sqrt(square / (count - 1))
            kept = present[first] & present[second]
            both, after = first[kept], second[kept]
            cross = np.bincount(codes[both], weights=deviation[both] * deviation[after],
                                minlength=size)
            usable = (count >= FEWEST) & (sd > 0)
            self.mean[column] = np.where(count > 0, mean, np.nan)
            self.sd[column] = np.where(count >= 2, sd, np.nan)
            self.r[column] = np.where(usable, cross / square, np.nan)
            self.values[column] = x
        self.codes = codes
        self.size = size
        self._ranks, self._orders = {}, {}

    def fisher_z(self, first, second):
        """Fisher's z of the Spearman correlation of two columns per id."""
        key = frozenset((first, second))
        if key not in self._ranks:
            self._ranks[key] = self._fisher_z(first, second)
        return self._ranks[key]

    def _fisher_z(self, first, second):
        x, y = self.values[first], self.values[second]
        both = ~np.isnan(x) & ~np.isnan(y)
        codes = self.codes[both]
        count = np.bincount(codes, minlength=self.size)
        if not len(codes):
            return np.full(self.size, np.nan)
        middle = (count[codes] + 1) / 2
        dx, dy = (self._ranks_of(v, o[both[o]], both) - middle
                  for v, o in ((x, self._order(first)), (y, self._order(second))))
        sxy = np.bincount(codes, weights=dx * dy, minlength=self.size)
        sxx = np.bincount(codes, weights=dx * dx, minlength=self.size)
        syy = np.bincount(codes, weights=dy * dy, minlength=self.size)
        rho = sxy / np.sqrt(sxx * syy)
        rho[(count < FEWEST) | (sxx == 0) | (syy == 0)] = np.nan
        return np.arctanh(np.clip(rho, -STEEPEST, STEEPEST))

    def _ranks_of(self, values, order, rows):
        """Average ranks within the ids of the ``rows`` (a mask) of
        ``values``, ``order`` those rows in id, then value order."""
        ranks = np.empty(len(values))
        ranks[order] = sorted_ranks(self.codes[order], values[order], self.size)[0]
        return ranks[rows]

    def _order(self, column):
        """The rows of the column's present values in id, then value
        order; sorted once, whatever the partner column."""
        if column not in self._orders:
            x = self.values[column]
            present = np.flatnonzero(~np.isnan(x))
            self._orders[column] = present[order_within(self.codes[present], x[present],
                                                        self.size)]
        return self._orders[column]

    def labels(self, codes, nlabels):
        """Shares of each label and the chance of keeping each label."""
        size, ids = self.size, self.rows.codes
        counts = np.bincount(ids * nlabels + codes, minlength=size * nlabels)
        shares = counts.reshape(size, nlabels) / np.maximum(self.rows.size, 1)[:, None]
        first, second = self.rows.pairs(1)
        cell = ids[first] * nlabels + codes[first]
        leaving = np.bincount(cell, minlength=size * nlabels).reshape(size, nlabels)
        kept = np.bincount(cell, weights=codes[first] == codes[second],
                           minlength=size * nlabels).reshape(size, nlabels)
        stay = np.where(leaving > 0, kept / np.maximum(leaving, 1), np.nan)
        shares[self.rows.size < 1] = np.nan
        return shares, stay


def _label_codes(stats, column, seen=None):
    """Codes of the column's labels in both frames, in one numbering: the
    labels sorted (as text where they do not compare), a missing label
    last; the codes of each frame, their number and their names.
    ``seen``: the labels and whether one is missing, of the whole frames
    when ``stats`` hold a part of them."""
    ref, oth = (np.asarray(s.rows.values(column), dtype=object) for s in stats)
    # Each distinct label is looked up once; a missing one is -1.
    found, distinct = pd.factorize(np.concatenate([ref, oth]))
    names = list(distinct) if seen is None else list(seen[0])
    try:
        names = sorted(names)
    except TypeError:
        names = sorted(names, key=str)
    place = pd.Index(names, dtype=object).get_indexer(pd.Index(distinct, dtype=object))
    codes = np.r_[place, len(names)].astype(np.int64)[found]
    some = (found < 0).any() if seen is None else seen[1]
    names = [str(n) for n in names] + (["missing"] if some else [])
    return np.split(codes, [len(ref)]), len(names), names


def _components(stats, meta, columns, measures, seen=None):
    """For each defined (column, measure): the per-id statistics of both
    frames, one array (ids x components) each, and the components' names
    (``seen``: per categorical column, see :func:`_label_codes`)."""
    categorical = set(meta.categorical)
    numeric = stats[0].numeric
    out = []
    for column in columns:
        if column in categorical:
            codes, nlabels, names = _label_codes(
                stats, column, None if seen is None else seen[column])
            per_frame = [s.labels(c, nlabels) for s, c in zip(stats, codes)]
        for measure in measures:
            if column in categorical:
                if measure == "dependence":
                    continue
                if measure == "distribution":
                    parts = [shares[:, :-1] for shares, _ in per_frame]
                    labels = ["share of {}".format(n) for n in names[:-1]]
                else:
                    parts = [stay for _, stay in per_frame]
                    labels = ["chance of keeping {}".format(n) for n in names]
                out.append((column, measure, parts, labels, "labels"))
            elif measure == "distribution":
                parts = [np.column_stack([s.mean[column], np.log(s.sd[column])])
                         for s in stats]
                out.append((column, measure, parts,
                            ["mean over the pooled spread", "cube of it",
                             "log ratio of the spreads"], "location"))
            elif measure == "dynamics":
                parts = [s.r[column][:, None] for s in stats]
                out.append((column, measure, parts, ["lag-1 autocorrelation"], "plain"))
            else:
                partners = [c for c in numeric if c != column]
                if not partners:
                    continue
                parts = [np.column_stack([s.fisher_z(column, p) for p in partners])
                         for s in stats]
                out.append((column, measure, parts,
                            ["Fisher z of Spearman with {}".format(p) for p in partners],
                            "plain"))
    return out


def _contrasts(parts, kind):
    """Per-id contrasts (ids x components), compared minus reference."""
    ref, oth = parts
    if kind == "location":
        pooled = np.sqrt((np.exp(2 * ref[:, 1]) + np.exp(2 * oth[:, 1])) / 2)
        d = (oth[:, 0] - ref[:, 0]) / pooled
        d[~(pooled > 0)] = np.nan
        return np.column_stack([d, d ** 3, oth[:, 1] - ref[:, 1]])
    return oth - ref


# -- The tests ---------------------------------------------------------------

def quadratic(contrasts):
    """T = S' V^+ S and the rank of V, of contrasts (ids x components)."""
    total = contrasts.sum(axis=0)
    outer = contrasts.T @ contrasts
    inverse, rank = _pseudo_inverse(outer)
    return float(total @ inverse @ total), rank


def _pseudo_inverse(matrix):
    values, vectors = np.linalg.eigh(matrix)
    keep = values > max(values.max(initial=0.0), 0.0) * 1e-10
    inverse = (vectors[:, keep] / values[keep]) @ vectors[:, keep].T
    return inverse, int(keep.sum())


def swap_p(contrasts, swaps=SWAPS, seed=SEED):
    """p-value of T under swaps of the frames within ids.

    Every one of the 2^n arrangements for n up to ``EXACT`` ids, else
    ``swaps`` random ones (fixed seed) and the observed one. The random
    swaps are dealt to the ids in the order of their contrasts, so the
    p-value does not depend on the order in which the ids come (first
    seen in a frame, or sorted by id on dask frames).
    """
    n = len(contrasts)
    observed, _ = quadratic(contrasts)
    if n <= EXACT:
        signs = 1 - 2 * ((np.arange(2 ** n)[:, None] >> np.arange(n)) & 1)
        extra = 0
    else:
        contrasts = contrasts[np.lexsort(contrasts.T[::-1])]
        signs = np.random.RandomState(seed).choice([-1.0, 1.0], size=(swaps, n))
        extra = 1
    outer = contrasts.T @ contrasts  # the same under every swap
    inverse, _ = _pseudo_inverse(outer)
    totals = signs @ contrasts
    values = np.einsum("ij,jk,ik->i", totals, inverse, totals)
    beyond = np.sum(values >= observed * (1 - 1e-9))
    return (beyond + extra) / (len(signs) + extra)


def _effect(column):
    """Mean and 95 % interval (Student's t) of one contrast over the ids."""
    n = len(column)
    mean = column.mean()
    if n < 2:
        return mean, np.nan, np.nan
    half = stats.t.ppf(0.975, n - 1) * column.std(ddof=1) / np.sqrt(n)
    return mean, mean - half, mean + half


def _leading(contrasts):
    """The component whose mean stands out most from its spread."""
    spread = np.sqrt((contrasts ** 2).sum(axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.abs(contrasts.sum(axis=0)) / spread
    return int(np.nanargmax(np.where(spread > 0, z, -1.0)))


def _leading_of(sums):
    """:func:`_leading` from :func:`summed` sums."""
    _, total, outer = sums
    spread = np.sqrt(np.diag(outer))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.abs(total) / spread
    return int(np.nanargmax(np.where(spread > 0, z, -1.0)))


def _effect_of(sums, lead):
    """:func:`_effect` of component ``lead`` from :func:`summed` sums."""
    n, total, outer = sums
    mean = total[lead] / n
    if n < 2:
        return mean, np.nan, np.nan
    variance = max(outer[lead, lead] - n * mean * mean, 0.0) / (n - 1)
    half = stats.t.ppf(0.975, n - 1) * np.sqrt(variance) / np.sqrt(n)
    return mean, mean - half, mean + half


def _quadratic_of(sums):
    """:func:`quadratic` from :func:`summed` sums."""
    _, total, outer = sums
    inverse, rank = _pseudo_inverse(outer)
    return float(total @ inverse @ total), rank


def _paired(reference, other, meta, columns, ids, measures):
    stats_ = [_Stats(f, ids, meta, columns) for f in (reference, other)]
    found = {}

    def cells():
        if "cells" not in found:
            found["cells"] = _measures(reference, other, meta, columns, ids, measures)[1]
        return found["cells"]

    def shift(column):
        if "shifts" not in found:
            found["shifts"] = _Shifts(reference, other, ids)
        return found["shifts"].test(column)
    return _tested(_components(stats_, meta, columns, measures), cells, shift)


def _tested(components, cells_of, shift_of):
    """The verdict rows of the per-id statistics ``components`` (see
    :func:`_components`); ``cells_of()`` gives the cells' p-values where
    too few ids swap, ``shift_of(column)`` the test of the shared shift."""
    rows = []
    for column, measure, parts, labels, kind in components:
        row = verdict_row(column, measure, labels, kind, cleaned(parts, kind)[0], None,
                          cells_of, shift_of)
        if row is not None:
            rows.append(row)
    return rows


def cleaned(parts, kind):
    """The contrasts of the ids where one is defined (ids x components),
    and which ids those are (a mask)."""
    contrasts = _contrasts(parts, kind)
    defined = ~np.isnan(contrasts).all(axis=1)
    contrasts = np.nan_to_num(contrasts[defined], nan=0.0)
    # Every contrast is a pure number near 1 in size: below ROUNDING it
    # is the rounding of equal values (a copy with each id's rows
    # reordered has the same means and spreads), which swaps would
    # otherwise weigh as a difference.
    contrasts[np.abs(contrasts) < ROUNDING] = 0.0
    return contrasts, defined


def summed(contrasts):
    """What a verdict needs of contrasts beyond ``NORMAL_LIMIT`` ids, where
    its test is the normal one: their number, their sum and the sum of
    their outer products; parts of the ids add up."""
    return len(contrasts), contrasts.sum(axis=0), contrasts.T @ contrasts


def verdict_row(column, measure, labels, kind, contrasts, sums, cells_of, shift_of):
    """One verdict row from the ids' ``contrasts`` or, where they are None,
    from their :func:`summed` sums (more than ``NORMAL_LIMIT`` ids); None
    where no id has a contrast."""
    n = len(contrasts) if contrasts is not None else sums[0]
    row = {"column": column, "measure": measure, "ids": n}
    if n == 0:
        return None
    if contrasts is not None:
        lead = _leading(contrasts)
        row["effect"], row["low"], row["high"] = _effect(contrasts[:, lead])
    else:
        lead = _leading_of(sums)
        row["effect"], row["low"], row["high"] = _effect_of(sums, lead)
    row["contrast"] = labels[lead]
    if n < FEWEST_IDS:
        p = cells_of()[(column, measure)].to_numpy(dtype=float)
        p = p[~np.isnan(p)]
        statistic = -2 * np.log(np.maximum(p, 1e-300)).sum()
        row["statistic"] = statistic
        row["p"] = special.chdtrc(2 * len(p), statistic) if len(p) else np.nan
        row["method"] = METHODS["fisher"]
        # A t interval of so few contrasts could exclude 0 where the
        # test finds nothing: no interval rather than two answers.
        row["low"] = row["high"] = np.nan
    else:
        statistic, rank = quadratic(contrasts) if contrasts is not None else \
            _quadratic_of(sums)
        row["statistic"] = statistic
        if rank == 0:
            row["p"] = 1.0
            row["method"] = METHODS["swaps"]
        elif n > NORMAL_LIMIT:
            row["p"] = special.chdtrc(rank, statistic)
            row["method"] = METHODS["normal"]
        else:
            row["p"] = swap_p(contrasts)
            row["method"] = METHODS["swaps"]
        if kind == "location":
            _joined(row, shift_of(column))
    return row


def _joined(row, shift):
    """Join the test of the shared shift to a distribution verdict: the
    smaller p-value of the two, doubled; the effect of the test that gave
    it."""
    effect, low, high, p = shift
    if np.isnan(p):
        return
    rest = row["method"]
    if p < row["p"]:
        row["effect"], row["low"], row["high"] = effect, low, high
        row["contrast"] = "shift shared by every id"
    row["method"] = BOTH.format(rest, METHODS["shared"],
                                "shared shift" if p < row["p"] else "contrasts per id")
    row["p"] = min(1.0, 2 * min(p, row["p"]))


class _Shifts:
    """The rows for the test of the shift shared by every id
    (:func:`shared_shift`). Under id pairing (``ids`` given) the rows that
    both frames hold for the same id and time point, whose contrasts are
    tested; otherwise every row of both frames, the ids of each its own."""

    def __init__(self, reference, other, ids=None):
        times = reference.index.get_level_values(1).unique().append(
            other.index.get_level_values(1).unique()).unique()
        try:
            times = times.sort_values()
        except TypeError:
            pass
        self.frames = reference, other
        codes = [times.get_indexer(f.index.get_level_values(1)).astype(np.int64)
                 for f in self.frames]
        if ids is None:
            held = [f.index.get_level_values(0) for f in self.frames]
            numbered = [pd.Index(h.unique()).get_indexer(h) for h in held]
            self.ids = np.concatenate([numbered[0], numbered[1] + held[0].nunique()])
            self.times = np.concatenate(codes)
            self.side = np.repeat([0, 1], [len(h) for h in held])
            return
        keys, places = [], []
        for frame, time in zip(self.frames, codes):
            code = ids.get_indexer(frame.index.get_level_values(0)).astype(np.int64)
            places.append(np.flatnonzero(code >= 0))
            keys.append(code[places[-1]] * len(times) + time[places[-1]])
        common, first, second = np.intersect1d(*keys, return_indices=True)
        self.first, self.second = places[0][first], places[1][second]
        self.ids, self.times = np.divmod(common, len(times))
        self.side = None

    def test(self, column):
        """:func:`shared_shift` of one column."""
        values = [np.asarray(f[column], dtype=float) for f in self.frames]
        if self.side is None:
            first, second = values[0][self.first], values[1][self.second]
            contrast = second - first
            # Equal values reached by other arithmetic are no shift.
            scale = np.nanmax(np.abs(np.r_[first, second, 0.0]))
            contrast[np.abs(contrast) <= 1e-12 * scale] = 0.0
            return shared_shift(self.ids, self.times, contrast)
        return shared_shift(self.ids, self.times, np.concatenate(values), self.side)


# -- Nearest pairing: two samples of ids --------------------------------------

def _sample(parts, kind):
    """Per-id statistics of one frame for the two-sample test."""
    if kind == "location":
        mean, log_sd = parts[:, 0], parts[:, 1]
        return np.column_stack([mean, np.abs(mean - _column_means(mean[:, None])[0]), log_sd])
    return parts


SAMPLE_NAMES = {"location": ["mean", "distance of the mean from the frame's",
                             "log spread"]}


def two_sample(first, second, permutations=999, seed=SEED):
    """Hotelling's statistic of two samples (rows) and its p-value: the
    chi-square limit above ``NORMAL_LIMIT`` ids in each sample, else
    ``permutations`` random permutations of the pooled rows (fixed seed).

    Each component's gap is the difference of the two samples' means over
    the rows where it is present. Its covariance comes from the pooled
    rows, which every permutation leaves as they are, so one inverse
    serves them all: the pooled covariance of two components (over the
    rows holding both) times (1/n1 + 1/n2) and the share of rows holding
    both over the product of the shares holding each. (Filling a missing
    entry with a mean instead would shrink the spread and make the test
    call honest samples different too often.)
    """
    pooled = np.vstack([first, second])
    n1, n2 = len(first), len(second)
    size = n1 + n2
    present = ~np.isnan(pooled)
    x = np.where(present, pooled - _column_means(pooled), 0.0)
    held = present.astype(float)
    counts = held.sum(axis=0)
    both = held.T @ held
    covariance = (x.T @ x) / np.maximum(both - 1, 1)
    share = both * size / np.maximum(np.outer(counts, counts), 1)
    spread = covariance * share * (1.0 / n1 + 1.0 / n2)
    inverse, rank = _pseudo_inverse(spread)

    def statistic(chosen):
        sums, numbers = chosen @ x, chosen @ held  # the first sample's
        rest = counts - numbers
        with np.errstate(divide="ignore", invalid="ignore"):
            gaps = np.where((numbers > 0) & (rest > 0), sums / numbers + sums / rest, 0.0)
        return np.einsum("ij,jk,ik->i", gaps, inverse, gaps)

    observed = statistic(np.r_[np.ones(n1), np.zeros(n2)][None, :])[0]
    if rank == 0:
        return observed, 1.0, "pooled"
    if min(n1, n2) > NORMAL_LIMIT:
        return observed, special.chdtrc(rank, observed), "pooled-normal"
    state = np.random.RandomState(seed)
    chosen = np.zeros((permutations, size))
    for row in chosen:
        row[state.permutation(size)[:n1]] = 1.0
    beyond = np.sum(statistic(chosen) >= observed * (1 - 1e-9))
    return observed, (beyond + 1) / (permutations + 1), "pooled"


def _column_means(x):
    """Mean of each column over its non-missing entries (0 for none)."""
    present = ~np.isnan(x)
    return np.where(present, x, 0.0).sum(axis=0) / np.maximum(present.sum(axis=0), 1)


def _nearest(reference, other, meta, columns, measures):
    stats_ = [_Stats(f, f.index.get_level_values(0).unique(), meta, columns)
              for f in (reference, other)]
    shifts = _Shifts(reference, other)
    return _two_samples(_components(stats_, meta, columns, measures), shifts.test)


def _two_samples(components, shift_of):
    """The verdict rows of two samples of ids from their per-id statistics
    (:func:`_components`); ``shift_of(column)`` tests the shared shift."""
    rows = []
    for column, measure, parts, labels, kind in components:
        samples = [_sample(p, kind) for p in parts]
        samples = [s[~np.isnan(s).all(axis=1)] for s in samples]
        if min(len(s) for s in samples) < 2:
            continue
        names = SAMPLE_NAMES.get(kind, labels)
        statistic, p, method = two_sample(samples[1], samples[0])
        means = [_column_means(x) for x in samples]
        gaps = means[1] - means[0]
        errors = np.sqrt(sum(np.nanvar(np.where(np.isnan(x), m, x), axis=0, ddof=1) / len(x)
                             for x, m in zip(samples, means)))
        z = np.abs(gaps) / errors
        lead = int(np.nanargmax(np.where(np.isfinite(z), z, -1.0)))
        half = 1.959963984540054 * errors[lead]
        row = {"column": column, "measure": measure,
               "ids": sum(len(s) for s in samples),
               "statistic": statistic, "effect": gaps[lead],
               "low": gaps[lead] - half, "high": gaps[lead] + half,
               "p": p, "contrast": names[lead], "method": METHODS[method]}
        if kind == "location":
            _joined(row, shift_of(column))
        rows.append(row)
    return rows


def pair_scores(reference, other, meta, columns, measures, pairs, table):
    """How far each nearest pair stands apart on what the verdicts test.

    For each verdict of ``table`` beyond noise (every verdict when none is),
    the per-id statistics of the two-sample test are compared within each
    pair (compared id minus its reference id), in units of the statistic's
    spread over the reference ids; the pair scores the largest of these
    over the statistic's components, summed over the verdicts.

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Prepared frames (indexed by id, time, sorted).
    pairs : pandas.DataFrame
        ``id`` and ``reference_id`` of each pair.
    table : pandas.DataFrame
        Their verdicts (:func:`verdict_table` under nearest pairing).

    Returns
    -------
    pandas.Series
        The score of each compared id of ``pairs`` (NaN where no statistic
        is defined), indexed by the id.
    """
    ids = [f.index.get_level_values(0).unique() for f in (reference, other)]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        stats_ = [_Stats(f, i, meta, columns) for f, i in zip((reference, other), ids)]
        components = _components(stats_, meta, columns, measures)
    return _scored(components, ids, pairs, table)


def _scored(components, ids, pairs, table):
    """:func:`pair_scores` of the per-id statistics of both frames
    (:func:`_components`, the rows in the order of ``ids``, one index per
    frame)."""
    wanted = table[table["q"] < NOISE] if (table["q"] < NOISE).any() else table
    wanted = set(zip(wanted["column"], wanted["measure"]))
    place = [ids[0].get_indexer(pairs["reference_id"]), ids[1].get_indexer(pairs["id"])]
    total = np.zeros(len(pairs))
    seen = np.zeros(len(pairs), dtype=bool)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        for column, measure, parts, _, kind in components:
            if (column, measure) not in wanted:
                continue
            samples = [_sample(p, kind) for p in parts]
            present = ~np.isnan(samples[0])
            mean = _column_means(samples[0])
            spread = np.sqrt(np.where(present, samples[0] - mean, 0.0).__pow__(2).sum(axis=0)
                             / np.maximum(present.sum(axis=0) - 1, 1))
            z = np.abs(samples[1][place[1]] - samples[0][place[0]]) / np.where(
                spread > 0, spread, np.nan)
            defined = ~np.isnan(z).all(axis=1)
            total += np.where(defined, np.nanmax(np.where(np.isnan(z), -np.inf, z), axis=1), 0.0)
            seen |= defined
    return pd.Series(np.where(seen, total, np.nan), index=pd.Index(pairs["id"]))


# -- Words -------------------------------------------------------------------

def verdict_lines(verdicts):
    """The verdicts as lines of a short table, for a terminal.

    One line per verdict: frame, column, measure, the effect with its 95 %
    interval and which contrast it is, the q-value and whether the verdict
    is beyond sampling noise (q below 0.05), after a heading line.
    """
    if verdicts is None or not len(verdicts):
        return []
    heading = "{:<14} {:<14} {:<12} {:>28} {:>8}  {}".format(
        "frame", "column", "measure", "effect [95% interval]", "q", "verdict")
    lines = ["Verdicts per column (systematic differences over all ids; "
             "effect: mean contrast per id):", heading]
    for row in verdicts.itertuples(index=False):
        beyond = row.q < NOISE
        interval = "{:+.3f} [{:+.3f}, {:+.3f}]".format(row.effect, row.low, row.high) \
            if np.isfinite(row.low) else "{:+.3f} [too few ids]".format(row.effect)
        note = "beyond noise" if beyond else "within noise"
        if row.method == METHODS["fisher"]:
            note += " (few ids: Fisher's combination)"
        lines.append("{:<14} {:<14} {:<12} {:>28} {:>8.4f}  {}".format(
            _short(row.frame), _short(row.column), row.measure, interval, row.q, note))
    return lines


def _short(text, width=14):
    text = str(text)
    return text if len(text) <= width else text[:width - 1] + "\u2026"
