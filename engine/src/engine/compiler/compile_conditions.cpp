// Engine::compile_rule: the left-hand side of a rule, then the analyses made after its actions.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/constraint_eval.h"
#include "engine/engine.h"
#include "engine/compiler/rule_scope.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

// Distances at or above this mean "no bound" in the temporal analysis.
constexpr int64_t kNoBound = int64_t{1} << 60;

// Types have at most 64 fields and query row types one per parameter, so
// every field and argument index fits a 64-bit mask.
uint64_t bit(size_t index) {
    if (index >= 64) invariant_broken("mask index beyond 64");
    return uint64_t{1} << index;
}

int64_t saturate(__int128 v) {
    if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

bool range_compatible(const FieldType& a, const FieldType& b) {
    if (a.kind == b.kind) return a == b;  // decimals: equal precision and scale too
    const bool a_num = a.kind == FieldKind::I64 || a.kind == FieldKind::F64;
    const bool b_num = b.kind == FieldKind::I64 || b.kind == FieldKind::F64;
    return a_num && b_num;
}

bool is_range_op(CmpOp op) { return op == CmpOp::Lt || op == CmpOp::Le || op == CmpOp::Gt || op == CmpOp::Ge; }

size_t first_leaf_field(const GExpr& g) {
    switch (g.kind) {
        case GExpr::Kind::And:
        case GExpr::Kind::Or:
        case GExpr::Kind::Not:
            if (g.children.empty()) invariant_broken("constraint group without children");
            return first_leaf_field(g.children.front());
        default: return g.field;
    }
}

// A temporal bound between two patterns: the event of pattern `to` happens at
// most `w` ms after the event of pattern `from`.
struct TemporalEdge {
    size_t from = 0;
    size_t to = 0;
    int64_t w = 0;
};

class RuleCompiler {
public:
    RuleCompiler(Engine& eng, RuleDef def) : eng_(eng), store_(eng.store) { out_.def = std::move(def); }

    Result<CompiledRule, std::string> run() {
        const std::vector<Pattern>& lhs = out_.def.lhs;
        if (lhs.empty()) return err(fail("empty LHS not in subset"));
        const Pattern& first = lhs.front();
        if (first.ce != CeKind::Positive || first.group || first.acc || first.query_args) {
            QUARN_TRY(TypeId initial, initial_fact_type());
            CompiledPattern p;
            p.position = 0;
            p.slot = 0;
            p.type_id = initial;
            out_.patterns.push_back(std::move(p));
            tuple_counter_ = 1;
        }
        for (const Pattern& p : lhs) {
            if (p.group) {
                for (const Pattern& m : *p.group) QUARN_CHECK(pattern(m, SubRole::Kind::Member));
                QUARN_CHECK(group_pattern(p));
            } else {
                QUARN_CHECK(pattern(p, SubRole::Kind::Plain));
            }
        }
        QUARN_CHECK(compile_actions_and_salience(store_, scope_, out_));
        QUARN_CHECK(query_mix_check());
        collect_query_deps();
        record_event_data();
        record_temporal_retention();
        set_shape_markers();
        return std::move(out_);
    }

private:
    std::string fail(std::string_view msg) const { return fmt("rule {}: {}", out_.def.name, msg); }

    Result<TypeId, std::string> initial_fact_type() const {
        std::optional<TypeId> t = store_.type_id("InitialFact");
        if (!t) return err(fail("internal: InitialFact type missing"));
        return *t;
    }

    bool is_event_type(TypeId t) const { return eng_.event_decls.contains(t); }

    // The end of a not/exists group: its members' bindings go out of scope and
    // the group itself becomes a pattern of its own.
    Status group_pattern(const Pattern& g) {
        for (const std::string& name : member_bindings_) {
            scope_.facts.erase(name);
            scope_.scalars.erase(name);
        }
        member_bindings_.clear();
        QUARN_TRY(TypeId initial, initial_fact_type());
        CompiledPattern p;
        p.type_id = initial;
        p.ce = g.ce;
        p.role = SubRole{SubRole::Kind::Group, g.group->size(), tuple_counter_};
        member_counter_ = 0;
        out_.patterns.push_back(std::move(p));
        return {};
    }

    Status pattern(const Pattern& src, SubRole::Kind role) {
        const std::string& tname = src.type_name;
        if (is_reserved_in_rules(tname))
            return err(fail(fmt("type name {} is reserved", tname)));
        if (src.query_args) return query_pattern(src);
        std::optional<TypeId> type = store_.type_id(tname);
        if (!type) {
            for (const CompiledQuery& q : eng_.queries)
                if (q.name == tname)
                    return err(fail(fmt(
                        "{}: reactive (push) query CEs are out of subset \u2014 use ?{}(...) (D-057)", tname, tname)));
            return err(fail(fmt("unknown type {}", tname)));
        }
        CompiledPattern p;
        p.type_id = *type;
        p.ce = src.ce;
        p.role.kind = role;
        const size_t index = out_.patterns.size();
        if (src.ce != CeKind::Positive) {
            p.slot = ce_counter_++;
        } else if (role == SubRole::Kind::Member) {
            p.position = tuple_counter_ + member_counter_++;
            p.slot = p.position;
        } else {
            p.position = tuple_counter_++;
            p.slot = p.position;
        }
        if (src.binding) {
            if (src.ce != CeKind::Positive) return err(fail("binding on a CE pattern"));
            if (scope_.facts.contains(*src.binding)) return err(fail(fmt("duplicate binding {}", *src.binding)));
            scope_.facts.emplace(*src.binding, FactBinding{*p.position, *type, index});
            if (role == SubRole::Kind::Member) member_bindings_.push_back(*src.binding);
        }
        // Source bindings of an accumulate, collect or groupby: name -> field.
        std::vector<std::pair<std::string, size_t>> source_binds;
        // The type of each join comparison's right side, by index in cmps.
        std::vector<std::optional<FieldType>> rhs_types;
        for (const Constraint& c : src.constraints)
            QUARN_CHECK(constraint(c, src, role, index, p, source_binds, rhs_types));
        if (src.acc) QUARN_CHECK(accumulate(*src.acc, p, source_binds));
        p.entry_point_id = entry_point_id(src.entry_point);
        join_analysis(p, rhs_types);
        out_.patterns.push_back(std::move(p));
        return {};
    }

    // Ids index entry_point_names, which starts with "DEFAULT"; a name already
    // listed keeps its id even when the map has not seen it yet.
    uint32_t entry_point_id(const std::optional<std::string>& name) {
        if (!name || *name == "DEFAULT") return 0;
        auto it = eng_.entry_points.find(*name);
        if (it != eng_.entry_points.end()) return it->second;
        for (size_t i = 0; i < eng_.entry_point_names.size(); ++i)
            if (eng_.entry_point_names[i] == *name) {
                eng_.entry_points.emplace(*name, static_cast<uint32_t>(i));
                return static_cast<uint32_t>(i);
            }
        const auto id = static_cast<uint32_t>(eng_.entry_point_names.size());
        eng_.entry_point_names.push_back(*name);
        eng_.entry_points.emplace(*name, id);
        return id;
    }

    Result<size_t, std::string> field_of(TypeId type, const std::string& field) const {
        std::optional<size_t> f = store_.field_index(type, field);
        if (!f) return err(fail(fmt("{} has no field {}", store_.schema(type).name, field)));
        return *f;
    }

    Status check_types(const FieldType& l, CmpOp op, const FieldType& r) const {
        if (std::optional<std::string> msg = check_cmp_types(out_.def.name, l, op, r)) return err(std::move(*msg));
        return {};
    }

    Status constraint(const Constraint& c, const Pattern& src, SubRole::Kind role, size_t index, CompiledPattern& p,
                      std::vector<std::pair<std::string, size_t>>& source_binds,
                      std::vector<std::optional<FieldType>>& rhs_types) {
        const TypeSchema& schema = store_.schema(p.type_id);
        auto push = [&](Test t, size_t field, std::optional<FieldType> rhs_type = std::nullopt) {
            p.cmps.push_back(CompiledCmp{std::move(t), field, std::nullopt});
            rhs_types.push_back(rhs_type);
        };
        if (c.kind == Constraint::Kind::Temporal) return temporal(c, index, p, rhs_types);
        if (c.kind == Constraint::Kind::Group) {
            uint64_t mask = p.field_mask;
            bool refs = false;
            std::string key;
            QUARN_TRY(GExpr g, eng_.compile_gexpr(c.group, p.type_id, out_.def.name, p.position, scope_.scalars,
                                                  scope_.minmax_double, mask, refs, key));
            if (refs && p.position == size_t{0})
                return err(fail("constraint groups referencing bindings need an earlier pattern (D-073)"));
            p.field_mask = mask;
            Test t;
            t.kind = Test::Kind::Group;
            t.refs_bindings = refs;
            t.key = std::move(key);
            const size_t field = first_leaf_field(g);
            t.expr = std::move(g);
            push(std::move(t), field);
            return {};
        }
        QUARN_TRY(size_t field, field_of(p.type_id, c.field));
        p.field_mask |= bit(field);
        const FieldType& ftype = schema.fields[field].second;
        switch (c.kind) {
            case Constraint::Kind::Bind: {
                p.bound_mask |= bit(field);
                if (src.acc) {
                    source_binds.emplace_back(c.var, field);
                    return {};
                }
                if (!p.position) return err(fail("binding in a CE pattern"));
                if (scope_.scalars.contains(c.var) || scope_.collections.contains(c.var))
                    return err(fail(fmt("duplicate binding {}", c.var)));
                scope_.scalars.emplace(c.var, Binding{*p.position, field, ftype});
                if (role == SubRole::Kind::Member) member_bindings_.push_back(c.var);
                return {};
            }
            case Constraint::Kind::Cmp: {
                Test t;
                t.kind = Test::Kind::Cmp;
                t.op = c.op;
                if (c.rhs.kind == Operand::Kind::Var) {
                    const std::string& var = c.rhs.var;
                    if (scope_.minmax_double.contains(var))
                        return err(fail(fmt("{}: min/max over double is not comparable downstream (number typing, D-039)", var)));
                    if (scope_.collections.contains(var)) return err(collection_value_error(out_.def.name, var));
                    auto it = scope_.scalars.find(var);
                    if (it == scope_.scalars.end())
                        return err(fail(fmt("unknown binding {} (must be declared before use)", var)));
                    const Binding& b = it->second;
                    QUARN_CHECK(check_types(ftype, c.op, b.type));
                    t.rhs = Src::fact_field(b.position, b.field);
                    push(std::move(t), field, b.type);
                    return {};
                }
                if (c.rhs.lit.tag == LiteralTag::Null) {
                    if (c.op != CmpOp::Eq && c.op != CmpOp::Ne)
                        return err(fail(fmt("only ==/!= accept null (IS [NOT] NULL semantics, D-097); got {}", debug(c.op))));
                    if (!schema.is_nullable(field))
                        return err(fail(fmt("{}.{} is not nullable \u2014 null tests need a nullable field (D-097)",
                                            schema.name, c.field)));
                    Test n;
                    n.kind = Test::Kind::IsNull;
                    n.negated = c.op == CmpOp::Ne;
                    push(std::move(n), field);
                    return {};
                }
                Value v = lit_value(c.rhs.lit);
                FieldType vtype = lit_type(c.rhs.lit);
                if (ftype.kind == FieldKind::Dec) {
                    std::optional<Value> d = lit_for_dec(v);
                    if (!d)
                        return err(fail(fmt("{}.{}: literal {} is not an exact decimal (D-098)", schema.name, c.field,
                                            debug(c.rhs.lit))));
                    vtype = FieldType::dec(38, d->as_dec().s);
                    v = std::move(*d);
                }
                QUARN_CHECK(check_types(ftype, c.op, vtype));
                t.rhs = Src::literal(std::move(v));
                push(std::move(t), field);
                return {};
            }
            case Constraint::Kind::Matches: {
                if (ftype.kind != FieldKind::Str)
                    return err(fail(fmt("matches requires a String field (subset wall), {} is not", c.field)));
                Result<Regex, std::string> rx = Regex::parse(c.regex);
                if (!rx) return err(fail(rx.error()));
                Test t;
                t.kind = Test::Kind::Matches;
                t.source = c.regex;
                t.regex = std::move(rx).value();
                push(std::move(t), field);
                return {};
            }
            case Constraint::Kind::Contains: {
                if (ftype.kind != FieldKind::Str)
                    return err(fail(fmt("contains requires a String field (subset wall), {} is not", c.field)));
                Test t;
                t.kind = Test::Kind::Contains;
                t.text = c.text;
                push(std::move(t), field);
                return {};
            }
            case Constraint::Kind::In: return in_list(c, field, ftype, push);
            case Constraint::Kind::Temporal:
            case Constraint::Kind::Group: break;
        }
        unreachable("constraint kind out of range");
    }

    template <class Push>
    Status in_list(const Constraint& c, size_t field, const FieldType& ftype, Push& push) {
        std::vector<Value> values;
        for (const Literal& l : c.list) {
            if (l.tag == LiteralTag::Null) {
                values.push_back(Value::null());
            } else if (ftype.kind == FieldKind::Dec) {
                std::optional<Value> d = lit_for_dec(lit_value(l));
                if (!d) return err(fail(fmt("in-list literal {} is not an exact decimal (D-098)", debug(l))));
                values.push_back(std::move(*d));
            } else {
                QUARN_CHECK(check_types(ftype, CmpOp::Eq, lit_type(l)));
                values.push_back(lit_value(l));
            }
        }
        if (c.negated) {
            for (Value& v : values) {
                Test t;
                if (v.is_null()) {
                    t.kind = Test::Kind::Unknown;
                } else {
                    t.kind = Test::Kind::Cmp;
                    t.op = CmpOp::Ne;
                    t.rhs = Src::literal(std::move(v));
                }
                push(std::move(t), field);
            }
            return {};
        }
        Test t;
        t.kind = Test::Kind::Group;
        t.expr.kind = GExpr::Kind::Or;
        t.key = "gOr(";
        for (Value& v : values) {
            t.key += fmt("g{}Eq{}", field, debug(v));
            GExpr leaf;
            if (v.is_null()) {
                leaf.kind = GExpr::Kind::Unknown;
            } else {
                leaf.kind = GExpr::Kind::Cmp;
                leaf.field = field;
                leaf.op = CmpOp::Eq;
                leaf.operand = Src::literal(std::move(v));
            }
            t.expr.children.push_back(std::move(leaf));
        }
        t.key += ")";
        push(std::move(t), field);
        return {};
    }

    Status temporal(const Constraint& c, size_t index, CompiledPattern& p,
                    std::vector<std::optional<FieldType>>& rhs_types) {
        const std::string& tname = store_.schema(p.type_id).name;
        auto own = eng_.event_decls.find(p.type_id);
        if (own == eng_.event_decls.end())
            return err(fail(fmt("{}: temporal constraints need a declared event type", tname)));
        auto anchor = scope_.facts.find(c.var);
        if (anchor == scope_.facts.end()) return err(fail(fmt("unknown fact binding {} (temporal anchor)", c.var)));
        const FactBinding& a = anchor->second;
        auto anchor_decl = eng_.event_decls.find(a.type);
        if (anchor_decl == eng_.event_decls.end())
            return err(fail(fmt("temporal anchor {} is not a declared event type", c.var)));
        Test t;
        t.kind = Test::Kind::Temporal;
        t.allen = c.allen;
        t.anchor = a.position;
        t.anchor_ts_field = anchor_decl->second.ts_field;
        t.params = c.params;
        t.own_duration_field = own->second.duration_field;
        t.anchor_duration_field = anchor_decl->second.duration_field;
        const size_t ts = own->second.ts_field;
        p.field_mask |= bit(ts);
        if (own->second.duration_field) p.field_mask |= bit(*own->second.duration_field);
        p.cmps.push_back(CompiledCmp{std::move(t), ts, c.var});
        rhs_types.push_back(std::nullopt);
        // Every pattern is a node of its own here, never a shared position or
        // not/exists ordinal: patterns sharing a number would merge rows.
        temporal_nodes_[index] = p.type_id;
        temporal_nodes_[a.pattern] = a.type;
        if (c.allen == AllenOp::After || c.allen == AllenOp::Before) {
            if (c.params.size() != 2) invariant_broken("after/before without two bounds");
            const int64_t lo = c.params[0], hi = c.params[1];
            // after:  lo <= this - anchor <= hi;  before: lo <= anchor - this <= hi.
            const size_t later = c.allen == AllenOp::After ? index : a.pattern;
            const size_t earlier = c.allen == AllenOp::After ? a.pattern : index;
            edges_.push_back({earlier, later, hi});
            edges_.push_back({later, earlier, saturate(-static_cast<__int128>(lo))});
        }
        return {};
    }

    Status accumulate(const AccSpec& spec, CompiledPattern& p,
                      const std::vector<std::pair<std::string, size_t>>& source_binds) {
        auto source_field = [&](const std::string& name) -> std::optional<size_t> {
            for (const auto& [n, f] : source_binds)
                if (n == name) return f;
            return std::nullopt;
        };
        CompiledAcc acc;
        acc.func = spec.func;
        acc.window_ms = spec.window_ms;
        acc.arg_name = spec.arg;
        if (spec.arg) {
            std::optional<size_t> f = source_field(*spec.arg);
            if (!f) return err(fail(fmt("unknown accumulate arg {}", *spec.arg)));
            acc.arg_field = f;
            acc.arg_type = store_.field_type(p.type_id, *f);
            const FieldKind k = acc.arg_type.kind;
            const bool numeric = k != FieldKind::Str && k != FieldKind::Bool;
            const bool any_arg = spec.func == AccFunc::Count || spec.func == AccFunc::CollectList ||
                                 spec.func == AccFunc::CollectSet;
            if (!numeric && !any_arg) return err(fail(fmt("{} requires a numeric argument (subset wall)", debug(spec.func))));
        }
        const char* result_name = "Long";
        FieldType result_type = FieldType::i64();
        switch (spec.func) {
            case AccFunc::Sum:
            case AccFunc::Min:
            case AccFunc::Max:
                if (acc.arg_type.kind == FieldKind::Dec) {
                    result_name = "Decimal";
                    result_type = FieldType::dec(38, acc.arg_type.s);
                } else if (acc.arg_type.kind != FieldKind::I64) {
                    result_name = "Double";
                    result_type = FieldType::f64();
                }
                break;
            case AccFunc::Count: break;
            case AccFunc::Average:
                result_name = "Double";
                result_type = FieldType::f64();
                break;
            case AccFunc::Collect:
            case AccFunc::CollectList: result_name = "Collection"; break;
            case AccFunc::CollectSet: result_name = "SetCollection"; break;
        }
        std::optional<TypeId> rt = store_.type_id(result_name);
        if (!rt) invariant_broken(fmt("built-in type {} missing", result_name));
        acc.result_type = *rt;
        if (!p.position) return err(fail("accumulate cannot be a CE"));
        const size_t pos = *p.position;
        if (spec.func != AccFunc::Collect) {
            if (is_bound(spec.result)) return err(fail(fmt("duplicate binding {}", spec.result)));
            if (spec.func == AccFunc::CollectList || spec.func == AccFunc::CollectSet)
                scope_.collections.insert(spec.result);
            else
                scope_.scalars.emplace(spec.result, Binding{pos, 0, result_type});
            if ((spec.func == AccFunc::Min || spec.func == AccFunc::Max) && acc.arg_type.kind == FieldKind::F64)
                scope_.minmax_double.insert(spec.result);
        }
        if (spec.key) {
            for (const CompiledPattern& earlier : out_.patterns)
                if (store_.schema(earlier.type_id).name != "InitialFact")
                    return err(fail("groupby after other patterns is out of subset (leading position only, D-108)"));
            std::optional<size_t> kf = source_field(*spec.key);
            if (!kf) return err(fail(fmt("groupby key {} is not a source binding", *spec.key)));
            const FieldType key_type = store_.field_type(p.type_id, *kf);
            TypeSchema row;
            row.name = fmt("__gbrow${}${}", out_.def.name, pos);
            row.fields = {{"res", result_type}, {"key", key_type}};
            Result<TypeId, std::string> row_id = eng_.store.add_schema(std::move(row));
            if (!row_id) invariant_broken("groupby row type refused: " + row_id.error());
            eng_.gbrow_types.push_back(*row_id);
            acc.result_type = *row_id;
            acc.key_field = kf;
            if (is_bound(*spec.key)) return err(fail(fmt("duplicate binding {}", *spec.key)));
            scope_.scalars.emplace(*spec.key, Binding{pos, 1, key_type});
        }
        p.acc = std::move(acc);
        return {};
    }

    bool is_bound(const std::string& name) const {
        return scope_.scalars.contains(name) || scope_.facts.contains(name) || scope_.collections.contains(name);
    }

    Status query_pattern(const Pattern& src) {
        const std::string& qname = src.type_name;
        std::optional<uint32_t> callee;
        for (size_t i = 0; i < eng_.queries.size(); ++i)
            if (eng_.queries[i].name == qname) {
                callee = static_cast<uint32_t>(i);
                break;
            }
        if (!callee) return err(fail(fmt("?{}: no such query", qname)));
        const CompiledQuery& q = eng_.queries[*callee];
        const std::vector<QArg>& args = *src.query_args;
        if (args.size() != q.params.size())
            return err(fail(fmt("?{}: expected {} args, got {}", qname, q.params.size(), args.size())));
        const size_t pos = tuple_counter_;
        CompiledQce qce;
        qce.query = *callee;
        // Outputs of this call so far: name -> the parameter it first filled.
        std::vector<std::pair<std::string, size_t>> outputs;
        auto bound_everywhere = [&](size_t i) {
            std::vector<std::pair<uint32_t, uint32_t>> visited;
            return param_bound_all_branches(eng_.queries, *callee, static_cast<uint32_t>(i), visited);
        };
        for (size_t i = 0; i < args.size(); ++i) {
            const QArg& a = args[i];
            const auto& [pname, ptype] = q.params[i];
            if (a.kind == QArg::Kind::Lit) {
                if (lit_type(a.lit).kind != ptype.kind)
                    return err(fail(fmt("?{}: literal arg for {} must match the param type exactly (D-057)", qname, pname)));
                qce.args.push_back(Src::literal(lit_value(a.lit)));
                qce.given_mask |= bit(i);
                continue;
            }
            if (scope_.facts.contains(a.var))
                return err(fail(fmt("?{}: {} is a fact binding; call args must be scalars (D-055)", qname, a.var)));
            if (scope_.collections.contains(a.var)) return err(collection_value_error(out_.def.name, a.var));
            auto repeated = std::find_if(outputs.begin(), outputs.end(), [&](const auto& o) { return o.first == a.var; });
            if (repeated != outputs.end()) {
                if (!bound_everywhere(i))
                    return err(fail(fmt("?{}: unbound arg for {}, which is not bound in every branch of the callee (D-057)",
                                        qname, pname)));
                if (!(q.params[repeated->second].second == ptype))
                    return err(fail(fmt("?{}: repeated var {} spans differently-typed params", qname, a.var)));
                qce.repeats.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(repeated->second));
                qce.args.push_back(Src::snap_field(0, 0));
                continue;
            }
            auto bound = scope_.scalars.find(a.var);
            if (bound != scope_.scalars.end()) {
                if (!(bound->second.type == ptype))
                    return err(fail(fmt("?{}: arg {} must match the type of param {} exactly (D-057)", qname, a.var, pname)));
                qce.args.push_back(Src::fact_field(bound->second.position, bound->second.field));
                qce.given_mask |= bit(i);
                continue;
            }
            if (!bound_everywhere(i))
                return err(fail(fmt("?{}: unbound arg for {}, which is not bound in every branch of the callee (D-057)",
                                    qname, pname)));
            qce.args.push_back(Src::snap_field(0, 0));
            scope_.scalars.emplace(a.var, Binding{pos, i, ptype});
            scope_.query_bound.insert(a.var);
            outputs.emplace_back(a.var, i);
        }
        if (*callee >= eng_.qrow_types.size()) invariant_broken("query without a row type");
        qce.row_type = eng_.qrow_types[*callee];
        CompiledPattern p;
        p.position = pos;
        p.slot = pos;
        p.type_id = qce.row_type;
        p.qce = std::move(qce);
        ++tuple_counter_;
        out_.patterns.push_back(std::move(p));
        return {};
    }

    // Index operator, range comparison and beta flag from the tests.
    void join_analysis(CompiledPattern& p, const std::vector<std::optional<FieldType>>& rhs_types) const {
        bool has_eq = false;
        std::optional<size_t> range;
        for (size_t i = 0; i < p.cmps.size(); ++i) {
            const Test& t = p.cmps[i].test;
            if (t.kind == Test::Kind::Temporal || (t.kind == Test::Kind::Group && t.refs_bindings)) p.beta = true;
            if (t.kind != Test::Kind::Cmp || t.rhs.kind != Src::Kind::FactField) continue;
            p.beta = true;
            if (p.position == t.rhs.position) continue;
            if (t.op == CmpOp::Eq) has_eq = true;
            if (!range && is_range_op(t.op) && rhs_types[i] &&
                range_compatible(store_.field_type(p.type_id, p.cmps[i].field), *rhs_types[i]))
                range = i;
        }
        if (has_eq) {
            p.index_op = IndexSpec::equality();
        } else if (p.ce != CeKind::Positive && range) {
            p.index_op = IndexSpec::range(p.cmps[*range].test.op);
            p.range_cmp = range;
        }
    }

    Status query_mix_check() const {
        bool any_qce = false;
        for (const CompiledPattern& p : out_.patterns) any_qce = any_qce || p.qce.has_value();
        if (!any_qce) return {};
        for (const CompiledPattern& p : out_.patterns)
            if (p.ce != CeKind::Positive || p.acc)
                return err(fail("?query CEs cannot mix with not/exists/accumulate in one rule (D-057)"));
        return {};
    }

    void collect_query_deps() {
        std::vector<uint32_t> roots;
        for (const CompiledPattern& p : out_.patterns)
            if (p.qce) roots.push_back(p.qce->query);
        if (!roots.empty()) out_.query_deps = dependencies(eng_.queries, roots);
    }

    void raise_retention(TypeId t, int64_t ms) {
        auto [it, fresh] = eng_.event_retention_ms.emplace(t, ms);
        if (!fresh) it->second = std::max(it->second, ms);
    }

    void record_event_data() {
        if (eng_.event_decls.empty()) return;
        for (size_t i = 0; i < out_.patterns.size(); ++i) {
            const CompiledPattern& p = out_.patterns[i];
            if (!is_event_type(p.type_id)) continue;
            if (p.acc && p.acc->window_ms) {
                if (*p.acc->window_ms > 0) raise_retention(p.type_id, *p.acc->window_ms - 1);
            } else if (!temporal_nodes_.contains(i)) {
                eng_.unbounded_event_types.insert(p.type_id);
            }
        }
    }

    // Shortest paths over the temporal bounds: D[i][j] is the latest that node
    // j's event can follow node i's, so node i's events must be kept for the
    // largest D[i][j]. Sums are taken in 128 bits and saturated, since bounds
    // can lie near the 64-bit limits.
    void record_temporal_retention() {
        if (edges_.empty()) return;
        std::vector<size_t> order;
        std::map<size_t, size_t> row;
        for (const auto& [pattern, type] : temporal_nodes_) {
            row[pattern] = order.size();
            order.push_back(pattern);
        }
        const size_t n = order.size();
        std::vector<std::vector<int64_t>> d(n, std::vector<int64_t>(n, kNoBound));
        for (size_t i = 0; i < n; ++i) d[i][i] = 0;
        for (const TemporalEdge& e : edges_) {
            int64_t& cell = d[row.at(e.from)][row.at(e.to)];
            cell = std::min(cell, e.w);
        }
        for (size_t k = 0; k < n; ++k)
            for (size_t i = 0; i < n; ++i)
                for (size_t j = 0; j < n; ++j)
                    if (d[i][k] < kNoBound && d[k][j] < kNoBound)
                        d[i][j] = std::min(d[i][j], saturate(static_cast<__int128>(d[i][k]) + d[k][j]));
        for (size_t i = 0; i < n; ++i) {
            const TypeId t = temporal_nodes_.at(order[i]);
            std::optional<int64_t> m;
            for (size_t j = 0; j < n; ++j)
                if (j != i && d[i][j] < kNoBound) m = m ? std::max(*m, d[i][j]) : d[i][j];
            if (m && *m >= 0)
                raise_retention(t, *m);
            else
                eng_.unbounded_event_types.insert(t);
        }
    }

    void set_shape_markers() {
        if (out_.patterns.size() != 3) return;
        const CompiledPattern& p2 = out_.patterns[1];
        const CompiledPattern& p3 = out_.patterns[2];
        if (p2.ce == CeKind::Positive || p2.has_temporal() || p3.ce != CeKind::Positive || !p3.position) return;
        if (is_event_type(p2.type_id)) {
            out_.ce_event_tail = p3.position;
            out_.ce_event_exists = p2.ce == CeKind::Exists;
        } else if (!eng_.event_decls.empty()) {
            (p2.ce == CeKind::Not ? out_.not_tail : out_.exists_tail) = p3.position;
        }
    }

    Engine& eng_;
    FactStore& store_;
    CompiledRule out_;
    RuleScope scope_;
    size_t tuple_counter_ = 0;
    size_t member_counter_ = 0;
    size_t ce_counter_ = 0;
    std::vector<std::string> member_bindings_;  // bound by members of the open group
    std::map<size_t, TypeId> temporal_nodes_;   // pattern index -> type, ascending
    std::vector<TemporalEdge> edges_;
};

}  // namespace

Result<CompiledRule, std::string> Engine::compile_rule(RuleDef def) { return RuleCompiler(*this, std::move(def)).run(); }

}  // namespace quarn
