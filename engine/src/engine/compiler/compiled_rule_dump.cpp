// A stable text of a compiled rule: one pattern per line with its tests indented
// below, then the actions. Types appear by name, values in their debug forms and
// masks in binary, so a dump pins every field that compilation decides.
#include <string>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

std::string opt(const std::optional<size_t>& v) { return v ? fmt("Some({})", *v) : "None"; }

std::string mask(uint64_t m) {
    if (m == 0) return "0";
    std::string out;
    for (; m; m >>= 1) out.insert(out.begin(), (m & 1) ? '1' : '0');
    return "0b" + out;
}

std::string src_text(const Src& s) {
    switch (s.kind) {
        case Src::Kind::Lit: return debug(s.lit);
        case Src::Kind::FactField: return fmt("Field({}, {})", s.position, s.field);
        case Src::Kind::SnapField: return fmt("Snap({}, {})", s.position, s.field);
    }
    unreachable("source kind out of range");
}

std::string list(const std::vector<int64_t>& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += fmt("{}{}", i ? ", " : "", v[i]);
    return out + "]";
}

std::string test_text(const Test& t) {
    switch (t.kind) {
        case Test::Kind::Cmp: return fmt("Cmp {} {}", debug(t.op), src_text(t.rhs));
        case Test::Kind::IsNull: return fmt("IsNull negated={}", t.negated);
        case Test::Kind::Unknown: return "Unknown";
        case Test::Kind::Temporal:
            return fmt("Temporal {} {} anchor={} anchor_ts={} durations={}/{}", debug(t.allen), list(t.params),
                       t.anchor, t.anchor_ts_field, opt(t.own_duration_field), opt(t.anchor_duration_field));
        case Test::Kind::Matches: return fmt("Matches {}", quoted(t.source));
        case Test::Kind::Contains: return fmt("Contains {}", quoted(t.text));
        case Test::Kind::Group: return fmt("Group refs_bindings={} {}", t.refs_bindings, t.key);
    }
    unreachable("test kind out of range");
}

std::string role_text(const SubRole& r) {
    switch (r.kind) {
        case SubRole::Kind::Plain: return "Plain";
        case SubRole::Kind::Member: return "Member";
        case SubRole::Kind::Group: return fmt("Group(members={}, base={})", r.member_count, r.base);
    }
    unreachable("role kind out of range");
}

std::string operand_text(const SalOperand& o) {
    if (o.kind == SalOperand::Kind::Int) return fmt("Int({})", o.value);
    return fmt("Field({}, {}, {})", o.position, o.field, o.is_f64 ? "F64" : "I64");
}

std::string salience_text(const CompiledSalience& s) {
    if (s.kind == CompiledSalience::Kind::Const) return fmt("Const({})", s.value);
    if (!s.op) return fmt("Expr({})", operand_text(s.first));
    return fmt("Expr({} {} {})", operand_text(s.first), *s.op, operand_text(s.second));
}

std::string action_text(const CompiledAction& a, const FactStore& store) {
    switch (a.kind) {
        case CompiledAction::Kind::Setter:
            return fmt("Setter tag={} {}.{} = {}", a.tag(), a.target, a.field, src_text(a.value));
        case CompiledAction::Kind::Insert:
        case CompiledAction::Kind::InsertLogical: {
            std::string out = fmt("{} {} [", a.kind == CompiledAction::Kind::Insert ? "Insert" : "InsertLogical",
                                  store.schema(a.type_id).name);
            for (size_t i = 0; i < a.args.size(); ++i) out += (i ? ", " : "") + src_text(a.args[i]);
            return out + "]";
        }
        case CompiledAction::Kind::Update: return fmt("Update {}", a.target);
        case CompiledAction::Kind::Delete: return fmt("Delete {}", a.target);
        case CompiledAction::Kind::SetFocus: return fmt("SetFocus {}", quoted(a.group));
    }
    unreachable("action kind out of range");
}

}  // namespace

std::string dump_compiled_rule(const CompiledRule& r, const FactStore& store) {
    std::string out = fmt("rule {} salience={}", quoted(r.def.name), salience_text(r.salience));
    if (!r.query_deps.empty()) {
        out += " query_deps=[";
        for (size_t i = 0; i < r.query_deps.size(); ++i) out += fmt("{}{}", i ? ", " : "", r.query_deps[i]);
        out += "]";
    }
    if (r.ce_event_tail) out += fmt(" ce_event_tail={} ce_event_exists={}", *r.ce_event_tail, r.ce_event_exists);
    if (r.not_tail) out += fmt(" not_tail={}", *r.not_tail);
    if (r.exists_tail) out += fmt(" exists_tail={}", *r.exists_tail);
    out += "\n";
    for (size_t i = 0; i < r.patterns.size(); ++i) {
        const CompiledPattern& p = r.patterns[i];
        out += fmt("  {} {} {} {} pos={} slot={} index_op={}", i, debug(p.ce), role_text(p.role),
                   store.schema(p.type_id).name, opt(p.position), opt(p.slot), p.index_op.code());
        if (p.range_cmp) out += fmt(" range_cmp={}", *p.range_cmp);
        out += fmt(" fields={} bound={}", mask(p.field_mask), mask(p.bound_mask));
        if (p.entry_point_id) out += fmt(" entry_point={}", p.entry_point_id);
        if (p.beta) out += " beta";
        out += "\n";
        for (const CompiledCmp& c : p.cmps) {
            out += fmt("    f{} {}", c.field, test_text(c.test));
            if (c.label) out += " label=" + *c.label;
            out += "\n";
        }
        if (p.acc) {
            const CompiledAcc& a = *p.acc;
            out += fmt("    acc {}({}) arg_field={} arg_type={} result={}", debug(a.func), a.arg_name.value_or(""),
                       opt(a.arg_field), debug(a.arg_type), store.schema(a.result_type).name);
            const TypeSchema& rs = store.schema(a.result_type);
            if (a.key_field) {
                out += fmt(" key_field={} row=(", *a.key_field);
                for (size_t f = 0; f < rs.fields.size(); ++f)
                    out += fmt("{}{}: {}", f ? ", " : "", rs.fields[f].first, debug(rs.fields[f].second));
                out += ")";
            }
            if (a.window_ms) out += fmt(" window_ms={}", *a.window_ms);
            out += "\n";
        }
        if (p.qce) {
            const CompiledQce& q = *p.qce;
            out += fmt("    qce query={} given={} args=[", q.query, mask(q.given_mask));
            for (size_t a = 0; a < q.args.size(); ++a) {
                const bool output = q.args[a].kind == Src::Kind::SnapField;
                out += (a ? ", " : "") + (output ? std::string("Out") : src_text(q.args[a]));
            }
            out += "]";
            for (const auto& [arg, first] : q.repeats) out += fmt(" same{}={}", arg, first);
            out += "\n";
        }
    }
    for (const CompiledAction& a : r.actions) out += "  then " + action_text(a, store) + "\n";
    return out;
}

}  // namespace quarn
