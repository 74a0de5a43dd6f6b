// The checks that the multi-index frame driver runs on its input before
// anything is drawn. Each returns None or raises ValueError with a fixed text.
//
// Each `raise` statement spans two lines, its message written on the second:
// the message is built at that later line (an error while formatting a value
// reports it), and the line goes back to the `raise` for the raise itself.
#include "functions.hpp"
#include "runtime.hpp"

namespace series {

namespace {

// Every frame has exactly the meta's columns; the first frame that differs is
// reported, with the meta's set first and the frame's second.
Ref verify_df_meta_applies_to_dfs(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* df_meta = a[0];
    PyObject* dfs = a[1];
    f.line = 194;
    Ref allowed_columns = new_set(cast_to_list_of_str([&] { return attr(df_meta, names.columns); }));
    f.line = 195;
    Ref it = iter(dfs);
    while (Ref df = next(it)) {
        f.line = 196;
        Ref df_columns = new_set(attr(df, names.columns));
        f.line = 197;
        if (truth(compare(df_columns, allowed_columns, Py_NE))) {
            f.line = 199;
            Ref message = concat({names.msg_meta_columns, text(allowed_columns), names.msg_frame_columns,
                                  text(df_columns), names.full_stop});
            f.line = 198;
            raise_value_error(message);
        }
        f.line = 195;
    }
    return none();
}

// The meta names its columns and has child values; columns are tested first.
Ref verify_df_meta_has_required_parameters_set(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* df_meta = a[0];
    f.line = 205;
    // `columns` is read anew for the emptiness test, as the property may build
    // a fresh object on each access.
    if (attr(df_meta, names.columns).get() == Py_None ||
        truth(attr(attr(df_meta, names.columns), names.attr_empty))) {
        f.line = 207;
        Ref message = concat({names.msg_no_column_values, text(df_meta)});
        f.line = 206;
        raise_value_error(message);
    }
    f.line = 209;
    if (!truth(attr(df_meta, names.children))) {
        f.line = 211;
        Ref message = concat({names.msg_no_child_values, text(df_meta)});
        f.line = 210;
        raise_value_error(message);
    }
    return none();
}

// Every requested column is named by the meta; only the missing ones are
// reported, each once.
Ref verify_columns_exist_in_df_meta(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* df_meta = a[0];
    PyObject* columns = a[1];
    f.line = 215;
    Ref df_meta_columns = cast_to_list_of_str([&] { return attr(df_meta, names.columns); });
    f.line = 216;
    Ref requested = new_set(columns);
    Ref known = new_set(df_meta_columns);
    Ref missing = Ref::steal(PyNumber_Subtract(requested, known));
    f.line = 217;
    if (length(missing) > 0) {
        f.line = 219;
        Ref message = concat({names.msg_columns_not_in_meta, text(missing)});
        f.line = 218;
        raise_value_error(message);
    }
    return none();
}

// Every requested id occurs in the id level of the frame's row index.
Ref verify_names_exist_in_df_index(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* df = a[0];
    PyObject* names_ = a[1];
    f.line = 227;
    Ref requested = new_set(names_);
    Ref get_level_values = attr(attr(df, names.index), names.get_level_values);
    Ref ids = new_set(call(get_level_values, {global(names.ID_INDEX_IDX)}));
    Ref missing = Ref::steal(PyNumber_Subtract(requested, ids));
    f.line = 228;
    if (length(missing) > 0) {
        f.line = 230;
        Ref message = concat({names.msg_names_not_in_index, text(missing)});
        f.line = 229;
        raise_value_error(message);
    }
    return none();
}

}  // namespace

constexpr FuncDef verify_df_meta_applies_to_dfs_def = FuncDef("_verify_df_meta_applies_to_dfs", 185, verify_df_meta_applies_to_dfs)
    .param("df_meta", "DataFrameMeta")
    .param("dfs", "List[DataFrame]")
    .with_doc(
        "\n"
        "    Verify that the inputted dataframes all correspond to the df_meta object inputted\n"
        "    Args:\n"
        "        df_meta:\n"
        "        dfs:\n"
        "\n"
        "    Returns: Void or Error\n"
        "    ");

constexpr FuncDef verify_df_meta_has_required_parameters_set_def = FuncDef("_verify_df_meta_has_required_parameters_set", 204, verify_df_meta_has_required_parameters_set)
    .param("df_meta", "DataFrameMeta");

constexpr FuncDef verify_columns_exist_in_df_meta_def = FuncDef("_verify_columns_exist_in_df_meta", 214, verify_columns_exist_in_df_meta)
    .param("df_meta", "DataFrameMeta")
    .param("columns", "List[str]");

constexpr FuncDef verify_names_exist_in_df_index_def = FuncDef("_verify_names_exist_in_df_index", 226, verify_names_exist_in_df_index)
    .param("df", "DataFrame")
    .param("names", "List[str]");

}  // namespace series
