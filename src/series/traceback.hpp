// Traceback entries and code records.
//
// Every entry the module adds to a traceback is a frame made from a small code
// object whose first line is the line to report: a frame that has not started
// reports its code's first line, on every interpreter version. Those code
// objects are cached per (name, line) and never released.
#pragma once

#include "pyref.hpp"

namespace series {

// The file name every entry and code record carries.
extern const char* const kSourceFile;

// Adds one entry named `qualified_name` at `line` to the traceback of the
// pending exception, with the module dictionary as the frame's globals. When
// the entry cannot be made (no memory), the exception passes on without it.
void add_traceback(const char* qualified_name, int line) noexcept;

// The `__code__` of a function: its own name, its definition line, and
// `varnames`, the names of its `nargs` parameters (plus `kwargs` after them
// when it takes **kwargs).
Ref make_code_record(const char* name, int line, PyObject* varnames, int nargs, bool var_keywords);

}  // namespace series
