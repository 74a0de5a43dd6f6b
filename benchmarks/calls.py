"""Cost of one call of a trivial module function, beside the same in Python.

    .venv/bin/python benchmarks/calls.py [--repeat 7] [--json]
    make bench-calls        one row per interpreter of the matrix

Times `_verify_df_meta_has_required_parameters_set(meta)` and
`_verify_df_meta_has_required_parameters_set(df_meta=meta)` of the native
module against a pure-Python function with the same body, in one process,
with a metadata object whose attributes cost nothing to read (plain instance
attributes: `columns.empty` is False and `children` is True, so both functions
read three attributes and return None). Prints the nanoseconds per call (the
minimum over the repeats, the four cases timed in turn in every repeat) and
the ratio module / Python for each shape of call. The machine is shared: take
the minimum of a few runs before comparing interpreters.
"""
import argparse
import json
import platform
import sys
import timeit
from pathlib import Path

# An installed kestrune comes first; otherwise the checkout this script sits in.
sys.path.append(str(Path(__file__).resolve().parents[1]))

import kestrune.testing.plotting.series as series  # noqa: E402


class Columns:
    def __init__(self):
        self.empty = False


class Meta:
    def __init__(self):
        self.columns = Columns()
        self.children = True


def verify_in_python(df_meta):
    if df_meta.columns is None or df_meta.columns.empty:
        raise ValueError("df_meta must have column values set but this df_meta does not: " + format(df_meta))
    if not df_meta.children:
        raise ValueError("df_meta must have child values set but this df_meta does not: " + format(df_meta))


CASES = [
    ("positional", "module", "f(meta)", series._verify_df_meta_has_required_parameters_set),
    ("positional", "python", "f(meta)", verify_in_python),
    ("keyword", "module", "f(df_meta=meta)", series._verify_df_meta_has_required_parameters_set),
    ("keyword", "python", "f(df_meta=meta)", verify_in_python),
]


def measure(repeat):
    """{shape: {"module": ns, "python": ns, "ratio": module / python}}."""
    meta = Meta()
    timers = [timeit.Timer(stmt, globals={"f": f, "meta": meta}) for _, _, stmt, f in CASES]
    for timer in timers:
        assert timer.timeit(1) >= 0  # both return None for this meta
    # Calls per timing: enough for at least 0.2 s with every case.
    number = max(timer.autorange()[0] for timer in timers)
    best = [float("inf")] * len(CASES)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    result = {}
    for (shape, side, _, _), ns in zip(CASES, best):
        result.setdefault(shape, {})[side] = ns
    for times in result.values():
        times["ratio"] = times["module"] / times["python"]
    result["number"], result["repeat"] = number, repeat
    result["python"] = platform.python_version()
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--json", action="store_true", help="print one JSON line")
    args = parser.parse_args(argv)
    result = measure(args.repeat)
    if args.json:
        print(json.dumps(result))
        return
    print("CPython {}: ns per call, min of {} x {} calls".format(
        result["python"], result["repeat"], result["number"]))
    print("{:<12}{:>10}{:>10}{:>16}".format("call", "module", "python", "module/python"))
    for shape in ("positional", "keyword"):
        times = result[shape]
        print("{:<12}{:>10.1f}{:>10.1f}{:>16.2f}".format(shape, times["module"], times["python"], times["ratio"]))


if __name__ == "__main__":
    main()
