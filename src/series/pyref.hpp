// Owned references and the thin helpers over the C API that every unit uses.
//
// A failed C API call throws `Error`; the Python error indicator already holds
// the exception, so the C++ exception carries nothing. Only the dispatcher of
// the function type and the module's exec step catch it.
#pragma once

// Python.h sets feature macros that the C library's headers read once, so it
// comes before every standard header: each unit reaches it through this file
// first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

namespace series {

struct Error {};

// Turn a C API failure (NULL or a negative status) into a throw.
inline PyObject* require(PyObject* p) {
    if (!p) throw Error();
    return p;
}
inline int require(int r) {
    if (r < 0) throw Error();
    return r;
}

// Raise a Python exception of `type` with a formatted message and throw.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Owns one strong reference. Borrowed references stay plain PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference; throws if the call that produced it failed.
    static Ref steal(PyObject* p) { return Ref(require(p)); }
    // Takes over a new reference that may be NULL; the caller checks.
    static Ref maybe(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to an object the caller only borrows (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference over to the caller (for example as a return value).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

// --- object protocol -------------------------------------------------------
inline Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
// An attribute that may be missing: an empty Ref where reading it raises
// AttributeError; any other error throws.
inline Ref optional_attr(PyObject* o, PyObject* name) {
    Ref v = Ref::maybe(PyObject_GetAttr(o, name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error();
        PyErr_Clear();
    }
    return v;
}
inline Ref item(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline bool truth(PyObject* o) { return require(PyObject_IsTrue(o)) != 0; }
inline bool is_instance(PyObject* o, PyObject* cls) { return require(PyObject_IsInstance(o, cls)) != 0; }
inline Ref compare(PyObject* a, PyObject* b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw Error();
    return n;
}
inline Ref iter(PyObject* o) { return Ref::steal(PyObject_GetIter(o)); }
// The next item of an iterator: an empty Ref at its end; throws on error.
inline Ref next(PyObject* it) {
    PyObject* v = PyIter_Next(it);
    if (!v && PyErr_Occurred()) throw Error();
    return v ? Ref::steal(v) : Ref();
}
inline Ref integer(long v) { return Ref::steal(PyLong_FromLong(v)); }
inline Ref ssize(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline void append(PyObject* list, PyObject* v) { require(PyList_Append(list, v)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_set(PyObject* iterable) { return Ref::steal(PySet_New(iterable)); }
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t.get(), i++, o);
    }
    return t;
}
// The text form of a value in a message: format(value, "").
Ref text(PyObject* o);
// Concatenation of str objects.
Ref concat(std::initializer_list<PyObject*> parts);

}  // namespace series
