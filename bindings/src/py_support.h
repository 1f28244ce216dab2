// What every file of the extension shares: owned references, the interpreter
// lock, Python errors as results, and the wall that keeps C++ exceptions out
// of the interpreter.
#pragma once

// One abi3 build serves every CPython from 3.9 on.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/internal_error.h"
#include "common/result.h"

namespace quarn::py {

// An owned (strong) reference; releases it once, on destruction or reset.
class PyRef {
public:
    PyRef() = default;
    // Takes ownership of a new reference (may be null).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : o_(std::exchange(o.o_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(o_);
            o_ = std::exchange(o.o_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const { return o_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : o_(o) {}
    PyObject* o_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// The error of a fallible binding step: a Python exception has been set and
// the caller returns it to the interpreter as it is.
struct PyErrorSet {};
template <class T>
using PyResult = Result<T, PyErrorSet>;
using PyStatus = Result<void, PyErrorSet>;

// Sets `type` with the message and returns the marker, so callers write
// `return raise(PyExc_ValueError, fmt(...));`.
Err<PyErrorSet> raise(PyObject* type, const std::string& message);
// For an exception the interpreter has already set.
inline Err<PyErrorSet> raised() { return err(PyErrorSet{}); }

// A Python str as UTF-8 text; fails for a non-str or for lone surrogates.
PyResult<std::string> utf8_of(PyObject* s);
PyRef str_of(std::string_view text);
// The name of an object's Python type ("bytes", "NoneType").
std::string type_name_of(PyObject* o);

// The class raised for a broken internal invariant. It derives from
// BaseException, so `except Exception` does not swallow it, and it is no
// attribute of the module.
PyObject* internal_error_class();
void init_internal_error_class();

// Raises a failure in Python: a failed allocation as MemoryError; a broken
// invariant (or anything else) as the internal error class with its message.
void raise_failure(const EngineFailure& failure);

// Runs `body` and turns every C++ exception into a Python one, as
// current_failure classifies it. `fail` is what the entry point returns with an
// exception set.
void set_error_from_current_exception();
template <class R, class F>
R guarded(R fail, F&& body) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

}  // namespace quarn::py
