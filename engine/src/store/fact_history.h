// The store as it stood at an earlier moment, for readers that outlive the
// moment: a fire's result reads its final facts whenever it is asked, long
// after the session has changed again.
//
// Taking a snapshot copies nothing. While some snapshot lives, the store logs
// what it changes among the facts a snapshot can see -- the first overwrite of
// each cell after the newest snapshot, with the cell as it was, and each
// removed fact with all of its cells -- and a reader puts the store of now and
// the log together into the store as it was. A change thus costs what it
// touches, whatever the store's size, and the log holds what changed since the
// oldest snapshot still alive. When the store empties (reset) or goes, it hands
// its facts to the history, which snapshots then read in its place.
//
// Facts are numbered ascending and never revived, which is what makes this
// work: a fact numbered at or above a snapshot's fact count came after it, a
// fact alive now was alive then, and a fact dead now that the log does not
// name since the snapshot was dead then.
//
// Threads: snapshots are read, and the store changed, by one thread at a time
// (the bindings hold a lock around both); a snapshot may be dropped on any
// thread, which only releases its references.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <memory>
#include <utility>
#include <vector>

#include "common/dense_ids.h"
#include "common/ids.h"
#include "store/value.h"

namespace quarn {

class FactStore;

class FactHistory {
public:
    // A snapshot's place: it sees the facts numbered below fact_count as they
    // were before the change at `position` of the log.
    struct Mark {
        uint64_t position = 0;
        FactId fact_count = 0;
    };
    // One change, in the order the store made them.
    struct Change {
        static constexpr uint32_t kRemoved = UINT32_MAX;
        FactId fact = 0;
        TypeId type = 0;
        uint32_t field = 0;        // the cell overwritten, or kRemoved
        uint32_t entry_point = 0;  // of a removed fact
        uint64_t cells = 0;        // of a removed fact: its first cell in the removed cells
        Value before;              // of an overwritten cell: its value before
    };

    explicit FactHistory(const FactStore* live) : live_(live) {}
    FactHistory(const FactHistory&) = delete;
    FactHistory& operator=(const FactHistory&) = delete;
    ~FactHistory();

    // --- For the store whose changes it logs.
    // A new snapshot's mark at the end of the log, seeing `fact_count` facts;
    // the log first drops what no snapshot alive needs.
    std::shared_ptr<const Mark> add_mark(FactId fact_count);
    // Drops the changes older than the oldest snapshot alive; false, with the
    // log emptied, when none is alive.
    bool prune();
    // Whether the log grew enough since the last prune to look again.
    bool prune_due() const { return changes_.size() >= prune_at_; }
    // Whether this is the first overwrite of the cell since the newest mark;
    // it counts as made from now on.
    bool first_overwrite(FactId fact, uint32_t field);
    void note_overwrite(FactId fact, TypeId type, uint32_t field, Value before);
    // A removed fact and its cells, in field order: cell(i) for i < fields,
    // copied straight into the log.
    template <class CellAt>
    void note_removal(FactId fact, TypeId type, uint32_t entry_point, size_t fields, CellAt cell) {
        const uint64_t at = first_cell_ + cells_.size();
        for (size_t i = 0; i < fields; ++i) cells_.push_back(cell(i));
        note_removal_at(fact, type, entry_point, at);
    }
    // The store moved to `live`.
    void follow(const FactStore* live) { live_ = live; }
    // The store empties or goes: snapshots read `store` from now on, and
    // nothing more is logged.
    void freeze(std::unique_ptr<const FactStore> store);

    // --- For snapshots.
    // The store the log is read against: the live one, or the one frozen.
    const FactStore& base() const { return frozen_ ? *frozen_ : *live_; }
    uint64_t end_position() const { return first_position_ + changes_.size(); }
    // The changes from `position` on, in order; `position` must not have been
    // pruned (a live mark's never is).
    std::pair<const Change*, const Change*> changes_since(uint64_t position) const;
    // The cells of a removal, in field order.
    const Value* removed_cells(const Change& removal) const { return &cells_[removal.cells - first_cell_]; }
    // Changes kept, for tests that count what a snapshot holds on to.
    size_t changes_kept() const { return changes_.size(); }

private:
    static constexpr size_t kPruneStep = 4096;

    const FactStore* live_;
    std::unique_ptr<const FactStore> frozen_;
    // Snapshots in the order taken, with their positions; the front is the
    // oldest that may be alive (dead ones leave once they reach the front).
    std::deque<std::pair<std::weak_ptr<const Mark>, uint64_t>> marks_;
    void note_removal_at(FactId fact, TypeId type, uint32_t entry_point, uint64_t cells_at);

    std::vector<Change> changes_;  // positions first_position_ on
    uint64_t first_position_ = 0;
    std::vector<Value> cells_;  // of removals, numbered first_cell_ on
    uint64_t first_cell_ = 0;
    // By fact: the fields overwritten since the newest mark (bit i: field i).
    DenseIdMap<uint64_t> overwritten_;
    size_t prune_at_ = kPruneStep;
};

// The facts a reader builds one type's table from, and where each cell is
// read: from the base store's columns at the fact's row, or as kept.
struct SnapshotRows {
    static constexpr uint32_t kNoRow = UINT32_MAX;
    struct Cell {
        uint32_t at = 0;  // index in ids
        uint32_t field = 0;
        Value value;
    };
    std::vector<FactId> ids;     // ascending
    std::vector<uint32_t> rows;  // by index in ids: the row in the base store's columns, kNoRow for a fact removed since
    // The cells not read from the base store (every cell of a removed fact,
    // those overwritten since), by field, then by index in ids.
    std::vector<Cell> cells;

    size_t size() const { return ids.size(); }
};

// The store as it was when taken (FactStore::snapshot). Copies share the
// moment; a default one sees no fact.
class FactSnapshot {
public:
    FactSnapshot() = default;
    FactSnapshot(std::shared_ptr<const FactHistory> history, std::shared_ptr<const FactHistory::Mark> mark)
        : history_(std::move(history)), mark_(std::move(mark)) {}

    bool empty() const { return history_ == nullptr; }
    FactId fact_count() const { return mark_ ? mark_->fact_count : 0; }
    // The store that rows name rows of. Not for a default snapshot.
    const FactStore& base() const { return history_->base(); }
    // The facts of type `type` alive then that came in through the default
    // entry point, ascending.
    SnapshotRows rows_of_type(TypeId type) const;
    // The same, by TypeId for every type, of the facts numbered `since` on:
    // one pass over those numbers.
    std::vector<SnapshotRows> rows_since(FactId since) const;

private:
    struct Past;
    // What the log says since the mark about the facts the snapshot sees, of
    // type `type` (every type when none).
    Past past(std::optional<TypeId> type) const;
    // Fills rows.cells from `past` for the removed facts at `removed` (their
    // indexes in rows.ids with their changes) and the overwritten cells.
    void fill_cells(const Past& past, SnapshotRows& rows,
                    const std::vector<std::pair<uint32_t, const FactHistory::Change*>>& removed,
                    std::optional<TypeId> type) const;

    std::shared_ptr<const FactHistory> history_;
    std::shared_ptr<const FactHistory::Mark> mark_;
};

}  // namespace quarn
