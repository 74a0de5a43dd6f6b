// Traceback entries and code records.
#include "traceback.hpp"

#include <frameobject.h>

#include <map>
#include <string>
#include <utility>

#include "runtime.hpp"

namespace series {

const char* const kSourceFile = "kestrune\\testing\\plotting\\series";

namespace {

// One code object per (entry name, line), kept for the life of the process.
// The map holds raw pointers only, so destroying it at exit touches no
// Python object.
std::map<std::pair<std::string, int>, PyObject*>& code_cache() {
    static auto* cache = new std::map<std::pair<std::string, int>, PyObject*>();
    return *cache;
}

PyCodeObject* entry_code(const char* qualified_name, int line) {
    auto& cache = code_cache();
    auto key = std::make_pair(std::string(qualified_name), line);
    auto found = cache.find(key);
    if (found != cache.end()) return reinterpret_cast<PyCodeObject*>(found->second);
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, qualified_name, line);
    if (!code) return nullptr;
    cache.emplace(std::move(key), reinterpret_cast<PyObject*>(code));
    return code;
}

}  // namespace

void add_traceback(const char* qualified_name, int line) {
    // The frame is built with the exception put aside, then the entry is
    // added to the exception's traceback. A failure here loses only the entry.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = entry_code(qualified_name, line);
    Ref frame;
    if (code && module_dict)
        frame = Ref::maybe(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, module_dict, nullptr)));
    if (frame)
        reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
    else
        PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

Ref make_code_record(const char* name, int line, const char* const* params, int nparams, bool var_keywords) {
    const int nvars = nparams + (var_keywords ? 1 : 0);
    Ref varnames = Ref::steal(PyTuple_New(nvars));
    for (int i = 0; i < nparams; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, require(PyUnicode_InternFromString(params[i])));
    if (var_keywords) PyTuple_SET_ITEM(varnames.get(), nparams, require(PyUnicode_InternFromString("kwargs")));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref file = Ref::steal(PyUnicode_FromString(kSourceFile));
    Ref func = Ref::steal(PyUnicode_FromString(name));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (var_keywords ? CO_VARKEYWORDS : 0);
    return Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_New(nparams, 0, nvars, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames, empty_tuple,
                   empty_tuple, file, func, line, empty_bytes)));
}

}  // namespace series
