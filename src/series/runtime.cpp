// Process-wide state, global lookup and the small helpers of pyref.hpp.
#include "runtime.hpp"

#include <cstdarg>

namespace series {

Names names;
PyObject* module_dict = nullptr;
PyObject* builtins_dict = nullptr;
Builtins builtins;

void init_names() {
    if (names.module_name) return;  // built once per process
#define NAME(x) names.x = require(PyUnicode_InternFromString(#x));
#define TEXT(field, text) names.field = require(PyUnicode_InternFromString(text));
#include "names.def"
#undef NAME
#undef TEXT
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
