// Refusals of rule compilation that the parser never lets through, reached by
// editing a parsed rule: the compiler must not rely on the parser for them.
#include <gtest/gtest.h>

#include <functional>

#include "engine/engine.h"

using namespace quarn;

namespace {

std::string compile_edited(const char* text, const std::function<void(RuleDef&)>& edit) {
    std::vector<TypeSchema> types = {
        {"Person", {{"name", FieldType::str()}, {"age", FieldType::i64()}}, 0},
        {"Order", {{"id", FieldType::i64()}, {"qty", FieldType::i64()}}, 0},
    };
    Engine e = Engine::create(std::move(types)).value();
    Result<RuleFile, ParseError> parsed = parse_file(text);
    if (!parsed) return "parse: " + parsed.error().msg;
    RuleDef def = parsed->rules.at(0);
    edit(def);
    Result<CompiledRule, std::string> r = e.compile_rule(std::move(def));
    return r ? "compiled" : r.error();
}

Constraint bind(const char* var, const char* field) {
    Constraint c;
    c.kind = Constraint::Kind::Bind;
    c.var = var;
    c.field = field;
    return c;
}

}  // namespace

TEST(CompileWalls, RefusalsBehindTheParser) {
    struct Case {
        const char* text;
        std::function<void(RuleDef&)> edit;
        const char* expected;
    };
    const Case cases[] = {
        {"rule r when Person() not Order() then end", [](RuleDef& d) { d.lhs[1].binding = "$o"; },
         "rule r: binding on a CE pattern"},
        {"rule r when Person() exists Order() then end",
         [](RuleDef& d) { d.lhs[1].constraints.push_back(bind("$q", "qty")); }, "rule r: binding in a CE pattern"},
        // A member that is itself a not keeps no position either.
        {"rule r when Person() exists (Person() and not Order()) then end",
         [](RuleDef& d) { (*d.lhs[1].group)[1].constraints.push_back(bind("$q", "qty")); },
         "rule r: binding in a CE pattern"},
        {"rule r when $p : Person() $q : Order() then end", [](RuleDef& d) { d.lhs[1].binding = "$p"; },
         "rule r: duplicate binding $p"},
        {"rule r when Person($a : age) Order($b : qty) then end",
         [](RuleDef& d) { d.lhs[1].constraints[0].var = "$a"; }, "rule r: duplicate binding $a"},
        {"rule r when accumulate(Order($q : qty); $s : sum($q)) then end",
         [](RuleDef& d) { d.lhs[0].acc->arg = "$zz"; }, "rule r: unknown accumulate arg $zz"},
        {"rule r when Person() accumulate(Order(); $c : count()) then end",
         [](RuleDef& d) { d.lhs[1].ce = CeKind::Exists; }, "rule r: accumulate cannot be a CE"},
        {"rule r when groupby(Order($q : qty); $q; $c : count()) then end",
         [](RuleDef& d) { d.lhs[0].acc->key = "$zz"; }, "rule r: groupby key $zz is not a source binding"},
        {"rule r when Person() then end", [](RuleDef& d) { d.lhs[0].type_name = "__qrow$q"; },
         "rule r: type name __qrow$q is reserved"},
        {"rule r when Person() then insert(new Person(\"a\", 1)); end",
         [](RuleDef& d) { d.rhs[0].type_name = "__qrow$q"; }, "rule r: type name __qrow$q is reserved"},
    };
    for (const Case& c : cases) EXPECT_EQ(compile_edited(c.text, c.edit), c.expected) << c.text;
}
