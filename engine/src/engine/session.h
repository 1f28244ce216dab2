// A rule engine session, as the bindings and the behaviour-case runners use
// it: built from the declared types, given event declarations and rule text,
// then facts come and go between fires. Every operation returns its value or
// an EngineError. The engine's record (engine.h) stays behind this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ids.h"
#include "engine/broken_state.h"
#include "engine/engine_error.h"
#include "engine/firing.h"
#include "store/fact_store.h"
#include "store/value.h"

namespace quarn {

class Engine;

class Session {
public:
    // The declared types, with the six built-in ones appended; refuses a
    // repeated name, a reserved name and more than 64 fields.
    static EngineResult<Session> create(std::vector<TypeSchema> schemas);
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;
    ~Session();

    // Declares an event type; before the rule text.
    EngineStatus declare_event(std::string_view type_name, std::string_view ts_field,
                               std::optional<std::string_view> duration_field, std::optional<int64_t> expires_ms);
    // Compiles and loads a rule text; a refused text changes nothing.
    EngineStatus add_rules_text(std::string_view text);

    // One fact of a declared type through the default entry point.
    EngineResult<FactId> insert(std::string_view type_name, std::vector<std::pair<std::string, Value>> row);
    // Rows of type `type` as whole columns, one per field, each cell of any
    // kind insert converts: all rows stored, or on the first row insert would
    // refuse none, with insert's error. Consecutive handles in row order, the
    // first returned.
    EngineResult<FactId> insert_table(TypeId type, std::vector<Column> columns, size_t rows);
    // The same without the check: every cell already of its field's kind and
    // valid (a caller that checked the rows itself).
    EngineResult<FactId> insert_columns(TypeId type, std::vector<Column> columns, size_t rows);
    // Sets fields of a live fact, all or nothing.
    EngineStatus update_fact(FactId fact, std::vector<std::pair<std::string, Value>> changes);
    // Deletes a fact; a deleted one stays deleted.
    EngineStatus delete_fact(FactId fact);
    // Moves the pseudo-clock forward by `ms`.
    EngineStatus advance(int64_t ms);
    // Empties working memory, the agenda, the clock and handle numbering;
    // keeps the rules, queries and types.
    EngineStatus reset();

    // Fires to quiescence, at most `fire_limit` firings, each read as a Firing;
    // `report`, when given, is filled whether the fire succeeds or fails.
    EngineResult<Firings> fire_all(uint64_t fire_limit, FireReport* report = nullptr);
    // The same, each firing handed to `sink` as it completes instead.
    EngineStatus fire_all(uint64_t fire_limit, FiringSink& sink, FireReport* report = nullptr);
    // The failure that broke the engine in the middle of a change, if one
    // did: every later call but this one throws it again.
    const std::optional<EngineFailure>& failure() const;

    // The facts and their types, for reading results.
    const FactStore& store() const;
    // The facts as they are now, for a reader that comes after later changes
    // or after the session itself (FactSnapshot): what a fire's result reads.
    FactSnapshot snapshot();
    // Live facts for results, handle order: no built-in, query row or
    // groupby row facts, none of a named entry point.
    std::vector<FactView> facts() const;
    // Their handles, in the same order.
    std::vector<FactId> fact_ids() const;
    // The handles of those facts that are of type `type`, ascending.
    std::vector<FactId> fact_ids_of_type(TypeId type) const;
    // Type name of a live fact, none for a deleted one, an error for a
    // handle never issued.
    EngineResult<std::optional<std::string>> fact_type_name(FactId fact) const;
    // The name of rule `rule` (load order), as FiringSink::fired numbers it.
    const std::string& rule_name(size_t rule) const;
    // Whether `fact` is an answer row of a ?query element.
    bool is_query_row(FactId fact) const;
    // The call of the rule's ?query element at match position `position` as a
    // pseudo fact "QueryArgs" with the answer row's values as members; none
    // when no ?query element sits there.
    std::optional<FactView> render_qargs(size_t rule, size_t position, FactId row) const;
    // The members of a collection result, or its collected values; null for
    // a fact that is no such result.
    const std::vector<FactId>* collect_members(FactId fact) const;
    const std::vector<Value>* collect_values(FactId fact) const;
    // Whether every fact shows as the store holds it: the session has no
    // ?query answer rows and no collection results now.
    bool facts_show_as_stored() const;

private:
    explicit Session(std::unique_ptr<Engine> engine);
    std::unique_ptr<Engine> engine_;
    friend Engine& engine_of(Session& session);
};

}  // namespace quarn
