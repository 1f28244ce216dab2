// Accumulate state and the evaluation of plain accumulate and collect nodes.
#include "engine/accumulate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"
#include "network/key.h"
#include "store/decimal.h"

namespace quarn {

// --- AccPlaces

void AccPlaces::push_back(AccPlace p) {
    if (!more_ && one_.slot == kNone) {
        one_ = p;
        return;
    }
    if (!more_) more_ = std::make_unique<std::vector<AccPlace>>(1, one_);
    more_->push_back(p);
}

void AccPlaces::erase_at(size_t i) {
    if (!more_) {
        one_.slot = kNone;
        return;
    }
    more_->erase(more_->begin() + static_cast<std::ptrdiff_t>(i));
    if (more_->size() == 1) {
        one_ = more_->front();
        more_.reset();
    }
}

std::optional<size_t> AccPlaces::find(TupleId tuple) const {
    for (size_t i = 0; i < size(); ++i)
        if ((*this)[i].tuple == tuple) return i;
    return std::nullopt;
}

// --- SumBounds

namespace {

uint8_t digit_count(u128 v) {
    uint8_t n = 0;
    do {
        ++n;
        v /= 10;
    } while (v != 0);
    return n;
}

u128 magnitude(i128 v) { return v < 0 ? static_cast<u128>(0) - static_cast<u128>(v) : static_cast<u128>(v); }

}  // namespace

void SumBounds::note(const Value& v) {
    if (v.tag() == ValueTag::I64) {
        const int64_t x = v.as_i64();
        const uint64_t m = x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
        max_abs = std::max(max_abs, m);
    } else if (v.tag() == ValueTag::Dec) {
        const DecParts& d = v.as_dec();
        const int digits = digit_count(magnitude(d.u));
        max_int_digits = static_cast<uint8_t>(std::max<int>(max_int_digits, std::max(0, digits - d.s)));
        max_scale = std::max(max_scale, d.s);
    }
}

bool SumBounds::safe_for(uint64_t count, AccFunc func, const FieldType& arg_type) const {
    if (func != AccFunc::Sum) return true;
    if (arg_type.kind == FieldKind::I64)
        return static_cast<u128>(count) * max_abs <= static_cast<u128>(INT64_MAX);
    if (arg_type.kind == FieldKind::Dec)
        // Each value rescaled to max_scale is below 10^(int digits + scale),
        // so count of them stay below 10^(digits of count + int digits + scale).
        return digit_count(count) + max_int_digits + max_scale <= kMaxDecScale;
    return true;
}

// --- AccCtx

namespace {

double as_double(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return static_cast<double>(v.as_i64());
        case ValueTag::F64: return v.as_f64();
        case ValueTag::Dec: {
            const DecParts& d = v.as_dec();
            return static_cast<double>(d.u) / std::pow(10.0, d.s);
        }
        default: return 0.0;
    }
}

// Brings a decimal sum and a value to the larger of their scales; none when
// either needs more than 38 digits there. A field's values share its scale, so
// in the engine the sum is rescaled only while it is an empty 0 at scale 0.
struct DecOperands {
    std::optional<WideSum> sum;  // the rescaled sum, when its scale moves
    i128 value = 0;
    uint8_t scale = 0;
};
std::optional<DecOperands> dec_operands(const WideSum& sum, uint8_t sum_scale, const DecParts& v) {
    DecOperands out;
    out.scale = std::max(sum_scale, v.s);
    if (out.scale != sum_scale) {
        const std::optional<i128> held = sum.narrow();
        const std::optional<i128> up = held ? dec_rescale(*held, sum_scale, out.scale) : std::nullopt;
        if (!up || !dec_fits(*up, kMaxDecScale)) return std::nullopt;
        out.sum = WideSum(*up);
    }
    const std::optional<i128> b = dec_rescale(v.u, v.s, out.scale);
    if (!b || !dec_fits(*b, kMaxDecScale)) return std::nullopt;
    out.value = *b;
    return out;
}

// v would replace e as the extreme: same kind and strictly beyond it.
bool beyond(AccFunc func, const Value& v, const Value& e) {
    if (v.tag() != e.tag()) return false;
    const bool min = func == AccFunc::Min;
    switch (v.tag()) {
        case ValueTag::I64: return min ? v.as_i64() < e.as_i64() : v.as_i64() > e.as_i64();
        case ValueTag::F64: return min ? v.as_f64() < e.as_f64() : v.as_f64() > e.as_f64();
        case ValueTag::Dec: {
            const Ordering o = dec_cmp(v.as_dec().u, v.as_dec().s, e.as_dec().u, e.as_dec().s);
            return min ? o == Ordering::Less : o == Ordering::Greater;
        }
        default: return false;
    }
}

// Integers equal as values are one value: any of them may stand for the rest.
bool same_integer(const Value& v, const Value& e) {
    return v.tag() == ValueTag::I64 && e.tag() == ValueTag::I64 && v.as_i64() == e.as_i64();
}

bool is_nan(const Value& v) { return v.tag() == ValueTag::F64 && std::isnan(v.as_f64()); }

}  // namespace

std::string collect_set_key(const Value& v) {
    if (v.tag() == ValueTag::F64 && v.as_f64() == 0.0) return scalar_canon_key(Value::f64(0.0));
    return scalar_canon_key(v);
}

Status AccCtx::apply(AccFunc func, const Value& v) {
    if (v.is_null()) {
        if (func == AccFunc::Count) ++count;
        return {};
    }
    switch (func) {
        case AccFunc::Sum:
            if (v.tag() == ValueTag::I64) {
                sum.add(v.as_i64());
            } else if (v.tag() == ValueTag::F64) {
                float_sum += v.as_f64();
                ++count;  // the values in float_sum, so that none left means exactly 0
            } else if (v.tag() == ValueTag::Dec) {
                std::optional<DecOperands> d = dec_operands(sum, dec_scale, v.as_dec());
                if (!d) return err(std::string(kDecSumOverflow));
                if (d->sum) sum = *d->sum;
                dec_scale = d->scale;
                sum.add(d->value);
            }
            return {};
        case AccFunc::Count: ++count; return {};
        case AccFunc::Average:
            float_sum += as_double(v);
            ++count;
            return {};
        case AccFunc::Min:
        case AccFunc::Max:
            if (extreme_stale) return {};  // the settle counts every live match
            if (!extreme || beyond(func, v, *extreme)) {
                extreme = v;
                extreme_refs = 1;
            } else if (same_integer(v, *extreme)) {
                ++extreme_refs;
            }
            return {};
        case AccFunc::Collect:
        case AccFunc::CollectList: return {};  // the members are the matches
        case AccFunc::CollectSet: {
            AccSetMember& m = collect_set[collect_set_key(v)];
            if (m.refs++ == 0) m.value = v;
            return {};
        }
    }
    return {};
}

Result<bool, std::string> AccCtx::try_reverse(AccFunc func, const Value& v) {
    if (v.is_null()) {
        if (func == AccFunc::Count) --count;
        return true;
    }
    switch (func) {
        case AccFunc::Sum:
            if (v.tag() == ValueTag::I64) {
                sum.subtract(v.as_i64());
            } else if (v.tag() == ValueTag::F64) {
                // Subtraction cannot take an infinity or a NaN back out.
                if (!std::isfinite(v.as_f64()) || !std::isfinite(float_sum)) return false;
                float_sum -= v.as_f64();
                if (--count == 0) float_sum = 0;  // no rounding residue once no value is left
            } else if (v.tag() == ValueTag::Dec) {
                std::optional<DecOperands> d = dec_operands(sum, dec_scale, v.as_dec());
                if (!d) return err(std::string(kDecSumOverflow));
                if (d->sum) sum = *d->sum;
                dec_scale = d->scale;
                sum.subtract(d->value);
            }
            return true;
        case AccFunc::Count: --count; return true;
        case AccFunc::Average: {
            const double x = as_double(v);
            if (!std::isfinite(x) || !std::isfinite(float_sum)) return false;  // as for a float sum
            float_sum -= x;
            --count;
            if (count == 0) float_sum = 0;  // no rounding residue once nothing is counted
            return true;
        }
        case AccFunc::Min:
        case AccFunc::Max:
            // A value beyond which the extreme lies never held it: nothing moves.
            // Nor does one integer of several equal to it: the rest hold the
            // same value. Anything else (the last such integer, a tie of other
            // kinds, whose forms differ, a NaN) is recomputed from the rest.
            if (extreme_stale) return true;  // the settle counts only live matches
            if (extreme && same_integer(v, *extreme) && extreme_refs > 1) {
                --extreme_refs;
                return true;
            }
            return extreme && beyond(func, *extreme, v);
        case AccFunc::Collect:
        case AccFunc::CollectList: return true;
        case AccFunc::CollectSet: {
            auto it = collect_set.find(collect_set_key(v));
            if (it != collect_set.end() && --it->second.refs == 0) collect_set.erase(it);
            return true;
        }
    }
    return true;
}

Status AccCtx::check_sum_range(AccFunc func, const FieldType& arg_type) const {
    if (func != AccFunc::Sum) return {};
    const std::optional<i128> s = sum.narrow();
    if (arg_type.kind == FieldKind::I64 && (!s || *s < INT64_MIN || *s > INT64_MAX))
        return err(std::string(kIntSumOverflow));
    if (arg_type.kind == FieldKind::Dec && (!s || !dec_fits(*s, kMaxDecScale))) return err(std::string(kDecSumOverflow));
    return {};
}

void AccCtx::reset_state() {
    sum = WideSum();
    dec_scale = 0;
    float_sum = 0;
    count = 0;
    extreme.reset();
    extreme_refs = 0;
    extreme_stale = false;
    collect_set.clear();
}

std::optional<Value> AccCtx::result_value(AccFunc func, const FieldType& arg_type) const {
    switch (func) {
        case AccFunc::Sum: {
            if (arg_type.kind != FieldKind::I64 && arg_type.kind != FieldKind::Dec) return Value::f64(float_sum);
            if (!check_sum_range(func, arg_type)) invariant_broken("a sum is read beyond its range");
            const i128 s = *sum.narrow();
            if (arg_type.kind == FieldKind::I64) return Value::i64(static_cast<int64_t>(s));
            return s == 0 && dec_scale == 0 ? Value::dec(0, arg_type.s) : Value::dec(s, dec_scale);
        }
        case AccFunc::Count: return Value::i64(count);
        case AccFunc::Average:
            if (count == 0) return std::nullopt;
            return Value::f64(float_sum / static_cast<double>(count));
        case AccFunc::Min:
        case AccFunc::Max: return extreme;
        case AccFunc::Collect:
        case AccFunc::CollectList:
        case AccFunc::CollectSet: return Value::i64(0);
    }
    return std::nullopt;
}

// --- AccMatch

AccMatch::AccMatch(FactId f, const Value& v) : fact(f), tag_(v.tag()) {
    switch (tag_) {
        case ValueTag::I64: a_ = static_cast<uint64_t>(v.as_i64()); break;
        case ValueTag::F64: {
            const double d = v.as_f64();
            std::memcpy(&a_, &d, sizeof d);
            break;
        }
        case ValueTag::Bool: a_ = v.as_bool() ? 1 : 0; break;
        case ValueTag::Dec: {
            const u128 u = static_cast<u128>(v.as_dec().u);
            a_ = static_cast<uint64_t>(u);
            b_ = static_cast<uint64_t>(u >> 64);
            scale_ = v.as_dec().s;
            break;
        }
        case ValueTag::Str: a_ = reinterpret_cast<uint64_t>(new std::string(v.as_str())); break;
        case ValueTag::Null: break;
    }
}

Value AccMatch::value() const {
    switch (tag_) {
        case ValueTag::I64: return Value::i64(static_cast<int64_t>(a_));
        case ValueTag::F64: {
            double d;
            std::memcpy(&d, &a_, sizeof d);
            return Value::f64(d);
        }
        case ValueTag::Bool: return Value::boolean(a_ != 0);
        case ValueTag::Dec: return Value::dec(static_cast<i128>((static_cast<u128>(b_) << 64) | a_), scale_);
        case ValueTag::Str: return Value::str(*text());
        case ValueTag::Null: break;
    }
    return Value::null();
}

uint32_t AccCtx::push_match(FactId fact, const Value& value) {
    matches.emplace_back(fact, value);
    ++live;
    nan_live += is_nan(value) ? 1 : 0;
    return static_cast<uint32_t>(matches.size() - 1);
}

Value AccCtx::kill_match(uint32_t slot) {
    AccMatch& m = matches.at(slot);
    if (!m.live) invariant_broken("acc match removed twice");
    m.live = false;
    --live;
    Value v = m.value();
    nan_live -= is_nan(v) ? 1 : 0;
    return v;
}

// --- Shared by the accumulate and groupby passes

Value acc_arg_value(const FactStore& store, const CompiledAcc& acc, FactId f) {
    return acc.arg_field ? store.get(f, *acc.arg_field) : Value::i64(0);
}

namespace {

// The figures again from the live matches, in arrival order.
Status recompute(AccCtx& ctx, AccFunc func, uint64_t& reads) {
    ctx.reset_state();
    if (ctx.live == 0) return {};
    reads += ctx.matches.size();
    for (const AccMatch& m : ctx.matches)
        if (m.live) QUARN_CHECK(ctx.apply(func, m.value()));
    return {};
}

}  // namespace

Status acc_remove_at(AccCtx& ctx, AccFunc func, uint32_t slot) {
    uint64_t reads = 0;  // counted by the passes only
    acc_settle(ctx, func, reads);
    Value v = ctx.kill_match(slot);
    Result<bool, std::string> reversed = ctx.try_reverse(func, v);
    if (!reversed) return err(std::move(reversed).error());
    if (!*reversed) QUARN_CHECK(recompute(ctx, func, reads));
    // No float residue (5.55e-17) once nothing is left.
    if (ctx.live == 0) ctx.float_sum = 0;
    return {};
}

Result<bool, std::string> acc_remove_in_pass(AccCtx& ctx, AccFunc func, uint32_t slot, uint64_t& reads) {
    if (ctx.extreme_stale) {
        // Without a NaN among the live matches the extreme is a function of
        // them alone (the earliest of the most extreme), whatever the order
        // of the changes, so the settle finds what recomputing at each
        // removal would have. A NaN makes the figures depend on that order:
        // then the old extreme is recomputed now and this removal goes the
        // way it always went.
        if (ctx.nan_live == 0) {
            ctx.kill_match(slot);
            return false;
        }
        acc_settle(ctx, func, reads);
    }
    Value v = ctx.kill_match(slot);
    Result<bool, std::string> reversed = ctx.try_reverse(func, v);
    if (!reversed) return err(std::move(reversed).error());
    bool stale = false;
    if (!*reversed) {
        if (func == AccFunc::Min || func == AccFunc::Max) ctx.extreme_stale = stale = true;
        else QUARN_CHECK(recompute(ctx, func, reads));
    }
    if (ctx.live == 0) ctx.float_sum = 0;
    return stale;
}

void acc_settle(AccCtx& ctx, AccFunc func, uint64_t& reads) {
    // Only a Min or Max goes stale, and neither can fail.
    if (ctx.extreme_stale && !recompute(ctx, func, reads)) invariant_broken("a min or max failed its recompute");
}

void acc_publish_members(AccState& st, AccFunc func, const AccCtx& ctx) {
    const FactId result = *ctx.result_fact;
    switch (func) {
        case AccFunc::Collect: {
            std::vector<FactId>& out = st.collect_members[result];
            out.clear();
            for (const AccMatch& m : ctx.matches)
                if (m.live) out.push_back(m.fact);
            return;
        }
        case AccFunc::CollectList: {
            std::vector<Value>& out = st.collect_values[result];
            out.clear();
            for (const AccMatch& m : ctx.matches)
                if (m.live && !m.value_is_null()) out.push_back(m.value());
            return;
        }
        case AccFunc::CollectSet: {
            std::vector<Value>& out = st.collect_values[result];
            out.clear();
            // NaN equals nothing, so each NaN is a member of its own.
            for (const auto& [key, m] : ctx.collect_set)
                for (uint64_t k = 0; k < (is_nan(m.value) ? m.refs : 1); ++k) out.push_back(m.value);
            return;
        }
        default: return;
    }
}

void acc_retract_child(Out& out, TupleId child, const Stamp& stamp) {
    if (out.pending.remove_ins(child)) {
        out.trg.cancelled.push_front({child, stamp, StagedFlag::Insert});
        return;
    }
    out.pending.remove_upd(child);
    out.trg.add_del(child, stamp);
}

void acc_stage_child(Out& out, AccCtx& ctx, TupleId child, const Stamp& stamp) {
    if (!ctx.emitted) {
        out.trg.add_ins_ph(child, stamp, StagedFlag::Insert);
        ctx.emitted = true;
    } else if (out.pending.remove_ins(child)) {
        out.trg.reinserted.push_back(child);
        out.trg.add_ins_ph(child, stamp, StagedFlag::Insert);
    } else {
        out.pending.remove_upd(child);
        out.trg.add_upd_ph(child, stamp, StagedFlag::Change);
    }
}

bool acc_sum_can_fail(const CompiledAcc& acc) {
    return acc.func == AccFunc::Sum && (acc.arg_type.kind == FieldKind::I64 || acc.arg_type.kind == FieldKind::Dec);
}

// --- Plain accumulate nodes

namespace {

// Calls body(k) for k = 0 .. n-1 after starting step s of the loads of entry
// k + kStride * (kSteps - s), for s = 0 .. kSteps-1. An entry of a long batch
// reads lines scattered over large tables, each found through the one
// before; started a step at a time ahead of its turn, the misses of several
// entries overlap instead of following one another.
template <class Prefetch, class Body>
void walk_prefetching(size_t n, Prefetch prefetch, Body body) {
    constexpr size_t kStride = 4;
    constexpr int kSteps = 4;
    for (size_t k = 0; k < n; ++k) {
        for (int step = 0; step < kSteps; ++step) {
            const size_t j = k + kStride * static_cast<size_t>(kSteps - step);
            if (j < n) prefetch(j, step);
        }
        body(k);
    }
}

// Starts loading the lines of a context.
void prefetch_ctx(const AccCtx& ctx) {
    const char* bytes = reinterpret_cast<const char*>(&ctx);
    for (size_t off = 0; off < sizeof(AccCtx); off += 64) __builtin_prefetch(bytes + off);
}

class AccPass {
public:
    AccPass(Engine& e, size_t node, size_t rule, size_t pattern, Out& out)
        : e_(e),
          tn_(e.nodes[node]),
          node_(tn_.node),
          st_(e.acc.nodes[node]),
          acc_(*e.rules[rule].patterns[pattern].acc),
          env_(e.input_seq, e.store, e.rules[rule], 0, true, e.tuples, e.switches),
          i_(pattern - 1),
          out_(out),
          key_decides_(key_decides_join(e.rules[rule].patterns[pattern])) {
        // As for the network's joins: without event types every change has
        // reached this node's memories before it runs, so its keys are current.
        if (e.event_decls.empty()) env_.set_keys_current();
    }

    EngineStatus run(const Staged<TupleId>& left, const Staged<FactId>& right) {
        pass_ = ++st_.passes;
        // A pass that could overflow a sum keeps a copy to go back to.
        std::optional<std::pair<Node::Memories, AccNodeState>> saved;
        if (acc_sum_can_fail(acc_)) {
            for (const auto& x : right.ins) st_.bounds.note(value_of(x.item));
            for (const auto& x : right.upd) st_.bounds.note(value_of(x.item));
            const uint64_t most = node_.right_memory().size() + right.ins.size() + right.upd.size() + 1;
            if (!st_.bounds.safe_for(most, acc_.func, acc_.arg_type)) saved.emplace(node_.memories(), st_);
        }
        Status ok = phases(left, right);
        if (ok && saved) ok = sums_in_range();
        if (!ok) {
            if (!saved) invariant_broken("an accumulate sum overflowed within its bounds");
            node_.restore_memories(std::move(saved->first));
            st_ = std::move(saved->second);
            return engine_err(std::move(ok).error());
        }
        // Result facts of contexts gone with their left tuple leave the store
        // only now that nothing can fail: a dead fact's row stays readable
        // until the call ends, and is then reclaimed like any deleted fact's.
        for (FactId row : dropped_rows_) e_.store.remove(row);
        results();
        for (TupleId t : compact_) {
            auto it = st_.acc_ctxs.find(t);
            if (it == st_.acc_ctxs.end() || !it->second.wants_compaction()) continue;
            it->second.compact([&](FactId f, uint32_t from, uint32_t to) {
                AccPlaces& places = st_.acc_by_right[f];
                for (size_t k = 0; k < places.size(); ++k)
                    if (places[k].tuple == t && places[k].slot == from) {
                        places[k].slot = to;
                        return;
                    }
            });
        }
        return {};
    }

private:
    // Whether the join reads the left tuple only through its key: every test
    // that reads another pattern is an equality of the key. Then a left update
    // that keeps the key keeps every match, and its context needs no rebuild.
    static bool key_decides_join(const CompiledPattern& p) {
        for (const CompiledCmp& c : p.cmps) {
            const Test& t = c.test;
            if (t.kind == Test::Kind::Temporal || (t.kind == Test::Kind::Group && t.refs_bindings)) return false;
            const bool reads_other = t.kind == Test::Kind::Cmp && t.rhs.kind == Src::Kind::FactField &&
                                     (!p.position || t.rhs.position != *p.position);
            if (reads_other && (t.op != CmpOp::Eq || p.index_op.kind() != IndexKind::Equality)) return false;
        }
        return true;
    }

    Value value_of(FactId f) const { return acc_arg_value(e_.store, acc_, f); }
    TupleView view(TupleId t) const { return e_.tuples.view(t); }
    Key left_key(TupleId t) const {
        Key k;
        env_.key_of_left(i_, view(t), k);
        return k;
    }
    Key right_key(FactId f) const {
        Key k;
        env_.key_of_right(i_, f, k);
        return k;
    }
    // t's child: t followed by the context's result fact.
    TupleId child_of(AccCtx& ctx, TupleId t) {
        if (ctx.child == TupleTable::empty_tuple) ctx.child = e_.tuples.extend(t, *ctx.result_fact);
        return ctx.child;
    }
    AccCtx* ctx_of(TupleId t) {
        auto it = st_.acc_ctxs.find(t);
        return it == st_.acc_ctxs.end() ? nullptr : &it->second;
    }

    // What a pass notes on a context: its tuple is in the pass's left batch
    // (it is published as that batch says), it is on a dirty list, its left
    // update kept the key.
    enum Mark : uint8_t { kInLeftBatch = 1, kDirty = 2, kKeptKey = 4 };
    bool marked(const AccCtx& ctx, uint8_t m) const { return ctx.marked_pass == pass_ && (ctx.marks & m) != 0; }
    void mark(AccCtx& ctx, Mark m) const {
        if (ctx.marked_pass != pass_) {
            ctx.marked_pass = pass_;
            ctx.marks = 0;
        }
        ctx.marks |= m;
    }

    // A matched fact came or went: t's result is published again, unless its
    // left change publishes it anyway or it is listed already.
    void mark_dirty(TupleId t, const Stamp& stamp) {
        if (AccCtx* ctx = ctx_of(t)) mark_dirty(*ctx, t, stamp);
    }
    void mark_dirty(AccCtx& ctx, TupleId t, const Stamp& stamp) {
        if (marked(ctx, kInLeftBatch | kDirty)) return;
        mark(ctx, kDirty);
        dirty_upd_.push_back({t, stamp, StagedFlag::Change});
    }
    // t's left change is published: once, on the inserts' list or the updates'.
    void list_dirty(std::vector<StagedEntry<TupleId>>& list, AccCtx& ctx, TupleId t, const Stamp& stamp,
                    StagedFlag flag) {
        if (marked(ctx, kDirty)) return;
        mark(ctx, kDirty);
        list.push_back({t, stamp, flag});
    }

    Status add_match(TupleId t, FactId f, const Value& v) { return add_match_to(ctx_of(t), t, f, v); }
    // Adds f to t's context `ctx` and notes its place under f.
    Status add_match_to(AccCtx* ctx, TupleId t, FactId f, const Value& v) {
        if (!ctx) invariant_broken("acc ctx");
        QUARN_CHECK(ctx->apply(acc_.func, v));
        const uint32_t slot = ctx->push_match(f, v);
        st_.acc_by_right[f].push_back({t, slot});
        return {};
    }

    // Removes the match at `slot` of t's context; with a stamp, t's result
    // is published again.
    Status remove_at(TupleId t, uint32_t slot, const Stamp* republish = nullptr) {
        AccCtx* ctx = ctx_of(t);
        if (!ctx) invariant_broken("acc ctx");
        QUARN_TRY(const bool stale, acc_remove_in_pass(*ctx, acc_.func, slot, st_.recompute_reads));
        if (stale) stale_.push_back(t);
        if (ctx->wants_compaction()) compact_.push_back(t);
        if (republish) mark_dirty(*ctx, t, *republish);
        return {};
    }

    // The first match of f in t's context, if any.
    Status remove_match(TupleId t, FactId f) {
        AccPlaces* places = st_.acc_by_right.find(f);
        if (places == nullptr) return {};
        std::optional<size_t> k = places->find(t);
        if (!k) return {};
        const uint32_t slot = (*places)[*k].slot;
        places->erase_at(*k);
        if (places->empty()) st_.acc_by_right.erase(f);
        return remove_at(t, slot);
    }

    // What a right delete of f reads, a step at a time (walk_prefetching):
    // the right memory's entry, f's places, the contexts, their matches.
    void prefetch_delete(FactId f, int step) const {
        if (step < 3) node_.prefetch_remove_right(f, step);
        if (step == 0) {
            st_.acc_by_right.prefetch(f);
            return;
        }
        const AccPlaces* places = st_.acc_by_right.find(f);
        if (places == nullptr) return;
        for (size_t i = 0; i < places->size(); ++i) {
            const AccPlace& at = (*places)[i];
            if (step == 1) {
                st_.acc_ctxs.prefetch(at.tuple);
                continue;
            }
            const auto it = st_.acc_ctxs.find(at.tuple);
            if (it == st_.acc_ctxs.end()) continue;
            if (step == 2) prefetch_ctx(it->second);
            else if (at.slot < it->second.matches.size()) __builtin_prefetch(&it->second.matches[at.slot]);
        }
    }

    // Drops every place of t's matches from the per-fact index.
    void forget_places(TupleId t, const AccCtx& ctx) {
        for (uint32_t s = 0; s < ctx.matches.size(); ++s) {
            const AccMatch& m = ctx.matches[s];
            if (!m.live) continue;
            AccPlaces* places = st_.acc_by_right.find(m.fact);
            if (places == nullptr) continue;
            for (size_t k = 0; k < places->size(); ++k)
                if ((*places)[k].tuple == t && (*places)[k].slot == s) {
                    places->erase_at(k);
                    break;
                }
            if (places->empty()) st_.acc_by_right.erase(m.fact);
        }
    }

    // Adds every right fact joining t (t's context is empty).
    Status fill(TupleId t, const Key& key) {
        scratch_facts_ = node_.collect_matching_rights(key);
        for (FactId f : scratch_facts_)
            if (env_.allowed(i_, view(t), f)) QUARN_CHECK(add_match(t, f, value_of(f)));
        return {};
    }

    // Fills the contexts of new left tuples. Many of them (a first fire) are
    // filled in one walk over the right memory, each right fact finding its
    // tuples through the left index: each context still gets its facts in
    // right-memory order, as one probe per tuple would give them, but the
    // walk reads the memory in order instead of jumping along its buckets.
    // The pairs are listed first, so that each context's matches are
    // allocated once at their final size.
    Status fill_fresh(const std::vector<std::pair<TupleId, Key>>& fresh) {
        if (fresh.size() < 64 || fresh.size() * 2 < node_.left_memory().size()) {
            for (const auto& [t, key] : fresh) QUARN_CHECK(fill(t, key));
            return {};
        }
        // Fresh tuples by number: their contexts and how many matches each gets.
        HashMap<TupleId, uint32_t> number;
        std::vector<AccCtx*> ctxs;
        std::vector<uint32_t> counts(fresh.size(), 0);
        ctxs.reserve(fresh.size());
        for (const auto& [t, key] : fresh) {
            number.try_emplace(t, static_cast<uint32_t>(ctxs.size()));
            ctxs.push_back(ctx_of(t));
        }
        // Without anything but the key's equality to test, an exact match of
        // the keys (values whose equality under the key is the test's) is the join.
        const bool keyed = node_.index_op().kind() == IndexKind::Equality && env_.key_decides(i_);
        std::vector<std::pair<uint32_t, FactId>> pairs;
        pairs.reserve(node_.right_memory().size());
        for (const auto& entry : node_.right_memory()) {
            const FactId f = entry.item;
            scratch_tuples_.clear();
            bool equal = false;
            if (entry.key) node_.left_memory().matching(entry.key, scratch_tuples_, &equal);
            else node_.left_memory().items(scratch_tuples_);
            const bool decided = keyed && entry.key && equal && key_equality_is_exact(entry.key);
            for (TupleId t : scratch_tuples_) {
                const auto it = number.find(t);
                if (it == number.end() || !(decided || env_.allowed(i_, view(t), f))) continue;
                pairs.emplace_back(it->second, f);
                ++counts[it->second];
            }
        }
        // The matches are laid out by context first, each context's in
        // right-memory order, while the facts are read in that order; the
        // figures are then added up a context at a time. The walk over the
        // pairs thus writes one match and one place each and never touches a
        // context, which at a million facts over ten thousand contexts would
        // miss the cache at nearly every pair (bench/scaling.py b-accumulate).
        std::vector<uint32_t> start(ctxs.size(), 0);
        for (size_t k = 1; k < ctxs.size(); ++k) start[k] = start[k - 1] + counts[k - 1];
        // A fresh context holds no match yet: its slots count from 0.
        std::vector<uint32_t> slots(ctxs.size(), 0);
        std::vector<AccMatch> laid(pairs.size());
        for (const auto& [k, f] : pairs) {
            if (!ctxs[k]) invariant_broken("acc ctx");
            const uint32_t slot = slots[k]++;
            laid[start[k] + slot] = AccMatch(f, value_of(f));
            st_.acc_by_right[f].push_back({fresh[k].first, slot});
        }
        for (size_t k = 0; k < ctxs.size(); ++k) {
            if (counts[k] == 0) continue;
            AccCtx& ctx = *ctxs[k];
            if (!ctx.matches.empty()) invariant_broken("a fresh acc ctx holds matches");
            ctx.matches.reserve(counts[k]);
            for (uint32_t at = start[k]; at < start[k] + counts[k]; ++at) {
                AccMatch& m = laid[at];
                const Value v = m.value();
                QUARN_CHECK(ctx.apply(acc_.func, v));
                ++ctx.live;
                ctx.nan_live += is_nan(v) ? 1 : 0;
                ctx.matches.push_back(std::move(m));
            }
        }
        return {};
    }

    // Equal keys whose floats also have the same bits (0.0 and -0.0 are
    // equal keys, yet an entry keeps the one it was given).
    static bool same_bits(const Key& a, const Key& b) {
        if (!(a == b)) return false;
        for (size_t k = 0; a.present() && k < a.size(); ++k)
            if (a[k].tag == ValueTag::F64 && a[k].a != b[k].a) return false;
        return true;
    }

    Status phases(const Staged<TupleId>& left, const Staged<FactId>& right) {
        // 1. Left deletes: the context goes, its child is retracted and its
        // result fact leaves the store once the pass has succeeded.
        for (const auto& x : left.del) {
            node_.remove_left(x.item);
            auto it = st_.acc_ctxs.find(x.item);
            if (it == st_.acc_ctxs.end()) continue;
            AccCtx ctx = std::move(it->second);
            st_.acc_ctxs.erase(it);
            forget_places(x.item, ctx);
            if (ctx.emitted) acc_retract_child(out_, child_of(ctx, x.item), x.stamp);
            if (ctx.result_fact) dropped_rows_.push_back(*ctx.result_fact);
        }
        // The contexts of the left batch's tuples publish as the batch says.
        if (!st_.acc_ctxs.empty())
            for (const EntryList<TupleId>* list : {&left.ins, &left.upd})
                for (const auto& x : *list)
                    if (AccCtx* ctx = ctx_of(x.item)) mark(*ctx, kInLeftBatch);
        // 2. Right deletes.
        scratch_rights_.assign(right.del.begin(), right.del.end());
        Status removed;
        walk_prefetching(
            scratch_rights_.size(), [&](size_t j, int step) { prefetch_delete(scratch_rights_[j].item, step); },
            [&](size_t k) {
                if (!removed) return;  // the pass fails and is undone
                const StagedEntry<FactId>& x = scratch_rights_[k];
                node_.remove_right(x.item);
                AccPlaces* held = st_.acc_by_right.find(x.item);
                if (held == nullptr) return;
                AccPlaces places = std::move(*held);
                st_.acc_by_right.erase(x.item);
                for (size_t i = 0; i < places.size() && removed; ++i)
                    removed = remove_at(places[i].tuple, places[i].slot, &x.stamp);
            });
        QUARN_CHECK(removed);
        // 3. Right updates: re-keyed first, then re-matched.
        for (const auto& x : right.upd) node_.re_add_right_tuple(x.item, right_key(x.item));
        for (const auto& x : right.upd) {
            const FactId f = x.item;
            const auto mine = node_.right_memory().find_first(f);
            const Key key = mine ? mine->key : right_key(f);
            AccPlaces* old = st_.acc_by_right.find(f);
            if (node_.index_op().kind() != IndexKind::None && old != nullptr && !old->empty()) {
                const auto first = node_.left_memory().find_first((*old)[0].tuple);
                if (!first || !keys_match(first->key, key)) {
                    // The key moved: every old tuple lets go of f.
                    AccPlaces places = std::move(*old);
                    st_.acc_by_right.erase(f);
                    for (size_t k = 0; k < places.size(); ++k)
                        QUARN_CHECK(remove_at(places[k].tuple, places[k].slot, &x.stamp));
                }
            }
            scratch_tuples_ = node_.collect_matching_lefts(key);
            for (TupleId t : scratch_tuples_) {
                const bool a = env_.allowed(i_, view(t), f);
                const AccPlaces* places = st_.acc_by_right.find(f);
                const bool was = places != nullptr && places->find(t).has_value();
                if (a) {
                    mark_dirty(t, x.stamp);
                    if (was) QUARN_CHECK(remove_match(t, f));
                    QUARN_CHECK(add_match(t, f, value_of(f)));
                } else if (was) {
                    QUARN_CHECK(remove_match(t, f));
                    mark_dirty(t, x.stamp);
                }
            }
        }
        // 4. Left updates: each context rebuilt from scratch, unless the key
        // that alone decides its matches is unchanged (an upstream result
        // moved): then only its result is published again.
        for (const auto& x : left.upd) {
            const TupleId t = x.item;
            Key key = left_key(t);
            const auto held = node_.left_memory().find_first(t);
            if (key_decides_ && held && held->key == key)
                if (AccCtx* ctx = ctx_of(t)) mark(*ctx, kKeptKey);
            // An update goes to the end of the memory with its new key, which
            // mostly is the old one to the bit: then the entry is moved.
            if (held && same_bits(held->key, key)) node_.move_left_to_back(t);
            else node_.re_add_left_tuple(t, std::move(key));
        }
        for (const auto& x : left.upd) {
            const TupleId t = x.item;
            AccCtx* ctx = ctx_of(t);
            if (ctx && marked(*ctx, kKeptKey)) {
                list_dirty(dirty_upd_, *ctx, t, x.stamp, StagedFlag::Change);
                continue;
            }
            if (!ctx) ctx = &st_.acc_ctxs[t];
            forget_places(t, *ctx);
            ctx->clear_matches();
            ctx->reset_state();
            const auto mine = node_.left_memory().find_first(t);
            QUARN_CHECK(fill(t, mine ? mine->key : left_key(t)));
            list_dirty(dirty_upd_, *ctx_of(t), t, x.stamp, StagedFlag::Change);
        }
        // 5. Right inserts join the tuples already held (before a first
        // fire none are, and no probe is made).
        const bool lefts_held = !node_.left_memory().empty();
        scratch_tuples_.clear();
        for (const auto& x : right.ins) {
            const FactId f = x.item;
            Key key = right_key(f);
            if (lefts_held) scratch_tuples_ = node_.collect_matching_lefts(key);
            node_.store_right(f, std::move(key));
            for (TupleId t : scratch_tuples_) {
                if (!env_.allowed(i_, view(t), f)) continue;
                QUARN_CHECK(add_match(t, f, value_of(f)));
                mark_dirty(t, x.stamp);
            }
        }
        // 6. Left inserts: a fresh context over every joining right fact.
        std::vector<std::pair<TupleId, Key>> fresh;
        for (const auto& x : left.ins) {
            const TupleId t = x.item;
            Key key = left_key(t);
            if (AccCtx* held = ctx_of(t)) {
                // Held already: rebuilt like an update, keeping its result.
                forget_places(t, *held);
                held->clear_matches();
                held->reset_state();
                node_.re_add_left_tuple(t, key);
                QUARN_CHECK(fill(t, key));
            } else {
                st_.acc_ctxs.try_emplace(t);
                node_.store_left(t, key);
                fresh.emplace_back(t, std::move(key));
            }
        }
        QUARN_CHECK(fill_fresh(fresh));
        for (const auto& x : left.ins) list_dirty(dirty_ins_, *ctx_of(x.item), x.item, x.stamp, StagedFlag::Insert);
        // Extremes lost to this pass's removals, recomputed once each
        // (a context rebuilt or gone since is no longer stale).
        for (TupleId t : stale_)
            if (AccCtx* ctx = ctx_of(t)) acc_settle(*ctx, acc_.func, st_.recompute_reads);
        return {};
    }

    // The sums of the current matches, whatever the order their changes came
    // in, lie within their range. Every context a pass changes is listed dirty.
    Status sums_in_range() {
        for (const std::vector<StagedEntry<TupleId>>* list : {&dirty_ins_, &dirty_upd_})
            for (const StagedEntry<TupleId>& d : *list)
                if (const AccCtx* ctx = ctx_of(d.item)) QUARN_CHECK(ctx->check_sum_range(acc_.func, acc_.arg_type));
        return {};
    }

    // 7. Results of the dirty tuples, inserts first.
    void results() {
        auto publish = [&](const StagedEntry<TupleId>& d) {
            AccCtx* ctx = ctx_of(d.item);
            if (!ctx) return;
            std::optional<Value> r = ctx->result_value(acc_.func, acc_.arg_type);
            if (!r) {
                if (ctx->emitted) {
                    acc_retract_child(out_, child_of(*ctx, d.item), d.stamp);
                    ctx->emitted = false;
                }
                return;
            }
            const bool collects = acc_.func == AccFunc::Collect || acc_.func == AccFunc::CollectList ||
                                  acc_.func == AccFunc::CollectSet;
            if (!ctx->result_fact) {
                std::vector<Value> values;
                if (!collects) values.push_back(std::move(*r));
                Result<FactId, std::string> made = e_.store.insert(acc_.result_type, std::move(values));
                if (!made) invariant_broken("acc result insert: " + made.error());
                ctx->result_fact = *made;
                e_.own_facts.insert(*made);
            } else if (!collects) {
                if (Status ok = e_.store.set_value(*ctx->result_fact, 0, std::move(*r)); !ok)
                    invariant_broken("acc result set: " + ok.error());
            }
            if (collects) acc_publish_members(e_.acc, acc_.func, *ctx);
            acc_stage_child(out_, *ctx, child_of(*ctx, d.item), d.stamp);
        };
        // Each list newest first.
        for (const std::vector<StagedEntry<TupleId>>* list : {&dirty_ins_, &dirty_upd_})
            for (auto it = list->rbegin(); it != list->rend(); ++it) publish(*it);
    }

    Engine& e_;
    TrieNode& tn_;
    Node& node_;
    AccNodeState& st_;
    const CompiledAcc& acc_;
    JoinEnvImpl env_;
    size_t i_;
    Out& out_;
    const bool key_decides_;
    uint64_t pass_ = 0;  // this evaluation's number (AccNodeState::passes)
    // The tuples whose results are published (the left inserts' first), in
    // the order they were listed.
    std::vector<StagedEntry<TupleId>> dirty_ins_, dirty_upd_;
    std::vector<TupleId> compact_;  // contexts that lost matches this pass
    std::vector<TupleId> stale_;    // contexts whose extreme this pass left stale
    std::vector<FactId> dropped_rows_;  // result facts of contexts this pass removed
    std::vector<TupleId> scratch_tuples_;
    std::vector<FactId> scratch_facts_;
    std::vector<StagedEntry<FactId>> scratch_rights_;  // right deletes, walked with prefetches
};

}  // namespace

EngineStatus Engine::eval_acc_node(size_t node, size_t rule, size_t pattern, Staged<TupleId> left,
                                   Staged<FactId> right, Out& out) {
    if (rule >= rules.size() || pattern == 0 || pattern >= rules[rule].patterns.size() ||
        !rules[rule].patterns[pattern].acc)
        invariant_broken("accumulate node without an accumulate pattern");
    AccPass pass(*this, node, rule, pattern, out);
    return pass.run(left, right);
}

}  // namespace quarn
