// The classes Result and Table: what a fire hands back. Neither can be
// constructed from Python; tables come only from a Result.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrow_export.h"
#include "common/result.h"
#include "engine/session.h"
#include "py_support.h"

namespace quarn::py {

using BatchPtr = std::shared_ptr<const arrow::Batch>;

class AuditCapture;

// The final facts and the derived facts of one fire, one pair of tables per
// declared type. A pair whose building cannot fail is built the first time
// it is read, from the session as the fire left it; the session builds what
// is still missing before it changes (settle), and when it goes first it
// hands its engine over, so that a table read later shows the same rows.
class FactTables {
public:
    struct Type {
        TypeSchema declared;
        TypeId store_type = 0;
        bool has_facts = false;  // the first declared entry of its store type: the others show none
        BatchPtr facts, derived;  // null until built
    };

    FactTables(const Session& engine, uint64_t start_fact_count)
        : engine_(&engine), start_fact_count_(start_fact_count) {}

    std::vector<Type>& types() { return types_; }
    size_t size() const { return types_.size(); }
    // Builds the missing tables of entry `t` (derived ones when `derived`),
    // or gives the RuntimeError's text.
    Result<void, std::string> build(size_t t, bool derived);
    // Whether some table still waits for the engine.
    bool waiting() const;
    // Builds every missing table and lets go of the engine.
    Result<void, std::string> settle();
    // The session goes while some table waits: the tables keep its engine.
    void keep(Session engine);

private:
    const Session* engine_;
    std::optional<Session> kept_;
    uint64_t start_fact_count_;
    std::vector<Type> types_;
};

// The record of one fire; never changed once built, but for the audit table,
// made from its capture the first time it is asked for.
struct ResultData {
    std::vector<uint64_t> deleted;  // ascending
    mutable BatchPtr firings;
    mutable std::shared_ptr<const AuditCapture> audit;  // until firings is built
    // One entry per declared type, in declaration order.
    std::shared_ptr<FactTables> tables;
    uint64_t fired = 0;
};

PyObject* result_type_create(PyObject* module);
PyObject* table_type_create(PyObject* module);

// A new Result object (the classes must have been created).
PyObject* make_result(ResultData data);

}  // namespace quarn::py
