"""``python -m kestrune.testing.plotting.compare``: see :mod:`.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m kestrune.testing.plotting.compare"))
