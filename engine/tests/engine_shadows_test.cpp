// Side evaluators of gated three-pattern rules: their algorithms on their own
// (the edge cases of each gate, the emitted list's places), the agenda taking
// a later duplicate at its later place, and random sessions over the four
// gates run twice, with and without evaluators: every fire gives the same
// multiset of firings, and each marked rule fires in the order that a plain
// list model of the emission rules gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "engine/engine.h"

using namespace quarn;

namespace {

std::vector<FactId> ids(std::initializer_list<FactId> l) { return l; }

// What the agenda reads: the emitted facts in the order of their places.
std::vector<FactId> by_place(const ShadowCommon& s) {
    std::vector<std::pair<size_t, FactId>> v;
    for (FactId f : s.out)
        if (f != ShadowCommon::kNoFact && s.out_place(f)) v.emplace_back(*s.out_place(f), f);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    std::vector<FactId> out;
    for (auto& [place, f] : v) out.push_back(f);
    return out;
}

void arrive(ShadowCommon& s, std::initializer_list<FactId> facts) {
    for (FactId f : facts) s.fresh.push_back(f);
}

}  // namespace

TEST(ShadowOut, ALaterDuplicateKeysTheFactAndCuttingItRestoresTheEarlierPlace) {
    PnShadow s;
    for (FactId f : {7u, 8u, 7u, 9u}) s.emit(f);
    EXPECT_EQ(s.out_place(7), 2u);
    EXPECT_EQ(s.out_place(8), 1u);
    EXPECT_EQ(by_place(s), ids({8, 7, 9}));
    s.cut_out(2);
    EXPECT_EQ(s.out_place(7), 0u);
    EXPECT_FALSE(s.out_place(9));
    s.emit(7);
    s.drop_from_out(7);
    EXPECT_FALSE(s.out_place(7));
    EXPECT_EQ(s.out_place(8), 1u);
    s.emit(9);
    EXPECT_EQ(by_place(s), ids({8, 9}));
    s.clear_out();
    EXPECT_TRUE(s.out.empty());
    EXPECT_FALSE(s.out_place(8));
}

TEST(PnShadow, TheFirstGateFactWithdrawsEverythingAndTheLastBringsAllBackNewestBatchFirst) {
    PnShadow s;
    arrive(s, {1, 2});
    s.eval(true);
    EXPECT_EQ(s.out, ids({1, 2}));
    arrive(s, {3, 4});
    s.eval(false);
    EXPECT_EQ(s.out, ids({1, 2, 3, 4}));
    s.events.push_back({10, GateEvent::kArrived, 0});
    s.events.push_back({11, GateEvent::kArrived, 0});
    // 5 arrived while the gate was open: taken in with the shutting batch.
    arrive(s, {5});
    s.eval(false);
    EXPECT_TRUE(s.out.empty());
    EXPECT_TRUE(s.blocked);
    // Arrivals while shut wait, and come first when the gate opens.
    arrive(s, {6});
    s.events.push_back({10, GateEvent::kLeft, 0});
    s.eval(false);
    EXPECT_TRUE(s.out.empty());
    s.events.push_back({11, GateEvent::kLeft, 0});
    s.eval(false);
    EXPECT_EQ(s.out, ids({6, 5, 3, 4, 1, 2}));
}

TEST(PnShadow, AGateFactRemovedTwiceOrNeverPresentChangesNothing) {
    PnShadow s;
    arrive(s, {1});
    s.events.push_back({10, GateEvent::kArrived, 0});
    s.events.push_back({11, GateEvent::kArrived, 0});
    s.eval(true);
    EXPECT_TRUE(s.blocked);
    for (FactId g : {10u, 10u, 12u}) s.events.push_back({g, GateEvent::kLeft, 0});
    s.eval(false);
    EXPECT_TRUE(s.blocked);
    EXPECT_TRUE(s.out.empty());
    EXPECT_EQ(s.members.size(), 1u);
}

TEST(PnShadow, AStopEntryDropsTheRestOfItsBatch) {
    PnShadow s;
    arrive(s, {1});
    s.eval(true);
    s.events.push_back({10, GateEvent::kStop, 0});
    s.events.push_back({11, GateEvent::kArrived, 0});
    arrive(s, {2});
    s.eval(false);
    EXPECT_FALSE(s.blocked);
    EXPECT_TRUE(s.members.empty());
    EXPECT_TRUE(s.events.empty());
    EXPECT_EQ(s.out, ids({1, 2}));
}

TEST(PnShadow, NothingIsEmittedBeforeTheFirstFireArmsIt) {
    PnShadow s;
    arrive(s, {1, 2});
    s.events.push_back({10, GateEvent::kArrived, 0});
    s.events.push_back({10, GateEvent::kLeft, 0});
    s.eval(false);
    EXPECT_TRUE(s.out.empty());
    EXPECT_FALSE(s.armed);
    arrive(s, {3});
    s.eval(true);
    EXPECT_EQ(s.out, ids({3, 1, 2}));
}

TEST(PxShadow, OpensOnItsFirstMemberAndShutsWhenTheLastLeaves) {
    PxShadow s;
    arrive(s, {1, 2});
    s.eval();  // arms itself, gate empty
    EXPECT_TRUE(s.armed);
    EXPECT_TRUE(s.gated);
    EXPECT_TRUE(s.out.empty());
    arrive(s, {3});
    s.events.push_back({10, GateEvent::kArrived, 0});
    s.eval();
    EXPECT_EQ(s.out, ids({3, 1, 2}));
    EXPECT_EQ(s.count, 1u);
    s.events.push_back({11, GateEvent::kArrived, 0});
    arrive(s, {4});
    s.eval();
    EXPECT_EQ(s.out, ids({3, 1, 2, 4}));
    // A departure and an arrival in one batch: the gate never emptied.
    s.events.push_back({10, GateEvent::kLeft, 0});
    s.events.push_back({12, GateEvent::kArrived, 0});
    s.eval();
    EXPECT_EQ(s.out.size(), 4u);
    s.events.push_back({11, GateEvent::kLeft, 0});
    s.events.push_back({12, GateEvent::kLeft, 0});
    s.eval();
    EXPECT_TRUE(s.gated);
    EXPECT_TRUE(s.out.empty());
}

TEST(BfShadow, ReopeningEmitsTheFactsTakenInWhileShutFirst) {
    BfShadow s;
    arrive(s, {1, 2});
    s.eval_window(2, 0, true);
    EXPECT_EQ(s.out, ids({1, 2}));
    s.members.push(10);
    s.eval_window(1, 10, false);
    EXPECT_TRUE(s.blocked);
    EXPECT_TRUE(s.out.empty());
    arrive(s, {3});
    s.eval_window(2, 0, false);
    arrive(s, {4});
    s.eval_window(0, 10, false);
    EXPECT_FALSE(s.blocked);
    EXPECT_EQ(s.out, ids({4, 3, 1, 2}));
    // A fact never in the window leaves: nothing changes.
    s.eval_window(0, 11, false);
    EXPECT_EQ(s.out.size(), 4u);
}

TEST(ExShadow, OpensOnTheFirstMemberOnlyAndAShutCutsBackToItsBase) {
    ExShadow s;
    arrive(s, {1});
    s.members.push(10);
    s.eval_window(1, 10, false);  // not armed: taken in, not emitted
    EXPECT_TRUE(s.out.empty());
    s.eval_window(2, 0, true);
    EXPECT_EQ(s.out, ids({1}));
    s.members.push(11);
    arrive(s, {2});
    s.eval_window(1, 11, false);
    EXPECT_EQ(s.out, ids({1, 2}));  // the second member emits nothing again
    s.out_base = 1;
    s.eval_window(0, 10, false);
    s.eval_window(0, 11, false);
    EXPECT_FALSE(s.open);
    EXPECT_EQ(s.out, ids({1}));
    s.out_base = 0;
    s.members.push(12);
    arrive(s, {3});
    s.eval_window(1, 12, false);
    EXPECT_EQ(s.out, ids({1, 3, 2, 1}));
    EXPECT_EQ(by_place(s), ids({3, 2, 1}));
}

// No program emits a fact twice in one fire: here the evaluator is handed a
// positive fact it already holds, so that its reopening emits it twice. Its
// activation goes at the later place.
TEST(ShadowOrder, AFactEmittedTwiceFiresAtItsLaterPlace) {
    Engine e = std::move(Engine::create({{"Anchor", {{"id", FieldType::i64()}}, 0},
                                         {"Pos", {{"n", FieldType::i64()}}, 0},
                                         {"Gate", {{"id", FieldType::i64()}}, 0},
                                         {"Tick", {{"ts", FieldType::i64()}}, 0}}))
                   .value();
    ASSERT_TRUE(e.declare_event("Tick", "ts", std::nullopt, 1000));
    ASSERT_TRUE(e.add_rules_text("rule pn when $a : Anchor() not Gate() $p : Pos() then end"));
    ASSERT_TRUE(e.insert("Anchor", {{"id", Value::i64(0)}}));
    for (int64_t n = 1; n <= 3; ++n) ASSERT_TRUE(e.insert("Pos", {{"n", Value::i64(n)}}));
    auto order = [&] {
        std::vector<FactId> fired;
        for (const Firing& f : e.fire_all(100).value()) fired.push_back(f.facts.at(1).id);
        return fired;
    };
    EXPECT_EQ(order(), ids({1, 2, 3}));
    const FactId gate = e.insert("Gate", {{"id", Value::i64(0)}}).value();
    EXPECT_TRUE(order().empty());
    ASSERT_TRUE(e.delete_fact(gate));
    ASSERT_TRUE(e.nets[0].pn_shadow);
    e.nets[0].pn_shadow->fresh.push_back(2);
    // Emitted as 2, 1, 2, 3: fact 2 keyed by its second place.
    EXPECT_EQ(order(), ids({1, 2, 3}));
}

namespace {

// --- A plain model of the four evaluators and of where the engine calls
// them: lists scanned and rebuilt, a fact's place its last index in out.

using List = std::vector<FactId>;

void erase_all(List& l, FactId f) { l.erase(std::remove(l.begin(), l.end(), f), l.end()); }
void append(List& to, const List& from) { to.insert(to.end(), from.begin(), from.end()); }
void append_reversed(List& to, const List& from) { to.insert(to.end(), from.rbegin(), from.rend()); }
bool holds(const List& l, FactId f) { return std::find(l.begin(), l.end(), f) != l.end(); }

enum class Gate { Pn, Px, Bf, Ex };

struct ModelShadow {
    Gate kind = Gate::Pn;
    List seen, fresh, out, members, expired;
    std::vector<std::pair<FactId, int>> events;  // (fact, op)
    std::map<FactId, bool> answers;
    bool armed = false, blocked = false, seeded = false, gated = true, open = false, arm_pending = true;
    bool dirty = false, dirty_departure = false;
    bool open_hint = true, has_positives = false;
    uint32_t count = 0, positives = 0;
    size_t out_base = 0;

    void take_fresh() {
        append_reversed(seen, fresh);
        fresh.clear();
    }
    void join_left_ins(List& out_add) {
        List old = seen;
        take_fresh_keep(out_add);
        append_reversed(out_add, old);
    }
    void take_fresh_keep(List& out_add) {
        append(out_add, fresh);
        take_fresh();
    }

    void pn_eval(bool arm) {
        const bool was_armed = armed, was_blocked = blocked;
        if (!seeded) {
            seeded = true;
            take_fresh();
        }
        List out_add;
        auto evs = std::exchange(events, {});
        for (auto [f, op] : evs) {
            if (op == 2) break;
            if (op == 0) {
                erase_all(members, f);
                if (members.empty() && armed && blocked) {
                    blocked = false;
                    join_left_ins(out_add);
                }
            } else {
                members.push_back(f);
                if (armed && !blocked) {
                    blocked = true;
                    out_add.clear();
                    out.clear();
                }
            }
        }
        if (was_armed && !was_blocked && !fresh.empty()) {
            if (!blocked) append(out_add, fresh);
            take_fresh();
        }
        if (arm && !armed) {
            armed = true;
            blocked = !members.empty();
            if (!blocked) join_left_ins(out_add);
        }
        append(out, out_add);
    }

    void px_eval() {
        const size_t before = members.size();
        auto evs = std::exchange(events, {});
        for (auto [f, op] : evs) {
            if (op == 2) break;
            if (op == 0) erase_all(members, f);
            else members.push_back(f);
        }
        count = static_cast<uint32_t>(members.size());
        List out_add;
        if (armed && before == 0 && !members.empty() && gated) {
            gated = false;
            join_left_ins(out_add);
        } else if (armed && before != 0 && members.empty() && !gated) {
            gated = true;
            out.clear();
        }
        if (!fresh.empty()) {
            if (armed && !gated) append(out_add, fresh);
            take_fresh();
        }
        if (!armed) {
            armed = true;
            gated = members.empty();
            if (!gated) join_left_ins(out_add);
        }
        append(out, out_add);
    }

    void bf_eval_window(int op, FactId f, bool arm) {
        bool reopened = false;
        if (op == 0) {
            erase_all(members, f);
            reopened = armed && blocked && members.empty();
        } else if (op != 2) {
            if (open_hint && has_positives) open_hint = false;
            if (armed && !blocked) {
                blocked = true;
                out.clear();
            }
        }
        if (armed && !blocked) append(out, fresh);
        take_fresh();
        if (reopened) {
            blocked = false;
            append_reversed(out, seen);
        }
        if (arm && !armed) {
            armed = true;
            blocked = !members.empty();
            if (!blocked) append_reversed(out, seen);
        }
    }

    void ex_eval_window(int op, FactId f, bool arm) {
        auto take_in = [&] {
            if (open) append(out, fresh);
            take_fresh();
        };
        if (op == 0) {
            erase_all(members, f);
            if (open && members.empty()) {
                open = false;
                if (out.size() > out_base) out.resize(out_base);
            }
            take_in();
        } else if (op == 2 || open || arm_pending) {
            take_in();
        } else if (members.size() == 1) {
            take_fresh();
            open = true;
            append_reversed(out, seen);
        } else {
            take_fresh();
        }
        if (arm && arm_pending) {
            arm_pending = false;
            if (!members.empty()) {
                open = true;
                append_reversed(out, seen);
            }
        }
    }

    bool holds_positives() const { return !seen.empty() || !fresh.empty(); }
};

enum class Kind { Anchor, Pos, Gate, Ev, Trigger };

struct ModelFact {
    Kind kind;
    bool alive = true;
    bool on = false;  // Gate
    int64_t ts = 0;   // Ev
};

constexpr int64_t kExpires = 1000;

// The rules of the random sessions: one per gate over the same positive type,
// and an opener that inserts a passing Gate fact once the others are done.
const char* const kRules = R"(
rule pn when $a : Anchor() not Gate() $p : Pos() then end
rule px when $a : Anchor() exists Gate(on == true) $p : Pos() then end
rule bf when $a : Anchor() not Ev() $p : Pos() then end
rule ex when $a : Anchor() exists Ev() $p : Pos() then end
rule opener salience -5 when $t : Trigger($i : id) then insert(new Gate($i, true)); end
)";
const char* const kMarked[] = {"pn", "px", "bf", "ex"};

Engine make_engine(bool shadows) {
    Engine e = std::move(Engine::create({{"Anchor", {{"id", FieldType::i64()}}, 0},
                                         {"Pos", {{"n", FieldType::i64()}}, 0},
                                         {"Gate", {{"id", FieldType::i64()}, {"on", FieldType::boolean()}}, 0},
                                         {"Ev", {{"ts", FieldType::i64()}, {"id", FieldType::i64()}}, 0},
                                         {"Trigger", {{"id", FieldType::i64()}}, 0}}))
                   .value();
    EXPECT_TRUE(e.declare_event("Ev", "ts", std::nullopt, kExpires));
    e.build_shadows = shadows;
    EngineStatus loaded = e.add_rules_text(kRules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    return e;
}

struct Fired {
    std::string rule;
    std::vector<FactId> facts;
    bool operator<(const Fired& o) const { return std::tie(rule, facts) < std::tie(o.rule, o.facts); }
    bool operator==(const Fired& o) const = default;
};

std::vector<Fired> fired_of(const Firings& firings) {
    std::vector<Fired> v;
    for (const Firing& f : firings) {
        Fired x{f.rule, {}};
        for (const FactView& fv : f.facts) x.facts.push_back(fv.id);
        v.push_back(std::move(x));
    }
    return v;
}

std::string text(const std::vector<Fired>& v) {
    std::string s;
    for (const Fired& f : v) {
        s += f.rule + "[";
        for (FactId id : f.facts) s += std::to_string(id) + " ";
        s += "] ";
    }
    return s;
}

class ShadowSession {
public:
    explicit ShadowSession(uint32_t seed) : rng_(seed), on_(make_engine(true)), off_(make_engine(false)) {
        for (Gate g : {Gate::Pn, Gate::Px, Gate::Bf, Gate::Ex}) shadows_.emplace_back().kind = g;
        const int anchors = static_cast<int>(pick(1, 2));
        for (int k = 0; k < anchors; ++k) insert(Kind::Anchor, {{"id", Value::i64(k)}});
    }

    int64_t pick(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng_); }

    void step() {
        const int64_t r = pick(0, 99);
        if (r < 25) insert(Kind::Pos, {{"n", Value::i64(pick(0, 9))}});
        else if (r < 33) remove(Kind::Pos);
        else if (r < 38) update_pos();
        else if (r < 46) {
            const bool on = pick(0, 3) != 0;
            insert(Kind::Gate, {{"id", Value::i64(pick(0, 9))}, {"on", Value::boolean(on)}});
        } else if (r < 53) remove(Kind::Gate);
        else if (r < 60) update_gate();
        else if (r < 68)
            insert(Kind::Ev, {{"ts", Value::i64(clock_ + pick(-kExpires - 50, 300))}, {"id", Value::i64(0)}});
        else if (r < 72) remove(Kind::Ev);
        else if (r < 79) advance(pick(0, 700));
        else if (r < 82) insert(Kind::Trigger, {{"id", Value::i64(pick(100, 200))}});
        else fire();
    }

    void fire() {
        EngineResult<Firings> a = on_.fire_all(100000), b = off_.fire_all(100000);
        ASSERT_TRUE(a) << a.error().message;
        ASSERT_TRUE(b) << b.error().message;
        const std::vector<Fired> with = fired_of(*a), without = fired_of(*b);
        {
            std::vector<Fired> x = with, y = without;
            std::sort(x.begin(), x.end());
            std::sort(y.begin(), y.end());
            ASSERT_EQ(x, y) << "with: " << text(with) << "\nwithout: " << text(without);
        }

        // The model's fire: the first one takes every live fact in, then the
        // catch-up; each opener firing inserts a passing gate fact, which
        // starts a new stretch of the marked rules' orders.
        if (!immediate_) {
            immediate_ = true;
            for (FactId f = 0; f < facts_.size(); ++f)
                if (facts_[f].alive) gate_insert(f, false);
        }
        catch_up();
        std::vector<std::vector<List>> outs(1, current_outs());
        for (const Fired& f : with) {
            if (f.rule != "opener") continue;
            const FactId g = static_cast<FactId>(facts_.size());
            facts_.push_back({Kind::Gate, true, true, 0});
            gate_insert(g, true);
            outs.push_back(current_outs());
        }
        // Expired events go; the exists gate without a window is evaluated at quiescence.
        for (FactId f : std::exchange(expired_queue_, {})) facts_[f].alive = false;
        for (ModelShadow& s : shadows_) {
            if (s.kind != Gate::Px || s.events.empty()) continue;
            s.px_eval();
            s.dirty = s.dirty_departure = false;
        }
        for (ModelShadow& s : shadows_) {
            s.out.clear();
            s.out_base = 0;
        }

        // Stretch by stretch, each marked rule fires its activations keyed
        // by the last place of their positive fact in that stretch's output,
        // those not emitted last, ties in the order the engine without
        // evaluators fired them (push order).
        auto stretches = [](const std::vector<Fired>& v) {
            std::vector<std::vector<Fired>> s(1);
            for (const Fired& f : v) {
                if (f.rule == "opener") s.emplace_back();
                else s.back().push_back(f);
            }
            return s;
        };
        const auto sw = stretches(with), so = stretches(without);
        ASSERT_EQ(sw.size(), outs.size());
        ASSERT_EQ(so.size(), outs.size());
        for (size_t k = 0; k < outs.size(); ++k) {
            for (size_t m = 0; m < 4; ++m) {
                std::vector<Fired> got, expect;
                for (const Fired& f : sw[k])
                    if (f.rule == kMarked[m]) got.push_back(f);
                for (const Fired& f : so[k])
                    if (f.rule == kMarked[m]) expect.push_back(f);
                const List& out = outs[k][m];
                auto key = [&](const Fired& f) -> size_t {
                    auto it = std::find(out.rbegin(), out.rend(), f.facts.at(1));
                    return it == out.rend() ? SIZE_MAX : static_cast<size_t>(out.rend() - it - 1);
                };
                std::stable_sort(expect.begin(), expect.end(),
                                 [&](const Fired& a, const Fired& b) { return key(a) < key(b); });
                ASSERT_EQ(got, expect) << "rule " << kMarked[m] << " stretch " << k << "\nwith: " << text(with)
                                       << "\nwithout: " << text(without);
            }
        }
        ++fires_;
    }

    size_t fires() const { return fires_; }

private:
    std::vector<List> current_outs() const {
        std::vector<List> v;
        for (const ModelShadow& s : shadows_) v.push_back(s.out);
        return v;
    }

    ModelShadow& shadow(Gate g) { return shadows_[static_cast<size_t>(g)]; }

    std::vector<FactId> live(Kind k) const {
        std::vector<FactId> v;
        for (FactId f = 0; f < facts_.size(); ++f)
            if (facts_[f].alive && facts_[f].kind == k) v.push_back(f);
        return v;
    }

    static const char* type_name(Kind k) {
        switch (k) {
            case Kind::Anchor: return "Anchor";
            case Kind::Pos: return "Pos";
            case Kind::Gate: return "Gate";
            case Kind::Ev: return "Ev";
            case Kind::Trigger: return "Trigger";
        }
        return "";
    }

    void insert(Kind k, std::vector<std::pair<std::string, Value>> row) {
        EngineResult<FactId> a = on_.insert(type_name(k), row), b = off_.insert(type_name(k), row);
        ASSERT_TRUE(a && b);
        ASSERT_EQ(*a, *b);
        ASSERT_EQ(*a, facts_.size());
        const FactId f = *a;
        ModelFact m{k, true, false, 0};
        if (k == Kind::Gate) m.on = row[1].second.as_bool();
        if (k == Kind::Ev) m.ts = row[0].second.as_i64();
        facts_.push_back(m);
        // The outside insert's intake, then propagation.
        const int64_t deadline = m.ts + kExpires + 1;
        const bool due = k == Kind::Ev && deadline <= clock_;
        if (k == Kind::Ev) {
            if (due) expired_queue_.push_back(f);
            else deadlines_.emplace(std::make_pair(deadline, f), f);
        }
        intake(f, due);
        if (immediate_) gate_insert(f, false);
    }

    void remove(Kind k) {
        const std::vector<FactId> v = live(k);
        if (v.empty()) return;
        const FactId f = v[static_cast<size_t>(pick(0, static_cast<int64_t>(v.size()) - 1))];
        ASSERT_TRUE(on_.delete_fact(f));
        ASSERT_TRUE(off_.delete_fact(f));
        facts_[f].alive = false;
        drop(f);
        if (immediate_) gate_delete(f);
    }

    void update_pos() {
        const std::vector<FactId> v = live(Kind::Pos);
        if (v.empty()) return;
        const FactId f = v[static_cast<size_t>(pick(0, static_cast<int64_t>(v.size()) - 1))];
        const int64_t n = pick(0, 9);
        ASSERT_TRUE(on_.update_fact(f, {{"n", Value::i64(n)}}));
        ASSERT_TRUE(off_.update_fact(f, {{"n", Value::i64(n)}}));
        for (ModelShadow& s : shadows_)
            if (holds(s.seen, f)) {
                erase_all(s.seen, f);
                s.seen.push_back(f);
            }
    }

    void update_gate() {
        const std::vector<FactId> v = live(Kind::Gate);
        if (v.empty()) return;
        const FactId f = v[static_cast<size_t>(pick(0, static_cast<int64_t>(v.size()) - 1))];
        const bool on = !facts_[f].on;
        ASSERT_TRUE(on_.update_fact(f, {{"on", Value::boolean(on)}}));
        ASSERT_TRUE(off_.update_fact(f, {{"on", Value::boolean(on)}}));
        facts_[f].on = on;
        ModelShadow& s = shadow(Gate::Px);
        if (!immediate_) return;
        const bool passed = s.answers[f];
        s.answers[f] = on;
        if (on && !passed) {
            s.events.emplace_back(f, 1);
            if (s.count == 0 && s.holds_positives()) s.dirty = true;
            ++s.count;
        } else if (!on && passed) {
            auto it = std::find(s.events.begin(), s.events.end(), std::make_pair(f, 1));
            if (it != s.events.end()) {
                s.events.erase(it);
                if (s.count > 0) --s.count;
                if (s.count == 0) s.dirty = false;
            } else if (holds(s.members, f)) {
                s.events.emplace_back(f, 0);
            }
        }
    }

    void advance(int64_t ms) {
        ASSERT_TRUE(on_.advance(ms));
        ASSERT_TRUE(off_.advance(ms));
        clock_ += ms;
        while (!deadlines_.empty() && deadlines_.begin()->first.first <= clock_) {
            const FactId f = deadlines_.begin()->second;
            deadlines_.erase(deadlines_.begin());
            for (Gate g : {Gate::Bf, Gate::Ex}) {
                ModelShadow& s = shadow(g);
                if (holds(s.members, f) && !holds(s.expired, f)) {
                    s.expired.push_back(f);
                    s.dirty = true;
                }
            }
            if (facts_[f].alive) expired_queue_.push_back(f);
        }
    }

    // Engine::insert_into's intake of a new fact.
    void intake(FactId f, bool due) {
        const Kind k = facts_[f].kind;
        if (k == Kind::Pos) {
            ModelShadow& bf = shadow(Gate::Bf);
            const bool was_empty = bf.fresh.empty();
            bf.fresh.push_back(f);
            if (bf.positives == 0) {
                bf.has_positives = true;
                if (bf.open_hint) bf.dirty = true;
            } else if (was_empty && bf.open_hint && bf.has_positives) {
                bf.dirty = true;
            }
            ++bf.positives;
            ModelShadow& ex = shadow(Gate::Ex);
            ex.fresh.push_back(f);
            ++ex.positives;
            if (!ex.members.empty()) ex.dirty = true;
            ModelShadow& pn = shadow(Gate::Pn);
            pn.fresh.push_back(f);
            if (pn.armed && !pn.blocked) pn.dirty = true;
            ModelShadow& px = shadow(Gate::Px);
            px.fresh.push_back(f);
            if (px.count >= 1) px.dirty = true;
        } else if (k == Kind::Ev) {
            ModelShadow& bf = shadow(Gate::Bf);
            bf.members.push_back(f);
            if (bf.open_hint && bf.has_positives) bf.dirty = true;
            bf.bf_eval_window(1, f, false);
            ModelShadow& ex = shadow(Gate::Ex);
            if (ex.members.empty() && ex.positives != 0) ex.dirty = true;
            ex.members.push_back(f);
            ex.ex_eval_window(1, f, false);
            if (due)
                for (ModelShadow* s : {&bf, &ex}) {
                    s->expired.push_back(f);
                    s->dirty = true;
                }
        }
    }

    // Propagation of an insert: the gates without a window.
    void gate_insert(FactId f, bool firing) {
        if (facts_[f].kind != Kind::Gate) return;
        ModelShadow& pn = shadow(Gate::Pn);
        pn.events.emplace_back(f, 1);
        if (pn.armed && !pn.blocked) pn.dirty = true;
        if (firing && pn.dirty) {
            pn.pn_eval(false);
            pn.dirty = false;
        }
        ModelShadow& px = shadow(Gate::Px);
        const bool passes = facts_[f].on;
        px.answers[f] = passes;
        if (passes) {
            px.events.emplace_back(f, 1);
            if (px.count == 0 && px.holds_positives()) px.dirty = true;
            ++px.count;
        }
        // While firing, the marked rule has no activations left here: the
        // opener fires only once every rule of higher salience is done.
        if (firing && !px.events.empty() && (px.dirty || px.dirty_departure)) {
            px.px_eval();
            px.dirty = px.dirty_departure = false;
        }
    }

    // Engine::delete_fact's drop from the evaluators.
    void drop(FactId f) {
        const Kind k = facts_[f].kind;
        if (k == Kind::Pos) {
            for (ModelShadow& s : shadows_) {
                erase_all(s.seen, f);
                erase_all(s.fresh, f);
                erase_all(s.out, f);
            }
            shadow(Gate::Bf).bf_eval_window(0, f, false);
            shadow(Gate::Ex).ex_eval_window(0, f, false);
        } else if (k == Kind::Ev) {
            ModelShadow& bf = shadow(Gate::Bf);
            const bool was = holds(bf.members, f);
            erase_all(bf.members, f);
            erase_all(bf.expired, f);
            if (was && bf.members.empty()) bf.open_hint = true;
            bf.bf_eval_window(0, f, false);
            ModelShadow& ex = shadow(Gate::Ex);
            erase_all(ex.members, f);
            erase_all(ex.expired, f);
            ex.ex_eval_window(0, f, false);
            erase_all(expired_queue_, f);
        } else if (k == Kind::Gate) {
            erase_all(shadow(Gate::Pn).members, f);
        }
    }

    // Propagation of an outside delete: the gates without a window.
    void gate_delete(FactId f) {
        if (facts_[f].kind != Kind::Gate) return;
        ModelShadow& pn = shadow(Gate::Pn);
        auto pending = std::find(pn.events.begin(), pn.events.end(), std::make_pair(f, 1));
        if (pending != pn.events.end()) {
            pn.events.erase(pending);
            erase_all(pn.members, f);
        } else {
            pn.events.emplace_back(f, 0);
        }
        pn.dirty = true;
        ModelShadow& px = shadow(Gate::Px);
        auto answer = px.answers.find(f);
        if (answer == px.answers.end()) return;
        const bool passed = answer->second;
        px.answers.erase(answer);
        if (!passed) return;
        pending = std::find(px.events.begin(), px.events.end(), std::make_pair(f, 1));
        if (pending != px.events.end()) px.events.erase(pending);
        else px.events.emplace_back(f, 0);
        if (px.count > 0) --px.count;
        if (px.count == 0) px.dirty = false;
        px.dirty_departure = true;
    }

    void catch_up() {
        ModelShadow& bf = shadow(Gate::Bf);
        if (bf.dirty) {
            bf.bf_eval_window(2, 0, true);
            for (FactId f : std::exchange(bf.expired, {})) {
                const bool was = holds(bf.members, f);
                bf.bf_eval_window(0, f, false);
                if (was && bf.members.empty()) bf.open_hint = true;
            }
            bf.dirty = false;
        }
        ModelShadow& ex = shadow(Gate::Ex);
        if (ex.dirty) {
            ex.ex_eval_window(2, 0, true);
            ex.out_base = ex.out.size();
            for (FactId f : std::exchange(ex.expired, {})) ex.ex_eval_window(0, f, false);
            ex.out_base = 0;
            ex.dirty = false;
        }
        // Between fires no marked rule keeps activations: each fire runs
        // its rules dry (nothing stops a fire early here).
        ModelShadow& pn = shadow(Gate::Pn);
        if (pn.dirty || !pn.armed) pn.pn_eval(true);
        pn.dirty = false;
        ModelShadow& px = shadow(Gate::Px);
        if (px.dirty || px.dirty_departure) {
            px.px_eval();
            px.dirty = px.dirty_departure = false;
        }
    }

    std::mt19937 rng_;
    Engine on_, off_;
    std::vector<ModelShadow> shadows_;  // by Gate
    std::vector<ModelFact> facts_;      // by FactId
    std::map<std::pair<int64_t, FactId>, FactId> deadlines_;
    std::vector<FactId> expired_queue_;
    int64_t clock_ = 0;
    bool immediate_ = false;
    size_t fires_ = 0;
};

}  // namespace

TEST(ShadowOrder, RandomSessionsFireTheSameSetAsWithoutEvaluatorsInTheOrderOfAListModel) {
    size_t fires = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        ShadowSession s(seed);
        for (int k = 0; k < 120 && !::testing::Test::HasFatalFailure(); ++k) s.step();
        if (!::testing::Test::HasFatalFailure()) s.fire();
        if (::testing::Test::HasFatalFailure()) return;
        fires += s.fires();
    }
    EXPECT_GT(fires, 500u);
}
