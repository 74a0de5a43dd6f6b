// The calls that the module's own code makes: positional arguments and
// keyword arguments in one array, by the interpreter's array call.
//
// A type whose objects can take such an array themselves (the module's
// function type) registers its entry here once it is ready; calls to its
// objects then skip the interpreter's call machinery, which on 3.7 would build
// an argument tuple and a keyword dict for a type of our own.
#pragma once

#include "pyref.hpp"  // Python.h, before any standard header

#include <initializer_list>

namespace series {

// One keyword argument of a call.
struct Kw {
    PyObject* name;  // an interned str
    PyObject* value;
};

// Calls `f` with positional arguments and keyword arguments, in the order
// given.
Ref call(PyObject* f, std::initializer_list<PyObject*> args = {}, std::initializer_list<Kw> kws = {});

// The same for a method looked up on `o`.
inline Ref call_method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args = {},
                       std::initializer_list<Kw> kws = {}) {
    Ref m = attr(o, name);
    return call(m, args, kws);
}

// The entry of a type's objects for an argument array: positional values
// `args[0:nargs]`, keyword values after them named by `kwnames` (a tuple, or
// NULL). Returns a new reference, or NULL with an exception set.
using DirectEntry = PyObject* (*)(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Lets `call` enter the objects of exactly `type` through `entry`.
void set_direct_entry(PyTypeObject* type, DirectEntry entry) noexcept;

}  // namespace series
