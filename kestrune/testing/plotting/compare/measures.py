"""Three measures per id and column, each with a p-value that allows for
autocorrelation.

For every id and data column, a compared frame is set against the
reference by up to three numbers in [0, 1]:

``distribution``
    Do the values agree? The number of :func:`divergence_table`: the
    Kolmogorov-Smirnov statistic (continuous columns) or the total variation
    distance of the label frequencies (categorical columns).
``dynamics``
    Does the series move the same way in time? Half the absolute difference
    between the lag-1 autocorrelations (continuous), or the total variation
    distance between the label-transition distributions (categorical).
``dependence``
    Do the columns move together the same way? Half the largest absolute
    difference between the Spearman correlations with the other continuous
    columns (continuous columns only).

Each number comes with a p-value under "both frames come from the same
process for this id". The textbook two-sample tests assume independent
observations; panel series are autocorrelated, and those tests then call
far too many same-process pairs different, so every test here shrinks its
sample size to an effective one (or conditions on the previous value).
:func:`benjamini_hochberg` turns a table of p-values into q-values that
control the false discovery rate over the whole table.

Every id is handled at once with counted and sorted arrays; the Python
loops run over columns, lags and column pairs only.
"""

import collections

import numpy as np
import pandas as pd
from scipy import special

from . import inputs
from .bounds import check_options
from .divergence import (DIGITS, _sorted_union, kolmogorov_smirnov, label_codes,
                         round_significant, total_variation_of_codes)

#: The measures a table can hold, in their usual order.
MEASURES = ("distribution", "dynamics", "dependence")

# Fewer values than this leave a measure of the series undefined.
FEWEST = 3
# The variance of Fisher's z of a Spearman correlation is this much larger
# than that of a Pearson correlation (Fieller, Hartley and Pearson 1957).
SPEARMAN_VARIANCE = 1.06
# The autocorrelation that the variance formulas take at most: beyond it
# the AR(1) approximations claim a precision that short series do not have.
STEADIEST = 0.95
# Added to each count of the next labels before the transition shares are
# compared: Pearson's chi-square calls too many sparse tables different.
SMOOTHING = 0.5


def measure_table(reference, other, meta, columns=None, ids=None,
                  measures=MEASURES, max_lag=1):
    """The measures of ``other`` against ``reference`` per id and column,
    with their p-values.

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Two panel frames that ``meta`` describes, with the id and the time as
        index levels or as columns (as :meth:`DataFrameMeta.set_indices`
        takes them). Within an id the rows are taken in time order; a lag is
        counted in rows, so a period without a row is skipped over.
    meta : kestrune.DataFrameMeta
        Which columns are categorical and which continuous.
    columns : list of str, optional
        The data columns to compare; every column of ``meta`` by default.
    ids : sequence, optional
        The ids of the tables, in their order; by default the sorted union of
        the ids of both frames.
    measures : sequence of str, optional
        Some of ``"distribution"``, ``"dynamics"`` and ``"dependence"``, in
        the order of the tables' columns; all three by default.
    max_lag : int, optional
        The continuous ``dynamics`` takes the largest difference over the
        autocorrelations at lags 1 to ``max_lag`` (default 1). Lag 1 is the
        default on purpose: at 24 to 36 periods the sampling noise of the
        higher lags swamps most differences. The label transitions of
        categorical columns are always taken from one row to the next.

    Returns
    -------
    values, pvalues : pandas.DataFrame
        Index: the ids. Columns: a ``MultiIndex`` of (column, measure)
        pairs, in the order of ``columns`` then ``measures``, with only the
        defined cells: no (categorical column, ``"dependence"``) pair, and
        ``"dependence"`` only where ``columns`` holds at least two
        continuous columns. Values and p-values are rounded to 12
        significant digits.

    Raises
    ------
    ValueError
        For an empty or single-string ``measures``, an unknown or repeated
        measure, a ``max_lag`` that is not a whole number of at least 1, or
        ``measures`` that leave no cell (``dependence`` alone with fewer
        than two continuous columns). A ``max_lag`` beyond the most rows of
        one id less one is lowered to that: no lag beyond has a pair.

    Notes
    -----
    **The values.**

    - ``distribution``: the two-sample Kolmogorov-Smirnov statistic of the
      id's values (missing values left out), or the total variation
      distance between the label frequencies, a missing label counted as a
      label; exactly the numbers of :func:`divergence_table`.
    - ``dynamics`` of a continuous column: half the absolute difference
      between the lag-k autocorrelations r_k = sum (x_t - m)(x_{t+k} - m) /
      sum (x_t - m)^2 of the two series (t over the id's rows in time order,
      m the mean of its values, pairs with a missing value left out from the
      numerator, missing values from the denominator; the estimator of
      statsmodels' ``acf``), the largest over the lags 1 to ``max_lag``.
    - ``dynamics`` of a categorical column: for each "from" label, the total
      variation distance between the distributions of the label that
      follows it in the two frames (a missing label counted as a label),
      averaged over the "from" labels weighted by their share of the
      reference's transitions; a "from" label with no transition out of it
      in the compared frame counts as distance 1.
    - ``dependence``: half the largest absolute difference, over the other
      continuous columns, between the Spearman correlation of the column
      with that column in the two frames (rows with a missing value in
      either column left out).

    **Where a cell is NaN.** Where either frame has no rows for the id; for
    ``distribution`` of a continuous column, where either frame holds no
    value; for ``dynamics`` of a continuous column, where either series
    has fewer than 3 values, is constant or holds an infinite value (the
    autocorrelation divides by the spread), or where no lag from 1 to
    ``max_lag`` has a pair of values in both frames; for ``dynamics`` of a
    categorical column, where either frame has fewer than 3 rows of the id;
    for ``dependence``, where no partner column has, in both frames, at
    least 3 rows with both values present and neither column constant on
    them (the rank correlation divides by the spread of the ranks). Only the
    partners defined in both frames enter the largest difference. A NaN
    value has a NaN p-value.

    **The p-values.** Each tests "both frames come from the same process
    for this id", two-sided, and allows for a series that depends on its
    past values:

    - ``distribution``, continuous: the two-sample Kolmogorov-Smirnov test
      on effective sizes: the asymptotic Kolmogorov distribution
      (``scipy.special.kolmogorov``) at Stephens' (1970) small-sample
      scaling (sqrt(n) + 0.12 + 0.11 / sqrt(n)) D, with n = n1 n2 / (n1 +
      n2) of the effective sizes n_i (1 - r)/(1 + r), r the frame's lag-1
      autocorrelation r1 corrected for its bias in a short AR(1) series,
      r1 + (1 + 4 r1)/n_i (Marriott and Pope 1954), clipped to [0, 0.95].
    - ``distribution``, categorical: Pearson's chi-square test of
      homogeneity of the label frequencies (df = labels seen - 1) on the
      effective sizes n_i (1 - rho)/(1 + rho), rho the chance of keeping
      the label from one row to the next beyond chance, (stay - s)/(1 - s)
      with s the unbiased estimate of the sum of the squared label shares,
      corrected for its bias as rho + (1 + rho)/n_i, clipped to [0, 0.95].
    - ``dynamics``, continuous: a z-test on the difference of the lag-k
      autocorrelations with Bartlett's variance for an AR(1) series,
      ((1 + p^2)(1 - p^(2k)) / (1 - p^2) - 2k p^(2k)) / m (which is (1 -
      p^2)/m at lag 1), p the frame's lag-1 autocorrelation clipped to
      [-0.95, 0.95], m the number of pairs at lag k; the smallest p-value
      over the lags with a Sidak correction for their number.
    - ``dynamics``, categorical: two tests over the "from" labels seen in
      both frames, with a Bonferroni correction (the smaller p-value
      times 2): the Cochran-Mantel-Haenszel test (df 1, no continuity
      correction) of keeping the label against leaving it, one stratum per
      "from" label, which finds a stickier series; and the Anderson-Goodman
      test of homogeneous transition probabilities, Pearson's chi-squares of
      the next label summed over the "from" labels (df summed), with 0.5
      added to each count of a next label before the shares are compared
      (without it the sparse tables of short series give far too many
      small p-values). p = 1 where no "from" label is seen in both
      frames.
    - ``dependence``: Fisher's z of each Spearman correlation, with the
      variance 1.06 / (n - 3) of Fieller, Hartley and Pearson and the
      effective size n (1 - a)/(1 + a) of Bartlett's formula for two AR(1)
      series, a the product of the two columns' lag-1 autocorrelations
      clipped to [0, 0.95]; p = 1 where that size is 3 or less in either
      frame, and a correlation of +-1 is taken halfway to the nearest value
      that n ranks can give (Fisher's z is infinite at 1). The smallest
      p-value over the partner columns with a Sidak correction for their
      number.

    Over a whole table, control the false discovery rate with
    :func:`benjamini_hochberg`.

    See Also
    --------
    divergence_table : The ``distribution`` numbers alone.
    benjamini_hochberg : q-values of a table of p-values.

    Examples
    --------
    >>> values, pvalues = measure_table(original, synthetic, meta)  # doctest: +SKIP
    >>> qvalues = benjamini_hochberg(pvalues)  # doctest: +SKIP
    >>> values[qvalues < 0.05].dropna(how="all")  # doctest: +SKIP

    """
    measures = _checked_measures(measures)
    max_lag = inputs.count("max_lag", max_lag)
    reference = meta.set_indices(reference)
    other = meta.set_indices(other)
    columns = list(meta.columns) if columns is None else list(columns)
    if ids is None:
        ids = _sorted_union(reference, other)
    max_lag = check_options([reference, other], columns, meta.categorical,
                            measures, max_lag, cap=True)
    return _measures(reference, other, meta, columns, pd.Index(ids),
                     measures, max_lag)


def benjamini_hochberg(pvalues):
    """q-values of Benjamini and Hochberg (1995) over a whole table.

    Every non-NaN entry is one test of the family, whatever its row or
    column; NaN entries stay NaN and do not count.

    Parameters
    ----------
    pvalues : pandas.DataFrame, pandas.Series or array_like
        p-values in [0, 1].

    Returns
    -------
    Same type and shape as ``pvalues``
        The q-value of each entry, min over j >= i of p_(j) m / j (capped at
        1), rounded to 12 significant digits: the smallest false discovery
        rate at which the entry counts as a discovery.

    Examples
    --------
    >>> benjamini_hochberg([0.01, 0.04, 0.03, float("nan")])
    array([0.03, 0.04, 0.04,  nan])

    """
    values = np.asarray(pvalues, dtype=float)
    flat = values.ravel()
    chosen = np.flatnonzero(~np.isnan(flat))
    q = np.full(flat.shape, np.nan)
    if len(chosen):
        order = np.argsort(flat[chosen], kind="stable")
        ranked = flat[chosen][order] * len(chosen) / np.arange(1, len(chosen) + 1)
        ranked = np.minimum.accumulate(ranked[::-1])[::-1]
        q[chosen[order]] = np.minimum(ranked, 1.0)
    q = round_significant(q).reshape(values.shape)
    if isinstance(pvalues, pd.DataFrame):
        return pd.DataFrame(q, index=pvalues.index, columns=pvalues.columns)
    if isinstance(pvalues, pd.Series):
        return pd.Series(q, index=pvalues.index, name=pvalues.name)
    return q


def _checked_measures(measures):
    valid = ", ".join(repr(m) for m in MEASURES)
    if isinstance(measures, (str, bytes)):
        raise ValueError(
            "measures must be a list, not the single string {!r}; write [{!r}] "
            "(valid are {})".format(measures, measures, valid))
    measures = list(measures)
    if not measures:
        raise ValueError("measures is empty; valid are {}".format(valid))
    unknown = [m for m in measures if m not in MEASURES]
    if unknown:
        raise ValueError("measures {!r} are not measures; valid are {}".format(
            unknown, valid))
    repeated = [m for m, n in collections.Counter(measures).items() if n > 1]
    if repeated:
        raise ValueError("measures {!r} are given more than once; valid are {}".format(
            repeated, valid))
    return tuple(measures)


def _measures(reference, other, meta, columns, ids, measures=MEASURES, max_lag=1):
    """The (values, pvalues) tables of prepared frames (indexed by id, time)
    over ``ids``; see :func:`measure_table`."""
    # Undefined cells are NaN by design: the arithmetic that makes them so
    # (0/0, inf - inf) needs no warning.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        return _computed(reference, other, meta, columns, ids, measures, max_lag)


def _computed(reference, other, meta, columns, ids, measures, max_lag):
    frames = (_Rows(reference, ids), _Rows(other, ids))
    categorical = set(meta.categorical)
    numeric = [c for c in columns if c not in categorical]
    lags = max_lag if "dynamics" in measures else 1
    series = {c: [_Series(rows, rows.values(c), lags) for rows in frames]
              for c in numeric}
    coupled = {}
    if "dependence" in measures and len(numeric) >= 2:
        coupled = _dependence(frames, series, numeric)

    labels = {}
    cells, values, pvalues = [], [], []
    for column in columns:
        for measure in measures:
            if measure == "dependence" and column not in coupled:
                continue
            if column in categorical:
                if column not in labels:
                    labels[column] = _labels(frames, column)
                value, p = _categorical(frames, labels[column], measure)
            elif measure == "dependence":
                value, p = coupled[column]
            elif measure == "distribution":
                value, p = _distribution(frames, series[column], column)
            else:
                value, p = _dynamics(series[column], max_lag)
            cells.append((column, measure))
            values.append(round_significant(value))
            pvalues.append(round_significant(np.where(np.isnan(value), np.nan, p)))
    index = pd.MultiIndex.from_tuples(cells, names=[None, None])
    if not cells:
        index = pd.MultiIndex.from_arrays([[], []])

    def table(columns_of):
        data = np.column_stack(columns_of) if columns_of else np.empty((len(ids), 0))
        return pd.DataFrame(data, index=ids, columns=index)

    return table(values), table(pvalues)


class _Rows:
    """The rows of a prepared frame that belong to ``ids``, grouped by id.

    The frame is sorted by id, then time, so each id's rows are consecutive
    and in time order: rows i and i + k belong to one id exactly when their
    codes agree.
    """

    def __init__(self, frame, ids):
        codes = ids.get_indexer(frame.index.get_level_values(0))
        self.frame = frame
        self.kept = codes >= 0
        self.codes = codes[self.kept]
        self.ngroups = len(ids)
        self.size = np.bincount(self.codes, minlength=self.ngroups)

    def values(self, column):
        return self.frame[column].to_numpy()[self.kept]

    def pairs(self, lag):
        """Positions i whose row i + ``lag`` belongs to the same id."""
        if lag >= len(self.codes):
            return np.zeros(0, dtype=np.int64)
        return np.flatnonzero(self.codes[:-lag] == self.codes[lag:])


class _Series:
    """Counts and autocorrelations of one continuous column of one frame.

    ``count``: values per id; ``r[k - 1]``: the lag-k autocorrelation (NaN
    where undefined); ``pairs[k - 1]``: pairs of values at lag k.
    """

    def __init__(self, rows, values, lags):
        values = np.asarray(values, dtype=float)
        codes, size = rows.codes, rows.ngroups
        present = ~np.isnan(values)
        self.values = values
        self.count = np.bincount(codes[present], minlength=size)
        total = np.bincount(codes[present], weights=values[present], minlength=size)
        mean = total / self.count
        deviation = np.where(present, values - mean[codes], 0.0)
        spread = np.bincount(codes, weights=deviation ** 2, minlength=size)
        # Constant series by their values (equal to 12 significant digits),
        # not by a spread that rounding leaves a little above zero.
        varies = np.zeros(size, dtype=bool)
        kept_codes, kept = codes[present], values[present]
        if len(kept):
            starts = np.flatnonzero(np.r_[True, kept_codes[1:] != kept_codes[:-1]])
            high, low = np.maximum.reduceat(kept, starts), np.minimum.reduceat(kept, starts)
            varies[kept_codes[starts]] = high - low > 10.0 ** -DIGITS * np.maximum(
                np.abs(high), np.abs(low))
        usable = varies & (self.count >= FEWEST) & np.isfinite(spread)
        self.r, self.pairs = [], []
        for lag in range(1, lags + 1):
            first = rows.pairs(lag)
            first = first[present[first] & present[first + lag]]
            products = deviation[first] * deviation[first + lag]
            cross = np.bincount(codes[first], weights=products, minlength=size)
            pairs = np.bincount(codes[first], minlength=size)
            r = np.where(usable & (pairs > 0), cross / spread, np.nan)
            self.r.append(r)
            self.pairs.append(pairs)

    def effective_factor(self):
        """(1 - r)/(1 + r), r the lag-1 autocorrelation less its bias for
        an AR(1) series, r1 + (1 + 4 r1)/n (Marriott and Pope 1954), clipped
        to [0, STEADIEST]; 1 where undefined."""
        r = self.r[0] + (1 + 4 * self.r[0]) / self.count
        r = np.clip(np.nan_to_num(r, nan=0.0), 0.0, STEADIEST)
        return (1 - r) / (1 + r)


def _normal_p(z):
    """Two-sided p-value of a standard normal statistic."""
    return special.erfc(np.abs(z) / np.sqrt(2))


def _sidak(p, tests):
    """The smallest of ``tests`` p-values, corrected for their number."""
    return -np.expm1(tests * np.log1p(-np.minimum(p, 1.0)))


def _distribution(frames, pair, column):
    """Kolmogorov-Smirnov statistic and its p-value at the effective sizes."""
    ref, oth = frames
    statistic = kolmogorov_smirnov(ref.codes, ref.values(column), oth.codes,
                                   oth.values(column), ref.ngroups)
    sizes = [s.count * s.effective_factor() for s in pair]
    n = np.sqrt(sizes[0] * sizes[1] / (sizes[0] + sizes[1]))
    p = special.kolmogorov((n + 0.12 + 0.11 / n) * statistic)
    return statistic, np.where(statistic == 0, 1.0, p)


def _ar1_variance(phi, lag):
    """Bartlett's variance of the lag-``lag`` autocorrelation of an AR(1)
    series with coefficient ``phi``, times the length."""
    phi = np.clip(np.nan_to_num(phi, nan=0.0), -STEADIEST, STEADIEST)
    square = phi ** 2
    return ((1 + square) * (1 - square ** lag) / (1 - square)
            - 2 * lag * square ** lag)


def _dynamics(pair, max_lag):
    """Largest half-difference of the autocorrelations over the lags, and
    the Sidak-corrected smallest p-value of their z-tests."""
    ref, oth = pair
    values, pvalues = [], []
    for k in range(max_lag):
        difference = ref.r[k] - oth.r[k]
        variance = (_ar1_variance(ref.r[0], k + 1) / ref.pairs[k]
                    + _ar1_variance(oth.r[0], k + 1) / oth.pairs[k])
        z = difference / np.sqrt(variance)
        values.append(0.5 * np.abs(difference))
        pvalues.append(np.where(difference == 0, 1.0, _normal_p(z)))
    values, pvalues = np.array(values), np.array(pvalues)
    defined = ~np.isnan(values)
    tests = defined.sum(axis=0)
    value = np.where(tests > 0, np.max(np.where(defined, values, -1.0), axis=0), np.nan)
    smallest = np.min(np.where(defined, pvalues, 2.0), axis=0)
    return value, np.where(tests > 0, _sidak(smallest, tests), np.nan)


def _labels(frames, column):
    """Codes of the labels of both frames in one numbering, a missing label
    taking a code of its own (the last), and the number of codes."""
    ref, oth = (rows.values(column) for rows in frames)
    codes, nlabels = label_codes(ref, oth)
    return np.split(codes, [len(ref)]), nlabels


def _unique(keys, span):
    """``numpy.unique(keys, return_inverse=True)`` of keys in [0, span),
    by counting where the span is small enough."""
    if span > max(4 * len(keys), 1 << 20):
        cells, inverse = np.unique(keys, return_inverse=True)
        return cells, inverse.ravel()
    seen = np.zeros(span, dtype=bool)
    seen[keys] = True
    return np.flatnonzero(seen), (np.cumsum(seen) - 1)[keys]


def _chi_square(groups, categories, ncategories, scale, smoothing=0.0):
    """Pearson's chi-square of homogeneity of two samples in every group.

    ``groups`` and ``categories`` hold one array per sample; ``scale`` one
    array per sample of the factor that turns each group's count into its
    effective size; ``smoothing`` is added to the count of every category
    seen in the group before the two samples' shares are compared. Returns
    the statistic, the degrees of freedom (the categories seen in the group
    less one), the two samples' sizes, and for each cell its group and
    counts.
    """
    ngroups = len(scale[0])
    keys = [g.astype(np.int64) * ncategories + c for g, c in zip(groups, categories)]
    cells, inverse = _unique(np.concatenate(keys), ngroups * ncategories)
    first = len(keys[0])
    counts = [np.bincount(inverse[:first], minlength=len(cells)),
              np.bincount(inverse[first:], minlength=len(cells))]
    sizes = [np.bincount(g, minlength=ngroups) for g in groups]
    group = cells // ncategories
    seen = np.bincount(group, minlength=ngroups)
    shares = [(c + smoothing) / (n + smoothing * seen)[group]
              for c, n in zip(counts, sizes)]
    pooled = (counts[0] + counts[1]) / (sizes[0] + sizes[1])[group]
    weight = 1 / (sizes[0] * scale[0]) + 1 / (sizes[1] * scale[1])
    cell = (shares[0] - shares[1]) ** 2 / (pooled * weight[group])
    statistic = np.bincount(group, weights=cell, minlength=ngroups)
    return statistic, seen - 1, sizes, (group, counts)


def _chi_square_p(statistic, df):
    return np.where(df > 0, special.chdtrc(np.maximum(df, 1), statistic), 1.0)


def _categorical(frames, labels, measure):
    """Value and p-value of a categorical column, given its ``_labels``."""
    (ref_codes, oth_codes), nlabels = labels
    ref, oth = frames
    size = ref.ngroups
    if measure == "distribution":
        value = total_variation_of_codes(ref.codes, ref_codes, oth.codes, oth_codes,
                                         nlabels, size)
        scale = [_label_factor(rows, codes, nlabels)
                 for rows, codes in zip(frames, (ref_codes, oth_codes))]
        statistic, df, _, _ = _chi_square((ref.codes, oth.codes), (ref_codes, oth_codes),
                                          nlabels, scale)
        return value, np.where(value == 0, 1.0, _chi_square_p(statistic, df))

    # Transitions: the group is (id, "from" label), the category the next label.
    moves = []
    for rows, codes in zip(frames, (ref_codes, oth_codes)):
        first = rows.pairs(1)
        moves.append((rows.codes[first] * nlabels + codes[first], codes[first + 1]))
    origins, inverse = _unique(np.concatenate([m[0] for m in moves]), size * nlabels)
    split = len(moves[0][0])
    origin_groups = (inverse[:split], inverse[split:])
    targets = (moves[0][1], moves[1][1])
    ones = np.ones(len(origins))
    statistic, df, sizes, (cell_origin, counts) = _chi_square(
        origin_groups, targets, nlabels, (ones, ones), smoothing=SMOOTHING)
    gap = np.abs(counts[0] / sizes[0][cell_origin] - counts[1] / sizes[1][cell_origin])
    distance = 0.5 * np.bincount(cell_origin, weights=gap, minlength=len(origins))
    distance[sizes[1] == 0] = 1.0
    owner = origins // nlabels
    value = (np.bincount(owner, weights=sizes[0] * np.nan_to_num(distance), minlength=size)
             / np.bincount(owner, weights=sizes[0], minlength=size))
    value[(ref.size < FEWEST) | (oth.size < FEWEST)] = np.nan

    # Anderson-Goodman's chi-square over the "from" labels seen in both.
    shared = (sizes[0] > 0) & (sizes[1] > 0)
    chi = np.bincount(owner[shared], weights=statistic[shared], minlength=size)
    dfs = np.bincount(owner[shared], weights=df[shared], minlength=size)
    # Cochran-Mantel-Haenszel on keeping the label, one stratum per "from" label.
    stays = [np.bincount(g[t == origins[g] % nlabels], minlength=len(origins))
             for g, t in zip(origin_groups, targets)]
    total = sizes[0] + sizes[1]
    kept = stays[0] + stays[1]
    excess = stays[0] - sizes[0] * kept / total
    spread = sizes[0] * sizes[1] * kept * (total - kept) / (total ** 2 * (total - 1))
    excess = np.bincount(owner[shared], weights=excess[shared], minlength=size)
    spread = np.bincount(owner[shared], weights=spread[shared], minlength=size)
    mantel = np.where(spread > 0, special.chdtrc(1, excess ** 2 / spread), 1.0)
    p = np.minimum(2 * np.minimum(_chi_square_p(chi, dfs), mantel), 1.0)
    return value, np.where(value == 0, 1.0, p)


def _label_factor(rows, codes, nlabels):
    """(1 - rho)/(1 + rho) of every id, rho the chance of keeping the label
    from one row to the next beyond the chance of drawing the same label
    twice, clipped to [0, STEADIEST]; 1 where undefined."""
    size = rows.ngroups
    first = rows.pairs(1)
    stays = np.bincount(rows.codes[first], weights=codes[first] == codes[first + 1],
                        minlength=size)
    moves = np.bincount(rows.codes[first], minlength=size)
    cells, inverse = _unique(rows.codes.astype(np.int64) * nlabels + codes, size * nlabels)
    counts = np.bincount(inverse, minlength=len(cells))
    owner = cells // nlabels
    # Two different rows of the id hold the same label: the unbiased
    # estimate of the sum of the squared label shares.
    n = rows.size
    chance = (np.bincount(owner, weights=counts * (counts - 1.0), minlength=size)
              / (n * (n - 1.0)))
    rho = (stays / moves - chance) / (1 - chance)
    # Short series understate it, as they do an autocorrelation.
    rho += (1 + rho) / n
    rho = np.clip(np.nan_to_num(rho, nan=0.0, posinf=0.0, neginf=0.0), 0.0, STEADIEST)
    return (1 - rho) / (1 + rho)


def _ranks(groups, values):
    """Average ranks (1, 2, ...; ties share their mean rank) within groups.

    The rows of a group are consecutive, so one sort of the values' places
    among all values, offset by the run of rows they belong to, orders them
    within their groups.
    """
    runs = np.cumsum(np.r_[0, groups[1:] != groups[:-1]])
    places = np.unique(values, return_inverse=True)[1].ravel()
    order = np.argsort(runs * (places.max() + 1) + places if len(places) else places)
    groups, values = groups[order], values[order]
    position = np.arange(len(values))
    new_group = np.r_[True, groups[1:] != groups[:-1]]
    start = np.maximum.accumulate(np.where(new_group, position, 0))
    rank = (position - start + 1).astype(float)
    run = np.cumsum(np.r_[True, new_group[1:] | (values[1:] != values[:-1])]) - 1
    average = np.bincount(run, weights=rank) / np.bincount(run)
    ranks = np.empty(len(values))
    ranks[order] = average[run]
    return ranks


def _spearman(codes, x, y, size, ranked):
    """Spearman correlation per id of the rows where both ``_Series`` ``x``
    and ``y`` are present, and the number of such rows; NaN for fewer than
    3 rows or constant ranks. ``ranked`` keeps the ranks of a series with
    no missing value beside the other's, for the next pair."""
    present = [~np.isnan(s.values) for s in (x, y)]
    both = present[0] & present[1]
    codes = codes[both]
    count = np.bincount(codes, minlength=size)
    if not len(codes):
        return np.full(size, np.nan), count
    middle = (count[codes] + 1) / 2  # the mean of the ranks 1 to n
    ranks = []
    for s, kept in zip((x, y), present):
        if (kept == both).all():
            if id(s) not in ranked:
                ranked[id(s)] = _ranks(codes, s.values[both])
            ranks.append(ranked[id(s)])
        else:
            ranks.append(_ranks(codes, s.values[both]))
    dx, dy = ranks[0] - middle, ranks[1] - middle
    sxy = np.bincount(codes, weights=dx * dy, minlength=size)
    sxx = np.bincount(codes, weights=dx * dx, minlength=size)
    syy = np.bincount(codes, weights=dy * dy, minlength=size)
    rho = sxy / np.sqrt(sxx * syy)
    rho[(count < FEWEST) | (sxx == 0) | (syy == 0)] = np.nan
    return np.clip(rho, -1.0, 1.0), count


def _dependence(frames, series, numeric):
    """(value, p-value) of every continuous column: the largest half-
    difference of its Spearman correlations over the partner columns, and
    the Sidak-corrected smallest p-value of their Fisher z-tests."""
    size = frames[0].ngroups
    per_column = {c: ([], []) for c in numeric}
    ranked = {}
    for i, first in enumerate(numeric):
        for second in numeric[i + 1:]:
            rho, variance, z = [], [], []
            for rows, a, b in zip(frames, series[first], series[second]):
                correlation, count = _spearman(rows.codes, a, b, size, ranked)
                product = np.clip(np.nan_to_num(a.r[0] * b.r[0], nan=0.0), 0.0, STEADIEST)
                effective = count * (1 - product) / (1 + product)
                rho.append(correlation)
                # Three effective rows or fewer tell nothing: an infinite variance.
                variance.append(np.where(effective > 3, SPEARMAN_VARIANCE / (effective - 3), np.inf))
                # A perfect rank correlation taken halfway to the nearest value
                # that n ranks can give, 1 - 12/(n(n^2 - 1)): Fisher's z is
                # infinite at 1.
                nearest = 1 - 6.0 / (count * (count ** 2 - 1.0))
                z.append(np.arctanh(np.clip(correlation, -nearest, nearest)))
            difference = 0.5 * np.abs(rho[0] - rho[1])
            p = _normal_p((z[0] - z[1]) / np.sqrt(variance[0] + variance[1]))
            p = np.where(rho[0] == rho[1], 1.0, p)
            for column in (first, second):
                per_column[column][0].append(difference)
                per_column[column][1].append(p)
    out = {}
    for column, (differences, ps) in per_column.items():
        differences, ps = np.array(differences), np.array(ps)
        defined = ~np.isnan(differences)
        tests = defined.sum(axis=0)
        value = np.where(tests > 0, np.max(np.where(defined, differences, -1.0), axis=0), np.nan)
        smallest = np.min(np.where(defined, ps, 2.0), axis=0)
        out[column] = (value, np.where(tests > 0, _sidak(smallest, tests), np.nan))
    return out
