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

}  // namespace quarn
