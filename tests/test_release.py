"""What a release carries and how it is made: the version, the declared
dependency ranges, the cross-compiler's wrapper, and how the commands pick an
interpreter."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import kestrune

ROOT = Path(__file__).resolve().parents[1]


def test_version_is_the_one_of_pyproject():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    declared = re.search(r'^\[project\].*?^version = "([^"]+)"', text, re.M | re.S).group(1)
    assert kestrune.__version__ == declared
    if sys.version_info >= (3, 8):
        from importlib.metadata import PackageNotFoundError, version
        try:
            installed = version("kestrune-series")
        except PackageNotFoundError:  # the in-place build is not an installed distribution
            return
        assert installed == declared


FIND_PYTHON = ROOT / "scripts" / "find-python"


def fake_python(directory, name, answer):
    """An executable that answers every question with `answer`: its version
    (X.Y) to the probe of find-python and to the Makefile alike, "no" for a
    build that does not count (free-threaded, another implementation)."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / name
    path.write_text("#!/bin/sh\necho {}\n".format(answer))
    path.chmod(0o755)
    return path


def install(tmp_path, spec):
    """spec: "pyenv:3.12.1", "path:3.13" or "pyenv-ft:3.13.0" (a free-threaded build)."""
    where, version = spec.split(":")
    minor = ".".join(version.split(".")[:2])
    if where == "path":
        return fake_python(tmp_path / "bin", "python" + minor, minor)
    return fake_python(tmp_path / "pyenv" / "versions" / version / "bin", "python" + minor,
                       "no" if where == "pyenv-ft" else minor)


def hidden_env(tmp_path):
    # Only the fakes: no real interpreter on PATH or in the pyenv root.
    return {"PATH": str(tmp_path / "bin"), "PYENV_ROOT": str(tmp_path / "pyenv"), "HOME": str(tmp_path)}


@pytest.mark.parametrize("installed, chosen, why", [
    (["pyenv:3.13.0", "pyenv:3.7.16", "path:3.12"], "pyenv:3.7.16", "the reference"),
    (["path:3.7", "pyenv:3.13.0"], "path:3.7", "the reference"),
    (["pyenv:3.8.18", "pyenv:3.12.1", "path:3.11"], "pyenv:3.12.1", "the newest found"),
    (["pyenv:3.12.1", "pyenv:3.12.10", "pyenv:3.12.9"], "pyenv:3.12.10", "the newest found"),
    (["pyenv:3.10.13", "path:3.13"], "path:3.13", "the newest found"),
    (["path:3.13", "pyenv:3.13.0"], "pyenv:3.13.0", "the newest found"),
    (["pyenv-ft:3.13.0", "pyenv:3.9.18"], "pyenv:3.9.18", "the newest found"),
])
def test_find_python_prefers_37_then_the_newest(tmp_path, installed, chosen, why):
    paths = {spec: install(tmp_path, spec) for spec in installed}
    out = subprocess.run(["/bin/sh", str(FIND_PYTHON)], env=hidden_env(tmp_path),
                         stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    path, reason = out.rstrip("\n").split(" ", 1)
    assert path == str(paths[chosen])
    assert why in reason and "\n" not in reason


def test_find_python_fails_with_a_hint_when_nothing_fits(tmp_path):
    install(tmp_path, "pyenv-ft:3.13.0")
    result = subprocess.run(["/bin/sh", str(FIND_PYTHON)], env=hidden_env(tmp_path),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 1 and result.stdout == ""
    assert "PYTHON=/path/to/python3.X" in result.stderr


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
def test_make_says_which_interpreter_and_environment_without_37(tmp_path):
    fake = install(tmp_path, "pyenv:3.12.1")
    install(tmp_path, "path:3.9")
    result = subprocess.run([shutil.which("make"), "--no-print-directory", "-n", "-C", str(ROOT), "test"],
                            env=hidden_env(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True)
    assert result.returncode == 0, result.stdout
    assert result.stdout.splitlines()[0] == (
        "interpreter: {} (CPython 3.12, the newest found: no CPython 3.7 in pyenv or on PATH);"
        " environment: .venv-3.12".format(fake))
    assert "-m pytest" in result.stdout


def declared_dependencies():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    block = re.search(r"^dependencies = \[(.*?)^\]", text, re.M | re.S).group(1)
    return re.findall(r'"([^"]+)"', block)


@pytest.mark.parametrize("python_version", ["3.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"])
def test_every_line_declares_one_lower_bound_per_library(python_version):
    from pip._vendor.packaging.requirements import Requirement
    bounds = {}
    for text in declared_dependencies():
        req = Requirement(text)
        if req.marker is None or req.marker.evaluate({"python_version": python_version}):
            assert req.name not in bounds, "two ranges of {} on {}".format(req.name, python_version)
            bounds[req.name] = [s.version for s in req.specifier if s.operator == ">="]
    assert sorted(bounds) == ["matplotlib", "numpy", "pandas", "pypdf", "scipy", "seaborn", "tqdm"]
    assert all(len(lower) == 1 for lower in bounds.values()), bounds


def load_script(name):
    spec = importlib.util.spec_from_file_location(name, str(ROOT / "scripts" / (name + ".py")))
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(ROOT / "scripts"))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(ROOT / "scripts"))
    return module


def test_lower_bounds_read_from_a_wheel_follow_its_markers(tmp_path):
    wheel_check = load_script("wheel_check")
    this = "%d.%d" % sys.version_info[:2]
    wheel = tmp_path / "kestrune_series-0-py3-none-any.whl"
    with zipfile.ZipFile(str(wheel), "w") as archive:
        archive.writestr("kestrune_series-0.dist-info/METADATA", "\n".join([
            "Metadata-Version: 2.1", "Name: kestrune-series", "Version: 0",
            "Requires-Dist: numpy>=1.0; python_version != '{}'".format(this),
            "Requires-Dist: numpy<9,>=1.5; python_version == '{}'".format(this),
            "Requires-Dist: pandas>=2.0", "Requires-Dist: pytz", ""]))
    result = subprocess.run([sys.executable, "-c", wheel_check.LOWER_BOUNDS, str(wheel), "numpy", "pandas"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert (result.returncode, result.stdout.split()) == (0, ["numpy==1.5", "pandas==2.0"])
    refused = subprocess.run([sys.executable, "-c", wheel_check.LOWER_BOUNDS, str(wheel), "pytz"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert refused.returncode == 1 and "no single lower bound for pytz" in refused.stderr


def test_compiler_wrapper_drops_build_machine_paths_strips_links_and_compiles_without_plt(tmp_path):
    dist = load_script("dist")
    echo = tmp_path / "python"  # stands in for the tools' interpreter: prints what zig would get
    echo.write_text('#!/bin/sh\nfor a in "$@"; do echo "$a"; done\n')
    echo.chmod(0o755)
    wrapper = tmp_path / "zig-c++"
    wrapper.write_text(dist.WRAPPER.format(python=echo, target=dist.TARGET, fallback="/fallback"))
    wrapper.chmod(0o755)

    def args(*given):
        return subprocess.check_output([str(wrapper)] + list(given), universal_newlines=True).splitlines()

    linked = args("-shared", "a.o", "-L/opt/py/lib", "-Wl,-rpath,/opt/py/lib", "-Wl,-Bsymbolic-functions", "-o", "m b.so")
    assert linked == ["-m", "ziglang", "c++", "-target", "x86_64-linux-gnu.2.17", "-idirafter", "/fallback",
                      "-shared", "a.o", "-L/opt/py/lib", "-o", "m b.so", "-Wl,--strip-debug"]
    compiled = args("-c", "a.cpp", "-o", "a.o")
    assert compiled[-5:] == ["-c", "a.cpp", "-o", "a.o", "-fno-plt"] and "-Wl,--strip-debug" not in compiled


PYTHONS = ROOT / "scripts" / "pythons"


def test_a_venv_of_a_debian_root_interpreter_enters_that_root(tmp_path):
    """scripts/pythons turns the venv of a wrapper of make pythons into one
    whose bin/python enters the same root; other venvs are left alone."""
    made = tmp_path / "build" / "pythons"
    (made / "root").mkdir(parents=True)
    (made / "bin").mkdir()
    wrapper = made / "bin" / "python3.15"
    wrapper.write_text("#!/bin/sh\n# kestrune: CPython in the Debian root of make pythons\n"
                       "# interpreter: /usr/bin/python3.15\nexec false\n")
    plain = fake_python(tmp_path / "bin", "python3.12", "3.12")
    for python, venv in ((wrapper, tmp_path / "v15"), (plain, tmp_path / "v12")):
        (venv / "bin").mkdir(parents=True)
        (venv / "bin" / "python").symlink_to(str(python))
        subprocess.run([str(PYTHONS), "venv", str(python), str(venv)], check=True)
        found = subprocess.run([str(PYTHONS), "in-root", str(python)], stdout=subprocess.PIPE,
                               universal_newlines=True, check=True).stdout.strip()
        assert found == (str(made / "bin" / "in-root") if python == wrapper else "")
    assert (tmp_path / "v12" / "bin" / "python").resolve() == plain.resolve()
    bin15 = tmp_path / "v15" / "bin"
    text = (bin15 / "python").read_text()
    assert "exec '{}' '{}'".format(made / "bin" / "in-root", bin15 / "python") in text
    links = {n: os.readlink(str(bin15 / n)) for n in ("python3", "python3.15", ".python-in-root")}
    assert links == {"python3": "python", "python3.15": "python", ".python-in-root": "/usr/bin/python3.15"}
    assert (made / "root" / ".kestrune-venvs").read_text().split() == [str(bin15 / "python")]
