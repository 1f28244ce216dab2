// Compiling `query` declarations into CompiledQuery records, with every check
// of the query subset in a fixed order: the first failure is the message.
#include <algorithm>

#include "queries/queries.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

using Error = std::string;

struct Slot {
    std::string name;
    std::optional<FieldType> type;  // none for fact bindings and call-introduced variables
    bool is_fact = false;
    std::optional<uint32_t> branch;  // declaring or-branch; none for parameters
    bool used = false;               // parameters: unified or passed on
};

std::optional<FieldType> param_type(const std::string& word) {
    if (word == "long") return FieldType::i64();
    if (word == "double") return FieldType::f64();
    if (word == "String") return FieldType::str();
    if (word == "boolean") return FieldType::boolean();
    return std::nullopt;
}

std::string accessor_name(const std::string& field, const FieldType& type) {
    std::string name = field;
    if (!name.empty() && name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return (type.kind == FieldKind::Bool ? "is" : "get") + name;
}

// The seed mixes in each key field's place among the type's accessor names.
uint32_t key_seed(const TypeSchema& schema, const std::vector<UnifyItem>& unify, const std::vector<uint32_t>& key) {
    std::vector<std::string> accessors;
    for (const auto& [name, type] : schema.fields) accessors.push_back(accessor_name(name, type));
    accessors.push_back("getClass");
    accessors.push_back("hashCode");
    accessors.push_back("toString");
    std::sort(accessors.begin(), accessors.end());
    uint32_t h = 31;
    for (uint32_t k : key) {
        const auto& [name, type] = schema.fields[unify[k].field];
        auto it = std::find(accessors.begin(), accessors.end(), accessor_name(name, type));
        uint32_t pos = static_cast<uint32_t>(it - accessors.begin());
        h = ((h << 5) | 1u) + pos;
    }
    return h;
}

void choose_key(const TypeSchema& schema, CNode& node) {
    for (uint32_t k = 0; k < node.unify.size() && node.key.size() < 3; ++k) {
        if (node.unify[k].op == CmpOp::Eq && node.unify[k].kind == UnifyItem::Kind::Binding) node.key.push_back(k);
    }
    if (node.key.empty()) {
        for (uint32_t k = 0; k < node.unify.size(); ++k) {
            if (node.unify[k].op == CmpOp::Eq && node.unify[k].kind == UnifyItem::Kind::Param) {
                node.key.push_back(k);
                node.key_from_param = true;
                break;
            }
        }
    }
    node.seed = key_seed(schema, node.unify, node.key);
}

Result<uint32_t, Error> require_str_field(const FactStore& store, TypeId t, const std::string& field,
                                          const std::string& query) {
    std::optional<size_t> idx = store.field_index(t, field);
    if (!idx) return err(fmt("query {}: no field {}", query, field));
    if (store.field_type(t, *idx).kind != FieldKind::Str) return err(fmt("query {}: {} must be a String field", query, field));
    return static_cast<uint32_t>(*idx);
}

// Compiles one query; messages not already starting "query {}: " are wrapped
// by the caller.
class QueryCompiler {
public:
    QueryCompiler(const FactStore& store, const std::vector<std::string>& query_names,
                  const std::vector<std::string>& reserved, uint32_t self)
        : store_(store), query_names_(query_names), reserved_(reserved), self_(self) {}

    // An error whose text already names the query is flagged `unwrapped`.
    struct Failure {
        Error text;
        bool unwrapped = false;
    };

    Result<CompiledQuery, Failure> compile(QueryDef& def) {
        CompiledQuery out;
        out.name = def.name;
        out.decl_seq = def.decl_seq;
        if (auto f = check_shape(def)) return err(std::move(*f));
        for (const QueryParam& p : def.params) {
            std::optional<FieldType> t = param_type(p.type_name);
            if (!t) return err(wrapped(fmt("param type {} not in subset (long/double/String/boolean)", p.type_name)));
            out.params.emplace_back(p.name, *t);
        }
        if (auto f = check_recursion(def)) return err(std::move(*f));
        for (const auto& [name, type] : out.params) new_slot({name, type, false, std::nullopt, false});
        for (uint32_t b = 0; b < def.branches.size(); ++b) {
            std::vector<CNode> nodes;
            for (QElem& elem : def.branches[b]) {
                QUARN_TRY(CNode node, is_query(elem.name) ? compile_call(elem, b) : compile_pattern(elem, b));
                nodes.push_back(std::move(node));
            }
            out.branches.push_back(std::move(nodes));
        }
        for (uint32_t p = 0; p < out.params.size(); ++p) {
            if (!slots_[p].used)
                return err(wrapped(fmt("param {} is never unified or threaded (unused params are out of subset, D-051)",
                                       slots_[p].name)));
        }
        for (const Slot& s : slots_) {
            if (!s.branch || *s.branch == 0) out.names.push_back(s.name);
        }
        out.slot_count = static_cast<uint32_t>(slots_.size());
        return out;
    }

private:
    static Failure wrapped(Error text) { return {std::move(text), false}; }
    static Failure unwrapped(Error text) { return {std::move(text), true}; }

    bool is_query(const std::string& name) const {
        return std::find(query_names_.begin(), query_names_.end(), name) != query_names_.end();
    }
    uint32_t query_index(const std::string& name) const {
        return static_cast<uint32_t>(std::find(query_names_.begin(), query_names_.end(), name) - query_names_.begin());
    }

    uint32_t new_slot(Slot s) {
        by_name_[s.name] = static_cast<uint32_t>(slots_.size());
        slots_.push_back(std::move(s));
        return static_cast<uint32_t>(slots_.size() - 1);
    }
    std::optional<uint32_t> find_slot(const std::string& name) const {
        auto it = by_name_.find(name);
        if (it == by_name_.end()) return std::nullopt;
        return it->second;
    }

    // Empty branches, then types whose fields queries cannot match.
    std::optional<Failure> check_shape(const QueryDef& def) const {
        if (def.branches.empty()) return wrapped("empty query body not in subset");
        for (const auto& branch : def.branches) {
            if (branch.empty()) return wrapped("empty query body not in subset");
        }
        for (const auto& branch : def.branches) {
            for (const QElem& elem : branch) {
                std::optional<TypeId> t = store_.type_id(elem.name);
                if (!t) continue;
                const TypeSchema& schema = store_.schema(*t);
                bool nullable = false;
                bool decimal = false;
                for (size_t i = 0; i < schema.fields.size(); ++i) {
                    nullable = nullable || schema.is_nullable(i);
                    decimal = decimal || schema.fields[i].second.kind == FieldKind::Dec;
                }
                if (nullable)
                    return wrapped(fmt("{} has nullable fields — queries over nullable types are walled (D-097)", elem.name));
                if (decimal)
                    return wrapped(fmt("{} has decimal fields — queries over decimal types are walled (D-098)", elem.name));
            }
        }
        return std::nullopt;
    }

    // A recursive query is a base branch followed by a branch with exactly one
    // self-call that is not its first element; others have at most 3 branches.
    std::optional<Failure> check_recursion(const QueryDef& def) const {
        auto self_calls = [&](const std::vector<QElem>& branch) {
            return std::count_if(branch.begin(), branch.end(), [&](const QElem& e) { return e.name == def.name; });
        };
        bool recursive = std::any_of(def.branches.begin(), def.branches.end(),
                                     [&](const auto& branch) { return self_calls(branch) > 0; });
        if (!recursive) {
            if (def.branches.size() > 3) return wrapped("more than 3 or-branches not in subset (D-055)");
            return std::nullopt;
        }
        if (def.branches.size() != 2) return wrapped("recursive queries must have exactly 2 or-branches (D-055)");
        if (self_calls(def.branches[0]) > 0) return wrapped("the recursive branch must be SECOND (base branch first, D-055)");
        if (self_calls(def.branches[1]) != 1) return wrapped("recursive queries take exactly ONE self-call (D-055)");
        if (def.branches[1][0].name == def.name)
            return wrapped("left recursion: the self-call cannot be the first element of its branch (qb7, D-055)");
        return std::nullopt;
    }

    Result<CNode, Failure> compile_call(const QElem& elem, uint32_t b) {
        if (elem.binding) return err(wrapped(fmt("call to {} cannot take a pattern binding", elem.name)));
        if (elem.kind != QElem::Kind::Positional)
            return err(wrapped(fmt("call to {} must use positional args (`{}(...;)`)", elem.name, elem.name)));
        CNode node;
        node.kind = CNode::Kind::Call;
        node.callee = query_index(elem.name);
        size_t element_start = slots_.size();
        for (const QArg& arg : elem.args) {
            CArg out;
            if (arg.kind == QArg::Kind::Lit) {
                out.lit = lit_value(arg.lit);
                node.args.push_back(std::move(out));
                continue;
            }
            out.kind = CArg::Kind::Var;
            std::optional<uint32_t> s = find_slot(arg.var);
            if (!s) {
                out.slot = new_slot({arg.var, std::nullopt, false, b, false});
            } else {
                Slot& slot = slots_[*s];
                if (slot.is_fact) return err(wrapped(fmt("{} is a fact binding; call args must be scalars", arg.var)));
                if (*s >= element_start)
                    return err(wrapped(fmt("{} is bound in the same element group (out of subset, D-053)", arg.var)));
                if (!slot.branch) {
                    slot.used = true;
                } else if (*slot.branch != b) {
                    return err(wrapped(fmt("{} is declared in another or-branch (D-055)", arg.var)));
                }
                out.slot = *s;
            }
            node.args.push_back(std::move(out));
        }
        return node;
    }

    // The positional form `T(a, b;)` read as constraints: argument i stands for
    // field i; a variable not yet known binds the field, anything else compares.
    Result<std::vector<Constraint>, Failure> positional_constraints(const QElem& elem, TypeId t) const {
        const TypeSchema& schema = store_.schema(t);
        if (elem.args.size() != schema.fields.size())
            return err(wrapped(fmt("{}: positional pattern expects {} args, got {}", elem.name, schema.fields.size(),
                                   elem.args.size())));
        std::vector<Constraint> out;
        for (size_t i = 0; i < elem.args.size(); ++i) {
            const QArg& arg = elem.args[i];
            Constraint c;
            c.field = schema.fields[i].first;
            if (arg.kind == QArg::Kind::Lit) {
                c.kind = Constraint::Kind::Cmp;
                c.rhs = Operand::literal(arg.lit);
            } else if (find_slot(arg.var)) {
                c.kind = Constraint::Kind::Cmp;
                c.rhs = Operand::variable(arg.var);
            } else {
                c.kind = Constraint::Kind::Bind;
                c.var = arg.var;
            }
            out.push_back(std::move(c));
        }
        return out;
    }

    Result<CNode, Failure> compile_pattern(const QElem& elem, uint32_t b) {
        if (std::find(reserved_.begin(), reserved_.end(), elem.name) != reserved_.end())
            return err(wrapped(fmt("type {} is reserved", elem.name)));
        std::optional<TypeId> t = store_.type_id(elem.name);
        if (!t) return err(unwrapped(fmt("query {}: unknown type or query {}", query_names_[self_], elem.name)));
        CNode node;
        node.kind = CNode::Kind::Pattern;
        node.type_id = *t;
        size_t element_start = slots_.size();
        if (elem.binding) {
            if (find_slot(*elem.binding)) return err(wrapped(fmt("duplicate identifier {}", *elem.binding)));
            node.fact_slot = new_slot({*elem.binding, std::nullopt, true, b, false});
        }
        std::vector<Constraint> positional;
        if (elem.kind == QElem::Kind::Positional) {
            QUARN_TRY(positional, positional_constraints(elem, *t));
        }
        const std::vector<Constraint>& constraints = elem.kind == QElem::Kind::Positional ? positional : elem.constraints;
        for (const Constraint& c : constraints) {
            if (auto f = compile_constraint(c, *t, b, element_start, node)) return err(std::move(*f));
        }
        choose_key(store_.schema(*t), node);
        return node;
    }

    Result<uint32_t, Failure> field_of(TypeId t, const std::string& field) const {
        std::optional<size_t> idx = store_.field_index(t, field);
        if (!idx) return err(unwrapped(fmt("query {}: {} has no field {}", query_names_[self_], store_.schema(t).name, field)));
        return static_cast<uint32_t>(*idx);
    }

    std::optional<Failure> compile_constraint(const Constraint& c, TypeId t, uint32_t b, size_t element_start,
                                              CNode& node) {
        const std::string& query = query_names_[self_];
        switch (c.kind) {
            case Constraint::Kind::Bind: {
                auto field = field_of(t, c.field);
                if (!field) return std::move(field.error());
                if (find_slot(c.var)) return wrapped(fmt("duplicate identifier {}", c.var));
                uint32_t s = new_slot({c.var, store_.field_type(t, *field), false, b, false});
                node.field_binds.emplace_back(s, *field);
                return std::nullopt;
            }
            case Constraint::Kind::Cmp: {
                auto field = field_of(t, c.field);
                if (!field) return std::move(field.error());
                const FieldType& ftype = store_.field_type(t, *field);
                if (c.rhs.kind == Operand::Kind::Lit) {
                    AlphaTest test;
                    // No query type has a nullable field, so `== null` never holds
                    // and `!= null` always does: a null test, not a comparison
                    // that would be false either way.
                    if (c.rhs.lit.tag == LiteralTag::Null && (c.op == CmpOp::Eq || c.op == CmpOp::Ne)) {
                        test.kind = AlphaTest::Kind::IsNull;
                        test.negated = c.op == CmpOp::Ne;
                    } else {
                        if (!(lit_type(c.rhs.lit) == ftype))
                            return wrapped(fmt("literal constraint on {} must match the field type exactly (D-051)", c.field));
                        test.kind = AlphaTest::Kind::Cmp;
                        test.op = c.op;
                        test.lit = lit_value(c.rhs.lit);
                    }
                    node.alpha.emplace_back(*field, std::move(test));
                    return std::nullopt;
                }
                const std::string& var = c.rhs.var;
                std::optional<uint32_t> s = find_slot(var);
                if (!s) return unwrapped(fmt("query {}: unknown binding {}", query, var));
                Slot& slot = slots_[*s];
                if (slot.is_fact) return wrapped(fmt("{} is a fact binding; comparing fields to fact bindings is out of subset", var));
                if (*s >= element_start)
                    return wrapped(fmt("{} is bound in the same pattern (same-pattern operands are out of subset, D-053)", var));
                UnifyItem item{UnifyItem::Kind::Binding, *s, *field, c.op};
                if (!slot.branch) {
                    if (c.op != CmpOp::Eq)
                        return wrapped(fmt("param {} used with a non-== operator (unification is == only, D-051)", var));
                    if (!(slot.type && *slot.type == ftype))
                        return wrapped(fmt("param {} type does not match field {} exactly", var, c.field));
                    slot.used = true;
                    item.kind = UnifyItem::Kind::Param;
                } else if (*slot.branch != b) {
                    return wrapped(fmt("{} is declared in another or-branch (D-055)", var));
                }
                node.unify.push_back(item);
                return std::nullopt;
            }
            case Constraint::Kind::Matches: {
                auto field = require_str_field(store_, t, c.field, query);
                if (!field) return unwrapped(std::move(field.error()));
                auto rx = Regex::parse(c.regex);
                if (!rx) return unwrapped(fmt("query {}: bad regex: {}", query, rx.error()));
                AlphaTest test;
                test.kind = AlphaTest::Kind::Matches;
                test.text = c.regex;
                test.regex = std::move(rx.value());
                node.alpha.emplace_back(*field, std::move(test));
                return std::nullopt;
            }
            case Constraint::Kind::Contains: {
                auto field = require_str_field(store_, t, c.field, query);
                if (!field) return unwrapped(std::move(field.error()));
                AlphaTest test;
                test.kind = AlphaTest::Kind::Contains;
                test.text = c.text;
                node.alpha.emplace_back(*field, std::move(test));
                return std::nullopt;
            }
            case Constraint::Kind::In: {
                auto field = field_of(t, c.field);
                if (!field) return std::move(field.error());
                AlphaTest test;
                test.kind = AlphaTest::Kind::In;
                test.negated = c.negated;
                for (const Literal& item : c.list) {
                    if (!(lit_type(item) == store_.field_type(t, *field)))
                        return wrapped(fmt("in-list items on {} must match the field type exactly (D-051)", c.field));
                    test.items.push_back(lit_value(item));
                }
                node.alpha.emplace_back(*field, std::move(test));
                return std::nullopt;
            }
            case Constraint::Kind::Temporal:
                return wrapped("temporal constraints in query bodies are out of subset (D-101)");
            case Constraint::Kind::Group:
                return wrapped("inline constraint groups in query bodies are out of subset (D-073)");
        }
        unreachable("constraint kind out of range");
    }

    const FactStore& store_;
    const std::vector<std::string>& query_names_;
    const std::vector<std::string>& reserved_;
    uint32_t self_;
    std::vector<Slot> slots_;
    HashMap<std::string, uint32_t> by_name_;
};

// A query reaching itself again through another query.
std::optional<Error> find_mutual_recursion(const std::vector<CompiledQuery>& queries) {
    for (uint32_t start = 0; start < queries.size(); ++start) {
        std::vector<bool> seen(queries.size(), false);
        std::vector<uint32_t> stack{start};
        seen[start] = true;
        while (!stack.empty()) {
            uint32_t x = stack.back();
            stack.pop_back();
            for (const auto& branch : queries[x].branches) {
                for (const CNode& node : branch) {
                    if (!node.is_call() || node.callee == x) continue;
                    if (node.callee == start) return fmt("query {}: mutual recursion is out of subset (D-055)", queries[start].name);
                    if (!seen[node.callee]) {
                        seen[node.callee] = true;
                        stack.push_back(node.callee);
                    }
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<CompiledQuery>, std::string> compile_queries(const FactStore& store, std::vector<QueryDef> defs,
                                                                const std::vector<std::string>& reserved) {
    std::vector<std::string> names;
    for (const QueryDef& d : defs) names.push_back(d.name);
    for (size_t i = 0; i < names.size(); ++i) {
        if (std::count(names.begin(), names.end(), names[i]) > 1) return err(fmt("duplicate query {}", names[i]));
    }
    std::vector<CompiledQuery> out;
    for (uint32_t q = 0; q < defs.size(); ++q) {
        QueryCompiler compiler(store, names, reserved, q);
        auto compiled = compiler.compile(defs[q]);
        if (!compiled) {
            auto& f = compiled.error();
            return err(f.unwrapped ? std::move(f.text) : fmt("query {}: {}", names[q], f.text));
        }
        out.push_back(std::move(compiled.value()));
    }
    if (auto e = find_mutual_recursion(out)) return err(std::move(*e));
    return out;
}

std::optional<std::string> validate_calls(const std::vector<CompiledQuery>& queries) {
    for (const CompiledQuery& q : queries) {
        for (const auto& branch : q.branches) {
            for (const CNode& node : branch) {
                if (!node.is_call()) continue;
                const CompiledQuery& callee = queries[node.callee];
                if (node.args.size() != callee.params.size())
                    return fmt("query {}: call to {} expects {} args, got {}", q.name, callee.name, callee.params.size(),
                               node.args.size());
                for (size_t i = 0; i < node.args.size(); ++i) {
                    const CArg& arg = node.args[i];
                    if (arg.kind == CArg::Kind::Lit && !(type_of(arg.lit) == callee.params[i].second))
                        return fmt("query {}: literal arg for {} of {} has the wrong type", q.name, callee.params[i].first,
                                   callee.name);
                }
            }
        }
    }
    return std::nullopt;
}

bool param_bound_all_branches(const std::vector<CompiledQuery>& queries, uint32_t q, uint32_t pos,
                              std::vector<std::pair<uint32_t, uint32_t>>& visited) {
    std::pair<uint32_t, uint32_t> here{q, pos};
    if (std::find(visited.begin(), visited.end(), here) != visited.end()) return true;
    visited.push_back(here);
    bool all = true;
    for (const auto& branch : queries[q].branches) {
        bool binds = false;
        for (const CNode& node : branch) {
            if (!node.is_call()) {
                binds = std::any_of(node.unify.begin(), node.unify.end(), [&](const UnifyItem& u) {
                    return u.kind == UnifyItem::Kind::Param && u.slot == pos;
                });
            } else {
                for (uint32_t i = 0; i < node.args.size() && !binds; ++i) {
                    const CArg& arg = node.args[i];
                    binds = arg.kind == CArg::Kind::Var && arg.slot == pos &&
                            param_bound_all_branches(queries, node.callee, i, visited);
                }
            }
            if (binds) break;
        }
        if (!binds) {
            all = false;
            break;
        }
    }
    visited.pop_back();
    return all;
}

Result<std::vector<TypeId>, std::string> declare_row_types(FactStore& store, const std::vector<CompiledQuery>& queries) {
    std::vector<TypeId> ids;
    for (const CompiledQuery& q : queries) {
        QUARN_TRY(TypeId id, store.add_schema({"__qrow$" + q.name, q.params, 0}));
        ids.push_back(id);
    }
    return ids;
}

}  // namespace quarn
