#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "store/debug_form.h"
#include "store/fact_store.h"
#include "common/internal_error.h"

using namespace quarn;

namespace {

// Order(id: I64, note: Str?, price: Dec(10,2), ok: Bool, w: F64?)
FactStore order_store() {
    TypeSchema order{"Order",
                     {{"id", FieldType::i64()},
                      {"note", FieldType::str()},
                      {"price", FieldType::dec(10, 2)},
                      {"ok", FieldType::boolean()},
                      {"w", FieldType::f64()}},
                     0b10010};
    TypeSchema event{"Tick", {{"ts", FieldType::i64()}}, 0};
    return FactStore({order, event});
}

std::vector<Value> order_row(int64_t id) {
    return {Value::i64(id), Value::str("n" + std::to_string(id)), Value::dec(150, 2), Value::boolean(true),
            Value::f64(0.5)};
}

std::string render_text(const FactStore& s, FactId f) {
    FactView v = s.render(f);
    std::string out = v.type_name + "#" + std::to_string(v.id) + "{";
    for (const auto& [name, value] : v.fields) out += name + "=" + debug(value) + ";";
    return out + "}";
}

}  // namespace

TEST(FactStore, RefusedInsertStoresNothingAndConsumesNoId) {
    FactStore s = order_store();
    TypeId order = *s.type_id("Order");
    ASSERT_EQ(*s.insert(order, order_row(1)), 0u);
    EXPECT_EQ(s.insert(order, {Value::i64(2), Value::null()}).error(), "type Order expects 5 fields, got 2");
    // A bad cell after good ones: the earlier columns must not grow.
    const std::tuple<size_t, Value, const char*> bad_cells[] = {
        {2, Value::i64(150), "column type mismatch for value I64(150)"},
        {0, Value::null(), "null value for a non-nullable field"},
        {4, Value::str("x"), "column type mismatch for value Str(\"x\")"},
    };
    for (const auto& [field, value, message] : bad_cells) {
        std::vector<Value> row = order_row(3);
        row[field] = value;
        EXPECT_EQ(s.insert(order, row).error(), message);
    }
    EXPECT_EQ(*s.insert(order, order_row(6)), 1u);
    EXPECT_EQ(s.data(order).rows, 2u);
    for (const Column& c : s.data(order).columns)
        EXPECT_EQ(std::visit([](const auto& cells) { return cells.size(); }, c.cells), 2u);
    EXPECT_EQ(s.get(1, 0), Value::i64(6));
    EXPECT_EQ(s.fact_count(), 2u);
}

TEST(FactStore, NullableCellsAndSetValue) {
    FactStore s = order_store();
    auto row = order_row(1);
    row[1] = Value::null();
    FactId f = *s.insert(*s.type_id("Order"), row);
    EXPECT_TRUE(s.get(f, 1).is_null());
    ASSERT_TRUE(s.set_value(f, 1, Value::str("hello")).ok());
    EXPECT_EQ(s.get(f, 1), Value::str("hello"));
    ASSERT_TRUE(s.set_value(f, 1, Value::null()).ok());
    EXPECT_TRUE(s.get(f, 1).is_null());
    // A refused write leaves the cell as it was.
    EXPECT_EQ(s.set_value(f, 0, Value::null()).error(), "null value for a non-nullable field");
    EXPECT_EQ(s.set_value(f, 0, Value::f64(1)).error(), "column type mismatch for value F64(1.0)");
    EXPECT_EQ(s.get(f, 0), Value::i64(1));
    // A Dec cell keeps the scale of the value written into it.
    ASSERT_TRUE(s.set_value(f, 2, Value::dec(7, 5)).ok());
    EXPECT_EQ(s.get(f, 2), Value::dec(7, 5));
}

TEST(FactStore, DeadFactsStillRenderAndIdsAreNotReused) {
    FactStore s = order_store();
    TypeId order = *s.type_id("Order");
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(s.insert(order, order_row(i)).ok());
    s.expired.insert(3);
    s.remove(3);
    EXPECT_FALSE(s.is_alive(3));
    EXPECT_TRUE(s.is_alive(2));
    EXPECT_FALSE(s.expired.count(3));
    EXPECT_EQ(render_text(s, 3),
              "Order#3{id=I64(3);note=Str(\"n3\");price=Dec { u: 150, s: 2 };ok=Bool(true);w=F64(0.5);}");
    EXPECT_EQ(*s.insert(order, order_row(9)), 4u);
}

TEST(FactStore, ResetRenumbersFromZeroAndKeepsTypes) {
    FactStore s = order_store();
    TypeId order = *s.type_id("Order");
    TypeId tick = *s.type_id("Tick");
    ASSERT_TRUE(s.insert(order, order_row(1)).ok());
    FactId t = *s.insert(tick, {Value::i64(1700)});
    s.event_ts[t] = 1700;
    s.expired.insert(t);
    s.reset();
    EXPECT_EQ(s.fact_count(), 0u);
    EXPECT_TRUE(s.event_ts.empty());
    EXPECT_TRUE(s.expired.empty());
    EXPECT_EQ(s.type_id("Tick"), tick);
    EXPECT_EQ(*s.insert(tick, {Value::i64(5)}), 0u);
    EXPECT_EQ(s.data(tick).rows, 1u);
    EXPECT_EQ(s.data(order).rows, 0u);
}

TEST(FactStore, TemporalTimestampIsTheOneInsertedWith) {
    FactStore s = order_store();
    TypeId tick = *s.type_id("Tick");
    FactId a = *s.insert(tick, {Value::i64(1700)});
    s.event_ts[a] = 1700;
    ASSERT_TRUE(s.set_value(a, 0, Value::i64(1800)).ok());
    EXPECT_EQ(s.temporal_ts(a, 0), Value::i64(1700));
    EXPECT_EQ(s.get(a, 0), Value::i64(1800));
    FactId b = *s.insert(tick, {Value::i64(42)});
    EXPECT_EQ(s.temporal_ts(b, 0), Value::i64(42));
}

TEST(FactStore, LookupsFindTheFirstDeclaration) {
    FactStore s = order_store();
    TypeId dup = *s.add_schema(TypeSchema{"Order", {{"x", FieldType::i64()}, {"x", FieldType::str()}}, 0});
    EXPECT_EQ(dup, 2u);
    EXPECT_EQ(s.type_id("Order"), 0u);
    EXPECT_EQ(s.type_id("order"), std::nullopt);
    EXPECT_EQ(s.field_index(dup, "x"), 0u);
    EXPECT_EQ(s.field_index(0, "price"), 2u);
    EXPECT_EQ(s.field_type(0, 2), FieldType::dec(10, 2));
}

TEST(FactStore, WideTypesAndForeignHandlesAreRefused) {
    FactStore s = order_store();
    TypeSchema wide{"W", {}, ~uint64_t{0}};
    for (int i = 0; i < 64; ++i) wide.fields.emplace_back("f" + std::to_string(i), FieldType::i64());
    TypeId w = *s.add_schema(wide);
    EXPECT_TRUE(s.insert(w, std::vector<Value>(64, Value::null())).ok());
    wide.fields.emplace_back("f64", FieldType::i64());
    auto refused = s.add_schema(wide);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "type W: more than 64 fields");
    EXPECT_EQ(s.type_count(), 3u);

    FactId f = *s.insert(0, order_row(1));
    EXPECT_EQ(s.set_value(f + 1, 0, Value::i64(2)).error(), "unknown handle 2");
    EXPECT_EQ(s.set_value(f, 5, Value::i64(2)).error(), "type Order has no field 5");
    EXPECT_FALSE(s.is_alive(f + 1));
    EXPECT_THROW(s.get(f + 1, 0), InternalError);
    EXPECT_THROW(s.get(f, 5), InternalError);
    EXPECT_THROW(s.fact_type(99), InternalError);
    Result<int, std::string> failed = err(std::string("no"));
    EXPECT_THROW(failed.value(), InternalError);
    // Every broken invariant reaches the caller as one recognisable text.
    try {
        s.get(f + 1, 0);
        ADD_FAILURE() << "no throw";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "internal error: unknown handle 2");
    }
    try {
        (void)failed.value();
        ADD_FAILURE() << "no throw";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "internal error: value of a failed result");
    }
}

TEST(FactStore, EachTypeListsItsLiveFactsAscendingThroughDeletesAndReset) {
    FactStore s = order_store();
    std::vector<FactId> orders, ticks;
    for (int64_t k = 0; k < 200; ++k) {
        if (k % 3 == 0) {
            ticks.push_back(*s.insert(1, {Value::i64(k)}));
        } else {
            orders.push_back(*s.insert(0, order_row(k)));
        }
    }
    // Deleting most orders compacts their list; ticks are untouched.
    std::vector<FactId> kept;
    for (size_t k = 0; k < orders.size(); ++k) {
        if (k % 7 == 0) {
            kept.push_back(orders[k]);
        } else {
            s.remove(orders[k]);
            s.remove(orders[k]);  // a second delete changes nothing
        }
    }
    auto live = [&](TypeId t) {
        std::vector<FactId> out;
        for (FactId f : s.facts_of_type(t)) {
            if (s.is_alive(f)) out.push_back(f);
        }
        return out;
    };
    EXPECT_EQ(live(0), kept);
    EXPECT_LE(s.facts_of_type(0).size(), 2 * kept.size() + 17);
    EXPECT_EQ(live(1), ticks);
    EXPECT_EQ(s.facts_of_type(1), ticks);
    s.reset();
    EXPECT_TRUE(s.facts_of_type(0).empty() && s.facts_of_type(1).empty());
    EXPECT_EQ(*s.insert(1, {Value::i64(1)}), 0u);
    EXPECT_EQ(s.facts_of_type(1), (std::vector<FactId>{0}));
}

namespace {

// Order columns of `rows` rows: id = first + k, note null on odd rows.
std::vector<Column> order_columns(int64_t first, size_t rows) {
    std::vector<Column> c(5);
    std::vector<int64_t> ids;
    std::vector<std::string> notes;
    std::vector<uint8_t> note_valid;
    for (size_t k = 0; k < rows; ++k) {
        ids.push_back(first + static_cast<int64_t>(k));
        notes.push_back(k % 2 ? "" : "c" + std::to_string(first + static_cast<int64_t>(k)));
        note_valid.push_back(k % 2 ? 0 : 1);
    }
    c[0].cells = std::move(ids);
    c[1].cells = std::move(notes);
    c[1].validity = std::move(note_valid);
    c[2].cells = std::vector<DecParts>(rows, DecParts{275, 2});
    c[3].cells = std::vector<uint8_t>(rows, 0);
    c[4].cells = std::vector<double>(rows, 1.5);
    c[4].validity = std::vector<uint8_t>(rows, 1);
    return c;
}

}  // namespace

TEST(FactStore, ColumnsAppendAsConsecutiveFactsAfterSingleInserts) {
    FactStore s = order_store();
    TypeId order = *s.type_id("Order");
    ASSERT_EQ(*s.append_columns(order, order_columns(10, 2), 2), 0u);  // into the empty type
    ASSERT_EQ(*s.insert(1, {Value::i64(5)}), 2u);
    ASSERT_EQ(*s.insert(order, order_row(3)), 3u);
    ASSERT_EQ(*s.append_columns(order, order_columns(20, 3), 3), 4u);  // after a single insert
    EXPECT_EQ(*s.append_columns(order, order_columns(30, 0), 0), 7u);
    EXPECT_EQ(s.fact_count(), 7u);
    EXPECT_EQ(s.data(order).rows, 6u);
    EXPECT_EQ(s.facts_of_type(order), (std::vector<FactId>{0, 1, 3, 4, 5, 6}));
    std::string all;
    for (FactId f = 0; f < s.fact_count(); ++f) all += render_text(s, f) + "\n";
    EXPECT_EQ(all,
              "Order#0{id=I64(10);note=Str(\"c10\");price=Dec { u: 275, s: 2 };ok=Bool(false);w=F64(1.5);}\n"
              "Order#1{id=I64(11);note=Null;price=Dec { u: 275, s: 2 };ok=Bool(false);w=F64(1.5);}\n"
              "Tick#2{ts=I64(5);}\n"
              "Order#3{id=I64(3);note=Str(\"n3\");price=Dec { u: 150, s: 2 };ok=Bool(true);w=F64(0.5);}\n"
              "Order#4{id=I64(20);note=Str(\"c20\");price=Dec { u: 275, s: 2 };ok=Bool(false);w=F64(1.5);}\n"
              "Order#5{id=I64(21);note=Null;price=Dec { u: 275, s: 2 };ok=Bool(false);w=F64(1.5);}\n"
              "Order#6{id=I64(22);note=Str(\"c22\");price=Dec { u: 275, s: 2 };ok=Bool(false);w=F64(1.5);}\n");
}

TEST(FactStore, ColumnsThatDoNotFitTheTypeStoreNothing) {
    using Spoil = void (*)(std::vector<Column>&);
    const std::pair<Spoil, const char*> cases[] = {
        {[](std::vector<Column>& c) { c.pop_back(); }, "type Order expects 5 fields, got 4"},
        {[](std::vector<Column>& c) { c[2].cells = std::vector<int64_t>(2, 1); },
         "type Order: column 2 does not fit field price"},
        {[](std::vector<Column>& c) { c[0].validity = std::vector<uint8_t>(2, 1); },
         "type Order: column 0 does not fit field id"},
        {[](std::vector<Column>& c) { c[4].validity.reset(); }, "type Order: column 4 does not fit field w"},
        {[](std::vector<Column>& c) { std::get<3>(c[3].cells).push_back(1); },
         "type Order: column 3 does not fit field ok"},
        {[](std::vector<Column>& c) { c[1].validity->pop_back(); }, "type Order: column 1 does not fit field note"},
    };
    FactStore s = order_store();
    TypeId order = *s.type_id("Order");
    ASSERT_EQ(*s.insert(order, order_row(1)), 0u);
    for (const auto& [spoil, message] : cases) {
        std::vector<Column> c = order_columns(10, 2);
        spoil(c);
        auto r = s.append_columns(order, std::move(c), 2);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), message);
    }
    EXPECT_EQ(s.fact_count(), 1u);
    EXPECT_EQ(s.data(order).rows, 1u);
    for (const Column& c : s.data(order).columns)
        EXPECT_EQ(std::visit([](const auto& cells) { return cells.size(); }, c.cells), 1u);
    EXPECT_EQ(s.data(order).columns[1].validity->size(), 1u);
    EXPECT_EQ(*s.append_columns(order, order_columns(10, 1), 1), 1u);
}

TEST(FactStore, ColumnViewsReadEachKindAndItsNullsWhereTheFactsRowIs) {
    FactStore s = order_store();
    const TypeId order = *s.type_id("Order");
    ASSERT_TRUE(s.insert(*s.type_id("Tick"), {Value::i64(7)}));  // rows are per type, handles are not
    const FactId a = *s.insert(order, order_row(1));
    std::vector<Value> nulls = {Value::i64(2), Value::null(), Value::dec(-5, 2), Value::boolean(false), Value::null()};
    const FactId b = *s.insert(order, nulls);
    ASSERT_TRUE(s.set_value(a, 4, Value::f64(-2.25)));
    ASSERT_TRUE(s.set_value(b, 1, Value::str("late")));
    s.remove(a);  // a dead fact's row stays readable

    std::vector<std::string> seen;
    for (size_t field = 0; field < 5; ++field) {
        const ColumnView c = s.column_view(order, field);
        std::string text = std::to_string(static_cast<int>(c.kind())) + (c.nullable() ? "?" : "") + ":";
        for (FactId f : {a, b}) {
            const uint32_t row = s.row_of(f);
            text += " ";
            if (c.is_null(row)) {
                text += "null";
                continue;
            }
            switch (c.kind()) {
                case FieldKind::I64: text += std::to_string(c.i64s()[row]); break;
                case FieldKind::F64: text += std::to_string(c.f64s()[row]); break;
                case FieldKind::Str: text += c.strs()[row]; break;
                case FieldKind::Bool: text += c.bools()[row] ? "true" : "false"; break;
                case FieldKind::Dec: text += debug(Value::dec(c.decs()[row].u, c.decs()[row].s)); break;
            }
        }
        seen.push_back(text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"0: 1 2", "2?: n1 late", "4: Dec { u: 150, s: 2 } Dec { u: -5, s: 2 }",
                                              "3: true false", "1?: -2.250000 null"}));
    EXPECT_EQ(s.row_of(b), 1u);
}

TEST(FactStore, PlacesFollowRunsAndBreaksAcrossPagesAgainstAPlainList) {
    // Runs of one type (bulk and single inserts), breaks inside a page, runs
    // crossing page boundaries, deletes and a reset: every fact's type, row,
    // cells and liveness as a plain per-fact list has them.
    constexpr size_t kPage = FactPlaces::kPage;
    for (uint32_t seed : {1u, 2u, 3u}) {
        FactStore s({TypeSchema{"A", {{"v", FieldType::i64()}}, 0}, TypeSchema{"B", {{"v", FieldType::i64()}}, 0}});
        struct Model {
            TypeId type;
            uint32_t row;
            int64_t v;
            bool alive;
        };
        std::vector<Model> model;
        uint32_t rows[2] = {0, 0};
        uint64_t state = seed;
        auto draw = [&](uint64_t n) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return (state >> 33) % n;
        };
        auto add = [&](TypeId t, size_t count) {
            const FactId first = static_cast<FactId>(model.size());
            if (count == 1 && draw(2)) {
                ASSERT_EQ(*s.insert(t, {Value::i64(int64_t(first) * 3)}), first);
            } else {
                std::vector<Column> c(1);
                std::vector<int64_t> v;
                for (size_t k = 0; k < count; ++k) v.push_back(int64_t(first + k) * 3);
                c[0].cells = std::move(v);
                ASSERT_EQ(*s.append_columns(t, std::move(c), count), first);
            }
            for (size_t k = 0; k < count; ++k) model.push_back({t, rows[t]++, int64_t(first + k) * 3, true});
        };
        auto check = [&] {
            ASSERT_EQ(s.fact_count(), model.size());
            for (FactId f = 0; f < model.size(); ++f) {
                ASSERT_EQ(s.fact_type(f), model[f].type) << f;
                ASSERT_EQ(s.row_of(f), model[f].row) << f;
                ASSERT_EQ(s.get(f, 0), Value::i64(model[f].v)) << f;
                ASSERT_EQ(s.is_alive(f), model[f].alive) << f;
            }
            EXPECT_FALSE(s.is_alive(static_cast<FactId>(model.size())));
        };
        for (int round = 0; round < 2; ++round) {
            // A long run of A over three pages, then single facts that alternate
            // inside the fourth page, then long runs again.
            add(0, 3 * kPage - 5);
            for (int k = 0; k < 40; ++k) add(static_cast<TypeId>(draw(2)), 1);
            add(1, kPage + 7);
            while (model.size() < 8 * kPage) add(static_cast<TypeId>(draw(2)), 1 + draw(draw(4) == 0 ? 3000 : 3));
            for (int k = 0; k < 2000; ++k) {
                const FactId f = static_cast<FactId>(draw(model.size()));
                s.remove(f);
                model[f].alive = false;
            }
            check();
            for (TypeId t : {0u, 1u}) {
                std::vector<FactId> live;
                for (FactId f = 0; f < model.size(); ++f)
                    if (model[f].type == t && model[f].alive) live.push_back(f);
                std::vector<FactId> listed;
                for (FactId f : s.facts_of_type(t))
                    if (s.is_alive(f)) listed.push_back(f);
                EXPECT_EQ(listed, live);
            }
            s.reset();
            model.clear();
            rows[0] = rows[1] = 0;
        }
    }
}

TEST(FactPlaces, ARunKeepsNoPlacePerFactUntilAFactBreaksIt) {
    constexpr size_t kPage = FactPlaces::kPage;
    FactPlaces p;
    // One type's rows counting up, in pieces that do not align with pages.
    p.append(3, 0, kPage - 1);
    p.append(3, static_cast<uint32_t>(kPage - 1), 2);
    for (uint32_t k = 0; k < 10; ++k) p.append(3, static_cast<uint32_t>(kPage + 1 + k), 1);
    EXPECT_FALSE(p.page_has_places(0));
    EXPECT_FALSE(p.page_has_places(1));
    // A row that skips, then another type: page 1 gets its places.
    p.append(3, 500, 1);
    p.append(4, 0, 2);
    EXPECT_TRUE(p.page_has_places(1));
    const std::vector<std::pair<FactId, FactPlaces::Place>> expected = {
        {0, {3, 0}},
        {FactId(kPage - 1), {3, uint32_t(kPage - 1)}},
        {FactId(kPage), {3, uint32_t(kPage)}},
        {FactId(kPage + 10), {3, uint32_t(kPage + 10)}},
        {FactId(kPage + 11), {3, 500}},
        {FactId(kPage + 12), {4, 0}},
        {FactId(kPage + 13), {4, 1}},
    };
    for (const auto& [f, place] : expected) {
        EXPECT_EQ(p.at(f).type, place.type) << f;
        EXPECT_EQ(p.at(f).row, place.row) << f;
        EXPECT_TRUE(p.alive(f));
    }
    EXPECT_EQ(p.size(), kPage + 14);
    p.kill(FactId(kPage + 12));
    EXPECT_FALSE(p.alive(FactId(kPage + 12)));
    EXPECT_TRUE(p.alive(FactId(kPage + 11)) && p.alive(FactId(kPage + 13)));
    // A new page starts a run of its own whatever came before.
    p.append(4, 2, kPage);
    EXPECT_FALSE(p.page_has_places(2));
    EXPECT_EQ(p.at(FactId(2 * kPage + 13)).row, uint32_t(kPage + 1));
    EXPECT_EQ(p.at(FactId(2 * kPage)).type, 4u);
}

TEST(FactList, ReadsBackAsAPlainAscendingListThroughRunsAndRemovals) {
    // Single ids, runs of every short length and long ones, gaps of one and
    // more, ids near the top of the range, and removals that split runs.
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        uint64_t state = seed;
        auto draw = [&](uint64_t n) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return (state >> 33) % n;
        };
        FactList list;
        std::vector<FactId> plain;
        FactId next = seed == 4 ? UINT32_MAX - 5000 : 0;
        while (plain.size() < 3000) {
            next += static_cast<FactId>(draw(3) == 0 ? 0 : 1 + draw(3));
            const size_t count = draw(4) == 0 ? draw(200) : draw(4);
            if (count == 1 && draw(2)) list.push_back(next);
            else list.push_run(next, count);
            for (size_t k = 0; k < count; ++k) plain.push_back(next++);
            ASSERT_EQ(list, plain);
            ASSERT_EQ(list.size(), plain.size());
        }
        EXPECT_TRUE(std::is_sorted(plain.begin(), plain.end()));
        for (int round = 0; round < 3; ++round) {
            std::vector<uint8_t> gone(plain.size());
            for (auto& g : gone) g = draw(3) == 0;
            size_t k = 0;
            std::vector<FactId> kept;
            for (FactId f : plain)
                if (!gone[k++]) kept.push_back(f);
            k = 0;
            list.keep_if([&](FactId) { return !gone[k++]; });
            plain = kept;
            ASSERT_EQ(list, plain);
            EXPECT_EQ(list.empty(), plain.empty());
        }
    }
    // A run of any length costs two words; ids apart cost one each.
    FactList run;
    run.push_run(7, 100000);
    run.push_back(100007);
    EXPECT_EQ(run.words(), 2u);
    EXPECT_EQ(run.size(), 100001u);
    FactList apart;
    for (FactId f = 0; f < 10; f += 2) apart.push_back(f);
    EXPECT_EQ(apart.words(), 5u);
    EXPECT_EQ(apart, (std::vector<FactId>{0, 2, 4, 6, 8}));
}

// Only an integer column without nulls hands out its cells in place: a
// nullable one's cell may be a null, and other kinds are no integers.
TEST(FactStore, IntegerCellsAreReadInPlaceOnlyFromColumnsWithoutNulls) {
    TypeSchema maybe{"Maybe", {{"v", FieldType::i64()}, {"w", FieldType::i64()}, {"x", FieldType::f64()}}, 0b1};
    FactStore s({maybe});
    ASSERT_TRUE(s.insert(0, {Value::i64(5), Value::i64(-4), Value::f64(1.5)}));
    ASSERT_TRUE(s.insert(0, {Value::null(), Value::i64(7), Value::f64(2.5)}));
    for (FactId f : {0u, 1u}) {
        EXPECT_EQ(s.i64_cell(f, 0), nullptr);
        ASSERT_NE(s.i64_cell(f, 1), nullptr);
        EXPECT_EQ(Value::i64(*s.i64_cell(f, 1)), s.get(f, 1));
        EXPECT_EQ(s.i64_cell(f, 2), nullptr);
        EXPECT_EQ(s.i64_cell(f, 3), nullptr);  // no such field: get reports it
    }
}

// Integer cells inserted as they are store and refuse exactly what the same
// cells as I64 values do, interleaved with other inserts on the same types.
TEST(FactStore, IntegerCellsInsertAsTheSameValuesWould) {
    TypeSchema pair{"Pair", {{"a", FieldType::i64()}, {"b", FieldType::i64()}}, 0};
    TypeSchema maybe{"Maybe", {{"a", FieldType::i64()}, {"b", FieldType::i64()}}, 0b10};
    TypeSchema mixed{"Mixed", {{"a", FieldType::i64()}, {"b", FieldType::str()}}, 0};
    FactStore by_values({pair, maybe, mixed}), by_cells({pair, maybe, mixed});
    const std::vector<std::vector<int64_t>> rows = {
        {1, 2}, {INT64_MIN, INT64_MAX}, {3}, {4, 5, 6}, {0, -1},
    };
    for (TypeId t = 0; t < 3; ++t) {
        for (const std::vector<int64_t>& row : rows) {
            std::vector<Value> values;
            for (int64_t c : row) values.push_back(Value::i64(c));
            Result<FactId, std::string> a = by_values.insert(t, values);
            Result<FactId, std::string> b = by_cells.insert_i64s(t, row);
            ASSERT_EQ(a.ok(), b.ok()) << t << " " << row.size();
            if (a) EXPECT_EQ(*a, *b);
            else EXPECT_EQ(a.error(), b.error());
            // A null beside them keeps the rows of both stores in step.
            if (t == 1) {
                ASSERT_TRUE(by_values.insert(t, {Value::i64(7), Value::null()}));
                ASSERT_TRUE(by_cells.insert(t, {Value::i64(7), Value::null()}));
            }
        }
    }
    EXPECT_EQ(by_cells.insert_i64s(2, std::vector<int64_t>{1, 2}).error(), "column type mismatch for value I64(2)");
    ASSERT_EQ(by_values.fact_count(), by_cells.fact_count());
    EXPECT_EQ(by_values.fact_count(), 11u);  // three rows of two cells in Pair and Maybe, five nulls
    for (FactId f = 0; f < by_values.fact_count(); ++f) EXPECT_EQ(render_text(by_values, f), render_text(by_cells, f));
    for (TypeId t = 0; t < 3; ++t) {
        EXPECT_EQ(by_values.data(t).rows, by_cells.data(t).rows);
        for (const Column& c : by_cells.data(t).columns) {
            EXPECT_EQ(std::visit([](const auto& cells) { return cells.size(); }, c.cells), by_cells.data(t).rows);
            if (c.validity) {
                EXPECT_EQ(c.validity->size(), by_cells.data(t).rows);
            }
        }
        EXPECT_EQ(by_values.facts_of_type(t).size(), by_cells.facts_of_type(t).size());
    }
}

TEST(FactStore, ReclaimGivesBackDeadRowsAndKeepsEveryLiveFactAsItWas) {
    FactStore s = order_store();
    const TypeId order = *s.type_id("Order"), tick = *s.type_id("Tick");
    std::vector<FactId> orders, ticks;
    for (int64_t k = 0; k < 300; ++k) {
        if (k % 4 == 0) ticks.push_back(*s.insert(tick, {Value::i64(k)}));
        else orders.push_back(*s.insert(order, order_row(k)));
    }
    const FactId bulk = *s.append_columns(order, order_columns(1000, 5000), 5000);
    for (FactId f = bulk; f < bulk + 5000; ++f) orders.push_back(f);
    std::vector<FactId> live, dead;
    for (size_t k = 0; k < orders.size(); ++k) (k % 3 == 1 || (k > 400 && k < 4500) ? dead : live).push_back(orders[k]);
    for (size_t k = 0; k < ticks.size(); ++k) (k < 40 ? dead : live).push_back(ticks[k]);
    std::sort(live.begin(), live.end());
    std::vector<std::string> texts;
    for (FactId f : live) texts.push_back(render_text(s, f));
    for (FactId f : dead) s.remove(f);
    EXPECT_EQ(s.dead_rows(), dead.size());

    EXPECT_EQ(s.reclaim_dead_rows(), dead.size());
    EXPECT_EQ(s.reclaim_dead_rows(), 0u);
    EXPECT_EQ(s.dead_rows(), 0u);
    EXPECT_EQ(s.live_rows(), live.size());
    const size_t live_ticks = ticks.size() - 40;
    EXPECT_EQ(s.data(order).rows, live.size() - live_ticks);
    EXPECT_EQ(s.data(tick).rows, live_ticks);
    for (size_t k = 0; k < live.size(); ++k) EXPECT_EQ(render_text(s, live[k]), texts[k]) << live[k];
    std::vector<FactId> listed;
    for (TypeId t : {order, tick})
        for (FactId f : s.facts_of_type(t)) listed.push_back(f);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, live);
    for (FactId f : dead) EXPECT_TRUE(s.knows(f) && !s.is_alive(f));
    // The text bytes counted are those of the live notes alone.
    uint64_t bytes = 0;
    for (FactId f : live)
        if (auto note = s.fact_type(f) == order ? s.text(f, 1) : std::nullopt) bytes += note->size();
    EXPECT_LE(bytes, s.column_view(order, 1).text_bytes());
    uint64_t kept = 0;
    for (const std::string& note : s.column_view(order, 1).strs()) kept += note.size();
    EXPECT_EQ(s.column_view(order, 1).text_bytes(), kept);
    // Handles go on from the last one issued; the new row follows the kept ones.
    const FactId next = *s.insert(order, order_row(9));
    EXPECT_EQ(next, bulk + 5000);
    EXPECT_EQ(s.row_of(next), s.data(order).rows - 1);
    EXPECT_EQ(s.get(next, 0), Value::i64(9));
}

TEST(FactStore, ReclaimIsDueOnceDeadRowsPassHalfTheLiveOnesAndTheSlack) {
    FactStore s = order_store();
    const TypeId tick = *s.type_id("Tick");
    const FactId first = *s.append_columns(tick, {Column{std::vector<int64_t>(10000, 1), std::nullopt, 0}}, 10000);
    // 4000 dead against 6000 live: within 3000 + 4096.
    for (FactId f = first; f < first + 4000; ++f) s.remove(f);
    EXPECT_FALSE(s.reclaim_due());
    // 7100 dead against 2900 live: past 1450 + 4096.
    for (FactId f = first + 4000; f < first + 7100; ++f) s.remove(f);
    EXPECT_TRUE(s.reclaim_due());
    s.reclaim_slack = 6000;
    EXPECT_FALSE(s.reclaim_due());
    s.reclaim_dead_rows();
    EXPECT_EQ(s.data(tick).rows, 2900u);
    EXPECT_FALSE(s.reclaim_due());
}

TEST(FactStore, RowsAReclaimKeptCountAgainstTheNextUntilAFireMayHaveFreedThem) {
    FactStore s = order_store();
    const TypeId tick = *s.type_id("Tick");
    const FactId first = *s.append_columns(tick, {Column{std::vector<int64_t>(30000, 1), std::nullopt, 0}}, 30000);
    // 20,000 dead, all kept (still named by pending work): 10,000 live.
    std::vector<FactId> keep;
    for (FactId f = first; f < first + 20000; ++f) {
        s.remove(f);
        keep.push_back(f);
    }
    s.reclaim_dead_rows(keep);
    ASSERT_EQ(s.dead_rows(), 20000u);
    // 6,000 more dead against 4,000 live: past 2,000 + 4,096 alone, but a
    // reclaim would read the 20,000 kept again: (4,000 + 20,000) / 2 + 4,096.
    for (FactId f = first + 20000; f < first + 26000; ++f) s.remove(f);
    EXPECT_FALSE(s.reclaim_due());
    EXPECT_TRUE(s.reclaim_due(/*with_kept=*/true));
    // 10,000 new dead against none live: not past (0 + 20,000) / 2 + 4,096;
    // 22,100 are.
    for (FactId f = first + 26000; f < first + 30000; ++f) s.remove(f);
    EXPECT_FALSE(s.reclaim_due());
    const FactId more = *s.append_columns(tick, {Column{std::vector<int64_t>(12100, 1), std::nullopt, 0}}, 12100);
    for (FactId f = more; f < more + 12100; ++f) s.remove(f);
    EXPECT_TRUE(s.reclaim_due());
}

TEST(FactStore, AReclaimedFactIsNoLongerReadInTheVerifyingBuild) {
#ifdef QUARN_VERIFY_ENGINE
    FactStore s = order_store();
    const TypeId order = *s.type_id("Order");
    const FactId a = *s.insert(order, order_row(1));
    const FactId b = *s.insert(order, order_row(2));
    s.remove(a);
    EXPECT_EQ(s.get(a, 0), Value::i64(1));  // dead, still readable
    s.reclaim_dead_rows();
    EXPECT_THROW(s.get(a, 0), InternalError);
    EXPECT_THROW(s.fact_type(a), InternalError);
    EXPECT_EQ(s.get(b, 0), Value::i64(2));
#else
    GTEST_SKIP() << "the check runs in the verifying build";
#endif
}

TEST(FactPlaces, MovedRunsStayRunsAndPagesOfDeadFactsLetGoOfTheirPlaces) {
    constexpr size_t kPage = FactPlaces::kPage;
    FactPlaces p;
    p.append(3, 0, 2 * kPage);  // pages 0 and 1: one run
    p.append(4, 0, 5);          // page 2: two types, so places per fact
    p.append(5, 0, 5);
    ASSERT_TRUE(p.page_has_places(2));
    for (FactId f = 0; f < 100; ++f) p.kill(f);
    p.kill(FactId(kPage + 5));
    for (FactId f = FactId(2 * kPage); f < FactId(2 * kPage + 10); ++f) p.kill(f);
    p.begin_moves();
    uint32_t row = 0;
    for (FactId f = 0; f < FactId(2 * kPage); ++f)
        if (p.alive(f)) p.move(f, row++);
    // Page 0 lost a prefix: its facts still count up from their new first row.
    EXPECT_FALSE(p.page_has_places(0));
    EXPECT_EQ(p.at(100).row, 0u);
    EXPECT_EQ(p.at(FactId(kPage - 1)).row, uint32_t(kPage - 101));
    // Page 1 lost a fact in its midst: the facts after it moved one more.
    EXPECT_TRUE(p.page_has_places(1));
    EXPECT_EQ(p.at(FactId(kPage)).row, uint32_t(kPage - 100));
    EXPECT_EQ(p.at(FactId(kPage + 4)).row, uint32_t(kPage - 96));
    EXPECT_EQ(p.at(FactId(kPage + 6)).row, uint32_t(kPage - 95));
    EXPECT_EQ(p.at(FactId(2 * kPage - 1)).type, 3u);
    p.drop_dead_pages({});
    EXPECT_FALSE(p.page_has_places(2));
    EXPECT_TRUE(p.page_has_places(1));
    // Facts still come on the last page, which starts a run again.
    p.append(6, 0, 3);
    EXPECT_EQ(p.at(FactId(2 * kPage + 11)).type, 6u);
    EXPECT_EQ(p.at(FactId(2 * kPage + 12)).row, 2u);
}
