// The stream flush: right after one fact operation of a session with event
// types, the rules that operation touched and that wait on the agenda are
// evaluated at once, over the input that operation staged alone; the new input
// of temporal joins is pushed down the network; everything set aside is put
// back behind what came since.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

// Staged lists are newest first. Moves the `count` newest entries of `list`
// into a list of their own, in their order, and leaves the older ones; costs
// the entries moved, not the list.
template <class T>
EntryList<T> take_newest(EntryList<T>& list, size_t count) {
    EntryList<T> newest;
    for (size_t k = 0; k < count && !list.empty(); ++k) {
        StagedEntry<T> e = list.front();
        list.remove_first(e.item);  // the frontmost entry holding the item: the front one
        newest.push_back(std::move(e));
    }
    return newest;
}

// Splits a list at the length it had at snapshot time: the entries added since
// stay, the older part is returned. A list shorter than it was is older whole.
template <class T>
EntryList<T> take_older_than(EntryList<T>& list, uint64_t count_then) {
    const size_t n = list.size();
    if (count_then >= n) return list.take();
    EntryList<T> added = take_newest(list, n - static_cast<size_t>(count_then));
    return std::exchange(list, std::move(added));
}

// take_older_than on one list of a node's held left (or right) delta.
EntryList<TupleId> take_older_left(Node& nd, Node::StagedList which, uint64_t count_then) {
    EntryList<TupleId> list = nd.take_left_list(which);
    EntryList<TupleId> older = take_older_than(list, count_then);
    nd.put_behind_left_list(which, std::move(list));
    return older;
}
EntryList<FactId> take_older_right(Node& nd, Node::StagedList which, uint64_t count_then) {
    EntryList<FactId> list = nd.take_right_list(which);
    EntryList<FactId> older = take_older_than(list, count_then);
    nd.put_behind_right_list(which, std::move(list));
    return older;
}

template <class T>
bool any_flag(const EntryList<T>& list, StagedFlag flag) {
    for (const auto& e : list)
        if (e.flag == flag) return true;
    return false;
}

template <class T>
bool no_changes(const Staged<T>& s) {
    return s.upd.empty() && s.del.empty();
}

// Moves the entries of `list` whose item `deletes` holds in front of those of
// `held` (they are newer); both keep their order.
template <class T>
void move_reinserts(EntryList<T>& list, const EntryList<T>& deletes, EntryList<T>& held) {
    if (deletes.empty() || list.empty()) return;
    EntryList<T> kept, moved;
    for (const auto& e : list) (deletes.contains(e.item) ? moved : kept).push_back(e);
    if (moved.empty()) return;
    list = std::move(kept);
    moved.put_behind(std::move(held));
    held = std::move(moved);
}

// First-pattern inserts as inserts of one-fact tuples, in list order.
std::vector<StagedEntry<TupleId>> one_fact_entries(TupleTable& tuples, const EntryList<FactId>& ins) {
    std::vector<StagedEntry<TupleId>> out;
    out.reserve(ins.size());
    for (const auto& e : ins) out.push_back({tuples.extend(TupleTable::empty_tuple, e.item), e.stamp, e.flag});
    return out;
}

// What one node had set aside: the insert stash and the delete stash, each
// over the right input, the first-pattern input and the left input.
struct NodeStash {
    size_t node = 0;
    EntryList<FactId> ins_right, ins_first;
    EntryList<TupleId> ins_left;
    EntryList<FactId> del_right, del_first;
    EntryList<TupleId> del_left;

    // The arrival number of the left memory's last entry when the left
    // inserts were set aside (none: the memory was empty).
    std::optional<uint64_t> left_mark;

    bool stashed_deletes() const { return !del_right.empty() || !del_first.empty() || !del_left.empty(); }
    bool stashed_any() const {
        return !ins_right.empty() || !ins_first.empty() || !ins_left.empty() || stashed_deletes();
    }
};

// A window's updates and deletes, set aside while the flush evaluates.
struct WindowStash {
    size_t rule = 0, window = 0;
    EntryList<FactId> del, upd;
};

class StreamFlush {
public:
    StreamFlush(Engine& e, const StageSnapshot& snapshot) : e_(e), snap_(snapshot) {}

    void run(bool close_windows);

private:
    bool flush_debug() const { return e_.switches.flush_debug(); }
    bool eval_debug() const { return e_.switches.eval_debug(); }
    const CompiledPattern& pattern_of(size_t n) const {
        const auto [r, pi] = e_.nodes[n].owner;
        return e_.rules[r].patterns[pi];
    }
    // Where a covered node or rule stands in the snapshot's lists.
    static size_t place(const std::vector<uint32_t>& covered, size_t index) {
        auto it = std::lower_bound(covered.begin(), covered.end(), index);
        if (it == covered.end() || *it != index) invariant_broken("the stream flush left its snapshot");
        return static_cast<size_t>(it - covered.begin());
    }
    // A missing byte reads as 0: the engine's marks may be younger than the rules.
    uint8_t flush_linked_before(size_t r) const {
        return r < snap_.flush_linked_before.size() ? snap_.flush_linked_before[r] : 0;
    }
    // Some not or exists pattern of rule r reads the type of the fact whose
    // insert runs this flush.
    bool origin_type_test(size_t r) const {
        if (!e_.flush_origin_type) return false;
        for (const CompiledPattern& p : e_.rules[r].patterns)
            if (p.ce != CeKind::Positive && p.type_id == *e_.flush_origin_type) return true;
        return false;
    }
    NodeStash& stash_of(size_t n) {
        if (stashes_.empty() || stashes_.back().node != n) {
            stashes_.emplace_back();
            stashes_.back().node = n;
        }
        return stashes_.back();
    }
    bool touched(size_t k) const;

    void set_aside(size_t k);
    void hold_back_reinserts(size_t k);
    void set_aside_windows();
    void evaluate_touched();
    void restore_windows();
    void cascade(size_t n);
    void restore_nodes();
    void requeue();

    Engine& e_;
    const StageSnapshot& snap_;
    std::vector<uint8_t> linked_now_;  // by covered rule, after the operation
    std::vector<uint8_t> changed_;     // by covered node: an insert list grew since the snapshot
    std::vector<NodeStash> stashes_;   // node order, only nodes that set something aside
    std::vector<WindowStash> windows_;
    std::vector<size_t> noted_;        // nodes whose stashes held entries
    std::vector<size_t> noted_deletes_;  // nodes whose stashes held deletes
    std::vector<size_t> evaluated_;    // rules evaluated here, ascending
};

void StreamFlush::run(bool close_windows) {
    const size_t rule_count = e_.rules.size();
    if (snap_.node_counts.size() != snap_.nodes.size() || snap_.window_totals.size() != snap_.rules.size() ||
        snap_.linked_before.size() != snap_.rules.size() || (!snap_.nodes.empty() && snap_.nodes.back() >= e_.nodes.size()) ||
        (!snap_.rules.empty() && snap_.rules.back() >= rule_count))
        invariant_broken("a stage snapshot taken of another network");
    if (e_.flush_linked.size() != rule_count) e_.flush_linked.assign(rule_count, 0);
    if (close_windows)
        for (RuleNet& net : e_.nets) net.s0_close_window();

    linked_now_.resize(snap_.rules.size());
    for (size_t k = 0; k < snap_.rules.size(); ++k) linked_now_[k] = e_.rule_linked(snap_.rules[k]) ? 1 : 0;
    changed_.resize(snap_.nodes.size());
    for (size_t k = 0; k < snap_.nodes.size(); ++k) {
        TrieNode& tn = e_.nodes[snap_.nodes[k]];
        const std::array<uint64_t, 6>& c = snap_.node_counts[k];
        changed_[k] = tn.first_input.ins.size() > c[0] || tn.node.staged_left().ins.size() > c[1] ||
                      tn.node.staged_right().ins.size() > c[2];
        tn.node.set_shared(e_.rules_of_node[snap_.nodes[k]].size() > 1);
    }
    for (size_t k = 0; k < snap_.nodes.size(); ++k) {
        set_aside(k);
        hold_back_reinserts(k);
    }
    for (NodeStash& s : stashes_) {
        const Memory<TupleId>& lefts = e_.nodes[s.node].node.left_memory();
        if (!s.ins_left.empty() && !lefts.empty()) s.left_mark = lefts.order_of(lefts.last_pos());
    }
    set_aside_windows();
    evaluate_touched();
    restore_windows();
    for (uint32_t n : snap_.nodes)
        if (e_.nodes[n].node.temporal()) cascade(n);
    restore_nodes();
    requeue();
    // Marks only ever go up, so only the rules without one are asked.
    for (size_t r = 0; r < rule_count; ++r)
        if (!e_.flush_linked[r] && e_.rule_linked(r)) e_.flush_linked[r] = 1;
}

// Sets aside what the evaluations of this flush must not see at covered node
// k: deletes staged before the operation always; inserts by the node's kind.
void StreamFlush::set_aside(size_t k) {
    const size_t n = snap_.nodes[k];
    TrieNode& tn = e_.nodes[n];
    Node& nd = tn.node;
    const std::array<uint64_t, 6>& c = snap_.node_counts[k];
    const size_t rule = tn.owner.first;

    NodeStash* deletes = nullptr;
    if (!tn.first_input.del.empty() || !nd.staged_left().del.empty() || !nd.staged_right().del.empty()) {
        NodeStash& s = stash_of(n);
        s.del_first = take_older_than(tn.first_input.del, c[3]);
        s.del_left = take_older_left(nd, Node::StagedList::Deletes, c[4]);
        s.del_right = take_older_right(nd, Node::StagedList::Deletes, c[5]);
        deletes = &s;
    }

    switch (nd.kind()) {
        case Kind::Not:
        case Kind::Exists:
            // Facts of an event type block or admit at once; others wait for the fire.
            if (!nd.staged_right().ins.empty() && !e_.event_decls.count(pattern_of(n).type_id))
                stash_of(n).ins_right = nd.take_right_list(Node::StagedList::Inserts);
            return;
        case Kind::Acc:
            // The older inserts of an input whose older deletes were set aside
            // go with them: left in place, an insert staged after a delete of
            // the same fact (it left its window or a test and came back) would
            // be counted before that delete, which would then take it out.
            if (!deletes) return;
            if (!deletes->del_right.empty())
                deletes->ins_right = take_older_right(nd, Node::StagedList::Inserts, c[2]);
            if (!deletes->del_first.empty()) deletes->ins_first = take_older_than(tn.first_input.ins, c[0]);
            if (!deletes->del_left.empty())
                deletes->ins_left = take_older_left(nd, Node::StagedList::Inserts, c[1]);
            return;
        case Kind::Query:
        case Kind::SubnetNot:
        case Kind::SubnetExists: return;
        case Kind::Join: break;
    }
    // Sets aside the given right inserts with the first-pattern and left
    // inserts older than this operation.
    auto stash_inserts = [&](EntryList<FactId> right) {
        EntryList<FactId> first = take_older_than(tn.first_input.ins, c[0]);
        EntryList<TupleId> left = take_older_left(nd, Node::StagedList::Inserts, c[1]);
        if (right.empty() && first.empty() && left.empty()) return;
        NodeStash& s = stash_of(n);
        s.ins_right = std::move(right);
        s.ins_first = std::move(first);
        s.ins_left = std::move(left);
    };
    if (nd.temporal()) {
        // A temporal join pushes down the input of this operation alone:
        // what earlier operations staged (an update's arrival among it) waits
        // for an evaluation, which joins it. Whether other rules share the
        // node changes nothing here.
        stash_inserts(take_older_right(nd, Node::StagedList::Inserts, c[2]));
        return;
    }
    const bool holds_inserts =
        !nd.staged_right().ins.empty() || !tn.first_input.ins.empty() || !nd.staged_left().ins.empty();
    const bool rule_linked_now = linked_now_[place(snap_.rules, rule)] != 0;
    if (!holds_inserts) return;
    // A fact that links its rule through a not or exists pattern lets the
    // facts that arrived while the rule was unlinked be joined at once, when
    // the rule had been linked at the end of an earlier flush.
    const bool joined_now = !snap_.linked_before[place(snap_.rules, rule)] && rule_linked_now &&
                            flush_linked_before(rule) == 1 && origin_type_test(rule) &&
                            any_flag(nd.staged_right().ins, StagedFlag::UnlinkedArrival);
    if (joined_now) return;
    stash_inserts(nd.take_right_list(Node::StagedList::Inserts));
}

// An item deleted and inserted again before node k took either change (a fact
// that left a pattern and came back, or a tuple the table gives its old id) is
// taken in one batch: the insert stores the new copy and the delete drops the
// old one, while what the item blocks, extends or joins stays. Taken apart,
// the insert would store a second copy now and the delete would later drop
// what the item still holds. So an insert this flush would evaluate waits
// with its item's delete, set aside, in front of the older inserts there.
void StreamFlush::hold_back_reinserts(size_t k) {
    const size_t n = snap_.nodes[k];
    if (stashes_.empty() || stashes_.back().node != n) return;
    NodeStash& s = stashes_.back();
    TrieNode& tn = e_.nodes[n];
    Node& nd = tn.node;
    move_reinserts(tn.first_input.ins, s.del_first, s.ins_first);
    if (!s.del_left.empty()) {
        EntryList<TupleId> left = nd.take_left_list(Node::StagedList::Inserts);
        move_reinserts(left, s.del_left, s.ins_left);
        nd.put_behind_left_list(Node::StagedList::Inserts, std::move(left));
    }
    if (!s.del_right.empty()) {
        EntryList<FactId> right = nd.take_right_list(Node::StagedList::Inserts);
        move_reinserts(right, s.del_right, s.ins_right);
        nd.put_behind_right_list(Node::StagedList::Inserts, std::move(right));
    }
}

void StreamFlush::set_aside_windows() {
    for (uint32_t r : snap_.rules) {
        std::vector<Staged<FactId>>& windows = e_.nets[r].s0_windows;
        for (size_t k = 0; k < windows.size(); ++k) {
            if (windows[k].upd.empty() && windows[k].del.empty()) continue;
            windows_.push_back(WindowStash{r, k, windows[k].del.take(), windows[k].upd.take()});
        }
    }
}

// Whether the operation touched covered rule k: its windows hold more inserts
// now than they held entries then, or one of its nodes took new inserts.
bool StreamFlush::touched(size_t k) const {
    const RuleNet& net = e_.nets[snap_.rules[k]];
    // The updates and deletes are set aside, so the windows hold inserts only.
    uint64_t total = 0;
    for (const Staged<FactId>& w : net.s0_windows) total += w.ins.size();
    if (total > snap_.window_totals[k]) return true;
    for (size_t n : net.node_ids) {
        auto it = std::lower_bound(snap_.nodes.begin(), snap_.nodes.end(), n);
        if (it != snap_.nodes.end() && *it == n && changed_[static_cast<size_t>(it - snap_.nodes.begin())]) return true;
    }
    return false;
}

// Each rule on the agenda that the operation touched is evaluated once, in
// rule order. A rule the snapshot does not cover is never touched; with the
// trace on, those on the agenda still say so.
void StreamFlush::evaluate_touched() {
    const bool all = flush_debug();
    const size_t count = all ? e_.rules.size() : snap_.rules.size();
    size_t k = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t r = all ? i : snap_.rules[i];
        while (k < snap_.rules.size() && snap_.rules[k] < r) ++k;
        const bool covered = k < snap_.rules.size() && snap_.rules[k] == r;
        RuleNet& net = e_.nets[r];
        const bool is_touched = covered && touched(k);
        if (!net.on_agenda && !is_touched) continue;
        if (all)
            std::fprintf(stderr, "flush: r%zu queued=%s touched=%s\n", r, net.on_agenda ? "true" : "false",
                         is_touched ? "true" : "false");
        if (!net.on_agenda || !is_touched) continue;
        if (eval_debug()) std::fprintf(stderr, "EVAL[flush] rule %zu\n", r);
        const bool was_eager = e_.eager_eval;
        e_.eager_eval = true;
        e_.tms.forced_eval = false;
        e_.evaluate_rule_inner(r, false);
        evaluated_.push_back(r);
        e_.tms.forced_eval = false;
        e_.eager_eval = was_eager;
    }
}

void StreamFlush::restore_windows() {
    for (WindowStash& w : windows_) {
        RuleNet& net = e_.nets[w.rule];
        if (net.s0_windows.empty()) continue;  // cannot happen: a net always has its open window
        size_t k = w.window;
        if (k >= net.s0_windows.size()) {
            k = net.s0_windows.size() - 1;
            // Entries moved to another window than the one the index names.
            if (net.s0_indexed) {
                net.s0_held.clear();
                net.s0_indexed = false;
            }
        }
        net.s0_windows[k].del.put_behind(std::move(w.del));
        net.s0_windows[k].upd.put_behind(std::move(w.upd));
    }
}

// Pushes the new input of temporal node n down the network, when it is all
// inserts of one side and no target can miss a join (a node's left input
// takes every one, a rule's terminal only while the memory on the other side
// is empty). A node other rules share routes as an evaluation would, the
// first target taking the joins whole, the others by peer merge.
void StreamFlush::cascade(size_t n) {
    TrieNode& tn = e_.nodes[n];
    Node& nd = tn.node;
    const bool rights = !nd.staged_right().ins.empty();
    const bool lefts = !nd.staged_left().ins.empty() || !tn.first_input.ins.empty();
    if (rights == lefts || nd.kind() != Kind::Join) return;
    const bool other_side_empty = rights ? nd.left_memory().empty() : nd.right_memory().empty();
    const bool every_target_joins =
        !tn.targets.empty() && std::all_of(tn.targets.begin(), tn.targets.end(), [&](const Target& t) {
            return t.kind != Target::Kind::Rule || other_side_empty;
        });
    // Otherwise the inserts wait where they are for the rule's evaluation:
    // stored without their joins they would never be joined.
    if (!no_changes(tn.first_input) || !no_changes(nd.staged_left()) || !no_changes(nd.staged_right()) ||
        any_flag(nd.staged_right().ins, StagedFlag::RightInsert) || !every_target_joins)
        return;

    // An expired event joins until the fire deletes it, here as in an
    // evaluation: which of the two makes a match must not decide it.
    const auto [rule, pi] = tn.owner;
    JoinEnvImpl env(e_.input_seq, e_.store, e_.rules[rule], e_.eager_eval ? 1 : 0, true, e_.tuples, e_.switches);
    Staged<TupleId> out;
    nd.flush_ins_delta(env, pi - 1, one_fact_entries(e_.tuples, tn.first_input.ins.take()), out);
    if (out.empty()) return;
    for (size_t k = 0; k < tn.targets.size(); ++k) {
        const Target target = tn.targets[k];
        const bool last = k + 1 == tn.targets.size();
        switch (target.kind) {
            case Target::Kind::Node: {
                Node& next = e_.nodes[target.index].node;
                if (k == 0) next.append_left_batch(last ? std::move(out) : Staged<TupleId>(out));
                else next.peer_merge_left(out);
                break;
            }
            case Target::Kind::Rule: {
                RuleNet& net = e_.nets[target.index];
                if (k == 0)
                    net.term = Staged<TupleId>::append_into_pending(std::move(net.term),
                                                                    last ? std::move(out) : Staged<TupleId>(out));
                else net.peer_merge_term(out);
                break;
            }
            case Target::Kind::Subnet: {
                // The last member of a not/exists group: its joins reach the
                // group's inner input as an evaluation routes them.
                Staged<TupleId>& inner = e_.nodes[target.index].subnet_input;
                for (const auto& x : out.ins) inner.add_ins_ph(x.item, x.stamp, StagedFlag::Insert);
                break;
            }
        }
    }
}

// Items both lists hold, found by walking the shorter one.
template <class T>
std::vector<T> common_items(const EntryList<T>& a, const EntryList<T>& b) {
    std::vector<T> out;
    const bool a_shorter = a.size() <= b.size();
    const EntryList<T>& walk = a_shorter ? a : b;
    const EntryList<T>& probe = a_shorter ? b : a;
    for (const auto e : walk)
        if (probe.contains(e.item)) out.push_back(e.item);
    return out;
}

// Puts the set-aside part of one input back behind what was staged since, as
// staging every entry in its turn would have left the input: the entries
// staged since could not meet the older ones they follow. A newer delete
// withdraws an older insert of its item, and a newer update of an item with
// an older insert or delete is none (add_del, add_upd_ph). An older insert of
// an item stored meanwhile (an update for it, evaluated here, found it
// missing and stored it) is spent, unless a delete of the item waits. Costs
// the shorter lists and the items stored, not what was set aside.
template <class T>
void put_back_behind(Staged<T>& input, EntryList<T> older_ins, EntryList<T> older_del,
                     const std::vector<T>& stored_meanwhile) {
    for (const T& x : common_items(older_ins, input.del)) {
        older_ins.remove_first(x);
        input.del.remove_first(x);
    }
    for (const T& x : common_items(older_ins, input.upd)) input.upd.remove_first(x);
    for (const T& x : common_items(older_del, input.upd)) input.upd.remove_first(x);
    for (const T& x : stored_meanwhile)
        if (older_ins.contains(x) && !older_del.contains(x) && !input.del.contains(x)) older_ins.remove_first(x);
    input.ins.put_behind(std::move(older_ins));
    input.del.put_behind(std::move(older_del));
}

// The tuples node n's left memory took since it last held `mark` (the arrival
// number of its last entry then; none when it was empty), newest first.
std::vector<TupleId> stored_since(const Node& nd, std::optional<uint64_t> mark) {
    std::vector<TupleId> out;
    const Memory<TupleId>& m = nd.left_memory();
    if (m.empty()) return out;
    // A renumbering of the arrival numbers (once in four billion stores)
    // leaves the last one below the mark: then any entry may be new.
    const bool renumbered = mark && m.order_of(m.last_pos()) < *mark;
    for (auto p = m.last_pos(); p != Memory<TupleId>::npos; p = m.prev_pos(p)) {
        if (mark && !renumbered && m.order_of(p) <= *mark) break;
        out.push_back(m.at(p).item);
    }
    return out;
}

// Everything set aside goes back behind what came since.
void StreamFlush::restore_nodes() {
    const std::vector<FactId> no_facts;
    for (NodeStash& s : stashes_) {
        TrieNode& tn = e_.nodes[s.node];
        if (s.stashed_any()) noted_.push_back(s.node);
        if (s.stashed_deletes()) noted_deletes_.push_back(s.node);
        // Only an evaluation's update of a tuple finds its insert set aside:
        // right and first-pattern inputs take no update during a flush.
        const std::vector<TupleId> stored =
            s.ins_left.empty() ? std::vector<TupleId>() : stored_since(tn.node, s.left_mark);
        put_back_behind(tn.node.held_right(), std::move(s.ins_right), std::move(s.del_right), no_facts);
        put_back_behind(tn.first_input, std::move(s.ins_first), std::move(s.del_first), no_facts);
        put_back_behind(tn.node.held_left(), std::move(s.ins_left), std::move(s.del_left), stored);
    }
}

// A linked rule whose set-aside input waits again is marked for the agenda;
// so is an unlinked one that the flush evaluated while deletes were set
// aside: the evaluation took the mark that would have them drop what they
// take away.
void StreamFlush::requeue() {
    if (noted_.empty()) return;
    auto rules_of = [&](const std::vector<size_t>& nodes) {
        std::vector<size_t> rules;
        for (size_t n : nodes) rules.insert(rules.end(), e_.rules_of_node[n].begin(), e_.rules_of_node[n].end());
        std::sort(rules.begin(), rules.end());
        rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
        return rules;
    };
    const std::vector<size_t> losing = rules_of(noted_deletes_);
    for (size_t r : rules_of(noted_)) {
        if (!e_.rule_linked(r) && !(std::binary_search(evaluated_.begin(), evaluated_.end(), r) &&
                                    std::binary_search(losing.begin(), losing.end(), r)))
            continue;
        if (flush_debug()) std::fprintf(stderr, "flush: REQUEUE r%zu\n", r);
        RuleNet& net = e_.nets[r];
        e_.put_on_agenda(r);
        net.dirty = true;
        net.dirty_stamp = e_.input_seq;
    }
}

}  // namespace

void Engine::build_flush_scopes() {
    const size_t type_count = std::max(lias_by_type.size(), nodes_by_type.size());
    flush_scopes.nodes_by_type.assign(type_count, {});
    flush_scopes.rules_by_type.assign(type_count, {});
    std::vector<uint32_t> temporal;
    for (size_t n = 0; n < nodes.size(); ++n)
        if (nodes[n].node.temporal()) temporal.push_back(static_cast<uint32_t>(n));
    auto sort_unique = [](std::vector<uint32_t>& v) {
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
    };
    for (size_t t = 0; t < type_count; ++t) {
        // The rules an insert of type t can touch: those fed by its Lias and
        // those listing a node it can be staged into.
        std::vector<uint32_t> touched;
        if (t < lias_by_type.size()) {
            for (size_t li : lias_by_type[t]) {
                for (size_t r : rules_of_lia[li]) touched.push_back(static_cast<uint32_t>(r));
                for (size_t n : lias[li].nodes)
                    for (size_t r : rules_of_node[n]) touched.push_back(static_cast<uint32_t>(r));
            }
        }
        if (t < nodes_by_type.size())
            for (size_t n : nodes_by_type[t])
                for (size_t r : rules_of_node[n]) touched.push_back(static_cast<uint32_t>(r));
        sort_unique(touched);
        // Their nodes, the nodes those deliver to, and every temporal node:
        // input an update left there cascades at the next insert of any type.
        std::vector<uint32_t> reached = temporal;
        for (uint32_t r : touched)
            for (size_t n : nets[r].node_ids) reached.push_back(static_cast<uint32_t>(n));
        const size_t own = reached.size();
        for (size_t k = 0; k < own; ++k)
            for (const Target& target : nodes[reached[k]].targets)
                if (target.kind == Target::Kind::Node) reached.push_back(static_cast<uint32_t>(target.index));
        sort_unique(reached);
        std::vector<uint32_t> rules = touched;
        for (uint32_t n : reached) rules.push_back(static_cast<uint32_t>(nodes[n].owner.first));
        sort_unique(rules);
        flush_scopes.nodes_by_type[t] = std::move(reached);
        flush_scopes.rules_by_type[t] = std::move(rules);
    }
}

void Engine::stream_flush_ex(const StageSnapshot& snapshot, bool close_windows) {
    if (event_decls.empty() || !immediate) return;
    if ((snapshot.nodes.size() < nodes.size() || snapshot.rules.size() < rules.size()) && switches.flush_debug()) {
        // The trace names every rule the flush queues again, also those out of
        // the insert's reach, so the flush looks at the whole network. What
        // the snapshot left out the insert did not change: it is read now.
        StageSnapshot whole = stage_snapshot();
        for (size_t k = 0; k < snapshot.nodes.size(); ++k) whole.node_counts[snapshot.nodes[k]] = snapshot.node_counts[k];
        for (size_t k = 0; k < snapshot.rules.size(); ++k) {
            whole.window_totals[snapshot.rules[k]] = snapshot.window_totals[k];
            whole.linked_before[snapshot.rules[k]] = snapshot.linked_before[k];
        }
        whole.flush_linked_before = snapshot.flush_linked_before;
        StreamFlush(*this, whole).run(close_windows);
        return;
    }
    StreamFlush(*this, snapshot).run(close_windows);
#ifdef QUARN_VERIFY_NODES
    // Out of the insert's reach the whole-network flush would only queue again
    // the linked rules whose nodes hold input; those linked by their facts are
    // queued already, the others cannot match before a change marks them.
    for (size_t r = 0; r < rules.size(); ++r) {
        if (std::binary_search(snapshot.rules.begin(), snapshot.rules.end(), r)) continue;
        if (!rule_linked_by_facts(r)) continue;
        if (nets[r].on_agenda && nets[r].dirty) continue;
        for (size_t n : nets[r].node_ids) {
            const TrieNode& tn = nodes[n];
            if (!tn.first_input.ins.empty() || !tn.first_input.del.empty() || !tn.node.staged_left().ins.empty() ||
                !tn.node.staged_left().del.empty() || !tn.node.staged_right().ins.empty() ||
                !tn.node.staged_right().del.empty())
                invariant_broken(fmt("rule {} waits with input out of the flush's reach", r));
        }
    }
#endif
}

}  // namespace quarn
