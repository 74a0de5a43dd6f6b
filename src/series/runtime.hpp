// Process-wide state of the module: the interned names and constants, the
// module dictionary, the builtins fetched at import, and the lookup of module
// globals at the moment of use.
//
// Everything here is a raw pointer that owns its object and is never released
// at exit: the objects live until the process ends, and a C++ static
// destructor would run after the interpreter has been finalised.
#pragma once

#include "calls.hpp"

namespace series {

struct Names {
#define NAME(x) PyObject* x;
#define TEXT(field, text) PyObject* field;
#include "names.def"
#undef NAME
#undef TEXT
};
// The interned names, filled by `init_names` during the exec step.
extern Names names;
void init_names();

// The module dictionary: the globals of every function. Owned; the exec step
// replaces it with the dictionary of the module it runs.
extern PyObject* module_dict;
// The builtins module's dictionary, where global lookups fall back to. Owned.
extern PyObject* builtins_dict;

// The five builtins that are fetched once, at import.
struct Builtins {
    PyObject* ValueError;
    PyObject* enumerate;
    PyObject* zip;
    PyObject* range;
    PyObject* print;
};
extern Builtins builtins;

// Reads a module global by name: the module dictionary, then the builtins;
// raises NameError "name '%U' is not defined" when neither has it.
Ref global(PyObject* name);

// `cast(List[str], value())`: the typing no-op, with `cast` and `List` looked
// up as module globals before the value is computed, in Python's order.
template <class Value>
Ref cast_to_list_of_str(Value value) {
    Ref cast = global(names.cast);
    Ref list_of_str = item(global(names.List), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref v = value();
    return call(cast, {list_of_str, v});
}

// `first, second = value` for any iterable of exactly two items; a ValueError
// that says how many there were otherwise. Pairs that zip and enumerate make
// are taken apart directly.
void unpack_two(PyObject* value, Ref& first, Ref& second);

// `raise ValueError(message)`, with the ValueError fetched at import.
[[noreturn]] void raise_value_error(PyObject* message);

}  // namespace series
