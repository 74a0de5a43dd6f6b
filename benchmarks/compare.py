"""Time the comparison report on generated panels.

    .venv/bin/python benchmarks/compare.py [--ids 500] [--pages 20] [--divergence-ids 10000]
        [--skip-divergence] [--skip-pages] [--pairing [--pairing-ids 10000]]
        [--recovery [--recovery-ids 500]]

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
sys.path.append(str(ROOT))

import make_panel  # noqa: E402
from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import compare_panels, divergence_table  # noqa: E402
from kestrune.testing.plotting.compare import pairing as pairing_  # noqa: E402

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
    search_against_tree(*pairing_._scaled(*paired.summaries))


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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ids", type=int, default=500, help="stores of the panel drawn")
    parser.add_argument("--pages", type=int, default=20, help="pages timed with jobs=1 and jobs=2")
    parser.add_argument("--divergence-ids", type=int, default=10000)
    parser.add_argument("--skip-pages", action="store_true")
    parser.add_argument("--skip-divergence", action="store_true")
    parser.add_argument("--pairing", action="store_true", help="time the pairing of renamed stores")
    parser.add_argument("--pairing-ids", type=int, default=10000)
    parser.add_argument("--recovery", action="store_true",
                        help="the share of renamed, noisy ids paired with their own original")
    parser.add_argument("--recovery-ids", type=int, default=500)
    parser.add_argument("--pairing-run", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--memory-pages", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_pages:
        frames = panels(args.ids)
        timed_save(frames, make_panel.store_names(args.ids)[:4 * args.memory_pages], 1, args.out)
        print(peak_mib())
        return
    if args.pairing_run:
        pairing_run(args.pairing_run)
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
