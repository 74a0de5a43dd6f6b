"""The command line of the comparison report (``kestrune-compare``).

A thin layer over :func:`compare_panels`: it reads the files, hands them on
and saves the report. Every error is one line on standard error that names
the file, column or option and the bad value (exit status 1 for bad data,
2 for a bad command line, 130 and 143 when interrupted by SIGINT or
SIGTERM); ``--debug`` shows the traceback instead. After writing, standard
output says what the report found (see :mod:`.summary`) and, last, the path
written; ``--fail-on-difference`` makes the exit status 3 when some cell is
beyond sampling noise. Progress goes to standard error, phase by phase
(see :mod:`.progress`).

Every file is read by the rules of :func:`.files.read_files`, decided over
every file, whatever pandas guesses for one file alone: ids and labels are
text, ids become numbers only when every id of every file is a number
written without leading zeros, a column is a number column only when it
holds numbers in every file, and the time column is converted once, by the
rule the reference file sets (whole numbers, or ISO dates with offsets
converted to UTC). This module keeps the arguments' handling only.
"""

import argparse
import decimal
import logging
import re
import signal
import sys
import threading
import warnings
from pathlib import Path

from . import ORDERS
from .files import NUMBER_ID, DataError, _one_line, _whole_id

# How the reading rules' messages name the id, the time and the columns.
OPTIONS = {"id": "--id", "time": "--time", "columns": "--columns",
           "categorical": "--categorical"}

# The measures and the default number of pages; the report's own values,
# written here too so that --help needs neither numpy nor pandas.
MEASURES = ("distribution", "dynamics", "dependence")
PAGES = 25
PAIRINGS = ("auto", "ids", "nearest")

SHARE_SETTINGS = ("none", "x_axis", "axes", "plot")

# The exit status of --fail-on-difference when some cell is beyond noise.
DIFFERENT = 3


class Terminated(BaseException):
    """SIGTERM arrived: raised so that the cleanup of an interrupt runs."""


# Options that take a list swallow the files written after them.
LIST_OPTIONS = ("--categorical", "--columns", "--ids", "--measures")


class _Parser(argparse.ArgumentParser):
    _words = ()

    def parse_args(self, args=None, namespace=None):
        self._words = sys.argv[1:] if args is None else list(args)
        return super().parse_args(args, namespace)

    def error(self, message):
        lists = [w for w in LIST_OPTIONS if w in self._words]
        chosen = re.search(r"invalid choice: '(.*?)'", message)
        if lists and ("FILE" in message or "two files" in message
                      or (chosen and Path(chosen.group(1)).is_file())):
            message += " ({} took every word after it: give the files " \
                       "first)".format(" and ".join(lists))
        self.exit(2, "{}: error: {} (--help lists the options)\n".format(
            self.prog, spelled(message)))


def _at_least_one(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            "must be a whole number, got {!r}".format(text))
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got {}".format(value))
    return value


def _pages(text):
    """A number of pages, or "all"."""
    if text.lower() == "all":
        return None
    try:
        return _at_least_one(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            "must be a whole number of at least 1 or 'all', got {!r}".format(text))


def parser(prog="kestrune-compare"):
    """The argument parser of the command line."""
    p = _Parser(
        prog=prog,
        description="Compare panel files with the first one, id by id and "
                    "column by column, in a ranked, paged report (one PDF, or "
                    "a folder of PNG pages with divergence.csv and index.html).")
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="CSV files (Parquet with pyarrow installed), one row per "
                        "id and time; the first is the reference. Each frame is "
                        "named after its file.")
    p.add_argument("--id", required=True, metavar="COL",
                   help="the id column (read as text; as numbers when every id "
                        "of every file is a number without leading zeros)")
    p.add_argument("--time", required=True, metavar="COL",
                   help="the time column: whole numbers, or ISO dates "
                        "(YYYY-MM-DD, a time and an offset may follow)")
    p.add_argument("--categorical", nargs="+", default=[], metavar="COL",
                   help="columns to count as labels even when they hold numbers")
    p.add_argument("--columns", nargs="+", metavar="COL",
                   help="columns to compare, in row order (default: all); "
                        "the files' other columns are left out")
    p.add_argument("--ids", nargs="+", metavar="ID",
                   help="ids to compare, as written in the files (default: all)")
    p.add_argument("--ids-per-page", type=_at_least_one, default=4, metavar="N",
                   help="ids on one page (default: %(default)s)")
    p.add_argument("--order", choices=ORDERS, default="evidence",
                   help="order of the ids: evidence (smallest q-value first), "
                        "divergence, id or given (default: %(default)s)")
    p.add_argument("--measures", nargs="+", choices=MEASURES, metavar="NAME",
                   default=list(MEASURES),
                   help="measures of each column, among {} (default: all "
                        "three)".format(", ".join(MEASURES)))
    p.add_argument("--max-lag", type=_at_least_one, default=1, metavar="N",
                   help="dynamics of number columns: the largest difference "
                        "of the autocorrelations at lags 1 to N (default: "
                        "%(default)s; at most the most times of one id less "
                        "one)")
    p.add_argument("--pairing", choices=PAIRINGS, default="auto",
                   help="how the ids of the compared file meet the reference's: "
                        "by id, each with the reference id it resembles most "
                        "(nearest; each compared file on its own, no --ids), or auto: by id "
                        "when the compared files hold at least half of the "
                        "reference's ids (default: %(default)s)")
    p.add_argument("--holdout", metavar="FILE",
                   help="real ids that the generator never saw, read like the "
                        "reference: the yardstick of the scores of ids of their "
                        "own (nearest pairing; default: half of the reference "
                        "against the other half)")
    p.add_argument("--pages", type=_pages, default=PAGES, metavar="N|all",
                   help="draw the first N pages, the worst ids (default: "
                        "%(default)s); all draws every id")
    p.add_argument("--share-setting", type=str.lower, choices=SHARE_SETTINGS,
                   metavar="{none,x_axis,axes,plot}",
                   help="how the ids of a row share cells and axes (default: "
                        "axes, except on a row where some id's values span less "
                        "than a quarter of what the page's ids span together: "
                        "there each id gets its own y axis; axes shares them on "
                        "every row; none or x_axis give each id its own y axis)")
    p.add_argument("--jobs", type=_at_least_one, default=1, metavar="N",
                   help="worker processes drawing the pages (default: %(default)s)")
    p.add_argument("-o", "--out", required=True, metavar="OUT",
                   help="a .pdf file, or a folder (a path without a suffix) "
                        "for the PNG pages")
    p.add_argument("--overwrite", action="store_true",
                   help="replace OUT even when it is not a report written by "
                        "this command")
    p.add_argument("--allow-disjoint-times", action="store_true",
                   help="compare files that share no time point with the "
                        "reference (refused by default as misaligned)")
    p.add_argument("--fail-on-difference", action="store_true",
                   help="exit with status {} when some cell is beyond sampling "
                        "noise (q < 0.05), for use in pipelines; under nearest "
                        "pairing cells have no q-values, so the status stays "
                        "0".format(DIFFERENT))
    p.add_argument("--debug", action="store_true",
                   help="show the traceback of an error")
    cluster = p.add_argument_group(
        "dask", "with --scheduler or --workers, each FILE (and the --holdout) is a Parquet "
                "dataset (a folder or a glob) read into a dask frame and compared on the "
                "cluster; needs pip install 'kestrune-series[dask]'")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="the address of a running dask scheduler "
                              "(tcp://host:8786)")
    cluster.add_argument("--workers", type=_at_least_one, metavar="N",
                         help="start a local dask cluster of N worker processes for "
                              "the run, and stop it after")
    cluster.add_argument("--worker-memory", metavar="SIZE",
                         help="the memory limit of each local worker (2GiB)")
    return p


def main(argv=None, prog="kestrune-compare"):
    """Run the command line; return its exit status."""
    p = parser(prog)
    args = p.parse_args(argv)
    _check_command_line(p, args)
    on_term = _raise_on_sigterm()
    # The libraries' warnings and log records (deprecations, fonts) are not
    # the user's to act on: only the report's own warning is shown.
    quiet = logging.NullHandler()
    logging.getLogger().addHandler(quiet)
    progress = None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            _check_out(p, args)
            from .progress import Progress
            progress = Progress(prog)
            report, out = run(args, progress)
        from .inputs import IdSpellingWarning, IdTypeWarning, TimeOverlapWarning
        from .pairing import NearCopyWarning
        from .report import MissingIdsWarning
        from .sinks import OldReportKeptWarning
        ours = (MissingIdsWarning, IdTypeWarning, NearCopyWarning,
                IdSpellingWarning, TimeOverlapWarning, OldReportKeptWarning)
        for warning in caught:
            if issubclass(warning.category, ours):
                print("{}: warning: {}".format(prog, spelled(str(warning.message))),
                      file=sys.stderr)
    except SystemExit:
        raise
    except BaseException as error:
        if args.debug:
            raise
        status, message = _failure(error, args)
        print("{}: {}".format(prog, spelled(message)), file=sys.stderr)
        return status
    finally:
        if progress is not None:
            progress.close()
        logging.getLogger().removeHandler(quiet)
        if on_term is not None:
            signal.signal(signal.SIGTERM, on_term)
    for line in report.summary_lines():
        print(line)
    print(out)
    from .summary import beyond_noise
    if args.fail_on_difference and beyond_noise(report):
        return DIFFERENT
    return 0


def spelled(message):
    """``message`` with the Python spelling of options in the command line's:
    ``pairing='ids'`` reads ``--pairing ids``, ``overwrite=True`` reads
    ``--overwrite``, ``columns=['a', 'b']`` reads ``--columns a b``."""
    import shlex

    def listed(match):
        names = re.findall(r"'((?:[^'\\]|\\.)*)'", match.group(2))
        return "--{} {}".format(match.group(1).replace("_", "-"),
                                " ".join(shlex.quote(n) for n in names))

    message = re.sub(r"\b([a-z_]+)=(\[[^\]]*\])", listed, message)
    message = re.sub(r"\b([a-z_]+)=True\b",
                     lambda m: "--" + m.group(1).replace("_", "-"), message)
    return re.sub(r"\b([a-z_]+)='([^']*)'",
                  lambda m: "--{} {}".format(m.group(1).replace("_", "-"),
                                            shlex.quote(m.group(2))), message)


def _failure(error, args):
    """The exit status and the line to print for an error that ended a run."""
    # A signal held back during the swap is acted on once the new report
    # is in place: then it was written.
    written = getattr(error, "report_written", None)
    done = "; nothing was written" if written is None else " after writing " + written
    if isinstance(error, KeyboardInterrupt):
        return 130, "interrupted" + done
    if isinstance(error, Terminated):
        return 143, "terminated" + done
    if isinstance(error, (DataError, ValueError)):
        return 1, "error: " + _one_line(error)
    if isinstance(error, OSError):
        # Reading the files is checked on the way: what fails here is
        # writing, or OUT changed after it was checked.
        if error.strerror is None:
            return 1, "error: -o " + _one_line(error)
        return 1, "error: cannot write -o {}: {}{}".format(
            args.out, _one_line(error.strerror),
            "" if error.filename is None else " ({})".format(error.filename))
    return 1, "error: {}: {} (--debug shows where)".format(
        type(error).__name__, _one_line(error))


def _raise_on_sigterm():
    """Make SIGTERM raise :class:`Terminated`; return the handler it replaced."""
    if threading.current_thread() is not threading.main_thread():
        return None
    before = signal.getsignal(signal.SIGTERM)
    if before is None:
        return None

    def terminated(number, frame):
        raise Terminated()

    signal.signal(signal.SIGTERM, terminated)
    return before


def _check_command_line(p, args):
    if len(args.files) < 2:
        p.error("give at least two files: the reference first, then "
                "the ones to compare with it")
    if args.pairing == "nearest" and args.ids:
        p.error("--pairing nearest compares every id of the compared file; "
                "--ids chooses ids that the files share (--pairing ids)")
    if args.holdout is not None and args.pairing == "ids":
        p.error("--holdout is for compared files with ids of their own; "
                "--pairing ids compares each id with itself")
    # Each frame is named after its file: a file given twice would be one frame.
    paths = [str(Path(f)) for f in args.files + ([args.holdout] if args.holdout else [])]
    repeated = _repeated(paths)
    if repeated:
        p.error("give each file once; given more than once: {}".format(
            ", ".join(repeated)))
    if args.scheduler is not None and args.workers is not None:
        p.error("--scheduler connects to a running cluster; --workers starts a "
                "local one: give one of them")
    if args.worker_memory is not None and args.workers is None:
        p.error("--worker-memory is the limit of each local worker: give --workers")
    if args.worker_memory is not None:
        _check_memory(p, args.worker_memory)
    for option in ("columns", "categorical", "ids", "measures"):
        given = getattr(args, option) or []
        if _repeated(given):
            p.error("--{}: give each once; given more than once: {}".format(
                option, ", ".join(_repeated(given))))
        keys = [c for c in given if c in (args.id, args.time)]
        if keys and option in ("columns", "categorical"):
            p.error("--{}: {} is the {} column, not a data column".format(
                option, keys[0], "--id" if keys[0] == args.id else "--time"))


def _check_memory(p, text):
    try:
        from dask.utils import parse_bytes
    except ImportError:
        return  # the missing extra is told when the cluster starts
    try:
        parse_bytes(text)
    except (ValueError, TypeError):
        p.error("--worker-memory: {!r} is not a size (such as 2GiB or 500MB)".format(text))


def _repeated(values):
    values = list(values)
    return sorted({v for v in values if values.count(v) > 1})


def _check_out(p, args):
    """Refuse a bad OUT before any file is read or any page drawn."""
    from .sinks import check_target

    try:
        out = check_target(args.out, args.overwrite)
    except (ValueError, OSError) as error:
        p.error("-o " + _one_line(error))
    whole = out.resolve()
    for name in args.files + ([args.holdout] if args.holdout else []):
        path = Path(name).resolve()
        if path == whole or whole in path.parents:
            p.error("-o {}: holds the input file {}; choose another path".format(
                args.out, name))


def run(args, progress=None):
    """Read the files, make the report, save it.

    Returns
    -------
    report : Report
    path : pathlib.Path
        The path written.

    """
    if args.scheduler is not None or args.workers is not None:
        return _run_on_dask(args, progress)
    from .files import _read, frame_names

    paths = [Path(f) for f in args.files]
    names = frame_names(paths)
    held = [] if args.holdout is None else [Path(args.holdout)]
    if progress is not None:
        progress.phase("reading", len(paths) + len(held))
    # The rules of read_files, decided over every file, the holdout too.
    frames, meta = _read(paths + held, args.id, args.time, args.columns,
                         args.categorical, OPTIONS, progress)
    holdout = frames.pop() if held else None
    ids = None if args.ids is None else match_ids(frames, args.id, args.ids)
    return _compared(args, dict(zip(names, frames)), meta, ids, holdout, paths + held,
                     progress)


def _compared(args, frames, meta, ids, holdout, paths, progress):
    """The report of ``frames`` saved; errors name the files and options."""
    from .report import compare_panels
    share = None
    if args.share_setting is not None:
        import importlib
        series = importlib.import_module("kestrune.testing.plotting.series")
        share = series.ShareSetting[args.share_setting.upper()]
    names = list(frames)
    try:
        report = compare_panels(
            frames, meta, columns=args.columns, ids=ids,
            ids_per_page=args.ids_per_page, order=args.order,
            measures=args.measures, max_lag=args.max_lag, pages=args.pages,
            pairing=args.pairing, holdout=holdout,
            share_setting=share, jobs=args.jobs,
            allow_disjoint_times=args.allow_disjoint_times,
            progress=progress)
    except ValueError as error:
        message = spelled(_one_line(error))
        for name, path in zip(names + ["holdout"], paths):
            message = message.replace("frame {!r}".format(name), str(path))
        for option in ("columns", "ids"):
            if message.startswith(option + " "):
                message = "--{}: {}".format(option, message)
        for name in ("max_lag ", "measures "):
            if message.startswith(name):
                message = "--" + name.replace("_", "-") + message[len(name):]
        raise DataError(message)
    return report, report.save(args.out, overwrite=args.overwrite)


def _run_on_dask(args, progress):
    """:func:`run` on dask frames: the Parquet datasets read with
    ``read_files(engine="dask")`` and compared on the cluster at
    ``--scheduler``, or on a local cluster of ``--workers`` started and
    stopped here."""
    from .files import read_files
    from .partitions import MISSING_EXTRA
    try:
        from .cluster import cluster
        from .partitions import dask_dataframe
        dask_dataframe()
    except ImportError:
        raise DataError(MISSING_EXTRA) from None
    with cluster(scheduler=args.scheduler, workers=args.workers,
                 worker_memory=args.worker_memory):
        if progress is not None:
            progress.phase("reading", 1)
        held = [] if args.holdout is None else [args.holdout]
        # The rules of read_files, decided over every dataset, the holdout's too.
        frames, meta = read_files(list(args.files) + held, args.id, args.time,
                                  columns=args.columns, categorical=args.categorical,
                                  engine="dask")
        holdout = frames.pop(list(frames)[-1]) if held else None
        ids = None
        if args.ids is not None:
            ids = typed_ids(next(iter(frames.values()))[args.id].dtype, args.ids)
        return _compared(args, frames, meta, ids, holdout, list(args.files) + held,
                         progress)


def typed_ids(dtype, texts):
    """The ids named by ``texts`` as numbers when the dataset's ids are
    numbers (whole numbers as ints), else as written."""
    import pandas as pd
    if not pd.api.types.is_numeric_dtype(dtype):
        return list(texts)
    chosen = []
    for text in texts:
        if not NUMBER_ID.match(text):
            raise DataError("--ids: {!r} is not an id: the ids are numbers".format(text))
        exact = decimal.Decimal(text)
        chosen.append(int(exact) if _whole_id(exact) else float(text))
    return chosen


def match_ids(frames, id_column, texts):
    """The ids named by ``texts``, in their order, as the files' ids are typed.

    Every file's ids count; numeric ids match the numbers the texts read as.
    """
    import numpy as np
    import pandas as pd

    from .inputs import shown
    from .plan import sort_ids

    every = pd.unique(np.concatenate([f[id_column].to_numpy(dtype=object)
                                      for f in frames]))
    numeric = not any(isinstance(i, str) for i in every)
    held = set(every)
    chosen, unknown = [], []
    for text in texts:
        value = text
        if numeric:
            value = None
            if NUMBER_ID.match(text):
                exact = decimal.Decimal(text)
                value = int(exact) if _whole_id(exact) else float(text)
        (chosen if value in held else unknown).append(value if value in held else text)
    if unknown:
        raise DataError("--ids: no file holds ids {}; valid are {}".format(
            shown(unknown), shown(sort_ids(every))))
    return chosen


