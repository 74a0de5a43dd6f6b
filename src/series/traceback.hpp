// Traceback entries and code records.
//
// Every entry the module adds to a traceback is a frame made from a small code
// object whose first line is the line to report: in 3.7 a traceback reads its
// line from the frame's code object, not from f_lineno. Those code objects are
// cached per (name, line) and never released.
#pragma once

#include "pyref.hpp"

namespace series {

// The file name every entry and code record carries.
extern const char* const kSourceFile;

// Adds one entry named `qualified_name` at `line` to the traceback of the
// pending exception, with the module dictionary as the frame's globals.
void add_traceback(const char* qualified_name, int line);

// The `__code__` of a function: its own name, its definition line and its
// parameter names (plus `kwargs` when it takes **kwargs).
Ref make_code_record(const char* name, int line, const char* const* params, int nparams, bool var_keywords);

}  // namespace series
