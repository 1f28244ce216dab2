// The engine's one error type and the results its operations return. Shared by
// the engine's record (engine.h) and its public face (session.h).
#pragma once

#include <string>
#include <utility>

#include "common/result.h"

namespace quarn {

// The engine's only error: one message.
struct EngineError {
    std::string message;

    // "engine error: {message}"
    std::string display() const;
    bool operator==(const EngineError&) const = default;
};

template <class T>
using EngineResult = Result<T, EngineError>;
using EngineStatus = Result<void, EngineError>;

inline Err<EngineError> engine_err(std::string message) { return err(EngineError{std::move(message)}); }

}  // namespace quarn
