"""Calibrated p-values: each kind of cell's p-value set against the same
cell's p-values in null panels simulated from a model of every id.

The tests of :mod:`measures` allow for autocorrelation with formulas that
hold for long series; in short, tied, sticky or gappy series their small
tail is off. So every table is measured twice more or less: once as given,
and once on ``B`` null panels, in which both frames of each id are
independent draws of one model fitted to the reference's id (an AR(1)
Gaussian copula on the id's own values for continuous columns, its
coefficient and the columns' innovations' correlation the posterior means
of the reference panel's priors, see :mod:`measures`; for categorical
ones a sticky chain whose chance of a change and label shares are the
id's shrunk towards the panel's, see :func:`_chain`). The null panels keep each
frame's rows, periods and missing values. A cell's calibrated p-value is
the share of the same cell's null p-values (pooled over the ids and the
panels) at or below its own, (1 + count) / (M + 1), M = B times the ids
with a defined null p-value. In the far tail, below the 25th smallest null
p-value p0, where counts are too few to tell 1e-4 from 1e-9, the null
p-values' tail is extrapolated as a power law, P(null <= u) = s (u /
p0) ** b, s the calibrated p-value at p0 and b Hill's estimate from the 24
smaller null p-values (1 for a test whose small p-values are right, less
for a liberal one, more for a conservative one; bounded to [0.1, 1.5]).
It keeps the tests' ranking there, so an id's single very small p-value
can still stand out among thousands of ids, and it follows the tail's own
shape: a test of effective sizes, whose tail is a mixture over ids of
different precision, is often conservative in its body and liberal in its
far tail, which no single rescaling of its normal scores matches.

The null is fitted to each id's reference series, never to the panel's
p-values: a difference that every id shares stays a difference.

Every random number of an id's null panels is a keyed hash of (SEED, the
id's value, the column and the draw's use, the panel, the frame, the row's
place in the id) mapped to a uniform, and to a normal by its inverse CDF:
an id's draws depend on nothing else, not on the other ids, their order or
how the ids are split into partitions, so partitions that each simulate
their own ids pool the very null p-values of the whole panel.

An id's null model takes a few constants from the whole panel: the priors
of the continuous columns (see :mod:`measures`) and, per categorical
column, the numbering of its labels (in order of first appearance), their
shares, the beta prior of the chance of a change and the Dirichlet weight
of the panel's shares (:func:`_chain`). In one process they are fitted to
the frames at hand. On dask (:mod:`partitions`) the pass over the
partitions that sends back the priors' estimates also sends back each
chunk's :func:`chain_sums` (per id its moves, changes and rows; per label
its rows and first row); the calling process fits the constants with
:func:`whole_chains`, in two steps, since the Dirichlet weight needs each
id's chance of a change shrunk by the beta prior, and every chunk takes
them: it numbers its labels as the whole panel does (:func:`panel_codes`)
and draws its ids' chains with the whole panel's constants, so each id's
rho and weight of the panel are those of one process. The null panels keep
the codes they draw (:func:`null_labels`), so an id's tests add up its
labels in the same order in every partition.
"""

import numpy as np
import pandas as pd
from scipy import special

from . import measures as _m
from .grouped import order_within

# The seed of the null panels: the same tables give the same p-values.
SEED = 20240601
# Ids simulated over all null panels together, and the fewest panels.
SIMULATED = 4000
FEWEST_PANELS = 2
# Below the TAIL-th smallest null p-value, too few null p-values are left
# to count: there their tail is extrapolated as a power law.
TAIL = 25
# The bounds of the slope of the null p-values' tail on log scales: 1 for
# a test whose small p-values are right, below for a liberal one.
SLOPES = (0.1, 1.5)
TINY = 1e-300
# The largest chance of keeping a label per period in a simulated chain.
CHAIN_STEADIEST = 0.99


def panels(ngroups):
    """Null panels for a table of ``ngroups`` ids."""
    return max(FEWEST_PANELS, -(-SIMULATED // max(ngroups, 1)))


def calibrated(frames, categorical, columns, measures, max_lag, found):
    """``found`` of ``measures._computed`` with its p-values calibrated."""
    cells, values, pvalues, pairs, model = found
    size = frames[0].ngroups
    if size == 0 or not cells:
        return found
    count = panels(size)
    null = tuple(_simulated(rows, which, frames, model, categorical, columns, count)
                 for which, rows in enumerate(frames))
    null_cells, _, null_p, null_pairs, _ = _m._computed(null, categorical, columns,
                                                        measures, max_lag, model[3],
                                                        null_labels(null, model[1]))
    null_p = dict(zip(null_cells, null_p))
    pairs = {pair: _against(p, null_pairs[pair]) for pair, p in pairs.items()}
    return cells, values, set_against(cells, values, pvalues, pairs, null_p.get), pairs, model


def set_against(cells, values, pvalues, pairs, null_of):
    """Each cell's p-values set against its null p-values (``null_of(cell)``,
    see :func:`_against`; ``null_of`` None: ``pvalues`` are calibrated
    already); a column's dependence is the Sidak-corrected smallest of the
    calibrated p-values of its pairs (``pairs``: a pair of columns -> its
    calibrated p-values). NaN where the cell has no value."""
    partners = {}
    for (first, second), p in pairs.items():
        partners.setdefault(first, []).append(p)
        partners.setdefault(second, []).append(p)
    out = []
    for cell, value, p in zip(cells, values, pvalues):
        if cell[1] == "dependence":
            ps = np.array(partners[cell[0]])
            tested = ~np.isnan(ps)
            smallest = np.min(np.where(tested, ps, 2.0), axis=0)
            with np.errstate(invalid="ignore", divide="ignore"):
                p = np.where(tested.any(axis=0), _m._sidak(smallest, tested.sum(axis=0)),
                             np.nan)
        elif null_of is not None:
            p = _against(p, null_of(cell))
        out.append(np.where(np.isnan(value), np.nan, p))
    return out


def null_labels(null, labels):
    """The labels of the ``null`` panels as ``measures._labels`` gives
    them: the chains draw the panel's label codes (``labels``), and keep
    them, so that an id's tests add its labels up in the same order
    whichever other ids its panel holds."""
    return {column: (tuple(rows.values(column) for rows in null), nlabels)
            for column, (_, nlabels) in labels.items() if column in null[0].columns}


def _against(p, null):
    """(1 + null p-values at or below p) / (M + 1), M the defined null
    p-values; below the TAIL-th smallest null p-value p0, s (p / p0) ** b,
    s that share at p0 and b Hill's estimate of the slope of the null
    p-values' tail on log scales (within SLOPES); p itself where there is
    no null p-value."""
    null = np.sort(null[~np.isnan(null)])
    if not len(null):
        return p
    below = np.searchsorted(null, np.nan_to_num(p, nan=0.0), side="right")
    calibrated = (1.0 + below) / (len(null) + 1.0)
    if len(null) >= TAIL:
        edge = null[TAIL - 1]
        share = (1.0 + TAIL) / (len(null) + 1.0)
        if edge > 0:
            # Hill's estimate of b in P(null <= u) = share (u / p0) ** b.
            logs = np.log(edge / np.maximum(null[:TAIL - 1], TINY)).sum()
            slope = np.clip((TAIL - 2) / logs, *SLOPES) if logs > 0 else SLOPES[1]
            tail = share * (np.maximum(np.nan_to_num(p, nan=1.0), TINY) / edge) ** slope
            calibrated = np.where(p < edge, np.minimum(tail, calibrated), calibrated)
    return np.where(np.isnan(p), np.nan, calibrated)


def _drawn(frames, values, size, u, ids):
    """The ``u`` quantile (u in [0, 1)) of each id's values in both frames
    together (missing left out), for the id of each row; NaN where it has
    none. Between the order statistics of an id whose frames share no
    number the quantile is interpolated (a continuous law); an id whose
    frames share a number keeps its own values (a discrete one, as counts)."""
    codes = np.concatenate([rows.codes for rows in frames])
    source = np.repeat([0, 1], [len(v) for v in values])
    values = np.concatenate(values)
    numbers = values.dtype.kind == "f"
    keep = ~np.isnan(values) if numbers else np.ones(len(values), dtype=bool)
    codes, values, source = codes[keep], values[keep], source[keep]
    if not len(values):
        return np.full(len(ids), np.nan)
    # By id, then value; equal values in any order of their frames.
    order = order_within(codes, values, size)
    codes, values, source = codes[order], values[order], source[order]
    count = np.bincount(codes, minlength=size)
    start = np.cumsum(count) - count
    n = count[ids]
    last = len(values) - 1
    if not numbers:
        place = start[ids] + np.clip((u * n).astype(np.int64), 0, np.maximum(n - 1, 0))
        return values[np.minimum(place, last)]
    tied = np.zeros(size, dtype=bool)
    repeated = ((codes[1:] == codes[:-1]) & (values[1:] == values[:-1])
                & (source[1:] != source[:-1]))
    tied[codes[1:][repeated]] = True
    tied = tied[ids]
    at = np.where(tied, np.floor(u * n), u * np.maximum(n - 1, 0))
    low = np.clip(np.floor(at).astype(np.int64), 0, np.maximum(n - 1, 0))
    high = np.minimum(low + 1, np.maximum(n - 1, 0))
    below, above = (values[np.minimum(start[ids] + k, last)] for k in (low, high))
    with np.errstate(invalid="ignore"):
        drawn = np.where(tied, below, below + (at - low) * (above - below))
    return np.where(n > 0, drawn, np.nan)


def id_keys(ids):
    """A 64-bit key of each id's value (pandas' hash; whole numbers as
    int64 and times as nanoseconds, so that an id is keyed alike whatever
    its integer type or time resolution)."""
    values = np.asarray(ids)
    if values.dtype.kind in "mM":
        values = values.astype(values.dtype.kind + "8[ns]")
    if values.dtype.kind in "iubmM":
        values = values.astype(np.int64)
    return pd.util.hash_array(values)


def _mix(z):
    """splitmix64's finaliser of uint64 ``z`` (wrapping arithmetic)."""
    z = z ^ (z >> np.uint64(30))
    z *= np.uint64(0xBF58476D1CE4E5B9)
    z ^= z >> np.uint64(27)
    z *= np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    return z


def _row_keys(keys, ids, panel, which, position):
    """The key of each simulated row: of (SEED, its id's key, its panel,
    frame ``which`` and its place in the id)."""
    row = _mix(keys[ids] ^ _mix(np.array([SEED], dtype=np.uint64)))
    row ^= ((panel.astype(np.uint64) << np.uint64(33)) | np.uint64(which << 32)
            | position.astype(np.uint64))
    return _mix(row)


def _uniform(rows, column, use):
    """A uniform in (0, 1) per row key, one stream per column and ``use``."""
    stream = id_keys(np.array([str(column)], dtype=object))
    stream = _mix(stream ^ np.uint64(use))
    z = _mix(rows ^ stream)
    return ((z >> np.uint64(11)).astype(float) + 0.5) * 2.0 ** -53


def _simulated(rows, which, frames, found, categorical, columns, count, chains=None):
    """``count`` null panels of the rows of frame ``which`` in one
    ``_Rows``: panel b holds ids b * size to (b + 1) * size - 1. Every
    draw is keyed by its id (``frames[0].ids``), see the module.

    ``chains`` (optional): per categorical column, the whole panel's
    constants of its null chains (:func:`whole_chains`), its labels coded
    by :func:`panel_codes` in ``found``; by default the panel is
    ``frames``."""
    series, labels, correlations = found[:3]
    chains = chains or {}
    size, length = rows.ngroups, len(rows.codes)
    ids = np.tile(rows.codes, count)
    panel = np.repeat(np.arange(count), length)
    codes = ids + panel * size
    gaps = np.tile(rows.gaps(), count)
    position = np.tile(rows.position(), count)
    with np.errstate(over="ignore"):
        keys = _row_keys(id_keys(frames[0].ids), ids, panel, which, position)
    period = None if rows.period is None else np.tile(rows.period, count)
    columns_of = {}
    numeric = [c for c in columns if c not in categorical and c in series]
    if numeric:
        phi = []
        for c in numeric:
            own, other = series[c][0].shrunk(), series[c][1].persistence()
            phi.append(_m._shared(own, other))
        noise = np.column_stack([special.ndtri(_uniform(keys, c, 0)) for c in numeric])
        scores = _scores(np.array(phi).T, _mixing(numeric, correlations, size), ids,
                         gaps, position, noise)
        for j, c in enumerate(numeric):
            values = _drawn(frames, [s.values for s in series[c]], size,
                            special.ndtr(scores[:, j]), ids)
            present = ~np.isnan(np.tile(series[c][which].values, count))
            columns_of[c] = np.where(present, values, np.nan)
    for c in columns:
        if c not in categorical or c not in labels:
            continue
        whole = chains.get(c)
        rho, weight = _chain(frames, labels[c], whole)
        drawn = _drawn(frames, list(labels[c][0]), size, _uniform(keys, c, 1), ids)
        # A fresh label from the panel's (both frames) with the id's weight
        # of the panel, else from the id's own labels: the label at a
        # uniform place of the panel's labels sorted by code.
        counts = _label_counts(labels[c]) if whole is None else whole["counts"]
        rows_of_panel = int(counts.sum())
        if rows_of_panel:
            place = np.minimum((_uniform(keys, c, 2) * rows_of_panel).astype(np.int64),
                               rows_of_panel - 1)
            other = np.searchsorted(np.cumsum(counts), place, side="right")
            drawn = np.where(_uniform(keys, c, 3) < weight[ids], other, drawn)
        # Keep the label with probability rho per period, else draw afresh.
        fresh = (position == 0) | (_uniform(keys, c, 4) >= rho[ids] ** gaps)
        source = np.maximum.accumulate(np.where(fresh, np.arange(len(ids)), 0))
        columns_of[c] = drawn[source]
    return _m._Rows.of_arrays(codes, size * count, period, columns_of)


def _label_counts(labels):
    """The rows of each label code of both frames."""
    (ref_codes, oth_codes), nlabels = labels
    return np.bincount(np.concatenate([ref_codes, oth_codes]), minlength=nlabels)


def _chain(frames, labels, whole=None):
    """The chain of labels of every id under the null: the chance rho of
    keeping the label per period, and the weight of the panel's labels in
    a fresh draw (the rest from the id's own labels of both frames).

    Both are empirical Bayes estimates, shrunk towards the panel (both
    frames) as far as the ids' spread about it is within what sampling
    alone gives: a short sticky series shows a few runs of labels, and the
    shares and the chance of a change seen in them scatter widely about
    the id's own; a chain drawn from them alone is stickier and holds
    fewer labels than the process, and its tests give too few small
    p-values. The chance of a change over both frames' moves is shrunk by
    a beta prior, the id's label shares by a Dirichlet prior about the
    panel's shares, each prior's weight by the method of moments (the
    shares' sampling variance that of n (1 - rho)/(1 + rho) independent
    labels, n the id's rows). rho follows from the chance of a change,
    (1 - rho)(1 - s), s the sum of the squared shares the chain draws
    from.

    The panel's part (its label counts, the beta prior and the Dirichlet
    weight) comes from ``frames`` themselves, or from ``whole``
    (:func:`whole_chains`) when ``frames`` are a part of the panel: the
    rest is per id.
    """
    (ref_codes, oth_codes), nlabels = labels
    size = frames[0].ngroups
    moves, changes = _changes(frames, (ref_codes, oth_codes), size)
    codes = np.concatenate([ref_codes, oth_codes])
    ids = np.concatenate([rows.codes for rows in frames]).astype(np.int64)
    counts = np.bincount(codes, minlength=nlabels) if whole is None else whole["counts"]
    shares = counts / max(int(counts.sum()), 1)
    panel_square = (shares ** 2).sum()
    change = _shrunk(changes, moves, None if whole is None else whole["prior"])
    total = np.bincount(ids, minlength=size).astype(float)
    own_square, cross, _ = _own(ids, codes, nlabels, size, total, shares)
    draws = _draws(change, total, panel_square)
    seen = total > 0
    if whole is None:
        spread = 1 - panel_square
        within = (own_square - 2 * cross + panel_square)[seen].sum() / spread \
            if spread > 0 else 0.0
        weight = _dirichlet(within, draws[seen])
    else:
        weight = whole["weight"]
    panel = 1.0 if not np.isfinite(weight) else max(weight, 0.0) / (max(weight, 0.0) + draws)
    panel = np.broadcast_to(panel, (size,))
    s = ((1 - panel) ** 2 * own_square + 2 * panel * (1 - panel) * cross
         + panel ** 2 * panel_square)
    with np.errstate(divide="ignore", invalid="ignore"):
        rho = 1 - change / (1 - s)
    rho = np.where(np.isfinite(rho), np.clip(rho, 0.0, CHAIN_STEADIEST), CHAIN_STEADIEST)
    return rho, panel


def _changes(frames, codes, size):
    """Per id, the moves (pairs of rows one period apart) of both frames
    and how many of them change the label."""
    moves, changes = np.zeros(size), np.zeros(size)
    for rows, coded in zip(frames, codes):
        first, second = rows.pairs(1)
        moves += np.bincount(rows.codes[first], minlength=size)
        changes += np.bincount(rows.codes[first], weights=coded[first] != coded[second],
                               minlength=size)
    return moves, changes


def _own(ids, codes, nlabels, size, total, shares):
    """Per id, the sum of its own label shares' squares and of their
    products with the panel's ``shares``; per label, the sum over the ids
    of their shares of it."""
    cells, inverse = _m._unique(ids * nlabels + codes, size * nlabels)
    owner = cells // nlabels
    own = np.bincount(inverse, minlength=len(cells)) / total[owner]
    own_square = np.bincount(owner, weights=own ** 2, minlength=size)
    cross = np.bincount(owner, weights=own * shares[cells % nlabels], minlength=size)
    return own_square, cross, np.bincount(cells % nlabels, weights=own, minlength=nlabels)


def _draws(change, total, panel_square):
    """Per id, the independent labels its rows are worth, n (1 - rho) /
    (1 + rho) (at least 1), rho from its shrunk chance of a change against
    the panel's shares."""
    with np.errstate(divide="ignore", invalid="ignore"):
        rough = np.clip(1 - change / (1 - panel_square), 0.0, CHAIN_STEADIEST)
    return np.maximum(total * (1 - rough) / (1 + rough), 1.0)


def _dirichlet(within, draws):
    """The Dirichlet prior's weight by the method of moments: ``within``,
    the ids' squared distances from the panel's shares over the panel's
    spread, against its expectation, sum 1/d + (1 - 1/d) / (w + 1) over the
    ids (``draws`` d of each id that has rows); infinite when the ids
    scatter no more than sampling alone makes them."""
    alone, beyond = (1 / draws).sum(), (1 - 1 / draws).sum()
    return beyond / (within - alone) - 1 if within > alone else np.inf


def _shrunk(events, trials, prior=None):
    """Each id's rate of events, shrunk towards the panel's by a beta prior
    (:func:`_beta`, by default of these ids)."""
    if prior is None:
        prior = _beta(events, trials)
    if prior is None:
        return np.zeros(len(trials))
    mean, weight = prior
    return (events + weight * mean) / (trials + weight)


def _beta(events, trials):
    """The mean and weight of a beta prior of the ids' rates of events, the
    weight by the method of moments: the spread of the ids' rates beyond
    the binomial's. None when no id has a trial."""
    tried = trials > 0
    if not tried.any():
        return None
    mean = events[tried].sum() / trials[tried].sum()
    rate = events[tried] / trials[tried]
    binomial = mean * (1 - mean) * np.mean(1 / trials[tried])
    beyond = np.average((rate - mean) ** 2, weights=trials[tried]) - binomial
    weight = mean * (1 - mean) / beyond - 1 if beyond > 0 else 1e6
    return mean, float(np.clip(weight, 1.0, 1e6))


def chain_sums(frames, column):
    """What the whole panel's null chains of categorical ``column`` need
    from ``frames``, a part of the panel that holds every row of its ids
    (see :func:`whole_chains`): its labels in order of first appearance
    (reference rows first, each frame by id, then time), with the frame,
    id and row of that appearance, their rows and the sum over the ids of
    their shares of each (missing labels last); per id, the moves of both
    frames, the changes among them and the rows; and the sum over the ids
    of their own shares' squares."""
    ref, oth = (np.asarray(rows.values(column), dtype=object) for rows in frames)
    codes, labels = pd.factorize(np.concatenate([ref, oth]))
    codes = np.where(codes < 0, len(labels), codes).astype(np.int64)
    nlabels, size = len(labels) + 1, frames[0].ngroups
    moves, changes = _changes(frames, np.split(codes, [len(ref)]), size)
    ids = np.concatenate([rows.codes for rows in frames]).astype(np.int64)
    total = np.bincount(ids, minlength=size)
    own_square, _, owned = _own(ids, codes, nlabels, size, total.astype(float),
                                np.zeros(nlabels))
    seen, first = np.unique(codes, return_index=True)
    first = first[seen < len(labels)]
    return {"labels": np.asarray(labels, dtype=object), "frame": (first >= len(ref)) * 1,
            "id": frames[0].ids[ids[first]], "row": first,
            "counts": np.bincount(codes, minlength=nlabels), "owned": owned,
            "own_square": own_square[total > 0].sum(), "moves": moves.astype(np.int32),
            "changes": changes.astype(np.int32), "total": total.astype(np.int32)}


def whole_chains(parts, order, id_rank):
    """The whole panel's constants of one categorical column's null chains,
    from the :func:`chain_sums` of its parts (each id in one part): its
    labels in the order that codes them over the whole panel (the order
    of first appearance, missing labels last), their rows (``counts``),
    the beta prior of the chance of a change (``prior``) and the Dirichlet
    weight of the panel's shares (``weight``), as :func:`_chain` fits them
    to a whole panel.

    ``order`` puts the parts' ids, concatenated, in the panel's order, and
    ``id_rank`` gives ids' places in the order of the frames' rows (by
    id). The beta prior and the ids' spread that sampling alone gives are
    those of :func:`_chain` to the last digit (its sums over the ids, in
    the same order); the ids' spread about the panel's shares, sum over
    ids and labels of (own share - panel share) ** 2, adds the parts' sums
    of each label's shares, the same to rounding.
    """
    labels = np.concatenate([part["labels"] for part in parts])
    codes, uniques = pd.factorize(labels)
    # Each label's first appearance over the panel: by frame, id, then row
    # (one id's rows all lie in one part).
    key = np.lexsort((np.concatenate([part["row"] for part in parts]),
                      np.concatenate([id_rank(part["id"]) for part in parts]),
                      np.concatenate([part["frame"] for part in parts])))
    ranked = codes[key]
    first = ranked[np.sort(np.unique(ranked, return_index=True)[1])]
    place = np.empty(len(uniques), dtype=np.int64)
    place[first] = np.arange(len(uniques))
    tally = {}
    for name in ("counts", "owned"):
        found = np.bincount(place[codes], minlength=len(uniques),
                            weights=np.concatenate([part[name][:-1] for part in parts]))
        tally[name] = np.r_[found, sum(part[name][-1] for part in parts)]
    counts = np.rint(tally["counts"]).astype(np.int64)
    moves, changes, total = (
        np.concatenate([part[name] for part in parts])[order].astype(float)
        for name in ("moves", "changes", "total"))
    prior = _beta(changes, moves)
    shares = counts / max(int(counts.sum()), 1)
    panel_square = (shares ** 2).sum()
    draws = _draws(_shrunk(changes, moves, prior), total, panel_square)
    seen = total > 0
    spread = 1 - panel_square
    within = (sum(part["own_square"] for part in parts) - 2 * (tally["owned"] * shares).sum()
              + seen.sum() * panel_square) / spread if spread > 0 else 0.0
    return {"labels": np.asarray(uniques, dtype=object)[first], "counts": counts,
            "prior": prior, "weight": _dirichlet(within, draws[seen])}


def panel_codes(frames, column, whole):
    """The labels of ``column`` in both frames coded as over the whole
    panel (``whole`` of :func:`whole_chains`), as ``measures._labels``."""
    index = pd.Index(whole["labels"], dtype=object)
    codes = []
    for rows in frames:
        found = index.get_indexer(np.asarray(rows.values(column), dtype=object))
        codes.append(np.where(found < 0, len(index), found).astype(np.int64))
    return tuple(codes), len(index) + 1


def _mixing(numeric, correlations, size):
    """Per id, a matrix A whose A A' is the correlation of the columns'
    innovations: the reference's rank correlations taken to Pearson's
    scale, 2 sin(pi rho / 6), made positive semi-definite."""
    k = len(numeric)
    matrix = np.tile(np.eye(k), (size, 1, 1))
    for i, first in enumerate(numeric):
        for j in range(i + 1, k):
            rho = correlations.get((first, numeric[j]))
            if rho is None:
                continue
            r = 2 * np.sin(np.pi * np.nan_to_num(rho, nan=0.0) / 6)
            matrix[:, i, j] = matrix[:, j, i] = r
    eigenvalues, vectors = np.linalg.eigh(matrix)
    mixing = vectors * np.sqrt(np.clip(eigenvalues, 1e-9, None))[:, None, :]
    return mixing / np.sqrt((mixing ** 2).sum(axis=2, keepdims=True))


def _scores(phi, mixing, ids, gaps, position, noise):
    """Standard normal AR(1) scores per row and column: coefficient phi
    per period, so phi ** gap over a gap; innovations, the independent
    standard normal ``noise`` (rows x columns) mixed per id."""
    k = phi.shape[1]
    innovation = np.zeros_like(noise)
    for i in range(k):
        for j in range(k):
            innovation[:, i] += mixing[ids, i, j] * noise[:, j]
    scores = innovation.copy()
    if not len(ids):
        return scores
    order = np.argsort(position, kind="stable")
    bounds = np.searchsorted(position[order], np.arange(1, position.max() + 2))
    for start, stop in zip(bounds[:-1], bounds[1:]):
        rows = order[start:stop]
        a = phi[ids[rows]] ** gaps[rows, None]
        scores[rows] = a * scores[rows - 1] + np.sqrt(1 - a ** 2) * innovation[rows]
    return scores
