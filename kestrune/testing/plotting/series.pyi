# Type stubs of the native module kestrune.testing.plotting.series. The
# parameter names, their order and the defaults are those of the functions
# themselves (tests/test_stubs.py compares them); the types say what the
# functions accept.
import enum
import logging
from typing import Any, Hashable, Iterable, List, Optional, Sequence, Union

import numpy as np
from matplotlib.axes import Axes
from numpy.typing import ArrayLike
from pandas import DataFrame, Series

from kestrune import DataFrameMeta

ID_INDEX_IDX: int
logger: logging.Logger

class ShareSetting(enum.Enum):
    """How the ids of a figure row share cells and axes."""

    NONE = 0
    PLOT = 1
    X_AXIS = 2
    AXES = 3

class PlotType(enum.Enum):
    """How a column is drawn: a line over time, or bars of value counts."""

    CONTINUOUS = 0
    CATEGORICAL = 1

def plot_multi_index_dataframes(
    dfs: Union[DataFrame, Sequence[DataFrame]],
    df_meta: DataFrameMeta,
    columns_to_plot: Optional[Sequence[str]] = None,
    categories_to_group_plots: Optional[Sequence[Hashable]] = None,
    share_setting: ShareSetting = ShareSetting.AXES,
    forecast_from: Optional[str] = None,
) -> None: ...
def plot_continuous_time_series(
    dfs: Union[DataFrame, List[DataFrame]],
    names: Sequence[str],
    ids: Sequence[Hashable],
    axes: Sequence[Axes],
    share: ShareSetting,
) -> None: ...
def plot_categorical_time_series(
    dfs: Union[DataFrame, List[DataFrame]],
    names: Sequence[str],
    ids: Sequence[Hashable],
    axes: Sequence[Axes],
    share: ShareSetting,
) -> None: ...
def plot_row(
    dfs: Union[DataFrame, List[DataFrame]],
    name: Optional[str],
    ids: Sequence[Hashable],
    ax: Axes,
    share: ShareSetting,
    plot_type: PlotType,
    last_row: bool = False,
) -> None: ...
def _plot_column(
    axis: Axes, df: DataFrame, id_name: Hashable, plot_name: str, plot_type: PlotType
) -> Series: ...
def _plot_continuous(axis: Axes, df: DataFrame, id_name: Hashable, plot_name: str) -> Series: ...
def _plot_categorical(axis: Axes, df: DataFrame, id_name: Hashable, plot_name: str) -> Series: ...
def plot_time_series(x: Union[Series, np.ndarray], t: ArrayLike, ax: Axes) -> None: ...
def plot_series(sr: Series, ax: Optional[Axes] = None, **kwargs: Any) -> None: ...
def sequence_index_plot(x: ArrayLike, t: Any, ax: Axes, cmap_name: Optional[str] = "YlGn") -> None: ...
def sequence_line_plot(x: ArrayLike, t: ArrayLike, ax: Axes) -> None: ...
def _verify_df_meta_applies_to_dfs(df_meta: DataFrameMeta, dfs: Iterable[DataFrame]) -> None: ...
def _verify_df_meta_has_required_parameters_set(df_meta: DataFrameMeta) -> None: ...
def _verify_columns_exist_in_df_meta(df_meta: DataFrameMeta, columns: Sequence[str]) -> None: ...
def _verify_names_exist_in_df_index(df: DataFrame, names: Sequence[Hashable]) -> None: ...
