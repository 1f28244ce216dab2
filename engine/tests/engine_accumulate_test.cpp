#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine.h"
#include "store/debug_form.h"
#include "schema_support.h"

using namespace quarn;

namespace {

std::string shown(const std::optional<Value>& v) { return v ? debug(*v) : "None"; }

}  // namespace

TEST(AccCtx, FiguresMoveWithEachValueAndComeBack) {
    struct Case {
        AccFunc func;
        FieldType arg;
        std::vector<Value> add;
        std::vector<size_t> take;  // indexes into add, taken back in this order
        const char* expected;      // result after every add, then after every take
    };
    const Value n = Value::null();
    const Case cases[] = {
        {AccFunc::Sum, FieldType::dec(10, 2), {Value::dec(15, 1), Value::dec(225, 2), Value::dec(3, 0)}, {1, 0, 2},
         "Dec { u: 15, s: 1 } Dec { u: 375, s: 2 } Dec { u: 675, s: 2 } | Dec { u: 450, s: 2 } Dec { u: 300, s: 2 } "
         "Dec { u: 0, s: 2 }"},
        {AccFunc::Sum, FieldType::f64(), {Value::f64(0.1), Value::f64(0.2), n}, {0, 1}, "F64(0.1) F64(0.30000000000000004) "
         "F64(0.30000000000000004) | F64(0.20000000000000004) F64(0.0)"},
        {AccFunc::Average, FieldType::f64(), {Value::f64(0.1), n, Value::f64(0.2)}, {0, 2},
         "F64(0.1) F64(0.1) F64(0.15000000000000002) | F64(0.20000000000000004) None"},
        {AccFunc::Count, FieldType::i64(), {n, Value::i64(4)}, {0}, "I64(1) I64(2) | I64(1)"},
        {AccFunc::Max, FieldType::i64(), {Value::i64(3), Value::i64(7), Value::i64(7)}, {1, 0, 2},
         "I64(3) I64(7) I64(7) | I64(7) I64(7) None"},
        // A NaN first holds the extreme until it leaves; one after it never replaces it.
        {AccFunc::Min, FieldType::f64(), {Value::f64(std::nan("")), Value::f64(2), Value::f64(std::nan("")), Value::f64(1)}, {0, 2},
         "F64(NaN) F64(NaN) F64(NaN) F64(NaN) | F64(1.0) F64(1.0)"},
        {AccFunc::Min, FieldType::dec(10, 2), {Value::dec(150, 2), Value::dec(15, 1), Value::dec(200, 2)}, {0},
         "Dec { u: 150, s: 2 } Dec { u: 150, s: 2 } Dec { u: 150, s: 2 } | Dec { u: 15, s: 1 }"},
        // Equal integers stand for each other until the last of them leaves.
        {AccFunc::Min, FieldType::i64(), {Value::i64(5), Value::i64(5), Value::i64(2), Value::i64(5), Value::i64(8)},
         {2, 0, 1, 3, 4}, "I64(5) I64(5) I64(2) I64(2) I64(2) | I64(5) I64(5) I64(5) I64(8) None"},
        {AccFunc::Max, FieldType::i64(), {Value::i64(4), Value::i64(9), Value::i64(4), Value::i64(9)}, {1, 3, 0, 2},
         "I64(4) I64(9) I64(9) I64(9) | I64(9) I64(4) I64(4) None"},
    };
    for (const Case& c : cases) {
        AccCtx ctx;
        std::string out;
        std::vector<uint32_t> slots;
        for (const Value& v : c.add) {
            ASSERT_TRUE(ctx.apply(c.func, v));
            slots.push_back(ctx.push_match(static_cast<FactId>(slots.size()), v));
            out += shown(ctx.result_value(c.func, c.arg)) + " ";
        }
        out += "|";
        for (size_t k : c.take) {
            ASSERT_TRUE(acc_remove_at(ctx, c.func, slots[k]));
            out += " " + shown(ctx.result_value(c.func, c.arg));
        }
        EXPECT_EQ(out, c.expected) << debug(c.func);
    }
}

// Removals within a pass leave a lost extreme stale and settle it once; after
// every pass the figures are those of a recompute at each removal, ties and
// NaNs (whose place in the order decides) included: random passes over
// floats with NaNs, signed zeros and repeats, integers with repeats.
TEST(AccCtx, ExtremesSettledOncePerPassMatchARecomputeAtEachRemoval) {
    const double nan = std::nan("");
    const std::vector<Value> floats = {Value::f64(nan), Value::f64(0.0), Value::f64(-0.0), Value::f64(1.5),
                                       Value::f64(-1.5), Value::f64(2.0), Value::f64(2.0)};
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const AccFunc func = seed % 2 ? AccFunc::Max : AccFunc::Min;
        const bool ints = seed % 3 == 0;
        AccCtx eager, lazy;
        std::vector<uint32_t> live;  // slots, the same in both
        uint64_t reads = 0;
        for (int pass = 0; pass < 12; ++pass) {
            for (int op = static_cast<int>(rng() % 9); op > 0; --op) {
                if (live.empty() || rng() % 3 == 0) {
                    const Value v = ints ? Value::i64(static_cast<int64_t>(rng() % 4)) : floats[rng() % floats.size()];
                    ASSERT_TRUE(eager.apply(func, v));
                    ASSERT_TRUE(lazy.apply(func, v));
                    const uint32_t slot = eager.push_match(static_cast<FactId>(live.size()), v);
                    ASSERT_EQ(lazy.push_match(static_cast<FactId>(live.size()), v), slot);
                    live.push_back(slot);
                    continue;
                }
                // Mostly the newest, as a batch of deletes is walked.
                const size_t at = rng() % 2 ? live.size() - 1 : rng() % live.size();
                ASSERT_TRUE(acc_remove_at(eager, func, live[at]));
                Result<bool, std::string> stale = acc_remove_in_pass(lazy, func, live[at], reads);
                ASSERT_TRUE(stale);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            }
            acc_settle(lazy, func, reads);
            ASSERT_FALSE(lazy.extreme_stale);
            ASSERT_EQ(shown(lazy.result_value(func, FieldType::f64())), shown(eager.result_value(func, FieldType::f64())))
                << "seed " << seed << " pass " << pass;
            ASSERT_EQ(lazy.extreme_refs, eager.extreme_refs) << "seed " << seed << " pass " << pass;
            ASSERT_EQ(lazy.nan_live, eager.nan_live);
        }
    }
}

TEST(AccMatch, HoldsEachKindOfValueAndGivesItBackUnchanged) {
    const i128 big = -(static_cast<i128>(1) << 100) - 7;
    const Value values[] = {Value::i64(INT64_MIN), Value::i64(-1), Value::f64(-0.0), Value::f64(std::nan("")),
                            Value::f64(2.5), Value::boolean(true), Value::boolean(false), Value::null(),
                            Value::dec(big, 7), Value::dec(-15, 1), Value::str(""), Value::str(std::string(40, 'x'))};
    std::vector<AccMatch> held;
    for (const Value& v : values) held.emplace_back(static_cast<FactId>(held.size() + 3), v);
    // Copies, moves and a reallocation keep every value and its fact.
    std::vector<AccMatch> copied = held;
    std::vector<AccMatch> moved = std::move(copied);
    moved.reserve(moved.size() * 4);
    moved[0] = moved[10];  // a text over an integer
    moved[10] = AccMatch(3, values[0]);
    for (size_t k = 0; k < std::size(values); ++k) {
        EXPECT_EQ(held[k].fact, k + 3);
        EXPECT_EQ(debug(held[k].value()), debug(values[k]));
        EXPECT_EQ(held[k].value_is_null(), values[k].is_null());
        const size_t from = k == 0 ? 10 : k == 10 ? 0 : k;
        EXPECT_EQ(debug(moved[k].value()), debug(values[from])) << k;
        EXPECT_EQ(moved[k].fact, from + 3) << k;
    }
    // A float's bits come back as they went in (the sign of a zero).
    EXPECT_TRUE(std::signbit(held[2].value().as_f64()));
}

TEST(AccPlaces, HoldOnePlaceInPlaceAndManyInOrder) {
    AccPlaces p;
    EXPECT_TRUE(p.empty());
    p.push_back({TupleId{4}, 0});
    AccPlaces one = p;
    p.push_back({TupleId{5}, 7});
    p.push_back({TupleId{4}, 9});
    AccPlaces three = p;
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three.find(TupleId{4}), 0u);
    EXPECT_EQ(three.find(TupleId{5}), 1u);
    EXPECT_EQ(three.find(TupleId{6}), std::nullopt);
    p.erase_at(0);
    p.erase_at(0);
    // Back to one place, the one left last.
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].tuple, TupleId{4});
    EXPECT_EQ(p[0].slot, 9u);
    p.erase_at(0);
    EXPECT_TRUE(p.empty());
    EXPECT_EQ(p.find(TupleId{4}), std::nullopt);
    // The copies stand apart from what became of the original.
    EXPECT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].slot, 0u);
    EXPECT_EQ(three[2].slot, 9u);
}

TEST(WideSum, StaysExactPastThe128BitRangeAndNarrowsOnlyWithinIt) {
    const i128 min = -kI128Max - 1;
    WideSum s;
    std::string out;
    auto note = [&] {
        const std::optional<i128> n = s.narrow();
        out += n ? (*n == kI128Max ? "max " : *n == min ? "min " : fmt("{} ", static_cast<int64_t>(*n))) : "wide ";
    };
    s.add(kI128Max);
    note();
    s.add(1);
    note();
    s.add(kI128Max);
    note();
    s.subtract(kI128Max);
    s.subtract(kI128Max);
    note();
    s.subtract(min);  // 1 + 2^127
    note();
    s.add(min);
    s.add(min);
    s.add(-1);
    note();
    s.add(-1);
    note();
    for (int k = 0; k < 3; ++k) s.subtract(min);  // 2^128 - 1
    s.add(min);
    s.add(min);
    note();
    EXPECT_EQ(out, "max wide wide 1 wide min wide -1 ");
}

TEST(AccCtx, ASumIsHeldAgainstItsRangeOverTheCurrentValuesWhateverTheirOrder) {
    const Value big = Value::i64(INT64_MAX);
    std::vector<Value> ints = {Value::i64(-1), Value::i64(1), big};
    std::sort(ints.begin(), ints.end(), [](const Value& a, const Value& b) { return a.as_i64() < b.as_i64(); });
    do {
        AccCtx ctx;
        for (const Value& v : ints) ASSERT_TRUE(ctx.apply(AccFunc::Sum, v));
        EXPECT_TRUE(ctx.check_sum_range(AccFunc::Sum, FieldType::i64()));
        EXPECT_EQ(shown(ctx.result_value(AccFunc::Sum, FieldType::i64())), "I64(9223372036854775807)");
    } while (std::next_permutation(ints.begin(), ints.end(),
                                   [](const Value& a, const Value& b) { return a.as_i64() < b.as_i64(); }));

    AccCtx ctx;
    ASSERT_TRUE(ctx.apply(AccFunc::Sum, big));
    ASSERT_TRUE(ctx.apply(AccFunc::Sum, Value::i64(2)));
    Status over = ctx.check_sum_range(AccFunc::Sum, FieldType::i64());
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error(), "integer sum overflow (64-bit integer exceeded)");
    ASSERT_TRUE(ctx.try_reverse(AccFunc::Sum, Value::i64(INT64_MIN)));  // beyond by 2^63 more
    EXPECT_FALSE(ctx.check_sum_range(AccFunc::Sum, FieldType::i64()));
    ASSERT_TRUE(ctx.apply(AccFunc::Sum, Value::i64(INT64_MIN)));
    ASSERT_TRUE(ctx.try_reverse(AccFunc::Sum, Value::i64(3)));
    EXPECT_EQ(shown(ctx.result_value(AccFunc::Sum, FieldType::i64())), "I64(9223372036854775806)");
    ASSERT_TRUE(ctx.apply(AccFunc::Sum, Value::i64(INT64_MIN)));
    EXPECT_EQ(shown(ctx.result_value(AccFunc::Sum, FieldType::i64())), "I64(-2)");
    ASSERT_TRUE(ctx.apply(AccFunc::Sum, Value::i64(INT64_MIN)));
    EXPECT_EQ(ctx.check_sum_range(AccFunc::Sum, FieldType::i64()).error(), "integer sum overflow (64-bit integer exceeded)");

    // Two values of 38 nines, and one taken back from beyond the other side.
    const i128 most = *pow10_i128(38) - 1;
    const FieldType d38 = FieldType::dec(38, 0);
    AccCtx decs;
    ASSERT_TRUE(decs.apply(AccFunc::Sum, Value::dec(most, 0)));
    ASSERT_TRUE(decs.apply(AccFunc::Sum, Value::dec(most, 0)));
    Status twice = decs.check_sum_range(AccFunc::Sum, d38);
    ASSERT_FALSE(twice);
    EXPECT_EQ(twice.error(), "decimal sum overflow (DECIMAL(38) exceeded)");
    ASSERT_TRUE(decs.apply(AccFunc::Sum, Value::dec(-most, 0)));
    EXPECT_EQ(shown(decs.result_value(AccFunc::Sum, d38)), fmt("Dec {{ u: {}, s: 0 }}", dec_render(most, 0)));
    ASSERT_TRUE(decs.try_reverse(AccFunc::Sum, Value::dec(-most, 0)));
    EXPECT_FALSE(decs.check_sum_range(AccFunc::Sum, d38));
    ASSERT_TRUE(decs.try_reverse(AccFunc::Sum, Value::dec(most, 0)));
    ASSERT_TRUE(decs.check_sum_range(AccFunc::Sum, d38));
    // A value of a larger scale would rescale the sum to 39 digits: refused,
    // the figures as they were.
    for (const Value& v : {Value::dec(0, 1), Value::dec(1, 1)}) {
        Status r = decs.apply(AccFunc::Sum, v);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "decimal sum overflow (DECIMAL(38) exceeded)");
        EXPECT_EQ(shown(decs.result_value(AccFunc::Sum, d38)), fmt("Dec {{ u: {}, s: 0 }}", dec_render(most, 0)));
    }
    Result<bool, std::string> back = decs.try_reverse(AccFunc::Sum, Value::dec(-1, 1));
    ASSERT_FALSE(back);
    EXPECT_EQ(back.error(), "decimal sum overflow (DECIMAL(38) exceeded)");
}

TEST(AccCtx, AFloatSumOrAverageMadeInfiniteOrNaNIsRecomputedWhenAMemberLeaves) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    struct Case {
        AccFunc func;
        std::vector<double> add;
        std::vector<size_t> take;  // indexes into add, taken back in this order
        const char* expected;      // result after every take
    };
    const Case cases[] = {
        {AccFunc::Sum, {inf, 1.0}, {0}, "F64(1.0)"},
        {AccFunc::Sum, {1.0, -inf, inf, 2.0}, {1, 2, 3}, "F64(inf) F64(3.0) F64(1.0)"},
        {AccFunc::Sum, {nan, 2.5, nan}, {0, 2}, "F64(NaN) F64(2.5)"},
        {AccFunc::Sum, {1e308, 1e308, 4.0}, {0}, "F64(1e308)"},
        {AccFunc::Average, {nan, 2.0}, {0}, "F64(2.0)"},
        {AccFunc::Average, {-inf, 3.0, 5.0}, {1, 0}, "F64(-inf) F64(5.0)"},
        {AccFunc::Average, {1e308, 1e308, 3.0}, {1}, "F64(5e307)"},
    };
    for (const Case& c : cases) {
        AccCtx ctx;
        std::vector<uint32_t> slots;
        for (double f : c.add) {
            ASSERT_TRUE(ctx.apply(c.func, Value::f64(f)));
            slots.push_back(ctx.push_match(static_cast<FactId>(slots.size()), Value::f64(f)));
        }
        std::string out;
        for (size_t k : c.take) {
            ASSERT_TRUE(acc_remove_at(ctx, c.func, slots[k]));
            out += (out.empty() ? "" : " ") + shown(ctx.result_value(c.func, FieldType::f64()));
        }
        EXPECT_EQ(out, c.expected) << debug(c.func) << " " << c.add.size();
    }
}

TEST(AccCtx, CollectSetMembersByKeyWithNaNsApart) {
    AccCtx ctx;
    const double nan = std::nan("");
    for (double f : {0.0, nan, -0.0, 2.5, nan}) ASSERT_TRUE(ctx.apply(AccFunc::CollectSet, Value::f64(f)));
    AccState st;
    ctx.result_fact = 9;
    acc_publish_members(st, AccFunc::CollectSet, ctx);
    std::string out;
    for (const Value& v : st.collect_values.at(9)) out += debug(v) + " ";
    EXPECT_EQ(out, "F64(0.0) F64(2.5) F64(NaN) F64(NaN) ");
    // A NaN taken back leaves: it does not linger after its fact.
    ASSERT_TRUE(ctx.try_reverse(AccFunc::CollectSet, Value::f64(std::nan(""))));
    ASSERT_TRUE(ctx.try_reverse(AccFunc::CollectSet, Value::f64(-0.0)));
    acc_publish_members(st, AccFunc::CollectSet, ctx);
    out.clear();
    for (const Value& v : st.collect_values.at(9)) out += debug(v) + " ";
    EXPECT_EQ(out, "F64(0.0) F64(2.5) F64(NaN) ");
}

namespace {

// Random changes to stores and sales over several fires; after every fire each
// accumulate's and each group's published value is compared with a brute-force
// recomputation over the live facts, and the order of the matches with the
// order of the changes.
class RandomAccumulate {
public:
    explicit RandomAccumulate(uint32_t seed) : rng_(seed) {
        std::vector<TypeSchema> types = {
            {"Store", {{"id", FieldType::i64()}}, 0},
            {"Sale",
             {{"store", FieldType::i64()},
              {"v", FieldType::i64()},
              {"n", FieldType::i64()},
              {"f", FieldType::f64()},
              {"d", FieldType::dec(10, 2)},
              {"s", FieldType::str()}},
             0b100},
        };
        e_.emplace(std::move(Engine::create(types)).value());
        const char* rules =
            "rule sum when Store($id : id) accumulate(Sale(store == $id, $v : v); $r : sum($v)) then end\n"
            "rule sumf when Store($id : id) accumulate(Sale(store == $id, $f : f); $r : sum($f)) then end\n"
            "rule sumd when Store($id : id) accumulate(Sale(store == $id, $d : d); $r : sum($d)) then end\n"
            "rule cnt when Store($id : id) accumulate(Sale(store == $id, $n : n); $r : count($n)) then end\n"
            "rule avg when Store($id : id) accumulate(Sale(store == $id, $n : n); $r : average($n)) then end\n"
            "rule mn when Store($id : id) accumulate(Sale(store == $id, $n : n); $r : min($n)) then end\n"
            "rule mx when Store($id : id) accumulate(Sale(store == $id, $d : d); $r : max($d)) then end\n"
            "rule cl when Store($id : id) accumulate(Sale(store == $id, $n : n); $r : collectList($n)) then end\n"
            "rule cs when Store($id : id) accumulate(Sale(store == $id, $v : v); $r : collectSet($v)) then end\n"
            "rule co when Store($id : id) accumulate(Sale(store == $id, v > 2); $r : count()) "
            "$all : List() from collect(Sale(v > 2)) then end\n"
            "rule gs when groupby(Sale($s : s, $v : v); $s; $r : sum($v)) then end\n"
            "rule gc when groupby(Sale($k : store); $k; $r : count()) then end\n"
            "rule gm when groupby(Sale($s : s, $d : d); $s; $r : min($d)) then end\n"
            "rule ga when groupby(Sale($s : s, $f : f); $s; $r : average($f)) then end\n"
            "rule gn when groupby(Sale($s : s, $n : n); $s; $r : max($n)) then end\n";
        EngineStatus loaded = e_->add_rules_text(rules);
        EXPECT_TRUE(loaded) << loaded.error().message;
    }

    void run(int fires, int changes) {
        for (int k = 0; k < fires; ++k) {
            for (int c = 0; c < changes; ++c) change();
            EngineResult<Firings> fired = e_->fire_all(1000000);
            ASSERT_TRUE(fired) << fired.error().message;
            check(k);
            check_arrival_order(k);
            if (::testing::Test::HasFailure()) return;
        }
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    Value sale_field(const std::string& f) {
        if (f == "store") return Value::i64(pick(0, 4));
        if (f == "v") return Value::i64(pick(-5, 9));
        if (f == "n") return pick(0, 3) == 0 ? Value::null() : Value::i64(pick(-3, 6));
        if (f == "f") {
            // Now and then an infinity or a NaN, which a float sum or average
            // cannot take back out by subtraction.
            const double specials[] = {std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(), std::nan("")};
            const int k = pick(0, 20);
            return Value::f64(k < 3 ? specials[k] : pick(-20, 20) / 4.0);
        }
        if (f == "d") return Value::dec(pick(-999, 999), 2);
        return Value::str(std::string(1, static_cast<char>('a' + pick(0, 3))));
    }

    void change() {
        Engine& e = *e_;
        const int what = pick(0, 9);
        if (what == 0 || stores_.empty()) {
            stores_.push_back(e.insert("Store", {{"id", Value::i64(pick(0, 4))}}).value());
            changed_stores_.insert(stores_.back());
        } else if (what <= 3 || sales_.empty()) {
            std::vector<std::pair<std::string, Value>> row;
            for (const char* f : {"store", "v", "n", "f", "d", "s"}) row.emplace_back(f, sale_field(f));
            sales_.push_back(e.insert("Sale", row).value());
            inserted_sales_.push_back(sales_.back());
        } else if (what <= 6) {
            const FactId f = sales_[pick(0, static_cast<int>(sales_.size()) - 1)];
            updated_sales_.insert(f);
            static const char* fields[] = {"store", "v", "n", "f", "d", "s"};
            std::vector<std::pair<std::string, Value>> changes;
            for (int k = pick(1, 2); k > 0; --k) {
                const std::string name = fields[pick(0, 5)];
                changes.emplace_back(name, sale_field(name));
            }
            ASSERT_TRUE(e.update_fact(f, changes));
        } else if (what == 7) {
            const size_t at = pick(0, static_cast<int>(stores_.size()) - 1);
            if (pick(0, 1) == 0) {
                changed_stores_.insert(stores_[at]);
                ASSERT_TRUE(e.update_fact(stores_[at], {{"id", Value::i64(pick(0, 4))}}));
            } else {
                ASSERT_TRUE(e.delete_fact(stores_[at]));
                stores_.erase(stores_.begin() + static_cast<std::ptrdiff_t>(at));
            }
        } else {
            const size_t at = pick(0, static_cast<int>(sales_.size()) - 1);
            ASSERT_TRUE(e.delete_fact(sales_[at]));
            sales_.erase(sales_.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }

    Value get(FactId f, const char* field) const {
        const TypeId t = e_->store.fact_type(f);
        return e_->store.get(f, *e_->store.field_index(t, field));
    }

    // What a function gives over these values: the expected result text, and
    // for averages and float sums the number to compare with a tolerance.
    static std::string expected(AccFunc func, const FieldType& arg, const std::vector<Value>& values) {
        AccCtx ctx;
        for (const Value& v : values) EXPECT_TRUE(ctx.apply(func, v));
        return shown(ctx.result_value(func, arg));
    }

    static bool close(const Value& a, const Value& b) {
        if (a.tag() != ValueTag::F64 || b.tag() != ValueTag::F64) return a == b;
        // Small values make an infinite or NaN result in any order of its members.
        if (!std::isfinite(a.as_f64()) || !std::isfinite(b.as_f64())) return debug(a) == debug(b);
        return std::fabs(a.as_f64() - b.as_f64()) <= 1e-9 * std::max(1.0, std::fabs(b.as_f64()));
    }

    // Sorted texts of values, for collections whose order follows arrival.
    static std::vector<std::string> texts(const std::vector<Value>& vs) {
        std::vector<std::string> out;
        for (const Value& v : vs) out.push_back(debug(v));
        std::sort(out.begin(), out.end());
        return out;
    }

    void check(int fire) {
        Engine& e = *e_;
        for (size_t r = 0; r < e.rules.size(); ++r) {
            const CompiledRule& rule = e.rules[r];
            const std::string& name = rule.def.name;
            SCOPED_TRACE(fmt("fire {} rule {}", fire, name));
            const CompiledAcc& acc = *rule.patterns[1].acc;
            const size_t node = e.nets[r].node_ids[0];
            const size_t arg_field = acc.arg_field.value_or(0);
            auto arg_of = [&](FactId f) { return acc.arg_field ? e.store.get(f, arg_field) : Value::i64(0); };
            auto passes = [&](FactId f) { return name != "co" || get(f, "v").as_i64() > 2; };
            if (acc.key_field) {
                check_groups(r, node, acc, arg_of);
                continue;
            }
            const AccNodeState& st = e.acc.nodes.at(node);
            EXPECT_EQ(st.acc_ctxs.size(), stores_.size());
            for (FactId s : stores_) {
                const TupleId t = e.tuples.intern(std::vector<FactId>{s});
                auto it = st.acc_ctxs.find(t);
                ASSERT_NE(it, st.acc_ctxs.end()) << "store " << s;
                const AccCtx& ctx = it->second;
                std::vector<Value> values;
                std::vector<FactId> members;
                for (FactId f : sales_) {
                    if (!passes(f)) continue;
                    if (get(f, "store") != get(s, "id")) continue;
                    values.push_back(arg_of(f));
                    members.push_back(f);
                }
                const std::string want = expected(acc.func, acc.arg_type, values);
                const std::optional<Value> got = ctx.result_value(acc.func, acc.arg_type);
                // Float figures are kept by subtraction: compared with a tolerance.
                const bool floats = acc.func == AccFunc::Average ||
                                    (acc.func == AccFunc::Sum && acc.arg_type.kind == FieldKind::F64);
                if (!floats) {
                    EXPECT_EQ(shown(got), want) << "store " << s;
                } else if (got.has_value() != (want != "None")) {
                    EXPECT_EQ(shown(got), want) << "store " << s;
                } else if (got) {
                    const double exact = acc.func == AccFunc::Average ? mean(values) : sum_f(values);
                    EXPECT_TRUE(close(*got, Value::f64(exact))) << "store " << s << " " << debug(*got);
                }
                // Published exactly while there is a result, on its result fact.
                EXPECT_EQ(ctx.emitted, got.has_value()) << "store " << s;
                if (!ctx.emitted) continue;
                const FactId res = *ctx.result_fact;
                if (acc.func == AccFunc::CollectList) {
                    std::vector<Value> non_null;
                    for (const Value& v : values)
                        if (!v.is_null()) non_null.push_back(v);
                    EXPECT_EQ(texts(e.acc.collect_values.at(res)), texts(non_null));
                } else if (acc.func == AccFunc::CollectSet) {
                    std::map<std::string, Value> keyed;
                    for (const Value& v : values) keyed.emplace(scalar_canon_key(v), v);
                    std::string want_set, got_set;
                    for (const auto& [k, v] : keyed) want_set += debug(v) + " ";
                    for (const Value& v : e.acc.collect_values.at(res)) got_set += debug(v) + " ";
                    EXPECT_EQ(got_set, want_set);
                } else if (acc.func != AccFunc::Collect) {
                    EXPECT_TRUE(close(e.store.get(res, 0), *got)) << debug(e.store.get(res, 0));
                }
            }
            if (name == "co") check_collect(r);
        }
    }

    // Matches, and so collection members, are listed in arrival order: the
    // members a fire left alone keep their order (whatever was deleted among
    // them) and come first; the sales inserted since follow, newest first.
    // Updated sales are left out: a new match moves one to the end, an update
    // of nothing the pattern reads leaves it in place. Contexts of a store
    // inserted or updated since the last fire are built afresh and skipped.
    void check_arrival_order(int fire) {
        Engine& e = *e_;
        std::map<std::pair<size_t, TupleId>, std::vector<FactId>> now;
        for (size_t r = 0; r < e.rules.size(); ++r) {
            const CompiledAcc& first = *e.rules[r].patterns[1].acc;
            if (first.key_field) continue;
            const std::string& name = e.rules[r].def.name;
            for (size_t node : e.nets[r].node_ids) {
                const AccNodeState& st = e.acc.nodes.at(node);
                const CompiledAcc& acc = *e.rules[e.nodes[node].owner.first].patterns[e.nodes[node].owner.second].acc;
                for (const auto& [t, ctx] : st.acc_ctxs) {
                    SCOPED_TRACE(fmt("fire {} rule {} node {} tuple {}", fire, name, node, static_cast<uint32_t>(t)));
                    std::vector<FactId>& live = now[{node, t}];
                    for (const AccMatch& m : ctx.matches)
                        if (m.live) live.push_back(m.fact);
                    // Collections publish their members in that order.
                    if (ctx.emitted && acc.func == AccFunc::Collect) {
                        EXPECT_EQ(e.acc.collect_members.at(*ctx.result_fact), live);
                    } else if (ctx.emitted && acc.func == AccFunc::CollectList) {
                        std::vector<std::string> want;
                        for (const AccMatch& m : ctx.matches)
                            if (m.live && !m.value_is_null()) want.push_back(debug(m.value()));
                        std::vector<std::string> got;
                        for (const Value& v : e.acc.collect_values.at(*ctx.result_fact)) got.push_back(debug(v));
                        EXPECT_EQ(got, want);
                    }
                    auto before = members_.find({node, t});
                    const TupleView facts = e.tuples.view(t);
                    if (before == members_.end() || changed_stores_.count(facts[0])) continue;
                    std::vector<FactId> kept, added_new;
                    for (FactId f : before->second)
                        if (e.store.is_alive(f) && !updated_sales_.count(f)) kept.push_back(f);
                    size_t i = 0;
                    for (FactId f : live) {
                        if (updated_sales_.count(f)) continue;
                        if (i < kept.size()) {
                            EXPECT_EQ(f, kept[i]) << "a member left alone moved";
                            ++i;
                        } else {
                            added_new.push_back(f);
                        }
                    }
                    EXPECT_EQ(i, kept.size()) << "a member left alone is gone";
                    // New sales after everything else, newest first.
                    std::vector<FactId> newest_first;
                    for (auto it = inserted_sales_.rbegin(); it != inserted_sales_.rend(); ++it)
                        if (std::find(added_new.begin(), added_new.end(), *it) != added_new.end())
                            newest_first.push_back(*it);
                    EXPECT_EQ(added_new, newest_first);
                }
            }
        }
        members_ = std::move(now);
        changed_stores_.clear();
        updated_sales_.clear();
        inserted_sales_.clear();
    }

    // The from-collect pattern behind the count: its members are the passing sales.
    void check_collect(size_t r) {
        Engine& e = *e_;
        const AccNodeState& st = e.acc.nodes.at(e.nets[r].node_ids[1]);
        std::vector<FactId> want;
        for (FactId f : sales_)
            if (get(f, "v").as_i64() > 2) want.push_back(f);
        EXPECT_EQ(st.acc_ctxs.size(), stores_.size());
        for (const auto& [t, ctx] : st.acc_ctxs) {
            ASSERT_TRUE(ctx.emitted);
            std::vector<FactId> got = e.acc.collect_members.at(*ctx.result_fact);
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, want);
        }
    }

    template <class ArgOf>
    void check_groups(size_t r, size_t node, const CompiledAcc& acc, ArgOf arg_of) {
        Engine& e = *e_;
        const char* key_name = e.rules[r].def.name == "gc" ? "store" : "s";
        std::map<std::string, std::pair<Value, std::vector<Value>>> want;
        for (FactId f : sales_) {
            const Value key = get(f, key_name);
            auto& g = want[scalar_canon_key(key)];
            g.first = key;
            g.second.push_back(arg_of(f));
        }
        const GbNodeState& st = e.acc.gb_groups.at(node);
        size_t live = 0;
        for (const GbGroup& g : st.arena) {
            if (!g.live) continue;
            ++live;
            auto it = want.find(g.key_text);
            ASSERT_NE(it, want.end()) << g.key_text;
            if (expected(acc.func, acc.arg_type, it->second.second) == "None") {
                // Null arguments only: unpublished, a row fact kept for its next result.
                EXPECT_FALSE(g.ctx.emitted) << g.key_text;
                if (g.ctx.result_fact) {
                    EXPECT_TRUE(e.store.is_alive(*g.ctx.result_fact)) << g.key_text;
                }
                continue;
            }
            ASSERT_TRUE(g.ctx.emitted && g.ctx.result_fact) << g.key_text;
            const FactId row = *g.ctx.result_fact;
            EXPECT_TRUE(e.store.is_alive(row));
            EXPECT_EQ(debug(e.store.get(row, 1)), debug(it->second.first));
            const Value res = e.store.get(row, 0);
            if (acc.func == AccFunc::Average) {
                EXPECT_TRUE(close(res, Value::f64(mean(it->second.second)))) << g.key_text << " " << debug(res);
            } else {
                EXPECT_EQ(debug(res), expected(acc.func, acc.arg_type, it->second.second)) << g.key_text;
            }
        }
        EXPECT_EQ(live, want.size());
    }

    static double mean(const std::vector<Value>& vs) {
        double sum = 0;
        size_t n = 0;
        for (const Value& v : vs) {
            if (v.is_null()) continue;
            sum += v.tag() == ValueTag::F64 ? v.as_f64() : static_cast<double>(v.as_i64());
            ++n;
        }
        return n ? sum / static_cast<double>(n) : 0.0;
    }
    static double sum_f(const std::vector<Value>& vs) {
        double sum = 0;
        for (const Value& v : vs) sum += v.as_f64();
        return sum;
    }

    std::mt19937 rng_;
    std::optional<Engine> e_;
    std::vector<FactId> stores_, sales_;
    // Since the last fire, for the order check.
    std::set<FactId> changed_stores_, updated_sales_;
    std::vector<FactId> inserted_sales_;  // insertion order
    std::map<std::pair<size_t, TupleId>, std::vector<FactId>> members_;  // live matches at the last fire
};

}  // namespace

TEST(AccumulateRandom, PublishedFiguresMatchARecomputationAfterEveryFire) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(fmt("seed {}", seed));
        RandomAccumulate(seed).run(25, 12);
        if (HasFailure()) return;
    }
}

TEST(Groupby, ALeftTupleArrivingLaterPublishesEveryGroupAndItsDeleteWithdrawsThem) {
    Engine e = std::move(Engine::create({{"T", {{"s", FieldType::str()}, {"v", FieldType::i64()}}, 0}})).value();
    ASSERT_TRUE(e.add_rules_text("rule g when groupby(T($s : s, $v : v); $s; $t : sum($v)) then end"));
    // The InitialFact is stored but not propagated yet: the groups form without a left tuple.
    e.immediate = true;
    for (const char* s : {"b", "a", "b"}) ASSERT_TRUE(e.insert("T", {{"s", Value::str(s)}, {"v", Value::i64(2)}}));
    e.nets[0].dirty = true;  // unlinked without its first pattern, so nothing marked it
    e.evaluate_rule_inner(0, true);
    const size_t node = e.nets[0].node_ids[0];
    auto rows = [&] {
        std::string out;
        for (FactId f = 0; f < e.store.fact_count(); ++f)
            if (e.store.is_alive(f) && e.store.schema(e.store.fact_type(f)).name.starts_with("__gbrow$"))
                out += fmt("{}={} ", debug(e.store.get(f, 1)), debug(e.store.get(f, 0)));
        return out + fmt("acts={}", e.nets[0].acts.size());
    };
    EXPECT_EQ(e.acc.gb_groups.at(node).by_key.size(), 2u);
    EXPECT_EQ(rows(), "acts=0");
    e.on_insert(*e.initial_fact, std::nullopt);
    e.evaluate_rule_inner(0, true);
    EXPECT_EQ(rows(), "Str(\"b\")=I64(4) Str(\"a\")=I64(2) acts=2");
    // delete_fact refuses the engine's own facts: the left tuple leaves as
    // the propagation of a delete takes it.
    EXPECT_FALSE(e.delete_fact(*e.initial_fact));
    e.store.remove(*e.initial_fact);
    e.on_delete_ex(*e.initial_fact, std::nullopt, false);
    e.evaluate_rule_inner(0, true);
    EXPECT_EQ(rows(), "acts=0");
    // The groups keep their members for a left tuple to come.
    EXPECT_EQ(e.acc.gb_groups.at(node).member_of.size(), 3u);
}

namespace {

// A first fire over many stores fills their contexts in one walk over the
// right memory, testing only what the join keys leave open. Each rule below
// takes another path through it: a key that decides the join, an alpha test,
// a comparison with the left fact beside the key, float keys (equal without
// being the same, as -0.0 and 0.0), integer keys against float ones (equal
// when the float truncates to the integer), stores sharing an id (a sale in
// several contexts). Every published figure is compared with a recomputation over the
// live facts, after the first fire and after later changes and a second wave
// of stores.
class FirstFireFill {
public:
    explicit FirstFireFill(uint32_t seed) : rng_(seed) {
        std::vector<TypeSchema> types = {
            {"Store", {{"id", FieldType::i64()}, {"lo", FieldType::i64()}, {"fid", FieldType::f64()}}, 0},
            {"Sale",
             {{"store", FieldType::i64()},
              {"v", FieldType::i64()},
              {"n", FieldType::i64()},
              {"s", FieldType::str()},
              {"d", FieldType::dec(10, 2)},
              {"fs", FieldType::f64()}},
             0b100},
        };
        e_.emplace(std::move(Engine::create(types)).value());
        const char* rules =
            "rule sum when Store($id : id) accumulate(Sale(store == $id, $v : v); $r : sum($v)) then end\n"
            "rule mn when Store($id : id) accumulate(Sale(store == $id, $n : n); $r : min($n)) then end\n"
            "rule mx when Store($id : id) accumulate(Sale(store == $id, $d : d); $r : max($d)) then end\n"
            "rule cl when Store($id : id) accumulate(Sale(store == $id, $s : s); $r : collectList($s)) then end\n"
            "rule cnt when Store($id : id) accumulate(Sale(store == $id, v > 2); $r : count()) then end\n"
            "rule lo when Store($id : id, $lo : lo) accumulate(Sale(store == $id, v > $lo, $v : v); $r : sum($v)) "
            "then end\n"
            "rule fk when Store($f : fid) accumulate(Sale(fs == $f); $r : count()) then end\n"
            "rule mix when Store($f : fid) accumulate(Sale(store == $f, $v : v); $r : sum($v)) then end\n";
        EngineStatus loaded = e_->add_rules_text(rules);
        EXPECT_TRUE(loaded) << loaded.error().message;
    }

    void run() {
        Engine& e = *e_;
        for (int k = 0; k < 120; ++k) add_store();
        for (int k = 0; k < 600; ++k) add_sale();
        fire_and_check("first fire", true);
        // Deletes keep the order of what stays; updates move a sale to the end.
        for (int k = 0; k < 60; ++k) {
            const size_t at = pick(0, static_cast<int>(sales_.size()) - 1);
            ASSERT_TRUE(e.delete_fact(sales_[at]));
            sales_.erase(sales_.begin() + static_cast<std::ptrdiff_t>(at));
        }
        for (int k = 0; k < 10; ++k) {
            const size_t at = pick(0, static_cast<int>(stores_.size()) - 1);
            ASSERT_TRUE(e.delete_fact(stores_[at]));
            stores_.erase(stores_.begin() + static_cast<std::ptrdiff_t>(at));
        }
        fire_and_check("after deletes", true);
        static const char* fields[] = {"store", "v", "n", "s", "d", "fs"};
        for (int k = 0; k < 60; ++k) {
            const std::string name = fields[pick(0, 5)];
            ASSERT_TRUE(e.update_fact(sales_[pick(0, static_cast<int>(sales_.size()) - 1)], {{name, sale_field(name)}}));
        }
        fire_and_check("after updates", false);
        // A second wave, more than the stores held: filled by the walk too,
        // which must pass over the stores it already holds.
        for (int k = 0; k < 130; ++k) add_store();
        for (int k = 0; k < 100; ++k) add_sale();
        fire_and_check("second wave", false);
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    void add_store() {
        const int k = pick(0, 9);
        stores_.push_back(e_->insert("Store", {{"id", Value::i64(pick(0, 59))},
                                               {"lo", Value::i64(pick(-2, 6))},
                                               {"fid", Value::f64(k == 0 ? 0.0 : k / 2.0)}})
                              .value());
    }
    Value sale_field(const std::string& f) {
        if (f == "store") return Value::i64(pick(0, 69));
        if (f == "v") return Value::i64(pick(-5, 9));
        if (f == "n") return pick(0, 4) == 0 ? Value::null() : Value::i64(pick(0, 3));
        if (f == "s") return Value::str(std::string(static_cast<size_t>(pick(1, 20)), static_cast<char>('a' + pick(0, 3))));
        if (f == "d") return Value::dec(pick(-50, 50) * 10, 2);
        const int k = pick(0, 10);
        return Value::f64(k == 10 ? -0.0 : k / 2.0);
    }
    void add_sale() {
        std::vector<std::pair<std::string, Value>> row;
        for (const char* f : {"store", "v", "n", "s", "d", "fs"}) row.emplace_back(f, sale_field(f));
        sales_.push_back(e_->insert("Sale", row).value());
    }
    Value get(FactId f, const char* field) const {
        return e_->store.get(f, *e_->store.field_index(e_->store.fact_type(f), field));
    }
    // A sale's or a store's fields, read once per check.
    struct Row {
        Value store, v, n, s, d, fs;  // a sale's
        Value id, lo, fid;            // a store's
    };
    Row sale_row(FactId f) const {
        return {get(f, "store"), get(f, "v"), get(f, "n"), get(f, "s"), get(f, "d"), get(f, "fs"), {}, {}, {}};
    }
    Row store_row(FactId f) const { return {{}, {}, {}, {}, {}, {}, get(f, "id"), get(f, "lo"), get(f, "fid")}; }
    // Whether sale f joins store s under rule r, and the value it brings.
    static std::optional<Value> joins(size_t r, const Row& s, const Row& f) {
        const bool same_store = f.store == s.id;
        switch (r) {
            case 0: return same_store ? std::optional(f.v) : std::nullopt;
            case 1: return same_store ? std::optional(f.n) : std::nullopt;
            case 2: return same_store ? std::optional(f.d) : std::nullopt;
            case 3: return same_store ? std::optional(f.s) : std::nullopt;
            case 4: return same_store && f.v.as_i64() > 2 ? std::optional(Value::i64(0)) : std::nullopt;
            case 5: return same_store && f.v.as_i64() > s.lo.as_i64() ? std::optional(f.v) : std::nullopt;
            case 6: return f.fs.as_f64() == s.fid.as_f64() ? std::optional(Value::i64(0)) : std::nullopt;
            default:
                // An integer equals a float it truncates to: 1 == 1.5.
                return f.store.as_i64() == static_cast<int64_t>(s.fid.as_f64()) ? std::optional(f.v) : std::nullopt;
        }
    }

    void fire_and_check(const char* when, bool arrival_order) {
        SCOPED_TRACE(when);
        Engine& e = *e_;
        EngineResult<Firings> fired = e.fire_all(1000000);
        ASSERT_TRUE(fired) << fired.error().message;
        std::vector<Row> sale_rows;
        for (FactId f : sales_) sale_rows.push_back(sale_row(f));
        for (size_t r = 0; r < e.rules.size(); ++r) {
            SCOPED_TRACE(e.rules[r].def.name);
            const CompiledAcc& acc = *e.rules[r].patterns[1].acc;
            const AccNodeState& st = e.acc.nodes.at(e.nets[r].node_ids[0]);
            EXPECT_EQ(st.acc_ctxs.size(), stores_.size());
            size_t places = 0;
            for (FactId s : stores_) {
                const auto it = st.acc_ctxs.find(e.tuples.intern(std::vector<FactId>{s}));
                ASSERT_NE(it, st.acc_ctxs.end()) << "store " << s;
                const AccCtx& ctx = it->second;
                AccCtx want;
                std::vector<std::string> members;
                const Row at_store = store_row(s);
                for (const Row& f : sale_rows) {
                    const std::optional<Value> v = joins(r, at_store, f);
                    if (!v) continue;
                    ASSERT_TRUE(want.apply(acc.func, *v));
                    if (!v->is_null()) members.push_back(debug(*v));
                }
                places += ctx.live;
                const std::optional<Value> got = ctx.result_value(acc.func, acc.arg_type);
                ASSERT_EQ(shown(got), shown(want.result_value(acc.func, acc.arg_type))) << "store " << s;
                ASSERT_EQ(ctx.emitted, got.has_value()) << "store " << s;
                if (acc.func != AccFunc::CollectList || !got) continue;
                std::vector<std::string> published;
                for (const Value& v : e.acc.collect_values.at(*ctx.result_fact)) published.push_back(debug(v));
                if (arrival_order) {
                    // A batch reaches the right memory newest first.
                    std::reverse(members.begin(), members.end());
                } else {
                    std::sort(members.begin(), members.end());
                    std::sort(published.begin(), published.end());
                }
                ASSERT_EQ(published, members) << "store " << s;
            }
            // Every match is listed under its fact once, no more.
            size_t indexed = 0;
            for (FactId f : sales_)
                if (const AccPlaces* p = st.acc_by_right.find(f)) indexed += p->size();
            EXPECT_EQ(indexed, places);
        }
    }

    std::mt19937 rng_;
    std::optional<Engine> e_;
    std::vector<FactId> stores_, sales_;
};

}  // namespace

TEST(AccumulateFirstFire, ContextsFilledInOneWalkMatchARecomputation) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(fmt("seed {}", seed));
        FirstFireFill(seed).run();
        if (HasFailure()) return;
    }
}

namespace {

// A rule of four accumulates over the same sales, each left tuple carrying the
// results before it, so that a result moved upstream reaches the next node as
// a left update that keeps its key. Long batches of deletes, updates and
// inserts between fires (long enough for the delete walk to load entries
// ahead); after each fire, the stores whose sales changed have fired once with
// figures equal to a recomputation, and no other store has fired.
class ChainedTotals {
public:
    explicit ChainedTotals(uint32_t seed) : rng_(seed) {
        e_.emplace(std::move(Engine::create({test::i64_type("Store", {"id"}), test::i64_type("Sale", {"store", "amount"}),
                                              test::i64_type("Total", {"store", "sum", "n", "lo", "hi"})}))
                       .value());
        EngineStatus loaded = e_->add_rules_text(
            "rule totals when\n"
            "  $s : Store($id : id)\n"
            "  accumulate(Sale(store == $id, $a : amount); $t : sum($a))\n"
            "  accumulate(Sale(store == $id); $n : count())\n"
            "  accumulate(Sale(store == $id, $b : amount); $lo : min($b))\n"
            "  accumulate(Sale(store == $id, $c : amount); $hi : max($c))\n"
            "then insert(new Total($id, $t, $n, $lo, $hi)); end\n");
        EXPECT_TRUE(loaded) << loaded.error().message;
        for (int64_t s = 0; s < kStores; ++s) EXPECT_TRUE(e_->insert("Store", {{"id", Value::i64(s)}}));
        for (int k = 0; k < 400; ++k) insert_sale();
    }

    void run(int fires) {
        check(fire(), "first fire");
        for (int k = 0; k < fires && !::testing::Test::HasFailure(); ++k) {
            touched_.clear();
            const int deletes = pick(20, 80), updates = pick(0, 20), inserts = pick(0, 20);
            for (int d = 0; d < deletes && !sales_.empty(); ++d) {
                const size_t at = static_cast<size_t>(pick(0, static_cast<int>(sales_.size()) - 1));
                touched_.insert(store_of(sales_[at]));
                ASSERT_TRUE(e_->delete_fact(sales_[at]));
                sales_.erase(sales_.begin() + static_cast<std::ptrdiff_t>(at));
            }
            for (int u = 0; u < updates && !sales_.empty(); ++u) {
                const FactId f = sales_[static_cast<size_t>(pick(0, static_cast<int>(sales_.size()) - 1))];
                const int64_t to = pick(0, kStores - 1);
                touched_.insert(store_of(f));
                touched_.insert(to);
                ASSERT_TRUE(e_->update_fact(f, {{"store", Value::i64(to)}, {"amount", Value::i64(pick(1, 9))}}));
            }
            for (int i = 0; i < inserts; ++i) insert_sale();
            check(fire(), fmt("fire {}", k + 1));
        }
    }

private:
    static constexpr int64_t kStores = 12;
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    int64_t store_of(FactId f) const { return e_->store.get(f, 0).as_i64(); }
    void insert_sale() {
        const int64_t s = pick(0, kStores - 1);
        touched_.insert(s);
        sales_.push_back(e_->insert("Sale", {{"store", Value::i64(s)}, {"amount", Value::i64(pick(1, 9))}}).value());
    }
    Firings fire() {
        EngineResult<Firings> fired = e_->fire_all(1000000);
        EXPECT_TRUE(fired) << fired.error().message;
        return fired ? *fired : Firings{};
    }

    void check(const Firings& fired, const std::string& when) {
        SCOPED_TRACE(when);
        std::map<int64_t, std::vector<int64_t>> want;  // store -> sum, count, min, max
        for (FactId f : sales_) {
            const int64_t s = store_of(f), a = e_->store.get(f, 1).as_i64();
            auto [it, fresh] = want.try_emplace(s, std::vector<int64_t>{0, 0, a, a});
            it->second[0] += a;
            it->second[1] += 1;
            it->second[2] = std::min(it->second[2], a);
            it->second[3] = std::max(it->second[3], a);
        }
        // The facts fired in this fire: the newest Total of each store.
        std::map<int64_t, std::vector<int64_t>> got;
        const TypeId total = *e_->store.type_id("Total");
        for (FactId f : e_->fact_ids_of_type(total)) {
            if (f < first_new_) continue;
            std::vector<int64_t> row;
            for (size_t k = 1; k < 5; ++k) row.push_back(e_->store.get(f, k).as_i64());
            EXPECT_TRUE(got.emplace(e_->store.get(f, 0).as_i64(), row).second) << "a store fired twice";
        }
        first_new_ = static_cast<FactId>(e_->store.fact_count());
        EXPECT_EQ(got.size(), fired.size());
        for (int64_t s = 0; s < kStores; ++s) {
            const bool expect_fired = want.count(s) && touched_.count(s);
            ASSERT_EQ(got.count(s) != 0, expect_fired) << "store " << s;
            if (expect_fired) {
                EXPECT_EQ(got.at(s), want.at(s)) << "store " << s;
            }
        }
        touched_.clear();
    }

    std::mt19937 rng_;
    std::optional<Engine> e_;
    std::vector<FactId> sales_;
    std::set<int64_t> touched_;
    FactId first_new_ = 0;
};

}  // namespace

TEST(AccumulateChain, LongBatchesOfChangesRepublishExactlyTheStoresTheyTouch) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(fmt("seed {}", seed));
        ChainedTotals(seed).run(12);
        if (HasFailure()) return;
    }
}

// Every source of a max, a min and a groupby max deleted in one batch, the
// values rising with the handles (a batch is walked newest first, so each
// delete takes the current max away): each lost extreme is recomputed once
// for the pass, not once per delete, and a partial batch leaves the extremes
// of the sources left.
TEST(AccumulateMinMax, ABatchOfDeletesRecomputesALostExtremeOncePerPass) {
    Engine e = std::move(Engine::create({{"Store", {{"id", FieldType::i64()}}, 0},
                                         {"Sale", {{"store", FieldType::i64()}, {"v", FieldType::i64()}}, 0}}))
                   .value();
    ASSERT_TRUE(e.add_rules_text(
        "rule mx when Store($id : id) accumulate(Sale(store == $id, $v : v); $m : max($v)) then end\n"
        "rule mn when Store($id : id) accumulate(Sale(store == $id, $v : v); $m : min($v)) then end\n"
        "rule gx when groupby(Sale($k : store, $v : v); $k; $m : max($v)) then end\n"));
    constexpr int64_t n = 20'000;
    ASSERT_TRUE(e.insert("Store", {{"id", Value::i64(0)}}));
    std::vector<FactId> sales;
    for (int64_t v = 0; v < n; ++v) sales.push_back(e.insert("Sale", {{"store", Value::i64(0)}, {"v", Value::i64(v)}}).value());
    ASSERT_TRUE(e.fire_all(1'000'000));
    auto figures = [&] {
        std::string out;
        for (size_t r = 0; r < 2; ++r)
            for (const auto& [t, ctx] : e.acc.nodes.at(e.nets[r].node_ids[0]).acc_ctxs)
                out += shown(ctx.result_value(r == 0 ? AccFunc::Max : AccFunc::Min, FieldType::i64())) + " ";
        for (const GbGroup& g : e.acc.gb_groups.at(e.nets[2].node_ids[0]).arena)
            if (g.live) out += shown(g.ctx.result_value(AccFunc::Max, FieldType::i64()));
        return out;
    };
    auto reads = [&] {
        return e.acc.nodes.at(e.nets[0].node_ids[0]).recompute_reads + e.acc.nodes.at(e.nets[1].node_ids[0]).recompute_reads +
               e.acc.gb_groups.at(e.nets[2].node_ids[0]).recompute_reads;
    };
    EXPECT_EQ(figures(), "I64(19999) I64(0) I64(19999)");
    EXPECT_EQ(reads(), 0u);
    for (int64_t v = n / 2; v < n; ++v) ASSERT_TRUE(e.delete_fact(sales[static_cast<size_t>(v)]));
    ASSERT_TRUE(e.fire_all(1'000'000));
    EXPECT_EQ(figures(), "I64(9999) I64(0) I64(9999)");
    // Two maxima recomputed once each over the matches they held (a recompute
    // at each delete would read n * n / 4 for each).
    EXPECT_EQ(reads(), 2u * n);
    for (int64_t v = 1; v < n / 2; ++v) ASSERT_TRUE(e.delete_fact(sales[static_cast<size_t>(v)]));
    ASSERT_TRUE(e.fire_all(1'000'000));
    EXPECT_EQ(figures(), "I64(0) I64(0) I64(0)");
    // Once more each over the matches held, dead ones not yet squeezed out
    // included; the min kept its extreme.
    EXPECT_EQ(reads(), 4u * n);
    // Emptied, nothing is read.
    ASSERT_TRUE(e.delete_fact(sales[0]));
    ASSERT_TRUE(e.fire_all(1'000'000));
    EXPECT_EQ(figures(), "None None ");
    EXPECT_EQ(reads(), 4u * n);
}

// Rounds of insert / fire / delete all / fire through accumulates of each
// kind (a figure, a collection of facts, a collection of values) and a
// groupby: once the dead rows go back, the store holds the rows of the live
// facts only. A result fact leaves with its context, and a collection's
// published members with their result; every round fires as the first did.
TEST(AccumulateMemory, ResultFactsAndMembersLeaveWithTheirContextsRoundAfterRound) {
    Engine e = std::move(Engine::create({{"L", {{"k", FieldType::i64()}}, 0},
                                         {"R", {{"k", FieldType::i64()}, {"v", FieldType::i64()}}, 0}}))
                   .value();
    EngineStatus loaded = e.add_rules_text(
        "rule n when L($k : k) accumulate(R(k == $k); $n : count()) then end\n"
        "rule s when L($k : k) accumulate(R(k == $k, $v : v); $s : sum($v)) then end\n"
        "rule c when L(k == 7) $all : List() from collect(R(k == 7)) then end\n"
        "rule cl when L($k : k) accumulate(R(k == $k, $v : v); $l : collectList($v)) then end\n"
        "rule g when groupby(R($k : k, $v : v); $k; $m : max($v)) then end\n");
    ASSERT_TRUE(loaded) << loaded.error().message;
    e.reclaim_eagerly = true;
    constexpr int64_t kKeys = 300;
    auto rows_of = [&](const char* type) { return e.store.data(*e.store.type_id(type)).rows; };
    std::string first_round;
    for (int round = 0; round < 12; ++round) {
        std::vector<FactId> made;
        for (int64_t k = 0; k < kKeys; ++k) {
            made.push_back(*e.insert("L", {{"k", Value::i64(k)}}));
            for (int64_t j = 0; j < 2; ++j)
                made.push_back(*e.insert("R", {{"k", Value::i64(k)}, {"v", Value::i64(k * 2 + j)}}));
        }
        EngineResult<Firings> fired = e.fire_all(1'000'000);
        ASSERT_TRUE(fired) << fired.error().message;
        std::map<std::string, size_t> by_rule;
        std::string last;
        for (const Firing& f : *fired) {
            ++by_rule[f.rule];
            if (f.rule != "cl" || f.facts.size() != 2 || !f.facts[1].members) continue;
            if (debug(f.facts[0].fields[0].second) != fmt("I64({})", kKeys - 1)) continue;
            for (const std::optional<FactView>& m : *f.facts[1].members) last += m ? debug(m->fields[0].second) : "gone";
        }
        std::string counts = last + " ";
        for (const auto& [rule, n] : by_rule) counts += fmt("{}={} ", rule, n);
        if (round == 0) first_round = counts;
        ASSERT_EQ(counts, first_round) << round;
        for (FactId f : made) ASSERT_TRUE(e.delete_fact(f));
        fired = e.fire_all(1'000'000);
        ASSERT_TRUE(fired) << fired.error().message;
        ASSERT_TRUE(fired->empty());
    }
    EXPECT_EQ(first_round, "I64(599)I64(598) c=1 cl=300 g=300 n=300 s=300 ");
    // The last round's deletes went with the fire; the next change gives
    // back their rows, the result facts' among them.
    ASSERT_TRUE(e.insert("L", {{"k", Value::i64(-1)}}));
    EXPECT_EQ(e.store.dead_rows(), 0u);
    EXPECT_EQ(rows_of("L"), 1u);
    EXPECT_EQ(rows_of("R"), 0u);
    EXPECT_EQ(rows_of("Long"), 0u);
    EXPECT_EQ(rows_of("Collection"), 0u);
    EXPECT_TRUE(e.acc.collect_members.empty());
    EXPECT_TRUE(e.acc.collect_values.empty());
}

// A first fire fills many contexts in one walk, laying each context's matches
// out before adding them up: every context holds its facts in memory order,
// allocated once at their final size, and every fact's place names the slot
// that holds it (a later delete reaches its match through it).
TEST(AccumulateFirstFire, EachFactsPlaceNamesItsSlotInAContextFilledInOneAllocation) {
    Engine e = std::move(Engine::create({test::i64_type("Store", {"id"}), test::i64_type("Sale", {"store", "amount"})}))
                   .value();
    ASSERT_TRUE(e.add_rules_text(
        "rule mx when Store($id : id) accumulate(Sale(store == $id, $a : amount); $m : max($a)) then end\n"));
    constexpr int64_t kStores = 100;
    for (int64_t s = 0; s < kStores; ++s) ASSERT_TRUE(e.insert("Store", {{"id", Value::i64(s)}}));
    std::mt19937 rng(7);
    std::vector<FactId> sales;
    for (int64_t k = 0; k < 3000; ++k)
        sales.push_back(*e.insert("Sale", {{"store", Value::i64(static_cast<int64_t>(rng() % kStores))},
                                           {"amount", Value::i64(static_cast<int64_t>(rng() % 50))}}));
    ASSERT_TRUE(e.fire_all(1'000'000));
    ASSERT_EQ(e.acc.nodes.size(), 1u);
    const AccNodeState& st = e.acc.nodes.begin()->second;
    ASSERT_EQ(st.acc_ctxs.size(), size_t{kStores});
    size_t matched = 0;
    for (const auto& [t, ctx] : st.acc_ctxs) {
        EXPECT_EQ(ctx.matches.capacity(), ctx.matches.size());
        EXPECT_EQ(ctx.live, ctx.matches.size());
        // The right memory holds the newest first.
        for (size_t s = 1; s < ctx.matches.size(); ++s) EXPECT_GT(ctx.matches[s - 1].fact, ctx.matches[s].fact);
        matched += ctx.matches.size();
    }
    EXPECT_EQ(matched, sales.size());
    for (FactId f : sales) {
        const AccPlaces* places = st.acc_by_right.find(f);
        ASSERT_NE(places, nullptr);
        ASSERT_EQ(places->size(), 1u);
        const AccCtx& ctx = st.acc_ctxs.at((*places)[0].tuple);
        ASSERT_LT((*places)[0].slot, ctx.matches.size());
        EXPECT_EQ(ctx.matches[(*places)[0].slot].fact, f);
    }
}
