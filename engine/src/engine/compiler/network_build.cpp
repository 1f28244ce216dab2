// Building the shared rule network from the pattern keys: one Lia per distinct
// first pattern, one TrieNode per distinct chain of keys, one RuleNet per rule
// with its side evaluator where the rule's shape allows one.
#include <algorithm>
#include <string>

#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

Kind node_kind(const CompiledPattern& p) {
    if (p.qce) return Kind::Query;
    if (p.acc) return Kind::Acc;
    if (p.role.kind == SubRole::Kind::Group) return p.ce == CeKind::Not ? Kind::SubnetNot : Kind::SubnetExists;
    switch (p.ce) {
        case CeKind::Positive: return Kind::Join;
        case CeKind::Not: return Kind::Not;
        case CeKind::Exists: return Kind::Exists;
    }
    unreachable("pattern kind out of range");
}

// What feeds the next node of a chain: the rule's Lia (after pattern 0) or the
// node of the previous pattern.
struct Feeder {
    bool is_lia = true;
    size_t index = 0;
};

// Two chains are equal up to pattern p exactly when they are equal up to p - 1
// and have equal keys at p; equal chains up to p - 1 already share one feeder.
// So (feeder, key) names a chain, without ever concatenating whole chains.
std::string chain_name(const Feeder& f, const std::string& key) {
    return fmt("{}{}|", f.is_lia ? 'L' : 'N', f.index) + key;
}

// The scopes of changes that reach past a fact's routes (ChangeScopes), from
// the built network.
ChangeScopes change_scopes_of(const Engine& e) {
    ChangeScopes scopes;
    auto file = [](std::vector<std::vector<uint32_t>>& by_type, TypeId t, size_t index) {
        if (t >= by_type.size()) by_type.resize(size_t{t} + 1);
        std::vector<uint32_t>& v = by_type[t];
        if (v.empty() || v.back() != index) v.push_back(static_cast<uint32_t>(index));
    };
    for (size_t ni = 0; ni < e.nodes.size(); ++ni) {
        const auto [r, pi] = e.nodes[ni].owner;
        const CompiledPattern& p = e.rules[r].patterns[pi];
        if (p.acc && p.role.kind != SubRole::Kind::Group) file(scopes.acc_nodes_by_type, p.type_id, ni);
    }
    for (size_t r = 0; r < e.rules.size(); ++r) {
        for (const CompiledPattern& p : e.rules[r].patterns)
            if (p.ce != CeKind::Positive) file(scopes.negating_rules_by_type, p.type_id, r);
        const std::vector<size_t>& ids = e.nets[r].node_ids;
        if (std::any_of(ids.begin(), ids.end(), [&](size_t n) {
                return e.nodes[n].node.kind() == Kind::Exists && !e.nodes[n].node.temporal();
            }))
            scopes.plain_exists_rules.push_back(static_cast<uint32_t>(r));
    }
    return scopes;
}

// Types whose facts some rule changes, gathered once per build so that the
// shadow decision of each rule does not walk every other rule.
struct ChangedTypes {
    HashSet<TypeId> inserted;  // Insert, InsertLogical
    HashSet<TypeId> modified;  // the target pattern's type of a Setter, Update or Delete
    HashSet<TypeId> windowed;  // source types of accumulates over a time window

    explicit ChangedTypes(const std::vector<CompiledRule>& rules) {
        for (const CompiledRule& r : rules) {
            for (const CompiledAction& a : r.actions) {
                switch (a.kind) {
                    case CompiledAction::Kind::Insert:
                    case CompiledAction::Kind::InsertLogical: inserted.insert(a.type_id); break;
                    case CompiledAction::Kind::Setter:
                    case CompiledAction::Kind::Update:
                    case CompiledAction::Kind::Delete:
                        if (const CompiledPattern* p = action_target(r, a.target)) modified.insert(p->type_id);
                        break;
                    case CompiledAction::Kind::SetFocus: break;
                }
            }
            for (const CompiledPattern& p : r.patterns)
                if (p.acc && p.acc->window_ms) windowed.insert(p.type_id);
        }
    }
};

// A test that reads only the pattern's own fact.
bool own_fact_test(const Test& t) {
    switch (t.kind) {
        case Test::Kind::Cmp: return t.rhs.kind == Src::Kind::Lit;
        case Test::Kind::IsNull:
        case Test::Kind::Unknown:
        case Test::Kind::Matches:
        case Test::Kind::Contains: return true;
        case Test::Kind::Group: return !t.refs_bindings;
        case Test::Kind::Temporal: return false;
    }
    return false;
}

// The side evaluator of a three-pattern rule whose middle pattern gates the
// third. Its answer is all-or-nothing only when neither pattern constrains the
// other and no rule changes either side's facts behind its back.
void add_shadow(const CompiledRule& rule, const ChangedTypes& changed, const HashMap<TypeId, EventDecl>& events,
                RuleNet& net) {
    enum class Shape { WindowNot, WindowExists, Not, Exists };
    Shape shape;
    if (rule.ce_event_tail) shape = rule.ce_event_exists ? Shape::WindowExists : Shape::WindowNot;
    else if (rule.not_tail) shape = Shape::Not;
    else if (rule.exists_tail) shape = Shape::Exists;
    else return;
    if (rule.patterns.size() != 3) invariant_broken("a shadow shape on a rule without three patterns");

    const CompiledPattern& gate = rule.patterns[1];
    const CompiledPattern& positive = rule.patterns[2];
    if (!positive.cmps.empty() || positive.bound_mask != 0 || gate.bound_mask != 0) return;
    for (const CompiledCmp& c : gate.cmps)
        if (shape != Shape::Exists || !own_fact_test(c.test)) return;
    const ShadowSide g{gate.type_id, gate.entry_point_id};
    const ShadowSide pos{positive.type_id, positive.entry_point_id};
    if (g == pos || events.count(pos.type)) return;

    const bool window_gate = shape == Shape::WindowNot || shape == Shape::WindowExists;
    if (changed.inserted.count(pos.type) || (window_gate && changed.inserted.count(g.type))) return;
    for (TypeId t : {g.type, pos.type})
        if (changed.modified.count(t) || changed.windowed.count(t)) return;

    auto keyed = [&](ShadowCommon& s) {
        s.gate = g;
        s.positive = pos;
    };
    switch (shape) {
        case Shape::WindowNot: keyed(net.bf_shadow.emplace()); return;
        case Shape::WindowExists: keyed(net.ex_shadow.emplace()); return;
        case Shape::Not: keyed(net.pn_shadow.emplace()); return;
        case Shape::Exists: keyed(net.px_shadow.emplace()); return;
    }
}

// The sides of a net's shadow, none without one.
std::optional<std::pair<ShadowSide, ShadowSide>> shadow_sides(const RuleNet& net) {
    const ShadowCommon* s = net.bf_shadow   ? static_cast<const ShadowCommon*>(&*net.bf_shadow)
                            : net.ex_shadow ? static_cast<const ShadowCommon*>(&*net.ex_shadow)
                            : net.pn_shadow ? static_cast<const ShadowCommon*>(&*net.pn_shadow)
                            : net.px_shadow ? static_cast<const ShadowCommon*>(&*net.px_shadow)
                                            : nullptr;
    if (!s) return std::nullopt;
    return std::make_pair(s->gate, s->positive);
}

}  // namespace

const CompiledPattern* action_target(const CompiledRule& rule, size_t target) {
    for (const CompiledPattern& p : rule.patterns)
        if (p.position == target && p.role.kind != SubRole::Kind::Member) return &p;
    return nullptr;
}

void Engine::build_network(const std::vector<std::vector<std::string>>& keys) {
    lias.clear();
    lias_holding = DenseIdSet();
    lias_holding_kept = rules.size() > kLinkWalkAll;
    nodes.clear();
    nets.clear();
    acc_nodes.clear();
    if (keys.size() != rules.size()) invariant_broken("pattern keys do not cover the rules");
    nets.reserve(rules.size());

    // Chains are laid out first and the nodes built once their number is known:
    // a TrieNode is large and costly to move, so the arena must never regrow.
    struct NodePlan {
        size_t rule, pattern;
        IndexSpec index_op;
        Kind kind;
        bool temporal;
        size_t subnet_prefix;
        std::vector<Target> targets;
    };
    std::vector<NodePlan> plan;
    HashMap<std::string, size_t> lia_by_key;
    HashMap<std::string, size_t> node_by_chain;
    const ChangedTypes changed(rules);
    auto link_child = [&](const Feeder& f, size_t node) {
        if (f.is_lia) lias[f.index].nodes.push_back(node);
        else plan[f.index].targets.push_back(Target{Target::Kind::Node, node});
    };

    for (size_t r = 0; r < rules.size(); ++r) {
        const CompiledRule& rule = rules[r];
        if (rule.patterns.empty() || keys[r].size() != rule.patterns.size())
            invariant_broken("pattern keys do not cover the rule's patterns");
        RuleNet& net = nets.emplace_back();
        auto [lia, fresh_lia] = lia_by_key.try_emplace(keys[r][0], lias.size());
        net.lia = lia->second;
        if (fresh_lia) {
            Lia& l = lias.emplace_back();
            l.rule = r;
            l.pattern = 0;
        }

        Feeder prev{true, net.lia};
        Feeder group_feeder = prev;  // what feeds the current not/exists group
        for (size_t p = 1; p < rule.patterns.size(); ++p) {
            const CompiledPattern& pat = rule.patterns[p];
            if (pat.role.kind == SubRole::Kind::Member && rule.patterns[p - 1].role.kind != SubRole::Kind::Member)
                group_feeder = prev;
            auto [found, fresh] = node_by_chain.try_emplace(chain_name(prev, keys[r][p]), plan.size());
            const size_t id = found->second;
            if (fresh) {
                // A group's left tuples are the facts before its first member.
                const size_t prefix = pat.role.kind == SubRole::Kind::Group ? pat.role.base : 0;
                plan.push_back(NodePlan{r, p, pat.index_op, node_kind(pat), pat.has_temporal(), prefix, {}});
                if (pat.role.kind == SubRole::Kind::Group) {
                    if (prev.is_lia) invariant_broken("a not/exists group without members");
                    link_child(group_feeder, id);
                    plan[prev.index].targets.push_back(Target{Target::Kind::Subnet, id});
                } else {
                    link_child(prev, id);
                }
            }
            net.node_ids.push_back(id);
            prev = Feeder{false, id};
        }

        if (net.node_ids.empty()) lias[net.lia].rules.push_back(r);
        else plan[net.node_ids.back()].targets.push_back(Target{Target::Kind::Rule, r});
        if (build_shadows) add_shadow(rule, changed, event_decls, net);
        decide_shadow_order(r);
    }

    shadow_routes = ShadowRoutes{};
    shadow_routes.rules_by_type.resize(store.type_count());
    for (size_t r = 0; r < nets.size(); ++r) {
        std::optional<std::pair<ShadowSide, ShadowSide>> sides = shadow_sides(nets[r]);
        if (!sides) continue;
        shadow_routes.rules.push_back(static_cast<uint32_t>(r));
        for (TypeId t : {sides->first.type, sides->second.type}) {
            std::vector<uint32_t>& v = shadow_routes.rules_by_type.at(t);
            if (v.empty() || v.back() != r) v.push_back(static_cast<uint32_t>(r));
        }
    }

    nodes.reserve(plan.size());
    for (NodePlan& np : plan) {
        TrieNode& tn = nodes.emplace_back(Node::new_ex(np.index_op, np.kind, np.temporal));
        tn.owner = {np.rule, np.pattern};
        tn.subnet_prefix = np.subnet_prefix;
        tn.targets = std::move(np.targets);
    }

    // Accumulates over a window or over events: the clock takes facts out of
    // them (advance), by window deadline or by expiry.
    window_sources.clear();
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].node.kind() != Kind::Acc) continue;
        const CompiledPattern& own = rules[nodes[i].owner.first].patterns[nodes[i].owner.second];
        if (!own.acc) continue;
        acc_nodes.push_back(AccNode{i, own.type_id, own.acc->window_ms});
        if (own.acc->window_ms || event_decls.count(own.type_id))
            window_sources.push_back(WindowSource{i, own.type_id, own.acc->window_ms});
    }
    flush_linked.assign(rules.size(), 0);
    agenda_queue.build(*this);
    route_network_by_type();
    build_flush_scopes();
    change_scopes = change_scopes_of(*this);
}

}  // namespace quarn
