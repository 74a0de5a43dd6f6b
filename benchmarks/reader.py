"""Time the reading of frames against the tables computed from them.

    .venv/bin/python benchmarks/compare.py --reader [--reader-ids 10000]

For a panel of --reader-ids stores x 24 months x 6 columns (3 number, 3
label; examples/data/make_panel.py), best of 3:

- preparing both frames (prepare_frame: ids, times, numbers and labels
  converted and checked in one pass), and read_panel (the same with every
  check of the report);
- measure_table with "distribution" alone and with all three measures,
  calibrated (the default) and with the tests' own p-values;
- the share of each table's time that preparing the frames takes.
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "data"))
sys.path.append(str(ROOT))

import make_panel  # noqa: E402
from kestrune import DataFrameMeta  # noqa: E402
from kestrune.testing.plotting.compare import measure_table  # noqa: E402
from kestrune.testing.plotting.compare.inputs import prepare_frame, read_panel  # noqa: E402

MONTHS = 24


def best_of(call, runs=3):
    best = np.inf
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def run(n_ids):
    original, synthetic = make_panel.make_panels(n_ids, MONTHS, wide=True)
    meta = DataFrameMeta.from_frame(original, "store", "date")
    prepare = best_of(lambda: [prepare_frame(f, meta) for f in (original, synthetic)])
    read = best_of(lambda: read_panel([original, synthetic], meta))
    print("reader: {} stores x {} months x {} columns ({} number, {} label), best of 3".format(
        n_ids, MONTHS, len(meta.columns), len(meta.continuous), len(meta.categorical)))
    print("  prepare_frame, both frames: {:.3f} s; read_panel: {:.3f} s".format(prepare, read))
    for calibrated in (True, False):
        for name, measures in (("distribution", ["distribution"]),
                               ("all three", ["distribution", "dynamics", "dependence"])):
            seconds = best_of(lambda: measure_table(original, synthetic, meta, measures=measures,
                                                    calibrated=calibrated))
            print("  measure_table, {}{}: {:.3f} s (preparing {:.0f} %)".format(
                name, "" if calibrated else ", calibrated=False", seconds,
                100 * prepare / seconds))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reader-ids", type=int, default=10000)
    args = parser.parse_args(argv)
    run(args.reader_ids)


if __name__ == "__main__":
    main()
