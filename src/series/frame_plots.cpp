// Plots of multi-index frames: the driver, the grid wrappers, one row, one
// cell (the column plotters).
#include "functions.hpp"
#include "runtime.hpp"

namespace series {

const FuncDef plot_column_def = {
    "_plot_column", 34, 5, 5,
    {"axis", "df", "id_name", "plot_name", "plot_type"},
    {}, false, -1, nullptr, not_implemented,
};

const FuncDef plot_continuous_def = {
    "_plot_continuous", 46, 4, 4,
    {"axis", "df", "id_name", "plot_name"},
    {}, false, -1, nullptr, not_implemented,
};

const FuncDef plot_categorical_def = {
    "_plot_categorical", 52, 4, 4,
    {"axis", "df", "id_name", "plot_name"},
    {}, false, -1, nullptr, not_implemented,
};

const FuncDef plot_row_def = {
    "plot_row", 58, 7, 6,
    {"dfs", "name", "ids", "ax", "share", "plot_type", "last_row"},
    {"Union[pd.DataFrame, List[pd.DataFrame]]", "str", "List[str]", "Union[Axes, SubplotBase]",
     "ShareSetting", "PlotType", "bool"},
    false, 1, nullptr, not_implemented,
};

const FuncDef plot_continuous_time_series_def = {
    "plot_continuous_time_series", 116, 5, 5,
    {"dfs", "names", "ids", "axes", "share"},
    {"Union[pd.DataFrame, List[pd.DataFrame]]", "List[str]", "List[str]", "List[Axes]", "ShareSetting"},
    false, -1,
    "\n"
    "    Function to plot a single time_series dataframe with a time and id multi-index set\n"
    "\n"
    "    Args:\n"
    "        dfs: List of dataframes with identical metas to plot\n"
    "        names: Which columns to plot - i.e. the names of columns in the df map to rows in the plot\n"
    "        ids: The values of the index to be plotted - effectively a groupby on the index\n"
    "        axes: Axis to plot data onto\n"
    "        share: Setting specifying whether to plot different ids (groups) on the same axis or not\n"
    "\n"
    "    Returns: Void\n"
    "\n"
    "    ",
    not_implemented,
};

const FuncDef plot_categorical_time_series_def = {
    "plot_categorical_time_series", 159, 5, 5,
    {"dfs", "names", "ids", "axes", "share"},
    {"Union[pd.DataFrame, List[pd.DataFrame]]", "List[str]", "List[str]", "List[Axes]", "ShareSetting"},
    false, -1, nullptr, not_implemented,
};

const FuncDef plot_multi_index_dataframes_def = {
    "plot_multi_index_dataframes", 235, 6, 2,
    {"dfs", "df_meta", "columns_to_plot", "categories_to_group_plots", "share_setting", "forecast_from"},
    {"Union[DataFrame, List[DataFrame]]", "DataFrameMeta", "List[str]", "List[str]", "ShareSetting", "str"},
    false, 5,
    "\n"
    "    Plot dataframes with timeseries indexes and normal indexes grouped by a useful categorical index, highlighting\n"
    "    data predicted after a certain date.\n"
    "\n"
    "    Args:\n"
    "        dfs: List[DataFrame]\n"
    "        df_meta: DataFrameMeta - must be the same for all dataframes\n"
    "        columns_to_plot: None or List of columns to plot as rows\n"
    "        categories_to_group_plots: None or List of categories in the index to plot as columns\n"
    "        forecast_from: str - must convert to datetime\n"
    "        share_setting: ShareSetting - how to display different categories - on separate plots, all on same plot, etc...\n"
    "\n"
    "    Returns: Void\n"
    "\n"
    "    ",
    not_implemented,
};

}  // namespace series
