// Descriptors of the module's fifteen functions, defined by the units that
// hold their bodies; the exec step creates the function objects from them in
// source order.
#pragma once

#include "function_type.hpp"

namespace series {

// multi-index frame plots
extern const FuncDef plot_column_def;                  // line 34
extern const FuncDef plot_continuous_def;              // line 46
extern const FuncDef plot_categorical_def;             // line 52
extern const FuncDef plot_row_def;                     // line 58
extern const FuncDef plot_continuous_time_series_def;  // line 116
extern const FuncDef plot_categorical_time_series_def; // line 159
extern const FuncDef plot_multi_index_dataframes_def;  // line 235

// single-series plots
extern const FuncDef plot_time_series_def;     // line 142
extern const FuncDef plot_series_def;          // line 151
extern const FuncDef sequence_index_plot_def;  // line 170
extern const FuncDef sequence_line_plot_def;   // line 181

// input checks
extern const FuncDef verify_df_meta_applies_to_dfs_def;               // line 185
extern const FuncDef verify_df_meta_has_required_parameters_set_def;  // line 204
extern const FuncDef verify_columns_exist_in_df_meta_def;             // line 214
extern const FuncDef verify_names_exist_in_df_index_def;              // line 226

}  // namespace series
