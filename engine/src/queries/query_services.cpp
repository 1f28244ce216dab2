// The services around compiled queries: alpha tests, the candidate cache,
// dependencies and the linked test.
#include <algorithm>

#include "queries/queries.h"

namespace quarn {

bool AlphaTest::passes(const Value& v) const {
    switch (kind) {
        case Kind::Cmp: return eval_cmp(v, op, lit);
        case Kind::Matches: return v.tag() == ValueTag::Str && regex && regex->accepts(v.as_str());
        case Kind::Contains: return v.tag() == ValueTag::Str && v.as_str().find(text) != std::string::npos;
        case Kind::In: {
            bool found = std::any_of(items.begin(), items.end(),
                                     [&](const Value& item) { return eval_cmp(v, CmpOp::Eq, item); });
            return found != negated;
        }
        case Kind::IsNull: return v.is_null() != negated;
    }
    return false;
}

namespace {

const FactList& facts_of(const FactStore& store, TypeId t) {
    static const FactList none;
    return t < store.type_count() ? store.facts_of_type(t) : none;
}

// The alpha tests alone; the caller has checked liveness and type.
bool alpha_passes(const FactStore& store, const CNode& node, FactId f) {
    for (const auto& [field, test] : node.alpha) {
        if (!test.passes(store.get(f, field))) return false;
    }
    return true;
}

}  // namespace

bool pattern_admits(const FactStore& store, const CNode& node, FactId f) {
    return store.is_alive(f) && store.fact_type(f) == node.type_id && alpha_passes(store, node, f);
}

std::vector<FactId> drain_pattern(QueryCache& cache, const FactStore& store, const QuerySite& site, const CNode& node) {
    std::vector<FactId>& cached = cache[site];
    // Survivors keep their places; the type cannot have changed.
    std::erase_if(cached, [&](FactId f) { return !store.is_alive(f) || !alpha_passes(store, node, f); });
    HashSet<FactId> kept;
    kept.reserve(cached.size());
    for (FactId f : cached) kept.insert(f);
    // Only the pattern's own type can hold candidates; its list is ascending.
    std::vector<FactId> fresh;
    for (FactId f : facts_of(store, node.type_id)) {
        if (!kept.contains(f) && pattern_admits(store, node, f)) fresh.push_back(f);
    }
    cached.insert(cached.end(), fresh.rbegin(), fresh.rend());
    return cached;
}

void drain_query(const FactStore& store, const std::vector<CompiledQuery>& queries, QueryCache& cache, uint32_t q) {
    const CompiledQuery& query = queries[q];
    for (uint32_t b = 0; b < query.branches.size(); ++b) {
        for (uint32_t i = 0; i < query.branches[b].size(); ++i) {
            const CNode& node = query.branches[b][i];
            if (!node.is_call()) (void)drain_pattern(cache, store, {q, b, i}, node);
        }
    }
}

std::vector<uint32_t> dependencies(const std::vector<CompiledQuery>& queries, const std::vector<uint32_t>& roots) {
    std::vector<uint32_t> stack = roots;
    std::vector<uint32_t> result;
    std::vector<bool> seen(queries.size(), false);
    while (!stack.empty()) {
        uint32_t x = stack.back();
        stack.pop_back();
        if (seen[x]) continue;
        seen[x] = true;
        result.push_back(x);
        for (const auto& branch : queries[x].branches) {
            for (const CNode& node : branch) {
                if (node.is_call()) stack.push_back(node.callee);
            }
        }
    }
    std::sort(result.begin(), result.end());
    return result;
}

bool query_linked(const FactStore& store, const std::vector<CompiledQuery>& queries, uint32_t q) {
    for (const auto& branch : queries[q].branches) {
        bool every_pattern_has_a_fact = true;
        for (const CNode& node : branch) {
            if (node.is_call()) continue;
            const FactList& facts = facts_of(store, node.type_id);
            bool found = std::any_of(facts.begin(), facts.end(), [&](FactId f) { return pattern_admits(store, node, f); });
            if (!found) {
                every_pattern_has_a_fact = false;
                break;
            }
        }
        if (every_pattern_has_a_fact) return true;
    }
    return false;
}

}  // namespace quarn
