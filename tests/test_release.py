"""What a release carries: the version, and how the commands pick an interpreter."""
import re
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
