// Broken invariants. Ordinary input never reaches these; the Python binding turns
// the exception into its BaseException-derived class instead of crashing.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quarn {

class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& what) : std::logic_error(what) {}
};

// Throws "internal error: entered unreachable code: {what}".
[[noreturn]] void unreachable(std::string_view what);

// Throws InternalError "internal error: {what}".
[[noreturn]] void invariant_broken(std::string_view what);

// What an escaping exception stopped an operation with: a failed allocation,
// or a broken invariant with its message ("internal error: ...").
struct EngineFailure {
    bool out_of_memory = false;
    std::string message;
};

// Classifies the exception being handled; call only inside a catch block.
// Anything that is neither std::bad_alloc nor an InternalError counts as a
// broken invariant; a message that cannot be copied for want of memory
// counts as a failed allocation.
EngineFailure current_failure() noexcept;

}  // namespace quarn
