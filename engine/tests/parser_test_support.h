// Helpers shared by the parser's test programs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "parser/parser.h"

namespace quarn {

// The final error text of parsing `text`, or "parsed". Errors leaving
// parse_file never carry a position: it is folded into the text.
inline std::string error_of(std::string_view text) {
    auto r = parse_file(text);
    if (r) return "parsed";
    EXPECT_FALSE(r.error().pos.has_value());
    return r.error().msg;
}

}  // namespace quarn
