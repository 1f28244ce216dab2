// Truth maintenance: the state behind insertLogical. A logically inserted fact
// lives while some activation (rule, tuple) justifies its content; the content
// of a fact is its type and field values (floats by bit pattern, decimals
// without trailing zeros). Facts of a logical type inserted by the host or by a
// plain insert are "stated copies" of their content: while one exists, a
// logical insert of that content only records its justification.
//
// The operations live on the Engine (tms.cpp), since they store, delete and
// propagate facts; this is their state, one Tms per engine, replaced whole by
// reset. The set of logical types is the program's (Program::logical_types).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/chunk_vector.h"
#include "common/hash.h"
#include "common/ids.h"
#include "network/staged.h"
#include "network/tuple.h"
#include "store/fact_store.h"
#include "store/value.h"

namespace quarn {

// What truth maintenance makes of a delete: whether it proceeds, and for
// which fact (a delete of the logical fact itself forgets its justifications),
// with the values to insert the logical fact again from when a right-hand side
// deleted the last stated copy of a content that is still justified.
struct TmsRoute {
    bool proceed = true;
    FactId fact = 0;
    std::optional<std::vector<Value>> saved;
};

// The first-pattern updates and deletes of the evaluation in progress, each
// reduced to its fact and stamp: a terminal deletion queued during a forced
// evaluation is "late" when the rule's own right-hand side changed one of its
// facts. Only forced evaluations note them; nothing else reads them.
class FirstChanges {
public:
    void clear() {
        entries_.clear();
        indexed_ = false;
    }
    void note(const Staged<FactId>& input);
    // Some noted change of `fact` carries the stamp `rule`.
    bool stamped(FactId fact, uint64_t rule) const;
    size_t size() const { return entries_.size(); }

private:
    std::vector<std::pair<FactId, Stamp>> entries_;
    // (stamp, fact) of the stamped entries, built at the first question once
    // the list is too long to walk.
    mutable HashSet<std::pair<uint64_t, FactId>> index_;
    mutable bool indexed_ = false;
};

// Entry numbers by the hash of their entry's key, for truth maintenance's
// contents: one array of 8-byte slots (at least 64), linear probing. A slot
// holds the entry number and 32 bits of the hash (the entry's tag), whose bits
// also give the slot where its probe starts: a lookup of a content that is not
// there reads one cache line or two and no entry. A removal touches no slot: it marks the
// entry unfiled (beside its tag, by entry number, which callers walk in about
// the order they filed), and the slot stays until the next rebuild, which
// files the filed entries alone; a lookup passes a slot whose entry is
// unfiled or filed since under another tag. Slots in use, live or not, stay
// at most half the array. The hash is keyed per process, as the project's
// hash maps are. Never iterated.
class ContentIndex {
public:
    // Where a lookup that found nothing ended: the empty slot a filing of
    // the same hash would take while the slots stay as they are.
    struct Miss {
        uint64_t slot = 0, stamp = ~uint64_t{0};
        uint32_t tag = 0;
    };
    // The entry whose hash is `hash` and for which `is_it(entry)` holds;
    // ~0u when there is none (and `miss`, when given, says where it ended).
    template <class IsIt>
    uint32_t find(uint64_t hash, IsIt is_it, Miss* miss = nullptr) const {
        if (slots_.empty()) {
            if (miss) *miss = Miss{};
            return kNoEntry;
        }
        const uint32_t tag = tag_of(hash);
        for (size_t i = home(tag);; i = (i + 1) & mask()) {
            const uint64_t s = slots_[i];
            if (s == 0) {
                if (miss) *miss = Miss{i, stamp_, tag};
                return kNoEntry;
            }
            if (static_cast<uint32_t>(s >> 32) != tag) continue;
            const uint32_t e = entry_of(s);
            if (filed(e) && tags_[e] == tag && is_it(e)) return e;
        }
    }
    // Files entry `e` (not filed yet) under `hash`; `miss`, when given, is
    // where a lookup of `hash` ended.
    void insert(uint32_t e, uint64_t hash, const Miss* miss = nullptr);
    // Takes entry `e`, filed under `hash`, out.
    void erase(uint32_t e, uint64_t hash);
    // Takes entry `e` out, whatever hash it was filed under.
    void erase(uint32_t e);
    // Filed entries.
    size_t size() const { return size_; }

private:
    static constexpr uint32_t kNoEntry = ~uint32_t{0};
    static uint32_t tag_of(uint64_t hash);
    static uint32_t entry_of(uint64_t slot) { return static_cast<uint32_t>(slot) - 1; }
    size_t mask() const { return slots_.size() - 1; }
    // A block of 16 slots by the tag's top bits, the slot in it by its low 4
    // (the hash's own low 4, unmixed: neighbouring hashes share a block).
    size_t home(uint32_t tag) const { return ((tag >> (32 - bits_)) & ~size_t{15}) | (tag & 15); }
    void place(uint64_t slot);
    // Slots for the filed entries alone, in an array grown while they would
    // fill more than 3/8 of it.
    void rebuild();

    std::vector<uint64_t> slots_;  // 0: empty; else tag << 32 | (entry + 1)
    uint32_t bits_ = 0;            // slots_.size() == 1 << bits_
    size_t size_ = 0;              // filed entries
    size_t used_ = 0;              // slots that are not empty
    uint64_t stamp_ = 0;           // counts the changes of slots_, for Miss
    // By entry number: whether it is filed (a bit in words of 64, which a
    // rebuild walks a word at a time), and its tag when it is.
    std::vector<uint32_t> tags_;
    std::vector<uint64_t> filed_;
    bool filed(uint32_t e) const { return (filed_[e >> 6] >> (e & 63)) & 1; }
};

struct Tms {
    static constexpr uint32_t kNone = ~uint32_t{0};
    // (rule, tuple) as one word, for the maps and sets keyed by activation.
    static uint64_t act_key(size_t rule, TupleId tuple) {
        return (static_cast<uint64_t>(rule) << 32) | static_cast<uint32_t>(tuple);
    }

    // --- Contents. One entry per content that has a logical fact or a stated
    // copy (between the route of a reinstating delete and the insert that
    // follows it, an entry may briefly have neither). An entry is 24 bytes:
    // its content's encoding (tms.cpp) lives in key_bytes, and its stated
    // copies, which most contents never have, in a list of their own.
    struct Entry {
        uint64_t key_at = 0;          // the encoding: key_bytes[key_at, key_at + key_len)
        uint32_t key_len = 0;         // 0 while the entry is free (an encoding is never empty)
        uint32_t first_just = kNone;  // its justifications (Just nodes), newest first; kNone for none;
                                      // in a free entry, the next free one (free_entries)
        FactId logical = kNone;       // the logical fact in the store, if any
        uint32_t stated = kNone;      // its stated copies: a list in stated_lists, or kNone for none
    };
    // By entry number; freed numbers are reused. Chunked, as are the records
    // and the justifications: growing copies nothing. Each of the three keeps
    // its freed numbers in a chain through the free elements themselves, the
    // last freed first (kNone: none), so that a retraction of millions of
    // contents builds no list beside them.
    ChunkVector<Entry> entries;
    uint32_t free_entries = kNone;
    // The live entries by the hash of their key.
    ContentIndex index;
    // The entries' encodings end to end. A freed entry's bytes stay until the
    // dead bytes outweigh the live ones; the live ones are then packed again.
    std::vector<char> key_bytes;
    size_t dead_key_bytes = 0;
    std::string_view key_of(uint32_t e) const {
        return {key_bytes.data() + entries[e].key_at, entries[e].key_len};
    }
    // Stated copies by list number (Entry::stated), no order; a list that
    // empties is freed and its number reused.
    std::vector<std::vector<FactId>> stated_lists;
    std::vector<uint32_t> free_stated;
    // By FactId: the entry of every logical fact and every stated copy, and
    // its place in the entry's stated list (kNone for the logical fact);
    // entry kNone for any other fact.
    struct FactPlace {
        uint32_t entry = kNone;
        uint32_t slot = kNone;
    };
    std::vector<FactPlace> place_of_fact;
    // By entry: the values of a logical insert that found only stated copies.
    HashMap<uint32_t, std::vector<Value>> saved;

    // --- Justifications. One record per activation that justifies some
    // content; one Just node per (record, entry), on the entry's list (doubly
    // linked, no order) and on the record's list (in the order first justified).
    // Records are ordered by creation (`order`), the order in which an eager
    // break visits them.
    struct Record {
        uint32_t rule = 0;  // rules are numbered below 2^32 (act_key)
        TupleId tuple{};
        uint64_t order = 0;
        uint32_t first = kNone, last = kNone;  // its Just nodes
        uint32_t next_solo = kNone;            // solo records on the same fact; when free, the next free record
        bool live = false;
    };
    struct Just {
        uint32_t record = kNone, entry = kNone;
        uint32_t prev_in_entry = kNone, next_in_entry = kNone;
        uint32_t next_in_record = kNone;  // when free (record kNone), the next free node
    };
    ChunkVector<Record> records;  // by record number; freed numbers are reused
    uint32_t free_records = kNone;
    ChunkVector<Just> justs;  // by node number; freed numbers are reused
    uint32_t free_justs = kNone;
    size_t live_records = 0;
    uint64_t next_order = 0;
    // Rules with network nodes: their records by activation.
    HashMap<uint64_t, uint32_t> record_of;
    // A rule without nodes (one positive pattern) matches one fact: its
    // records hang on that fact, by FactId, chained through next_solo.
    std::vector<uint8_t> solo_rule;  // by rule; built at first use, rules are only ever added
    std::vector<uint32_t> solo_head;

    // --- The firing activation, set before its right-hand side runs, and
    // the contents that right-hand side justified, in order.
    std::optional<std::pair<size_t, TupleId>> firing_act;
    std::vector<uint32_t> fired_entries;
    bool firing_record_fresh = false;  // the firing made its activation's record
    // The right-hand side ended, completed or not.
    void end_firing() {
        firing_act.reset();
        fired_entries.clear();
        firing_record_fresh = false;
    }
    // The content a logical insert is about to store a fact for: its
    // encoding (a buffer reused from one insert to the next), its hash, the
    // entry (with no fact) that already holds it or kNone, and where the
    // index's lookup ended, so that filing it takes no second probe.
    std::string pending_key;
    uint64_t pending_hash = 0;
    uint32_t pending_entry = kNone;
    ContentIndex::Miss pending_miss;

    // --- Parking: tuples whose insert at the terminal activates nothing
    // until the tuple is updated, keyed by act_key.
    HashSet<uint64_t> parked;
    bool is_parked(size_t rule, TupleId tuple) const {
        return !parked.empty() && parked.contains(act_key(rule, tuple));
    }

    FirstChanges first_changes;
    // The evaluation that notes first-pattern changes begins; the changes of
    // one input. Only a forced evaluation keeps them, and callers note them
    // only in a session with logical types (Program::logical_types).
    void first_changes_begin() {
        if (forced_eval) first_changes.clear();
    }
    void note_first_changes(const Staged<FactId>& input) {
        if (forced_eval) first_changes.note(input);
    }

    // --- Terminal deletions waiting for the agenda, arrival order. Those
    // recorded during a forced evaluation are handed over before the rule is
    // evaluated again (the late ones also in the eager pass of a rule with a
    // constant salience); those of expiring facts once the expired facts are
    // deleted. Each list keeps a set beside it, so that "already queued"
    // costs one lookup.
    struct TerminalDel {
        TupleId tuple{};
        size_t rule = 0;
        bool late = false;
    };
    bool has_terminal() const { return !terminal_queue.empty(); }
    const std::vector<TerminalDel>& terminal_entries() const { return terminal_queue; }
    bool has_terminal_of(size_t rule, bool late_only) const;
    std::vector<TerminalDel> take_terminal_of(size_t rule, bool late_only);
    void queue_terminal(size_t rule, TupleId tuple, bool late);

    bool has_deferred_of(size_t rule) const;
    bool has_deferred() const { return !deferred_queue.empty(); }
    bool is_deferred(size_t rule, TupleId tuple) const;
    std::vector<std::pair<size_t, TupleId>> take_deferred();
    std::vector<std::pair<size_t, TupleId>> take_deferred_of(size_t rule);
    void defer(size_t rule, TupleId tuple);
    // Every tuple the terminal and deferred queues hold.
    template <class F>
    void for_each_queued_tuple(F f) const {
        for (const TerminalDel& d : terminal_queue) f(d.tuple);
        for (const auto& [rule, tuple] : deferred_queue) f(tuple);
    }

    // Events the clock expired, until the fire deletes them.
    HashSet<FactId> expiring_ids;
    // Set around the evaluations whose terminal deletions must wait in the
    // terminal queue.
    bool forced_eval = false;


    // --- Eager breaks run as a loop over a stack rather than by recursion,
    // so that a long chain of logical facts cannot exhaust the call stack; the
    // order is the recursion's (depth first). A frame's items (activations as
    // act_key, or facts to delete) sit in break_items above its parent's.
    struct BreakFrame {
        uint32_t begin = 0, end = 0, next = 0;
        bool facts = false;
    };
    std::vector<BreakFrame> breaks;
    std::vector<uint64_t> break_items;
    bool breaking = false;

    // Checks that contents, facts and records agree with each other and with
    // the store (every logical fact alive and justified, every link both
    // ways); an invariant_broken names the first disagreement.
    void verify(const FactStore& store) const;

private:
    std::vector<TerminalDel> terminal_queue;
    HashSet<uint64_t> terminal_set;
    std::vector<std::pair<size_t, TupleId>> deferred_queue;
    HashSet<uint64_t> deferred_set;
};

}  // namespace quarn
