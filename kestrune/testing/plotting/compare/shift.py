"""The shift shared by every id: one half of the distribution verdict.

Under id pairing the distribution verdict's contrasts are taken after each
frame's mean over the ids has been removed at every time point (see
:mod:`.verdicts`): a time factor shared by every id and drawn anew in each
frame would otherwise move every id's contrast the same way. That removal
also takes away whatever the compared frame shifts in every id alike, and
most of a shift of a few ids: when a tenth of the ids move by one, the
frame's mean moves by a tenth, which the removal takes from all ids, so the
sum of the remaining contrasts is zero and only their skewness is left.

This module tests what the removal takes away. Let ``g_t`` be the mean over
the ids of the contrast (compared minus reference value of the same id)
at time point ``t``. Under the null ``g_t`` is the difference of the two
frames' time factors (if any) plus the mean of the ids' own noise; both
have mean zero. The test is a t-test of the mean of ``g_t`` over the time
points with the variance of that mean in two parts:

- the ids' part, exact for any dependence over time within an id: the
  square of each id's weighted sum of its residuals around ``g_t``, summed
  over the ids (the ids are independent);
- the time factors' part, from ``g_t`` itself: the variance of ``g_t`` less
  what the ids' noise explains, times the allowance (1 + r)/(1 - r) of an
  AR(1) series, r the lag-1 autocorrelation of ``g_t``, corrected for
  its downward bias in short series and raised by one standard error
  (with only 8 to 36 time points an estimated autocorrelation is too low
  more often than not, which would make the test reject too often).

Degrees of freedom follow Satterthwaite: the time factors' part has about
T (1 - r)/(1 + r) - 1 of them, the ids' part one less than the ids. Where
there is no time factor the ids' part dominates and the test is nearly a z
test on many ids; where a time factor is present its noise dominates and a
shift smaller than the time factors' own swings over the span cannot be
told from them: with a factor of 20 % of the variance, AR(0.6), over 24
time points, the mean of ``g_t`` has a standard deviation of about 0.3
within-id standard deviations.
"""

import numpy as np
from scipy import stats

# The test needs this many time points with a mean.
FEWEST_TIMES = 4
# The autocorrelation allowance is capped here.
STEEPEST = 0.95


def shared_shift(ids, times, values, frame=None):
    """The t-test of the mean over time points of the ids' mean contrast.

    Parameters
    ----------
    ids, times : numpy.ndarray
        Codes (0, 1, ...) of each value's id and time point, the time codes
        in time order.
    values : numpy.ndarray
        Without ``frame``: the contrast of that id at that time point,
        compared minus reference value (NaN where either is missing).
        With ``frame``: a value of one frame, whose ids are its own.
    frame : numpy.ndarray, optional
        0 for a row of the reference, 1 for one of the compared frame (ids
        of their own): ``g_t`` is then the difference of the two frames'
        means over their ids at ``t``.

    Returns
    -------
    tuple
        (shift, low, high, p): the mean of ``g_t`` over the time points,
        its 95 % interval and the two-sided p-value; NaN where fewer than
        ``FEWEST_TIMES`` time points or 3 ids have values.
    """
    kept = ~np.isnan(values)
    frame = np.ones(len(values), dtype=np.int64) if frame is None else frame.astype(np.int64)
    ids, times, c, frame = ids[kept], times[kept], values[kept], frame[kept]
    if not len(c):
        return (np.nan,) * 4
    width = int(times.max()) + 1
    state = shift_state(time_sums(times, c, frame, width), width, frame.min() == 1,
                        len(np.unique(ids)), len(np.unique(frame)))
    if state is None:
        return (np.nan,) * 4
    return shift_test(state, *id_parts(state, ids, times, c, frame))


# The test in three steps, so that rows held in parts (partitions of a dask
# frame, each holding every row of its ids) give the same answer: sums per
# time point over every part, then each part's sums over its ids given the
# means, then the test.

def time_sums(times, c, frame, width):
    """The count and the sum of the values per (frame, time point): arrays
    of ``2 * width``, the reference's time points first."""
    group = frame * width + times
    return (np.bincount(group, minlength=2 * width),
            np.bincount(group, weights=c, minlength=2 * width))


def shift_state(sums, width, compared_only, units, frames):
    """What every part's sums over its ids need: the means per (frame,
    time point), the time points present and their number, the ids and
    frames; None where the test cannot run."""
    count, total = sums
    present = (count[width:] > 0) & ((count[:width] > 0) | compared_only)
    periods = int(present.sum())
    if periods < FEWEST_TIMES or units < frames + 2:
        return None
    return {"count": count, "means": total / np.maximum(count, 1), "present": present,
            "periods": periods, "units": units, "frames": frames, "width": width}


def id_parts(state, ids, times, c, frame):
    """One part's sum over its ids of the squared weighted residual sums,
    and its squared residuals' share per time point (``width`` values)."""
    width, count, means = state["width"], state["count"], state["means"]
    group = frame * width + times
    inside = state["present"][times]
    ids, times, c, group = ids[inside], times[inside], c[inside], group[inside]
    residual = c - means[group]
    # The mean of g_t is a sum over rows of the residuals over T n (n the
    # frame's ids at t), one sign per frame.
    weight = 1.0 / (state["periods"] * count[group])
    per_id = np.bincount(ids, weights=weight * residual)
    spread = residual ** 2 / np.maximum(count[group] * (count[group] - 1), 1)
    return (per_id ** 2).sum(), np.bincount(times, weights=spread, minlength=width)


def shift_test(state, squares, spread):
    """(shift, low, high, p) from the sums of :func:`time_sums` and of
    :func:`id_parts` over every part."""
    width, means, present = state["width"], state["means"], state["present"]
    periods, units, frames = state["periods"], state["units"], state["frames"]
    g = means[width:] - np.where(frames == 2, means[:width], 0.0)
    shift = g[present].mean()
    ids_part = squares * units / (units - frames)
    noise0 = spread[present].mean()
    # The time factors' part, from g_t less the ids' noise.
    order = np.flatnonzero(present)
    deviation = g[order] - shift
    total0 = (deviation ** 2).sum() / (periods - 1)
    gamma0 = total0 - noise0
    if gamma0 > 0:
        # The autocorrelation of g_t as a whole: that of the remainder alone
        # is a ratio of two small differences where the time factors are
        # weak, too unsteady to use.
        r = np.clip((deviation[:-1] * deviation[1:]).sum() / (periods - 1) / total0, -1.0, 1.0)
        r = (periods * r + 1) / (periods - 3)
        r = np.clip(r + np.sqrt(max(1 - r * r, 0.0) / periods), 0.0, STEEPEST)
        allowance = (1 + r) / (1 - r)
        time_part = gamma0 * allowance / periods
        time_df = max(periods / allowance - 1, 1.0)
    else:
        time_part, time_df = 0.0, 1.0
    variance = ids_part + time_part
    if not variance > 0:
        return shift, shift, shift, float(shift == 0) if np.isfinite(shift) else np.nan
    df = variance ** 2 / (time_part ** 2 / time_df + ids_part ** 2 / (units - frames))
    half = stats.t.ppf(0.975, df) * np.sqrt(variance)
    p = 2 * stats.t.sf(abs(shift) / np.sqrt(variance), df)
    return shift, shift - half, shift + half, p
