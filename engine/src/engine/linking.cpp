// Lazy rule linking: whether a rule's patterns could all be satisfied, the marks that follow a change, and the stage snapshot.
#include "engine/engine.h"

namespace quarn {

namespace {

bool holds_staged_input(const TrieNode& n) {
    return !n.first_input.empty() || n.node.holds_staged_input() || !n.subnet_input.empty();
}

// Staged input, deferred tuples or memory of any kind.
bool holds_anything(const TrieNode& n) {
    return holds_staged_input(n) || !n.node.left_memory().empty() || !n.node.right_memory().empty() ||
           !n.subnet_lefts.empty();
}

}  // namespace

namespace {

// The checks of rule_linked for rule r, in pattern order.
void make_link_checks(const CompiledRule& rule, const RuleNet& net) {
    using Check = RuleNet::LinkCheck;
    net.link_checks.clear();
    net.link_members.clear();
    for (size_t i = 1; i < rule.patterns.size(); ++i) {
        const CompiledPattern& p = rule.patterns[i];
        // Accumulates and ?query elements match on empty input too.
        if (p.acc || p.qce) continue;
        const uint32_t node = static_cast<uint32_t>(net.node_ids[i - 1]);
        switch (p.role.kind) {
            case SubRole::Kind::Member: break;
            case SubRole::Kind::Plain:
                if (p.ce != CeKind::Not) net.link_checks.push_back(Check{Check::Kind::Rights, node});
                else if (!not_exempt(p)) net.link_checks.push_back(Check{Check::Kind::NotBlocked, node});
                break;
            case SubRole::Kind::Group: {
                if (p.ce != CeKind::Exists) break;
                const uint32_t first = static_cast<uint32_t>(net.link_members.size());
                for (size_t m = i - p.role.member_count; m < i; ++m)
                    if (m != 0 && rule.patterns[m].ce != CeKind::Not)
                        net.link_members.push_back(static_cast<uint32_t>(net.node_ids[m - 1]));
                net.link_checks.push_back(
                    Check{Check::Kind::ExistsGroup, node, first, static_cast<uint32_t>(net.link_members.size())});
                break;
            }
        }
    }
    net.link_checks_made = true;
}

}  // namespace

bool Engine::rule_linked(size_t r) const {
    const CompiledRule& rule = rules[r];
    const RuleNet& net = nets[r];
    if (rule.patterns.empty()) return true;
    if (lias[net.lia].passing.empty()) return false;
    if (!net.link_checks_made) make_link_checks(rule, net);
    for (const RuleNet::LinkCheck& c : net.link_checks) {
        const TrieNode& n = nodes[c.node];
        switch (c.kind) {
            case RuleNet::LinkCheck::Kind::Rights:
                if (n.win_in.empty()) return false;
                break;
            case RuleNet::LinkCheck::Kind::NotBlocked:
                // A blocker that no evaluation has seen yet may still be
                // outweighed by the tuples staged before it.
                if (!n.win_in.empty() && !n.blocker_pending) return false;
                break;
            case RuleNet::LinkCheck::Kind::ExistsGroup:
                if (holds_anything(n)) break;
                for (uint32_t k = c.first_member; k < c.end_member; ++k)
                    if (nodes[net.link_members[k]].win_in.empty()) return false;
                break;
        }
    }
    return true;
}

bool Engine::rule_linked_by_facts(size_t r) const {
    if (!rule_linked(r)) return false;
    const RuleNet& net = nets[r];
    for (const RuleNet::LinkCheck& c : net.link_checks) {
        if (c.kind != RuleNet::LinkCheck::Kind::ExistsGroup) continue;
        for (uint32_t k = c.first_member; k < c.end_member; ++k)
            if (nodes[net.link_members[k]].win_in.empty()) return false;
    }
    return true;
}

void Engine::note_link_effects_on(const std::vector<size_t>& touched, std::vector<uint8_t>& linked_before) {
    for (size_t r : touched) note_link_effect(r, linked_before);
}

void Engine::note_link_effect(size_t r, std::vector<uint8_t>& linked_before) {
    const bool now = rule_linked(r);
    const bool before = linked_before[r] != 0;
    RuleNet& net = nets[r];
    if (before && !now) {
        // What the rule produced must be dropped or re-checked.
        put_on_agenda(r);
        net.dirty = true;
        net.dirty_stamp = input_seq;
    }
    if (!before && now && expiring) {
        // The expiry deletes that follow must find the rule's live right
        // facts in memory.
        for (size_t k = 0; k < net.node_ids.size(); ++k) {
            TrieNode& n = nodes[net.node_ids[k]];
            if (n.node.temporal()) continue;
            JoinEnvImpl env(input_seq, store, rules[r], 0, false, tuples, switches);
            n.node.drain_staged_rights_to_memory_if(env, k, std::nullopt,
                                                    [this](FactId f) { return store.is_alive(f); });
        }
    }
    if (now) note_still_linked(r);
    linked_before[r] = now ? 1 : 0;
}

void Engine::note_still_linked(size_t r) {
    RuleNet& net = nets[r];
    net.linked_mark = true;
    // A rule already marked for evaluation needs no look at its inputs.
    if (net.dirty && net.on_agenda) return;
    if (has_pending_work(r)) {
        net.dirty = true;
        net.dirty_stamp = input_seq;
        put_on_agenda(r);
    }
}

bool Engine::has_pending_work(size_t r) const {
    const RuleNet& net = nets[r];
    for (const Staged<FactId>& w : net.s0_windows)
        if (!w.empty()) return true;
    if (!net.term.empty()) return true;
    for (size_t id : net.node_ids) {
        const TrieNode& n = nodes[id];
        if (holds_staged_input(n) || !n.node.deferred().empty()) return true;
    }
    return false;
}

namespace {

void fill_snapshot(const Engine& e, StageSnapshot& s) {
    s.node_counts.reserve(s.nodes.size());
    for (uint32_t ni : s.nodes) {
        const TrieNode& n = e.nodes[ni];
        s.node_counts.push_back({n.first_input.ins.size(), n.node.staged_left().ins.size(),
                                 n.node.staged_right().ins.size(), n.first_input.del.size(),
                                 n.node.staged_left().del.size(), n.node.staged_right().del.size()});
    }
    s.window_totals.reserve(s.rules.size());
    s.linked_before.reserve(s.rules.size());
    for (uint32_t r : s.rules) {
        uint64_t total = 0;
        for (const Staged<FactId>& w : e.nets[r].s0_windows) total += w.ins.size() + w.upd.size() + w.del.size();
        s.window_totals.push_back(total);
        s.linked_before.push_back(e.rule_linked(r) ? 1 : 0);
    }
    s.flush_linked_before = e.flush_linked;
}

}  // namespace

StageSnapshot Engine::stage_snapshot() const {
    StageSnapshot s;
    if (event_decls.empty()) return s;
    s.nodes.resize(nodes.size());
    for (uint32_t n = 0; n < nodes.size(); ++n) s.nodes[n] = n;
    s.rules.resize(rules.size());
    for (uint32_t r = 0; r < rules.size(); ++r) s.rules[r] = r;
    fill_snapshot(*this, s);
    return s;
}

StageSnapshot Engine::stage_snapshot_for(TypeId type) const {
    StageSnapshot s;
    if (event_decls.empty()) return s;
    if (type < flush_scopes.nodes_by_type.size()) {
        s.nodes = flush_scopes.nodes_by_type[type];
        s.rules = flush_scopes.rules_by_type[type];
    }
    fill_snapshot(*this, s);
    return s;
}

}  // namespace quarn
