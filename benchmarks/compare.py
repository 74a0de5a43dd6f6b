"""Time the comparison report on generated panels; check its p-values.

    .venv/bin/python benchmarks/compare.py [--ids 500] [--pages 20] [--divergence-ids 10000]
    .venv/bin/python benchmarks/compare.py --measures [--divergence-ids 10000] [--loop-ids N]
    .venv/bin/python benchmarks/compare.py --calibration [--calibration-ids 10000] [--parts rates,fdr]
    .venv/bin/python benchmarks/compare.py --verdicts [--verdict-scale 1.0]
    .venv/bin/python benchmarks/compare.py [--skip-divergence] [--skip-pages]
        [--pairing [--pairing-ids 10000]] [--recovery [--recovery-ids 500]]
    .venv/bin/python benchmarks/compare.py --generators [--runs 200] (see benchmarks/generators.py)
    .venv/bin/python benchmarks/compare.py --dask [--ids 1000000] (see benchmarks/partitioned.py)
    .venv/bin/python benchmarks/compare.py --reader [--reader-ids 10000] (see benchmarks/reader.py)
    .venv/bin/python benchmarks/compare.py --partition [--partition-ids 50000] (see benchmarks/partition.py)

Prints, for a panel of 500 stores x 24 months x 6 columns of mixed dtypes
(examples/data/make_panel.py):

- seconds per page drawn in this process (jobs=1) and the speed-up with
  jobs=2, worker start-up included, saving a folder of PNG pages;
- the peak memory (maximum resident set size) of a process that saves a
  report of 10 pages and of one that saves 100 pages (each a fresh process);
- the time of the divergence table for 10,000 stores against a loop of
  scipy.stats.ks_2samp (continuous columns) and of label counts
  (categorical columns) per store and column, and the largest difference
  between the two.

With --measures (and/or --calibration) only the parts named run:

- --measures: the time of measure_table with all three measures and their
  p-values, and with "distribution" alone, for --divergence-ids stores x 24
  months x (3 continuous + 3 categorical columns), beside divergence_table;
  then a per-store loop (numpy's formula of the autocorrelation,
  scipy.stats.spearmanr, counted label transitions) over the first
  --loop-ids stores (1000 by default, 0 for all), and the largest
  difference between its numbers and the table's. Also the time of the
  table's core on frames prepared beforehand (as the report calls it):
  preparing the frames (DataFrameMeta.set_indices) is a good part of both
  tables' time.
- --calibration: the calibration of the cells' p-values and q-values, by
  benchmarks/calibration.py (see its docstring; --parts picks some of
  rates, tails, fdr, stages, power and speed; it takes many minutes at the default
  sizes --calibration-ids 10000, --tail-ids 50000, --fdr-panels 100).

With ``--pairing`` (synthetic ids of their own), in a fresh process, for the
wide panel of ``--pairing-ids`` stores x 24 months x 6 columns whose
synthetic frame has every store renamed: the seconds to prepare both frames,
then to compute both frames' summaries, pair every synthetic id with its
nearest reference id and every reference id with its nearest synthetic id
(with the radii, realism, coverage and near-copies), and to compute the
population tables; and the peak memory of the process, with the part that
the generated frames alone take. With ``--recovery``: on a generated panel
of ``--recovery-ids`` ids that differ in level, spread and trend (three
numbers and two labels), a synthetic frame with every id renamed and noise of
5 % of each number column's standard deviation added (labels unchanged): the
share of synthetic ids paired with their own original.
``--skip-divergence`` and ``--skip-pages`` leave out the first parts.
"""
import argparse
import importlib
import resource
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "data"))
sys.path.insert(0, str(ROOT))

import make_panel  # noqa: E402
from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import compare_panels, divergence_table, measure_table  # noqa: E402
from kestrune.testing.plotting.compare import pairing as pairing_  # noqa: E402
from kestrune.testing.plotting.compare.measures import _measures  # noqa: E402

MONTHS = 24


def panels(n_stores):
    original, synthetic = make_panel.make_panels(n_stores, MONTHS, wide=True)
    return {"original": original, "synthetic": synthetic}


def timed_save(frames, ids, jobs, folder):
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = compare_panels(frames, id_index="store", time_index="date", ids=ids,
                                jobs=jobs, progress=False)
        report.save(folder)
    return time.perf_counter() - start, len(report.pages)


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def pages(args, out):
    frames = panels(args.ids)
    stores = make_panel.store_names(args.ids)
    ids = stores[:4 * args.pages]
    one, count = timed_save(frames, ids, 1, out / "one")
    two, _ = timed_save(frames, ids, 2, out / "two")
    print("pages: {} pages of 4 ids from {} stores x {} months x 6 columns".format(count, args.ids, MONTHS))
    print("  jobs=1: {:.2f} s, {:.3f} s per page".format(one, one / count))
    print("  jobs=2: {:.2f} s, speed-up {:.2f}x".format(two, one / two))
    ten, hundred = (memory_of(args.ids, count, out / "memory-{}".format(count)) for count in (10, 100))
    print("  peak memory of the process: {:.0f} MiB for 10 pages, {:.0f} MiB for 100 pages "
          "({:.2f}x)".format(ten, hundred, hundred / ten))


def memory_of(n_stores, count, out):
    """Peak memory of a fresh process that saves a report of ``count`` pages."""
    done = subprocess.run([sys.executable, __file__, "--ids", str(n_stores), "--memory-pages", str(count),
                           "--out", str(out)], check=True, stdout=subprocess.PIPE, universal_newlines=True)
    return float(done.stdout.split()[-1])


def loop_of_scipy(original, synthetic, meta):
    """What a user would write instead: one test per store and column."""
    from scipy.stats import ks_2samp

    reference = dict(tuple(original.groupby("store")))
    other = dict(tuple(synthetic.groupby("store")))
    rows = {}
    for store in sorted(reference):
        x, y = reference[store], other[store]
        row = {}
        for column in meta.continuous:
            row[column] = ks_2samp(x[column].dropna(), y[column].dropna()).statistic
        for column in meta.categorical:
            p = x[column].fillna("\\0").value_counts(normalize=True)
            q = y[column].fillna("\\0").value_counts(normalize=True)
            row[column] = 0.5 * p.sub(q, fill_value=0).abs().sum()
        rows[store] = row
    return rows


def divergence(args):
    original, synthetic = make_panel.make_panels(args.divergence_ids, MONTHS, wide=True)
    meta = DataFrameMeta.from_frame(original, "store", "date")
    start = time.perf_counter()
    table = divergence_table(original, synthetic, meta)
    ours = time.perf_counter() - start
    start = time.perf_counter()
    rows = loop_of_scipy(original, synthetic, meta)
    loop = time.perf_counter() - start
    worst = max(abs(table.at[store, column] - value)
                for store, row in rows.items() for column, value in row.items())
    print("divergence: {} stores x {} months x {} columns".format(args.divergence_ids, MONTHS, len(meta.columns)))
    print("  table: {:.3f} s; loop of scipy.stats.ks_2samp and label counts: {:.2f} s ({:.0f}x); "
          "largest difference {:.1e}".format(ours, loop, loop / ours, worst))


def autocorrelation(x, lag):
    """The textbook estimator (as statsmodels' acf), pairs with a gap left out."""
    values = x[~np.isnan(x)]
    if len(values) < 3 or values.min() == values.max():
        return np.nan
    d = x - values.mean()
    products = d[:-lag] * d[lag:]
    return np.nan if np.isnan(products).all() else np.nansum(products) / np.nansum(d ** 2)


def loop_of_measures(original, synthetic, meta, stores):
    """The dynamics and dependence of each store, one store at a time."""
    import collections

    from scipy.stats import spearmanr

    frames = [{store: rows for store, rows in frame.sort_values("date").groupby("store")}
              for frame in (original, synthetic)]
    numbers = meta.continuous
    rows = {}
    for store in stores:
        x, y = (frame[store] for frame in frames)
        row = {}
        for column in numbers:
            row[column, "dynamics"] = 0.5 * abs(autocorrelation(x[column].to_numpy(float), 1)
                                                - autocorrelation(y[column].to_numpy(float), 1))
        rho = {(a, b): [spearmanr(f[a], f[b]).correlation for f in (x, y)]
               for i, a in enumerate(numbers) for b in numbers[i + 1:]}
        for column in numbers:
            row[column, "dependence"] = np.nanmax([0.5 * abs(r[0] - r[1]) for pair, r in rho.items()
                                                   if column in pair])
        for column in meta.categorical:
            moves = []
            for f in (x, y):
                labels = [None if pd.isna(v) else v for v in f[column]]
                counted = collections.defaultdict(collections.Counter)
                for a, b in zip(labels[:-1], labels[1:]):
                    counted[a][b] += 1
                moves.append(counted)
            total = sum(sum(c.values()) for c in moves[0].values())
            distance = 0.0
            for label, after in moves[0].items():
                n, m = sum(after.values()), sum(moves[1][label].values())
                if not m:
                    distance += n / total
                    continue
                gap = sum(abs(after[b] / n - moves[1][label][b] / m) for b in set(after) | set(moves[1][label]))
                distance += n / total * 0.5 * gap
            row[column, "dynamics"] = distance
        rows[store] = row
    return rows


def measures(args):
    original, synthetic = make_panel.make_panels(args.divergence_ids, MONTHS, wide=True)
    meta = DataFrameMeta.from_frame(original, "store", "date")
    timings = {}
    for name, call in (("divergence_table", lambda: divergence_table(original, synthetic, meta)),
                       ("measure_table, distribution only",
                        lambda: measure_table(original, synthetic, meta, measures=["distribution"])),
                       ("measure_table, all three", lambda: measure_table(original, synthetic, meta))):
        best = np.inf
        for _ in range(3):
            start = time.perf_counter()
            result = call()
            best = min(best, time.perf_counter() - start)
        timings[name] = best
    values, _ = result
    reference, other = meta.set_indices(original), meta.set_indices(synthetic)
    best = np.inf
    for _ in range(3):
        start = time.perf_counter()
        _measures(reference, other, meta, list(meta.columns), values.index)
        best = min(best, time.perf_counter() - start)
    timings["its core on prepared frames, all three"] = best
    print("measures: {} stores x {} months x {} columns ({} continuous), best of 3".format(
        args.divergence_ids, MONTHS, len(meta.columns), len(meta.continuous)))
    for name, seconds in timings.items():
        print("  {}: {:.2f} s".format(name, seconds))
    stores = list(values.index[:args.loop_ids or None])
    start = time.perf_counter()
    rows = loop_of_measures(original, synthetic, meta, stores)
    loop = time.perf_counter() - start
    worst = max(abs(values.at[store, cell] - value) for store, row in rows.items()
                for cell, value in row.items() if not (np.isnan(value) and np.isnan(values.at[store, cell])))
    print("  loop of numpy, scipy.stats.spearmanr and label counts over {} stores: {:.1f} s; "
          "largest difference {:.1e}".format(len(stores), loop, worst))


# Processes of the calibration: each gives {column: values of shape (ids, periods)}.
def ar1(rng, shape, phi, noise=None):
    noise = rng.normal(size=shape) if noise is None else noise
    x = noise.copy()
    x[:, 0] /= np.sqrt(1 - phi ** 2)
    for t in range(1, shape[1]):
        x[:, t] += phi * x[:, t - 1]
    return x


def chain(rng, shape, stay=0.8):
    s = np.empty(shape, dtype=int)
    s[:, 0] = rng.integers(0, 3, shape[0])
    for t in range(1, shape[1]):
        moved = (s[:, t - 1] + rng.integers(1, 3, shape[0])) % 3
        s[:, t] = np.where(rng.random(shape[0]) < stay, s[:, t - 1], moved)
    return np.array(["a", "b", "c"], dtype=object)[s]


def coupled(rng, shape, phi, rho):
    noise = rng.normal(size=shape)
    other = rho * noise + np.sqrt(1 - rho ** 2) * rng.normal(size=shape)
    return {"x": ar1(rng, shape, phi, noise), "y": ar1(rng, shape, phi, other)}


def scrambled(rng, x):
    return np.take_along_axis(x, np.argsort(rng.random(x.shape), axis=1), axis=1)


def shares_below(reference, other, level=0.05):
    """Share of ids whose p-value is below ``level``, per column:measure."""
    def frame(columns):
        ids, periods = next(iter(columns.values())).shape
        data = {c: v.ravel() for c, v in columns.items()}
        return pd.DataFrame(dict(id=np.repeat(np.arange(ids), periods),
                                 t=np.tile(np.arange(periods), ids), **data))
    labels = [c for c, v in reference.items() if v.dtype == object]
    meta = DataFrameMeta("id", "t", categorical=labels,
                         continuous=[c for c in reference if c not in labels])
    _, p = measure_table(frame(reference), frame(other), meta)
    return {"{}:{}".format(*cell): share for cell, share in (p < level).mean().items()}


NULLS = {
    "i.i.d. normal": lambda rng, shape: {"x": rng.normal(size=shape)},
    "AR(1) phi=0.7": lambda rng, shape: {"x": ar1(rng, shape, 0.7)},
    "3-label chain, stay 0.8": lambda rng, shape: {"s": chain(rng, shape)},
    "2 AR(1) 0.7, corr. innov.": lambda rng, shape: coupled(rng, shape, 0.7, 0.81),
    "2 AR(1), 0.2 or 0.9 by halves": lambda rng, shape: halves(coupled(rng, shape, 0.2, 0.0),
                                                               coupled(rng, shape, 0.9, 0.81)),
}


def halves(first, second):
    """The ids of two processes in alternation."""
    odd = (np.arange(len(next(iter(first.values())))) % 2 == 1)[:, None]
    return {c: np.where(odd, second[c], v) for c, v in first.items()}


def planted(rng, shape):
    steady, sticky = ar1(rng, shape, 0.8), chain(rng, shape)
    yield "AR(1) 0.8 vs scrambled", "x:dynamics", 0.85, {"x": steady}, {"x": scrambled(rng, steady)}
    yield "AR(1) 0.7 vs 0", "x:dynamics", 0.8, {"x": ar1(rng, shape, 0.7)}, {"x": ar1(rng, shape, 0.0)}
    yield "chain vs scrambled", "s:dynamics", 0.8, {"s": sticky}, {"s": scrambled(rng, sticky)}
    yield "corr. 0.8 vs 0", "x:dependence", 0.9, coupled(rng, shape, 0.0, 0.8), coupled(rng, shape, 0.0, 0.0)
    yield "mean +1 sd", "x:distribution", 0.8, {"x": rng.normal(size=shape)}, {"x": rng.normal(1, 1, shape)}


def pairing(args):
    """Time the pairing of renamed stores in a fresh process (for its peak memory)."""
    done = subprocess.run([sys.executable, __file__, "--pairing-run", str(args.pairing_ids)], check=True,
                          stdout=subprocess.PIPE, universal_newlines=True)
    print(done.stdout, end="")


def pairing_run(n_stores):
    original, synthetic = make_panel.make_panels(n_stores, MONTHS, wide=True)
    synthetic = synthetic.assign(store="new " + synthetic["store"])
    meta = DataFrameMeta.from_frame(original, "store", "date")
    frames_mib = peak_mib()
    start = time.perf_counter()
    reference, other = meta.set_indices(original), meta.set_indices(synthetic)
    columns = list(reference.columns)
    prepared = time.perf_counter()
    paired = pairing_._pair(reference, other, meta, columns, "synthetic")
    middle = time.perf_counter()
    population = pairing_._population([reference, other], ["original", "synthetic"], meta, columns,
                                      paired.summaries)
    end = time.perf_counter()
    print("pairing: {0} x {0} stores x {1} months x {2} columns ({3} summary entries)".format(
        n_stores, MONTHS, len(columns), paired.summaries[0].shape[1]))
    print("  prepare both frames: {:.2f} s".format(prepared - start))
    print("  summaries + pairing both ways: {:.2f} s; population tables: {:.2f} s; together {:.2f} s".format(
        middle - prepared, end - middle, end - prepared))
    print("  peak memory of the process: {:.0f} MiB (the generated frames alone: {:.0f} MiB)".format(
        peak_mib(), frames_mib))
    print("  precision {}, coverage {}, near-copies {}, over-time table {} x {}".format(
        paired.precision, paired.coverage_share, paired.near_copies, *population["over_time"].shape))
    labels = pairing_._labels([reference, other], meta, columns)
    search_against_tree(*pairing_._scaled(*paired.summaries, pairing_._noise(
        paired.summaries[0], columns, labels)))


def search_against_tree(ref_points, oth_points):
    """The nearest reference id of every synthetic id: our search against scipy's k-d tree."""
    from scipy.spatial import cKDTree

    start = time.perf_counter()
    index, _ = pairing_._neighbours(oth_points, ref_points, 1)
    ours = time.perf_counter() - start
    start = time.perf_counter()
    _, tree_index = cKDTree(ref_points).query(oth_points, k=1)
    tree = time.perf_counter() - start
    print("  nearest reference id of each synthetic id in {} entries: chunked search {:.2f} s, "
          "scipy cKDTree {:.2f} s; {} answers differ".format(
              ref_points.shape[1], ours, tree, int((index[:, 0] != tree_index).sum())))


def varied_panel(n_ids, rng):
    """Ids that differ in level, spread and trend of three numbers, and in the
    shares of two labels."""
    ids = ["id-{:04d}".format(n) for n in range(n_ids)]
    t = np.arange(MONTHS)
    data = {"id": np.repeat(ids, MONTHS), "month": np.tile(t, n_ids)}
    for column, scale in (("sales", 1000.0), ("visitors", 100.0), ("staff", 5.0)):
        level = scale * rng.lognormal(0, 0.5, (n_ids, 1))
        spread = level * rng.lognormal(-2.5, 0.5, (n_ids, 1))
        trend = level * rng.normal(0, 0.01, (n_ids, 1))
        data[column] = (level + trend * t + spread * rng.normal(size=(n_ids, MONTHS))).ravel()
    for column, labels in (("weather", make_panel.WEATHER), ("channel", make_panel.CHANNEL)):
        shares = rng.dirichlet(np.ones(len(labels)), n_ids).cumsum(axis=1)
        draws = rng.random((n_ids, MONTHS, 1)) > shares[:, None, :]
        data[column] = np.array(labels, dtype=object)[draws.sum(axis=2)].ravel()
    return pd.DataFrame(data)


def recovery(args):
    rng = np.random.default_rng(make_panel.SEED)
    original = varied_panel(args.recovery_ids, rng)
    synthetic = original.assign(id="new " + original["id"])
    for column in ("sales", "visitors", "staff"):
        synthetic[column] += rng.normal(0, 0.05 * original[column].std(), len(synthetic))
    meta = DataFrameMeta.from_frame(original, "id", "month")
    reference, other = meta.set_indices(original), meta.set_indices(synthetic)
    paired = pairing_._pair(reference, other, meta, list(reference.columns), "synthetic")
    back = (paired.pairs["id"] == "new " + paired.pairs["reference_id"]).mean()
    print("recovery: {} ids x {} months, renamed, noise of 5 % of each number column's spread".format(
        args.recovery_ids, MONTHS))
    print("  paired with their own original: {:.3f}; precision {}, coverage {}, near-copies {}".format(
        back, paired.precision, paired.coverage_share, paired.near_copies))


# Benchmarks with a module of their own, by the flag that runs them.
OWN_MODULES = {"--dask": "partitioned",        # the per-id tables on a local dask cluster
               "--reader": "reader",           # reading the frames against the tables
               "--partition": "partition",     # one partition's tables in this process
               "--generators": "generators"}   # generators' scores beside their yardstick


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    for flag, module in OWN_MODULES.items():
        if flag in argv:
            sys.path.insert(0, str(Path(__file__).resolve().parent))
            return importlib.import_module(module).main([a for a in argv if a != flag])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ids", type=int, default=500, help="stores of the panel drawn")
    parser.add_argument("--pages", type=int, default=20, help="pages timed with jobs=1 and jobs=2")
    parser.add_argument("--divergence-ids", type=int, default=10000)
    parser.add_argument("--skip-pages", action="store_true")
    parser.add_argument("--measures", action="store_true",
                        help="time measure_table and check it against a per-store loop")
    parser.add_argument("--loop-ids", type=int, default=1000,
                        help="stores of the per-store loop of --measures (0: all)")
    parser.add_argument("--calibration", action="store_true",
                        help="share of p-values below 0.05 under the same process and under planted differences")
    parser.add_argument("--calibration-ids", type=int, default=10000)
    parser.add_argument("--tail-ids", type=int, default=50000)
    parser.add_argument("--fdr-ids", type=int, default=1000)
    parser.add_argument("--fdr-panels", type=int, default=100)
    parser.add_argument("--power-panels", type=int, default=5)
    parser.add_argument("--stage-panels", type=int, default=20)
    parser.add_argument("--speed-ids", type=int, default=10000)
    parser.add_argument("--calibration-cases", default="",
                        help="null rates of the processes whose names hold one of these "
                        "comma-separated words only (all by default)")
    parser.add_argument("--calibration-lengths", default="8,12,24,36,36/12",
                        help="periods of the null rates, comma separated (a/b: unequal)")
    parser.add_argument("--parts", default="rates,tails,fdr,stages,power,speed",
                        help="parts of --calibration, comma separated")
    parser.add_argument("--skip-divergence", action="store_true")
    parser.add_argument("--pairing", action="store_true", help="time the pairing of renamed stores")
    parser.add_argument("--pairing-ids", type=int, default=10000)
    parser.add_argument("--recovery", action="store_true",
                        help="the share of renamed, noisy ids paired with their own original")
    parser.add_argument("--recovery-ids", type=int, default=500)
    parser.add_argument("--verdicts", action="store_true",
                        help="calibration, power and speed of the per-column verdicts")
    parser.add_argument("--verdict-scale", type=float, default=1.0,
                        help="share of the verdicts' panels to draw (1 = all)")
    parser.add_argument("--verdict-parts", nargs="+",
                        default=["ids", "factors", "nearest", "speed", "levels"],
                        choices=["ids", "factors", "nearest", "speed", "levels"],
                        help="which parts of --verdicts run (all by default)")
    parser.add_argument("--pairing-run", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--memory-pages", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_pages:
        frames = panels(args.ids)
        timed_save(frames, make_panel.store_names(args.ids)[:4 * args.memory_pages], 1, args.out)
        print(peak_mib())
        return
    if args.verdicts:
        import verdicts
        verdicts.run(args.verdict_scale, args.verdict_parts)
        return
    if args.pairing_run:
        pairing_run(args.pairing_run)
        return
    if args.measures or args.calibration:
        if args.measures:
            measures(args)
        if args.calibration:
            import calibration as calibration_benchmark  # benchmarks/calibration.py
            calibration_benchmark.run(args, args.parts.split(","))
        return
    if not args.skip_divergence:
        divergence(args)
    if args.pairing:
        pairing(args)
    if args.recovery:
        recovery(args)
    if not args.skip_pages:
        with tempfile.TemporaryDirectory() as out:
            pages(args, Path(out))


if __name__ == "__main__":
    main()
