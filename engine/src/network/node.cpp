// Node construction, child records and dispatch by node kind.
#include "network/node.h"

#include <algorithm>

#include "network/network.h"
#include "common/internal_error.h"

namespace quarn {

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Join: return "Join";
        case Kind::Not: return "Not";
        case Kind::Exists: return "Exists";
        case Kind::Acc: return "Acc";
        case Kind::Query: return "Query";
        case Kind::SubnetNot: return "SubnetNot";
        case Kind::SubnetExists: return "SubnetExists";
    }
    return "Join";
}

Node Node::new_ex(uint8_t index_op, Kind kind, bool temporal) {
    Node n;
    n.index_op = index_op;
    n.kind = kind;
    n.temporal = temporal;
    n.lefts = Memory<Tuple>(n.probe_op());
    n.rights = Memory<FactId>(n.probe_op());
    return n;
}

uint64_t Node::left_seq(const Tuple& t) const {
    auto it = left_seqs.find(t);
    return it == left_seqs.end() ? 0 : it->second;
}

void Node::record_left_seq(const Tuple& t) {
    if (left_seqs.contains(t)) return;
    left_seqs.emplace(t, next_seq);
    ++next_seq;
}

Ordering Node::value_ord(const Value& a, const Value& b) {
    ValueTag at = a.tag(), bt = b.tag();
    bool a_int_dec = at == ValueTag::I64 || at == ValueTag::Dec;
    bool b_int_dec = bt == ValueTag::I64 || bt == ValueTag::Dec;
    bool same = at == bt;
    // I64 against F64 has no order here, and NaN is equal to everything.
    if ((same && at != ValueTag::Null) || (a_int_dec && b_int_dec)) {
        return value_order(a, b).value_or(Ordering::Equal);
    }
    return Ordering::Equal;
}

namespace {

CmpOp flipped(CmpOp op) {
    switch (op) {
        case CmpOp::Lt: return CmpOp::Gt;
        case CmpOp::Le: return CmpOp::Ge;
        case CmpOp::Gt: return CmpOp::Lt;
        case CmpOp::Ge: return CmpOp::Le;
        default: return op;
    }
}

template <class T>
std::vector<T> scan(const Memory<T>& m, uint8_t op, const Key& probe, bool stored_is_field) {
    if (op == kNoIndex) return m.items();
    if (op == kEqualityIndex) {
        if (!probe) return {};
        return m.matching(*probe);
    }
    if (op > kEqualityIndex) invariant_broken("node index operator out of range");
    if (!probe || probe->empty()) return {};
    CmpOp cmp = static_cast<CmpOp>(op);
    // in_range reaches k with `p cmp k`; a stored field tested against the
    // probe's bound (`k op p`) is the same as `p flipped(op) k`.
    return m.in_range(probe->front(), stored_is_field ? flipped(cmp) : cmp);
}

template <class T>
std::vector<T> collect_matching(const Memory<T>& m, const Key& key) {
    if (!key) return m.items();
    return m.matching(*key);
}

}  // namespace

std::vector<Tuple> Node::scan_lefts(const Key& probe) const { return scan(lefts, probe_op(), probe, false); }

std::vector<FactId> Node::scan_rights(const Key& probe) const { return scan(rights, probe_op(), probe, true); }

std::vector<Tuple> Node::collect_matching_lefts(const Key& key) const { return collect_matching(lefts, key); }

std::vector<FactId> Node::collect_matching_rights(const Key& key) const { return collect_matching(rights, key); }

namespace {

void insert_before(std::vector<size_t>& list, std::optional<size_t> anchor, size_t p) {
    if (anchor) {
        auto at = std::find(list.begin(), list.end(), *anchor);
        if (at != list.end()) {
            list.insert(at, p);
            return;
        }
    }
    list.push_back(p);
}

}  // namespace

Tuple Node::create_child(const Tuple& left, FactId right, std::optional<size_t> left_before,
                         std::optional<size_t> right_before) {
    Tuple tuple = left;
    tuple.push_back(right);
    size_t p = children.size();
    children.push_back(Child{tuple, left, right, false});
    child_index.insert_or_assign(tuple, p);
    insert_before(children_of_left[left], left_before, p);
    insert_before(by_right[right], right_before, p);
    return tuple;
}

std::vector<size_t> Node::alive_positions(const std::vector<size_t>* list) const {
    std::vector<size_t> out;
    if (list == nullptr) return out;
    for (size_t p : *list) {
        if (p >= children.size()) invariant_broken("child position out of range");
        if (!children[p].dead) out.push_back(p);
    }
    return out;
}

void Node::move_to_end(std::vector<size_t>& list, size_t p) {
    auto at = std::find(list.begin(), list.end(), p);
    if (at != list.end()) list.erase(at);
    list.push_back(p);
}

void do_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out) {
    switch (node.kind) {
        case Kind::Join: do_join_node(env, i, node, std::move(sl), std::move(sr), out); return;
        case Kind::Not:
        case Kind::Exists: do_existential_node(env, i, node, std::move(sl), std::move(sr), out); return;
        case Kind::Acc: unreachable("accumulate nodes evaluate engine-side");
        case Kind::SubnetNot:
        case Kind::SubnetExists: unreachable("subnetwork CE nodes evaluate engine-side (D-089)");
        case Kind::Query: unreachable("?query CE nodes evaluate engine-side (D-056)");
    }
    unreachable("node kind out of range");
}

}  // namespace quarn
