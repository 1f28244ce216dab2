// Tuple lists of the nodes the engine evaluates itself (?query and subnetwork
// nodes).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/dense_ids.h"
#include "common/hash.h"
#include "common/internal_error.h"
#include "network/tuple.h"

namespace quarn {

// The left tuples present at a node: arrival order kept, and lookup and
// removal by tuple in constant time, so that a left delete is not a walk over
// every left tuple. The index is built by the first lookup that finds the
// list longer than a few entries and kept from then on: a list only ever
// appended to (a bulk load) never hashes its tuples.
class ArrivalList {
public:
    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    bool contains(TupleId t) const { return oldest(t) != kNone; }

    // Appends `t` as the newest arrival.
    void push_back(TupleId t) {
        if (order_.size() >= kNone) invariant_broken("too many left tuples at one node");
        if (indexed_) {
            auto [it, fresh] = at_.try_emplace(t, Where{static_cast<uint32_t>(order_.size()), 0});
            ++it->second.count;
        }
        order_.push_back(Slot{t, true});
        ++live_;
    }
    // Removes the oldest entry holding `t`; false when there is none.
    bool remove_first(TupleId t) {
        const uint32_t s = oldest(t);
        if (s == kNone) return false;
        order_[s].live = false;
        --live_;
        if (indexed_) {
            Where& w = at_.at(t);
            if (--w.count == 0) {
                at_.erase(t);
            } else {
                // Only a tuple inserted twice without a delete between has a
                // second entry: walk on to it.
                uint32_t next = s + 1;
                while (!order_[next].live || order_[next].tuple != t) ++next;
                w.slot = next;
            }
        }
        trim();
        return true;
    }
    // An updated tuple moves to the end, as node memories keep it.
    void move_to_back(TupleId t) {
        if (remove_first(t)) push_back(t);
    }
    void clear() {
        order_.clear();
        at_.clear();
        indexed_ = false;
        live_ = 0;
    }

    // Calls f(t) for every tuple present, oldest arrival first.
    template <class F>
    void for_each(F f) const {
        for (const Slot& s : order_)
            if (s.live) f(s.tuple);
    }

private:
    struct Slot {
        TupleId tuple;
        bool live;
    };
    struct Where {
        uint32_t slot;   // the oldest live entry of the tuple
        uint32_t count;  // live entries holding it
    };
    static constexpr uint32_t kNone = UINT32_MAX;
    // Lists up to this many slots are scanned.
    static constexpr size_t kScanLimit = 8;

    // The slot of the oldest live entry holding `t`, or kNone.
    uint32_t oldest(TupleId t) const {
        if (!indexed_ && order_.size() > kScanLimit) build_index();
        if (indexed_) {
            auto it = at_.find(t);
            return it == at_.end() ? kNone : it->second.slot;
        }
        for (uint32_t s = 0; s < order_.size(); ++s)
            if (order_[s].live && order_[s].tuple == t) return s;
        return kNone;
    }
    void build_index() const {
        at_.clear();
        at_.reserve(live_);
        for (uint32_t s = 0; s < order_.size(); ++s) {
            if (!order_[s].live) continue;
            auto [it, fresh] = at_.try_emplace(order_[s].tuple, Where{s, 0});
            ++it->second.count;
        }
        indexed_ = true;
    }
    // Removed entries leave holes; the list is rebuilt once they outnumber
    // the live ones, so a walk stays proportional to what is present.
    void trim() {
        while (!order_.empty() && !order_.back().live) order_.pop_back();
        if (order_.size() - live_ <= live_ + 16) return;
        std::vector<Slot> kept;
        kept.reserve(live_);
        for (const Slot& s : order_)
            if (s.live) kept.push_back(s);
        order_ = std::move(kept);
        if (indexed_) build_index();
    }

    std::vector<Slot> order_;  // arrival order, with holes where entries left
    mutable HashMap<TupleId, Where> at_;  // while indexed_
    mutable bool indexed_ = false;
    size_t live_ = 0;
};

// The inner tuples extending one left tuple of a subnetwork node, in arrival
// order. Most left tuples have one or two, which are held in place; a list
// never empty while stored, as its owner drops it with its last tuple.
class InnerTuples {
public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void push_back(TupleId t) {
        if (size_ < kInline) in_place_[size_] = t;
        else more_.push_back(t);
        ++size_;
    }
    // Removes the oldest entry holding `t`; false when there is none.
    bool remove_first(TupleId t) {
        const size_t held = std::min<size_t>(size_, kInline);
        size_t i = 0;
        while (i < held && in_place_[i] != t) ++i;
        if (i < held) {
            for (; i + 1 < held; ++i) in_place_[i] = in_place_[i + 1];
            if (!more_.empty()) {
                in_place_[kInline - 1] = more_.front();
                more_.erase(more_.begin());
            }
        } else {
            auto at = std::find(more_.begin(), more_.end(), t);
            if (at == more_.end()) return false;
            more_.erase(at);
        }
        --size_;
        return true;
    }

private:
    static constexpr size_t kInline = 2;
    TupleId in_place_[kInline]{};
    uint32_t size_ = 0;
    std::vector<TupleId> more_;  // beyond the first kInline
};

// A subnetwork node's inner tuples by the left tuple they extend (the node
// drops a list with its last tuple). The lists are found
// through pages by tuple id: a node's left tuples were made close together
// and its inner tuples arrive nearly in their order, so a batch walks the
// pages in order where a hash table would scatter. The pages hold indexes
// into one list store, so that sparse ids cost four bytes a slot, not a list.
class InnerTuplesByLeft {
public:
    size_t size() const { return at_.size(); }
    bool contains(TupleId left) const { return at_.contains(left); }
    // The list of `left`, made empty when it has none; valid until the next
    // list is made.
    InnerTuples& list_of(TupleId left) {
        auto [at, fresh] = at_.try_emplace(left);
        if (fresh) {
            if (!free_.empty()) {
                at = free_.back();
                free_.pop_back();
            } else {
                if (lists_.size() >= UINT32_MAX) invariant_broken("too many inner lists at one node");
                at = static_cast<uint32_t>(lists_.size());
                lists_.emplace_back();
            }
        }
        return lists_[at];
    }
    InnerTuples* find(TupleId left) {
        const uint32_t* at = at_.find(left);
        return at == nullptr ? nullptr : &lists_[*at];
    }
    // Drops the list of `left`.
    void erase(TupleId left) {
        const uint32_t* at = at_.find(left);
        if (at == nullptr) return;
        lists_[*at] = InnerTuples{};
        free_.push_back(*at);
        at_.erase(left);
    }
    // Calls f(left, list) ascending by left tuple id.
    template <class F>
    void for_each(F f) const {
        at_.for_each([&](TupleId left, uint32_t at) { f(left, lists_[at]); });
    }

private:
    DenseIdMap<uint32_t, TupleId> at_;  // left tuple -> its list in lists_
    std::vector<InnerTuples> lists_;
    std::vector<uint32_t> free_;  // lists_ entries no left tuple holds
};

}  // namespace quarn
