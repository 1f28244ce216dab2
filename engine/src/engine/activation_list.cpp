// ActivationList: a rule's pending activations with their order stack, heap and tuple index.
#include "engine/activation_list.h"

#include <algorithm>

#include "common/internal_error.h"

namespace quarn {

void ActivationList::push(Act a) {
    const uint32_t s = static_cast<uint32_t>(slots_.size());
    const uint64_t stamp = ++next_stamp_;
    auto [it, fresh] = head_of_.try_emplace(a.tuple, s);
    slots_.push_back(Slot{std::move(a), fresh ? npos : it->second, stamp, true});
    if (!fresh) it->second = s;
    ++live_;
    const Ref r = ref(s);
    while (!stack_.empty() && !live(stack_.back())) stack_.pop_back();
    if (stack_.empty() || before(stack_.back(), r)) {
        stack_.push_back(r);
        return;
    }
    heap_.push_back(r);
    std::push_heap(heap_.begin(), heap_.end(), before);
}

void ActivationList::kill(uint32_t s) {
    Slot& slot = slots_[s];
    auto it = head_of_.find(slot.act.tuple);
    if (it == head_of_.end()) invariant_broken("internal error: a live activation missing from its tuple index");
    if (it->second == s) {
        if (slot.next_same == npos) head_of_.erase(it);
        else it->second = slot.next_same;
    } else {
        uint32_t p = it->second;
        while (slots_[p].next_same != s) p = slots_[p].next_same;
        slots_[p].next_same = slot.next_same;
    }
    slot.alive = false;
    slot.next_same = npos;
    --live_;
}

void ActivationList::trim_tail() {
    while (!slots_.empty() && !slots_.back().alive) slots_.pop_back();
    if (first_live_ > slots_.size()) first_live_ = static_cast<uint32_t>(slots_.size());
    if (slots_.empty()) {
        stack_.clear();
        heap_.clear();
    }
}

size_t ActivationList::remove_tuple(TupleId t) {
    auto it = head_of_.find(t);
    if (it == head_of_.end()) return 0;
    size_t n = 0;
    for (uint32_t s = it->second; s != npos;) {
        const uint32_t next = slots_[s].next_same;
        slots_[s].alive = false;
        slots_[s].next_same = npos;
        s = next;
        ++n;
    }
    head_of_.erase(it);
    live_ -= n;
    trim_tail();
    maybe_compact();
    return n;
}

uint32_t ActivationList::best_slot() const {
    if (live_ == 0) invariant_broken("internal error: no activation to take");
    while (!stack_.empty() && !live(stack_.back())) stack_.pop_back();
    while (!heap_.empty() && !live(heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), before);
        heap_.pop_back();
    }
    if (heap_.empty()) return stack_.back().slot;
    if (stack_.empty()) return heap_.front().slot;
    return before(stack_.back(), heap_.front()) ? heap_.front().slot : stack_.back().slot;
}

uint32_t ActivationList::first_slot() const {
    if (live_ == 0) invariant_broken("internal error: no activation to take");
    while (!slots_[first_live_].alive) ++first_live_;
    return first_live_;
}

Act ActivationList::take_slot(uint32_t s) {
    if (s >= slots_.size() || !slots_[s].alive) invariant_broken("internal error: taking a dead activation");
    Act a = slots_[s].act;
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
        kept.reserve(live_);
        for (Slot& s : slots_)
            if (s.alive) kept.push_back(std::move(s));
        slots_ = std::move(kept);
        first_live_ = 0;
        head_of_.clear();
        for (uint32_t s = 0; s < slots_.size(); ++s) {
            auto [it, fresh] = head_of_.try_emplace(slots_[s].act.tuple, s);
            slots_[s].next_same = fresh ? npos : it->second;
            if (!fresh) it->second = s;
        }
    }
    stack_.clear();
    heap_.clear();
    for (uint32_t s = 0; s < slots_.size(); ++s) {
        if (!slots_[s].alive) continue;
        slots_[s].stamp = ++next_stamp_;
        heap_.push_back(ref(s));
    }
    std::make_heap(heap_.begin(), heap_.end(), before);
}

}  // namespace quarn
