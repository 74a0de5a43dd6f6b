"""The cost of a call in the released wheel beside the in-place build.

    python scripts/bench_wheel.py --python /path/to/python3.X [--runs 5]
    make bench-wheel PYTHON=...

The wheel of dist/ (cross-built with zig) is installed into a fresh
environment, held to the pins of requirements/py3X.txt so that both sides
import the same libraries; the in-place build is the one of the interpreter's
own environment (make build, the machine's GCC). benchmarks/calls.py then
runs alternately in the two, --runs times each, and the median nanoseconds
per call of the module function are compared for both shapes of call. Exits
non-zero when the wheel is more than 5 % slower than the in-place build.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrix import ROOT, venv_python  # noqa: E402
from wheel_check import WHERE, find_artefact, python_tag, run  # noqa: E402

CALLS = os.path.join(ROOT, "benchmarks", "calls.py")
TOLERANCE = 1.05


def measure(python, cwd):
    out = subprocess.check_output([python, CALLS, "--json"], cwd=cwd, universal_newlines=True)
    return json.loads(out.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args(argv)
    tag = python_tag(args.python)
    wheel = find_artefact(args.python, os.path.join(ROOT, "dist"), sdist=False)
    in_place = venv_python("{}.{}".format(tag[0], tag[1:]))
    scratch = tempfile.mkdtemp(prefix="kestrune-bench-")
    try:
        venv = os.path.join(scratch, "venv")
        run([args.python, "-m", "venv", venv])
        vpy = os.path.join(venv, "bin", "python")
        run([vpy, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
             "--constraint", os.path.join(ROOT, "requirements", "py{}.txt".format(tag)), wheel])
        run([vpy, "-c", WHERE], cwd=scratch)
        times = {"wheel": [], "in-place": []}
        for _ in range(args.runs):
            times["in-place"].append(measure(in_place, ROOT))
            times["wheel"].append(measure(vpy, scratch))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("\nbenchmarks/calls.py on {}, median of {} interleaved runs, ns per call of the module function".format(
        times["wheel"][0]["python"], args.runs))
    print("| call | in-place (GCC) | wheel (zig) | wheel / in-place |")
    print("|---|---|---|---|")
    slower = False
    for shape in ("positional", "keyword"):
        gcc = statistics.median(r[shape]["module"] for r in times["in-place"])
        zig = statistics.median(r[shape]["module"] for r in times["wheel"])
        slower = slower or zig / gcc > TOLERANCE
        print("| {} | {:.1f} | {:.1f} | {:.3f} |".format(shape, gcc, zig, zig / gcc))
    print("wheel within 5 % of the in-place build: {}".format("no" if slower else "yes"))
    return 1 if slower else 0


if __name__ == "__main__":
    sys.exit(main())
