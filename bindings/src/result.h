// The classes Result and Table: what a fire hands back. Neither can be
// constructed from Python; tables come only from a Result.
#pragma once

#include <memory>
#include <mutex>
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
// it is read, from a snapshot of the store as the fire left it: later changes
// of the session, its reset and its end leave the tables as they would have
// been at once, while a change costs the session no more for it (FactSnapshot).
class FactTables {
public:
    struct Type {
        TypeSchema declared;
        TypeId store_type = 0;
        bool has_facts = false;  // the first declared entry of its store type: the others show none
        BatchPtr facts, derived;  // null until built
    };

    // `store_lock` is held by whoever reads or fires the session's store
    // without the interpreter lock (PySession::store_lock).
    FactTables(FactSnapshot snapshot, uint64_t start_fact_count, std::shared_ptr<std::mutex> store_lock)
        : snapshot_(std::move(snapshot)), start_fact_count_(start_fact_count), store_lock_(std::move(store_lock)) {}

    std::vector<Type>& types() { return types_; }
    size_t size() const { return types_.size(); }
    // Builds the missing tables of entry `t` (derived ones when `derived`),
    // or gives the RuntimeError's text. The derived tables of every entry are
    // built together: one pass over the facts the fire added.
    Result<void, std::string> build(size_t t, bool derived);
    // Whether some table is still to be built.
    bool waiting() const;
    // Both tables of entry `t` at once, the fire still holding the session.
    Result<void, std::string> build_now(size_t t);

private:
    Result<void, std::string> build_facts(size_t t);
    // The missing derived tables: of entry `only`, or of every entry.
    Result<void, std::string> build_derived(std::optional<size_t> only);

    FactSnapshot snapshot_;  // let go once every table is built
    // By TypeId: the facts the fire added, read once for every derived table.
    std::optional<std::vector<SnapshotRows>> new_rows_;
    uint64_t start_fact_count_;
    std::shared_ptr<std::mutex> store_lock_;
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
// The record inside `o` when it is of `result_type` (quarn._native.Result,
// as a module that links the bindings on its own must name it); else null.
const ResultData* result_data_of(PyObject* o, PyObject* result_type);

}  // namespace quarn::py
