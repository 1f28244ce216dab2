// Debug forms of network values, as the network's trace lines print them:
// FactId(3); [FactId(1), FactId(2)]; ([FactId(1)], Some(4), 0); lists as
// [a, b]; memories as (item, key) pairs with keys as Some([I64(5)]).
#pragma once

#include <string>
#include <vector>

#include "network/memory.h"
#include "network/network.h"
#include "network/staged.h"
#include "network/tuple.h"

namespace quarn {

std::string debug(TupleView t);
std::string debug(const TupleTable& tt, TupleId t);
std::string debug(const StagedEntry<FactId>& e);
std::string debug(const TupleTable& tt, const StagedEntry<TupleId>& e);
std::string debug(const EntryList<FactId>& l);
std::string debug(const TupleTable& tt, const std::vector<TupleId>& ts);
std::string debug(const Memory<FactId>& m);
std::string debug(const TupleTable& tt, const Memory<TupleId>& m);

}  // namespace quarn
