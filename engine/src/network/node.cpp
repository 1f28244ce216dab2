// Node construction, children lists, blocking lists, verification and
// dispatch by node kind.
#include "network/node.h"

#include <algorithm>

#include "common/internal_error.h"
#include "network/network.h"

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
    n.lefts = Memory<TupleId>(n.probe_op());
    n.rights = Memory<FactId>(n.probe_op());
    return n;
}

// --- Children.

std::optional<size_t> Node::child_position(const TupleTable& tuples, TupleId t) const {
    for (size_t p : children_of_left(t)) {
        if (children_[p].tuple == t) return p;
    }
    if (tuples.size_of(t) == 0) return std::nullopt;
    for (size_t p : children_of_left(tuples.parent(t))) {
        if (children_[p].tuple == t) return p;
    }
    return std::nullopt;
}

std::vector<TupleId> Node::alive_children() const {
    std::vector<TupleId> out;
    for (const Child& c : children_) {
        if (!c.dead) out.push_back(c.tuple);
    }
    return out;
}

void Node::children_of_left(TupleId t, std::vector<size_t>& out) const {
    out.clear();
    auto it = children_of_left_.find(t);
    if (it == children_of_left_.end()) return;
    for (uint32_t p = it->second.head; p != kNone; p = links_[p].left_next) out.push_back(p);
}

void Node::children_of_right(FactId f, std::vector<size_t>& out) const {
    out.clear();
    auto it = children_of_right_.find(f);
    if (it == children_of_right_.end()) return;
    for (uint32_t p = it->second.head; p != kNone; p = links_[p].right_next) out.push_back(p);
}

std::vector<size_t> Node::children_of_left(TupleId t) const {
    std::vector<size_t> out;
    children_of_left(t, out);
    return out;
}

std::vector<size_t> Node::children_of_right(FactId f) const {
    std::vector<size_t> out;
    children_of_right(f, out);
    return out;
}

void Node::link_before(Ends& list, uint32_t p, std::optional<size_t> anchor, bool left) {
    auto prev_of = [&](uint32_t q) -> uint32_t& { return left ? links_[q].left_prev : links_[q].right_prev; };
    auto next_of = [&](uint32_t q) -> uint32_t& { return left ? links_[q].left_next : links_[q].right_next; };
    // An anchor that is not in this list (dead, or another parent's) appends.
    uint32_t at = kNone;
    if (anchor && *anchor < children_.size() && !children_[*anchor].dead) {
        const Child& a = children_[*anchor];
        const Child& c = children_[p];
        bool same_list = left ? a.parent == c.parent : a.right == c.right;
        if (same_list) at = static_cast<uint32_t>(*anchor);
    }
    if (at == kNone) {
        prev_of(p) = list.tail;
        next_of(p) = kNone;
        if (list.tail == kNone) {
            list.head = p;
        } else {
            next_of(list.tail) = p;
        }
        list.tail = p;
        return;
    }
    uint32_t before = prev_of(at);
    prev_of(p) = before;
    next_of(p) = at;
    prev_of(at) = p;
    if (before == kNone) {
        list.head = p;
    } else {
        next_of(before) = p;
    }
}

void Node::unlink(Ends& list, uint32_t p, bool left) {
    auto prev_of = [&](uint32_t q) -> uint32_t& { return left ? links_[q].left_prev : links_[q].right_prev; };
    auto next_of = [&](uint32_t q) -> uint32_t& { return left ? links_[q].left_next : links_[q].right_next; };
    uint32_t prev = prev_of(p), next = next_of(p);
    if (prev == kNone) {
        list.head = next;
    } else {
        next_of(prev) = next;
    }
    if (next == kNone) {
        list.tail = prev;
    } else {
        prev_of(next) = prev;
    }
    prev_of(p) = next_of(p) = kNone;
}

TupleId Node::create_child(TupleTable& tuples, TupleId left, FactId right, std::optional<size_t> left_before,
                           std::optional<size_t> right_before) {
    TupleId tuple = tuples.extend(left, right);
    if (children_.size() >= kNone) invariant_broken("node child count overflow");
    uint32_t p = static_cast<uint32_t>(children_.size());
    children_.push_back(Child{tuple, left, right, false});
    links_.emplace_back();
    link_before(children_of_left_[left], p, left_before, true);
    link_before(children_of_right_[right], p, right_before, false);
    return tuple;
}

TupleId Node::create_ce_child(TupleId t) {
    if (children_.size() >= kNone) invariant_broken("node child count overflow");
    uint32_t p = static_cast<uint32_t>(children_.size());
    children_.push_back(Child{t, t, std::nullopt, false});
    links_.emplace_back();
    link_before(children_of_left_[t], p, std::nullopt, true);
    return t;
}

std::optional<size_t> Node::ce_child_of(TupleId t) const {
    auto it = children_of_left_.find(t);
    if (it == children_of_left_.end() || it->second.head == kNone) return std::nullopt;
    return it->second.head;
}

void Node::kill_child(size_t p) {
    Child& c = children_.at(p);
    if (c.dead) return;
    c.dead = true;
    uint32_t q = static_cast<uint32_t>(p);
    auto l = children_of_left_.find(c.parent);
    if (l == children_of_left_.end()) invariant_broken("child missing from its parent's list");
    unlink(l->second, q, true);
    if (c.right) {
        auto r = children_of_right_.find(*c.right);
        if (r == children_of_right_.end()) invariant_broken("child missing from its right fact's list");
        unlink(r->second, q, false);
    }
}

namespace {

// Stable sort of a list's positions by a memory order; false when already sorted.
template <class OrderOf>
bool sort_positions(std::vector<size_t>& list, OrderOf order_of) {
    std::vector<std::pair<uint64_t, size_t>> keyed;
    keyed.reserve(list.size());
    bool sorted = true;
    for (size_t p : list) {
        uint64_t at = order_of(p);
        if (!keyed.empty() && at < keyed.back().first) sorted = false;
        keyed.emplace_back(at, p);
    }
    if (sorted) return false;
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t k = 0; k < list.size(); ++k) list[k] = keyed[k].second;
    return true;
}

template <class T>
uint64_t memory_order(const Memory<T>& m, const T& item) {
    auto p = m.pos_of(item);
    return p == Memory<T>::npos ? UINT64_MAX : m.order_of(p);
}

}  // namespace

void Node::order_children_of_right(FactId f) {
    auto it = children_of_right_.find(f);
    if (it == children_of_right_.end()) return;
    // Usually already in order: check by a walk before copying anything.
    uint64_t last = 0;
    bool sorted = true;
    for (uint32_t p = it->second.head; p != kNone && sorted; p = links_[p].right_next) {
        uint64_t at = memory_order(lefts, children_[p].parent);
        sorted = at >= last;
        last = at;
    }
    if (sorted) return;
    std::vector<size_t> list = children_of_right(f);
    if (!sort_positions(list, [&](size_t p) { return memory_order(lefts, children_[p].parent); })) return;
    Ends& ends = it->second;
    ends = Ends{};
    for (size_t p : list) link_before(ends, static_cast<uint32_t>(p), std::nullopt, false);
}

void Node::order_children_of_left(TupleId t) {
    auto it = children_of_left_.find(t);
    if (it == children_of_left_.end()) return;
    auto order_of = [&](size_t p) {
        const auto& g = children_[p].right;
        return g ? memory_order(rights, *g) : UINT64_MAX;
    };
    uint64_t last = 0;
    bool sorted = true;
    for (uint32_t p = it->second.head; p != kNone && sorted; p = links_[p].left_next) {
        uint64_t at = order_of(p);
        sorted = at >= last;
        last = at;
    }
    if (sorted) return;
    std::vector<size_t> list = children_of_left(t);
    if (!sort_positions(list, order_of)) return;
    Ends& ends = it->second;
    ends = Ends{};
    for (size_t p : list) link_before(ends, static_cast<uint32_t>(p), std::nullopt, true);
}

void Node::move_child_to_end_of_left(size_t p) {
    const Child& c = children_.at(p);
    if (c.dead) return;
    Ends& list = children_of_left_.at(c.parent);
    uint32_t q = static_cast<uint32_t>(p);
    if (list.tail == q) return;
    unlink(list, q, true);
    link_before(list, q, std::nullopt, true);
}

void Node::move_child_to_end_of_right(size_t p) {
    const Child& c = children_.at(p);
    if (c.dead || !c.right) return;
    Ends& list = children_of_right_.at(*c.right);
    uint32_t q = static_cast<uint32_t>(p);
    if (list.tail == q) return;
    unlink(list, q, false);
    link_before(list, q, std::nullopt, false);
}

// --- Left tuple bookkeeping.

uint64_t Node::left_seq(TupleId t) const {
    auto it = left_seqs_.find(t);
    return it == left_seqs_.end() ? 0 : it->second;
}

void Node::record_left_seq(TupleId t) {
    if (left_seqs_.try_emplace(t, next_seq_).second) ++next_seq_;
}

std::optional<uint64_t> Node::left_mark(TupleId t) const {
    auto it = left_marks_.find(t);
    if (it == left_marks_.end()) return std::nullopt;
    return it->second;
}

void Node::set_left_mark(TupleId t, uint64_t mark) { left_marks_.insert_or_assign(t, mark); }
void Node::set_left_rank(TupleId t, uint64_t rank) { left_ranks_.insert_or_assign(t, rank); }
void Node::set_right_rank(FactId f, uint64_t rank) { right_ranks_.insert_or_assign(f, rank); }

uint64_t Node::left_rank(TupleId t) const {
    auto it = left_ranks_.find(t);
    return it == left_ranks_.end() ? 0 : it->second;
}

uint64_t Node::right_rank(FactId f) const {
    auto it = right_ranks_.find(f);
    return it == right_ranks_.end() ? 0 : it->second;
}

// --- Blocking.

std::optional<FactId> Node::blocker_of(TupleId t) const {
    auto it = block_links_.find(t);
    if (it == block_links_.end()) return std::nullopt;
    return it->second.blocker;
}

std::vector<TupleId> Node::blocked_by(FactId f) const {
    std::vector<TupleId> out;
    auto it = blocked_.find(f);
    if (it == blocked_.end()) return out;
    for (TupleId t = it->second.newest;;) {
        out.push_back(t);
        const BlockLink& l = block_links_.at(t);
        if (l.older == t) break;
        t = l.older;
    }
    return out;
}

std::vector<FactId> Node::right_facts_with_children() const {
    std::vector<FactId> out;
    out.reserve(children_of_right_.size());
    for (const auto& entry : children_of_right_) out.push_back(entry.first);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<FactId> Node::blockers() const {
    std::vector<FactId> out;
    out.reserve(blocked_.size());
    for (const auto& entry : blocked_) out.push_back(entry.first);
    std::sort(out.begin(), out.end());
    return out;
}

void Node::block(TupleId t, FactId f) {
    auto [link, unhooked] = block_links_.try_emplace(t, BlockLink{f, t, t});
    if (!unhooked) {
        // Already hanging on a blocker: unhook it there first.
        unblock(t);
        block(t, f);
        return;
    }
    auto [it, fresh] = blocked_.try_emplace(f, BlockEnds{t, t});
    if (fresh) return;
    TupleId old_newest = it->second.newest;
    it->second.newest = t;
    link->second.older = old_newest;
    block_links_.at(old_newest).newer = t;
}

void Node::unblock(TupleId t) {
    auto it = block_links_.find(t);
    if (it == block_links_.end()) return;
    BlockLink l = it->second;
    block_links_.erase(it);
    auto b = blocked_.find(l.blocker);
    if (b == blocked_.end()) invariant_broken("blocked tuple without its blocker's list");
    bool newest = l.newer == t, oldest = l.older == t;
    if (newest && oldest) {
        blocked_.erase(b);
        return;
    }
    if (newest) {
        b->second.newest = l.older;
        block_links_.at(l.older).newer = l.older;
    } else if (oldest) {
        b->second.oldest = l.newer;
        block_links_.at(l.newer).older = l.newer;
    } else {
        block_links_.at(l.newer).older = l.older;
        block_links_.at(l.older).newer = l.newer;
    }
}

std::vector<TupleId> Node::take_blocked(FactId f) {
    std::vector<TupleId> out = blocked_by(f);
    for (TupleId t : out) block_links_.erase(t);
    blocked_.erase(f);
    return out;
}

// --- Verification.

void Node::verify() const {
    lefts.verify();
    rights.verify();
    if (links_.size() != children_.size()) invariant_broken("node child links disagree with its children");
    size_t alive = 0;
    for (const Child& c : children_) alive += !c.dead;
    // Every list holds alive children of its own key, linked both ways.
    auto check_list = [&](const Ends& e, bool left, auto owns) -> size_t {
        size_t n = 0;
        uint32_t prev = kNone;
        for (uint32_t p = e.head; p != kNone; p = left ? links_[p].left_next : links_[p].right_next) {
            uint32_t back = left ? links_[p].left_prev : links_[p].right_prev;
            if (children_[p].dead || back != prev || !owns(children_[p])) invariant_broken("children list is broken");
            prev = p;
            if (++n > children_.size()) invariant_broken("children list loops");
        }
        if (prev != e.tail) invariant_broken("children list ends elsewhere");
        return n;
    };
    size_t by_left = 0, by_right = 0;
    for (const auto& [t, e] : children_of_left_) by_left += check_list(e, true, [&](const Child& c) { return c.parent == t; });
    for (const auto& [f, e] : children_of_right_) {
        by_right += check_list(e, false, [&](const Child& c) { return c.right == f; });
    }
    size_t alive_join = 0;
    for (const Child& c : children_) alive_join += !c.dead && c.right;
    if (by_left != alive || by_right != alive_join) invariant_broken("children lists disagree with the alive children");

    if (kind != Kind::Not && kind != Kind::Exists) {
        if (!blocked_.empty() || !block_links_.empty()) invariant_broken("a join node holds blocked tuples");
        return;
    }
    size_t listed = 0;
    for (const auto& [f, ends] : blocked_) {
        if (!rights.contains(f)) invariant_broken("a blocker is missing from the right memory");
        std::vector<TupleId> list = blocked_by(f);
        if (list.back() != ends.oldest) invariant_broken("blocked list ends elsewhere");
        for (TupleId t : list) {
            if (block_links_.at(t).blocker != f) invariant_broken("blocked tuple names another blocker");
            if (lefts.contains(t)) invariant_broken("a blocked tuple is also in the left memory");
        }
        listed += list.size();
    }
    if (listed != block_links_.size()) invariant_broken("blocking maps disagree");
}

// --- Scans.

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
void scan(const Memory<T>& m, uint8_t op, const Key& probe, bool stored_is_field, std::vector<T>& out) {
    switch (index_kind(op)) {
        case IndexKind::None: m.items(out); return;
        case IndexKind::Equality:
            if (op > kEqualityIndex) invariant_broken("node index operator out of range");
            m.matching(probe, out);
            return;
        case IndexKind::Range: break;
    }
    if (!probe || probe.size() == 0) return;
    CmpOp cmp = static_cast<CmpOp>(op);
    // in_range reaches k with `p cmp k`; a stored field tested against the
    // probe's bound (`k op p`) is the same as `p flipped(op) k`.
    m.in_range(probe[0].value(), stored_is_field ? flipped(cmp) : cmp, out);
}

template <class T>
std::vector<T> collect_matching(const Memory<T>& m, const Key& key) {
    if (!key) return m.items();
    return m.matching(key);
}

}  // namespace

void Node::scan_lefts(const Key& probe, std::vector<TupleId>& out) const { scan(lefts, probe_op(), probe, false, out); }
void Node::scan_rights(const Key& probe, std::vector<FactId>& out) const { scan(rights, probe_op(), probe, true, out); }

std::vector<TupleId> Node::scan_lefts(const Key& probe) const {
    std::vector<TupleId> out;
    scan_lefts(probe, out);
    return out;
}

std::vector<FactId> Node::scan_rights(const Key& probe) const {
    std::vector<FactId> out;
    scan_rights(probe, out);
    return out;
}

std::vector<TupleId> Node::collect_matching_lefts(const Key& key) const { return collect_matching(lefts, key); }
std::vector<FactId> Node::collect_matching_rights(const Key& key) const { return collect_matching(rights, key); }

void do_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId> sl, Staged<FactId> sr, Out& out) {
    switch (node.kind) {
        case Kind::Join: do_join_node(env, i, node, std::move(sl), std::move(sr), out); break;
        case Kind::Not:
        case Kind::Exists: do_existential_node(env, i, node, std::move(sl), std::move(sr), out); break;
        case Kind::Acc: unreachable("accumulate nodes evaluate engine-side");
        case Kind::SubnetNot:
        case Kind::SubnetExists: unreachable("subnetwork CE nodes evaluate engine-side (D-089)");
        case Kind::Query: unreachable("?query CE nodes evaluate engine-side (D-056)");
        default: unreachable("node kind out of range");
    }
    verify_after_evaluation(node);
}

}  // namespace quarn
