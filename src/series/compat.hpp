// The interpreter differences the module meets, each behind one spelling.
//
// This is the only file that tests the interpreter's version: the units call
// the functions below and read the same on every CPython from 3.7 on.
#pragma once

#include "pyref.hpp"

#include <frameobject.h>
#include <opcode.h>

namespace series {
namespace compat {

// --- calls with an argument array ------------------------------------------

// The entry of calls with an argument array. Before 3.8 only tp_call reaches
// a type of our own (an argument tuple and a keyword dict), and the entry
// stays unused.
#if PY_VERSION_HEX >= 0x03080000
using VectorcallFunc = vectorcallfunc;
#else
using VectorcallFunc = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);
#endif

#ifdef PY_VECTORCALL_ARGUMENTS_OFFSET
constexpr size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
constexpr size_t kArgumentsOffset = size_t(1) << (8 * sizeof(size_t) - 1);
#endif

// The positional count of a vectorcall `nargsf`.
inline Py_ssize_t vector_nargs(size_t nargsf) { return static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset); }

// On 3.8 the interpreter unpacks `f(**mapping)` for a vectorcall type without
// testing the keys, so the entry has to reject non-string names itself; later
// interpreters raise "keywords must be strings" before the call arrives.
constexpr bool kEntryChecksKeywordStrings = PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000;

// Calls any callable with positional values `args[0:nargs]` and keyword values
// after them, named by `kwnames` (a tuple, or NULL).
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(f, args, static_cast<size_t>(nargs), kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(f, args, static_cast<size_t>(nargs), kwnames);
#else
    return _PyObject_FastCallKeywords(f, args, nargs, kwnames);
#endif
}

// Lets a type join the vectorcall protocol with the entry stored at `offset`
// of each instance; on 3.7 the type keeps its tp_call alone.
inline void enable_vectorcall(PyTypeObject* type, Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    type->tp_vectorcall_offset = offset;
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_call = PyVectorcall_Call;
#elif PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = offset;
    type->tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_call = PyVectorcall_Call;
#else
    (void)type;
    (void)offset;
#endif
}

// --- annotations ---------------------------------------------------------------

// From 3.14 annotations are deferred (PEP 649): a function offers
// `__annotate__(format)` beside `__annotations__`, and functools.wraps copies
// only the former. The function type offers it from 3.14 on.
constexpr bool kAnnotateFunction = PY_VERSION_HEX >= 0x030E0000;

// --- interpreters ------------------------------------------------------------

inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// --- code records and traceback frames --------------------------------------

// A code record: `nargs` positional-or-keyword parameters, `varnames` naming
// them (and **kwargs after them), `flags` the CO_* flags. The functions run
// in C++, never through their code record; but anything that runs a code
// object found on a function (`types.FunctionType(f.__code__, {})()`) runs
// its instructions, so the record carries a body of its own that raises
// AssertionError, as CPython's own empty code records do from 3.11:
//
//     [RESUME 0 [CACHE]]  LOAD_CONST 0 (AssertionError)  RAISE_VARARGS 1
//
// with a line table that puts every instruction on the first line.
inline PyCodeObject* new_code(int nargs, int flags, PyObject* varnames, PyObject* filename, PyObject* name,
                              int firstlineno) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int stacksize = 1;
#if PY_VERSION_HEX >= 0x030F0000
    // From 3.15 RESUME is followed by one inline cache entry, which the
    // interpreter fills in itself: LOAD_CONST comes after it.
    static const unsigned char body[] = {RESUME, 0, CACHE, 0, LOAD_CONST, 0, RAISE_VARARGS, 1};
    // One entry without columns for the four code units, at line offset 0.
    static const unsigned char lines[] = {0x80 | (13 << 3) | (4 - 1), 0};
#elif PY_VERSION_HEX >= 0x030B0000
    static const unsigned char body[] = {RESUME, 0, LOAD_CONST, 0, RAISE_VARARGS, 1};
    // One entry without columns for the three code units, at line offset 0.
    static const unsigned char lines[] = {0x80 | (13 << 3) | (3 - 1), 0};
#elif PY_VERSION_HEX >= 0x030A0000
    static const unsigned char body[] = {LOAD_CONST, 0, RAISE_VARARGS, 1};
    // (bytes covered, line offset): both instructions on the first line.
    static const unsigned char lines[] = {4, 0};
#else
    static const unsigned char body[] = {LOAD_CONST, 0, RAISE_VARARGS, 1};
    // An empty line-number table: every instruction is on the first line.
    static const unsigned char lines[] = {0};
#endif
    constexpr Py_ssize_t nlines = PY_VERSION_HEX >= 0x030A0000 ? sizeof lines : 0;
    Ref code = Ref::maybe(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body), sizeof body));
    Ref line_table = Ref::maybe(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lines), nlines));
    Ref consts = Ref::maybe(PyTuple_Pack(1, PyExc_AssertionError));
    Ref empty_bytes = Ref::maybe(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::maybe(PyTuple_New(0));
    if (!code || !line_table || !consts || !empty_bytes || !empty_tuple) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_New(nargs, 0, nlocals, stacksize, flags, code, consts, empty_tuple, varnames, empty_tuple,
                               empty_tuple, filename, name, name, firstlineno, line_table, empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_New(nargs, 0, nlocals, stacksize, flags, code, consts, empty_tuple, varnames, empty_tuple,
                      empty_tuple, filename, name, name, firstlineno, line_table, empty_bytes);
#elif PY_VERSION_HEX >= 0x03080000
    return PyCode_NewWithPosOnlyArgs(nargs, 0, 0, nlocals, stacksize, flags, code, consts, empty_tuple, varnames,
                                     empty_tuple, empty_tuple, filename, name, firstlineno, line_table);
#else
    return PyCode_New(nargs, 0, nlocals, stacksize, flags, code, consts, empty_tuple, varnames, empty_tuple,
                      empty_tuple, filename, name, firstlineno, line_table);
#endif
}

// A frame to stand for one traceback entry: `code` (from PyCode_NewEmpty, whose
// first line is the line to report) run with `globals`. Every version reads the
// entry's line from the code object of a frame that has not started.
inline PyFrameObject* new_entry_frame(PyCodeObject* code, PyObject* globals) {
    return PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
}

}  // namespace compat
}  // namespace series
