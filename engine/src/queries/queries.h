// Backward-chaining queries: compiling `query` declarations, answering `?query`
// elements over the fact store, and the services the engine runtime calls
// around them (candidate cache, dependencies, the linked test).
//
// A query is addressed by its index in the compiled list (declaration order).
// Its environments have `slot_count` slots: parameters first, then every
// variable in the order its declaration was met.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parser/rule_tree.h"
#include "queries/query_model.h"
#include "store/fact_store.h"
#include "common/result.h"

namespace quarn {

// Compiles one rule text's queries, running every subset check; the first
// failure is the error and nothing partial is returned. Types named in
// `reserved` may not be matched by a query element.
Result<std::vector<CompiledQuery>, std::string> compile_queries(const FactStore& store, std::vector<QueryDef> defs,
                                                                const std::vector<std::string>& reserved);
// Checks every call's argument count and literal argument types.
std::optional<std::string> validate_calls(const std::vector<CompiledQuery>& queries);
// Whether every branch of query q is certain to bind parameter `pos`.
// `visited` holds the (query, position) pairs being asked further up; it is
// left as it was given.
bool param_bound_all_branches(const std::vector<CompiledQuery>& queries, uint32_t q, uint32_t pos,
                              std::vector<std::pair<uint32_t, uint32_t>>& visited);
// Declares the row type "__qrow$<name>" of every query (fields = parameters);
// returns their TypeIds in query order.
Result<std::vector<TypeId>, std::string> declare_row_types(FactStore& store, const std::vector<CompiledQuery>& queries);

// Refreshes the cached candidates of every pattern element of query q.
void drain_query(const FactStore& store, const std::vector<CompiledQuery>& queries, QueryCache& cache, uint32_t q);
// The given queries and every query they call, directly or not; ascending, once each.
std::vector<uint32_t> dependencies(const std::vector<CompiledQuery>& queries, const std::vector<uint32_t>& roots);
// Whether some branch of query q has, for each of its pattern elements, at
// least one live fact passing that element's own tests. Joins are not tried.
bool query_linked(const FactStore& store, const std::vector<CompiledQuery>& queries, uint32_t q);

// One argument row of a `?query` element: one value per parameter, none where
// the argument is unbound.
using QueryArgs = std::vector<std::optional<Value>>;
struct QueryRow {
    uint32_t arg_row;           // index of the argument row it answers
    std::vector<Value> values;  // one per parameter
    bool operator==(const QueryRow&) const = default;
};
// Answers query q for every argument row; rows newest first, duplicates kept.
// Errors: the step limit, the index key limit and an unbound parameter.
Result<std::vector<QueryRow>, std::string> run_site(const FactStore& store, const std::vector<CompiledQuery>& queries,
                                                    QueryCache& cache, uint32_t q, const std::vector<QueryArgs>& rows);

}  // namespace quarn
