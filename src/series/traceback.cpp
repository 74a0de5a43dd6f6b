// Traceback entries and code records.
#include "traceback.hpp"

#include <map>
#include <string>
#include <utility>

#include "compat.hpp"
#include "runtime.hpp"

namespace series {

const char* const kSourceFile = "kestrune\\testing\\plotting\\series";

namespace {

// One code object per (entry name, line), kept for the life of the process.
// The map holds raw pointers only, so destroying it at exit touches no
// Python object.
using CodeCache = std::map<std::pair<std::string, int>, PyCodeObject*>;

// The code object of one entry, or NULL when it cannot be made; never throws,
// since it runs while an exception is on its way to the caller.
PyCodeObject* entry_code(const char* qualified_name, int line) noexcept {
    try {
        static CodeCache* cache = new CodeCache();
        auto slot = cache->try_emplace(std::make_pair(std::string(qualified_name), line), nullptr).first;
        if (!slot->second) {
            Ref code = Ref::maybe(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, qualified_name, line)));
            // Making the code object can run a collection whose finalisers
            // fail in the same place and fill the slot first (map entries stay
            // where they are): the first one stored is kept.
            if (!slot->second) slot->second = reinterpret_cast<PyCodeObject*>(code.release());
        }
        return slot->second;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void add_traceback(const char* qualified_name, int line) noexcept {
    // The frame is built with the exception put aside, then the entry is
    // added to the exception's traceback. A failure here loses only the entry.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = entry_code(qualified_name, line);
    Ref frame;
    if (code && module_dict) frame = Ref::maybe(reinterpret_cast<PyObject*>(compat::new_entry_frame(code, module_dict)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

Ref make_code_record(const char* name, int line, PyObject* varnames, int nargs, bool var_keywords) {
    Ref file = Ref::steal(PyUnicode_FromString(kSourceFile));
    Ref func = Ref::steal(PyUnicode_FromString(name));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (var_keywords ? CO_VARKEYWORDS : 0);
    return Ref::steal(reinterpret_cast<PyObject*>(compat::new_code(nargs, flags, varnames, file, func, line)));
}

}  // namespace series
