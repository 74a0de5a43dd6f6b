"""Build of the native module ``kestrune.testing.plotting.series``.

Everything but the extension itself is declared in ``pyproject.toml``.
"""
import re
from pathlib import Path

from setuptools import Extension, find_packages, setup

HERE = Path(__file__).resolve().parent


def write_version_module():
    """Copy the version of pyproject.toml into kestrune/_version.py.

    pyproject.toml holds the only version; the package reads it from the
    generated module, which works in the in-place build and in an installed
    wheel alike, and on 3.7, which has no importlib.metadata.
    """
    text = (HERE / "pyproject.toml").read_text(encoding="utf-8")
    project = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    version = project and re.search(r'^version\s*=\s*"([^"]+)"\s*$', project.group(1), re.M)
    if not version:
        raise SystemExit("setup.py: no version in the [project] table of pyproject.toml")
    module = HERE / "kestrune" / "_version.py"
    content = '"""Written by setup.py from pyproject.toml; do not edit."""\n__version__ = "{}"\n'.format(
        version.group(1))
    if not module.exists() or module.read_text(encoding="utf-8") != content:
        module.write_text(content, encoding="utf-8")


write_version_module()
SOURCES = sorted(str(p.relative_to(HERE)) for p in (HERE / "src" / "series").glob("*.cpp"))
EXPORTS = HERE / "src" / "series" / "exports.map"

series = Extension(
    "kestrune.testing.plotting.series",
    sources=SOURCES,
    depends=sorted(str(p.relative_to(HERE)) for pattern in ("*.h*", "*.def", "*.map")
                   for p in (HERE / "src" / "series").glob(pattern)),
    language="c++",
    extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"],
    # PyInit_series is the only symbol the shared object exports.
    extra_link_args=["-Wl,--version-script=" + str(EXPORTS)],
)

setup(packages=find_packages(include=["kestrune", "kestrune.*"]), ext_modules=[series])
