#include <gtest/gtest.h>

#include "common/text.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

Engine make_engine() {
    std::vector<TypeSchema> types = {
        {"E", {{"ts", FieldType::i64()}, {"dur", FieldType::i64()}, {"s", FieldType::str()}}, 0},
        {"G", {{"when", FieldType::f64()}}, 0},
    };
    return Engine::create(std::move(types)).value();
}

struct Decl {
    const char* type;
    const char* ts;
    std::optional<std::string_view> duration;
    std::optional<int64_t> expires;
};

std::string declare(Engine& e, const Decl& d) {
    EngineStatus s = e.declare_event(d.type, d.ts, d.duration, d.expires);
    return s ? "ok" : s.error().message;
}

std::string decl_text(const Engine& e, TypeId t) {
    auto it = e.event_decls.find(t);
    if (it == e.event_decls.end()) return "none";
    const EventDecl& d = it->second;
    return fmt("ts={} duration={} expires={} expiring={}", d.ts_field,
               d.duration_field ? std::to_string(*d.duration_field) : "-",
               d.expires_ms ? std::to_string(*d.expires_ms) : "-", e.expiring_types.contains(t));
}

}  // namespace

TEST(EventDecl, RefusalsInCheckOrder) {
    const std::pair<Decl, const char*> cases[] = {
        {{"Nope", "ts", std::nullopt, 5}, "unknown type Nope"},
        // Built-in types hold results, not events.
        {{"Long", "value", std::nullopt, std::nullopt}, "unknown type Long"},
        {{"E", "nope", std::nullopt, 5}, "E has no field nope"},
        {{"G", "when", std::nullopt, 5}, "G.when: event timestamps are i64 epoch-ms (E1 point events)"},
        {{"E", "ts", "zz", 5}, "E has no field zz"},
        {{"E", "ts", "s", 5}, "E.s: @duration fields are i64 ms (E2 item E)"},
        // The expiry is checked after the fields.
        {{"E", "nope", std::nullopt, -5}, "E has no field nope"},
        {{"E", "ts", std::nullopt, -1}, "expires_ms must be >= 0"},
    };
    for (const auto& [d, expected] : cases) {
        Engine e = make_engine();
        EXPECT_EQ(declare(e, d), expected);
        EXPECT_TRUE(e.event_decls.empty()) << expected;
        EXPECT_TRUE(e.expiring_types.empty()) << expected;
    }
}

TEST(EventDecl, RedeclarationReplacesTheWholeDeclaration) {
    Engine e = make_engine();
    ASSERT_EQ(declare(e, {"E", "ts", "dur", 1000}), "ok");
    EXPECT_EQ(decl_text(e, 0), "ts=0 duration=1 expires=1000 expiring=true");
    ASSERT_EQ(declare(e, {"E", "dur", std::nullopt, 0}), "ok");
    EXPECT_EQ(decl_text(e, 0), "ts=1 duration=- expires=0 expiring=true");
    // Without an expiry the type no longer counts as explicitly expiring.
    ASSERT_EQ(declare(e, {"E", "ts", std::nullopt, std::nullopt}), "ok");
    EXPECT_EQ(decl_text(e, 0), "ts=0 duration=- expires=- expiring=false");
    // A refused redeclaration keeps the one before.
    EXPECT_EQ(declare(e, {"E", "ts", std::nullopt, -3}), "expires_ms must be >= 0");
    EXPECT_EQ(decl_text(e, 0), "ts=0 duration=- expires=- expiring=false");
    EXPECT_EQ(decl_text(e, 1), "none");
}
