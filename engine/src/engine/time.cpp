// Events, the pseudo-clock and the expiry and window-eviction schedules.
#include <algorithm>
#include <limits>

#include "engine/engine.h"

namespace quarn {

namespace {

// The node of a window source, or a node itself: window_sources is searched by node.
uint64_t owner_of(const WindowSource& w) { return w.owner; }
uint64_t owner_of(uint32_t node) { return node; }

// Deadlines saturate: an event too late to represent simply never comes due,
// and one too early is due at once.
int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// Takes every entry of `schedule` due at `clock`, earliest deadline first.
template <class T>
std::vector<T> take_due(std::map<int64_t, std::vector<T>>& schedule, int64_t clock) {
    std::vector<T> due;
    auto end = schedule.upper_bound(clock);
    for (auto it = schedule.begin(); it != end; ++it)
        for (T& x : it->second) due.push_back(std::move(x));
    schedule.erase(schedule.begin(), end);
    return due;
}

}  // namespace

std::optional<int64_t> Engine::expiry_deadline(const EventDecl& decl, FactId fact, int64_t ts, bool matched) const {
    if (!decl.expires_ms) return std::nullopt;
    int64_t duration = 0;
    if (decl.duration_field) {
        const Value d = store.get(fact, *decl.duration_field);
        if (d.tag() == ValueTag::I64) duration = d.as_i64();
    }
    // An event a rule can match is still there at ts + expiry + duration and
    // gone one millisecond later.
    int64_t deadline = saturating_add(ts, *decl.expires_ms);
    deadline = saturating_add(deadline, duration);
    return saturating_add(deadline, matched ? 1 : 0);
}

std::optional<int64_t> Engine::expiry_deadline(FactId fact, bool matched) const {
    auto decl = event_decls.find(store.fact_type(fact));
    if (decl == event_decls.end() || !decl->second.expires_ms) return std::nullopt;
    const Value ts = store.temporal_ts(fact, decl->second.ts_field);
    if (ts.tag() != ValueTag::I64) return std::nullopt;
    return expiry_deadline(decl->second, fact, ts.as_i64(), matched);
}

bool Engine::past_expiry(FactId fact) const {
    // Asked for facts a rule's pattern reads, on every accumulate route a
    // fact passes: a session without event types answers at once.
    if (event_decls.empty()) return false;
    const std::optional<int64_t> deadline = expiry_deadline(fact, true);
    return deadline && *deadline <= clock;
}

uint8_t Engine::schedule_expiration(FactId fact) {
    const TypeId type = store.fact_type(fact);
    auto decl = event_decls.find(type);
    if (decl == event_decls.end() || !decl->second.expires_ms) return 2;
    const bool matched = std::any_of(rules.begin(), rules.end(), [&](const CompiledRule& r) {
        return std::any_of(r.patterns.begin(), r.patterns.end(),
                           [&](const CompiledPattern& p) { return p.type_id == type; });
    });
    // The event time is the one just recorded for the fact.
    const std::optional<int64_t> deadline = expiry_deadline(fact, matched);
    if (!deadline) return 2;
    // A deadline below zero lies before any clock reading: due like any other
    // deadline the clock has passed.
    if (*deadline <= clock) {
        expired_queue.push_back(fact);
        return 0;
    }
    expiry_deadlines[*deadline].push_back(fact);
    return 1;
}

void Engine::schedule_window_evictions(FactId fact) {
    if (window_sources.empty()) return;
    const TypeId type = store.fact_type(fact);
    auto decl = event_decls.find(type);
    if (decl == event_decls.end()) return;
    const Value ts = store.get(fact, decl->second.ts_field);
    if (ts.tag() != ValueTag::I64) return;
    // The window sources of an event type are its accumulate nodes, ascending
    // as window_sources lists them.
    for (const uint32_t node : change_scopes.acc_nodes_of(type)) {
        const auto [r, pi] = nodes[node].owner;
        const std::optional<int64_t>& window_ms = rules[r].patterns[pi].acc->window_ms;
        if (!window_ms) continue;
        // A fact whose window already closed was never admitted.
        const int64_t deadline = saturating_add(ts.as_i64(), *window_ms);
        if (deadline > clock) window_deadlines[deadline].emplace_back(node, fact);
    }
}

EngineStatus Engine::advance(int64_t ms) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    if (ms < 0) return engine_err("advance must be >= 0");
    int64_t next;
    if (__builtin_add_overflow(clock, ms, &next)) return engine_err("advance overflows the clock");
    clock = next;

    const std::vector<FactId> expired = take_due(expiry_deadlines, clock);
    if (has_shadows())
        for (FactId f : expired) shadow_note_expired(f);
    std::vector<std::pair<uint64_t, FactId>> removals;
    for (FactId f : expired) {
        if (!store.is_alive(f)) continue;
        store.expired.insert(f);
        tms.expiring_ids.insert(f);
        expired_queue.push_back(f);
        // An expired event leaves every accumulate now, also one whose window
        // would hold it longer: it must not count while the fire runs.
        // Those of its type's accumulate nodes that are window sources (the
        // type may have been declared an event after the network was built).
        for (const uint32_t node : change_scopes.acc_nodes_of(store.fact_type(f)))
            if (std::binary_search(window_sources.begin(), window_sources.end(), node,
                                   [](const auto& a, const auto& b) { return owner_of(a) < owner_of(b); }))
                removals.emplace_back(node, f);
    }
    std::vector<std::pair<uint64_t, FactId>> evicted = take_due(window_deadlines, clock);
    if (removals.empty()) removals = std::move(evicted);
    else removals.insert(removals.end(), evicted.begin(), evicted.end());
    stage_acc_removals(removals);
    return {};
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

}  // namespace quarn
