"""The report under nearest pairing on a local dask cluster, from Parquet datasets.

    .venv/bin/python benchmarks/compare.py --dask --parts nearest-report [--ids 100000]
        [--workers 2] [--worker-memory 2GiB] [--no-pandas]

The datasets of ``partitioned.py`` (``--ids`` ids x 24 months x 6 columns,
the compared panel shifted a little), written by the benchmark; in a fresh
process on a local cluster, ``compare_panels(..., pairing="nearest")`` of the
two dask frames (read with ``read_files(engine="dask")``), then the report
saved with its overview, population page and 25 pages: the wall times, and
the CPU time and peak resident memory of the calling process. Then, in
another fresh process, the pandas path's ``compare_panels`` on the same
files (pages not drawn): its time and peak resident memory.
"""
import json
import subprocess
import sys
import time
from pathlib import Path

import partitioned

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(1, str(ROOT))


def on_dask(folder, workers, memory, out):
    """(In a fresh process.) The report on the cluster, then saved."""
    import warnings
    from kestrune.testing.plotting.compare import compare_panels, read_files
    from kestrune.testing.plotting.compare.cluster import cluster
    from kestrune.testing.plotting.compare.progress import Progress
    # Each phase's start on standard error, as it is reached.
    progress = Progress("nearest-report", terminal=False)
    with cluster(workers=int(workers), worker_memory=memory):
        frames, meta = read_files([Path(folder) / n for n in ("reference", "compared")],
                                  "store", "date", engine="dask")
        cpu, _ = partitioned.caller()
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            report = compare_panels(frames, meta, pairing="nearest", pages=25,
                                    progress=progress)
        made = time.perf_counter()
        report.save(out)
        saved = time.perf_counter()
        cpu = partitioned.caller()[0] - cpu
    print(json.dumps({"report": made - start, "save": saved - made, "cpu": cpu,
                      "peak": partitioned.caller()[1], "pairs": len(report.pairs),
                      "pages": len(report.pages), "precision": report.scores["precision"][0]}))


def on_pandas(folder):
    """(In a fresh process.) The pandas path's report of the same files."""
    import warnings
    from kestrune.testing.plotting.compare import compare_panels, read_files
    paths = _whole(folder)
    start = time.perf_counter()
    frames, meta = read_files(paths, "store", "date")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        compare_panels(frames, meta, pairing="nearest", pages=25)
    print(json.dumps({"seconds": time.perf_counter() - start,
                      "peak": partitioned.caller()[1]}))


def _whole(folder):
    """Each dataset as one Parquet file (the pandas reader takes files)."""
    import pandas as pd
    paths = []
    for name in ("reference", "compared"):
        path = Path(folder) / (name + ".parquet")
        if not path.exists():
            pd.concat([pd.read_parquet(p) for p in sorted((Path(folder) / name).glob(
                "*.parquet"))]).to_parquet(path, index=False)
        paths.append(path)
    return paths


def fresh(*args):
    found = subprocess.run([sys.executable, __file__] + [str(a) for a in args],
                           stdout=subprocess.PIPE, check=True, cwd=str(ROOT))
    return json.loads(found.stdout.decode().strip().splitlines()[-1])


def nearest_report(args):
    """The ``nearest-report`` part of ``partitioned.py``."""
    with partitioned.datasets(args, "nearest-report") as scratch:
        found = fresh("--run", scratch, args.workers, args.worker_memory,
                      Path(scratch) / "report")
        wall = found["report"] + found["save"]
        print("  dask, {} workers of {}: compare_panels under nearest pairing {:.0f} s "
              "({:,} pairs, precision {:.3f}), saving the overview, the population page "
              "and {} pages {:.0f} s".format(
                  args.workers, args.worker_memory, found["report"], found["pairs"],
                  found["precision"], found["pages"], found["save"]))
        print("  calling process: peak resident {:.0f} MiB, CPU {:.0f} s = {:.0%} of the "
              "wall time {:.0f} s".format(found["peak"], found["cpu"], found["cpu"] / wall,
                                          wall), flush=True)
        if args.pandas:
            found = fresh("--run-pandas", scratch)
            print("  pandas path on the same files (compare_panels, pages not drawn): "
                  "{:.0f} s, peak resident {:.0f} MiB".format(found["seconds"],
                                                              found["peak"]), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "--run":
        on_dask(*sys.argv[2:])
    else:
        on_pandas(sys.argv[2])
