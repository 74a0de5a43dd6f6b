"""Helpers shared by the test modules."""
import subprocess
import sys
import textwrap
import traceback

MODULE = "kestrune.testing.plotting.series"
PREFIX = MODULE + "."
FILENAME = "kestrune\\testing\\plotting\\series"
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def module_entries(tb):
    """(name, line) of each traceback entry that the module's own code added."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(tb) if e.filename == FILENAME]


def run_python(code):
    """Runs code in a fresh interpreter (for what poisons the process) and returns its output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    return result.stdout
