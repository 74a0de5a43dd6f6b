"""Install the built wheel into a fresh environment and draw with it.

    python scripts/wheel_check.py --python /path/to/python3.X [--wheel-dir dist]
        [--constraints requirements/py3X.txt]

Creates a throw-away venv for the interpreter, installs the wheel built for it
(its dependencies resolved from the wheel's own metadata, held to the pins of
the constraints file), then, from a directory outside the checkout, imports
kestrune.testing.plotting.series from the installed package, checks that the
type stubs came along and draws a small figure on Agg. Exits non-zero when
any step fails.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

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
print("drew {} lines and {} bars from {}".format(lines, bars, here))
'''


def run(cmd, **kwargs):
    print("+ " + " ".join(c if "\n" not in c else "<script>" for c in cmd), flush=True)
    subprocess.check_call(cmd, **kwargs)


def find_wheel(python, wheel_dir):
    tag = subprocess.check_output(
        [python, "-c", "import sys; print('cp%d%d' % sys.version_info[:2])"],
        universal_newlines=True).strip()
    wheels = glob.glob(os.path.join(wheel_dir, "*-{}-{}*-*.whl".format(tag, tag)))
    if not wheels:
        sys.exit("wheel_check: no {} wheel in {}: run make wheel first".format(tag, wheel_dir))
    return os.path.abspath(max(wheels, key=os.path.getmtime))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--wheel-dir", default="dist")
    parser.add_argument("--constraints")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    wheel = find_wheel(args.python, args.wheel_dir)
    scratch = tempfile.mkdtemp(prefix="kestrune-wheel-")
    try:
        venv = os.path.join(scratch, "venv")
        run([args.python, "-m", "venv", venv])
        vpy = os.path.join(venv, "bin", "python")
        install = [vpy, "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
        if args.constraints:
            install += ["--constraint", os.path.abspath(args.constraints)]
        run(install + [wheel])
        # Outside the checkout, with nothing of it on the path.
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        env["MPLBACKEND"] = "Agg"
        run([vpy, "-c", SMOKE], cwd=scratch, env=env)
    except subprocess.CalledProcessError as error:
        print("wheel_check: FAILED ({})".format(error), file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("wheel_check: {} installs and draws ({:.1f} s)".format(
        os.path.basename(wheel), time.perf_counter() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
