// Sliding time windows of accumulates: which source facts are members of an accumulate node's right input.
#include <algorithm>

#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kAllFields = ~uint64_t{0};

}  // namespace

bool Engine::winacc_admits(size_t node, FactId fact) const {
    const auto [r, pi] = nodes[node].owner;
    const CompiledPattern& p = rules[r].patterns[pi];
    if (!p.acc || !p.acc->window_ms) return true;
    auto decl = event_decls.find(store.fact_type(fact));
    if (decl == event_decls.end()) return true;  // facts that are not events are always inside
    Value ts = store.temporal_ts(fact, decl->second.ts_field);
    if (ts.tag() != ValueTag::I64) return true;
    // An event past its expiry is out of every window.
    const std::optional<int64_t> gone = expiry_deadline(decl->second, fact, ts.as_i64(), true);
    if (gone && *gone <= clock) return false;
    // Two's-complement addition: a fact exactly one window old is out.
    const int64_t end = static_cast<int64_t>(static_cast<uint64_t>(ts.as_i64()) +
                                             static_cast<uint64_t>(*p.acc->window_ms));
    return end > clock;
}

void Engine::winacc_step(size_t node, FactId fact, uint64_t changed, Stamp stamp) {
    TrieNode& n = nodes[node];
    const auto [r, pi] = n.owner;
    const CompiledPattern& p = rules[r].patterns[pi];
    const bool in = n.win_in.count(fact) != 0;
    const bool passes = alpha_passes_fields(r, pi, fact);
    // A change of a field the pattern binds moves the accumulated value; one of
    // a field a join test reads may move the fact to other tuples. A field
    // tested only against literals decides membership (`passes`) and nothing
    // else, so while the fact still passes its change leaves the matches alone.
    const bool relevant = changed == kAllFields || (changed & (p.bound_mask | join_read_fields(p))) != 0;

    auto admit = [&] {
        n.win_out.erase(fact);
        n.win_in.insert(fact);
        const bool after_delete = n.node.staged_right().del.contains(fact);
        n.node.stage_right_insert(fact, stamp, after_delete ? StagedFlag::RightInsert : StagedFlag::Insert);
    };
    if (in && !passes) {
        n.win_in.erase(fact);
        n.win_out.insert(fact);
        n.node.stage_right_delete(fact, stamp);
    } else if (in && relevant) {
        n.node.stage_right_update(fact, stamp, StagedFlag::Change);
    } else if (in) {
        JoinEnvImpl env(input_seq, store, rules[r], 0, false, tuples, switches);
        n.node.re_add_right_fact(fact, right_key(env, pi - 1, fact));
    } else if (passes && n.win_out.count(fact)) {
        // Held out by the clock or by its tests: back in only while its window
        // still holds it, and then the clock must evict it again.
        if (winacc_admits(node, fact)) {
            admit();
            schedule_window_eviction(node, fact);
        }
    } else if (passes) {
        if (winacc_admits(node, fact)) {
            admit();
            schedule_window_eviction(node, fact);
        } else {
            n.win_out.insert(fact);
        }
    }
    note_acc_input(node);
}

// Rule linking reads no accumulate node (make_link_checks passes over
// accumulate patterns, and the parser keeps accumulates out of not and exists
// groups), so a rule is linked after the change exactly when it was before;
// what note_link_effect does for such a rule is note_still_linked when it is
// linked. Every other rule's marks are as the last change left them.
void Engine::note_acc_input(size_t node) {
    ++acc_change_reads;
    for (size_t r : rules_of_node[node]) {
        ++acc_change_reads;
        if (rule_linked(r)) note_still_linked(r);
    }
}

void Engine::schedule_window_eviction(size_t node, FactId fact) {
    const CompiledPattern& p = rules[nodes[node].owner.first].patterns[nodes[node].owner.second];
    auto decl = event_decls.find(store.fact_type(fact));
    if (!p.acc || !p.acc->window_ms || decl == event_decls.end()) return;
    const Value ts = store.temporal_ts(fact, decl->second.ts_field);
    if (ts.tag() != ValueTag::I64) return;
    const int64_t deadline = static_cast<int64_t>(static_cast<uint64_t>(ts.as_i64()) +
                                                  static_cast<uint64_t>(*p.acc->window_ms));
    if (deadline <= clock) return;
    std::vector<std::pair<uint64_t, FactId>>& due = window_deadlines[deadline];
    const std::pair<uint64_t, FactId> entry{node, fact};
    if (std::find(due.begin(), due.end(), entry) == due.end()) due.push_back(entry);
}

namespace {

// Moves the fact out of the node's window and stages its delete; false when
// it was not in.
bool evict(TrieNode& n, FactId fact) {
    if (!n.win_in.erase(fact)) return false;  // never admitted, or already out
    n.win_out.insert(fact);
    n.node.stage_right_delete(fact, std::nullopt);
    return true;
}

}  // namespace

void Engine::stage_acc_removal(uint64_t owner, FactId fact) {
    if (owner >= nodes.size()) invariant_broken("a window source names no node");
    if (!nodes[owner].win_in.count(fact)) return;
    refresh_query_links();
    evict(nodes[owner], fact);
    note_acc_input(owner);
}

// Accumulate patterns never decide whether a rule is linked, and the facts stay
// alive, so no removal changes a link state or a query's: the marks that the
// removals one by one would leave are those of one look, after the last, at
// the rules listing the nodes they left, in rule order.
void Engine::stage_acc_removals(const std::vector<std::pair<uint64_t, FactId>>& due) {
    std::vector<size_t> left;
    for (const auto& [owner, fact] : due) {
        if (owner >= nodes.size()) invariant_broken("a window source names no node");
        if (evict(nodes[owner], fact) && (left.empty() || left.back() != owner)) left.push_back(owner);
    }
    if (left.empty()) return;
    refresh_query_links();
    std::vector<size_t> touched;
    for (size_t n : left) touched.insert(touched.end(), rules_of_node[n].begin(), rules_of_node[n].end());
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    acc_change_reads += left.size() + touched.size();
    for (size_t r : touched)
        if (rule_linked(r)) note_still_linked(r);
}

}  // namespace quarn
