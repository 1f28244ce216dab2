// Reading the trace and order switches from the environment.
#include "engine/trace_switches.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/utf8.h"

namespace quarn {

void TraceSwitches::read() {
    auto set = [](const char* name) { return std::getenv(name) != nullptr; };
    eval_debug = set("QUARN_EVAL_DEBUG");
    ag_debug = set("QUARN_AG_DEBUG");
    flush_debug = set("QUARN_FLUSH_DEBUG");
    tms_debug = set("QUARN_TMS_DEBUG");
    const char* t = std::getenv("QUARN_TRACE");
    trace = t != nullptr && first_invalid_utf8(std::string_view(t)) == std::string_view::npos;
    const char* jsr = std::getenv("QUARN_JSR");
    jsr_tail = jsr != nullptr && std::strcmp(jsr, "tail") == 0;
}

}  // namespace quarn
