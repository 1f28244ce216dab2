// Session: construction, the engine build, and inserting rows and tables.
#include "session.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/text.h"
#include "common/utf8.h"
#include "convert.h"
#include "names.h"
#include "store/debug_form.h"
#include "store/decimal.h"

namespace quarn::py {

namespace {

PyResult<std::string> arg_text(const char* arg, PyObject* o) {
    if (!PyUnicode_Check(o))
        return raise(PyExc_TypeError, fmt("argument '{}': '{}' object cannot be converted to 'PyString'", arg, type_name_of(o)));
    return utf8_of(o);
}

// A name inside an argument: a str (else the argument's conversion error)
// that is valid UTF-8 without NUL (else the refusal that opens with `place`).
PyResult<std::string> arg_name(const char* arg, PyObject* o, std::string_view place) {
    if (!PyUnicode_Check(o))
        return raise(PyExc_TypeError, fmt("argument '{}': '{}' object cannot be converted to 'PyString'", arg, type_name_of(o)));
    return name_text(o, place);
}

PyStatus check_dict_arg(const char* arg, PyObject* o, bool none_ok) {
    if ((none_ok && o == Py_None) || PyDict_Check(o)) return {};
    return raise(PyExc_TypeError, fmt("argument '{}': '{}' object cannot be converted to 'PyDict'", arg, type_name_of(o)));
}

// A dict found inside an argument: its refusal names no argument.
PyStatus check_inner_dict(PyObject* o) {
    if (PyDict_Check(o)) return {};
    return raise(PyExc_TypeError, fmt("'{}' object cannot be converted to 'PyDict'", type_name_of(o)));
}

// The dict's items, a snapshot that Python code run later cannot change.
PyResult<PyRef> items_of(PyObject* dict) {
    PyRef items = PyRef::steal(PyDict_Items(dict));
    if (!items) return raised();
    return items;
}

// An unsigned 8-bit number: decimal digits with one optional leading "+".
std::optional<uint8_t> parse_u8(std::string_view s) {
    if (s.starts_with("+")) s.remove_prefix(1);
    if (s.empty() || s.size() > 3) return std::nullopt;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 255) return std::nullopt;
    return static_cast<uint8_t>(v);
}

PyResult<std::vector<EventSpec>> read_events(PyObject* events) {
    std::vector<EventSpec> out;
    if (events == Py_None) return out;
    QUARN_TRY(PyRef items, items_of(events));
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        PyObject* value = PyTuple_GetItem(item, 1);
        QUARN_TRY(std::string type, arg_name("events", PyTuple_GetItem(item, 0), "type"));
        if (!PyTuple_Check(value))
            return raise(PyExc_TypeError,
                         fmt("argument 'events': '{}' object cannot be converted to 'PyTuple'", type_name_of(value)));
        if (PyTuple_Size(value) != 2)
            return raise(PyExc_ValueError, fmt("expected tuple of length 2, but got tuple of length {}", PyTuple_Size(value)));
        QUARN_TRY(std::string ts_field, arg_name("events", PyTuple_GetItem(value, 0), fmt("{}: timestamp field", type)));
        PyObject* ms = PyTuple_GetItem(value, 1);
        PyRef index = PyRef::steal(PyNumber_Index(ms));
        if (!index) {
            PyErr_Clear();
            return raise(PyExc_TypeError,
                         fmt("argument 'events': '{}' object cannot be interpreted as an integer", type_name_of(ms)));
        }
        long long expires = PyLong_AsLongLong(index.get());
        if (expires == -1 && PyErr_Occurred()) return raised();
        out.push_back({std::move(type), std::move(ts_field), expires});
    }
    return out;
}

PyResult<std::vector<TypeSchema>> read_schemas(PyObject* schemas) {
    std::vector<TypeSchema> out;
    if (schemas == Py_None) return out;
    QUARN_TRY(PyRef items, items_of(schemas));
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        QUARN_TRY(std::string type, arg_name("schemas", PyTuple_GetItem(item, 0), "type"));
        PyObject* inner = PyTuple_GetItem(item, 1);
        QUARN_CHECK(check_inner_dict(inner));
        TypeSchema schema{type, {}, 0};
        QUARN_TRY(PyRef fields, items_of(inner));
        for (Py_ssize_t k = 0; k < PyList_Size(fields.get()); ++k) {
            PyObject* pair = PyList_GetItem(fields.get(), k);
            QUARN_TRY(std::string name, arg_name("schemas", PyTuple_GetItem(pair, 0), fmt("{}: field {}", type, k)));
            QUARN_TRY(std::string spec, arg_text("schemas", PyTuple_GetItem(pair, 1)));
            QUARN_TRY(FieldSpec f, parse_field_spec(type, name, spec));
            // Bits past 64 have no place in the mask; the engine refuses such a type.
            if (f.nullable && schema.fields.size() < TypeSchema::max_fields) schema.nullable |= uint64_t(1) << schema.fields.size();
            schema.fields.emplace_back(std::move(name), f.type);
        }
        out.push_back(std::move(schema));
    }
    return out;
}

bool same_fields(const FieldList& a, const FieldList& b) { return a == b; }

}  // namespace

PyResult<FieldSpec> parse_field_spec(std::string_view type_name, std::string_view field, std::string_view spec) {
    std::string_view base = spec;
    bool nullable = base.ends_with("?");
    if (nullable) base.remove_suffix(1);
    if (base == "i64") return FieldSpec{FieldType::i64(), nullable};
    if (base == "f64") return FieldSpec{FieldType::f64(), nullable};
    if (base == "String") return FieldSpec{FieldType::str(), nullable};
    if (base == "bool") return FieldSpec{FieldType::boolean(), nullable};
    if (base.starts_with("decimal(") && base.ends_with(")") && base.size() >= 9) {
        std::string_view inner = base.substr(8, base.size() - 9);
        size_t comma = inner.find(',');
        std::optional<uint8_t> p, s;
        if (comma != std::string_view::npos) {
            p = parse_u8(trim_white_space(inner.substr(0, comma)));
            s = parse_u8(trim_white_space(inner.substr(comma + 1)));
        }
        if (!p || !s) return raise(PyExc_ValueError, fmt("{}.{}: bad decimal spec {}", type_name, field, quoted(spec)));
        if (*p < 1 || *p > 38 || *s > *p)
            return raise(PyExc_ValueError, fmt("{}.{}: decimal(p,s) needs 1<=p<=38, 0<=s<=p", type_name, field));
        return FieldSpec{FieldType::dec(*p, *s), nullable};
    }
    return raise(PyExc_ValueError, fmt("{}.{}: unknown subset type {}", type_name, field, quoted(base)));
}

const TypeSchema* PySession::declared_type(std::string_view name) const {
    for (const TypeSchema& t : declared)
        if (t.name == name) return &t;
    return nullptr;
}

PyResult<PySession> PySession::create(PyObject* rules, PyObject* facts, PyObject* schemas, PyObject* events) {
    PySession s;
    QUARN_TRY(s.rules, arg_text("rules", rules));
    QUARN_CHECK(check_dict_arg("facts", facts, true));
    QUARN_CHECK(check_dict_arg("schemas", schemas, true));
    QUARN_CHECK(check_dict_arg("events", events, true));
    QUARN_TRY(s.events, read_events(events));
    QUARN_TRY(s.declared, read_schemas(schemas));

    struct Pending {
        std::string type;
        IngestedTable table;
    };
    std::vector<Pending> pending;
    if (facts != Py_None) {
        QUARN_TRY(PyRef items, items_of(facts));
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);
            QUARN_TRY(std::string type, arg_name("facts", PyTuple_GetItem(item, 0), "type"));
            const TypeSchema* found = s.declared_type(type);
            std::optional<TypeSchema> schema;
            if (found) schema = *found;
            QUARN_TRY(IngestedTable table, ingest_any(type, PyTuple_GetItem(item, 1), schema ? &*schema : nullptr));
            if (schema) {
                if (!same_fields(schema->fields, table.fields))
                    return raise(PyExc_ValueError,
                                 fmt("{}: table schema differs from the declared schema (declared {}, table {})", type,
                                     field_list_text(schema->fields), field_list_text(table.fields)));
            } else {
                s.declared.push_back(TypeSchema{type, table.fields, 0});
            }
            pending.push_back({std::move(type), std::move(table)});
        }
    }
    if (facts != Py_None || !s.declared.empty()) QUARN_CHECK(s.ensure_built());
    for (Pending& p : pending) QUARN_CHECK(s.insert_columns(p.type, std::move(p.table)));
    return s;
}

PyResult<Session> PySession::build_engine() {
    using BuildFault = InjectedFaults::BuildFault;
    if (faults.fail_build == BuildFault::Any || (faults.fail_build == BuildFault::BesideEngine && engine)) {
        faults.fail_build = BuildFault::None;
        throw std::bad_alloc();
    }
    auto created = Session::create(declared);
    if (!created) return raise(PyExc_ValueError, created.error().display());
    Session e = std::move(created).value();
    for (const EventSpec& ev : events)
        if (EngineStatus ok = e.declare_event(ev.type, ev.ts_field, std::nullopt, ev.expires_ms); !ok)
            return raise(PyExc_ValueError, ok.error().display());
    if (EngineStatus ok = e.add_rules_text(rules); !ok) return raise(PyExc_ValueError, ok.error().display());
    return e;
}

PyStatus PySession::ensure_built() {
    if (built) return {};
    QUARN_TRY(Session e, build_engine());
    engine.emplace(std::move(e));
    built = true;
    return {};
}

PyStatus PySession::usable() const {
    // The engine decides: it marked itself broken when the failure went
    // through it.
    const std::optional<EngineFailure>& failure = engine ? engine->failure() : released_failure;
    if (!failure) return {};
    const EngineFailure& broken = *failure;
    std::string text = fmt("session broken by an earlier failure ({}): reset() or a new session is needed",
                           broken.out_of_memory ? std::string("out of memory") : broken.message);
    if (broken.out_of_memory) return raise(PyExc_MemoryError, text);
    return raise(internal_error_class() ? internal_error_class() : PyExc_SystemError, text);
}

PyResult<std::vector<FactId>> PySession::insert_columns(const std::string& type_name, IngestedTable table) {
    if (!engine) invariant_broken("built");
    std::vector<FactId> handles;
    size_t rows = table.rows();
    if (table.fields.empty() || rows == 0) return handles;
    const TypeSchema* schema = declared_type(type_name);
    std::optional<TypeId> type = engine->store().type_id(type_name);
    if (!schema || !type) unreachable("rows of an undeclared type");
    std::vector<Column> columns;
    columns.reserve(table.columns.size());
    for (size_t j = 0; j < table.columns.size(); ++j)
        columns.push_back(table.columns[j].into_column(schema->fields[j].second.kind));
    // The engine checks every row before it stores the first, so a refusal
    // leaves it as it was; it throws a broken invariant, and breaks itself,
    // when its store then disagrees with its check. The test probe's fault
    // skips the check: the columns go on as if it had passed them.
    EngineResult<FactId> stored = faults.skip_insert_check ? engine->insert_columns(*type, std::move(columns), rows)
                                                           : engine->insert_table(*type, std::move(columns), rows);
    if (!stored) return raise(PyExc_ValueError, stored.error().display());
    const FactId first = *stored;
    handles.resize(rows);
    for (size_t i = 0; i < rows; ++i) handles[i] = first + static_cast<FactId>(i);
    return handles;
}

static constexpr const char* kNoTypes = "session has no declared types: construct with facts= to establish schemas";

PyResult<std::vector<FactId>> PySession::insert(PyObject* type_name, PyObject* data) {
    QUARN_CHECK(usable());
    QUARN_TRY(std::string type, arg_name("type_name", type_name, "type"));
    if (!engine) return raise(PyExc_RuntimeError, kNoTypes);
    const TypeSchema* found = declared_type(type);
    if (!found) return raise(PyExc_ValueError, fmt("unknown fact type {} (types are declared by the constructor's tables)", type));
    TypeSchema schema = *found;
    QUARN_TRY(IngestedTable table, ingest_any(type, data, &schema));
    if (!same_fields(schema.fields, table.fields))
        return raise(PyExc_ValueError, fmt("{}: schema mismatch with the declaring table", type));
    return insert_columns(type, std::move(table));
}

PyResult<FactId> PySession::insert_row(PyObject* type_name, PyObject* row) {
    QUARN_CHECK(usable());
    QUARN_TRY(std::string type, arg_name("type_name", type_name, "type"));
    QUARN_CHECK(check_dict_arg("row", row, false));
    if (!engine) return raise(PyExc_RuntimeError, kNoTypes);
    const TypeSchema* found = declared_type(type);
    if (!found) return raise(PyExc_ValueError, fmt("unknown fact type {}", type));
    TypeSchema schema = *found;
    std::vector<std::pair<std::string, Value>> pairs;
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const std::string& name = schema.fields[i].first;
        PyRef key = str_of(name);
        if (!key) return raised();
        PyRef value = PyRef::steal(PyObject_GetItem(row, key.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return raised();
            PyErr_Clear();
            return raise(PyExc_ValueError, fmt("{}: missing field {}", type, name));
        }
        QUARN_TRY(Value v, py_scalar(type, name, value.get(), FieldHint::of(schema, i)));
        pairs.emplace_back(name, std::move(v));
    }
    auto f = engine->insert(type, std::move(pairs));
    if (!f) return raise(PyExc_ValueError, f.error().display());
    return *f;
}

// --- The Python class.

namespace {

struct SessionObject {
    PyObject_HEAD
    PySession* session;
    // Set while a method runs: the session is exclusively borrowed.
    bool borrowed;
};

// The exclusive borrow of one method call.
class SessionBorrow {
public:
    explicit SessionBorrow(PyObject* self) : s_(reinterpret_cast<SessionObject*>(self)) {
        if (s_->borrowed) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            s_ = nullptr;
        } else {
            s_->borrowed = true;
        }
    }
    SessionBorrow(const SessionBorrow&) = delete;
    SessionBorrow& operator=(const SessionBorrow&) = delete;
    ~SessionBorrow() {
        if (s_) s_->borrowed = false;
    }
    explicit operator bool() const { return s_ != nullptr; }
    PySession& session() const { return *s_->session; }

private:
    SessionObject* s_;
};

PyObject* handle_list(const std::vector<FactId>& handles) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(handles.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < handles.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLong(handles[i]);
        if (!n) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), n);
    }
    return list.release();
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"rules", "facts", "schemas", "events", nullptr};
        PyObject *rules = nullptr, *facts = Py_None, *schemas = Py_None, *events = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Session", const_cast<char**>(kwlist), &rules, &facts,
                                         &schemas, &events))
            return nullptr;
        auto created = PySession::create(rules, facts, schemas, events);
        if (!created) return nullptr;
        auto session = std::make_unique<PySession>(std::move(created).value());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<SessionObject*>(self);
        obj->session = session.release();
        obj->borrowed = false;
        return self;
    });
}

void session_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SessionObject*>(self)->session;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* session_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"type_name", "data", nullptr};
        PyObject *type_name = nullptr, *data = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:insert", const_cast<char**>(kwlist), &type_name, &data))
            return nullptr;
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        auto handles = borrow.session().insert(type_name, data);
        if (!handles) return nullptr;
        return handle_list(*handles);
    });
}

PyObject* session_insert_row(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"type_name", "row", nullptr};
        PyObject *type_name = nullptr, *row = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:insert_row", const_cast<char**>(kwlist), &type_name, &row))
            return nullptr;
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        auto handle = borrow.session().insert_row(type_name, row);
        if (!handle) return nullptr;
        return PyLong_FromUnsignedLong(*handle);
    });
}

PyObject* session_fire(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"fire_limit", "on_fire", nullptr};
        PyObject *limit_obj = nullptr, *on_fire = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:fire", const_cast<char**>(kwlist), &limit_obj, &on_fire))
            return nullptr;
        auto limit = fire_limit_arg(limit_obj);
        if (!limit) return nullptr;
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        auto result = borrow.session().fire(*limit, on_fire == Py_None ? nullptr : on_fire);
        if (!result) return nullptr;
        return result->release();
    });
}

PyObject* session_update(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // handle is positional or keyword; every other keyword is a field.
        PyRef fields = PyRef::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
        if (!fields) return nullptr;
        Py_ssize_t n = PyTuple_Size(args);
        PyRef keyword = PyRef::borrow(PyDict_GetItemString(fields.get(), "handle"));
        PyRef handle;
        if (n > 1) {
            PyErr_Format(PyExc_TypeError, "update() takes 1 positional argument but %zd were given", n);
            return nullptr;
        }
        if (n == 1 && keyword) {
            PyErr_SetString(PyExc_TypeError, "update() got multiple values for argument 'handle'");
            return nullptr;
        }
        if (n == 1) {
            handle = PyRef::borrow(PyTuple_GetItem(args, 0));
        } else if (keyword) {
            handle = std::move(keyword);
            if (PyDict_DelItemString(fields.get(), "handle") < 0) return nullptr;
        } else {
            PyErr_SetString(PyExc_TypeError, "update() missing 1 required positional argument: 'handle'");
            return nullptr;
        }
        auto h = i64_arg("handle", handle.get());
        if (!h) return nullptr;
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        if (!borrow.session().update(*h, fields.get())) return nullptr;
        Py_RETURN_NONE;
    });
}

// Methods taking one integer argument, or none.
template <PyStatus (PySession::*op)(int64_t)>
PyObject* session_int_op(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* arg = nullptr;
        // One positional argument, the form of a loop of deletes or clock
        // steps, needs no parsing; any other form (a keyword, a missing or
        // extra argument) takes the parser and its messages.
        if ((kwargs == nullptr || PyDict_Size(kwargs) == 0) && PyTuple_Size(args) == 1) {
            arg = PyTuple_GetItem(args, 0);
        } else {
            const char* kwlist[] = {name, nullptr};
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &arg)) return nullptr;
        }
        auto v = i64_arg(name, arg);
        if (!v) return nullptr;
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        if (!(borrow.session().*op)(*v)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* session_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
    return session_int_op<&PySession::delete_fact>(self, args, kwargs, "O:delete", "handle");
}

PyObject* session_advance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return session_int_op<&PySession::advance>(self, args, kwargs, "O:advance", "ms");
}

PyObject* session_reset(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SessionBorrow borrow(self);
        if (!borrow) return nullptr;
        if (!borrow.session().reset()) return nullptr;
        Py_RETURN_NONE;
    });
}

PyMethodDef session_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_insert)), METH_VARARGS | METH_KEYWORDS,
     "insert($self, type_name, data)\n--\n\n"
     "Insert more rows: an Arrow table or a dict of column lists.\n"
     "Returns the new facts' HANDLES (insertion order). The type must\n"
     "already be known to the session."},
    {"insert_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_insert_row)),
     METH_VARARGS | METH_KEYWORDS,
     "insert_row($self, type_name, row)\n--\n\n"
     "Insert a single fact from keyword-style dict (REPL convenience;\n"
     "same bulk path, batch of one). Returns the new fact's HANDLE."},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_update)), METH_VARARGS | METH_KEYWORDS,
     "update($self, handle, **fields)\n--\n\n"
     "EXTERNAL update by handle (D-047): set the given fields and\n"
     "propagate with the changed-fields property mask. Handles come\n"
     "from result tables' `_handle` column. Composes with other\n"
     "external actions in SESSION-ACTION ORDER (certified)."},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_delete)), METH_VARARGS | METH_KEYWORDS,
     "delete($self, handle)\n--\n\nEXTERNAL delete by handle (D-047)."},
    {"advance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_advance)), METH_VARARGS | METH_KEYWORDS,
     "advance($self, ms)\n--\n\nCEP (D-101): advance the pseudo-clock by ms."},
    {"reset", session_reset, METH_NOARGS,
     "reset($self)\n--\n\n"
     "D-104: in-place session reset for paged batches — clears WM,\n"
     "agenda, TMS, clock and handle numbering; keeps rules/queries."},
    {"fire", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_fire)), METH_VARARGS | METH_KEYWORDS,
     "fire($self, fire_limit=100000, on_fire=None)\n--\n\n"
     "Run the rules to quiescence and return THIS fire's delta.\n"
     "Sessions are multi-fire (D-046): insert more facts afterwards and\n"
     "fire again. `on_fire(rule, matches)` is an OBSERVER invoked per\n"
     "firing after the run completes, in firing order; matches is a\n"
     "list of (type, handle) pairs. The run itself releases the GIL."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, session_methods},
    {Py_tp_doc, const_cast<char*>("Session(rules, facts=None, schemas=None, events=None)\n--\n\n"
                                  "A rule session: the compiled `rules` (rule text), a working memory,\n"
                                  "an agenda and a pseudo-clock. `facts` maps a type name to its initial\n"
                                  "rows: an Arrow table (anything implementing __arrow_c_stream__) or a\n"
                                  "dict of column lists. `schemas` maps a type name to {field: type},\n"
                                  "the type one of \"i64\", \"f64\", \"String\", \"bool\", \"decimal(p,s)\", with a\n"
                                  "trailing \"?\" for a nullable field. `events` maps an event type to\n"
                                  "(timestamp field, expires_ms).")},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "quarn._native.Session",
    static_cast<int>(sizeof(SessionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    session_slots,
};

}  // namespace

PyObject* session_type_create(PyObject*) { return PyType_FromSpec(&session_spec); }

PySession* session_of(PyObject* o, PyObject* session_type) {
    if (!session_type || !PyType_Check(session_type) || !PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(session_type)))
        return nullptr;
    return reinterpret_cast<SessionObject*>(o)->session;
}

}  // namespace quarn::py
