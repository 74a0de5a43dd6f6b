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

Every file is read by the same rules, whatever pandas guesses for it alone:
ids and labels are text, ids become numbers only when every id of every
file is a number written without leading zeros, a column is a number
column only when it holds numbers in every file, and the time column is
converted once, by the rule the reference file sets (whole numbers, or ISO
dates with offsets converted to UTC).
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

# The measures and the default number of pages; the report's own values,
# written here too so that --help needs neither numpy nor pandas.
MEASURES = ("distribution", "dynamics", "dependence")
PAGES = 25
PAIRINGS = ("auto", "ids", "nearest")

PARQUET = (".parquet", ".pq")
SHARE_SETTINGS = ("none", "x_axis", "axes", "plot")
# Times: whole numbers, or ISO dates with an optional time and offset.
WHOLE = re.compile(r"^-?\d+$", re.ASCII)
ISO_DATE = re.compile(
    r"^(?P<year>\d{4})-(?P<month>\d{2})(?:-(?P<day>\d{2})"
    r"(?:[T ](?P<hour>\d{2}):(?P<minute>\d{2})"
    r"(?::(?P<second>\d{2})(?:[.,](?P<fraction>\d{1,9}))?)?"
    r"(?P<zone>Z|[+-]\d{2}(?::?\d{2})?)?)?)?$", re.ASCII)
DATE_FORM = "a date written YYYY-MM-DD (a time and a Z or +HH:MM offset may follow)"
# Ids that read as numbers: no leading zeros, so that "007" stays text.
NUMBER_ID = re.compile(r"^-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?$", re.ASCII)
# In a column of numbers these spellings are missing values (as pandas reads
# them by default); in a label column only an empty cell is missing.
NA_TEXT = frozenset([
    "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan",
    "1.#IND", "1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a",
    "nan", "null"])


# The exit status of --fail-on-difference when some cell is beyond noise.
DIFFERENT = 3


class DataError(Exception):
    """Input that cannot make a report; its text is the whole message."""


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
    for option in ("columns", "categorical", "ids", "measures"):
        given = getattr(args, option) or []
        if _repeated(given):
            p.error("--{}: give each once; given more than once: {}".format(
                option, ", ".join(_repeated(given))))
        keys = [c for c in given if c in (args.id, args.time)]
        if keys and option in ("columns", "categorical"):
            p.error("--{}: {} is the {} column, not a data column".format(
                option, keys[0], "--id" if keys[0] == args.id else "--time"))


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
    from .report import compare_panels

    paths = [Path(f) for f in args.files]
    names = frame_names(paths)
    held = [] if args.holdout is None else [Path(args.holdout)]
    if progress is not None:
        progress.phase("reading", len(paths) + len(held))
    texts = []
    for path in paths + held:
        texts.append(read(path, args))
        if progress is not None:
            progress.update(1)
    frames, meta = convert(texts, paths + held, args)
    holdout = frames.pop() if held else None
    ids = None if args.ids is None else match_ids(frames, args.id, args.ids)
    share = None
    if args.share_setting is not None:
        import importlib
        series = importlib.import_module("kestrune.testing.plotting.series")
        share = series.ShareSetting[args.share_setting.upper()]
    try:
        report = compare_panels(
            dict(zip(names, frames)), meta, columns=args.columns, ids=ids,
            ids_per_page=args.ids_per_page, order=args.order,
            measures=args.measures, max_lag=args.max_lag, pages=args.pages,
            pairing=args.pairing, holdout=holdout,
            share_setting=share, jobs=args.jobs,
            allow_disjoint_times=args.allow_disjoint_times,
            progress=progress)
    except ValueError as error:
        message = spelled(_one_line(error))
        for name, path in zip(names + ["holdout"] * len(held), paths + held):
            message = message.replace("frame {!r}".format(name), str(path))
        for option in ("columns", "ids"):
            if message.startswith(option + " "):
                message = "--{}: {}".format(option, message)
        for name in ("max_lag ", "measures "):
            if message.startswith(name):
                message = "--" + name.replace("_", "-") + message[len(name):]
        raise DataError(message)
    return report, report.save(args.out, overwrite=args.overwrite)


def frame_names(paths):
    """File stems, or whole paths where stems collide."""
    stems = [p.stem for p in paths]
    return [str(p) if stems.count(p.stem) > 1 else p.stem for p in paths]


def read(path, args):
    """One file as a frame of text: missing cells are NaN, nothing converted.

    Only an empty cell is missing; the id and the time may not be. With
    ``--columns`` the frame keeps the id, the time and those columns only.
    """
    import pandas as pd

    from .inputs import shown

    if not path.is_file():
        raise DataError("{}: no such file".format(path) if not path.exists()
                        else "{}: not a file".format(path))
    try:
        if path.suffix.lower() in PARQUET:
            frame = _text_frame(_read_parquet(path))
        else:
            # Text in object columns (pandas 3 reads str), NaN where empty.
            frame = pd.read_csv(str(path), dtype=str, keep_default_na=False,
                                na_values=[""]).astype(object)
    except DataError:
        raise
    except pd.errors.EmptyDataError:
        raise DataError("{}: the file is empty".format(path))
    except Exception as error:  # unreadable in any of many ways
        raise DataError("{}: cannot read it: {}".format(path, _one_line(error)))
    if len(frame) == 0:
        raise DataError("{}: the file holds no rows".format(path))
    wanted = [("--id", args.id), ("--time", args.time)]
    wanted += [("--columns", c) for c in args.columns or []]
    for option, column in wanted:
        if column not in frame.columns:
            raise DataError("{}: no column {!r} ({}); its columns are {}".format(
                path, column, option, shown(frame.columns)))
    for option, column in wanted[:2]:
        empty = frame[column].isna().to_numpy().nonzero()[0]
        if len(empty):
            raise DataError("{}: column {!r} ({}) is empty in row {}; every row "
                            "needs an id and a time".format(
                                path, column, option, empty[0] + 1))
    if args.columns is not None:
        frame = frame[[args.id, args.time] + list(args.columns)]
    return frame


def _text_frame(frame):
    """Every column of a typed (Parquet) frame as text in object columns,
    NaN where missing, so that it is read as a CSV file is."""
    import numpy as np
    import pandas as pd
    from pandas.api import types

    out = {}
    for column in frame.columns:
        values = frame[column]
        if types.is_datetime64_any_dtype(values.dtype):
            if getattr(values.dt, "tz", None) is not None:
                values = values.dt.tz_convert("UTC").dt.tz_localize(None)
        out[column] = [np.nan if _missing(v) else _text(v)
                       for v in values.astype(object)]
    return pd.DataFrame(out, columns=frame.columns, dtype=object)


def _missing(value):
    import pandas as pd
    return (value is None or value is pd.NA or value is pd.NaT
            or (isinstance(value, float) and value != value))


def _text(value):
    if isinstance(value, str):
        return value
    if hasattr(value, "isoformat"):  # timestamps and dates of Parquet files
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value.item() if hasattr(value, "item") else value)


def _read_parquet(path):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise DataError(
            "{}: reading Parquet needs pyarrow; install the extra: "
            "pip install 'kestrune-series[parquet]'".format(path))
    size = path.stat().st_size
    with path.open("rb") as file:
        head = file.read(4)
        file.seek(max(0, size - 4))
        tail = file.read(4)
    if size < 12 or head != b"PAR1" or tail != b"PAR1":
        raise DataError("{}: cannot read it: not a Parquet file (it does not start "
                        "and end with PAR1)".format(path))
    # pyarrow's own reader: pandas hands it the file as a buffer, and a
    # failure there aborts the interpreter as it exits (pyarrow 12).
    import pyarrow.parquet
    return pyarrow.parquet.read_table(str(path)).to_pandas()


def convert(texts, paths, args):
    """The frames of text as typed frames, by one rule for all files.

    Returns
    -------
    frames : list of pandas.DataFrame
    meta : kestrune.DataFrameMeta

    """
    from kestrune import DataFrameMeta

    from .inputs import shown

    frames = [frame.copy() for frame in texts]
    for frame, number in zip(frames, _ids(texts, args.id)):
        frame[args.id] = number
    for frame, times in zip(frames, _times(texts, paths, args.time)):
        frame[args.time] = times
    data = [c for c in texts[0].columns if c not in (args.id, args.time)]
    unknown = [c for c in args.categorical if c not in data]
    if unknown:
        raise DataError("--categorical: {} has no data column {}; its data "
                        "columns are {}".format(paths[0], shown(unknown), shown(data)))
    categorical, continuous = [], []
    for column in data:
        numbers = None
        if column not in args.categorical:
            numbers = [_numbers(f[column]) if column in f.columns else None
                       for f in texts]
            if any(n is None for n, f in zip(numbers, texts) if column in f.columns):
                numbers = None
        if numbers is None:
            categorical.append(column)
        else:
            continuous.append(column)
            for frame, values in zip(frames, numbers):
                if values is not None:
                    frame[column] = values
    return frames, DataFrameMeta(args.id, args.time, categorical=categorical,
                                 continuous=continuous)


def _numbers(values):
    """The column as floats, or None when some value is not a number."""
    import pandas as pd

    text = values.where(~values.isin(sorted(NA_TEXT)))
    numbers = pd.to_numeric(text, errors="coerce")
    if (numbers.isna() & text.notna()).any():
        return None
    return numbers.astype(float)


def _ids(texts, column):
    """Each file's ids: numbers when every id of every file reads as one.

    Whole numbers (``13.0`` is 13) within 64 bits become exact integers;
    other numbers become floats only when each float gives back the digits
    written. Otherwise every id stays text as written, never rounded.
    """
    import pandas as pd

    ids = [frame[column] for frame in texts]
    if not all(values.str.match(NUMBER_ID).all() for values in ids):
        return ids
    exact = {text: decimal.Decimal(text) for text in
             pd.unique(pd.concat(ids, ignore_index=True).to_numpy(dtype=object))}
    if all(_whole_id(number) for number in exact.values()):
        whole = {text: int(number) for text, number in exact.items()}
        return [values.map(whole).astype("int64") for values in ids]
    if all(decimal.Decimal(repr(float(number))) == number for number in exact.values()):
        return [values.map(float).astype(float) for values in ids]
    return ids


def _whole_id(number):
    """Whether a decimal id is a whole number that 64 bits hold."""
    return -INT64 <= number < INT64 and number == number.to_integral_value()


def _times(texts, paths, column):
    """Each file's times, converted by the rule the reference file sets.

    Whole numbers when every time of the reference is one, else ISO dates
    (offsets converted to UTC and dropped). A value that does not convert
    is named with its file and row.
    """
    whole = texts[0][column].str.match(WHOLE).all()
    out = []
    for number, (frame, path) in enumerate(zip(texts, paths)):
        values = frame[column]
        if whole:
            converted, why = _whole_times(values)
            want = "a whole number"
        else:
            converted, why = _dates(values)
            want = DATE_FORM
            if number == 0 and (why == NOT_TIME).all():
                want = "a whole number or " + DATE_FORM
        bad = (why != "").to_numpy().nonzero()[0]
        if len(bad):
            row = bad[0]
            like = "" if number == 0 or why.iloc[row] != NOT_TIME else \
                ", as the times of {} are".format(paths[0])
            raise DataError("{}: column {!r} (--time): {!r} in row {} {}{}".format(
                path, column, values.iloc[row], row + 1,
                why.iloc[row].format(want), like))
        out.append(converted)
    return out


# Why a time is refused (filled with what the times must be).
NOT_TIME = "is not {}"
BEYOND_INT64 = "is beyond the 64-bit range of whole numbers (+-9223372036854775807)"
BEYOND_OFFSET = "has an offset beyond +-14:00"
INT64 = 2 ** 63


def _whole_times(values):
    """Whole-number times as int64, and why each value is refused ("" if not)."""
    import numpy as np
    import pandas as pd

    why = pd.Series(np.where(values.str.match(WHOLE), "", NOT_TIME), index=values.index)
    # Only long numbers can leave 64 bits: test those exactly.
    long = (why == "") & (values.str.len() > 18)
    far = values[long].map(lambda text: not -INT64 <= int(text) < INT64).astype(bool)
    why[far.index[far.to_numpy()]] = BEYOND_INT64
    if (why != "").any():
        return None, why
    return pd.to_numeric(values).astype("int64"), why


def _dates(values):
    """ISO dates as naive UTC timestamps, and why each value is refused ("" if not).

    The arithmetic is done here, in whole seconds and nanoseconds, so that
    every pandas converts alike and a date outside what a timestamp holds
    (about 1677 to 2262) is refused rather than wrapped or coerced.
    """
    import numpy as np
    import pandas as pd

    parts = values.str.extract(ISO_DATE)
    filled = {"year": "1970", "month": "1", "day": "1", "hour": "0",
              "minute": "0", "second": "0"}
    n = {key: pd.to_numeric(parts[key].fillna(default)).to_numpy(dtype="int64")
         for key, default in filled.items()}
    start = ((n["year"] - 1970) * 12 + n["month"] - 1).astype("datetime64[M]")
    first = start.astype("datetime64[D]")
    length = ((start + np.timedelta64(1, "M")).astype("datetime64[D]") - first).astype("int64")
    not_time = (parts["year"].isna().to_numpy() | (n["month"] < 1) | (n["month"] > 12)
                | (n["day"] < 1) | (n["day"] > length) | (n["hour"] > 23)
                | (n["minute"] > 59) | (n["second"] > 59))
    zone = parts["zone"].fillna("Z").str.replace(":", "", regex=False)
    sign = np.where(zone.str[0] == "-", -1, 1)
    hours = pd.to_numeric(zone.str[1:3].where(zone != "Z", "0")).to_numpy(dtype="int64")
    minutes = pd.to_numeric(zone.str[3:5].where(zone.str.len() > 3, "0")).to_numpy(dtype="int64")
    offset = hours * 60 + minutes
    seconds = (first.astype("int64") + n["day"] - 1) * 86400 + n["hour"] * 3600 \
        + n["minute"] * 60 + n["second"] - sign * offset * 60
    fraction = pd.to_numeric(parts["fraction"].fillna("").str.ljust(9, "0")).to_numpy(dtype="int64")
    low, high = (divmod(bound.value, 10 ** 9) for bound in (pd.Timestamp.min, pd.Timestamp.max))
    inside = (((seconds > low[0]) | ((seconds == low[0]) & (fraction >= low[1])))
              & ((seconds < high[0]) | ((seconds == high[0]) & (fraction <= high[1]))))
    why = np.select([not_time, (minutes > 59) | (offset > 14 * 60), ~inside],
                    [NOT_TIME, BEYOND_OFFSET, _BEYOND_DATES], "")
    stamps = np.where(why == "", seconds * 10 ** 9 + fraction, 0).astype("datetime64[ns]")
    return pd.Series(stamps, index=values.index), pd.Series(why, index=values.index)


_BEYOND_DATES = "is outside the dates a timestamp holds ({} to {})".format(
    "1677-09-21 00:12:43.145224193", "2262-04-11 23:47:16.854775807")


def match_ids(frames, id_column, texts):
    """The ids named by ``texts``, in their order, as the files' ids are typed.

    Every file's ids count; numeric ids match the numbers the texts read as.
    """
    import numpy as np
    import pandas as pd

    from .inputs import shown, sort_ids

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


def _one_line(error):
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())
