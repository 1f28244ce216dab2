// Giving dead facts' rows back: when, and which dead facts work still to come
// reads, so that their rows stay.
#include <algorithm>
#include <span>

#include "engine/engine.h"

namespace quarn {

namespace {

// The dead facts named by pending work, directly or in its tuples.
class NamedDeadFacts {
public:
    explicit NamedDeadFacts(const Engine& e) : e_(e) {}

    void fact(FactId f) {
        if (e_.store.knows(f) && !e_.store.is_alive(f)) named_.insert(f);
    }
    void tuple(TupleId t) {
        for (FactId f : e_.tuples.view(t)) fact(f);
    }
    void item(FactId f) { fact(f); }
    void item(TupleId t) { tuple(t); }
    template <class T>
    void staged(const Staged<T>& s) {
        for (const EntryList<T>* list : {&s.ins, &s.upd, &s.del, &s.cancelled})
            for (const StagedEntry<T>& e : *list) item(e.item);
        for (const T& x : s.reinserted) item(x);
        for (const auto& [x, at] : s.placeholders) item(x);
    }
    std::vector<FactId> take() const {
        std::vector<FactId> out;
        out.reserve(named_.size());
        named_.for_each([&](uint32_t f) { out.push_back(f); });
        return out;
    }

private:
    const Engine& e_;
    DenseIdSet named_;
};

}  // namespace

std::vector<FactId> Engine::dead_facts_still_named() const {
    NamedDeadFacts named(*this);
    for (const TrieNode& n : nodes) {
        for (TupleId t : n.node.left_memory().items()) named.tuple(t);
        for (FactId f : n.node.right_memory().items()) named.fact(f);
        named.staged(n.node.staged_left());
        named.staged(n.node.staged_right());
        named.staged(n.first_input);
        named.staged(n.subnet_input);
        for (const DeferredEntry& d : n.node.deferred()) named.tuple(d.tuple);
        for (const ParkedEntry& p : n.node.parked()) named.tuple(p.tuple);
    }
    for (const RuleNet& net : nets) {
        for (const Act& act : net.acts.items()) named.tuple(act.tuple);
        for (const Staged<FactId>& window : net.s0_windows) named.staged(window);
        named.staged(net.term);
    }
    for (const auto& [at, due] : timers)
        for (const TimerEntry& t : due) named.tuple(t.tuple);
    for (const WindowChange& c : window_changes) named.fact(c.fact);
    for (FactId f : expired_queue) named.fact(f);
    for (const auto& [at, due] : expiry_deadlines)
        for (FactId f : due) named.fact(f);
    for (const auto& [at, due] : window_deadlines)
        for (const auto& [owner, f] : due) named.fact(f);
    tms.for_each_queued_tuple([&](TupleId t) { named.tuple(t); });
    for (uint64_t key : tms.parked) named.tuple(static_cast<TupleId>(static_cast<uint32_t>(key)));
    for (const auto& [result, members] : acc.collect_members)
        for (FactId f : members) named.fact(f);
    for (const auto& [owner, answers] : qce_answers)
        for (const auto& [tuple, rows] : answers) {
            named.tuple(tuple);
            for (FactId f : rows) named.fact(f);
        }
    return named.take();
}

void Engine::reclaim_dead_rows_if_due() {
    if (outside_calls != 1) return;
#ifdef QUARN_VERIFY_ENGINE
    // Dead rows go at nearly every chance, where a read of one past its call
    // fails (FactStore::check_not_reclaimed).
    const bool eager = true;
#else
    const bool eager = reclaim_eagerly;
#endif
    // The facts a reclaim kept were named by work that a fire may have done
    // since: they count again once one has run.
    const bool with_kept = fire_calls != fire_calls_at_reclaim;
    // Eagerly: as soon as a session's dead rows are a sixty-fourth of its
    // live ones, so that a large session does not walk its state per call.
    const size_t dead = with_kept ? store.dead_rows() : store.dead_rows_since_reclaim();
    if (eager ? dead == 0 || dead < store.live_rows() / 64 : !store.reclaim_due(with_kept)) return;
    fire_calls_at_reclaim = fire_calls;
    forget_members_of_dead_collections();
    std::vector<FactId> reclaimed;
    store.reclaim_dead_rows(dead_facts_still_named(), &reclaimed);
    release_tuples_of_reclaimed(std::move(reclaimed));
}

void Engine::forget_members_of_dead_collections() {
    // A collection's members are read only while a firing renders its result
    // fact; once that fact is dead and its call has ended, none will, and its
    // members (which keep their own dead rows named) go.
    auto forget = [&](auto& by_result) {
        std::vector<FactId> dead;
        for (const auto& [result, members] : by_result)
            if (!store.is_alive(result)) dead.push_back(result);
        for (FactId f : dead) by_result.erase(f);
    };
    forget(acc.collect_members);
    forget(acc.collect_values);
}

Engine::ReleaseWork Engine::release_tuples_of_reclaimed(std::vector<FactId> reclaimed) {
    // A reclaimed fact never comes back, and nothing pending holds a tuple
    // with it (such a tuple would have named it): its tuples are read no
    // more, and what nodes keep of them goes with them.
    ReleaseWork work;
    if (reclaimed.empty()) return work;
    std::sort(reclaimed.begin(), reclaimed.end());
    const uint64_t reads_before = tuples.release_reads();
    const std::vector<TupleId> released = tuples.release_tuples_holding(reclaimed);
    work.tuples = released.size();
    work.reads = tuples.release_reads() - reads_before;
    for (TrieNode& n : nodes) work.reads += n.node.forget_released(tuples, released, reclaimed);
    // A rule keeps the sequence number of a tuple it matched until a prune
    // finds the tuple gone; a released tuple is gone for good.
    if (!released.empty())
        for (RuleNet& net : nets) work.reads += net.acts.forget_released(released, [&](TupleId t) { return !tuples.holds(t); });
    return work;
}

}  // namespace quarn
