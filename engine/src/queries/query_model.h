// Compiled queries: the records the query machine runs and the candidate cache
// it shares with the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rx/rx.h"
#include "store/fact_store.h"
#include "common/hash.h"
#include "store/value.h"

namespace quarn {

// A single-field test with literal operands.
struct AlphaTest {
    enum class Kind : uint8_t { Cmp = 0, Matches, Contains, In, IsNull } kind = Kind::Cmp;
    CmpOp op = CmpOp::Eq;          // Cmp
    Value lit;                     // Cmp
    std::optional<Regex> regex;    // Matches: always present for that kind
    std::string text;              // Contains: the substring; Matches: the pattern source
    std::vector<Value> items;      // In
    bool negated = false;          // In: `not in`; IsNull: `!= null`

    bool passes(const Value& v) const;
};

// The field compared with the value held in a slot.
struct UnifyItem {
    enum class Kind : uint8_t { Param = 0, Binding = 1 } kind = Kind::Binding;
    uint32_t slot = 0;
    uint32_t field = 0;
    CmpOp op = CmpOp::Eq;
};

struct CArg {
    enum class Kind : uint8_t { Lit = 0, Var = 1 } kind = Kind::Lit;
    Value lit;          // Lit
    uint32_t slot = 0;  // Var
};

// One element of a branch: a call of another query, or a pattern over a fact type.
struct CNode {
    enum class Kind : uint8_t { Call = 0, Pattern = 1 } kind = Kind::Pattern;
    // Call
    std::vector<CArg> args;
    uint32_t callee = 0;
    // Pattern
    std::optional<uint32_t> fact_slot;
    std::vector<std::pair<uint32_t, uint32_t>> field_binds;  // (slot, field)
    std::vector<std::pair<uint32_t, AlphaTest>> alpha;       // (field, test)
    std::vector<UnifyItem> unify;
    std::vector<uint32_t> key;  // positions into `unify`, at most 3
    TypeId type_id = 0;
    uint32_t seed = 31;
    bool key_from_param = false;

    bool is_call() const { return kind == Kind::Call; }
};

struct CompiledQuery {
    std::string name;
    std::vector<std::pair<std::string, FieldType>> params;
    // Parameter names, then the variables first declared in the first branch.
    std::vector<std::string> names;
    std::vector<std::vector<CNode>> branches;
    // Place among the file's declarations; orders the query against the rules of
    // "MAIN" (the runtime's agenda_order). The query code never reads it.
    uint64_t decl_seq = 0;
    uint32_t slot_count = 0;
};

// (query, branch, element): one element of one branch.
struct QuerySite {
    uint32_t query = 0;
    uint32_t branch = 0;
    uint32_t element = 0;
    bool operator==(const QuerySite&) const = default;
};
template <>
struct HashOf<QuerySite> {
    uint64_t operator()(const QuerySite& s) const {
        return hash_combine(hash_combine(s.query, s.branch), s.element);
    }
};

// Candidate facts of each pattern element, kept by the engine across rule
// evaluations: surviving older entries first, each new batch newest first.
using QueryCache = HashMap<QuerySite, std::vector<FactId>>;

// Whether a live fact of the node's type passes its alpha tests.
bool pattern_admits(const FactStore& store, const CNode& node, FactId f);
// Refreshes and returns a copy of the candidates of one pattern element.
std::vector<FactId> drain_pattern(QueryCache& cache, const FactStore& store, const QuerySite& site, const CNode& node);

// The index hash of a key under a node's seed (32-bit, wrapping).
uint32_t key_hash(uint32_t seed, const std::vector<Value>& key);

}  // namespace quarn
