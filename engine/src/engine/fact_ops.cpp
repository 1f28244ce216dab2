// Fact insert, update and delete from outside the rules, with their bookkeeping and propagation.
#include <algorithm>
#include <array>
#include <utility>

#include "common/text.h"
#include "store/decimal.h"
#include "engine/engine.h"

namespace quarn {

EngineResult<FactId> Engine::insert(std::string_view type_name, std::vector<std::pair<std::string, Value>> row) {
    return insert_into(type_name, std::move(row), std::nullopt);
}

namespace {

// The checks of an insert up to the store's: entry point, type, each field's
// pair and its conversion, into `out` (values appended to out.values). With
// `check_cells` also the store's refusal of each cell, which inserting gives
// anyway. The row's values are moved out.
EngineStatus prepare_row(const Engine& e, std::string_view type_name, std::vector<std::pair<std::string, Value>>& row,
                         std::optional<std::string_view> entry_point, bool check_cells, PreparedInsert& out) {
    if (entry_point && !entry_point->empty() && *entry_point != "DEFAULT") {
        auto it = e.entry_points.find(std::string(*entry_point));
        if (it == e.entry_points.end())
            return engine_err(fmt("no rule references entry-point {} (unknown entry point)", quoted(*entry_point)));
        out.entry_point = it->second;
    }
    if (type_name == "InitialFact") return engine_err(fmt("type name {} is reserved", type_name));
    std::optional<TypeId> t = e.store.type_id(type_name);
    if (!t) return engine_err(fmt("unknown type {}", type_name));
    out.type = *t;

    // Each declared field takes the first pair of its name; the row's last pair
    // moves into the hole, which decides which leftover an error names. The
    // pairs stay where they are: `order` holds their places as they would move.
    const TypeSchema& schema = e.store.schema(*t);
    out.values.reserve(schema.fields.size());
    constexpr size_t kInline = 16;
    std::array<uint32_t, kInline> inline_order;
    std::vector<uint32_t> long_order;
    uint32_t* order = inline_order.data();
    if (row.size() > kInline) {
        long_order.resize(row.size());
        order = long_order.data();
    }
    size_t left = row.size();
    for (size_t k = 0; k < left; ++k) order[k] = static_cast<uint32_t>(k);
    for (const auto& [field, type] : schema.fields) {
        size_t k = 0;
        while (k < left && row[order[k]].first != field) ++k;
        if (k == left) return engine_err(fmt("{}: missing field {}", schema.name, field));
        Value& v = row[order[k]].second;
        order[k] = order[--left];
        // Nulls and values of the field's own kind convert to themselves (a
        // decimal may still need its scale or precision checked). Below Dec,
        // a field kind and a value tag share their codes.
        if (v.is_null() ||
            (type.kind != FieldKind::Dec && static_cast<uint8_t>(v.tag()) == static_cast<uint8_t>(type.kind))) {
            out.values.push_back(std::move(v));
            continue;
        }
        std::optional<Value> c = coerce(std::move(v), type);
        if (!c) return engine_err(fmt("{}.{}: type mismatch", schema.name, field));
        out.values.push_back(std::move(*c));
    }
    if (left != 0) return engine_err(fmt("{}: unknown field {}", schema.name, row[order[0]].first));
    if (check_cells)
        for (size_t i = 0; i < out.values.size(); ++i)
            if (Status ok = e.store.check_value(out.type, i, out.values[i]); !ok)
                return engine_err(std::move(ok).error());
    return {};
}

}  // namespace

EngineResult<PreparedInsert> Engine::prepare_insert(std::string_view type_name,
                                                    std::vector<std::pair<std::string, Value>> row,
                                                    std::optional<std::string_view> entry_point) const {
    broken_state.refuse_if_broken();
    PreparedInsert out;
    QUARN_CHECK(prepare_row(*this, type_name, row, entry_point, true, out));
    return out;
}

EngineResult<FactId> Engine::insert_into(std::string_view type_name, std::vector<std::pair<std::string, Value>> row,
                                         std::optional<std::string_view> entry_point) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    PreparedInsert prepared{0, 0, std::exchange(insert_values, {})};
    EngineResult<FactId> stored = [&]() -> EngineResult<FactId> {
        // The store refuses a cell as check_cells would, and stores nothing then.
        QUARN_CHECK(prepare_row(*this, type_name, row, entry_point, false, prepared));
        Result<FactId, std::string> f = store.insert_taking(prepared.type, prepared.values);
        if (!f) return engine_err(std::move(f).error());
        return *f;
    }();
    prepared.values.clear();
    insert_values = std::move(prepared.values);
    if (stored) after_outside_insert(*stored, prepared.type, prepared.entry_point);
    return stored;
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

EngineResult<FactId> Engine::insert_prepared(PreparedInsert prepared) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    const TypeId type = prepared.type;
    if (type >= store.type_count() || prepared.entry_point >= entry_point_names.size())
        invariant_broken("a prepared insert names no known type or entry point");
    Result<FactId, std::string> stored = store.insert(type, std::move(prepared.values));
    if (!stored) return engine_err(std::move(stored).error());
    after_outside_insert(*stored, type, prepared.entry_point);
    return *stored;
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

EngineResult<FactId> Engine::insert_columns(TypeId type, std::vector<Column> columns, size_t rows) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    if (type >= store.type_count()) invariant_broken("a column insert names no known type");
    if (!immediate) {
        // Nothing propagates yet, so storing every row before the bookkeeping
        // of the first is the same as taking them one by one.
        Result<FactId, std::string> stored = store.append_columns(type, std::move(columns), rows);
        if (!stored) invariant_broken(fmt("the row check and the engine disagree: {}", stored.error()));
        const FactId first = *stored;
        for (size_t k = 0; k < rows; ++k) after_outside_insert(first + static_cast<FactId>(k), type, 0);
        return first;
    }
    // Each fact propagates before the next is stored: a rule must not see a
    // later row while an earlier one is taken in.
    if (columns.size() != store.schema(type).fields.size())
        invariant_broken("a column insert with the wrong number of columns");
    FactId first = static_cast<FactId>(store.fact_count());
    for (size_t k = 0; k < rows; ++k) {
        PreparedInsert p{type, 0, {}};
        p.values.reserve(columns.size());
        for (Column& c : columns) p.values.push_back(c.take(static_cast<uint32_t>(k)));
        // The rows before this one are stored and propagated already: a
        // refusal here leaves the insert half done.
        EngineResult<FactId> f = insert_prepared(std::move(p));
        if (!f) invariant_broken(fmt("the row check and the engine disagree: {}", f.error().message));
        if (k == 0) first = *f;
    }
    return first;
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

namespace {

// Whether insert keeps every cell of `c` as it is for a field of type `t`:
// cells of the field's kind (a field kind is its cells' index) and, for a
// decimal, of the field's scale and within its precision.
bool already_typed(const Column& c, const FieldType& t) {
    if (c.cells.index() != static_cast<size_t>(t.kind)) return false;
    if (t.kind != FieldKind::Dec) return true;
    const i128 bound = pow10_i128(t.p).value_or(kI128Max) - 1;
    const std::vector<DecParts>& decs = std::get<4>(c.cells);
    for (uint32_t i = 0; i < decs.size(); ++i)
        if (!c.is_null(i) && (decs[i].s != t.s || decs[i].u > bound || decs[i].u < -bound)) return false;
    return true;
}

}  // namespace

EngineResult<FactId> Engine::insert_table(TypeId type, std::vector<Column> columns, size_t rows) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    if (type >= store.type_count()) invariant_broken("a table insert names no known type");
    const TypeSchema& schema = store.schema(type);
    if (columns.size() != schema.fields.size()) invariant_broken("a table insert with the wrong number of columns");
    if (rows == 0) return static_cast<FactId>(store.fact_count());

    // Column by column, each converted whole unless a row fails; past the
    // first failing row no column needs converting. Which fault of that row
    // is reported is insert's decision, made below.
    size_t first_bad = rows;
    for (size_t j = 0; j < columns.size(); ++j) {
        const FieldType& ft = schema.fields[j].second;
        const bool nullable = schema.is_nullable(j);
        Column& col = columns[j];
        if (already_typed(col, ft)) {
            if (col.validity && !nullable)
                for (uint32_t i = 0; i < first_bad; ++i)
                    if (col.is_null(i)) first_bad = i;
            continue;
        }
        Column converted = Column::empty(ft, nullable);
        size_t i = 0;
        for (; i < rows && i <= first_bad; ++i) {
            Value v = col.get(static_cast<uint32_t>(i));
            if (v.is_null() && !nullable) break;
            std::optional<Value> c = coerce(std::move(v), ft);
            if (!c) break;
            converted.push(*c);
        }
        if (i < rows) first_bad = std::min(first_bad, i);
        else col = std::move(converted);
    }
    if (first_bad < rows) {
        std::vector<std::pair<std::string, Value>> row;
        row.reserve(columns.size());
        for (size_t j = 0; j < columns.size(); ++j)
            row.emplace_back(schema.fields[j].first, columns[j].get(static_cast<uint32_t>(first_bad)));
        EngineResult<PreparedInsert> refused = prepare_insert(schema.name, std::move(row), std::nullopt);
        if (!refused) return err(std::move(refused).error());
        invariant_broken(fmt("insert accepts row {} of {} that the table check refused", first_bad, schema.name));
    }
    // The store takes validity exactly where a field is nullable; a column
    // of a non-nullable field that holds validity holds no null here.
    for (size_t j = 0; j < columns.size(); ++j) {
        if (!schema.is_nullable(j)) columns[j].validity.reset();
        else if (!columns[j].validity) columns[j].validity.emplace(rows, 1);
    }
    return insert_columns(type, std::move(columns), rows);
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

void Engine::after_outside_insert(FactId f, TypeId type, uint32_t entry_point) {
    if (entry_point != 0) {
        if (store.entry_points.size() <= f) store.entry_points.resize(size_t{f} + 1, 0);
        store.entry_points[f] = entry_point;
    }
    // The event time is fixed at insertion: later updates of the field do not
    // move the event. Without event types nothing expires (2) and no window
    // evicts.
    const bool events = !event_decls.empty();
    if (auto decl = events ? event_decls.find(type) : event_decls.end(); decl != event_decls.end()) {
        Value ts = store.get(f, decl->second.ts_field);
        if (ts.tag() == ValueTag::I64) store.event_ts[f] = ts.as_i64();
    }
    const uint8_t expiry = events ? schedule_expiration(f) : 2;
    if (has_shadows()) shadow_intake(f, expiry);
    if (events) schedule_window_evictions(f);
    tms_note_stated(f);

    if (!immediate) return;
    if (!events) {
        // No flush follows: the windows are closed here.
        on_insert(f, std::nullopt);
        for (RuleNet& net : nets) net.s0_close_window(merge_windows);
        return;
    }
    // The flush closes every rule's window first.
    StageSnapshot snapshot = stage_snapshot_for(type);
    on_insert(f, std::nullopt);
    flush_origin_type = type;
    stream_flush_ex(snapshot, true);
    flush_origin_type.reset();
}

EngineStatus Engine::update_fact(FactId fact, std::vector<std::pair<std::string, Value>> changes) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    QUARN_CHECK(check_handle(fact));
    QUARN_CHECK(refuse_own_fact(fact, "update"));
    if (!store.is_alive(fact)) return engine_err(fmt("update of dead handle {}", fact));
    const TypeId type = store.fact_type(fact);
    if (logical_types.count(type))
        return engine_err(
            "external update of a logically-inserted type is out of subset (D-076; a runtime error otherwise — "
            "tms_u1/u4)");

    // All or nothing: every pair is looked up, converted and checked before the
    // first is written, so a refused pair leaves the store and the network as
    // they were.
    const TypeSchema& schema = store.schema(type);
    std::vector<std::pair<size_t, Value>> writes;
    writes.reserve(changes.size());
    uint64_t mask = 0;
    for (auto& [name, value] : changes) {
        std::optional<size_t> field = store.field_index(type, name);
        if (!field) return engine_err(fmt("{}: no field {}", schema.name, name));
        std::optional<Value> c = coerce(std::move(value), store.field_type(type, *field));
        if (!c) return engine_err(fmt("{}.{}: type mismatch", schema.name, name));
        if (Status ok = store.check_value(type, *field, *c); !ok) return engine_err(std::move(ok).error());
        writes.emplace_back(*field, std::move(*c));
        mask |= uint64_t{1} << *field;
    }
    for (auto& [field, value] : writes)
        if (Status ok = store.set_value(fact, field, std::move(value)); !ok)
            invariant_broken("checked value refused: " + ok.error());

    if (has_shadows()) shadow_refresh(fact);
    if (immediate) {
        on_update(fact, mask, std::nullopt);
        const bool merge = merge_windows && event_decls.empty();
        for (RuleNet& net : nets) net.s0_close_window(merge);
    }
    return {};
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

EngineStatus Engine::delete_fact(FactId fact) try {
    OutsideCall call(switches, outside_calls);
    broken_state.refuse_if_broken();
    reclaim_dead_rows_if_due();
    QUARN_CHECK(check_handle(fact));
    QUARN_CHECK(refuse_own_fact(fact, "delete"));
    if (!store.is_alive(fact)) return {};
    TmsRoute route = tms_route_delete_ex(fact, false);
    if (!route.proceed) return {};
    const FactId f = route.fact;
    if (!store.is_alive(f)) return {};
    store.remove(f);  // also leaves the expired set
    if (!expiring && has_shadows()) shadow_drop(f);
    if (!immediate) return {};

    const TypeId type = store.fact_type(f);
    const bool event = event_decls.count(type) != 0;
    // A windowed accumulate removes the fact when the queued change is taken at
    // the next flush, not here.
    const bool windowed = !expiring && event && !change_scopes.acc_nodes_of(type).empty();
    deleting_fact = f;
    on_delete_ex(f, std::nullopt, windowed);
    deleting_fact.reset();
    if (windowed) window_changes.push_back(WindowChange{f, 1, 0});
    for (RuleNet& net : nets) net.s0_close_window(merge_windows && event_decls.empty());
    if (expiring || !event) return {};

    // A deleted event can unblock a not pattern before any time passes.
    const bool was_eager = eager_eval;
    eager_eval = true;
    for (const size_t r : change_scopes.negating_rules_of(type)) {
        tms.forced_eval = true;
        evaluate_rule_inner(r, true);
        tms.forced_eval = false;
    }
    eager_eval = was_eager;
    return {};
} catch (...) {
    broken_state.note_current_exception();
    throw;
}

}  // namespace quarn
