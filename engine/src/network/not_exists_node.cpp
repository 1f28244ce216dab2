// Not and exists node evaluation.
//
// A not/exists node joins no fact: its child is the left tuple itself. A right
// fact that passes the pattern's tests against a tuple blocks it; a Not node
// has a child for every unblocked tuple, an Exists node for every blocked one.
// Each blocked tuple hangs on exactly one blocker, the first qualifying fact of
// the right memory in scan order, so a later change of a fact touches only the
// tuples that fact blocks.
//
// Invariants between evaluations:
// - `lefts` holds exactly the unblocked tuples; a blocked tuple is not in it.
// - `blocker_of[t] == f` exactly when `t` is in `blocked[f]`; `blocked` lists
//   are newest first and never empty (an emptied list is erased).
//
// Passes, in order: left deletes, left-update preparation, right updates (a
// first pass that unhooks the tuples of updated blockers and moves the updated
// facts to the end of the right memory), right inserts, right updates (second
// pass: re-blocking and the search for new blockers), right deletes, left
// updates, left inserts, parked tuples.
#include <algorithm>
#include <utility>

#include "network/network.h"
#include "store/debug_form.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

// Flag bytes of staged child inserts: what caused them.
constexpr uint8_t kFromLeftInsert = 0;  // also parked tuples and ordered admissions
constexpr uint8_t kFromRightInsert = 1;
constexpr uint8_t kFromChange = 2;  // right update, right delete, left update

void block(Node& n, const Tuple& t, FactId f) {
    n.blocker_of.insert_or_assign(t, f);
    auto& list = n.blocked[f];
    list.insert(list.begin(), t);
}

void drop_from_blocked(Node& n, FactId b, const Tuple& t) {
    auto it = n.blocked.find(b);
    if (it == n.blocked.end()) return;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), t), list.end());
    if (list.empty()) n.blocked.erase(it);
}

// Unhooks `t` from its blocker, if it has one.
void unblock(Node& n, const Tuple& t) {
    auto it = n.blocker_of.find(t);
    if (it == n.blocker_of.end()) return;
    FactId b = it->second;
    n.blocker_of.erase(it);
    drop_from_blocked(n, b, t);
}

std::vector<Tuple> take_blocked(Node& n, FactId f) {
    auto it = n.blocked.find(f);
    if (it == n.blocked.end()) return {};
    std::vector<Tuple> list = std::move(it->second);
    n.blocked.erase(it);
    return list;
}

void emit(Node& n, const Tuple& t, const Stamp& s, uint8_t flag, Staged<Tuple>& trg) {
    trg.add_ins_ph(n.create_ce_child(t), s, flag);
}

void retract_child(Node& n, const Tuple& t, const Stamp& s, Out& out) {
    auto p = n.ce_child_of(t);
    if (!p) return;
    Child& c = n.children[*p];
    c.dead = true;
    n.child_index.erase(c.tuple);
    out.child_del(c.tuple, s);
}

// The first fact a probe reaches that passes the not/exists test against `t`.
std::optional<FactId> first_qualifying(const JoinEnv& env, size_t i, const Node& n, const Tuple& t,
                                       const Key& key) {
    for (FactId g : n.scan_rights(key)) {
        if (env.allowed_ce(i, t, g)) return g;
    }
    return std::nullopt;
}

std::string blocked_text(const Node& n) {
    // Sorted by blocker so that trace lines are reproducible; the map itself
    // has no order.
    std::vector<FactId> keys;
    keys.reserve(n.blocked.size());
    for (const auto& [f, _] : n.blocked) keys.push_back(f);
    std::sort(keys.begin(), keys.end());
    std::string out = "{";
    for (size_t k = 0; k < keys.size(); ++k) {
        if (k > 0) out += ", ";
        out += fmt("{}: {}", debug_fact_id(keys[k]), debug(n.blocked.at(keys[k])));
    }
    return out + "}";
}

class ExistentialEval {
public:
    ExistentialEval(const JoinEnv& env, size_t i, Node& node, Staged<Tuple>& sl, Staged<FactId>& sr, Out& out)
        : env_(env), i_(i), n_(node), sl_(sl), sr_(sr), out_(out), is_not_(node.kind == Kind::Not) {}

    void run() {
        left_deletes();
        prepare_left_updates();
        if (!sr_.upd.empty()) unhook_updated_blockers();
        right_inserts();
        settle_updated_rights();
        right_deletes();
        left_updates();
        left_inserts();
        parked();
        n_.lost_blocker.clear();
        n_.has_later_right.clear();
    }

private:
    bool left_update(const Tuple& t) const { return sl_.upd.contains(t); }

    // A tuple that lost its last blocker returns to `lefts`: an Exists node
    // retracts its child, a Not node emits one. A temporal not stages nothing
    // here; it defers the tuple to its fire time, as it would have on insert
    // had the blocker not been there yet. (Without that, whether the rule ever
    // fires would depend on whether the blocker arrived before or after the
    // tuple was first evaluated.)
    void release_to_lefts(const Tuple& t, const Stamp& s) {
        n_.lefts.push_back(t, env_.key_of_left(i_, t));
        if (!is_not_) {
            retract_child(n_, t, s, out_);
        } else if (!n_.temporal) {
            emit(n_, t, s, kFromChange, out_.trg);
        } else if (auto at = env_.not_fire_time(i_, t)) {
            n_.deferred.push_back(DeferredEntry{t, s, *at});
        }
    }

    // `t` (in `lefts`) is now blocked by `f`.
    void newly_blocked(const Tuple& t, FactId f, const Stamp& s, uint8_t flag) {
        block(n_, t, f);
        n_.lefts.remove_first(t);
        if (is_not_) {
            retract_child(n_, t, s, out_);
        } else {
            emit(n_, t, s, flag, out_.trg);
        }
    }

    // Blocks the unblocked tuples that `f` (keyed by `key`) qualifies for.
    void block_lefts_by(FactId f, const Key& key, const Stamp& s, uint8_t flag) {
        if (n_.lefts.empty()) return;
        for (const Tuple& t : n_.scan_lefts(key)) {
            if (left_update(t)) continue;
            if (env_.allowed_ce(i_, t, f)) newly_blocked(t, f, s, flag);
        }
    }

    void left_deletes() {
        for (const auto& e : sl_.del) {
            const Tuple& t = e.item;
            auto it = n_.blocker_of.find(t);
            if (it == n_.blocker_of.end()) {
                n_.lefts.remove_first(t);
                if (is_not_) retract_child(n_, t, e.stamp, out_);
                continue;
            }
            FactId b = it->second;
            n_.blocker_of.erase(it);
            drop_from_blocked(n_, b, t);
            if (!is_not_) retract_child(n_, t, e.stamp, out_);
        }
    }

    // Updated tuples leave `lefts`; those whose blocker changes in this batch
    // are unhooked too and wait, neither blocked nor in `lefts`, for the
    // left-update pass. Unblocked ones come back at the end so that right
    // inserts and updates see them (and skip them).
    void prepare_left_updates() {
        for (const auto& e : sl_.upd) n_.lefts.remove_first(e.item);
        for (const auto& e : sl_.upd) {
            const Tuple& t = e.item;
            auto it = n_.blocker_of.find(t);
            if (it == n_.blocker_of.end()) {
                n_.lefts.push_back(t, env_.key_of_left(i_, t));
                continue;
            }
            FactId b = it->second;
            if (sr_.upd.contains(b) || sr_.del.contains(b)) unblock(n_, t);
        }
    }

    // The fact next to `f` in the right memory that survives this batch: first
    // after it, else nearest before it; with an equality index only facts whose
    // key matches f's count.
    std::optional<FactId> surviving_neighbour(FactId f) const {
        const auto& rights = n_.rights;
        auto p = rights.pos_of(f);
        const Key& fkey = rights.at(p).key;
        bool keyed = n_.probe_op() == kEqualityIndex;
        auto qualifies = [&](Memory<FactId>::Pos q) {
            const auto& e = rights.at(q);
            if (keyed && !(e.key && fkey && keys_match(*e.key, *fkey))) return false;
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

    void unhook_updated_blockers() {
        uint8_t op = n_.probe_op();
        // With an index, deleted facts are set aside so the neighbour search and
        // the re-keyed facts do not land between them.
        std::vector<Memory<FactId>::Entry> set_aside;
        if (op != kNoIndex) {
            for (const auto& e : sr_.del) {
                if (auto taken = n_.rights.take_first(e.item)) set_aside.push_back(std::move(*taken));
            }
        }
        std::vector<FactId> noted;
        for (const auto& e : sr_.upd) {
            FactId f = e.item;
            if (!n_.rights.contains(f)) continue;
            auto bit = n_.blocked.find(f);
            if (bit != n_.blocked.end() && !bit->second.empty()) {
                if (op == kNoIndex || op == kEqualityIndex) {
                    n_.has_later_right.insert_or_assign(f, surviving_neighbour(f));
                }
                std::vector<Tuple> lost = take_blocked(n_, f);
                for (const Tuple& t : lost) n_.blocker_of.erase(t);
                n_.lost_blocker.insert_or_assign(f, std::move(lost));
            }
            n_.rights.remove_first(f);
            noted.push_back(f);
        }
        for (FactId f : noted) n_.rights.push_back(f, env_.key_of_right(i_, f));
        for (auto& e : set_aside) n_.rights.push_back(std::move(e.item), std::move(e.key));
    }

    void right_inserts() {
        for (const auto& e : sr_ins_iter(env_, sr_.ins)) {
            Key key = env_.key_of_right(i_, e.item);
            n_.rights.push_back(e.item, key);
            block_lefts_by(e.item, key, e.stamp, kFromRightInsert);
        }
    }

    void settle_updated_rights() {
        // Resuming the blocker search at a neighbour only makes sense in memory
        // order; once one updated fact had no neighbour, the rest of the pass
        // searches from the start.
        bool resume_off = n_.probe_op() < kNoIndex;
        for (const auto& e : sr_.upd) {
            FactId f = e.item;
            const auto* entry = n_.rights.find_first(f);
            // A fact the memory does not hold blocks nothing: a blocker must be
            // reachable through the memory for later changes to find it.
            if (entry != nullptr) block_lefts_by(f, Key(entry->key), e.stamp, kFromChange);

            auto lit = n_.lost_blocker.find(f);
            if (lit == n_.lost_blocker.end()) continue;
            std::vector<Tuple> lost = std::move(lit->second);
            n_.lost_blocker.erase(lit);
            if (lost.empty()) continue;
            std::optional<FactId> start;
            auto hit = n_.has_later_right.find(f);
            if (hit == n_.has_later_right.end() || !hit->second) {
                resume_off = true;
            } else if (!resume_off) {
                start = hit->second;
            }
            if (hit != n_.has_later_right.end()) n_.has_later_right.erase(hit);
            for (const Tuple& t : lost) {
                if (left_update(t)) {
                    block(n_, t, f);
                    continue;
                }
                if (auto g = n_.find_blocker(env_, i_, t, start, sr_)) {
                    block(n_, t, *g);
                } else {
                    release_to_lefts(t, e.stamp);
                }
            }
        }
    }

    void right_deletes() {
        for (const auto& e : sr_.del) {
            FactId f = e.item;
            n_.rights.remove_first(f);
            for (const Tuple& t : take_blocked(n_, f)) {
                n_.blocker_of.erase(t);
                if (left_update(t)) continue;
                if (auto g = n_.find_blocker(env_, i_, t, std::nullopt, sr_)) {
                    block(n_, t, *g);
                } else {
                    release_to_lefts(t, e.stamp);
                }
            }
        }
    }

    // Whether an updated tuple must give up its blocker `b` and search again.
    bool must_release(const Tuple& t, FactId b, const Key& key, bool opt) const {
        uint8_t op = n_.probe_op();
        if (op == kEqualityIndex) {
            const auto* be = n_.rights.find_first(b);
            if (!(be && be->key && key && keys_match(*be->key, *key))) return true;
        } else if (op < kNoIndex) {
            // Kept only while b still carries the key the range scan puts first.
            auto cands = n_.scan_rights(key);
            if (cands.empty()) return true;
            const auto* ce = n_.rights.find_first(cands.front());
            const auto* be = n_.rights.find_first(b);
            if (!(ce && be && ce->key && be->key && *ce->key == *be->key)) return true;
        }
        return !opt || !env_.allowed_ce(i_, t, b);
    }

    void left_updates() {
        bool opt = env_.left_update_optimization(i_);
        for (const auto& e : sl_.upd) {
            const Tuple& t = e.item;
            const Stamp& s = e.stamp;
            Key key = env_.key_of_left(i_, t);
            bool search = true;
            auto bit = n_.blocker_of.find(t);
            if (bit != n_.blocker_of.end()) {
                if (must_release(t, bit->second, key, opt)) {
                    unblock(n_, t);
                } else {
                    search = false;
                }
            } else {
                n_.lefts.remove_first(t);
            }
            if (search) {
                if (auto g = first_qualifying(env_, i_, n_, t, key)) block(n_, t, *g);
            }

            bool blocked_now = n_.blocker_of.contains(t);
            auto c = n_.ce_child_of(t);
            if (is_not_) {
                if (!blocked_now) {
                    if (c) out_.child_upd(n_.children[*c].tuple, s, kFromChange);
                    n_.lefts.push_back(t, std::move(key));
                    if (!c) not_emit_or_defer(env_, i_, n_, t, s, kFromChange, out_.trg);
                } else if (c) {
                    retract_child(n_, t, s, out_);
                }
            } else {
                if (!blocked_now) {
                    n_.lefts.push_back(t, std::move(key));
                    if (c) retract_child(n_, t, s, out_);
                } else if (c) {
                    out_.child_upd(n_.children[*c].tuple, s, kFromChange);
                } else {
                    emit(n_, t, s, kFromChange, out_.trg);
                }
            }
        }
    }

    void left_inserts() {
        for (const auto& e : sl_.ins) {
            const Tuple& t = e.item;
            Key key = env_.key_of_left(i_, t);
            if (auto g = first_qualifying(env_, i_, n_, t, key)) {
                block(n_, t, *g);
                if (!is_not_) emit(n_, t, e.stamp, kFromLeftInsert, out_.trg);
                continue;
            }
            n_.lefts.push_back(t, std::move(key));
            if (is_not_) not_emit_or_defer(env_, i_, n_, t, e.stamp, kFromLeftInsert, out_.trg);
        }
    }

    // Tuples the engine released (a temporal not whose fire time has come):
    // emitted when still unblocked and without a child.
    void parked() {
        std::vector<ParkedEntry> parked = std::exchange(n_.parked, {});
        for (const auto& p : parked) {
            if (n_.lefts.contains(p.tuple) && !n_.ce_child_of(p.tuple)) {
                emit(n_, p.tuple, p.stamp, kFromLeftInsert, out_.trg);
            }
        }
    }

    const JoinEnv& env_;
    size_t i_;
    Node& n_;
    Staged<Tuple>& sl_;
    Staged<FactId>& sr_;
    Out& out_;
    bool is_not_;
};

}  // namespace

std::optional<FactId> Node::find_blocker(const JoinEnv& env, size_t i, const Tuple& t, std::optional<FactId> start,
                                         const Staged<FactId>& sr) const {
    std::vector<FactId> cands = scan_rights(env.key_of_left(i, t));
    size_t from = 0;
    if (start) {
        auto at = std::find(cands.begin(), cands.end(), *start);
        if (at != cands.end()) from = static_cast<size_t>(at - cands.begin());
    }
    // The search resumes at `start` and then wraps around to the candidates
    // before it. Skipping those outright would be sound only if every blocker
    // were the first qualifying fact in scan order, which re-added blockers and
    // blockers kept across a left update are not; without the wrap a tuple
    // could be declared unblocked while a fact still qualifies.
    for (size_t n = 0; n < cands.size(); ++n) {
        FactId f = cands[(from + n) % cands.size()];
        // A fact leaving in this batch blocks nothing, unless it is also re-inserted.
        if (sr.del.contains(f) && !sr.ins.contains(f)) continue;
        if (env.allowed_ce(i, t, f)) return f;
    }
    return std::nullopt;
}

std::optional<size_t> Node::ce_child_of(const Tuple& t) const {
    auto it = children_of_left.find(t);
    if (it == children_of_left.end()) return std::nullopt;
    for (size_t p : it->second) {
        if (p >= children.size()) invariant_broken("child position out of range");
        if (!children[p].dead) return p;
    }
    return std::nullopt;
}

Tuple Node::create_ce_child(const Tuple& t) {
    size_t p = children.size();
    children.push_back(Child{t, t, std::nullopt, false});
    child_index.insert_or_assign(t, p);
    children_of_left[t].push_back(p);
    return t;
}

void not_emit_or_defer(const JoinEnv& env, size_t i, Node& node, const Tuple& t, Stamp stamp, uint8_t flag,
                       Staged<Tuple>& trg) {
    if (node.temporal) {
        if (auto at = env.not_fire_time(i, t)) {
            node.deferred.push_back(DeferredEntry{t, stamp, *at});
            return;
        }
    }
    emit(node, t, stamp, flag, trg);
}

void exists_flush_admit(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr,
                        Staged<Tuple>& trg) {
    // Left inserts grouped by their newest fact, groups in order of first appearance.
    struct Group {
        FactId key;
        std::vector<const StagedEntry<Tuple>*> entries;
    };
    std::vector<Group> groups;
    HashMap<FactId, size_t> group_of;
    for (const auto& e : sl.ins) {
        FactId key = e.item.empty() ? 0 : *std::max_element(e.item.begin(), e.item.end());
        auto [it, fresh] = group_of.try_emplace(key, groups.size());
        if (fresh) groups.push_back(Group{key, {}});
        groups[it->second].entries.push_back(&e);
    }
    // Admission items: groups first, then right inserts; the stable sort keeps
    // a group ahead of a right insert with the same key.
    struct Item {
        FactId key;
        bool is_group;
        size_t index;  // into groups, or into sr.ins (front first)
    };
    std::vector<Item> items;
    items.reserve(groups.size() + sr.ins.size());
    for (size_t g = 0; g < groups.size(); ++g) items.push_back(Item{groups[g].key, true, g});
    for (size_t r = 0; r < sr.ins.size(); ++r) items.push_back(Item{sr.ins[r].item, false, r});
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.key < b.key; });

    std::vector<std::pair<Tuple, Stamp>> produced;
    std::vector<std::pair<Tuple, Stamp>> noted;
    for (const Item& item : items) {
        noted.clear();
        if (item.is_group) {
            for (const StagedEntry<Tuple>* e : groups[item.index].entries) {
                const Tuple& t = e->item;
                node.record_left_seq(t);
                node.left_marks.insert_or_assign(t, env.mark());
                Key key = env.key_of_left(i, t);
                if (auto g = first_qualifying(env, i, node, t, key)) {
                    block(node, t, *g);
                    noted.emplace_back(t, e->stamp);
                } else {
                    node.lefts.push_back(t, std::move(key));
                }
            }
        } else {
            const auto& e = sr.ins[item.index];
            FactId f = e.item;
            Key key = env.key_of_right(i, f);
            node.rights.push_back(f, key);
            for (const Tuple& t : node.scan_lefts(key)) {
                if (!env.allowed_ce(i, t, f)) continue;
                block(node, t, f);
                node.lefts.remove_first(t);
                noted.emplace_back(t, e.stamp);
            }
        }
        for (auto it = noted.rbegin(); it != noted.rend(); ++it) {
            produced.emplace_back(node.create_ce_child(it->first), it->second);
        }
    }
    for (auto it = produced.rbegin(); it != produced.rend(); ++it) {
        trg.add_ins_ph(std::move(it->first), it->second, kFromLeftInsert);
    }
}

void do_existential_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out) {
    bool tracing = tracing_on(env);
    if (tracing) {
        env.trace(fmt("do_exist[{}:{}] sl(ins={} upd={} del={}) sr(ins={} upd={} del={})", i, kind_name(node.kind),
                      debug(sl.ins), debug(sl.upd), debug(sl.del), debug(sr.ins), debug(sr.upd), debug(sr.del)));
    }
    if (node.kind == Kind::Exists && node.temporal && sl.upd.empty() && sl.del.empty() && sr.upd.empty() &&
        sr.del.empty()) {
        exists_flush_admit(env, i, node, std::move(sl), std::move(sr), out.trg);
        if (tracing) env.trace(fmt("  [flush_admit] trg ins={} blocked={}", debug(out.trg.ins), blocked_text(node)));
        return;
    }
    ExistentialEval(env, i, node, sl, sr, out).run();
    if (tracing) {
        env.trace(fmt("  trg ins={} upd={} del={}", debug(out.trg.ins), debug(out.trg.upd), debug(out.trg.del)));
        env.trace(fmt("  rights={} lefts={} blocked={}", debug(node.rights), debug(node.lefts), blocked_text(node)));
    }
}

}  // namespace quarn
