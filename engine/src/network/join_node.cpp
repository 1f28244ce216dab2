// Join node evaluation: applies one batch of left and right changes to a join
// node and stages the resulting child inserts, updates and deletes.
//
// Phases, in order: right deletes, left deletes, updates (a first pass that
// re-keys and reorders the children lists so they follow memory order, then a
// merge walk per updated fact and per updated tuple that re-emits kept children
// in place), inserts (plain or temporal), late right inserts (RightInsert).
#include <algorithm>

#include "common/internal_error.h"
#include "common/text.h"
#include "network/network.h"
#include "network/trace_form.h"
#include "network/node_eval.h"
#include "network/walk_ahead.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

// The key of an entry missing from its memory.
const Key kMissingKey;

// Calls fn on the staged right inserts in the order evaluations take them
// (see sr_ins_iter), without copying them.
template <class Fn>
void for_each_right_insert(bool tail_first, const EntryList<FactId>& ins, Fn fn) {
    if (tail_first) {
        for (const auto& e : ins.oldest_first()) fn(e);
    } else {
        for (const auto& e : ins) fn(e);
    }
}

class JoinEval {
public:
    JoinEval(const JoinEnv& env, size_t i, Node& node, Out& out)
        : env_(env), tt_(env.tuples()), i_(i), n_(node), out_(out),
          lbucket_(std::exchange(NodeInternals::scratch_tuples(node), {})), rbucket_(std::exchange(NodeInternals::scratch_facts(node), {})),
          alive_(NodeInternals::scratch_children(node, 0)), leaving_(NodeInternals::scratch_children(node, 1)),
          key_decides_(node.keyed() && env.key_decides(i)) {}
    ~JoinEval() {
        lbucket_.clear();
        rbucket_.clear();
        NodeInternals::scratch_tuples(n_) = std::move(lbucket_);
        NodeInternals::scratch_facts(n_) = std::move(rbucket_);
    }
    JoinEval(const JoinEval&) = delete;

    void run(Staged<TupleId>& sl, Staged<FactId>& sr);

private:
    TupleView view(TupleId t) const { return tt_.view(t); }
    bool allowed(TupleId t, FactId f) const { return env_.allowed(i_, view(t), f); }
    const Key& key_of_left(TupleId t) {
        key_.reset();
        env_.key_of_left(i_, view(t), key_);
        return key_;
    }
    const Key& key_of_right(FactId f) {
        key_.reset();
        env_.key_of_right(i_, f, key_);
        return key_;
    }

    // A child leaves: dead, out of its lists, and its delete staged (which may
    // cancel an insert the child has not consumed yet).
    void remove_child(size_t p, const Stamp& s) {
        TupleId t = n_.child(p).tuple;
        n_.kill_child(p);
        out_.child_del(t, s);
    }
    void remove_all(const std::vector<size_t>& list, const Stamp& s) {
        for (size_t p : list) remove_child(p, s);
    }
    [[gnu::always_inline]] void add_child(TupleId t, FactId f, const Stamp& s, StagedFlag flag) {
        bool made;
        const TupleId c = n_.create_child(tt_, t, f, made);
        // A tuple made just now has never been staged anywhere, so nothing
        // staged can cancel or hold a place for it; one made before may have been.
        if (made) {
            out_.trg.add_ins_new(c, s, flag);
        } else {
            out_.trg.add_ins_ph(c, s, flag);
        }
    }
    void add_child(TupleId t, FactId f, const Stamp& s, StagedFlag flag, std::optional<size_t> left_before,
                   std::optional<size_t> right_before) {
        out_.trg.add_ins_ph(n_.create_child(tt_, t, f, left_before, right_before), s, flag);
    }
    bool tuple_expired(TupleId t) const {
        TupleView v = view(t);
        return std::any_of(v.begin(), v.end(), [&](FactId f) { return env_.is_expired(f); });
    }
    bool skip_expired_tuple(TupleId t) const { return skip_expired_ && tuple_expired(t); }
    bool skip_expired_fact(FactId f) const { return skip_expired_ && env_.is_expired(f); }

    // Buckets: with an equality key, the entries whose key matches; otherwise
    // every entry (allowed makes the full test). Filled into `out`; `decided`
    // says whether the keys alone settle the test for every entry in it.
    template <class U>
    void bucket_in(const Memory<U>& m, const Key& k, std::vector<U>& out, bool& decided) const {
        out.clear();
        decided = false;
        if (!n_.keyed()) {
            m.items(out);
        } else if (k) {
            bool equal = false;
            m.matching(k, out, &equal);
            decided = equal && keys_decide(k);
        }
    }
    void left_bucket(const Key& k, std::vector<TupleId>& out, bool& decided) const {
        bucket_in(NodeInternals::lefts(n_), k, out, decided);
    }
    void right_bucket(const Key& k, std::vector<FactId>& out, bool& decided) const {
        bucket_in(NodeInternals::rights(n_), k, out, decided);
    }
    // Whether entries found under a key equal to k value for value pass the
    // test on the keys alone.
    bool keys_decide(const Key& k) const { return key_decides_ && key_equality_is_exact(k); }
    // Stores `item` under `key` in `mine` (the key moved away), having found
    // the other memory's bucket for it, as left_bucket and right_bucket do:
    // handed back in `out`, and as the span returned.
    template <class T, class U>
    std::span<const U> store_probing(Memory<T>& mine, T item, Key& key, const Memory<U>& other,
                                     std::vector<U>& out, bool& decided) const {
        out.clear();
        decided = false;
        if (!n_.keyed()) {
            other.items(out);
            mine.push_back(item, std::move(key));
            return out;
        }
        bool equal = false;
        const bool exact = key && keys_decide(key);
        mine.push_back_matching(item, std::move(key), other, out, &equal);
        decided = exact && equal;
        return out;
    }
    // The same for a key that is the integer word v, of class hash h and
    // index hash slot_hash (WordKeys). The span alone says what was found
    // (Memory::push_back_matching_int), and holds until either memory
    // changes; `decided` is left as it was when it is empty.
    template <class T, class U>
    std::span<const U> store_probing(Memory<T>& mine, T item, int64_t v, uint64_t h, size_t slot_hash,
                                     const Memory<U>& other, std::vector<U>& out, bool& decided) const {
        bool equal = false;
        const std::span<const U> found = mine.push_back_matching_int(item, v, h, slot_hash, other, out, &equal);
        // Asked only where there is something to decide: a long batch into
        // an empty memory finds nothing each time.
        if (!found.empty()) decided = key_decides_ && equal;
        return found;
    }
    // The keys of a block of n left tuples (right facts) walked ahead, as
    // integer words hashed through `words` where it is given and the
    // environment allows, else as Keys.
    template <class T>
    void walked_keys(const T* items, size_t n, WordKeys& keys, WordHashes* words) const {
        constexpr bool kLeft = std::is_same_v<T, TupleId>;
        uint32_t got = 0;
        if constexpr (kLeft) {
            if (words) got = env_.int_keys_of_left(i_, items, n, keys.word.data());
        } else {
            if (words) got = env_.int_keys_of_right(i_, items, n, keys.word.data());
        }
        if (got != 0) {
            words->set(keys, n, got);
        } else {
            keys.words = 0;
        }
        if (got == (uint32_t{1} << n) - 1) return;
        for (size_t j = 0; j < n; ++j) {
            if (keys.is_word(j)) continue;
            keys.keys[j].reset();
            if constexpr (kLeft) {
                env_.key_of_left(i_, view(items[j]), keys.keys[j]);
            } else {
                env_.key_of_right(i_, items[j], keys.keys[j]);
            }
        }
    }
    // Whether `item` is stored (by its first entry) under a key that
    // keys_match accepts against `probe`, given the probe's bucket in that
    // memory (left_bucket, right_bucket). While every item is held once, the
    // bucket lists exactly those items, so the item is looked for there
    // instead of in the memory: the bucket is at hand, the item's entry is
    // not. A caller that asks once per bucket searches it whole; one asking
    // per child, only a short one.
    template <class T>
    static bool stored_key_matches(const Memory<T>& memory, T item, const Key& probe, const std::vector<T>& bucket,
                                   bool once_per_bucket) {
        if (bucket.empty()) return false;
        if (memory.holds_items_once() && (once_per_bucket || bucket.size() <= kShortBucket)) {
            return std::find(bucket.begin(), bucket.end(), item) != bucket.end();
        }
        const auto stored = memory.find_first(item);
        return stored && stored->key && probe && keys_match(stored->key, probe);
    }
    static constexpr size_t kShortBucket = 16;
    // stored_key_matches for tuple t against the key of f's entry, given
    // that key's bucket in the left memory: the key is looked up only where
    // the bucket alone cannot tell.
    bool right_key_reaches(FactId f, TupleId t, const std::vector<TupleId>& bucket) const {
        const Memory<TupleId>& lefts = NodeInternals::lefts(n_);
        if (bucket.empty()) return false;
        if (lefts.holds_items_once()) return std::find(bucket.begin(), bucket.end(), t) != bucket.end();
        const auto stored = NodeInternals::rights(n_).find_first(f);
        return stored_key_matches(lefts, t, stored ? stored->key : kMissingKey, bucket, true);
    }

    // stored_key_matches for fact f against the key of t's entry, given
    // that key's bucket in the right memory: the key is looked up only where
    // the bucket alone cannot tell.
    bool left_key_reaches(TupleId t, FactId f, const std::vector<FactId>& bucket) const {
        const Memory<FactId>& rights = NodeInternals::rights(n_);
        if (bucket.empty()) return false;
        if (rights.holds_items_once() && bucket.size() <= kShortBucket) {
            return std::find(bucket.begin(), bucket.end(), f) != bucket.end();
        }
        const auto stored = NodeInternals::lefts(n_).find_first(t);
        return stored_key_matches(rights, f, stored ? stored->key : kMissingKey, bucket, false);
    }

    // Out of line, so that their long walks keep their registers whatever
    // the evaluation around them grows to.
    [[gnu::noinline]] void right_deletes(const Staged<FactId>& sr);
    void left_deletes(const Staged<TupleId>& sl);
    [[gnu::noinline]] void right_updates_rekey(const Staged<FactId>& sr);
    void left_updates_rekey(const Staged<TupleId>& sl);
    void right_updates_join(const Staged<TupleId>& sl, const Staged<FactId>& sr);
    // Removes from a right update's children (alive_, in left memory order)
    // those whose parent the fact's new key no longer reaches, given that
    // key's bucket and whether it reaches the first child's parent. No
    // parent can stand for the others: keys that mix integers with floats
    // reach unevenly (I64(0) and F64(0.25) both meet I64(0), while NaN
    // meets I64(0) alone). Out of line: most updates never call it.
    [[gnu::noinline]] void drop_children_out_of_reach(FactId f, const std::vector<TupleId>& bucket,
                                                      const HashSet<TupleId>& left_updated, bool first_reached,
                                                      const Stamp& s);
    // Whether every child's parent is in the bucket, both in left memory order.
    bool parents_in_bucket(const std::vector<size_t>& children, const std::vector<TupleId>& bucket) const;
    void left_updates_join(const Staged<TupleId>& sl);
    // Always inlined into run: left to the unit's inlining budget, it stays
    // out of line whenever a child's making grows a little, and a one-fact
    // evaluation costs some 20 Ir more.
    [[gnu::always_inline]] void plain_inserts(const Staged<TupleId>& sl, const Staged<FactId>& sr);
    void temporal_inserts(const Staged<TupleId>& sl, const Staged<FactId>& sr);
    void temporal_normal(const Staged<TupleId>& sl, const Staged<FactId>& sr, const std::vector<FactId>& before);
    void temporal_same_batch(const Staged<TupleId>& sl, const std::vector<FactId>& before);
    void late_right_inserts(const Staged<FactId>& sr);
    void trace_closing() const;

    const JoinEnv& env_;
    TupleTable& tt_;
    size_t i_;
    Node& n_;
    Out& out_;
    bool tracing_ = false;
    bool tail_first_ = false;
    bool unlinked_rights_ = false;  // a right insert flagged UnlinkedArrival is staged
    bool late_rights_ = false;      // a right insert flagged RightInsert is staged
    bool skip_expired_ = false;     // inserts pass over partners holding an expired fact (set before them)
    Key key_;                        // scratch for keys asked of the environment
    std::vector<TupleId> lbucket_;   // borrowed from the node
    std::vector<FactId> rbucket_;    // borrowed from the node
    // The node's own scratch lists, each filled afresh where it is used:
    std::vector<size_t>& alive_;    // children positions of the entry being updated
    std::vector<size_t>& leaving_;  // the same, for the pass that drops children whose keys moved apart
    bool key_decides_;               // equal keys settle the join test (JoinEnv::key_decides)
};

void JoinEval::run(Staged<TupleId>& sl, Staged<FactId>& sr) {
    tracing_ = tracing_on(env_);
    // One right insert is taken the same way in either order.
    tail_first_ = sr.ins.size() > 1 && right_inserts_tail_first(env_);
    // One walk says which kinds of right insert the batch holds, where it
    // may hold other than plain ones.
    if (sr.ins.may_hold(StagedFlag::UnlinkedArrival) || sr.ins.may_hold(StagedFlag::RightInsert)) {
        for (const auto& e : sr.ins) {
            unlinked_rights_ = unlinked_rights_ || e.flag == StagedFlag::UnlinkedArrival;
            late_rights_ = late_rights_ || e.flag == StagedFlag::RightInsert;
        }
    }
    if (tracing_) {
        env_.trace(fmt("do_node[{}] sl(ins={} upd={} del={}) sr(ins={} upd={} del={})", i_, debug(tt_, sl.ins),
                       debug(tt_, sl.upd), debug(tt_, sl.del), debug(sr.ins), debug(sr.upd), debug(sr.del)));
    }
    if (!sr.del.empty()) right_deletes(sr);
    if (!sl.del.empty()) left_deletes(sl);
    if (!sr.upd.empty()) right_updates_rekey(sr);
    if (!sl.upd.empty()) left_updates_rekey(sl);
    // From here on the children lists of every tuple and fact follow memory order.
    if (!sr.upd.empty()) right_updates_join(sl, sr);
    if (!sl.upd.empty()) left_updates_join(sl);
    // The environment's answer holds for the whole evaluation: asked once.
    if (!sl.ins.empty() || !sr.ins.empty()) skip_expired_ = !env_.join_expired();
    if (n_.temporal()) {
        temporal_inserts(sl, sr);
    } else {
        plain_inserts(sl, sr);
    }
    if (late_rights_) late_right_inserts(sr);
    if (tracing_) trace_closing();
}

void JoinEval::right_deletes(const Staged<FactId>& sr) {
    for (const auto& e : sr.del) {
        NodeInternals::rights(n_).remove_first(e.item);
        n_.children_of_right(e.item, alive_);
        remove_all(alive_, e.stamp);
    }
}

void JoinEval::left_deletes(const Staged<TupleId>& sl) {
    for (const auto& e : sl.del) {
        NodeInternals::lefts(n_).remove_first(e.item);
        n_.children_of_left(e.item, alive_);
        remove_all(alive_, e.stamp);
    }
}

void JoinEval::right_updates_rekey(const Staged<FactId>& sr) {
    Memory<FactId>& rights = NodeInternals::rights(n_);
    // A key that comes as an integer word re-keys without a Key: mostly it
    // is the one the entry holds.
    const bool words = n_.keyed() && env_.int_keys(i_);
    for (const auto& e : sr.upd) {
        FactId f = e.item;
        int64_t v;
        if (words && env_.int_key_of_right(i_, f, v)) {
            rights.rekey_to_back_int(f, v);
        } else if (rights.contains(f)) {
            rights.rekey_to_back(f, key_of_right(f));
        }
        n_.move_children_of_right_to_end_of_left(f);
    }
}

void JoinEval::left_updates_rekey(const Staged<TupleId>& sl) {
    if (sl.upd.size() == 1) {
        // One update: the entry moves to the end under its new key in place.
        const TupleId t = sl.upd.front().item;
        Memory<TupleId>& lefts = NodeInternals::lefts(n_);
        // A key that comes as an integer word re-keys without a Key where
        // the entry holds it already, as on the right.
        int64_t v;
        const bool word = n_.keyed() && env_.int_keys(i_) && env_.int_key_of_left(i_, view(t), v);
        if (word ? !lefts.rekey_to_back_int(t, v) : !lefts.rekey_to_back(t, key_of_left(t))) {
            lefts.push_back(t, key_of_left(t));
        }
        n_.children_of_left(t, alive_);
        for (size_t p : alive_) n_.move_child_to_end_of_right(p);
        return;
    }
    for (const auto& e : sl.upd) NodeInternals::lefts(n_).remove_first(e.item);
    for (const auto& e : sl.upd) {
        TupleId t = e.item;
        NodeInternals::lefts(n_).push_back(t, key_of_left(t));
        n_.children_of_left(t, alive_);
        for (size_t p : alive_) n_.move_child_to_end_of_right(p);
    }
}

void JoinEval::right_updates_join(const Staged<TupleId>& sl, const Staged<FactId>& sr) {
    HashSet<TupleId> left_updated;
    for (const auto& e : sl.upd) left_updated.insert(e.item);
    std::vector<TupleId>& bucket = lbucket_;
    for (const auto& e : sr.upd) {
        FactId f = e.item;
        const Stamp& s = e.stamp;
        bool decided = false;
        if (n_.keyed()) {
            // The bucket of the key the fact's entry holds (none when the
            // fact is not held).
            bucket.clear();
            bool equal = false, exact = false;
            NodeInternals::rights(n_).stored_key_matching(f, NodeInternals::lefts(n_), bucket, &equal, &exact);
            decided = equal && exact && key_decides_;
        } else {
            left_bucket(kMissingKey, bucket, decided);
        }
        std::vector<size_t>& alive = alive_;
        n_.ordered_children_of_right(f, alive);
        if (n_.keyed() && !alive.empty()) {
            // Most facts keep their key and have one child, whose parent it still reaches.
            const bool first_reached = right_key_reaches(f, n_.child(alive.front()).parent, bucket);
            if (!first_reached || alive.size() > 1) drop_children_out_of_reach(f, bucket, left_updated, first_reached, s);
        }
        std::optional<size_t> first;
        if (!alive.empty()) first = alive.front();
        if (tracing_) {
            const auto stored = NodeInternals::rights(n_).find_first(f);
            env_.trace(fmt("  rupd f={} rkey={} bucket={} first_child={}", debug_fact_id(f),
                           debug_key(stored ? stored->key : kMissingKey), debug(tt_, bucket),
                           first ? fmt("Some({})", *first) : std::string("None")));
        }
        if (bucket.empty()) continue;
        if (!first) {
            for (TupleId t : bucket) {
                if (left_updated.contains(t)) continue;
                if (decided || allowed(t, f)) add_child(t, f, s, StagedFlag::Change);
            }
            continue;
        }
        // Merge walk: the bucket and the fact's alive children are both in left
        // memory order, so a kept child is met exactly where its parent is.
        // (`alive` is as listed above: nothing has left since.)
        size_t j = 0;
        for (TupleId t : bucket) {
            if (left_updated.contains(t)) continue;
            std::optional<size_t> c;
            Child at;
            if (j < alive.size()) {
                c = alive[j];
                at = n_.child(*c);
            }
            bool at_cursor = c && at.parent == t;
            bool ok = decided || allowed(t, f);
            if (ok && at_cursor) {
                out_.child_upd(at.tuple, s, StagedFlag::Change);
                n_.move_child_to_end_of_left(*c);
                ++j;
            } else if (ok) {
                add_child(t, f, s, StagedFlag::Change, std::nullopt, c);
            } else if (at_cursor) {
                remove_child(*c, s);
                ++j;
            }
        }
    }
}

void JoinEval::drop_children_out_of_reach(FactId f, const std::vector<TupleId>& bucket,
                                          const HashSet<TupleId>& left_updated, bool first_reached, const Stamp& s) {
    std::vector<size_t>& alive = alive_;
    if (first_reached && parents_in_bucket(alive, bucket)) return;
    if (!first_reached && (alive.size() == 1 || bucket.empty())) {
        remove_all(alive, s);
        alive.clear();
        return;
    }
    // Each parent is tested: those the new key reaches stay, the rest go.
    // A child of a tuple updated in this batch is left to the left pass
    // while the first parent is reached, and goes when it is not, as it did
    // when the first parent stood for all.
    const Memory<TupleId>& lefts = NodeInternals::lefts(n_);
    const auto stored = NodeInternals::rights(n_).find_first(f);
    const Key& key = stored ? stored->key : kMissingKey;
    size_t kept = 0;
    for (size_t p : alive) {
        const TupleId t = n_.child(p).parent;
        const bool stays = left_updated.contains(t) ? first_reached : stored_key_matches(lefts, t, key, bucket, false);
        if (stays) {
            alive[kept++] = p;
        } else {
            remove_child(p, s);
        }
    }
    alive.resize(kept);
}

bool JoinEval::parents_in_bucket(const std::vector<size_t>& children, const std::vector<TupleId>& bucket) const {
    // Both lists follow left memory order, so the parents, where all are in
    // the bucket, are met in one walk along it.
    size_t at = 0;
    for (size_t p : children) {
        const TupleId t = n_.child(p).parent;
        while (at < bucket.size() && bucket[at] != t) ++at;
        if (at == bucket.size()) return false;
        ++at;
    }
    return true;
}

void JoinEval::left_updates_join(const Staged<TupleId>& sl) {
    std::vector<FactId>& bucket = rbucket_;
    for (const auto& e : sl.upd) {
        TupleId t = e.item;
        const Stamp& s = e.stamp;
        bool decided = false;
        std::vector<size_t>& alive = alive_;
        if (n_.keyed()) {
            // The bucket of the key the tuple's entry holds (none when the
            // tuple is not held).
            bucket.clear();
            bool equal = false, exact = false;
            NodeInternals::lefts(n_).stored_key_matching(t, NodeInternals::rights(n_), bucket, &equal, &exact);
            decided = equal && exact && key_decides_;
            // Children whose right fact's key no longer matches leave; the
            // others, in list order, are the tuple's list after them.
            n_.ordered_children_of_left(t, leaving_);  // a copy: removals unlink from the list walked
            alive.clear();
            for (size_t p : leaving_) {
                const std::optional<FactId> g = n_.child(p).right;
                if (!g) invariant_broken("join child has a right parent");
                if (left_key_reaches(t, *g, bucket)) {
                    alive.push_back(p);
                } else {
                    remove_child(p, s);
                }
            }
        } else {
            right_bucket(kMissingKey, bucket, decided);
            n_.order_children_of_left(t);
        }
        if (bucket.empty()) continue;
        if (!n_.keyed()) n_.children_of_left(t, alive);
        if (alive.empty()) {
            for (FactId f : bucket) {
                if (decided || allowed(t, f)) add_child(t, f, s, StagedFlag::Change);
            }
            continue;
        }
        size_t j = 0;
        for (FactId f : bucket) {
            std::optional<size_t> c;
            if (j < alive.size()) c = alive[j];
            bool at_cursor = c && n_.child(*c).right == f;
            bool ok = decided || allowed(t, f);
            if (ok && at_cursor) {
                out_.child_upd(n_.child(*c).tuple, s, StagedFlag::Change);
                n_.move_child_to_end_of_right(*c);
                ++j;
            } else if (ok) {
                add_child(t, f, s, StagedFlag::Change, c, std::nullopt);
            } else if (at_cursor) {
                remove_child(*c, s);
                ++j;
            }
        }
    }
}

inline void JoinEval::plain_inserts(const Staged<TupleId>& sl, const Staged<FactId>& sr) {
    // Which right inserts join here, in which order: UnlinkedArrival entries as
    // staged followed by plain ones oldest first; without UnlinkedArrival, all
    // but the late ones (RightInsert) as staged.
    auto join_right_keyed = [&](const StagedEntry<FactId>& e, auto& key) {
        FactId f = e.item;
        // The left memory is probed before the fact is stored: the key is at
        // hand, and storing it touches only the right memory.
        bool decided = false;
        auto found = store_probing(NodeInternals::rights(n_), f, key, NodeInternals::lefts(n_), lbucket_, decided);
        for (TupleId t : found) {
            if (skip_expired_tuple(t)) continue;
            if (decided || allowed(t, f)) add_child(t, f, e.stamp, StagedFlag::RightInsert);
        }
    };
    auto join_right = [&](const StagedEntry<FactId>& e) {
        key_of_right(e.item);
        join_right_keyed(e, key_);
    };
    // The same for a fact walked ahead, its key a Key or an integer word with
    // its hashes (walk_blocks_ahead).
    auto join_right_walked = [&](FactId f, const StampBits& s, auto&&... key) {
        bool decided = false;
        auto found = store_probing(NodeInternals::rights(n_), f, key..., NodeInternals::lefts(n_), lbucket_, decided);
        for (TupleId t : found) {
            if (skip_expired_tuple(t)) continue;
            if (decided || allowed(t, f)) add_child(t, f, s.stamp(), StagedFlag::RightInsert);
        }
    };
    const bool one_index = NodeInternals::lefts(n_).shares_index_with(NodeInternals::rights(n_));
    auto warm = [&](const Key& k) {
        NodeInternals::lefts(n_).prefetch_bucket(k);
        if (!one_index) NodeInternals::rights(n_).prefetch_bucket(k);
    };
    const bool ahead = n_.keyed();
    // Keys walked ahead come as integer words where the environment reads a
    // one-field key so; the words probe the one index both memories share.
    const bool words = ahead && one_index && env_.int_keys(i_);
    auto warm_walked = [&](const WordKeys& keys, size_t n) {
        if (keys.words == (uint32_t{1} << n) - 1) {
            for (size_t j = 0; j < n; ++j) NodeInternals::key_index(n_).prefetch_hashed(keys.slot_hash[j]);
            return;
        }
        for (size_t j = 0; j < n; ++j) {
            if (keys.is_word(j)) {
                NodeInternals::key_index(n_).prefetch_hashed(keys.slot_hash[j]);
            } else {
                warm(keys.keys[j]);
            }
        }
    };
    if (unlinked_rights_) {
        for (const auto& e : sr.ins) {
            if (e.flag == StagedFlag::UnlinkedArrival) join_right(e);
        }
        for (const auto& e : sr.ins.oldest_first()) {
            if (e.flag == StagedFlag::Insert) join_right(e);
        }
    } else if (ahead && sr.ins.size() >= kWalkAheadFrom) {
        NodeInternals::rights(n_).expect_pushes(sr.ins.size());
        WordHashes hashes;
        auto reader = sr.ins.blocks(StagedFlag::RightInsert);
        walk_blocks_ahead<FactId, StampBits>(
            [&](FactId* facts, StampBits* stamps) {
                return reader.read(kWalkBlock, facts, stamps);
            },
            [&](const FactId* facts, size_t n, WordKeys& keys) {
                walked_keys(facts, n, keys, words ? &hashes : nullptr);
                warm_walked(keys, n);
            },
            join_right_walked);
        NodeInternals::rights(n_).expect_pushes(0);
    } else {
        for (const auto& e : sr.ins) {
            if (e.flag != StagedFlag::RightInsert) join_right(e);
        }
    }
    // A left tuple, its key a Key or an integer word with its hashes.
    auto join_left_keyed = [&](TupleId t, const StampBits& s, auto&&... key) {
        bool decided = false;
        auto found = store_probing(NodeInternals::lefts(n_), t, key..., NodeInternals::rights(n_), rbucket_, decided);
        for (FactId f : found) {
            if (skip_expired_fact(f)) continue;
            if (decided || allowed(t, f)) add_child(t, f, s.stamp(), StagedFlag::Insert);
        }
    };
    if (ahead && sl.ins.size() >= kWalkAheadFrom) {
        // The tuples are numbered as the walk meets them.
        const bool seqs = n_.begin_left_seqs(sl.ins.size());
        if (!seqs) {
            for (const auto& e : sl.ins.oldest_first()) n_.record_left_seq(e.item);
        }
        size_t place = 0;
        NodeInternals::lefts(n_).expect_pushes(sl.ins.size());
        WordHashes hashes;
        auto reader = sl.ins.blocks();
        walk_blocks_ahead<TupleId, StampBits>(
            [&](TupleId* tuples, StampBits* stamps) {
                return reader.read(kWalkBlock, tuples, stamps);
            },
            [&](const TupleId* tuples, size_t n, WordKeys& keys) {
                if (seqs) n_.note_left_seqs(tuples, n, place);
                place += n;
                walked_keys(tuples, n, keys, words ? &hashes : nullptr);
                warm_walked(keys, n);
            },
            join_left_keyed);
        NodeInternals::lefts(n_).expect_pushes(0);
        if (seqs) n_.end_left_seqs(sl.ins.oldest_first());
    } else {
        for (const auto& e : sl.ins.oldest_first()) n_.record_left_seq(e.item);
        for (const auto& e : sl.ins) {
            key_of_left(e.item);
            join_left_keyed(e.item, StampBits{e.stamp.value_or(0), e.stamp.has_value()}, key_);
        }
    }
}

void JoinEval::temporal_inserts(const Staged<TupleId>& sl, const Staged<FactId>& sr) {
    if (sl.ins.empty() && sr.ins.empty()) return;
    // The facts stored before this batch, which only new lefts meet: right
    // inserts alone (an event stream into a node holding many) cost what
    // they join, not the memory.
    std::vector<FactId> before;
    if (!sl.ins.empty()) {
        NodeInternals::rights(n_).items(before);
        NodeInternals::temporal_reads(n_) += before.size();
    }
    // Same-batch mode: the same events arrive on both inputs at once (a pattern
    // joined with its own type), so pairs within the batch need a fixed order.
    std::vector<FactId> a, b;
    bool all_single = true;
    for (const auto& e : sl.ins) {
        TupleView v = view(e.item);
        if (v.size() == 1) {
            a.push_back(v.front());
        } else {
            all_single = false;
        }
    }
    for (const auto& e : sr.ins) {
        if (e.flag != StagedFlag::RightInsert) b.push_back(e.item);
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (!a.empty() && all_single && a == b) {
        temporal_same_batch(sl, before);
    } else {
        temporal_normal(sl, sr, before);
    }
}

void JoinEval::temporal_normal(const Staged<TupleId>& sl, const Staged<FactId>& sr, const std::vector<FactId>& before) {
    for (const auto& e : sl.ins) n_.record_left_seq(e.item);
    for (const auto& e : sl.ins) {
        n_.set_left_mark(e.item, env_.mark());
        NodeInternals::lefts(n_).push_back(e.item, key_of_left(e.item));
    }
    for_each_right_insert(tail_first_, sr.ins, [&](const StagedEntry<FactId>& e) {
        if (e.flag == StagedFlag::RightInsert) return;
        FactId f = e.item;
        NodeInternals::rights(n_).push_back(f, key_of_right(f));
        uint64_t cut = n_.right_rank(f);
        // Lefts that arrived after this fact first, then the rest, each by arrival.
        struct Cand {
            bool later;
            uint64_t rank;
            uint64_t seq;
            TupleId t;
        };
        std::vector<Cand> cands;
        cands.reserve(NodeInternals::lefts(n_).size());
        NodeInternals::temporal_reads(n_) += NodeInternals::lefts(n_).size();
        for (const auto& le : NodeInternals::lefts(n_)) {
            uint64_t r = n_.left_rank(le.item);
            cands.push_back(Cand{r > cut, r, n_.left_seq(le.item), le.item});
        }
        std::stable_sort(cands.begin(), cands.end(), [](const Cand& x, const Cand& y) {
            if (x.later != y.later) return x.later;
            if (x.rank != y.rank) return x.rank < y.rank;
            return x.seq < y.seq;
        });
        for (const Cand& c : cands) {
            if (skip_expired_tuple(c.t)) continue;
            if (allowed(c.t, f)) add_child(c.t, f, e.stamp, StagedFlag::RightInsert);
        }
    });
    // New lefts meet the facts that were there before this batch; the batch's
    // own right inserts met them above, so each pair is tested once.
    for (const auto& e : sl.ins) {
        for (FactId f : before) {
            if (skip_expired_fact(f)) continue;
            if (allowed(e.item, f)) add_child(e.item, f, e.stamp, StagedFlag::Insert);
        }
    }
}

void JoinEval::temporal_same_batch(const Staged<TupleId>& sl, const std::vector<FactId>& before) {
    std::vector<TupleId> older = NodeInternals::lefts(n_).items();
    NodeInternals::temporal_reads(n_) += older.size();
    std::stable_sort(older.begin(), older.end(),
                     [&](TupleId x, TupleId y) { return n_.left_seq(x) < n_.left_seq(y); });
    for (const auto& e : sl.ins.oldest_first()) {
        n_.record_left_seq(e.item);
        n_.set_left_mark(e.item, env_.mark());
    }
    // P: the batch newest first, each event as a tuple and as a fact.
    std::vector<TupleId> p;
    for (const auto& e : sl.ins) p.push_back(e.item);
    for (auto it = p.rbegin(); it != p.rend(); ++it) NodeInternals::lefts(n_).push_back(*it, key_of_left(*it));
    for (auto it = p.rbegin(); it != p.rend(); ++it) {
        FactId f = view(*it).front();
        NodeInternals::rights(n_).push_back(f, key_of_right(f));
    }
    const Stamp s = sl.ins.front().stamp;
    for (size_t k = 0; k < p.size(); ++k) {
        TupleId tk = p[k];
        FactId fk = view(tk).front();
        // The event as right fact: strictly older events of the batch (oldest
        // first), then the lefts that were there before.
        for (size_t m = p.size(); m-- > k + 1;) {
            TupleId t = p[m];
            if (skip_expired_tuple(t)) continue;
            if (allowed(t, fk)) add_child(t, fk, s, StagedFlag::RightInsert);
        }
        for (TupleId t : older) {
            if (skip_expired_tuple(t)) continue;
            if (allowed(t, fk)) add_child(t, fk, s, StagedFlag::RightInsert);
        }
        if (!skip_expired_tuple(tk) && allowed(tk, fk)) add_child(tk, fk, s, StagedFlag::RightInsert);
        // The event as left tuple: strictly older events, then the facts from before.
        for (size_t m = p.size(); m-- > k + 1;) {
            FactId g = view(p[m]).front();
            if (skip_expired_fact(g)) continue;
            if (allowed(tk, g)) add_child(tk, g, s, StagedFlag::Insert);
        }
        for (FactId g : before) {
            if (skip_expired_fact(g)) continue;
            if (allowed(tk, g)) add_child(tk, g, s, StagedFlag::Insert);
        }
    }
}

void JoinEval::late_right_inserts(const Staged<FactId>& sr) {
    for_each_right_insert(tail_first_, sr.ins, [&](const StagedEntry<FactId>& e) {
        if (e.flag != StagedFlag::RightInsert) return;
        FactId f = e.item;
        const Key& k = key_of_right(f);
        NodeInternals::rights(n_).push_back(f, k);
        bool decided = false;
        left_bucket(k, lbucket_, decided);
        std::stable_sort(lbucket_.begin(), lbucket_.end(),
                         [&](TupleId x, TupleId y) { return n_.left_seq(x) > n_.left_seq(y); });
        for (TupleId t : lbucket_) {
            if (decided || allowed(t, f)) add_child(t, f, e.stamp, StagedFlag::RightInsert);
        }
    });
}

void JoinEval::trace_closing() const {
    env_.trace(fmt("  trg ins={} upd={} del={}", debug(tt_, out_.trg.ins), debug(tt_, out_.trg.upd),
                   debug(tt_, out_.trg.del)));
    env_.trace(fmt("  rights={} lefts={}", debug(NodeInternals::rights(n_)), debug(tt_, NodeInternals::lefts(n_))));
    // Facts ascending, so that one run always traces the same way.
    for (FactId f : n_.right_facts_with_children()) {
        std::vector<TupleId> alive;
        for (size_t p : n_.children_of_right(f)) alive.push_back(n_.child(p).tuple);
        env_.trace(fmt("  post by_right[{}] alive={}", debug_fact_id(f), debug(tt_, alive)));
    }
}

}  // namespace

void do_join_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out) {
    JoinEval(env, i, node, out).run(sl, sr);
}

std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins) {
    std::vector<StagedEntry<FactId>> out(ins.begin(), ins.end());
    if (right_inserts_tail_first(env)) std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace quarn
