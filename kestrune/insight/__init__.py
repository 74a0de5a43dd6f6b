"""Questions about the contents of a data set described by a ``DataFrameMeta``."""
