// ActivationList: a rule's pending activations with their heap and tuple index.
#include "engine/activation_list.h"

#include <algorithm>

#include "common/internal_error.h"

namespace quarn {

bool ActivationList::before(uint32_t a, uint32_t b) const {
    const Act& x = slots_[a].act;
    const Act& y = slots_[b].act;
    if (x.salience != y.salience) return x.salience < y.salience;
    if (x.seq != y.seq) return x.seq < y.seq;
    return a < b;
}

void ActivationList::push(Act a) {
    const uint32_t s = static_cast<uint32_t>(slots_.size());
    auto [it, fresh] = head_of_.try_emplace(a.tuple, s);
    slots_.push_back(Slot{std::move(a), fresh ? npos : it->second, true});
    if (!fresh) it->second = s;
    ++live_;
    heap_.push_back(s);
    std::push_heap(heap_.begin(), heap_.end(), [this](uint32_t x, uint32_t y) { return before(x, y); });
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
    maybe_compact();
    return n;
}

uint32_t ActivationList::best_slot() const {
    if (live_ == 0) invariant_broken("internal error: no activation to take");
    auto cmp = [this](uint32_t x, uint32_t y) { return before(x, y); };
    while (!slots_[heap_.front()].alive) {
        std::pop_heap(heap_.begin(), heap_.end(), cmp);
        heap_.pop_back();
    }
    return heap_.front();
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
    maybe_compact();
    return a;
}

std::vector<Act> ActivationList::items() const {
    std::vector<Act> out;
    out.reserve(live_);
    for_each_slot([&](uint32_t, const Act& a) { out.push_back(a); });
    return out;
}

// Dead slots are dropped once they outnumber the live ones; push order stays.
void ActivationList::maybe_compact() {
    const size_t dead = slots_.size() - live_;
    if (dead < 64 || dead < live_) return;
    std::vector<Slot> kept;
    kept.reserve(live_);
    for (Slot& s : slots_)
        if (s.alive) kept.push_back(std::move(s));
    slots_ = std::move(kept);
    first_live_ = 0;
    head_of_.clear();
    heap_.clear();
    for (uint32_t s = 0; s < slots_.size(); ++s) {
        auto [it, fresh] = head_of_.try_emplace(slots_[s].act.tuple, s);
        slots_[s].next_same = fresh ? npos : it->second;
        if (!fresh) it->second = s;
        heap_.push_back(s);
    }
    std::make_heap(heap_.begin(), heap_.end(), [this](uint32_t x, uint32_t y) { return before(x, y); });
}

}  // namespace quarn
