// Engine::declare_event: which declared types are events, their timestamp, duration and expiry.
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

EngineStatus Engine::declare_event(std::string_view type_name, std::string_view ts_field,
                                   std::optional<std::string_view> duration_field, std::optional<int64_t> expires_ms) {
    // Only declared types: the built-in and query row types carry no events.
    std::optional<TypeId> type = store.type_id(type_name);
    if (!type || is_reserved_type_name(type_name)) return engine_err(fmt("unknown type {}", type_name));
    auto i64_field = [&](std::string_view field, const char* wrong_type) -> EngineResult<size_t> {
        std::optional<size_t> f = store.field_index(*type, field);
        if (!f) return engine_err(fmt("{} has no field {}", type_name, field));
        if (store.field_type(*type, *f).kind != FieldKind::I64)
            return engine_err(fmt("{}.{}: {}", type_name, field, wrong_type));
        return *f;
    };
    QUARN_TRY(size_t ts, i64_field(ts_field, "event timestamps are i64 epoch-ms (E1 point events)"));
    std::optional<size_t> duration;
    if (duration_field) {
        QUARN_TRY(size_t d, i64_field(*duration_field, "@duration fields are i64 ms (E2 item E)"));
        duration = d;
    }
    if (expires_ms && *expires_ms < 0) return engine_err("expires_ms must be >= 0");
    // A later declaration replaces an earlier one whole, expiry included.
    event_decls[*type] = EventDecl{expires_ms, duration, ts};
    if (expires_ms)
        expiring_types.insert(*type);
    else
        expiring_types.erase(*type);
    return {};
}

}  // namespace quarn
