// The Python class Session: the one owner of an engine Session, built from rule text,
// initial tables, field schemas and event declarations.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/session.h"
#include "ingest.h"
#include "py_support.h"

namespace quarn::py {

struct EventSpec {
    std::string type;
    std::string ts_field;
    int64_t expires_ms = 0;
};

// Failures that only the test probe arms, so that tests can show what a fire
// or an insert that fails midway leaves behind. The public module never sets
// them.
struct InjectedFaults {
    // Throw from inside the firing loop once this many firings of one fire
    // are done: std::bad_alloc, or a broken invariant when `as_internal`.
    // Disarmed when it triggers.
    std::optional<uint64_t> fail_after_firings;
    bool as_internal = false;
    // Hand tables to the engine's column insert without its table check, so
    // that the check and the store can disagree.
    bool skip_insert_check = false;
    // Fail the next engine build with std::bad_alloc: any build, or only one
    // made while the session still holds an engine, as a memory limit with
    // room for one engine fails it. Disarmed when it triggers.
    enum class BuildFault : uint8_t { None, Any, BesideEngine } fail_build = BuildFault::None;
};

class PySession {
public:
    PySession() = default;
    PySession(PySession&&) = default;
    PySession& operator=(PySession&&) = default;
    ~PySession() = default;

    // The constructor's steps: events, schemas, table conversion, build, rows.
    static PyResult<PySession> create(PyObject* rules, PyObject* facts, PyObject* schemas, PyObject* events);

    // Builds the engine once; a failed build leaves the session unbuilt.
    PyStatus ensure_built();
    // A new engine from the declared types, the events and the rule text.
    PyResult<Session> build_engine();

    // Every row of a converted table, all or nothing (the engine checks
    // every row first). Returns the handles in row order.
    PyResult<std::vector<FactId>> insert_columns(const std::string& type_name, IngestedTable table);

    PyResult<std::vector<FactId>> insert(PyObject* type_name, PyObject* data);
    PyResult<FactId> insert_row(PyObject* type_name, PyObject* row);

    const TypeSchema* declared_type(std::string_view name) const;

    // One fire: builds if needed, runs the engine with the interpreter lock
    // released, reports each firing to `on_fire` (none when null), and
    // returns a new Result.
    PyResult<PyRef> fire(uint64_t fire_limit, PyObject* on_fire);
    // The fire past the engine's build.
    PyResult<PyRef> fire_built(uint64_t fire_limit, PyObject* on_fire);
    // Changes between fires; handles come as Python hands them over.
    PyStatus update(int64_t handle, PyObject* fields);
    PyStatus delete_fact(int64_t handle);
    PyStatus advance(int64_t ms);
    PyStatus reset();

    // Refuses every call on a session whose engine broke (a failure stopped
    // one of its changes midway): the class of that failure, with a message
    // that says so and that reset() or a new session is needed.
    PyStatus usable() const;

    std::optional<Session> engine;
    // The failure of a broken engine that reset() let go of before building
    // its successor, kept while no successor could be built: the session
    // refuses every call with it, as the engine did, until a reset() builds one.
    std::optional<EngineFailure> released_failure;
    // Declaration order: the schemas entries, then the facts tables' own types.
    std::vector<TypeSchema> declared;
    std::string rules;
    std::vector<EventSpec> events;
    bool built = false;
    InjectedFaults faults;
    // Held by a fire while the engine runs without the interpreter lock, and
    // by a result while it reads its snapshot of the store (FactTables).
    std::shared_ptr<std::mutex> store_lock = std::make_shared<std::mutex>();
};

// A field specification of the schemas argument ("i64", "decimal(10, 2)",
// "String?") as a field type and its nullability.
struct FieldSpec {
    FieldType type;
    bool nullable = false;
};
constexpr uint64_t kDefaultFireLimit = 100000;

// An integer argument of a method, under the name messages give it.
PyResult<uint64_t> u64_arg(const char* name, PyObject* o);
PyResult<int64_t> i64_arg(const char* name, PyObject* o);
// `fire_limit`, or its default when the caller left it out (null).
PyResult<uint64_t> fire_limit_arg(PyObject* o);

PyResult<FieldSpec> parse_field_spec(std::string_view type_name, std::string_view field, std::string_view spec);

// The Session class, created once by module initialisation.
PyObject* session_type_create(PyObject* module);
// The session inside an instance of `session_type` (the class the module
// made), or null for another object.
PySession* session_of(PyObject* o, PyObject* session_type);

}  // namespace quarn::py
