// Node construction, children lists, blocking lists, verification and
// dispatch by node kind.
#include "network/node.h"

#include <algorithm>

#include "common/internal_error.h"
#include "network/network.h"
#include "network/node_eval.h"

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

Node Node::new_ex(IndexSpec index_op, Kind kind, bool temporal) {
    Node n;
    n.index_op_ = index_op;
    n.kind_ = kind;
    n.temporal_ = temporal;
    n.lefts_ = Memory<TupleId>(n.probe_op());
    n.rights_ = Memory<FactId>(n.probe_op());
    // A join's memories mostly hold the same keys, which one index then holds
    // once; a not or exists node's left memory holds the tuples its right
    // memory does not reach, keys the other side lacks, which a shared
    // index's wider entries would only make dearer.
    if (n.keyed() && kind == Kind::Join) {
        n.key_index_ = std::make_unique<SharedKeyIndex>();
        n.lefts_.share_index(n.key_index_.get());
        n.rights_.share_index(n.key_index_.get());
    }
    return n;
}

void Node::drop_spent_input() {
    if (!staged_lefts_.fresh() && staged_lefts_.empty()) staged_lefts_ = Staged<TupleId>{};
    if (!staged_rights_.fresh() && staged_rights_.empty()) staged_rights_ = Staged<FactId>{};
}

// --- Children.

std::optional<size_t> Node::child_position(const TupleTable& tuples, TupleId t) const {
    auto find_in = [&](TupleId parent) -> std::optional<size_t> {
        const LeftInfo* info = left_info_.find(parent);
        if (info == nullptr) return std::nullopt;
        for (uint32_t p = info->children.head; p != kNone; p = rec(p).left_next) {
            if (rec(p).tuple == t) return p;
        }
        return std::nullopt;
    };
    if (auto p = find_in(t)) return p;
    if (tuples.size_of(t) == 0) return std::nullopt;
    return find_in(tuples.parent(t));
}

std::vector<TupleId> Node::alive_children() const {
    std::vector<TupleId> out;
    for (size_t p = 0; p < children_.size(); ++p) {
        if (!children_[p].dead()) out.push_back(children_[p].tuple);
    }
    return out;
}

void Node::children_of_left(TupleId t, std::vector<size_t>& out) const {
    out.clear();
    const LeftInfo* info = left_info_.find(t);
    if (info == nullptr) return;
    for (uint32_t p = info->children.head; p != kNone; p = rec(p).left_next) out.push_back(p);
}

void Node::children_of_right(FactId f, std::vector<size_t>& out) const {
    out.clear();
    const ChildList* ends = children_of_right_.find(f);
    if (ends == nullptr) return;
    for (uint32_t p = ends->head; p != kNone; p = rec(p).right_next) out.push_back(p);
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

void Node::link_before(ChildList& list, uint32_t p, std::optional<size_t> anchor, bool left) {
    auto prev_of = [&](uint32_t q) -> uint32_t& { return left ? rec(q).left_prev : rec(q).right_prev; };
    auto next_of = [&](uint32_t q) -> uint32_t& { return left ? rec(q).left_next : rec(q).right_next; };
    // An anchor that is not in this list (dead, or another parent's) appends.
    uint32_t at = kNone;
    if (anchor && *anchor < children_.size() && !rec(static_cast<uint32_t>(*anchor)).dead()) {
        const ChildRec& a = rec(static_cast<uint32_t>(*anchor));
        const ChildRec& c = rec(p);
        bool same_list = left ? a.parent == c.parent : (a.has_right() && c.has_right() && a.right == c.right);
        if (same_list) at = static_cast<uint32_t>(*anchor);
    }
    next_of(p) = at;
    if (list.head == kNone) {
        list.head = p;
        prev_of(p) = p;
        return;
    }
    const uint32_t tail = prev_of(list.head);
    if (at == kNone) {
        next_of(tail) = p;
        prev_of(p) = tail;
        prev_of(list.head) = p;
    } else if (at == list.head) {
        prev_of(p) = tail;
        prev_of(at) = p;
        list.head = p;
    } else {
        const uint32_t before = prev_of(at);
        next_of(before) = p;
        prev_of(p) = before;
        prev_of(at) = p;
    }
}

void Node::unlink(ChildList& list, uint32_t p, bool left) {
    auto prev_of = [&](uint32_t q) -> uint32_t& { return left ? rec(q).left_prev : rec(q).right_prev; };
    auto next_of = [&](uint32_t q) -> uint32_t& { return left ? rec(q).left_next : rec(q).right_next; };
    const uint32_t prev = prev_of(p), next = next_of(p);
    if (p == list.head) {
        // The new first child takes over the link to the last.
        list.head = next;
        if (next != kNone) prev_of(next) = prev;
    } else {
        next_of(prev) = next;
        prev_of(next == kNone ? list.head : next) = prev;
    }
    prev_of(p) = next_of(p) = kNone;
}

TupleId Node::create_child(TupleTable& tuples, TupleId left, FactId right, std::optional<size_t> left_before,
                           std::optional<size_t> right_before) {
    const TupleId tuple = tuples.extend(left, right);
    const uint32_t p = new_join_child(tuple, left, right);
    link_before(left_info_[left].children, p, left_before, true);
    link_before(children_of_right_[right], p, right_before, false);
    return tuple;
}

TupleId Node::create_ce_child(TupleId t) {
    uint32_t p = new_child_slot();
    ChildRec& c = rec(p);
    c.tuple = t;
    c.parent = t;
    link_before(left_info_[t].children, p, std::nullopt, true);
    return t;
}

std::optional<size_t> Node::ce_child_of(TupleId t) const {
    const LeftInfo* info = left_info_.find(t);
    if (info == nullptr || info->children.head == kNone) return std::nullopt;
    return info->children.head;
}

void Node::kill_child(size_t p) {
    if (p >= children_.size()) invariant_broken("node child position out of range");
    uint32_t q = static_cast<uint32_t>(p);
    ChildRec& c = rec(q);
    if (c.dead()) return;
    LeftInfo* l = left_info_.find(c.parent);
    if (l == nullptr) invariant_broken("child missing from its parent's list");
    unlink(l->children, q, true);
    if (c.has_right()) {
        ChildList* r = children_of_right_.find(c.right);
        if (r == nullptr) invariant_broken("child missing from its right fact's list");
        unlink(*r, q, false);
    }
    c.left_next = kDead;
    dying_children_.push_back(q);
}

void Node::reclaim_children() {
    free_children_.insert(free_children_.end(), dying_children_.begin(), dying_children_.end());
    dying_children_.clear();
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
    ChildList* ends = children_of_right_.find(f);
    // Usually already in order (a list of one always is): check by a walk
    // before copying anything.
    if (ends == nullptr || ends->head == kNone || rec(ends->head).right_next == kNone) return;
    uint64_t last = 0;
    bool sorted = true;
    for (uint32_t p = ends->head; p != kNone && sorted; p = rec(p).right_next) {
        uint64_t at = memory_order(lefts_, rec(p).parent);
        sorted = at >= last;
        last = at;
    }
    if (sorted) return;
    std::vector<size_t> list = children_of_right(f);
    if (!sort_positions(list, [&](size_t p) { return memory_order(lefts_, rec(static_cast<uint32_t>(p)).parent); })) {
        return;
    }
    *ends = ChildList{};
    for (size_t p : list) link_before(*ends, static_cast<uint32_t>(p), std::nullopt, false);
}

void Node::ordered_children_of_right(FactId f, std::vector<size_t>& out) {
    out.clear();
    const ChildList* ends = children_of_right_.find(f);
    if (ends == nullptr) return;
    for (uint32_t p = ends->head; p != kNone; p = rec(p).right_next) out.push_back(p);
    if (out.size() < 2) return;
    uint64_t last = 0;
    for (size_t p : out) {
        const uint64_t at = memory_order(lefts_, rec(static_cast<uint32_t>(p)).parent);
        if (at < last) {
            order_children_of_right(f);
            children_of_right(f, out);
            return;
        }
        last = at;
    }
}

void Node::order_children_of_left(TupleId t) {
    LeftInfo* info = left_info_.find(t);
    if (info == nullptr || info->children.head == kNone || rec(info->children.head).left_next == kNone) return;
    auto order_of = [&](size_t p) {
        const ChildRec& c = rec(static_cast<uint32_t>(p));
        return c.has_right() ? memory_order(rights_, c.right) : UINT64_MAX;
    };
    uint64_t last = 0;
    bool sorted = true;
    for (uint32_t p = info->children.head; p != kNone && sorted; p = rec(p).left_next) {
        uint64_t at = order_of(p);
        sorted = at >= last;
        last = at;
    }
    if (sorted) return;
    std::vector<size_t> list = children_of_left(t);
    if (!sort_positions(list, order_of)) return;
    info->children = ChildList{};
    for (size_t p : list) link_before(info->children, static_cast<uint32_t>(p), std::nullopt, true);
}

void Node::ordered_children_of_left(TupleId t, std::vector<size_t>& out) {
    out.clear();
    const LeftInfo* info = left_info_.find(t);
    if (info == nullptr) return;
    for (uint32_t p = info->children.head; p != kNone; p = rec(p).left_next) out.push_back(p);
    if (out.size() < 2) return;
    uint64_t last = 0;
    for (size_t p : out) {
        const ChildRec& c = rec(static_cast<uint32_t>(p));
        const uint64_t at = c.has_right() ? memory_order(rights_, c.right) : UINT64_MAX;
        if (at < last) {
            order_children_of_left(t);
            children_of_left(t, out);
            return;
        }
        last = at;
    }
}

void Node::move_child_to_end_of_left(size_t p) {
    uint32_t q = static_cast<uint32_t>(p);
    if (p >= children_.size() || rec(q).dead()) return;
    // The last child of a list is the one with no next: the list itself is
    // looked up only when the child has to move.
    if (rec(q).left_next == kNone) return;
    LeftInfo* info = left_info_.find(rec(q).parent);
    if (info == nullptr) invariant_broken("child missing from its parent's list");
    unlink(info->children, q, true);
    link_before(info->children, q, std::nullopt, true);
}

void Node::move_children_of_right_to_end_of_left(FactId f) {
    const ChildList* ends = children_of_right_.find(f);
    if (ends == nullptr) return;
    // Moving in the parents' lists leaves the fact's own list as it is.
    for (uint32_t p = ends->head; p != kNone; p = rec(p).right_next) move_child_to_end_of_left(p);
}

void Node::move_child_to_end_of_right(size_t p) {
    uint32_t q = static_cast<uint32_t>(p);
    if (p >= children_.size() || rec(q).dead() || !rec(q).has_right() || rec(q).right_next == kNone) return;
    ChildList* list = children_of_right_.find(rec(q).right);
    if (list == nullptr) invariant_broken("child missing from its right fact's list");
    unlink(*list, q, false);
    link_before(*list, q, std::nullopt, false);
}

// --- Left tuple bookkeeping.

void Node::note_left_seqs(const TupleId* ts, size_t n, size_t first) {
    // The number of the entry `first` places from the front; each later
    // one's is one below.
    const uint32_t top = next_seq_ + (seq_batch_ - 1 - static_cast<uint32_t>(first));
    bool gaps = false;
    left_info_.try_emplace_each(ts, n, [&](size_t j, LeftInfo& info, bool fresh) {
        const uint32_t seq = top - static_cast<uint32_t>(j);
        if (!fresh && info.seq != 0) {
            gaps = true;
            // Numbered before the batch, or by an older entry of it.
            if (info.seq < seq) return;
        }
        info.seq = seq;
    });
    seq_gaps_ = seq_gaps_ || gaps;
}

uint64_t Node::left_seq(TupleId t) const {
    const LeftInfo* info = left_info_.find(t);
    return info == nullptr ? 0 : info->seq;
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

size_t Node::forget_released(const TupleTable& tuples, std::span<const TupleId> released,
                             std::span<const FactId> gone) {
    size_t reads = 0;
    auto is_gone = [&](FactId f) { return std::binary_search(gone.begin(), gone.end(), f); };
    auto is_released = [&](TupleId t) { return !tuples.holds(t); };
    auto left_done = [](const LeftInfo& info) {
        if (info.children.head != kNone) invariant_broken("a released tuple still has children");
        return true;
    };
    auto right_done = [](const ChildList& list) {
        if (list.head != kNone) invariant_broken("a gone fact still has children");
        return true;
    };
    // Walk the map when it holds no more entries than went, else look each
    // one up: either way the cost is the smaller of the two.
    auto drop_entries = [&](auto& map, auto items, auto went, auto done) {
        if (map.size() <= items.size()) {
            reads += map.size();
            map.erase_if([&](auto k, const auto& v) { return went(k) && done(v); });
        } else {
            reads += items.size();
            for (auto k : items) map.erase_when(k, done);
        }
    };
    drop_entries(left_info_, released, is_released, left_done);
    drop_entries(children_of_right_, gone, is_gone, right_done);
    auto forget = [&](auto& map, auto items, auto drop) {
        if (map.empty()) return;
        if (map.size() <= items.size()) {
            using Key = std::decay_t<decltype(map.begin()->first)>;
            std::vector<Key> keys;
            for (const auto& [k, v] : map)
                if (drop(k)) keys.push_back(k);
            for (const Key& k : keys) map.erase(k);
            reads += map.size() + keys.size();
        } else {
            for (const auto& k : items) map.erase(k);
            reads += items.size();
        }
    };
    forget(left_marks_, released, is_released);
    forget(left_ranks_, released, is_released);
    forget(right_ranks_, gone, is_gone);
    return reads;
}

// --- Blocking.

std::optional<FactId> Node::blocker_of(TupleId t) const {
    const BlockLink* l = block_links_.find(t);
    if (l == nullptr) return std::nullopt;
    return l->blocker;
}

std::vector<TupleId> Node::blocked_by(FactId f) const {
    std::vector<TupleId> out;
    const BlockEnds* ends = blocked_.find(f);
    if (ends == nullptr) return out;
    for (TupleId t = ends->newest;;) {
        out.push_back(t);
        const BlockLink* l = block_links_.find(t);
        if (l == nullptr) invariant_broken("blocked list holds an unblocked tuple");
        if (l->older == t) break;
        t = l->older;
    }
    return out;
}

std::vector<FactId> Node::right_facts_with_children() const {
    std::vector<FactId> out;
    out.reserve(children_of_right_.size());
    children_of_right_.for_each([&](FactId f, const ChildList&) { out.push_back(f); });
    return out;
}

std::vector<FactId> Node::blockers() const {
    std::vector<FactId> out;
    out.reserve(blocked_.size());
    blocked_.for_each([&](FactId f, const BlockEnds&) { out.push_back(f); });
    return out;
}

void Node::block(TupleId t, FactId f) {
    if (block_links_.contains(t)) {
        // Already hanging on a blocker: unhook it there first.
        unblock(t);
    }
    bool fresh = !blocked_.contains(f);
    BlockEnds& ends = blocked_[f];
    BlockLink& link = block_links_[t];
    link = BlockLink{f, t, t};
    if (fresh) {
        ends = BlockEnds{t, t};
        return;
    }
    TupleId old_newest = ends.newest;
    ends.newest = t;
    link.older = old_newest;
    block_links_[old_newest].newer = t;
}

void Node::unblock(TupleId t) {
    BlockLink* it = block_links_.find(t);
    if (it == nullptr) return;
    BlockLink l = *it;
    block_links_.erase(t);
    BlockEnds* b = blocked_.find(l.blocker);
    if (b == nullptr) invariant_broken("blocked tuple without its blocker's list");
    bool newest = l.newer == t, oldest = l.older == t;
    if (newest && oldest) {
        blocked_.erase(l.blocker);
        return;
    }
    auto link_of = [&](TupleId u) -> BlockLink& {
        BlockLink* x = block_links_.find(u);
        if (x == nullptr) invariant_broken("blocked list holds an unblocked tuple");
        return *x;
    };
    if (newest) {
        b->newest = l.older;
        link_of(l.older).newer = l.older;
    } else if (oldest) {
        b->oldest = l.newer;
        link_of(l.newer).older = l.newer;
    } else {
        link_of(l.newer).older = l.older;
        link_of(l.older).newer = l.newer;
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
    lefts_.verify();
    rights_.verify();
    size_t alive = 0, alive_join = 0, dead = 0;
    for (size_t p = 0; p < children_.size(); ++p) {
        const ChildRec& c = children_[p];
        if (c.dead()) {
            ++dead;
        } else {
            ++alive;
            alive_join += c.has_right();
        }
    }
    if (dead != free_children_.size() + dying_children_.size()) {
        invariant_broken("node dead children disagree with its free positions");
    }
    // Every list holds alive children of its own key, linked both ways.
    auto check_list = [&](const ChildList& e, bool left, auto owns) -> size_t {
        size_t n = 0;
        uint32_t prev = kNone;
        for (uint32_t p = e.head; p != kNone; p = left ? rec(p).left_next : rec(p).right_next) {
            uint32_t back = left ? rec(p).left_prev : rec(p).right_prev;
            if (rec(p).dead() || (p != e.head && back != prev) || !owns(rec(p))) {
                invariant_broken("children list is broken");
            }
            prev = p;
            if (++n > children_.size()) invariant_broken("children list loops");
        }
        if (prev != tail_of(e, left)) invariant_broken("children list ends elsewhere");
        return n;
    };
    size_t by_left = 0, by_right = 0;
    left_info_.for_each([&](TupleId t, const LeftInfo& info) {
        by_left += check_list(info.children, true, [&](const ChildRec& c) { return c.parent == t; });
    });
    children_of_right_.for_each([&](FactId f, const ChildList& e) {
        by_right += check_list(e, false, [&](const ChildRec& c) { return c.has_right() && c.right == f; });
    });
    if (by_left != alive || by_right != alive_join) invariant_broken("children lists disagree with the alive children");

    if (kind_ != Kind::Not && kind_ != Kind::Exists) {
        if (!blocked_.empty() || !block_links_.empty()) invariant_broken("a join node holds blocked tuples");
        return;
    }
    size_t listed = 0;
    blocked_.for_each([&](FactId f, const BlockEnds& ends) {
        if (!rights_.contains(f)) invariant_broken("a blocker is missing from the right memory");
        std::vector<TupleId> list = blocked_by(f);
        if (list.back() != ends.oldest) invariant_broken("blocked list ends elsewhere");
        for (TupleId t : list) {
            if (block_links_.find(t)->blocker != f) invariant_broken("blocked tuple names another blocker");
            if (lefts_.contains(t)) invariant_broken("a blocked tuple is also in the left memory");
        }
        listed += list.size();
    });
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
void scan(const Memory<T>& m, IndexSpec index, const Key& probe, bool stored_is_field, std::vector<T>& out) {
    switch (index.kind()) {
        case IndexKind::None: m.items(out); return;
        case IndexKind::Equality: m.matching(probe, out); return;
        case IndexKind::Range: break;
    }
    if (!probe || probe.size() == 0) return;
    CmpOp cmp = index.op();
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

void Node::scan_lefts(const Key& probe, std::vector<TupleId>& out) const { scan(lefts_, probe_op(), probe, false, out); }
void Node::scan_rights(const Key& probe, std::vector<FactId>& out) const { scan(rights_, probe_op(), probe, true, out); }

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

std::vector<TupleId> Node::collect_matching_lefts(const Key& key) const { return collect_matching(lefts_, key); }
std::vector<FactId> Node::collect_matching_rights(const Key& key) const { return collect_matching(rights_, key); }

void do_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out) {
    switch (node.kind()) {
        case Kind::Join: do_join_node(env, i, node, std::move(sl), std::move(sr), out); break;
        case Kind::Not:
        case Kind::Exists: do_existential_node(env, i, node, std::move(sl), std::move(sr), out); break;
        case Kind::Acc: unreachable("accumulate nodes evaluate engine-side");
        case Kind::SubnetNot:
        case Kind::SubnetExists: unreachable("subnetwork CE nodes evaluate engine-side (D-089)");
        case Kind::Query: unreachable("?query CE nodes evaluate engine-side (D-056)");
        default: unreachable("node kind out of range");
    }
    node.reclaim_children();
    verify_after_evaluation(node);
}

}  // namespace quarn
