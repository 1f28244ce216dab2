// Not and exists node evaluation.
//
// A not/exists node joins no fact: its child is the left tuple itself. A right
// fact that passes the pattern's tests against a tuple blocks it; a Not node
// has a child for every unblocked tuple, an Exists node for every blocked one.
// Each blocked tuple hangs on exactly one blocker, the first qualifying fact of
// the right memory in scan order, so a later change of a fact touches only the
// tuples that fact blocks.
//
// Invariants between evaluations (Node::verify checks them):
// - `lefts` holds exactly the unblocked tuples; a blocked tuple is not in it.
// - `blocker_of(t) == f` exactly when `t` is in `blocked_by(f)`; blocked lists
//   are newest first and never empty.
//
// Passes, in order: left deletes, left-update preparation, right updates (a
// first pass that unhooks the tuples of updated blockers and moves the updated
// facts to the end of the right memory), right inserts, right updates (second
// pass: re-blocking and the search for new blockers), right deletes, left
// updates, left inserts, parked tuples.
#include <algorithm>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "network/network.h"
#include "network/trace_form.h"
#include "network/node_eval.h"
#include "network/walk_ahead.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

void emit(Node& n, TupleId t, const Stamp& s, StagedFlag flag, Staged<TupleId>& trg) {
    trg.add_ins_ph(n.create_ce_child(t), s, flag);
}

void retract_child(Node& n, TupleId t, const Stamp& s, Out& out) {
    auto p = n.ce_child_of(t);
    if (!p) return;
    TupleId c = n.child(*p).tuple;
    n.kill_child(*p);
    out.child_del(c, s);
}

// The first fact a probe reaches that passes the not/exists test against `t`.
// Where equal keys decide the test (`key_decides`, JoinEnv::key_decides), a
// fact stored under a key equal to the probe, value for value, qualifies
// without the test.
std::optional<FactId> first_qualifying(const JoinEnv& env, size_t i, const Node& n, TupleId t, const Key& key,
                                       bool key_decides) {
    TupleView v = env.tuples().view(t);
    if (key_decides && key && key_equality_is_exact(key)) {
        // The equality index's walk, as first_candidate takes it, told which keys are equal.
        return NodeInternals::rights(n).first_matching(
            key, std::nullopt, [&](FactId g, bool equal) { return equal || env.allowed_ce(i, v, g); });
    }
    return n.first_candidate(key, std::nullopt, [&](FactId g) { return env.allowed_ce(i, v, g); });
}

std::string blocked_text(const TupleTable& tt, const Node& n) {
    // Sorted by blocker so that trace lines are reproducible; the map itself
    // has no order.
    std::string out = "{";
    bool first = true;
    for (FactId f : n.blockers()) {
        if (!first) out += ", ";
        first = false;
        out += fmt("{}: {}", debug_fact_id(f), debug(tt, n.blocked_by(f)));
    }
    return out + "}";
}

class ExistentialEval {
public:
    ExistentialEval(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>& sl, Staged<FactId>& sr, Out& out)
        : env_(env), tt_(env.tuples()), i_(i), n_(node), sl_(sl), sr_(sr), out_(out), is_not_(node.kind() == Kind::Not),
          tuples_(std::exchange(NodeInternals::scratch_tuples(node), {})), facts_(std::exchange(NodeInternals::scratch_facts(node), {})) {}
    ~ExistentialEval() {
        tuples_.clear();
        facts_.clear();
        NodeInternals::scratch_tuples(n_) = std::move(tuples_);
        NodeInternals::scratch_facts(n_) = std::move(facts_);
    }
    ExistentialEval(const ExistentialEval&) = delete;

    void run() {
        if (!sl_.del.empty()) left_deletes();
        if (!sr_.del.empty() && n_.probe_op().kind() != IndexKind::None) take_out_deleted_rights();
        if (!sl_.upd.empty()) prepare_left_updates();
        if (!sr_.upd.empty()) unhook_updated_blockers();
        if (!sr_.ins.empty()) right_inserts();
        if (!sr_.upd.empty()) settle_updated_rights();
        if (!sr_.del.empty()) right_deletes();
        if (!sl_.upd.empty()) left_updates();
        if (!sl_.ins.empty()) left_inserts();
        if (!NodeInternals::parked(n_).empty()) parked();
    }

private:
    bool left_update(TupleId t) const { return sl_.upd.contains(t); }
    // Whether a fact stored under a key equal to a tuple's qualifies without the test.
    bool keys_decide() const { return n_.keyed() && env_.key_decides(i_); }
    // Starts loading both memories' buckets for a key (long keyed batches).
    void warm(const Key& k) const {
        NodeInternals::lefts(n_).prefetch_bucket(k);
        NodeInternals::rights(n_).prefetch_bucket(k);
    }
    const Key& key_of_left(TupleId t) {
        key_.reset();
        env_.key_of_left(i_, tt_.view(t), key_);
        return key_;
    }
    const Key& key_of_right(FactId f) {
        key_.reset();
        env_.key_of_right(i_, f, key_);
        return key_;
    }

    // A tuple that lost its last blocker returns to `lefts`: an Exists node
    // retracts its child, a Not node emits one. A temporal not stages nothing
    // here; it defers the tuple to its fire time, as it would have on insert
    // had the blocker not been there yet. (Without that, whether the rule ever
    // fires would depend on whether the blocker arrived before or after the
    // tuple was first evaluated.)
    void release_to_lefts(TupleId t, const Stamp& s) {
        NodeInternals::lefts(n_).push_back(t, key_of_left(t));
        if (!is_not_) {
            retract_child(n_, t, s, out_);
        } else if (!n_.temporal()) {
            emit(n_, t, s, StagedFlag::Change, out_.trg);
        } else if (auto at = env_.not_fire_time(i_, tt_.view(t))) {
            NodeInternals::deferred(n_).push_back(DeferredEntry{t, s, *at});
        }
    }

    // `t` (in `lefts`) is now blocked by `f`.
    void newly_blocked(TupleId t, FactId f, const Stamp& s, StagedFlag flag) {
        n_.block(t, f);
        NodeInternals::lefts(n_).remove_first(t);
        if (is_not_) {
            retract_child(n_, t, s, out_);
        } else {
            emit(n_, t, s, flag, out_.trg);
        }
    }

    // Blocks the unblocked tuples that `f` (keyed by `key`) qualifies for.
    void block_lefts_by(FactId f, const Key& key, const Stamp& s, StagedFlag flag) {
        if (NodeInternals::lefts(n_).empty()) return;
        tuples_.clear();
        n_.scan_lefts(key, tuples_);
        std::vector<TupleId> reached = std::move(tuples_);
        for (TupleId t : reached) {
            if (left_update(t)) continue;
            if (env_.allowed_ce(i_, tt_.view(t), f)) newly_blocked(t, f, s, flag);
        }
        tuples_ = std::move(reached);
    }

    void left_deletes() {
        for (const auto& e : sl_.del) {
            TupleId t = e.item;
            if (!n_.blocker_of(t)) {
                NodeInternals::lefts(n_).remove_first(t);
                if (is_not_) retract_child(n_, t, e.stamp, out_);
                continue;
            }
            n_.unblock(t);
            if (!is_not_) retract_child(n_, t, e.stamp, out_);
        }
    }

    // Updated tuples leave `lefts`; those whose blocker changes in this batch
    // are unhooked too and wait, neither blocked nor in `lefts`, for the
    // left-update pass. Unblocked ones come back at the end so that right
    // inserts and updates see them (and skip them).
    void prepare_left_updates() {
        for (const auto& e : sl_.upd) NodeInternals::lefts(n_).remove_first(e.item);
        for (const auto& e : sl_.upd) {
            TupleId t = e.item;
            auto b = n_.blocker_of(t);
            if (!b) {
                NodeInternals::lefts(n_).push_back(t, key_of_left(t));
                continue;
            }
            if (sr_.upd.contains(*b) || sr_.del.contains(*b)) n_.unblock(t);
        }
    }

    // The fact next to `f` in the right memory that survives this batch: first
    // after it, else nearest before it; with an equality index only facts whose
    // key matches f's count.
    std::optional<FactId> surviving_neighbour(FactId f) const {
        const auto& rights = NodeInternals::rights(n_);
        auto p = rights.pos_of(f);
        const Key fkey = rights.at(p).key;
        bool keyed = n_.keyed();
        auto qualifies = [&](Memory<FactId>::Pos q) {
            const auto& e = rights.at(q);
            if (keyed && !(e.key && fkey && keys_match(e.key, fkey))) return false;
            return !sr_.del.contains(e.item) && !sr_.upd.contains(e.item);
        };
        for (auto q = rights.next_pos(p); q != Memory<FactId>::npos; q = rights.next_pos(q)) {
            if (qualifies(q)) return rights.at(q).item;
        }
        for (auto q = rights.prev_pos(p); q != Memory<FactId>::npos; q = rights.prev_pos(q)) {
            if (qualifies(q)) return rights.at(q).item;
        }
        return std::nullopt;
    }

    // With an index, deleted facts leave the right memory before anything
    // searches it. A fact deleted and inserted again in this batch must be
    // found under its new key only: under its old one a probe would ask the
    // test about a pair the index never offers (and a range probe, whose
    // test leaves the indexed comparison out, would let it block unchecked).
    // Without an index a probe reaches every fact and the test alone
    // decides, so there the entries wait for the right deletes.
    void take_out_deleted_rights() {
        for (const auto& e : sr_.del) NodeInternals::rights(n_).remove_first(e.item);
        deleted_rights_out_ = true;
    }

    void unhook_updated_blockers() {
        const IndexKind index = n_.probe_op().kind();
        std::vector<FactId> noted;
        for (const auto& e : sr_.upd) {
            FactId f = e.item;
            if (!NodeInternals::rights(n_).contains(f)) continue;
            if (n_.blocks_any(f)) {
                if (index != IndexKind::Range) has_later_right_.insert_or_assign(f, surviving_neighbour(f));
                lost_blocker_.insert_or_assign(f, n_.take_blocked(f));
            }
            NodeInternals::rights(n_).remove_first(f);
            noted.push_back(f);
        }
        for (FactId f : noted) NodeInternals::rights(n_).push_back(f, key_of_right(f));
    }

    void right_inserts() {
        // One right insert is taken the same way in either order.
        bool tail_first = sr_.ins.size() > 1 && right_inserts_tail_first(env_);
        auto insert = [&](const StagedEntry<FactId>& e, Key& key) {
            // Blocking reads the left memory only: the fact is stored after.
            block_lefts_by(e.item, key, e.stamp, StagedFlag::RightInsert);
            NodeInternals::rights(n_).push_back(e.item, std::move(key));
        };
        auto walk = [&](const auto& list) {
            if (n_.keyed() && sr_.ins.size() >= kWalkAheadFrom) {
                walk_keys_ahead(
                    list, [](const StagedEntry<FactId>&) { return true; },
                    [&](const StagedEntry<FactId>& e, Key& k) { env_.key_of_right(i_, e.item, k); },
                    [this](const Key& k) { warm(k); }, insert);
                return;
            }
            for (const auto& e : list) {
                key_of_right(e.item);
                insert(e, key_);
            }
        };
        if (tail_first) {
            walk(sr_.ins.oldest_first());
        } else {
            walk(sr_.ins);
        }
    }

    void settle_updated_rights() {
        // Resuming the blocker search at a neighbour only makes sense in memory
        // order; once one updated fact had no neighbour, the rest of the pass
        // searches from the start.
        bool resume_off = n_.probe_op().kind() == IndexKind::Range;
        for (const auto& e : sr_.upd) {
            FactId f = e.item;
            const auto entry = NodeInternals::rights(n_).find_first(f);
            // A fact the memory does not hold blocks nothing: a blocker must be
            // reachable through the memory for later changes to find it.
            if (entry) block_lefts_by(f, Key(entry->key), e.stamp, StagedFlag::Change);

            auto lit = lost_blocker_.find(f);
            if (lit == lost_blocker_.end()) continue;
            std::vector<TupleId> lost = std::move(lit->second);
            lost_blocker_.erase(lit);
            if (lost.empty()) continue;
            std::optional<FactId> start;
            auto hit = has_later_right_.find(f);
            if (hit == has_later_right_.end() || !hit->second) {
                resume_off = true;
            } else if (!resume_off) {
                start = hit->second;
            }
            if (hit != has_later_right_.end()) has_later_right_.erase(hit);
            for (TupleId t : lost) {
                if (left_update(t)) {
                    n_.block(t, f);
                    continue;
                }
                if (auto g = n_.find_blocker(env_, i_, t, start, sr_)) {
                    n_.block(t, *g);
                } else {
                    release_to_lefts(t, e.stamp);
                }
            }
        }
    }

    void right_deletes() {
        for (const auto& e : sr_.del) {
            FactId f = e.item;
            if (!deleted_rights_out_) NodeInternals::rights(n_).remove_first(f);
            if (!n_.blocks_any(f)) continue;
            for (TupleId t : n_.take_blocked(f)) {
                if (left_update(t)) continue;
                if (auto g = n_.find_blocker(env_, i_, t, std::nullopt, sr_)) {
                    n_.block(t, *g);
                } else {
                    release_to_lefts(t, e.stamp);
                }
            }
        }
    }

    // Whether an updated tuple must give up its blocker `b` and search again.
    bool must_release(TupleId t, FactId b, const Key& key, bool opt) {
        const IndexKind index = n_.probe_op().kind();
        if (index == IndexKind::Equality) {
            const auto be = NodeInternals::rights(n_).find_first(b);
            if (!(be && be->key && key && keys_match(be->key, key))) return true;
        } else if (index == IndexKind::Range) {
            // Kept only while b still carries the key the range scan puts first.
            facts_.clear();
            n_.scan_rights(key, facts_);
            if (facts_.empty()) return true;
            const auto ce = NodeInternals::rights(n_).find_first(facts_.front());
            const auto be = NodeInternals::rights(n_).find_first(b);
            if (!(ce && be && ce->key && be->key && ce->key == be->key)) return true;
        }
        return !opt || !env_.allowed_ce(i_, tt_.view(t), b);
    }

    void left_updates() {
        bool opt = env_.left_update_optimization(i_);
        const bool decides = keys_decide();
        for (const auto& e : sl_.upd) {
            TupleId t = e.item;
            const Stamp& s = e.stamp;
            Key key = key_of_left(t);
            bool search = true;
            if (auto b = n_.blocker_of(t)) {
                if (must_release(t, *b, key, opt)) {
                    n_.unblock(t);
                } else {
                    search = false;
                }
            } else {
                NodeInternals::lefts(n_).remove_first(t);
            }
            if (search) {
                if (auto g = first_qualifying(env_, i_, n_, t, key, decides)) n_.block(t, *g);
            }

            bool blocked_now = n_.blocker_of(t).has_value();
            auto c = n_.ce_child_of(t);
            if (is_not_) {
                if (!blocked_now) {
                    if (c) out_.child_upd(n_.child(*c).tuple, s, StagedFlag::Change);
                    NodeInternals::lefts(n_).push_back(t, std::move(key));
                    if (!c) not_emit_or_defer(env_, i_, n_, t, s, StagedFlag::Change, out_.trg);
                } else if (c) {
                    retract_child(n_, t, s, out_);
                }
            } else {
                if (!blocked_now) {
                    NodeInternals::lefts(n_).push_back(t, std::move(key));
                    if (c) retract_child(n_, t, s, out_);
                } else if (c) {
                    out_.child_upd(n_.child(*c).tuple, s, StagedFlag::Change);
                } else {
                    emit(n_, t, s, StagedFlag::Change, out_.trg);
                }
            }
        }
    }

    void left_inserts() {
        const bool decides = keys_decide();
        auto insert = [&](const StagedEntry<TupleId>& e, Key& key) {
            TupleId t = e.item;
            if (auto g = first_qualifying(env_, i_, n_, t, key, decides)) {
                n_.block(t, *g);
                if (!is_not_) emit(n_, t, e.stamp, StagedFlag::Insert, out_.trg);
                return;
            }
            NodeInternals::lefts(n_).push_back(t, std::move(key));
            if (is_not_) not_emit_or_defer(env_, i_, n_, t, e.stamp, StagedFlag::Insert, out_.trg);
        };
        if (n_.keyed() && sl_.ins.size() >= kWalkAheadFrom) {
            walk_keys_ahead(
                sl_.ins, [](const StagedEntry<TupleId>&) { return true; },
                [&](const StagedEntry<TupleId>& e, Key& k) { env_.key_of_left(i_, tt_.view(e.item), k); },
                [this](const Key& k) { warm(k); }, insert);
            return;
        }
        for (const auto& e : sl_.ins) {
            key_of_left(e.item);
            insert(e, key_);
        }
    }

    // Tuples the engine released (a temporal not whose fire time has come):
    // emitted when still unblocked and without a child.
    void parked() {
        std::vector<ParkedEntry> parked = std::exchange(NodeInternals::parked(n_), {});
        for (const auto& p : parked) {
            if (NodeInternals::lefts(n_).contains(p.tuple) && !n_.ce_child_of(p.tuple)) {
                emit(n_, p.tuple, p.stamp, StagedFlag::Insert, out_.trg);
            }
        }
    }

    const JoinEnv& env_;
    TupleTable& tt_;
    size_t i_;
    Node& n_;
    Staged<TupleId>& sl_;
    Staged<FactId>& sr_;
    Out& out_;
    bool is_not_;
    bool deleted_rights_out_ = false;  // take_out_deleted_rights ran
    Key key_;                       // scratch for keys asked of the environment

    std::vector<TupleId> tuples_;   // borrowed from the node
    std::vector<FactId> facts_;     // borrowed from the node
    // Scratch of the right-update passes: the tuples each updated blocker
    // lost, and the neighbour where their blocker search resumes.
    HashMap<FactId, std::vector<TupleId>> lost_blocker_;
    HashMap<FactId, std::optional<FactId>> has_later_right_;
};

}  // namespace

std::optional<FactId> Node::find_blocker(const JoinEnv& env, size_t i, TupleId t, std::optional<FactId> start,
                                         const Staged<FactId>& sr) const {
    TupleView v = env.tuples().view(t);
    Key key;
    env.key_of_left(i, v, key);
    // A fact leaving in this batch blocks nothing, unless it is also re-inserted.
    return first_candidate(key, start, [&](FactId f) {
        if (sr.del.contains(f) && !sr.ins.contains(f)) return false;
        return env.allowed_ce(i, v, f);
    });
}

void not_emit_or_defer(const JoinEnv& env, size_t i, Node& node, TupleId t, Stamp stamp, StagedFlag flag,
                       Staged<TupleId>& trg) {
    if (node.temporal()) {
        if (auto at = env.not_fire_time(i, env.tuples().view(t))) {
            NodeInternals::deferred(node).push_back(DeferredEntry{t, stamp, *at});
            return;
        }
    }
    emit(node, t, stamp, flag, trg);
}

void exists_flush_admit(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr,
                        Staged<TupleId>& trg) {
    TupleTable& tt = env.tuples();
    // Left inserts grouped by their newest fact, groups in order of first appearance.
    struct Group {
        FactId key;
        std::vector<StagedEntry<TupleId>> entries;
    };
    std::vector<Group> groups;
    HashMap<FactId, size_t> group_of;
    for (const auto& e : sl.ins) {
        TupleView v = tt.view(e.item);
        FactId key = v.empty() ? 0 : *std::max_element(v.begin(), v.end());
        auto [it, fresh] = group_of.try_emplace(key, groups.size());
        if (fresh) groups.push_back(Group{key, {}});
        groups[it->second].entries.push_back(e);
    }
    // Admission items: groups first, then right inserts (front first); the
    // stable sort keeps a group ahead of a right insert with the same key.
    struct Item {
        FactId key;
        const Group* group;
        std::optional<StagedEntry<FactId>> right;
    };
    std::vector<Item> items;
    items.reserve(groups.size() + sr.ins.size());
    for (const Group& g : groups) items.push_back(Item{g.key, &g, std::nullopt});
    for (const auto& e : sr.ins) items.push_back(Item{e.item, nullptr, e});
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.key < b.key; });

    std::vector<std::pair<TupleId, Stamp>> produced;
    std::vector<std::pair<TupleId, Stamp>> noted;
    for (const Item& item : items) {
        noted.clear();
        if (item.group) {
            for (const StagedEntry<TupleId>& e : item.group->entries) {
                TupleId t = e.item;
                node.record_left_seq(t);
                node.set_left_mark(t, env.mark());
                Key key = left_key(env, i, t);
                if (auto g = first_qualifying(env, i, node, t, key, false)) {
                    node.block(t, *g);
                    noted.emplace_back(t, e.stamp);
                } else {
                    NodeInternals::lefts(node).push_back(t, std::move(key));
                }
            }
        } else {
            const auto& e = *item.right;
            FactId f = e.item;
            Key key = right_key(env, i, f);
            NodeInternals::rights(node).push_back(f, key);
            for (TupleId t : node.scan_lefts(key)) {
                if (!env.allowed_ce(i, tt.view(t), f)) continue;
                node.block(t, f);
                NodeInternals::lefts(node).remove_first(t);
                noted.emplace_back(t, e.stamp);
            }
        }
        for (auto it = noted.rbegin(); it != noted.rend(); ++it) {
            produced.emplace_back(node.create_ce_child(it->first), it->second);
        }
    }
    for (auto it = produced.rbegin(); it != produced.rend(); ++it) {
        trg.add_ins_ph(it->first, it->second, StagedFlag::Insert);
    }
}

void do_existential_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out) {
    const TupleTable& tt = env.tuples();
    bool tracing = tracing_on(env);
    if (tracing) {
        env.trace(fmt("do_exist[{}:{}] sl(ins={} upd={} del={}) sr(ins={} upd={} del={})", i, kind_name(node.kind()),
                      debug(tt, sl.ins), debug(tt, sl.upd), debug(tt, sl.del), debug(sr.ins), debug(sr.upd),
                      debug(sr.del)));
    }
    if (node.kind() == Kind::Exists && node.temporal() && sl.upd.empty() && sl.del.empty() && sr.upd.empty() &&
        sr.del.empty()) {
        exists_flush_admit(env, i, node, std::move(sl), std::move(sr), out.trg);
        if (tracing) {
            env.trace(fmt("  [flush_admit] trg ins={} blocked={}", debug(tt, out.trg.ins), blocked_text(tt, node)));
        }
        return;
    }
    ExistentialEval(env, i, node, sl, sr, out).run();
    if (tracing) {
        env.trace(fmt("  trg ins={} upd={} del={}", debug(tt, out.trg.ins), debug(tt, out.trg.upd),
                      debug(tt, out.trg.del)));
        env.trace(fmt("  rights={} lefts={} blocked={}", debug(node.right_memory()), debug(tt, node.left_memory()),
                      blocked_text(tt, node)));
    }
}

}  // namespace quarn
