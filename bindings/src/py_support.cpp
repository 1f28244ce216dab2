// Owned references, errors as results and the exception wall of the extension.
#include "py_support.h"

#include <exception>
#include <new>

#include "common/internal_error.h"

namespace quarn::py {

Err<PyErrorSet> raise(PyObject* type, const std::string& message) {
    PyRef text = str_of(message);
    if (text) PyErr_SetObject(type, text.get());
    return err(PyErrorSet{});
}

PyResult<std::string> utf8_of(PyObject* s) {
    if (!PyUnicode_Check(s)) return raise(PyExc_TypeError, "'" + type_name_of(s) + "' object cannot be converted to 'PyString'");
    // PyUnicode_AsUTF8AndSize joined the limited API only in 3.10.
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(s));
    if (!bytes) return raised();
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return raised();
    return std::string(data, static_cast<size_t>(len));
}

PyRef str_of(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string type_name_of(PyObject* o) {
    PyRef type = PyRef::steal(PyObject_Type(o));
    PyRef name = type ? PyRef::steal(PyObject_GetAttrString(type.get(), "__name__")) : PyRef();
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    PyResult<std::string> text = utf8_of(name.get());
    if (!text) {
        PyErr_Clear();
        return "object";
    }
    return std::move(text).value();
}

// One class for the process: the module itself is created once per process.
static PyObject* g_internal_error = nullptr;

void init_internal_error_class() {
    if (!g_internal_error) g_internal_error = PyErr_NewException("quarn._native.InternalError", PyExc_BaseException, nullptr);
}

PyObject* internal_error_class() { return g_internal_error; }

void raise_failure(const EngineFailure& failure) {
    if (failure.out_of_memory) {
        PyErr_NoMemory();
        return;
    }
    PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, failure.message.c_str());
}

void set_error_from_current_exception() { raise_failure(current_failure()); }

}  // namespace quarn::py
