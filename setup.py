"""Build of the native module ``kestrune.testing.plotting.series``.

Everything but the extension itself is declared in ``pyproject.toml``.
"""
from pathlib import Path

from setuptools import Extension, find_packages, setup

HERE = Path(__file__).resolve().parent
SOURCES = sorted(str(p.relative_to(HERE)) for p in (HERE / "src" / "series").glob("*.cpp"))
EXPORTS = HERE / "src" / "series" / "exports.map"

series = Extension(
    "kestrune.testing.plotting.series",
    sources=SOURCES,
    depends=sorted(str(p.relative_to(HERE)) for p in (HERE / "src" / "series").glob("*.h*")),
    language="c++",
    extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"],
    # PyInit_series is the only symbol the shared object exports.
    extra_link_args=["-Wl,--version-script=" + str(EXPORTS)],
)

setup(packages=find_packages(include=["kestrune", "kestrune.*"]), ext_modules=[series])
