"""Install a release artefact into a fresh environment and use it from outside
the checkout.

    python scripts/wheel_check.py --python /path/to/python3.X [--dist dist]
        [--suite] [--lowest] [--sdist]

Creates a throw-away venv for the interpreter and installs into it, from
dist/ (make dist), the manylinux wheel built for that interpreter, or with
--sdist the source distribution (which pip builds with the machine's
compiler). pip resolves the dependencies from the artefact's own metadata, in
the declared ranges, not held to the pins of requirements/. With --lowest
each of the declared libraries is held to the lower bound of its range for
this interpreter: the oldest releases the package claims to work with.

Then, from a directory outside the checkout, it imports
kestrune.testing.plotting.series from the installed package, checks that the
type stubs came along and draws a small figure on Agg; with --suite it also
runs the whole test suite of the checkout against the installed package
(pytest of the version pinned for the interpreter). Exits non-zero when any
step fails.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The runtime dependencies that --lowest holds to their lower bounds.
LIBRARIES = ["numpy", "pandas", "matplotlib", "seaborn", "tqdm", "pypdf", "scipy"]

SMOKE = r'''
import os, sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import kestrune
import kestrune.testing.plotting.series as series
from kestrune import DataFrameMeta

here = os.path.dirname(os.path.abspath(series.__file__))
assert os.path.realpath(here).startswith(os.path.realpath(sys.prefix)), "not the installed module: " + here
assert os.path.isfile(os.path.join(here, "series.pyi")), "series.pyi missing"
assert os.path.isfile(os.path.join(os.path.dirname(kestrune.__file__), "py.typed")), "py.typed missing"

dates = list(pd.date_range("2021-01-01", periods=6, freq="MS"))
frame = pd.DataFrame({
    "store": ["north"] * 6 + ["south"] * 6,
    "date": dates * 2,
    "sales": np.arange(12.0),
    "weather": pd.Series(["sun", "rain", None, "sun", "snow", "rain"] * 2, dtype=object),
}).set_index(["store", "date"])
meta = DataFrameMeta("store", "date", categorical=["weather"], continuous=["sales"])
series.plot_multi_index_dataframes(frame, meta, share_setting=series.ShareSetting.PLOT)
figure = plt.gcf()
lines = sum(len(ax.lines) for ax in figure.axes)
bars = sum(len(ax.patches) for ax in figure.axes)
assert lines == 2 and bars > 0, (lines, bars)
out = os.path.join(os.getcwd(), "wheel-check.png")
figure.savefig(out)
assert os.path.getsize(out) > 1000
print("kestrune {} drew {} lines and {} bars from {}".format(kestrune.__version__, lines, bars, here))
'''

# Run inside the fresh environment before anything is installed:
# "name==lower bound" of each library that the wheel (argv[1]) declares for
# this interpreter. pip's own copy of packaging reads the markers and the
# specifiers, as pip does.
LOWER_BOUNDS = r'''
import sys, zipfile
from email.parser import HeaderParser
from pip._vendor.packaging.requirements import Requirement
with zipfile.ZipFile(sys.argv[1]) as wheel:
    name, = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
    metadata = HeaderParser().parsestr(wheel.read(name).decode("utf-8"))
for text in metadata.get_all("Requires-Dist") or []:
    req = Requirement(text)
    if req.name in sys.argv[2:] and (req.marker is None or req.marker.evaluate()):
        lower = [s.version for s in req.specifier if s.operator == ">="]
        if len(lower) != 1:
            sys.exit("no single lower bound for {}: {}".format(req.name, text))
        print("{}=={}".format(req.name, lower[0]))
'''

# The installed package, not a checkout, must be what the suite imports.
WHERE = r'''
import importlib.util, os, sys
origin = importlib.util.find_spec("kestrune.testing.plotting.series").origin
sys.exit(None if os.path.realpath(origin).startswith(os.path.realpath(sys.prefix)) else "not installed: " + origin)
'''


def run(cmd, **kwargs):
    print("+ " + " ".join(c if "\n" not in c else "<script>" for c in cmd), flush=True)
    subprocess.check_call(cmd, **kwargs)


def python_tag(python):
    return subprocess.check_output(
        [python, "-c", "import sys; print('%d%d' % sys.version_info[:2])"], universal_newlines=True).strip()


def find_artefact(python, dist, sdist):
    if sdist:
        pattern = "kestrune_series-*.tar.gz"
    else:
        tag = python_tag(python)
        pattern = "kestrune_series-*-cp{0}-cp{0}*-*manylinux_2_17_x86_64*.whl".format(tag)
    found = glob.glob(os.path.join(dist, pattern))
    if len(found) != 1:
        sys.exit("wheel_check: expected one {} in {}, found {}: run make dist first".format(pattern, dist, found))
    return os.path.abspath(found[0])


def pinned(tag, name):
    """The version of name pinned in requirements/py3X.txt."""
    with open(os.path.join(ROOT, "requirements", "py{}.txt".format(tag))) as f:
        for line in f:
            match = re.match(r"{}==(\S+)".format(re.escape(name)), line.strip(), re.I)
            if match:
                return match.group(1)
    raise SystemExit("wheel_check: no pin for {} in requirements/py{}.txt".format(name, tag))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    parser.add_argument("--suite", action="store_true", help="run the whole test suite against the installed package")
    parser.add_argument("--lowest", action="store_true",
                        help="hold the declared libraries to the lower bounds of their ranges")
    parser.add_argument("--sdist", action="store_true", help="install the source distribution instead of the wheel")
    parser.add_argument("--pytest-args", default="", help="extra arguments for pytest (with --suite)")
    args = parser.parse_args(argv)
    if args.lowest and args.sdist:
        parser.error("--lowest reads the wheel's metadata: not with --sdist")
    start = time.perf_counter()
    artefact = find_artefact(args.python, args.dist, args.sdist)
    scratch = tempfile.mkdtemp(prefix="kestrune-wheel-")
    # Outside the checkout, with nothing of it on the path.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MPLBACKEND"] = "Agg"
    try:
        venv = os.path.join(scratch, "venv")
        run([args.python, "-m", "venv", venv])
        vpy = os.path.join(venv, "bin", "python")
        install = [vpy, "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
        lowest = []
        if args.lowest:
            lowest = subprocess.check_output([vpy, "-c", LOWER_BOUNDS, artefact] + LIBRARIES,
                                             universal_newlines=True).split()
            if len(lowest) != len(LIBRARIES):
                raise SystemExit("wheel_check: lower bounds of {} not all declared: {}".format(LIBRARIES, lowest))
            print("lowest declared: " + " ".join(lowest), flush=True)
        run(install + [artefact] + lowest, cwd=scratch, env=env)
        run([vpy, "-m", "pip", "check", "--disable-pip-version-check"], cwd=scratch, env=env)
        run([vpy, "-c", SMOKE], cwd=scratch, env=env)
        if args.suite:
            run(install + ["pytest==" + pinned(python_tag(args.python), "pytest")], cwd=scratch, env=env)
            run([vpy, "-c", WHERE], cwd=scratch, env=env)
            run([vpy, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", ROOT]
                + (args.pytest_args.split() or [os.path.join(ROOT, "tests")]), cwd=scratch, env=env)
    except subprocess.CalledProcessError as error:
        print("wheel_check: FAILED ({})".format(error), file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("wheel_check: {} installs and {} ({:.1f} s)".format(
        os.path.basename(artefact), "passes the suite" if args.suite else "draws", time.perf_counter() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
