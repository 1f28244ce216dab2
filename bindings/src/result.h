// The classes Result and Table: what a fire hands back. Neither can be
// constructed from Python; tables come only from a Result.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrow_export.h"
#include "py_support.h"

namespace quarn::py {

using BatchPtr = std::shared_ptr<const arrow::Batch>;

class AuditCapture;

// The record of one fire; never changed once built, but for the audit table,
// made from its capture the first time it is asked for.
struct ResultData {
    std::vector<uint64_t> deleted;  // ascending
    mutable BatchPtr firings;
    mutable std::shared_ptr<const AuditCapture> audit;  // until firings is built
    // One entry per declared type, in declaration order.
    std::vector<std::pair<std::string, BatchPtr>> facts;
    std::vector<std::pair<std::string, BatchPtr>> derived;
    uint64_t fired = 0;
};

PyObject* result_type_create(PyObject* module);
PyObject* table_type_create(PyObject* module);

// A new Result object (the classes must have been created).
PyObject* make_result(ResultData data);

}  // namespace quarn::py
