// Right-hand-side actions: argument values, inserts, setters, updates, deletes and setFocus of a firing.
#include <algorithm>
#include <array>

#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kAllFields = ~uint64_t{0};

using Snapshot = std::vector<std::vector<Value>>;

// Which bindings' values a right-hand side reads as the firing found them.
// Only a setter changes a field while the actions run: without one the live
// values are those values, and no snapshot is taken. An action reads its
// values before it acts, so the reads of actions that only a setFocus
// precedes see them live too: a modify block reads its bindings in its first
// setter, ahead of any write.
bool needs_snapshot(const CompiledRule& rule) {
    bool reads_late = false, writes = false, acted = false;
    for (const CompiledAction& a : rule.actions) {
        const bool reads =
            a.value.kind == Src::Kind::SnapField ||
            std::any_of(a.args.begin(), a.args.end(), [](const Src& s) { return s.kind == Src::Kind::SnapField; });
        reads_late = reads_late || (reads && acted);
        writes = writes || a.kind == CompiledAction::Kind::Setter;
        acted = acted || a.kind != CompiledAction::Kind::SetFocus;
    }
    return reads_late && writes;
}

// The fields the right-hand side reads from the snapshot, copied into `snap`
// (rows reused from firing to firing); the fields no action reads hold stale values.
void take_snapshot(const FactStore& store, const CompiledRule& rule, TupleView tuple, Snapshot& snap) {
    if (snap.size() < tuple.size()) snap.resize(tuple.size());
    for (size_t p = 0; p < tuple.size(); ++p) snap[p].resize(store.schema(store.fact_type(tuple[p])).fields.size());
    auto copy = [&](const Src& s) {
        if (s.kind != Src::Kind::SnapField || s.position >= tuple.size() || s.field >= snap[s.position].size()) return;
        snap[s.position][s.field] = store.get(tuple[s.position], s.field);
    };
    for (const CompiledAction& a : rule.actions) {
        copy(a.value);
        for (const Src& s : a.args) copy(s);
    }
}

FactId fact_at(TupleView tuple, size_t position) {
    if (position >= tuple.size()) invariant_broken("an action names a position past the tuple");
    return tuple[position];
}

// A fact a right-hand side just stored, in a session with event types: its
// event time, expiry and windows are fixed as for outside inserts, then it
// propagates with the stream flush. Out of line: a session without event
// types keeps the insert path of run_actions short.
[[gnu::noinline]] void propagate_rhs_insert_with_events(Engine& e, FactId f, TypeId type, bool logical,
                                                        const Stamp& stamp) {
    // Only an event expires or leaves windows.
    if (auto decl = e.event_decls.find(type); decl != e.event_decls.end()) {
        Value ts = e.store.get(f, decl->second.ts_field);
        if (ts.tag() == ValueTag::I64) e.store.event_ts[f] = ts.as_i64();
        e.schedule_expiration(f);
        e.schedule_window_evictions(f);
    }
    if (logical) e.tms_logical_stored(f);
    else e.tms_note_stated(f);
    StageSnapshot staged = e.stage_snapshot_for(type);
    e.on_insert(f, stamp);
    e.flush_origin_type = type;
    e.stream_flush_ex(staged, true);
    e.flush_origin_type.reset();
}

// A delete action of fact f (the right-hand side's own deletes come here).
[[gnu::noinline]] EngineStatus delete_by_action(Engine& e, FactId f, const Stamp& stamp) {
    // A fact an earlier action already deleted is not deleted twice.
    if (!e.store.is_alive(f)) return {};
    TmsRoute route = e.tms_route_delete_ex(f, true);
    if (!route.proceed || !e.store.is_alive(route.fact)) return {};
    e.store.remove(route.fact);  // also leaves the expired set
    e.on_delete_ex(route.fact, stamp, false);
    if (route.saved) {
        // The logical fact comes back under a new handle, unstamped.
        const TypeId type = e.store.fact_type(route.fact);
        Result<FactId, std::string> back = e.store.insert(type, *route.saved);
        if (!back) return engine_err(std::move(back).error());
        e.tms_reinstated(*back);
        e.on_insert(*back, std::nullopt);
    }
    return {};
}

}  // namespace

Value Engine::eval_src(const Src& src, TupleView tuple, const Snapshot& snapshot) const {
    return arg_value(src, tuple, &snapshot);
}

Value Engine::arg_value(const Src& src, TupleView tuple, const Snapshot* snapshot) const {
    switch (src.kind) {
        case Src::Kind::Lit: return src.lit;
        case Src::Kind::FactField: return store.get(fact_at(tuple, src.position), src.field);
        case Src::Kind::SnapField:
            if (!snapshot) return store.get(fact_at(tuple, src.position), src.field);
            if (src.position >= snapshot->size() || src.field >= (*snapshot)[src.position].size())
                invariant_broken("a snapshot source out of range");
            return (*snapshot)[src.position][src.field];
    }
    unreachable("source kind out of range");
}

EngineStatus Engine::run_actions(size_t r, TupleView tuple) {
    const CompiledRule& rule = rules[r];
    const Stamp stamp = r;
    const Snapshot* snapshot = nullptr;
    if (needs_snapshot(rule)) {
        take_snapshot(store, rule, tuple, rhs_scratch.snapshot);
        snapshot = &rhs_scratch.snapshot;
    }
    // Fields written by setters and not yet announced by an update, per fact;
    // a right-hand side names few facts, so a short list serves. They go to
    // silent_writes only where something other than this firing's update of
    // the fact may look there first: before an action that propagates (an
    // insert, a delete), before an error ends the firing, and at its end. A
    // modify block's setters and update, the usual case, leave no entry there.
    // Each field goes there once: the entry stays in `changed` for the
    // update's mask, and only fields written since it was last handed go again.
    std::vector<RhsScratch::SetterWrites>& changed = rhs_scratch.changed;
    changed.clear();
    auto note_silent_writes = [&] {
        for (RhsScratch::SetterWrites& w : changed) {
            const uint64_t fresh = w.fields & ~w.handed;
            if (fresh == 0) continue;
            silent_writes.try_emplace(w.fact).first |= fresh;
            w.handed = w.fields;
            ++silent_writes_noted;
        }
    };

    // The cell of an integer read live into an integer field, the usual
    // argument, which then goes as it is; null for any other.
    auto live_integer = [&](const Src& src, const FieldType& field) -> const int64_t* {
        const bool live = src.kind == Src::Kind::FactField || (src.kind == Src::Kind::SnapField && !snapshot);
        if (!live || field.kind != FieldKind::I64) return nullptr;
        return store.i64_cell(fact_at(tuple, src.position), src.field);
    };
    // The argument values coerced to the type's fields, in the scratch row;
    // false when one does not fit.
    std::vector<Value>& values = rhs_scratch.values;
    auto values_of = [&](const CompiledAction& a) -> bool {
        const TypeSchema& schema = store.schema(a.type_id);
        if (a.args.size() != schema.fields.size()) invariant_broken("insert arity differs from type");
        values.clear();
        for (size_t i = 0; i < a.args.size(); ++i) {
            if (const int64_t* cell = live_integer(a.args[i], schema.fields[i].second)) {
                values.push_back(Value::i64(*cell));
                continue;
            }
            Value& v = values.emplace_back(arg_value(a.args[i], tuple, snapshot));
            if (!coerce_in_place(v, schema.fields[i].second)) return false;
        }
        return true;
    };
    // The insert's arguments as integer cells when every one is such an
    // integer (a derived fact of integers, most often): the fact then goes in
    // without a row of values.
    std::array<int64_t, TypeSchema::max_fields> cells;
    auto integer_cells = [&](const CompiledAction& a) -> bool {
        const TypeSchema& schema = store.schema(a.type_id);
        if (a.args.size() != schema.fields.size()) return false;
        for (size_t i = 0; i < a.args.size(); ++i) {
            const int64_t* cell = live_integer(a.args[i], schema.fields[i].second);
            if (cell == nullptr) return false;
            cells[i] = *cell;
        }
        return true;
    };
    // Propagates a fact just stored (or the store's refusal) like any insert
    // of a right-hand side. A logical insert's fact is truth maintenance's
    // own, never a stated copy of its content; it is recorded before it
    // propagates. Inlined wherever it is used: left to itself g++ takes it
    // out of line as soon as run_actions grows, and a derived insert pays for
    // the call.
    auto insert_fact = [&](Result<FactId, std::string> stored, TypeId type, bool logical)
                           __attribute__((always_inline)) -> EngineResult<FactId> {
        if (!stored) return engine_err(std::move(stored).error());
        const FactId f = *stored;
        // The event time is fixed when the fact is stored, as for outside
        // inserts; the flush has nothing to do in a session without event types.
        if (!event_decls.empty()) {
            propagate_rhs_insert_with_events(*this, f, type, logical, stamp);
            return f;
        }
        if (logical) tms_logical_stored(f);
        else tms_note_stated(f);
        on_insert(f, stamp);
        return f;
    };

    // However the actions end, the firing activation is over with them.
    struct FiringOver {
        Tms& tms;
        ~FiringOver() { tms.end_firing(); }
    } over{tms};
    for (const CompiledAction& a : rule.actions) {
        switch (a.kind) {
            case CompiledAction::Kind::Insert: {
                note_silent_writes();
                if (integer_cells(a)) {
                    const std::span<const int64_t> row(cells.data(), a.args.size());
                    QUARN_CHECK(insert_fact(store.insert_i64s(a.type_id, row), a.type_id, false));
                    break;
                }
                if (!values_of(a)) return engine_err("RHS insert: arg type mismatch");
                QUARN_CHECK(insert_fact(store.insert_taking(a.type_id, values), a.type_id, false));
                break;
            }
            case CompiledAction::Kind::InsertLogical: {
                note_silent_writes();
                if (!values_of(a)) return engine_err("RHS insertLogical: arg type mismatch");
                // One fact per content: an equal fact already there stands for it.
                if (tms_justify_logical(a.type_id, values))
                    QUARN_CHECK(insert_fact(store.insert_taking(a.type_id, values), a.type_id, true));
                break;
            }
            case CompiledAction::Kind::Setter: {
                const FactId f = fact_at(tuple, a.target);
                const FieldType& field = store.field_type(store.fact_type(f), a.field);
                // An integer read live into an integer column goes as it is.
                const int64_t* cell = live_integer(a.value, field);
                if (cell == nullptr || !store.set_i64(f, a.field, *cell)) {
                    Value v = arg_value(a.value, tuple, snapshot);
                    if (!coerce_in_place(v, field)) {
                        note_silent_writes();
                        return engine_err("RHS setter: arg type mismatch");
                    }
                    if (Status ok = store.set_value(f, a.field, std::move(v)); !ok) {
                        note_silent_writes();
                        return engine_err(ok.error());
                    }
                }
                auto known = std::find_if(changed.begin(), changed.end(), [&](const auto& c) { return c.fact == f; });
                if (known == changed.end()) changed.push_back({f, uint64_t{1} << a.field, 0});
                else known->fields |= uint64_t{1} << a.field;
                break;
            }
            case CompiledAction::Kind::Update: {
                const FactId f = fact_at(tuple, a.target);
                if (!store.is_alive(f)) break;
                uint64_t mask = kAllFields;
                if (auto it = std::find_if(changed.begin(), changed.end(), [&](const auto& c) { return c.fact == f; });
                    it != changed.end()) {
                    mask = it->fields;
                    changed.erase(it);
                }
                on_update(f, mask, stamp);
                break;
            }
            case CompiledAction::Kind::Delete: {
                note_silent_writes();
                QUARN_CHECK(delete_by_action(*this, fact_at(tuple, a.target), stamp));
                break;
            }
            case CompiledAction::Kind::SetFocus:
                std::erase(focus_stack, a.group);
                focus_stack.push_back(a.group);
                focus_changed = true;
                break;
        }
    }
    note_silent_writes();
    tms_after_firing();
    return {};
}

FactView Engine::render_fired(FactId fact) const {
    FactView view = store.render(fact);
    if (auto m = acc.collect_members.find(fact); m != acc.collect_members.end()) {
        std::vector<std::optional<FactView>> members;
        members.reserve(m->second.size());
        for (FactId member : m->second) members.emplace_back(store.render(member));
        view.members = std::move(members);
    } else if (auto v = acc.collect_values.find(fact); v != acc.collect_values.end()) {
        // Collected values show as one-field pseudo facts.
        std::vector<std::optional<FactView>> members;
        members.reserve(v->second.size());
        for (const Value& value : v->second) members.emplace_back(scalar_view(value));
        view.members = std::move(members);
    }
    return view;
}

}  // namespace quarn
