// Names that enter a session: valid UTF-8 without NUL characters.
#include "names.h"

#include "common/text.h"
#include "common/utf8.h"

namespace quarn::py {

namespace {

// Python's own repr of the name: quotes and escapes that a Python user reads
// back as the object they passed.
PyResult<std::string> shown(PyObject* o) {
    PyRef repr = PyRef::steal(PyObject_Repr(o));
    if (!repr) return raised();
    return utf8_of(repr.get());
}

Err<PyErrorSet> refuse_name(std::string_view place, PyObject* name, const char* problem) {
    PyResult<std::string> text = shown(name);
    if (!text) return raised();
    return raise(PyExc_ValueError, fmt("{} name {} {}", place, *text, problem));
}

// Python's repr of a bytes object.
std::string bytes_repr(std::string_view b) {
    char quote = b.find('\'') != std::string_view::npos && b.find('"') == std::string_view::npos ? '"' : '\'';
    std::string out = "b";
    out += quote;
    for (char ch : b) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += ch;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7f) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    out += quote;
    return out;
}

}  // namespace

PyResult<std::string> name_text(PyObject* name, std::string_view place) {
    if (!PyUnicode_Check(name)) return utf8_of(name);
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(name));
    if (!bytes) {
        // Only lone surrogates make a str that UTF-8 cannot encode.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return raised();
        PyErr_Clear();
        return refuse_name(place, name, "is not valid UTF-8");
    }
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return raised();
    std::string text(data, static_cast<size_t>(len));
    if (text.find('\0') != std::string::npos) return refuse_name(place, name, "contains a NUL character");
    return text;
}

std::optional<std::string> name_bytes_refusal(std::string_view name, std::string_view place) {
    const char* problem = nullptr;
    if (first_invalid_utf8(name) != std::string_view::npos) problem = "is not valid UTF-8";
    else if (name.find('\0') != std::string_view::npos) problem = "contains a NUL character";
    if (!problem) return std::nullopt;
    return fmt("{} name {} {}", place, bytes_repr(name), problem);
}

}  // namespace quarn::py
