// The firing loop: the agenda with its focus stack, rule selection, firing, the halt check and the empty-agenda work.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <span>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kAllFields = ~uint64_t{0};
constexpr uint64_t kStepLimit = 50'000'000;
const std::string kMain = "MAIN";

// One fire_all call: the loop's own state beside the engine's.
class FireLoop {
public:
    FireLoop(Engine& e, uint64_t limit)
        : e_(e), queue_(e.agenda_queue), limit_(limit), eval_debug_(e.switches.eval_debug()),
          ag_debug_(e.switches.ag_debug()) {}

    EngineResult<Firings> run();

private:
    enum class Next { Choose, Done };

    const std::string& group(size_t r) const {
        const std::optional<std::string>& g = e_.rules[r].def.agenda_group;
        return g ? *g : kMain;
    }
    const std::string& focus_top() const { return e_.focus_stack.empty() ? kMain : e_.focus_stack.back(); }
    // The number of the group on top of the focus stack: kNoGroup when no
    // rule belongs to it.
    uint32_t top_group() const {
        return e_.focus_stack.empty() ? 0 : queue_.group_number(e_.focus_stack.back());
    }
    uint32_t group_of(size_t r) const { return queue_.group_of(r); }
    bool constant_salience(size_t r) const {
        return e_.rules[r].salience.kind == CompiledSalience::Kind::Const;
    }
    // A rule's key on the agenda: its constant salience, else its best pending one.
    int64_t key(size_t r) const { return constant_salience(r) ? e_.rules[r].salience.value : e_.nets[r].top_salience; }
    uint64_t agenda_order(size_t r) const { return e_.rules[r].def.decl_seq; }
    // Whether rule a comes before rule b in the choice: the higher key, then
    // the smaller agenda order, then the first in rule_order.
    bool chosen_before(size_t a, size_t b) const {
        if (key(a) != key(b)) return key(a) > key(b);
        if (agenda_order(a) != agenda_order(b)) return agenda_order(a) < agenda_order(b);
        return queue_.order_place(a) < queue_.order_place(b);
    }
    // A rule the choice looks at: on the agenda, or with terminal deletions
    // waiting. The queue unlists the listed rules that are neither.
    bool candidate(size_t r) const { return e_.nets[r].on_agenda || has_terminal_entries(r, false); }
    // Whether some rule of `group` other than `r` is on the agenda and
    // `beats` says it outranks r; `beats` is asked of the first
    // constant-salience rule and of every expression-salience rule, and of
    // every other listed rule only when `settled` cannot decide from the first.
    template <class Beats, class Settled>
    bool outranked(uint32_t group, size_t r, Beats beats, Settled settled);
    // The best candidate of the top group, none when it has none.
    std::optional<size_t> best_candidate(uint32_t top);

    // `label` names the evaluation in the trace; none for one the trace does not show.
    void evaluate(const char* label, size_t r, bool force, bool forced_eval) {
        if (label && eval_debug_) std::fprintf(stderr, "EVAL[%s] rule %zu\n", label, r);
        [[maybe_unused]] const bool ran = e_.nets[r].dirty;
        e_.tms.forced_eval = forced_eval;
        e_.evaluate_rule_inner(r, force);
        e_.tms.forced_eval = false;
        // Checked here rather than in evaluate_rule_inner: the evaluations a
        // fact operation runs (the stream flush of an insert, the forced ones
        // of a delete) see its work half done, with older input set aside.
        // Only an evaluation of a dirty rule runs its chain.
#ifdef QUARN_VERIFY_ENGINE
        if (ran) e_.verify_after_step();
#endif
    }

    // Asked at every firing, mostly of empty queues.
    bool has_terminal_entries(size_t r, bool late_only) const {
        return e_.tms.has_terminal() && e_.tms.has_terminal_of(r, late_only);
    }
    // Hands rule r's queued terminal deletions to truth maintenance, in
    // arrival order; how many there were.
    size_t hand_terminal(size_t r, bool late_only) {
        if (!e_.tms.has_terminal()) return 0;
        const std::vector<Tms::TerminalDel> mine = e_.tms.take_terminal_of(r, late_only);
        for (const Tms::TerminalDel& d : mine) e_.tms_on_terminal_del(d.rule, d.tuple);
        return mine.size();
    }

    // Truth maintenance's deferred and terminal retractions of rule l after
    // its firing, each a step, then the rule's evaluation; false when the
    // call must end. Out of line, as the trace below: neither runs at most
    // firings, and the firing path stays short in the instruction cache.
    [[gnu::noinline]] bool hand_retractions_of(size_t l);
    [[gnu::cold, gnu::noinline]] void trace_halt_check(size_t l, uint32_t top, const std::string& top_name, bool higher,
                                                       size_t pending_before) const;

    // One step; false when the call must end with the pending error.
    bool step() {
        // A parked error ends the call at the next step: every later exit
        // would return it anyway, and a rule that keeps failing would otherwise
        // be re-chosen until the guard trips.
        if (e_.pending_error) return false;
        if (++e_.step_count <= kStepLimit) return true;
        e_.pending_error = fmt(
            "agenda non-termination guard tripped at {} steps (E1-hardening backstop — a pre-existing temporal/TMS "
            "re-add cycle)",
            kStepLimit);
        return false;
    }
    EngineError take_error() {
        e_.firing = false;
        std::string m = std::move(*e_.pending_error);
        e_.pending_error.reset();
        return EngineError{std::move(m)};
    }

    void start();
    void apply_window_changes();
    void eager_pass();
    // The rule to fire, none when the loop is done; false when it must end with the pending error.
    bool choose(std::optional<size_t>& chosen);
    [[gnu::noinline]] bool empty_agenda_work(Next& next);
    // The rule to fire again at once, or none for a selection cycle.
    bool post_fire(size_t l, std::optional<size_t>& again);
    EngineStatus fire(size_t r);

    Engine& e_;
    // Agenda groups by number, MAIN being 0, so that the loop compares
    // numbers where it would compare names.
    AgendaQueue& queue_;
    const uint64_t limit_;
    const bool eval_debug_;
    const bool ag_debug_;
    Firings firings_;  // none while a sink takes them
    uint64_t fired_ = 0;
};

void FireLoop::start() {
    e_.firing = false;
    for (TrieNode& n : e_.nodes) n.first_input.placeholders.clear();
    if (!e_.immediate) {
        // The first fire brings every stored fact into the network; from now
        // on changes propagate as they happen.
        e_.immediate = true;
        std::vector<FactId> alive;
        for (FactId f = 0; f < e_.store.fact_count(); ++f)
            if (e_.store.is_alive(f)) alive.push_back(f);
        if (e_.event_decls.empty()) {
            // The flush has nothing to do in a session without event types.
            e_.on_insert_stored(alive);
        } else {
            for (FactId f : alive) {
                StageSnapshot snapshot = e_.stage_snapshot_for(e_.store.fact_type(f));
                e_.on_insert(f, std::nullopt);
                e_.flush_origin_type = e_.store.fact_type(f);
                e_.stream_flush_ex(snapshot, false);
                e_.flush_origin_type.reset();
            }
        }
    }
    apply_window_changes();
    e_.shadow_catch_up();
}

// Updates and deletes of accumulate sources queued since the last call reach
// the accumulate nodes before anything fires. A change reads the accumulate
// nodes of its fact's type and the rules listing them (Engine::note_acc_input),
// never every node or rule.
void FireLoop::apply_window_changes() {
    if (e_.window_changes.empty()) return;
    std::vector<WindowChange> batch = std::exchange(e_.window_changes, {});
    HashMap<FactId, size_t> first_delete;
    for (size_t i = 0; i < batch.size(); ++i)
        if (batch[i].kind == 1) first_delete.emplace(batch[i].fact, i);
    HashSet<FactId> deleted;

    for (size_t i = 0; i < batch.size(); ++i) {
        const FactId f = batch[i].fact;
        const std::span<const uint32_t> concerned = e_.change_scopes.acc_nodes_of(e_.store.fact_type(f));
        e_.acc_change_reads += concerned.size();
        if (batch[i].kind == 1) {
            deleted.insert(f);
            for (size_t n : concerned) {
                TrieNode& tn = e_.nodes[n];
                if (tn.win_in.erase(f)) {
                    const bool cancels_insert = tn.node.staged_right().ins.contains(f);
                    tn.node.stage_right_delete(f, std::nullopt);
                    if (cancels_insert) {
                        // The accumulate saw the insert's effect nowhere yet:
                        // every left tuple is evaluated again.
                        for (TupleId t : tn.node.left_memory().items())
                            tn.node.stage_left_update(t, std::nullopt, StagedFlag::Change);
                        for (size_t r : e_.rules_of_node[n]) {
                            if (!e_.rule_linked(r)) continue;
                            RuleNet& net = e_.nets[r];
                            e_.put_on_agenda(r);
                            net.dirty = true;
                            net.dirty_stamp = e_.input_seq;
                        }
                    }
                }
                e_.note_acc_input(n);
            }
            continue;
        }
        if (deleted.count(f)) continue;
        if (!e_.store.is_alive(f)) {
            auto later = first_delete.find(f);
            if (later == first_delete.end() || later->second < i) continue;
        }
        const uint64_t m = batch[i].mask;
        for (int pass = 1; pass <= 2; ++pass) {
            for (size_t n : concerned) {
                TrieNode& tn = e_.nodes[n];
                const auto [r, pi] = tn.owner;
                const CompiledPattern& p = e_.rules[r].patterns[pi];
                if (p.acc->window_ms) {
                    if (pass == 1) e_.winacc_step(n, f, m, std::nullopt);
                    continue;
                }
                Node& node = tn.node;
                const bool was = tn.win_in.count(f) != 0;
                const bool now = e_.alpha_passes_fields(r, pi, f);
                if (was && !now) {
                    if (pass == 2) {
                        tn.win_in.erase(f);
                        node.stage_right_delete(f, std::nullopt);
                        e_.note_acc_input(n);
                    }
                    continue;
                }
                if (pass == 2) continue;
                if (was) {
                    if (m == kAllFields || (m & p.field_mask) != 0) {
                        // Nothing when an insert, update or delete of f is staged already.
                        node.stage_right_update(f, std::nullopt, StagedFlag::Change);
                    } else {
                        JoinEnvImpl env(e_.input_seq, e_.store, e_.rules[r], 0, false, e_.tuples, e_.switches);
                        node.re_add_right_fact(f, right_key(env, pi - 1, f));
                    }
                } else if (now && !tn.win_out.count(f) && !e_.past_expiry(f)) {
                    tn.win_in.insert(f);
                    node.stage_right_insert(f, std::nullopt,
                                            node.staged_right().del.contains(f) ? StagedFlag::RightInsert
                                                                                : StagedFlag::Insert);
                }
                e_.note_acc_input(n);
            }
        }
    }
}

// Rules whose activations depend on more than their constant salience are
// brought up to date before every choice.
void FireLoop::eager_pass() {
    for (size_t r : queue_.eager_rules()) {
        const bool constant = constant_salience(r);
        hand_terminal(r, constant);
        evaluate("eager", r, false, constant);
        if (has_terminal_entries(r, constant)) {
            hand_terminal(r, constant);
            evaluate("eager", r, false, constant);
        }
        RuleNet& net = e_.nets[r];
        if (net.on_agenda && net.acts.empty() && !net.dirty) net.on_agenda = false;
    }
}

std::optional<size_t> FireLoop::best_candidate(uint32_t top) {
    auto keep = [&](size_t r) { return candidate(r); };
    std::optional<size_t> best;
    auto consider = [&](size_t r) {
        if (!best || chosen_before(r, *best)) best = r;
    };
    if (std::optional<size_t> first = queue_.first_constant(top, keep)) consider(*first);
    for (uint32_t r : queue_.expression_rules(top, keep)) consider(r);
    // A rule may wait with terminal deletions alone, off the agenda and unlisted.
    if (e_.tms.has_terminal())
        for (const Tms::TerminalDel& d : e_.tms.terminal_entries())
            if (group_of(d.rule) == top) consider(d.rule);
    return best;
}

template <class Beats, class Settled>
bool FireLoop::outranked(uint32_t group, size_t r, Beats beats, Settled settled) {
    auto keep = [&](size_t o) { return candidate(o); };
    auto on_agenda_beats = [&](size_t o) { return o != r && e_.nets[o].on_agenda && beats(o); };
    for (uint32_t o : queue_.expression_rules(group, keep))
        if (on_agenda_beats(o)) return true;
    const std::optional<size_t> first = queue_.first_constant(group, keep);
    if (!first) return false;
    // No constant-salience rule has a higher key than the first: past it,
    // only its ties can outrank r.
    if (e_.nets[*first].on_agenda && (*first == r || settled(*first))) return *first != r && beats(*first);
    bool found = false;
    queue_.for_each_listed(group, [&](size_t o) { found = found || on_agenda_beats(o); });
    return found;
}

bool FireLoop::choose(std::optional<size_t>& chosen) {
    for (;;) {
        const uint32_t top = top_group();
        const std::optional<size_t> best = best_candidate(top);
        // Query work competes on the default group as if at salience 0.
        std::optional<uint32_t> query;
        if (top == 0) {
            for (uint32_t q = 0; q < e_.linked_queries.size(); ++q) {
                if (!e_.linked_queries[q]) continue;
                const uint64_t order = e_.queries[q].decl_seq;
                const int64_t current_key = query ? 0 : best ? key(*best) : 0;
                const uint64_t current_order = query ? e_.queries[*query].decl_seq : best ? agenda_order(*best) : 0;
                if ((!query && !best) || current_key < 0 || (current_key == 0 && order < current_order)) query = q;
            }
        }
        if (query) {
            e_.linked_queries[*query] = 0;
            drain_query(e_.store, e_.queries, e_.query_caches, *query);
            if (!step()) return false;
            continue;
        }
        if (!best) {
            if (!e_.focus_stack.empty()) {
                e_.focus_stack.pop_back();
                if (!step()) return false;
                continue;
            }
            Next next;
            if (!empty_agenda_work(next)) return false;
            if (next == Next::Done) return true;
            continue;
        }
        const size_t r = *best;
        hand_terminal(r, false);
        evaluate("pop", r, false, false);
        RuleNet& net = e_.nets[r];
        if (net.acts.empty()) {
            if (!net.dirty) net.on_agenda = false;
            if (!step()) return false;
            continue;
        }
        if (!constant_salience(r)) {
            // The fresh key may have fallen behind another rule's; ties go to
            // the smaller rule index here.
            const bool beaten = outranked(
                top, r, [&](size_t o) { return key(o) > key(r) || (key(o) == key(r) && o < r); },
                [&](size_t first) { return key(first) != key(r); });
            if (beaten) {
                if (!step()) return false;
                continue;
            }
        }
        chosen = r;
        return true;
    }
}

bool FireLoop::empty_agenda_work(Next& next) {
    next = Next::Choose;
    // Temporal-not tuples whose fire time has come.
    auto due_end = e_.timers.upper_bound(e_.clock);
    if (due_end != e_.timers.begin()) {
        std::vector<std::pair<int64_t, TimerEntry>> records;
        for (auto it = e_.timers.begin(); it != due_end; ++it)
            for (TimerEntry& t : it->second) records.emplace_back(it->first, std::move(t));
        e_.timers.erase(e_.timers.begin(), due_end);
        // Taken from the end: earliest fire time first and, within one fire
        // time (or at clock 0 overall), the latest deferral first.
        const bool at_zero = e_.clock == 0;
        std::stable_sort(records.begin(), records.end(), [&](const auto& a, const auto& b) {
            if (!at_zero && a.first != b.first) return a.first > b.first;
            return a.second.seq < b.second.seq;
        });
        for (auto it = records.rbegin(); it != records.rend(); ++it) {
            TimerEntry& t = it->second;
            const TupleView facts = e_.tuples.view(t.tuple);
            if (!std::all_of(facts.begin(), facts.end(), [&](FactId f) { return e_.store.is_alive(f); })) continue;
            TrieNode& tn = e_.nodes[t.node];
            tn.node.park(t.tuple, t.stamp);
            e_.nets[tn.owner.first].dirty = true;
            e_.put_on_agenda(tn.owner.first);
        }
        return step();
    }
    auto drain_deferred = [&] {
        for (const auto& [r, t] : e_.tms.take_deferred()) e_.tms_on_terminal_del(r, t);
    };
    if (!e_.expired_queue.empty()) {
        std::vector<FactId> expired = std::exchange(e_.expired_queue, {});
        e_.expiring = true;
        for (FactId f : expired)
            if (e_.store.is_alive(f)) (void)e_.delete_fact(f);  // a refused expiry leaves the fact
        e_.expiring = false;
        e_.tms.expiring_ids.clear();
        drain_deferred();
        return step();
    }
    if (e_.tms.has_deferred()) {
        drain_deferred();
        return step();
    }
    // Quiescence re-arm: with events about, an exists over ordinary facts may
    // still hold input that no change will come to evaluate.
    if (e_.event_decls.empty() || e_.rules.empty()) {
        next = Next::Done;
        return true;
    }
    e_.shadow_quiescence();
    bool rearmed = false;
    for (const size_t r : e_.change_scopes.plain_exists_rules) {
        RuleNet& net = e_.nets[r];
        if (net.on_agenda && net.dirty) continue;
        const bool waiting = std::any_of(net.node_ids.begin(), net.node_ids.end(), [&](size_t n) {
            const TrieNode& tn = e_.nodes[n];
            const CompiledPattern& p = e_.rules[tn.owner.first].patterns[tn.owner.second];
            return tn.node.kind() == Kind::Exists && !tn.node.temporal() && !tn.node.staged_right().empty() &&
                   !e_.event_decls.count(p.type_id);
        });
        if (!waiting) continue;
        e_.put_on_agenda(r);
        net.dirty = true;
        net.dirty_stamp = e_.input_seq;
        rearmed = true;
    }
    if (!rearmed) {
        next = Next::Done;
        return true;
    }
    return step();
}

bool FireLoop::hand_retractions_of(size_t l) {
    const std::vector<std::pair<size_t, TupleId>> mine = e_.tms.take_deferred_of(l);
    for (const auto& [r, t] : mine) {
        e_.tms_on_terminal_del(r, t);
        if (!step()) return false;
    }
    const std::vector<Tms::TerminalDel> terminal = e_.tms.take_terminal_of(l, false);
    for (const Tms::TerminalDel& d : terminal) {
        e_.tms_on_terminal_del(d.rule, d.tuple);
        if (!step()) return false;
    }
    if (!mine.empty() || !terminal.empty()) evaluate("post-fire-deferred", l, false, false);
    return true;
}

void FireLoop::trace_halt_check(size_t l, uint32_t top, const std::string& top_name, bool higher,
                                size_t pending_before) const {
    std::vector<std::string> rows;
    for (size_t o = 0; o < e_.rules.size(); ++o)
        if (group_of(o) == top)
            rows.push_back(fmt("\"r{}(q={},len={},d={})\"", o, e_.nets[o].on_agenda ? "true" : "false",
                               e_.nets[o].acts.size(), e_.nets[o].dirty ? "true" : "false"));
    std::string list = "[";
    for (size_t k = 0; k < rows.size(); ++k) list += (k ? ", " : "") + rows[k];
    list += "]";
    std::fprintf(stderr, "%s\n",
                 fmt("halt-check: l=r{} grp={} top={} {} higher={} preq={}", l, group(l), top_name, list,
                     higher ? "true" : "false", pending_before)
                     .c_str());
}

bool FireLoop::post_fire(size_t l, std::optional<size_t>& again) {
    again.reset();
    const uint32_t top = top_group();
    // Only the trace prints the name.
    const std::string top_name = ag_debug_ ? focus_top() : std::string();
    bool higher = outranked(
        top, l, [&](size_t o) { return key(o) > key(l); }, [](size_t) { return true; });
    if (!higher && top == 0)
        higher = key(l) < 0 && std::any_of(e_.linked_queries.begin(), e_.linked_queries.end(),
                                           [](uint8_t q) { return q != 0; });
    const size_t pending_before = e_.nets[l].acts.size();

    if (!higher) {
        evaluate("post-fire-force", l, true, true);
        if ((has_terminal_entries(l, false) || e_.tms.has_deferred_of(l)) && !hand_retractions_of(l)) return false;
    }
    RuleNet& net = e_.nets[l];
    if (net.acts.empty() && !net.dirty && !has_terminal_entries(l, false)) net.on_agenda = false;
    e_.focus_changed = false;
    if (net.acts.empty()) return true;

    // Halt check: whether l may fire again without a selection cycle.
    if (ag_debug_) trace_halt_check(l, top, top_name, higher, pending_before);
    if (group_of(l) == top) {
        if (!higher && !e_.focus_stack.empty()) again = l;
        return true;
    }
    // The rules of the top group waiting for an evaluation get it, in rule
    // index order. Every rule on the agenda is listed; one that these
    // evaluations put on the agenda is taken in turn when its index is still
    // ahead.
    std::vector<size_t> ahead;
    queue_.for_each_listed(top, [&](size_t o) { ahead.push_back(o); });
    std::make_heap(ahead.begin(), ahead.end(), std::greater<size_t>());
    std::vector<size_t> entered;
    queue_.watch(top, &entered);
    struct Unwatch {
        AgendaQueue& queue;
        ~Unwatch() { queue.watch(AgendaQueue::kNoGroup, nullptr); }
    } unwatch{queue_};
    std::optional<size_t> last;
    while (!ahead.empty()) {
        std::pop_heap(ahead.begin(), ahead.end(), std::greater<size_t>());
        const size_t o = ahead.back();
        ahead.pop_back();
        if (last && o <= *last) continue;  // listed twice
        last = o;
        RuleNet& on = e_.nets[o];
        if (on.on_agenda && on.acts.empty() && on.dirty) {
            evaluate(nullptr, o, false, false);
            if (on.acts.empty() && !on.dirty) on.on_agenda = false;
        }
        for (size_t n : entered) {
            if (n <= o) continue;
            ahead.push_back(n);
            std::push_heap(ahead.begin(), ahead.end(), std::greater<size_t>());
        }
        entered.clear();
    }
    bool top_ready = false;
    queue_.for_each_listed(top, [&](size_t o) {
        top_ready = top_ready || (e_.nets[o].on_agenda && !e_.nets[o].acts.empty());
    });
    if (!top_ready && pending_before != 0) again = l;
    return true;
}

EngineStatus FireLoop::fire(size_t r) {
    if (e_.pending_error) return err(take_error());
    if (fired_ >= limit_) {
        e_.firing = false;
        return engine_err(fmt("fire limit {} reached (non-terminating?)", limit_));
    }
    Act act = e_.take_activation(r);
    // The rule's key follows its remaining activations: a stale key would let
    // them fire ahead of better ones of other rules.
    if (!constant_salience(r)) e_.nets[r].top_salience = e_.nets[r].acts.top_salience();
    ++e_.shadow_seq;
    e_.tms.firing_act = std::make_pair(r, act.tuple);
    const TupleView facts = e_.tuples.view(act.tuple);
    if (EngineStatus ok = e_.run_actions(r, facts); !ok) {
        e_.firing = false;
        return ok;
    }
    ++fired_;
    if (e_.firing_sink) {
        e_.firing_sink->fired(r, facts);
        return {};
    }
    if (firings_.empty()) firings_ = Firings(e_.names_for_firings());
    e_.keep_firing(firings_, r, facts);
    return {};
}

EngineResult<Firings> FireLoop::run() {
    start();
    e_.firing = true;
    std::optional<size_t> last;
    for (;;) {
        e_.step_count = 0;
        std::optional<size_t> next;
        if (last && !post_fire(*last, next)) return err(take_error());
        if (!next) {
            eager_pass();
            if (!step() || !choose(next)) return err(take_error());
            if (!next) break;
        }
        QUARN_CHECK(fire(*next));
#ifdef QUARN_VERIFY_ENGINE
        e_.verify_after_step();
#endif
        last = next;
    }
    e_.firing = false;
    if (e_.pending_error) return err(take_error());
    for (TrieNode& n : e_.nodes) n.first_input.placeholders.clear();
    e_.shadow_end_of_fire();
    ++e_.fire_calls;
    return std::move(firings_);
}

}  // namespace

EngineResult<Firings> Engine::fire_all(uint64_t fire_limit, FireReport* report) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    if (!report) return FireLoop(*this, fire_limit).run();
    // A fact dies once and never comes back, so the facts the fire deleted
    // are those the store removed below the starting count.
    const size_t start = store.fact_count();
    struct LogScope {
        FactStore& store;
        ~LogScope() { store.take_removal_log(); }
    } scope{store};
    store.start_removal_log();
    EngineResult<Firings> fired = FireLoop(*this, fire_limit).run();
    std::vector<FactId> removed = store.take_removal_log();
    std::erase_if(removed, [&](FactId f) { return f >= start; });
    std::sort(removed.begin(), removed.end());
    report->start_fact_count = start;
    report->deleted = listed_among(std::move(removed));
    return fired;
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

}  // namespace quarn
