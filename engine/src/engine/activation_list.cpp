// ActivationList: a rule's pending activations with their order stack, heap and tuple index.
#include "engine/activation_list.h"

#include <algorithm>

#include "common/internal_error.h"

namespace quarn {

void ActivationList::push_tuple(TupleId t, int32_t salience, uint64_t& last_seq, FactId key) {
    auto [rec, fresh] = tuples_.try_emplace(id(t));
    if (fresh) set_seq(id(t), rec, ++last_seq);
    push_into(rec, Act{t, fresh ? last_seq : seq_of(id(t), rec), salience}, key);
}

void ActivationList::push(Act a, FactId key) {
    auto [rec, fresh] = tuples_.try_emplace(id(a.tuple));
    if (fresh) set_seq(id(a.tuple), rec, a.seq);
    push_into(rec, a, key);
}

void ActivationList::link_key(uint32_t s, FactId key) {
    if (key_links_.size() < slots_.size()) key_links_.resize(slots_.size());
    KeyLink& link = key_links_[s];
    link = KeyLink{key, npos, npos};
    if (key == kNoKey) return;
    auto [rec, fresh] = keys_.try_emplace(key);
    if (!fresh) {
        link.older = rec.newest;
        key_links_[rec.newest].newer = s;
    } else {
        rec.oldest = s;
    }
    rec.newest = s;
}

void ActivationList::unlink_key(uint32_t s) {
    KeyLink& link = key_links_[s];
    if (link.key == kNoKey) return;
    KeyRec* rec = keys_.find(link.key);
    if (rec == nullptr) invariant_broken("a keyed activation missing from its key index");
    if (link.older != npos) key_links_[link.older].newer = link.newer;
    else rec->oldest = link.newer;
    if (link.newer != npos) key_links_[link.newer].older = link.older;
    else rec->newest = link.older;
    if (rec->oldest == npos) keys_.erase(link.key);
    link = KeyLink{};
}

void ActivationList::push_into(TupleRec& rec, Act a, FactId key) {
    if (a.seq >> 62) invariant_broken("an activation sequence number past 2^62");
    const uint32_t s = static_cast<uint32_t>(slots_.size());
    const uint32_t older = rec.head;
    slots_.push_back(Slot{a.tuple, a.salience, a.seq, 1, 0});
    rec.head = s;
    if (older != npos) chain_same(s, older);
    ++live_;
    if (key != kNoKey || !key_links_.empty()) link_key(s, key);
    const Ref r = ref(s);
    const uint32_t top = stack_top();
    if (top == npos || before(ref(top), r)) {
        if (!stack_.empty() && stack_.back().hi == s) ++stack_.back().hi;
        else stack_.push_back(Run{s, s + 1});
        return;
    }
    heap_.push_back(r);
    std::push_heap(heap_.begin(), heap_.end(), before);
}

void ActivationList::chain_same(uint32_t s, uint32_t older) {
    slots_[s].chained = 1;
    same_[s] = SameLinks{older, npos};
    if (!slots_[older].chained) {
        slots_[older].chained = 1;
        same_[older] = SameLinks{npos, s};
    } else {
        same_.at(older).newer = s;
    }
}

void ActivationList::unlink_same(uint32_t s) {
    auto it = same_.find(s);
    if (it == same_.end()) invariant_broken("a chained activation missing from its chain");
    const SameLinks links = it->second;
    same_.erase(it->first);
    slots_[s].chained = 0;
    // A neighbour left without others of its tuple leaves the side links.
    auto relink = [&](uint32_t n, uint32_t SameLinks::*side, uint32_t to) {
        SameLinks& l = same_.at(n);
        l.*side = to;
        if (l.older == npos && l.newer == npos) {
            same_.erase(n);
            slots_[n].chained = 0;
        }
    };
    if (links.newer != npos) {
        relink(links.newer, &SameLinks::older, links.older);
    } else {
        TupleRec* rec = tuples_.find(id(slots_[s].tuple));
        if (rec == nullptr) invariant_broken("a live activation missing from its tuple index");
        rec->head = links.older;
    }
    if (links.older != npos) relink(links.older, &SameLinks::newer, links.newer);
}

void ActivationList::kill(uint32_t s) {
    Slot& slot = slots_[s];
    if (slot.chained) {
        unlink_same(s);
    } else {
        // The tuple's only activation: its record heads nothing now.
        TupleRec* rec = tuples_.find(id(slot.tuple));
        if (rec == nullptr || rec->head != s) invariant_broken("a live activation missing from its tuple index");
        rec->head = npos;
    }
    if (s < key_links_.size()) unlink_key(s);
    slot.alive = 0;
    --live_;
}

uint32_t ActivationList::stack_top() const {
    while (!stack_.empty()) {
        Run& run = stack_.back();
        while (run.hi > run.lo && !slots_[run.hi - 1].alive) --run.hi;
        if (run.hi > run.lo) return run.hi - 1;
        stack_.pop_back();
    }
    return npos;
}

void ActivationList::cut_stack() {
    const uint32_t end = static_cast<uint32_t>(slots_.size());
    while (!stack_.empty() && stack_.back().hi > end) {
        Run& run = stack_.back();
        run.hi = std::max(run.lo, end);
        if (run.hi == run.lo) stack_.pop_back();
    }
}

void ActivationList::trim_tail() {
    while (!slots_.empty() && !slots_.back().alive) slots_.pop_back();
    cut_stack();
    if (!key_links_.empty() && key_links_.size() > slots_.size()) key_links_.resize(slots_.size());
    if (first_live_ > slots_.size()) first_live_ = static_cast<uint32_t>(slots_.size());
    if (slots_.empty()) {
        stack_.clear();
        heap_.clear();
    }
    // Checked as the slots' count passes a multiple of 256: room comes back a
    // little late, and a take pays next to nothing for it.
    if (slots_.size() % 256 == 0) release_slack();
}

namespace {

// A vector left holding under a quarter of its room gives the rest back: a
// fire that takes a million activations does not keep their slots through
// the rest of the session. The copy is of what is left, so the shrinking
// costs O(1) per element taken, and a small vector is left alone.
template <class T>
void give_back(std::vector<T>& v) {
    constexpr size_t kKeep = 4096 / sizeof(T);
    if (v.capacity() <= kKeep || v.size() >= v.capacity() / 4) return;
    std::vector<T>(v.begin(), v.end()).swap(v);
}

}  // namespace

void ActivationList::release_slack() {
    give_back(slots_);
    give_back(key_links_);
    give_back(stack_);
    give_back(heap_);
}

size_t ActivationList::reserved_bytes() const {
    return slots_.capacity() * sizeof(Slot) + key_links_.capacity() * sizeof(KeyLink) +
           stack_.capacity() * sizeof(Run) + heap_.capacity() * sizeof(Ref);
}

size_t ActivationList::remove_tuple(TupleId t) {
    TupleRec* rec = tuples_.find(id(t));
    if (rec == nullptr || rec->head == npos) return 0;
    size_t n = 0;
    for (uint32_t s = rec->head; s != npos; ++n) {
        uint32_t next = npos;
        if (slots_[s].chained) {
            auto it = same_.find(s);
            if (it == same_.end()) invariant_broken("a chained activation missing from its chain");
            next = it->second.older;
            same_.erase(s);
            slots_[s].chained = 0;
        }
        if (s < key_links_.size()) unlink_key(s);
        slots_[s].alive = 0;
        s = next;
    }
    rec->head = npos;
    live_ -= n;
    trim_tail();
    maybe_compact();
    return n;
}

size_t ActivationList::forget(TupleId t) {
    const size_t n = remove_tuple(t);
    erase_tuple(id(t));
    return n;
}

uint32_t ActivationList::best_slot() const {
    if (live_ == 0) invariant_broken("no activation to take");
    const uint32_t top = stack_top();
    while (!heap_.empty() && !live(heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), before);
        heap_.pop_back();
    }
    if (heap_.empty()) return top;
    if (top == npos) return heap_.front().slot;
    return before(ref(top), heap_.front()) ? heap_.front().slot : top;
}

uint32_t ActivationList::first_slot() const {
    if (live_ == 0) invariant_broken("no activation to take");
    while (!slots_[first_live_].alive) ++first_live_;
    return first_live_;
}

Act ActivationList::take_slot(uint32_t s) {
    if (s >= slots_.size() || !slots_[s].alive) invariant_broken("taking a dead activation");
    Act a = slots_[s].act();
    kill(s);
    trim_tail();
    maybe_compact();
    return a;
}

std::vector<Act> ActivationList::items() const {
    std::vector<Act> out;
    out.reserve(live_);
    for_each_slot([&](uint32_t, const Act& a) { out.push_back(a); });
    return out;
}

// Dead slots are dropped once they outnumber the live ones, push order kept;
// so are stale refs once they outnumber the live slots (slots trimmed off the
// end leave theirs behind). Every live slot then goes to the heap, and the
// stack starts again empty.
void ActivationList::maybe_compact() {
    const size_t dead = slots_.size() - live_;
    const size_t refs = stack_.size() + heap_.size();
    const bool slots_waste = dead >= 64 && dead >= live_;
    if (!slots_waste && (refs < 64 || refs < 2 * live_)) return;
    if (slots_waste) {
        std::vector<Slot> kept;
        std::vector<KeyLink> kept_links;
        kept.reserve(live_);
        for (uint32_t s = 0; s < slots_.size(); ++s) {
            if (!slots_[s].alive) continue;
            kept.push_back(slots_[s]);
            if (!key_links_.empty()) kept_links.push_back(s < key_links_.size() ? key_links_[s] : KeyLink{});
        }
        slots_ = std::move(kept);
        key_links_ = std::move(kept_links);
        first_live_ = 0;
        // The key chains are linked again in push order below.
        keys_.clear();
        for (uint32_t s = 0; s < key_links_.size(); ++s)
            if (key_links_[s].key != kNoKey) link_key(s, key_links_[s].key);
    }
    stack_.clear();
    heap_.clear();
    // Chains and heads are rebuilt in push order: each tuple's record names
    // its newest slot, which links to the older ones when there are any.
    auto rec_of = [&](TupleId t) -> TupleRec& {
        TupleRec* rec = tuples_.find(id(t));
        if (rec == nullptr) invariant_broken("a live activation missing from its tuple index");
        return *rec;
    };
    same_.clear();
    for (Slot& s : slots_)
        if (s.alive) rec_of(s.tuple).head = npos, s.chained = 0;
    for (uint32_t s = 0; s < slots_.size(); ++s) {
        if (!slots_[s].alive) continue;
        TupleRec& rec = rec_of(slots_[s].tuple);
        const uint32_t older = rec.head;
        rec.head = s;
        if (older != npos) chain_same(s, older);
        heap_.push_back(ref(s));
    }
    std::make_heap(heap_.begin(), heap_.end(), before);
}

}  // namespace quarn
