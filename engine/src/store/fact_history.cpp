// The log of changes that snapshots of the store read past.
#include "store/fact_history.h"

#include <algorithm>

#include "common/hash.h"
#include "common/internal_error.h"
#include "store/fact_store.h"

namespace quarn {

FactHistory::~FactHistory() = default;

std::shared_ptr<const FactHistory::Mark> FactHistory::add_mark(FactId fact_count) {
    prune();
    auto mark = std::make_shared<const Mark>(Mark{end_position(), fact_count});
    marks_.emplace_back(mark, mark->position);
    // A new epoch: the next overwrite of any cell is the first since this mark.
    overwritten_.clear();
    return mark;
}

bool FactHistory::prune() {
    while (!marks_.empty() && marks_.front().first.expired()) marks_.pop_front();
    if (marks_.empty()) {
        first_position_ = end_position();
        first_cell_ += cells_.size();
        changes_.clear();
        cells_.clear();
        overwritten_.clear();
        prune_at_ = kPruneStep;
        return false;
    }
    const uint64_t oldest = marks_.front().second;
    if (oldest < first_position_) invariant_broken("a live snapshot's changes were pruned");
    const size_t drop = static_cast<size_t>(oldest - first_position_);
    if (drop != 0) {
        // The removed cells still needed start at the first removal kept.
        uint64_t first_cell = first_cell_ + cells_.size();
        for (size_t k = drop; k < changes_.size(); ++k) {
            if (changes_[k].field == Change::kRemoved) {
                first_cell = changes_[k].cells;
                break;
            }
        }
        changes_.erase(changes_.begin(), changes_.begin() + static_cast<ptrdiff_t>(drop));
        cells_.erase(cells_.begin(), cells_.begin() + static_cast<ptrdiff_t>(first_cell - first_cell_));
        first_position_ = oldest;
        first_cell_ = first_cell;
    }
    prune_at_ = std::max(kPruneStep, 2 * changes_.size());
    return true;
}

bool FactHistory::first_overwrite(FactId fact, uint32_t field) {
    uint64_t& fields = overwritten_[fact];
    const uint64_t bit = uint64_t{1} << field;
    if (fields & bit) return false;
    fields |= bit;
    return true;
}

void FactHistory::note_overwrite(FactId fact, TypeId type, uint32_t field, Value before) {
    changes_.push_back(Change{fact, type, field, 0, 0, std::move(before)});
}

void FactHistory::note_removal_at(FactId fact, TypeId type, uint32_t entry_point, uint64_t cells_at) {
    changes_.push_back(Change{fact, type, Change::kRemoved, entry_point, cells_at, Value()});
}

void FactHistory::freeze(std::unique_ptr<const FactStore> store) {
    frozen_ = std::move(store);
    live_ = nullptr;
}

std::pair<const FactHistory::Change*, const FactHistory::Change*> FactHistory::changes_since(uint64_t position) const {
    if (position < first_position_ || position > end_position())
        invariant_broken("a snapshot reads changes the log no longer holds");
    const Change* begin = changes_.data() + (position - first_position_);
    return {begin, changes_.data() + changes_.size()};
}

// --- Reading a snapshot.

namespace {

uint64_t cell_key(FactId fact, uint32_t field) { return (uint64_t{fact} << 6) | field; }

}  // namespace

struct FactSnapshot::Past {
    // The first overwrite of each cell since the mark, by cell_key.
    HashMap<uint64_t, const FactHistory::Change*> first;
    std::vector<const FactHistory::Change*> overwrites;  // those firsts, in log order
    std::vector<const FactHistory::Change*> removals;    // ascending by fact
};

FactSnapshot::Past FactSnapshot::past(std::optional<TypeId> type) const {
    Past p;
    const auto [begin, end] = history_->changes_since(mark_->position);
    const FactId seen = mark_->fact_count;
    for (const FactHistory::Change* c = begin; c != end; ++c) {
        if (c->fact >= seen || (type && c->type != *type)) continue;
        if (c->field == FactHistory::Change::kRemoved) {
            p.removals.push_back(c);
        } else if (p.first.try_emplace(cell_key(c->fact, c->field), c).second) {
            p.overwrites.push_back(c);
        }
    }
    // A fact is removed once, so the order by fact is total.
    std::sort(p.removals.begin(), p.removals.end(),
              [](const FactHistory::Change* a, const FactHistory::Change* b) { return a->fact < b->fact; });
    return p;
}

void FactSnapshot::fill_cells(const Past& past, SnapshotRows& rows,
                              const std::vector<std::pair<uint32_t, const FactHistory::Change*>>& removed,
                              std::optional<TypeId> type) const {
    const FactStore& store = base();
    // A cell overwritten before its fact was removed was logged first: its
    // first overwrite holds the value the snapshot saw.
    for (const auto& [at, c] : removed) {
        const Value* cells = history_->removed_cells(*c);
        const size_t fields = store.schema(c->type).fields.size();
        for (uint32_t field = 0; field < fields; ++field) {
            const auto it = past.first.find(cell_key(c->fact, field));
            rows.cells.push_back({at, field, it != past.first.end() ? it->second->before : cells[field]});
        }
    }
    for (const FactHistory::Change* c : past.overwrites) {
        if (type && c->type != *type) continue;
        const auto it = std::lower_bound(rows.ids.begin(), rows.ids.end(), c->fact);
        if (it == rows.ids.end() || *it != c->fact) continue;
        const auto at = static_cast<uint32_t>(it - rows.ids.begin());
        if (rows.rows[at] == SnapshotRows::kNoRow) continue;  // among the removed above
        rows.cells.push_back({at, c->field, c->before});
    }
    std::sort(rows.cells.begin(), rows.cells.end(), [](const SnapshotRows::Cell& a, const SnapshotRows::Cell& b) {
        return a.field != b.field ? a.field < b.field : a.at < b.at;
    });
}

SnapshotRows FactSnapshot::rows_of_type(TypeId type) const {
    SnapshotRows rows;
    if (!history_) return rows;
    const FactStore& store = base();
    const FactId seen = mark_->fact_count;
    const Past p = past(type);
    std::vector<std::pair<uint32_t, const FactHistory::Change*>> removed;
    auto next_removed = p.removals.begin();
    // The facts removed since, below `limit`, in their places.
    auto removed_below = [&](FactId limit) {
        for (; next_removed != p.removals.end() && (*next_removed)->fact < limit; ++next_removed) {
            const FactHistory::Change* c = *next_removed;
            if (c->entry_point != 0) continue;
            removed.emplace_back(static_cast<uint32_t>(rows.ids.size()), c);
            rows.ids.push_back(c->fact);
            rows.rows.push_back(SnapshotRows::kNoRow);
        }
    };
    // The type's list holds every fact of it alive now, ascending.
    for (FactId f : store.facts_of_type(type)) {
        if (f >= seen) break;
        if (!store.is_alive(f) || store.entry_point(f) != 0) continue;
        removed_below(f);
        rows.ids.push_back(f);
        rows.rows.push_back(store.row_of(f));
    }
    removed_below(seen);
    fill_cells(p, rows, removed, type);
    return rows;
}

std::vector<SnapshotRows> FactSnapshot::rows_since(FactId since) const {
    if (!history_) return {};
    const FactStore& store = base();
    const FactId seen = mark_->fact_count;
    std::vector<SnapshotRows> by_type(store.type_count());
    std::vector<std::vector<std::pair<uint32_t, const FactHistory::Change*>>> removed(store.type_count());
    const Past p = past(std::nullopt);
    auto next_removed = std::lower_bound(
        p.removals.begin(), p.removals.end(), since,
        [](const FactHistory::Change* c, FactId f) { return c->fact < f; });
    for (FactId f = since; f < seen; ++f) {
        if (store.is_alive(f)) {
            if (store.entry_point(f) != 0) continue;
            SnapshotRows& rows = by_type[store.fact_type(f)];
            rows.ids.push_back(f);
            rows.rows.push_back(store.row_of(f));
        } else if (next_removed != p.removals.end() && (*next_removed)->fact == f) {
            const FactHistory::Change* c = *next_removed++;
            if (c->entry_point != 0) continue;
            SnapshotRows& rows = by_type[c->type];
            removed[c->type].emplace_back(static_cast<uint32_t>(rows.ids.size()), c);
            rows.ids.push_back(f);
            rows.rows.push_back(SnapshotRows::kNoRow);
        }
    }
    for (TypeId t = 0; t < by_type.size(); ++t)
        if (!by_type[t].ids.empty()) fill_cells(p, by_type[t], removed[t], t);
    return by_type;
}

}  // namespace quarn
