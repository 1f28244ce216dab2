// The header lines that case files under engine/tests/data/ share: the types
// and event declarations of the engine each case runs on.
//   type Name field:spec ...      spec i64, f64, String, bool or decimal(p,s); a trailing ? = nullable
//   event Name ts_field [duration=field] [expires=ms]
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/session.h"

namespace quarn::testing {

struct EventLine {
    std::string type, ts;
    std::optional<std::string> duration;
    std::optional<int64_t> expires;
};

struct CaseHeader {
    std::vector<TypeSchema> types;
    std::vector<EventLine> events;

    // Takes a type or event line; other lines are left to the caller.
    void read_line(const std::string& line) {
        std::istringstream words(line);
        std::string kw, name;
        words >> kw >> name;
        if (kw == "type") {
            TypeSchema s{name, {}, 0};
            for (std::string w; words >> w;) {
                const size_t colon = w.find(':');
                std::string spec = w.substr(colon + 1);
                if (spec.back() == '?') {
                    spec.pop_back();
                    s.nullable |= uint64_t{1} << s.fields.size();
                }
                s.fields.emplace_back(w.substr(0, colon), parse_spec(spec));
            }
            types.push_back(std::move(s));
        } else if (kw == "event") {
            EventLine e{name, "", std::nullopt, std::nullopt};
            words >> e.ts;
            for (std::string w; words >> w;) {
                if (w.rfind("duration=", 0) == 0) e.duration = w.substr(9);
                if (w.rfind("expires=", 0) == 0) e.expires = std::stoll(w.substr(8));
            }
            events.push_back(std::move(e));
        }
    }

    // A fresh session with the types and events declared, or the refusal.
    EngineResult<Session> make_session() const {
        EngineResult<Session> made = Session::create(types);
        if (!made) return made;
        for (const EventLine& ev : events) {
            std::optional<std::string_view> duration;
            if (ev.duration) duration = *ev.duration;
            if (EngineStatus ok = made->declare_event(ev.type, ev.ts, duration, ev.expires); !ok)
                return engine_err("declare_event: " + ok.error().message);
        }
        return made;
    }

    static FieldType parse_spec(const std::string& spec) {
        if (spec == "i64") return FieldType::i64();
        if (spec == "f64") return FieldType::f64();
        if (spec == "String") return FieldType::str();
        if (spec == "bool") return FieldType::boolean();
        unsigned p = 0, s = 0;
        if (std::sscanf(spec.c_str(), "decimal(%u,%u)", &p, &s) == 2)
            return FieldType::dec(static_cast<uint8_t>(p), static_cast<uint8_t>(s));
        ADD_FAILURE() << "bad field spec " << spec;
        return FieldType::i64();
    }
};

inline std::string trim_end(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace quarn::testing
