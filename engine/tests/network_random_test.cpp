// Seeded random batches of left and right inserts, updates and deletes applied
// to join, not and exists nodes of every index kind, with left tuples of one,
// two and three facts and keys mixing integers, floats, NaN and null; after
// each batch the consumed output and the node's alive children must equal a
// brute-force recomputation over the facts present. Between batches the
// engine's other moves are interleaved: re-adds of facts whose unread fields
// changed, output left unconsumed at the child, due timers of a temporal not,
// and a second target fed through peer merges and evaluated lazily.
//
// Small runs draw from 24 facts a side in batches of 1-8 operations. Large
// runs draw from 90 a side and make one batch in three of 40-160 operations,
// enough inserts on one side for keys to be walked ahead; in some of them the
// environment hands keys as integer words, or lets equal keys decide the
// test, or both.
//
// The order matters as much as the answer: every evaluation's output lists,
// in the order they came out, and the memories in their order go into one
// transcript per seed, compared with the recording under data/orders/ (see
// order_recording.h for re-recording after an intended change of order).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include "network/walk_ahead.h"
#include "network_scripted_env.h"
#include "order_recording.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

// Left tuples stand for left facts a = 1..lefts: [a], or with two and three
// facts [s, a] and [s, t, a], whose leading facts s (and t) several tuples
// share. Right facts are right_base+1 ... Every left and right fact carries a
// small integer, NaN or null. The ranges do not overlap.
struct Scale {
    FactId lefts;
    FactId rights;
    FactId right_base;
    FactId shared_base;
    bool long_batches;  // one batch in three of 40-160 operations
};
constexpr Scale kSmall{24, 24, 100, 60, false};
constexpr Scale kLarge{90, 90, 300, 200, true};

Tuple left_tuple(const Scale& scale, FactId a, int arity) {
    if (arity == 1) return {a};
    if (arity == 2) return {scale.shared_base + a % 4, a};
    return {scale.shared_base + a % 4, scale.shared_base + 10 + a % 3, a};
}

// What the scripted environment lets a large run use: keys of one integer
// as words, and equal keys deciding the test (the engine's key_decides),
// each on in half of the runs, both in a quarter.
struct Switches {
    bool int_words = false;
    bool keys_decide = false;
};

struct Config {
    Kind kind;
    IndexSpec index_op;  // a range index only on not/exists nodes
    bool temporal;
    const char* name;
};

void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

// A fact's value: a small integer, or NaN or null, which stand in no relation
// to anything (not even `!=`), so they never match, whatever their keys reach.
struct Val {
    enum Kind : uint8_t { Int, NaN, Null } kind = Int;
    int64_t v = 0;
};

// A pair (t, f) matches when the right fact's value stands in the node's
// relation to the value of the tuple's last fact (`field op bound`; equality
// for joins and unindexed nodes) and a fixed side condition on the ids holds.
bool side_ok(const Tuple& t, FactId f) {
    uint64_t sum = 0;
    for (FactId g : t) sum = sum * 3 + g;
    return (sum * 7 + f) % 5 != 0;
}

// The second target, fed only through peer merges: a join of the node's
// output with three fixed facts, or a not or exists node over one fixed fact.
bool peer_pairs(const Tuple& t, FactId g) {
    uint64_t sum = g;
    for (FactId f : t) sum += f;
    return sum % 3 != 0;
}
std::vector<FactId> peer_facts(Kind kind) {
    return kind == Kind::Join ? std::vector<FactId>{500, 501, 502} : std::vector<FactId>{501};
}

struct Batch {
    Staged<Tuple> sl;
    Staged<FactId> sr;
};

// Whether keys of this fact are floats (the value plus a quarter) rather than
// integers: equality keys must still meet across the two.
bool float_keyed(FactId f) { return f % 3 == 1; }

// What a node of `kind` must output for these tuples and facts, sorted.
template <class Match>
Tuples brute_force(Kind kind, const std::vector<Tuple>& tuples, const std::vector<FactId>& facts, const Match& match) {
    Tuples out;
    for (const Tuple& t : tuples) {
        bool any = false;
        for (FactId f : facts) {
            if (!match(t, f)) continue;
            any = true;
            if (kind != Kind::Join) break;
            Tuple c = t;
            c.push_back(f);
            out.push_back(std::move(c));
        }
        if ((kind == Kind::Not && !any) || (kind == Kind::Exists && any)) out.push_back(t);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Whether `have` holds exactly the tuples of the sorted `want`; the failure
// names the first tuple where they part.
::testing::AssertionResult holds_exactly(const std::set<Tuple>& have, const Tuples& want) {
    auto [h, w] = std::mismatch(have.begin(), have.end(), want.begin(), want.end());
    if (h == have.end() && w == want.end()) return ::testing::AssertionSuccess();
    auto text = [](auto it, auto end) { return it == end ? std::string("nothing") : debug(TupleView(*it)); };
    return ::testing::AssertionFailure() << have.size() << " tuples held, " << want.size() << " wanted; first held "
                                         << text(h, have.end()) << " where " << text(w, want.end()) << " is wanted";
}

// A consumer of a node's output: deletes, inserts and updates must each make
// sense against what it has received so far.
void consume_into(std::set<Tuple>& seen, const Staged<Tuple>& batch, const std::string& who) {
    auto text = [](const Tuple& t) { return debug(TupleView(t)); };
    for (const auto& e : batch.del) ASSERT_EQ(seen.erase(e.item), 1u) << who << ": delete of absent " << text(e.item);
    for (const auto& e : batch.ins) ASSERT_TRUE(seen.insert(e.item).second) << who << ": second insert " << text(e.item);
    for (const auto& e : batch.upd) ASSERT_TRUE(seen.contains(e.item)) << who << ": update of absent " << text(e.item);
}

class Driver {
public:
    // Integer values are drawn from 0..ints-1.
    Driver(Config c, uint32_t seed, Scale scale = kSmall, Switches switches = {}, int ints = 5)
        : cfg_(c), scale_(scale), node_(Node::new_ex(c.index_op, c.kind, c.temporal)), rng_(seed),
          arity_(1 + seed % 3), ints_(ints) {
        peer_env_.shared_table = &world_.table;
        world_.update_optimization = (seed % 2) == 0;
        // As the engine's environment does, the switches apply only to an
        // equality index on values (not on event times). Where equal keys
        // decide, the test is the equality alone: no side condition.
        const bool on_values = c.index_op == IndexSpec::equality() && !c.temporal;
        world_.int_words = on_values && switches.int_words;
        world_.keys_decide = on_values && switches.keys_decide;
        side_condition_ = !world_.keys_decide;
        value_.resize(scale.right_base + scale.rights + 1);
        world_.allow = [this](const Tuple& t, FactId f) { return matches(t, f); };
        // A range scan applies the relation and allowed_ce leaves it out, as
        // the engine's does. An equality index only narrows: the engine tests
        // equality again (NaN keys meet integer 0 keys), but the index must
        // never offer an integer partner of another value.
        if (c.index_op.kind() == IndexKind::Range && !c.temporal) world_.allow_ce = side_ok;
        if (c.index_op == IndexSpec::equality() && !c.temporal) {
            world_.allow_ce = [this](const Tuple& t, FactId f) {
                const Val &a = value_.at(t.back()), &b = value_.at(f);
                if (a.kind == Val::Int && b.kind == Val::Int && a.v != b.v) {
                    ADD_FAILURE() << cfg_.name << ": the index offered " << f << " to " << debug(TupleView(t));
                }
                return matches(t, f);
            };
        }
        // Keys: the values, except that a temporal node keys on event times,
        // which say nothing about the relation; the node must not filter by them.
        if (c.index_op != IndexSpec::none()) {
            world_.left_key = [this](const Tuple& t) { return key_of(t.back(), 1000 + t.back()); };
            world_.right_key = [this](FactId f) { return key_of(f, f); };
        }
        // A temporal not defers every free tuple; the driver lets the clock
        // pass every fire time after each batch.
        if (c.kind == Kind::Not && c.temporal) {
            for (FactId a = 1; a <= scale_.lefts; ++a) world_.fire_times[tuple_of(a)] = 0;
        }
        peer_env_.allow = peer_pairs;
        peer_node_ = Node::new_ex(IndexSpec::none(), static_cast<Kind>(seed % 3), false);
        for (FactId g : peer_facts(peer_node_.kind())) peer_node_.stage_right_insert(g, 0, Insert);
        evaluate_peer();
    }

    // One random batch of 1..8 operations (in large runs, one in three of
    // 40..160), applied to the facts and staged.
    Batch make_batch() {
        if (scale_.long_batches && pick(0, 2) == 0) return make_long_batch();
        Batch b;
        int ops = pick(1, 8);
        bool insert_only = cfg_.temporal && pick(0, 2) == 0;  // exercises the admission path
        for (int k = 0; k < ops; ++k) {
            int what = insert_only ? pick(0, 1) * 3 : pick(0, 5);
            change(b, what % 2 == 0, what / 2);
        }
        return b;
    }

    // A long batch leans to one side and fills, churns or drains it, so
    // that one side's inserts often reach the walk ahead and later ones
    // find room again. Inserts take absent facts.
    Batch make_long_batch() {
        static constexpr int kLeftShare[3] = {3, 10, 17};  // of 20
        static constexpr int kWeights[3][2] = {{7, 9}, {4, 7}, {1, 3}};  // of 10: ins below [0], upd below [1]
        Batch b;
        const int ops = pick(40, 160);
        const int lean = pick(0, 2);
        const int mode = pick(0, 2);
        const bool insert_only = cfg_.temporal && pick(0, 2) == 0;
        for (int k = 0; k < ops; ++k) {
            const bool left = pick(0, 19) < kLeftShare[lean];
            const int r = pick(0, 9);
            const int what = insert_only || r < kWeights[mode][0] ? 0 : r < kWeights[mode][1] ? 1 : 2;
            change(b, left, what, true);
        }
        if (b.sl.ins.size() >= kWalkAheadFrom || b.sr.ins.size() >= kWalkAheadFrom) ++walked_;
        return b;
    }
    // Batches with enough inserts on one side to be walked ahead.
    int walked() const { return walked_; }

    // Updates that change no field the pattern reads: the engine only moves the
    // fact to the end of the right memory (re-attaching a not node's tuples),
    // and no output may change, now or after later batches.
    void touch_some_rights() {
        int n = pick(0, 2);
        for (int k = 0; k < n; ++k) {
            auto f = any_of(rights_);
            if (!f) return;
            if (cfg_.kind == Kind::Not && !cfg_.temporal) {
                node_.not_mask_miss_re_add(world_, 0, *f);
            } else {
                node_.re_add_right_fact(*f, right_key(world_, 0, *f));
            }
        }
    }

    // Evaluates the batch. The output joins the child's unconsumed batch as
    // the engine's first target does; the child consumes it only now and then,
    // so the node also has to cancel and refresh entries still pending there.
    // Returns whether the child consumed.
    bool run_batch(Batch b) {
        Out out(pending_);
        do_node(world_, 0, node_, world_.ids(b.sl), std::move(b.sr), out);
        node_.verify();
        world_.tested.clear();  // the log of tests asked grows without bound otherwise
        note_output("out", world_.tuples(), out.trg);
        if (!out.trg.empty()) peer_node_.peer_merge_left(out.trg);
        pending_ = Staged<TupleId>::append_into_pending(std::move(pending_), std::move(out.trg));
        if (pick(0, 2) == 0) return false;
        consume();
        return true;
    }

    // The engine's timers: every deferred tuple is due; it is released to the
    // node, whose next evaluation emits it if it is still free.
    // Returns whether the child consumed, or nothing when no timer was due.
    std::optional<bool> fire_timers() {
        if (node_.deferred().empty()) return std::nullopt;
        for (DeferredEntry& d : node_.take_deferred()) node_.park(d.tuple, d.stamp);
        return run_batch(Batch{});
    }

    // Evaluates the peer target on everything merged into it so far; its
    // output is consumed at once.
    void evaluate_peer() {
        Staged<TupleId> pending;
        Out out(pending);
        do_node(peer_env_, 1, peer_node_, peer_node_.take_staged_left(),
                peer_node_.take_staged_right(), out);
        peer_node_.verify();
        peer_env_.tested.clear();
        note_output("peer", peer_env_.tuples(), out.trg);
        consume_into(peer_out_, peer_env_.facts(out.trg), std::string(cfg_.name) + " peer");
    }

    // The transcript of everything this driver saw come out, in order.
    const std::string& transcript() const { return transcript_; }

    // The memories in their order (arrival order, updated entries last),
    // with their keys and the lefts' sequence numbers.
    void note_memories() {
        const TupleTable& tt = world_.tuples();
        transcript_ += "  rights=" + debug(node_.right_memory()) + "\n  lefts=" + debug(tt, node_.left_memory()) + "\n  seqs=";
        for (const auto& e : node_.left_memory()) transcript_ += std::to_string(node_.left_seq(e.item)) + " ";
        transcript_ += "\n";
    }

    // One batch and the checks after it. The child consumes, and the peer
    // target is evaluated, now and then; the last batch does both.
    void step(bool last, const std::string& where) {
        transcript_ += where + "\n";
        touch_some_rights();
        bool consumed = run_batch(make_batch());
        if (auto fired = fire_timers()) consumed = *fired;
        if (last && !consumed) consume();
        if (::testing::Test::HasFatalFailure()) return;
        const Tuples want = expected();
        if (consumed || last) {
            ASSERT_TRUE(holds_exactly(consumed_, want)) << where;
        }
        Tuples alive = world_.facts(node_.alive_children());
        std::sort(alive.begin(), alive.end());
        ASSERT_EQ(alive, want) << where;
        bool peer = pick(0, 1) != 0;
        if (peer || last) {
            evaluate_peer();
            if (peer && last) evaluate_peer();
            const Tuples peer_want = brute_force(peer_node_.kind(), want, peer_facts(peer_node_.kind()), peer_pairs);
            ASSERT_TRUE(holds_exactly(peer_out_, peer_want)) << where;
        }
        check_blocking();
        note_memories();
    }

    // What the node's output must hold for the facts present now.
    Tuples expected() const {
        std::vector<Tuple> tuples;
        for (FactId a : lefts_) tuples.push_back(tuple_of(a));
        return brute_force(cfg_.kind, tuples, {rights_.begin(), rights_.end()},
                           [this](const Tuple& t, FactId f) { return matches(t, f); });
    }

    void consume() { consume_into(consumed_, world_.facts(std::exchange(pending_, {})), cfg_.name); }

    // Not/exists bookkeeping: every present tuple is either in `lefts` or
    // blocked by a present fact, never both, and the two blocker maps agree.
    void check_blocking() const {
        if (cfg_.kind == Kind::Join) return;
        for (FactId f : node_.blockers()) EXPECT_TRUE(rights_.contains(f)) << cfg_.name << ": absent blocker " << f;
        for (FactId a : lefts_) {
            Tuple t = tuple_of(a);
            auto blocker = node_.blocker_of(world_.id(t));
            EXPECT_NE(blocker.has_value(), node_.left_memory().contains(world_.id(t))) << cfg_.name << ": " << debug(TupleView(t));
            if (blocker) {
                EXPECT_TRUE(matches(t, *blocker)) << cfg_.name;
            }
        }
        EXPECT_EQ(node_.left_memory().size() + node_.blocked_count(), lefts_.size()) << cfg_.name;
        EXPECT_EQ(node_.right_memory().size(), rights_.size()) << cfg_.name;
    }

private:
    bool matches(const Tuple& t, FactId f) const {
        CmpOp op = cfg_.index_op.op();
        const Val &a = value_.at(f), &b = value_.at(t.back());
        if (a.kind != Val::Int || b.kind != Val::Int) return false;
        return eval_cmp(Value::i64(a.v), op, Value::i64(b.v)) && (!side_condition_ || side_ok(t, f));
    }
    Tuple tuple_of(FactId a) const { return left_tuple(scale_, a, arity_); }
    // Equality keys of some facts are floats with the same integer part; NaN
    // is a float key, null a null key, under every index.
    Key key_of(FactId f, int64_t event_time) const {
        if (cfg_.temporal) return std::vector<Value>{Value::i64(event_time)};
        const Val& v = value_.at(f);
        if (v.kind == Val::NaN) return std::vector<Value>{Value::f64(std::nan(""))};
        if (v.kind == Val::Null) return std::vector<Value>{Value::null()};
        if (cfg_.index_op == IndexSpec::equality() && float_keyed(f)) {
            return std::vector<Value>{Value::f64(static_cast<double>(v.v) + 0.25)};
        }
        return std::vector<Value>{Value::i64(v.v)};
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    // Mostly an integer; one draw in six NaN or null. Five values come from
    // the draw that picks the kind, as the recorded runs drew them.
    Val fresh_value() {
        int r = pick(0, 11);
        if (r == 10) return {Val::NaN, 0};
        if (r == 11) return {Val::Null, 0};
        if (ints_ != 5) return {Val::Int, pick(0, ints_ - 1)};
        return {Val::Int, r % 5};
    }

    // One evaluation's output, every list in its order.
    void note_output(const char* who, const TupleTable& tt, const Staged<TupleId>& s) {
        transcript_ += std::string("  ") + who + " ins=" + debug(tt, s.ins) + " upd=" + debug(tt, s.upd) +
                       " del=" + debug(tt, s.del) + " cancelled=" + debug(tt, s.cancelled) +
                       " reinserted=" + debug(tt, s.reinserted) + "\n";
    }

    std::optional<FactId> any_of(const std::set<FactId>& s) {
        if (s.empty()) return std::nullopt;
        auto it = s.begin();
        std::advance(it, pick(0, static_cast<int>(s.size()) - 1));
        return *it;
    }

    // Inserts a fact that is absent (what 0), or updates (1) or deletes (2) a
    // present one, on the left or the right input. An insert draws any fact
    // and does nothing when it is present, or with `absent` draws an absent one.
    void change(Batch& b, bool left, int what, bool absent = false) {
        std::set<FactId>& present = left ? lefts_ : rights_;
        const FactId base = left ? 0 : scale_.right_base;
        const int count = static_cast<int>(left ? scale_.lefts : scale_.rights);
        std::optional<FactId> f;
        if (what == 0 && absent) {
            const int room = count - static_cast<int>(present.size());
            if (room == 0) return;
            int skip = pick(0, room - 1);
            for (FactId g = base + 1;; ++g) {
                if (!present.contains(g) && skip-- == 0) {
                    f = g;
                    break;
                }
            }
            present.insert(*f);
        } else if (what == 0) {
            f = base + 1 + static_cast<FactId>(pick(0, count - 1));
            if (!present.insert(*f).second) return;
        } else if (!(f = any_of(present))) {
            return;
        }
        if (what < 2) value_[*f] = fresh_value();
        if (what == 2) present.erase(*f);
        Stamp s = ++stamp_;
        if (left) {
            Tuple t = tuple_of(*f);
            what == 0 ? b.sl.add_ins_ph(t, s, Insert) : what == 1 ? b.sl.add_upd_ph(t, s, Change) : b.sl.add_del(t, s);
        } else {
            // A re-insert while the fact's delete is still staged carries RightInsert.
            what == 0 ? b.sr.add_ins_ph(*f, s, b.sr.del.contains(*f) ? RightInsert : Insert)
            : what == 1 ? b.sr.add_upd_ph(*f, s, Change) : b.sr.add_del(*f, s);
        }
    }

    Config cfg_;
    Scale scale_;
    bool side_condition_ = true;  // off where equal keys decide
    int walked_ = 0;
    ScriptedEnv world_;
    // Every fact ever seen, present or not, by id (a vector: the brute force
    // reads it for every pair after every batch).
    std::vector<Val> value_;
    Node node_;
    std::mt19937 rng_;
    std::set<FactId> lefts_;
    std::set<FactId> rights_;
    int arity_;  // facts per left tuple
    int ints_;   // distinct integer values
    std::set<Tuple> consumed_;  // the child tuples the output has delivered
    Staged<TupleId> pending_;   // delivered but not consumed yet
    ScriptedEnv peer_env_;
    Node peer_node_ = Node::new_ex(IndexSpec::none(), Kind::Join, false);
    std::set<Tuple> peer_out_;
    uint64_t stamp_ = 0;
    std::string transcript_;
};

class RandomBatches : public ::testing::TestWithParam<Config> {};

// Seeds 1-40 are small runs; 41 on large ones, the switches and the spread
// of values taking turns.
TEST_P(RandomBatches, OutputEqualsBruteForceAfterEveryBatch) {
    OrderRecording recording(std::string("network_") + GetParam().name);
    constexpr uint32_t kSmallSeeds = 40, kLargeSeeds = 16;
    int walked = 0;
    for (uint32_t seed = 1; seed <= kSmallSeeds + kLargeSeeds; ++seed) {
        const bool large = seed > kSmallSeeds;
        const Switches switches{large && seed % 2 == 0, large && seed % 4 >= 2};
        // Five values make long buckets; forty, in every other four large
        // runs, buckets of one or two entries.
        const int ints = large && seed / 4 % 2 == 1 ? 40 : 5;
        Driver d(GetParam(), seed, large ? kLarge : kSmall, switches, ints);
        for (int batch = 0; batch < 60; ++batch) {
            d.step(batch == 59, "seed " + std::to_string(seed) + " batch " + std::to_string(batch));
            if (::testing::Test::HasFailure()) FAIL() << "seed " << seed << " batch " << batch;
        }
        walked += d.walked();
        recording.check(seed, d.transcript());
    }
    // The large runs do reach the walk ahead, several times a run.
    EXPECT_GE(walked, static_cast<int>(2 * kLargeSeeds));
}

const Config kConfigs[] = {
    {Kind::Join, IndexSpec::none(), false, "join"},         {Kind::Join, IndexSpec::equality(), false, "keyed_join"},
    {Kind::Join, IndexSpec::equality(), true, "temporal_keyed_join"},
    {Kind::Not, IndexSpec::none(), false, "not"},           {Kind::Not, IndexSpec::equality(), false, "keyed_not"},
    {Kind::Not, IndexSpec::range(CmpOp::Lt), false, "not_lt"},
    {Kind::Not, IndexSpec::range(CmpOp::Ge), false, "not_ge"},
    {Kind::Not, IndexSpec::equality(), true, "temporal_not"},
    {Kind::Exists, IndexSpec::none(), false, "exists"},     {Kind::Exists, IndexSpec::equality(), false, "keyed_exists"},
    {Kind::Exists, IndexSpec::range(CmpOp::Gt), false, "exists_gt"},
    {Kind::Exists, IndexSpec::range(CmpOp::Ne), false, "exists_ne"},
    {Kind::Exists, IndexSpec::equality(), true, "temporal_exists"},
};

INSTANTIATE_TEST_SUITE_P(Nodes, RandomBatches, ::testing::ValuesIn(kConfigs),
    [](const ::testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

}  // namespace
