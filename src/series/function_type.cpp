// The function object type, its argument binder and the dispatcher.
#include "function_type.hpp"

#include <structmember.h>

#include <cstdio>
#include <new>

#include "compat.hpp"
#include "runtime.hpp"
#include "traceback.hpp"

// The static type object below is initialised from the C API's head macro
// alone and filled in by init_function_type(); -Wextra would otherwise flag
// each of the dozens of PyTypeObject fields that the macro leaves out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace series {

namespace {

struct FunctionObject {
    PyObject_HEAD
    compat::VectorcallFunc vectorcall;  // the entry of calls with an argument array (3.8+)
    const FuncDef* def;
    PyObject* varnames;              // the parameter names, a tuple of interned str
    PyObject* defaults[kMaxParams];  // by parameter position; NULL for a required one
    PyObject* defaults_tuple;        // __defaults__, built on first access
    PyObject* annotations;           // __annotations__; NULL until first access when unannotated
    PyObject* globals;
    PyObject* dict;
    PyObject* name;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* weakreflist;
    char entry_name[96];             // the name of its traceback entries
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// --- binding -------------------------------------------------------------

// The count message shared by too many, too few and missing arguments.
[[noreturn]] void count_error(const FuncDef& def, const char* word, Py_ssize_t bound, Py_ssize_t given) {
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, word, bound,
          bound == 1 ? "" : "s", given);
}

bool same_name(PyObject* keyword, PyObject* param) {
    if (keyword == param) return true;
    return PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, param) == 0;
}

// Binds positional values `args[0:nargs]` and keyword values `args[nargs:]`
// named by `kwnames` to the parameters of `fn`. `bound` receives one borrowed
// value per parameter; `kwargs` the new **kwargs dict where the function has
// one. Keeps its bookkeeping on the stack: a parameter consumes at most one
// keyword, so at most kMaxParams keywords are ever consumed.
void bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound,
          Ref& kwargs) {
    const FuncDef& def = *fn->def;
    const Py_ssize_t n = def.nparams, required = def.nrequired;
    const bool has_defaults = required < n;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > n) count_error(def, has_defaults ? "at most" : "exactly", n, nargs);
    if (nkw == 0 && nargs < required) count_error(def, has_defaults ? "at least" : "exactly", required, nargs);

    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    PyObject* params = fn->varnames;
    Py_ssize_t consumed[kMaxParams];
    int nconsumed = 0;
    auto is_consumed = [&](Py_ssize_t k) {
        for (int c = 0; c < nconsumed; ++c)
            if (consumed[c] == k) return true;
        return false;
    };
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* param = PyTuple_GET_ITEM(params, i);
        bound[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!is_consumed(k) && same_name(PyTuple_GET_ITEM(kwnames, k), param)) {
                consumed[nconsumed++] = k;
                bound[i] = args[nargs + k];
                break;
            }
        }
        if (!bound[i]) {
            if (i < required) count_error(def, has_defaults ? "at least" : "exactly", required, i);
            bound[i] = fn->defaults[i];
        }
    }

    if (def.var_keywords) kwargs = new_dict();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (is_consumed(k)) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (same_name(key, PyTuple_GET_ITEM(params, i)))
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
        }
        if (!def.var_keywords)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
        require(PyDict_SetItem(kwargs, key, args[nargs + k]));
    }
}

// Binds, type-tests and runs one call; the single place where the C++
// exception of a failed C API call is turned back into a NULL return.
PyObject* invoke(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FuncDef& def = *fn->def;
    PyObject* bound[kMaxParams];
    Ref kwargs;
    try {
        bind(fn, args, nargs, kwnames, bound, kwargs);
    } catch (const Error&) {
        add_traceback(fn->entry_name, def.line);
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(fn->entry_name, def.line);
        return nullptr;
    }

    if (def.str_param >= 0) {
        PyObject* v = bound[def.str_param];
        if (v != Py_None && Py_TYPE(v) != &PyUnicode_Type) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         def.params[def.str_param], "str", Py_TYPE(v)->tp_name);
            return nullptr;
        }
    }

    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Frame frame{def.line};
    PyObject* result = nullptr;
    try {
        result = def.body(frame, bound, kwargs.get()).release();
    } catch (const Error&) {
        add_traceback(fn->entry_name, frame.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(fn->entry_name, frame.line);
    }
    Py_LeaveRecursiveCall();
    return result;
}

// The argument array of a call that arrives as a tuple and a dict: on the
// stack for the usual call, from the raw allocator (which never runs a
// garbage collection) for a very long one. It owns a reference to each value,
// since the body may change the caller's dict while it runs.
class ArgumentArray {
public:
    explicit ArgumentArray(Py_ssize_t capacity)
        : data_(capacity <= kInline ? inline_
                                    : static_cast<PyObject**>(PyMem_RawMalloc(sizeof(PyObject*) * size_t(capacity)))),
          capacity_(capacity) {}
    ArgumentArray(const ArgumentArray&) = delete;
    ArgumentArray& operator=(const ArgumentArray&) = delete;
    ~ArgumentArray() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
        if (data_ != inline_) PyMem_RawFree(data_);
    }
    explicit operator bool() const { return data_ != nullptr; }
    // Appends a value; false when the array is full.
    bool push(PyObject* v) {
        if (size_ == capacity_) return false;
        Py_INCREF(v);
        data_[size_++] = v;
        return true;
    }
    PyObject* const* get() const { return data_; }

private:
    static constexpr Py_ssize_t kInline = 16;
    PyObject* inline_[kInline];
    PyObject** data_;
    Py_ssize_t capacity_;
    Py_ssize_t size_ = 0;
};

// The ordinary call path of interpreters without vectorcall: an argument
// tuple and maybe a keyword dict. The dict may be the caller's own, so it is
// only read: its keys become a tuple of names and its values follow the
// positional ones in one array.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kw) {
    FunctionObject* fn = as_function(self);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kw || PyDict_GET_SIZE(kw) == 0) return invoke(fn, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    if (!PyArg_ValidateKeywordArguments(kw)) return nullptr;

    Ref kwnames = Ref::maybe(PyTuple_New(PyDict_GET_SIZE(kw)));
    if (!kwnames) return nullptr;
    // Allocating the tuple may have run a garbage collection whose finalisers
    // changed the dict; from here on nothing runs Python code until the call.
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames.get());
    if (PyDict_GET_SIZE(kw) != nkw) {
        PyErr_Format(PyExc_TypeError, "%.200s() keyword arguments changed size while the call was set up",
                     fn->def->name);
        return nullptr;
    }
    if (!PyArg_ValidateKeywordArguments(kw)) return nullptr;

    ArgumentArray values(nargs + nkw);
    if (!values) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) values.push(PyTuple_GET_ITEM(args, i));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kw, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k++, key);
        values.push(value);
    }
    return invoke(fn, values.get(), nargs, kwnames);
}

// The entry of calls with an argument array (3.8+).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (compat::kEntryChecksKeywordStrings && kwnames) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return nullptr;
            }
        }
    }
    return invoke(as_function(self), args, compat::vector_nargs(nargsf), kwnames);
}

// --- the type ------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    for (PyObject* d : fn->defaults) Py_VISIT(d);
    Py_VISIT(fn->varnames);
    Py_VISIT(fn->defaults_tuple);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->name);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->code);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    for (PyObject*& d : fn->defaults) Py_CLEAR(d);
    Py_CLEAR(fn->varnames);
    Py_CLEAR(fn->defaults_tuple);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->code);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// __defaults__ and __annotations__ are built on first access. Allocating the
// new object can run a garbage collection, and with it finalisers that read
// the same attribute and fill the cache first: the cache is tested again
// before the new object is stored, and the first one stored is kept.
PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    const FuncDef& def = *fn->def;
    if (def.nrequired == def.nparams) Py_RETURN_NONE;
    if (!fn->defaults_tuple) {
        Ref t = Ref::maybe(PyTuple_New(def.nparams - def.nrequired));
        if (!t) return nullptr;
        for (int i = def.nrequired; i < def.nparams; ++i) {
            Py_INCREF(fn->defaults[i]);
            PyTuple_SET_ITEM(t.get(), i - def.nrequired, fn->defaults[i]);
        }
        if (!fn->defaults_tuple) fn->defaults_tuple = t.release();
    }
    Py_INCREF(fn->defaults_tuple);
    return fn->defaults_tuple;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations) {
        Ref d = Ref::maybe(PyDict_New());
        if (!d) return nullptr;
        if (!fn->annotations) fn->annotations = d.release();
    }
    Py_INCREF(fn->annotations);
    return fn->annotations;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// `__annotate__(format)` of deferred annotations: the annotations are strings
// already, so the value (1), forward-reference (3) and string (4) formats all
// give a new dict of them. Format 2 (values with fake globals) is for the
// compiler's own annotate functions; like any other it is not implemented.
PyObject* annotate(PyObject* self, PyObject* format) {
    const long f = PyLong_AsLong(format);
    if (f == -1 && PyErr_Occurred()) return nullptr;
    if (f != 1 && f != 3 && f != 4) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    Ref annotations = Ref::maybe(get_annotations(self, nullptr));
    return annotations ? PyDict_Copy(annotations) : nullptr;
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O, nullptr};

// None for a function without annotations, as for a Python function.
PyObject* get_annotate(PyObject* self, void*) {
    Ref annotations = Ref::maybe(get_annotations(self, nullptr));
    if (!annotations) return nullptr;
    if (PyDict_GET_SIZE(annotations.get()) == 0) Py_RETURN_NONE;
    return PyCFunction_NewEx(&annotate_def, self, nullptr);
}

// Pickled by reference, as ordinary functions are: the name is looked up in
// the module again when unpickling.
PyObject* function_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->name);
    return as_function(self)->name;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, nullptr, nullptr, nullptr},
    {const_cast<char*>("__closure__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    // Last: cleared before the type is readied where annotations are not deferred.
    {const_cast<char*>("__annotate__"), get_annotate, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {const_cast<char*>("__code__"), T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

void init_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    function_type.tp_name = "kestrune.testing.plotting.series.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    function_type.tp_doc = "A function of kestrune.testing.plotting.series.";
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_repr = function_repr;
    function_type.tp_call = function_call;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_methods = function_methods;
    if (!compat::kAnnotateFunction) function_getset[sizeof function_getset / sizeof *function_getset - 2] = {};
    function_type.tp_getset = function_getset;
    function_type.tp_members = function_members;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    compat::enable_vectorcall(&function_type, offsetof(FunctionObject, vectorcall));
    require(PyType_Ready(&function_type));
    // Calls between the module's own functions go straight to the binder.
    set_direct_entry(&function_type, [](PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return invoke(as_function(f), args, nargs, kwnames);
    });
}

Ref make_function(const FuncDef& def, std::initializer_list<PyObject*> defaults) {
    if (static_cast<int>(defaults.size()) != def.nparams - def.nrequired)
        raise(PyExc_SystemError, "%s: %d defaults given for %d optional parameters", def.name,
              static_cast<int>(defaults.size()), def.nparams - def.nrequired);
    Ref varnames = Ref::steal(PyTuple_New(def.nparams + (def.var_keywords ? 1 : 0)));
    for (int i = 0; i < def.nparams; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, require(PyUnicode_InternFromString(def.params[i])));
    if (def.var_keywords)
        PyTuple_SET_ITEM(varnames.get(), def.nparams, require(PyUnicode_InternFromString("kwargs")));
    Ref code = make_code_record(def.name, def.line, varnames, def.nparams, def.var_keywords);
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : none();
    Ref annotations;
    for (int i = 0; i < def.nparams; ++i) {
        if (!def.annotations[i]) continue;
        if (!annotations) annotations = new_dict();
        Ref value = Ref::steal(PyUnicode_FromString(def.annotations[i]));
        require(PyDict_SetItemString(annotations, def.params[i], value));
    }

    FunctionObject* fn = PyObject_GC_New(FunctionObject, &function_type);
    if (!fn) throw Error();
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    for (PyObject*& d : fn->defaults) d = nullptr;
    fn->defaults_tuple = nullptr;
    fn->dict = nullptr;
    fn->weakreflist = nullptr;
    int i = def.nrequired;
    for (PyObject* d : defaults) {
        Py_INCREF(d);
        fn->defaults[i++] = d;
    }
    fn->varnames = varnames.release();
    fn->annotations = annotations.release();
    fn->globals = Ref::borrow(module_dict).release();
    fn->name = name.release();
    fn->module = Ref::borrow(names.module_name).release();
    fn->doc = doc.release();
    fn->code = code.release();
    std::snprintf(fn->entry_name, sizeof fn->entry_name, "kestrune.testing.plotting.series.%s", def.name);
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace series
