// Scalar conversion: None, decimal.Decimal, bool, int, float and str to Values.
#include "convert.h"

#include <cmath>

#include "common/text.h"
#include "store/decimal.h"

namespace quarn::py {

namespace {

// dec_parse, then the hint's scale and precision; none when any step fails.
std::optional<Value> text_to_dec(std::string_view text, FieldHint hint) {
    auto parsed = dec_parse(text);
    if (!parsed) return std::nullopt;
    auto u = dec_rescale(parsed->u, parsed->s, hint.type.s);
    if (!u || !dec_fits(*u, hint.type.p)) return std::nullopt;
    return Value::dec(*u, hint.type.s);
}

// The Decimal's text: str(), or format(v, "f") when str() used an exponent.
PyResult<std::string> decimal_text(PyObject* value) {
    PyRef s = PyRef::steal(PyObject_Str(value));
    if (!s) return raised();
    QUARN_TRY(std::string text, utf8_of(s.get()));
    if (text.find_first_of("Ee") == std::string::npos) return text;
    PyRef positional = PyRef::steal(PyObject_CallMethod(value, "__format__", "s", "f"));
    if (!positional) return raised();
    return utf8_of(positional.get());
}

// Whether `value` is a decimal.Decimal; the module and class are looked up
// anew each time, as a caller may have replaced them.
PyResult<bool> is_decimal(PyObject* value) {
    PyRef module = PyRef::steal(PyImport_ImportModule("decimal"));
    if (!module) return raised();
    PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!cls) return raised();
    int r = PyObject_IsInstance(value, cls.get());
    if (r < 0) return raised();
    return r == 1;
}

}  // namespace

PyResult<Value> py_dec_from_str(std::string_view type_name, std::string_view field, std::string_view text,
                                FieldHint hint) {
    if (!hint.is_dec()) unreachable("py_dec_from_str needs a decimal field");
    if (auto v = text_to_dec(text, hint)) return *v;
    return raise(PyExc_ValueError,
                 fmt("{}.{}: {} does not fit decimal({},{})", type_name, field, quoted(text), hint.type.p, hint.type.s));
}

PyResult<Value> py_scalar(std::string_view type_name, std::string_view field, PyObject* value, FieldHint hint) {
    if (value == Py_None) {
        if (hint.declared && hint.nullable) return Value::null();
        return raise(PyExc_ValueError,
                     fmt("{}.{}: None is outside the certified subset for a non-nullable field — declare it "
                         "Optional[...] to opt in (D-097)",
                         type_name, field));
    }
    QUARN_TRY(bool decimal, is_decimal(value));
    if (decimal) {
        if (!hint.is_dec())
            return raise(PyExc_TypeError, fmt("{}.{}: decimal.Decimal for a non-decimal field — declare "
                                              "Annotated[Decimal, quarn.Decimal(p, s)] (D-098)",
                                              type_name, field));
        QUARN_TRY(std::string text, decimal_text(value));
        if (auto v = text_to_dec(text, hint)) return *v;
        return raise(PyExc_ValueError,
                     fmt("{}.{}: {} does not fit decimal({},{})", type_name, field, text, hint.type.p, hint.type.s));
    }
    if (PyBool_Check(value)) return Value::boolean(value == Py_True);

    // An int in range, or anything with __index__; a failure moves on.
    if (PyRef index = PyRef::steal(PyNumber_Index(value))) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        } else if (overflow == 0) {
            if (!hint.is_dec()) return Value::i64(n);
            auto u = dec_rescale(n, 0, hint.type.s);
            if (u && dec_fits(*u, hint.type.p)) return Value::dec(*u, hint.type.s);
            return raise(PyExc_ValueError,
                         fmt("{}.{}: {} does not fit decimal({},{})", type_name, field, int64_t(n), hint.type.p, hint.type.s));
        }
    } else {
        PyErr_Clear();
    }

    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
    } else {
        if (hint.is_dec())
            return raise(PyExc_TypeError,
                         fmt("{}.{}: floats never ingest into decimals — pass decimal.Decimal or str (D-098)", type_name, field));
        if (std::isnan(d) && hint.declared && hint.nullable) return Value::null();
        return Value::f64(d);
    }

    if (PyUnicode_Check(value)) {
        QUARN_TRY(std::string text, utf8_of(value));
        if (hint.is_dec()) return py_dec_from_str(type_name, field, text, hint);
        return Value::str(std::move(text));
    }
    return raise(PyExc_TypeError, fmt("{}.{}: unsupported scalar {}", type_name, field, type_name_of(value)));
}

}  // namespace quarn::py
