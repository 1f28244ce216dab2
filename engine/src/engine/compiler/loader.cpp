// Loading a rule text: parse, compile queries and rules, the checks that span
// rules, the agenda's rule order, equality literals, the network, the
// InitialFact and the expiry that event types take from the rules' windows.
#include <algorithm>
#include <string>

#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

// What a load writes before its last check can fail. A failed load puts all
// of it back, so that a refused text leaves the engine as it was: rules
// compiled before the failing one would otherwise stay without a network.
struct LoadCheckpoint {
    size_t rules = 0;
    size_t ordinals = 0;
    size_t schemas = 0;
    size_t entry_point_names = 0;
    size_t gbrow_types = 0;
    bool had_queries = false;
    HashMap<TypeId, int64_t> event_retention_ms;
    HashSet<TypeId> unbounded_event_types;
    HashSet<TypeId> logical_types;

    explicit LoadCheckpoint(const Engine& e)
        : rules(e.rules.size()),
          ordinals(e.stamp_rules.size()),
          schemas(e.store.type_count()),
          entry_point_names(e.entry_point_names.size()),
          gbrow_types(e.gbrow_types.size()),
          had_queries(!e.queries.empty()),
          event_retention_ms(e.event_retention_ms),
          unbounded_event_types(e.unbounded_event_types),
          logical_types(e.logical_types) {}

    Err<EngineError> roll_back(Engine& e, std::string message) {
        e.rules.resize(rules);
        e.stamp_rules.resize(ordinals);
        if (!had_queries) {
            e.queries.clear();
            e.qrow_types.clear();
            e.linked_queries.clear();
            e.tracked_queries.clear();
            e.refresh_queries.clear();
        }
        for (size_t id = entry_point_names; id < e.entry_point_names.size(); ++id)
            e.entry_points.erase(e.entry_point_names[id]);
        e.entry_point_names.resize(entry_point_names);
        e.gbrow_types.resize(gbrow_types);
        e.store.truncate_schemas(schemas);
        e.event_retention_ms = std::move(event_retention_ms);
        e.unbounded_event_types = std::move(unbounded_event_types);
        e.logical_types = std::move(logical_types);
        return engine_err(std::move(message));
    }
};

std::optional<std::string> check_set_focus_targets(const std::vector<CompiledRule>& rules) {
    HashSet<std::string> declared;
    for (const CompiledRule& r : rules)
        if (r.def.agenda_group) declared.insert(*r.def.agenda_group);
    const std::string gap(34, ' ');
    for (const CompiledRule& r : rules)
        for (const CompiledAction& a : r.actions)
            if (a.kind == CompiledAction::Kind::SetFocus && !declared.count(a.group))
                return fmt("rule {}: setFocus({}) targets a group no rule declares —{}it would fail at runtime; "
                           "declare `agenda-group {}`{}on at least one rule (D-106)",
                           r.def.name, a.group, gap, a.group, gap);
    return std::nullopt;
}

int64_t static_salience(const CompiledRule& r) {
    return r.salience.kind == CompiledSalience::Kind::Const ? r.salience.value : 0;
}

}  // namespace

EngineStatus Engine::add_rules_text(std::string_view text) {
    Result<RuleFile, ParseError> parsed = parse_file(text);
    if (!parsed) return engine_err(fmt("rule parse error: {}", parsed.error().msg));
    RuleFile file = std::move(parsed).value();
    LoadCheckpoint checkpoint(*this);

    if (!file.queries.empty()) {
        if (!queries.empty()) return checkpoint.roll_back(*this, "queries must be defined in a single rule-text unit");
        Result<std::vector<CompiledQuery>, std::string> compiled = compile_queries(
            store, std::move(file.queries), {"InitialFact", "Long", "Double", "Collection", "SetCollection", "Decimal"});
        if (!compiled) return checkpoint.roll_back(*this, compiled.error());
        queries = std::move(compiled).value();
        if (std::optional<std::string> bad = validate_calls(queries)) return checkpoint.roll_back(*this, *bad);
        linked_queries.assign(queries.size(), 0);
        tracked_queries.assign(queries.size(), 0);
        refresh_queries.assign(queries.size(), 0);
        query_caches = QueryCache{};
        qce_answers.clear();
        Result<std::vector<TypeId>, std::string> rows = declare_row_types(store, queries);
        if (!rows) return checkpoint.roll_back(*this, rows.error());
        qrow_types = std::move(rows).value();
    }

    // Ordinals never repeat across texts: a later text starts after the largest.
    const uint64_t base = stamp_rules.empty() ? 0 : 1 + *std::max_element(stamp_rules.begin(), stamp_rules.end());
    rules.reserve(rules.size() + file.rules.size());
    for (RuleDef& def : file.rules) {
        def.ordinal += base;
        const uint64_t ordinal = def.ordinal;
        Result<CompiledRule, std::string> compiled = compile_rule(std::move(def));
        if (!compiled) return checkpoint.roll_back(*this, compiled.error());
        rules.push_back(std::move(compiled).value());
        stamp_rules.push_back(ordinal);
    }

    if (std::optional<std::string> bad = check_set_focus_targets(rules)) return checkpoint.roll_back(*this, *bad);

    HashSet<TypeId> logical;
    for (const CompiledRule& r : rules)
        for (const CompiledAction& a : r.actions)
            if (a.kind == CompiledAction::Kind::InsertLogical) logical.insert(a.type_id);
    if (!logical.empty()) {
        for (const CompiledRule& r : rules) {
            for (const CompiledAction& a : r.actions) {
                if (a.kind != CompiledAction::Kind::Setter && a.kind != CompiledAction::Kind::Update) continue;
                const CompiledPattern* p = action_target(r, a.target);
                if (p && logical.count(p->type_id))
                    return checkpoint.roll_back(
                        *this, fmt("rule {}: setters/update/modify on a logically-inserted type are out of subset "
                                   "(D-076; a runtime error otherwise — tms_u1)",
                                   r.def.name));
            }
        }
        logical_types = std::move(logical);
        // The engine's own InitialFact is no fact of the user's.
        for (FactId f = 0; f < store.fact_count(); ++f)
            if (store.is_alive(f) && f != initial_fact)
                return checkpoint.roll_back(*this, "insertLogical requires rules to be added before any facts (D-076)");
    }

    rule_order.resize(rules.size());
    for (size_t r = 0; r < rules.size(); ++r) rule_order[r] = r;
    std::stable_sort(rule_order.begin(), rule_order.end(),
                     [&](size_t a, size_t b) { return static_salience(rules[a]) > static_salience(rules[b]); });

    // Keys first: they read the literals in the field's terms themselves, so a
    // rebuild from the canonical literals (a reset) gives the same keys.
    const std::vector<std::vector<std::string>> keys = pattern_keys();
    for (CompiledRule& r : rules) {
        for (CompiledPattern& p : r.patterns) {
            for (CompiledCmp& c : p.cmps) {
                if (c.test.kind != Test::Kind::Cmp || c.test.op != CmpOp::Eq || !c.test.rhs.is_literal()) continue;
                c.test.rhs.lit = canonical_eq_literal(c.test.rhs.lit, store.field_type(p.type_id, c.field));
            }
        }
    }
    QUARN_CHECK(build_runtime(keys));

    // Event types without an explicit expiry keep their facts as long as some
    // window may still need them, and forever when some rule needs them
    // without a time bound.
    for (auto& [type, decl] : event_decls) {
        if (expiring_types.count(type)) continue;
        if (unbounded_event_types.count(type)) {
            decl.expires_ms.reset();
            continue;
        }
        auto retention = event_retention_ms.find(type);
        decl.expires_ms = retention == event_retention_ms.end() ? std::nullopt : std::optional(retention->second);
    }
    return {};
}

}  // namespace quarn
