#include "network/network.h"
#include <algorithm>

namespace quarn {

void do_join_node(const JoinEnv&, size_t, Node&, Staged<Tuple>, Staged<FactId>, Out&) {}

std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins) {
    std::vector<StagedEntry<FactId>> out(ins.begin(), ins.end());
    if (right_inserts_tail_first(env)) std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace quarn
