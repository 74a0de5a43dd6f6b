"""Calibration, power and speed of the per-column verdicts.

    .venv/bin/python benchmarks/compare.py --verdicts [--verdict-scale 1.0]
        [--verdict-parts ids factors nearest speed levels]

Prints the share of verdict p-values below 0.05 (honest re-draws) or below
a stricter level (planted differences) per (column, measure), each over a
number of generated panels, and the seconds the verdicts take for a wide
panel and the population page's noise levels for it. ``--verdict-scale`` below 1 shrinks the numbers of panels (not
their sizes) for a quicker run.

The panels: per id two AR(0.6) number columns whose innovations correlate
0.5 (0.8 where said), id-specific levels that both frames share, a time
factor of 20 % of the variance (0 % or 50 % where said) drawn afresh in
each frame, and a label that keeps its value with probability 0.7 and
otherwise draws one of three.

The shift of a tenth of the ids is measured without a time factor (the
aim) and with one of 20 %: a time factor drawn anew in each frame swings
the mean contrast over 24 periods by about 0.3 within-id standard
deviations, which hides the 0.1 that the shift moves the frame's mean;
what is left is the skewness of the contrasts per id.

Part ``factors`` draws the honest panels with other time factors and few
periods, and the shift under a time factor. Run from a checkout whose
package the interpreter imports (``PYTHONPATH=.`` where another checkout is
installed in development mode).
"""
import time

import numpy as np
import pandas as pd

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare.noise import population_levels
from kestrune.testing.plotting.compare.verdicts import verdict_table

META = DataFrameMeta("id", "t", categorical=["s"], continuous=["x", "y"])


def panel(n, periods, seed, phi=0.6, rho=0.5, factor=0.2, stay=0.7, levels_seed=7,
          columns=2):
    """A generated panel (see the module's docstring); ``columns`` number
    columns x, y, z...; the levels come from ``levels_seed`` so that two
    frames drawn with other seeds share them."""
    rng = np.random.default_rng(seed)
    levels = np.random.default_rng(levels_seed).normal(size=(n, columns))
    first = rng.normal(size=(n, periods))
    names = "xyzuvw"[:columns]
    frame = {"id": np.repeat(np.arange(n), periods),
             "t": np.tile(np.arange(periods), n)}
    time_factor = _ar(rng.normal(size=(1, periods)), phi)[0]
    weight = np.sqrt(factor / (1 - factor))
    for k, name in enumerate(names):
        shocks = first if k == 0 else rho * first + np.sqrt(1 - rho ** 2) * rng.normal(
            size=(n, periods))
        frame[name] = (_ar(shocks, phi) + weight * time_factor + levels[:, k:k + 1]).ravel()
    labels = np.zeros((n, periods), dtype=int)
    labels[:, 0] = rng.integers(0, 3, n)
    for t in range(1, periods):
        keep = rng.random(n) < stay
        labels[:, t] = np.where(keep, labels[:, t - 1], rng.integers(0, 3, n))
    frame["s"] = np.array(["a", "b", "c"])[labels.ravel()]
    return pd.DataFrame(frame)


def _ar(shocks, phi):
    """AR(phi) series of unit variance, started in their stationary law."""
    x = np.empty_like(shocks)
    x[:, 0] = shocks[:, 0]
    scale = np.sqrt(1 - phi ** 2)
    for t in range(1, shocks.shape[1]):
        x[:, t] = phi * x[:, t - 1] + scale * shocks[:, t]
    return x


def scrambled(frame, seed):
    """Every id's rows in a random time order (values keep their rows)."""
    rng = np.random.default_rng(seed)
    out = frame.copy()
    key = frame["id"].to_numpy() + rng.random(len(frame))
    order = np.argsort(key, kind="stable")
    for column in [c for c in frame.columns if c not in ("id", "t")]:
        out[column] = frame[column].to_numpy()[order]
    return out


def shares(make, count, level, nearest=False):
    """Share of panels with p below ``level`` per (column, measure)."""
    below = None
    for k in range(count):
        reference, other = make(k)
        table = verdict_table(reference, other, META, pairing="nearest" if nearest else "ids")
        hits = pd.Series((table["p"] < level).to_numpy(dtype=float),
                         index=pd.MultiIndex.from_frame(table[["column", "measure"]]))
        below = hits if below is None else below + hits
    return below / count


def show(title, table, aim):
    print("\n{} ({})".format(title, aim))
    print(table.rename("share").to_frame().to_string())


def run(scale=1.0, parts=("ids", "factors", "nearest", "speed", "levels")):
    def count(n):
        return max(2, int(round(n * scale)))

    if "ids" in parts:
        by_ids(count)
    if "factors" in parts:
        factors(count)
    if "nearest" in parts:
        nearest(count)
    if "speed" in parts:
        speed()
    if "levels" in parts:
        sampled_levels()


def sampled_levels(ids=40000, periods=24):
    """The population page's permutation levels of every id against those
    of the 10,000 sampled ids, scaled (noise.arranged_levels), for panels of
    ``ids`` ids: the wide panel's AR(0.6) numbers and sticky label, the
    compared frame drawn anew."""
    from kestrune.testing.plotting.compare import noise
    frames = [META_WIDE.set_indices(panel(ids, periods, seed, columns=5)) for seed in (1, 2)]
    columns = list(META_WIDE.columns)
    times = frames[0].index.get_level_values(1).unique().sort_values()
    found = {}
    for name, most in (("every id", ids), ("sampled", noise.SAMPLED)):
        kept, noise.SAMPLED = noise.SAMPLED, most
        start = time.perf_counter()
        try:
            pooled, band, each = noise.arranged_levels(
                frames[0], frames[1], columns, set(META_WIDE.categorical), True, times)
        finally:
            noise.SAMPLED = kept
        found[name] = (pooled, band, [np.nanmedian(each[c]) for c in columns],
                       time.perf_counter() - start)
    print("\nPermutation levels of {:,} ids x {} periods: every id ({:.0f} s) and a sample "
          "of {:,} ids, scaled ({:.0f} s)".format(ids, periods, found["every id"][3],
                                                 noise.SAMPLED, found["sampled"][3]))
    table = pd.DataFrame({(name, part): values for name, (pooled, band, each, _) in
                          found.items() for part, values in
                          (("pooled", pooled), ("band", band), ("time point", each))},
                         index=columns)
    for part in ("pooled", "band", "time point"):
        table[("ratio", part)] = table[("sampled", part)] / table[("every id", part)]
    print(table.round(4).to_string())


def by_ids(count):
    honest = shares(lambda k: (panel(300, 24, 2 * k + 1), panel(300, 24, 2 * k + 2)),
                    count(200), 0.05)
    show("{} honest panels of 300 ids x 24 periods: share of p < 0.05".format(count(200)),
         honest, "aim: at most 0.08 each")

    def time_scrambled(k):
        reference = panel(500, 8, 3 * k + 1)
        return reference, scrambled(panel(500, 8, 3 * k + 2), k)
    show("{} panels of 500 ids x 8 periods, every id scrambled in time: p < 0.001".format(
        count(50)), shares(time_scrambled, count(50), 0.001),
        "aim: the dynamics of x, y (and s) in every panel")

    show("{} panels of 1,000 ids x 24 periods of AR(0.6) without a time factor, a tenth "
         "shifted by one within-id sd: p < 0.01".format(count(50)),
         shares(lambda k: shifted(k, 0.0), count(50), 0.01),
         "aim: distribution of x, y in at least 90 %")

    def unlinked(k):
        reference = panel(11, 20, 7 * k + 1, rho=0.8)
        other = panel(11, 20, 7 * k + 2, rho=0.8)
        # y of another draw: the same levels, no link with x.
        other["y"] = panel(11, 20, 7 * k + 3, rho=0.8)["y"].to_numpy()
        return reference, other
    show("{} panels of 11 ids x 20 periods, x and y (innovations 0.8) made independent: "
         "p < 0.01".format(count(50)), shares(unlinked, count(50), 0.01),
         "aim: dependence in at least 90 %")



def shifted(k, factor):
    """A panel and a re-draw whose first tenth of ids moved by one."""
    reference = panel(1000, 24, 5 * k + 1, factor=factor)
    other = panel(1000, 24, 5 * k + 2, factor=factor)
    moved = other["id"] < 100
    for column in ("x", "y"):
        other.loc[moved, column] += 1.0
    return reference, other


def factors(count):
    """Honest panels with other time factors and few periods; the shift of
    a tenth of the ids under a time factor."""
    for ids, periods, factor in ((300, 24, 0.0), (300, 24, 0.5), (300, 8, 0.5)):
        show("{} honest panels of {} ids x {} periods, a time factor of {:.0%}: share of "
             "p < 0.05".format(count(100), ids, periods, factor),
             shares(lambda k: (panel(ids, periods, 2 * k + 1, factor=factor),
                               panel(ids, periods, 2 * k + 2, factor=factor)), count(100), 0.05),
             "aim: at most 0.08 each")
    show("{} panels of 1,000 ids x 24 periods with a time factor of 20 %, a tenth shifted "
         "by one within-id sd: p < 0.01".format(count(50)),
         shares(lambda k: shifted(k, 0.2), count(50), 0.01),
         "no aim: the time factors' swings over 24 periods hide a shift of 0.1")


def nearest(count):
    def renamed(frame):
        return frame.assign(id=frame["id"] + 100000)

    show("{} honest panels under nearest pairing (1,000 ids each): p < 0.05".format(
        count(200)), shares(lambda k: (panel(1000, 24, 11 * k + 1),
                                      renamed(panel(1000, 24, 11 * k + 2, levels_seed=k + 99))),
                           count(200), 0.05, nearest=True), "aim: at most 0.08")
    show("{} panels under nearest pairing, every compared id scrambled: p < 0.001".format(
        count(20)), shares(lambda k: (panel(1000, 24, 13 * k + 1),
                                      renamed(scrambled(panel(1000, 24, 13 * k + 2,
                                                              levels_seed=k + 99), k))),
                           count(20), 0.001, nearest=True), "aim: dynamics")



def speed():
    reference = panel(10000, 24, 1, columns=5)
    other = panel(10000, 24, 2, columns=5)
    start, cpu = time.perf_counter(), time.process_time()
    verdict_table(reference, other, META_WIDE)
    print("\nverdicts of 10,000 ids x 24 periods x 6 columns: {:.1f} s ({:.1f} s of CPU; "
          "aim: at most 10 s)".format(time.perf_counter() - start, time.process_time() - cpu))
    frames = [META_WIDE.set_indices(f) for f in (reference, other)]
    start, cpu = time.perf_counter(), time.process_time()
    population_levels(frames, ["reference", "other"], META_WIDE, list(META_WIDE.columns), True, None)
    print("population page's levels of the same panel: {:.1f} s ({:.1f} s of CPU; aim: at most "
          "30 s)".format(time.perf_counter() - start, time.process_time() - cpu))


META_WIDE = DataFrameMeta("id", "t", categorical=["s"], continuous=list("xyzuv"))
