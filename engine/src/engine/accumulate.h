// Accumulate, collect and groupby state: the running figures of one function
// over the facts that currently match one left tuple (AccCtx), the per-node
// indexes that let a change reach exactly the figures it moves, the groups of
// groupby nodes, and the published members of collection results. All of it
// lives in the engine's AccState, which a reset replaces whole.
//
// Evaluation lives in accumulate.cpp (plain accumulate and collect nodes) and
// groupby.cpp (groupby nodes); both are reached from Engine::eval_engine_node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/dense_ids.h"
#include "common/hash.h"
#include "common/ids.h"
#include "common/result.h"
#include "engine/compiler/compiled_rule.h"
#include "network/memory.h"
#include "network/staged.h"
#include "network/tuple.h"
#include "parser/condition_tree.h"
#include "store/fact_store.h"
#include "store/value.h"

namespace quarn {

// A current match of an accumulate: the right fact and the argument value
// taken from it. A removed match leaves a hole (live false) until the list is
// compacted, so that the places other indexes keep stay valid meanwhile.
// Matches are the bulk of an accumulate's memory (one per right fact and
// tuple), so the value is held in 24 bytes with the fact: a plain value in
// place, a text in storage of its own (a Value alone takes 48).
class AccMatch {
public:
    AccMatch() = default;
    AccMatch(FactId f, const Value& v);
    AccMatch(const AccMatch& o) : fact(o.fact), live(o.live), tag_(o.tag_), scale_(o.scale_), a_(o.a_), b_(o.b_) {
        if (tag_ == ValueTag::Str) a_ = reinterpret_cast<uint64_t>(new std::string(*o.text()));
    }
    AccMatch(AccMatch&& o) noexcept
        : fact(o.fact), live(o.live), tag_(o.tag_), scale_(o.scale_), a_(o.a_), b_(o.b_) {
        o.tag_ = ValueTag::Null;
    }
    AccMatch& operator=(const AccMatch& o) {
        if (this != &o) *this = AccMatch(o);
        return *this;
    }
    AccMatch& operator=(AccMatch&& o) noexcept {
        if (this == &o) return *this;
        release();
        fact = o.fact;
        live = o.live;
        tag_ = o.tag_;
        scale_ = o.scale_;
        a_ = o.a_;
        b_ = o.b_;
        o.tag_ = ValueTag::Null;
        return *this;
    }
    ~AccMatch() { release(); }

    FactId fact = 0;
    bool live = true;
    Value value() const;
    bool value_is_null() const { return tag_ == ValueTag::Null; }

private:
    const std::string* text() const { return reinterpret_cast<const std::string*>(a_); }
    void release() {
        if (tag_ == ValueTag::Str) delete reinterpret_cast<std::string*>(a_);
    }
    ValueTag tag_ = ValueTag::Null;
    uint8_t scale_ = 0;  // Dec
    uint64_t a_ = 0;     // I64, F64 (bits), Bool, Dec (low word), Str (owned std::string*)
    uint64_t b_ = 0;     // Dec (high word)
};
static_assert(sizeof(AccMatch) == 24);

// One distinct member of a CollectSet with the number of matches holding it.
struct AccSetMember {
    Value value;
    uint64_t refs = 0;
};

// An exact sum of signed values of up to 128 bits, held in 192 bits, two's
// complement. One step moves it by at most 2^127, an evaluation that leaves a
// sum out of its range is undone, and none takes 2^64 steps, so it never
// wraps: it is the sum of the values added and not taken back, whatever order
// they came and went in, and only that sum is held against a result's range.
class WideSum {
public:
    WideSum() = default;
    explicit WideSum(i128 v) { add(v); }
    void add(i128 v) {
        const u128 was = low();
        const u128 now = was + static_cast<u128>(v);
        high_ += uint64_t{now < was} + (v < 0 ? ~uint64_t{0} : 0);  // carry, sign extension
        set_low(now);
    }
    void subtract(i128 v) {
        const u128 was = low();
        const u128 now = was - static_cast<u128>(v);
        high_ -= uint64_t{now > was} + (v < 0 ? ~uint64_t{0} : 0);  // borrow, sign extension
        set_low(now);
    }
    // The sum when it lies within the 128-bit range.
    std::optional<i128> narrow() const {
        const u128 l = low();
        if (high_ != ((l >> 127) != 0 ? ~uint64_t{0} : 0)) return std::nullopt;
        return static_cast<i128>(l);
    }

private:
    u128 low() const { return (static_cast<u128>(mid_) << 64) | low_; }
    void set_low(u128 v) {
        low_ = static_cast<uint64_t>(v);
        mid_ = static_cast<uint64_t>(v >> 64);
    }
    // Three words rather than a 128-bit one and a word: 24 bytes, not 32.
    uint64_t low_ = 0;
    uint64_t mid_ = 0;
    uint64_t high_ = 0;
};

// Running state of one accumulate function over the matches of one left tuple
// (or of one groupby group). Only the fields of its function move.
struct AccCtx {
    // Sum: the integers' sum, or the decimals' unscaled sum at dec_scale. It
    // may leave the result's range within an evaluation; check_sum_range
    // holds the sum of the current matches against it before it is published.
    WideSum sum;
    uint8_t dec_scale = 0;
    std::optional<Value> extreme;  // Min, Max: none until the first non-null value
    uint64_t extreme_refs = 0;     // Min, Max over integers: the live matches holding the extreme
    double float_sum = 0;
    int64_t count = 0;  // Count, Average; for a float Sum the values in float_sum
    std::optional<FactId> result_fact;
    // The child (left tuple + result fact) once made: the result fact is
    // made once and then only set, so the child stays the same tuple.
    TupleId child{};
    // Arrival order. Collect's and CollectList's members are the live matches
    // themselves (CollectList skipping null values), so they need no list of
    // their own and leave with their own fact.
    std::vector<AccMatch> matches;
    uint32_t live = 0;      // live entries of matches
    uint32_t nan_live = 0;  // live matches holding a float NaN
    // CollectSet: by the member's canonical key text (a negative zero keyed as
    // zero, which it equals), so members publish in key order without a sort.
    std::map<std::string, AccSetMember> collect_set;
    bool emitted = false;  // the child (left tuple + result fact) is live downstream
    // Min, Max: the match holding the extreme left in this pass, and the
    // extreme is recomputed once the pass's removals are done (acc_settle),
    // not at each of them. Meanwhile `extreme` and `extreme_refs` mean
    // nothing, and values come and go without touching them.
    bool extreme_stale = false;
    // What one evaluation of the node has noted on the context (AccPass
    // marks), valid while marked_pass is that evaluation's number.
    uint8_t marks = 0;
    uint64_t marked_pass = 0;

    // Adds one value. Fails, changing nothing, only when a decimal and the
    // sum have different scales and one of them needs more than 38 digits at
    // the larger (a field's values share its scale, so the engine never does).
    Status apply(AccFunc func, const Value& value);
    // Takes one value back; false when it cannot be and the state must be
    // recomputed: Min, Max holding it as their extreme, a float sum or average
    // that it or the running sum makes infinite or NaN. Fails like apply.
    Result<bool, std::string> try_reverse(AccFunc func, const Value& value);
    // Fails when a sum over integers or decimals lies beyond its result's
    // range (64-bit integers, 38 decimal digits).
    Status check_sum_range(AccFunc func, const FieldType& arg_type) const;
    // Every figure back to empty; the matches, result fact and emitted flag stay.
    void reset_state();
    // The current result; `arg_type` is the argument field's type (I64 when
    // the function has no argument).
    std::optional<Value> result_value(AccFunc func, const FieldType& arg_type) const;

    // Appends a match and returns its slot.
    uint32_t push_match(FactId fact, const Value& value);
    // Marks the match at `slot` removed and returns its value.
    Value kill_match(uint32_t slot);
    // Drops every match, live or not.
    void clear_matches() {
        matches.clear();
        live = 0;
        nan_live = 0;
    }
    // Whether the holes are worth squeezing out.
    bool wants_compaction() const { return matches.size() - live > live + 16; }
    // Squeezes out the holes; `moved(fact, from, to)` is told of every live
    // match whose slot changes.
    template <class Moved>
    void compact(Moved moved) {
        uint32_t to = 0;
        for (uint32_t from = 0; from < matches.size(); ++from) {
            if (!matches[from].live) continue;
            if (from != to) {
                matches[to] = std::move(matches[from]);
                moved(matches[to].fact, from, to);
            }
            ++to;
        }
        matches.resize(to);
    }
};

// Where a right fact sits in the contexts of one accumulate node: the tuple
// and the slot in its matches, one entry per add, in add order. Nearly every
// fact matches one tuple, which is held in place; the index holds one per
// right fact, so it stays at 16 bytes.
struct AccPlace {
    TupleId tuple{};
    uint32_t slot = 0;
};
class AccPlaces {
public:
    AccPlaces() = default;
    AccPlaces(const AccPlaces& o) : one_(o.one_), more_(o.more_ ? new std::vector<AccPlace>(*o.more_) : nullptr) {}
    AccPlaces(AccPlaces&& o) noexcept = default;
    AccPlaces& operator=(const AccPlaces& o) {
        if (this != &o) *this = AccPlaces(o);
        return *this;
    }
    AccPlaces& operator=(AccPlaces&& o) noexcept = default;

    size_t size() const { return more_ ? more_->size() : (one_.slot != kNone ? 1 : 0); }
    bool empty() const { return size() == 0; }
    AccPlace& operator[](size_t i) { return more_ ? (*more_)[i] : one_; }
    const AccPlace& operator[](size_t i) const { return more_ ? (*more_)[i] : one_; }
    void push_back(AccPlace p);
    void erase_at(size_t i);
    // The index of the first place of `tuple`, if any.
    std::optional<size_t> find(TupleId tuple) const;

private:
    // A slot no context reaches: matches are numbered far below it.
    static constexpr uint32_t kNone = UINT32_MAX;
    AccPlace one_{TupleId{}, kNone};
    std::unique_ptr<std::vector<AccPlace>> more_;  // all places once there are two or more
};

// The largest argument magnitudes a node has read, which bound every sum it
// can form: while count * max_abs (integers) or the digits of count, of the
// integer part and the scale (decimals) stay within the limits, no sum of a
// pass can leave its range and the pass needs neither a check nor a way back.
struct SumBounds {
    uint64_t max_abs = 0;     // I64 arguments
    uint8_t max_int_digits = 0;  // Dec: digits before the point
    uint8_t max_scale = 0;       // Dec
    void note(const Value& v);
    // No sum over at most `count` of the noted values can fail.
    bool safe_for(uint64_t count, AccFunc func, const FieldType& arg_type) const;
};

// The engine-side state of one plain accumulate node.
struct AccNodeState {
    HashMap<TupleId, AccCtx> acc_ctxs;      // one per left tuple in the node's memory
    DenseIdMap<AccPlaces, FactId> acc_by_right;  // each right fact's places, by fact id
    SumBounds bounds;
    uint64_t passes = 0;  // evaluations so far, which number them
    uint64_t recompute_reads = 0;  // matches read by recomputes of lost extremes
};

// One groupby group: its key, the function's figures over its members (the
// context's matches), its row fact (the context's result fact).
struct GbGroup {
    std::string key_text;
    Value key;
    AccCtx ctx;
    bool live = true;         // false once removed; the arena slot waits for reuse
    uint64_t dirty_pass = 0;  // the pass that last put it on the dirty list
};

// Where a member fact sits: its group's arena index and its slot there.
struct GbPlace {
    uint32_t group = 0;
    uint32_t slot = 0;
};

// The groups of one groupby node. They always hold every source fact in the
// node's right memory, with or without a left tuple to publish them under.
// Groups sit in an arena so that a member's place survives other groups
// coming and going.
struct GbNodeState {
    std::vector<GbGroup> arena;
    std::vector<uint32_t> free_slots;
    HashMap<std::string, uint32_t> by_key;  // key text -> arena index
    DenseIdMap<GbPlace, FactId> member_of;  // a fact is a member of one group
    SumBounds bounds;
    uint64_t passes = 0;
    uint64_t recompute_reads = 0;  // matches read by recomputes of lost extremes
};

struct AccState {
    // By node index: plain accumulate nodes and groupby nodes.
    HashMap<size_t, AccNodeState> nodes;
    HashMap<size_t, GbNodeState> gb_groups;
    // Published members by result fact: Collect's member facts, CollectList's
    // values in arrival order, CollectSet's values by canonical key text. They
    // outlive the tuple until the call that removed their result fact has
    // ended (Engine::forget_members_of_dead_collections).
    HashMap<FactId, std::vector<FactId>> collect_members;
    HashMap<FactId, std::vector<Value>> collect_values;
};

// The messages of the sum limits.
inline constexpr const char* kIntSumOverflow = "integer sum overflow (64-bit integer exceeded)";
inline constexpr const char* kDecSumOverflow = "decimal sum overflow (DECIMAL(38) exceeded)";

// The key a CollectSet member is found under: its canonical key text, with a
// negative zero written as zero.
std::string collect_set_key(const Value& v);

// Steps the accumulate and groupby passes share (accumulate.cpp).
// The argument value of a source fact: its argument field, or I64(0).
Value acc_arg_value(const FactStore& store, const CompiledAcc& acc, FactId f);
// Removes the match at `slot` and takes its value back, recomputing the
// figures from the remaining matches when it cannot be taken back.
Status acc_remove_at(AccCtx& ctx, AccFunc func, uint32_t slot);
// The same within a pass that settles what it touched (acc_settle) before
// it reads a result: a Min or Max that loses its extreme is left stale, so
// that a batch taking the extremes away one after another recomputes once,
// not once per removal. True when this removal left the context stale.
// `reads` counts the matches that recomputes read.
Result<bool, std::string> acc_remove_in_pass(AccCtx& ctx, AccFunc func, uint32_t slot, uint64_t& reads);
// Recomputes a stale extreme from the live matches, in arrival order: ties
// go to the earliest surviving arrival, as a recompute at each removal
// would give them.
void acc_settle(AccCtx& ctx, AccFunc func, uint64_t& reads);
// Publishes a collection result's members under its result fact.
void acc_publish_members(AccState& st, AccFunc func, const AccCtx& ctx);
// A child leaves: a pending insert of it is withdrawn (and recorded as
// cancelled), else a pending update is dropped and a delete staged.
void acc_retract_child(Out& out, TupleId child, const Stamp& stamp);
// A child with a (new) result: inserted when not live, else updated (an
// insert still pending is staged again).
void acc_stage_child(Out& out, AccCtx& ctx, TupleId child, const Stamp& stamp);
// Only sums over integers and decimals can fail.
bool acc_sum_can_fail(const CompiledAcc& acc);

}  // namespace quarn
