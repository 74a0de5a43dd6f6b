"""Calibration of the report's cells: null rates, tails, false discoveries
over ids, power, and the speed of the calibrated table.

    .venv/bin/python benchmarks/compare.py --calibration [--calibration-ids 10000]
        [--tail-ids 50000] [--fdr-ids 1000] [--fdr-panels 100] [--stage-panels 20]
        [--speed-ids 10000] [--parts rates,tails,fdr,stages,power,speed]

Every number is a simulation with a fixed seed. Prints:

- null rates: for each process, both frames independent draws of it, at 8,
  12, 24 and 36 periods and at 36 against 12: per measure the share of
  p-values below 0.05 and the share of cells too short to tell (a value but
  no p-value);
- tails: the share of p-values below 0.001 of AR(1) phi = 0.9 and of a
  3-label chain that keeps its label with probability 0.9 (24 periods);
- false discoveries: panels of --fdr-ids ids, 10 % of them planted (a
  one-sd shift, a doubled spread, a scrambled time order, broken
  dependence; a quarter each), at 24 and 36 periods: the realised share of
  false ids among the ids with some cell of q < 0.05 (with two Monte Carlo
  standard errors), the power per kind, and the precision of the first 50
  ids of the evidence order, beside the same order from the uncalibrated
  p-values with Benjamini-Hochberg over every cell;
- power by stage at 36 periods (--stage-panels panels of --fdr-ids ids):
  per planted kind, the share of ids whose cells that carry the difference
  have p < 1e-3 and 1e-4 by the test's own p-value and calibrated, then
  Simes' p-value over the id's tests, then found at q < 0.05, and where
  Benjamini-Hochberg over the ids cuts;
- power at q < 0.05 (1,000 ids, 10 % planted with one kind) for the README;
- speed: the calibrated table and its q-values for --speed-ids ids x 24
  months x 6 columns (3 continuous, 3 categorical).
"""
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "data"))
sys.path.insert(0, str(ROOT))

from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import benjamini_hochberg, measure_table  # noqa: E402
from kestrune.testing.plotting.compare.measures import (_measured,  # noqa: E402
                                                        id_level_qvalues)

LABELS = np.array(["a", "b", "c"], dtype=object)


def ar1(rng, shape, phi, noise=None):
    noise = rng.normal(size=shape) if noise is None else noise
    x = noise.copy()
    x[:, 0] /= np.sqrt(1 - phi ** 2) if phi < 1 else 1.0
    for t in range(1, shape[1]):
        x[:, t] += phi * x[:, t - 1]
    return x


def chain(rng, shape, stay, shares=(1 / 3, 1 / 3, 1 / 3)):
    """Keep the label with probability ``stay``, else draw one by ``shares``."""
    shares = np.cumsum(shares)
    draw = lambda: np.searchsorted(shares, rng.random(shape[0]) * shares[-1])  # noqa: E731
    s = np.empty(shape, dtype=int)
    s[:, 0] = draw()
    for t in range(1, shape[1]):
        s[:, t] = np.where(rng.random(shape[0]) < stay, s[:, t - 1], draw())
    return LABELS[s]


def step(rng, shape, jump=0.1):
    """A level that jumps to a new normal value with probability ``jump``."""
    level = rng.normal(size=shape)
    keep = rng.random(shape) >= jump
    keep[:, 0] = False
    index = np.maximum.accumulate(np.where(keep, 0, np.arange(shape[1])), axis=1)
    return np.take_along_axis(level, index, axis=1)


def coupled(rng, shape, phi, rho):
    noise = rng.normal(size=shape)
    other = rho * noise + np.sqrt(1 - rho ** 2) * rng.normal(size=shape)
    return {"x": ar1(rng, shape, phi, noise), "y": ar1(rng, shape, phi, other)}


# Each gives {column: values of shape (ids, periods)}; "absent" and
# "missing" name the share of rows dropped and of values blanked.
NULLS = {
    "i.i.d. normal": lambda rng, s: {"x": rng.normal(size=s)},
    "AR(1) 0.7": lambda rng, s: {"x": ar1(rng, s, 0.7)},
    "AR(1) 0.9": lambda rng, s: {"x": ar1(rng, s, 0.9)},
    "AR(1) 0.95": lambda rng, s: {"x": ar1(rng, s, 0.95)},
    "random walk": lambda rng, s: {"x": ar1(rng, s, 1.0)},
    "Poisson, mean 1": lambda rng, s: {"x": rng.poisson(1.0, s).astype(float)},
    "step series": lambda rng, s: {"x": step(rng, s)},
    "chain, stay 0.8": lambda rng, s: {"s": chain(rng, s, 0.8)},
    "chain, stay 0.9": lambda rng, s: {"s": chain(rng, s, 0.9)},
    "chain, stay 0.95": lambda rng, s: {"s": chain(rng, s, 0.95)},
    "chain, rare label 3 %": lambda rng, s: {"s": chain(rng, s, 0.8, (0.485, 0.485, 0.03))},
    "AR(1) 0.7, 20 % rows absent": lambda rng, s: {"x": ar1(rng, s, 0.7), "absent": 0.2},
    "AR(1) 0.7, 20 % missing": lambda rng, s: {"x": ar1(rng, s, 0.7), "missing": 0.2},
    "2 AR(1) 0.7, corr. innov.": lambda rng, s: coupled(rng, s, 0.7, 0.8),
    "halves: 2 AR(1) 0.2 or 0.9": lambda rng, s: halves(rng, s),
}


def halves(rng, shape):
    """Ids of two kinds in alternation: two AR(1) columns of coefficient 0.2
    and independent innovations, or of 0.9 and innovations correlated 0.8."""
    first = coupled(rng, shape, 0.2, 0.0)
    second = coupled(rng, shape, 0.9, 0.8)
    for c in first:
        first[c][1::2] = second[c][1::2]
    return first


def frame(columns, rng):
    columns = dict(columns)
    absent, missing = columns.pop("absent", 0.0), columns.pop("missing", 0.0)
    ids, periods = next(iter(columns.values())).shape
    data = {}
    for c, v in columns.items():
        v = v.ravel().copy()
        if missing:
            v[rng.random(len(v)) < missing] = np.nan if v.dtype.kind == "f" else None
        data[c] = v
    table = pd.DataFrame(dict(id=np.repeat(np.arange(ids), periods),
                              t=np.tile(np.arange(periods), ids), **data))
    if absent:
        table = table[rng.random(len(table)) >= absent]
    return table


def meta_of(columns):
    names = [c for c in columns if c not in ("absent", "missing")]
    labels = [c for c in names if columns[c].dtype == object]
    return DataFrameMeta("id", "t", categorical=labels,
                         continuous=[c for c in names if c not in labels])


def null_rates(args):
    rng = np.random.default_rng(20240601)
    ids = args.calibration_ids
    print("null rates: {} ids per case, both frames independent draws; per cell the share "
          "of p < 0.05, and [the share too short to tell]".format(ids))
    words = [w for w in getattr(args, "calibration_cases", "").split(",") if w]
    lengths_of = [tuple(int(n) for n in (text.split("/") * 2)[:2]) for text in
                  getattr(args, "calibration_lengths", "8,12,24,36,36/12").split(",")]
    for lengths in lengths_of:
        for name, make in NULLS.items():
            if words and not any(w in name for w in words):
                continue
            reference, other = make(rng, (ids, lengths[0])), make(rng, (ids, lengths[1]))
            values, p = measure_table(frame(reference, rng), frame(other, rng), meta_of(reference))
            short = (values.notna() & p.isna()).mean()
            print("  n={:<6} {:<28} {}".format(
                "{}/{}".format(*lengths) if lengths[0] != lengths[1] else lengths[0], name,
                "  ".join("{}:{} {:.3f} [{:.2f}]".format(c, m[:4], share, short[c, m])
                          for (c, m), share in (p < 0.05).mean().items())), flush=True)


def tails(args):
    rng = np.random.default_rng(7)
    print("tails: share of p < 0.001 over {} null ids at 24 periods (aim 0.002)".format(args.tail_ids))
    for name in ("AR(1) 0.9", "chain, stay 0.9"):
        make = NULLS[name]
        reference, other = make(rng, (args.tail_ids, 24)), make(rng, (args.tail_ids, 24))
        _, p = measure_table(frame(reference, rng), frame(other, rng), meta_of(reference))
        print("  {:<18} {}".format(name, "  ".join(
            "{}:{} {:.4f}".format(c, m, share) for (c, m), share in (p < 0.001).mean().items())),
            flush=True)


KINDS = ("shift", "spread", "scrambled", "dependence")


def planted_panel(rng, ids, periods, share=0.1, kinds=KINDS):
    """Two AR(1) columns (phi 0.5, innovations correlated 0.8); ``share``
    of the ids planted, the kinds in turn. Returns frames, meta and the
    kind of each id ("" for null ids)."""
    shape = (ids, periods)
    reference, other = coupled(rng, shape, 0.5, 0.8), coupled(rng, shape, 0.5, 0.8)
    kind = np.array([""] * ids, dtype=object)
    planted = rng.choice(ids, int(round(share * ids)), replace=False)
    for n, i in enumerate(planted):
        kind[i] = kinds[n % len(kinds)]
    for c in ("x", "y"):
        other[c] = other[c].copy()
    sd = np.sqrt(1 / (1 - 0.25))
    for i in np.flatnonzero(kind == "shift"):
        other["x"][i] += sd
    for i in np.flatnonzero(kind == "spread"):
        other["x"][i] *= 2
    for i in np.flatnonzero(kind == "scrambled"):
        order = rng.permutation(periods)
        other["x"][i], other["y"][i] = other["x"][i][order], other["y"][i][order]
    independent = coupled(rng, shape, 0.5, 0.0)["y"]
    for i in np.flatnonzero(kind == "dependence"):
        other["y"][i] = independent[i]
    meta = DataFrameMeta("id", "t", categorical=[], continuous=["x", "y"])
    return frame(reference, rng), frame(other, rng), meta, kind


def evidence_order(q, values):
    """The ids by smallest q over their cells, ties by largest value."""
    smallest = np.where(np.isnan(q), 2.0, q).min(axis=1)
    largest = np.where(np.isnan(values), -1.0, values).max(axis=1)
    return np.lexsort((np.arange(len(q)), -largest, smallest))


def fdr(args):
    print("false discoveries over ids: {} ids, 10 % planted ({}), {} panels per length".format(
        args.fdr_ids, ", ".join(KINDS), args.fdr_panels))
    for periods in (24, 36):
        rng = np.random.default_rng(periods)
        false_shares, found, precision, before = [], {k: [] for k in KINDS}, [], []
        for _ in range(args.fdr_panels):
            reference, other, meta, kind = planted_panel(rng, args.fdr_ids, periods)
            prepared = [meta.set_indices(f) for f in (reference, other)]
            index = pd.Index(range(args.fdr_ids))
            values, p, pairs = _measured(*prepared, meta, ["x", "y"], index)
            q = id_level_qvalues(p, pairs).to_numpy()
            hit = (q < 0.05).any(axis=1)
            false_shares.append((hit & (kind == "")).sum() / max(hit.sum(), 1))
            for k in KINDS:
                found[k].append(hit[kind == k].mean())
            first = evidence_order(q, values.to_numpy())[:50]
            precision.append((kind[first] != "").mean())
            _, raw, _ = _measured(*prepared, meta, ["x", "y"], index, calibrated=False)
            first = evidence_order(benjamini_hochberg(raw).to_numpy(), values.to_numpy())[:50]
            before.append((kind[first] != "").mean())
        share = np.mean(false_shares)
        error = np.std(false_shares) / np.sqrt(len(false_shares))
        print("  n={}: FDR over ids {:.3f} (+2 s.e. {:.3f}; aim 0.05); power {}; precision of the "
              "first 50 {:.3f} (uncalibrated, BH over cells: {:.3f})".format(
                  periods, share, share + 2 * error,
                  ", ".join("{} {:.3f}".format(k, np.mean(v)) for k, v in found.items()),
                  np.mean(precision), np.mean(before)), flush=True)


# The cells that carry each planted kind's difference (a pair for dependence).
SIGNAL = {"shift": [("x", "distribution")], "spread": [("x", "distribution")],
          "scrambled": [("x", "dynamics"), ("y", "dynamics")], "dependence": [("x", "y")]}


def simes(tests):
    """Simes' p-value of each row of a table of p-values (NaN left out)."""
    ranked = np.sort(tests, axis=1)
    m = np.isfinite(ranked).sum(axis=1)[:, None]
    return np.nanmin(ranked * m / np.arange(1, ranked.shape[1] + 1), axis=1)


def stages(args):
    """Where the power over ids goes, stage by stage, per planted kind: the
    smallest p-value of the cells that carry the difference, the test's own
    and calibrated, then Simes' p-value over the id's tests, then found at
    q < 0.05 (Benjamini-Hochberg over the ids finds few, so its cut lies
    near 0.05 R / N)."""
    periods = 36
    print("power by stage at n={}: {} ids, 10 % planted, {} panels; share of planted ids with "
          "p below 1e-3 / 1e-4".format(periods, args.fdr_ids, args.stage_panels))
    rng = np.random.default_rng(periods + 1)
    kinds, own, calibrated, combined, found, cuts = [], [], [], [], [], []
    for _ in range(args.stage_panels):
        reference, other, meta, kind = planted_panel(rng, args.fdr_ids, periods)
        prepared = [meta.set_indices(f) for f in (reference, other)]
        index = pd.Index(range(args.fdr_ids))
        tables = []
        for calibrate in (False, True):
            _, p, pairs = _measured(*prepared, meta, ["x", "y"], index, calibrated=calibrate)
            single = p[[c for c in p.columns if c[1] != "dependence"]]
            tables.append(pd.concat([single, pairs], axis=1))
        q = id_level_qvalues(p, pairs).to_numpy()
        tests = tables[1].to_numpy()
        kinds.append(kind)
        for k in KINDS:
            chosen = kind == k
            own.append((k, tables[0].loc[chosen, SIGNAL[k]].min(axis=1).to_numpy()))
            calibrated.append((k, tables[1].loc[chosen, SIGNAL[k]].min(axis=1).to_numpy()))
        combined.append(simes(tests))
        found.append((q < 0.05).any(axis=1))
        ordered = np.sort(combined[-1])
        below = np.flatnonzero(ordered <= 0.05 * np.arange(1, len(ordered) + 1) / len(ordered))
        cuts.append(ordered[below[-1]] if len(below) else 0.05 / len(ordered))
    kind, combined, found = np.concatenate(kinds), np.concatenate(combined), np.concatenate(found)

    def shares(values):
        return "{:.3f} / {:.3f}".format(np.mean(values < 1e-3), np.mean(values < 1e-4))
    for k in KINDS:
        pick = lambda found_: np.concatenate([v for name, v in found_ if name == k])  # noqa: E731
        print("  {:<10} cells: the test's own {}, calibrated {}; Simes over the id {}; "
              "found at q < 0.05 {:.3f}".format(k, shares(pick(own)), shares(pick(calibrated)),
                                                shares(combined[kind == k]), found[kind == k].mean()))
    print("  null ids: Simes {}; Benjamini-Hochberg's cut over the ids: median {:.1e} "
          "(range {:.1e} to {:.1e})".format(shares(combined[kind == ""]), np.median(cuts),
                                            np.min(cuts), np.max(cuts)), flush=True)


def power(args):
    print("power at q < 0.05 per id, 1000 ids, 10 % planted with one kind, AR(1) phi 0 and 0.6:")
    for phi in (0.0, 0.6):
        for periods in (8, 24, 36):
            rng = np.random.default_rng(periods)
            shares = []
            for k in KINDS:
                hits = []
                for _ in range(args.power_panels):
                    shape = (1000, periods)
                    reference, other = coupled(rng, shape, phi, 0.8), coupled(rng, shape, phi, 0.8)
                    planted = np.arange(100)
                    sd = 1 / np.sqrt(1 - phi ** 2)
                    if k == "shift":
                        other["x"][planted] += sd
                    elif k == "spread":
                        other["x"][planted] *= 2
                    elif k == "scrambled":
                        order = np.argsort(rng.random((100, periods)), axis=1)
                        other["x"][planted] = np.take_along_axis(other["x"][planted], order, axis=1)
                        other["y"][planted] = np.take_along_axis(other["y"][planted], order, axis=1)
                    else:
                        other["y"][planted] = coupled(rng, (100, periods), phi, 0.0)["y"]
                    meta = DataFrameMeta("id", "t", categorical=[], continuous=["x", "y"])
                    prepared = [meta.set_indices(frame(f, rng)) for f in (reference, other)]
                    _, p, pairs = _measured(*prepared, meta, ["x", "y"], pd.Index(range(1000)))
                    q = id_level_qvalues(p, pairs).to_numpy()
                    hits.append((q[planted] < 0.05).any(axis=1).mean())
                shares.append("{} {:.2f}".format(k, np.mean(hits)))
            print("  phi={} n={}: {}".format(phi, periods, ", ".join(shares)), flush=True)


def speed(args):
    import make_panel
    original, synthetic = make_panel.make_panels(args.speed_ids, 24, wide=True)
    meta = DataFrameMeta.from_frame(original, "store", "date")
    reference, other = meta.set_indices(original), meta.set_indices(synthetic)
    ids = pd.Index(sorted(set(reference.index.get_level_values(0))))
    start, cpu = time.perf_counter(), time.process_time()
    _, p, pairs = _measured(reference, other, meta, list(meta.columns), ids)
    id_level_qvalues(p, pairs)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    print("speed: calibrated table and id-level q-values of {} ids x 24 months x {} columns "
          "({} continuous): {:.1f} s (aim 20 s; {:.1f} s CPU)".format(
              len(ids), len(meta.columns), len(meta.continuous), seconds, cpu))


def run(args, parts=("rates", "tails", "fdr", "stages", "power", "speed")):
    for part in parts:
        {"rates": null_rates, "tails": tails, "fdr": fdr, "stages": stages, "power": power,
         "speed": speed}[part](args)
