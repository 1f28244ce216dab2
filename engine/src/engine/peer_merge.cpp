// A rule's own staged state: closing its first-pattern window and merging shared nodes' output into its terminal.
#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

void RuleNet::s0_close_window() {
    if (s0_windows.empty()) invariant_broken("internal error: a rule net without an open window");
    // An empty open window stays open: closing twice adds one window, not two.
    if (s0_windows.back().empty()) return;
    s0_windows.emplace_back();
}

void RuleNet::peer_merge_term(const Staged<TupleId>& incoming) {
    Staged<TupleId> t = std::move(term);
    // Deletes first: a delete of a tuple whose insert is still pending cancels it.
    auto merge_delete = [&](const StagedEntry<TupleId>& e) {
        peer_tuples.erase(e.item);
        t.add_del(e.item, e.stamp);
    };
    for (const auto& e : incoming.del) merge_delete(e);
    for (const auto& e : incoming.cancelled) merge_delete(e);
    for (const auto& e : incoming.upd) {
        if (t.ins.contains(e.item) || t.upd.contains(e.item) || t.del.contains(e.item)) continue;
        t.upd.push_front(e);
    }
    for (const auto& e : incoming.ins) {
        if (auto pending = t.ins.remove_first(e.item)) {
            t.ins.push_front(std::move(*pending));  // keeps its own stamp and flag
        } else if (t.upd.remove_first(e.item)) {
            t.upd.push_front(e);
        } else if (peer_tuples.count(e.item)) {
            // The terminal already knows the tuple: its insert arrives as an update.
            t.upd.push_front(e);
        } else {
            peer_tuples.insert(e.item);
            t.ins.push_front(e);
        }
    }
    term = std::move(t);
}

}  // namespace quarn
