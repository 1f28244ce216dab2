// Shared set-up of the query tests: a store with a few fact types and a way to
// compile query text the way the engine loads it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "queries/queries.h"
#include "store/debug_form.h"

namespace quarn::testing {

inline std::vector<std::string> reserved_names() {
    return {"InitialFact", "Long", "Double", "Collection", "SetCollection", "Decimal"};
}

inline FactStore make_store() {
    std::vector<TypeSchema> schemas = {
        {"InitialFact", {}, 0},
        {"Long", {{"value", FieldType::i64()}}, 0},
        {"Person", {{"name", FieldType::str()}, {"age", FieldType::i64()}, {"active", FieldType::boolean()}}, 0},
        {"Parent", {{"parent", FieldType::str()}, {"child", FieldType::str()}}, 0},
        {"Item", {{"k", FieldType::str()}, {"v", FieldType::i64()}, {"w", FieldType::f64()}}, 0},
        {"Nully", {{"price", FieldType::dec(10, 2)}, {"note", FieldType::str()}}, 0b10},
        {"Money", {{"amount", FieldType::dec(10, 2)}}, 0},
    };
    return FactStore(std::move(schemas));
}

// Parses `text` and compiles and validates its queries; the first error text, if any.
inline Result<std::vector<CompiledQuery>, std::string> compile_text(const FactStore& store, const std::string& text) {
    auto file = parse_file(text);
    if (!file) return err("parse: " + file.error().msg);
    auto queries = compile_queries(store, std::move(file->queries), reserved_names());
    if (!queries) return err(std::move(queries.error()));
    if (auto e = validate_calls(*queries)) return err(std::move(*e));
    return std::move(queries.value());
}

inline FactId add(FactStore& store, const std::string& type, std::vector<Value> values) {
    auto id = store.insert(*store.type_id(type), std::move(values));
    if (!id) throw std::runtime_error(id.error());
    return *id;
}

inline FactId person(FactStore& store, const std::string& name, int64_t age, bool active = true) {
    return add(store, "Person", {Value::str(name), Value::i64(age), Value::boolean(active)});
}

inline FactId parent(FactStore& store, const std::string& p, const std::string& c) {
    return add(store, "Parent", {Value::str(p), Value::str(c)});
}

inline FactId item(FactStore& store, const std::string& k, int64_t v, double w = 0) {
    return add(store, "Item", {Value::str(k), Value::i64(v), Value::f64(w)});
}

// The rows as "(arg_row values...)" groups.
inline std::string show(const std::vector<QueryRow>& rows) {
    std::string out;
    for (const QueryRow& r : rows) {
        out += "(" + std::to_string(r.arg_row);
        for (const Value& v : r.values) out += " " + debug(v);
        out += ")";
    }
    return out;
}

// Compiled queries over a store of their own, with the cache the engine keeps.
struct Site {
    FactStore store = make_store();
    std::vector<CompiledQuery> queries;
    QueryCache cache;

    explicit Site(const std::string& text) {
        auto q = compile_text(store, text);
        if (!q) throw std::runtime_error(q.error());
        queries = std::move(q.value());
    }
    // The rows of query `q` for the argument rows, or "error: <text>".
    std::string ask(uint32_t q, const std::vector<QueryArgs>& rows) {
        auto r = run_site(store, queries, cache, q, rows);
        return r.ok() ? show(*r) : "error: " + r.error();
    }
    std::vector<FactId> drain(uint32_t q, uint32_t b, uint32_t i) {
        return drain_pattern(cache, store, {q, b, i}, queries[q].branches[b][i]);
    }
};

}  // namespace quarn::testing
