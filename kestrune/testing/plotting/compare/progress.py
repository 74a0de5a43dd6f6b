"""Progress of a long run on standard error, phase by phase.

The command line reads the files, pairs the ids (under nearest pairing),
computes the measures and draws the pages; a run over hundreds of ids takes
minutes. On a terminal each phase gets a bar; when standard error goes to a
file or a pipe, one plain line is written at most every :data:`EVERY`
seconds, so that a log shows the run is alive without filling up.
"""

import sys
import time

#: Seconds between two plain lines when standard error is no terminal.
EVERY = 10.0
# The clock of the intervals (seconds, never going back).
clock = time.monotonic


class Progress:
    """Reports the phases of a run and the steps within each.

    Parameters
    ----------
    prog : str
        The program's name, at the start of each plain line.
    stream : file, optional
        Where to write; standard error by default.
    terminal : bool, optional
        Draw bars (tqdm) rather than plain lines; by default when ``stream``
        is a terminal.

    """

    def __init__(self, prog, stream=None, terminal=None):
        self._prog = prog
        self._stream = sys.stderr if stream is None else stream
        if terminal is None:
            try:
                terminal = self._stream.isatty()
            except (AttributeError, ValueError):
                terminal = False
        self._terminal = terminal
        self._bar = None
        self._name = None
        self._done = 0
        self._total = None
        self._start = self._last = clock()

    def phase(self, name, total=None):
        """Begin the phase ``name`` of ``total`` steps (None: not counted)."""
        self.close()
        self._name, self._done, self._total = name, 0, total
        if self._terminal:
            from tqdm import tqdm
            form = None if total else "{desc} ({elapsed})"
            self._bar = tqdm(total=total, desc=name, file=self._stream,
                             leave=False, bar_format=form)
        else:
            self._line()

    def update(self, steps=1):
        """``steps`` more steps of the current phase are done."""
        self._done += steps
        if self._bar is not None:
            self._bar.update(steps)
        else:
            self._line()

    def close(self):
        """End the current phase's bar, if any."""
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def _line(self):
        now = clock()
        if now - self._last < EVERY:
            return
        self._last = now
        count = "" if not self._total else " {} of {}".format(self._done, self._total)
        self._stream.write("{}: {}{} ({:.0f} s)\n".format(
            self._prog, self._name, count, now - self._start))
        self._stream.flush()
