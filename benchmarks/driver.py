"""Time plot_multi_index_dataframes on the demo data.

    .venv/bin/python benchmarks/driver.py [--runs 7]

Prints the median and the spread of the wall-clock time of one call (the
figure drawn, laid out and shown on Agg), without saving it.
"""
import argparse
import statistics
import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import demo  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args(argv)
    frames = [demo.load_panel("original"), demo.load_panel("synthetic")]
    meta = demo.DataFrameMeta.from_frame(frames[0], demo.ID, demo.TIME)
    columns, ids = list(meta.columns), sorted(set(frames[0].index.get_level_values(0)))
    times = []
    for _ in range(args.runs + 1):  # the first run warms the caches up
        start = time.perf_counter()
        demo.series.plot_multi_index_dataframes(frames, meta, columns, ids)
        times.append(time.perf_counter() - start)
        plt.close("all")
    times = times[1:]
    print("plot_multi_index_dataframes on the demo data: median {:.3f} s over {} runs "
          "(min {:.3f} s, max {:.3f} s)".format(statistics.median(times), len(times), min(times), max(times)))


if __name__ == "__main__":
    main()
