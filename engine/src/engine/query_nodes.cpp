// ?query elements in rules: the node that asks the query machine once per left
// tuple and passes on one child per answer row, the check of those answers
// when a fact the query reads changes, and the rendering of an answer row in a
// firing.
#include <algorithm>
#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kAllFields = ~uint64_t{0};

// One argument per parameter: a literal as written, a bound argument as the
// tuple's fact holds it now (alive or not), nothing where the query binds it.
QueryArgs argument_set(const FactStore& store, const CompiledQce& qce, TupleView t) {
    QueryArgs out;
    out.reserve(qce.args.size());
    for (const CeArg& a : qce.args) {
        switch (a.kind) {
            case Src::Kind::Lit: out.emplace_back(a.lit); break;
            case Src::Kind::FactField:
                if (a.position >= t.size()) invariant_broken("a query argument beyond its left tuple");
                out.emplace_back(store.get(t[a.position], a.field));
                break;
            case Src::Kind::SnapField: out.emplace_back(std::nullopt); break;
        }
    }
    return out;
}

// Equal as stored values: same kind and payload (a NaN equals itself, 1 and
// 1.0 differ), so an unchanged answer is recognised as such.
bool same_value(const Value& a, const Value& b) {
    if (a.tag() != b.tag()) return false;
    if (a.tag() == ValueTag::F64) return std::bit_cast<uint64_t>(a.as_f64()) == std::bit_cast<uint64_t>(b.as_f64());
    return a == b;
}

bool row_holds(const FactStore& store, FactId row, const std::vector<Value>& values) {
    for (size_t i = 0; i < values.size(); ++i)
        if (!same_value(store.get(row, i), values[i])) return false;
    return true;
}

// The fields of its type that a query's pattern element reads: tested,
// unified or bound.
uint64_t fields_read(const CNode& c) {
    uint64_t mask = 0;
    auto add = [&mask](uint32_t field) { mask |= field < 64 ? uint64_t{1} << field : 0; };
    for (const auto& [field, test] : c.alpha) add(field);
    for (const auto& [slot, field] : c.field_binds) add(field);
    for (const UnifyItem& u : c.unify) add(u.field);
    return mask;
}

}  // namespace

void Engine::index_query_nodes() {
    query_nodes.readers_by_type.assign(store.type_count(), {});
    query_nodes.nodes.clear();
    for (size_t n = 0; n < nodes.size(); ++n) {
        if (nodes[n].node.kind() != Kind::Query) continue;
        const auto [r, p] = nodes[n].owner;
        const CompiledPattern& pat = rules[r].patterns[p];
        if (!pat.qce) invariant_broken("query node pattern has a qce spec");
        query_nodes.nodes.try_emplace(n);
        // Types in the order the queries first read them.
        std::vector<std::pair<TypeId, uint64_t>> read;
        for (uint32_t q : dependencies(queries, {pat.qce->query}))
            for (const std::vector<CNode>& branch : queries[q].branches)
                for (const CNode& c : branch) {
                    if (c.is_call()) continue;
                    auto it = std::find_if(read.begin(), read.end(), [&](const auto& x) { return x.first == c.type_id; });
                    if (it == read.end()) read.emplace_back(c.type_id, fields_read(c));
                    else it->second |= fields_read(c);
                }
        for (const auto& [type, fields] : read) {
            if (type >= query_nodes.readers_by_type.size()) query_nodes.readers_by_type.resize(size_t{type} + 1);
            query_nodes.readers_by_type[type].push_back(QueryNodes::Reader{n, fields});
        }
    }
}

void Engine::note_query_inputs(FactId fact, uint64_t mask, Stamp stamp) {
    const TypeId type = store.fact_type(fact);
    if (type >= query_nodes.readers_by_type.size()) return;
    for (const QueryNodes::Reader& reader : query_nodes.readers_by_type[type]) {
        if (mask != kAllFields && (mask & reader.fields) == 0) continue;
        QueryNodes::NodeState& state = query_nodes.nodes.at(reader.node);
        // Tuples still staged get fresh answers when they arrive anyway.
        if (state.lefts.empty()) continue;
        if (!state.due) {
            state.due = true;
            state.due_stamp = stamp;
        } else if (state.due_stamp != stamp) {
            state.due_stamp.reset();
        }
        for (size_t r : rules_of_node[reader.node]) {
            RuleNet& net = nets[r];
            net.dirty = true;
            put_on_agenda(r);
            net.dirty_stamp = input_seq;
        }
    }
}

bool Engine::query_refresh_due(size_t node) const {
    if (nodes[node].node.kind() != Kind::Query) return false;
    auto it = query_nodes.nodes.find(node);
    return it != query_nodes.nodes.end() && it->second.due;
}

EngineStatus Engine::eval_query_node(size_t id, Staged<TupleId> left, Out& out) {
    const auto [r, p] = nodes[id].owner;
    const CompiledPattern& pat = rules[r].patterns[p];
    if (!pat.qce) invariant_broken("query node pattern has a qce spec");
    const CompiledQce& qce = *pat.qce;
    QueryNodes::NodeState& state = query_nodes.nodes.at(id);

    // Who asks, one argument set each: the inserted tuples, then the updated
    // ones, then (when a fact the query reads changed) every other tuple
    // present, oldest first, whose answers are checked rather than replaced.
    enum class Why : uint8_t { Inserted, Updated, Checked };
    struct Ask {
        TupleId tuple;
        Stamp stamp;
        Why why;
    };
    std::vector<Ask> asks;
    for (const auto& e : left.ins) asks.push_back({e.item, e.stamp, Why::Inserted});
    for (const auto& e : left.upd) asks.push_back({e.item, e.stamp, Why::Updated});
    if (state.due) {
        state.lefts.for_each([&](TupleId t) {
            if (!left.ins.contains(t) && !left.upd.contains(t) && !left.del.contains(t) && !left.cancelled.contains(t))
                asks.push_back({t, state.due_stamp, Why::Checked});
        });
    }
    std::vector<QueryArgs> arg_sets;
    arg_sets.reserve(asks.size());
    for (const Ask& a : asks) arg_sets.push_back(argument_set(store, qce, tuples.view(a.tuple)));

    for (uint32_t q : dependencies(queries, {qce.query}))
        if (q < tracked_queries.size()) tracked_queries[q] = 1;
    Result<std::vector<QueryRow>, std::string> ran = run_site(store, queries, query_caches, qce.query, arg_sets);
    if (!ran) return engine_err(std::move(ran).error());
    const std::vector<QueryRow>& rows = *ran;

    // Every row is checked before anything changes. A row holding a null
    // answers a null argument, which matches nothing (row types hold no
    // nulls); one the row type refuses otherwise fails the query.
    enum : uint8_t { kSkip, kNew, kKept };
    std::vector<uint8_t> fate(rows.size(), kNew);
    const size_t width = store.schema(qce.row_type).fields.size();
    for (size_t i = 0; i < rows.size(); ++i) {
        const QueryRow& row = rows[i];
        if (row.arg_row >= asks.size()) invariant_broken("a query row answers an argument set never asked");
        if (row.values.size() != width) invariant_broken("a query row does not match its row type");
        if (std::any_of(row.values.begin(), row.values.end(), [](const Value& v) { return v.is_null(); })) {
            fate[i] = kSkip;
            continue;
        }
        // A variable named twice holds one value: rows that bind it two ways
        // answer a different call.
        if (std::any_of(qce.repeats.begin(), qce.repeats.end(), [&](const auto& rep) {
                return !eval_cmp(row.values[rep.first], CmpOp::Eq, row.values[rep.second]);
            })) {
            fate[i] = kSkip;
            continue;
        }
        for (size_t k = 0; k < width; ++k)
            if (Status fits = store.check_value(qce.row_type, k, row.values[k]); !fits)
                return engine_err(fmt("query {}: answer row refused: {}", queries[qce.query].name, fits.error()));
    }

    HashMap<TupleId, std::vector<FactId>>& answers = qce_answers[{r, p}];
    // A checked tuple keeps the rows that come back unchanged: each answer
    // row takes the first old row fact holding the same values.
    std::vector<std::vector<FactId>> kept(asks.size());
    std::vector<std::vector<FactId>> dropped(asks.size());
    for (size_t a = 0; a < asks.size(); ++a) {
        if (asks[a].why != Why::Checked) continue;
        auto old = answers.find(asks[a].tuple);
        if (old != answers.end()) dropped[a] = old->second;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Ask& ask = asks[rows[i].arg_row];
        if (fate[i] == kSkip || ask.why != Why::Checked) continue;
        std::vector<FactId>& old = dropped[rows[i].arg_row];
        auto same = std::find_if(old.begin(), old.end(), [&](FactId f) { return row_holds(store, f, rows[i].values); });
        if (same == old.end()) continue;
        fate[i] = kKept;
        kept[rows[i].arg_row].push_back(*same);
        old.erase(same);
    }

    // Nothing fails from here on.
    auto retract = [&](TupleId t, FactId row, Stamp stamp) {
        if (store.is_alive(row)) store.remove(row);
        out.child_del(tuples.extend(t, row), stamp);
    };
    auto retract_all = [&](TupleId t, Stamp stamp) {
        auto it = answers.find(t);
        if (it == answers.end()) return;
        std::vector<FactId> gone = std::move(it->second);
        answers.erase(it);
        for (FactId row : gone) retract(t, row, stamp);
    };
    for (const auto& e : left.del) {
        retract_all(e.item, e.stamp);
        state.lefts.remove_first(e.item);
    }
    for (const auto& e : left.cancelled) {
        retract_all(e.item, e.stamp);
        state.lefts.remove_first(e.item);
    }
    // Only a tuple inserted twice without a delete between has rows here on insert.
    for (const auto& e : left.upd) retract_all(e.item, e.stamp);
    for (const auto& e : left.ins) retract_all(e.item, e.stamp);
    // An updated tuple moves to the end, as in node memories.
    auto arrive = [&](TupleId t) {
        if (state.lefts.contains(t)) state.lefts.move_to_back(t);
        else state.lefts.push_back(t);
    };
    for (const auto& e : left.upd.oldest_first()) arrive(e.item);
    for (const auto& e : left.ins.oldest_first()) arrive(e.item);
    for (size_t a = 0; a < asks.size(); ++a) {
        if (asks[a].why != Why::Checked) continue;
        for (FactId row : dropped[a]) retract(asks[a].tuple, row, asks[a].stamp);
        if (kept[a].empty()) answers.erase(asks[a].tuple);
        else answers.insert_or_assign(asks[a].tuple, std::move(kept[a]));
    }

    for (size_t i = 0; i < rows.size(); ++i) {
        if (fate[i] != kNew) continue;
        const Ask& ask = asks[rows[i].arg_row];
        Result<FactId, std::string> row = store.insert(qce.row_type, rows[i].values);
        if (!row) invariant_broken(fmt("a checked query row refused: {}", row.error()));
        own_facts.insert(*row);
        out.trg.add_ins_ph(tuples.extend(ask.tuple, *row), ask.stamp, StagedFlag::Insert);
        answers[ask.tuple].push_back(*row);
    }
    state.due = false;
    state.due_stamp.reset();
#ifdef QUARN_VERIFY_NODES
    for (const auto& [t, held] : answers) {
        if (!state.lefts.contains(t)) invariant_broken("a query node answers an absent tuple");
        for (FactId row : held)
            if (!store.is_alive(row) || store.fact_type(row) != qce.row_type)
                invariant_broken("a query node holds a retracted row");
    }
#endif
    return {};
}

bool Engine::is_query_row(FactId fact) const {
    if (qrow_types.empty() || !store.knows(fact)) return false;
    const TypeId t = store.fact_type(fact);
    return std::find(qrow_types.begin(), qrow_types.end(), t) != qrow_types.end();
}

std::optional<FactView> Engine::render_qargs(size_t rule, size_t position, FactId row) const {
    if (rule >= rules.size()) return std::nullopt;
    for (const CompiledPattern& p : rules[rule].patterns) {
        if (p.position != position) continue;
        if (!p.qce || !store.knows(row) || store.fact_type(row) != p.qce->row_type) return std::nullopt;
        FactView view;
        view.type_name = "QueryArgs";
        view.id = std::numeric_limits<uint32_t>::max();
        std::vector<std::optional<FactView>> members;
        members.reserve(p.qce->args.size());
        for (size_t i = 0; i < p.qce->args.size(); ++i) {
            const bool given = i < 64 && ((p.qce->given_mask >> i) & 1) != 0;
            if (given) members.emplace_back(std::nullopt);
            else members.emplace_back(scalar_view(store.get(row, i)));
        }
        view.members = std::move(members);
        return view;
    }
    return std::nullopt;
}

FactView Engine::render_fired_at(size_t rule, size_t position, FactId fact) const {
    if (is_query_row(fact))
        if (std::optional<FactView> call = render_qargs(rule, position, fact)) return std::move(*call);
    return render_fired(fact);
}

}  // namespace quarn
