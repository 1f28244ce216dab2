// Session: firing and building the Result, and the changes between fires
// (update, delete, advance, reset).
#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "common/internal_error.h"
#include "common/text.h"
#include "convert.h"
#include "names.h"
#include "result.h"
#include "result_tables.h"
#include "session.h"

namespace quarn::py {

namespace {

constexpr const char* kNotBuilt = "session has no declared types";
constexpr std::string_view kQueryArgs = "QueryArgs";

PyResult<PyRef> index_arg(const char* name, PyObject* o) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) {
        PyErr_Clear();
        return raise(PyExc_TypeError, fmt("argument '{}': '{}' object cannot be interpreted as an integer", name, type_name_of(o)));
    }
    return index;
}

// A handle the engine can hold: a FactId is 32 bits, so anything outside is
// one it never issued.
PyResult<FactId> fact_id(int64_t handle) {
    if (handle < 0 || handle > int64_t(UINT32_MAX))
        return raise(PyExc_ValueError, fmt("engine error: unknown handle {}", handle));
    return static_cast<FactId>(handle);
}

// (type, handle) per matched fact; an answer row of a ?query element shows
// as the pseudo fact of its call, ("QueryArgs", 4294967295).
PyObject* observer_matches(const Session& e, std::span<const FactId> facts) {
    const FactStore& store = e.store();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(facts.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < facts.size(); ++i) {
        const bool call = e.is_query_row(facts[i]);
        const std::string_view type =
            call ? kQueryArgs : std::string_view(store.schema(store.fact_type(facts[i])).name);
        PyObject* pair = Py_BuildValue("(NK)", str_of(type).release(),
                                       static_cast<unsigned long long>(call ? UINT32_MAX : facts[i]));
        if (!pair) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

// Passes each firing on to the audit, and fails the fire from inside the
// firing loop where the test probe asked for it.
class FaultingSink final : public FiringSink {
public:
    FaultingSink(FiringSink& audit, InjectedFaults& faults) : audit_(audit), faults_(faults) {}
    void fired(size_t rule, std::span<const FactId> facts) override {
        if (faults_.fail_after_firings && *faults_.fail_after_firings == done_) {
            faults_.fail_after_firings.reset();
            if (faults_.as_internal) invariant_broken("injected failure in the firing loop");
            throw std::bad_alloc();
        }
        ++done_;
        audit_.fired(rule, facts);
    }

private:
    FiringSink& audit_;
    InjectedFaults& faults_;
    uint64_t done_ = 0;
};

}  // namespace

PyResult<uint64_t> fire_limit_arg(PyObject* o) {
    if (!o) return kDefaultFireLimit;
    return u64_arg("fire_limit", o);
}

PyResult<uint64_t> u64_arg(const char* name, PyObject* o) {
    QUARN_TRY(PyRef index, index_arg(name, o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyRef zero = PyRef::steal(PyLong_FromLong(0));
        if (!zero) return raised();
        bool negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT) == 1;
        return raise(PyExc_OverflowError, fmt("argument '{}': {}", name,
                                              negative ? "can't convert negative int to unsigned" : "int too big to convert"));
    }
    return static_cast<uint64_t>(v);
}

PyResult<int64_t> i64_arg(const char* name, PyObject* o) {
    QUARN_TRY(PyRef index, index_arg(name, o));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return raise(PyExc_OverflowError, fmt("argument '{}': int too big to convert", name));
    }
    return static_cast<int64_t>(v);
}

PyResult<PyRef> PySession::fire(uint64_t fire_limit, PyObject* on_fire) {
    QUARN_CHECK(usable());
    QUARN_CHECK(ensure_built());
    return fire_built(fire_limit, on_fire);
}

PyResult<PyRef> PySession::fire_built(uint64_t fire_limit, PyObject* on_fire) {
    Session& e = *engine;
    // The audit keeps each firing's facts as its right-hand side left them;
    // their texts are made when the table is read.
    AuditBuilder audit(e, on_fire != nullptr);
    std::optional<FaultingSink> faulting;
    if (faults.fail_after_firings) faulting.emplace(audit, faults);
    FiringSink& sink = faulting ? static_cast<FiringSink&>(*faulting) : audit;
    // What the fire added and deleted comes from the engine: the result
    // costs no pass over every handle.
    FireReport report;
    EngineStatus run = [&] {
        GilRelease unlocked;
        // Results read their snapshots of the store under this lock: the fire
        // changes the store while other threads run.
        std::lock_guard<std::mutex> held(*store_lock);
        return e.fire_all(fire_limit, sink, &report);
    }();
    if (!run) return raise(PyExc_RuntimeError, run.error().display());
    if (on_fire) {
        for (size_t i = 0; i < audit.firings(); ++i) {
            PyRef rule = str_of(audit.rule(i));
            if (!rule) return raised();
            PyRef matches = PyRef::steal(observer_matches(e, audit.matches(i)));
            if (!matches) return raised();
            PyRef called = PyRef::steal(PyObject_CallFunctionObjArgs(on_fire, rule.get(), matches.get(), nullptr));
            if (!called) return raised();
        }
    }

    ResultData data;
    auto tables = fire_tables(e, declared, report.start_fact_count, store_lock);
    if (!tables) return raise(PyExc_RuntimeError, tables.error());
    data.tables = std::move(tables).value();
    data.deleted.assign(report.deleted.begin(), report.deleted.end());
    if (auto audited = audit.finish(data); !audited) return raise(PyExc_RuntimeError, audited.error());
    data.fired = audit.firings();
    PyRef result = PyRef::steal(make_result(std::move(data)));
    if (!result) return raised();
    return result;
}

PyStatus PySession::update(int64_t handle, PyObject* fields) {
    QUARN_CHECK(usable());
    if (!engine) return raise(PyExc_RuntimeError, kNotBuilt);
    if (!fields || PyDict_Size(fields) == 0) return raise(PyExc_ValueError, "update: no fields given");
    // The fact's declared type supplies the hints; an unknown or dead handle,
    // or a type the session does not declare, converts by Python type alone.
    const TypeSchema* schema = nullptr;
    if (handle >= 0 && handle <= int64_t(UINT32_MAX))
        if (auto name = engine->fact_type_name(static_cast<FactId>(handle)); name && *name) schema = declared_type(**name);
    std::vector<std::pair<std::string, Value>> changes;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields, &pos, &key, &value)) {
        QUARN_TRY(std::string name, name_text(key, "update: field"));
        FieldHint hint = FieldHint::none();
        if (schema)
            for (size_t i = 0; i < schema->fields.size(); ++i)
                if (schema->fields[i].first == name) hint = FieldHint::of(*schema, i);
        QUARN_TRY(Value v, py_scalar("update", name, value, hint));
        changes.emplace_back(std::move(name), std::move(v));
    }
    QUARN_TRY(FactId id, fact_id(handle));
    if (EngineStatus ok = engine->update_fact(id, std::move(changes)); !ok)
        return raise(PyExc_ValueError, ok.error().display());
    return {};
}

PyStatus PySession::delete_fact(int64_t handle) {
    QUARN_CHECK(usable());
    if (!engine) return raise(PyExc_RuntimeError, kNotBuilt);
    QUARN_TRY(FactId id, fact_id(handle));
    if (EngineStatus ok = engine->delete_fact(id); !ok)
        return raise(PyExc_ValueError, ok.error().display());
    return {};
}

PyStatus PySession::advance(int64_t ms) {
    QUARN_CHECK(usable());
    QUARN_CHECK(ensure_built());
    if (!engine) return raise(PyExc_RuntimeError, kNotBuilt);
    if (EngineStatus ok = engine->advance(ms); !ok)
        return raise(PyExc_ValueError, ok.error().display());
    return {};
}

PyStatus PySession::reset() {
    if (!engine && !released_failure) return raise(PyExc_RuntimeError, kNotBuilt);
    if (released_failure || engine->failure()) {
        // The engine may be half updated anywhere, its compiled parts too:
        // build it afresh from the session's own fields. A failure that
        // broke it is often the memory running out, and the broken engine
        // still holds what it had: it goes first, or the build would need
        // room for two. A build that fails leaves the session broken as it was.
        if (engine) {
            released_failure = engine->failure();
            engine.reset();
        }
        QUARN_TRY(Session fresh, build_engine());
        engine.emplace(std::move(fresh));
        released_failure.reset();
        return {};
    }
    if (EngineStatus ok = engine->reset(); !ok)
        return raise(PyExc_ValueError, ok.error().display());
    return {};
}

}  // namespace quarn::py
