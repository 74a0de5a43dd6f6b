"""What a release carries: the version, and how the commands pick an interpreter."""
import re
import shutil
import subprocess
import sys
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
