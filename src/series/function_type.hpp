// The callable type of the module's fifteen functions and its argument binder.
//
// A function is a descriptor (`FuncDef`: name, parameters, annotations,
// docstring, definition line) plus a body. Calling it binds the arguments into
// an array, type-tests the parameters annotated "str", then runs the body in
// the dispatcher: the body records the source line of each statement in its
// `Frame` before running it, and when the body throws, the dispatcher adds a
// traceback entry at that line and returns NULL to the interpreter.
#pragma once

#include "pyref.hpp"

namespace series {

constexpr int kMaxParams = 7;

// The current source line of one running call; lives on the C++ stack, so
// nested calls between the module's functions each keep their own.
struct Frame {
    int line;
};

// A function body: `args` holds one borrowed value per named parameter, in
// parameter order; `kwargs` is the extra keywords dict for a function that
// takes **kwargs, else NULL. Returns the result (a new reference).
using Body = Ref (*)(Frame& frame, PyObject* const* args, PyObject* kwargs);

struct FuncDef {
    const char* name;
    int line;                        // line of the def statement
    int nparams;                     // named parameters
    int nrequired;                   // parameters without a default
    const char* params[kMaxParams];
    const char* annotations[kMaxParams];  // per parameter; nullptr: not annotated
    bool var_keywords;               // collects extra keywords into **kwargs
    int str_param;                   // index of the parameter that must be str or None; -1: none
    const char* doc;                 // nullptr: no docstring
    Body body;
};

// Creates the function object for `def`, whose defaults are the given
// objects (as many as it has parameters with defaults), with the module
// dictionary as its globals.
Ref make_function(const FuncDef& def, std::initializer_list<PyObject*> defaults);

// Readies the function type; called once by the exec step.
void init_function_type();

// True when `f` is one of the module's own function objects.
bool is_series_function(PyObject* f);

// Calls one of the module's function objects with an argument array and an
// optional tuple of keyword names (their values follow the positional ones).
PyObject* call_series_function(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace series
