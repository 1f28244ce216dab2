// The routes of each fact type with their distinct alpha tests and literal
// indexes (alpha_routes.h).
#include "engine/alpha_routes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

bool alpha_cmp_passes(const FactStore& store, const CompiledPattern& p, const CompiledCmp& c, FactId f) {
    const Test& t = c.test;
    switch (t.kind) {
        case Test::Kind::Group:
            return t.refs_bindings || eval_gexpr(t.expr, store, f, std::nullopt, p.position) == Truth::True;
        case Test::Kind::Temporal: return true;
        case Test::Kind::Cmp:
            if (t.rhs.is_literal()) {
                const Value v = store.get(f, c.field);
                return !v.is_null() && eval_cmp(v, t.op, t.rhs.lit);
            }
            if (t.rhs.kind == Src::Kind::FactField && p.position && t.rhs.position == *p.position)
                return eval_cmp_join(store.get(f, c.field), t.op, store.get(f, t.rhs.field));
            return true;  // against another pattern's fact: a join test
        default: return eval_alpha_test(store.get(f, c.field), t);
    }
}

namespace {

// Whether the test reads the pattern's own fact only, and so is decided per
// fact; the others are join tests.
bool is_alpha_test(const CompiledPattern& p, const Test& t) {
    switch (t.kind) {
        case Test::Kind::Group: return !t.refs_bindings;
        case Test::Kind::Temporal: return false;
        case Test::Kind::Cmp:
            return t.rhs.is_literal() ||
                   (t.rhs.kind == Src::Kind::FactField && p.position && t.rhs.position == *p.position);
        default: return true;
    }
}

// The word an equality of a field of kind `kind` with `lit` is indexed by,
// when the index can stand for the test: every value the test accepts has
// that word, and every value with that word is accepted. Null, a NaN and the
// pairs compared across kinds (an integer field against a float or decimal
// literal, a float field against a decimal) stay with the plain test.
std::optional<uint64_t> literal_word(FieldKind kind, const Value& lit) {
    switch (kind) {
        case FieldKind::I64:
            if (lit.tag() == ValueTag::I64) return static_cast<uint64_t>(lit.as_i64());
            return std::nullopt;
        case FieldKind::F64: {
            // An integer literal compares as its double.
            double d;
            if (lit.tag() == ValueTag::F64) d = lit.as_f64();
            else if (lit.tag() == ValueTag::I64) d = static_cast<double>(lit.as_i64());
            else return std::nullopt;
            if (std::isnan(d)) return std::nullopt;
            return std::bit_cast<uint64_t>(d == 0 ? 0.0 : d);
        }
        case FieldKind::Bool:
            if (lit.tag() == ValueTag::Bool) return lit.as_bool() ? 1 : 0;
            return std::nullopt;
        case FieldKind::Str:
        case FieldKind::Dec: return std::nullopt;
    }
    return std::nullopt;
}

bool indexable(FieldKind kind, const Test& t) {
    if (t.kind != Test::Kind::Cmp || t.op != CmpOp::Eq || !t.rhs.is_literal()) return false;
    if (kind == FieldKind::Str) return t.rhs.lit.tag() == ValueTag::Str;
    return literal_word(kind, t.rhs.lit).has_value();
}

// The word of a fact's field under an index of kind `kind`; none for a null
// (which no equality accepts).
std::optional<uint64_t> field_word(const FactStore& store, FieldKind kind, FactId f, uint32_t field) {
    if (kind == FieldKind::I64) {
        if (const int64_t* cell = store.i64_cell(f, field)) return static_cast<uint64_t>(*cell);
    }
    const Value v = store.get(f, field);
    switch (v.tag()) {
        case ValueTag::I64: return static_cast<uint64_t>(v.as_i64());
        // A NaN's bits match no literal's: no literal is a NaN.
        case ValueTag::F64: return std::bit_cast<uint64_t>(v.as_f64() == 0 ? 0.0 : v.as_f64());
        case ValueTag::Bool: return v.as_bool() ? 1 : 0;
        default: return std::nullopt;
    }
}

// The fields of its own fact an alpha test reads: every field for a group,
// whose tree may read any.
uint64_t fields_read(const CompiledCmp& c) {
    const Test& t = c.test;
    if (t.kind == Test::Kind::Group) return ~uint64_t{0};
    uint64_t fields = uint64_t{1} << c.field;
    if (t.kind == Test::Kind::Cmp && t.rhs.kind == Src::Kind::FactField) fields |= uint64_t{1} << t.rhs.field;
    return fields;
}

// A route list of one type under construction: routes are added in list
// order, each with its pattern's tests filed among the type's checks.
class ListBuilder {
public:
    // A list of fewer routes than this is not indexed: its few routes cost
    // less to test than a look in an index.
    static constexpr size_t kIndexFrom = 4;

    ListBuilder(const Engine& e, TypeRoutes& type, RouteList& list, HashMap<std::string, uint32_t>& check_keys,
                size_t routes)
        : e_(e), type_(type), list_(list), check_keys_(check_keys), index_(routes >= kIndexFrom) {}

    void add(size_t rule, size_t pattern) {
        const CompiledPattern& p = e_.rules[rule].patterns[pattern];
        const uint32_t place = static_cast<uint32_t>(list_.routes.size());
        RouteList::Route& route = list_.routes.emplace_back();
        route.rule = rule;
        route.pattern = pattern;
        route.entry_point = p.entry_point_id;
        route.takes_facts = p.role.kind != SubRole::Kind::Group;
        route.first_check = route.end_check = static_cast<uint32_t>(list_.checks.size());
        if (!route.takes_facts) return;
        if (p.acc) list_.accumulates.push_back(place);
        std::optional<size_t> indexed;
        uint64_t reads = 0;
        for (size_t ci = 0; ci < p.cmps.size(); ++ci) {
            const CompiledCmp& c = p.cmps[ci];
            if (!is_alpha_test(p, c.test)) continue;
            reads |= fields_read(c);
            if (index_ && !indexed && indexable(e_.store.field_type(p.type_id, c.field).kind, c.test)) {
                indexed = ci;
                continue;
            }
            list_.checks.push_back(check_of(rule, pattern, ci));
        }
        list_.routes.back().end_check = static_cast<uint32_t>(list_.checks.size());
        if (!p.acc) list_.routes.back().reads = reads;
        if (!indexed) {
            unindexed_.push_back(place);
            return;
        }
        const CompiledCmp& c = p.cmps[*indexed];
        const FieldKind kind = e_.store.field_type(p.type_id, c.field).kind;
        Pending& slot = pending_for(static_cast<uint32_t>(c.field), kind);
        if (kind == FieldKind::Str) slot.by_text[c.test.rhs.lit.as_str()].push_back(place);
        else slot.by_word[*literal_word(kind, c.test.rhs.lit)].push_back(place);
        type_.indexed_fields |= uint64_t{1} << c.field;
    }

    // Lays the indexes out, in the order their fields were first met.
    void finish() {
        for (const Pending& pending : pending_) {
            RouteList::LiteralIndex& ix = list_.indexes.emplace_back();
            ix.field = pending.field;
            ix.kind = pending.kind;
            // Buckets are numbered in the order of their first route (each
            // route sits in one bucket), so the layout does not follow the
            // maps' order.
            struct Bucket {
                uint32_t first = 0;
                uint64_t word = 0;
                const std::string* text = nullptr;
                const std::vector<uint32_t>* routes = nullptr;
            };
            std::vector<Bucket> buckets;
            for (const auto& [word, routes] : pending.by_word) buckets.push_back({routes.front(), word, nullptr, &routes});
            for (const auto& [text, routes] : pending.by_text) buckets.push_back({routes.front(), 0, &text, &routes});
            std::sort(buckets.begin(), buckets.end(), [](const Bucket& a, const Bucket& b) { return a.first < b.first; });
            for (const Bucket& b : buckets) {
                const uint32_t number = static_cast<uint32_t>(ix.buckets.size());
                if (b.text) ix.by_text.emplace(*b.text, number);
                else ix.by_word.emplace(b.word, number);
                ix.buckets.push_back(offer_of(*b.routes));
            }
        }
        list_.unindexed = offer_of(unindexed_);
    }

private:
    struct Pending {
        uint32_t field = 0;
        FieldKind kind = FieldKind::I64;
        HashMap<uint64_t, std::vector<uint32_t>> by_word;
        HashMap<std::string, std::vector<uint32_t>> by_text;
    };

    Pending& pending_for(uint32_t field, FieldKind kind) {
        for (Pending& p : pending_)
            if (p.field == field) return p;
        Pending& p = pending_.emplace_back();
        p.field = field;
        p.kind = kind;
        return p;
    }

    // The type's check for constraint `ci` of the pattern, shared with every
    // pattern of the type whose test has the same key. The key holds the
    // field, the test's key text (pattern_test_key) and, for a test that
    // reads the fact through a binding, the pattern's position.
    RouteList::Check check_of(size_t rule, size_t pattern, size_t ci) {
        const CompiledPattern& p = e_.rules[rule].patterns[pattern];
        const CompiledCmp& c = p.cmps[ci];
        const Test& t = c.test;
        std::string key = fmt("{};", c.field);
        if (t.kind == Test::Kind::Group || (t.kind == Test::Kind::Cmp && !t.rhs.is_literal()))
            key += fmt("p{}:", p.position ? *p.position : ~size_t{0});
        key += pattern_test_key(t, e_.store.field_type(p.type_id, c.field));
        auto [it, fresh] = check_keys_.try_emplace(std::move(key), static_cast<uint32_t>(type_.checks.size()));
        if (fresh) type_.checks.push_back(AlphaCheck{rule, pattern, ci});
        RouteList::Check check;
        check.id = it->second;
        check.field = static_cast<uint32_t>(c.field);
        if (t.kind == Test::Kind::Cmp && t.rhs.is_literal() && t.rhs.lit.tag() == ValueTag::I64 &&
            e_.store.field_type(p.type_id, c.field).kind == FieldKind::I64) {
            check.int_cmp = true;
            set_int_range(check, t.op, t.rhs.lit.as_i64());
        }
        const FieldKind kind = e_.store.field_type(p.type_id, c.field).kind;
        if (t.kind == Test::Kind::Cmp && t.rhs.is_literal() && (t.op == CmpOp::Eq || t.op == CmpOp::Ne)) {
            if (kind == FieldKind::Str && t.rhs.lit.tag() == ValueTag::Str) {
                check.text_eq = true;
                check.outside = t.op == CmpOp::Ne;
                if (type_.texts.size() <= check.id) type_.texts.resize(size_t{check.id} + 1);
                type_.texts[check.id] = t.rhs.lit.as_str();
            } else if (kind == FieldKind::Bool && t.rhs.lit.tag() == ValueTag::Bool) {
                check.bool_eq = true;
                check.outside = t.op == CmpOp::Ne;
                check.low = t.rhs.lit.as_bool() ? 1 : 0;
            }
        }
        return check;
    }

    // The cells `op lit` accepts, as a range; an empty one is [1, 0].
    static void set_int_range(RouteList::Check& check, CmpOp op, int64_t lit) {
        constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
        constexpr int64_t highest = std::numeric_limits<int64_t>::max();
        switch (op) {
            case CmpOp::Eq: check.low = check.high = lit; return;
            case CmpOp::Ne:
                check.low = check.high = lit;
                check.outside = true;
                return;
            case CmpOp::Lt:
                if (lit != lowest) check.low = lowest, check.high = lit - 1;
                return;
            case CmpOp::Le: check.low = lowest, check.high = lit; return;
            case CmpOp::Gt:
                if (lit != highest) check.low = lit + 1, check.high = highest;
                return;
            case CmpOp::Ge: check.low = lit, check.high = highest; return;
        }
    }

    static bool one_sided(const RouteList::Check& c) {
        constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
        constexpr int64_t highest = std::numeric_limits<int64_t>::max();
        return c.int_cmp && !c.outside && c.low <= c.high && (c.high == highest || c.low == lowest);
    }
    // The first one-sided integer test of route `place` on `field`, or on
    // any field when none is given.
    const RouteList::Check* bound_of(uint32_t place, std::optional<uint32_t> field) const {
        const RouteList::Route& route = list_.routes[place];
        for (uint32_t k = route.first_check; k < route.end_check; ++k) {
            const RouteList::Check& c = list_.checks[k];
            if (one_sided(c) && (!field || c.field == *field)) return &c;
        }
        return nullptr;
    }

    // The offer of `places` (ascending), filed by the bounds on the field of
    // the first route's first one-sided integer test. A few bounded routes
    // cost less to visit than to look up: they stay plain.
    RouteList::Offer offer_of(const std::vector<uint32_t>& places) const {
        constexpr size_t kFewestBounded = 4;
        RouteList::Offer offer;
        std::optional<uint32_t> field;
        for (uint32_t place : places)
            if (const RouteList::Check* c = bound_of(place, std::nullopt)) {
                field = c->field;
                break;
            }
        const size_t bounded = !field ? 0
                                      : static_cast<size_t>(std::count_if(places.begin(), places.end(), [&](uint32_t place) {
                                            return bound_of(place, field) != nullptr;
                                        }));
        if (bounded < kFewestBounded) field.reset();
        if (field) offer.bounded_field = *field;
        for (uint32_t place : places) {
            const RouteList::Check* c = field ? bound_of(place, field) : nullptr;
            if (!c) offer.plain.push_back(place);
            else if (c->high == std::numeric_limits<int64_t>::max()) offer.at_least.emplace_back(c->low, place);
            else offer.at_most.emplace_back(c->high, place);
        }
        std::sort(offer.at_least.begin(), offer.at_least.end());
        std::sort(offer.at_most.begin(), offer.at_most.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        return offer;
    }

    const Engine& e_;
    TypeRoutes& type_;
    RouteList& list_;
    HashMap<std::string, uint32_t>& check_keys_;
    std::vector<Pending> pending_;
    std::vector<uint32_t> unindexed_;
    const bool index_;
};

bool int_check_passes(const RouteList::Check& c, int64_t cell) { return (c.low <= cell && cell <= c.high) != c.outside; }

}  // namespace

void AlphaRoutes::build(const Engine& e) {
    types_.clear();
    types_.resize(std::max(e.lias_by_type.size(), e.nodes_by_type.size()));
    for (TypeId t = 0; t < types_.size(); ++t) {
        TypeRoutes& type = types_[t];
        HashMap<std::string, uint32_t> check_keys;
        if (t < e.lias_by_type.size()) {
            ListBuilder lias(e, type, type.lias, check_keys, e.lias_by_type[t].size());
            for (size_t li : e.lias_by_type[t]) lias.add(e.lias[li].rule, e.lias[li].pattern);
            lias.finish();
        }
        if (t < e.nodes_by_type.size()) {
            ListBuilder nodes(e, type, type.nodes, check_keys, e.nodes_by_type[t].size());
            for (size_t ni : e.nodes_by_type[t]) nodes.add(e.nodes[ni].owner.first, e.nodes[ni].owner.second);
            nodes.finish();
        }
        type.memo.assign(type.checks.size(), 0);
    }
}

void AlphaRoutes::start_fact(const Engine& e, FactId f) {
    fact_ = f;
    type_ = e.store.fact_type(f);
    entry_point_ = e.entry_point_of(f);
    if (type_ >= types_.size()) return;
    TypeRoutes& t = types_[type_];
    // Epoch 0 marks a check never run; after a wrap (the memo keeps 31 bits
    // of it) every mark is stale.
    if (++t.epoch == uint32_t{1} << 31) {
        std::fill(t.memo.begin(), t.memo.end(), 0);
        t.cell_seen.fill(0);
        t.text_seen = 0;
        t.epoch = 1;
    }
}

bool AlphaRoutes::run_check(const Engine& e, TypeRoutes& t, const RouteList::Check& c) {
    ++checks_run_;
    bool passes;
    const uint8_t* flag = c.bool_eq ? e.store.bool_cell(fact_, c.field) : nullptr;
    if (c.text_eq) {
        // A null passes neither an equality nor an inequality.
        if (t.text_seen != t.epoch || t.text_field != c.field) {
            t.text = e.store.text(fact_, c.field);
            t.text_seen = t.epoch;
            t.text_field = c.field;
        }
        passes = t.text && ((*t.text == t.texts[c.id]) != c.outside);
        t.memo[c.id] = t.epoch << 1 | (passes ? 1 : 0);
        return passes;
    }
    if (flag != nullptr) {
        passes = ((*flag != 0) == (c.low != 0)) != c.outside;
        t.memo[c.id] = t.epoch << 1 | (passes ? 1 : 0);
        return passes;
    }
    if (c.int_cmp && t.cell_seen[c.field] != t.epoch) {
        // Tests of one field against several literals read its cell once.
        const int64_t* cell = e.store.i64_cell(fact_, c.field);
        t.cell_seen[c.field] = t.epoch;
        t.cell_read[c.field] = cell != nullptr;
        if (cell) t.cell[c.field] = *cell;
    }
    if (c.int_cmp && t.cell_read[c.field]) {
        passes = int_check_passes(c, t.cell[c.field]);
    } else {
        const AlphaCheck& check = t.checks[c.id];
        const CompiledPattern& p = e.rules[check.rule].patterns[check.pattern];
        passes = alpha_cmp_passes(e.store, p, p.cmps[check.cmp], fact_);
    }
    t.memo[c.id] = t.epoch << 1 | (passes ? 1 : 0);
    return passes;
}

// Inline: a fact asks it of every route its literals reach.
[[gnu::always_inline]] inline bool AlphaRoutes::route_passes(const Engine& e, TypeRoutes& t, const RouteList& list,
                                                             uint32_t place) {
    const RouteList::Route& route = list.routes[place];
    if (entry_point_ != route.entry_point) return false;
    // Read once: the memo's stores could alias them for the compiler.
    const uint32_t mark = t.epoch << 1;
    uint32_t* const memo = t.memo.data();
    for (uint32_t k = route.first_check; k < route.end_check; ++k) {
        const RouteList::Check& c = list.checks[k];
        bool passes;
        if ((memo[c.id] & ~uint32_t{1}) == mark) {
            passes = (memo[c.id] & 1) != 0;
        } else if (c.int_cmp && t.cell_seen[c.field] == t.epoch && t.cell_read[c.field]) {
            // An integer test whose cell is read already runs here.
            ++checks_run_;
            passes = int_check_passes(c, t.cell[c.field]);
            memo[c.id] = mark | (passes ? 1 : 0);
        } else {
            passes = run_check(e, t, c);
        }
        if (!passes) return false;
    }
    return true;
}

bool AlphaRoutes::take(const FactStore& store, const RouteList::Offer& offer, bool bounds,
                       std::vector<uint32_t>& out) const {
    if (!offer.plain.empty()) out.insert(out.end(), offer.plain.begin(), offer.plain.end());
    if (offer.at_least.empty() && offer.at_most.empty()) return false;
    const size_t before = out.size();
    if (!bounds) {
        for (const auto& [bound, place] : offer.at_least) out.push_back(place);
        for (const auto& [bound, place] : offer.at_most) out.push_back(place);
        return true;
    }
    // A null cell fails every bound.
    const std::optional<uint64_t> word = field_word(store, FieldKind::I64, fact_, offer.bounded_field);
    if (!word) return false;
    const int64_t cell = static_cast<int64_t>(*word);
    for (const auto& [bound, place] : offer.at_least) {
        if (bound > cell) break;
        out.push_back(place);
    }
    for (const auto& [bound, place] : offer.at_most) {
        if (bound < cell) break;
        out.push_back(place);
    }
    return out.size() != before;
}

void AlphaRoutes::gather(const FactStore& store, const RouteList& list, bool bounds, std::vector<uint32_t>& out) const {
    out.clear();
    size_t looks = 0;
    bool unordered = false;
    for (const RouteList::LiteralIndex& ix : list.indexes) {
        uint32_t bucket;
        if (ix.kind == FieldKind::Str) {
            const std::optional<std::string_view> text = store.text(fact_, ix.field);
            if (!text) continue;
            auto it = ix.by_text.find(*text);
            if (it == ix.by_text.end()) continue;
            bucket = it->second;
        } else {
            const std::optional<uint64_t> word = field_word(store, ix.kind, fact_, ix.field);
            if (!word) continue;
            auto it = ix.by_word.find(*word);
            if (it == ix.by_word.end()) continue;
            bucket = it->second;
        }
        unordered |= take(store, ix.buckets[bucket], bounds, out);
        ++looks;
    }
    unordered |= take(store, list.unindexed, bounds, out);
    // Each offer's plain routes ascend; several offers, or bounded routes,
    // need a sort.
    if (unordered || (looks > 0 && !list.unindexed.plain.empty()) || looks > 1) std::sort(out.begin(), out.end());
}

inline Standing AlphaRoutes::standing(const Engine& e, TypeRoutes& t, const RouteList& list, uint32_t place,
                                      uint64_t unseen) {
    // The fact's membership follows its tests, run on the values the
    // network saw: tests that read none of the fields changed since then
    // give the answer they gave.
    if ((unseen & list.routes[place].reads) == 0) return Standing::Kept;
    return route_passes(e, t, list, place) ? Standing::Passes : Standing::Fails;
}

void AlphaRoutes::candidates(const Engine& e, Kind kind, std::vector<uint32_t>& out, std::vector<uint8_t>& passes,
                             uint64_t unseen) {
    out.clear();
    passes.clear();
    if (type_ >= types_.size()) return;
    TypeRoutes& t = types_[type_];
    const RouteList& list = kind == Kind::Lias ? t.lias : t.nodes;
    // No bounds: the fact may sit in a route whose bound its present cell fails.
    gather(e.store, list, false, out);
    passes.reserve(out.size());
    for (uint32_t place : out) passes.push_back(static_cast<uint8_t>(standing(e, t, list, place, unseen)));
}

bool AlphaRoutes::visit_all(const Engine& e, Kind kind, uint64_t unseen, std::vector<RouteVisit>& out) {
    if (type_ >= types_.size()) {
        out.clear();
        return true;
    }
    TypeRoutes& t = types_[type_];
    const RouteList& list = kind == Kind::Lias ? t.lias : t.nodes;
    if (!list.all_candidates()) return false;
    out.clear();
    for (uint32_t place : list.unindexed.plain) out.push_back({place, standing(e, t, list, place, unseen), false});
    return true;
}

void AlphaRoutes::passing(const Engine& e, Kind kind, std::vector<uint32_t>& out) {
    out.clear();
    if (type_ >= types_.size()) return;
    TypeRoutes& t = types_[type_];
    const RouteList& list = kind == Kind::Lias ? t.lias : t.nodes;
    if (list.indexes.empty() && list.unindexed.at_least.empty() && list.unindexed.at_most.empty()) {
        // Nothing to look up: every route is a candidate.
        for (uint32_t place : list.unindexed.plain)
            if (route_passes(e, t, list, place)) out.push_back(place);
        return;
    }
    gather(e.store, list, true, out);
    size_t kept = 0;
    for (uint32_t place : out)
        if (route_passes(e, t, list, place)) out[kept++] = place;
    out.resize(kept);
}

void AlphaRoutes::reachable(const Engine& e, Kind kind, std::vector<uint32_t>& out) {
    out.clear();
    if (type_ >= types_.size()) return;
    const TypeRoutes& t = types_[type_];
    gather(e.store, kind == Kind::Lias ? t.lias : t.nodes, false, out);
}

}  // namespace quarn
