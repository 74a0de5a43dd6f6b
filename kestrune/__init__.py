"""Describe and plot panel data: one row per id and point in time.

This module imports neither numpy nor pandas when it is loaded; pandas is
imported inside the methods that need it.
"""

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
    shape.

    Parameters
    ----------
    id_index : str
        Name of the id level (or column) of the frame.
    time_index : str
        Name of the time level (or column) of the frame.
    categorical : list of str, optional
        Names of the data columns that hold labels. In the frames that are
        plotted, these columns must hold strings in an ``object`` column,
        with missing values as ``NaN``: a pandas ``category`` column cannot
        take the placeholder "Null" that missing labels are counted under.
    continuous : list of str, optional
        Names of the data columns that hold numbers.

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

        Columns of ``object``, ``category`` or ``bool`` dtype are taken as
        categorical and numeric columns as continuous. The data are not
        converted: turn ``category`` columns into ``object`` strings before
        plotting (see the class docstring).

        Parameters
        ----------
        df : pandas.DataFrame
            The frame, with the id and the time either as levels of its row
            index or as columns. Every other column is a data column.
        id_index, time_index : str
            Names of the id and the time.
        categorical : list of str, optional
            Data columns to take as categorical whatever their dtype, such
            as numeric codes.

        Returns
        -------
        DataFrameMeta
            The data columns in the order of ``df``, split by kind.

        Raises
        ------
        ValueError
            If a name in ``categorical`` is no data column of ``df``, or a
            column is neither numeric nor of a label dtype (dates, say).

        """
        from pandas.api import types

        index_names = [id_index, time_index]
        names = [name for name in df.columns if name not in index_names]
        forced = set(categorical or ())
        unknown = forced - set(names)
        if unknown:
            raise ValueError(
                "categorical names columns that are not data columns of the "
                "frame: {}".format(sorted(unknown, key=str)))

        categorical_names, continuous_names = [], []
        for name in names:
            dtype = df[name].dtype
            if name in forced or _is_label_dtype(dtype):
                categorical_names.append(name)
            elif types.is_numeric_dtype(dtype):
                continuous_names.append(name)
            else:
                raise ValueError(
                    "Cannot tell whether column {!r} of dtype {} is "
                    "categorical or continuous; name it in categorical or "
                    "leave it out of the frame".format(name, dtype))
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
        """Index ``frame`` by (id, time), sorted.

        Parameters
        ----------
        frame : pandas.DataFrame
            A frame with the id and the time as levels of its row index (in
            any order) or as columns, or one of each. An unnamed row index,
            such as the default range index, is dropped.

        Returns
        -------
        pandas.DataFrame
            A new frame whose row index is a ``MultiIndex`` with the id
            level first and the time level second, sorted by id, then time.
            The data columns are unchanged.

        Raises
        ------
        ValueError
            If the row index has a named level other than the id and time.
        KeyError
            If the id or the time is found neither in the index nor among
            the columns.

        """
        index_names = [self.id_index, self.time_index]
        extra = [name for name in frame.index.names
                 if name is not None and name not in index_names]
        if extra:
            raise ValueError(
                "The row index has levels {} besides {!r} and {!r}".format(
                    extra, self.id_index, self.time_index))
        in_index = [name for name in frame.index.names if name in index_names]
        if in_index:
            frame = frame.reset_index(level=in_index)
        return frame.set_index(index_names).sort_index()

    def __repr__(self):
        return (
            "DataFrameMeta(id_index={!r}, time_index={!r}, categorical={!r}, "
            "continuous={!r})".format(
                self.id_index, self.time_index,
                self.categorical, self.continuous))


def _is_label_dtype(dtype):
    import pandas as pd
    from pandas.api import types

    return (types.is_object_dtype(dtype)
            or isinstance(dtype, pd.CategoricalDtype)
            or types.is_bool_dtype(dtype))
