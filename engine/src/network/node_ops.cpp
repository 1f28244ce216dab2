// Node operations the engine runs between evaluations: draining held inserts
// into memory (with or without joining them), folding a shared node's output
// into a peer's held left delta, and moving updated entries to the end of a
// memory so that memories stay in arrival order without re-evaluation; and
// the copies of a node's memories an engine-side pass puts back should it fail.
#include <algorithm>
#include <utility>

#include "common/internal_error.h"
#include "network/network.h"

namespace quarn {

// The memories' copy of the shared index, to which they are pointed. (Kept out
// of node.cpp, whose hot paths inline better without the copies' code.)
NodeMemories::NodeMemories(const NodeMemories& o) : lefts_(o.lefts_), rights_(o.rights_) {
    if (!o.key_index_) return;
    // The copies' slots are numbered as the originals', so a copy of the
    // index names them as it names those.
    key_index_ = std::make_unique<SharedKeyIndex>(*o.key_index_);
    lefts_.index_copied_to(key_index_.get());
    rights_.index_copied_to(key_index_.get());
}

NodeMemories& NodeMemories::operator=(const NodeMemories& o) {
    if (this != &o) *this = NodeMemories(o);
    return *this;
}

namespace {

// A left tuple stored by a flush gets its sequence number (once) and the
// environment's mark.
void record_left(Node& n, const JoinEnv& env, TupleId t) {
    n.record_left_seq(t);
    n.set_left_mark(t, env.mark());
}

bool tuple_expired(const JoinEnv& env, TupleView t) {
    return std::any_of(t.begin(), t.end(), [&](FactId f) { return env.is_expired(f); });
}

bool is_single(TupleView t, FactId f) { return t.size() == 1 && t[0] == f; }

}  // namespace

void Node::self_drain_delta(const JoinEnv& env, size_t i) {
    EntryList<FactId> rins = staged_rights_.ins.take();
    for (const auto& e : rins.oldest_first()) rights_.push_back(e.item, right_key(env, i, e.item));
    EntryList<TupleId> lins = staged_lefts_.ins.take();
    for (const auto& e : lins.oldest_first()) {
        record_left(*this, env, e.item);
        lefts_.push_back(e.item, left_key(env, i, e.item));
    }
}

void Node::flush_ins_delta(const JoinEnv& env, size_t i, std::vector<StagedEntry<TupleId>> extra,
                           Staged<TupleId>& trg) {
    TupleTable& tt = env.tuples();
    bool skip_expired = !env.join_expired();
    EntryList<FactId> rins = staged_rights_.ins.take();
    HashSet<FactId> taken;
    for (const auto& e : rins) taken.insert(e.item);

    // Right inserts, oldest first, against the stored lefts and against the
    // one-fact tuples [f] of this batch (a pattern joined with itself).
    for (const auto& e : rins.oldest_first()) {
        FactId f = e.item;
        Key key = right_key(env, i, f);
        rights_.push_back(f, key);
        std::vector<TupleId> cands;
        if (!keyed()) {
            lefts_.items(cands);
        } else {
            lefts_.matching(key, cands);
        }
        temporal_reads_ += cands.size();
        for (const auto& x : extra) {
            if (is_single(tt.view(x.item), f)) cands.push_back(x.item);
        }
        for (const auto& x : staged_lefts_.ins) {
            if (is_single(tt.view(x.item), f)) cands.push_back(x.item);
        }
        for (TupleId t : cands) {
            if (skip_expired && tuple_expired(env, tt.view(t))) continue;
            if (!env.allowed(i, tt.view(t), f)) continue;
            trg.add_ins_ph(create_child(tt, t, f), e.stamp, StagedFlag::RightInsert);
        }
    }

    // Left inserts: the extra entries, then the held ones, each in list order,
    // against every right fact (those just stored included).
    EntryList<TupleId> lins = staged_lefts_.ins.take();
    auto join_left = [&](const StagedEntry<TupleId>& e) {
        TupleId t = e.item;
        record_left(*this, env, t);
        Key key = left_key(env, i, t);
        lefts_.push_back(t, key);
        std::vector<FactId> facts;
        if (!keyed()) {
            rights_.items(facts);
        } else {
            rights_.matching(key, facts);
        }
        temporal_reads_ += facts.size();
        TupleView v = tt.view(t);
        for (FactId f : facts) {
            if (skip_expired && env.is_expired(f)) continue;
            if (is_single(v, f) && taken.contains(f)) continue;  // joined with the right inserts
            if (!env.allowed(i, v, f)) continue;
            trg.add_ins_ph(create_child(tt, t, f), e.stamp, StagedFlag::Insert);
        }
    };
    for (const auto& e : extra) join_left(e);
    for (const auto& e : lins) join_left(e);
}

void Node::drain_staged_rights_to_memory_if(const JoinEnv& env, size_t i, std::optional<FactId> except,
                                            const std::function<bool(FactId)>& pred) {
    EntryList<FactId> all = staged_rights_.ins.take();
    std::vector<StagedEntry<FactId>> drain;  // list order, newest first
    for (const auto& e : all) {
        if (e.item != except && pred(e.item)) {
            drain.push_back(e);
        } else {
            staged_rights_.ins.push_back(e);
        }
    }
    for (auto it = drain.rbegin(); it != drain.rend(); ++it) rights_.push_back(it->item, right_key(env, i, it->item));
}

void Node::peer_merge_left(const Staged<TupleId>& peer) {
    Staged<TupleId> own = std::move(staged_lefts_);

    auto merge_update = [&](const StagedEntry<TupleId>& e) {
        if (own.ins.contains(e.item) || own.upd.contains(e.item) || own.del.contains(e.item)) return;
        own.upd.push_front(e);
    };
    HashSet<TupleId> reinserted;
    for (TupleId t : peer.reinserted) reinserted.insert(t);

    for (const auto& e : peer.del) own.add_del(e.item, e.stamp);
    for (const auto& e : peer.cancelled) own.add_del(e.item, e.stamp);
    for (const auto& e : peer.upd) merge_update(e);
    for (const auto& e : peer.ins) {
        TupleId t = e.item;
        if (own.del.contains(t) && !own.ins.contains(t)) {
            // The tuple left and came back: its delete must not be the last word.
            // Evaluations apply deletes before inserts, so staging the insert
            // beside the delete leaves the tuple present.
            own.ins.push_front(e);
        } else if (reinserted.contains(t)) {
            merge_update(e);
        } else if (auto mine = own.ins.remove_first(t)) {
            own.ins.push_front(std::move(*mine));
        } else if (own.upd.remove_first(t)) {
            own.upd.push_front(e);
        } else if (lefts_.contains(t)) {
            lefts_.move_to_back(t);
        } else if (blocker_of(t)) {
            // A not/exists node keeps blocked tuples out of `lefts`; the node
            // already holds this one, so nothing is staged for it either.
        } else {
            own.ins.push_front(e);
        }
    }
    staged_lefts_ = std::move(own);
}

void Node::re_add_left_tuple(TupleId t, Key key) {
    lefts_.remove_first(t);
    lefts_.push_back(t, std::move(key));
}

void Node::re_add_right_tuple(FactId f, Key key) {
    rights_.remove_first(f);
    rights_.push_back(f, std::move(key));
}

void Node::re_add_right_fact(FactId f, Key key) {
    if (rights_.remove_first(f)) rights_.push_back(f, std::move(key));
    move_children_of_right_to_end_of_left(f);
}

void Node::not_mask_miss_re_add(const JoinEnv& env, size_t i, FactId f) {
    auto p = rights_.pos_of(f);
    if (p == Memory<FactId>::npos) return;

    // Where the blocker search of the tuples f blocks resumes: the fact next to
    // f, as the right-update pass of an evaluation would pick it.
    std::optional<FactId> neighbour;
    const IndexKind index = probe_op().kind();
    bool blocks = blocks_any(f);
    if (blocks && index == IndexKind::None) {
        auto q = rights_.next_pos(p);
        if (q == Memory<FactId>::npos) q = rights_.prev_pos(p);
        if (q != Memory<FactId>::npos) neighbour = rights_.at(q).item;
    } else if (blocks && index == IndexKind::Equality) {
        const Key fkey = rights_.at(p).key;
        auto matches = [&](Memory<FactId>::Pos q) {
            const Key gkey = rights_.at(q).key;
            return fkey && gkey && keys_match(gkey, fkey);
        };
        for (auto q = rights_.next_pos(p); q != Memory<FactId>::npos && !neighbour; q = rights_.next_pos(q)) {
            if (matches(q)) neighbour = rights_.at(q).item;
        }
        for (auto q = rights_.prev_pos(p); q != Memory<FactId>::npos && !neighbour; q = rights_.prev_pos(q)) {
            if (matches(q)) neighbour = rights_.at(q).item;
        }
    }

    rights_.remove_first(f);
    rights_.push_back(f, right_key(env, i, f));

    if (!blocks_any(f)) return;
    std::vector<TupleId> list = take_blocked(f);
    const Staged<FactId> no_changes;
    for (TupleId t : list) {
        if (auto g = find_blocker(env, i, t, neighbour, no_changes)) {
            block(t, *g);
            continue;
        }
        // The update missed every field the pattern reads, so f itself should
        // still qualify; if nothing does, the tuple is unblocked: it goes back
        // to `lefts`, and a Not node parks it so that its next evaluation emits
        // the child the tuple is now owed.
        lefts_.push_back(t, left_key(env, i, t));
        if (kind_ == Kind::Not) park(t, std::nullopt);
    }
}

}  // namespace quarn
