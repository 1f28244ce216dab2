// Join node evaluation: applies one batch of left and right changes to a join
// node and stages the resulting child inserts, updates and deletes.
//
// Phases, in order: right deletes, left deletes, updates (a first pass that
// re-keys and reorders the children lists so they follow memory order, then a
// merge walk per updated fact and per updated tuple that re-emits kept children
// in place), inserts (plain or temporal), late right inserts (flag 1).
#include <algorithm>

#include "network/network.h"
#include "common/internal_error.h"
#include "store/debug_form.h"
#include "common/text.h"

namespace quarn {

namespace {

constexpr uint8_t kFromLeftInsert = 0;
constexpr uint8_t kFromRightInsert = 1;
constexpr uint8_t kFromUpdate = 2;
constexpr uint8_t kLateRightInsert = 1;
constexpr uint8_t kSelectRightInsert = 4;

class JoinEval {
public:
    JoinEval(const JoinEnv& env, size_t i, Node& node, Out& out) : env_(env), i_(i), n_(node), out_(out) {}

    void run(Staged<Tuple>& sl, Staged<FactId>& sr);

private:
    // A child leaves: dead, out of child_index, and its delete staged (which
    // may cancel an insert the child has not consumed yet).
    void remove_child(size_t p, const Stamp& s) {
        Child& c = n_.children[p];
        c.dead = true;
        n_.child_index.erase(c.tuple);
        out_.child_del(c.tuple, s);
    }
    void remove_alive(const std::vector<size_t>* list, const Stamp& s) {
        for (size_t p : n_.alive_positions(list)) remove_child(p, s);
    }
    void add_child(const Tuple& t, FactId f, const Stamp& s, uint8_t flag, std::optional<size_t> left_before = {},
                   std::optional<size_t> right_before = {}) {
        out_.trg.add_ins_ph(n_.create_child(t, f, left_before, right_before), s, flag);
    }
    const std::vector<size_t>* list_of_left(const Tuple& t) const {
        auto it = n_.children_of_left.find(t);
        return it == n_.children_of_left.end() ? nullptr : &it->second;
    }
    const std::vector<size_t>* list_of_right(FactId f) const {
        auto it = n_.by_right.find(f);
        return it == n_.by_right.end() ? nullptr : &it->second;
    }
    // The merge walks of the update passes pair a bucket (memory order) with a
    // children list position by position, so the list must follow the same
    // order. Children made by temporal and late right inserts are created in
    // arrival-rank order instead, so the walked list is brought back into memory
    // order first; a list that already follows it is left as it is.
    void order_by_parents(std::vector<size_t>& list) const {
        sort_by_memory(list, [&](size_t p) { return n_.lefts.pos_of(n_.children[p].parent); });
    }
    void order_by_rights(std::vector<size_t>& list) const {
        sort_by_memory(list, [&](size_t p) {
            const auto& g = n_.children[p].right;
            return g ? n_.rights.pos_of(*g) : Memory<FactId>::npos;
        });
    }
    template <class PosOf>
    void sort_by_memory(std::vector<size_t>& list, PosOf pos_of) const {
        std::vector<std::pair<size_t, size_t>> keyed;  // (memory position, child position)
        keyed.reserve(list.size());
        bool sorted = true;
        for (size_t p : list) {
            if (p >= n_.children.size()) invariant_broken("child position out of range");
            size_t at = n_.children[p].dead ? Memory<FactId>::npos : pos_of(p);
            if (!keyed.empty() && at < keyed.back().first) sorted = false;
            keyed.emplace_back(at, p);
        }
        if (sorted) return;
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t k = 0; k < list.size(); ++k) list[k] = keyed[k].second;
    }
    bool tuple_expired(const Tuple& t) const {
        return std::any_of(t.begin(), t.end(), [&](FactId f) { return env_.is_expired(f); });
    }
    bool skip_expired_tuple(const Tuple& t) const { return !env_.join_expired() && tuple_expired(t); }
    bool skip_expired_fact(FactId f) const { return !env_.join_expired() && env_.is_expired(f); }

    // Buckets: with an equality key, the entries whose key matches; otherwise
    // every entry (allowed makes the full test).
    std::vector<Tuple> left_bucket(const Key& k) const {
        if (!n_.keyed()) return n_.lefts.items();
        if (!k) return {};
        return n_.lefts.matching(*k);
    }
    std::vector<FactId> right_bucket(const Key& k) const {
        if (!n_.keyed()) return n_.rights.items();
        if (!k) return {};
        return n_.rights.matching(*k);
    }

    void right_deletes(const Staged<FactId>& sr);
    void left_deletes(const Staged<Tuple>& sl);
    void right_updates_rekey(const Staged<FactId>& sr);
    void left_updates_rekey(const Staged<Tuple>& sl);
    void right_updates_join(const Staged<Tuple>& sl, const Staged<FactId>& sr);
    void left_updates_join(const Staged<Tuple>& sl);
    void plain_inserts(const Staged<Tuple>& sl, const Staged<FactId>& sr);
    void temporal_inserts(const Staged<Tuple>& sl, const Staged<FactId>& sr);
    void temporal_normal(const Staged<Tuple>& sl, const Staged<FactId>& sr, const std::vector<FactId>& before);
    void temporal_same_batch(const Staged<Tuple>& sl, const std::vector<FactId>& before);
    void late_right_inserts(const Staged<FactId>& sr);
    void trace_closing() const;

    const JoinEnv& env_;
    size_t i_;
    Node& n_;
    Out& out_;
    bool tracing_ = false;
};

void JoinEval::run(Staged<Tuple>& sl, Staged<FactId>& sr) {
    tracing_ = tracing_on(env_);
    if (tracing_) {
        env_.trace(fmt("do_node[{}] sl(ins={} upd={} del={}) sr(ins={} upd={} del={})", i_, debug(sl.ins),
                       debug(sl.upd), debug(sl.del), debug(sr.ins), debug(sr.upd), debug(sr.del)));
    }
    right_deletes(sr);
    left_deletes(sl);
    right_updates_rekey(sr);
    left_updates_rekey(sl);
    // From here on the children lists of every tuple and fact follow memory order.
    right_updates_join(sl, sr);
    left_updates_join(sl);
    if (n_.temporal) {
        temporal_inserts(sl, sr);
    } else {
        plain_inserts(sl, sr);
    }
    late_right_inserts(sr);
    if (tracing_) trace_closing();
}

void JoinEval::right_deletes(const Staged<FactId>& sr) {
    for (const auto& e : sr.del) {
        n_.rights.remove_first(e.item);
        auto* list = list_of_right(e.item);
        if (list == nullptr) continue;
        std::vector<size_t> copy = *list;
        remove_alive(&copy, e.stamp);
    }
}

void JoinEval::left_deletes(const Staged<Tuple>& sl) {
    for (const auto& e : sl.del) {
        n_.lefts.remove_first(e.item);
        auto* list = list_of_left(e.item);
        if (list == nullptr) continue;
        std::vector<size_t> copy = *list;
        remove_alive(&copy, e.stamp);
    }
}

void JoinEval::right_updates_rekey(const Staged<FactId>& sr) {
    for (const auto& e : sr.upd) {
        FactId f = e.item;
        if (n_.rights.remove_first(f)) n_.rights.push_back(f, env_.key_of_right(i_, f));
        for (size_t p : n_.alive_positions(list_of_right(f))) {
            Node::move_to_end(n_.children_of_left[n_.children[p].parent], p);
        }
    }
}

void JoinEval::left_updates_rekey(const Staged<Tuple>& sl) {
    for (const auto& e : sl.upd) n_.lefts.remove_first(e.item);
    for (const auto& e : sl.upd) {
        const Tuple& t = e.item;
        n_.lefts.push_back(t, env_.key_of_left(i_, t));
        for (size_t p : n_.alive_positions(list_of_left(t))) {
            const auto& right = n_.children[p].right;
            if (right) Node::move_to_end(n_.by_right[*right], p);
        }
    }
}

void JoinEval::right_updates_join(const Staged<Tuple>& sl, const Staged<FactId>& sr) {
    if (sr.upd.empty()) return;
    HashSet<Tuple> left_updated;
    for (const auto& e : sl.upd) left_updated.insert(e.item);
    for (const auto& e : sr.upd) {
        FactId f = e.item;
        const Stamp& s = e.stamp;
        const auto* stored = n_.rights.find_first(f);
        Key rkey = stored ? stored->key : Key{};
        std::vector<Tuple> bucket = left_bucket(rkey);
        if (auto it = n_.by_right.find(f); it != n_.by_right.end()) order_by_parents(it->second);
        std::vector<size_t> alive = n_.alive_positions(list_of_right(f));
        std::optional<size_t> first;
        if (!alive.empty()) first = alive.front();
        if (n_.keyed() && first) {
            // The fact's key moved away from its children's parents: they all go,
            // and the new key's lefts are joined afresh.
            const auto* parent = n_.lefts.find_first(n_.children[*first].parent);
            if (parent == nullptr || !parent->key || !rkey || !keys_match(*parent->key, *rkey) || bucket.empty()) {
                remove_alive(&alive, s);
                first.reset();
            }
        }
        if (tracing_) {
            env_.trace(fmt("  rupd f={} rkey={} bucket={} first_child={}", debug_fact_id(f), debug_key(rkey),
                           debug(bucket), first ? fmt("Some({})", *first) : std::string("None")));
        }
        if (bucket.empty()) continue;
        if (!first) {
            for (const Tuple& t : bucket) {
                if (left_updated.contains(t)) continue;
                if (env_.allowed(i_, t, f)) add_child(t, f, s, kFromUpdate);
            }
            continue;
        }
        // Merge walk: the bucket and the fact's alive children are both in left
        // memory order, so a kept child is met exactly where its parent is.
        alive = n_.alive_positions(list_of_right(f));
        size_t j = 0;
        for (const Tuple& t : bucket) {
            if (left_updated.contains(t)) continue;
            std::optional<size_t> c;
            if (j < alive.size()) c = alive[j];
            bool at_cursor = c && n_.children[*c].parent == t;
            bool ok = env_.allowed(i_, t, f);
            if (ok && at_cursor) {
                out_.child_upd(n_.children[*c].tuple, s, kFromUpdate);
                Node::move_to_end(n_.children_of_left[t], *c);
                ++j;
            } else if (ok) {
                add_child(t, f, s, kFromUpdate, std::nullopt, c);
            } else if (at_cursor) {
                remove_child(*c, s);
                ++j;
            }
        }
    }
}

void JoinEval::left_updates_join(const Staged<Tuple>& sl) {
    for (const auto& e : sl.upd) {
        const Tuple& t = e.item;
        const Stamp& s = e.stamp;
        const auto* stored = n_.lefts.find_first(t);
        Key lkey = stored ? stored->key : Key{};
        std::vector<FactId> bucket = right_bucket(lkey);
        if (auto it = n_.children_of_left.find(t); it != n_.children_of_left.end()) order_by_rights(it->second);
        if (n_.keyed()) {
            for (size_t p : n_.alive_positions(list_of_left(t))) {
                const auto& g = n_.children[p].right;
                if (!g) invariant_broken("join child has a right parent");
                const auto* gs = n_.rights.find_first(*g);
                if (bucket.empty() || gs == nullptr || !gs->key || !lkey || !keys_match(*gs->key, *lkey)) {
                    remove_child(p, s);
                }
            }
        }
        if (bucket.empty()) continue;
        std::vector<size_t> alive = n_.alive_positions(list_of_left(t));
        if (alive.empty()) {
            for (FactId f : bucket) {
                if (env_.allowed(i_, t, f)) add_child(t, f, s, kFromUpdate);
            }
            continue;
        }
        size_t j = 0;
        for (FactId f : bucket) {
            std::optional<size_t> c;
            if (j < alive.size()) c = alive[j];
            bool at_cursor = c && n_.children[*c].right == f;
            bool ok = env_.allowed(i_, t, f);
            if (ok && at_cursor) {
                out_.child_upd(n_.children[*c].tuple, s, kFromUpdate);
                Node::move_to_end(n_.by_right[f], *c);
                ++j;
            } else if (ok) {
                add_child(t, f, s, kFromUpdate, c, std::nullopt);
            } else if (at_cursor) {
                remove_child(*c, s);
                ++j;
            }
        }
    }
}

void JoinEval::plain_inserts(const Staged<Tuple>& sl, const Staged<FactId>& sr) {
    // Which right inserts join here, in which order: flag 4 entries as staged
    // followed by plain ones oldest first; without flag 4, all but the late
    // ones (flag 1) as staged.
    std::vector<const StagedEntry<FactId>*> taken;
    bool selecting = std::any_of(sr.ins.begin(), sr.ins.end(), [](const auto& e) { return e.flag == kSelectRightInsert; });
    if (selecting) {
        for (const auto& e : sr.ins) {
            if (e.flag == kSelectRightInsert) taken.push_back(&e);
        }
        for (const auto& e : sr.ins.oldest_first()) {
            if (e.flag == 0) taken.push_back(&e);
        }
    } else {
        for (const auto& e : sr.ins) {
            if (e.flag != kLateRightInsert) taken.push_back(&e);
        }
    }
    for (const auto* e : taken) {
        FactId f = e->item;
        Key k = env_.key_of_right(i_, f);
        n_.rights.push_back(f, k);
        for (const Tuple& t : left_bucket(k)) {
            if (skip_expired_tuple(t)) continue;
            if (env_.allowed(i_, t, f)) add_child(t, f, e->stamp, kFromRightInsert);
        }
    }
    for (const auto& e : sl.ins.oldest_first()) n_.record_left_seq(e.item);
    for (const auto& e : sl.ins) {
        const Tuple& t = e.item;
        Key k = env_.key_of_left(i_, t);
        n_.lefts.push_back(t, k);
        for (FactId f : right_bucket(k)) {
            if (skip_expired_fact(f)) continue;
            if (env_.allowed(i_, t, f)) add_child(t, f, e.stamp, kFromLeftInsert);
        }
    }
}

void JoinEval::temporal_inserts(const Staged<Tuple>& sl, const Staged<FactId>& sr) {
    std::vector<FactId> before = n_.rights.items();
    // Same-batch mode: the same events arrive on both inputs at once (a pattern
    // joined with its own type), so pairs within the batch need a fixed order.
    std::vector<FactId> a, b;
    bool all_single = true;
    for (const auto& e : sl.ins) {
        if (e.item.size() == 1) {
            a.push_back(e.item.front());
        } else {
            all_single = false;
        }
    }
    for (const auto& e : sr.ins) {
        if (e.flag != kLateRightInsert) b.push_back(e.item);
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (!a.empty() && all_single && a == b) {
        temporal_same_batch(sl, before);
    } else {
        temporal_normal(sl, sr, before);
    }
}

void JoinEval::temporal_normal(const Staged<Tuple>& sl, const Staged<FactId>& sr, const std::vector<FactId>& before) {
    for (const auto& e : sl.ins) n_.record_left_seq(e.item);
    for (const auto& e : sl.ins) {
        n_.left_marks.insert_or_assign(e.item, env_.mark());
        n_.lefts.push_back(e.item, env_.key_of_left(i_, e.item));
    }
    for (const auto& e : sr_ins_iter(env_, sr.ins)) {
        if (e.flag == kLateRightInsert) continue;
        FactId f = e.item;
        n_.rights.push_back(f, env_.key_of_right(i_, f));
        auto rank_of = [&](const Tuple& t) -> uint64_t {
            auto it = n_.left_ranks.find(t);
            return it == n_.left_ranks.end() ? 0 : it->second;
        };
        auto rit = n_.right_ranks.find(f);
        uint64_t cut = rit == n_.right_ranks.end() ? 0 : rit->second;
        // Lefts that arrived after this fact first, then the rest, each by arrival.
        struct Cand {
            bool later;
            uint64_t rank;
            uint64_t seq;
            Tuple t;
        };
        std::vector<Cand> cands;
        cands.reserve(n_.lefts.size());
        for (const auto& le : n_.lefts) {
            uint64_t r = rank_of(le.item);
            cands.push_back(Cand{r > cut, r, n_.left_seq(le.item), le.item});
        }
        std::stable_sort(cands.begin(), cands.end(), [](const Cand& x, const Cand& y) {
            if (x.later != y.later) return x.later;
            if (x.rank != y.rank) return x.rank < y.rank;
            return x.seq < y.seq;
        });
        for (const Cand& c : cands) {
            if (skip_expired_tuple(c.t)) continue;
            if (env_.allowed(i_, c.t, f)) add_child(c.t, f, e.stamp, kFromRightInsert);
        }
    }
    // New lefts meet the facts that were there before this batch; the batch's
    // own right inserts met them above, so each pair is tested once.
    for (const auto& e : sl.ins) {
        for (FactId f : before) {
            if (skip_expired_fact(f)) continue;
            if (env_.allowed(i_, e.item, f)) add_child(e.item, f, e.stamp, kFromLeftInsert);
        }
    }
}

void JoinEval::temporal_same_batch(const Staged<Tuple>& sl, const std::vector<FactId>& before) {
    std::vector<Tuple> older = n_.lefts.items();
    std::stable_sort(older.begin(), older.end(),
                     [&](const Tuple& x, const Tuple& y) { return n_.left_seq(x) < n_.left_seq(y); });
    for (const auto& e : sl.ins.oldest_first()) {
        n_.record_left_seq(e.item);
        n_.left_marks.insert_or_assign(e.item, env_.mark());
    }
    // P: the batch newest first, each event as a tuple and as a fact.
    std::vector<const Tuple*> p;
    for (const auto& e : sl.ins) p.push_back(&e.item);
    for (auto it = p.rbegin(); it != p.rend(); ++it) n_.lefts.push_back(**it, env_.key_of_left(i_, **it));
    for (auto it = p.rbegin(); it != p.rend(); ++it) {
        FactId f = (*it)->front();
        n_.rights.push_back(f, env_.key_of_right(i_, f));
    }
    const Stamp s = sl.ins.front().stamp;
    for (size_t k = 0; k < p.size(); ++k) {
        const Tuple& tk = *p[k];
        FactId fk = tk.front();
        // The event as right fact: strictly older events of the batch (oldest
        // first), then the lefts that were there before.
        for (size_t m = p.size(); m-- > k + 1;) {
            const Tuple& t = *p[m];
            if (skip_expired_tuple(t)) continue;
            if (env_.allowed(i_, t, fk)) add_child(t, fk, s, kFromRightInsert);
        }
        for (const Tuple& t : older) {
            if (skip_expired_tuple(t)) continue;
            if (env_.allowed(i_, t, fk)) add_child(t, fk, s, kFromRightInsert);
        }
        if (!skip_expired_tuple(tk) && env_.allowed(i_, tk, fk)) add_child(tk, fk, s, kFromRightInsert);
        // The event as left tuple: strictly older events, then the facts from before.
        for (size_t m = p.size(); m-- > k + 1;) {
            FactId g = p[m]->front();
            if (skip_expired_fact(g)) continue;
            if (env_.allowed(i_, tk, g)) add_child(tk, g, s, kFromLeftInsert);
        }
        for (FactId g : before) {
            if (skip_expired_fact(g)) continue;
            if (env_.allowed(i_, tk, g)) add_child(tk, g, s, kFromLeftInsert);
        }
    }
}

void JoinEval::late_right_inserts(const Staged<FactId>& sr) {
    for (const auto& e : sr_ins_iter(env_, sr.ins)) {
        if (e.flag != kLateRightInsert) continue;
        FactId f = e.item;
        Key k = env_.key_of_right(i_, f);
        n_.rights.push_back(f, k);
        std::vector<Tuple> bucket = left_bucket(k);
        std::stable_sort(bucket.begin(), bucket.end(),
                         [&](const Tuple& x, const Tuple& y) { return n_.left_seq(x) > n_.left_seq(y); });
        for (const Tuple& t : bucket) {
            if (env_.allowed(i_, t, f)) add_child(t, f, e.stamp, kFromRightInsert);
        }
    }
}

void JoinEval::trace_closing() const {
    env_.trace(fmt("  trg ins={} upd={} del={}", debug(out_.trg.ins), debug(out_.trg.upd), debug(out_.trg.del)));
    env_.trace(fmt("  rights={} lefts={}", debug(n_.rights), debug(n_.lefts)));
    // Facts ascending, so that one run always traces the same way.
    std::vector<FactId> facts;
    facts.reserve(n_.by_right.size());
    for (const auto& entry : n_.by_right) facts.push_back(entry.first);
    std::sort(facts.begin(), facts.end());
    for (FactId f : facts) {
        std::vector<Tuple> alive;
        for (size_t p : n_.alive_positions(&n_.by_right.at(f))) alive.push_back(n_.children[p].tuple);
        env_.trace(fmt("  post by_right[{}] alive={}", debug_fact_id(f), debug(alive)));
    }
}

}  // namespace

void do_join_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out) {
    JoinEval(env, i, node, out).run(sl, sr);
}

std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins) {
    std::vector<StagedEntry<FactId>> out(ins.begin(), ins.end());
    if (right_inserts_tail_first(env)) std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace quarn
