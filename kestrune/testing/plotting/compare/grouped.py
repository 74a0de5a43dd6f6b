"""Sorting and counting within groups of rows, the steps that every per-id
table repeats.

A panel's ids hold a few dozen rows each, so sorting every id's values on
its own costs far less than one sort of all the values of the panel: the
values are laid out in a table of one row per group, as wide as the
largest group, and each row is sorted on its own. Where one group is much
larger than the others the table would be mostly padding, and one sort of
(group, value) keys serves instead.
"""

import numpy as np

# The table of groups holds at most this many cells per value sorted
# (beyond a floor for small inputs); past it, one sort of all the values.
PADDING = 2
FLOOR = 1 << 16


def order_within(groups, values, ngroups):
    """Positions of ``values`` ordered by group, then by value.

    Parameters
    ----------
    groups : numpy.ndarray of int
        The group (0 to ``ngroups - 1``) of each value; in any order.
    values : numpy.ndarray of float
        The values, none of them NaN.
    ngroups : int

    Returns
    -------
    numpy.ndarray of int
        ``numpy.lexsort((values, groups))`` up to the order of equal values
        within a group.
    """
    n = len(values)
    if not n:
        return np.zeros(0, dtype=np.intp)
    count = np.bincount(groups, minlength=ngroups)
    width = int(count.max())
    if width * ngroups > max(PADDING * n, FLOOR):
        return np.lexsort((values, groups))
    if (groups[1:] >= groups[:-1]).all():
        slot, ordered = None, groups
    else:
        # Few merges where each input's groups already ascend.
        slot = np.argsort(groups, kind="stable")
        ordered = groups[slot]
    # Each value's cell: its group's row, its place among the group's values.
    first = (np.cumsum(count) - count)[ordered]
    cell = ordered.astype(np.intp) * width + (np.arange(n) - first)
    table = np.full(ngroups * width, np.nan)
    table[cell] = values if slot is None else values[slot]
    # NaN sorts last: a group's values fill its row's first cells again.
    found = np.argsort(table.reshape(ngroups, width), axis=1).ravel()[cell] + first
    return found if slot is None else slot[found]


def sorted_ranks(groups, values, ngroups):
    """Average ranks (1, 2, ...; ties share their mean rank) of values
    already in group, then value order (:func:`order_within`), in that
    order; and the number of distinct values of each of the ``ngroups``
    groups.

    Ties hold consecutive ranks, so their mean is the mean of the first and
    the last (exact: every number here is a small multiple of 1/2).
    """
    n = len(values)
    if not n:
        return np.zeros(0), np.zeros(ngroups, dtype=np.intp)
    new_group = np.r_[True, groups[1:] != groups[:-1]]
    new_value = new_group.copy()
    new_value[1:] |= values[1:] != values[:-1]
    first = np.flatnonzero(new_value)
    last = np.r_[first[1:], n] - 1
    # The place of each tie's group's first value.
    origin = np.maximum.accumulate(np.where(new_group[first], first, 0))
    average = (first + last) / 2 - origin + 1
    return np.repeat(average, last - first + 1), np.bincount(groups[first], minlength=ngroups)


def unique_keys(keys, span):
    """``numpy.unique(keys, return_inverse=True)`` of keys in [0, span),
    by counting where the span is small enough."""
    if span > max(4 * len(keys), 1 << 20):
        cells, inverse = np.unique(keys, return_inverse=True)
        return cells, inverse.ravel()
    seen = np.zeros(span, dtype=bool)
    seen[keys] = True
    return np.flatnonzero(seen), (np.cumsum(seen) - 1)[keys]
