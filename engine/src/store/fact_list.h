// The FactIds of one type, strictly ascending, in at most 4 bytes each and
// nearly none for runs of consecutive ids, as a bulk insert or a rule
// inserting one type makes them.
//
// Words hold ids in ascending order, but for a run of consecutive ids
// first..last, which takes two words written last, first: a word followed by a
// smaller one ends a run that the smaller one starts. Nothing else in the
// list descends, so a reader tells runs from single ids by looking one word
// ahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "common/ids.h"

namespace quarn {

class FactList {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = FactId;
        using difference_type = std::ptrdiff_t;
        using pointer = const FactId*;
        using reference = FactId;

        iterator() = default;
        FactId operator*() const { return id_; }
        iterator& operator++() {
            if (id_ != last_) {
                ++id_;
            } else {
                at_ = next_;
                load();
            }
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& o) const { return at_ == o.at_ && (at_ == end_ || id_ == o.id_); }

    private:
        friend class FactList;
        iterator(const FactId* at, const FactId* end) : at_(at), end_(end) { load(); }
        // Reads the single id or run starting at at_.
        void load() {
            if (at_ == end_) return;
            if (at_ + 1 != end_ && at_[1] < at_[0]) {
                id_ = at_[1], last_ = at_[0], next_ = at_ + 2;
            } else {
                id_ = last_ = at_[0], next_ = at_ + 1;
            }
        }
        const FactId* at_ = nullptr;
        const FactId* end_ = nullptr;
        const FactId* next_ = nullptr;
        FactId id_ = 0, last_ = 0;
    };
    using const_iterator = iterator;
    using value_type = FactId;

    iterator begin() const { return iterator(words_.data(), words_.data() + words_.size()); }
    iterator end() const { return iterator(words_.data() + words_.size(), words_.data() + words_.size()); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The words kept: one per single id, two per run.
    size_t words() const { return words_.size(); }

    // `f` must be above every id in the list.
    void push_back(FactId f) {
        if (size_ != 0 && f == back_ + 1) {
            if (run_) {
                words_[words_.size() - 2] = f;
            } else {
                // The single id before becomes a run's first.
                words_.back() = f;
                words_.push_back(back_);
                run_ = true;
            }
        } else {
            words_.push_back(f);
            run_ = false;
        }
        back_ = f;
        ++size_;
    }
    // Appends first..first+count-1, all above every id in the list.
    void push_run(FactId first, size_t count) {
        for (size_t k = 0; k < count && k < 2; ++k) push_back(first + static_cast<FactId>(k));
        if (count > 2) {
            // Two ids made a run (or extended one): its last word moves on.
            back_ = first + static_cast<FactId>(count - 1);
            words_[words_.size() - 2] = back_;
            size_ += count - 2;
        }
    }
    // Keeps the ids `keep` says to keep, in order.
    template <class Keep>
    void keep_if(Keep keep) {
        FactList kept;
        for (FactId f : *this)
            if (keep(f)) kept.push_back(f);
        *this = std::move(kept);
    }
    void clear() { *this = FactList(); }

    friend bool operator==(const FactList& a, const std::vector<FactId>& b) {
        if (a.size() != b.size()) return false;
        size_t k = 0;
        for (FactId f : a)
            if (f != b[k++]) return false;
        return true;
    }

private:
    std::vector<FactId> words_;
    size_t size_ = 0;
    FactId back_ = 0;   // the last id, when size_ != 0
    bool run_ = false;  // whether the last id ends a run of two words
};

}  // namespace quarn
