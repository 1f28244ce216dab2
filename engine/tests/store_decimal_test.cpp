#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "store/decimal.h"
#include "common/text.h"

using namespace quarn;

namespace {

i128 pow10(int k) { return *pow10_i128(k); }

std::string show(const std::optional<DecParts>& d) {
    return d ? i128_text(d->u) + "@" + std::to_string(d->s) : "none";
}

}  // namespace

TEST(DecParse, AcceptsSignsPointsAndUnicodeBlanks) {
    struct Case {
        const char* text;
        const char* parsed;
    } cases[] = {
        {"1.", "1@0"},         {".5", "5@1"},        {"-0", "0@0"},        {"+.5", "5@1"},
        {" 12.50 ", "1250@2"}, {"0.000", "0@3"},     {"-12.5", "-125@1"},  {"007", "7@0"},
        {"\u00a01.5\u3000", "15@1"}, {"\t2\n", "2@0"},
    };
    for (const Case& c : cases) EXPECT_EQ(show(dec_parse(c.text)), c.parsed) << c.text;
}

TEST(DecParse, RefusesMalformedText) {
    for (const char* text : {"", "-", ".", "-.", "1.2.3", "1e3", "1 2", "--1", "0x10", "+-1", "1,5", "\u0661", " "})
        EXPECT_EQ(show(dec_parse(text)), "none") << text;
}

TEST(DecParse, LimitsFractionDigitsAndMagnitude) {
    EXPECT_EQ(show(dec_parse("0." + std::string(38, '1'))), "11111111111111111111111111111111111111@38");
    EXPECT_EQ(show(dec_parse("0." + std::string(39, '0'))), "none");
    const std::string max = "170141183460469231731687303715884105727";  // 2^127 - 1
    EXPECT_EQ(show(dec_parse(max)), max + "@0");
    EXPECT_EQ(show(dec_parse("-" + max)), "-" + max + "@0");
    EXPECT_EQ(show(dec_parse("170141183460469231731687303715884105728")), "none");
    EXPECT_EQ(show(dec_parse("-170141183460469231731687303715884105728")), "none");
    // Leading zeros cost nothing, even past 38 digits.
    EXPECT_EQ(show(dec_parse(std::string(50, '0') + "12")), "12@0");
}

TEST(DecRender, FractionKeepsExactlyScaleDigits) {
    EXPECT_EQ(dec_render(150, 2), "1.50");
    EXPECT_EQ(dec_render(5, 3), "0.005");
    EXPECT_EQ(dec_render(-5, 3), "-0.005");
    EXPECT_EQ(dec_render(0, 2), "0.00");
    EXPECT_EQ(dec_render(-1234, 0), "-1234");
    EXPECT_EQ(dec_render(100, 2), "1.00");
    const i128 min = -kI128Max - 1;
    EXPECT_EQ(dec_render(min, 0), "-170141183460469231731687303715884105728");
    EXPECT_EQ(dec_render(min, 38), "-1.70141183460469231731687303715884105728");
}

TEST(DecRescale, RoundsHalfAwayFromZeroAndRefusesOverflow) {
    auto show_r = [](std::optional<i128> r) { return r ? i128_text(*r) : std::string("none"); };
    EXPECT_EQ(show_r(dec_rescale(15, 1, 0)), "2");
    EXPECT_EQ(show_r(dec_rescale(-15, 1, 0)), "-2");
    EXPECT_EQ(show_r(dec_rescale(14, 1, 0)), "1");
    EXPECT_EQ(show_r(dec_rescale(125, 3, 2)), "13");
    EXPECT_EQ(show_r(dec_rescale(-125, 3, 2)), "-13");
    EXPECT_EQ(show_r(dec_rescale(124, 3, 2)), "12");
    EXPECT_EQ(show_r(dec_rescale(1, 0, 38)), i128_text(pow10(38)));
    EXPECT_EQ(show_r(dec_rescale(2, 0, 38)), "none");
    EXPECT_EQ(show_r(dec_rescale(0, 40, 0)), "none");
    EXPECT_EQ(show_r(dec_rescale(7, 2, 2)), "7");
    EXPECT_EQ(show_r(dec_rescale(kI128Max, 38, 0)), "2");
    EXPECT_EQ(show_r(dec_rescale(-kI128Max - 1, 1, 0)), "-17014118346046923173168730371588410573");
}

TEST(DecCmp, OrdersExactlyAcrossScales) {
    EXPECT_EQ(dec_cmp(150, 2, 15, 1), Ordering::Equal);
    EXPECT_EQ(dec_cmp(1, 0, 101, 2), Ordering::Less);
    EXPECT_EQ(dec_cmp(101, 2, 1, 0), Ordering::Greater);
    // The scaled operand overflows: its sign decides.
    EXPECT_EQ(dec_cmp(pow10(37), 0, 1, 2), Ordering::Greater);
    EXPECT_EQ(dec_cmp(-pow10(37), 0, 1, 2), Ordering::Less);
    EXPECT_EQ(dec_cmp(1, 2, pow10(37), 0), Ordering::Less);
    EXPECT_EQ(dec_cmp(1, 2, -pow10(37), 0), Ordering::Greater);
    // A zero operand scaled past 10^38 still compares as zero.
    EXPECT_EQ(dec_cmp(0, 0, 5, 40), Ordering::Less);
    EXPECT_EQ(dec_cmp(0, 0, -5, 40), Ordering::Greater);
    EXPECT_EQ(dec_cmp(0, 0, 0, 40), Ordering::Equal);
    EXPECT_EQ(dec_cmp(5, 40, 0, 0), Ordering::Greater);
}

TEST(DecFits, CountsSignificantDigits) {
    EXPECT_TRUE(dec_fits(999, 3));
    EXPECT_FALSE(dec_fits(1000, 3));
    EXPECT_TRUE(dec_fits(0, 0));
    EXPECT_FALSE(dec_fits(1, 0));
    EXPECT_TRUE(dec_fits(-999, 3));
    EXPECT_FALSE(dec_fits(-1000, 3));
    EXPECT_TRUE(dec_fits(-kI128Max - 1, 39));
    EXPECT_FALSE(dec_fits(-kI128Max - 1, 38));
}
