// The two ways a broken invariant stops an operation, and what an escaping
// exception is taken for.
#include "common/internal_error.h"

#include <new>
#include <string>

namespace quarn {

void unreachable(std::string_view what) {
    throw InternalError("internal error: entered unreachable code: " + std::string(what));
}

void invariant_broken(std::string_view what) { throw InternalError("internal error: " + std::string(what)); }

EngineFailure current_failure() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            return {true, {}};
        } catch (const InternalError& e) {
            return {false, e.what()};
        } catch (const std::exception& e) {
            return {false, std::string("internal error: ") + e.what()};
        } catch (...) {
            return {false, "internal error: unknown exception"};
        }
    } catch (...) {
        return {true, {}};
    }
}

}  // namespace quarn
