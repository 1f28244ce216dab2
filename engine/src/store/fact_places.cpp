// Fact places in pages that stay runs until a fact breaks them.
#include "store/fact_places.h"

#include <algorithm>

namespace quarn {

FactPlaces::FactPlaces(const FactPlaces& o) : alive_(o.alive_), size_(o.size_), emptied_(o.emptied_) {
    pages_.reserve(o.pages_.size());
    for (size_t k = 0; k < o.pages_.size(); ++k) {
        const Page& p = o.pages_[k];
        pages_.push_back(Page{p.type, p.row, nullptr, p.live});
        if (p.places) {
            // Only the places of issued facts were written.
            const size_t used = std::min(kPage, size_ - k * kPage);
            pages_.back().places = std::make_unique_for_overwrite<Place[]>(kPage);
            std::copy(p.places.get(), p.places.get() + used, pages_.back().places.get());
        }
    }
}

FactPlaces& FactPlaces::operator=(const FactPlaces& o) {
    if (this != &o) *this = FactPlaces(o);
    return *this;
}

void FactPlaces::split(Page& p, size_t used) {
    p.places = std::make_unique_for_overwrite<Place[]>(kPage);
    for (size_t k = 0; k < used; ++k) p.places[k] = {p.type, p.row + static_cast<uint32_t>(k)};
}

void FactPlaces::append(TypeId type, uint32_t first_row, size_t count) {
    while (count > 0) {
        const size_t offset = size_ & (kPage - 1);
        const size_t take = std::min(count, kPage - offset);
        if (offset == 0) {
            pages_.push_back(Page{type, first_row, nullptr, 0});
        } else {
            Page& p = pages_.back();
            if (!p.places && (p.type != type || p.row + offset != first_row)) split(p, offset);
            if (p.places)
                for (size_t k = 0; k < take; ++k) p.places[offset + k] = {type, first_row + static_cast<uint32_t>(k)};
        }
        const size_t end = size_ + take;
        if (alive_.size() < (end + 63) / 64) alive_.resize((end + 63) / 64, 0);
        for (size_t f = size_; f < end; ++f) alive_[f >> 6] |= uint64_t{1} << (f & 63);
        pages_.back().live += static_cast<uint32_t>(take);
        size_ = end;
        first_row += static_cast<uint32_t>(take);
        count -= take;
    }
}

void FactPlaces::move(FactId f, uint32_t row) {
    const size_t page = f >> kShift;
    Page& p = pages_[page];
    const auto offset = static_cast<uint32_t>(f & (kPage - 1));
    if (!p.places) {
        // A run page holds one type: its live facts come one after another,
        // and stay a run while their new rows keep counting up with the ids.
        const uint32_t start = row - offset;
        const bool first = page != moving_page_;
        moving_page_ = page;
        if (first || p.row == start) {
            p.row = start;
            return;
        }
        split(p, issued(page));
    }
    moving_page_ = page;
    p.places[offset].row = row;
}

void FactPlaces::drop_dead_pages(std::span<const FactId> keep) {
    std::vector<uint32_t> held;
    for (uint32_t page : emptied_) {
        if (pages_[page].live != 0) continue;
        const auto first = static_cast<FactId>(size_t{page} * kPage);
        const auto at = std::lower_bound(keep.begin(), keep.end(), first);
        if (at != keep.end() && *at - first < kPage) held.push_back(page);
        else pages_[page].places.reset();
    }
    emptied_ = std::move(held);
}

void FactPlaces::reserve(size_t more) {
    const size_t need = size_ + more;
    pages_.reserve((need + kPage - 1) / kPage);
    alive_.reserve((need + 63) / 64);
}

void FactPlaces::clear() {
    pages_.clear();
    alive_.clear();
    emptied_.clear();
    size_ = 0;
}

}  // namespace quarn
