// The module frame of kestrune.testing.plotting.series: its definition, the
// create and exec steps of multi-phase initialisation, and the module body
// (imports, logger, the two enumerations, the fifteen functions).
#include "compat.hpp"  // Python.h, before any standard header
#include "functions.hpp"
#include "runtime.hpp"
#include "traceback.hpp"

#include <cstdio>
#include <new>

namespace series {

namespace {

// The process's one module object (a strong reference while loaded) and the
// interpreter that first created it.
PyObject* the_module = nullptr;
bool interpreter_recorded = false;
int64_t interpreter_id = -1;
// Set when that interpreter has been finalised: an embedding program may
// initialise a new main interpreter, which gets the same identifier, but the
// module's objects died with the old one and its dependencies (numpy) cannot
// be initialised twice in one process.
bool interpreter_finalized = false;

const char* const kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

const char* const kInitEntry = "init kestrune.testing.plotting.series";

void set_global(PyObject* name, PyObject* value) { require(PyDict_SetItem(module_dict, name, value)); }

// True when a module in sys.modules is still running its own body. Reading
// `__spec__` may run Python code, so the caller holds its own reference.
bool is_initializing(PyObject* module) {
    Ref spec = Ref::maybe(PyObject_GetAttr(module, names.__spec__));
    Ref flag = spec ? Ref::maybe(PyObject_GetAttr(spec, names._initializing)) : Ref();
    int result = flag ? PyObject_IsTrue(flag) : 0;
    if (result < 0 || !flag) PyErr_Clear();
    return result > 0;
}

// `import name` (or `import a.b as x`, which binds the submodule itself).
// A module already in sys.modules is taken as it is, unless it is still
// initialising; otherwise the import system runs with the module dictionary
// as globals.
Ref import_module(PyObject* name, PyObject* submodule_attr = nullptr) {
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    Ref found = Ref::borrow(PyDict_GetItemWithError(modules, name));
    if (!found && PyErr_Occurred()) throw Error();
    if (found && found.get() != Py_None && !is_initializing(found)) return found;

    Ref locals = new_dict();
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name, module_dict, locals, nullptr, 0));
    if (!submodule_attr) return top;
    found = Ref::borrow(PyDict_GetItemWithError(modules, name));
    if (found && found.get() != Py_None) return found;
    if (PyErr_Occurred()) throw Error();
    Ref sub = optional_attr(top, submodule_attr);
    if (!sub) raise(PyExc_ModuleNotFoundError, "No module named '%U'", name);
    return sub;
}

// `from name import a, b, ...` at the given level, binding each name.
void import_from(PyObject* name, std::initializer_list<PyObject*> imported, int level = 0) {
    Ref fromlist = new_list();
    for (PyObject* n : imported) append(fromlist, n);
    Ref locals = new_dict();
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, module_dict, locals, fromlist, level));
    for (PyObject* n : imported) {
        Ref value = optional_attr(module, n);
        if (!value) raise(PyExc_ImportError, "cannot import name %S", n);
        set_global(n, value);
    }
}

struct Member {
    PyObject* name;
    long value;
    int line;
};

// The metaclass of a class with these bases: the most derived of their types,
// or `type` without bases; a TypeError when no type derives from all others.
Ref most_derived_metaclass(PyObject* bases) {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

// Creates an enumeration class on `enum.Enum` the way a class statement does:
// resolve the bases, pick the metaclass, fill the namespace that its
// __prepare__ gives, then call the metaclass.
void define_enum(Frame& f, int line, PyObject* class_name, std::initializer_list<Member> members) {
    f.line = line;
    Ref enum_class = attr(global(names.enum_), names.Enum);
    Ref orig_bases = tuple({enum_class.get()});

    // __mro_entries__ of a base that is not a class may replace it.
    Ref bases = Ref::borrow(orig_bases.get());
    {
        Ref resolved = new_list();
        bool changed = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(orig_bases.get()); ++i) {
            PyObject* base = PyTuple_GET_ITEM(orig_bases.get(), i);
            Ref entries = PyType_Check(base) ? Ref() : optional_attr(base, names.__mro_entries__);
            if (entries) {
                Ref replaced = call(entries, {orig_bases.get()});
                if (!PyTuple_Check(replaced.get())) raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
                require(PyList_SetSlice(resolved, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, replaced));
                changed = true;
            } else {
                append(resolved, base);
            }
        }
        if (changed) bases = Ref::steal(PyList_AsTuple(resolved));
    }

    Ref meta = most_derived_metaclass(bases);

    Ref prepare = optional_attr(meta, names.__prepare__);
    Ref namespace_ = prepare ? call(prepare, {class_name, bases.get()}) : new_dict();

    // The namespace may be a dict subclass that works through __setitem__
    // (enum's does), so entries go in through the mapping protocol.
    require(PyObject_SetItem(namespace_, names.__module__, names.module_name));
    require(PyObject_SetItem(namespace_, names.__qualname__, class_name));
    for (const Member& m : members) {
        f.line = m.line;
        Ref value = integer(m.value);
        require(PyObject_SetItem(namespace_, m.name, value));
    }
    f.line = line;
    if (bases.get() != orig_bases.get()) require(PyObject_SetItem(namespace_, names.__orig_bases__, orig_bases));
    Ref cls = call(meta, {class_name, bases.get(), namespace_.get()});
    set_global(class_name, cls);
}

void define_function(Frame& f, const FuncDef& def, std::initializer_list<PyObject*> defaults = {}) {
    f.line = def.line;
    Ref fn = make_function(def, defaults);
    require(PyDict_SetItemString(module_dict, def.name, fn));
}

// The statements of the module, in source order, each at its line.
void run_module_body(Frame& f) {
    f.line = 1;
    set_global(names.enum_, import_module(names.enum_));
    f.line = 2;
    set_global(names.logging, import_module(names.logging));
    f.line = 3;
    import_from(names.typing, {names.List, names.Union, names.cast});
    f.line = 5;
    set_global(names.plt, import_module(names.matplotlib_pyplot, names.pyplot));
    f.line = 6;
    set_global(names.np, import_module(names.numpy));
    f.line = 7;
    set_global(names.pd, import_module(names.pandas));
    f.line = 8;
    set_global(names.sns, import_module(names.seaborn));
    f.line = 9;
    import_from(names.matplotlib, {names.cm});
    f.line = 10;
    import_from(names.matplotlib_axes, {names.Axes, names.SubplotBase});
    f.line = 11;
    import_from(names.pandas, {names.DataFrame});
    f.line = 13;
    import_from(names.kestrune, {names.DataFrameMeta});
    f.line = 14;
    import_from(names.kestrune_insight_dataset, {names.categorical_or_continuous_values});
    f.line = 15;
    import_from(names.kestrune_testing_plotting_style, {names.set_plotting_style});
    f.line = 17;
    import_from(names.util, {names.axes_grid}, 3);

    f.line = 19;
    {
        Ref get_logger = attr(global(names.logging), names.getLogger);
        Ref module_name = global(names.__name__);
        set_global(names.logger, call(get_logger, {module_name.get()}));
    }

    define_enum(f, 22, names.ShareSetting,
                {{names.NONE, 0, 23}, {names.PLOT, 1, 24}, {names.X_AXIS, 2, 25}, {names.AXES, 3, 26}});
    define_enum(f, 29, names.PlotType, {{names.CONTINUOUS, 0, 30}, {names.CATEGORICAL, 1, 31}});

    define_function(f, plot_column_def);
    define_function(f, plot_continuous_def);
    define_function(f, plot_categorical_def);
    define_function(f, plot_row_def, {Py_False});
    define_function(f, plot_continuous_time_series_def);
    define_function(f, plot_time_series_def);
    define_function(f, plot_series_def, {Py_None});
    define_function(f, plot_categorical_time_series_def);
    define_function(f, sequence_index_plot_def, {names.YlGn});
    define_function(f, sequence_line_plot_def);
    define_function(f, verify_df_meta_applies_to_dfs_def);
    define_function(f, verify_df_meta_has_required_parameters_set_def);
    define_function(f, verify_columns_exist_in_df_meta_def);
    f.line = 223;
    {
        Ref zero = integer(0);
        set_global(names.ID_INDEX_IDX, zero);
    }
    define_function(f, verify_names_exist_in_df_index_def);
    {
        // The default of share_setting is evaluated once, here.
        f.line = 240;
        Ref axes_member = attr(global(names.ShareSetting), names.AXES);
        define_function(f, plot_multi_index_dataframes_def, {Py_None, Py_None, axes_member.get(), Py_None});
    }

    f.line = 1;
    set_global(names.__test__, new_dict());
}

// Warns when the interpreter's version is not the one the module was built for.
void check_version() {
    char compiled[8], running[4];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    std::snprintf(running, sizeof running, "%.3s", Py_GetVersion());
    if (compiled[0] == running[0] && compiled[2] == running[2]) return;
    char message[200];
    std::snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, "kestrune.testing.plotting.series", running);
    require(PyErr_WarnEx(nullptr, message, 1));
}

// Looks the five builtins up, then publishes them together: a missing one
// leaves the slots as they were.
void fetch_builtins() {
    const char* wanted[] = {"ValueError", "enumerate", "zip", "range", "print"};
    PyObject** slots[] = {&builtins.ValueError, &builtins.enumerate, &builtins.zip, &builtins.range, &builtins.print};
    Ref found[5];
    for (size_t i = 0; i < 5; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(wanted[i]));
        PyObject* v = PyDict_GetItemWithError(builtins_dict, name);
        if (!v) {
            if (PyErr_Occurred()) throw Error();
            raise(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        found[i] = Ref::borrow(v);
    }
    // What an earlier attempt left is released once every slot is filled.
    Ref previous[5];
    for (size_t i = 0; i < 5; ++i) {
        previous[i] = Ref::maybe(*slots[i]);
        *slots[i] = found[i].release();
    }
}

// Takes a new reference into a process-wide slot, releasing what it held.
void keep(PyObject*& slot, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(slot, value);
}

// `registered` tells whether the steps put the module into sys.modules under
// its canonical name, so that a failure can take it out again.
void exec_steps(Frame& f, PyObject* module, bool& registered) {
    // Recorded first, so that a failure below can release it.
    Py_INCREF(module);
    the_module = module;
    // The dictionary of the latest attempt stays with the process, like the
    // functions' globals; an earlier, failed attempt's is let go here.
    keep(module_dict, PyModule_GetDict(module));

    Ref builtins_module = Ref::borrow(require(PyImport_AddModule("builtins")));
    keep(builtins_dict, PyModule_GetDict(builtins_module));
    require(PyDict_SetItem(module_dict, names.__builtins__, builtins_module));

    check_version();

    init_names();
    init_function_type();

    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    if (!PyDict_GetItemWithError(modules, names.module_name)) {
        if (PyErr_Occurred()) throw Error();
        require(PyDict_SetItem(modules, names.module_name, module));
        registered = true;
    }

    fetch_builtins();
    run_module_body(f);
}

// --- the two initialisation steps -------------------------------------------

void note_finalization() { interpreter_finalized = true; }

PyObject* note_finalization_hook(PyObject*, PyObject*) {
    note_finalization();
    Py_RETURN_NONE;
}

PyMethodDef finalization_hook_def = {"_note_finalization", note_finalization_hook, METH_NOARGS, nullptr};

// Whether the interpreter tells us when it is finalised.
bool exit_hook_registered = false;

// Asks to be told when the recorded interpreter is finalised: through
// Py_AtExit, or, when its table of C hooks is full, through the atexit
// module. Fails with the pending exception when neither takes the hook; the
// import then fails, rather than go on without the guard, and the next import
// asks again.
void register_exit_hook() {
    if (exit_hook_registered) return;
    if (Py_AtExit(note_finalization) != 0) {
        Ref hook = Ref::steal(PyCFunction_New(&finalization_hook_def, nullptr));
        Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
        call_method(atexit, names.register_, {hook.get()});
    }
    exit_hook_registered = true;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(compat::current_interpreter());
    if (!interpreter_recorded) {
        if (current == -1) return nullptr;
        interpreter_id = current;
        interpreter_recorded = true;
    } else if (current != interpreter_id || interpreter_finalized) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return nullptr;
    }

    try {
        init_names();
        register_exit_hook();
        if (the_module) return Ref::borrow(the_module).release();
        Ref name = attr(spec, names.name);
        Ref module = Ref::steal(PyModule_NewObject(name));
        PyObject* dict = PyModule_GetDict(module);
        struct Copy {
            PyObject* from;
            PyObject* to;
            bool skip_none;
        } copies[] = {
            {names.loader, names.__loader__, false},
            {names.origin, names.__file__, false},
            {names.parent, names.__package__, false},
            {names.submodule_search_locations, names.__path__, true},
        };
        for (const Copy& c : copies) {
            Ref value = optional_attr(spec, c.from);
            if (!value || (c.skip_none && value.get() == Py_None)) continue;
            require(PyDict_SetItem(dict, c.to, value));
        }
        return module.release();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int exec_step(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'series' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Frame f{1};
    bool registered = false;
    try {
        exec_steps(f, module, registered);
        return 0;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback(kInitEntry, f.line);
    if (registered) {
        // Take out the entry the steps made (the import system removes only
        // its own), unless something else has replaced it meanwhile.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* modules = PyImport_GetModuleDict();
        if (PyDict_GetItemWithError(modules, names.module_name) == module) PyDict_DelItem(modules, names.module_name);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    Py_CLEAR(the_module);
    return -1;
}

// The struct initialisers below name only the fields they set; -Wextra's
// missing-field warning would fire on the C API's own head macros.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "series",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // no method table: the functions are objects made by the exec step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};
#pragma GCC diagnostic pop

}  // namespace

}  // namespace series

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_series(void) {
    return PyModuleDef_Init(&series::module_def);
}
