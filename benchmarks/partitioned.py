"""The report's per-id tables on a local dask cluster, from Parquet datasets.

    .venv/bin/python benchmarks/compare.py --dask [--ids 1000000] [--equal-ids 10000]
        [--workers 2] [--worker-memory 2GiB]
        [--parts report,equal-report,nearest,large,equal,qvalues,nearest-report]
        [--datasets FOLDER] [--no-pandas]

(The file is not called dask.py: a script of that name beside this one would
stand in for the dask library when the benchmarks import it.)

- ``report``: the same datasets as ``large`` (below); in a fresh process on
  a local cluster, ``read_files(engine="dask")`` (id-sorted files: no
  shuffle), ``compare_panels`` of the two dask frames and the report saved
  with its overview, population page and 25 pages (drawn by the workers),
  without the calibration, then in another the same with it (the
  difference is its cost); the wall time, the CPU time and peak resident
  memory of the calling process. Then the pandas path's ``compare_panels``
  on the same files: its peak resident memory.
- ``equal-report``: ``--equal-ids`` ids, ``compare_panels`` on dask frames
  (hash-shuffled, 4 partitions) against the pandas path, both without the
  calibration: the largest difference over the tables, whether the pages
  are the same, and the ratio of the times.
- ``nearest``: nearest pairing (``dask_report.nearest_pairing``) of two
  datasets of ``--ids`` ids on the cluster, and the time projected to
  1,000,000 x 1,000,000 ids (an exact search grows with the square).
- ``nearest-report``: ``compare_panels`` under nearest pairing on the
  cluster (see ``nearest_report.py``).
- ``large``: a reference and a compared panel of ``--ids`` ids x 24 months x
  6 columns (3 numbers, 3 labels, 5 % missing values, an id-sorted Parquet
  dataset of 50,000 ids per file each, written by the benchmark in steps);
  in a fresh process, ``measure_table`` of the two dask frames on a local
  cluster of ``--workers`` workers limited to ``--worker-memory`` each,
  without and then with the calibration (its cost printed apart), and the
  id-level q-values of the table; the wall time, the CPU time and the peak
  resident memory of that calling process. Then, in another fresh process,
  the pandas path on the same files: its peak resident memory.
- ``equal``: ``--equal-ids`` ids, the dask path (hash-shuffled, several
  partitions) against the pandas path: the largest difference of the values
  and of the p-values without and with the calibration (0 expected, or
  rounding), and the ratio of the two paths' times.
- ``qvalues``: peak memory of ``benjamini_hochberg`` and
  ``id_level_qvalues`` on a table of ``--ids`` ids x 15 cells (tracemalloc,
  beyond the table itself).
"""
import argparse
import contextlib
import json
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(1, str(ROOT))

MONTHS = 24
PER_FILE = 50000
LABELS = np.array(["sun", "cloud", "rain", "snow"], dtype=object)


def panel_step(first, count, seed, shift=0.0):
    """Ids ``first`` to ``first + count - 1``: 24 months, three AR(1)
    numbers and three labels, 5 % of the cells missing."""
    rng = np.random.default_rng(seed)
    n = count * MONTHS
    x = rng.normal(size=(count, MONTHS, 3))
    for t in range(1, MONTHS):
        x[:, t] += 0.5 * x[:, t - 1]
    x = x.reshape(n, 3) + shift
    frame = pd.DataFrame({
        "store": np.repeat(np.arange(first, first + count, dtype=np.int64), MONTHS),
        "date": np.tile(pd.date_range("2019-01-01", periods=MONTHS, freq="MS").to_numpy(),
                        count),
        "sales": np.round(x[:, 0] * 100 + 1000, 2), "visitors": np.round(x[:, 1] * 10 + 50),
        "staff": np.round(x[:, 2] + 8, 1)})
    for column in ("weather", "promo", "channel"):
        frame[column] = LABELS[rng.integers(0, len(LABELS), n)]
    for column in frame.columns[2:]:
        frame.loc[rng.random(n) < 0.05, column] = np.nan
    return frame


def write_datasets(folder, ids):
    """The two panels as id-sorted Parquet datasets, written in steps."""
    for name, shift in (("reference", 0.0), ("compared", 0.05)):
        (folder / name).mkdir(parents=True, exist_ok=True)
        for number, first in enumerate(range(0, ids, PER_FILE)):
            frame = panel_step(first, min(PER_FILE, ids - first), 1000 * number + (shift > 0),
                               shift)
            frame.to_parquet(folder / name / "part-{:04d}.parquet".format(number), index=False)
    return folder / "reference", folder / "compared"


META_ARGS = dict(id_index="store", time_index="date",
                 categorical=["weather", "promo", "channel"],
                 continuous=["sales", "visitors", "staff"])


def read_sorted(path):
    """A dataset indexed by id, with its divisions read from the files."""
    import dask.dataframe as dd
    try:
        return dd.read_parquet(str(path), index="store", calculate_divisions=True)
    except TypeError:  # dask 2022: the keyword of the same option
        return dd.read_parquet(str(path), index="store", gather_statistics=True)


def caller():
    """This process's CPU seconds and peak resident memory (MiB)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def large_dask(folder, workers, memory):
    """(In a fresh process.) measure_table on the cluster, then q-values."""
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import measure_table
    from kestrune.testing.plotting.compare.cluster import cluster
    from kestrune.testing.plotting.compare.measures import id_level_qvalues
    meta = DataFrameMeta(**META_ARGS)
    out = {}
    with cluster(workers=workers, worker_memory=memory):
        reference, compared = (read_sorted(Path(folder) / n) for n in ("reference", "compared"))
        cpu, _ = caller()
        start = time.perf_counter()
        values, _ = measure_table(reference, compared, meta, calibrated=False)
        out["uncalibrated"] = time.perf_counter() - start
        start = time.perf_counter()
        values, pvalues = measure_table(reference, compared, meta)
        out["calibrated"] = time.perf_counter() - start
        start = time.perf_counter()
        id_level_qvalues(pvalues)
        out["qvalues"] = time.perf_counter() - start
        out["cpu"], out["peak"] = caller()
        out["cpu"] -= cpu
        out["ids"], out["cells"] = values.shape
    print(json.dumps(out))


def without_calibration():
    """Turn the calibration off in this process: the p-values of the
    measures and of the verdicts' few-id cells as they are."""
    from kestrune.testing.plotting.compare import calibration, partitions
    plain = partitions.measure_steps
    calibration.calibrated = lambda *found: found[-1]
    partitions.measure_steps = lambda *a, **k: plain(*a[:7], False, **k)


def report_dask(folder, workers, memory, out, calibrated):
    """(In a fresh process.) compare_panels on the cluster, with or without
    the calibration, saved with its overview, population page and 25 pages."""
    import warnings
    from kestrune.testing.plotting.compare import compare_panels, read_files
    from kestrune.testing.plotting.compare.cluster import cluster
    if not calibrated:
        without_calibration()
    warnings.simplefilter("ignore")
    found = {}
    with cluster(workers=workers, worker_memory=memory):
        cpu, _ = caller()
        start = time.perf_counter()
        frames, meta = read_files([Path(folder) / n for n in ("reference", "compared")],
                                  "store", "date", engine="dask")
        report = compare_panels(frames, meta, pages=25)
        found["report"] = time.perf_counter() - start
        start = time.perf_counter()
        report.save(out)
        found["save"] = time.perf_counter() - start
        found["cpu"], found["peak"] = caller()
        found["cpu"] -= cpu
        found["ids"], found["cells"] = report.divergence.shape
        found["pages"] = len(report.pages)
    print(json.dumps(found))


def large_pandas(folder, whole=False):
    """(In a fresh process.) The pandas path on the same files: the per-id
    tables, or (``whole``) the report without its pages."""
    import warnings
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import compare_panels, measure_table
    meta = DataFrameMeta(**META_ARGS)
    start = time.perf_counter()
    frames = [pd.read_parquet(str(Path(folder) / n)) for n in ("reference", "compared")]
    if whole:
        warnings.simplefilter("ignore")
        compare_panels(frames, meta, pages=25)
    else:
        measure_table(frames[0], frames[1], meta)
    print(json.dumps({"seconds": time.perf_counter() - start, "peak": caller()[1]}))


def fresh(*args):
    found = subprocess.run([sys.executable, __file__] + [str(a) for a in args],
                           stdout=subprocess.PIPE, check=True, cwd=str(ROOT))
    return json.loads(found.stdout.decode().strip().splitlines()[-1])


@contextlib.contextmanager
def datasets(args, part):
    """A scratch folder with both frames of ``args.ids`` ids written as
    Parquet; with ``--datasets``, that folder, written there the first time."""
    if args.datasets:
        folder = Path(args.datasets)
        if not (folder / "compared").exists():
            folder.mkdir(parents=True, exist_ok=True)
            write_datasets(folder, args.ids)
        print("{}: the datasets of {}".format(part, folder), flush=True)
        yield str(folder)
        return
    with tempfile.TemporaryDirectory() as scratch:
        start = time.perf_counter()
        write_datasets(Path(scratch), args.ids)
        print("{}: {:,} ids x {} months x 6 columns, written as Parquet in {:.0f} s".format(
            part, args.ids, MONTHS, time.perf_counter() - start), flush=True)
        yield scratch


def large(args):
    with datasets(args, "large") as scratch:
        found = fresh("--run-dask", scratch, args.workers, args.worker_memory)
        wall = found["uncalibrated"] + found["calibrated"] + found["qvalues"]
        print("  dask, {} workers of {}: tables without calibration {:.0f} s, with it {:.0f} s "
              "(the calibration: {:.0f} s), id-level q-values {:.1f} s".format(
                  args.workers, args.worker_memory, found["uncalibrated"], found["calibrated"],
                  found["calibrated"] - found["uncalibrated"], found["qvalues"]))
        print("  calling process: peak resident {:.0f} MiB, CPU {:.0f} s = {:.0%} of the "
              "wall time {:.0f} s ({} ids x {} cells)".format(
                  found["peak"], found["cpu"], found["cpu"] / wall, wall, found["ids"],
                  found["cells"]), flush=True)
        if args.pandas:
            found = fresh("--run-pandas", scratch)
            print("  pandas path on the same files: {:.0f} s, peak resident {:.0f} MiB".format(
                found["seconds"], found["peak"]))


def report(args):
    with datasets(args, "report") as scratch, tempfile.TemporaryDirectory() as out:
        found = {}
        for calibrated in (False, True):
            found[calibrated] = one = fresh("--run-report", scratch, args.workers,
                                            args.worker_memory,
                                            Path(out) / "report-{}".format(calibrated),
                                            int(calibrated))
            wall = one["report"] + one["save"]
            print("  dask, {} workers of {}, {} the calibration: read_files and compare_panels "
                  "{:.0f} s ({} ids x {} cells), saving the overview, the population page and "
                  "{} pages {:.0f} s: {:.0f} s".format(
                      args.workers, args.worker_memory, "with" if calibrated else "without",
                      one["report"], one["ids"], one["cells"], one["pages"], one["save"], wall))
            print("    calling process: peak resident {:.0f} MiB, CPU {:.0f} s = {:.0%} of "
                  "the wall time".format(one["peak"], one["cpu"], one["cpu"] / wall),
                  flush=True)
        print("  the calibration: {:.0f} s".format(found[True]["report"]
                                                  - found[False]["report"]))
        if args.pandas:
            found = fresh("--run-pandas-report", scratch)
            print("  pandas path on the same files (compare_panels, pages not drawn): {:.0f} s, "
                  "peak resident {:.0f} MiB".format(found["seconds"], found["peak"]))


def nearest_dask(folder, workers, memory):
    """(In a fresh process.) Nearest pairing of the two datasets."""
    from kestrune.testing.plotting.compare import read_files
    from kestrune.testing.plotting.compare.cluster import cluster
    from kestrune.testing.plotting.compare.dask_report import nearest_pairing
    with cluster(workers=workers, worker_memory=memory):
        frames, meta = read_files([Path(folder) / n for n in ("reference", "compared")],
                                  "store", "date", engine="dask")
        cpu, _ = caller()
        start = time.perf_counter()
        found = nearest_pairing(*frames.values(), meta)
        seconds = time.perf_counter() - start
        cpu = caller()[0] - cpu
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak": caller()[1],
                      "pairs": len(found.pairs), "precision": found.precision}))


def nearest(args):
    with tempfile.TemporaryDirectory() as scratch:
        write_datasets(Path(scratch), args.ids)
        found = fresh("--run-nearest", scratch, args.workers, args.worker_memory)
        print("nearest: {:,} x {:,} ids on {} workers of {}: {:.0f} s (calling process: CPU "
              "{:.0f} s, peak resident {:.0f} MiB); an exact search grows with the square "
              "of the ids: about {:.0f} min at 1,000,000 x 1,000,000".format(
                  args.ids, args.ids, args.workers, args.worker_memory, found["seconds"],
                  found["cpu"], found["peak"],
                  found["seconds"] * (1e6 / args.ids) ** 2 / 60), flush=True)


def equal_report(args):
    """compare_panels on pandas and dask frames of ``--equal-ids`` ids,
    without the calibration (the quicker run)."""
    import warnings
    import dask.dataframe as dd
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import compare_panels
    from kestrune.testing.plotting.compare.cluster import cluster
    meta = DataFrameMeta(**META_ARGS)
    frames = [panel_step(0, args.equal_ids, 7), panel_step(0, args.equal_ids, 8, 0.05)]
    without_calibration()
    warnings.simplefilter("ignore")
    with cluster(workers=args.workers, worker_memory=args.worker_memory):
        shuffled = [dd.from_pandas(f.sample(frac=1.0, random_state=1).reset_index(drop=True),
                                   npartitions=4) for f in frames]
        start = time.perf_counter()
        want = compare_panels(frames, meta, pages=1)
        pandas_time = time.perf_counter() - start
        start = time.perf_counter()
        got = compare_panels(shuffled, meta, pages=1)
        dask_time = time.perf_counter() - start
    tables = {"divergence": (got.divergence, want.divergence),
              "q-values": (got.qvalues, want.qvalues)}
    tables.update((k, (got.population[k], want.population[k]))
                  for k in ("columns", "over_time", "summaries"))
    tables.update(("levels " + k, (got.population["levels"][k], want.population["levels"][k]))
                  for k in ("columns", "band", "over_time"))
    numeric = ["statistic", "effect", "low", "high", "p", "q"]
    tables["verdicts"] = (got.verdicts[numeric], want.verdicts[numeric])
    gaps = {name: np.nanmax(np.abs(g.to_numpy(dtype=float) - w.to_numpy(dtype=float)))
            for name, (g, w) in tables.items()}
    largest = max(gaps.values())
    if largest > 1e-9:
        print("  differences: {}".format(gaps))
    print("equal report: {:,} ids, 4 partitions each, hash-shuffled on {} workers, without "
          "the calibration".format(args.equal_ids, args.workers))
    print("  largest difference over the tables: {:.1e}; same pages: {}; time dask / pandas: "
          "{:.1f} ({:.0f} s / {:.0f} s)".format(largest, got.pages == want.pages,
                                               dask_time / pandas_time, dask_time,
                                               pandas_time))


def equal(args):
    import dask
    import dask.dataframe as dd
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import measure_table
    from kestrune.testing.plotting.compare.cluster import cluster
    meta = DataFrameMeta(**META_ARGS)
    frames = [panel_step(0, args.equal_ids, 7), panel_step(0, args.equal_ids, 8, 0.05)]
    with cluster(workers=args.workers, worker_memory=args.worker_memory):
        shuffled = [dd.from_pandas(f.sample(frac=1.0, random_state=1).reset_index(drop=True),
                                   npartitions=4) for f in frames]
        found = {}
        for calibrated in (False, True):
            start = time.perf_counter()
            want = measure_table(frames[0], frames[1], meta, calibrated=calibrated)
            pandas_time = time.perf_counter() - start
            start = time.perf_counter()
            got = measure_table(shuffled[0], shuffled[1], meta, calibrated=calibrated)
            dask_time = time.perf_counter() - start
            found[calibrated] = [np.nanmax(np.abs(g.to_numpy() - w.to_numpy()))
                                 for g, w in zip(got, want)] + [dask_time / pandas_time]
    del dask
    print("equal: {:,} ids, 4 partitions each, hash-shuffled on 2 workers".format(args.equal_ids))
    print("  largest difference: values {:.1e}, p-values without calibration {:.1e}, "
          "calibrated p-values {:.1e}".format(
              found[False][0], found[False][1], found[True][1]))
    print("  time dask / pandas: {:.1f} without calibration, {:.1f} with it".format(
        found[False][2], found[True][2]))


def qvalues(args):
    from kestrune.testing.plotting.compare import benjamini_hochberg
    from kestrune.testing.plotting.compare.measures import id_level_qvalues
    rng = np.random.default_rng(0)
    p = rng.random((args.ids, 15))
    p[rng.random(p.shape) < 0.1] = np.nan
    cells = pd.MultiIndex.from_product([list("abcde"), ["distribution", "dynamics",
                                                        "dependence"]])
    frame = pd.DataFrame(p, columns=cells)
    print("qvalues: a table of {:,} ids x 15 cells ({:.0f} MiB)".format(
        args.ids, p.nbytes / 2 ** 20))
    for name, function, table in (("benjamini_hochberg", benjamini_hochberg, frame),
                                  ("id_level_qvalues", id_level_qvalues, frame)):
        tracemalloc.start()
        start = time.perf_counter()
        function(table)
        seconds = time.perf_counter() - start
        held = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print("  {}: {:.1f} s, peak {:.0f} MiB beyond the table".format(
            name, seconds, held / 2 ** 20))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["--run-dask"]:
        return large_dask(argv[1], int(argv[2]), argv[3])
    if argv[:1] == ["--run-report"]:
        return report_dask(argv[1], int(argv[2]), argv[3], argv[4], argv[5] == "1")
    if argv[:1] == ["--run-nearest"]:
        return nearest_dask(argv[1], int(argv[2]), argv[3])
    if argv[:1] == ["--run-pandas-report"]:
        return large_pandas(argv[1], whole=True)
    if argv[:1] == ["--run-pandas"]:
        return large_pandas(argv[1])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ids", type=int, default=1000000)
    parser.add_argument("--equal-ids", type=int, default=10000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--worker-memory", default="2GiB")
    parser.add_argument("--parts",
                        default="report,equal-report,nearest,large,equal,qvalues")
    parser.add_argument("--datasets", metavar="FOLDER",
                        help="the datasets of --ids ids in FOLDER (written there if missing)")
    parser.add_argument("--no-pandas", dest="pandas", action="store_false",
                        help="leave out the pandas path's memory of the large part")
    args = parser.parse_args(argv)
    for part in args.parts.split(","):
        if part == "nearest-report":
            import nearest_report
            nearest_report.nearest_report(args)
            continue
        {"large": large, "equal": equal, "qvalues": qvalues, "report": report,
         "equal-report": equal_report, "nearest": nearest}[part](args)


if __name__ == "__main__":
    main()
