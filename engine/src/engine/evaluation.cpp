// Lazy rule evaluation: a rule's chain of nodes run over its staged input, the terminal step that turns what reaches
// the end into activations, and the pruning of an unlinked rule.
#include <algorithm>
#include <memory>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

// Staged input, released temporal-not tuples, or ?query answers to check.
bool holds_work(const Engine& e, size_t id) {
    const TrieNode& n = e.nodes[id];
    return !n.first_input.empty() || n.node.holds_staged_input() || !n.subnet_input.empty() ||
           n.node.holds_parked() || e.query_refresh_due(id);
}

// Staged input anywhere in the rule: its windows, its terminal, its nodes
// (released temporal-not tuples included).
bool rule_holds_work(const Engine& e, size_t r) {
    const RuleNet& net = e.nets[r];
    for (const Staged<FactId>& w : net.s0_windows)
        if (!w.empty()) return true;
    if (!net.term.empty()) return true;
    for (size_t id : net.node_ids)
        if (holds_work(e, id)) return true;
    return false;
}

bool is_subnet(Kind k) { return k == Kind::SubnetNot || k == Kind::SubnetExists; }

// First-pattern entries as entries of one-fact tuples, same stamps, flags and order.
EntryList<TupleId> one_fact_tuples(TupleTable& tuples, const EntryList<FactId>& l) {
    EntryList<TupleId> out;
    for (const auto& e : l.oldest_first()) out.push_front({tuples.extend(TupleTable::empty_tuple, e.item), e.stamp, e.flag});
    return out;
}

// A change the rule's own right-hand side made (or another `or` alternative
// of the same rule's) does not activate a no-loop rule.
bool no_loop_holds(const Engine& e, size_t r, const Stamp& stamp) {
    const CompiledRule& rule = e.rules[r];
    return rule.def.no_loop && stamp && *stamp < e.stamp_rules.size() && e.stamp_rules[*stamp] == rule.def.ordinal;
}

// Removes the activations `remove` takes out of the list and keeps the agenda's cached view of
// an expression-salience rule in step; the others keep their order.
template <class Remove>
void remove_acts(Engine& e, size_t r, Remove remove) {
    RuleNet& net = e.nets[r];
    // A constant salience is the rule's key whatever is left: the top is not
    // looked for (a look that drops stale entries on its way).
    if (e.rules[r].salience.kind == CompiledSalience::Kind::Const) {
        remove(net.acts);
        return;
    }
    const int32_t old_top = net.acts.top_salience();
    if (remove(net.acts) == 0) return;
    const int32_t new_top = net.acts.top_salience();
    if (new_top == old_top && net.on_agenda) return;
    // Also with nothing left: the agenda must look at the rule again.
    net.top_salience = new_top;
    e.put_on_agenda(r);
}

// A tuple that left the terminal forgets its activation and its sequence number.
void terminal_delete(Engine& e, size_t r, TupleId t) {
    // Every activation's tuple has a sequence number: no number, no activation.
    remove_acts(e, r, [&](ActivationList& acts) { return acts.forget(t); });
    e.tms_on_terminal_del(r, t);
    e.tms_parked_del(r, t);
}

bool has_activation(const RuleNet& net, TupleId t) {
    return net.acts.contains(t);
}

// The trace line of a batch the terminal takes; cold, kept off the firing path.
[[gnu::cold, gnu::noinline]] void trace_terminal(Engine& e, size_t r, const Staged<TupleId>& batch) {
    JoinEnvImpl env(e.input_seq, e.store, e.rules[r], 0, true, e.tuples, e.switches);
    env.trace(fmt("term[{}] consume ins={} upd={} del={}", r, debug(e.tuples, batch.ins), debug(e.tuples, batch.upd),
                  debug(e.tuples, batch.del)));
}

void terminal_step(Engine& e, size_t r, const Staged<TupleId>& batch) {
    if (!batch.empty() && e.switches.trace()) trace_terminal(e, r, batch);
    for (const auto& d : batch.del) terminal_delete(e, r, d.item);
    for (const auto& u : batch.upd) {
        // A pending activation keeps its sequence number and salience.
        if (has_activation(e.nets[r], u.item) || no_loop_holds(e, r, u.stamp)) continue;
        e.tms_unpark_upd(r, u.item);
        e.push_activation(r, u.item);
    }
    for (const auto& i : batch.ins) {
        if (no_loop_holds(e, r, i.stamp) || e.tms.is_parked(r, i.item)) continue;
        e.push_activation(r, i.item);
    }
}

// A one-pattern rule has no nodes: its windows are its terminal input. Oldest
// window first; within one, deletes, updates, inserts, each oldest first.
// Out of line, as every path that a chain of nodes does not take: the
// evaluation of a chain stays short in the instruction cache.
[[gnu::noinline]] void one_pattern_terminal(Engine& e, size_t r) {
    std::vector<Staged<FactId>> windows = e.nets[r].take_s0_windows();
    e.tms.first_changes_begin();
    if (!e.logical_types.empty())
        for (const Staged<FactId>& w : windows) e.tms.note_first_changes(w);
    // A one-pattern rule's tuples hold one fact.
    auto one = [&e](FactId f) { return e.tuples.extend(TupleTable::empty_tuple, f); };
    // Each entry's tuple is looked up once, and only where it was needed.
    for (const Staged<FactId>& w : windows) {
        for (const auto& d : w.del.oldest_first()) terminal_delete(e, r, one(d.item));
        for (const auto& u : w.upd.oldest_first()) {
            const TupleId t = one(u.item);
            if (has_activation(e.nets[r], t) || no_loop_holds(e, r, u.stamp)) continue;
            e.tms_unpark_upd(r, t);
            e.push_activation(r, t);
        }
        for (const auto& i : w.ins.oldest_first()) {
            if (no_loop_holds(e, r, i.stamp)) continue;
            const TupleId t = one(i.item);
            if (e.tms.is_parked(r, t)) continue;
            e.push_activation(r, t);
        }
    }
}

// An unlinked rule drops the activations and sequence numbers of tuples whose
// facts are no longer present at their patterns, before its chain runs. It
// is asked at every firing that evaluates the rule, so it costs what the
// rule's list holds, and nothing once the list is empty (as a rule that lost
// the last fact of a positive pattern leaves it).
void prune_unlinked(Engine& e, size_t r) {
    const CompiledRule& rule = e.rules[r];
    RuleNet& net = e.nets[r];
    // A slot beyond the tuple finds nothing there.
    auto kept = [&](TupleId id) {
        const TupleView t = e.tuples.view(id);
        for (size_t p = 0; p < rule.patterns.size(); ++p) {
            const CompiledPattern& pat = rule.patterns[p];
            if (!pat.slot || pat.qce || pat.role.kind == SubRole::Kind::Member) continue;
            const DenseIdSet& present = p == 0 ? e.lias[net.lia].passing : e.nodes[net.node_ids[p - 1]].win_in;
            if (*pat.slot >= t.size() || !present.contains(t[*pat.slot])) return false;
        }
        return true;
    };
    remove_acts(e, r, [&](ActivationList& acts) { return acts.forget_if([&](TupleId t) { return !kept(t); }); });
}

// The input of a target that a node's output continues into (a node's left
// input or a rule's terminal), which the node's evaluation writes its output
// into in place.
Staged<TupleId>& target_input(Engine& e, const Target& t) {
    switch (t.kind) {
        case Target::Kind::Node: return e.nodes[t.index].node.held_left();
        case Target::Kind::Rule: return e.nets[t.index].term;
        case Target::Kind::Subnet: break;
    }
    invariant_broken("only a node or a rule takes a node's output whole");
}

// The last member of a not/exists group feeds the group's node. A batch that
// holds both a delete and an insert of one tuple deleted it first (an insert
// staged first would have been withdrawn by the delete), so deletes go in
// first: the other way round the delete would withdraw the new insert.
void route_to_subnet(Staged<TupleId>& inner, const Staged<TupleId>& out) {
    for (const auto& x : out.del) inner.add_del(x.item, x.stamp);
    for (const auto& x : out.cancelled) inner.add_del(x.item, x.stamp);
    for (const auto& x : out.ins) inner.add_ins_ph(x.item, x.stamp, StagedFlag::Insert);
    for (const auto& x : out.upd) inner.add_upd_ph(x.item, x.stamp, StagedFlag::Change);
}

// A batch that holds no entry but may hold what an evaluation drops with it
// (withdrawn inserts, refreshed ones) is left as a fresh one.
template <class T>
void drop_spent(Staged<T>& s) {
    if (!s.reinserted.empty() || !s.placeholders.empty() || s.placeholders_on) s = Staged<T>{};
}

// The first-pattern changes as one-fact tuples behind the staged left input
// `delta` (in place: the batch is the node's left input from here on).
void fold_first_changes(Engine& e, const Staged<FactId>& first, Staged<TupleId>& delta) {
    if (first.empty()) return;
    if (delta.empty() && first.ins.size() + first.upd.size() + first.del.size() == 1) {
        // One change: what the merge below makes of it, without the walk.
        const TupleId empty = TupleTable::empty_tuple;
        if (!first.ins.empty()) {
            const auto& x = first.ins.front();
            delta.ins.push_front({e.tuples.extend(empty, x.item), x.stamp, x.flag});
        } else if (!first.upd.empty()) {
            const auto& x = first.upd.front();
            delta.upd.push_front({e.tuples.extend(empty, x.item), x.stamp, x.flag});
        } else {
            const auto& x = first.del.front();
            delta.del.push_front({e.tuples.extend(empty, x.item), x.stamp, StagedFlag::Insert});
        }
        return;
    }
    if (delta.fresh() && e.event_decls.empty()) {
        // Merged into nothing, each list comes through as it is: staged one
        // change at a time, a batch holds an item once per list and never
        // an update beside a delete, and inserts are not checked against
        // deletes. (With event types the stream flush puts set-aside lists
        // back behind newer ones, which the merge has to sort out.)
        delta.ins = one_fact_tuples(e.tuples, first.ins);
        delta.upd = one_fact_tuples(e.tuples, first.upd);
        delta.del = one_fact_tuples(e.tuples, first.del);
        return;
    }
    Staged<TupleId> converted;
    converted.ins = one_fact_tuples(e.tuples, first.ins);
    converted.upd = one_fact_tuples(e.tuples, first.upd);
    converted.del = one_fact_tuples(e.tuples, first.del);
    delta = Staged<TupleId>::merge_into_pending(std::move(delta), std::move(converted));
}

// What appending a batch behind nothing leaves out of it: its cancelled
// entries and placeholders.
void drop_append_extras(Staged<TupleId>& s) {
    s.cancelled.clear();
    s.placeholders.clear();
    s.placeholders_on = false;
}

// A node's deferred tuples go to the timers.
void schedule_deferred(Engine& e, size_t id) {
    Node& node = e.nodes[id].node;
    if (node.deferred().empty()) return;
    for (DeferredEntry& d : node.take_deferred())
        e.timers[d.fire_time].push_back(TimerEntry{id, std::move(d.tuple), d.stamp, e.timer_seq++});
}

// Hands a node's output to its targets: the first takes it whole (unless it
// is a subnetwork's), the others by peer merge. `taken` is the first target's
// batch.
void route_output(Engine& e, const std::vector<Target>& targets, Staged<TupleId>& taken, Staged<TupleId>& trg) {
    for (size_t t = 0; t < targets.size(); ++t) {
        const Target& target = targets[t];
        if (target.kind == Target::Kind::Subnet) {
            route_to_subnet(e.nodes[target.index].subnet_input, trg);
        } else if (t == 0) {
            // Only the first target's copy is made; it is the last use when
            // nothing else shares the node.
            if (targets.size() == 1 && taken.fresh()) {
                // Appended behind nothing, the batch is the child's batch
                // less what the append leaves out.
                taken = std::move(trg);
                drop_append_extras(taken);
            } else {
                Staged<TupleId>::append_behind(taken, targets.size() == 1 ? std::move(trg) : trg);
            }
        } else if (!trg.empty()) {
            if (target.kind == Target::Kind::Node) e.nodes[target.index].node.peer_merge_left(trg);
            else e.nets[target.index].peer_merge_term(trg);
        }
    }
}

// A join, not or exists node: the network evaluates it on its held input in
// place (reset once it has run, as taking it out would leave it), and when
// its only target holds nothing yet the output is written straight into that
// target's batch, which is what routing it there would make of it.
void evaluate_network_node(Engine& e, size_t id) {
    TrieNode& tn = e.nodes[id];
    Staged<FactId>& first = tn.first_input;
    Staged<TupleId>& delta = tn.node.held_left();
    Staged<FactId>& right = tn.node.held_right();
    if (!first.empty() && !e.logical_types.empty()) e.tms.note_first_changes(first);
    fold_first_changes(e, first, delta);
    first.reset();
    if (delta.empty() && right.empty() && !tn.node.holds_parked() && !e.query_refresh_due(id)) {
        delta.reset();
        right.reset();
        return;
    }

    const std::vector<Target>& targets = tn.targets;
    const bool routes_whole = !targets.empty() && targets[0].kind != Target::Kind::Subnet;
    // (Batches and Outs are not held in optionals here: an empty optional
    // zero-fills all of its room, at every evaluation.)
    std::unique_ptr<Staged<TupleId>> unrouted;
    if (!routes_whole) unrouted = std::make_unique<Staged<TupleId>>();
    Staged<TupleId>& taken = routes_whole ? target_input(e, targets[0]) : *unrouted;
    const bool into_taken = routes_whole && targets.size() == 1 && taken.fresh();
    Out out(taken, into_taken);
    {
        const auto [owner_rule, owner_pattern] = tn.owner;
        JoinEnvImpl env(e.input_seq, e.store, e.rules[owner_rule], 0, true, e.tuples, e.switches);
        // Without event types the chain runs in order with everything staged
        // for it, so upstream changes have reached this node's input (an
        // insert-time flush, which leaves updates waiting, needs event types).
        if (e.event_decls.empty()) env.set_keys_current();
        do_node(env, owner_pattern - 1, tn.node, std::move(delta), std::move(right), out);
    }
    delta.reset();
    right.reset();
    tn.blocker_pending = false;
    schedule_deferred(e, id);
    if (into_taken) {
        drop_append_extras(taken);
        return;
    }
    route_output(e, targets, taken, out.trg);
}

bool evaluate_engine_node(Engine& e, size_t id);

// Evaluates chain position k of rule r and routes the node's output. False
// when an engine-side node failed: its error is parked and every batch taken
// for it is back where it was.
bool evaluate_position(Engine& e, size_t r, size_t k) {
    const size_t id = e.nets[r].node_ids[k];
    TrieNode& tn = e.nodes[id];
    const bool subnet = is_subnet(tn.node.kind());
    if (k == 0) e.tms.first_changes_begin();
    // Nothing staged: no batch is taken out (most positions of a chain, at
    // most evaluations, have nothing to do).
    if (tn.first_input.empty() && !tn.node.holds_staged_input() && (!subnet || tn.subnet_input.empty()) &&
        !tn.node.holds_parked() && !e.query_refresh_due(id)) {
        drop_spent(tn.first_input);
        tn.node.drop_spent_input();
        if (subnet) drop_spent(tn.subnet_input);
        return true;
    }
    const Kind kind = tn.node.kind();
    if (kind == Kind::Join || kind == Kind::Not || kind == Kind::Exists) {
        evaluate_network_node(e, id);
        return true;
    }
    return evaluate_engine_node(e, id);
}

// An engine-side node (accumulate, group, subnetwork, query, ...) at its
// position, its input staged. Out of line: a chain of joins never comes here,
// and its evaluation stays short in the instruction cache.
[[gnu::noinline]] bool evaluate_engine_node(Engine& e, size_t id) {
    TrieNode& tn = e.nodes[id];
    const bool subnet = is_subnet(tn.node.kind());
    Staged<FactId> first = tn.first_input.take();
    Staged<TupleId> left = tn.node.take_staged_left();
    Staged<FactId> right = tn.node.take_staged_right();
    Staged<TupleId> inner = subnet ? tn.subnet_input.take() : Staged<TupleId>{};

    if (!first.empty() && !e.logical_types.empty()) e.tms.note_first_changes(first);
    // Copies to put back should the node fail; of the engine-side nodes the
    // group nodes, whose batches can be large, and an accumulate whose
    // function cannot fail keep none.
    const bool can_fail = !subnet && e.engine_node_can_fail(id);
    // (Held by pointer: an empty optional of four batches costs its size in
    // stores at every evaluation.)
    using Saved = std::tuple<Staged<FactId>, Staged<TupleId>, Staged<FactId>, Staged<TupleId>>;
    std::unique_ptr<Saved> saved;
    if (can_fail) saved = std::make_unique<Saved>(first, left, right, inner);
    Staged<TupleId>& delta = left;
    fold_first_changes(e, first, delta);

    if (delta.empty() && right.empty() && inner.empty() && !tn.node.holds_parked() && !e.query_refresh_due(id))
        return true;

    const std::vector<Target>& targets = tn.targets;
    // The first target's pending batch, which the node reaches only through
    // `out` while it runs.
    const bool routes_whole = !targets.empty() && targets[0].kind != Target::Kind::Subnet;
    std::unique_ptr<Staged<TupleId>> unrouted;
    if (!routes_whole) unrouted = std::make_unique<Staged<TupleId>>();
    Staged<TupleId>& taken = routes_whole ? target_input(e, targets[0]) : *unrouted;
    Out out(taken);
    std::unique_ptr<Staged<TupleId>> pending_before;
    if (can_fail) pending_before = std::make_unique<Staged<TupleId>>(taken);
    EngineStatus done = e.eval_engine_node(id, std::move(delta), std::move(right), std::move(inner), out);
    if (!done) {
        if (!saved) invariant_broken("a node kept no copy of its input and failed");
        auto& [first_was, left_was, right_was, inner_was] = *saved;
        tn.first_input = std::move(first_was);
        tn.node.put_back_staged_left(std::move(left_was));
        tn.node.put_back_staged_right(std::move(right_was));
        tn.subnet_input = std::move(inner_was);
        if (routes_whole) taken = std::move(*pending_before);
        e.pending_error = std::move(done).error().message;
        return false;
    }
    tn.blocker_pending = false;
    schedule_deferred(e, id);

    route_output(e, targets, taken, out.trg);
    return true;
}

// The linked ?queries rule r reads are drained before its chain runs.
[[gnu::noinline]] void drain_query_deps(Engine& e, size_t r) {
    for (uint32_t q : e.rules[r].query_deps) {
        if (q >= e.linked_queries.size() || !e.linked_queries[q]) continue;
        e.linked_queries[q] = 0;
        drain_query(e.store, e.queries, e.query_caches, q);
    }
}

}  // namespace

void Engine::evaluate_rule_inner(size_t r, bool force) {
    if (r >= rules.size()) invariant_broken("evaluation of an unknown rule");
    // A clean rule runs nothing: it is asked again at every firing, and only
    // while unlinked may it hold input to prune.
    // The link state is read at most once: nothing below changes it before
    // the prune, and a clean rule that gets past the first test is unlinked.
    const bool dirty = nets[r].dirty;
    if (!dirty && rule_linked(r)) return;
    if (!rule_holds_work(*this, r)) {
        nets[r].dirty = false;
        return;
    }
    if (!dirty || !rule_linked(r)) prune_unlinked(*this, r);
    if ((!force && !nets[r].on_agenda) || !nets[r].dirty) return;

    if (!rules[r].query_deps.empty()) drain_query_deps(*this, r);
    // The rule is clean once its chain has run: a change that the terminal
    // step itself causes (truth maintenance retracting a fact the rule reads)
    // leaves it dirty again.
    if (rules[r].patterns.size() == 1) {
        nets[r].dirty = false;
        one_pattern_terminal(*this, r);
    } else {
        for (size_t k = 0; k < nets[r].node_ids.size(); ++k)
            if (!evaluate_position(*this, r, k)) return;
        nets[r].dirty = false;
        if (logical_types.empty()) {
            // Without truth maintenance the terminal step stages nothing
            // anywhere (it only makes and drops activations), so the batch is
            // read where it is held.
            terminal_step(*this, r, nets[r].term);
            nets[r].term.reset();
        } else {
            terminal_step(*this, r, nets[r].term.take());
        }
    }
}

}  // namespace quarn
