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
#include "common/text.h"
#include "engine/compiler/compiled_rule.h"
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
    // Results of collectList/collectSet: bound names whose fact holds members
    // rather than a value (an accumulate's result type has no fields, a
    // groupby row only a placeholder), so they are no scalar bindings.
    HashSet<std::string> collections;
    HashSet<std::string> query_bound;      // outputs of ?query patterns
};

// Type names a rule may neither match nor insert: the InitialFact and query rows.
inline bool is_reserved_in_rules(std::string_view name) {
    return name == "InitialFact" || name.starts_with("__qrow$");
}

// The refusal of a collection result used as a value.
inline std::string collection_value_error(std::string_view rule, std::string_view name) {
    return fmt("rule {}: {}: a collectList/collectSet result is not a scalar value", rule, name);
}

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
