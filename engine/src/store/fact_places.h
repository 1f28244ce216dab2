// Where each fact's cells are -- its type and its row in that type's
// columns -- and whether it is alive, by FactId.
//
// Facts mostly arrive in runs: a bulk insert of one type, a rule inserting
// one type of fact firing after firing. A page of 4096 FactIds that is one
// run (one type, rows counting up with the ids) keeps only the run's start;
// it gets a place per fact the first time a fact breaks the run. Pages never
// move, so a growing store copies nothing and a run costs no bytes per fact
// beyond its alive bit. When the store closes up its rows, a run whose facts
// keep consecutive rows stays a run; a page whose facts are all dead lets go
// of its places.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/ids.h"

namespace quarn {

class FactPlaces {
public:
    struct Place {
        TypeId type;
        uint32_t row;
    };
    static constexpr unsigned kShift = 12;
    static constexpr size_t kPage = size_t{1} << kShift;

    FactPlaces() = default;
    FactPlaces(const FactPlaces& o);
    FactPlaces& operator=(const FactPlaces& o);
    FactPlaces(FactPlaces&&) noexcept = default;
    FactPlaces& operator=(FactPlaces&&) noexcept = default;

    size_t size() const { return size_; }
    // `f` must be below size().
    Place at(FactId f) const {
        const Page& p = pages_[f >> kShift];
        if (!p.places) return {p.type, p.row + static_cast<uint32_t>(f & (kPage - 1))};
        return p.places[f & (kPage - 1)];
    }
    bool alive(FactId f) const { return (alive_[f >> 6] >> (f & 63)) & 1; }
    // `f` must be alive.
    void kill(FactId f) {
        alive_[f >> 6] &= ~(uint64_t{1} << (f & 63));
        Page& p = pages_[f >> kShift];
        if (--p.live == 0 && p.places) emptied_.push_back(static_cast<uint32_t>(f >> kShift));
    }

    // Moving live facts to new rows, as the store closes up a type's rows:
    // every live fact of the type, ascending, each once. A run page whose facts
    // keep consecutive rows only moves its start.
    void begin_moves() { moving_page_ = SIZE_MAX; }
    void move(FactId f, uint32_t row);
    // Lets go of the places of the pages whose facts all died but for none of
    // `keep` (ascending): their places are read no more once the store gave
    // their rows back.
    void drop_dead_pages(std::span<const FactId> keep);

    // Appends `count` live facts of type `type` at rows `first_row` on.
    void append(TypeId type, uint32_t first_row, size_t count);
    // append of one fact; inline for the usual case, a run that goes on.
    void push(TypeId type, uint32_t row) {
        const size_t offset = size_ & (kPage - 1);
        if (offset == 0 || (size_ & 63) == 0) return append(type, row, 1);
        const Page& p = pages_.back();
        if (p.places || p.type != type || p.row + offset != row) return append(type, row, 1);
        alive_.back() |= uint64_t{1} << (size_ & 63);
        ++pages_.back().live;
        ++size_;
    }
    // Room in the page and alive tables for `more` facts.
    void reserve(size_t more);
    void clear();
    // Whether page `page` keeps a place per fact (for tests).
    bool page_has_places(size_t page) const { return pages_[page].places != nullptr; }

private:
    struct Page {
        TypeId type = 0;
        // Of the page's first FactId while it is one run; rows count up with
        // the ids, wrapping (a run that closed up may start below row 0).
        uint32_t row = 0;
        std::unique_ptr<Place[]> places;
        uint32_t live = 0;  // live facts on the page
    };
    // Gives page `p`, a run so far holding `used` facts, a place per fact.
    static void split(Page& p, size_t used);

    // The facts issued on page `page`.
    size_t issued(size_t page) const { return std::min(kPage, size_ - page * kPage); }

    std::vector<Page> pages_;
    std::vector<uint64_t> alive_;  // bit f: fact f is alive
    size_t size_ = 0;
    // Pages with places whose last live fact died, until drop_dead_pages.
    std::vector<uint32_t> emptied_;
    size_t moving_page_ = SIZE_MAX;  // the page of the last move
};

}  // namespace quarn
