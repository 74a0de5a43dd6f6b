"""How far a compared frame is from the reference frame, per id and column.

One number in [0, 1] per id and data column:

- continuous columns: the two-sample Kolmogorov-Smirnov statistic, the
  largest distance between the empirical distribution functions of the id's
  values in the two frames (missing values left out);
- categorical columns: the total variation distance between the id's label
  frequencies in the two frames, a missing label counted as one more label
  (as the "Null" bar of the plots counts it).

Every id is handled at once with sorted and counted arrays, so the cost
grows with the number of rows, not with a Python loop over the ids.
"""

import numpy as np
import pandas as pd

from .grouped import order_within, unique_keys

# Significant digits of every number the report ranks, writes or returns:
# what the arithmetic leaves beyond them is noise (1/9 computed as
# 0.11111111111111105), and ties must stay ties.
DIGITS = 12


# Values rounded per step of :func:`round_significant`: the temporaries of a
# step are a few megabytes, whatever the size of the table.
ROUNDING_STEP = 1 << 16


def round_significant(values, digits=DIGITS, out=None):
    """``values`` rounded to ``digits`` significant digits (NaN and inf kept).

    Gives what ``float("%.12g" % value)`` gives, without its Python loop:
    each value is scaled by a power of ten (exact in binary up to 1e22),
    rounded to a whole number and scaled back, which is correctly rounded;
    the few values whose scaled form lies too near a half, and those that
    need a larger power, go through the text.

    The values are rounded in steps of ``ROUNDING_STEP``, so that beyond the
    result the memory needed stays a few megabytes; ``out`` (a float64
    array of the same shape, ``values`` itself included) receives the
    result instead of a new array.
    """
    shape = np.shape(values)
    if out is None:
        out = np.array(values, dtype=float)
    elif out is not values:
        out[...] = values
    # A view whenever the array is contiguous in either order.
    flat = out.ravel(order="K") if out.ndim else out.reshape(1)
    if flat.size and not np.may_share_memory(flat, out):
        raise ValueError("out must be a contiguous float64 array")
    for start in range(0, flat.size, ROUNDING_STEP):
        _round_step(flat[start:start + ROUNDING_STEP], digits)
    return out.reshape(shape)


def _round_step(values, digits):
    """Round the float64 array ``values`` in place (see :func:`round_significant`)."""
    chosen = np.flatnonzero(np.isfinite(values) & (values != 0))
    x = values[chosen]
    shift = digits - 1 - np.floor(np.log10(np.abs(x))).astype(int)
    scale = 10.0 ** np.clip(np.abs(shift), 0, 22)
    up = shift >= 0
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = np.where(up, x * scale, x / scale)
        whole = np.round(scaled)
        values[chosen] = np.where(up, whole / scale, whole * scale)
        unsure = np.abs(np.abs(scaled - np.floor(scaled)) - 0.5) < 1e-3
    unsure |= np.abs(shift) > 22
    for n, value in zip(chosen[unsure], x[unsure]):
        values[n] = float("%.*g" % (digits, value))


def divergence_table(reference, other, meta, columns=None, ids=None):
    """Divergence of ``other`` from ``reference``, one number per id and column.

    Parameters
    ----------
    reference, other : pandas.DataFrame
        Two panel frames that ``meta`` describes, with the id and the time as
        index levels or as columns (as :meth:`DataFrameMeta.set_indices`
        takes them).
    meta : kestrune.DataFrameMeta
        Which columns are categorical and which continuous.
    columns : list of str, optional
        The data columns to compare; every column of ``meta`` by default.
    ids : sequence, optional
        The ids of the table, in its order; by default the sorted union of
        the ids of both frames.

    Returns
    -------
    pandas.DataFrame
        Index: the ids; columns: ``columns``; values: floats in [0, 1],
        rounded to 12 significant digits (so equal distances compare
        equal, and ``1/9`` reads 0.111111111111). NaN
        where one of the frames has no rows for the id, or where a
        continuous column holds no value for the id in one of them.

    See Also
    --------
    compare_panels : The report that ranks ids by these numbers.

    Examples
    --------
    >>> table = divergence_table(original, synthetic, meta)  # doctest: +SKIP
    >>> table.max(axis=1).sort_values(ascending=False).head()  # doctest: +SKIP

    """
    reference = meta.set_indices(reference)
    other = meta.set_indices(other)
    columns = list(meta.columns) if columns is None else list(columns)
    if ids is None:
        ids = _sorted_union(reference, other)
    return _table(reference, other, meta, columns, pd.Index(ids))


def _sorted_union(*frames):
    parts = [frame.index.get_level_values(0).unique() for frame in frames]
    ids = parts[0].append(parts[1:]).unique()
    try:
        return ids.sort_values()
    except TypeError:  # ids of types that do not compare
        return ids


def _table(reference, other, meta, columns, ids):
    """The table of prepared frames (indexed by id, time) over ``ids``."""
    ref_codes = ids.get_indexer(reference.index.get_level_values(0))
    oth_codes = ids.get_indexer(other.index.get_level_values(0))
    ref_rows = ref_codes >= 0
    oth_rows = oth_codes >= 0
    categorical = set(meta.categorical)
    values = {}
    for column in columns:
        ref_values = reference[column].to_numpy()[ref_rows]
        oth_values = other[column].to_numpy()[oth_rows]
        if column in categorical:
            values[column] = total_variation(
                ref_codes[ref_rows], ref_values, oth_codes[oth_rows], oth_values,
                len(ids))
        else:
            values[column] = kolmogorov_smirnov(
                ref_codes[ref_rows], ref_values, oth_codes[oth_rows], oth_values,
                len(ids))
    table = pd.DataFrame({c: round_significant(v) for c, v in values.items()},
                         index=ids, columns=columns)
    table.columns.name = None
    return table


def kolmogorov_smirnov(ref_groups, ref_values, oth_groups, oth_values, ngroups):
    """Two-sample Kolmogorov-Smirnov statistic of every group at once.

    Parameters
    ----------
    ref_groups, oth_groups : numpy.ndarray of int
        The group (0 to ``ngroups - 1``) of each value of the two samples.
    ref_values, oth_values : numpy.ndarray
        The values; NaN (and other missing values) are left out.
    ngroups : int
        Number of groups.

    Returns
    -------
    numpy.ndarray of float
        One statistic per group; NaN where either sample of the group is
        empty.

    """
    ref_values = np.asarray(ref_values, dtype=float)
    oth_values = np.asarray(oth_values, dtype=float)
    ref_keep = ~np.isnan(ref_values)
    oth_keep = ~np.isnan(oth_values)
    groups = np.concatenate([ref_groups[ref_keep], oth_groups[oth_keep]])
    values = np.concatenate([ref_values[ref_keep], oth_values[oth_keep]])
    from_ref = np.zeros(len(values), dtype=np.int64)
    from_ref[:ref_keep.sum()] = 1
    n_ref = np.bincount(groups[from_ref == 1], minlength=ngroups)
    n_oth = np.bincount(groups[from_ref == 0], minlength=ngroups)
    statistic = np.full(ngroups, np.nan)
    if len(values) == 0:
        return statistic

    order = order_within(groups, values, ngroups)
    groups, values, from_ref = groups[order], values[order], from_ref[order]
    # Counts of each sample up to and including each position, within its
    # group: the running count less the count of the groups before it.
    seen_ref = np.cumsum(from_ref) - (np.cumsum(n_ref) - n_ref)[groups]
    seen_oth = np.cumsum(1 - from_ref) - (np.cumsum(n_oth) - n_oth)[groups]
    with np.errstate(divide="ignore", invalid="ignore"):
        distance = np.abs(seen_ref / n_ref[groups] - seen_oth / n_oth[groups])
    # The distribution functions are compared after the last of equal
    # values only: inside a run of ties they are not yet complete.
    last = np.ones(len(values), dtype=bool)
    last[:-1] = (groups[1:] != groups[:-1]) | (values[1:] != values[:-1])
    distance[~last] = 0.0
    starts = np.flatnonzero(np.r_[True, groups[1:] != groups[:-1]])
    largest = np.maximum.reduceat(distance, starts)
    statistic[groups[starts]] = largest
    statistic[(n_ref == 0) | (n_oth == 0)] = np.nan
    return statistic


def total_variation(ref_groups, ref_labels, oth_groups, oth_labels, ngroups):
    """Total variation distance of the label frequencies of every group.

    Half the sum, over the labels, of the absolute difference between the
    shares of the label in the two samples of a group. Missing labels count
    as one label of their own.

    Parameters
    ----------
    ref_groups, oth_groups : numpy.ndarray of int
        The group (0 to ``ngroups - 1``) of each label of the two samples.
    ref_labels, oth_labels : numpy.ndarray
        The labels.
    ngroups : int
        Number of groups.

    Returns
    -------
    numpy.ndarray of float
        One distance per group; NaN where either sample of the group is
        empty.

    """
    codes, nlabels = label_codes(ref_labels, oth_labels)
    return total_variation_of_codes(ref_groups, codes[:len(ref_labels)], oth_groups,
                                    codes[len(ref_labels):], nlabels, ngroups)


def label_codes(ref_labels, oth_labels):
    """One code per label of both samples, 0 to ``nlabels - 1``, and
    ``nlabels``; missing labels share the last code."""
    labels = pd.Series(np.concatenate([np.asarray(ref_labels, dtype=object),
                                       np.asarray(oth_labels, dtype=object)]))
    # Missing labels get a code of their own (factorize marks them with -1).
    codes, uniques = pd.factorize(labels.to_numpy(dtype=object))
    codes = np.where(codes < 0, len(uniques), codes).astype(np.int64)
    return codes, len(uniques) + 1


def total_variation_of_codes(ref_groups, ref_codes, oth_groups, oth_codes, nlabels, ngroups):
    """:func:`total_variation` of labels given as the codes of :func:`label_codes`."""
    codes = np.concatenate([ref_codes, oth_codes])
    nref = len(ref_codes)
    groups = np.concatenate([ref_groups, oth_groups]).astype(np.int64)
    keys = groups * nlabels + codes
    cells, inverse = unique_keys(keys, ngroups * nlabels)
    count_ref = np.bincount(inverse[:nref], minlength=len(cells))
    count_oth = np.bincount(inverse[nref:], minlength=len(cells))
    n_ref = np.bincount(groups[:nref], minlength=ngroups)
    n_oth = np.bincount(groups[nref:], minlength=ngroups)
    group_of_cell = cells // nlabels
    with np.errstate(divide="ignore", invalid="ignore"):
        gap = np.abs(count_ref / n_ref[group_of_cell]
                     - count_oth / n_oth[group_of_cell])
    distance = 0.5 * np.bincount(group_of_cell, weights=gap, minlength=ngroups)
    distance[(n_ref == 0) | (n_oth == 0)] = np.nan
    return distance
