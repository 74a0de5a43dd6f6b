"""One partition's per-id tables, timed in this process.

    .venv/bin/python benchmarks/compare.py --partition [--partition-ids 50000]
        [--repeats 3] [--parts measures,calibrated,verdicts]

On dask every partition runs the pandas path's vectorised code; this times
that code on one pandas panel of ``--partition-ids`` ids x 24 months x 6
columns (3 numbers, 3 labels, 5 % missing values: ``panel_step`` of
benchmarks/partitioned.py, the compared frame shifted by 0.05), the frames
prepared beforehand as a partition's are:

- ``measures``: the values and uncalibrated p-values (``measure_table``'s
  core with ``calibrated=False``);
- ``calibrated``: the same with the calibrated p-values;
- ``verdicts``: the per-id statistics of the verdicts (what a partition
  computes for ``compare_panels`` on dask: ``_Stats`` of both frames and
  their components), then the whole ``verdict_table`` core of the pandas
  path.

Each is run ``--repeats`` times; the best wall and CPU seconds are printed
(on a shared machine the CPU seconds vary less).
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from partitioned import META_ARGS, panel_step  # noqa: E402


def frames(ids):
    from kestrune import DataFrameMeta
    from kestrune.testing.plotting.compare import inputs, measures
    meta = DataFrameMeta(**META_ARGS)
    reference, _ = inputs.prepare_frame(panel_step(0, ids, 0), meta, name="reference")
    other, _ = inputs.prepare_frame(panel_step(0, ids, 1, shift=0.05), meta, name="other")
    return reference, other, meta, measures._sorted_union(reference, other)


def best(run, repeats):
    """The best wall and CPU seconds of ``repeats`` runs."""
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu = time.perf_counter(), time.process_time()
        run()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partition-ids", type=int, default=50000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--parts", default="measures,calibrated,verdicts")
    args = parser.parse_args(argv)
    from kestrune.testing.plotting.compare import measures, verdicts
    reference, other, meta, ids = frames(args.partition_ids)
    columns = list(meta.columns)

    def statistics():
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            stats = [verdicts._Stats(f, ids, meta, columns) for f in (reference, other)]
            return verdicts._components(stats, meta, columns, measures.MEASURES)

    runs = {
        "measures": [("values and p-values, uncalibrated", lambda: measures._measured(
            reference, other, meta, columns, ids, calibrated=False))],
        "calibrated": [("values and calibrated p-values", lambda: measures._measured(
            reference, other, meta, columns, ids, calibrated=True))],
        "verdicts": [("verdicts' per-id statistics (a partition's)", statistics),
                     ("verdict table (pandas path)", lambda: verdicts._verdicts(
                         reference, other, meta, columns, None, measures.MEASURES, "f", "ids"))]}
    print("{} ids x 24 months x 6 columns, best of {}:".format(len(ids), args.repeats))
    for part in args.parts.split(","):
        for name, run in runs[part]:
            wall, cpu = best(run, args.repeats)
            print("  {}: {:.2f} s wall, {:.2f} s CPU".format(name, wall, cpu), flush=True)


if __name__ == "__main__":
    main()
