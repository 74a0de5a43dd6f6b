"""Describe and plot panel data: one row per id and point in time.

This module imports neither numpy nor pandas when it is loaded; pandas is
imported inside the methods that need it.
"""

try:
    from ._version import __version__
except ImportError:  # a source tree that setup.py has not run in yet
    __version__ = "0+unknown"

CATEGORICAL = "categorical"
CONTINUOUS = "continuous"


class ColumnMeta:
    """Describe one data column of a panel frame.

    Parameters
    ----------
    name : str
        Name of the column in the frame.
    kind : {"categorical", "continuous"}
        Whether the column holds labels (drawn as bars of how often each
        label occurs) or numbers (drawn as lines over time).

    """

    def __init__(self, name, kind):
        if not isinstance(name, str):
            raise TypeError(
                "Column names must be str, got {!r} of type {}".format(
                    name, type(name).__name__))
        if kind not in (CATEGORICAL, CONTINUOUS):
            raise ValueError(
                "kind must be {!r} or {!r}, got {!r}".format(
                    CATEGORICAL, CONTINUOUS, kind))
        self.name = name
        self.kind = kind

    def __repr__(self):
        return "ColumnMeta(name={!r}, kind={!r})".format(self.name, self.kind)


class DataFrameMeta:
    """Describe a panel data frame: its id and time levels and its columns.

    A panel frame holds one row per id (a store, a patient, a sensor) and
    point in time. The plotting functions expect it indexed by a row
    ``MultiIndex`` of the id level followed by the time level, with the
    data columns beside it; :meth:`set_indices` brings a frame into that
    shape and into the dtypes the plots can draw.

    ``plot_multi_index_dataframes`` compares the columns of the frames it
    is given with :attr:`columns` before it calls :meth:`set_indices` on a
    copy of each, so the id and the time must already form the row index of
    the frames handed to it (in either order): with the id and the time
    still among the columns the frames have columns that the meta does not
    name. ``meta.set_indices(frame)`` turns a frame with id and time columns
    into one that can be handed on.

    Parameters
    ----------
    id_index : str
        Name of the id level (or column) of the frame.
    time_index : str
        Name of the time level (or column) of the frame.
    categorical : list of str, optional
        Names of the data columns that hold labels: strings (in an
        ``object`` column or pandas' string dtype), pandas ``category`` or
        ``bool`` columns. Missing labels are counted under "Null".
    continuous : list of str, optional
        Names of the data columns that hold numbers, pandas' nullable
        ``Int64`` and ``Float64`` included.

    Attributes
    ----------
    children : list of ColumnMeta
        One entry per data column: the categorical columns in the order
        given, then the continuous ones.

    See Also
    --------
    DataFrameMeta.from_frame : Infer the description from a frame.

    Examples
    --------
    >>> meta = DataFrameMeta("store", "date", categorical=["weather"],
    ...                      continuous=["sales", "visitors"])
    >>> list(meta.columns)
    ['weather', 'sales', 'visitors']

    """

    def __init__(self, id_index, time_index, categorical=(), continuous=()):
        self.id_index = id_index
        self.time_index = time_index
        self.children = (
            [ColumnMeta(name, CATEGORICAL) for name in categorical]
            + [ColumnMeta(name, CONTINUOUS) for name in continuous]
        )
        self._check_names()

    def _check_names(self):
        if self.id_index == self.time_index:
            raise ValueError(
                "id_index and time_index must differ, both are {!r}".format(
                    self.id_index))
        seen = {self.id_index, self.time_index}
        for child in self.children:
            if child.name in seen:
                raise ValueError(
                    "Column {!r} is named more than once".format(child.name))
            seen.add(child.name)

    @classmethod
    def from_frame(cls, df, id_index, time_index, categorical=None):
        """Describe ``df`` by inferring the kind of each data column.

        By dtype: numbers (pandas' nullable ``Int64``, ``Float64`` and so
        on included) are continuous; strings in an ``object`` column or in
        pandas' string dtype, ``category`` and ``bool`` columns are
        categorical. :meth:`set_indices` later turns each kind into what the
        plots draw.

        Parameters
        ----------
        df : pandas.DataFrame
            The frame, with the id and the time either as levels of its row
            index or as columns. Every other column is a data column.
        id_index, time_index : str
            Names of the id and the time.
        categorical : list of str, optional
            Data columns to take as categorical whatever their dtype, such
            as numeric codes; their values are shown as text.

        Returns
        -------
        DataFrameMeta
            The data columns in the order of ``df``, split by kind.

        Raises
        ------
        ValueError
            If the id or the time is neither a level of the row index nor a
            column (the message names which), if the row index has another
            named level, if a name in ``categorical`` is no data column of
            ``df``, or if a data column holds neither numbers nor labels
            (dates, durations, complex numbers, or an ``object`` column
            with values other than strings): the message names the column
            and its dtype.

        """
        meta = cls(id_index, time_index)
        meta._check_frame(df)
        names = [name for name in df.columns if name not in (id_index, time_index)]
        forced = set(categorical or ())
        unknown = forced - set(names)
        if unknown:
            raise ValueError(
                "categorical names columns that are not data columns of the "
                "frame: {}".format(sorted(unknown, key=str)))

        categorical_names, continuous_names = [], []
        for name in names:
            kind = CATEGORICAL if name in forced else _kind_of(df[name])
            if kind == CATEGORICAL:
                categorical_names.append(name)
            elif kind == CONTINUOUS:
                continuous_names.append(name)
            else:
                raise ValueError(
                    "Column {!r} of dtype {} holds neither numbers nor "
                    "labels{}; name it in categorical to count its values "
                    "as text, or leave it out of the frame".format(
                        name, df[name].dtype, kind))
        return cls(id_index, time_index, categorical_names, continuous_names)

    @property
    def columns(self):
        """pandas.Index of the data column names, in declaration order."""
        import pandas as pd

        return pd.Index([child.name for child in self.children], dtype=object)

    @property
    def categorical(self):
        """List of the names of the categorical columns."""
        return [c.name for c in self.children if c.kind == CATEGORICAL]

    @property
    def continuous(self):
        """List of the names of the continuous columns."""
        return [c.name for c in self.children if c.kind == CONTINUOUS]

    def set_indices(self, frame):
        """Return a copy of ``frame`` indexed by (id, time), ready to plot.

        The row index becomes a ``MultiIndex`` of the id level followed by
        the time level, sorted by id, then time. The data columns that this
        meta describes are converted to what the plots draw:

        - categorical columns hold plain labels in an ``object`` column:
          strings stay as they are, a ``category`` column becomes its
          labels, ``True`` and ``False`` become "True" and "False", any
          other value becomes its ``str``; missing values stay missing
          (``NaN``), so the plots count them under "Null";
        - continuous columns of pandas' nullable number dtypes become
          ``float64``, with missing values as ``NaN``; numpy numbers are
          kept as they are.

        Other columns are kept unchanged. ``frame`` itself is never changed.

        Parameters
        ----------
        frame : pandas.DataFrame
            A frame with the id and the time as levels of its row index (in
            any order) or as columns, or one of each. An unnamed row index,
            such as the default range index, is dropped.

        Returns
        -------
        pandas.DataFrame
            The prepared copy.

        Raises
        ------
        ValueError
            If the id or the time is found neither in the index nor among
            the columns (the message names which), or the row index has a
            named level other than the id and the time.

        """
        self._check_frame(frame)
        index_names = [self.id_index, self.time_index]
        in_index = [name for name in frame.index.names if name in index_names]
        if in_index:
            frame = frame.reset_index(level=in_index)
        prepared = frame.set_index(index_names).sort_index()
        converted = {}
        for child in self.children:
            if child.name not in prepared.columns:
                continue
            column = prepared[child.name]
            if child.kind == CATEGORICAL:
                converted[child.name] = _as_labels(column)
            elif _is_nullable_number(column.dtype):
                converted[child.name] = _as_floats(column)
        return prepared.assign(**converted)

    def _check_frame(self, frame):
        """Refuse a frame that lacks the id or the time, or has other levels."""
        levels = [name for name in frame.index.names if name is not None]
        missing = [
            "{} {!r}".format(role, name)
            for role, name in (("id_index", self.id_index),
                               ("time_index", self.time_index))
            if name not in levels and name not in frame.columns]
        if missing:
            raise ValueError(
                "{} {} of the frame; its index levels are {} and its "
                "columns {}".format(
                    " and ".join(missing),
                    "is neither a level of the row index nor a column"
                    if len(missing) == 1 else
                    "are neither levels of the row index nor columns",
                    levels, list(frame.columns)))
        extra = [name for name in levels
                 if name not in (self.id_index, self.time_index)]
        if extra:
            raise ValueError(
                "The row index has levels {} besides {!r} and {!r}".format(
                    extra, self.id_index, self.time_index))

    def __repr__(self):
        return (
            "DataFrameMeta(id_index={!r}, time_index={!r}, categorical={!r}, "
            "continuous={!r})".format(
                self.id_index, self.time_index,
                self.categorical, self.continuous))


def _kind_of(column):
    """CATEGORICAL or CONTINUOUS by the dtype of ``column``, else why not.

    What is not a kind is returned as a short reason (possibly empty) for
    the error message of the caller.
    """
    import pandas as pd
    from pandas.api import types

    dtype = column.dtype
    if (types.is_bool_dtype(dtype)
            or isinstance(dtype, (pd.CategoricalDtype, pd.StringDtype))):
        return CATEGORICAL
    if types.is_object_dtype(dtype):
        inferred = types.infer_dtype(column, skipna=True)
        if inferred in ("string", "empty"):
            return CATEGORICAL
        return " (its values are {}, not all strings)".format(inferred)
    if types.is_numeric_dtype(dtype) and not types.is_complex_dtype(dtype):
        return CONTINUOUS
    return ""


def _is_nullable_number(dtype):
    from pandas.api import types
    from pandas.api.extensions import ExtensionDtype

    return isinstance(dtype, ExtensionDtype) and types.is_numeric_dtype(dtype)


def _as_floats(column):
    import numpy as np
    import pandas as pd

    values = column.to_numpy(dtype="float64", na_value=np.nan)
    return pd.Series(values, index=column.index, name=column.name)


def _as_labels(column):
    """``column`` as plain labels (see :meth:`DataFrameMeta.set_indices`).

    Vectorised: each distinct value is converted once. Only a column that
    mixes kinds of values (where 1, 1.0 and True would count as one value)
    is converted one value at a time.
    """
    import numpy as np
    import pandas as pd
    from pandas.api import types

    if isinstance(column.dtype, pd.CategoricalDtype):
        codes, uniques = np.asarray(column.cat.codes), column.cat.categories
    else:
        codes, uniques = pd.factorize(column)  # missing values take -1
    uniques = np.asarray(uniques, dtype=object)
    if types.infer_dtype(uniques, skipna=True) not in _ONE_KIND:
        missing = np.asarray(column.isna())
        labels = [np.nan if gap else _label(value)
                  for value, gap in zip(column.astype(object), missing)]
    else:
        text = np.array([_label(value) for value in uniques] + [np.nan], dtype=object)
        labels = text[codes]
    return pd.Series(labels, index=column.index, name=column.name, dtype=object)


# Kinds of values that pandas.factorize never counts as one when they differ.
_ONE_KIND = ("string", "empty", "boolean", "integer", "floating", "datetime",
             "datetime64", "date", "timedelta", "timedelta64", "decimal", "period")


def _label(value):
    """The text a bar of ``value`` is labelled with."""
    if isinstance(value, str):
        return value
    if isinstance(value, float) and value.is_integer():
        # Codes read into a float column (1.0 beside a missing value).
        return str(int(value))
    return str(value)
