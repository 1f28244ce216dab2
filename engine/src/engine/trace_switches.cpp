// Reading the trace and order switches from the environment.
#include "engine/trace_switches.h"

#include <unistd.h>

#include <cstring>
#include <string_view>

#include "common/utf8.h"

namespace quarn {

void TraceSwitches::read() const {
    Values& v = values_;
    v = Values{};
    read_ = true;
    // One walk over the environment rather than a getenv per switch (each a
    // walk of its own). As getenv does, the first entry of a name counts.
    bool trace_seen = false, jsr_seen = false;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* s = *entry;
        if (s[0] != 'Q' || std::strncmp(s, "QUARN_", 6) != 0) continue;
        const std::string_view rest(s + 6);
        const size_t eq = rest.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = rest.substr(0, eq), value = rest.substr(eq + 1);
        if (name == "EVAL_DEBUG") v.eval_debug = true;
        else if (name == "AG_DEBUG") v.ag_debug = true;
        else if (name == "FLUSH_DEBUG") v.flush_debug = true;
        else if (name == "TMS_DEBUG") v.tms_debug = true;
        else if (name == "TRACE" && !trace_seen) {
            trace_seen = true;
            v.trace = first_invalid_utf8(value) == std::string_view::npos;
        } else if (name == "JSR" && !jsr_seen) {
            jsr_seen = true;
            v.jsr_tail = value == "tail";
        }
    }
}

}  // namespace quarn
