// Seeded random programs in sessions that declare an event type: each a few
// rules drawn from the shapes whose nodes the engine evaluates itself (exists
// and not over a group of patterns, `or` around such groups, from collect,
// accumulate) mixed with joins, plain not and exists, and events; then facts
// come, change and go between fires, and the clock moves. Inserts evaluate the
// rules they touch at once, so input reaches these nodes in the orders the
// stream flush makes. After every fire the engine's invariants must hold
// (Engine::verify; the sanitizer build also checks them after every
// evaluation, firing and flush, and each node its own) and a second fire must
// find nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/internal_error.h"
#include "engine/engine.h"
#include "engine_case_header.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

const char* const kHeader[] = {
    "type A k:i64 v:i64",
    "type B k:i64 v:i64",
    "type C k:i64",
    "type Ev ts:i64 k:i64",
    "event Ev ts expires=250",
};

// One rule: a first element, then one to three more. `$k` is bound when the
// first element binds it; every other binding is numbered by its element's
// place, so none repeats.
class RuleMaker {
public:
    explicit RuleMaker(std::mt19937& rng) : rng_(rng) {}

    std::string rule(int index) {
        std::string text = "rule r" + std::to_string(index) + " when " + first();
        for (int n = pick(1, 3), i = 1; i <= n; ++i) text += " " + later(i);
        return text + " then end\n";
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    std::string first() {
        static const char* const kFirst[] = {
            "$a : A($k : k)",
            "B($k : k, v > 0)",
            "Ev($k : k)",
            "not C(k == 1)",
            "exists A(v > 1)",
            "exists (A(v == 1) and B(v == 2))",
            "$l0 : List() from collect(B(v > 0))",
            "accumulate(A($x0 : v); $s0 : sum($x0))",
        };
        const std::string f = kFirst[pick(0, 7)];
        bound_ = f.find("$k") != std::string::npos;
        return f;
    }

    // An element without bindings, as `or` branches take them.
    std::string plain() {
        switch (pick(bound_ ? 0 : 4, 10)) {
            case 0: return "B(k == $k)";
            case 1: return "not B(k == $k)";
            case 2: return "exists (B(k == $k) and C(k == 1))";
            case 3: return "Ev(k == $k)";
            case 4: return "C()";
            case 5: return "not C(k == 2)";
            case 6: return "exists A(v > 0)";
            case 7: return "not (A(v == 2) and C())";
            case 8: return "exists (C(k == 1) and B(v == 1))";
            case 9: return "exists Ev(k == 1)";
            default: return "not (B(v == 0) and Ev(k == 2))";
        }
    }

    std::string later(int i) {
        const std::string n = std::to_string(i);
        switch (pick(0, 7)) {
            case 0: return "$l" + n + " : List() from collect(C(k > 0))";
            case 1:
                return bound_ ? "accumulate(B(k == $k, $w" + n + " : v); $n" + n + " : count())"
                              : "accumulate(B($w" + n + " : v); $n" + n + " : sum($w" + n + "))";
            case 2: return "accumulate(Ev(k > 0); $e" + n + " : count())";
            case 3: return "(" + plain() + " or " + plain() + ")";
            default: return plain();
        }
    }

    std::mt19937& rng_;
    bool bound_ = false;
};

Session new_session() {
    CaseHeader header;
    for (const char* line : kHeader) header.read_line(line);
    return std::move(header.make_session()).value();
}

class RandomProgram {
public:
    explicit RandomProgram(uint32_t seed) : rng_(seed) {
        RuleMaker maker(rng_);
        // A rule the engine refuses (a shape outside the language) is drawn again.
        const int count = pick(2, 4);
        for (int r = 0, tries = 0; r < count && tries < 40; ++tries) {
            const std::string rule = maker.rule(r);
            if (!new_session().add_rules_text(rules_ + rule)) continue;
            rules_ += rule;
            ++r;
        }
        EngineStatus loaded = session_.add_rules_text(rules_);
        EXPECT_TRUE(loaded) << loaded.error().message;
    }

    const std::string& rules() const { return rules_; }

    // A few changes, sometimes a clock move, then a fire.
    void step() {
        for (int k = pick(1, 5); k > 0; --k) change();
        if (pick(0, 3) == 0) {
            const int ms = pick(0, 150);
            ASSERT_TRUE(session_.advance(ms));
            clock_ += ms;
        }
        EngineResult<Firings> fired = session_.fire_all(5000);
        ASSERT_TRUE(fired) << fired.error().message;
        engine_of(session_).verify();
        EngineResult<Firings> again = session_.fire_all(5000);
        ASSERT_TRUE(again) << again.error().message;
        EXPECT_TRUE(again->empty()) << "a fire left " << again->size() << " firings, the first of "
                                    << again->front().rule;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    std::vector<std::pair<std::string, Value>> row_of(const std::string& type) {
        std::vector<std::pair<std::string, Value>> row;
        if (type == "Ev") row.push_back({"ts", Value::i64(clock_ + pick(-50, 50))});
        row.push_back({"k", Value::i64(pick(0, 3))});
        if (type == "A" || type == "B") row.push_back({"v", Value::i64(pick(0, 3))});
        return row;
    }

    void change() {
        static const char* const kTypes[] = {"A", "B", "C", "Ev"};
        // The clock expires events; a handle kept here may be dead by now.
        const int what = live_.empty() ? 0 : pick(0, 5);
        if (what <= 2) {
            const std::string type = kTypes[pick(0, 3)];
            EngineResult<FactId> f = session_.insert(type, row_of(type));
            ASSERT_TRUE(f) << f.error().message;
            live_.push_back({*f, type});
            return;
        }
        const size_t at = static_cast<size_t>(pick(0, static_cast<int>(live_.size()) - 1));
        const auto [fact, type] = live_[at];
        if (what <= 4 && session_.fact_type_name(fact).value()) {
            auto row = row_of(type);
            if (type == "Ev") row.erase(row.begin());  // an event keeps its time
            if (row.size() > 1 && pick(0, 1) == 0) row.erase(row.begin() + pick(0, 1));
            ASSERT_TRUE(session_.update_fact(fact, row));
            return;
        }
        ASSERT_TRUE(session_.delete_fact(fact));
        live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    std::mt19937 rng_;
    std::string rules_;
    Session session_ = new_session();
    std::vector<std::pair<FactId, std::string>> live_;  // inserted and not deleted here
    int64_t clock_ = 0;
};

TEST(RandomPrograms, EveryFireKeepsTheSelfChecksAndReachesQuiescence) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        RandomProgram p(seed);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", rules:\n" + p.rules());
        for (int n = 0; n < 12; ++n) {
            try {
                p.step();
            } catch (const InternalError& broken) {
                FAIL() << broken.what();
            }
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
