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
The lag-1 autocorrelation and the rank correlations are tested against a
reference side that the whole reference panel informs (:mod:`prior`).
:func:`benjamini_hochberg` turns a table of p-values into q-values that
control the false discovery rate over the whole table.

Every id is handled at once with counted and sorted arrays; the Python
loops run over columns, lags and column pairs only.
"""

import collections

import numpy as np
import pandas as pd
from scipy import special

from . import inputs, prior
from .bounds import check_options
from .divergence import (DIGITS, ROUNDING_STEP, _sorted_union, kolmogorov_smirnov,
                         label_codes, round_significant)
from .grouped import order_within, sorted_ranks, unique_keys

#: The measures a table can hold, in their usual order.
MEASURES = ("distribution", "dynamics", "dependence")

# Fewer values than this leave a measure of the series undefined.
FEWEST = 3
# Fewer values (or label rows) than this in either frame: the cell's
# p-value is NaN, too short to tell.
SHORTEST = 5
# Fewer distinct values than this in a column of an id: its rank
# correlations are too coarse to test.
DISTINCT = 5
# The variance of Fisher's z of a Spearman correlation is this much larger
# than that of a Pearson correlation (Fieller, Hartley and Pearson 1957).
SPEARMAN_VARIANCE = 1.06
# The autocorrelation that the variance formulas take at most: beyond it
# the AR(1) approximations claim a precision that short series do not have.
STEADIEST = 0.95
# Added to each count of the next labels before the transition shares are
# compared: Pearson's chi-square calls too many sparse tables different.
SMOOTHING = 0.5
# The grids of the reference panel's priors (see :mod:`prior`): a lag-1
# autocorrelation, and Fisher's z of a rank correlation (|rho| up to 0.99).
PERSISTENCE_GRID = np.linspace(-0.9, 0.99, 64)
CORRELATION_GRID = np.linspace(-2.65, 2.65, 107)
# The lengths at which the law of a lag-1 autocorrelation is simulated, the
# draws per length and coefficient, and their seed.
LAW_LENGTHS = np.array([4, 5, 6, 7, 8, 10, 12, 14, 16, 20, 24, 30, 36, 48, 64, 96, 128])
LAW_DRAWS = 2000
LAW_SEED = 20241208
_LAWS = {}


def measure_table(reference, other, meta, columns=None, ids=None,
                  measures=MEASURES, max_lag=1, calibrated=True):
    """The measures of ``other`` against ``reference`` per id and column,
    with their p-values.

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Two panel frames that ``meta`` describes, with the id and the time as
        index levels or as columns (as :meth:`DataFrameMeta.set_indices`
        takes them). Within an id the rows are taken in time order. Where
        the time index of both frames is regular (whole numbers, or dates
        whose steps are whole multiples of the smallest step, or dates on
        the same day of every month, counted in months) a lag is counted in
        periods, so an absent row leaves a gap; otherwise in rows.
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
        higher lags swamp most differences. The label transitions of
        categorical columns are always taken at lag 1.
    calibrated : bool, optional
        Calibrate the p-values against simulated null panels (default;
        see Notes). False gives the tests' own p-values.

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
      sum (x_t - m)^2 times max(n - k, P) / P of the two series (t over the
      pairs of values k periods apart, P of them, both present; m the mean
      and n the number of the id's values, the sum below over its values;
      clipped to [-1, 1]), the largest over the lags 1 to ``max_lag``.
      Without gaps P = n - k and this is the estimator of statsmodels'
      ``acf``; with missing values or absent periods the factor keeps it
      from shrinking by the share of pairs lost.
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
    categorical column, where either frame has fewer than 3 rows of the id
    or the reference has no pair of rows one period apart;
    for ``dependence``, where no partner column has, in both frames, at
    least 3 rows with both values present and neither column constant on
    them (the rank correlation divides by the spread of the ranks). Only the
    partners defined in both frames enter the largest difference. A NaN
    value has a NaN p-value.

    **Too short to tell.** The value is given but the p-value is NaN where
    either frame holds fewer than 5 values of the column (rows, for a
    categorical column), and for ``dependence`` where no partner column
    has, in both frames, at least 5 distinct values in both columns (rank
    correlations of fewer are too coarse to test).

    **The p-values.** Each tests "both frames come from the same process
    for this id", two-sided, and allows for a series that depends on its
    past values. A test's own p-value (``calibrated=False``):

    - ``distribution``, continuous: the two-sample Kolmogorov-Smirnov test
      on effective sizes: the asymptotic Kolmogorov distribution
      (``scipy.special.kolmogorov``) at Stephens' (1970) small-sample
      scaling (sqrt(n) + 0.12 + 0.11 / sqrt(n)) D, with n = n1 n2 / (n1 +
      n2) of the effective sizes, the smaller of n_i (1 - r)/(1 + r) and
      the frame's runs of equal consecutive values (a step series of three
      levels holds about three values, however it autocorrelates), r the
      frame's lag-1 autocorrelation r1 corrected for its bias in a short
      AR(1) series, r1 + (1 + 4 r1)/n_i (Marriott and Pope 1954), clipped
      to [0, 0.95].
      Where a frame's persistence is undefined (a constant series, fewer
      than 3 pairs) the other frame's is taken (the same process under the
      null), and where both are, 0.95: a series that does not show how it
      moves is taken as the steadiest, never as independent values.
    - ``distribution``, categorical: Pearson's chi-square test of
      homogeneity of the label frequencies (df = labels seen - 1) on the
      effective sizes n_i (1 - rho)/(1 + rho), rho the chance of keeping
      the label from one row to the next beyond chance, (stay - s)/(1 - s)
      with s the unbiased estimate of the sum of the squared label shares,
      corrected for its bias as rho + (1 + rho)/n_i, clipped to [0, 0.95];
      undefined (fewer than 3 moves, one label, or fewer than 2 changes of
      label) as above: the other frame's, else 0.95.
    - ``dynamics``, continuous: at lag 1, the compared frame's
      autocorrelation less its bias, c = r1 + (1 + 4 r1)/n, against the
      reference's posterior predictive distribution (see *The reference
      panel* below): the mixture, over the grid of coefficients phi and
      the id's posterior weights, of normal laws with the mean and
      standard deviation of c in AR(1) series of phi and m + 1 values, m
      the compared frame's pairs at lag 1 (simulated once per length,
      2,000 series per coefficient from a fixed seed, interpolated in 1 /
      length; the bias correction leaves c low, and its spread is up to
      1.7 times Bartlett's, at short lengths and high persistence), p =
      2 min(F(c), 1 - F(c)). Series of different lengths compare, each at
      its own length. At a lag k > 1, a z-test on the difference of the
      two frames' lag-k autocorrelations with Bartlett's variance for an
      AR(1) series, ((1 + p^2)(1 - p^(2k)) / (1 - p^2) - 2k p^(2k)) / m,
      p the frame's persistence as for ``distribution``, m the number of
      pairs at lag k. The smallest p-value over the lags with a Sidak
      correction for their number.
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
      series, a the product of the two columns' persistences as for
      ``distribution``; the compared frame's z against the reference's
      posterior predictive distribution (see below): the mixture over the
      grid of z values and the id's posterior weights of normal laws with
      the compared frame's variance, p = 2 min(F(z), 1 - F(z)). p = 1
      where the effective size is 3 or less in either frame, and a
      correlation of +-1 is taken halfway to the nearest value that n ranks
      can give (Fisher's z is infinite at 1). Each pair of columns is
      tested once; a column's p-value is the smallest over its partner
      columns with a Sidak correction for their number.

    **The reference panel** (empirical Bayes). A test of one id's
    statistic against the same id's reference statistic pays twice for
    sampling noise (a lag-1 autocorrelation of 36 values has a standard
    deviation near 0.15 in either frame); where the ids share their
    process, the whole reference panel knows each id's parameter better
    than its own series. So each continuous column's lag-1 autocorrelation
    and each pair's Fisher z have a prior: weights on a grid (64
    coefficients from -0.9 to 0.99; 107 values of z from -2.65 to 2.65),
    fitted to the reference's estimates of every id (c and its pairs; z
    and its standard deviation; rounded to 0.01 and to 5 % steps)
    by nonparametric maximum likelihood, 500 rounds of EM from uniform
    weights, with the laws above as likelihoods; uniform weights (the
    plain two-sample test) where fewer than 50 ids have an estimate, since
    a prior fitted to a few ids is too sure of where they lie. An id's posterior is the
    prior times the likelihood of its own estimate (the prior itself
    where it has none). Where ids share one value the prior is nearly a
    point mass and the test that of a known null value; where they differ
    widely the posterior follows the id's own estimate, and the test is
    the plain two-sample one; a grid, not a normal prior, fits a panel of
    groups (half the ids barely persistent, half very) as groups. Only
    reference values enter the prior: a difference that every compared id
    shares is not absorbed. The ids of a table all share the priors
    (``measure_table`` of dask frames fits them over every partition).

    **Calibration** (the default). The formulas above hold for long
    series; in short, tied, sticky or gappy ones their small tail is off.
    So the table is measured again on B null panels, B = max(2,
    ceil(4,000 / ids)), each holding both frames' rows, periods and
    missing values, with values drawn independently for the two frames
    from one model per id fitted to both frames' values of the id: for a
    continuous column an AR(1) Gaussian copula (coefficient the posterior
    mean of the reference's lag-1 autocorrelation, clipped to [0, 0.95],
    else the persistence above; values the quantiles of the id's values,
    linearly interpolated, or the values themselves where the frames
    share a value, as counts do), the columns' innovations correlated as
    the reference's ranks are by their posterior mean (2 sin(pi rho /
    6)); the null panels' tests take the reference panel's priors; for a
    categorical column a
    chain that keeps its label with probability rho per period and else
    draws a label from shares between the id's own (both frames) and the
    panel's, the chance of a change and the shares shrunk towards the
    panel's as far as the ids' spread about it is within sampling noise
    (empirical Bayes: a beta and a Dirichlet prior, their weights by the
    method of moments; the few runs of a short sticky series scatter
    widely, and a chain fitted to them alone is stickier and holds fewer
    labels than the process, so its p-values would fall short of the
    real ones' small tail). A cell's p-value is then (1 + the
    number of the same cell's null p-values at or below its own) / (M +
    1), M the null p-values of the cell over all ids and panels; below
    the 25th smallest null p-value p0, where counts cannot tell 1e-4 from
    1e-9, it is s (p / p0) ** b, s the calibrated p-value at p0 and b
    Hill's estimate of the slope of the null p-values' tail on log scales
    from the 24 smaller ones (bounded to [0.1, 1.5]): the tail extrapolated
    as a power law, which keeps the tests' ranking. A pair's p-value is
    calibrated the same way, and a column's ``dependence`` is the
    Sidak-corrected smallest of its pairs' calibrated p-values. The null
    panels come from a fixed seed, and each id's draws from that seed and
    the id's value alone: the same frames give the same p-values, whatever
    the order of the ids or how a dask frame is partitioned. The model is fitted per id, never to
    the panel's p-values, so a difference that every id shares stays a
    difference.

    Over a whole table, control the false discovery rate over ids with
    :func:`id_level_qvalues` (as :func:`compare_panels` does), or over
    cells with :func:`benjamini_hochberg`.

    See Also
    --------
    divergence_table : The ``distribution`` numbers alone.
    id_level_qvalues : q-values over ids, then over each id's cells.
    benjamini_hochberg : q-values of a table of p-values.

    Examples
    --------
    >>> values, pvalues = measure_table(original, synthetic, meta)  # doctest: +SKIP
    >>> qvalues = benjamini_hochberg(pvalues)  # doctest: +SKIP
    >>> values[qvalues < 0.05].dropna(how="all")  # doctest: +SKIP

    """
    from . import partitions
    if partitions.engine_of([reference, other]) == "dask":
        return partitions.measure_table(reference, other, meta, columns, ids, measures,
                                        max_lag, calibrated)
    measures = _checked_measures(measures)
    max_lag = inputs.count("max_lag", max_lag)
    reference, _ = inputs.prepare_frame(reference, meta, name="reference")
    other, _ = inputs.prepare_frame(other, meta, name="other")
    columns = list(meta.columns) if columns is None else list(columns)
    if ids is None:
        ids = _sorted_union(reference, other)
    max_lag = check_options([reference, other], columns, meta.categorical,
                            measures, max_lag, cap=True)
    return _measures(reference, other, meta, columns, pd.Index(ids),
                     measures, max_lag, bool(calibrated))


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
    q = _bh_qvalues(values)
    if isinstance(pvalues, pd.DataFrame):
        return pd.DataFrame(q, index=pvalues.index, columns=pvalues.columns, copy=False)
    if isinstance(pvalues, pd.Series):
        return pd.Series(q, index=pvalues.index, name=pvalues.name)
    return q


def _bh_qvalues(values):
    """The rounded q-values of :func:`benjamini_hochberg` of a float64 array.

    Beyond the result, two arrays of the table's size are held (the ranks
    of the p-values and the sorted q-values); the rest runs in steps of
    ``ROUNDING_STEP`` values. NaN sorts last, so the tests are the first
    of the ranks.
    """
    q = np.empty_like(values, order="K")
    flat_p = values.ravel(order="K")
    flat_q = q.ravel(order="K")
    if not np.may_share_memory(flat_q, q):  # a layout of neither order
        flat_p, q = values.ravel(), np.empty(values.shape)
        flat_q = q.reshape(-1)
    order = np.argsort(flat_p, kind="stable")
    m = flat_p.size - int(np.count_nonzero(np.isnan(flat_p)))
    ranked = flat_p[order[:m]]
    # p_(j) m / j, then the smallest over j' >= j, from the last step back.
    smallest = 1.0
    for stop in range(m, 0, -ROUNDING_STEP):
        start = max(stop - ROUNDING_STEP, 0)
        step = ranked[start:stop]
        step *= m
        step /= np.arange(start + 1, stop + 1)
        np.minimum.accumulate(step[::-1], out=step[::-1])
        np.minimum(step, smallest, out=step)
        smallest = step[0]
    flat_q.fill(np.nan)
    flat_q[order[:m]] = ranked
    del order, ranked
    round_significant(q, out=q)
    return q


def id_level_qvalues(pvalues, pairs=None):
    """q-values of every cell that control the false discovery rate over
    ids, and within the ids found over their cells.

    Parameters
    ----------
    pvalues : pandas.DataFrame
        p-values per id (index) and (column, measure) cell, as
        :func:`measure_table` gives them.
    pairs : pandas.DataFrame, optional
        The p-value of the dependence of each pair of continuous columns
        (columns: (first, second) pairs); without it each ``"dependence"``
        cell counts as a test of its own.

    Returns
    -------
    pandas.DataFrame
        Like ``pvalues``: the smallest level alpha at which the cell is
        found by this two-stage procedure (Benjamini and Bogomolov 2014),
        rounded to 12 significant digits; NaN where the p-value is NaN.

    Notes
    -----
    An id's tests are its ``distribution`` and ``dynamics`` cells and each
    pair of its continuous columns once (a ``dependence`` cell is found
    when one of its column's pairs is). Stage 1: Simes' p-value per id,
    min over i of p_(i) m / i over its m tests, and Benjamini-Hochberg
    over the N ids with a test finds R(alpha) ids at level alpha. Stage 2:
    within a found id, Benjamini-Hochberg over its tests at level
    alpha R(alpha) / N. Cells found at alpha = 0.05 then hold the share of
    false ids among the ids with some found cell at 5 % or less, and a
    null id's single small p-value counts once, however many cells its
    columns have.
    """
    p = pvalues.to_numpy(dtype=float)
    cells = list(pvalues.columns)
    coupled = [j for j, c in enumerate(cells) if c[1] == "dependence"]
    if pairs is None or not len(pairs.columns):
        coupled, pair_names, pair_p = [], [], np.empty((len(p), 0))
    else:
        pair_names, pair_p = list(pairs.columns), pairs.to_numpy(dtype=float)
    single = [j for j in range(len(cells)) if j not in coupled]
    # Of each coupled cell, the tests (after the single cells) of its column's pairs.
    partners = [(j, [len(single) + k for k, pair in enumerate(pair_names)
                     if cells[j][0] in pair]) for j in coupled]
    q = np.full(p.shape, np.nan)
    if not len(single) + len(pair_names):
        return pd.DataFrame(q, index=pvalues.index, columns=pvalues.columns)
    # Both stages work on a few rows at a time: beyond the p-values, the
    # result is the one array of the table's size.
    rows = max(1, ROUNDING_STEP // (len(single) + len(pair_names)))
    steps = [slice(start, start + rows) for start in range(0, len(p), rows)]
    simes = np.empty(len(p))
    for step in steps:
        simes[step] = _within_ids(p[step][:, single], pair_p[step], single, partners,
                                  q[step])
    # Ids: Benjamini-Hochberg over the Simes p-values.
    q_id = _bh_qvalues(simes)
    defined = ~np.isnan(q_id)
    n = int(defined.sum())
    if not n:
        q.fill(np.nan)
        return pd.DataFrame(q, index=pvalues.index, columns=pvalues.columns)
    # A cell is found at alpha when its id is (q_id <= alpha) and its
    # within-id q-value is at most alpha R(alpha) / n; the smallest such
    # alpha is the minimum over k >= (the id's rank) of max(q_(k),
    # within n / k), where k q_(k) first reaches within n.
    levels = np.sort(q_id[defined])
    reach = levels * np.arange(1, n + 1)
    for step in steps:
        cell_within = q[step]
        own = np.searchsorted(levels, np.nan_to_num(q_id[step], nan=2.0),
                              side="right")[:, None]
        wanted = cell_within * n
        k = np.maximum(own, np.searchsorted(reach, np.nan_to_num(wanted, nan=0.0),
                                            side="left") + 1)
        at_k = np.where(k <= n, levels[np.minimum(k, n) - 1], wanted / n)
        before = np.where(k - 1 >= own, wanted / np.maximum(k - 1, 1), np.inf)
        found = np.minimum(np.minimum(at_k, before), 1.0)
        found[np.isnan(cell_within) | ~defined[step, None]] = np.nan
        q[step] = found
    # Without copy=False, pandas 3 copies the array into the frame.
    return pd.DataFrame(round_significant(q, out=q), index=pvalues.index,
                        columns=pvalues.columns, copy=False)


def _within_ids(p_single, pair_p, single, partners, cell_within):
    """Stage 1 of :func:`id_level_qvalues` on some rows: each row's Simes
    p-value (returned) and, into ``cell_within``, each cell's
    Benjamini-Hochberg q-value over its id's tests."""
    tests = np.column_stack([p_single, pair_p])
    m = (~np.isnan(tests)).sum(axis=1)
    rank = np.arange(1, tests.shape[1] + 1)
    order = np.argsort(np.where(np.isnan(tests), np.inf, tests), axis=1, kind="stable")
    ranked = np.take_along_axis(tests, order, axis=1) * m[:, None] / rank
    ranked = np.where(np.isnan(ranked), np.inf, ranked)
    simes = np.where(m > 0, np.minimum(ranked.min(axis=1), 1.0), np.nan)
    within = np.empty(tests.shape)
    within_sorted = np.minimum(np.minimum.accumulate(ranked[:, ::-1], axis=1)[:, ::-1], 1.0)
    np.put_along_axis(within, order, within_sorted, axis=1)
    within[np.isnan(tests)] = np.nan
    cell_within[:, single] = within[:, :len(single)]
    for j, mine in partners:
        if mine:
            found = within[:, mine]
            cell_within[:, j] = np.where(np.isnan(found).all(axis=1), np.nan,
                                         np.nanmin(np.where(np.isnan(found), np.inf, found),
                                                   axis=1))
    return simes


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


def _measures(reference, other, meta, columns, ids, measures=MEASURES, max_lag=1,
              calibrated=True):
    """The (values, pvalues) tables of prepared frames (indexed by id, time)
    over ``ids``; see :func:`measure_table`."""
    values, pvalues, _ = _measured(reference, other, meta, columns, ids, measures,
                                   max_lag, calibrated)
    return values, pvalues


def _measured(reference, other, meta, columns, ids, measures=MEASURES, max_lag=1,
              calibrated=True):
    """:func:`_measures` and the p-value of each pair of continuous columns'
    dependence (a table whose columns are the (first, second) pairs)."""
    from . import calibration
    # Undefined cells are NaN by design: the arithmetic that makes them so
    # (0/0, inf - inf) needs no warning.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        periods = _periods(reference, other)
        frames = (_Rows(reference, ids, periods[0]), _Rows(other, ids, periods[1]))
        categorical = set(meta.categorical)
        found = _computed(frames, categorical, columns, measures, max_lag)
        if calibrated:
            found = calibration.calibrated(frames, categorical, columns, measures,
                                           max_lag, found)
    cells, values, pvalues, pairs = found[:4]
    index = pd.MultiIndex.from_tuples(cells, names=[None, None])
    if not cells:
        index = pd.MultiIndex.from_arrays([[], []])

    def table(columns_of, index):
        data = np.column_stack(columns_of) if columns_of else np.empty((len(ids), 0))
        return pd.DataFrame(round_significant(data), index=ids, columns=index)

    pair_index = pd.MultiIndex.from_tuples(list(pairs), names=[None, None]) if pairs \
        else pd.MultiIndex.from_arrays([[], []])
    return (table(values, index), table(pvalues, index),
            table(list(pairs.values()), pair_index))


def _computed(frames, categorical, columns, measures, max_lag, priors=None, labels=None):
    """Cells, values and p-values (lists of arrays, one per cell), the
    p-values of the dependence of each pair of continuous columns (a dict),
    and what a null model needs of the first frame: its series, label
    codes, the (posterior mean) rank correlation of each pair and the
    priors of the reference panel.

    ``priors`` (optional): the prior weights of each continuous column's
    lag-1 autocorrelation and each pair's correlation (keyed by the column
    and the pair), as :func:`_prior_rows` and :func:`_fitted_priors` give
    them; by default fitted to the first frame. Null panels take the
    panel's priors, and partitions the whole panel's. ``labels``
    (optional): categorical columns' labels already coded, as
    :func:`_labels` gives them."""
    numeric = [c for c in columns if c not in categorical]
    lags = max_lag if "dynamics" in measures else 1
    series = {c: [_Series(rows, rows.values(c), lags) for rows in frames]
              for c in numeric}
    estimates = {}
    if priors is None:
        priors = _fitted_priors(_prior_rows(frames, series, numeric, measures, estimates))
    for c in numeric:
        series[c][0].prior = priors.get(c)
    coupled, pairs, correlations = {}, {}, {}
    if "dependence" in measures and len(numeric) >= 2:
        coupled, pairs, correlations = _dependence(frames, series, numeric, priors, estimates)

    labels = dict(labels or {})
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
            values.append(value)
            pvalues.append(np.where(np.isnan(value), np.nan, p))
    return cells, values, pvalues, pairs, (series, labels, correlations, priors)


def _prior_rows(frames, series, numeric, measures, estimates=None):
    """The :func:`prior.summary` rows of the first frame's estimates: of
    each continuous column's lag-1 autocorrelation, and of each pair's
    Fisher z (where ``dependence`` is measured); ``estimates`` (a dict)
    keeps each pair's :func:`_pair_estimates`."""
    estimates = {} if estimates is None else estimates
    rows = {c: prior.summary(series[c][0].corrected(), series[c][0].pairs[0].astype(float))
            for c in numeric}
    if "dependence" in measures and len(numeric) >= 2:
        ranked = {}
        for i, first in enumerate(numeric):
            for second in numeric[i + 1:]:
                estimates[first, second] = _pair_estimates(frames, series, first, second,
                                                           ranked)
                _, z, sd, coarse = estimates[first, second]
                rows[first, second] = prior.summary(np.where(coarse[0], np.nan, z[0]), sd[0])
    return rows


def merged_rows(parts):
    """:func:`_prior_rows` of several parts of one panel, as one panel's."""
    out = {}
    for key in parts[0] if parts else ():
        found = np.concatenate([part[key] for part in parts])
        if not len(found):
            out[key] = found
            continue
        rows, inverse = np.unique(found[:, :2], axis=0, return_inverse=True)
        out[key] = np.column_stack([rows, np.bincount(inverse.ravel(), weights=found[:, 2])])
    return out


def _fitted_priors(rows):
    """The prior weights of :func:`_prior_rows`' rows."""
    return {key: prior.fitted(found, *((CORRELATION_GRID, _correlation_law)
                                       if isinstance(key, tuple) else
                                       (PERSISTENCE_GRID, _persistence_law)))
            for key, found in rows.items()}


def _periods(reference, other):
    """Whole periods since the earliest time, one array per frame, where the
    time index of both frames is regular; (None, None) otherwise.

    Regular: numbers or dates whose steps within every id are whole
    multiples of the smallest step, or dates that all fall on the same
    day of their months (or all on their months' ends) at the same time
    of day, counted in months.
    """
    # Each frame's distinct times (those of its rows) and each row's place
    # among them: the times are judged and numbered once each.
    levels = [_level(frame.index, 1) for frame in (reference, other)]
    times = [held for held, _ in levels]
    try:
        if all(isinstance(t, pd.DatetimeIndex) for t in times):
            if all(t.tz is None for t in times) or all(t.tz is not None for t in times):
                times = [t.tz_convert("UTC") if t.tz is not None else t for t in times]
            else:
                return None, None
            both = times[0].append(times[1])
            if not len(both):
                return None, None
            same_day = (both.day == both[0].day).all() or both.is_month_end.all()
            clock = (both - both.normalize()).asi8
            if len(both) and same_day and (clock == clock[0]).all():
                numbers = [(t.year * 12 + t.month).to_numpy().astype(np.int64) for t in times]
            else:
                numbers = [t.asi8.astype(np.int64) for t in times]
        elif all(isinstance(t, pd.PeriodIndex) for t in times):
            numbers = [t.asi8.astype(np.int64) for t in times]
        elif all(pd.api.types.is_integer_dtype(t.dtype) for t in times):
            numbers = [t.to_numpy().astype(np.int64) for t in times]
        else:
            return None, None
    except (TypeError, ValueError, AttributeError, IndexError):
        return None, None
    numbers = [number[place] for number, (_, place) in zip(numbers, levels)]
    ids = [_level(frame.index, 0)[1] for frame in (reference, other)]
    steps = []
    for number, id_level in zip(numbers, ids):
        if len(number) > 1:
            same = id_level[1:] == id_level[:-1]
            steps.append(np.diff(number)[same])
    steps = np.concatenate(steps) if steps else np.zeros(0, dtype=np.int64)
    if not len(steps) or (steps <= 0).any():
        return None, None
    step = steps.min()
    if (steps % step).any():
        return None, None
    low = min(n.min() for n in numbers if len(n))
    return tuple((n - low) // step for n in numbers)


def _level(index, level):
    """The distinct values of an index level that its rows hold, and each
    row's place among them (codes, not the values row by row)."""
    codes = np.asarray(index.codes[level]) if isinstance(index, pd.MultiIndex) else None
    if codes is None or (len(codes) and codes.min() < 0):  # a missing key: row by row
        return index.get_level_values(level), np.arange(len(index))
    values = index.levels[level]
    used = np.zeros(len(values), dtype=bool)
    used[codes] = True
    if used.all():
        return values, codes
    return values[used], (np.cumsum(used) - 1)[codes]


class _Rows:
    """The rows of a prepared frame that belong to ``ids``, grouped by id.

    The frame is sorted by id, then time, so each id's rows are consecutive
    and in time order. ``period`` (optional) numbers each row's period on a
    regular time index: lags are then counted in periods, so an absent row
    leaves a gap rather than joining its neighbours; otherwise in rows.
    """

    def __init__(self, frame, ids, period=None):
        held, place = _level(frame.index, 0)
        codes = ids.get_indexer(held)[place]
        self.frame, self.ids = frame, ids
        self.kept = codes >= 0
        self._set(codes[self.kept], len(ids),
                  None if period is None else period[self.kept])
        self.columns = {}

    @classmethod
    def of_arrays(cls, codes, ngroups, period, columns):
        """Rows made of arrays: the id code of each row, its period (or
        None) and a dict of column values."""
        rows = cls.__new__(cls)
        rows._set(codes, ngroups, period)
        rows.columns = columns
        return rows

    def _set(self, codes, ngroups, period):
        self.codes = codes
        self.ngroups = ngroups
        self.size = np.bincount(self.codes, minlength=self.ngroups)
        self.period = period
        # Runs of one id's rows, numbered in row order.
        self.run = np.cumsum(np.r_[0, codes[1:] != codes[:-1]]) if len(codes) else codes
        self._pairs = {}

    def values(self, column):
        if column in self.columns:
            return self.columns[column]
        return self.frame[column].to_numpy()[self.kept]

    def position(self):
        """Place of each row within its id's rows, from 0."""
        starts = np.flatnonzero(np.r_[True, self.run[1:] != self.run[:-1]]) if len(self.run) \
            else np.zeros(0, dtype=np.int64)
        return np.arange(len(self.codes)) - np.repeat(starts, np.diff(np.r_[starts, len(self.codes)]))

    def gaps(self):
        """Periods (or rows) from each row's previous row of the same id;
        0 at an id's first row."""
        step = np.ones(len(self.codes), dtype=np.int64) if self.period is None \
            else np.diff(np.r_[0, self.period])
        return np.where(self.position() == 0, 0, step)

    def pairs(self, lag):
        """Positions (i, j) of the rows of one id whose times are ``lag``
        periods (or rows) apart."""
        if lag not in self._pairs:
            self._pairs[lag] = self._found_pairs(lag)
        return self._pairs[lag]

    def _found_pairs(self, lag):
        if self.period is None:
            if lag >= len(self.codes):
                first = np.zeros(0, dtype=np.int64)
            else:
                first = np.flatnonzero(self.codes[:-lag] == self.codes[lag:])
            return first, first + lag
        span = int(self.period.max()) + lag + 1 if len(self.period) else 1
        key = self.run.astype(np.int64) * span + self.period
        found = np.minimum(np.searchsorted(key, key + lag), max(len(key) - 1, 0))
        first = np.flatnonzero(key[found] == key + lag) if len(key) else found
        return first, found[first]


class _Series:
    """Counts and autocorrelations of one continuous column of one frame.

    ``count``: values per id; ``r[k - 1]``: the lag-k autocorrelation (NaN
    where undefined); ``pairs[k - 1]``: pairs of values at lag k.
    """

    def __init__(self, rows, values, lags):
        values = np.asarray(values, dtype=float)
        codes, size = rows.codes, rows.ngroups
        present = ~np.isnan(values)
        self.values, self.codes, self.size = values, codes, size
        self._order = None
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
        # Runs of equal consecutive values (missing values left out).
        changed = np.r_[True, (kept_codes[1:] != kept_codes[:-1]) | (kept[1:] != kept[:-1])][
            :len(kept)]
        self.runs = np.bincount(kept_codes[changed], minlength=size)
        self._posterior = self.prior = None
        self.r, self.pairs = [], []
        for lag in range(1, lags + 1):
            first, second = rows.pairs(lag)
            both = present[first] & present[second]
            first, second = first[both], second[both]
            products = deviation[first] * deviation[second]
            cross = np.bincount(codes[first], weights=products, minlength=size)
            pairs = np.bincount(codes[first], minlength=size)
            # Normalised by the pairs present: a series with missing values
            # or absent periods has fewer pairs than one of as many values
            # without gaps (count - lag), and would otherwise shrink.
            complete = np.maximum(self.count - lag, pairs)
            r = np.where(usable & (pairs > 0), cross / spread * complete / pairs, np.nan)
            self.r.append(np.clip(r, -1.0, 1.0))
            self.pairs.append(pairs)

    def ranks(self, rows):
        """Average ranks of the values of ``rows`` (a mask of present
        values) within their ids, and each id's distinct values among them.
        The series is sorted within its ids once; a subset of its rows
        keeps that order."""
        if self._order is None:
            present = np.flatnonzero(~np.isnan(self.values))
            self._order = present[order_within(self.codes[present], self.values[present],
                                               self.size)]
        order = self._order[rows[self._order]]
        ranks, distinct = sorted_ranks(self.codes[order], self.values[order], self.size)
        out = np.empty(len(rows))
        out[order] = ranks
        return out[rows], distinct

    def corrected(self):
        """The lag-1 autocorrelation less its bias in a short AR(1) series,
        r1 + (1 + 4 r1)/n (Marriott and Pope 1954)."""
        return self.r[0] + (1 + 4 * self.r[0]) / self.count

    def persistence(self):
        """:meth:`corrected`, clipped to [0, STEADIEST]; NaN where undefined
        or with fewer than 3 pairs."""
        r = np.where(self.pairs[0] >= FEWEST, self.corrected(), np.nan)
        return np.clip(r, 0.0, STEADIEST)

    def posterior(self):
        """Each id's posterior of its lag-1 autocorrelation under ``prior``
        (the reference panel's weights; fitted to this frame's ids where
        None): :class:`prior.Posterior` of :meth:`corrected` at its pairs,
        whose law :func:`_persistence_law` gives."""
        if self._posterior is None:
            self._posterior = prior.Posterior(self.corrected(), self.pairs[0].astype(float),
                                              PERSISTENCE_GRID, _persistence_law, self.prior)
        return self._posterior

    def shrunk(self):
        """:meth:`persistence` with the posterior mean in place of the id's
        own estimate: what the null panels of the calibration draw."""
        own = self.persistence()
        return np.where(np.isnan(own), np.nan,
                        np.clip(self.posterior().mean(), 0.0, STEADIEST))


def _shared(own, other):
    """A frame's persistence where defined, else the other frame's (the
    same process under the null), else the cap STEADIEST: a series that
    does not show how it moves is as little evidence as the steadiest."""
    return np.where(np.isnan(own), np.where(np.isnan(other), STEADIEST, other), own)


def _factor(rho):
    """The effective share of the values, (1 - rho)/(1 + rho)."""
    return (1 - rho) / (1 + rho)


def _normal_p(z):
    """Two-sided p-value of a standard normal statistic."""
    return special.erfc(np.abs(z) / np.sqrt(2))


def _sidak(p, tests):
    """The smallest of ``tests`` p-values, corrected for their number."""
    return -np.expm1(tests * np.log1p(-np.minimum(p, 1.0)))


def _distribution(frames, pair, column):
    """Kolmogorov-Smirnov statistic and its p-value at the effective sizes."""
    ref, oth = frames
    statistic = kolmogorov_smirnov(ref.codes, pair[0].values, oth.codes,
                                   pair[1].values, ref.ngroups)
    rho = [s.persistence() for s in pair]
    sizes = [np.minimum(s.count * _factor(_shared(a, b)), s.runs)
             for s, a, b in zip(pair, rho, rho[::-1])]
    n = np.sqrt(sizes[0] * sizes[1] / (sizes[0] + sizes[1]))
    p = np.where(statistic == 0, 1.0, special.kolmogorov((n + 0.12 + 0.11 / n) * statistic))
    return statistic, np.where(_short(pair[0].count, pair[1].count), np.nan, p)


def _short(*counts):
    """Too short to tell: fewer than SHORTEST values in either frame."""
    return np.logical_or.reduce([c < SHORTEST for c in counts])


def _ar1_variance(phi, lag):
    """Bartlett's variance of the lag-``lag`` autocorrelation of an AR(1)
    series with coefficient ``phi``, times the length."""
    square = phi ** 2
    return ((1 + square) * (1 - square ** lag) / (1 - square)
            - 2 * lag * square ** lag)


def _persistence_law(pairs):
    """The mean and standard deviation of :meth:`_Series.corrected` of an
    AR(1) series with ``pairs`` + 1 values, at each coefficient of
    PERSISTENCE_GRID (rows: ``pairs``; columns: the grid), from
    :func:`_simulated_law` at the simulated lengths, interpolated linearly
    in 1 / length between them; beyond the longest, its bias shrinks as 1 /
    length and its standard deviation as 1 / sqrt(length - 1)."""
    length = np.maximum(np.asarray(pairs, dtype=float) + 1, LAW_LENGTHS[0])
    # One row per length seen, then one per entry.
    lengths, inverse = np.unique(length, return_inverse=True)
    mean = np.empty((len(lengths), len(PERSISTENCE_GRID)))
    sd = np.empty_like(mean)
    for row, n in enumerate(lengths):
        high = np.searchsorted(LAW_LENGTHS, n)
        if high == len(LAW_LENGTHS):
            last = LAW_LENGTHS[-1]
            m, s = _simulated_law(last)
            m = PERSISTENCE_GRID + (m - PERSISTENCE_GRID) * last / n
            s = s * np.sqrt((last - 1) / (n - 1))
        elif LAW_LENGTHS[high] == n:
            m, s = _simulated_law(int(n))
        else:
            a, b = LAW_LENGTHS[high - 1], LAW_LENGTHS[high]
            share = (1 / a - 1 / n) / (1 / a - 1 / b)
            (ma, sa), (mb, sb) = _simulated_law(a), _simulated_law(b)
            m, s = ma + share * (mb - ma), sa + share * (sb - sa)
        mean[row], sd[row] = m, s
    inverse = inverse.ravel()
    return mean[inverse], sd[inverse]


def _simulated_law(length):
    """The mean and standard deviation of :meth:`_Series.corrected` over
    LAW_DRAWS stationary AR(1) series of ``length`` values at each
    coefficient of PERSISTENCE_GRID (the same innovations for every
    coefficient, from a fixed seed), simulated once per length: at short
    lengths and high persistence its bias and spread are far from the
    asymptotic formulas (at 36 values and 0.9, a spread 1.6 times
    Bartlett's)."""
    if length not in _LAWS:
        rng = np.random.default_rng([LAW_SEED, length])
        phi = PERSISTENCE_GRID[:, None]
        x = rng.standard_normal(LAW_DRAWS) / np.sqrt(1 - phi ** 2)
        first, total, square, cross = x, x.copy(), x ** 2, np.zeros_like(x)
        for _ in range(length - 1):
            x_next = phi * x + rng.standard_normal(LAW_DRAWS)
            cross += x * x_next
            total += x_next
            square += x_next ** 2
            x = x_next
        mean = total / length
        lagged = cross - mean * (2 * total - first - x) + (length - 1) * mean ** 2
        r = np.clip(lagged / (square - length * mean ** 2), -1.0, 1.0)
        corrected = r + (1 + 4 * r) / length
        _LAWS[length] = (corrected.mean(axis=1), corrected.std(axis=1))
    return _LAWS[length]


def _dynamics(pair, max_lag):
    """Largest half-difference of the autocorrelations over the lags, and
    the Sidak-corrected smallest p-value of their tests: at lag 1 the
    compared frame's autocorrelation against the reference's posterior
    predictive distribution, at the others z-tests of the difference."""
    ref, oth = pair
    rho = [s.persistence() for s in pair]
    rho = [_shared(a, b) for a, b in zip(rho, rho[::-1])]
    values, pvalues = [], []
    for k in range(max_lag):
        difference = ref.r[k] - oth.r[k]
        if k == 0:
            # Each lag-1 autocorrelation less its bias, which differs
            # between series of different lengths.
            p = ref.posterior().pvalue(oth.corrected(), *_persistence_law(oth.pairs[0]))
        else:
            variance = (_ar1_variance(rho[0], k + 1) / ref.pairs[k]
                        + _ar1_variance(rho[1], k + 1) / oth.pairs[k])
            p = _normal_p(difference / np.sqrt(variance))
        values.append(0.5 * np.abs(difference))
        pvalues.append(np.where(difference == 0, 1.0, p))
    values, pvalues = np.array(values), np.array(pvalues)
    defined = ~np.isnan(values)
    tests = defined.sum(axis=0)
    value = np.where(tests > 0, np.max(np.where(defined, values, -1.0), axis=0), np.nan)
    smallest = np.min(np.where(defined, pvalues, 2.0), axis=0)
    p = np.where(tests > 0, _sidak(smallest, tests), np.nan)
    return value, np.where(_short(ref.count, oth.count), np.nan, p)


def _labels(frames, column):
    """Codes of the labels of both frames in one numbering, a missing label
    taking a code of its own (the last), and the number of codes."""
    ref, oth = (rows.values(column) for rows in frames)
    codes, nlabels = label_codes(ref, oth)
    return np.split(codes, [len(ref)]), nlabels


_unique = unique_keys


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
        rho = [_label_persistence(rows, codes, nlabels)
               for rows, codes in zip(frames, (ref_codes, oth_codes))]
        scale = [_factor(_shared(a, b)) for a, b in zip(rho, rho[::-1])]
        statistic, df, sizes, (group, counts) = _chi_square(
            (ref.codes, oth.codes), (ref_codes, oth_codes), nlabels, scale)
        # The total variation distance, from the same counts of each label.
        gap = np.abs(counts[0] / sizes[0][group] - counts[1] / sizes[1][group])
        value = 0.5 * np.bincount(group, weights=gap, minlength=size)
        value[(sizes[0] == 0) | (sizes[1] == 0)] = np.nan
        p = np.where(value == 0, 1.0, _chi_square_p(statistic, df))
        return value, np.where(_short(ref.size, oth.size), np.nan, p)

    # Transitions: the group is (id, "from" label), the category the next label.
    moves = []
    for rows, codes in zip(frames, (ref_codes, oth_codes)):
        first, second = rows.pairs(1)
        moves.append((rows.codes[first] * nlabels + codes[first], codes[second]))
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
    p = np.where(value == 0, 1.0, p)
    return value, np.where(_short(ref.size, oth.size), np.nan, p)


def _label_persistence(rows, codes, nlabels):
    """rho of every id, the chance of keeping the label from one period to
    the next beyond the chance of drawing the same label twice, less its
    bias, clipped to [0, STEADIEST]; NaN where undefined: fewer than 3
    moves, a single label or fewer than 2 changes of label."""
    size = rows.ngroups
    first, second = rows.pairs(1)
    stays = np.bincount(rows.codes[first], weights=codes[first] == codes[second],
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
    undefined = (moves < FEWEST) | (moves - stays < 2) | ~np.isfinite(rho)
    return np.where(undefined, np.nan, np.clip(rho, 0.0, STEADIEST))


def _spearman(codes, x, y, size, ranked):
    """Spearman correlation per id of the rows where both ``_Series`` ``x``
    and ``y`` are present, the number of such rows, and the fewer of the
    two columns' distinct values there; NaN for fewer than 3 rows or
    constant ranks. ``ranked`` keeps the ranks (and distinct counts) of a
    series with no missing value beside the other's, for the next pair."""
    present = [~np.isnan(s.values) for s in (x, y)]
    both = present[0] & present[1]
    codes = codes[both]
    count = np.bincount(codes, minlength=size)
    if not len(codes):
        return np.full(size, np.nan), count, count
    middle = (count[codes] + 1) / 2  # the mean of the ranks 1 to n
    ranks, distinct = [], []
    for s, kept in zip((x, y), present):
        if (kept == both).all() and id(s) in ranked:
            found = ranked[id(s)]
        else:
            found = s.ranks(both)
            if (kept == both).all():
                ranked[id(s)] = found
        ranks.append(found[0])
        distinct.append(found[1])
    dx, dy = ranks[0] - middle, ranks[1] - middle
    sxy = np.bincount(codes, weights=dx * dy, minlength=size)
    sxx = np.bincount(codes, weights=dx * dx, minlength=size)
    syy = np.bincount(codes, weights=dy * dy, minlength=size)
    rho = sxy / np.sqrt(sxx * syy)
    rho[(count < FEWEST) | (sxx == 0) | (syy == 0)] = np.nan
    return np.clip(rho, -1.0, 1.0), count, np.minimum(*distinct)


def _pair_estimates(frames, series, first, second, ranked):
    """Of the pair (first, second) in each frame: the Spearman correlation,
    its Fisher z (a correlation of +-1 taken halfway to the nearest value
    that n ranks can give, 1 - 12/(n(n^2 - 1)): Fisher's z is infinite at
    1), the z's standard deviation sqrt(1.06 / (n_e - 3)) at the effective
    size n_e (infinite for 3 or fewer), and whether either column has fewer
    than DISTINCT distinct values."""
    size = frames[0].ngroups
    rho, z, sd, coarse = [], [], [], []
    persistence = [[s.persistence() for s in series[c]] for c in (first, second)]
    for f, (rows, a, b) in enumerate(zip(frames, series[first], series[second])):
        correlation, count, distinct = _spearman(rows.codes, a, b, size, ranked)
        product = (_shared(persistence[0][f], persistence[0][1 - f])
                   * _shared(persistence[1][f], persistence[1][1 - f]))
        effective = count * _factor(product)
        rho.append(correlation)
        coarse.append(distinct < DISTINCT)
        sd.append(np.where(effective > 3, np.sqrt(SPEARMAN_VARIANCE / (effective - 3)), np.inf))
        nearest = 1 - 6.0 / (count * (count ** 2 - 1.0))
        z.append(np.arctanh(np.clip(correlation, -nearest, nearest)))
    return rho, z, sd, coarse


def _dependence(frames, series, numeric, priors, estimates):
    """(value, p-value) of every continuous column: the largest half-
    difference of its Spearman correlations over the partner columns, and
    the Sidak-corrected smallest p-value of their pairs' tests; the
    (difference, p-value) of each pair, tested once; and the posterior
    mean correlation of each pair in the first frame. ``estimates``: the
    pairs' :func:`_pair_estimates` known already."""
    per_column = {c: ([], []) for c in numeric}
    ranked, pairs, correlations = {}, {}, {}
    for i, first in enumerate(numeric):
        for second in numeric[i + 1:]:
            rho, z, sd, coarse = estimates.get((first, second)) or _pair_estimates(
                frames, series, first, second, ranked)
            difference = 0.5 * np.abs(rho[0] - rho[1])
            # The compared frame's z against the reference's posterior
            # predictive distribution under the reference panel's prior.
            known = ~coarse[0] & np.isfinite(sd[0])
            posterior = prior.Posterior(np.where(known, z[0], np.nan), sd[0], CORRELATION_GRID,
                                        _correlation_law, priors.get((first, second)))
            p = posterior.pvalue(z[1], *_correlation_law(sd[1]))
            p = np.where(np.isinf(sd[0]) | np.isinf(sd[1]) | (rho[0] == rho[1]), 1.0, p)
            p = np.where(np.isnan(difference), np.nan, np.where(coarse[0] | coarse[1], np.nan, p))
            pairs[first, second] = p
            # The null panels draw the posterior mean's correlation.
            correlations[first, second] = np.where(known, np.tanh(posterior.mean()), rho[0])
            for column in (first, second):
                per_column[column][0].append(difference)
                per_column[column][1].append(p)
    return _per_column(per_column), pairs, correlations


def _correlation_law(sd):
    """Fisher's z of a rank correlation at each value of CORRELATION_GRID:
    normal about it with standard deviation ``sd`` (per id)."""
    sd = np.asarray(sd, dtype=float)[:, None]
    return np.broadcast_to(CORRELATION_GRID, (len(sd), len(CORRELATION_GRID))), \
        np.broadcast_to(sd, (len(sd), len(CORRELATION_GRID)))


def _per_column(per_column):
    """Each column's largest difference over its pairs, and the Sidak-
    corrected smallest p-value over the pairs that have one (NaN where no
    pair has one: too coarse to tell)."""
    out = {}
    for column, (differences, ps) in per_column.items():
        differences, ps = np.array(differences), np.array(ps)
        defined = ~np.isnan(differences)
        value = np.where(defined.any(axis=0),
                         np.max(np.where(defined, differences, -1.0), axis=0), np.nan)
        tested = ~np.isnan(ps)
        tests = tested.sum(axis=0)
        smallest = np.min(np.where(tested, ps, 2.0), axis=0)
        out[column] = (value, np.where(tests > 0, _sidak(smallest, tests), np.nan))
    return out
