#include <gtest/gtest.h>

#include <algorithm>

#include "engine/join_env_impl.h"
#include "network/network.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

CompiledCmp cmp(size_t field, CmpOp op, Src rhs) {
    CompiledCmp c;
    c.test.kind = Test::Kind::Cmp;
    c.test.op = op;
    c.test.rhs = std::move(rhs);
    c.field = field;
    return c;
}

CompiledCmp temporal(AllenOp op, std::vector<int64_t> params, size_t anchor, size_t anchor_ts, size_t own_ts,
                     std::optional<size_t> own_duration = std::nullopt) {
    CompiledCmp c;
    c.test.kind = Test::Kind::Temporal;
    c.test.allen = op;
    c.test.params = std::move(params);
    c.test.anchor = anchor;
    c.test.anchor_ts_field = anchor_ts;
    c.test.own_duration_field = own_duration;
    c.field = own_ts;
    c.label = "$a";
    return c;
}

CompiledPattern pattern(TypeId type, std::optional<size_t> position, std::vector<CompiledCmp> cmps) {
    CompiledPattern p;
    p.type_id = type;
    p.position = position;
    p.ce = position ? CeKind::Positive : CeKind::Not;
    p.cmps = std::move(cmps);
    return p;
}

// A(k: I64, v: F64, ts: I64?) and B(k: I64, x: I64, ts: I64?, d: I64?).
struct Rig {
    FactStore store{{TypeSchema{"A", {{"k", FieldType::i64()}, {"v", FieldType::f64()}, {"ts", FieldType::i64()}}, 4},
                     TypeSchema{"B",
                                {{"k", FieldType::i64()},
                                 {"x", FieldType::i64()},
                                 {"ts", FieldType::i64()},
                                 {"d", FieldType::i64()}},
                                12},
                     TypeSchema{"C", {{"k", FieldType::str()}}, 0}}};
    CompiledRule rule;

    FactId a(int64_t k, double v, Value ts) { return *store.insert(0, {Value::i64(k), Value::f64(v), ts}); }
    FactId b(int64_t k, int64_t x, Value ts, Value d = Value()) {
        return *store.insert(1, {Value::i64(k), Value::i64(x), ts, d});
    }
    FactId c(std::string k) { return *store.insert(2, {Value::str(std::move(k))}); }
    JoinEnvImpl env() const { return JoinEnvImpl(7, store, rule, 0, false, tuples, switches); }
    mutable TupleTable tuples;
    TraceSwitches switches;
};

}  // namespace

TEST(JoinEnvImpl, EqualityJoinKeysAndTests) {
    Rig r;
    r.rule.patterns = {
        pattern(0, 0, {}),
        // B(k == $a.k, x > 2, x != $b.k) with $b this very pattern.
        pattern(1, 1, {cmp(0, CmpOp::Eq, Src::fact_field(0, 0)), cmp(1, CmpOp::Gt, Src::literal(Value::i64(2))),
                       cmp(1, CmpOp::Ne, Src::fact_field(1, 0))}),
        // B(k == $a.v): an integer against a float truncates.
        pattern(1, 1, {cmp(0, CmpOp::Eq, Src::fact_field(0, 1))}),
        pattern(1, 1, {}),
        // B(x == $b.k): an equality with the pattern's own fact is no key.
        pattern(1, 1, {cmp(1, CmpOp::Eq, Src::fact_field(1, 0))}),
    };
    FactId a = r.a(3, 3.7, Value());
    FactId good = r.b(3, 7, Value());
    FactId low = r.b(3, 2, Value());
    FactId same = r.b(3, 3, Value());
    FactId other = r.b(4, 4, Value());
    JoinEnvImpl env = r.env();
    std::vector<FactId> t{a};

    EXPECT_EQ(debug_key(left_key(env, 0, t)), "Some([I64(3)])");
    EXPECT_EQ(debug_key(right_key(env, 0, good)), "Some([I64(3)])");
    EXPECT_TRUE(env.allowed(0, t, good));
    EXPECT_FALSE(env.allowed(0, t, low));
    EXPECT_FALSE(env.allowed(0, t, same));
    EXPECT_FALSE(env.allowed(0, t, other));
    EXPECT_TRUE(env.allowed(1, t, good));  // 3 == trunc(3.7)
    EXPECT_FALSE(env.allowed(1, t, other));
    EXPECT_EQ(debug_key(left_key(env, 1, t)), "Some([F64(3.7)])");
    // No tests: no key, and everything passes.
    EXPECT_EQ(debug_key(left_key(env, 2, t)), "None");
    EXPECT_EQ(debug_key(right_key(env, 2, other)), "None");
    EXPECT_TRUE(env.allowed(2, t, other));
    EXPECT_TRUE(env.allowed_ce(2, t, other));
    EXPECT_EQ(env.not_fire_time(2, t), std::nullopt);
    EXPECT_EQ(debug_key(left_key(env, 3, t)), "None");
    EXPECT_EQ(debug_key(right_key(env, 3, other)), "None");
    EXPECT_TRUE(env.allowed(3, t, other));
    EXPECT_FALSE(env.allowed(3, t, good));

    EXPECT_EQ(env.mark(), 7u);
    EXPECT_FALSE(env.join_expired());
    r.store.expired.insert(other);
    EXPECT_TRUE(env.is_expired(other));
    EXPECT_FALSE(env.is_expired(good));
}

TEST(JoinEnvImpl, RangeIndexedNotPattern) {
    Rig r;
    // not B(x < $a.k, k == 1): the range comparison is the indexed one.
    CompiledPattern p = pattern(1, std::nullopt, {cmp(1, CmpOp::Lt, Src::fact_field(0, 0)),
                                                  cmp(0, CmpOp::Eq, Src::literal(Value::i64(1)))});
    p.range_cmp = 0;
    p.index_op = IndexSpec::range(CmpOp::Lt);
    r.rule.patterns = {pattern(0, 0, {}), p};
    FactId a = r.a(10, 0, Value());
    FactId below = r.b(1, 4, Value());
    FactId above = r.b(1, 40, Value());
    FactId wrong_k = r.b(2, 4, Value());
    JoinEnvImpl env = r.env();
    std::vector<FactId> t{a};
    EXPECT_EQ(debug_key(left_key(env, 0, t)), "Some([I64(10)])");
    EXPECT_EQ(debug_key(right_key(env, 0, above)), "Some([I64(40)])");
    EXPECT_TRUE(env.allowed(0, t, below));
    EXPECT_FALSE(env.allowed(0, t, above));
    // The probe already applied x < 10, so allowed_ce tests only the rest.
    EXPECT_TRUE(env.allowed_ce(0, t, above));
    EXPECT_FALSE(env.allowed_ce(0, t, wrong_k));

    // Through a real not node: only facts below the bound block the tuple.
    Node node = Node::new_ex(IndexSpec::range(CmpOp::Lt), Kind::Not, false);
    node.store_right(above, right_key(env, 0, above));
    EXPECT_EQ(node.find_blocker(env, 0, env.tuples().intern(t), std::nullopt, Staged<FactId>{}), std::nullopt);
    node.store_right(below, right_key(env, 0, below));
    EXPECT_EQ(node.find_blocker(env, 0, env.tuples().intern(t), std::nullopt, Staged<FactId>{}), std::optional<FactId>(below));
}

TEST(JoinEnvImpl, TemporalKeysTestsAndFireTimes) {
    Rig r;
    // $a : A()  B(this after[0, 10] $a)  not B(this before[0, 5] $a)  B(this meets $a)  B(this during[1, 20] $a)
    CompiledPattern after = pattern(1, 1, {temporal(AllenOp::After, {0, 10}, 0, 2, 2, 3)});
    CompiledPattern before = pattern(1, std::nullopt, {temporal(AllenOp::Before, {0, 5}, 0, 2, 2)});
    before.range_cmp = 0;  // ignored: a temporal node probes by event time
    CompiledPattern before_late = pattern(1, std::nullopt, {temporal(AllenOp::Before, {1, 5}, 0, 2, 2)});
    CompiledPattern meets = pattern(1, 1, {temporal(AllenOp::Meets, {}, 0, 2, 2)});
    r.rule.patterns = {pattern(0, 0, {}), after, before, before_late, meets};
    FactId a = r.a(0, 0, Value::i64(100));
    // The recorded event time wins over the field for keys and tests ...
    r.store.event_ts[a] = 90;
    FactId b_in = r.b(0, 0, Value::i64(95), Value::i64(3));  // as 95, ae 98; 95 - 90 = 5
    FactId b_out = r.b(0, 0, Value::i64(101));               // 11 after
    FactId b_null = r.b(0, 0, Value());
    JoinEnvImpl env = r.env();
    std::vector<FactId> t{a};
    EXPECT_EQ(debug_key(left_key(env, 0, t)), "Some([I64(90)])");
    EXPECT_EQ(debug_key(right_key(env, 0, b_in)), "Some([I64(95)])");
    EXPECT_EQ(debug_key(right_key(env, 0, b_null)), "Some([Null])");
    EXPECT_TRUE(env.allowed(0, t, b_in));
    EXPECT_FALSE(env.allowed(0, t, b_out));
    EXPECT_FALSE(env.allowed(0, t, b_null));
    // ... but a temporal not waits from the stored field: 100 + 10.
    EXPECT_EQ(env.not_fire_time(0, t), std::optional<int64_t>(110));
    EXPECT_EQ(env.not_fire_time(1, t), std::optional<int64_t>(100));
    EXPECT_EQ(env.not_fire_time(2, t), std::nullopt);  // before with a lower bound
    EXPECT_EQ(env.not_fire_time(3, t), std::nullopt);  // meets
    // this before a: 0 <= 90 - end(this) <= 5; b_in ends at 98.
    EXPECT_FALSE(env.allowed_ce(1, t, b_in));
    EXPECT_FALSE(env.allowed_ce(1, t, b_null));
    FactId b_early = r.b(0, 0, Value::i64(87));  // 90 - 87 = 3 within [0, 5]
    EXPECT_TRUE(env.allowed_ce(1, t, b_early));
    FactId b_meets = r.b(0, 0, Value::i64(90));
    EXPECT_TRUE(env.allowed(3, t, b_meets));
    EXPECT_FALSE(env.allowed(3, t, b_early));

    // A null anchor time: no fire time, no match.
    FactId a_null = r.a(0, 0, Value());
    std::vector<FactId> tn{a_null};
    EXPECT_EQ(env.not_fire_time(0, tn), std::nullopt);
    EXPECT_FALSE(env.allowed(0, tn, b_in));
}

TEST(JoinEnvImpl, GroupsReadingBindingsJoin) {
    Rig r;
    GExpr g;
    g.kind = GExpr::Kind::Or;
    GExpr eq;
    eq.kind = GExpr::Kind::Cmp;
    eq.field = 0;
    eq.operand = Src::fact_field(0, 0);
    GExpr dur_null;
    dur_null.kind = GExpr::Kind::IsNull;
    dur_null.field = 3;
    g.children = {eq, dur_null};
    CompiledCmp c;
    c.test.kind = quarn::Test::Kind::Group;
    c.test.refs_bindings = true;
    c.test.expr = g;
    r.rule.patterns = {pattern(0, 0, {}), pattern(1, 1, {c})};
    FactId a = r.a(5, 0, Value());
    JoinEnvImpl env = r.env();
    std::vector<FactId> t{a};
    EXPECT_TRUE(env.allowed(0, t, r.b(5, 0, Value(), Value::i64(1))));
    EXPECT_TRUE(env.allowed(0, t, r.b(6, 0, Value(), Value())));
    EXPECT_FALSE(env.allowed(0, t, r.b(6, 0, Value(), Value::i64(1))));
    EXPECT_EQ(debug_key(left_key(env, 0, t)), "None");  // groups give no key
}

TEST(JoinEnvImpl, LeftUpdateShortcutCountsTestsThatReadTheTuple) {
    Rig r;
    CompiledCmp refs_group;
    refs_group.test.kind = quarn::Test::Kind::Group;
    refs_group.test.refs_bindings = true;
    CompiledCmp own_group = refs_group;
    own_group.test.refs_bindings = false;
    auto eq = [](size_t p) { return cmp(0, CmpOp::Eq, Src::fact_field(p, 0)); };
    auto lt = [](size_t p) { return cmp(1, CmpOp::Lt, Src::fact_field(p, 1)); };
    auto lit = cmp(0, CmpOp::Lt, Src::literal(Value::i64(1)));
    auto tmp = temporal(AllenOp::After, {0, 1}, 0, 2, 2);
    struct Case {
        std::vector<CompiledCmp> cmps;
        bool expected;
    };
    const Case cases[] = {
        {{}, true},
        {{lt(0)}, true},
        {{eq(0), eq(0)}, true},
        {{eq(0), lt(0)}, false},
        {{eq(0), refs_group}, false},
        {{lt(0), own_group, lit, tmp}, true},
        {{lt(0), tmp, tmp}, true},
        // A comparison with the pattern's own fact does not read the tuple.
        {{lt(0), lt(1)}, true},
    };
    for (const Case& c : cases) {
        r.rule.patterns = {pattern(0, 0, {}), pattern(1, 1, c.cmps)};
        EXPECT_EQ(r.env().left_update_optimization(0), c.expected) << c.cmps.size();
    }
}

TEST(JoinEnvImpl, TextKeysOwnTheirTexts) {
    // Texts are read where the store keeps them (a null text is a Null value);
    // a key stays readable after the call that made it.
    FactStore store({TypeSchema{"S", {{"a", FieldType::str()}, {"b", FieldType::str()}}, 2}});
    const std::string long_a(40, 'a'), long_b(40, 'b');
    FactId f = *store.insert(0, {Value::str(long_a), Value::str(long_b)});
    FactId g = *store.insert(0, {Value::str(""), Value::null()});
    CompiledRule rule;
    rule.patterns = {pattern(0, 0, {}),
                     pattern(0, 1, {cmp(0, CmpOp::Eq, Src::fact_field(0, 1)), cmp(1, CmpOp::Eq, Src::fact_field(0, 0))})};
    TupleTable tuples;
    TraceSwitches switches;
    JoinEnvImpl env(0, store, rule, 0, false, tuples, switches);
    std::vector<FactId> t{f};
    EXPECT_EQ(debug_key(left_key(env, 0, t)), "Some([Str(\"" + long_b + "\"), Str(\"" + long_a + "\")])");
    EXPECT_EQ(debug_key(right_key(env, 0, f)), "Some([Str(\"" + long_a + "\"), Str(\"" + long_b + "\")])");
    EXPECT_EQ(debug_key(right_key(env, 0, g)), "Some([Str(\"\"), Null])");
}

TEST(JoinEnvImpl, EqualKeysDecideOnlyEqualityJoinsOverCurrentMemories) {
    Rig r;
    CompiledCmp refs_group;
    refs_group.test.kind = quarn::Test::Kind::Group;
    refs_group.test.refs_bindings = true;
    CompiledCmp own_group = refs_group;
    own_group.test.refs_bindings = false;
    auto eq = [](size_t p, size_t field) { return cmp(0, CmpOp::Eq, Src::fact_field(p, field)); };
    auto lt = [](size_t p) { return cmp(1, CmpOp::Lt, Src::fact_field(p, 1)); };
    auto lit = cmp(1, CmpOp::Gt, Src::literal(Value::i64(1)));
    auto tmp = temporal(AllenOp::After, {0, 1}, 0, 2, 2);
    struct Case {
        std::vector<CompiledCmp> cmps;
        bool expected;
    };
    const Case cases[] = {
        {{}, false},                        // no key: nothing to decide with
        {{eq(0, 0)}, true},
        {{eq(0, 0), eq(0, 1), lit}, true},  // the fact's own tests held when it was admitted
        {{eq(0, 0), own_group}, true},
        {{eq(1, 0)}, false},                // an equality with the fact itself is no key
        {{eq(0, 0), lt(0)}, false},
        {{eq(0, 0), refs_group}, false},
        {{eq(0, 0), tmp}, false},
    };
    for (const Case& c : cases) {
        r.rule.patterns = {pattern(0, 0, {}), pattern(1, 1, c.cmps)};
        JoinEnvImpl env = r.env();
        EXPECT_FALSE(env.key_decides(0)) << c.cmps.size();  // not before the memories are known current
        env.set_keys_current();
        EXPECT_EQ(env.key_decides(0), c.expected) << c.cmps.size();
    }
    // A range-keyed pattern is keyed by its range field.
    r.rule.patterns = {pattern(0, 0, {}), pattern(1, 1, {eq(0, 0), lt(0)})};
    r.rule.patterns[1].range_cmp = 1;
    JoinEnvImpl env = r.env();
    env.set_keys_current();
    EXPECT_FALSE(env.key_decides(0));
}

// A key of one field comes as an integer word exactly where key_of_left
// (key_of_right) would write one integer, read from the field the key reads:
// not for a null, a float, or a key of two fields.
TEST(JoinEnvImpl, IntegerKeysComeAsWordsExactlyWhereTheKeyIsOneInteger) {
    Rig r;
    r.rule.patterns = {
        pattern(0, 0, {}),
        // B(x == $a.ts): fields at different places on the two sides, the left one nullable.
        pattern(1, 1, {cmp(1, CmpOp::Eq, Src::fact_field(0, 2))}),
        // B(k == $a.v): a float on the left.
        pattern(1, 2, {cmp(0, CmpOp::Eq, Src::fact_field(0, 1))}),
        // B(k == $a.k, x == $a.ts): two fields.
        pattern(1, 3, {cmp(0, CmpOp::Eq, Src::fact_field(0, 0)), cmp(1, CmpOp::Eq, Src::fact_field(0, 2))}),
    };
    const std::vector<FactId> as = {r.a(1, 1.0, Value::i64(5)), r.a(2, 2.5, Value()), r.a(-9, 0.0, Value::i64(-4))};
    const std::vector<FactId> bs = {r.b(6, 5, Value()), r.b(1, -4, Value::i64(0))};
    JoinEnvImpl env = r.env();
    EXPECT_TRUE(env.int_keys(0));
    EXPECT_TRUE(env.int_keys(1));
    EXPECT_FALSE(env.int_keys(2));
    size_t words = 0, keys = 0;
    // The word, when one comes, is the key's one integer.
    auto agree = [&](size_t i, const Key& key, bool word, int64_t v, FactId f) {
        ASSERT_EQ(word, env.int_keys(i) && key.size() == 1 && key[0].tag == ValueTag::I64) << i << " " << f;
        if (word) {
            ASSERT_EQ(v, key[0].as_i64()) << i << " " << f;
        }
        words += word;
        keys += !word;
    };
    for (size_t i = 0; i < 3; ++i) {
        for (FactId a : as) {
            const std::vector<FactId> facts = {a, bs[0], bs[1]};
            const TupleView t(facts.data(), i + 1);
            Key key;
            env.key_of_left(i, t, key);
            int64_t v = 0;
            const bool word = env.int_key_of_left(i, t, v);
            agree(i, key, word, v, a);
        }
        for (FactId b : bs) {
            Key key;
            env.key_of_right(i, b, key);
            int64_t v = 0;
            const bool word = env.int_key_of_right(i, b, v);
            agree(i, key, word, v, b);
        }
    }
    EXPECT_EQ(words, 6u);  // lefts 5 and -4 at node 0, both rights at nodes 0 and 1
    EXPECT_EQ(keys, 9u);
}

// Asked a block at a time, the integer keys are those asked one at a time,
// the facts of a block mixing types (the column read changes with the
// type): a null, a float, a text, a field past a fact's own, wide integers.
TEST(JoinEnvImpl, IntegerKeysOfABlockAreThoseOfItsEntriesOneByOne) {
    Rig r;
    r.rule.patterns = {
        pattern(0, 0, {}),
        pattern(1, 1, {cmp(1, CmpOp::Eq, Src::fact_field(0, 2))}),  // B(x == $a.ts)
        pattern(1, 2, {cmp(0, CmpOp::Eq, Src::fact_field(0, 0))}),  // B(k == $a.k)
    };
    constexpr int64_t kWide = int64_t{1} << 61;
    const std::vector<FactId> facts = {
        r.a(1, 1.0, Value::i64(5)),         r.b(6, 5, Value()), r.c("k"), r.a(2, 2.5, Value()),
        r.a(kWide, 0.0, Value::i64(-kWide)), r.b(-kWide, kWide, Value::i64(0)), r.c("5"), r.b(1, -4, Value::i64(0)),
    };
    std::vector<TupleId> tuples;
    for (FactId f : facts) tuples.push_back(r.tuples.extend(TupleTable::empty_tuple, f));
    JoinEnvImpl env = r.env();
    std::string blocks, ones;  // the key, or x for none, per entry
    for (size_t i = 0; i < 2; ++i) {
        int64_t lv[8], rv[8], v = 0;
        const uint32_t lefts = env.int_keys_of_left(i, tuples.data(), 8, lv);
        const uint32_t rights = env.int_keys_of_right(i, facts.data(), 8, rv);
        for (size_t k = 0; k < 8; ++k) {
            blocks += (lefts >> k & 1u) ? std::to_string(lv[k]) + " " : "x ";
            ones += env.int_key_of_left(i, r.tuples.view(tuples[k]), v) ? std::to_string(v) + " " : "x ";
            blocks += (rights >> k & 1u) ? std::to_string(rv[k]) + " " : "x ";
            ones += env.int_key_of_right(i, facts[k], v) ? std::to_string(v) + " " : "x ";
        }
        EXPECT_EQ(lefts >> 8 | rights >> 8, 0u);
    }
    EXPECT_EQ(blocks, ones);
    EXPECT_EQ(std::count(blocks.begin(), blocks.end(), 'x'), 13);
}
