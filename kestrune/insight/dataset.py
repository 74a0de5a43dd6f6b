"""Split the columns of a data set by kind."""

from .. import CATEGORICAL, CONTINUOUS


def categorical_or_continuous_values(df_meta):
    """Split the column descriptions of ``df_meta`` by kind.

    Parameters
    ----------
    df_meta : kestrune.DataFrameMeta
        The description of a data set.

    Returns
    -------
    categorical, continuous : tuple of two lists of kestrune.ColumnMeta
        The categorical and the continuous columns, each in the order in
        which ``df_meta`` declares them.

    """
    categorical = [c for c in df_meta.children if c.kind == CATEGORICAL]
    continuous = [c for c in df_meta.children if c.kind == CONTINUOUS]
    return categorical, continuous
