// What a fire hands back, rendered: one Arrow batch per declared type, the
// long-format firing audit.
#pragma once

#include <memory>
#include <span>
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
// The audit table, built while the engine fires: seq, rule, pos, type,
// handle, values_json, one row per matched fact, each firing's facts rendered
// as soon as its right-hand side has run (Engine::firing_sink). An exception
// thrown while rendering ends the fire.
class AuditBuilder final : public FiringSink {
public:
    // `keep_matches`: also keep each firing's rule and facts for rule() and
    // matches().
    AuditBuilder(const Engine& engine, bool keep_matches);
    void fired(size_t rule, TupleView facts) override;
    // After the fire, when kept: the rule of firing `i`, and its facts.
    const std::string& rule(size_t i) const;
    std::span<const FactId> matches(size_t i) const;
    // After the fire: the table, or the RuntimeError's text.
    Result<std::shared_ptr<const arrow::Batch>, std::string> finish();

private:
    // A ?query element's answer row as the call's arguments (QueryArgs);
    // false once a text column is full.
    bool write_query_call(int64_t seq, const std::string& rule_name, size_t rule, size_t pos, FactId row);

    const Engine& engine_;
    bool keep_matches_;
    arrow::ColumnBuilder seq_, rule_, pos_, type_, handle_, json_;
    JsonText text_;
    StoredFactJson writer_;
    int64_t firings_ = 0;
    int64_t rows_ = 0;
    bool too_long_ = false;
    std::vector<size_t> rules_;       // by firing
    std::vector<FactId> matched_;
    std::vector<size_t> match_ends_;  // by firing: the end of its facts in matched_
};

}  // namespace quarn::py
