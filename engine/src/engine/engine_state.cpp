// Engine construction, reset and the read-outs of working memory.
#include "engine/engine.h"

#include <algorithm>
#include <array>

#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

// Appended after the declared types, in this order; their TypeIds follow the
// declared ones.
std::vector<TypeSchema> builtin_types() {
    auto one_field = [](const char* name, FieldType t) {
        return TypeSchema{name, {{"value", t}}, 0};
    };
    return {
        TypeSchema{"InitialFact", {}, 0},
        one_field("Long", FieldType::i64()),
        one_field("Double", FieldType::f64()),
        TypeSchema{"Collection", {}, 0},
        TypeSchema{"SetCollection", {}, 0},
        one_field("Decimal", FieldType::dec(38, 0)),
    };
}

// The order facts() looks the built-in types up in.
constexpr std::array<const char*, 6> kBuiltinNames = {"InitialFact", "Long",          "Double",
                                                      "Collection",  "SetCollection", "Decimal"};

}  // namespace

std::string EngineError::display() const { return "engine error: " + message; }

bool is_reserved_type_name(std::string_view name) {
    static constexpr std::array<std::string_view, 6> reserved = {"Long",        "Double",      "Decimal",
                                                                  "Collection", "InitialFact", "SetCollection"};
    return std::find(reserved.begin(), reserved.end(), name) != reserved.end() || name.starts_with("__qrow$");
}

EngineResult<Engine> Engine::create(std::vector<TypeSchema> schemas) {
    HashSet<std::string> seen;
    for (const TypeSchema& s : schemas) {
        if (!seen.insert(s.name).second) return engine_err(fmt("duplicate type {}", s.name));
        if (is_reserved_type_name(s.name)) return engine_err(fmt("type name {} is reserved", s.name));
        if (Status ok = FactStore::check_schema(s); !ok) return engine_err(ok.error());
    }
    for (TypeSchema& b : builtin_types()) schemas.push_back(std::move(b));
    Engine e;
    static_cast<Runtime&>(e) = Runtime(e, FactStore(std::move(schemas)));
    return e;
}

EngineStatus Engine::check_handle(FactId fact) const {
    if (!store.knows(fact)) return engine_err(fmt("unknown handle {}", fact));
    return {};
}

EngineStatus Engine::refuse_own_fact(FactId fact, std::string_view operation) const {
    if (!own_facts.contains(fact)) return {};
    const std::string& type = store.schema(store.fact_type(fact)).name;
    return engine_err(fmt("{} of the engine's own fact {} ({})", operation, fact, type));
}

Runtime::Runtime(const Program& program, FactStore store)
    : store(std::move(store)),
      linked_queries(program.queries.size(), 0),
      tracked_queries(program.queries.size(), 0),
      refresh_queries(program.queries.size(), 0) {}

std::vector<std::vector<std::string>> Engine::pattern_keys() const {
    std::vector<std::vector<std::string>> keys(rules.size());
    for (size_t r = 0; r < rules.size(); ++r) {
        keys[r].reserve(rules[r].patterns.size());
        for (size_t p = 0; p < rules[r].patterns.size(); ++p) keys[r].push_back(pattern_key(rules[r].patterns[p], r, p));
    }
    return keys;
}

EngineStatus Engine::build_runtime(const std::vector<std::vector<std::string>>& keys) {
    build_network(keys);
    if (initial_fact) return {};
    const std::optional<TypeId> initial = store.type_id("InitialFact");
    if (!initial) invariant_broken("InitialFact type missing");
    bool needed = false;
    for (const CompiledRule& r : rules)
        for (const CompiledPattern& p : r.patterns) needed = needed || p.type_id == *initial;
    if (needed) {
        Result<FactId, std::string> f = store.insert(*initial, {});
        if (!f) return engine_err(std::move(f).error());
        initial_fact = *f;
        own_facts.insert(*f);
    }
    return {};
}

EngineStatus Engine::reset() try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    // The store keeps its types, which the program's rules and queries name,
    // and drops every fact; the rest of the runtime starts afresh, as after
    // create, and the network is built again as the load built it.
    FactStore kept = std::move(store);
    kept.reset();
    static_cast<Runtime&>(*this) = Runtime(*this, std::move(kept));
    return build_runtime(pattern_keys());
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

namespace {

// By TypeId: 1 for the types whose facts stay out of results (built-in,
// query row and groupby row types).
std::vector<uint8_t> types_left_out(const Engine& e) {
    std::vector<uint8_t> out(e.store.type_count(), 0);
    for (const char* name : kBuiltinNames)
        if (std::optional<TypeId> t = e.store.type_id(name)) out[*t] = 1;
    for (const std::vector<TypeId>* kinds : {&e.qrow_types, &e.gbrow_types})
        for (TypeId t : *kinds)
            if (t < out.size()) out[t] = 1;
    return out;
}

}  // namespace

std::vector<FactId> Engine::fact_ids() const {
    broken_state.refuse_if_broken();
    std::vector<uint8_t> excluded = types_left_out(*this);
    std::vector<FactId> out;
    for (FactId f = 0; f < store.fact_count(); ++f) {
        if (!store.is_alive(f) || excluded[store.fact_type(f)]) continue;
        if (entry_point_of(f) != 0) continue;
        out.push_back(f);
    }
    return out;
}

std::vector<FactId> Engine::fact_ids_of_type(TypeId t) const {
    broken_state.refuse_if_broken();
    std::vector<FactId> out;
    if (t >= store.type_count() || types_left_out(*this)[t]) return out;
    // The type's list holds every live fact of it, ascending.
    const FactList& listed = store.facts_of_type(t);
    out.reserve(listed.size());
    for (FactId f : listed) {
        if (!store.is_alive(f)) continue;
        if (entry_point_of(f) != 0) continue;
        out.push_back(f);
    }
    return out;
}

std::vector<FactId> Engine::listed_among(std::vector<FactId> ids) const {
    std::vector<uint8_t> excluded = types_left_out(*this);
    std::erase_if(ids, [&](FactId f) {
        return excluded[store.fact_type(f)] || entry_point_of(f) != 0;
    });
    return ids;
}

std::vector<FactView> Engine::facts() const {
    broken_state.refuse_if_broken();
    std::vector<FactId> ids = fact_ids();
    std::vector<FactView> out;
    out.reserve(ids.size());
    for (FactId f : ids) out.push_back(store.render(f));
    return out;
}

EngineResult<std::optional<std::string>> Engine::fact_type_name(FactId fact) const {
    broken_state.refuse_if_broken();
    QUARN_CHECK(check_handle(fact));
    if (!store.is_alive(fact)) return std::optional<std::string>();
    return std::optional<std::string>(store.schema(store.fact_type(fact)).name);
}

}  // namespace quarn
