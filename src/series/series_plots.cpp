// Plots of one series or one sequence onto one axes.
#include "functions.hpp"
#include "runtime.hpp"

namespace series {

namespace {

// `cm.get_cmap` wherever `cm` offers it (matplotlib up to 3.10, where it is
// deprecated from 3.9, and stand-ins). Where it is gone, the `get_cmap` of
// `matplotlib.pyplot`, imported here: it keeps the old getter's behaviour
// (None gives the default map; an unknown name is refused as a value for
// "name"), which the colormap registry's own `get_cmap` does not.
Ref colormap_getter(PyObject* cm) {
    Ref get_cmap = optional_attr(cm, names.get_cmap);
    if (get_cmap) return get_cmap;
    Ref pyplot = Ref::steal(PyImport_Import(names.matplotlib_pyplot));
    return attr(pyplot, names.get_cmap);
}

// Draws the values against the times: a line for signed integers and floats,
// a strip of coloured bands for every other dtype kind. The two plotters are
// read from the module namespace at each call, so rebinding them takes effect.
Ref plot_time_series(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* x = a[0];
    PyObject* t = a[1];
    PyObject* ax = a[2];
    f.line = 143;
    Ref kind = attr(attr(x, names.dtype), names.kind);
    f.line = 144;
    bool numeric = truth(compare(kind, names.kind_int, Py_EQ)) ||
                   truth(compare(kind, names.kind_float, Py_EQ));
    if (numeric) {
        f.line = 145;
        call(global(names.sequence_line_plot), {}, {{names.x, x}, {names.t, t}, {names.ax, ax}});
    } else {
        f.line = 147;
        call(global(names.sequence_index_plot), {}, {{names.x, x}, {names.t, t}, {names.ax, ax}});
    }
    return none();
}

// Draws the numeric entries of a series against their index labels; entries
// that cannot be read as numbers are dropped. Fewer than two points draw nothing.
Ref plot_series(Frame& f, PyObject* const* a, PyObject* kwargs) {
    PyObject* sr = a[0];
    f.line = 152;
    Ref ax = truth(a[1]) ? Ref::borrow(a[1]) : call_method(global(names.plt), names.gca);
    f.line = 153;
    Ref to_numeric = attr(global(names.pd), names.to_numeric);
    Ref x = call_method(call(to_numeric, {sr}, {{names.errors, names.coerce}}), names.dropna);
    f.line = 154;
    if (length(x) <= 1) {
        f.line = 155;
        return none();
    }
    f.line = 156;
    Ref plot = attr(ax, names.plot);
    Ref args = tuple({attr(x, names.index), attr(x, names.values)});
    // The caller's extra keywords go through unchanged, in a mapping of their own.
    Ref kws = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    Ref::steal(PyObject_Call(plot, args, kws));
    return none();
}

// Draws one band per element of x, from position i to i + 1 and from 0 to 2,
// coloured by the rank of the element's value among the distinct values.
Ref sequence_index_plot(Frame& f, PyObject* const* a, PyObject*) {
    PyObject* x = a[0];
    PyObject* ax = a[2];
    PyObject* cmap_name = a[3];
    f.line = 171;
    Ref values = call(attr(global(names.np), names.unique), {x});
    f.line = 172;
    Ref val2idx = new_dict();
    {
        Ref it = iter(call(builtins.enumerate, {values}));
        while (Ref pair = next(it)) {
            Ref i, val;
            unpack_two(pair, i, val);
            require(PyDict_SetItem(val2idx, val, i));
        }
    }
    f.line = 174;
    Ref cmap = call(colormap_getter(global(names.cm)), {cmap_name});
    f.line = 175;
    Ref colors = new_list();
    {
        Ref zero = integer(0);
        Ref it = iter(call(builtins.range, {item(attr(values, names.shape), zero)}));
        while (Ref j = next(it)) {
            Ref n = item(attr(values, names.shape), zero);
            Ref point = Ref::steal(PyNumber_TrueDivide(j, n));
            append(colors, call(cmap, {point}));
        }
    }
    f.line = 177;
    Ref it = iter(call(builtins.enumerate, {x}));
    Ref one = integer(1);
    Ref top = integer(2);
    while (Ref pair = next(it)) {
        Ref i, val;
        unpack_two(pair, i, val);
        f.line = 178;
        Ref fill_between = attr(ax, names.fill_between);
        Ref span = tuple({i, Ref::steal(PyNumber_Add(i, one))});
        // A plain subscript, so a value missing from the map raises the usual KeyError.
        Ref colour = item(colors, item(val2idx, val));
        call(fill_between, {span, top}, {{names.facecolor, colour}});
        f.line = 177;
    }
    f.line = 180;
    call_method(call_method(ax, names.get_yaxis), names.set_visible, {Py_False});
    return none();
}

// Draws the values (parameter x) on the vertical axis against the times t.
Ref sequence_line_plot(Frame& f, PyObject* const* a, PyObject*) {
    f.line = 182;
    call(attr(global(names.sns), names.lineplot), {}, {{names.x, a[1]}, {names.y, a[0]}, {names.ax, a[2]}});
    return none();
}

}  // namespace

constexpr FuncDef plot_time_series_def = FuncDef("plot_time_series", 142, plot_time_series)
    .param("x")
    .param("t")
    .param("ax");

constexpr FuncDef plot_series_def = FuncDef("plot_series", 151, plot_series)
    .param("sr", "pd.Series")
    .param("ax", "Union[Axes, SubplotBase]", Need::optional)
    .with_var_keywords();

constexpr FuncDef sequence_index_plot_def = FuncDef("sequence_index_plot", 170, sequence_index_plot)
    .param("x")
    .param("t")
    .param("ax", "Axes")
    .param("cmap_name", "str", Need::optional);

constexpr FuncDef sequence_line_plot_def = FuncDef("sequence_line_plot", 181, sequence_line_plot)
    .param("x")
    .param("t")
    .param("ax");

}  // namespace series
