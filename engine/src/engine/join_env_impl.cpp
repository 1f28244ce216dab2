// The join environment over the fact store: join tests, index keys, the fire
// time of a temporal not and the left-update shortcut.
#include "engine/join_env_impl.h"

#include <limits>

#include "common/internal_error.h"
#include "engine/constraint_eval.h"

namespace quarn {

namespace {

FactId at(std::span<const FactId> tuple, size_t position) {
    if (position >= tuple.size()) invariant_broken("a test reads past the left tuple");
    return tuple[position];
}

const CompiledCmp* first_temporal(const CompiledPattern& p) {
    for (const CompiledCmp& c : p.cmps)
        if (c.test.kind == Test::Kind::Temporal) return &c;
    return nullptr;
}

// A comparison with a field of another pattern's fact.
bool is_cross_cmp(const CompiledPattern& p, const Test& t) {
    return t.kind == Test::Kind::Cmp && t.rhs.kind == Src::Kind::FactField && p.position != t.rhs.position;
}

// An optional duration: the field's I64 value, else 0.
int64_t duration(const FactStore& store, FactId f, std::optional<size_t> field) {
    if (!field) return 0;
    Value v = store.get(f, *field);
    return v.tag() == ValueTag::I64 ? v.as_i64() : 0;
}

// The store hands out values by copy, which die with this call: a text goes
// into the key's own storage at once. A key with no values stays none.
void push_owned(Key& key, const Value& v) {
    key.push(v);
    if (v.tag() == ValueTag::Str) key.own_texts();
}

// The column holding a field's cell when the cell is not null, its row in
// *row; none for a null cell or a field past the fact's columns.
const Column* valid_cell(const FactStore& store, FactId f, size_t field, uint32_t& row) {
    const std::vector<Column>& columns = store.data(store.fact_type(f)).columns;
    if (field >= columns.size()) return nullptr;
    const Column& c = columns[field];
    row = store.row_of(f);
    return !c.validity || (*c.validity)[row] != 0 ? &c : nullptr;
}

// A field's value; a text is referred to where the store keeps it, which
// stays put for the evaluation (the store does not change during one).
void push_field(Key& key, const FactStore& store, FactId f, size_t field) {
    // Integers and texts, the usual keys, are read from their column in place.
    uint32_t row = 0;
    if (const Column* c = valid_cell(store, f, field, row)) {
        if (const auto* ints = std::get_if<0>(&c->cells)) {
            key.push_i64((*ints)[row]);
            return;
        }
        if (const auto* texts = std::get_if<2>(&c->cells)) {
            key.push(KeyValue::text((*texts)[row]));
            return;
        }
    }
    key.push(store.get(f, field));
}

// The field's integer, when its cell is one (what push_field pushes with push_i64).
bool int_field(const FactStore& store, FactId f, size_t field, int64_t& v) {
    uint32_t row = 0;
    const Column* c = valid_cell(store, f, field, row);
    if (c == nullptr) return false;
    const auto* ints = std::get_if<0>(&c->cells);
    if (ints == nullptr) return false;
    v = (*ints)[row];
    return true;
}

// int_field over facts read one after another: the column of the last
// fact's type is kept, as the facts a key reads are mostly of one type.
class IntFieldReader {
public:
    IntFieldReader(const FactStore& store, size_t field) : store_(store), field_(field) {}
    bool read(FactId f, int64_t& v) {
        const TypeId type = store_.fact_type(f);
        if (type != type_ || !known_) see_type(type);
        if (ints_ == nullptr) return false;
        const uint32_t row = store_.row_of(f);
        if (validity_ != nullptr && (*validity_)[row] == 0) return false;
        v = (*ints_)[row];
        return true;
    }
    // read() for the facts fact_of(0) .. fact_of(n - 1): bit j set where v[j] was read.
    template <class FactOf>
    uint32_t read_block(size_t n, int64_t* v, FactOf fact_of) {
        uint32_t words = 0;
        for (size_t j = 0; j < n; ++j) {
            if (read(fact_of(j), v[j])) words |= 1u << j;
        }
        return words;
    }

private:
    void see_type(TypeId type) {
        type_ = type;
        known_ = true;
        ints_ = nullptr;
        validity_ = nullptr;
        const std::vector<Column>& columns = store_.data(type).columns;
        if (field_ >= columns.size()) return;
        const Column& c = columns[field_];
        ints_ = std::get_if<0>(&c.cells);
        if (c.validity) validity_ = &*c.validity;
    }

    const FactStore& store_;
    size_t field_;
    TypeId type_{};
    bool known_ = false;
    const CellVector<int64_t>* ints_ = nullptr;  // none: the field holds no integers
    const std::vector<uint8_t>* validity_ = nullptr;
};

int64_t add_saturating(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

const CompiledPattern& JoinEnvImpl::pattern(size_t i) const {
    if (i + 1 >= rule_.patterns.size()) invariant_broken("node position past the rule's patterns");
    return rule_.patterns[i + 1];
}

bool JoinEnvImpl::passes(size_t i, std::span<const FactId> tuple, FactId fact, std::optional<size_t> skip) const {
    const CompiledPattern& p = pattern(i);
    for (size_t k = 0; k < p.cmps.size(); ++k) {
        if (k == skip) continue;
        const CompiledCmp& c = p.cmps[k];
        const Test& t = c.test;
        if (t.kind == Test::Kind::Group) {
            if (eval_gexpr(t.expr, store_, fact, tuple, p.position) != Truth::True)
                return false;
            continue;
        }
        if (t.kind == Test::Kind::Temporal) {
            Value a = store_.temporal_ts(fact, c.field);
            FactId other = at(tuple, t.anchor);
            Value b = store_.temporal_ts(other, t.anchor_ts_field);
            if (a.tag() != ValueTag::I64 || b.tag() != ValueTag::I64) return false;
            int64_t as = a.as_i64(), bs = b.as_i64();
            int64_t ae = add_saturating(as, duration(store_, fact, t.own_duration_field));
            int64_t be = add_saturating(bs, duration(store_, other, t.anchor_duration_field));
            if (!eval_allen(t.allen, t.params, as, ae, bs, be)) return false;
            continue;
        }
        Value v = store_.get(fact, c.field);
        bool ok = false;
        switch (t.kind) {
            case Test::Kind::Cmp:
                switch (t.rhs.kind) {
                    case Src::Kind::Lit: ok = !v.is_null() && eval_cmp(v, t.op, t.rhs.lit); break;
                    case Src::Kind::FactField: {
                        FactId other = p.position == t.rhs.position ? fact : at(tuple, t.rhs.position);
                        ok = eval_cmp_join(v, t.op, store_.get(other, t.rhs.field));
                        break;
                    }
                    case Src::Kind::SnapField: unreachable("a left-hand side never reads a snapshot value");
                }
                break;
            default: ok = eval_alpha_test(v, t); break;
        }
        if (!ok) return false;
    }
    return true;
}

bool JoinEnvImpl::allowed(size_t i, TupleView tuple, FactId fact) const {
    return passes(i, tuple, fact, std::nullopt);
}

bool JoinEnvImpl::allowed_ce(size_t i, TupleView tuple, FactId fact) const {
    // The indexed comparison holds for every fact a range probe reaches. A
    // temporal node is keyed by event times and probes without its index, so
    // there the comparison is tested like the others.
    const CompiledPattern& p = pattern(i);
    std::optional<size_t> skip = p.has_temporal() ? std::nullopt : p.range_cmp;
    return passes(i, tuple, fact, skip);
}

bool JoinEnvImpl::key_decides(size_t i) const {
    // The key holds every equality against another pattern (key_of_left and
    // key_of_right push them in the same order) unless a range or temporal
    // test keys the pattern. Tests of the fact alone were checked when the
    // fact was admitted to the node, and an update that fails them takes it
    // out before anything joins it again.
    if (!keys_current_) return false;
    const CompiledPattern& p = pattern(i);
    if (p.range_cmp || first_temporal(p)) return false;
    bool any = false;
    for (const CompiledCmp& c : p.cmps) {
        const Test& t = c.test;
        if (t.kind == Test::Kind::Temporal || (t.kind == Test::Kind::Group && t.refs_bindings)) return false;
        if (!is_cross_cmp(p, t)) continue;
        if (t.op != CmpOp::Eq) return false;
        any = true;
    }
    return any;
}

const JoinEnvImpl::OneFieldKey& JoinEnvImpl::one_field_key(size_t i) const {
    if (one_key_.node == i) return one_key_;
    const CompiledPattern& p = pattern(i);
    OneFieldKey k;
    k.node = i;
    // A temporal or range test keys the node its own way (below).
    if (!first_temporal(p) && !(p.range_cmp && *p.range_cmp < p.cmps.size())) {
        size_t equalities = 0;
        for (const CompiledCmp& c : p.cmps) {
            if (!is_cross_cmp(p, c.test) || c.test.op != CmpOp::Eq) continue;
            ++equalities;
            k.left_position = c.test.rhs.position;
            k.left_field = c.test.rhs.field;
            k.right_field = c.field;
        }
        k.one = equalities == 1;
    }
    one_key_ = k;
    return one_key_;
}

void JoinEnvImpl::key_of_left(size_t i, TupleView tuple, Key& key) const {
    if (const OneFieldKey& k = one_field_key(i); k.one) {
        push_field(key, store_, at(tuple, k.left_position), k.left_field);
        return;
    }
    const CompiledPattern& p = pattern(i);
    if (const CompiledCmp* c = first_temporal(p)) {
        push_owned(key, store_.temporal_ts(at(tuple, c->test.anchor), c->test.anchor_ts_field));
        return;
    }
    if (p.range_cmp && *p.range_cmp < p.cmps.size()) {
        const Test& t = p.cmps[*p.range_cmp].test;
        if (is_cross_cmp(p, t)) {
            push_field(key, store_, at(tuple, t.rhs.position), t.rhs.field);
            return;
        }
    }
    for (const CompiledCmp& c : p.cmps)
        if (is_cross_cmp(p, c.test) && c.test.op == CmpOp::Eq)
            push_field(key, store_, at(tuple, c.test.rhs.position), c.test.rhs.field);
}

void JoinEnvImpl::key_of_right(size_t i, FactId fact, Key& key) const {
    if (const OneFieldKey& k = one_field_key(i); k.one) {
        push_field(key, store_, fact, k.right_field);
        return;
    }
    const CompiledPattern& p = pattern(i);
    if (const CompiledCmp* c = first_temporal(p)) {
        push_owned(key, store_.temporal_ts(fact, c->field));
        return;
    }
    if (p.range_cmp && *p.range_cmp < p.cmps.size()) {
        push_field(key, store_, fact, p.cmps[*p.range_cmp].field);
        return;
    }
    for (const CompiledCmp& c : p.cmps)
        if (is_cross_cmp(p, c.test) && c.test.op == CmpOp::Eq) push_field(key, store_, fact, c.field);
}

bool JoinEnvImpl::int_keys(size_t i) const { return one_field_key(i).one; }

bool JoinEnvImpl::int_key_of_left(size_t i, TupleView tuple, int64_t& v) const {
    const OneFieldKey& k = one_field_key(i);
    return k.one && int_field(store_, at(tuple, k.left_position), k.left_field, v);
}

bool JoinEnvImpl::int_key_of_right(size_t i, FactId fact, int64_t& v) const {
    const OneFieldKey& k = one_field_key(i);
    return k.one && int_field(store_, fact, k.right_field, v);
}

uint32_t JoinEnvImpl::int_keys_of_left(size_t i, const TupleId* tuples, size_t n, int64_t* v) const {
    const OneFieldKey& k = one_field_key(i);
    if (!k.one) return 0;
    return IntFieldReader(store_, k.left_field).read_block(n, v, [&](size_t j) {
        return at(tuples_.view(tuples[j]), k.left_position);
    });
}

uint32_t JoinEnvImpl::int_keys_of_right(size_t i, const FactId* facts, size_t n, int64_t* v) const {
    const OneFieldKey& k = one_field_key(i);
    if (!k.one) return 0;
    return IntFieldReader(store_, k.right_field).read_block(n, v, [&](size_t j) { return facts[j]; });
}

std::optional<int64_t> JoinEnvImpl::not_fire_time(size_t i, TupleView tuple) const {
    return fire_time(i, tuple);
}

std::optional<int64_t> JoinEnvImpl::fire_time(size_t i, std::span<const FactId> tuple) const {
    const CompiledCmp* c = first_temporal(pattern(i));
    if (!c) return std::nullopt;
    const Test& t = c->test;
    // The stored field, not the recorded event time.
    Value v = store_.get(at(tuple, t.anchor), t.anchor_ts_field);
    if (v.tag() != ValueTag::I64 || t.params.size() < 2) return std::nullopt;
    if (t.allen == AllenOp::After) return add_saturating(v.as_i64(), t.params[1]);
    if (t.allen == AllenOp::Before && t.params[0] == 0) return v.as_i64();
    return std::nullopt;
}

bool JoinEnvImpl::left_update_optimization(size_t i) const {
    const CompiledPattern& p = pattern(i);
    size_t reading = 0;
    bool all_eq = true;
    for (const CompiledCmp& c : p.cmps) {
        const Test& t = c.test;
        bool reads_left = (t.kind == Test::Kind::Group && t.refs_bindings) || is_cross_cmp(p, t);
        if (!reads_left) continue;
        ++reading;
        all_eq = all_eq && t.kind == Test::Kind::Cmp && t.op == CmpOp::Eq;
    }
    return reading < 2 || all_eq;
}

}  // namespace quarn
