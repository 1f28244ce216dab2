// Snapshots of the store: read after later overwrites, removals, inserts,
// reclaims, resets, moves and the store's end, they show the facts as they
// were, while a change logs only what it touches.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "store/debug_form.h"
#include "store/fact_store.h"

using namespace quarn;

namespace {

// T(a: I64, s: Str?, w: F64?) and U(b: I64, d: Dec(10,2)).
FactStore two_types() {
    TypeSchema t{"T", {{"a", FieldType::i64()}, {"s", FieldType::str()}, {"w", FieldType::f64()}}, 0b110};
    TypeSchema u{"U", {{"b", FieldType::i64()}, {"d", FieldType::dec(10, 2)}}, 0};
    return FactStore({t, u});
}

std::vector<Value> t_row(int64_t a, std::optional<std::string> s = std::nullopt) {
    return {Value::i64(a), s ? Value::str(*s) : Value::null(), Value::f64(0.5 * static_cast<double>(a))};
}

std::vector<Value> u_row(int64_t b) { return {Value::i64(b), Value::dec(100 * b + 5, 2)}; }

std::string fact_text(FactId f, const std::vector<Value>& cells) {
    std::string out = "#" + std::to_string(f) + "(";
    for (size_t i = 0; i < cells.size(); ++i) out += (i ? " " : "") + debug(cells[i]);
    return out + ") ";
}

// What a reader builds from `rows`: each fact with its cells, read from the
// base store's columns but where the rows keep the cell.
std::string read(const FactStore& base, TypeId t, const SnapshotRows& rows) {
    std::string out;
    size_t next = 0;
    std::vector<std::vector<Value>> cells(rows.size());
    const size_t fields = base.schema(t).fields.size();
    for (size_t field = 0; field < fields; ++field) {
        for (size_t k = 0; k < rows.size(); ++k) {
            if (next < rows.cells.size() && rows.cells[next].field == field && rows.cells[next].at == k) {
                cells[k].push_back(rows.cells[next++].value);
            } else {
                EXPECT_NE(rows.rows[k], SnapshotRows::kNoRow) << "fact " << rows.ids[k] << " field " << field;
                cells[k].push_back(base.data(t).columns[field].get(rows.rows[k]));
            }
        }
    }
    EXPECT_EQ(next, rows.cells.size()) << "cells out of order";
    for (size_t k = 0; k < rows.size(); ++k) out += fact_text(rows.ids[k], cells[k]);
    return out;
}

// The same straight from the store as it is: its live facts of type `t` from
// the default entry point, numbered `since` on.
std::string live(const FactStore& s, TypeId t, FactId since = 0) {
    std::string out;
    for (FactId f : s.facts_of_type(t)) {
        if (f < since || !s.is_alive(f) || s.entry_point(f) != 0) continue;
        std::vector<Value> cells;
        for (size_t i = 0; i < s.schema(t).fields.size(); ++i) cells.push_back(s.get(f, i));
        out += fact_text(f, cells);
    }
    return out;
}

// A snapshot with what it must read: every type's facts, and those from `since` on.
struct Held {
    FactSnapshot snapshot;
    FactId since = 0;
    std::vector<std::string> all, recent;
};

Held hold(FactStore& s, FactId since) {
    Held h{s.snapshot(), since, {}, {}};
    for (TypeId t = 0; t < s.type_count(); ++t) {
        h.all.push_back(live(s, t));
        h.recent.push_back(live(s, t, since));
    }
    return h;
}

void expect_reads(const Held& h, const std::string& where) {
    const std::vector<SnapshotRows> recent = h.snapshot.rows_since(h.since);
    for (TypeId t = 0; t < h.all.size(); ++t) {
        EXPECT_EQ(read(h.snapshot.base(), t, h.snapshot.rows_of_type(t)), h.all[t]) << where << " type " << t;
        EXPECT_EQ(read(h.snapshot.base(), t, recent[t]), h.recent[t]) << where << " type " << t << " since " << h.since;
    }
}

}  // namespace

TEST(FactSnapshot, ReadsTheFactsAsTheyWereThroughOverwritesRemovalsInsertsAndReclaims) {
    FactStore s = two_types();
    for (int64_t k = 0; k < 6; ++k) ASSERT_TRUE(s.insert(0, t_row(k, k % 2 ? std::optional<std::string>("s" + std::to_string(k)) : std::nullopt)).ok());
    ASSERT_EQ(*s.insert(1, u_row(7)), 6u);
    s.entry_points = {0, 0, 0, 0, 0, 1};  // fact 5 came in through a named entry point
    const Held first = hold(s, 3);
    EXPECT_EQ(first.all[0], "#0(I64(0) Null F64(0.0)) #1(I64(1) Str(\"s1\") F64(0.5)) #2(I64(2) Null F64(1.0)) "
                            "#3(I64(3) Str(\"s3\") F64(1.5)) #4(I64(4) Null F64(2.0)) ");

    // The first overwrite of a cell holds what the snapshot saw; later ones
    // and overwrites through set_i64 change nothing for it.
    ASSERT_TRUE(s.set_value(1, 0, Value::i64(10)).ok());
    ASSERT_TRUE(s.set_value(1, 0, Value::i64(11)).ok());
    ASSERT_TRUE(s.set_i64(2, 0, 20));
    ASSERT_TRUE(s.set_value(3, 1, Value::null()).ok());
    ASSERT_TRUE(s.set_value(0, 1, Value::str("late")).ok());
    s.remove(4);
    ASSERT_EQ(*s.insert(0, t_row(8)), 7u);
    const Held second = hold(s, 0);

    // Removed after an overwrite: the first snapshot still reads the cell as
    // it was, the second as the overwrite left it.
    s.remove(1);
    s.remove(3);
    s.remove(6);
    ASSERT_TRUE(s.set_value(7, 2, Value::f64(-1.0)).ok());
    EXPECT_EQ(s.reclaim_dead_rows(), 4u);
    ASSERT_EQ(*s.insert(0, t_row(9, "new")), 8u);
    EXPECT_EQ(s.data(0).rows, 5u);  // 0, 2, 5, 7 and 8
    expect_reads(first, "first");
    expect_reads(second, "second");
    EXPECT_EQ(second.all[0], "#0(I64(0) Str(\"late\") F64(0.0)) #1(I64(11) Str(\"s1\") F64(0.5)) "
                             "#2(I64(20) Null F64(1.0)) #3(I64(3) Null F64(1.5)) #7(I64(8) Null F64(4.0)) ");
    // The facts added since the first are read without the others.
    EXPECT_EQ(first.recent[0], "#3(I64(3) Str(\"s3\") F64(1.5)) #4(I64(4) Null F64(2.0)) ");
    EXPECT_EQ(first.recent[1], "#6(I64(7) Dec { u: 705, s: 2 }) ");
}

TEST(FactSnapshot, OutlivesAResetAMoveAndTheStoreItself) {
    auto s = std::make_unique<FactStore>(two_types());
    for (int64_t k = 0; k < 4; ++k) ASSERT_TRUE(s->insert(0, t_row(k, "x")).ok());
    const Held before = hold(*s, 2);
    ASSERT_TRUE(s->set_value(0, 1, Value::str("changed")).ok());
    s->remove(2);
    FactStore moved = std::move(*s);
    s.reset();
    // Writes through the store's new place are logged as before.
    ASSERT_TRUE(moved.set_value(1, 1, Value::str("moved")).ok());
    const Held after_move = hold(moved, 0);
    moved.reset();
    ASSERT_EQ(*moved.insert(0, t_row(100, "after reset")), 0u);
    ASSERT_TRUE(moved.set_value(0, 1, Value::str("reused handle")).ok());
    expect_reads(before, "before");
    expect_reads(after_move, "after move");
    const Held after_reset = hold(moved, 0);
    {
        FactStore gone = std::move(moved);
        gone.remove(0);
    }
    expect_reads(before, "store gone");
    expect_reads(after_move, "store gone");
    expect_reads(after_reset, "store gone");
    EXPECT_EQ(after_reset.all[0], "#0(I64(100) Str(\"reused handle\") F64(50.0)) ");
}

TEST(FactSnapshot, AChangeLogsWhatItTouchesAndNothingOnceNoSnapshotLives) {
    FactStore s = two_types();
    for (int64_t k = 0; k < 10000; ++k) ASSERT_TRUE(s.insert(1, u_row(k)).ok());
    FactSnapshot snap = s.snapshot();
    EXPECT_EQ(s.snapshot_changes_kept(), 0u);
    ASSERT_TRUE(s.set_value(5, 0, Value::i64(1)).ok());
    ASSERT_TRUE(s.set_i64(5, 0, 2));
    ASSERT_TRUE(s.set_value(5, 1, Value::dec(1, 2)).ok());
    s.remove(7);
    EXPECT_EQ(s.snapshot_changes_kept(), 3u);
    // A fact the snapshot cannot see is not logged.
    const FactId late = *s.insert(1, u_row(-1));
    ASSERT_TRUE(s.set_i64(late, 0, 3));
    s.remove(late);
    EXPECT_EQ(s.snapshot_changes_kept(), 3u);
    // A new snapshot drops what only the one let go needed.
    snap = FactSnapshot();
    snap = s.snapshot();
    EXPECT_EQ(s.snapshot_changes_kept(), 0u);
    ASSERT_TRUE(s.set_i64(5, 0, 4));
    EXPECT_EQ(s.snapshot_changes_kept(), 1u);
    // Once none is alive, the log empties as it grows, and stays empty.
    snap = FactSnapshot();
    for (FactId f = 0; f < 9000; ++f) {
        if (f != 7) {
            ASSERT_TRUE(s.set_i64(f, 0, 5));
        }
    }
    EXPECT_EQ(s.snapshot_changes_kept(), 0u);
}

TEST(FactSnapshot, RandomChangesReadBackAsTheStoreWasAtEverySnapshot) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        auto store = std::make_unique<FactStore>(two_types());
        std::vector<Held> held;
        std::vector<FactId> alive;
        auto text = [&]() -> Value {
            const int r = pick(0, 4);
            return r == 0 ? Value::null() : Value::str(std::string(static_cast<size_t>(r), char('a' + pick(0, 25))));
        };
        for (int step = 0; step < 600; ++step) {
            FactStore& s = *store;
            const int op = pick(0, 99);
            if (op < 30) {
                const TypeId t = static_cast<TypeId>(pick(0, 1));
                const FactId f = *s.insert(t, t == 0 ? std::vector<Value>{Value::i64(pick(-5, 5)), text(), Value::f64(pick(0, 3))}
                                                     : u_row(pick(-5, 5)));
                if (pick(0, 9) == 0) {
                    if (s.entry_points.size() <= f) s.entry_points.resize(size_t{f} + 1, 0);
                    s.entry_points[f] = 1;
                }
                alive.push_back(f);
            } else if (op < 36) {
                const size_t rows = static_cast<size_t>(pick(1, 5));
                std::vector<Column> c(2);
                std::vector<int64_t> b;
                std::vector<DecParts> d;
                for (size_t k = 0; k < rows; ++k) b.push_back(pick(0, 9)), d.push_back(DecParts{pick(0, 999), 2});
                c[0].cells = std::move(b);
                c[1].cells = std::move(d);
                const FactId first = *s.append_columns(1, std::move(c), rows);
                for (size_t k = 0; k < rows; ++k) alive.push_back(first + static_cast<FactId>(k));
            } else if (op < 60 && !alive.empty()) {
                const FactId f = alive[static_cast<size_t>(pick(0, static_cast<int>(alive.size()) - 1))];
                if (s.fact_type(f) == 0) {
                    const int field = pick(0, 2);
                    if (field == 0 && pick(0, 1)) ASSERT_TRUE(s.set_i64(f, 0, pick(-9, 9)));
                    else ASSERT_TRUE(s.set_value(f, static_cast<size_t>(field), field == 0 ? Value::i64(pick(-9, 9)) : field == 1 ? text() : Value::f64(pick(0, 9))).ok());
                } else {
                    ASSERT_TRUE(s.set_value(f, 1, Value::dec(pick(0, 99), 2)).ok());
                }
            } else if (op < 78 && !alive.empty()) {
                const size_t k = static_cast<size_t>(pick(0, static_cast<int>(alive.size()) - 1));
                s.remove(alive[k]);
                alive.erase(alive.begin() + static_cast<ptrdiff_t>(k));
            } else if (op < 84) {
                s.reclaim_dead_rows();
            } else if (op < 92) {
                held.push_back(hold(s, static_cast<FactId>(pick(0, static_cast<int>(s.fact_count())))));
            } else if (op < 97 && !held.empty()) {
                held.erase(held.begin() + pick(0, static_cast<int>(held.size()) - 1));
            } else if (op < 98) {
                s.reset();
                alive.clear();
            } else {
                auto moved = std::make_unique<FactStore>(std::move(s));
                store = std::move(moved);
            }
            for (const Held& h : held) expect_reads(h, "seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (::testing::Test::HasFailure()) return;
        }
        store.reset();
        for (const Held& h : held) expect_reads(h, "seed " + std::to_string(seed) + " after the store");
    }
}
