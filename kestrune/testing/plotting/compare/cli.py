"""The command line of the comparison report (``kestrune-compare``).

A thin layer over :func:`compare_panels`: it reads the files, hands them on
and saves the report. Every error is one line on standard error that names
the file or option and the bad value (exit status 1 for bad data, 2 for a
bad command line), followed by a pointer to ``--help`` for the latter.
"""

import argparse
import logging
import re
import sys
import warnings
from pathlib import Path

from . import ORDERS

PARQUET = (".parquet", ".pq")
ISO_DATE = re.compile(r"^\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?)?$")


class DataError(Exception):
    """Input that cannot make a report; its text is the whole message."""


# Options that take a list swallow the files written after them.
LIST_OPTIONS = ("--categorical", "--columns", "--ids")


class _Parser(argparse.ArgumentParser):
    _words = ()

    def parse_args(self, args=None, namespace=None):
        self._words = sys.argv[1:] if args is None else list(args)
        return super().parse_args(args, namespace)

    def error(self, message):
        lists = [w for w in LIST_OPTIONS if w in self._words]
        if lists and ("FILE" in message or "two files" in message):
            message += " ({} took every word after it: give the files " \
                       "first)".format(" and ".join(lists))
        self.exit(2, "{}: error: {}\nTry '{} --help' for more.\n".format(
            self.prog, message, self.prog))


def _at_least_one(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            "must be a whole number, got {!r}".format(text))
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got {}".format(value))
    return value


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
    p.add_argument("--id", required=True, metavar="COL", help="the id column")
    p.add_argument("--time", required=True, metavar="COL",
                   help="the time column (ISO dates are read as dates)")
    p.add_argument("--categorical", nargs="+", default=[], metavar="COL",
                   help="columns to count as labels even when they hold numbers")
    p.add_argument("--columns", nargs="+", metavar="COL",
                   help="columns to compare, in row order (default: all)")
    p.add_argument("--ids", nargs="+", metavar="ID",
                   help="ids to compare, matched by their text (default: all)")
    p.add_argument("--ids-per-page", type=_at_least_one, default=4, metavar="N",
                   help="ids on one page (default: %(default)s)")
    p.add_argument("--order", choices=ORDERS, default="divergence",
                   help="order of the ids (default: %(default)s)")
    p.add_argument("--jobs", type=_at_least_one, default=1, metavar="N",
                   help="worker processes drawing the pages (default: %(default)s)")
    p.add_argument("-o", "--out", required=True, metavar="OUT",
                   help="a .pdf file, or a folder for the PNG pages")
    p.add_argument("--debug", action="store_true",
                   help="show the traceback of an error")
    return p


def main(argv=None, prog="kestrune-compare"):
    """Run the command line; return its exit status."""
    p = parser(prog)
    args = p.parse_args(argv)
    if len(args.files) < 2:
        p.error("give at least two files: the reference first, then "
                "the ones to compare with it")
    # Each frame is named after its file: a file given twice would be one frame.
    paths = [str(Path(f)) for f in args.files]
    repeated = sorted({f for f in paths if paths.count(f) > 1})
    if repeated:
        p.error("give each file once; given more than once: {}".format(
            ", ".join(repeated)))
    # The libraries' warnings and log records (deprecations, fonts) are not
    # the user's to act on: only the report's own warning is shown.
    quiet = logging.NullHandler()
    logging.getLogger().addHandler(quiet)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out = run(args)
        from .report import MissingIdsWarning
        for warning in caught:
            if issubclass(warning.category, MissingIdsWarning):
                print("{}: warning: {}".format(prog, warning.message), file=sys.stderr)
    except (DataError, ValueError) as error:
        if args.debug:
            raise
        print("{}: error: {}".format(prog, _one_line(error)), file=sys.stderr)
        return 1
    finally:
        logging.getLogger().removeHandler(quiet)
    print(out)
    return 0


def run(args):
    """Read the files, make the report, save it; return the path written."""
    from .report import compare_panels
    from kestrune import DataFrameMeta

    paths = [Path(f) for f in args.files]
    names = frame_names(paths)
    frames = [read(path, args) for path in paths]
    try:
        meta = DataFrameMeta.from_frame(frames[0], args.id, args.time,
                                        categorical=args.categorical)
    except ValueError as error:
        raise DataError("{}: {}".format(paths[0], _one_line(error)))
    ids = None if args.ids is None else match_ids(frames, args.id, args.ids)
    try:
        report = compare_panels(
            dict(zip(names, frames)), meta, columns=args.columns, ids=ids,
            ids_per_page=args.ids_per_page, order=args.order, jobs=args.jobs)
        return report.save(args.out)
    except ValueError as error:
        message = _one_line(error)
        for name, path in zip(names, paths):
            message = message.replace("frame {!r}".format(name), str(path))
        for option in ("columns", "ids"):
            if message.startswith(option + " "):
                message = "--{}: {}".format(option, message)
        raise DataError(message)


def frame_names(paths):
    """File stems, or whole paths where stems collide."""
    stems = [p.stem for p in paths]
    return [str(p) if stems.count(p.stem) > 1 else p.stem for p in paths]


def read(path, args):
    """One file as a frame with parsed ISO dates in the time column."""
    import pandas as pd

    from .inputs import shown

    if not path.is_file():
        raise DataError("{}: no such file".format(path) if not path.exists()
                        else "{}: not a file".format(path))
    try:
        if path.suffix.lower() in PARQUET:
            frame = _read_parquet(path)
        else:
            frame = pd.read_csv(str(path))
    except DataError:
        raise
    except pd.errors.EmptyDataError:
        raise DataError("{}: the file is empty".format(path))
    except Exception as error:  # unreadable in any of many ways
        raise DataError("{}: cannot read it: {}".format(path, _one_line(error)))
    if len(frame) == 0:
        raise DataError("{}: the file holds no rows".format(path))
    for option, column in (("--id", args.id), ("--time", args.time)):
        if column not in frame.columns:
            raise DataError("{}: no column {!r} ({}); its columns are {}".format(
                path, column, option, shown(frame.columns)))
    time = frame[args.time]
    if time.dtype == object and time.dropna().astype(str).str.match(ISO_DATE).all():
        frame[args.time] = pd.to_datetime(time)
    return frame


def _read_parquet(path):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise DataError(
            "{}: reading Parquet needs pyarrow; install the extra: "
            "pip install 'kestrune-series[parquet]'".format(path))
    import pandas as pd
    return pd.read_parquet(str(path))


def match_ids(frames, id_column, texts):
    """The ids whose text is in ``texts``, in the order of ``texts``."""
    from .inputs import shown

    by_text = {}
    for frame in frames:
        for value in frame[id_column].unique():
            by_text.setdefault(str(value), value)
    unknown = [t for t in texts if t not in by_text]
    if unknown:
        raise DataError("--ids: no file holds ids {}; valid are {}".format(
            shown(unknown), shown(sorted(by_text))))
    return [by_text[t] for t in texts]


def _one_line(error):
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())
