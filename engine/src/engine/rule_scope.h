// What the two halves of Engine::compile_rule share while one rule compiles:
// the names its left-hand side bound, and the action and salience compilers
// that read them. Dropped when the rule is done.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "common/hash.h"
#include "common/result.h"
#include "engine/compiled_rule.h"
#include "store/fact_store.h"

namespace quarn {

// A pattern binding `$b : T(...)`: the fact at `position`, made by compiled
// pattern `pattern` (the temporal analysis keeps one node per pattern).
struct FactBinding {
    size_t position = 0;
    TypeId type = 0;
    size_t pattern = 0;
};

struct RuleScope {
    HashMap<std::string, FactBinding> facts;
    Bindings scalars;                      // `$x : field`, accumulate results and keys, ?query outputs
    HashSet<std::string> minmax_double;    // results of min/max over an F64 argument
    HashSet<std::string> query_bound;      // outputs of ?query patterns
};

// An RHS argument as a value source with its type; errors carry "rule {}: ".
Result<std::pair<Src, FieldType>, std::string> compile_arg(std::string_view rule, const FactStore& store,
                                                           const RhsArg& arg, const RuleScope& scope);
// Whether a value of type `arg` may fill a field of type `field` (an insert
// argument or a setter value); the runtime converts I64 to F64 or Dec and
// rescales decimals.
bool arg_fits_field(const FieldType& arg, const FieldType& field);

// Compiles the rule's actions into `rule.actions` (its patterns are complete)
// and then its salience; the first error ends it.
Status compile_actions_and_salience(const FactStore& store, const RuleScope& scope, CompiledRule& rule);

}  // namespace quarn
