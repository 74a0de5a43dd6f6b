// The calls that the module's own code makes.
#include "calls.hpp"

#include "compat.hpp"

namespace series {

namespace {

// The one type entered directly, with its entry; both set together.
struct Direct {
    PyTypeObject* type;
    DirectEntry entry;
};
Direct direct = {nullptr, nullptr};

}  // namespace

void set_direct_entry(PyTypeObject* type, DirectEntry entry) noexcept { direct = {type, entry}; }

Ref call(PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kws) {
    constexpr size_t kMaxArgs = 16;
    PyObject* stack[kMaxArgs];
    const size_t nargs = args.size(), nkw = kws.size();
    if (nargs + nkw > kMaxArgs) raise(PyExc_SystemError, "too many arguments in an internal call");
    size_t i = 0;
    for (PyObject* a : args) stack[i++] = a;
    Ref kwnames;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
        Py_ssize_t k = 0;
        for (const Kw& kw : kws) {
            Py_INCREF(kw.name);
            PyTuple_SET_ITEM(kwnames.get(), k++, kw.name);
            stack[i++] = kw.value;
        }
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(nargs);
    if (direct.type && Py_TYPE(f) == direct.type) return Ref::steal(direct.entry(f, stack, n, kwnames.get()));
    return Ref::steal(compat::vectorcall(f, stack, n, kwnames.get()));
}

}  // namespace series
