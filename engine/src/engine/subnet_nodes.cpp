// not and exists over a group of patterns. The group's member patterns form a
// chain of their own that starts from the tuples before the group; its last
// member delivers the inner tuples (a left tuple extended by one fact per
// member) into the group node's inner input. The node keeps, per left tuple,
// the inner tuples extending it, and emits the left tuple itself as its child:
// a present left tuple is emitted exactly while no inner tuple extends it
// (not), or while at least one does (exists).

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

#ifdef QUARN_VERIFY_NODES
// The emitted set agrees with the left tuples and the inner map, and no left
// tuple is held twice.
void verify_subnet(const TrieNode& tn) {
    const bool is_not = tn.node.kind() == Kind::SubnetNot;
    size_t emitted = 0;
    DenseIdSet seen;
    tn.subnet_lefts.for_each([&](TupleId t) {
        if (!seen.insert(static_cast<uint32_t>(t)))
            invariant_broken(fmt("subnetwork node holds tuple {} twice", static_cast<uint32_t>(t)));
        const bool extended = tn.subnet_inner.contains(t);
        const bool shown = tn.subnet_emitted.contains(static_cast<uint32_t>(t));
        if (shown != (is_not ? !extended : extended))
            invariant_broken(fmt("subnetwork node emits tuple {} against its inner tuples",
                                 static_cast<uint32_t>(t)));
        emitted += shown ? 1 : 0;
    });
    if (emitted != tn.subnet_emitted.size()) invariant_broken("subnetwork node emits an absent tuple");
    tn.subnet_inner.for_each([](TupleId, const InnerTuples& inner) {
        if (inner.empty()) invariant_broken("subnetwork node keeps an empty inner list");
    });
}
#endif

}  // namespace

void Engine::eval_subnet_node(size_t id, Staged<TupleId> left, Staged<TupleId> inner, Out& out) {
    TrieNode& tn = nodes[id];
    const bool is_not = tn.node.kind() == Kind::SubnetNot;
    if (!is_not && tn.node.kind() != Kind::SubnetExists) invariant_broken("not a subnetwork node");
    // Tuples are built a fact at a time, so a tuple's parent is its prefix
    // one fact shorter.
    auto prefix = [&](TupleId t) {
        while (tuples.size_of(t) > tn.subnet_prefix) t = tuples.parent(t);
        return t;
    };
    auto emit = [&](TupleId t, const Stamp& stamp) {
        if (tn.subnet_emitted.insert(static_cast<uint32_t>(t))) out.trg.add_ins_ph(t, stamp, StagedFlag::Insert);
    };
    auto withdraw = [&](TupleId t, const Stamp& stamp) {
        if (tn.subnet_emitted.erase(static_cast<uint32_t>(t))) out.child_del(t, stamp);
    };

    // Left deletes. The inner tuples extending a deleted tuple leave through
    // their own deletes, which the members stage in the same walk; keeping
    // them until then keeps a tuple deleted and inserted again in one batch
    // extended by the inner tuples it still has.
    for (const auto& e : left.del) {
        tn.subnet_lefts.remove_first(e.item);
        withdraw(e.item, e.stamp);
    }
    for (const auto& e : left.cancelled) {
        tn.subnet_lefts.remove_first(e.item);
        withdraw(e.item, e.stamp);
    }
    // Inner inserts: the first inner tuple of a prefix flips it. An exists
    // emits a present prefix, or one whose left insert comes below in this
    // call (in inner order, before it arrives); never another. A prefix's
    // left insert can be withdrawn before the node takes it (staged, then
    // deleted: with event types an insert's flush runs the members' chain in
    // between), and its inner tuples must not make the absent tuple a child.
    for (const auto& e : inner.ins) {
        const TupleId p = prefix(e.item);
        InnerTuples& extending = tn.subnet_inner.list_of(p);
        extending.push_back(e.item);
        if (extending.size() != 1) continue;
        if (is_not) withdraw(p, e.stamp);
        else if (tn.subnet_lefts.contains(p) || left.ins.contains(p)) emit(p, e.stamp);
    }
    // Left inserts.
    for (const auto& e : left.ins) {
        tn.subnet_lefts.push_back(e.item);
        const bool extended = tn.subnet_inner.contains(e.item);
        if (is_not ? !extended : extended) emit(e.item, e.stamp);
    }
    // Inner deletes: the last inner tuple of a present prefix flips it back.
    for (const auto& e : inner.del) {
        const TupleId p = prefix(e.item);
        InnerTuples* extending = tn.subnet_inner.find(p);
        if (extending == nullptr) continue;
        if (!extending->remove_first(e.item) || !extending->empty()) continue;
        tn.subnet_inner.erase(p);
        if (!tn.subnet_lefts.contains(p)) continue;
        if (is_not) emit(p, e.stamp);
        else withdraw(p, e.stamp);
    }
    // Left updates reach an emitted child; an inner update keeps its facts,
    // so it extends the same prefix and changes nothing here.
    for (const auto& e : left.upd)
        if (tn.subnet_emitted.contains(static_cast<uint32_t>(e.item))) out.child_upd(e.item, e.stamp, StagedFlag::Change);
#ifdef QUARN_VERIFY_NODES
    verify_subnet(tn);
#endif
}

}  // namespace quarn
