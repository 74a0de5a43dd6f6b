"""Synthetic ids paired with the reference ids they resemble, and populations.

Generators of panel data often invent their entities: the compared frame's
ids are not the reference's. Each id is then described by a summary vector
(:func:`id_summaries`), the entries scaled by the reference ids' spread, and
paired with its nearest id of the other frame (Euclidean distance):

- **realism** of a compared id: its distance to its nearest reference id
  over that reference id's distance to its k-th nearest other reference id
  (k = min(5, number of reference ids - 1)); at most 1 means inside the
  reference population, and the share of such ids is the **precision**;
- a reference id is **covered** when some compared id lies within that same
  radius; the share covered is the **coverage**, and the uncovered ids are
  what the generator never makes;
- a compared id is a **near-copy** when the copy test finds it closer to
  the reference than real ids are (see :func:`.scores.copy_pvalues`).

These follow the precision, recall and coverage measures of generative
models, computed per entity. The populations are compared as a whole too
(:func:`_population`): per column over all rows, per time point across ids,
and per summary entry across ids.

Every id is handled at once with grouped array operations and a search of
nearest ids a chunk at a time: no Python loop per id, and memory linear in
the number of ids.
"""

import collections
import contextvars
import warnings

import numpy as np
import pandas as pd

from .divergence import DIGITS, kolmogorov_smirnov, round_significant, total_variation
from .measures import benjamini_hochberg

# Name of the label that stands for a missing one, as the plots draw it.
NULL = "Null"
#: Where the exact nearest-id searches run: None for this process, or a
#: function of (queries, points, k) that runs :func:`_search` in blocks of
#: queries elsewhere (a dask cluster's workers, see :mod:`.dask_report`).
SEARCH = contextvars.ContextVar("kestrune_search", default=None)
# Most reference ids whose distance the radius of an id is taken from.
NEIGHBOURS = 5
# Most ids a warning names.
NAMED = 10
# Most estimated distances held at once by the search of nearest ids, and
# the number of points of the blocks it searches.
CHUNK = 1 << 22
BLOCK = 64
# How far (relative to the squared norms) a point's estimated squared
# distance may exceed the bound and still be checked exactly: far more than
# the rounding error of the estimate, so no point that may be among the
# nearest, or tie with them, is missed.
SLACK = 1e-9
# The largest scaled entry: the squared distances of summaries of a few
# hundred such entries still hold in a float.
FAR = 1e150


class NearCopyWarning(UserWarning):
    """Some synthetic ids are near-copies of a reference id (see ``Report.pairs``)."""


Pairing = collections.namedtuple(
    "Pairing", "pairs coverage precision coverage_share near_copies summaries scores")
Pairing.__doc__ = """Synthetic ids paired with reference ids.

pairs : DataFrame, one row per compared id in the order of the ids:
    ``frame``, ``id``, ``reference_id``, ``distance``, ``realism``,
    ``near_copy``.
coverage : DataFrame, one row per reference id in the order of the ids:
    ``frame``, ``reference_id``, ``nearest_id``, ``distance``, ``covered``.
precision : float, the share of compared ids of realism at most 1.
coverage_share : float, the share of reference ids covered.
    (Both NaN where the reference has one id or no entry of spread: the
    distances, realism and shares are NaN then, and no id is a near-copy
    or covered.)
near_copies : int, the number of compared ids that are near-copies.
summaries : list of the two summary tables (unscaled), reference first,
    with the same columns.
scores : dict, the frame's row of ``Report.scores`` (see :mod:`.scores`).
"""


# -- Summaries ---------------------------------------------------------------

def id_summaries(frame, meta, columns=None):
    """One summary vector per id of a panel frame.

    Parameters
    ----------
    frame : pandas.DataFrame
        A panel frame that ``meta`` describes, with the id and the time as
        index levels or as columns (as :meth:`DataFrameMeta.set_indices`
        takes them).
    meta : kestrune.DataFrameMeta
        Which columns are categorical and which continuous.
    columns : list of str, optional
        The data columns to summarise; by default every column of ``meta``,
        in the frame's order.

    Returns
    -------
    pandas.DataFrame
        Index: the ids, sorted, named like the id. Columns, in this order:

        - ``"rows"``: the id's number of rows;
        - per continuous column ``c``: ``"c:mean"``, ``"c:std"`` (the sample
          standard deviation, ddof=1) and ``"c:lag1"`` (the lag-1
          autocorrelation sum((x[t] - m) * (x[t+1] - m)) / sum((x[t] - m)**2)
          in time order, m the mean, pairs with a missing value left out);
          missing values are left out, NaN where too few remain (no value
          for the mean, one for the deviation, no pair of consecutive values
          or no spread for the autocorrelation);
        - per categorical column ``c``: ``"c:share=<label>"`` per label of
          the frame, sorted as text (the share of the id's rows holding it;
          a missing label is written ``Null``, and a label "Null" counts
          with the missing ones, as in the plots), then ``"c:changes"``, the
          share of consecutive steps where the label changes (a missing
          label counting as a label; NaN for an id of one row).

        Floats are rounded to 12 significant digits.

    See Also
    --------
    compare_panels : With ``pairing="nearest"``, pairs ids by these vectors.

    Examples
    --------
    >>> id_summaries(original, meta).describe()  # doctest: +SKIP

    """
    frame = meta.set_indices(frame)
    declared = set(meta.columns)
    valid = [c for c in frame.columns if c in declared]
    if columns is None:
        columns = valid
    else:
        if isinstance(columns, str):
            raise ValueError(
                "columns must be a list, not the single string {!r}; write "
                "[{!r}]".format(columns, columns))
        columns = list(columns)
        unknown = [c for c in columns if c not in valid]
        if unknown:
            raise ValueError("columns {} are not data columns; valid are {}".format(
                unknown, valid))
    labels = _labels([frame], meta, columns)
    return _rounded(_summaries(frame, meta, columns, labels))


def _labels(frames, meta, columns):
    """The labels of each categorical column over all ``frames``, as text,
    sorted, ``Null`` among them where some label is missing."""
    categorical = set(meta.categorical)
    labels = {}
    for column in columns:
        if column in categorical:
            seen = set()
            for frame in frames:
                seen.update(_text(pd.unique(frame[column].to_numpy())))
            labels[column] = sorted(seen)
    return labels


def _text(labels):
    """Labels as text, a missing one as ``Null``."""
    return [NULL if pd.isna(label) else str(label) for label in labels]


def _codes(values, labels):
    """The position in ``labels`` (see :func:`_labels`) of each label."""
    codes, uniques = pd.factorize(np.asarray(values, dtype=object))
    where = {label: n for n, label in enumerate(labels)}
    # Missing labels have the code -1: the last entry, Null's position.
    positions = np.array([where[t] for t in _text(uniques)] + [where.get(NULL, -1)],
                         dtype=np.int64)
    return positions[codes]


def _groups(frame):
    """The ids of a prepared frame (sorted, as its rows) and each row's id
    number (0 to the number of ids - 1)."""
    ids = frame.index.get_level_values(0)
    codes = frame.index.codes[0]
    starts = np.r_[True, codes[1:] != codes[:-1]] if len(codes) else np.zeros(0, bool)
    return ids[starts], np.cumsum(starts) - 1


def _summaries(frame, meta, columns, labels):
    """The unrounded summary table of a prepared frame (indexed by id, time,
    sorted), with the categorical entries of ``labels`` (see :func:`_labels`)."""
    ids, group = _groups(frame)
    n = len(ids)
    rows = np.bincount(group, minlength=n)
    entries = {"rows": rows}
    for column in columns:
        if column in labels:
            entries.update(_label_entries(
                column, frame[column], labels[column], group, rows))
        else:
            values = np.asarray(frame[column], dtype=float)
            entries.update(_number_entries(column, values, group, n))
    table = pd.DataFrame(entries, index=pd.Index(ids, name=frame.index.names[0]))
    table.columns.name = None
    return table


def summary_entries(columns, labels):
    """The names of the entries of :func:`_summaries`'s table, in its order."""
    names = ["rows"]
    for column in columns:
        if column in labels:
            names += ["{}:share={}".format(column, label) for label in labels[column]]
            names.append(column + ":changes")
        else:
            names += [column + part for part in (":mean", ":std", ":lag1")]
    return names


def _number_entries(column, values, group, n):
    """Mean, sample standard deviation and lag-1 autocorrelation per id."""
    held = ~np.isnan(values)
    count = np.bincount(group[held], minlength=n)
    total = np.bincount(group[held], weights=values[held], minlength=n)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.where(count > 0, total / count, np.nan)
        gap = values - mean[group]
        spread = np.bincount(group[held], weights=gap[held] ** 2, minlength=n)
        std = np.where(count > 1, np.sqrt(spread / (count - 1)), np.nan)
        # Consecutive rows of one id, both values present.
        pair = (group[1:] == group[:-1]) & held[1:] & held[:-1]
        first = group[:-1][pair]
        lagged = np.bincount(first, weights=gap[:-1][pair] * gap[1:][pair],
                             minlength=n)
        pairs = np.bincount(first, minlength=n)
        lag1 = np.where((pairs > 0) & (spread > 0) & _varies(values, group, n),
                        lagged / spread, np.nan)
    return {column + ":mean": mean, column + ":std": std, column + ":lag1": lag1}


def _varies(values, group, n):
    """Whether each id's values differ beyond their 12th significant digit:
    a series constant up to rounding (0.1 read as 0.1 every time, its mean
    off by the last bit) has no autocorrelation."""
    held = ~np.isnan(values)
    kept, codes = values[held], group[held]
    varies = np.zeros(n, dtype=bool)
    if len(kept):
        starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
        high, low = np.maximum.reduceat(kept, starts), np.minimum.reduceat(kept, starts)
        with np.errstate(over="ignore", invalid="ignore"):
            varies[codes[starts]] = high - low > 10.0 ** -DIGITS * np.maximum(
                np.abs(high), np.abs(low))
    return varies


def _apart(reference, other, labels):
    """The summary table ``other`` as distances see it: its rows of
    labels that the reference never has count as one more label, twice as
    far from each reference label as two of those are from each other.

    Without this, an id of such labels only differs from a reference id
    by no more than two reference ids of different labels differ from each
    other, and where its numbers match one it passes for a near-copy.
    """
    other = other.copy()
    for column, names in labels.items():
        entries = np.array(["{}:share={}".format(column, label) for label in names])
        known = (reference[entries].fillna(0).to_numpy() > 0).any(axis=0)
        k = int(known.sum())
        if k == 0 or known.all():
            continue
        unknown = other[entries[~known]].fillna(0).to_numpy().sum(axis=1)
        # The point t(1, ..., 1) of the reference labels' shares, at a
        # distance sqrt(8) (twice sqrt(2)) from each of their corners.
        t = (1 - np.sqrt(1 + 7 * k)) / k
        for entry in entries[known]:
            other[entry] = other[entry].to_numpy() + t * unknown
    return other


def _label_entries(column, values, labels, group, rows):
    """Share of each label and share of steps where the label changes, per id."""
    n, width = len(rows), len(labels)
    codes = _codes(values, labels)
    counts = np.bincount(group * width + codes, minlength=n * width)
    entries = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        shares = counts.reshape(n, width) / rows[:, None]
        for j, label in enumerate(labels):
            entries["{}:share={}".format(column, label)] = shares[:, j]
        step = group[1:] == group[:-1]
        changed = step & (codes[1:] != codes[:-1])
        changes = np.bincount(group[1:][changed], minlength=n) / (rows - 1)
    entries[column + ":changes"] = np.where(rows > 1, changes, np.nan)
    return entries


def _rounded(table):
    """``table`` with its float columns rounded to 12 significant digits."""
    out = table.copy()
    for column in out.columns:
        if out[column].dtype.kind == "f":
            out[column] = round_significant(out[column].to_numpy())
    return out


# -- Scaling and nearest ids -------------------------------------------------

def _noise(table, columns, labels):
    """Per id and summary entry, the standard error of the entry: how far a
    second series of the id's own process would move it.

    ``table`` is a summary table (see :func:`_summaries`) of the data
    ``columns``, and ``labels`` the labels of its categorical columns. Each number column's entries allow
    for the id's lag-1 autocorrelation r (clipped to [-0.9, 0.9]) as an
    AR(1) process does, over its ``n`` rows:

    - mean: std * sqrt((1 + r) / (1 - r) / n);
    - std: std * sqrt((1 + r**2) / (1 - r**2) / (2 (n - 1)));
    - lag1: sqrt((1 - r**2) / n);

    a label's share p, with the persistence r = 1 - c / (2 p (1 - p)) that
    the share of changes c gives a two-state chain: sqrt(p (1 - p) / n *
    (1 + r) / (1 - r)); the share of changes: sqrt(c (1 - c) / (n - 1));
    shares are taken as (count + 0.5) / (n + 1) there, so that an id that
    never (or always) holds a label still has some noise. The number of
    rows counts as a Poisson count: sqrt(rows). NaN where the entry is.
    """
    n = table["rows"].to_numpy(dtype=float)
    out = {"rows": np.sqrt(n)}
    with np.errstate(divide="ignore", invalid="ignore"):
        for column in columns:
            if column in labels:
                c = table[column + ":changes"].to_numpy(dtype=float)
                steps = n - 1
                c = (c * steps + 0.5) / (steps + 1)
                out[column + ":changes"] = np.sqrt(c * (1 - c) / steps)
                for label in labels[column]:
                    name = "{}:share={}".format(column, label)
                    p = (table[name].to_numpy(dtype=float) * n + 0.5) / (n + 1)
                    r = np.clip(1 - c / (2 * p * (1 - p)), -0.9, 0.9)
                    r = np.where(np.isnan(r), 0.0, r)
                    out[name] = np.sqrt(p * (1 - p) / n * (1 + r) / (1 - r))
            else:
                std = table[column + ":std"].to_numpy(dtype=float)
                r = table[column + ":lag1"].to_numpy(dtype=float)
                r = np.clip(np.where(np.isnan(r), 0.0, r), -0.9, 0.9)
                out[column + ":mean"] = std * np.sqrt((1 + r) / (1 - r) / n)
                out[column + ":std"] = std * np.sqrt(
                    (1 + r ** 2) / (1 - r ** 2) / (2 * (n - 1)))
                out[column + ":lag1"] = np.where(
                    np.isnan(table[column + ":lag1"].to_numpy(dtype=float)), np.nan,
                    np.sqrt((1 - r ** 2) / n))
    return pd.DataFrame(out, index=table.index)[table.columns]


def _scale(reference, noise):
    """Where each summary entry is centred, what one unit of it is, and
    which entries count.

    The unit of an entry is the difference that sampling noise alone puts
    between two series of one id: sqrt(2) times the median over the
    reference ids of the entry's standard error (see :func:`_noise`). A true
    pair (two series of one process) is then about one unit apart in each
    entry, so its squared distance is near the number of entries, and a
    real difference between ids counts by how many standard errors it is,
    whether the entry varies much between ids or hardly at all. Where the
    reference ids have no noise in an entry (constant series), the unit is
    their interquartile range (their standard deviation where that is 0).
    Entries of no unit (equal values whatever the id, a unit below the
    12th significant digit of the entry's largest finite value) are left
    out. The centre is the reference ids' median.
    """
    ref = reference.to_numpy(dtype=float)
    err = noise[reference.columns].to_numpy(dtype=float)
    with warnings.catch_warnings():
        # Entries missing for every reference id warn, and are dropped below.
        warnings.simplefilter("ignore", RuntimeWarning)
        median = np.nanmedian(ref, axis=0)
        low, high = np.nanpercentile(ref, [25, 75], axis=0)
        held = (~np.isnan(ref)).sum(axis=0)
        std = np.where(held > 1, np.nanstd(ref, axis=0, ddof=1), np.nan)
        sampling = np.sqrt(2 * np.nanmedian(err ** 2, axis=0))
        # A spread within the rounding of the values (equal values whose
        # mean is off by the last digit) is no spread.
        finite = np.where(np.isfinite(ref), np.abs(ref), np.nan)
        rounding = 10.0 ** -DIGITS * np.nan_to_num(np.nanmax(finite, axis=0))
    between = np.where(high - low > rounding, high - low, std)
    unit = np.where(np.isfinite(sampling) & (sampling > rounding), sampling, between)
    kept = np.isfinite(unit) & (unit > rounding)
    return median, unit, kept


def _scaled(reference, other, noise):
    """Both summary tables as arrays in units of sampling noise (see
    :func:`_scale`; ``noise`` holds the reference ids' standard errors).

    A missing entry counts as the reference median (0 once scaled). Scaled
    entries beyond ``FAR`` (infinite ones) count as ``FAR``.
    """
    median, unit, kept = _scale(reference, noise)
    return tuple(_placed(table, reference.columns, median, unit, kept)
                 for table in (reference, other))


def _placed(table, entries, median, unit, kept):
    """A summary table as an array of scaled entries (see :func:`_scaled`)."""
    values = (table[entries].to_numpy(dtype=float)[:, kept] - median[kept]) / unit[kept]
    # Infinite values make infinite entries: far, but not so far that
    # their squares overflow and no distance compares.
    return np.clip(np.where(np.isnan(values), 0.0, values), -FAR, FAR)


def _neighbours(queries, points, k):
    """The ``k`` nearest points of each query, and their distances: by
    :func:`_search`, here or where :data:`SEARCH` sends it."""
    search = SEARCH.get()
    return _search(queries, points, k) if search is None else search(queries, points, k)


def _search(queries, points, k):
    """The ``k`` nearest points of each query, and their distances.

    An exact search, a chunk of queries at a time, so that memory grows with
    the number of points and not with its square. The squared distances of
    a chunk are estimated by one matrix product; the points are cut into
    blocks, and a block is searched only where its least estimate is within
    a bound that ``k`` blocks reach (give or take far more than the rounding
    of the estimate). The points found get their distance computed exactly.
    Distances equal to 12 significant digits tie and go by the position of
    the point (the points are in the order of their ids).

    Returns
    -------
    index : numpy.ndarray of int, queries x k
    distance : numpy.ndarray of float, queries x k (unrounded)

    """
    n = len(points)
    norms = (points ** 2).sum(axis=1)
    slack = SLACK * ((queries ** 2).sum(axis=1) + norms.max())
    # Padded to whole blocks with points that are never near.
    width = -(-n // BLOCK) * BLOCK
    twice = np.zeros((width, points.shape[1]))
    twice[:n] = -2 * points
    norms = np.r_[norms, np.full(width - n, np.inf)]
    size = max(1, CHUNK // width)
    index = np.empty((len(queries), k), dtype=np.int64)
    distance = np.empty((len(queries), k))
    for start in range(0, len(queries), size):
        part = slice(start, start + size)
        # Squared distances less the query's own squared norm.
        estimate = queries[part] @ twice.T
        estimate += norms
        rows, cols = _within(estimate, k, slack[part])
        rows += start
        exact = _pairwise(queries, points, rows, cols)
        order = np.lexsort((cols, _round(exact), rows))
        rows, cols, exact = rows[order], cols[order], exact[order]
        first = np.searchsorted(rows, np.arange(start, start + len(estimate)))
        taken = (first[:, None] + np.arange(k)).ravel()
        index[part] = cols[taken].reshape(-1, k)
        distance[part] = exact[taken].reshape(-1, k)
    return index, distance


def _pairwise(queries, points, rows, cols):
    """Distances of the queries ``rows`` to the points ``cols``, an entry
    at a time (ids of equal summaries may give many pairs)."""
    square = np.zeros(len(rows))
    for j in range(points.shape[1]):
        square += (queries[rows, j] - points[cols, j]) ** 2
    return np.sqrt(square)


def _within(estimate, need, slack):
    """Rows and columns of the estimates that may be among the ``need``
    least of their row: within the ``need``-th least of the blocks' least
    estimates (``need`` blocks, so ``need`` points, reach it), plus slack;
    with fewer blocks, within the ``need``-th least estimate."""
    chunk, width = estimate.shape
    least = estimate.reshape(chunk, width // BLOCK, BLOCK).min(axis=2)
    some = least if need <= least.shape[1] else estimate
    bound = np.partition(some, need - 1, axis=1)[:, need - 1] + slack
    rows, blocks = np.nonzero(least <= bound[:, None])
    cols = (blocks[:, None] * BLOCK + np.arange(BLOCK)).ravel()
    rows = np.repeat(rows, BLOCK)
    near = estimate[rows, cols] <= bound[rows]
    return rows[near], cols[near]


def _round(values):
    """``values`` of any shape rounded to 12 significant digits."""
    values = np.asarray(values, dtype=float)
    return round_significant(values.ravel()).reshape(values.shape)


def _pair(reference, other, meta, columns, name, holdout=None):
    """Pair each id of ``other`` with its nearest id of ``reference``, and
    score ``other`` beside its yardstick (see :mod:`.scores`).

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Prepared frames (indexed by id, time, sorted).
    meta : kestrune.DataFrameMeta
    columns : list of str
        The data columns whose summaries describe an id.
    name : str
        The name of ``other``, written in the ``frame`` column.
    holdout : pandas.DataFrame, optional
        A prepared frame of real ids the generator never saw.

    Returns
    -------
    Pairing

    """
    from . import scores as _scores

    frames = [reference, other] + ([] if holdout is None else [holdout])
    labels = _labels(frames, meta, columns)
    summaries = [_summaries(f, meta, columns, labels) for f in frames]
    identical = len(_scores.identical_ids(reference, other))
    return _paired_summaries(summaries, labels, columns, name, holdout is not None, identical)


def _paired_summaries(summaries, labels, columns, name, with_holdout, identical):
    """:func:`_pair` of the frames' summary tables (:func:`_summaries`, the
    holdout's last with ``with_holdout``), ``identical`` compared ids
    whose series equal a reference id's."""
    from . import scores as _scores

    noise = _noise(summaries[0], columns, labels)
    centre, unit, kept = _scale(summaries[0], noise)
    # Distances see the compared ids' labels that the reference never has
    # (see :func:`_apart`); the summaries themselves stay as they are.
    seen = summaries[:1] + [_apart(summaries[0], t, labels) for t in summaries[1:]]
    arrays = [_placed(t, summaries[0].columns, centre, unit, kept) for t in seen]
    ref_points, oth_points = _Distinct(arrays[0]), _Distinct(arrays[1])
    ref_ids, oth_ids = summaries[0].index, summaries[1].index
    nearest, distance = _nearest(oth_points, ref_points)
    back, back_distance = _nearest(ref_points, oth_points)
    k = min(NEIGHBOURS, len(ref_ids) - 1)
    measured = k >= 1 and len(ref_points.points) > 1 and ref_points.points.shape[1] > 0
    row = {"frame": name, "reference_ids": len(ref_ids), "compared_ids": len(oth_ids)}
    if measured:
        radius, closest = _radii(ref_points, k)
        if with_holdout:
            yard = _nearest(_Distinct(arrays[2]), ref_points)[1]
        else:
            yard = closest
        if len(ref_ids) >= _scores.COPY_IDS:
            p, floor, power = _scores.copy_pvalues(distance, yard)
            near_copy = benjamini_hochberg(p) < _scores.FDR
            row["copy_test"] = (
                "q < {} against {} nearest distances of the {}; p-values below "
                "{:.3g} {}".format(
                    _scores.FDR, len(yard), "holdout" if with_holdout
                    else "reference ids (leave-one-out)", floor,
                    "follow the power law of their lowest tail (dimension "
                    "{:.3g})".format(power) if np.isfinite(power) else "are not reached"))
        else:
            near_copy = (distance == 0) | (distance < np.min(closest))
            row["copy_test"] = ("a copy test needs at least {} reference ids: near-copies "
                                "are the ids closer to a reference id than any two "
                                "reference ids are".format(_scores.COPY_IDS))
    else:
        # One reference id, or ids alike in every entry: nothing scales a
        # distance, and no id has a radius.
        distance = np.full(len(oth_ids), np.nan)
        back_distance = np.full(len(ref_ids), np.nan)
        radius = back_distance
        near_copy = np.zeros(len(oth_ids), bool)
        row["copy_test"] = "no spread among the reference ids"
    with np.errstate(divide="ignore", invalid="ignore"):
        realism = np.where(distance == 0, 0.0, distance / radius[nearest])
    realism = round_significant(realism)
    covered = back_distance <= radius

    pairs = pd.DataFrame({
        "frame": name, "id": oth_ids.to_numpy(),
        "reference_id": ref_ids[nearest].to_numpy(),
        "distance": distance, "realism": realism, "near_copy": near_copy})
    coverage = pd.DataFrame({
        "frame": name, "reference_id": ref_ids.to_numpy(),
        "nearest_id": oth_ids[back].to_numpy(),
        "distance": back_distance, "covered": covered})
    share = (lambda flags: float(_round(np.mean(flags))) if measured else np.nan)
    row.update(precision=share(realism <= 1), coverage=share(covered),
               near_copies=int(near_copy.sum()),
               identical=float(_round(identical / len(oth_ids))))
    if measured:
        row.update(_scores.frame_scores(arrays, with_holdout, k, distance))
    return Pairing(
        pairs, coverage, row["precision"], row["coverage"], row["near_copies"],
        [_rounded(table) for table in summaries[:2]], row)


class _Distinct:
    """Points with each distinct point once, in order of its first position.

    Ids of equal summaries (common with few rows or labels only) then cost
    one search, and ties between them need no sorting.
    """

    def __init__(self, points):
        # Adding 0.0 turns -0.0 into 0.0, which the bytes of a row tell apart.
        values, first, inverse, count = np.unique(
            points + 0.0, axis=0, return_index=True, return_inverse=True,
            return_counts=True)
        order = np.argsort(first)
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        self.points, self.first, self.count = values[order], first[order], count[order]
        self.inverse = rank[inverse.ravel()]


def _nearest(queries, points):
    """Per query point (each id of ``queries``), the position of its nearest
    point of ``points`` and the distance (rounded); ties go to the first."""
    index, distance = _neighbours(queries.points, points.points, 1)
    return (points.first[index[:, 0]][queries.inverse],
            round_significant(distance[:, 0])[queries.inverse])


def _radii(points, k):
    """Per point, the distance to its ``k``-th nearest other point and to
    its nearest other point (rounded), equal points counted each."""
    size = len(points.points)
    index, distance = _neighbours(points.points, points.points, min(k + 1, size))
    count = points.count[index] - (index == np.arange(size)[:, None])
    reach = np.cumsum(count, axis=1)
    rows = np.arange(size)
    radius = distance[rows, np.argmax(reach >= k, axis=1)]
    closest = distance[rows, np.argmax(reach >= 1, axis=1)]
    return (round_significant(radius)[points.inverse],
            round_significant(closest)[points.inverse])


def near_copy_message(pairs, how=None):
    """The line of a :class:`NearCopyWarning` for the ``pairs`` of one frame,
    naming the first ten near-copies and saying ``how`` they were found;
    None when there is none."""
    copies = pairs[pairs["near_copy"].to_numpy(dtype=bool)]
    if not len(copies):
        return None
    named = ", ".join("{!r} ≈ {!r}".format(_plain(a), _plain(b)) for a, b in zip(
        copies["id"].iloc[:NAMED], copies["reference_id"].iloc[:NAMED]))
    more = len(copies) - NAMED
    return "{} of {} synthetic ids of frame {!r} are near-copies of a reference id: " \
           "[{}{}]{}".format(len(copies), len(pairs), str(pairs["frame"].iloc[0]), named,
                             ", ... ({} more)".format(more) if more > 0 else "",
                             "" if how is None else " ({})".format(how))


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value


# -- Choosing the pairing ----------------------------------------------------

def _choose_pairing(reference, other):
    """``"ids"`` when the prepared frame ``other`` holds at least half of the
    ids of the prepared frame ``reference``, otherwise ``"nearest"``."""
    ids = reference.index.get_level_values(0).unique()
    held = ids.isin(other.index.get_level_values(0).unique()).sum()
    return "ids" if 2 * held >= len(ids) else "nearest"


# -- Populations -------------------------------------------------------------

def _population(frames, names, meta, columns, summaries=None):
    """The populations of the compared frames against the reference's.

    Parameters
    ----------
    frames : list of pandas.DataFrame
        Prepared frames (indexed by id, time, sorted), the reference first.
    names : list of str
        Their names.
    meta : kestrune.DataFrameMeta
    columns : list of str
        The data columns compared.
    summaries : list of pandas.DataFrame, optional
        The summary table of each frame, with the same columns (as
        :func:`_pair` gives them); computed when not given, with the labels
        of every frame.

    Returns
    -------
    dict
        ``"columns"``: per column (rows) and compared frame (columns), the
        divergence of all rows of each frame together (Kolmogorov-Smirnov
        for continuous columns, total variation for labels).
        ``"over_time"``: per time point shared by the reference and at
        least one compared frame (rows, sorted), the divergence across the
        ids at that time point; columns (compared frame, column), NaN where
        the frame lacks the time point.
        ``"summaries"``: per summary entry (rows) and compared frame, the
        Kolmogorov-Smirnov statistic between the reference ids' values of
        the entry and the compared ids' values.
        Values rounded to 12 significant digits.

    """
    if summaries is None:
        labels = _labels(frames, meta, columns)
        summaries = [_summaries(f, meta, columns, labels) for f in frames]
    categorical = set(meta.categorical)
    reference, others = frames[0], frames[1:]
    pooled = {}
    for name, frame in zip(names[1:], others):
        pooled[name] = [_divergence(column in categorical, reference[column],
                                    np.zeros(len(reference), np.int64), frame[column],
                                    np.zeros(len(frame), np.int64), 1)[0]
                        for column in columns]
    return {"columns": _table(pooled, pd.Index(columns)),
            "over_time": _over_time(frames, names, columns, categorical),
            "summaries": _summary_table(summaries, names)}


def _divergence(is_label, ref_values, ref_groups, oth_values, oth_groups, ngroups):
    if is_label:
        return total_variation(ref_groups, np.asarray(ref_values, dtype=object),
                               oth_groups, np.asarray(oth_values, dtype=object), ngroups)
    return kolmogorov_smirnov(ref_groups, np.asarray(ref_values, dtype=float),
                              oth_groups, np.asarray(oth_values, dtype=float), ngroups)


def _table(values, index):
    """A table of one rounded column per compared frame."""
    return pd.DataFrame({key: round_significant(v) for key, v in values.items()},
                        index=index)


def _over_time(frames, names, columns, categorical):
    """Divergence across ids at each time point: the time points are the
    groups of the grouped statistics."""
    reference = frames[0]
    ref_times = reference.index.get_level_values(1)
    held = [f.index.get_level_values(1).unique() for f in frames[1:]]
    union = held[0].append(held[1:]).unique() if held else pd.Index([])
    times = ref_times.unique()
    times = times[times.isin(union)]
    try:
        times = times.sort_values()
    except TypeError:  # times of types that do not compare
        pass
    ref_groups = times.get_indexer(ref_times)
    ref_rows = ref_groups >= 0
    values = {}
    for name, frame in zip(names[1:], frames[1:]):
        groups = times.get_indexer(frame.index.get_level_values(1))
        rows = groups >= 0
        for column in columns:
            values[(name, column)] = _divergence(
                column in categorical, reference[column].to_numpy()[ref_rows],
                ref_groups[ref_rows], frame[column].to_numpy()[rows],
                groups[rows], len(times))
    table = _table(values, times)
    table.columns = pd.MultiIndex.from_tuples(list(values))
    return table


def _summary_table(summaries, names):
    """KS statistic per summary entry between the reference ids' values and
    each compared frame's: the entries are the groups."""
    reference = summaries[0]
    entries = reference.columns
    out = {}
    # One entry at a time: its two columns of values, never the tables
    # flattened (ids x entries values, several times over, at once).
    for name, table in zip(names[1:], summaries[1:]):
        found = []
        for entry in entries:
            values = [np.asarray(t[entry], dtype=float) for t in (reference, table)]
            found.append(kolmogorov_smirnov(np.zeros(len(values[0]), dtype=np.int64), values[0],
                                            np.zeros(len(values[1]), dtype=np.int64), values[1],
                                            1)[0])
        out[name] = np.array(found, dtype=float)
    return _table(out, pd.Index(entries))
