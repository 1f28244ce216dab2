// The firings of one fire, kept in words and rendered when read (firing.h).
#include <bit>
#include <cstring>
#include <stdexcept>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

constexpr uint64_t kViewBit = uint64_t{1} << 63;
constexpr unsigned kChunkShift = 40;  // starts_: chunk << 40 | word
constexpr size_t kFirstChunkWords = 64;
constexpr size_t kLargestChunkWords = size_t{1} << 16;  // 512 KiB

}  // namespace

void Firings::begin_firing(size_t rule, size_t facts) {
    if (!names_ || rule >= names_->rules.size() || facts > UINT32_MAX)
        invariant_broken("a firing kept without the names it shows");
    pending_.clear();
    pending_.push_back((uint64_t{static_cast<uint32_t>(rule)} << 32) | facts);
}

void Firings::add_fact(FactId fact, const FactStore& store) {
    const TypeId type = store.fact_type(fact);
    if (type >= names_->types.size() || type >= (uint32_t{1} << 31))
        invariant_broken("a fired fact of a type its firings do not name");
    const Names::Type& t = names_->types[type];
    pending_.push_back((uint64_t{type} << 32) | fact);
    if (!t.in_words) {
        pending_.push_back(values_.size());
        for (size_t i = 0; i < t.fields.size(); ++i) values_.push_back(store.get(fact, i));
        return;
    }
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const Value v = store.get(fact, i);
        switch (v.tag()) {
            case ValueTag::I64: pending_.push_back(static_cast<uint64_t>(v.as_i64())); break;
            case ValueTag::F64: pending_.push_back(std::bit_cast<uint64_t>(v.as_f64())); break;
            case ValueTag::Bool: pending_.push_back(v.as_bool() ? 1 : 0); break;
            default: invariant_broken(fmt("a cell of {}.{} that is no word", t.name, t.fields[i].first));
        }
    }
}

void Firings::add_view(FactView view) {
    pending_.push_back(kViewBit | views_.size());
    views_.push_back(std::move(view));
}

void Firings::end_firing() {
    const size_t n = pending_.size();
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < n) {
        // Chunks double up to the largest size: a fire of a few firings holds
        // a few words, a fire of millions grows without copying what it holds.
        const size_t grown = chunks_.empty() ? kFirstChunkWords
                                             : std::min(2 * chunks_.back().capacity(), kLargestChunkWords);
        if (chunks_.size() >= (size_t{1} << (64 - kChunkShift))) invariant_broken("too many firings kept");
        chunks_.emplace_back().reserve(std::max(grown, n));
    }
    std::vector<uint64_t>& chunk = chunks_.back();
    starts_.push_back(((chunks_.size() - 1) << kChunkShift) | chunk.size());
    chunk.insert(chunk.end(), pending_.begin(), pending_.end());
}

FactView Firings::fact_at(const uint64_t*& w) const {
    const uint64_t head = *w++;
    if (head & kViewBit) return views_[head & ~kViewBit];
    const Names::Type& t = names_->types[head >> 32];
    FactView view{t.name, {}, std::nullopt, static_cast<FactId>(head)};
    view.fields.reserve(t.fields.size());
    if (!t.in_words) {
        const size_t first = *w++;
        for (size_t i = 0; i < t.fields.size(); ++i) view.fields.emplace_back(t.fields[i].first, values_[first + i]);
        return view;
    }
    for (const auto& [name, kind] : t.fields) {
        const uint64_t cell = *w++;
        switch (kind) {
            case FieldKind::I64: view.fields.emplace_back(name, Value::i64(static_cast<int64_t>(cell))); break;
            case FieldKind::F64: view.fields.emplace_back(name, Value::f64(std::bit_cast<double>(cell))); break;
            case FieldKind::Bool: view.fields.emplace_back(name, Value::boolean(cell != 0)); break;
            default: invariant_broken(fmt("a cell of {}.{} kept as a word", t.name, name));
        }
    }
    return view;
}

Firing Firings::operator[](size_t i) const {
    const uint64_t start = starts_[i];
    const uint64_t* w = chunks_[start >> kChunkShift].data() + (start & ((uint64_t{1} << kChunkShift) - 1));
    const uint64_t head = *w++;
    Firing f{names_->rules[head >> 32], {}};
    const size_t facts = static_cast<uint32_t>(head);
    f.facts.reserve(facts);
    for (size_t p = 0; p < facts; ++p) f.facts.push_back(fact_at(w));
    return f;
}

Firing Firings::at(size_t i) const {
    if (i >= size()) throw std::out_of_range(fmt("firing {} of {}", i, size()));
    return (*this)[i];
}

// --- Keeping a fire's firings.

std::shared_ptr<const Firings::Names> Engine::names_for_firings() {
    // Rules and types are only ever appended, and a load that fails takes
    // back exactly what it added: names made for as many of each still hold.
    const bool current = firing_names && firing_names->rules.size() == rules.size() &&
                         firing_names->types.size() == store.type_count();
    if (current) return firing_names;
    auto names = std::make_shared<Firings::Names>();
    names->rules.reserve(rules.size());
    for (const CompiledRule& r : rules) names->rules.push_back(r.def.name);
    names->types.reserve(store.type_count());
    for (TypeId t = 0; t < store.type_count(); ++t) {
        const TypeSchema& s = store.schema(t);
        Firings::Names::Type& type = names->types.emplace_back();
        type.name = s.name;
        type.in_words = s.nullable == 0;
        for (const auto& [field, ft] : s.fields) {
            type.fields.emplace_back(field, ft.kind);
            type.in_words = type.in_words && (ft.kind == FieldKind::I64 || ft.kind == FieldKind::F64 || ft.kind == FieldKind::Bool);
        }
    }
    firing_names = std::move(names);
    return firing_names;
}

void Engine::keep_firing(Firings& out, size_t rule, TupleView facts) const {
    // Only collection results and query rows show otherwise than the store renders them.
    const bool plain = qrow_types.empty() && acc.collect_members.empty() && acc.collect_values.empty();
    out.record(rule, facts, store, [&](size_t p, FactId f) -> std::optional<FactView> {
        if (plain) return std::nullopt;
        if (is_query_row(f) || acc.collect_members.contains(f) || acc.collect_values.contains(f))
            return render_fired_at(rule, p, f);
        return std::nullopt;
    });
}

}  // namespace quarn
