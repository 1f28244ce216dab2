// Engine::verify: the engine's own invariants, recomputed from scratch and
// compared with what the incremental structures hold. The sanitizer build runs
// it after every evaluation of a dirty rule that the agenda makes and after
// every firing, so that a corruption is reported where it starts rather than
// as a wrong firing much later.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

uint32_t tuple_number(TupleId t) { return static_cast<uint32_t>(t); }

// The agenda takes a rule's activations through its ActivationList; the list
// answers from its stack and heap. The same answers, from a walk of the live
// activations in push order (slot order: compaction and trimming keep it).
void verify_activation_list(const Engine& e, size_t r) {
    const RuleNet& net = e.nets[r];
    const CompiledRule& rule = e.rules[r];
    const std::string& name = rule.def.name;
    const ActivationList& acts = net.acts;
    const bool constant = rule.salience.kind == CompiledSalience::Kind::Const;

    size_t live = 0;
    uint32_t first = ActivationList::npos, best = ActivationList::npos;
    Act best_act;
    // A tuple keeps one sequence number for all of its activations. Sorted by
    // tuple below, so that the check reads no hash-map order.
    std::vector<std::pair<uint32_t, uint64_t>> seqs;
    acts.for_each_slot([&](uint32_t slot, const Act& a) {
        ++live;
        if (first == ActivationList::npos) first = slot;
        // Highest salience, then the larger sequence number, then the later push.
        if (best == ActivationList::npos || a.salience > best_act.salience ||
            (a.salience == best_act.salience && a.seq >= best_act.seq)) {
            best = slot;
            best_act = a;
        }
        if (constant && a.salience != rule.salience.value)
            invariant_broken(fmt("rule {}: an activation of tuple {} has salience {} under the constant salience {}",
                                 name, tuple_number(a.tuple), a.salience, rule.salience.value));
        if (!acts.contains(a.tuple))
            invariant_broken(fmt("rule {}: the activation list does not find its activation of tuple {}", name,
                                 tuple_number(a.tuple)));
        seqs.emplace_back(tuple_number(a.tuple), a.seq);
    });
    if (live != acts.size())
        invariant_broken(fmt("rule {}: the activation list counts {} activations and holds {}", name, acts.size(), live));
    std::sort(seqs.begin(), seqs.end());
    for (size_t k = 1; k < seqs.size(); ++k)
        if (seqs[k].first == seqs[k - 1].first && seqs[k].second != seqs[k - 1].second)
            invariant_broken(fmt("rule {}: the activations of tuple {} carry sequence numbers {} and {}", name,
                                 seqs[k].first, seqs[k - 1].second, seqs[k].second));
    if (live == 0) {
        if (!constant && net.top_salience != 0)
            invariant_broken(fmt("rule {}: agenda key {} with no activation pending", name, net.top_salience));
        return;
    }
    if (acts.first_slot() != first)
        invariant_broken(fmt("rule {}: the earliest activation is in slot {}, the list names slot {}", name, first,
                             acts.first_slot()));
    if (acts.best_slot() != best)
        invariant_broken(fmt("rule {}: the activation to fire next is in slot {}, the list names slot {}", name, best,
                             acts.best_slot()));
    if (!constant && net.top_salience != best_act.salience)
        invariant_broken(fmt("rule {}: agenda key {} but the best pending salience is {}", name, net.top_salience,
                             best_act.salience));
    if (!net.on_agenda) invariant_broken(fmt("rule {}: activations pending but off the agenda", name));
}

// A first-pattern input's passing set holds exactly the live facts that pass
// the pattern's alpha tests, but for facts a setter changed behind the
// network's back (Engine::silent_writes), which keep their old standing.
// Before the first fire nothing has propagated.
// A Lia is listed as holding facts exactly while its passing set holds one.
void verify_lia_holding(const Engine& e, size_t li) {
    const Lia& lia = e.lias[li];
    if (!e.lias_holding_kept) {
        if (!e.lias_holding.empty()) invariant_broken("the Lias holding facts are listed in a session that keeps no list");
        return;
    }
    if (lia.passing.empty() != e.lias_holding.contains(static_cast<uint32_t>(li))) return;
    const char* no = lia.passing.empty() ? "" : "not ";
    invariant_broken(fmt("rule {} pattern {}: the passing set is {}empty but listed as {}holding facts",
                         e.rules[lia.rule].def.name, lia.pattern, no, no));
}

void verify_alpha_passes(const Engine& e, size_t li) {
    const Lia& lia = e.lias[li];
    const CompiledPattern& p = e.rules[lia.rule].patterns[lia.pattern];
    const std::string& name = e.rules[lia.rule].def.name;
    if (!e.immediate) return;
    size_t passing = 0;
    for (FactId f : e.store.facts_of_type(p.type_id)) {
        if (!e.store.is_alive(f)) continue;
        const bool held = lia.passing.contains(f);
        if (e.silent_writes.find(f)) {
            passing += held;
            continue;
        }
        const bool passes = e.alpha_passes_fields(lia.rule, lia.pattern, f);
        if (passes && !held)
            invariant_broken(fmt("rule {} pattern {}: fact {} passes its alpha tests but is missing from the passing set",
                                 name, lia.pattern, f));
        if (!passes && held)
            invariant_broken(
                fmt("rule {} pattern {}: fact {} is in the passing set but fails its alpha tests", name, lia.pattern, f));
        passing += passes;
    }
    if (passing != lia.passing.size()) {
        lia.passing.for_each([&](FactId f) {
            if (!e.store.is_alive(f) || e.store.fact_type(f) != p.type_id)
                invariant_broken(fmt("rule {} pattern {}: the passing set holds fact {}, which is dead or of another type",
                                     name, lia.pattern, f));
        });
        invariant_broken(fmt("rule {} pattern {}: the passing set holds {} facts, {} pass", name, lia.pattern,
                             lia.passing.size(), passing));
    }
}

// A node's window sets against its right memory and right input: an admitted
// fact (win_in) is in the memory or staged for insert or update; a fact in the
// memory is admitted or staged for delete; a fact held out (win_out) is not
// admitted, and only accumulates hold facts out (those the clock moved out
// of a time window, or expired events).
void verify_windows(const Engine& e, size_t ni) {
    const TrieNode& n = e.nodes[ni];
    const auto [r, pi] = n.owner;
    const CompiledPattern& p = e.rules[r].patterns[pi];
    const std::string& name = e.rules[r].def.name;
    const Memory<FactId>& memory = n.node.right_memory();
    const Staged<FactId>& input = n.node.staged_right();
    if (p.role.kind == SubRole::Kind::Group) {
        if (!n.win_in.empty() || !n.win_out.empty() || !memory.empty())
            invariant_broken(fmt("node {} (rule {} pattern {}): a group node holds right facts", ni, name, pi));
        return;
    }
    if (!n.win_out.empty() && !p.acc)
        invariant_broken(fmt("node {} (rule {} pattern {}): holds facts out but is no accumulate", ni, name, pi));
    n.win_out.for_each([&](FactId f) {
        if (n.win_in.contains(f))
            invariant_broken(fmt("node {} (rule {} pattern {}): fact {} is both admitted and held out", ni, name, pi, f));
    });
    n.win_in.for_each([&](FactId f) {
        if (!memory.contains(f) && !input.ins.contains(f) && !input.upd.contains(f))
            invariant_broken(fmt("node {} (rule {} pattern {}): admitted fact {} is neither in the right memory nor "
                                 "staged",
                                 ni, name, pi, f));
    });
    for (auto it = memory.begin(); it != memory.end(); ++it) {
        const FactId f = it->item;
        if (!n.win_in.contains(f) && !input.del.contains(f))
            invariant_broken(fmt("node {} (rule {} pattern {}): fact {} in the right memory is neither admitted nor "
                                 "staged for delete",
                                 ni, name, pi, f));
    }
}

// A rule's agenda marks against its input: marked dirty only while on the
// agenda; while linked by its facts (Engine::rule_linked_by_facts), dirty when
// it holds staged input (else the input would wait for a change that may
// never come), and marked linked.
void verify_marks(const Engine& e, size_t r) {
    const RuleNet& net = e.nets[r];
    const std::string& name = e.rules[r].def.name;
    if (net.dirty && !net.on_agenda) invariant_broken(fmt("rule {}: dirty but off the agenda", name));
    if (net.on_agenda && !e.agenda_queue.listed(r))
        invariant_broken(fmt("rule {}: on the agenda but missing from the agenda queue", name));
    if (!e.rule_linked_by_facts(r)) return;
    if (!net.linked_mark) invariant_broken(fmt("rule {}: linked but never marked linked", name));
    if (!net.dirty && e.has_pending_work(r))
        invariant_broken(fmt("rule {}: linked with staged input but not marked dirty", name));
}

}  // namespace

void Engine::verify_after_step() {
    if (verify_steps_to_skip > 0) {
        --verify_steps_to_skip;
        return;
    }
    verify();
    // A check reads every fact at least once, through every route of its
    // type: a session of many facts that fires once per fact would otherwise
    // spend its time checking. Sessions under 64 facts are checked at every
    // step.
    verify_steps_to_skip = store.fact_count() / 64;
}

void Engine::verify() const {
    for (size_t r = 0; r < nets.size(); ++r) {
        verify_activation_list(*this, r);
        verify_marks(*this, r);
    }
    for (size_t li = 0; li < lias.size(); ++li) {
        verify_alpha_passes(*this, li);
        verify_lia_holding(*this, li);
    }
    for (size_t ni = 0; ni < nodes.size(); ++ni) verify_windows(*this, ni);
}

}  // namespace quarn
