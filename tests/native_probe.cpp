// quarn_probe: a test-only module that calls the binding's conversions
// directly and shows their results in the engine's debug forms, so tests can
// pin Dec { u: 101, s: 2 } rather than infer it.
#include <new>
#include <stdexcept>

#include "common/hash.h"
#include "convert.h"
#include "ingest.h"
#include "result_tables.h"
#include "session.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::py;

namespace {

PyRef text(const std::string& s) { return str_of(s); }

PyResult<std::optional<TypeSchema>> schema_of(const std::string& type, PyObject* spec) {
    if (spec == Py_None) return std::optional<TypeSchema>();
    TypeSchema schema{type, {}, 0};
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(spec, &pos, &k, &v)) {
        QUARN_TRY(std::string name, utf8_of(k));
        QUARN_TRY(std::string s, utf8_of(v));
        QUARN_TRY(FieldSpec f, parse_field_spec(type, name, s));
        if (f.nullable) schema.nullable |= uint64_t(1) << schema.fields.size();
        schema.fields.emplace_back(name, f.type);
    }
    return std::optional<TypeSchema>(std::move(schema));
}

// scalar(value, spec=None): py_scalar under the field spec, as a debug form.
PyObject* probe_scalar(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject *value, *spec = Py_None;
        if (!PyArg_ParseTuple(args, "O|O", &value, &spec)) return nullptr;
        FieldHint hint;
        if (spec != Py_None) {
            auto s = utf8_of(spec);
            if (!s) return nullptr;
            auto f = parse_field_spec("T", "f", *s);
            if (!f) return nullptr;
            hint = FieldHint{true, f->type, f->nullable};
        }
        auto v = py_scalar("T", "f", value, hint);
        if (!v) return nullptr;
        return text(debug(*v)).release();
    });
}

// ingest(type_name, data, schema=None) -> (fields, columns), debug forms.
PyObject* probe_ingest(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* type;
        PyObject *data, *spec = Py_None;
        if (!PyArg_ParseTuple(args, "sO|O", &type, &data, &spec)) return nullptr;
        auto schema = schema_of(type, spec);
        if (!schema) return nullptr;
        auto table = ingest_any(type, data, *schema ? &**schema : nullptr);
        if (!table) return nullptr;
        PyRef fields = PyRef::steal(PyList_New(0));
        PyRef columns = PyRef::steal(PyList_New(0));
        for (size_t i = 0; i < table->fields.size(); ++i) {
            PyRef pair = PyRef::steal(Py_BuildValue("(NN)", text(table->fields[i].first).release(),
                                                    text(debug(table->fields[i].second)).release()));
            PyList_Append(fields.get(), pair.get());
            PyRef col = PyRef::steal(PyList_New(0));
            for (size_t k = 0; k < table->columns[i].size(); ++k)
                PyList_Append(col.get(), text(debug(table->columns[i].get(k))).get());
            PyList_Append(columns.get(), col.get());
        }
        return Py_BuildValue("(OO)", fields.get(), columns.get());
    });
}

// The session inside a quarn._native.Session, or null with TypeError set.
PySession* session_arg(PyObject* obj) {
    PyRef native = PyRef::steal(PyImport_ImportModule("quarn._native"));
    PyRef type = native ? PyRef::steal(PyObject_GetAttrString(native.get(), "Session")) : PyRef();
    if (!type) return nullptr;
    PySession* s = session_of(obj, type.get());
    if (!s) PyErr_SetString(PyExc_TypeError, "not a Session");
    return s;
}

// facts(session) -> [(handle, type, [(field, debug form)])], live facts in handle order.
PyObject* probe_facts(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        if (!PyArg_ParseTuple(args, "O", &obj)) return nullptr;
        PySession* s = session_arg(obj);
        if (!s) return nullptr;
        PyRef out = PyRef::steal(PyList_New(0));
        if (!s->engine) return out.release();
        for (const FactView& f : s->engine->facts()) {
            PyRef fields = PyRef::steal(PyList_New(0));
            for (const auto& [name, v] : f.fields) {
                PyRef pair = PyRef::steal(Py_BuildValue("(NN)", text(name).release(), text(debug(v)).release()));
                PyList_Append(fields.get(), pair.get());
            }
            PyRef row = PyRef::steal(Py_BuildValue("(kNO)", static_cast<unsigned long>(f.id), text(f.type_name).release(), fields.get()));
            PyList_Append(out.get(), row.get());
        }
        return out.release();
    });
}

// A view from (type, {field: value}, members or None); each member is None or
// such a tuple. Values convert by their Python type alone.
PyResult<FactView> view_of(PyObject* t) {
    PyObject *type, *fields, *members;
    if (!PyArg_ParseTuple(t, "UOO", &type, &fields, &members)) return raised();
    FactView v;
    QUARN_TRY(v.type_name, utf8_of(type));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields, &pos, &key, &value)) {
        QUARN_TRY(std::string name, utf8_of(key));
        // A Decimal keeps the scale it is written with.
        FieldHint hint = FieldHint::none();
        if (type_name_of(value) == "Decimal") {
            PyRef str = PyRef::steal(PyObject_Str(value));
            if (!str) return raised();
            QUARN_TRY(std::string digits, utf8_of(str.get()));
            size_t point = digits.find('.');
            hint = {true, FieldType::dec(38, point == std::string::npos ? 0 : uint8_t(digits.size() - point - 1)), false};
        }
        QUARN_TRY(Value val, py_scalar(v.type_name, name, value, hint));
        v.fields.emplace_back(std::move(name), std::move(val));
    }
    if (members != Py_None) {
        v.members.emplace();
        for (Py_ssize_t i = 0; i < PyList_Size(members); ++i) {
            PyObject* m = PyList_GetItem(members, i);
            if (m == Py_None) {
                v.members->emplace_back();
                continue;
            }
            QUARN_TRY(FactView inner, view_of(m));
            v.members->emplace_back(std::move(inner));
        }
    }
    return v;
}

// fact_json(view): the audit table's JSON text of one fact.
PyObject* probe_fact_json(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* view;
        if (!PyArg_ParseTuple(args, "O", &view)) return nullptr;
        auto v = view_of(view);
        if (!v) return nullptr;
        return text(fact_json(*v)).release();
    });
}

// batch(type, {field: spec}, [view...]): the fact table's error text, or its row count.
PyObject* probe_batch(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject *type, *specs, *views;
        if (!PyArg_ParseTuple(args, "UOO", &type, &specs, &views)) return nullptr;
        auto name = utf8_of(type);
        if (!name) return nullptr;
        TypeSchema schema{*name, {}, 0};
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(specs, &pos, &key, &value)) {
            auto field = utf8_of(key);
            auto spec = field ? utf8_of(value) : field;
            if (!spec) return nullptr;
            auto f = parse_field_spec(*name, *field, *spec);
            if (!f) return nullptr;
            if (f->nullable) schema.nullable |= uint64_t(1) << schema.fields.size();
            schema.fields.emplace_back(*field, f->type);
        }
        std::vector<FactView> owned;
        for (Py_ssize_t i = 0; i < PyList_Size(views); ++i) {
            auto v = view_of(PyList_GetItem(views, i));
            if (!v) return nullptr;
            owned.push_back(std::move(*v));
        }
        std::vector<const FactView*> refs;
        for (const FactView& v : owned) refs.push_back(&v);
        auto batch = batch_for_type(schema, refs);
        if (!batch) return text(batch.error()).release();
        return PyLong_FromLongLong((*batch)->rows);
    });
}

// fail(kind): throws from inside the exception wall of the entry points.
PyObject* probe_fail(PyObject*, PyObject* args) {
    const char* kind;
    if (!PyArg_ParseTuple(args, "s", &kind)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string_view k = kind;
        if (k == "unreachable") unreachable("probe");
        if (k == "bad_alloc") throw std::bad_alloc();
        if (k == "logic") throw std::logic_error("probe logic");
        throw 42;
    });
}

// arm(session, fault, after=0): a failure the session meets later.
//   "fire_oom", "fire_internal": the next fire fails inside its firing loop
//     once `after` firings are done (std::bad_alloc, or a broken invariant);
//   "skip_insert_check": tables go to the engine's column insert without its
//     table check, so that the store's refusal meets a check that passed.
//   "build_oom", "build_oom_beside_engine": the next engine build fails with
//     std::bad_alloc, or only one made while the session holds an engine.
PyObject* probe_arm(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        const char* fault;
        unsigned long long after = 0;
        if (!PyArg_ParseTuple(args, "Os|K", &obj, &fault, &after)) return nullptr;
        PySession* s = session_arg(obj);
        if (!s) return nullptr;
        std::string_view f = fault;
        if (f == "fire_oom" || f == "fire_internal") {
            s->faults.fail_after_firings = after;
            s->faults.as_internal = f == "fire_internal";
        } else if (f == "skip_insert_check") {
            s->faults.skip_insert_check = true;
        } else if (f == "build_oom" || f == "build_oom_beside_engine") {
            s->faults.fail_build = f == "build_oom" ? InjectedFaults::BuildFault::Any
                                                    : InjectedFaults::BuildFault::BesideEngine;
        } else {
            return PyErr_Format(PyExc_ValueError, "unknown fault %s", fault), nullptr;
        }
        Py_RETURN_NONE;
    });
}

// store(session) -> (changes the results' snapshots hold on to, rows of dead
// facts, rows of live facts) in the session's store: what a change and a
// reclaim cost, counted.
PyObject* probe_store(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        if (!PyArg_ParseTuple(args, "O", &obj)) return nullptr;
        PySession* s = session_arg(obj);
        if (!s) return nullptr;
        if (!s->engine) return Py_BuildValue("(kkk)", 0ul, 0ul, 0ul);
        const FactStore& store = s->engine->store();
        return Py_BuildValue("(kkk)", static_cast<unsigned long>(store.snapshot_changes_kept()),
                             static_cast<unsigned long>(store.dead_rows()), static_cast<unsigned long>(store.live_rows()));
    });
}

// audit_kept(result) -> (packed bytes, text bytes) of the audit capture, or
// None once the table is built.
PyObject* probe_audit_kept(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj;
        if (!PyArg_ParseTuple(args, "O", &obj)) return nullptr;
        PyRef native = PyRef::steal(PyImport_ImportModule("quarn._native"));
        PyRef type = native ? PyRef::steal(PyObject_GetAttrString(native.get(), "Result")) : PyRef();
        if (!type) return nullptr;
        const ResultData* data = result_data_of(obj, type.get());
        if (!data) {
            PyErr_SetString(PyExc_TypeError, "not a Result");
            return nullptr;
        }
        if (!data->audit) Py_RETURN_NONE;
        return Py_BuildValue("(kk)", static_cast<unsigned long>(data->audit->packed_bytes()),
                             static_cast<unsigned long>(data->audit->text_bytes()));
    });
}

// hash_key(): the key this process's hash maps mix in (QUARN_HASH_SEED).
PyObject* probe_hash_key(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(process_hash_key()); }

PyMethodDef probe_functions[] = {
    {"hash_key", probe_hash_key, METH_NOARGS, nullptr},
    {"store", probe_store, METH_VARARGS, nullptr},
    {"arm", probe_arm, METH_VARARGS, nullptr},
    {"fail", probe_fail, METH_VARARGS, nullptr},
    {"scalar", probe_scalar, METH_VARARGS, nullptr},
    {"ingest", probe_ingest, METH_VARARGS, nullptr},
    {"facts", probe_facts, METH_VARARGS, nullptr},
    {"fact_json", probe_fact_json, METH_VARARGS, nullptr},
    {"batch", probe_batch, METH_VARARGS, nullptr},
    {"audit_kept", probe_audit_kept, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "quarn_probe", nullptr, -1, probe_functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_quarn_probe() {
    // The probe reaches sessions made by quarn._native, whose class it must know.
    PyRef native = PyRef::steal(PyImport_ImportModule("quarn._native"));
    if (!native) return nullptr;
    init_internal_error_class();
    return PyModule_Create(&probe_def);
}
