#include <gtest/gtest.h>

#include "common/text.h"

using namespace quarn;

TEST(Fmt, SubstitutesInOrderAndUnescapesBraces) {
    EXPECT_EQ(fmt("type {} expects {} fields, got {}", std::string("T"), size_t{3}, 2), "type T expects 3 fields, got 2");
    EXPECT_EQ(fmt("Dec {{ u: {}, s: {} }}", static_cast<__int128>(-5), static_cast<uint8_t>(2)), "Dec { u: -5, s: 2 }");
}
