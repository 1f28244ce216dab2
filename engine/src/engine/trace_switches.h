// The trace and order switches of the process environment, read once at the
// start of each outside call (insert, update, delete, advance, fire, reset) so
// that nothing inside it asks the environment again; a process may switch a
// trace on between two calls.
#pragma once

#include <cstdint>

namespace quarn {

struct TraceSwitches {
    bool eval_debug = false;   // QUARN_EVAL_DEBUG set
    bool ag_debug = false;     // QUARN_AG_DEBUG set
    bool flush_debug = false;  // QUARN_FLUSH_DEBUG set
    bool tms_debug = false;    // QUARN_TMS_DEBUG set
    bool trace = false;        // QUARN_TRACE set to valid UTF-8, the empty text included
    bool jsr_tail = false;     // QUARN_JSR exactly "tail"

    void read();
};

// Reads the switches when no outside call is already under way: an
// operation that another one runs (an expiry's delete inside a fire) keeps
// the switches of the call it belongs to.
class OutsideCall {
public:
    OutsideCall(TraceSwitches& switches, uint32_t& depth) : depth_(depth) {
        if (depth_++ == 0) switches.read();
    }
    OutsideCall(const OutsideCall&) = delete;
    OutsideCall& operator=(const OutsideCall&) = delete;
    ~OutsideCall() { --depth_; }

private:
    uint32_t& depth_;
};

}  // namespace quarn
