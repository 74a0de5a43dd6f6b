// The callable type of the module's fifteen functions and its argument
// binder.
//
// A function is a descriptor (`FuncDef`: name, parameters, annotations,
// docstring, definition line) plus a body. Calling it binds the arguments into
// an array, type-tests the parameters annotated "str", then runs the body in
// the dispatcher: the body records the source line of each statement in its
// `Frame` before running it, and when the body throws, the dispatcher adds a
// traceback entry at that line and returns NULL to the interpreter.
#pragma once

#include "pyref.hpp"  // Python.h, before any standard header

#include <cstring>
#include <initializer_list>

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

// Whether a parameter has a default; the module body supplies the objects.
enum class Need { required, optional };

// The descriptor of one function, written as a chain that names each field:
//
//     constexpr FuncDef f_def = FuncDef("f", 12, f).param("x").param("y", "str", Need::optional);
//
// A parameter annotated "str" is type-tested on every call. The chain is
// evaluated by the compiler, and a required parameter after an optional one
// does not compile.
struct FuncDef {
    const char* name;
    int line;                             // line of the def statement
    Body body;
    int nparams = 0;                      // named parameters
    int nrequired = 0;                    // parameters without a default
    const char* params[kMaxParams] = {};
    const char* annotations[kMaxParams] = {};  // per parameter; nullptr: not annotated
    int str_param = -1;                   // the parameter that must be str or None; -1: none
    bool var_keywords = false;            // collects extra keywords into **kwargs
    const char* doc = nullptr;            // nullptr: no docstring

    constexpr FuncDef(const char* name_, int line_, Body body_) : name(name_), line(line_), body(body_) {}

    constexpr FuncDef param(const char* param_name, const char* annotation = nullptr,
                            Need need = Need::required) const {
        FuncDef d = *this;
        if (d.nparams == kMaxParams) throw "too many parameters";
        if (need == Need::required && d.nrequired != d.nparams) throw "a required parameter follows an optional one";
        if (annotation && same(annotation, "str")) {
            if (d.str_param >= 0) throw "more than one parameter annotated str";
            d.str_param = d.nparams;
        }
        d.params[d.nparams] = param_name;
        d.annotations[d.nparams] = annotation;
        if (need == Need::required) ++d.nrequired;
        ++d.nparams;
        return d;
    }
    constexpr FuncDef with_var_keywords() const {
        FuncDef d = *this;
        d.var_keywords = true;
        return d;
    }
    constexpr FuncDef with_doc(const char* text) const {
        FuncDef d = *this;
        d.doc = text;
        return d;
    }

private:
    static constexpr bool same(const char* a, const char* b) {
        while (*a && *a == *b) ++a, ++b;
        return *a == *b;
    }
};

// Creates the function object for `def`, whose defaults are the given
// objects, one per optional parameter (an internal error otherwise), with the
// module dictionary as its globals.
Ref make_function(const FuncDef& def, std::initializer_list<PyObject*> defaults);

// Readies the function type; called once by the exec step.
void init_function_type();

}  // namespace series
