"""Reading panel files by one set of rules, whatever pandas guesses for
each file alone.

:func:`read_files` reads CSV and Parquet files (the command line calls it).
Every file is first read as text (:func:`read_text`: missing cells are NaN,
nothing converted); then each rule is decided over every input and applied
to each one. The functions take columns of text (pandas Series of str and
NaN), so that a reader of many partitions applies the very same rules:
decide each rule over all partitions, then apply it partition by partition.

Deciding, over every input:

- :func:`id_rule`: the ids become 64-bit integers when every id of every
  input is a whole number written without leading zeros, floats when every
  id is a number that a float gives back exactly, else they stay text;
- :func:`time_rule`: whole numbers when every time of the reference (every
  file or partition of it) is one, else ISO dates;
- :func:`is_number_column`: a column is a number column only when it holds
  numbers in every input (``all`` over the inputs of this test).

Applying, to each input:

- :func:`as_ids` (the rule of :func:`id_rule`);
- :func:`as_times` (the rule of :func:`time_rule`; a value that does not
  convert is named with its file and row);
- :func:`as_numbers`.

Errors are :class:`DataError` (a ``ValueError``), one line naming the file,
the column and the value.
"""

import decimal
import re
from pathlib import Path

PARQUET = (".parquet", ".pq")
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


# How messages name the id, the time and the chosen columns: as a Python
# caller writes them (the command line passes its options' spellings).
OPTIONS = {"id": "id_index", "time": "time_index", "columns": "columns",
           "categorical": "categorical"}


class DataError(ValueError):
    """Input that cannot make a report; its text is the whole message."""


def read_files(paths, id_index, time_index, *, columns=None, categorical=(),
               engine="pandas"):
    """Read panel files (CSV, or Parquet with pyarrow) by the command line's rules.

    The frames are typed by rules decided over every file, never from one
    file alone (see the module's documentation): ids and labels are text;
    ids become numbers only when every id of every file is a number written
    without leading zeros; a column is a number column only when it holds
    numbers in every file (or is named in ``categorical``: then labels);
    the time column holds whole numbers when every time of the reference
    (the first file) is one, else ISO dates (a time and a ``Z`` or
    ``+HH:MM`` offset may follow; offsets converted to UTC and dropped). In
    a number column the usual spellings of a missing value (``NA``,
    ``null``, ...) are missing; in a label column only an empty cell is.

    Parameters
    ----------
    paths : sequence of str or pathlib.Path
        The files, the reference first: ``.parquet`` or ``.pq`` files are
        read as Parquet, any other as CSV with a header row.
    id_index, time_index : str
        The id and the time columns; no row may lack either.
    columns : sequence of str, optional
        The data columns to keep; by default every column.
    categorical : sequence of str, optional
        Data columns to read as labels even where they hold numbers.
    engine : {"pandas", "dask"}, optional
        ``"pandas"`` reads each file whole into this process; ``"dask"``
        reads each path as a Parquet dataset (a folder, a glob or one file)
        into a dask frame, by :func:`.partitions.read_dataset` with the same
        options and rules, each decided over every partition.

    Returns
    -------
    frames : dict of str to pandas.DataFrame
        One frame per file, named by the file's stem (by its whole path
        where stems collide), in the order of ``paths``, with the id and
        the time as columns; ready for :func:`compare_panels`. With
        ``engine="dask"``, dask frames; a dataset of whole-number ids in
        files of increasing, disjoint id ranges is indexed by the id with
        known divisions (aligned without a shuffle).
    meta : kestrune.DataFrameMeta
        The number and label columns, as decided over every file.

    Raises
    ------
    DataError
        A ``ValueError`` naming the file, the column and the value: a file
        that is missing, empty, unreadable or without rows, a column that
        no file holds, an empty id or time, a time that does not convert.

    Examples
    --------
    >>> frames, meta = read_files(["original.csv", "synthetic.csv"],
    ...                           "store", "date")  # doctest: +SKIP
    >>> report = compare_panels(frames, meta)  # doctest: +SKIP

    """
    if engine == "dask":
        try:
            from .partitions import read_dataset
        except ModuleNotFoundError as error:
            if error.name != __package__ + ".partitions":
                raise
            raise ImportError(
                "read_files(engine='dask') needs the module "
                "kestrune.testing.plotting.compare.partitions (reading Parquet "
                "datasets into dask frames), which this installation lacks: "
                "{}".format(error)) from None
        frames, meta = read_dataset(paths, id_index, time_index, columns=columns,
                                    categorical=categorical)
        if not isinstance(frames, dict):
            frames = dict(zip(frame_names(paths), frames))
        return frames, meta
    if engine != "pandas":
        raise ValueError("engine must be 'pandas' or 'dask', got {!r}".format(engine))
    paths = [Path(p) for p in paths]
    frames, meta = _read(paths, id_index, time_index, columns, categorical)
    return dict(zip(frame_names(paths), frames)), meta


def _read(paths, id_index, time_index, columns=None, categorical=(), options=OPTIONS,
          progress=None):
    """The frames of :func:`read_files`, as a list; ``options`` names the id,
    time and columns in messages, ``progress`` (a Progress) counts the files."""
    texts = []
    for path in paths:
        texts.append(read_text(path, id_index, time_index, columns, options))
        if progress is not None:
            progress.update(1)
    return typed(texts, paths, id_index, time_index, categorical, options)


def frame_names(paths):
    """File stems (a glob's folder), or whole paths where stems collide."""
    import glob
    stems = [Path(p).parent.name if glob.has_magic(str(p)) else Path(p).stem for p in paths]
    return [str(p) if stems.count(stem) > 1 else stem for p, stem in zip(paths, stems)]


def read_text(path, id_index, time_index, columns=None, options=OPTIONS):
    """One file as a frame of text: missing cells are NaN, nothing converted.

    Only an empty cell is missing; the id and the time may not be. With
    ``columns`` the frame keeps the id, the time and those columns only.
    ``options`` names the id, time and columns in messages.
    """
    import pandas as pd

    from .inputs import shown

    path = Path(path)
    if not path.is_file():
        raise DataError("{}: no such file".format(path) if not path.exists()
                        else "{}: a folder, not a file (a Parquet dataset in a folder is "
                        "read on dask: --workers N or --scheduler ADDRESS)".format(path)
                        if path.is_dir() else "{}: not a file".format(path))
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
    wanted = [(options["id"], id_index), (options["time"], time_index)]
    wanted += [(options["columns"], c) for c in columns or []]
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
    if columns is not None:
        frame = frame[[id_index, time_index] + list(columns)]
    return frame


def typed(texts, paths, id_index, time_index, categorical=(), options=OPTIONS):
    """The frames of text of :func:`read_text` as typed frames, each rule
    decided over all of them.

    Returns
    -------
    frames : list of pandas.DataFrame
    meta : kestrune.DataFrameMeta

    """
    from kestrune import DataFrameMeta

    from .inputs import shown

    categorical = list(categorical)
    frames = [frame.copy() for frame in texts]
    rule = id_rule([frame[id_index] for frame in texts])
    for frame in frames:
        frame[id_index] = as_ids(frame[id_index], rule)
    rule = time_rule([texts[0][time_index]])
    for number, (frame, path) in enumerate(zip(frames, paths)):
        frame[time_index] = as_times(frame[time_index], rule, path, time_index,
                                     reference=None if number == 0 else paths[0],
                                     option=options["time"])
    data = [c for c in texts[0].columns if c not in (id_index, time_index)]
    unknown = [c for c in categorical if c not in data]
    if unknown:
        raise DataError("{}: {} has no data column {}; its data columns are {}".format(
            options["categorical"], paths[0], shown(unknown), shown(data)))
    labels, numbers = [], []
    for column in data:
        held = [f[column] for f in texts if column in f.columns]
        if column in categorical or not all(is_number_column(v) for v in held):
            labels.append(column)
            continue
        numbers.append(column)
        for frame in frames:
            if column in frame.columns:
                frame[column] = as_numbers(frame[column])
    return frames, DataFrameMeta(id_index, time_index, categorical=labels,
                                 continuous=numbers)


def is_number_column(values):
    """Whether every value of a column of text is a number or missing.

    A column is a number column when this holds in every input.
    """
    return _numbers(values) is not None


def as_numbers(values):
    """A column of text that :func:`is_number_column` accepts, as floats."""
    return _numbers(values)


def _numbers(values):
    """The column as floats, or None when some value is not a number."""
    import pandas as pd

    text = values.where(~values.isin(sorted(NA_TEXT)))
    numbers = pd.to_numeric(text, errors="coerce")
    if (numbers.isna() & text.notna()).any():
        return None
    return numbers.astype(float)


def id_rule(ids):
    """How the ids of every input are read: ``"int"``, ``"float"`` or ``"text"``.

    ``ids`` holds the id columns of text of every input (or each input's
    distinct ids). Whole numbers (``13.0`` is 13) within 64 bits become
    exact integers ("int"); other numbers become floats only when each
    float gives back the digits written ("float"); otherwise every id stays
    text as written, never rounded. Apply the rule with :func:`as_ids`.
    """
    import pandas as pd

    ids = list(ids)
    if not all(values.str.match(NUMBER_ID).all() for values in ids):
        return "text"
    exact = [decimal.Decimal(text) for text in
             pd.unique(pd.concat(ids, ignore_index=True).to_numpy(dtype=object))]
    if all(_whole_id(number) for number in exact):
        return "int"
    if all(decimal.Decimal(repr(float(number))) == number for number in exact):
        return "float"
    return "text"


def as_ids(values, rule):
    """A column of id texts read by the ``rule`` of :func:`id_rule`."""
    import pandas as pd

    if rule == "int":
        whole = {text: int(decimal.Decimal(text))
                 for text in pd.unique(values.to_numpy(dtype=object))}
        return values.map(whole).astype("int64")
    if rule == "float":
        return values.map(float).astype(float)
    return values


def _whole_id(number):
    """Whether a decimal id is a whole number that 64 bits hold."""
    return -INT64 <= number < INT64 and number == number.to_integral_value()



def time_rule(reference):
    """How the times are read: ``"whole"`` when every time of the reference
    is a whole number, else ``"dates"``.

    ``reference`` holds the time columns of text of every file or partition
    of the reference (the first input). Apply the rule with :func:`as_times`.
    """
    return "whole" if all(values.str.match(WHOLE).all() for values in reference) \
        else "dates"


def as_times(values, rule, path, column, reference=None, option=OPTIONS["time"]):
    """A column of time texts read by the ``rule`` of :func:`time_rule`.

    Whole numbers become int64; ISO dates naive UTC timestamps. ``path``
    and ``column`` name the input in messages; ``reference`` is the
    reference's path (None when ``values`` are the reference's own), whose
    times set the rule.

    Raises
    ------
    DataError
        Naming the first value that does not convert, its row (from 1) and
        what it should have been.
    """
    if rule == "whole":
        converted, why = _whole_times(values)
        want = "a whole number"
    else:
        converted, why = _dates(values)
        want = DATE_FORM
        if reference is None and (why == NOT_TIME).all():
            want = "a whole number or " + DATE_FORM
    bad = (why != "").to_numpy().nonzero()[0]
    if len(bad):
        row = bad[0]
        like = "" if reference is None or why.iloc[row] != NOT_TIME else \
            ", as the times of {} are".format(reference)
        raise DataError("{}: column {!r} ({}): {!r} in row {} {}{}".format(
            path, column, option, values.iloc[row], row + 1,
            why.iloc[row].format(want), like))
    return converted


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
        out[column] = _as_text(values)
    return pd.DataFrame(out, columns=frame.columns, dtype=object)


def _as_text(values):
    """A typed column as text, each distinct value converted once (one value
    at a time only where an object column mixes kinds of values)."""
    import numpy as np
    import pandas as pd
    from pandas.api import types

    if not types.is_object_dtype(values.dtype):
        codes, uniques = pd.factorize(values)  # missing values take -1
        text = np.array([_text(v) for v in np.asarray(uniques, dtype=object)] + [np.nan],
                        dtype=object)
        return text[codes]
    if types.infer_dtype(values, skipna=True) in ("string", "empty"):
        out = values.to_numpy(dtype=object, copy=True)
        out[pd.isna(out)] = np.nan
        return out
    return np.array([np.nan if _missing(v) else _text(v) for v in values], dtype=object)


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


def _one_line(error):
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())
