// What a fire hands its caller: each firing, rendered or taken by a sink.
// Shared by the engine's record (engine.h) and its public face (session.h).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "common/ids.h"
#include "store/fact_store.h"

namespace quarn {

// One fired activation: the rule's name and its facts rendered after the
// right-hand side ran.
struct Firing {
    std::string rule;
    std::vector<FactView> facts;
};

// What one fire did to working memory besides its firings, so that a caller
// can build the fire's result without looking at every fact.
struct FireReport {
    // The store's fact count when the fire began: the facts the fire added
    // have the handles from here on.
    size_t start_fact_count = 0;
    // The facts alive when the fire began that it deleted, ascending; only
    // those that the fact reads list (no built-in, query row or groupby row,
    // no fact of a named entry point).
    std::vector<FactId> deleted;
};

// Takes each firing as the fire completes it, in place of a rendered Firing.
class FiringSink {
public:
    virtual ~FiringSink() = default;
    // Rule `rule` (its index in load order) fired on `facts`, the match's
    // facts by pattern position; the store is as its right-hand side left it.
    // An exception goes out of the fire.
    virtual void fired(size_t rule, std::span<const FactId> facts) = 0;
};

}  // namespace quarn
