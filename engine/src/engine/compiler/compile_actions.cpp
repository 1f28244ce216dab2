// The right-hand side of Engine::compile_rule: RHS arguments, actions and salience.
#include <cstdint>
#include <limits>
#include <string>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/constraint_eval.h"
#include "engine/compiler/rule_scope.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

// A literal other than null and a string, for a decimal field: the exact decimal
// of the literal at its own scale, or none.
std::optional<Value> decimal_literal(const RhsArg& a) { return lit_for_dec(lit_value(a.lit)); }

bool is_null_lit(const RhsArg& a) { return a.kind == RhsArg::Kind::Lit && a.lit.tag == LiteralTag::Null; }
bool is_decimal_candidate(const RhsArg& a, const FieldType& field) {
    return a.kind == RhsArg::Kind::Lit && a.lit.tag != LiteralTag::Str && field.kind == FieldKind::Dec;
}

class ActionCompiler {
public:
    ActionCompiler(const FactStore& store, const RuleScope& scope, CompiledRule& rule)
        : store_(store), scope_(scope), rule_(rule), name_(rule.def.name) {}

    Status run() {
        for (const Action& a : rule_.def.rhs) {
            QUARN_TRY(CompiledAction c, action(a));
            rule_.actions.push_back(std::move(c));
        }
        QUARN_TRY(rule_.salience, salience(rule_.def.salience));
        return {};
    }

private:
    std::string fail(std::string_view msg) const { return fmt("rule {}: {}", name_, msg); }

    Result<const FactBinding*, std::string> fact_binding(const std::string& var) const {
        auto it = scope_.facts.find(var);
        if (it == scope_.facts.end()) return err(fail(fmt("unknown fact binding {}", var)));
        return &it->second;
    }

    Result<CompiledAction, std::string> action(const Action& a) {
        CompiledAction c;
        switch (a.kind) {
            case Action::Kind::Insert:
            case Action::Kind::InsertLogical: return insert(a);
            case Action::Kind::Setter: return setter(a);
            case Action::Kind::Update:
            case Action::Kind::Delete: {
                QUARN_TRY(const FactBinding* b, fact_binding(a.var));
                c.kind = a.kind == Action::Kind::Update ? CompiledAction::Kind::Update : CompiledAction::Kind::Delete;
                c.target = b->position;
                return c;
            }
            case Action::Kind::SetFocus:
                c.kind = CompiledAction::Kind::SetFocus;
                c.group = a.group;
                return c;
        }
        unreachable("action kind out of range");
    }

    Result<CompiledAction, std::string> insert(const Action& a) {
        const std::string& t = a.type_name;
        if (is_reserved_in_rules(t)) return err(fail(fmt("type name {} is reserved", t)));
        std::optional<TypeId> type = store_.type_id(t);
        if (!type) return err(fail(fmt("RHS insert: unknown type {}", t)));
        const TypeSchema& schema = store_.schema(*type);
        if (a.args.size() != schema.fields.size())
            return err(fail(fmt("insert new {}: expected {} args, got {}", t, schema.fields.size(), a.args.size())));
        CompiledAction c;
        c.kind = a.kind == Action::Kind::Insert ? CompiledAction::Kind::Insert : CompiledAction::Kind::InsertLogical;
        c.type_id = *type;
        for (size_t i = 0; i < a.args.size(); ++i) {
            const RhsArg& arg = a.args[i];
            const auto& [fname, ftype] = schema.fields[i];
            if (is_null_lit(arg)) {
                if (!schema.is_nullable(i))
                    return err(fail(fmt("insert new {}: null arg for non-nullable field {} (D-097)", t, fname)));
                c.args.push_back(Src::literal(Value::null()));
            } else if (is_decimal_candidate(arg, ftype)) {
                std::optional<Value> d = decimal_literal(arg);
                if (!d) return err(fail(fmt("insert new {}: arg for {} is not an exact decimal (D-098)", t, fname)));
                c.args.push_back(Src::literal(std::move(*d)));
            } else {
                QUARN_TRY(auto compiled, compile_arg(name_, store_, arg, scope_));
                if (!arg_fits_field(compiled.second, ftype))
                    return err(fail(fmt("insert new {}: arg for {} has wrong type", t, fname)));
                c.args.push_back(std::move(compiled.first));
            }
        }
        if (c.kind == CompiledAction::Kind::InsertLogical) {
            for (const CompiledPattern& p : rule_.patterns)
                if (p.acc || p.qce)
                    return err(fail("insertLogical from accumulate/collect/?query rules is out of subset (D-076)"));
            for (const CompiledPattern& p : rule_.patterns)
                if (p.role.kind != SubRole::Kind::Plain)
                    return err(fail("insertLogical from rules with not/exists GROUP CEs is out of subset (D-089/D-076)"));
        }
        return c;
    }

    Result<CompiledAction, std::string> setter(const Action& a) {
        QUARN_TRY(const FactBinding* b, fact_binding(a.var));
        std::optional<size_t> field = store_.field_index(b->type, a.field);
        if (!field) return err(fail(fmt("no field {} for setter on {}", a.field, a.var)));
        const FieldType& ftype = store_.field_type(b->type, *field);
        CompiledAction c;
        c.kind = CompiledAction::Kind::Setter;
        c.target = b->position;
        c.field = *field;
        if (is_null_lit(a.value)) {
            if (!store_.schema(b->type).is_nullable(*field))
                return err(fail(fmt("setter {}.{}: null for a non-nullable field (D-097)", a.var, a.field)));
            c.value = Src::literal(Value::null());
        } else if (is_decimal_candidate(a.value, ftype)) {
            std::optional<Value> d = decimal_literal(a.value);
            if (!d) return err(fail(fmt("setter {}.{}: not an exact decimal literal (D-098)", a.var, a.field)));
            c.value = Src::literal(std::move(*d));
        } else {
            QUARN_TRY(auto compiled, compile_arg(name_, store_, a.value, scope_));
            if (!arg_fits_field(compiled.second, ftype))
                return err(fail(fmt("setter {}.{}: wrong arg type", a.var, a.field)));
            c.value = std::move(compiled.first);
        }
        return c;
    }

    Result<CompiledSalience, std::string> salience(const SalienceSpec& s) {
        CompiledSalience out;
        if (s.kind == SalienceSpec::Kind::Const) {
            // Wrapping would turn a large salience into a small one and invert
            // the agenda order; refuse it instead.
            if (s.value < std::numeric_limits<int32_t>::min() || s.value > std::numeric_limits<int32_t>::max())
                return err(fail(fmt("salience {} does not fit a 32-bit integer", s.value)));
            out.value = static_cast<int32_t>(s.value);
            return out;
        }
        out.kind = CompiledSalience::Kind::Expr;
        QUARN_TRY(out.first, sal_operand(s.first));
        if (s.op) {
            out.op = s.op;
            QUARN_TRY(out.second, sal_operand(s.second));
        }
        return out;
    }

    // The type that holds a binding's value: a group member's position is
    // shared with the pattern after the group, so members are skipped; an
    // accumulate or groupby binding reads the result fact, not the source.
    const TypeSchema& binding_schema(size_t position) const {
        for (const CompiledPattern& p : rule_.patterns) {
            if (p.position != position || p.role.kind == SubRole::Kind::Member) continue;
            return store_.schema(p.acc ? p.acc->result_type : p.type_id);
        }
        invariant_broken("salience binding without a pattern at its position");
    }

    Result<SalOperand, std::string> sal_operand(const SalTerm& t) {
        SalOperand o;
        if (t.kind == SalTerm::Kind::Int) {
            o.value = t.value;
            return o;
        }
        if (scope_.query_bound.contains(t.var))
            return err(fail(fmt("salience: {} is bound by a ?query CE (out of subset, D-057)", t.var)));
        if (scope_.collections.contains(t.var)) return err(collection_value_error(name_, t.var));
        auto it = scope_.scalars.find(t.var);
        if (it == scope_.scalars.end()) return err(fail(fmt("salience: unknown binding {}", t.var)));
        const Binding& b = it->second;
        if (binding_schema(b.position).is_nullable(b.field))
            return err(fail(
                fmt("salience: {} reads a nullable field \u2014 no agenda semantics for UNKNOWN (walled, D-097)", t.var)));
        if (b.type.kind != FieldKind::I64 && b.type.kind != FieldKind::F64)
            return err(fail(fmt("salience: {} must be numeric (subset wall)", t.var)));
        o.kind = SalOperand::Kind::Field;
        o.position = b.position;
        o.field = b.field;
        o.is_f64 = b.type.kind == FieldKind::F64;
        return o;
    }

    const FactStore& store_;
    const RuleScope& scope_;
    CompiledRule& rule_;
    const std::string& name_;
};

}  // namespace

bool arg_fits_field(const FieldType& arg, const FieldType& field) {
    if (arg.kind == field.kind) return true;  // decimals of any precision and scale
    return arg.kind == FieldKind::I64 && (field.kind == FieldKind::F64 || field.kind == FieldKind::Dec);
}

Result<std::pair<Src, FieldType>, std::string> compile_arg(std::string_view rule, const FactStore& store,
                                                           const RhsArg& arg, const RuleScope& scope) {
    switch (arg.kind) {
        case RhsArg::Kind::Lit: return std::pair{Src::literal(lit_value(arg.lit)), lit_type(arg.lit)};
        case RhsArg::Kind::Var: {
            if (scope.minmax_double.contains(arg.var))
                return err(fmt("rule {}: {}: min/max over double compiles nowhere (number typing, D-039)", rule, arg.var));
            if (scope.collections.contains(arg.var)) return err(collection_value_error(rule, arg.var));
            auto it = scope.scalars.find(arg.var);
            if (it == scope.scalars.end()) return err(fmt("rule {}: unknown binding {}", rule, arg.var));
            return std::pair{Src::snap_field(it->second.position, it->second.field), it->second.type};
        }
        case RhsArg::Kind::Getter: {
            auto it = scope.facts.find(arg.var);
            if (it == scope.facts.end()) return err(fmt("rule {}: unknown fact binding {}", rule, arg.var));
            std::optional<size_t> field = store.field_index(it->second.type, arg.field);
            if (!field) return err(fmt("rule {}: no field {} behind getter on {}", rule, arg.field, arg.var));
            return std::pair{Src::fact_field(it->second.position, *field), store.field_type(it->second.type, *field)};
        }
    }
    unreachable("RHS argument kind out of range");
}

Status compile_actions_and_salience(const FactStore& store, const RuleScope& scope, CompiledRule& rule) {
    return ActionCompiler(store, scope, rule).run();
}

}  // namespace quarn
