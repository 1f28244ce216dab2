#include <gtest/gtest.h>

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
