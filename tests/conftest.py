"""Shared test set-up: matplotlib on Agg, figures closed after every test."""
import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture
def restore_rc():
    """Restore matplotlib's rcParams after a test that changes the style."""
    saved = matplotlib.rcParams.copy()
    yield
    matplotlib.rcParams.update(saved)


@pytest.fixture(scope="session")
def series():
    import kestrune.testing.plotting.series as module
    return module


@pytest.fixture
def ax():
    return plt.subplots()[1]
