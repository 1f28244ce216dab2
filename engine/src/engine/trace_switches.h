// The trace and order switches of the process environment, read at most once
// in each outside call (insert, update, delete, advance, fire, reset), at the
// first use, so that nothing inside the call asks the environment again and a
// call that uses none never reads it; a process may switch a trace on between
// two calls.
#pragma once

#include <cstdint>

namespace quarn {

class TraceSwitches {
public:
    bool eval_debug() const { return now().eval_debug; }    // QUARN_EVAL_DEBUG set
    bool ag_debug() const { return now().ag_debug; }        // QUARN_AG_DEBUG set
    bool flush_debug() const { return now().flush_debug; }  // QUARN_FLUSH_DEBUG set
    bool tms_debug() const { return now().tms_debug; }      // QUARN_TMS_DEBUG set
    // QUARN_TRACE set to valid UTF-8, the empty text included.
    bool trace() const { return now().trace; }
    bool jsr_tail() const { return now().jsr_tail; }  // QUARN_JSR exactly "tail"

    // The next use reads the environment again.
    void expire() { read_ = false; }
    // Reads the environment now.
    void read() const;

private:
    struct Values {
        bool eval_debug = false, ag_debug = false, flush_debug = false, tms_debug = false, trace = false,
             jsr_tail = false;
    };
    const Values& now() const {
        if (!read_) read();
        return values_;
    }
    mutable Values values_;
    mutable bool read_ = false;
};

// Marks the switches for reading when no outside call is already under way:
// an operation that another one runs (an expiry's delete inside a fire) keeps
// the switches of the call it belongs to.
class OutsideCall {
public:
    OutsideCall(TraceSwitches& switches, uint32_t& depth) : depth_(depth) {
        if (depth_++ == 0) switches.expire();
    }
    OutsideCall(const OutsideCall&) = delete;
    OutsideCall& operator=(const OutsideCall&) = delete;
    ~OutsideCall() { --depth_; }

private:
    uint32_t& depth_;
};

}  // namespace quarn
