"""Shared test set-up: matplotlib on Agg, figures closed after every test."""
import signal

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

# A suite started in the background of a shell inherits SIGINT ignored, and
# so would every command line it runs: the tests of interrupted runs need
# Ctrl+C to interrupt, as it does in a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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
