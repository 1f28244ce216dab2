// Constraint groups: compiling an &&, || or ! expression into one GExpr tree
// and its canonical key text. Equal key texts mean interchangeable groups.
#include "common/text.h"
#include "engine/engine.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

std::string in_list_text(const std::vector<Value>& items) {
    std::string out = "[";
    for (size_t k = 0; k < items.size(); ++k) out += (k ? ", " : "") + debug(items[k]);
    return out + "]";
}

}  // namespace

Result<GExpr, std::string> Engine::compile_gexpr(const CExpr& e, TypeId type, std::string_view rule,
                                                 std::optional<size_t> position, const Bindings& bound,
                                                 const HashSet<std::string>& minmax_double, uint64_t& field_mask,
                                                 bool& refs_bindings, std::string& key) const {
    using CK = CExpr::Kind;
    auto fail = [&](const std::string& msg) { return err(fmt("rule {}: {}", rule, msg)); };

    if (e.kind == CK::And || e.kind == CK::Or || e.kind == CK::Not) {
        GExpr g;
        g.kind = e.kind == CK::And ? GExpr::Kind::And : e.kind == CK::Or ? GExpr::Kind::Or : GExpr::Kind::Not;
        key += e.kind == CK::And ? "gAnd(" : e.kind == CK::Or ? "gOr(" : "gNot(";
        for (const CExpr& c : e.children) {
            QUARN_TRY(GExpr child, compile_gexpr(c, type, rule, position, bound, minmax_double, field_mask,
                                                 refs_bindings, key));
            g.children.push_back(std::move(child));
        }
        key += ")";
        return g;
    }

    const TypeSchema& schema = store.schema(type);
    std::optional<size_t> found = store.field_index(type, e.field);
    if (!found) return fail(fmt("{} has no field {}", schema.name, e.field));
    size_t field = *found;
    const FieldType& ftype = store.field_type(type, field);
    GExpr g;
    g.field = field;

    switch (e.kind) {
        case CK::Cmp: {
            field_mask |= uint64_t{1} << field;
            if (e.rhs.kind == Operand::Kind::Lit && e.rhs.lit.tag == LiteralTag::Null) {
                if (e.op != CmpOp::Eq && e.op != CmpOp::Ne)
                    return fail(fmt("only ==/!= accept null (IS [NOT] NULL semantics, D-097); got {}", debug(e.op)));
                if (!schema.is_nullable(field))
                    return fail(fmt("{} field is not nullable — null tests need a nullable field (D-097)",
                                    schema.name));
                g.kind = GExpr::Kind::IsNull;
                g.negated = e.op == CmpOp::Ne;
                key += fmt("g{}isnull{}", field, g.negated);
                return g;
            }
            g.kind = GExpr::Kind::Cmp;
            g.op = e.op;
            if (e.rhs.kind == Operand::Kind::Lit) {
                Value lit = lit_value(e.rhs.lit);
                FieldType ltype = lit_type(e.rhs.lit);
                if (ftype.kind == FieldKind::Dec) {
                    // Exact at the literal's own scale: decimals compare exactly
                    // across scales, so nothing is rounded to the field's scale.
                    std::optional<Value> d = lit_for_dec(lit);
                    if (!d) return fail(fmt("group literal {} is not an exact decimal (D-098)", debug(lit)));
                    lit = std::move(*d);
                    ltype = FieldType::dec(38, lit.as_dec().s);
                }
                if (auto msg = check_cmp_types(rule, ftype, e.op, ltype)) return err(std::move(*msg));
                key += fmt("g{}{}{}", field, debug(e.op), debug(lit));
                g.operand = Src::literal(std::move(lit));
                return g;
            }
            const std::string& var = e.rhs.var;
            if (minmax_double.count(var))
                return fail(fmt("{}: min/max over double is not comparable downstream (number typing, D-039)", var));
            auto b = bound.find(var);
            if (b == bound.end()) return fail(fmt("unknown binding {} (must be declared before use)", var));
            if (auto msg = check_cmp_types(rule, ftype, e.op, b->second.type)) return err(std::move(*msg));
            if (position != b->second.position) refs_bindings = true;
            key += fmt("g{}{}{}@{}.{}", field, debug(e.op), var, b->second.position, b->second.field);
            g.operand = Src::fact_field(b->second.position, b->second.field);
            return g;
        }
        case CK::Matches: {
            if (ftype.kind != FieldKind::Str)
                return fail(fmt("matches requires a String field (subset wall), {} is not", e.field));
            field_mask |= uint64_t{1} << field;
            Result<Regex, std::string> rx = Regex::parse(e.regex);
            if (!rx) return fail(rx.error());
            g.kind = GExpr::Kind::Matches;
            g.regex = std::move(rx).value();
            g.text = e.regex;
            // Quoted, so that no text can pass for the keys of the leaves after it.
            key += fmt("g{}m{}", field, quoted(e.regex));
            return g;
        }
        case CK::Contains: {
            if (ftype.kind != FieldKind::Str)
                return fail(fmt("contains requires a String field (subset wall), {} is not", e.field));
            field_mask |= uint64_t{1} << field;
            g.kind = GExpr::Kind::Contains;
            g.text = e.text;
            key += fmt("g{}c{}", field, quoted(e.text));
            return g;
        }
        case CK::In: {
            field_mask |= uint64_t{1} << field;
            for (const Literal& l : e.list)
                if (auto msg = check_cmp_types(rule, ftype, CmpOp::Eq, lit_type(l))) return err(std::move(*msg));
            g.kind = GExpr::Kind::In;
            g.negated = e.negated;
            for (const Literal& l : e.list) g.items.push_back(lit_value(l));
            key += fmt("g{}in{}{}", field, e.negated, in_list_text(g.items));
            return g;
        }
        case CK::And:
        case CK::Or:
        case CK::Not: break;
    }
    unreachable("constraint expression kind out of range");
}

}  // namespace quarn
