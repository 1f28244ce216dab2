// The column-wise store of every fact of an engine.
//
// A fact is one row of its type's columns, named by a FactId handed out in
// insertion order; within a type, rows ascend with FactIds. A deleted fact
// loses its alive flag and keeps its row, readable, until the owner calls
// reclaim_dead_rows() naming the dead facts it may still read: the rows of the
// live facts and of those close up, and the other dead ones' rows are gone.
// FactIds are never reused; what a FactId costs once its fact is gone is a
// bit and a share of a page header (FactPlaces).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"
#include "common/result.h"
#include "store/cell_vector.h"
#include "store/fact_history.h"
#include "store/fact_list.h"
#include "store/fact_places.h"
#include "store/value.h"

namespace quarn {

struct TypeSchema {
    std::string name;
    std::vector<std::pair<std::string, FieldType>> fields;  // declaration order
    uint64_t nullable = 0;                                  // bit i: field i may be null

    // Changed fields travel as 64-bit masks, so a type has at most 64 fields.
    static constexpr size_t max_fields = 64;
    bool is_nullable(size_t field) const { return field < max_fields && ((nullable >> field) & 1); }
};

// One field of one type. A Dec cell keeps its own scale. Integer and float
// cells can be shared with an exported table (CellVector).
struct Column {
    using Cells = std::variant<CellVector<int64_t>, CellVector<double>, std::vector<std::string>,
                               std::vector<uint8_t>, std::vector<DecParts>>;
    Cells cells;
    // Present exactly when the field is nullable; 0 = null, 1 = a value.
    std::optional<std::vector<uint8_t>> validity;
    // Of a text column: at least the bytes of its cells' texts, an Arrow
    // column's limit being on them; exact but for a null cell's old text.
    uint64_t text_bytes = 0;

    // No cells, of the kind of field type `t`, with validity when `nullable`.
    static Column empty(const FieldType& t, bool nullable);

    bool is_null(uint32_t row) const { return validity && (*validity)[row] == 0; }
    Value get(uint32_t row) const;
    // get, with a text moved out of its cell (the cell keeps an empty string).
    Value take(uint32_t row);
    // Keeps only the cells at `rows` (ascending), in that order.
    void keep_rows(std::span<const uint32_t> rows);
    // Appends `v` (a text is moved out): Null where the column has validity,
    // else a value of the column's kind.
    void push(Value& v);
    // The text of a text cell, without a copy; none for a null or another kind.
    std::optional<std::string_view> text(uint32_t row) const;
};

// A read-only view of one field's column, the one way code outside the store
// reads cells in bulk: the field's kind, the cells as a span of that kind's
// cell type (only the accessor of kind() may be called) and the validity.
// Cheap to make; it reads the column as it is when an accessor is called.
class ColumnView {
public:
    explicit ColumnView(const Column& column) : column_(&column) {}

    // A field kind and its cells' alternative share their index.
    FieldKind kind() const { return static_cast<FieldKind>(column_->cells.index()); }
    // Whether the column keeps validity, as a nullable field's does.
    bool nullable() const { return column_->validity.has_value(); }
    bool is_null(uint32_t row) const { return column_->is_null(row); }
    // Of a text column: no less than the bytes of its texts.
    uint64_t text_bytes() const { return column_->text_bytes; }

    std::span<const int64_t> i64s() const { return std::get<0>(column_->cells); }
    std::span<const double> f64s() const { return std::get<1>(column_->cells); }
    std::span<const std::string> strs() const { return std::get<2>(column_->cells); }
    std::span<const uint8_t> bools() const { return std::get<3>(column_->cells); }  // 0 or 1
    std::span<const DecParts> decs() const { return std::get<4>(column_->cells); }  // each of its own scale

    // For an integer or float column: keeps its cells, as the spans above
    // show them now, alive and unchanged while the holder lives (the store
    // writes to a copy from then on). Null for other kinds and while empty.
    std::shared_ptr<const void> share() const {
        if (const auto* ints = std::get_if<0>(&column_->cells)) return ints->share();
        if (const auto* floats = std::get_if<1>(&column_->cells)) return floats->share();
        return nullptr;
    }

private:
    const Column* column_;
};

struct TypeData {
    std::vector<Column> columns;  // field order; each holds exactly `rows` cells
    uint32_t rows = 0;
    uint32_t dead_rows = 0;  // rows of dead facts not reclaimed yet
    // The type's facts, ascending: every live one, and those deleted since the
    // last compaction (fewer than the live ones, plus a few).
    FactList listed;
    size_t dead_listed = 0;
};

// The read view of one fact.
struct FactView {
    std::string type_name;
    std::vector<std::pair<std::string, Value>> fields;  // schema order
    // Members of a collection fact; absent in views made by the store.
    std::optional<std::vector<std::optional<FactView>>> members;
    FactId id = 0;
};

class FactStore {
public:
    // Every schema must pass check_schema; the engine checks them first.
    explicit FactStore(std::vector<TypeSchema> schemas = {});
    // A move takes the snapshots' history along; the store a snapshot reads
    // is the one that holds the facts.
    FactStore(FactStore&& o) noexcept;
    FactStore& operator=(FactStore&& o) noexcept;
    // A copy holds the same facts and none of the snapshots.
    FactStore(const FactStore& o);
    FactStore& operator=(const FactStore& o);
    // Hands the facts to the history when a snapshot still reads them.
    ~FactStore();
    // "type {}: more than 64 fields", or success.
    static Status check_schema(const TypeSchema& schema);

    // Empties the facts; schemas and TypeIds stay, FactIds restart at 0.
    // Snapshots taken before keep reading the facts as they were.
    void reset();
    Result<TypeId, std::string> add_schema(TypeSchema schema);
    // Forgets every schema after the first `count`, as a rule load that failed
    // takes back the row types it declared. No fact may be of those types.
    void truncate_schemas(size_t count);

    size_t type_count() const { return schemas_.size(); }
    std::optional<TypeId> type_id(std::string_view name) const;
    const TypeSchema& schema(TypeId t) const { return schemas_[t]; }
    std::optional<size_t> field_index(TypeId t, std::string_view field) const;
    const FieldType& field_type(TypeId t, size_t field) const { return schemas_[t].fields[field].second; }

    // Values must match the columns' kinds exactly (conversion is coerce's job).
    // On failure nothing is stored and no FactId is consumed.
    Result<FactId, std::string> insert(TypeId t, std::vector<Value> values);
    // insert, moving the cells out of `values` (texts leave empty strings).
    Result<FactId, std::string> insert_taking(TypeId t, std::span<Value> values);
    // insert of a fact given as integer cells, one per field: what insert
    // stores and refuses for the same cells as I64 values.
    Result<FactId, std::string> insert_i64s(TypeId t, std::span<const int64_t> cells);
    // Appends `rows` facts of type `t` whose cells arrive as whole columns, one
    // per field in field order, each of its field's kind with exactly `rows`
    // cells, and with validity exactly when the field is nullable (a null cell
    // may hold any content). The facts take consecutive FactIds in row order;
    // the first is returned. Into an empty type the columns move without a
    // copy. On failure nothing is stored.
    Result<FactId, std::string> append_columns(TypeId t, std::vector<Column> columns, size_t rows);
    // Refuses a handle the store never issued and a field the type lacks.
    Status set_value(FactId f, size_t field, Value v);
    // Writes `v` into field `field` of `f` when that field's column holds
    // integers and no nulls (a cell i64_cell finds); false, with nothing
    // written, otherwise. The handle must be one the store issued.
    bool set_i64(FactId f, size_t field, int64_t v) {
        const FactPlaces::Place r = rec(f);
        TypeData& d = data_[r.type];
        if (field >= d.columns.size()) [[unlikely]]
            return false;
        Column& c = d.columns[field];
        auto* ints = std::get_if<0>(&c.cells);
        if (ints == nullptr || c.validity) return false;
        if (f < logged_below_) [[unlikely]]
            log_overwrite(f, r, field);
        ints->set(r.row, v);
        return true;
    }
    // Room for `more` facts of type `t` before the next regrowth; a bulk
    // insert's columns then grow once instead of doubling their way up.
    void reserve(TypeId t, size_t more);
    // The refusal set_value and insert would give for `v` in field `field` of
    // type `t` (a null in a non-nullable field, a value of another kind).
    Status check_value(TypeId t, size_t field, const Value& v) const;

    size_t fact_count() const { return places_.size(); }
    // Whether `f` was issued since the last reset (alive or not).
    bool knows(FactId f) const { return f < places_.size(); }
    // A handle the store never issued is a broken invariant here: callers that
    // take handles from outside check knows() first. So is a dead fact whose
    // row was reclaimed (checked in the verifying build).
    TypeId fact_type(FactId f) const { return rec(f).type; }
    bool is_alive(FactId f) const { return knows(f) && places_.alive(f); }
    // Named remove because delete is taken; callers test is_alive first.
    void remove(FactId f);
    // The entry point a fact came in through (0: the default); the engine
    // names them and sets them at insertion.
    uint32_t entry_point(FactId f) const { return f < entry_points.size() ? entry_points[f] : 0; }

    // The store as it is now, for a reader that may come after later changes
    // (fact_history.h). While it lives, a change logs what it overwrites or
    // removes among the facts it sees.
    FactSnapshot snapshot();
    // The changes that snapshots alive hold on to (for tests).
    size_t snapshot_changes_kept() const { return history_ ? history_->changes_kept() : 0; }

    // Rows still held by dead facts, and by live ones.
    size_t dead_rows() const { return dead_rows_; }
    size_t live_rows() const { return rows_ - dead_rows_; }
    // Dead facts that died since the last reclaim, or that it kept.
    size_t dead_rows_since_reclaim() const { return dead_rows_ - dead_rows_kept_; }
    // Whether the facts that died since the last reclaim (and those it kept,
    // when `with_kept`) hold enough rows that closing them up pays for its
    // copy: more than half as many as the live ones, plus reclaim_slack.
    // Without `with_kept` the rows the last reclaim kept count with the live
    // ones: a reclaim reads them (and the work that names them) again, and
    // while nothing has fired they are likely kept again, so a run of deletes
    // between two fires pays for each look at its growing pending work.
    bool reclaim_due(bool with_kept = false) const {
        if (with_kept) return dead_rows_ > live_rows() / 2 + reclaim_slack;
        return dead_rows_since_reclaim() > (live_rows() + dead_rows_kept_) / 2 + reclaim_slack;
    }
    size_t reclaim_slack = 4096;
    // Gives back the row of every dead fact but those of `keep` (dead facts,
    // ascending, that the owner may still read): each type's remaining rows
    // close up in their order, and a type's columns shrink when they kept
    // much more room than their rows need. From then on a reclaimed fact's
    // type, cells and row are gone (knows and is_alive still answer).
    // Returns the rows given back; `reclaimed`, when given, receives the
    // facts whose rows went (order of death), for an owner that keeps other
    // state by fact.
    size_t reclaim_dead_rows(std::span<const FactId> keep = {}, std::vector<FactId>* reclaimed = nullptr);
    // While a removal log is kept, remove() appends each fact it takes out
    // of working memory, in order of removal (each fact once): a caller learns
    // what a stretch of work deleted without looking at every fact.
    void start_removal_log();
    // The log since start_removal_log; keeping it stops.
    std::vector<FactId> take_removal_log();

    // Reads work on dead facts too; an unknown handle or field is a broken invariant.
    Value get(FactId f, size_t field) const;
    // The cell of field `field` of `f` when its column holds integers and no
    // nulls, as most do; null otherwise, for an unknown field too (get reads
    // every cell and reports a bad field). An unknown handle fails as in get.
    const int64_t* i64_cell(FactId f, size_t field) const {
        const FactPlaces::Place r = rec(f);
        const TypeData& d = data_[r.type];
        if (field >= d.columns.size()) [[unlikely]]
            return nullptr;
        const Column& c = d.columns[field];
        const auto* ints = std::get_if<0>(&c.cells);
        return ints != nullptr && !c.validity ? ints->data() + r.row : nullptr;
    }
    // The cell of boolean field `field` of `f` (0 or 1) when its column holds
    // no nulls; null otherwise, as i64_cell.
    const uint8_t* bool_cell(FactId f, size_t field) const {
        const FactPlaces::Place r = rec(f);
        const TypeData& d = data_[r.type];
        if (field >= d.columns.size()) [[unlikely]]
            return nullptr;
        const Column& c = d.columns[field];
        const auto* flags = std::get_if<3>(&c.cells);
        return flags != nullptr && !c.validity ? flags->data() + r.row : nullptr;
    }
    // The text of a text field without a copy (none when null or not text);
    // valid until the store next changes.
    std::optional<std::string_view> text(FactId f, size_t field) const;
    // The timestamp recorded at insertion, else the field's current value.
    Value temporal_ts(FactId f, size_t ts_field) const;
    FactView render(FactId f) const;
    // The row of `f` in its type's columns (data(fact_type(f)).columns).
    uint32_t row_of(FactId f) const { return rec(f).row; }

    const TypeData& data(TypeId t) const { return data_[t]; }
    // Field `field` of type `t`, which must exist; rows as row_of gives them.
    ColumnView column_view(TypeId t, size_t field) const { return ColumnView(data_[t].columns[field]); }
    // The live facts of type t in ascending FactId order, possibly with some
    // deleted ones among them: callers test is_alive.
    const FactList& facts_of_type(TypeId t) const { return data_[t].listed; }

    // Events past their expiry that the engine has not retracted yet.
    HashSet<FactId> expired;
    // Timestamps of event facts as inserted, kept when the field changes later;
    // a dead fact's goes with its row.
    HashMap<FactId, int64_t> event_ts;
    // By FactId: the fact's entry point, 0 for the default (absent past the end).
    std::vector<uint32_t> entry_points;

private:
    // Inline: every read of a fact's type or cell starts here.
    FactPlaces::Place rec(FactId f) const {
        if (f >= places_.size()) [[unlikely]]
            unknown_handle(f);
#ifdef QUARN_VERIFY_ENGINE
        check_not_reclaimed(f);
#endif
        return places_.at(f);
    }
    [[noreturn]] static void unknown_handle(FactId f);
    // Before a cell of `f` at `r` is overwritten, while a snapshot may see it.
    void log_overwrite(FactId f, FactPlaces::Place r, size_t field);
    // Whether changes to `f` are still logged (a snapshot sees it and may be
    // alive); stops logging when the history finds none alive.
    bool logging(FactId f);
    // Hands the facts to the history when a snapshot may read them, and lets go of it.
    void leave_history();
    // The rows of type `t`'s live facts and of its facts in `keep`, closed up.
    void close_up_rows(TypeId t, std::span<const FactId> keep);
#ifdef QUARN_VERIFY_ENGINE
    void check_not_reclaimed(FactId f) const;
    // By FactId: the reclaim count when the fact died plus one, 0 while alive.
    std::vector<uint32_t> died_at_;
    uint32_t reclaims_ = 0;
#endif
    const Column& column(FactPlaces::Place r, size_t field) const;
    // Numbers the row just appended to `d`, of type `t`.
    FactId add_row(TypeId t, TypeData& d);

    std::vector<TypeSchema> schemas_;
    std::vector<TypeData> data_;  // same index as schemas_
    FactPlaces places_;
    std::optional<std::vector<FactId>> removal_log_;
    size_t rows_ = 0;       // over every type
    size_t dead_rows_ = 0;  // over every type
    size_t dead_rows_kept_ = 0;  // by the last reclaim
    // The dead facts whose rows are held (dead_rows_ of them): those the last
    // reclaim kept (dead_rows_kept_, ascending), then the others in order of
    // death.
    std::vector<FactId> dead_facts_;
    // Made by the first snapshot; the facts below logged_below_ are those a
    // snapshot that may be alive sees (0 while none may be).
    std::shared_ptr<FactHistory> history_;
    FactId logged_below_ = 0;
};

}  // namespace quarn
