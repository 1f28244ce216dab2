// Whether an engine met a failure in the middle of a change. A broken
// invariant or a failed allocation can stop an operation anywhere, leaving the
// store, the network and the agenda half updated; past that point no answer
// of the engine can be trusted, so the engine refuses every later call with
// the failure that broke it, and its owner builds a new one.
#pragma once

#include <new>
#include <optional>

#include "common/internal_error.h"

namespace quarn {

class BrokenState {
public:
    const std::optional<EngineFailure>& failure() const { return failure_; }

    // Throws the failure that broke the engine again, if one did: std::bad_alloc
    // or an InternalError with the original message.
    void refuse_if_broken() const {
        if (!failure_) [[likely]]
            return;
        if (failure_->out_of_memory) throw std::bad_alloc();
        throw InternalError(failure_->message);
    }

    // Called from a handler of an exception that stops a change (an
    // operation that may leave the engine half updated when it stops): marks
    // the engine broken by that exception, which the handler then rethrows.
    //   EngineStatus Engine::op() try { ... } catch (...) {
    //       broken_state.note_current_exception();
    //       throw;
    //   }
    void note_current_exception() noexcept {
        // The first failure is the one that broke the engine; later ones are
        // its refusals.
        if (failure_) return;
        failure_ = current_failure();
    }

private:
    std::optional<EngineFailure> failure_;
};

}  // namespace quarn
