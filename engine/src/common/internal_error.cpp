// The two ways a broken invariant stops an operation.
#include "common/internal_error.h"

#include <string>

namespace quarn {

void unreachable(std::string_view what) {
    throw InternalError("internal error: entered unreachable code: " + std::string(what));
}

void invariant_broken(std::string_view what) { throw InternalError("internal error: " + std::string(what)); }

}  // namespace quarn
