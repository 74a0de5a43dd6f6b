"""Scores of generators with ids of their own beside their yardstick, by simulation.

    .venv/bin/python benchmarks/compare.py --generators [--runs 200] [--permutations 999]

Prints, for reference panels of 1,000 ids x 24 periods drawn from one
process (per id a level, trend, noise and persistence of two number columns
and the shares of two label columns; fixed seeds):

- honest fresh draws of that process (200, 1,000 and 5,000 ids), with a
  holdout of 1,000 ids and without one: the share of runs in which each
  score lies within its yardstick's 95 % interval, and the share of runs
  without a near-copy;
- half of 1,000 compared ids memorised (the reference's own series plus
  noise of 1 % of each number column's spread): the share of memorised and
  of honest ids found as near-copies, and the closer-than-holdout share;
  ten memorised ids among 1,000: how many are found;
- every compared id drawn from the process of one of a fifth of the
  reference ids: the share of runs with the collapse found at p < 0.01,
  with a holdout and without;
- a level shift of one between-id standard deviation, and a loss of
  persistence: whether precision or coverage leaves its interval;
- three generators in one report (honest, collapsed onto 5 %, half
  memorising; 1,000 ids each): their rank;
- the seconds and peak memory (a fresh process) of every score with its
  yardstick and intervals for 10,000 reference x 10,000 compared ids x 24
  periods x 6 columns.
"""
import argparse
import resource
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.stats import binom

from kestrune import DataFrameMeta
from kestrune.testing.plotting.compare import compare_panels, pairing, scores

META = DataFrameMeta("id", "t", categorical=["state", "channel"], continuous=["level", "volume"])
COLUMNS = ["level", "volume", "state", "channel"]
PERIODS = 24


def params(n, rng):
    """Per id the parameters of its process."""
    return pd.DataFrame({
        "level": rng.normal(0, 1, n), "trend": rng.normal(0, 0.03, n),
        "noise": rng.gamma(4, 0.1, n), "phi": rng.uniform(0.2, 0.8, n),
        "volume": rng.normal(3, 0.5, n), "on": rng.uniform(0.1, 0.9, n),
        "stay": rng.uniform(0.3, 0.9, n)})


def panel(prefix, par, rng, periods=PERIODS):
    n = len(par)
    t = np.arange(periods)

    def ar(phi, scale):
        out = np.zeros((n, periods))
        shocks = rng.normal(0, 1, (n, periods)) * scale[:, None]
        for k in range(periods):
            out[:, k] = shocks[:, k] + (phi * out[:, k - 1] if k else 0)
        return out

    phi = par["phi"].to_numpy()
    level = par["level"].to_numpy()[:, None] + par["trend"].to_numpy()[:, None] * t + ar(
        phi, par["noise"].to_numpy())
    volume = np.exp(par["volume"].to_numpy()[:, None] + ar(phi / 2, np.full(n, 0.2)))
    state = np.where(rng.random((n, periods)) < par["on"].to_numpy()[:, None], "on", "off")
    # A channel that keeps its label with probability "stay".
    channel = np.empty((n, periods), dtype=object)
    channel[:, 0] = rng.choice(["web", "shop", "phone"], n)
    for k in range(1, periods):
        keep = rng.random(n) < par["stay"].to_numpy()
        channel[:, k] = np.where(keep, channel[:, k - 1], rng.choice(["web", "shop", "phone"], n))
    return pd.DataFrame({"id": np.repeat(["{}{:05d}".format(prefix, i) for i in range(n)], periods),
                         "t": np.tile(t, n), "level": level.ravel(), "volume": volume.ravel(),
                         "state": state.ravel().astype(object), "channel": channel.ravel()})


def pair(reference, compared, holdout=None):
    return pairing._pair(META.set_indices(reference), META.set_indices(compared), META, COLUMNS,
                         "synthetic", None if holdout is None else META.set_indices(holdout))


def world(seed, n=1000, holdout=1000):
    rng = np.random.default_rng(seed)
    par = params(n, rng)
    return rng, par, panel("r", par, rng), panel("h", params(holdout, rng), rng) if holdout else None


def within(row):
    return {s: row["{}:low".format(s)] <= row["{}:frame".format(s)] <= row["{}:high".format(s)]
            for s in scores.SCORES}


def honest(args):
    print("honest fresh draws, 1,000 reference ids x {} periods, {} runs each: share of runs with each "
          "score within its yardstick's 95 % interval; share of runs with no near-copy".format(
              PERIODS, args.runs))
    print("  {:>8} {:>7} {}  no near-copy".format("holdout", "ids", " ".join(
        "{:>16}".format(s) for s in scores.SCORES)))
    for held in (1000, 0):
        for m in (200, 1000, 5000):
            inside, clean = [], []
            for run in range(args.runs):
                rng, _, reference, holdout = world(1000 + run, holdout=held)
                row = pair(reference, panel("s", params(m, rng), rng), holdout).scores
                inside.append(within(row))
                clean.append(row["near_copies"] == 0)
            shares = pd.DataFrame(inside).mean()
            print("  {:>8} {:>7} {}  {:.3f}".format(held or "none", m, " ".join(
                "{:>16.3f}".format(shares[s]) for s in scores.SCORES), np.mean(clean)), flush=True)
    # Each cell is a binomial share: even an interval that holds its score
    # with chance exactly 0.95 falls below 0.92 now and then.
    print("  (a cell of chance 0.95 falls below 0.92 in {} runs with chance {:.3f}, so about {:.1f} of "
          "these {} cells by chance alone)".format(
              args.runs, binom.cdf(np.ceil(0.92 * args.runs) - 1, args.runs, 0.95),
              6 * len(scores.SCORES) * binom.cdf(np.ceil(0.92 * args.runs) - 1, args.runs, 0.95),
              6 * len(scores.SCORES)))


def copies(args):
    rng, par, reference, holdout = world(7)
    memorised = reference[reference["id"] < "r00500"].assign(id=lambda f: "m" + f["id"])
    for column in ("level", "volume"):
        memorised[column] += rng.normal(0, 0.01 * reference[column].std(), len(memorised))
    fresh = panel("s", params(500, rng), rng)
    result = pair(reference, pd.concat([memorised, fresh]), holdout)
    flags = result.pairs.set_index("id")["near_copy"]
    print("half of 1,000 compared ids memorised with 1 % noise (holdout of 1,000): near-copies among the "
          "memorised {:.3f}, among the honest {:.3f}; closer than the holdout {:.3f} (expected {:.3f}, "
          "p {:.3g})".format(flags.filter(like="m").mean(), flags.filter(like="s").mean(),
                             result.scores["closer_than_holdout"], result.scores["closer_expected"],
                             result.scores["closer_p"]))
    found = []
    for run in range(args.copy_runs):
        rng, par, reference, holdout = world(200 + run)
        ten = reference[reference["id"] < "r00010"].assign(id=lambda f: "m" + f["id"])
        ten["level"] += rng.normal(0, 0.01 * reference["level"].std(), len(ten))
        flags = pair(reference, pd.concat([ten, panel("s", params(990, rng), rng)]),
                     holdout).pairs.set_index("id")["near_copy"]
        found.append((int(flags.filter(like="m").sum()), int(flags.filter(like="s").sum())))
    print("ten memorised ids among 1,000 (holdout of 1,000), {} runs: memorised found {}, honest "
          "flagged {}".format(args.copy_runs, [f for f, _ in found], [h for _, h in found]), flush=True)


def collapse(args):
    for held in (1000, 0):
        hits = []
        for run in range(args.collapse_runs):
            rng, par, reference, holdout = world(300 + run, holdout=held)
            few = par.iloc[rng.choice(1000, 200, replace=False)]
            made = panel("s", few.iloc[rng.integers(0, 200, 1000)], rng)
            hits.append(pair(reference, made, holdout).scores["collapse:p"] < 0.01)
        print("every compared id from 20 % of the reference ids' processes, {} runs, {}: collapse "
              "found at p < 0.01 in {:.2f}".format(args.collapse_runs, "holdout of 1,000" if held
                                                   else "no holdout", np.mean(hits)), flush=True)


def shifts(args):
    for label, change in (("level shifted by one between-id sd", lambda p: p.assign(level=p["level"] + 1)),
                          ("persistence lost (phi = 0)", lambda p: p.assign(phi=0.0))):
        outside = []
        for run in range(args.collapse_runs):
            rng, par, reference, holdout = world(400 + run)
            inside = within(pair(reference, panel("s", change(params(1000, rng)), rng), holdout).scores)
            outside.append(not (inside["precision"] and inside["coverage"]))
        print("{}, {} runs: precision or coverage outside its interval in {:.2f}".format(
            label, args.collapse_runs, np.mean(outside)), flush=True)


def three(args):
    rng, par, reference, holdout = world(500)
    few = par.iloc[rng.choice(1000, 50, replace=False)]
    half = reference[reference["id"] < "r00500"].assign(id=lambda f: f["id"].str.replace("r", "s"))
    half["level"] += rng.normal(0, 0.01 * reference["level"].std(), len(half))
    frames = {"original": reference, "honest": panel("s", params(1000, rng), rng),
              "collapsed": panel("s", few.iloc[rng.integers(0, 50, 1000)], rng),
              "memorising": pd.concat([half, panel("s", params(1000, rng), rng).iloc[PERIODS * 500:]])}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = compare_panels(frames, META, holdout=holdout, pages=1, measures=["distribution"])
    print("three generators in one report (holdout of 1,000):")
    for line in scores.score_lines(report.scores):
        print("  " + line)


def speed(args):
    done = subprocess.run([sys.executable, __file__, "--speed-run", str(args.speed_ids),
                           "--permutations", str(args.permutations)],
                          check=True, stdout=subprocess.PIPE, universal_newlines=True)
    print(done.stdout, end="")


def speed_run(n):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "data"))
    import make_panel
    original, synthetic = make_panel.make_panels(n, PERIODS, wide=True)
    synthetic = synthetic.assign(store="new " + synthetic["store"])
    meta = DataFrameMeta.from_frame(original, "store", "date")
    reference, other = meta.set_indices(original), meta.set_indices(synthetic)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    start, cpu = time.perf_counter(), time.process_time()
    paired = pairing._pair(reference, other, meta, list(reference.columns), "synthetic")
    took, cpu = time.perf_counter() - start, time.process_time() - cpu
    print("speed: {0} x {0} ids x {1} periods x {2} columns, every score with its yardstick (half of "
          "the reference) and {3} permutations: {4:.1f} s ({5:.1f} s of CPU); peak memory {6:.0f} MiB "
          "(the frames alone {7:.0f} MiB)".format(
              n, PERIODS, len(reference.columns), scores.PERMUTATIONS, took, cpu,
              resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, before))
    print("  " + scores.score_lines(scores.score_table([paired.scores]))[0])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200, help="runs of each honest configuration")
    parser.add_argument("--copy-runs", type=int, default=5)
    parser.add_argument("--collapse-runs", type=int, default=20)
    parser.add_argument("--permutations", type=int, default=scores.PERMUTATIONS)
    parser.add_argument("--speed-ids", type=int, default=10000)
    parser.add_argument("--only", nargs="+", default=["honest", "copies", "collapse", "shifts", "three",
                                                      "speed"])
    parser.add_argument("--speed-run", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    scores.PERMUTATIONS = args.permutations
    if args.speed_run:
        speed_run(args.speed_run)
        return
    for part in args.only:
        globals()[part](args)


if __name__ == "__main__":
    main()
