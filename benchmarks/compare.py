"""Time the comparison report on generated panels.

    .venv/bin/python benchmarks/compare.py [--ids 500] [--pages 20] [--divergence-ids 10000]

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

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "data"))
sys.path.append(str(ROOT))

import make_panel  # noqa: E402
from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import compare_panels, divergence_table  # noqa: E402

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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ids", type=int, default=500, help="stores of the panel drawn")
    parser.add_argument("--pages", type=int, default=20, help="pages timed with jobs=1 and jobs=2")
    parser.add_argument("--divergence-ids", type=int, default=10000)
    parser.add_argument("--skip-pages", action="store_true")
    parser.add_argument("--memory-pages", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--out", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_pages:
        frames = panels(args.ids)
        timed_save(frames, make_panel.store_names(args.ids)[:4 * args.memory_pages], 1, args.out)
        print(peak_mib())
        return
    divergence(args)
    if not args.skip_pages:
        with tempfile.TemporaryDirectory() as out:
            pages(args, Path(out))


if __name__ == "__main__":
    main()
