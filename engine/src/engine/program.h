// The compiled program of an engine: what declare_event and add_rules_text
// read and write, and what a reset keeps. The declared, built-in and row types
// themselves live in the store's schemas (FactStore), which a reset keeps too.
// Engine (engine.h) is a Program and a Runtime (runtime.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"
#include "engine/compiler/compiled_rule.h"
#include "queries/queries.h"

namespace quarn {

// An event type's declaration.
struct EventDecl {
    std::optional<int64_t> expires_ms;
    std::optional<size_t> duration_field;
    size_t ts_field = 0;
};

struct Program {
    // Event declarations by type (declare_event); the loader sets the expiry
    // of those without an explicit one from the rules' windows.
    HashMap<TypeId, EventDecl> event_decls;
    HashSet<TypeId> expiring_types;  // event types declared with an expiry
    std::vector<CompiledRule> rules;  // load order; index = rule number
    // By rule: its ordinal, the stamp its changes carry; never repeated
    // across rule texts.
    std::vector<uint64_t> stamp_rules;
    std::vector<size_t> rule_order;  // by static salience, highest first, ties by rule index
    std::vector<std::string> entry_point_names{"DEFAULT"};  // by entry-point id
    HashMap<std::string, uint32_t> entry_points;             // name -> id, for named entry points rules use
    std::vector<CompiledQuery> queries;
    std::vector<TypeId> qrow_types;   // one per query
    std::vector<TypeId> gbrow_types;  // one per groupby pattern
    // Event retention computed by the compiler: per event type the longest time
    // a rule may still need its facts (only ever raised), and the types some
    // rule may need forever.
    HashMap<TypeId, int64_t> event_retention_ms;
    HashSet<TypeId> unbounded_event_types;
    // Types some rule inserts with insertLogical.
    HashSet<TypeId> logical_types;
};

}  // namespace quarn
