// What a fire hands back, rendered: one Arrow batch per declared type, the
// long-format firing audit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arrow_export.h"
#include "common/result.h"
#include "engine/engine.h"
#include "fact_json.h"

namespace quarn::py {

// "_handle", then one column per declared field; the error is the
// RuntimeError's text.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_for_type(const TypeSchema& schema,
                                                                        const std::vector<const FactView*>& views);
// The same batch for the facts `ids` of store type `type`, declared as
// `schema`, read from the store's columns.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_of_facts(const FactStore& store, TypeId type,
                                                                        const TypeSchema& schema,
                                                                        const std::vector<FactId>& ids);
// seq, rule, pos, type, handle, values_json: one row per matched fact.
Result<std::shared_ptr<const arrow::Batch>, std::string> audit_batch(const std::vector<Firing>& firings);

}  // namespace quarn::py
