// The trace switches: one walk over the environment reads what getenv would,
// and an outside call keeps the switches it started with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/trace_switches.h"

namespace quarn {
namespace {

const std::vector<std::string> kNames = {"QUARN_EVAL_DEBUG", "QUARN_AG_DEBUG", "QUARN_FLUSH_DEBUG", "QUARN_TMS_DEBUG",
                                         "QUARN_TRACE",      "QUARN_JSR",      "QUARN_TRACEX",      "QUARN_JSRX",
                                         "QUARN_EVAL",       "XQUARN_TRACE"};

void clear_all() {
    for (const std::string& n : kNames) unsetenv(n.c_str());
}

// The switches as getenv gives them, one variable at a time.
std::string by_getenv() {
    auto set = [](const char* n) { return std::getenv(n) != nullptr; };
    // Valid UTF-8 here: ASCII, or a lone continuation byte for the invalid case.
    const char* t = std::getenv("QUARN_TRACE");
    const char* j = std::getenv("QUARN_JSR");
    return std::string() + (set("QUARN_EVAL_DEBUG") ? "E" : "-") + (set("QUARN_AG_DEBUG") ? "A" : "-") +
           (set("QUARN_FLUSH_DEBUG") ? "F" : "-") + (set("QUARN_TMS_DEBUG") ? "M" : "-") +
           (t != nullptr && std::strchr(t, '\x80') == nullptr ? "T" : "-") +
           (j != nullptr && std::string(j) == "tail" ? "J" : "-");
}

std::string text(const TraceSwitches& s) {
    return std::string() + (s.eval_debug() ? "E" : "-") + (s.ag_debug() ? "A" : "-") +
           (s.flush_debug() ? "F" : "-") + (s.tms_debug() ? "M" : "-") + (s.trace() ? "T" : "-") +
           (s.jsr_tail() ? "J" : "-");
}

TEST(TraceSwitches, OneWalkReadsWhatGetenvReads) {
    const std::vector<std::string> values = {"", "1", "tail", "tail ", "TAIL", "x\x80y", "0"};
    std::mt19937 rng(30);
    for (int round = 0; round < 300; ++round) {
        clear_all();
        for (const std::string& n : kNames)
            if (rng() % 2) setenv(n.c_str(), values[rng() % values.size()].c_str(), 1);
        TraceSwitches read;
        read.read();
        EXPECT_EQ(text(read), by_getenv()) << "round " << round;
    }
    clear_all();
    TraceSwitches none;
    EXPECT_EQ(text(none), "------");
}

TEST(TraceSwitches, AnOutsideCallKeepsTheSwitchesItStartedWith) {
    clear_all();
    TraceSwitches s;
    uint32_t depth = 0;
    {
        OutsideCall fire(s, depth);
        EXPECT_FALSE(s.trace());
        setenv("QUARN_TRACE", "", 1);
        {
            // An expiry's delete inside the fire: not a call of its own.
            OutsideCall inner(s, depth);
            EXPECT_FALSE(s.trace());
        }
        EXPECT_EQ(depth, 1u);
    }
    EXPECT_EQ(depth, 0u);
    {
        // A call that reads no switch before the environment changes reads
        // the environment as it is at the first use.
        OutsideCall next(s, depth);
        unsetenv("QUARN_TRACE");
        setenv("QUARN_JSR", "tail", 1);
        EXPECT_FALSE(s.trace());
        EXPECT_TRUE(s.jsr_tail());
    }
    {
        OutsideCall last(s, depth);
        setenv("QUARN_TRACE", "x", 1);
        EXPECT_TRUE(s.trace());
    }
    clear_all();
}

}  // namespace
}  // namespace quarn
