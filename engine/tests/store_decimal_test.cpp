#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "store/decimal.h"
#include "common/text.h"

using namespace quarn;

namespace {

i128 pow10(int k) { return *pow10_i128(k); }

std::string show(const std::optional<DecParts>& d) {
    return d ? i128_text(d->u) + "@" + std::to_string(d->s) : "none";
}

}  // namespace

TEST(DecParse, SignsPointsBlanksAndLimits) {
    const std::string max = "170141183460469231731687303715884105727";  // 2^127 - 1
    const std::pair<std::string, std::string> cases[] = {
        {"1.", "1@0"},         {".5", "5@1"},        {"-0", "0@0"},        {"+.5", "5@1"},
        {" 12.50 ", "1250@2"}, {"0.000", "0@3"},     {"-12.5", "-125@1"},  {"007", "7@0"},
        {"\u00a01.5\u3000", "15@1"}, {"\t2\n", "2@0"},
        {"0." + std::string(38, '1'), "11111111111111111111111111111111111111@38"},
        {"0." + std::string(39, '0'), "none"},
        {max, max + "@0"}, {"-" + max, "-" + max + "@0"},
        {"170141183460469231731687303715884105728", "none"}, {"-170141183460469231731687303715884105728", "none"},
        // Leading zeros cost nothing, even past 38 digits.
        {std::string(50, '0') + "12", "12@0"},
    };
    for (const auto& [text, parsed] : cases) EXPECT_EQ(show(dec_parse(text)), parsed) << text;
    for (const char* text : {"", "-", ".", "-.", "1.2.3", "1e3", "1 2", "--1", "0x10", "+-1", "1,5", "\u0661", " "})
        EXPECT_EQ(show(dec_parse(text)), "none") << text;
}

TEST(DecRender, FractionKeepsExactlyScaleDigits) {
    const i128 min = -kI128Max - 1;
    const std::tuple<i128, uint8_t, const char*> cases[] = {
        {150, 2, "1.50"}, {5, 3, "0.005"}, {-5, 3, "-0.005"}, {0, 2, "0.00"}, {-1234, 0, "-1234"},
        {min, 0, "-170141183460469231731687303715884105728"}, {min, 38, "-1.70141183460469231731687303715884105728"},
    };
    for (const auto& [u, s, text] : cases) EXPECT_EQ(dec_render(u, s), text);
}

TEST(DecRescale, RoundsHalfAwayFromZeroAndRefusesOverflow) {
    const std::tuple<i128, uint8_t, uint8_t, std::string> cases[] = {
        {15, 1, 0, "2"}, {-15, 1, 0, "-2"}, {14, 1, 0, "1"}, {7, 2, 2, "7"}, {1, 0, 38, i128_text(pow10(38))},
        {2, 0, 38, "none"}, {0, 40, 0, "none"}, {kI128Max, 38, 0, "2"},
        {-kI128Max - 1, 1, 0, "-17014118346046923173168730371588410573"},
    };
    for (const auto& [u, from, to, out] : cases) {
        std::optional<i128> r = dec_rescale(u, from, to);
        EXPECT_EQ(r ? i128_text(*r) : "none", out) << i128_text(u) << "@" << int(from) << " to " << int(to);
    }
}

TEST(DecCmp, OrdersExactlyAcrossScales) {
    using enum Ordering;
    const std::tuple<i128, uint8_t, i128, uint8_t, Ordering> cases[] = {
        {101, 2, 1, 0, Greater},
        // The scaled operand overflows: its sign decides.
        {pow10(37), 0, 1, 2, Greater}, {-pow10(37), 0, 1, 2, Less}, {1, 2, pow10(37), 0, Less}, {1, 2, -pow10(37), 0, Greater},
        // A zero operand scaled past 10^38 still compares as zero.
        {0, 0, 5, 40, Less}, {0, 0, -5, 40, Greater}, {0, 0, 0, 40, Equal}, {5, 40, 0, 0, Greater},
    };
    for (const auto& [u1, s1, u2, s2, order] : cases)
        EXPECT_EQ(dec_cmp(u1, s1, u2, s2), order) << i128_text(u1) << "@" << int(s1) << " vs " << i128_text(u2) << "@" << int(s2);
}

TEST(DecFits, CountsSignificantDigits) {
    const std::tuple<i128, uint8_t, bool> cases[] = {
        {999, 3, true}, {1000, 3, false}, {0, 0, true}, {1, 0, false}, {-999, 3, true}, {-1000, 3, false},
        {-kI128Max - 1, 39, true}, {-kI128Max - 1, 38, false},
    };
    for (const auto& [u, p, fits] : cases) EXPECT_EQ(dec_fits(u, p), fits) << i128_text(u) << " in " << int(p);
}
