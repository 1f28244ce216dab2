// Seeded random sessions through the whole engine: facts with nullable keys,
// NaN and null floats and events come, change one or two fields, go, and the
// clock moves, between fires of a fixed set of rules (equality, range and
// three-way joins, not and exists over keys and ranges, an event join, gated
// three-pattern shapes, an expression salience, a right-hand side that sets
// two fields before one update), once in a session that declares an event
// type (inserts then evaluate the rules they touch at once, and gated rules
// take their activations by the gate's side, ties in the order made) and once
// in one that declares none. Every firing of every fire, in order, and every refusal go into one
// transcript per seed, compared with the recordings under data/orders/
// (order_recording.h says how to record again). Each fire must also leave
// nothing that could still fire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_case_header.h"
#include "order_recording.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

const char* const kHeader[] = {
    "type A k:i64? x:f64? g:i64",
    "type B k:i64? x:f64?",
    "type C k:i64?",
    "type G k:i64",
    "type Ev ts:i64 k:i64",
};
const char* const kEventLine = "event Ev ts expires=400";

const char* const kRules = R"(
rule pair when $a : A($k : k) $b : B(k == $k) then end
rule triple when $a : A($k : k) $b : B(k == $k) $c : C(k == $k) then end
rule less when $a : A($x : x) $b : B(x < $x) then end
rule idle when $a : A($k : k) not B(k == $k) then end
rule under when $a : A($x : x) not B(x > $x) then end
rule over when $a : A($x : x) exists B(x <= $x) then end
rule seen when $a : A($k : k) $e : Ev(k == $k) then end
rule gated when $a : A() exists G() $c : C() then end
rule shut when $a : A() not G() $c : C() then end
rule calm when $b : B() not Ev() $c : C() then end
rule ranked salience $s when $a : A($s : g, g >= 0) $c : C(k == 1) then end
rule bump salience 5 when $t : G(k == 0) $a : A(g == 0) then $a.setG(2); $a.setK(3); update($a); end
)";

class RandomSession {
public:
    RandomSession(uint32_t seed, bool events) : rng_(seed) {
        CaseHeader header;
        for (const char* line : kHeader) header.read_line(line);
        if (events) header.read_line(kEventLine);
        EngineResult<Session> made = header.make_session();
        if (!made) {
            ADD_FAILURE() << made.error().message;
            return;
        }
        engine_.emplace(std::move(*made));
        // Dead rows go back at every call: no reader of a dead fact may be
        // left across calls, and the firings stay those recorded.
        engine_of(*engine_).reclaim_eagerly = true;
        if (EngineStatus ok = engine_->add_rules_text(kRules); !ok) ADD_FAILURE() << ok.error().message;
    }

    bool ready() const { return engine_.has_value(); }

    // One step: a few changes, sometimes a clock move, then a fire.
    void step(int n) {
        out_ += "step " + std::to_string(n) + "\n";
        for (int k = pick(1, 5); k > 0; --k) change();
        if (pick(0, 3) == 0) {
            const int ms = pick(0, 300);
            EngineStatus ok = engine_->advance(ms);
            note(ok, "advance");
            if (ok) clock_ += ms;
        }
        fire();
    }

    const std::string& transcript() const { return out_; }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    Value key() { return pick(0, 5) == 0 ? Value::null() : Value::i64(pick(0, 3)); }
    Value number() {
        const int r = pick(0, 9);
        if (r == 8) return Value::f64(std::nan(""));
        if (r == 9) return Value::null();
        return Value::f64(0.5 * r);
    }
    std::pair<std::string, Value> field_of(const std::string& type, int which) {
        if (type == "A") {
            switch (which % 3) {
                case 0: return {"k", key()};
                case 1: return {"x", number()};
                default: return {"g", Value::i64(pick(0, 2))};
            }
        }
        if (type == "B") return which % 2 == 0 ? std::pair{std::string("k"), key()} : std::pair{std::string("x"), number()};
        if (type == "Ev") return {"k", Value::i64(pick(0, 3))};
        if (type == "G") return {"k", Value::i64(pick(0, 1))};
        return {"k", key()};
    }

    void change() {
        static const char* const kTypes[] = {"A", "A", "B", "B", "C", "G", "Ev"};
        const int what = handles_.empty() ? 0 : pick(0, 5);
        if (what <= 2) {
            const std::string type = kTypes[pick(0, 6)];
            std::vector<std::pair<std::string, Value>> row;
            if (type == "Ev") row.push_back({"ts", Value::i64(clock_ + pick(-100, 100))});
            const int fields = type == "A" ? 3 : type == "B" ? 2 : 1;
            for (int f = 0; f < fields; ++f) row.push_back(field_of(type, f));
            EngineResult<FactId> f = engine_->insert(type, std::move(row));
            note(f, "insert " + type);
            if (f) handles_.push_back({*f, type});
        } else if (what <= 4) {
            const auto& [h, type] = handles_[pick(0, static_cast<int>(handles_.size()) - 1)];
            std::vector<std::pair<std::string, Value>> row{field_of(type, pick(0, 2))};
            if (pick(0, 1) == 0) {
                auto second = field_of(type, pick(0, 2));
                if (second.first != row.front().first) row.push_back(std::move(second));
            }
            note(engine_->update_fact(h, std::move(row)), "update " + std::to_string(h));
        } else {
            const size_t at = pick(0, static_cast<int>(handles_.size()) - 1);
            note(engine_->delete_fact(handles_[at].first), "delete " + std::to_string(handles_[at].first));
            handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }

    void fire() {
        // The fire's report against the facts listed before and after it.
        const std::vector<FactId> before = engine_->fact_ids();
        const size_t count = engine_->store().fact_count();
        FireReport report;
        EngineResult<Firings> fired = engine_->fire_all(2000, &report);
        const std::vector<FactId> after = engine_->fact_ids();
        std::vector<FactId> gone, added;
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone));
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
        EXPECT_EQ(report.start_fact_count, count);
        EXPECT_EQ(report.deleted, gone);
        for (FactId f : added) EXPECT_GE(f, count) << "fact " << f << " listed after the fire, not before";
        note(fired, "fire");
        if (!fired) return;
        for (const Firing& f : *fired) {
            out_ += "  " + f.rule + ":";
            for (const FactView& v : f.facts) out_ += " " + std::to_string(v.id);
            out_ += "\n";
        }
        // Quiescence: a second fire with no change between finds nothing.
        EngineResult<Firings> again = engine_->fire_all(2000);
        ASSERT_TRUE(again) << again.error().message;
        EXPECT_TRUE(again->empty()) << "a fire left " << again->size() << " firings, the first of " << again->front().rule;
    }

    template <class R>
    void note(const R& r, const std::string& what) {
        if (!r) out_ += "  " + what + ": " + r.error().message + "\n";
    }

    std::mt19937 rng_;
    std::optional<Session> engine_;
    std::vector<std::pair<FactId, std::string>> handles_;  // handles given out and not deleted here
    int64_t clock_ = 0;
    std::string out_;
};

class RandomFires : public ::testing::TestWithParam<bool> {};

TEST_P(RandomFires, FiringSequencesFollowTheRecordingAndEveryFireReachesQuiescence) {
    OrderRecording recording(GetParam() ? "engine_fires_events" : "engine_fires_plain");
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        RandomSession s(seed, GetParam());
        ASSERT_TRUE(s.ready());
        for (int n = 0; n < 40; ++n) {
            s.step(n);
            if (::testing::Test::HasFatalFailure()) FAIL() << "seed " << seed << " step " << n;
        }
        recording.check(seed, s.transcript());
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, RandomFires, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "WithEventTypes" : "WithoutEventTypes");
                         });

}  // namespace
