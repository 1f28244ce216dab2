// Change propagation: one stored insert, update or delete staged into the first-pattern inputs and node inputs that read it.
#include <algorithm>
#include <span>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kAllFields = ~uint64_t{0};

// Up to this many windows are walked; more are indexed (RuleNet::s0_held).
constexpr size_t kWindowScanLimit = 8;

bool windows_hold(const std::vector<Staged<FactId>>& windows, FactId f, bool ins, bool upd, bool del) {
    for (const Staged<FactId>& w : windows) {
        if ((ins && w.ins.contains(f)) || (upd && w.upd.contains(f)) || (del && w.del.contains(f))) return true;
    }
    return false;
}

void index_windows(RuleNet& net) {
    net.s0_held.clear();
    for (size_t k = 0; k < net.s0_windows.size(); ++k) {
        const Staged<FactId>& w = net.s0_windows[k];
        const uint32_t at = static_cast<uint32_t>(k);
        for (const auto& e : w.ins) {
            WindowHolds& h = net.s0_held[e.item];
            h.ins_window = h.ins++ == 0 ? at : WindowHolds::kSomewhere;
        }
        for (const auto& e : w.upd) {
            WindowHolds& h = net.s0_held[e.item];
            h.upd_window = h.upd++ == 0 ? at : WindowHolds::kSomewhere;
        }
        for (const auto& e : w.del) ++net.s0_held[e.item].del;
    }
    net.s0_indexed = true;
}

// Whether one of the rule's windows holds `f` in one of the lists asked for.
bool window_holds(RuleNet& net, FactId f, bool ins, bool upd, bool del) {
    if (!net.s0_indexed) {
        if (net.s0_windows.size() <= kWindowScanLimit) return windows_hold(net.s0_windows, f, ins, upd, del);
        index_windows(net);
    }
    auto it = net.s0_held.find(f);
    const bool held =
        it != net.s0_held.end() && ((ins && it->second.ins) || (upd && it->second.upd) || (del && it->second.del));
#ifdef QUARN_VERIFY_NODES
    if (held != windows_hold(net.s0_windows, f, ins, upd, del))
        invariant_broken(fmt("the window index disagrees with the windows on fact {}", f));
#endif
    return held;
}

// Applies `change`, which adds or removes entries of `f` only, to window `k`
// of the rule, and keeps the index in step.
template <class Change>
void change_window(RuleNet& net, size_t k, FactId f, Change change) {
    Staged<FactId>& w = net.s0_windows[k];
    if (!net.s0_indexed) {
        change(w);
        return;
    }
    const size_t ins = w.ins.size(), upd = w.upd.size(), del = w.del.size();
    change(w);
    if (w.ins.size() == ins && w.upd.size() == upd && w.del.size() == del) return;
    WindowHolds& h = net.s0_held[f];
    const uint32_t at = static_cast<uint32_t>(k);
    if (w.ins.size() > ins) h.ins_window = h.ins == 0 ? at : WindowHolds::kSomewhere;
    if (w.upd.size() > upd) h.upd_window = h.upd == 0 ? at : WindowHolds::kSomewhere;
    h.ins = static_cast<uint32_t>(h.ins + w.ins.size() - ins);
    h.upd = static_cast<uint32_t>(h.upd + w.upd.size() - upd);
    h.del = static_cast<uint32_t>(h.del + w.del.size() - del);
    if (h.ins == 0 && h.upd == 0 && h.del == 0) net.s0_held.erase(f);
}

// Removes the oldest window entry of `f` that `remove` takes (an insert or an
// update); whether there was one. `in_window` gives the index's window of
// the entry, when it knows it.
template <class Remove>
bool remove_oldest(RuleNet& net, FactId f, uint32_t WindowHolds::*count, uint32_t WindowHolds::*in_window,
                   Remove remove) {
    bool removed = false;
    auto take = [&](Staged<FactId>& w) { removed = remove(w); };
    if (net.s0_indexed) {
        auto it = net.s0_held.find(f);
        if (it == net.s0_held.end() || it->second.*count == 0) return false;
        if (it->second.*count == 1 && it->second.*in_window != WindowHolds::kSomewhere) {
            change_window(net, it->second.*in_window, f, take);
            if (!removed) invariant_broken("the window index names a window without the fact");
            return true;
        }
    }
    for (size_t k = 0; k < net.s0_windows.size() && !removed; ++k) change_window(net, k, f, take);
    return removed;
}

bool is_not_without_exemption(const CompiledPattern& p) { return p.ce == CeKind::Not && !not_exempt(p); }

// The query bookkeeping of a change to `f`: none in a program without
// queries, and no notes where no ?query pattern reads them.
void note_query_change(Engine& e, FactId f, uint64_t mask, const Stamp& stamp) {
    if (e.queries.empty() && e.linked_queries.empty()) return;
    e.refresh_query_links();
    if (!e.query_nodes.nodes.empty()) e.note_query_inputs(f, mask, stamp);
}

std::span<const size_t> routes_of(const std::vector<std::vector<size_t>>& by_type, TypeId t) {
    if (t >= by_type.size()) return {};
    return by_type[t];
}

// Route lists found for one propagation call, borrowed from the engine's
// route_buffers for their room: a call made while another is in progress
// gets the next buffer. Loans end in the reverse order of their start.
class RouteLoan {
public:
    explicit RouteLoan(Engine& e) : e_(e) {
        if (e.route_buffers_lent == e.route_buffers.size()) e.route_buffers.emplace_back();
        scratch_ = &e.route_buffers[e.route_buffers_lent++];
    }
    ~RouteLoan() { --e_.route_buffers_lent; }
    RouteLoan(const RouteLoan&) = delete;
    RouteLoan& operator=(const RouteLoan&) = delete;
    RouteScratch& operator*() { return *scratch_; }
    RouteScratch* operator->() { return scratch_; }

private:
    Engine& e_;
    RouteScratch* scratch_;
};

// The routes of one list that an update or a delete visits, in list order,
// each with the fact's Standing there now: with `everywhere` every route,
// else the candidates (AlphaRoutes::candidates) and the accumulate routes.
// A route that is no candidate fails now.
void plan_visit(size_t total, bool everywhere, const std::vector<uint32_t>& candidates,
                const std::vector<uint8_t>& passes, std::span<const uint32_t> accumulates,
                std::vector<RouteVisit>& visit) {
    visit.clear();
    size_t c = 0, a = 0;
    if (everywhere) {
        for (uint32_t place = 0; place < total; ++place) {
            const bool candidate = c < candidates.size() && candidates[c] == place;
            visit.push_back({place, candidate ? static_cast<Standing>(passes[c]) : Standing::Fails, false});
            c += candidate;
        }
        return;
    }
    while (c < candidates.size() || a < accumulates.size()) {
        const bool take_candidate = a == accumulates.size() || (c < candidates.size() && candidates[c] <= accumulates[a]);
        if (take_candidate) {
            if (a < accumulates.size() && accumulates[a] == candidates[c]) ++a;
            visit.push_back({candidates[c], static_cast<Standing>(passes[c]), false});
            ++c;
        } else {
            visit.push_back({accumulates[a++], Standing::Fails, false});
        }
    }
}

}  // namespace

std::vector<Staged<FactId>> RuleNet::take_s0_windows() {
    if (s0_indexed) {
        s0_held.clear();
        s0_indexed = false;
    }
    // Moved, not copied: a braced list would copy its one element.
    std::vector<Staged<FactId>> taken = std::move(s0_windows);
    s0_windows.clear();
    s0_windows.emplace_back();
    return taken;
}

void Engine::route_network_by_type() {
    lias_by_type.assign(store.type_count(), {});
    nodes_by_type.assign(store.type_count(), {});
    auto file = [&](std::vector<std::vector<size_t>>& by_type, TypeId t, size_t index) {
        if (t >= by_type.size()) by_type.resize(size_t{t} + 1);
        by_type[t].push_back(index);
    };
    for (size_t li = 0; li < lias.size(); ++li)
        file(lias_by_type, rules[lias[li].rule].patterns[lias[li].pattern].type_id, li);
    for (size_t ni = 0; ni < nodes.size(); ++ni) {
        const auto [r, pi] = nodes[ni].owner;
        file(nodes_by_type, rules[r].patterns[pi].type_id, ni);
    }
    index_query_nodes();
    alpha_routes.build(*this);
    rules_of_lia.assign(lias.size(), {});
    rules_of_node.assign(nodes.size(), {});
    for (size_t r = 0; r < nets.size(); ++r) {
        rules_of_lia[nets[r].lia].push_back(r);
        for (size_t ni : nets[r].node_ids)
            if (rules_of_node[ni].empty() || rules_of_node[ni].back() != r) rules_of_node[ni].push_back(r);
    }
}

// The link marks of one propagation call (or of a run of stored inserts taken
// in one go, between which nothing else happens). The first change refreshes
// every rule (note_link_effect on each); until the call ends nothing clears
// those marks, so a later change needs to look only at the rules that read the
// place it changed: every other rule would get the marks it already has.
//
// Only a rule whose Lia holds a fact can be linked: the others are unlinked
// before the change, and unless the change touches them, after it too, where
// a note sets nothing. So past a few dozen rules the notes read the rules of
// the Lias holding facts when the call starts (`rules_`, ascending) and the
// rules each change touches, never every rule; below that, a walk over every
// rule costs less than gathering them.
//
// A rule already marked linked, dirty and on the agenda is settled: while no
// expiry runs, a note can set nothing on it that is not set, and it stays
// settled until the call ends. Its link state is neither read nor kept (its
// byte is 0, on which note_link_effect changes nothing either).
class Engine::LinkNotes {
public:
    explicit LinkNotes(Engine& e) : e_(e) {
        if (!e.link_buffers.empty()) {
            before_ = std::move(e.link_buffers.back());
            e.link_buffers.pop_back();
        }
        if (walk_all_) {
            before_.resize(e.rules.size());
            for (size_t r = 0; r < before_.size(); ++r) before_[r] = !settled(r) && e.rule_linked(r) ? 1 : 0;
            e.link_rules_read += before_.size();
            return;
        }
        if (!e.link_rule_buffers.empty()) {
            rules_ = std::move(e.link_rule_buffers.back());
            e.link_rule_buffers.pop_back();
        }
        before_.assign(e.rules.size(), 0);
        rules_.clear();
        e.lias_holding.for_each([&](uint32_t li) {
            rules_.insert(rules_.end(), e.rules_of_lia[li].begin(), e.rules_of_lia[li].end());
        });
        // Each Lia lists its rules ascending; a rule has one Lia.
        if (e.lias_holding.size() > 1) std::sort(rules_.begin(), rules_.end());
        e.link_rules_read += rules_.size();
        for (uint32_t r : rules_) before_[r] = !settled(r) && e.rule_linked(r) ? 1 : 0;
    }
    ~LinkNotes() {
        e_.link_buffers.push_back(std::move(before_));
        if (!walk_all_) e_.link_rule_buffers.push_back(std::move(rules_));
    }
    LinkNotes(const LinkNotes&) = delete;
    LinkNotes& operator=(const LinkNotes&) = delete;
    std::vector<uint8_t>& before() { return before_; }
    void after_change(const std::vector<size_t>& touched) {
        if (refreshed_) {
            for (size_t r : touched)
                if (!settled(r)) e_.note_link_effect(r, before_);
            return;
        }
        // A rule that does not read the changed place is linked now exactly
        // when it was before the change: it gets only the marks of a linked
        // rule. The touched rules are flagged in the byte above the state.
        constexpr uint8_t kTouched = 2;
        for (size_t r : touched) before_[r] |= kTouched;
        auto note = [&](size_t r) {
            if (before_[r] & kTouched) {
                before_[r] &= 1;
                if (!settled(r)) e_.note_link_effect(r, before_);
            } else if (before_[r]) {
                e_.note_still_linked(r);
            }
        };
        refreshed_ = true;
        if (walk_all_) {
            for (size_t r = 0; r < before_.size(); ++r) note(r);
            e_.link_rules_read += before_.size();
            return;
        }
        // In rule order, as a walk over every rule would reach them.
        rules_.insert(rules_.end(), touched.begin(), touched.end());
        std::sort(rules_.begin(), rules_.end());
        rules_.erase(std::unique(rules_.begin(), rules_.end()), rules_.end());
        e_.link_rules_read += rules_.size();
        for (uint32_t r : rules_) note(r);
    }
    // After a fact joined a passing set that held facts already. Of a rule
    // unlinked before, such a take-in changes only what an exists group may
    // read (the staged input of the rule's first node): a rule without one
    // stays unlinked, and a note would set nothing on it.
    void after_joining(const std::vector<size_t>& touched) {
        if (!refreshed_) {
            after_change(touched);
            return;
        }
        for (size_t r : touched)
            if (!settled(r) && (before_[r] || has_exists_group(e_.rules[r]))) e_.note_link_effect(r, before_);
    }

private:
    static bool has_exists_group(const CompiledRule& rule) {
        return std::any_of(rule.patterns.begin(), rule.patterns.end(), [](const CompiledPattern& p) {
            return p.role.kind == SubRole::Kind::Group && p.ce == CeKind::Exists;
        });
    }
    bool settled(size_t r) const {
        const RuleNet& net = e_.nets[r];
        return net.linked_mark && net.dirty && net.on_agenda && !e_.expiring;
    }

    Engine& e_;
    const bool walk_all_ = !e_.lias_holding_kept;
    std::vector<uint8_t> before_;
    std::vector<uint32_t> rules_;
    bool refreshed_ = false;
};

namespace {

// A fact's insert at its routes with notes of its own; out of line, so that an
// insert that no pattern reads returns without making room for the notes.
[[gnu::noinline]] void route_with_notes(Engine& e, FactId f, const Stamp& stamp,
                                        std::span<const size_t> lia_routes, std::span<const size_t> node_routes) {
    RouteLoan found(e);
    // A fact that passes no route stages nothing and changes no link state.
    if (!e.find_passing_routes(f, *found)) return;
    Engine::LinkNotes notes(e);
    e.route_insert(f, stamp, *found, lia_routes, node_routes, notes);
}

}  // namespace

bool Engine::alpha_passes_fields(size_t r, size_t pattern, FactId f) const {
    const CompiledPattern& p = rules[r].patterns[pattern];
    if (store.fact_type(f) != p.type_id) return false;
    if (entry_point_of(f) != p.entry_point_id) return false;
    for (const CompiledCmp& c : p.cmps)
        if (!alpha_cmp_passes(store, p, c, f)) return false;
    return true;
}

bool Engine::find_passing_routes(FactId f, RouteScratch& found) {
    alpha_routes.start_fact(*this, f);
    alpha_routes.passing(*this, AlphaRoutes::Kind::Lias, found.lias);
    alpha_routes.passing(*this, AlphaRoutes::Kind::Nodes, found.nodes);
    return !found.lias.empty() || !found.nodes.empty();
}

void Engine::refresh_query_links() {
    if (queries.empty()) {
        linked_queries.clear();
        return;
    }
    linked_queries.resize(queries.size(), 0);
    for (uint32_t q = 0; q < queries.size(); ++q) {
        const bool tracked = q < tracked_queries.size() && tracked_queries[q] != 0;
        linked_queries[q] = tracked && query_linked(store, queries, q) ? 1 : 0;
    }
}

void Engine::lia_take_in(size_t li, FactId f, Stamp stamp) {
    Lia& lia = lias[li];
    if (lia.passing.insert(f) && lias_holding_kept && lia.passing.size() == 1)
        lias_holding.insert(static_cast<uint32_t>(li));
    for (size_t r : lia.rules) {
        RuleNet& net = nets[r];
        if (window_holds(net, f, true, true, false)) continue;
        // No window holds an insert or update of f: only a placeholder can
        // place the insert elsewhere than at the front.
        change_window(net, net.s0_windows.size() - 1, f, [&](Staged<FactId>& w) {
            if (w.placeholders_on) w.add_ins_ph(f, stamp, StagedFlag::Insert);
            else w.ins.push_front({f, stamp, StagedFlag::Insert});
        });
    }
    for (size_t n : lia.nodes) {
        TrieNode& node = nodes[n];
        // Arrival numbers order the facts that meet in a temporal join; no
        // other node reads them, so only temporal nodes keep them.
        ++input_seq;
        if (node.node.temporal()) node.node.set_left_rank(tuples.extend(TupleTable::empty_tuple, f), input_seq);
        node.first_input.add_ins_ph(f, stamp, StagedFlag::Insert);
    }
}

void Engine::lia_let_go(size_t li, FactId f, Stamp stamp) {
    Lia& lia = lias[li];
    if (lia.passing.erase(f) && lias_holding_kept && lia.passing.empty())
        lias_holding.erase(static_cast<uint32_t>(li));
    for (size_t r : lia.rules) {
        RuleNet& net = nets[r];
        // An insert nobody has seen yet is simply withdrawn.
        if (remove_oldest(net, f, &WindowHolds::ins, &WindowHolds::ins_window,
                          [&](Staged<FactId>& w) { return w.remove_ins(f); }))
            continue;
        remove_oldest(net, f, &WindowHolds::upd, &WindowHolds::upd_window,
                      [&](Staged<FactId>& w) { return w.remove_upd(f); });
        // No window holds an insert or a delete of f here, so the delete
        // only withdraws a second update and goes to the front.
        if (!window_holds(net, f, false, false, true))
            change_window(net, net.s0_windows.size() - 1, f, [&](Staged<FactId>& w) {
                w.upd.remove_first(f);
                w.del.push_front({f, stamp, StagedFlag::Insert});
            });
    }
    for (size_t n : lia.nodes) nodes[n].first_input.add_del(f, stamp);
}

void Engine::node_admit(size_t ni, FactId f) {
    TrieNode& n = nodes[ni];
    n.win_in.insert(f);
    // The first blocker of a not pattern unlinks its rule only once an
    // evaluation has seen it.
    if (n.win_in.size() == 1 && is_not_without_exemption(rules[n.owner.first].patterns[n.owner.second]))
        n.blocker_pending = true;
}

void Engine::on_insert(FactId f, Stamp stamp) {
    if (!firing) ++shadow_seq;
    if (has_shadows()) shadow_gate_insert(f, shadow_seq);
    note_query_change(*this, f, kAllFields, stamp);
    const TypeId type = store.fact_type(f);
    const std::span<const size_t> lia_routes = routes_of(lias_by_type, type);
    const std::span<const size_t> node_routes = routes_of(nodes_by_type, type);
    // A fact no pattern reads changes no rule's link state (a rule's derived
    // facts, most often): nothing to note.
    if (lia_routes.empty() && node_routes.empty()) return;
    if (!store.is_alive(f)) return;
    route_with_notes(*this, f, stamp, lia_routes, node_routes);
}

void Engine::on_insert_stored(std::span<const FactId> facts) {
    // Side evaluators are built in sessions with event types only, whose
    // facts go one at a time with a stream flush after each.
    if (!event_decls.empty() || has_shadows())
        invariant_broken("stored facts taken in runs in a session with event types");
    // Queries take note of each insert before its link marks are read: there
    // every fact is a call of its own.
    if (!queries.empty() || !linked_queries.empty()) {
        for (FactId f : facts) on_insert(f, std::nullopt);
        return;
    }
    // A run of facts of one type shares its routes and one set of link
    // notes: nothing between two of its inserts clears a mark or changes a
    // link state that the notes would not see. (Ids follow the inserts, and
    // a table is inserted whole: the runs are long.)
    const Stamp none;
    for (size_t i = 0; i < facts.size();) {
        const TypeId type = store.fact_type(facts[i]);
        size_t end = i + 1;
        while (end < facts.size() && store.fact_type(facts[end]) == type) ++end;
        const std::span<const size_t> lia_routes = routes_of(lias_by_type, type);
        const std::span<const size_t> node_routes = routes_of(nodes_by_type, type);
        if (lia_routes.empty() && node_routes.empty()) {
            if (!firing) shadow_seq += end - i;
            i = end;
            continue;
        }
        LinkNotes notes(*this);
        RouteLoan found(*this);
        for (; i < end; ++i) {
            if (!firing) ++shadow_seq;
            if (store.is_alive(facts[i]) && find_passing_routes(facts[i], *found))
                route_insert(facts[i], none, *found, lia_routes, node_routes, notes);
        }
    }
}

void Engine::route_insert(FactId f, Stamp stamp, const RouteScratch& passing, std::span<const size_t> lia_routes,
                          std::span<const size_t> node_routes, LinkNotes& notes) {
    for (uint32_t place : passing.lias) {
        const size_t li = lia_routes[place];
        const bool joins = !lias[li].passing.empty();
        lia_take_in(li, f, stamp);
        if (joins) notes.after_joining(rules_of_lia[li]);
        else notes.after_change(rules_of_lia[li]);
    }
    // Group CEs take no facts: no index finds them.
    for (uint32_t place : passing.nodes) {
        const size_t ni = node_routes[place];
        const auto [r, pi] = nodes[ni].owner;
        const CompiledPattern& p = rules[r].patterns[pi];
        // An event already past its expiry never counts in an accumulate: it
        // is gone once the next fire has run.
        if (p.acc && (p.acc->window_ms ? !winacc_admits(ni, f) : past_expiry(f))) {
            nodes[ni].win_out.insert(f);
            continue;
        }
        node_admit(ni, f);
        TrieNode& n = nodes[ni];
        ++input_seq;
        if (n.node.temporal()) n.node.set_right_rank(f, input_seq);  // read by temporal joins only
        const bool unlinked_arrival =
            !event_decls.empty() && n.node.kind() == Kind::Join && !n.node.temporal() && !rule_linked(r);
        n.node.stage_right_insert(f, stamp, unlinked_arrival ? StagedFlag::UnlinkedArrival : StagedFlag::Insert);
        notes.after_change(rules_of_node[ni]);
    }
}

// The routes an update or a delete of `f` visits (plan_visit), nodes and
// Lias. `unseen` holds the fields written since the network last saw the
// fact (an update's own and a setter's silent writes). The fact sits where
// the values the network saw put it: unless a field the literal indexes
// read is among the unseen, its present values find every route it sits in.
// A delete asks for no test: a dead fact passes nothing.
class Engine::UpdateRoutes {
public:
    enum class Change : uint8_t { Update, Delete };
    UpdateRoutes(Engine& e, FactId f, Change change, uint64_t unseen) : found_(e) {
        const TypeId type = e.store.fact_type(f);
        const bool alive = change == Change::Update && e.store.is_alive(f);
        routes_ = e.alpha_routes.routes_of(type);
        everywhere_ = (change == Change::Update && !alive) || (unseen & e.alpha_routes.indexed_fields(type)) != 0;
        found_->nodes.clear();
        found_->lias.clear();
        if (!routes_) return;
        e.alpha_routes.start_fact(e, f);
        if (alive) {
            // A list whose routes are all candidates is visited whole, each
            // route's standing found on the way: nothing to gather or merge.
            nodes_planned_ = e.alpha_routes.visit_all(e, AlphaRoutes::Kind::Nodes, unseen, found_->node_visit);
            if (!nodes_planned_)
                e.alpha_routes.candidates(e, AlphaRoutes::Kind::Nodes, found_->nodes, found_->node_passes, unseen);
            lias_planned_ = e.alpha_routes.visit_all(e, AlphaRoutes::Kind::Lias, unseen, found_->lia_visit);
            if (!lias_planned_)
                e.alpha_routes.candidates(e, AlphaRoutes::Kind::Lias, found_->lias, found_->lia_passes, unseen);
        } else if (!everywhere_) {
            e.alpha_routes.reachable(e, AlphaRoutes::Kind::Nodes, found_->nodes);
            e.alpha_routes.reachable(e, AlphaRoutes::Kind::Lias, found_->lias);
            found_->node_passes.assign(found_->nodes.size(), 0);
            found_->lia_passes.assign(found_->lias.size(), 0);
        }
    }
    // The routes visited, in list order, each with the fact's standing now.
    std::vector<RouteVisit>& nodes(size_t total) {
        if (!nodes_planned_)
            plan_visit(total, everywhere_, found_->nodes, found_->node_passes, accumulates(), found_->node_visit);
        return found_->node_visit;
    }
    std::vector<RouteVisit>& lias(size_t total) {
        if (!lias_planned_) plan_visit(total, everywhere_, found_->lias, found_->lia_passes, {}, found_->lia_visit);
        return found_->lia_visit;
    }

private:
    std::span<const uint32_t> accumulates() const {
        if (!routes_) return {};
        return routes_->nodes.accumulates;
    }

    RouteLoan found_;
    const TypeRoutes* routes_ = nullptr;
    bool everywhere_ = true;
    // Whether the visit is laid out already (AlphaRoutes::visit_all).
    bool nodes_planned_ = false, lias_planned_ = false;
};

void Engine::on_update(FactId f, uint64_t mask, Stamp stamp) {
    uint64_t unseen = mask;
    if (const uint64_t* silent = silent_writes.find(f)) {
        unseen |= *silent;
        silent_writes.erase(f);
    }
    note_query_change(*this, f, mask, stamp);
    LinkNotes notes(*this);
    const TypeId type = store.fact_type(f);
    const bool event = !event_decls.empty() && event_decls.count(type) != 0;
    bool deferred = false;

    // Pass 1 stages what passes now (updates and arrivals), pass 2 what fails
    // now (departures), so a call's deletes come after its updates and inserts.
    // A route the fact neither sat in nor passes now changes nothing: only the
    // routes its values reach are visited.
    UpdateRoutes routes(*this, f, UpdateRoutes::Change::Update, unseen);
    const std::span<const size_t> node_routes = routes_of(nodes_by_type, type);
    const std::span<const size_t> lia_routes = routes_of(lias_by_type, type);
    std::vector<RouteVisit>& node_visit = routes.nodes(node_routes.size());
    for (int pass = 1; pass <= 2; ++pass) {
        for (RouteVisit& visit : node_visit) {
            const size_t ni = node_routes[visit.place];
            const auto [r, pi] = nodes[ni].owner;
            const CompiledPattern& p = rules[r].patterns[pi];
            if (p.role.kind == SubRole::Kind::Group) continue;
            if (p.acc && p.acc->window_ms) {
                if (!stamp) deferred = true;
                else if (pass == 1) winacc_step(ni, f, mask, stamp);
                continue;
            }
            if (p.acc && event && !stamp) {
                deferred = true;
                continue;
            }
            TrieNode& n = nodes[ni];
            // Pass 1 changes the node's hold on f only where f was out.
            if (pass == 1) visit.was = n.win_in.contains(f);
            const bool was = visit.was;
            const bool now = visit.now == Standing::Kept ? was : visit.now == Standing::Passes;
            if (pass == 2 && !was) continue;
            if (pass == 1 && was && now) {
                if (mask == kAllFields || (mask & p.field_mask) || (n.node.temporal() && p.ce == CeKind::Positive)) {
                    n.node.stage_right_update(f, stamp, StagedFlag::Change);
                } else {
                    // The change cannot affect the pattern's tests: re-file the
                    // fact under its key instead of re-evaluating it.
                    JoinEnvImpl env(input_seq, store, rules[r], 0, false, tuples, switches);
                    if (p.ce == CeKind::Not) n.node.not_mask_miss_re_add(env, pi - 1, f);
                    else n.node.re_add_right_fact(f, right_key(env, pi - 1, f));
                }
                notes.after_change(rules_of_node[ni]);
            } else if (pass == 1 && !was && now) {
                if (n.win_out.count(f) || (p.acc && past_expiry(f))) continue;
                node_admit(ni, f);
                const StagedFlag flag =
                    n.node.staged_right().del.contains(f) ? StagedFlag::RightInsert : StagedFlag::Insert;
                n.node.stage_right_insert(f, stamp, flag);
                notes.after_change(rules_of_node[ni]);
            } else if (pass == 2 && was && !now) {
                n.win_in.erase(f);
                n.node.stage_right_delete(f, stamp);
                notes.after_change(rules_of_node[ni]);
            }
        }
    }

    std::vector<RouteVisit>& lia_visit = routes.lias(lia_routes.size());
    for (int pass = 1; pass <= 2; ++pass) {
        for (RouteVisit& visit : lia_visit) {
            const size_t li = lia_routes[visit.place];
            const CompiledPattern& p = rules[lias[li].rule].patterns[lias[li].pattern];
            // Pass 1 changes the Lia's hold on f only where f was out.
            if (pass == 1) visit.was = lias[li].passing.contains(f);
            const bool was = visit.was;
            const bool now = visit.now == Standing::Kept ? was : visit.now == Standing::Passes;
            if (pass == 2 && !was) continue;
            if (pass == 1 && was && now) {
                if (mask != kAllFields && !(mask & p.field_mask)) continue;
                Lia& lia = lias[li];
                for (size_t r : lia.rules) {
                    RuleNet& net = nets[r];
                    if (window_holds(net, f, true, true, true)) continue;
                    change_window(net, net.s0_windows.size() - 1, f,
                                  [&](Staged<FactId>& w) { w.upd.push_front({f, stamp, StagedFlag::Change}); });
                }
                // Every fed node sees the update: the rules that share this
                // first pattern read the same fields of it, all of them above.
                for (size_t n : lia.nodes) nodes[n].first_input.add_upd_ph(f, stamp, StagedFlag::Change);
                notes.after_change(rules_of_lia[li]);
            } else if (pass == 1 && !was && now) {
                lia_take_in(li, f, stamp);
                notes.after_change(rules_of_lia[li]);
            } else if (pass == 2 && was && !now) {
                lia_let_go(li, f, stamp);
                notes.after_change(rules_of_lia[li]);
            }
        }
    }

    if (deferred) window_changes.push_back(WindowChange{f, 0, mask});
#ifdef QUARN_VERIFY_ENGINE
    verify_routes_of(f);
#endif
    tms_eager_break(f);
}

void Engine::on_delete_ex(FactId f, Stamp stamp, bool window) {
    // A dead fact's row still reads as it was: unless a setter wrote a field
    // an index reads behind the network's back, its values find every route
    // it sits in.
    uint64_t unseen = 0;
    if (const uint64_t* silent = silent_writes.find(f)) {
        unseen = *silent;
        silent_writes.erase(f);
    }
    if (!firing) ++shadow_seq;
    if (has_shadows()) shadow_gate_delete(f, shadow_seq);
    note_query_change(*this, f, kAllFields, stamp);
    LinkNotes notes(*this);

    const TypeId type = store.fact_type(f);
    UpdateRoutes routes(*this, f, UpdateRoutes::Change::Delete, unseen);
    const std::span<const size_t> lia_routes = routes_of(lias_by_type, type);
    const std::span<const size_t> node_routes = routes_of(nodes_by_type, type);
    for (const RouteVisit& visit : routes.lias(lia_routes.size())) {
        const size_t li = lia_routes[visit.place];
        if (!lias[li].passing.count(f)) continue;
        lia_let_go(li, f, stamp);
        notes.after_change(rules_of_lia[li]);
    }
    for (const RouteVisit& visit : routes.nodes(node_routes.size())) {
        const size_t ni = node_routes[visit.place];
        TrieNode& n = nodes[ni];
        // A dead fact is never admitted again: keeping it held out would only
        // grow the set for as long as the session lives.
        n.win_out.erase(f);
        if (window && rules[n.owner.first].patterns[n.owner.second].acc) continue;
        if (!n.win_in.erase(f)) continue;
        n.node.stage_right_delete(f, stamp);
        notes.after_change(rules_of_node[ni]);
    }
#ifdef QUARN_VERIFY_ENGINE
    verify_routes_of(f);
#endif
    tms_eager_break(f);
}

void Engine::verify_routes_of(FactId f) const {
    const bool alive = store.is_alive(f);
    const TypeId type = store.fact_type(f);
    for (size_t li : routes_of(lias_by_type, type)) {
        const bool now = alive && alpha_passes_fields(lias[li].rule, lias[li].pattern, f);
        if (lias[li].passing.contains(f) != now)
            invariant_broken(fmt("Lia {} {} fact {}, which {} its tests", li, now ? "misses" : "holds", f,
                                 now ? "passes" : "fails"));
    }
    for (size_t ni : routes_of(nodes_by_type, type)) {
        const auto [r, pi] = nodes[ni].owner;
        const CompiledPattern& p = rules[r].patterns[pi];
        // Accumulates follow their windows and deferred changes.
        if (p.acc || p.role.kind == SubRole::Kind::Group) continue;
        const bool now = alive && alpha_passes_fields(r, pi, f);
        if (nodes[ni].win_in.contains(f) != now)
            invariant_broken(fmt("node {} {} fact {}, which {} its tests", ni, now ? "misses" : "admits", f,
                                 now ? "passes" : "fails"));
    }
}

}  // namespace quarn
