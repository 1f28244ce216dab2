#include <gtest/gtest.h>

#include <functional>

#include "engine/engine.h"

using namespace quarn;

namespace {

// Types 0..4 as declared; the built-ins follow (InitialFact is 5).
Engine make_engine() {
    std::vector<TypeSchema> schemas = {
        {"A", {{"x", FieldType::i64()}, {"y", FieldType::f64()}, {"name", FieldType::str()}}, 0b100},
        {"B", {{"v", FieldType::i64()}}, 0},
        {"C", {{"w", FieldType::i64()}}, 0},
        {"Order", {{"id", FieldType::i64()}, {"customer", FieldType::str()}, {"amount", FieldType::i64()}}, 0},
        {"Ev", {{"ts", FieldType::i64()}, {"dur", FieldType::i64()}}, 0},
    };
    return std::move(Engine::create(std::move(schemas))).value();
}
constexpr TypeId kA = 0, kB = 1, kC = 2, kOrder = 3, kEv = 4, kInitial = 5, kLong = 6;

CompiledPattern pat(TypeId type, std::optional<size_t> position, CeKind ce = CeKind::Positive) {
    CompiledPattern p;
    p.type_id = type;
    p.position = position;
    p.slot = position;
    p.ce = ce;
    return p;
}

CompiledPattern with(CompiledPattern p, CompiledCmp c) {
    p.field_mask |= uint64_t{1} << c.field;
    p.cmps.push_back(std::move(c));
    return p;
}

CompiledCmp cmp(size_t field, CmpOp op, Value lit) {
    CompiledCmp c;
    c.field = field;
    c.test.kind = Test::Kind::Cmp;
    c.test.op = op;
    c.test.rhs = Src::literal(std::move(lit));
    return c;
}

CompiledCmp join(size_t field, CmpOp op, size_t position, size_t other_field) {
    CompiledCmp c = cmp(field, op, Value());
    c.test.rhs = Src::fact_field(position, other_field);
    return c;
}

CompiledCmp test_of(Test::Kind kind, size_t field) {
    CompiledCmp c;
    c.field = field;
    c.test.kind = kind;
    return c;
}

CompiledRule rule_of(std::vector<CompiledPattern> patterns) {
    CompiledRule r;
    r.patterns = std::move(patterns);
    return r;
}

// What loading does after compiling: key every pattern, then build.
void build(Engine& e) {
    std::vector<std::vector<std::string>> keys(e.rules.size());
    for (size_t r = 0; r < e.rules.size(); ++r)
        for (size_t p = 0; p < e.rules[r].patterns.size(); ++p)
            keys[r].push_back(e.pattern_key(e.rules[r].patterns[p], r, p));
    e.build_network(keys);
}

CompiledPattern a_x_gt(int64_t n) { return with(pat(kA, 0), cmp(0, CmpOp::Gt, Value::i64(n))); }

}  // namespace

TEST(PatternKey, FormsOfEveryTest) {
    Engine e = make_engine();
    CompiledCmp temporal_after = test_of(quarn::Test::Kind::Temporal, 0);
    temporal_after.test.allen = AllenOp::After;
    temporal_after.test.params = {0, 5000};
    temporal_after.test.anchor = 0;
    temporal_after.test.anchor_ts_field = 0;
    temporal_after.label = "$e";
    CompiledCmp temporal_before = temporal_after;
    temporal_before.test.allen = AllenOp::Before;
    temporal_before.test.params = {-5, 7};
    CompiledCmp overlaps = temporal_after;
    overlaps.test.allen = AllenOp::Overlaps;
    overlaps.test.params = {1, 5};
    overlaps.test.anchor_duration_field = 1;
    CompiledCmp during = overlaps;
    during.test.allen = AllenOp::During;
    during.test.params = {};
    during.test.own_duration_field = 1;
    during.test.anchor_duration_field.reset();
    CompiledCmp null_test = test_of(quarn::Test::Kind::IsNull, 2);
    CompiledCmp not_null_test = null_test;
    not_null_test.test.negated = true;
    CompiledCmp matches = test_of(quarn::Test::Kind::Matches, 2);
    matches.test.source = "a\"b;1";
    CompiledCmp contains = test_of(quarn::Test::Kind::Contains, 2);
    contains.test.text = "x";
    CompiledCmp group = test_of(quarn::Test::Kind::Group, 0);
    group.test.key = "gOr(g0EqI64(1)g0EqI64(2))";
    CompiledCmp snap = join(0, CmpOp::Lt, 1, 2);
    snap.test.rhs = Src::snap_field(1, 2);

    CompiledPattern bound = pat(kA, 0);
    bound.bound_mask = 0b101;
    bound.entry_point_id = 2;
    CompiledPattern exists_b = pat(kB, std::nullopt, CeKind::Exists);

    struct Case {
        CompiledPattern p;
        std::string key;
    };
    const Case cases[] = {
        {with(pat(kOrder, 0), cmp(2, CmpOp::Gt, Value::i64(100))), "3|Positive|b0|e0;2GtI64(100)"},
        {bound, "0|Positive|b5|e2"},
        {with(exists_b, join(0, CmpOp::Ge, 0, 1)), "1|Exists|b0|e0;0Ge@0.1"},
        {with(with(pat(kA, 0), null_test), not_null_test), "0|Positive|b0|e0;2isnullfalse;2isnulltrue"},
        {with(pat(kA, 0), test_of(quarn::Test::Kind::Unknown, 0)), "0|Positive|b0|e0;0unk3"},
        {with(with(pat(kEv, 1), temporal_after), temporal_before), "4|Positive|b0|e0;0tmptrue0:5000@0.0;0tmpfalse-5:7@0.0"},
        {with(with(pat(kEv, 1), overlaps), during),
         "4|Positive|b0|e0;0alnOverlaps[1, 5]@0.0dNone/Some(1);0alnDuring[]@0.0dSome(1)/None"},
        // Texts are quoted, so a source cannot pass for a following test.
        {with(with(pat(kA, 0), matches), contains), "0|Positive|b0|e0;2m\"a\\\"b;1\";2c\"x\""},
        {with(pat(kA, 0), group), "0|Positive|b0|e0;0gOr(g0EqI64(1)g0EqI64(2))"},
        {with(pat(kA, 1), snap), "0|Positive|b0|e0;0Lt$1.2"},
        // Equality literals key in the field's terms; other operators as written.
        {with(pat(kA, 0), cmp(1, CmpOp::Eq, Value::i64(1))), "0|Positive|b0|e0;1EqF64(1.0)"},
        {with(pat(kA, 0), cmp(1, CmpOp::Eq, Value::f64(1.0))), "0|Positive|b0|e0;1EqF64(1.0)"},
        {with(pat(kA, 0), cmp(0, CmpOp::Eq, Value::f64(30.0))), "0|Positive|b0|e0;0EqI64(30)"},
        {with(pat(kA, 0), cmp(0, CmpOp::Eq, Value::f64(30.5))), "0|Positive|b0|e0;0EqF64(30.5)"},
        {with(pat(kA, 0), cmp(0, CmpOp::Eq, Value::f64(1e19))), "0|Positive|b0|e0;0EqF64(1e19)"},
        {with(pat(kA, 0), cmp(0, CmpOp::Gt, Value::f64(30.0))), "0|Positive|b0|e0;0GtF64(30.0)"},
        {with(pat(kA, 0), cmp(1, CmpOp::Ne, Value::i64(1))), "0|Positive|b0|e0;1NeI64(1)"},
    };
    for (const Case& c : cases) EXPECT_EQ(e.pattern_key(c.p, 0, 1), c.key);
}

TEST(PatternKey, AccumulateQueryAndGroupForms) {
    Engine e = make_engine();
    CompiledPattern sum = with(pat(kA, 1), cmp(0, CmpOp::Gt, Value::i64(0)));
    sum.bound_mask = 0b10;
    sum.acc = CompiledAcc{1, std::nullopt, 60000, "$y", kLong, FieldType::f64(), AccFunc::Sum};
    CompiledPattern count = pat(kA, 1);
    count.acc = CompiledAcc{std::nullopt, 0, std::nullopt, std::nullopt, kLong, FieldType::i64(), AccFunc::Count};

    CompiledPattern call = pat(kB, 1);
    call.qce = CompiledQce{{Src::snap_field(0, 0), Src::snap_field(0, 0)}, 3, 0, kB};
    CompiledPattern call_lit = call;
    call_lit.qce->args[1] = Src::literal(Value::i64(5));
    CompiledPattern call_bound = call;
    call_bound.qce->args[0] = Src::fact_field(0, 0);

    CompiledPattern group = pat(kInitial, std::nullopt, CeKind::Not);
    group.role = SubRole{SubRole::Kind::Group, 2, 1};

    EXPECT_EQ(e.pattern_key(sum, 4, 1), "0|Positive|b2|e0;0GtI64(0)|accSum:$y:Some(1):wSome(60000):gNone");
    EXPECT_EQ(e.pattern_key(count, 4, 1), "0|Positive|b0|e0|accCount::None:wNone:gSome(0)");
    EXPECT_EQ(e.pattern_key(call, 4, 1), "QCE|3|U2");
    EXPECT_EQ(e.pattern_key(call_lit, 4, 1), "QCE|3|priv4.1");
    EXPECT_EQ(e.pattern_key(call_bound, 7, 2), "QCE|3|priv7.2");
    EXPECT_EQ(e.pattern_key(group, 4, 3), "SN|Not|2|1");
}

TEST(NetworkBuild, CommonPrefixesShareLiasAndNodes) {
    Engine e = make_engine();
    e.rules = {
        rule_of({a_x_gt(1), pat(kB, 1)}),
        rule_of({a_x_gt(1), pat(kC, 1)}),
        rule_of({a_x_gt(2), pat(kB, 1)}),
        rule_of({a_x_gt(1), pat(kB, 1)}),  // the same as rule 0
        rule_of({a_x_gt(1)}),
        rule_of({a_x_gt(1), pat(kB, 1), pat(kC, 2)}),
    };
    build(e);
    EXPECT_EQ(e.dump_network(),
              "lia 0 rule 0 key 0|Positive|b0|e0;0GtI64(1) nodes [0, 1] rules [4]\n"
              "lia 1 rule 2 key 0|Positive|b0|e0;0GtI64(2) nodes [2] rules []\n"
              "node 0 Join index 6 owner 0.1 rules 3 key 1|Positive|b0|e0 targets [Rule(0), Rule(3), Node(3)]\n"
              "node 1 Join index 6 owner 1.1 rules 1 key 2|Positive|b0|e0 targets [Rule(1)]\n"
              "node 2 Join index 6 owner 2.1 rules 1 key 1|Positive|b0|e0 targets [Rule(2)]\n"
              "node 3 Join index 6 owner 5.2 rules 1 key 2|Positive|b0|e0 targets [Rule(5)]\n"
              "net 0 lia 0 nodes [0]\n"
              "net 1 lia 0 nodes [1]\n"
              "net 2 lia 1 nodes [2]\n"
              "net 3 lia 0 nodes [0]\n"
              "net 4 lia 0 nodes []\n"
              "net 5 lia 0 nodes [0, 3]\n");
}

TEST(NetworkBuild, NodeKindsIndexesAndGroupLinks) {
    Engine e = make_engine();
    // InitialFact, not (B and C) over members at positions 1 and 2, then an exists
    // ranged on A.x, then a temporal Ev and an accumulate over A.
    CompiledPattern member_b = pat(kB, 1);
    member_b.role.kind = SubRole::Kind::Member;
    CompiledPattern member_c = with(pat(kC, 2), join(0, CmpOp::Eq, 1, 0));
    member_c.role.kind = SubRole::Kind::Member;
    member_c.index_op = 7;
    CompiledPattern group = pat(kInitial, std::nullopt, CeKind::Not);
    group.role = SubRole{SubRole::Kind::Group, 2, 1};
    group.slot.reset();
    CompiledPattern ranged = with(pat(kA, std::nullopt, CeKind::Exists), join(0, CmpOp::Lt, 0, 0));
    ranged.index_op = 2;
    ranged.range_cmp = 0;
    CompiledCmp after = test_of(quarn::Test::Kind::Temporal, 0);
    after.test.params = {0, 10};
    CompiledPattern ev = with(pat(kEv, 1), after);
    CompiledPattern sum = pat(kA, 2);
    sum.acc = CompiledAcc{0, std::nullopt, 500, "$x", kLong, FieldType::i64(), AccFunc::Sum};
    CompiledPattern call = pat(kB, 1);
    call.qce = CompiledQce{{Src::snap_field(0, 0)}, 0, 0, kB};

    e.rules = {
        rule_of({pat(kInitial, 0), member_b, member_c, group, pat(kA, 1)}),
        rule_of({pat(kInitial, 0), ranged, ev, sum}),
        rule_of({pat(kInitial, 0), call}),
    };
    build(e);
    EXPECT_EQ(e.dump_network(),
              "lia 0 rule 0 key 5|Positive|b0|e0 nodes [0, 2, 4, 7] rules []\n"
              "node 0 Join index 6 owner 0.1 rules 1 key 1|Positive|b0|e0 targets [Node(1)]\n"
              "node 1 Join index 7 owner 0.2 rules 1 key 2|Positive|b0|e0;0Eq@1.0 targets [Subnet(2)]\n"
              "node 2 SubnetNot index 6 owner 0.3 rules 1 prefix 1 key SN|Not|2|1 targets [Node(3)]\n"
              "node 3 Join index 6 owner 0.4 rules 1 key 0|Positive|b0|e0 targets [Rule(0)]\n"
              "node 4 Exists index 2 owner 1.1 rules 1 key 0|Exists|b0|e0;0Lt@0.0 targets [Node(5)]\n"
              "node 5 Join index 6 temporal owner 1.2 rules 1 key 4|Positive|b0|e0;0tmptrue0:10@0.0 targets [Node(6)]\n"
              "node 6 Acc index 6 owner 1.3 rules 1 key 0|Positive|b0|e0|accSum:$x:Some(0):wSome(500):gNone targets "
              "[Rule(1)]\n"
              "node 7 Query index 6 owner 2.1 rules 1 key QCE|0|U1 targets [Rule(2)]\n"
              "net 0 lia 0 nodes [0, 1, 2, 3]\n"
              "net 1 lia 0 nodes [4, 5, 6]\n"
              "net 2 lia 0 nodes [7]\n");
    ASSERT_EQ(e.acc_nodes.size(), 1u);
    EXPECT_EQ(e.acc_nodes[0].node, 6u);
    EXPECT_EQ(e.acc_nodes[0].type, kA);
    EXPECT_EQ(e.acc_nodes[0].window_ms, 500);

    // A group right after pattern 0 hangs off the Lia; rebuilding gives the
    // same network, also through reset.
    const std::string first = e.dump_network();
    build(e);
    EXPECT_EQ(e.dump_network(), first);
    ASSERT_TRUE(e.reset().ok());
    EXPECT_EQ(e.dump_network(), first);
}

TEST(NetworkBuild, CollectFirstNodesGetTheFieldsThatDecideTheCollection) {
    Engine e = make_engine();
    CompiledCmp in_group = test_of(quarn::Test::Kind::Group, 1);
    in_group.test.expr.kind = GExpr::Kind::Or;
    in_group.test.expr.children.resize(2);
    in_group.test.expr.children[0].kind = GExpr::Kind::Cmp;
    in_group.test.expr.children[0].field = 1;
    in_group.test.expr.children[1].kind = GExpr::Kind::IsNull;
    in_group.test.expr.children[1].field = 2;
    CompiledPattern first = with(pat(kA, 0), in_group);
    CompiledPattern collect = with(with(pat(kOrder, 1), join(0, CmpOp::Eq, 0, 0)), cmp(2, CmpOp::Gt, Value::i64(5)));
    collect.acc = CompiledAcc{std::nullopt, std::nullopt, std::nullopt, std::nullopt, 8, FieldType::i64(),
                              AccFunc::Collect};
    CompiledPattern plain_first = with(pat(kA, 0), cmp(1, CmpOp::Gt, Value::f64(0)));

    e.rules = {rule_of({first, collect}), rule_of({plain_first, collect}), rule_of({first, pat(kB, 1)})};
    build(e);
    ASSERT_EQ(e.nodes.size(), 3u);
    // Rule 0: the group's fields 1 and 2, and field 0 that Order.id compares with.
    EXPECT_EQ(e.nodes[e.nets[0].node_ids[0]].first_update_mask, 0b111u);
    EXPECT_EQ(e.nodes[e.nets[1].node_ids[0]].first_update_mask, 0b011u);
    EXPECT_EQ(e.nodes[e.nets[2].node_ids[0]].first_update_mask, std::nullopt);
}

TEST(NetworkBuild, ShadowsOnlyWhereTheGateIsAllOrNothing) {
    // Rule shape: InitialFact-free three patterns A, gate, positive C.
    struct Case {
        std::string name;
        CeKind gate_ce;
        TypeId gate_type;
        int marker;  // 0 ce_event_tail, 1 not_tail, 2 exists_tail
        bool event_exists;
        std::function<void(Engine&, CompiledRule&)> tweak;
        std::string shadow;
    };
    auto none = [](Engine&, CompiledRule&) {};
    const Case cases[] = {
        {"pn", CeKind::Not, kB, 1, false, none, " shadow Pn 1@0 2@0"},
        {"px", CeKind::Exists, kB, 2, false, none, " shadow Px 1@0 2@0"},
        {"bf", CeKind::Not, kEv, 0, false, none, " shadow Bf 4@0 2@0"},
        {"ex", CeKind::Exists, kEv, 0, true, none, " shadow Ex 4@0 2@0"},
        {"px with an own-fact gate test", CeKind::Exists, kB, 2, false,
         [](Engine&, CompiledRule& r) { r.patterns[1] = with(r.patterns[1], cmp(0, CmpOp::Gt, Value::i64(1))); },
         " shadow Px 1@0 2@0"},
        {"pn with a gate test", CeKind::Not, kB, 1, false,
         [](Engine&, CompiledRule& r) { r.patterns[1] = with(r.patterns[1], cmp(0, CmpOp::Gt, Value::i64(1))); }, ""},
        {"px with a join gate test", CeKind::Exists, kB, 2, false,
         [](Engine&, CompiledRule& r) { r.patterns[1] = with(r.patterns[1], join(0, CmpOp::Eq, 0, 0)); }, ""},
        {"positive tested", CeKind::Not, kB, 1, false,
         [](Engine&, CompiledRule& r) { r.patterns[2] = with(r.patterns[2], cmp(0, CmpOp::Gt, Value::i64(1))); }, ""},
        {"positive binds", CeKind::Not, kB, 1, false, [](Engine&, CompiledRule& r) { r.patterns[2].bound_mask = 1; },
         ""},
        {"same type and entry point", CeKind::Not, kC, 1, false, none, ""},
        {"same type, other entry point", CeKind::Not, kC, 1, false,
         [](Engine&, CompiledRule& r) { r.patterns[1].entry_point_id = 1; }, " shadow Pn 2@1 2@0"},
        {"positive is an event", CeKind::Not, kB, 1, false,
         [](Engine&, CompiledRule& r) { r.patterns[2].type_id = kEv; }, ""},
        {"gate type inserted, plain not", CeKind::Not, kB, 1, false,
         [](Engine&, CompiledRule& r) {
             r.actions.push_back(CompiledAction{CompiledAction::Kind::Insert, {}, 0, 0, {}, kB, {}});
         },
         " shadow Pn 1@0 2@0"},
        {"gate type inserted, window not", CeKind::Not, kEv, 0, false,
         [](Engine&, CompiledRule& r) {
             r.actions.push_back(CompiledAction{CompiledAction::Kind::Insert, {}, 0, 0, {}, kEv, {}});
         },
         ""},
        {"positive type inserted", CeKind::Not, kB, 1, false,
         [](Engine&, CompiledRule& r) {
             r.actions.push_back(CompiledAction{CompiledAction::Kind::InsertLogical, {}, 0, 0, {}, kC, {}});
         },
         ""},
        {"gate fact deleted elsewhere", CeKind::Not, kB, 1, false,
         [](Engine& e, CompiledRule&) {
             CompiledRule other = rule_of({pat(kB, 0)});
             other.actions.push_back(CompiledAction{CompiledAction::Kind::Delete, {}, 0, 0, {}, 0, {}});
             e.rules.push_back(other);
         },
         ""},
        {"windowed accumulate over the positive type", CeKind::Not, kB, 1, false,
         [](Engine& e, CompiledRule&) {
             CompiledPattern sum = pat(kC, 1);
             sum.acc = CompiledAcc{0, std::nullopt, 100, "$w", kLong, FieldType::i64(), AccFunc::Sum};
             e.rules.push_back(rule_of({pat(kInitial, 0), sum}));
         },
         ""},
    };
    for (const Case& c : cases) {
        Engine e = make_engine();
        e.event_decls[kEv] = EventDecl{std::nullopt, std::nullopt, 0};
        CompiledRule r = rule_of({pat(kA, 0), pat(c.gate_type, std::nullopt, c.gate_ce), pat(kC, 1)});
        if (c.marker == 0) r.ce_event_tail = 1;
        if (c.marker == 1) r.not_tail = 1;
        if (c.marker == 2) r.exists_tail = 1;
        r.ce_event_exists = c.event_exists;
        c.tweak(e, r);
        e.rules.insert(e.rules.begin(), r);
        build(e);
        const std::string dump = e.dump_network();
        const size_t line = dump.find("net 0 lia 0 nodes [0, 1]");
        ASSERT_NE(line, std::string::npos) << c.name << "\n" << dump;
        EXPECT_EQ(dump.substr(line + 24, dump.find('\n', line) - line - 24), c.shadow) << c.name;
    }
}
