// Process-wide state, global lookup and the small helpers of pyref.hpp.
#include "runtime.hpp"

#include <cstdarg>

namespace series {

Names names;
PyObject* module_dict = nullptr;
PyObject* builtins_dict = nullptr;
Builtins builtins;

namespace {

bool names_built = false;

// The same fields as `Names`, each owning its reference until the whole
// table is built.
struct OwnedNames {
#define NAME(x) Ref x;
#define TEXT(field, text) Ref field;
#include "names.def"
#undef NAME
#undef TEXT
};

}  // namespace

void init_names() {
    if (names_built) return;  // built once per process
    // Every name is made before any is published: a failure part-way (no
    // memory) releases those made so far and leaves the table empty, so that
    // the next attempt builds it again.
    OwnedNames fresh;
#define NAME(x) fresh.x = Ref::steal(PyUnicode_InternFromString(#x));
#define TEXT(field, text) fresh.field = Ref::steal(PyUnicode_InternFromString(text));
#include "names.def"
#undef NAME
#undef TEXT
#define NAME(x) names.x = fresh.x.release();
#define TEXT(field, text) names.field = fresh.field.release();
#include "names.def"
#undef NAME
#undef TEXT
    names_built = true;
}

Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (!v) {
        if (PyErr_Occurred()) throw Error();
        v = PyDict_GetItemWithError(builtins_dict, name);
        if (!v) {
            if (PyErr_Occurred()) throw Error();
            raise(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(v);
}

void raise(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw Error();
}

void unpack_two(PyObject* value, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return;
    }
    Ref it = iter(value);
    first = next(it);
    if (!first) raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", Py_ssize_t(0), "s");
    second = next(it);
    if (!second) raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", Py_ssize_t(1), "");
    if (next(it)) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
}

void raise_value_error(PyObject* message) {
    Ref exc = call(builtins.ValueError, {message});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc);
    throw Error();
}

Ref text(PyObject* o) { return Ref::steal(PyObject_Format(o, names.empty)); }

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref joined = tuple(parts);
    return Ref::steal(PyUnicode_Join(names.empty, joined));
}

}  // namespace series
