#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "store/debug_form.h"
#include "common/text.h"
#include "store/value.h"

using namespace quarn;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The six operators' results as a string "EqNeLtLeGtGe" of 0/1.
std::string all_ops(const Value& l, const Value& r) {
    std::string out;
    for (int op = 0; op < 6; ++op) out += eval_cmp(l, static_cast<CmpOp>(op), r) ? '1' : '0';
    return out;
}

constexpr const char* kLess = "011100";
constexpr const char* kEqual = "100101";
constexpr const char* kGreater = "010011";
constexpr const char* kNone = "000000";

std::string show(const std::optional<Value>& v) { return v ? debug(*v) : "none"; }

}  // namespace

TEST(EvalCmp, ComparisonMatrix) {
    struct Case {
        Value l, r;
        const char* ops;
    } cases[] = {
        {Value::i64(1), Value::i64(2), kLess},           {Value::i64(-1), Value::i64(-1), kEqual},
        {Value::i64(2), Value::f64(2.5), kLess},         {Value::f64(2.0), Value::i64(2), kEqual},
        {Value::f64(-0.0), Value::f64(0.0), kEqual},     {Value::f64(kInf), Value::i64(INT64_MAX), kGreater},
        {Value::f64(kNaN), Value::f64(1.0), kNone},      {Value::f64(kNaN), Value::f64(kNaN), kNone},
        {Value::i64(1), Value::f64(kNaN), kNone},
        // I64 against F64 goes through the nearest double.
        {Value::i64(INT64_MAX), Value::f64(9223372036854775808.0), kEqual},
        {Value::i64(1), Value::dec(101, 2), kLess},      {Value::dec(100, 2), Value::i64(1), kEqual},
        {Value::dec(150, 2), Value::dec(15, 1), kEqual}, {Value::dec(-5, 0), Value::dec(-49, 1), kLess},
        {Value::f64(1.0), Value::dec(1, 0), kNone},      {Value::dec(1, 0), Value::f64(1.0), kNone},
        {Value::str("ab"), Value::str("abc"), kLess},    {Value::str("b"), Value::str("abc"), kGreater},
        {Value::str(""), Value::str(""), kEqual},        {Value::str("1"), Value::i64(1), kNone},
        {Value::str("\xc3\xa9"), Value::str("z"), kGreater},  // bytes compare unsigned
        {Value::boolean(false), Value::boolean(true), kLess}, {Value::boolean(true), Value::boolean(true), kEqual},
        {Value::i64(1), Value::boolean(true), kNone},
        {Value::null(), Value::null(), kNone},           {Value::null(), Value::i64(5), kNone},
        {Value::str("x"), Value::null(), kNone},
    };
    for (const Case& c : cases) EXPECT_EQ(all_ops(c.l, c.r), c.ops) << debug(c.l) << " vs " << debug(c.r);
}

TEST(Coerce, ConversionTable) {
    struct Case {
        Value v;
        FieldType t;
        const char* out;
    } cases[] = {
        {Value::i64(7), FieldType::dec(5, 2), "Dec { u: 700, s: 2 }"},
        {Value::i64(7), FieldType::dec(2, 2), "none"},
        {Value::i64(-7), FieldType::dec(0, 0), "none"},
        {Value::i64(0), FieldType::dec(0, 3), "Dec { u: 0, s: 3 }"},
        {Value::dec(12345, 3), FieldType::dec(10, 2), "Dec { u: 1235, s: 2 }"},
        {Value::dec(-12345, 3), FieldType::dec(10, 2), "Dec { u: -1235, s: 2 }"},
        {Value::dec(5, 40), FieldType::dec(38, 0), "none"},
        {Value::dec(1, 0), FieldType::dec(38, 38), "none"},  // 10^38 has 39 digits
        {Value::dec(1, 0), FieldType::dec(39, 38), "Dec { u: 100000000000000000000000000000000000000, s: 38 }"},
        {Value::str(" 1.5 "), FieldType::dec(5, 2), "Dec { u: 150, s: 2 }"},
        {Value::str("abc"), FieldType::dec(5, 2), "none"},
        {Value::i64(9007199254740993), FieldType::f64(), "F64(9007199254740992.0)"},
    };
    for (const Case& c : cases) EXPECT_EQ(show(coerce(c.v, c.t)), c.out) << debug(c.v) << " to " << debug(c.t);
    // No other conversion between kinds; a value of the field's own kind and null pass unchanged.
    const std::pair<Value, FieldType> refused[] = {
        {Value::str("1"), FieldType::i64()}, {Value::str("true"), FieldType::boolean()}, {Value::f64(1.0), FieldType::i64()},
        {Value::f64(1.5), FieldType::dec(5, 2)}, {Value::dec(1, 0), FieldType::f64()},   {Value::dec(1, 0), FieldType::i64()},
        {Value::i64(1), FieldType::str()},       {Value::i64(1), FieldType::boolean()},
    };
    for (const auto& [v, t] : refused) EXPECT_EQ(show(coerce(v, t)), "none") << debug(v) << " to " << debug(t);
    for (const Value& v : {Value::f64(2.5), Value::str("x"), Value::boolean(true)}) EXPECT_EQ(coerce(v, type_of(v)), v);
    for (const FieldType& t : {FieldType::i64(), FieldType::dec(3, 1), FieldType::str()})
        EXPECT_EQ(show(coerce(Value::null(), t)), "Null") << debug(t);
}

// In place, every pair of a value and a field type converts as coerce does;
// a value that does not convert is left as it was.
TEST(Coerce, InPlaceAgreesWithTheTable) {
    const Value values[] = {Value::i64(7),        Value::i64(-7),   Value::f64(2.5),      Value::str("x"),
                            Value::str(" 1.5 "),  Value::boolean(true), Value::null(),    Value::dec(12345, 3),
                            Value::dec(-5, 0)};
    const FieldType types[] = {FieldType::i64(),     FieldType::f64(),     FieldType::str(),
                               FieldType::boolean(), FieldType::dec(5, 2), FieldType::dec(2, 2)};
    for (const Value& v : values)
        for (const FieldType& t : types) {
            Value in_place = v;
            const bool ok = coerce_in_place(in_place, t);
            const std::optional<Value> want = coerce(v, t);
            ASSERT_EQ(ok, want.has_value()) << debug(v) << " to " << debug(t);
            EXPECT_EQ(in_place, want ? *want : v) << debug(v) << " to " << debug(t);
        }
}

TEST(Value, TypesOfValuesAndLiterals) {
    EXPECT_EQ(type_of(Value::dec(1, 3)), FieldType::dec(38, 3));
    EXPECT_EQ(type_of(Value::null()), FieldType::i64());
    EXPECT_EQ(type_of(Value::str("a")), FieldType::str());
    EXPECT_EQ(lit_type(Literal::null()), FieldType::i64());
    EXPECT_EQ(lit_type(Literal::f64(1)), FieldType::f64());
    EXPECT_EQ(lit_value(Literal::str("q")), Value::str("q"));
    EXPECT_TRUE(lit_value(Literal::null()).is_null());
    // Distinct scales are distinct values even though they compare equal.
    EXPECT_NE(Value::dec(150, 2), Value::dec(15, 1));
}

TEST(DebugForm, PinsEveryForm) {
    struct Case {
        std::string got;
        const char* want;
    } cases[] = {
        {debug(Value::i64(-42)), "I64(-42)"},
        {debug(Value::f64(1.0)), "F64(1.0)"},     {debug(Value::f64(-0.0)), "F64(-0.0)"},
        {debug(Value::f64(0.1)), "F64(0.1)"},     {debug(Value::f64(1e16)), "F64(1e16)"},
        {debug(Value::f64(1.5e-7)), "F64(1.5e-7)"}, {debug(Value::f64(0.0001)), "F64(0.0001)"},
        {debug(Value::f64(123456789012345.6)), "F64(123456789012345.6)"},
        {debug(Value::f64(kNaN)), "F64(NaN)"},    {debug(Value::f64(-kInf)), "F64(-inf)"},
        {debug(Value::str("a\"b\\c\n\t\x01")), "Str(\"a\\\"b\\\\c\\n\\t\\u{1}\")"},
        {debug(Value::str("caf\xc3\xa9")), "Str(\"caf\xc3\xa9\")"},
        {debug(Value::boolean(false)), "Bool(false)"},
        {debug(Value::null()), "Null"},
        {debug(Value::dec(150, 2)), "Dec { u: 150, s: 2 }"},
        {debug(Value::dec(-kI128Max - 1, 0)), "Dec { u: -170141183460469231731687303715884105728, s: 0 }"},
        {debug(FieldType::i64()), "I64"},   {debug(FieldType::f64()), "F64"},   {debug(FieldType::str()), "Str"},
        {debug(FieldType::boolean()), "Bool"}, {debug(FieldType::dec(10, 2)), "Dec { p: 10, s: 2 }"},
        {debug(CmpOp::Eq), "Eq"},           {debug(CmpOp::Ge), "Ge"},
        {debug(Literal::f64(1.5)), "F64(1.5)"},
        {debug(Literal::str("x")), "Str(\"x\")"},
        {debug(std::optional<Value>(Value::i64(1))), "Some(I64(1))"}, {debug(std::optional<Value>()), "None"},
        {debug_fact_id(3), "FactId(3)"},
        {quoted_char('='), "'='"},          {quoted_char('\''), "'\\''"},        {quoted_char('"'), "'\"'"},
        {float_plain_text(2.0), "2"},       {float_plain_text(1e21), "1000000000000000000000"},
        {float_plain_text(0.00015), "0.00015"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.want;
}
