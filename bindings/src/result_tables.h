// What a fire hands back, rendered: one Arrow batch per declared type, the
// long-format firing audit, and the compact JSON text of one fact.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arrow_export.h"
#include "common/result.h"
#include "engine/engine.h"

namespace quarn::py {

// "_handle", then one column per declared field; the error is the
// RuntimeError's text.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_for_type(const TypeSchema& schema,
                                                                        const std::vector<const FactView*>& views);
// seq, rule, pos, type, handle, values_json: one row per matched fact.
Result<std::shared_ptr<const arrow::Batch>, std::string> audit_batch(const std::vector<Firing>& firings);

// Fields by name in bytewise order, then "value" for collection members.
std::string fact_json(const FactView& view);
// The shortest text that reads back to the same finite double.
std::string json_float(double v);

}  // namespace quarn::py
