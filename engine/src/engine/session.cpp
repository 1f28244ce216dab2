// Session: the engine's public face, each operation passed to the Engine it owns.
#include "engine/session.h"

#include "engine/engine.h"

namespace quarn {

Session::Session(std::unique_ptr<Engine> engine) : engine_(std::move(engine)) {}
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

Engine& engine_of(Session& session) { return *session.engine_; }

EngineResult<Session> Session::create(std::vector<TypeSchema> schemas) {
    EngineResult<Engine> made = Engine::create(std::move(schemas));
    if (!made) return err(std::move(made).error());
    return Session(std::make_unique<Engine>(std::move(made).value()));
}

EngineStatus Session::declare_event(std::string_view type_name, std::string_view ts_field,
                                    std::optional<std::string_view> duration_field,
                                    std::optional<int64_t> expires_ms) {
    return engine_->declare_event(type_name, ts_field, duration_field, expires_ms);
}

EngineStatus Session::add_rules_text(std::string_view text) { return engine_->add_rules_text(text); }

EngineResult<FactId> Session::insert(std::string_view type_name, std::vector<std::pair<std::string, Value>> row) {
    return engine_->insert(type_name, std::move(row));
}

EngineResult<FactId> Session::insert_table(TypeId type, std::vector<Column> columns, size_t rows) {
    return engine_->insert_table(type, std::move(columns), rows);
}

EngineResult<FactId> Session::insert_columns(TypeId type, std::vector<Column> columns, size_t rows) {
    return engine_->insert_columns(type, std::move(columns), rows);
}

EngineStatus Session::update_fact(FactId fact, std::vector<std::pair<std::string, Value>> changes) {
    return engine_->update_fact(fact, std::move(changes));
}

EngineStatus Session::delete_fact(FactId fact) { return engine_->delete_fact(fact); }
EngineStatus Session::advance(int64_t ms) { return engine_->advance(ms); }
EngineStatus Session::reset() { return engine_->reset(); }

EngineResult<Firings> Session::fire_all(uint64_t fire_limit, FireReport* report) {
    return engine_->fire_all(fire_limit, report);
}

EngineStatus Session::fire_all(uint64_t fire_limit, FiringSink& sink, FireReport* report) {
    // The sink is the caller's for this fire only, whatever way it ends.
    struct Scope {
        Engine& e;
        ~Scope() { e.firing_sink = nullptr; }
    } scope{*engine_};
    engine_->firing_sink = &sink;
    EngineResult<Firings> fired = engine_->fire_all(fire_limit, report);
    if (!fired) return err(std::move(fired).error());
    return {};
}

const std::optional<EngineFailure>& Session::failure() const { return engine_->broken_state.failure(); }
const FactStore& Session::store() const { return engine_->store; }
FactSnapshot Session::snapshot() { return engine_->store.snapshot(); }
std::vector<FactView> Session::facts() const { return engine_->facts(); }
std::vector<FactId> Session::fact_ids() const { return engine_->fact_ids(); }
std::vector<FactId> Session::fact_ids_of_type(TypeId type) const { return engine_->fact_ids_of_type(type); }

EngineResult<std::optional<std::string>> Session::fact_type_name(FactId fact) const {
    return engine_->fact_type_name(fact);
}

const std::string& Session::rule_name(size_t rule) const { return engine_->rules.at(rule).def.name; }
bool Session::is_query_row(FactId fact) const { return engine_->is_query_row(fact); }

std::optional<FactView> Session::render_qargs(size_t rule, size_t position, FactId row) const {
    return engine_->render_qargs(rule, position, row);
}

const std::vector<FactId>* Session::collect_members(FactId fact) const {
    const auto& members = engine_->acc.collect_members;
    if (members.empty()) return nullptr;
    auto found = members.find(fact);
    return found == members.end() ? nullptr : &found->second;
}

bool Session::facts_show_as_stored() const {
    return engine_->qrow_types.empty() && engine_->acc.collect_members.empty() && engine_->acc.collect_values.empty();
}

const std::vector<Value>* Session::collect_values(FactId fact) const {
    const auto& values = engine_->acc.collect_values;
    if (values.empty()) return nullptr;
    auto found = values.find(fact);
    return found == values.end() ? nullptr : &found->second;
}

}  // namespace quarn
