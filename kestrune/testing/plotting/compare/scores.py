"""The scores of a generator of ids of its own, each beside a yardstick.

A score alone cannot be read: fresh draws of the very process that made the
reference do not score precision 1, and coverage grows with the number of
ids whatever the generator. So each score of a compared frame is set beside
the same score of real ids the generator never saw, the **yardstick**:

- with a holdout (real ids kept out of the generator's training), the
  compared frame and the holdout are both scored against the reference;
- without one, the reference ids are split in two halves (a fixed seed):
  the compared frame and half B are both scored against half A.

Whether the compared frame differs from its yardstick beyond noise comes
from permuting the pooled compared and yardstick ids: each pooled id's
nearest reference id, distance and realism, and the pooled ids within each
reference id's radius, are found once, so a permutation only reassigns
them and no resample reruns the search of nearest ids. The 95 % interval
of a score is the range that a frame of the compared frame's size drawn
from the pool shows: the compared frame itself is one such draw, so the
interval runs between order statistics of the permutations' scores and the
compared frame's, chosen so that it holds the compared frame's score with a
chance of at least 95 % when the pooled ids are exchangeable (honest draws).

Copies are found by a test: a compared id's distance to its nearest
reference id against the yardstick's nearest distances (the holdout's to
the reference, or each reference id's to its nearest other one), with
Benjamini-Hochberg q-values over the compared ids.
"""

import numpy as np
import pandas as pd
from scipy import stats

from .divergence import round_significant

#: Fewest reference ids for a yardstick, and for a copy test.
YARDSTICK_IDS = 40
COPY_IDS = 20
#: Permutations of the pooled ids, and their seed (the report is deterministic).
PERMUTATIONS = 499
SEED = 20261207
#: Most pooled ids looked at within a reference id's radius: beyond this
#: many, the id is covered in practically every permutation anyway.
WITHIN = 32
#: False discovery rate of the copy test.
FDR = 0.05
#: Share of the yardstick's least distances whose power law extends the
#: copy test's p-values below the least of them (at least TAIL_IDS).
TAIL_SHARE = 0.1
TAIL_IDS = 10
#: The scores compared with their yardstick, in the order of the table.
SCORES = ("precision", "coverage", "realism", "nearest_distance", "collapse")
TOO_FEW = "too few ids for a yardstick"


def expected_coverage(n, m, k):
    """The coverage that ``m`` compared ids drawn like the ``n`` reference ids
    reach, when summaries never tie: 1 - C(n-1, k) / C(n+m-1, k).

    A reference id is covered when one of the ``m`` compared ids falls
    within its k-th nearest other reference id; the n - 1 others and the m
    compared ids are exchangeable, so the chance that none of the m is among
    its k nearest of the n + m - 1 is C(n-1, k) / C(n+m-1, k).
    """
    if k < 1 or n <= k:
        return np.nan
    i = np.arange(k)
    return float(1.0 - np.prod((n - 1.0 - i) / (n + m - 1.0 - i)))


def copy_pvalues(distance, yardstick):
    """P-values of "this compared id is no closer to the reference than real
    ids are": (1 + the number of ``yardstick`` distances at or below its
    ``distance``) / (1 + their number).

    Below the least yardstick distance the count is 0 and the p-value would
    stop at its floor 1 / (1 + number); there it goes on falling as the
    lowest tail of the yardstick's distances does. The tail is the lowest
    10 % (at least 10) of the yardstick's positive distances, j of them up
    to the j-th least, y_j; its power D (the local dimension of the
    summaries) comes from the Hill estimate, taken at its one-sided 95 %
    lower bound, and the fitted share below a distance d is j (d / y_j)**D
    out of 1 + number, capped at the floor's one. The fit is anchored at y_j,
    not at the least distance: the least is the noisiest of all (one draw),
    and every compared id of a frame shares it, so an anchor too high would
    make a whole frame's honest ids look like copies at once. A smaller
    power gives larger p-values below y_j, so the lower bound keeps the
    extrapolation on the safe side. The yardstick's distances of 0, z of
    them, add z / (1 + number) below the least positive one, and a distance
    of 0 gets p z / (1 + number) (0 when z is 0). Where too few distances
    are positive to fit the power, the plain count stays.

    Returns
    -------
    pvalue : numpy.ndarray
    floor : float, the p-value below which only the power law reaches
        (1 / (1 + number)), and the power D (NaN when not fitted).
    """
    y = np.sort(np.asarray(yardstick, dtype=float))
    d = np.asarray(distance, dtype=float)
    floor = 1.0 / (1 + len(y))
    p = (1.0 + np.searchsorted(y, d, side="right")) * floor
    zeros = np.searchsorted(y, 0.0, side="right")
    positive = y[zeros:]
    tail = max(TAIL_IDS, int(np.ceil(TAIL_SHARE * len(positive))))
    power = np.nan
    if len(positive) >= TAIL_IDS:
        low = positive[:tail]
        logs = np.log(low[-1] / low[:-1]).sum()
        if logs > 0:
            # Under a power law the sum of logs is Gamma(len - 1, 1 / D).
            power = stats.chi2.ppf(0.05, 2 * (len(low) - 1)) / (2 * logs)
            below = (d > 0) & (d < positive[0])
            p[below] = (zeros + np.minimum(
                1.0, len(low) * (d[below] / low[-1]) ** power)) * floor
            p[d == 0] = zeros * floor
    return p, floor, power


class _Scored:
    """Compared and yardstick ids pooled, each placed once against a set of
    reference points: what every permutation reassigns."""

    def __init__(self, reference, pooled, k):
        from .pairing import _Distinct, _nearest, _neighbours, _radii, _round

        ref, pool = _Distinct(reference), _Distinct(pooled)
        self.n = len(reference)
        radius, _ = _radii(ref, k)
        self.nearest, self.distance = _nearest(pool, ref)
        with np.errstate(divide="ignore", invalid="ignore"):
            self.realism = round_significant(np.where(
                self.distance == 0, 0.0, self.distance / radius[self.nearest]))
        # Distinct pooled points within each distinct reference point's radius.
        near, dist = _neighbours(ref.points, pool.points,
                                 min(WITHIN, len(pool.points)))
        inside = _round(dist) <= radius[ref.first][:, None]
        self.rows, self.cols = np.nonzero(inside)
        self.cols = near[self.rows, self.cols]
        self.ref_inverse, self.pool_inverse = ref.inverse, pool.inverse
        self.distinct = len(ref.points), len(pool.points)

    def scores(self, mask):
        """The scores of the pooled ids of ``mask`` against the reference."""
        m = mask.sum()
        held = np.bincount(self.pool_inverse[mask], minlength=self.distinct[1]) > 0
        covered = np.zeros(self.distinct[0], bool)
        covered[self.rows[held[self.cols]]] = True
        hits = np.bincount(self.nearest[mask], minlength=self.n)
        return np.array([
            np.mean(self.realism[mask] <= 1),
            np.mean(covered[self.ref_inverse]),
            np.median(self.realism[mask]),
            np.median(self.distance[mask]),
            (hits.astype(float) ** 2).sum() / m])


def interval(value, drawn):
    """The 95 % permutation interval of each score (a column of ``drawn``,
    one row per permutation) of which ``value`` is the observed draw.

    The observed arrangement is one of the B + 1 equally likely ones when
    the pooled ids are exchangeable, so its score's rank among the B + 1
    scores is uniform: between the j-th least and the j-th greatest, j =
    1 + floor((B + 1) / 40), it lies with chance (B + 3 - 2 j) / (B + 1), at
    least 0.95 (0.952 for B = 499). The 2.5th and 97.5th percentiles of the
    B draws alone hold it with chance 0.946 for B = 499: a shade below 95 %.
    """
    every = np.sort(np.vstack([value, drawn]), axis=0)
    j = len(every) // 40
    return every[j], every[len(every) - 1 - j]


def yardstick(reference, compared, other, k, permutations=None, seed=SEED):
    """Each score of ``compared`` beside the same score of ``other`` (the
    yardstick), both against ``reference`` (scaled summary arrays).

    Returns
    -------
    pandas.DataFrame
        One row per score of :data:`SCORES`: ``value`` (the compared frame),
        ``yardstick``, ``low`` and ``high`` (the 95 % interval of the score
        for a frame of the compared frame's size drawn from the pool),
        ``departure`` (the compared value less the permutations' mean, over
        their standard deviation) and ``p`` (two-sided permutation p-value
        of the difference between the two frames).
    """
    if permutations is None:
        permutations = PERMUTATIONS
    scored = _Scored(reference, np.vstack([compared, other]), k)
    m, total = len(compared), len(compared) + len(other)
    mask = np.arange(total) < m
    value, against = scored.scores(mask), scored.scores(~mask)
    rng = np.random.default_rng(seed)
    drawn = np.empty((permutations, len(SCORES)))
    gaps = np.empty((permutations, len(SCORES)))
    for n in range(permutations):
        chosen = np.zeros(total, bool)
        chosen[rng.permutation(total)[:m]] = True
        drawn[n] = scored.scores(chosen)
        gaps[n] = drawn[n] - scored.scores(~chosen)
    centre = gaps.mean(axis=0)
    observed = np.abs(value - against - centre)
    beyond = (np.abs(gaps - centre) >= observed - 1e-12 * np.abs(observed)).sum(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        spread = drawn.std(axis=0, ddof=1)
        departure = np.where(spread > 0, (value - drawn.mean(axis=0)) / spread,
                             np.where(value == drawn.mean(axis=0), 0.0, np.inf))
    low, high = interval(value, drawn)
    table = pd.DataFrame({
        "value": value, "yardstick": against, "low": low, "high": high,
        "departure": departure, "p": (1.0 + beyond) / (1.0 + permutations)},
        index=pd.Index(SCORES, name="score"))
    return table.apply(round_significant)


def fingerprints(frame):
    """Per id of a prepared frame (indexed by id, time, sorted), a number that
    equal series (the same times and values, of the same types) share: the
    sum of the rows' 64-bit hashes (wrapping around), beside the number of
    rows."""
    from .pairing import _groups

    rows = pd.util.hash_pandas_object(frame.reset_index(level=1), index=False)
    ids, group = _groups(frame)
    starts = np.flatnonzero(np.r_[True, group[1:] != group[:-1]]) if len(group) else []
    sums = np.add.reduceat(rows.to_numpy(dtype=np.uint64), starts) if len(group) else []
    return pd.DataFrame({"hash": sums, "rows": np.bincount(group, minlength=len(ids))},
                        index=ids)


def identical_ids(reference, other, same_id=False):
    """The ids of ``other`` whose series equal a series of ``reference``
    (every time and value; missing values equal), or, with ``same_id``, the
    series of the same id; told by :func:`fingerprints`."""
    ref, oth = fingerprints(reference), fingerprints(other)
    if same_id:
        shared = oth.index.intersection(ref.index)
        equal = (oth.loc[shared] == ref.loc[shared]).all(axis=1).to_numpy()
        return list(shared[equal])
    keys = set(zip(ref["hash"], ref["rows"]))
    return [i for i, h, r in zip(oth.index, oth["hash"], oth["rows"]) if (h, r) in keys]


def closer_than_holdout(to_reference, to_holdout, n, h):
    """The share of compared ids closer to the reference than to the holdout
    (ties count half), its expected value n / (n + h) for a generator that
    never saw the reference, and the one-sided binomial p-value."""
    m = len(to_reference)
    closer = np.sum(to_reference < to_holdout) + 0.5 * np.sum(to_reference == to_holdout)
    expected = n / (n + h)
    p = float(stats.binom.sf(np.ceil(closer) - 1, m, expected)) if m else np.nan
    return closer / m if m else np.nan, expected, p


def frame_scores(arrays, with_holdout, k, distance):
    """The entries of a compared frame's row of ``Report.scores`` that its
    yardstick gives.

    ``arrays`` are the scaled summaries of the reference, the compared frame
    and (``with_holdout``) the holdout; ``k`` the neighbours of a radius;
    ``distance`` each compared id's distance to its nearest reference id.
    Half of at least 40 reference ids, or the whole reference, has more
    than ``k`` (at most 5, and fewer than the reference ids) ids.
    """
    from .pairing import _Distinct, _nearest

    reference, compared = arrays[0], arrays[1]
    n = len(reference)
    row = {}
    if with_holdout:
        against, other = reference, arrays[2]
        row["yardstick"] = "the holdout against the reference"
        closer, expected, p = closer_than_holdout(
            distance, _nearest(_Distinct(compared), _Distinct(other))[1], n, len(other))
        row.update({"closer_than_holdout": closer, "closer_expected": expected,
                    "closer_p": p})
    elif n >= YARDSTICK_IDS:
        order = np.random.default_rng(SEED).permutation(n)
        half = (n + 1) // 2
        against = reference[np.sort(order[:half])]
        other = reference[np.sort(order[half:])]
        row["yardstick"] = ("half B of the reference against half A (seed {}); the "
                            "compared frame against half A".format(SEED))
    else:
        row["yardstick"] = "{} (fewer than {} reference ids)".format(TOO_FEW, YARDSTICK_IDS)
        return row
    row["yardstick_ids"] = len(other)
    table = yardstick(against, compared, other, k)
    for score, values in table.iterrows():
        for what, value in values.items():
            row["{}:{}".format(score, "frame" if what == "value" else what)] = value
    row["coverage:expected"] = expected_coverage(
        len(against), len(compared), k)
    row["departure"] = float(np.max(np.abs(table["departure"])))
    beyond = [s for s in SCORES if table.at[s, "p"] * len(SCORES) < FDR]
    row["verdict"] = ("differs from its yardstick beyond noise in " + ", ".join(beyond)
                      if beyond else "no difference beyond noise at these sizes")
    return row


def score_table(rows):
    """``Report.scores``: one row per compared frame, ranked by its largest
    two-sided standardised departure from its yardstick (smallest first:
    nearest to real ids), frames without a yardstick last."""
    table = pd.DataFrame(rows)
    if "departure" in table:
        table = table.sort_values("departure", kind="mergesort", na_position="last")
    table.insert(0, "rank", np.arange(1, len(table) + 1))
    return table.set_index("frame")


def score_lines(scores):
    """One line of text per row of ``Report.scores``, for standard output."""
    lines = []
    for name, row in scores.iterrows():
        def value(key):
            return "-" if key not in row or pd.isna(row[key]) else "{:.3g}".format(row[key])
        text = "{}. {}: precision {}, coverage {}, near-copies {}, identical {}".format(
            row["rank"], name, value("precision"), value("coverage"),
            int(row["near_copies"]), value("identical"))
        if "departure" in row and not pd.isna(row.get("departure")):
            text += "; against {}: precision {} [{}, {}] (yardstick {}), coverage {} " \
                    "[{}, {}] (yardstick {}, expected {}), collapse p {}: {}".format(
                        "the holdout" if "holdout" in row["yardstick"] else "half of the reference",
                        value("precision:frame"), value("precision:low"),
                        value("precision:high"), value("precision:yardstick"),
                        value("coverage:frame"), value("coverage:low"),
                        value("coverage:high"), value("coverage:yardstick"),
                        value("coverage:expected"), value("collapse:p"), row["verdict"])
        else:
            text += "; " + str(row["yardstick"])
        lines.append(text)
    return lines


def identical_message(name, ids):
    """The line of a ``NearCopyWarning`` under id pairing: the ids of frame
    ``name`` whose series equal the reference's; None when there is none."""
    if not len(ids):
        return None
    from .inputs import shown
    return "{} id{} of frame {!r} {} series equal to the reference's in every time " \
           "and value (copies): {}".format(len(ids), "" if len(ids) == 1 else "s", name,
                                          "has a" if len(ids) == 1 else "have",
                                          shown(ids))
