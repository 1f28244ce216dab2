// Handles shared by every role: a fact type's index in the store and a fact's
// number across all types.
#pragma once

#include <cstdint>

namespace quarn {

using TypeId = uint32_t;
using FactId = uint32_t;

}  // namespace quarn
