// Plots of multi-index frames: the driver, the grid wrappers, one row, one
// cell (the column plotters).
#include "functions.hpp"
#include "runtime.hpp"

#include <utility>

namespace series {

namespace {

// The keyword of the axes' y-label helper that turns off its test of the
// axes' shape: `check_patch`, unless the helper names
// `skip_non_rectangular_axes` among its parameters, as matplotlib does since
// 3.8. Only the parameters count (the first co_argcount + co_kwonlyargcount
// entries of co_varnames), not the locals after them; a helper without a
// code record, or one that takes **kwargs alone, gets `check_patch`.
PyObject* shape_test_keyword(PyObject* label_outer) {
    Ref code = optional_attr(label_outer, names.__code__);
    Ref varnames = code ? optional_attr(code, names.co_varnames) : Ref();
    Ref positional = varnames ? optional_attr(code, names.co_argcount) : Ref();
    Ref keyword_only = positional ? optional_attr(code, names.co_kwonlyargcount) : Ref();
    if (!keyword_only) return names.check_patch;
    // Each conversion is checked before the next runs: a second __index__
    // must not run with the first one's exception pending.
    auto size = [](PyObject* n) {
        const Py_ssize_t v = PyNumber_AsSsize_t(n, PyExc_OverflowError);
        if (v == -1 && PyErr_Occurred()) throw Error();
        return v;
    };
    const Py_ssize_t arguments = size(positional);
    const Py_ssize_t count = arguments + size(keyword_only);
    Ref params = Ref::steal(PySequence_GetSlice(varnames, 0, count));
    return require(PySequence_Contains(params, names.skip_non_rectangular_axes)) ? names.skip_non_rectangular_axes
                                                                                 : names.check_patch;
}

// [getattr(item, "name") for item in iterable]
Ref names_of(PyObject* iterable) {
    Ref result = new_list();
    Ref it = iter(iterable);
    while (Ref meta = next(it)) append(result, attr(meta, names.name));
    return result;
}

// `list(set(a) & set(b))`
Ref intersection(PyObject* a, PyObject* b) {
    Ref left = new_set(a);
    Ref right = new_set(b);
    Ref both = Ref::steal(PyNumber_And(left, right));
    return Ref::steal(PySequence_List(both));
}

// `series.index.name`, where `series` is unbound until the first cell is drawn.
Ref index_name(const Ref& series) {
    if (!series)
        raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "series");
    return attr(attr(series, names.index), names.name);
}

// `axis.xaxis.set_tick_params(which="both", labelbottom=...)`
void set_bottom_labels(PyObject* axis, PyObject* visible) {
    call_method(attr(axis, names.xaxis), names.set_tick_params, {},
                {{names.which, names.both}, {names.labelbottom, visible}});
}

// --- one cell ----------------------------------------------------------------

// Hands one id's column to the plotter of its plot type. The type must be the
// member object itself: a value that merely equals it is refused.
Ref plot_column(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* axis = a[0];
    PyObject* df = a[1];
    PyObject* id_name = a[2];
    PyObject* plot_name = a[3];
    PyObject* plot_type = a[4];
    f.line = 35;
    if (plot_type == attr(global(names.PlotType), names.CONTINUOUS).get()) {
        f.line = 36;
        return call(global(names._plot_continuous), {axis, df, id_name, plot_name});
    }
    f.line = 37;
    if (plot_type == attr(global(names.PlotType), names.CATEGORICAL).get()) {
        f.line = 38;
        return call(global(names._plot_categorical), {axis, df, id_name, plot_name});
    }
    f.line = 41;
    Ref given = text(plot_type);
    Ref continuous = text(attr(global(names.PlotType), names.CONTINUOUS));
    Ref categorical = text(attr(global(names.PlotType), names.CATEGORICAL));
    Ref message = concat({names.msg_unknown_plot_type, given, names.msg_plot_type_either, continuous,
                          names.or_sep, categorical});
    f.line = 40;
    raise_value_error(message);
}

// One id's column as a line over the time level, labelled with the id.
Ref plot_continuous(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* axis = a[0];
    PyObject* df = a[1];
    PyObject* id_name = a[2];
    PyObject* plot_name = a[3];
    f.line = 47;
    Ref ts = item(call_method(df, names.xs, {id_name}), plot_name);
    f.line = 48;
    Ref plot = attr(axis, names.plot);
    Ref index = attr(ts, names.index);
    Ref values = attr(ts, names.values);
    call(plot, {index, values}, {{names.label, id_name}});
    f.line = 49;
    return ts;
}

// One id's column as bars of how often each value occurs; missing values are
// counted under "Null". Counting every column of the group and taking the
// row-wise maximum gives the group sizes once all gaps are filled.
Ref plot_categorical(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* axis = a[0];
    PyObject* df = a[1];
    PyObject* id_name = a[2];
    PyObject* plot_name = a[3];
    f.line = 53;
    Ref rows = call_method(df, names.xs, {id_name});
    Ref filled = call_method(rows, names.fillna, {names.null_label});
    Ref counts = call_method(call_method(filled, names.groupby, {plot_name}), names.count);
    Ref count_series = call_method(counts, names.max, {}, {{names.axis, integer(1)}});
    f.line = 54;
    Ref bar = attr(axis, names.bar);
    Ref index = attr(count_series, names.index);
    Ref values = attr(count_series, names.values);
    call(bar, {index, values});
    f.line = 55;
    return count_series;
}

// --- one row -------------------------------------------------------------------

// Splits a row into one cell per id (or one shared cell), draws every frame's
// data of each id into its cell, then arranges tick labels, x label, legend
// and y labels by the sharing setting and the row's place in the figure.
Ref plot_row(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* dfs = a[0];
    PyObject* name = a[1];
    PyObject* ids = a[2];
    PyObject* ax = a[3];
    PyObject* share = a[4];
    PyObject* plot_type = a[5];
    PyObject* last_row = a[6];

    f.line = 67;
    Ref row_titles = new_list();
    if (truth(compare(plot_type, attr(global(names.PlotType), names.CONTINUOUS), Py_EQ))) {
        f.line = 68;
        append(row_titles, name);
    } else {
        f.line = 70;
        append(row_titles, names.count_title);
    }

    f.line = 72;
    Ref col_titles;
    if (truth(call_method(call_method(ax, names.get_subplotspec), names.is_first_row))) {
        f.line = 73;
        col_titles = Ref::borrow(ids);
    } else {
        f.line = 75;
        col_titles = new_list();
        for (Py_ssize_t i = 0, n = length(ids); i < n; ++i) append(col_titles, names.empty);
    }

    f.line = 77;
    if (share == attr(global(names.ShareSetting), names.PLOT).get()) {
        f.line = 78;
        col_titles = new_list();
        append(col_titles, names.empty);
    }

    f.line = 80;
    PyObject* share_y = share == attr(global(names.ShareSetting), names.AXES).get() ? Py_True : Py_False;
    f.line = 81;
    Ref w = Ref::steal(
        PyFloat_FromDouble(share == attr(global(names.ShareSetting), names.NONE).get() ? 0.1 : 0.05));

    f.line = 83;
    Ref ax_columns = call(global(names.axes_grid), {},
                          {{names.ax, ax},
                           {names.row_titles, row_titles},
                           {names.col_titles, col_titles},
                           {names.sharey, share_y},
                           {names.wspace, w}});

    Ref series;  // unbound until the first cell is drawn
    f.line = 85;
    Ref ids_it = iter(call(builtins.enumerate, {ids}));
    while (Ref pair = next(ids_it)) {
        Ref n, id_name;
        unpack_two(pair, n, id_name);

        f.line = 86;
        Ref axis = length(col_titles) == 1 ? item(ax_columns, integer(0)) : item(ax_columns, n);

        f.line = 87;
        if (PyList_Check(dfs)) {
            f.line = 88;
            Ref frames = iter(dfs);
            while (Ref df = next(frames)) {
                f.line = 89;
                series = call(global(names._plot_column), {axis, df, id_name, name, plot_type});
                f.line = 88;
            }
        } else {
            f.line = 92;
            series = call(global(names._plot_column), {axis, dfs, id_name, name, plot_type});
        }

        f.line = 94;
        if (truth(compare(plot_type, attr(global(names.PlotType), names.CATEGORICAL), Py_EQ))) {
            f.line = 95;
            set_bottom_labels(axis, Py_True);
            f.line = 96;
            Ref set_xlabel = attr(axis, names.set_xlabel);
            call(set_xlabel, {index_name(series)});
            f.line = 97;
            call_method(attr(axis, names.xaxis), names.set_tick_params, {}, {{names.rotation, integer(90)}});
        }

        f.line = 99;
        if (truth(compare(plot_type, attr(global(names.PlotType), names.CONTINUOUS), Py_EQ))) {
            f.line = 100;
            if (truth(call_method(call_method(ax, names.get_subplotspec), names.is_last_row))) {
                f.line = 101;
                Ref set_xlabel = attr(axis, names.set_xlabel);
                call(set_xlabel, {index_name(series)});
            } else {
                f.line = 103;
                set_bottom_labels(axis, Py_False);
            }
            f.line = 104;
            if (share == attr(global(names.ShareSetting), names.PLOT).get()) {
                f.line = 105;
                call_method(axis, names.legend);
            }
            f.line = 106;
            if (share == attr(global(names.ShareSetting), names.AXES).get()) {
                f.line = 107;
                Ref label_outer = attr(axis, names._label_outer_yaxis);
                call(label_outer, {}, {{shape_test_keyword(label_outer), Py_False}});
            }
            f.line = 108;
            if (share == attr(global(names.ShareSetting), names.NONE).get() || truth(last_row)) {
                f.line = 109;
                set_bottom_labels(axis, Py_True);
                f.line = 110;
                Ref set_xlabel = attr(axis, names.set_xlabel);
                call(set_xlabel, {index_name(series)});
            }
        }
        f.line = 85;
    }
    return none();
}

// --- blocks of rows ---------------------------------------------------------

// Pairs the names with the row axes (the builtin zip: the shorter side ends
// the pairing) and draws one row of the given PlotType member per pair. The
// continuous block also flags every row named like its last name, handing on
// the comparison's own result. `line` is the loop's source line; the
// statements of its body follow it.
Ref plot_rows(Frame& f, PyObject* const* a, int line, PyObject* plot_type_member) {
    PyObject* dfs = a[0];
    PyObject* names_ = a[1];
    PyObject* ids = a[2];
    PyObject* axes = a[3];
    PyObject* share = a[4];
    const bool continuous = plot_type_member == names.CONTINUOUS;
    f.line = line;
    Ref rows = iter(call(builtins.zip, {names_, axes}));
    while (Ref pair = next(rows)) {
        Ref row_name, row_ax;
        unpack_two(pair, row_name, row_ax);
        Ref is_last_row;
        if (continuous) {
            f.line = line + 1;
            is_last_row = compare(row_name, item(names_, integer(-1)), Py_EQ);
        }
        f.line = continuous ? line + 2 : line + 1;
        Ref plot_row = global(names.plot_row);
        Ref plot_type = attr(global(names.PlotType), plot_type_member);
        if (continuous)
            call(plot_row, {dfs, row_name, ids, row_ax, share, plot_type}, {{names.last_row, is_last_row}});
        else
            call(plot_row, {dfs, row_name, ids, row_ax, share, plot_type});
        f.line = line;
    }
    return none();
}

Ref plot_continuous_time_series(Frame& f, PyObject* const* a, PyObject*) {
    return plot_rows(f, a, 136, names.CONTINUOUS);
}

Ref plot_categorical_time_series(Frame& f, PyObject* const* a, PyObject*) {
    return plot_rows(f, a, 166, names.CATEGORICAL);
}

// --- the driver ---------------------------------------------------------------

// Checks the frames against their meta, prepares a copy of each, fills in the
// columns and ids when none are given (printing a note for each), draws the
// continuous rows and then the categorical rows into one new figure sized by
// ids and columns, and shows it.
Ref plot_multi_index_dataframes(Frame& f, PyObject* const* a, PyObject*) {
    Ref dfs = Ref::borrow(a[0]);
    PyObject* df_meta = a[1];
    Ref columns_to_plot = Ref::borrow(a[2]);
    Ref categories_to_group_plots = Ref::borrow(a[3]);
    PyObject* share_setting = a[4];

    // One frame stands for a list of one.
    f.line = 260;
    if (is_instance(dfs, attr(global(names.pd), names.DataFrame))) {
        f.line = 261;
        Ref one = new_list();
        append(one, dfs);
        dfs = std::move(one);
    }

    f.line = 264;
    call(global(names._verify_df_meta_has_required_parameters_set), {df_meta});
    f.line = 265;
    call(global(names._verify_df_meta_applies_to_dfs), {df_meta, dfs});

    // The caller's frames are never handed to set_indices: each gets a copy.
    f.line = 267;
    {
        Ref prepared = new_list();
        Ref it = iter(dfs);
        while (Ref frame = next(it)) {
            Ref set_indices = attr(df_meta, names.set_indices);
            Ref copy = call_method(frame, names.copy);
            append(prepared, call(set_indices, {copy}));
        }
        dfs = std::move(prepared);
    }

    f.line = 270;
    if (!truth(columns_to_plot)) {
        f.line = 271;
        columns_to_plot = cast_to_list_of_str([&] { return attr(item(dfs, integer(0)), names.columns); });
        f.line = 272;
        Ref note = concat({names.note_columns_head, text(ssize(length(columns_to_plot))), names.note_columns_tail});
        call(builtins.print, {note});
    }

    f.line = 274;
    call(global(names._verify_columns_exist_in_df_meta), {df_meta, columns_to_plot});

    f.line = 277;
    if (!truth(categories_to_group_plots)) {
        // The cast spans two lines with its arguments on the second: they are
        // computed there, then the line goes back to the call of cast.
        f.line = 278;
        Ref cast = global(names.cast);
        f.line = 279;
        Ref list_of_str = item(global(names.List), reinterpret_cast<PyObject*>(&PyUnicode_Type));
        Ref get_level_values = attr(attr(item(dfs, integer(0)), names.index), names.get_level_values);
        Ref level = call(get_level_values, {global(names.ID_INDEX_IDX)});
        Ref ids = attr(call_method(level, names.unique), names.values);
        f.line = 278;
        categories_to_group_plots = call(cast, {list_of_str, ids});
        // The print spans two lines with its text on the second: the text is
        // built there, then the line goes back to the print itself.
        f.line = 282;
        Ref note = concat({names.note_categories_head, text(ssize(length(categories_to_group_plots))),
                           names.note_categories_tail});
        f.line = 281;
        call(builtins.print, {note});
    }

    f.line = 285;
    {
        Ref it = iter(dfs);
        while (Ref df = next(it)) {
            f.line = 286;
            call(global(names._verify_names_exist_in_df_index), {df, categories_to_group_plots});
            f.line = 285;
        }
    }

    f.line = 289;
    Ref categorical_metas, continuous_metas;
    unpack_two(call(global(names.categorical_or_continuous_values), {df_meta}), categorical_metas,
               continuous_metas);
    f.line = 291;
    Ref categorical_names = names_of(categorical_metas);
    f.line = 292;
    Ref continuous_names = names_of(continuous_metas);

    f.line = 294;
    Ref categorical_columns_to_plot = intersection(columns_to_plot, categorical_names);
    f.line = 295;
    Ref continuous_columns_to_plot = intersection(columns_to_plot, continuous_names);

    f.line = 300;
    call(global(names.set_plotting_style));

    // 5 inches across per id, 3 down per requested column.
    f.line = 302;
    Ref number_rows = ssize(length(columns_to_plot));
    f.line = 303;
    Ref number_columns = ssize(length(categories_to_group_plots));
    f.line = 304;
    Ref width = Ref::steal(PyNumber_Multiply(integer(5), number_columns));
    f.line = 305;
    Ref height = Ref::steal(PyNumber_Multiply(integer(3), number_rows));
    f.line = 306;
    Ref figsize = tuple({width, height});

    f.line = 308;
    Ref fig, ax;
    {
        Ref subplots = attr(global(names.plt), names.subplots);
        Ref one = integer(1);
        unpack_two(call(subplots, {one, one}, {{names.figsize, figsize}}), fig, ax);
    }

    f.line = 310;
    Ref row_titles = Ref::steal(PyNumber_Add(categorical_columns_to_plot, continuous_columns_to_plot));

    f.line = 312;
    Ref axes_grid = global(names.axes_grid);
    f.line = 314;
    Ref hspace = Ref::steal(PyFloat_FromDouble(0.3));
    f.line = 315;
    Ref col_titles = new_list();
    append(col_titles, names.empty);
    f.line = 312;
    Ref axs = call(axes_grid, {ax},
                   {{names.row_titles, row_titles}, {names.col_titles, col_titles}, {names.hspace, hspace}});

    // The leading cells take the continuous rows, the rest the categorical ones.
    f.line = 321;
    {
        Ref wrapper = global(names.plot_continuous_time_series);
        f.line = 325;
        Ref cells = Ref::steal(PySequence_GetSlice(axs, 0, length(continuous_columns_to_plot)));
        f.line = 321;
        call(wrapper, {dfs, continuous_columns_to_plot, categories_to_group_plots, cells, share_setting});
    }
    f.line = 329;
    {
        Ref wrapper = global(names.plot_categorical_time_series);
        f.line = 333;
        Ref cells = Ref::steal(PySequence_GetSlice(axs, length(continuous_columns_to_plot), PY_SSIZE_T_MAX));
        f.line = 329;
        call(wrapper, {dfs, categorical_columns_to_plot, categories_to_group_plots, cells, share_setting});
    }

    f.line = 337;
    call_method(global(names.plt), names.tight_layout);
    f.line = 338;
    call_method(global(names.plt), names.show);
    return none();
}

}  // namespace

constexpr FuncDef plot_column_def = FuncDef("_plot_column", 34, plot_column)
    .param("axis")
    .param("df")
    .param("id_name")
    .param("plot_name")
    .param("plot_type");

constexpr FuncDef plot_continuous_def = FuncDef("_plot_continuous", 46, plot_continuous)
    .param("axis")
    .param("df")
    .param("id_name")
    .param("plot_name");

constexpr FuncDef plot_categorical_def = FuncDef("_plot_categorical", 52, plot_categorical)
    .param("axis")
    .param("df")
    .param("id_name")
    .param("plot_name");

constexpr FuncDef plot_row_def = FuncDef("plot_row", 58, plot_row)
    .param("dfs", "Union[pd.DataFrame, List[pd.DataFrame]]")
    .param("name", "str")
    .param("ids", "List[str]")
    .param("ax", "Union[Axes, SubplotBase]")
    .param("share", "ShareSetting")
    .param("plot_type", "PlotType")
    .param("last_row", "bool", Need::optional);

constexpr FuncDef plot_continuous_time_series_def = FuncDef("plot_continuous_time_series", 116, plot_continuous_time_series)
    .param("dfs", "Union[pd.DataFrame, List[pd.DataFrame]]")
    .param("names", "List[str]")
    .param("ids", "List[str]")
    .param("axes", "List[Axes]")
    .param("share", "ShareSetting")
    .with_doc(
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
        "    ");

constexpr FuncDef plot_categorical_time_series_def = FuncDef("plot_categorical_time_series", 159, plot_categorical_time_series)
    .param("dfs", "Union[pd.DataFrame, List[pd.DataFrame]]")
    .param("names", "List[str]")
    .param("ids", "List[str]")
    .param("axes", "List[Axes]")
    .param("share", "ShareSetting");

constexpr FuncDef plot_multi_index_dataframes_def = FuncDef("plot_multi_index_dataframes", 235, plot_multi_index_dataframes)
    .param("dfs", "Union[DataFrame, List[DataFrame]]")
    .param("df_meta", "DataFrameMeta")
    .param("columns_to_plot", "List[str]", Need::optional)
    .param("categories_to_group_plots", "List[str]", Need::optional)
    .param("share_setting", "ShareSetting", Need::optional)
    .param("forecast_from", "str", Need::optional)
    .with_doc(
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
        "    ");

}  // namespace series
