// A rule's own staged state: closing its first-pattern window and merging shared nodes' output into its terminal.
#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

namespace {

// The kinds of change in the order a window's entries are taken: deletes,
// updates, inserts.
enum class ChangeKind : uint8_t { Del = 0, Upd = 1, Ins = 2 };

ChangeKind first_kind(const Staged<FactId>& w) {
    return !w.del.empty() ? ChangeKind::Del : !w.upd.empty() ? ChangeKind::Upd : ChangeKind::Ins;
}

ChangeKind last_kind(const Staged<FactId>& w) {
    return !w.ins.empty() ? ChangeKind::Ins : !w.upd.empty() ? ChangeKind::Upd : ChangeKind::Del;
}

bool plain(const Staged<FactId>& w) {
    return !w.placeholders_on && w.placeholders.empty() && w.cancelled.empty() && w.reinserted.empty();
}

}  // namespace

void RuleNet::s0_close_window(bool merge) {
    if (s0_windows.empty()) invariant_broken("a rule net without an open window");
    // An empty open window stays open: closing twice adds one window, not two.
    Staged<FactId>& open = s0_windows.back();
    if (open.empty()) return;
    // A window is taken deletes first, then updates, then inserts, each
    // oldest first. When every change of the open window comes no earlier in
    // that order than every change of the window before it, the two taken
    // one after the other give the same sequence as the two taken as one:
    // the open window's entries join the one before it, behind its own, and
    // the open window stays open, empty. (A stream of deletes, or of inserts,
    // thus fills one window rather than one per change.)
    if (merge && s0_windows.size() >= 2) {
        Staged<FactId>& prev = s0_windows[s0_windows.size() - 2];
        if (plain(prev) && plain(open) && last_kind(prev) <= first_kind(open)) {
            const uint32_t from = static_cast<uint32_t>(s0_windows.size() - 1);
            const uint32_t to = from - 1;
            for (const auto& e : open.del.oldest_first()) prev.del.push_front(e);
            for (const auto& e : open.upd.oldest_first()) {
                prev.upd.push_front(e);
                if (s0_indexed) {
                    WindowHolds& h = s0_held[e.item];
                    if (h.upd_window == from) h.upd_window = to;
                }
            }
            for (const auto& e : open.ins.oldest_first()) {
                prev.ins.push_front(e);
                if (s0_indexed) {
                    WindowHolds& h = s0_held[e.item];
                    if (h.ins_window == from) h.ins_window = to;
                }
            }
            open.del.clear();
            open.upd.clear();
            open.ins.clear();
            return;
        }
    }
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
