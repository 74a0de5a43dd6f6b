"""Run the suite on every supported CPython found, each in its own environment.

    python scripts/matrix.py [--strict] [--no-wheel] [--selection] [--only 3.7,3.15]
    python scripts/matrix.py --bench-calls [--only ...]
    python scripts/matrix.py --which 3.13

For each of CPython 3.7 to 3.15 found (for 3.14 and 3.15 the interpreters of
`make pythons` in build/pythons/bin first; pyenv's versions, then PATH),
runs `make test PYTHON=...` (which builds the interpreter's own environment,
.venv or .venv-3.X, and the extension) and then `make wheel-check`: the
manylinux wheel of dist/ (make dist) installed into a fresh environment with
the declared dependency ranges, outside the checkout; on 3.7 and 3.13 the
whole suite runs against it, on the others it draws. With --selection the
in-place suite runs whole on 3.7 and 3.15 and a selection of its files on the
others (CI, for time). Then one more row on 3.11
runs the suite against the wheel with its runtime dependencies (numpy, pandas,
matplotlib, seaborn, tqdm, pypdf) held to their declared lower bounds, and the
source distribution is built and installed once, on the newest interpreter,
and drawn with. Every step's output
goes to build/matrix/3.X.log. A row that fails does not stop the others. Then
the stubs are checked with mypy.stubtest on the newest interpreter found, and a
table of version, library versions, result and wall time is printed.

Exits non-zero when any row or the stub check fails and, with --strict, when
one of the nine interpreters is missing.

--bench-calls instead builds each interpreter's environment and prints one
row of benchmarks/calls.py per version.
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import time

VERSIONS = ["3.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
LIBRARIES = ["numpy", "pandas", "matplotlib", "seaborn"]
# The whole suite runs against the installed wheel on these; the others draw.
SUITE_ON_WHEEL = ["3.7", "3.15"]
# With --selection the in-place suite runs whole on the reference and the
# newest interpreter only; the others build the module, import it and run
# these files (the binding, the module, the frame and series plots, the
# input checks and the services), which cover every unit of the C++.
FULL_SUITE = ["3.7", "3.15"]
# Set by --reference-done: the reference's row runs the selection as well.
REFERENCE_DONE = False
SELECTION = ["tests/test_binding.py", "tests/test_module.py", "tests/test_frame_plots.py",
             "tests/test_series_plots.py", "tests/test_checks.py", "tests/test_services.py"]
# The interpreter of the row with the lowest declared library versions.
LOWEST = "3.11"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGS = os.path.join(ROOT, "build", "matrix")
# make pythons puts CPython 3.14 and 3.15 from Debian's packages here: wrappers
# that run the interpreter inside a Debian root (scripts/pythons).
MADE_PYTHONS = os.path.join(ROOT, "build", "pythons", "bin")

PROBE = ("import sys, sysconfig; print(sys.executable); "
         "print('%d.%d' % sys.version_info[:2]); print(sys.implementation.name); "
         "print(bool(sysconfig.get_config_var('Py_GIL_DISABLED')))")
LIBRARY_VERSIONS = r'''
try:
    from importlib.metadata import version
except ImportError:
    from pkg_resources import get_distribution
    def version(name):
        return get_distribution(name).version
print(" ".join(version(n) for n in %r))
''' % (LIBRARIES,)


def probe(candidate, wanted):
    """The real path of candidate if it is a CPython `wanted` with the GIL."""
    try:
        out = subprocess.run([candidate, "-c", PROBE], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = out.stdout.split()
    if out.returncode or lines[1:] != [wanted, "cpython", "False"]:
        return None
    # A wrapper of make pythons reports the interpreter's path inside its root.
    return candidate if candidate.startswith(MADE_PYTHONS + os.sep) else lines[0]


def patch_level(path):
    match = re.search(r"/(\d+)\.(\d+)\.(\d+)/bin/", path)
    return tuple(int(x) for x in match.groups()) if match else (0, 0, 0)


def find_interpreter(version):
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    pyenv = sorted(glob.glob(os.path.join(root, "versions", version + ".*", "bin", "python" + version)),
                   key=patch_level, reverse=True)
    on_path = [os.path.join(d, "python" + version) for d in os.environ.get("PATH", "").split(os.pathsep) if d]
    made = [os.path.join(MADE_PYTHONS, "python" + version)]
    for candidate in [p for p in made + pyenv + on_path if os.access(p, os.X_OK)]:
        found = probe(candidate, version)
        if found:
            return found
    return None


def venv_python(version):
    """The interpreter of the environment that the Makefile gives this version."""
    return os.path.join(ROOT, ".venv" if version == "3.7" else ".venv-" + version, "bin", "python")


def make(target, python, log, **variables):
    """Run one make target for one interpreter, appending its output to log."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    cmd = ["make", "--no-print-directory", "-C", ROOT, target, "PYTHON=" + python]
    cmd += ["{}={}".format(k, v) for k, v in variables.items()]
    log.write("\n$ {}\n".format(" ".join(cmd)))
    log.flush()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=env)
    log.write(proc.stdout)
    log.flush()
    return proc.returncode, proc.stdout


def pytest_counts(output):
    """'N passed, M failed, ...' from pytest's closing line, or None."""
    for line in reversed(output.splitlines()):
        if re.search(r" in [\d.]+s", line):
            counts = re.findall(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed)", line)
            if counts:
                return ", ".join("{} {}".format(n, word) for n, word in counts)
    return None


def library_versions(version):
    try:
        out = subprocess.run([venv_python(version), "-c", LIBRARY_VERSIONS], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, universal_newlines=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired):
        return ["-"] * len(LIBRARIES)
    values = out.stdout.split()
    return values if out.returncode == 0 and len(values) == len(LIBRARIES) else ["-"] * len(LIBRARIES)


def suite_row(version, python, wheel, selection=False):
    """One row of the matrix: (cells, ok)."""
    with open(os.path.join(LOGS, version + ".log"), "w") as log:
        rc, _ = make("venv", python, log)
        if rc:
            return ["-"] * len(LIBRARIES) + ["environment failed", "-"], False
        libraries = library_versions(version)
        rc, _ = make("build", python, log)
        if rc:
            return libraries + ["build failed", "-"], False
        partial = selection and version not in FULL_SUITE[int(REFERENCE_DONE):]
        rc, out = make("test", python, log, **({"PYTEST_ARGS": " ".join(SELECTION)} if partial else {}))
        result = pytest_counts(out) or "tests did not run (exit {})".format(rc)
        if partial and pytest_counts(out):
            result += " (selection)"
        ok = rc == 0
        wheel_result = "-"
        if wheel:
            # With --reference-done the reference's wheel only draws: its
            # whole suite has just run in place, and the lowest row runs the
            # whole suite against a wheel.
            suite = version in SUITE_ON_WHEEL[int(REFERENCE_DONE):]
            wheel_rc, wheel_out = make("wheel-check", python, log, WHEEL_CHECK_ARGS="--suite" if suite else "")
            wheel_result = wheel_cell(wheel_rc, wheel_out, suite)
            ok = ok and not wheel_rc
        return libraries + [result, wheel_result], ok


def wheel_cell(rc, output, suite):
    if rc:
        return "FAIL"
    return (pytest_counts(output) or "?") if suite else "draws"


def lowest_row(python):
    """The suite against the wheel with the libraries at their lower bounds: (cells, ok)."""
    with open(os.path.join(LOGS, LOWEST + "-lowest.log"), "w") as log:
        rc, out = make("wheel-check", python, log, WHEEL_CHECK_ARGS="--lowest --suite")
    declared = dict(re.findall(r"([\w-]+)==(\S+)", "".join(re.findall(r"^lowest declared: (.*)$", out, re.M))))
    libraries = [declared.get(name, "-") for name in LIBRARIES]
    return libraries + ["-", wheel_cell(rc, out, True)], rc == 0


def sdist_check(python):
    """The source distribution built, installed and drawn with: True if it passed."""
    with open(os.path.join(LOGS, "sdist.log"), "w") as log:
        rc, _ = make("wheel-check", python, log, WHEEL_CHECK_ARGS="--sdist")
    return rc == 0


def bench_row(version, python):
    """One row of benchmarks/calls.py: (cells, ok)."""
    with open(os.path.join(LOGS, version + "-bench.log"), "w") as log:
        rc, _ = make("build", python, log)
        if rc:
            return ["build failed"] + ["-"] * 5, False
        proc = subprocess.run([venv_python(version), os.path.join(ROOT, "benchmarks", "calls.py"), "--json"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        log.write(proc.stdout)
        if proc.returncode:
            return ["benchmark failed"] + ["-"] * 5, False
        result = json.loads(proc.stdout.strip().splitlines()[-1])
        cells = []
        for shape in ("positional", "keyword"):
            times = result[shape]
            cells += ["{:.1f}".format(times["module"]), "{:.1f}".format(times["python"]),
                      "{:.2f}".format(times["ratio"])]
        return cells, True


def print_table(header, rows):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths]] + rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--strict", action="store_true",
                        help="fail when one of the nine interpreters is missing")
    parser.add_argument("--no-wheel", action="store_true", help="skip the wheel check of each row")
    parser.add_argument("--selection", action="store_true",
                        help="the whole in-place suite on {} only, a selection of files on the others".format(
                            " and ".join(FULL_SUITE)))
    parser.add_argument("--reference-done", action="store_true",
                        help="with --selection: the reference's whole in-place suite has just run "
                             "(CI's make test), so its row runs the selection too")
    parser.add_argument("--only", help="comma-separated versions to run, for example 3.7,3.15")
    parser.add_argument("--bench-calls", action="store_true",
                        help="print benchmarks/calls.py per interpreter instead of testing")
    parser.add_argument("--which", metavar="X.Y", help="print the path of that interpreter and stop")
    args = parser.parse_args(argv)
    global REFERENCE_DONE
    REFERENCE_DONE = args.selection and args.reference_done
    if args.which:
        path = find_interpreter(args.which)
        if not path:
            sys.exit("no CPython %s found" % args.which)
        print(path)
        return 0
    versions = args.only.split(",") if args.only else VERSIONS
    unknown = [v for v in versions if v not in VERSIONS]
    if unknown:
        parser.error("unsupported versions: " + ", ".join(unknown))
    os.makedirs(LOGS, exist_ok=True)
    if args.bench_calls:
        header = ["Python", "module pos ns", "python pos ns", "ratio pos",
                  "module kw ns", "python kw ns", "ratio kw"]
    else:
        header = ["Python"] + LIBRARIES + ["result", "wheel", "time"]

    start = time.perf_counter()
    rows, failed, found = [], False, []
    for version in versions:
        row_start = time.perf_counter()
        python = find_interpreter(version)
        if python is None:
            cells = ["not found"] + ["-"] * (len(header) - 2)
            status = "FAIL" if args.strict else "missing"
        else:
            found.append((version, python))
            print("{}: {} ...".format(version, python), flush=True)
            if args.bench_calls:
                cells, ok = bench_row(version, python)
            else:
                cells, ok = suite_row(version, python, not args.no_wheel, args.selection)
                cells.append("{:.0f} s".format(time.perf_counter() - row_start))
            status = "ok" if ok else "FAIL"
        failed = failed or status == "FAIL"
        rows.append([version] + cells + [status])
        print("{}: {} ({})".format(version, ", ".join(cells), status), flush=True)

    if not args.bench_calls and not args.no_wheel and LOWEST in versions:
        row_start = time.perf_counter()
        python = find_interpreter(LOWEST)
        if python:
            print("{} lowest: {} ...".format(LOWEST, python), flush=True)
            cells, ok = lowest_row(python)
            cells.append("{:.0f} s".format(time.perf_counter() - row_start))
            failed = failed or not ok
            rows.append([LOWEST + " lowest"] + cells + ["ok" if ok else "FAIL"])
            print("{} lowest: {}".format(LOWEST, ", ".join(cells)), flush=True)

    print()
    if args.bench_calls:
        print("Cost of one call (min of repeats); ratio = native module / pure Python")
    print_table(header + ["status"], rows)
    if found and not args.bench_calls and not args.no_wheel:
        version, python = found[-1]
        ok = sdist_check(python)
        print("\nsource distribution on {}: {}".format(version, "installs and draws" if ok else "FAIL"))
        failed = failed or not ok
    if found and not args.bench_calls:
        version, python = found[-1]
        with open(os.path.join(LOGS, version + "-stubtest.log"), "w") as log:
            rc, _ = make("stubtest", python, log)
        print("\nstubtest on {}: {}".format(version, "FAIL" if rc else "passed"))
        failed = failed or bool(rc)
    print("\ntotal {:.0f} s; logs in build/matrix/".format(time.perf_counter() - start))
    print("matrix: FAILED" if failed else "matrix: passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
