// Truth maintenance: logical inserts justified by activations, stated copies of their contents, and the retraction of
// a logical fact when its last justification goes.
#include "engine/tms.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

// --- FirstChanges and the queues.

namespace {

// Up to this many first-pattern changes are walked; more are indexed.
constexpr size_t kFirstChangesScan = 16;

}  // namespace

void FirstChanges::note(const Staged<FactId>& input) {
    for (const auto& e : input.upd) entries_.emplace_back(e.item, e.stamp);
    for (const auto& e : input.del) entries_.emplace_back(e.item, e.stamp);
    indexed_ = false;
}

bool FirstChanges::stamped(FactId fact, uint64_t rule) const {
    if (entries_.size() <= kFirstChangesScan) {
        return std::any_of(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e.first == fact && e.second && *e.second == rule; });
    }
    if (!indexed_) {
        index_.clear();
        for (const auto& [f, stamp] : entries_)
            if (stamp) index_.insert({*stamp, f});
        indexed_ = true;
    }
    return index_.contains({rule, fact});
}

bool Tms::has_terminal_of(size_t rule, bool late_only) const {
    return std::any_of(terminal_queue.begin(), terminal_queue.end(),
                       [&](const TerminalDel& d) { return d.rule == rule && (d.late || !late_only); });
}

std::vector<Tms::TerminalDel> Tms::take_terminal_of(size_t rule, bool late_only) {
    std::vector<TerminalDel> mine;
    if (terminal_queue.empty()) return mine;
    std::erase_if(terminal_queue, [&](TerminalDel& d) {
        if (d.rule != rule || (late_only && !d.late)) return false;
        terminal_set.erase(act_key(d.rule, d.tuple));
        mine.push_back(d);
        return true;
    });
    return mine;
}

void Tms::queue_terminal(size_t rule, TupleId tuple, bool late) {
    if (terminal_set.insert(act_key(rule, tuple)).second) terminal_queue.push_back(TerminalDel{tuple, rule, late});
}

bool Tms::has_deferred_of(size_t rule) const {
    return std::any_of(deferred_queue.begin(), deferred_queue.end(), [&](const auto& d) { return d.first == rule; });
}

bool Tms::is_deferred(size_t rule, TupleId tuple) const {
    return !deferred_set.empty() && deferred_set.contains(act_key(rule, tuple));
}

std::vector<std::pair<size_t, TupleId>> Tms::take_deferred() {
    deferred_set.clear();
    return std::exchange(deferred_queue, {});
}

std::vector<std::pair<size_t, TupleId>> Tms::take_deferred_of(size_t rule) {
    std::vector<std::pair<size_t, TupleId>> mine;
    if (deferred_queue.empty()) return mine;
    std::erase_if(deferred_queue, [&](auto& d) {
        if (d.first != rule) return false;
        deferred_set.erase(act_key(d.first, d.second));
        mine.push_back(d);
        return true;
    });
    return mine;
}

void Tms::defer(size_t rule, TupleId tuple) {
    if (deferred_set.insert(act_key(rule, tuple)).second) deferred_queue.emplace_back(rule, tuple);
}

// --- The content index.

uint32_t ContentIndex::tag_of(uint64_t hash) {
    const uint32_t mixed = static_cast<uint32_t>(mix_for_table((hash & ~uint64_t{15}) ^ process_hash_key()) >> 32);
    return (mixed & ~15u) | static_cast<uint32_t>(hash & 15);
}

void ContentIndex::place(uint64_t slot) {
    size_t i = home(static_cast<uint32_t>(slot >> 32));
    while (slots_[i] != 0) i = (i + 1) & mask();
    slots_[i] = slot;
    ++stamp_;
}

void ContentIndex::rebuild() {
    const uint32_t bits = slots_.empty() ? 6 : 8 * (size_ + 1) > 3 * slots_.size() ? bits_ + 1 : bits_;
    if (bits > 32) invariant_broken("too many logical contents");
    bits_ = bits;
    slots_.assign(size_t{1} << bits_, 0);
    for (size_t w = 0; w < filed_.size(); ++w)
        for (uint64_t bits = filed_[w]; bits != 0; bits &= bits - 1) {
            const uint32_t e = static_cast<uint32_t>(64 * w + std::countr_zero(bits));
            place((uint64_t{tags_[e]} << 32) | (uint64_t{e} + 1));
        }
    used_ = size_;
    ++stamp_;
}

void ContentIndex::insert(uint32_t e, uint64_t hash, const Miss* miss) {
    if (e >= tags_.size()) {
        const size_t n = (std::max({size_t{e} + 1, 2 * tags_.size(), size_t{64}}) + 63) & ~size_t{63};
        tags_.resize(n);
        filed_.resize(n / 64);
    }
    if (filed(e)) invariant_broken("an entry filed twice");
    const bool grow = 2 * (used_ + 1) > slots_.size();
    if (grow) rebuild();
    const uint32_t tag = !grow && miss && miss->stamp == stamp_ ? miss->tag : tag_of(hash);
    tags_[e] = tag;
    filed_[e >> 6] |= uint64_t{1} << (e & 63);
    const uint64_t slot = (uint64_t{tag} << 32) | (uint64_t{e} + 1);
    if (!grow && miss && miss->stamp == stamp_) {
        slots_[miss->slot] = slot;
        ++stamp_;
    } else {
        place(slot);
    }
    ++size_;
    ++used_;
}

void ContentIndex::erase(uint32_t e, uint64_t hash) {
    if (e >= tags_.size() || !filed(e) || tags_[e] != tag_of(hash))
        invariant_broken("an entry its hash does not find");
    erase(e);
}

void ContentIndex::erase(uint32_t e) {
    if (e >= tags_.size() || !filed(e)) invariant_broken("an entry taken out that is not filed");
    filed_[e >> 6] &= ~(uint64_t{1} << (e & 63));
    --size_;
}

// --- Contents, entries and records.

namespace {

using Entry = Tms::Entry;
using Record = Tms::Record;
using Just = Tms::Just;
constexpr uint32_t kNone = Tms::kNone;

// A content's encoding: the type, then per field a tag byte and the payload.
// Equal contents encode alike and distinct ones differently: floats by their
// bit pattern (so 0.0 and -0.0 differ), decimals without trailing zeros of the
// unscaled integer (so 1.50 and 1.5 agree), texts with their length in front.
// The encoding is sized first and written in place, into a buffer the caller
// reuses.
size_t encoded_size(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64:
        case ValueTag::F64: return 1 + 8;
        case ValueTag::Str: return 1 + 8 + v.as_str().size();
        case ValueTag::Bool: return 1 + 1;
        case ValueTag::Null: return 1;
        case ValueTag::Dec: return 1 + sizeof(i128) + 1;
    }
    unreachable("value tag out of range");
}

char* put(char* out, const void* p, size_t n) {
    std::memcpy(out, p, n);
    return out + n;
}

char* put_value(char* out, const Value& v) {
    *out++ = static_cast<char>(v.tag());
    switch (v.tag()) {
        case ValueTag::I64: {
            const int64_t x = v.as_i64();
            return put(out, &x, sizeof x);
        }
        case ValueTag::F64: {
            const uint64_t bits = std::bit_cast<uint64_t>(v.as_f64());
            return put(out, &bits, sizeof bits);
        }
        case ValueTag::Str: {
            const std::string& s = v.as_str();
            const uint64_t n = s.size();
            out = put(out, &n, sizeof n);
            return put(out, s.data(), s.size());
        }
        case ValueTag::Bool: *out++ = v.as_bool() ? 1 : 0; return out;
        case ValueTag::Null: return out;
        case ValueTag::Dec: {
            DecParts d = v.as_dec();
            while (d.s > 0 && d.u % 10 == 0) {
                d.u /= 10;
                --d.s;
            }
            out = put(out, &d.u, sizeof d.u);
            *out++ = static_cast<char>(d.s);
            return out;
        }
    }
    unreachable("value tag out of range");
}

void encode_values(std::string& key, TypeId type, std::span<const Value> values) {
    size_t n = sizeof type;
    for (const Value& v : values) n += encoded_size(v);
    key.resize(n);
    char* out = put(key.data(), &type, sizeof type);
    for (const Value& v : values) out = put_value(out, v);
}

void encode_stored(std::string& key, const FactStore& store, FactId f) {
    const TypeId type = store.fact_type(f);
    const size_t fields = store.schema(type).fields.size();
    std::vector<Value> values;
    values.reserve(fields);
    for (size_t i = 0; i < fields; ++i) values.push_back(store.get(f, i));
    encode_values(key, type, values);
}

// Unkeyed: the index it goes into keys its own hashes. The low 4 bits of the
// key's eighth byte from the end (the low bits of a last integer field) are
// left out of the mixing and come out as the hash's low 4 bits, which the
// index reads as a slot within a block of 16: contents made in sequence, ids
// counting up or down, share a block and so the cache lines their lookups read.
uint64_t hash_of_key(std::string_view key) {
    constexpr uint64_t kSeed = 0x9e3779b97f4a7c15ULL;
    const char* p = key.data();
    const size_t n = key.size();
    // Whole words only, little end first (as memcpy gives them on the hosts
    // the project builds on); no call for a short copy.
    auto word = [&](size_t at) {
        uint64_t w;
        std::memcpy(&w, p + at, 8);
        return w;
    };
    if (n < 8) {
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        return mix64(n ^ w ^ kSeed) & ~uint64_t{15};
    }
    // The last 8 bytes apart, with those 4 bits taken out; before them the
    // head, in words (its last one overlapping the one before), or masked
    // out of the first word when shorter than one.
    const uint64_t last = word(n - 8);
    const size_t head = n - 8;
    uint64_t h = n;
    if (head < 8) {
        h = mix64(h ^ (word(0) & ((uint64_t{1} << (8 * head)) - 1)));
    } else {
        for (size_t i = 0; i + 8 < head; i += 8) h = mix64(h ^ word(i));
        h = mix64(h ^ word(head - 8));
    }
    return (mix64(h ^ (last & ~uint64_t{15}) ^ kSeed) & ~uint64_t{15}) | (last & 15);
}

uint32_t find_entry(const Tms& tms, std::string_view key, uint64_t hash, ContentIndex::Miss* miss = nullptr) {
    return tms.index.find(hash, [&](uint32_t e) { return tms.key_of(e) == key; }, miss);
}

// Packs the live entries' encodings together once the dead bytes outweigh them.
void pack_keys(Tms& tms) {
    if (tms.dead_key_bytes < 4096 || 2 * tms.dead_key_bytes < tms.key_bytes.size()) return;
    std::vector<char> packed;
    packed.reserve(tms.key_bytes.size() - tms.dead_key_bytes);
    for (uint32_t e = 0; e < tms.entries.size(); ++e) {
        Entry& en = tms.entries[e];
        if (en.key_len == 0) continue;
        const char* from = tms.key_bytes.data() + en.key_at;
        en.key_at = packed.size();
        packed.insert(packed.end(), from, from + en.key_len);
    }
    tms.key_bytes = std::move(packed);
    tms.dead_key_bytes = 0;
}

// A new entry for a content that has none; `miss` is where its lookup ended.
uint32_t new_entry(Tms& tms, std::string_view key, uint64_t hash, const ContentIndex::Miss* miss = nullptr) {
    if (key.empty() || key.size() >= kNone) invariant_broken("a content encoding out of range");
    uint32_t e;
    if (tms.free_entries != kNone) {
        e = tms.free_entries;
        tms.free_entries = tms.entries[e].first_just;
        tms.entries[e] = Entry{};
    } else {
        if (tms.entries.size() >= kNone) invariant_broken("too many logical contents");
        e = static_cast<uint32_t>(tms.entries.size());
        tms.entries.emplace_back();
    }
    pack_keys(tms);
    Entry& en = tms.entries[e];
    en.key_at = tms.key_bytes.size();
    en.key_len = static_cast<uint32_t>(key.size());
    tms.key_bytes.resize(tms.key_bytes.size() + key.size());
    std::memcpy(tms.key_bytes.data() + en.key_at, key.data(), key.size());
    tms.index.insert(e, hash, miss);
    return e;
}

uint32_t entry_for(Tms& tms, std::string_view key, uint64_t hash) {
    ContentIndex::Miss miss;
    if (const uint32_t e = find_entry(tms, key, hash, &miss); e != kNone) return e;
    return new_entry(tms, key, hash, &miss);
}

void remove_entry(Tms& tms, uint32_t e) {
    tms.index.erase(e);
    if (!tms.saved.empty()) tms.saved.erase(e);
    tms.dead_key_bytes += tms.entries[e].key_len;
    tms.entries[e] = Entry{};
    tms.entries[e].first_just = tms.free_entries;
    tms.free_entries = e;
}

Tms::FactPlace place_of(const Tms& tms, FactId f) {
    return f < tms.place_of_fact.size() ? tms.place_of_fact[f] : Tms::FactPlace{};
}

void set_place(Tms& tms, FactId f, Tms::FactPlace p) {
    if (f >= tms.place_of_fact.size()) tms.place_of_fact.resize(size_t{f} + 1);
    tms.place_of_fact[f] = p;
}

bool has_stated(const Entry& en) { return en.stated != kNone; }

void add_stated(Tms& tms, uint32_t e, FactId f) {
    Entry& en = tms.entries[e];
    if (en.stated == kNone) {
        if (!tms.free_stated.empty()) {
            en.stated = tms.free_stated.back();
            tms.free_stated.pop_back();
        } else {
            if (tms.stated_lists.size() >= kNone) invariant_broken("too many stated contents");
            en.stated = static_cast<uint32_t>(tms.stated_lists.size());
            tms.stated_lists.emplace_back();
        }
    }
    std::vector<FactId>& stated = tms.stated_lists[en.stated];
    set_place(tms, f, {e, static_cast<uint32_t>(stated.size())});
    stated.push_back(f);
}

// Takes stated copy f, at `place`, out of its entry; the last copy moves into
// its slot, and a list left empty is freed.
void remove_stated(Tms& tms, FactId f, Tms::FactPlace place) {
    Entry& en = tms.entries[place.entry];
    std::vector<FactId>& stated = tms.stated_lists[en.stated];
    const FactId moved = stated.back();
    stated[place.slot] = moved;
    stated.pop_back();
    if (moved != f) tms.place_of_fact[moved].slot = place.slot;
    tms.place_of_fact[f] = {};
    if (stated.empty()) {
        // A list that once held many copies gives its room back.
        if (stated.capacity() > 16) std::vector<FactId>().swap(stated);
        tms.free_stated.push_back(en.stated);
        en.stated = kNone;
    }
}

// The record of activation (rule, tuple), or kNone.
uint32_t find_record(const Engine& e, size_t rule, TupleId tuple) {
    const Tms& tms = e.tms;
    if (tms.live_records == 0) return kNone;
    if (rule < tms.solo_rule.size() && tms.solo_rule[rule]) {
        const FactId f = e.tuples.view(tuple)[0];
        for (uint32_t r = f < tms.solo_head.size() ? tms.solo_head[f] : kNone; r != kNone; r = tms.records[r].next_solo)
            if (tms.records[r].rule == rule) return r;
        return kNone;
    }
    auto it = tms.record_of.find(Tms::act_key(rule, tuple));
    return it == tms.record_of.end() ? kNone : it->second;
}

uint32_t record_for(Engine& e, size_t rule, TupleId tuple) {
    if (const uint32_t r = find_record(e, rule, tuple); r != kNone) return r;
    Tms& tms = e.tms;
    uint32_t r;
    if (tms.free_records != kNone) {
        r = tms.free_records;
        tms.free_records = tms.records[r].next_solo;
    } else {
        if (tms.records.size() >= kNone) invariant_broken("too many justifying activations");
        r = static_cast<uint32_t>(tms.records.size());
        tms.records.emplace_back();
    }
    Record& rec = tms.records[r];
    rec = Record{static_cast<uint32_t>(rule), tuple, tms.next_order++, kNone, kNone, kNone, true};
    if (tms.solo_rule[rule]) {
        const FactId f = e.tuples.view(tuple)[0];
        if (f >= tms.solo_head.size()) tms.solo_head.resize(size_t{f} + 1, kNone);
        rec.next_solo = tms.solo_head[f];
        tms.solo_head[f] = r;
    } else {
        tms.record_of.try_emplace(Tms::act_key(rule, tuple), r);
    }
    ++tms.live_records;
    if (tms.firing_act) tms.firing_record_fresh = true;
    return r;
}

void remove_record(Engine& e, uint32_t r) {
    Tms& tms = e.tms;
    const Record rec = tms.records[r];
    if (tms.solo_rule[rec.rule]) {
        uint32_t* link = &tms.solo_head[e.tuples.view(rec.tuple)[0]];
        while (*link != r) link = &tms.records[*link].next_solo;
        *link = rec.next_solo;
    } else {
        tms.record_of.erase(Tms::act_key(rec.rule, rec.tuple));
    }
    tms.records[r] = Record{};
    tms.records[r].next_solo = tms.free_records;
    tms.free_records = r;
    --tms.live_records;
}

void free_just(Tms& tms, uint32_t n) {
    tms.justs[n] = Just{};
    tms.justs[n].next_in_record = tms.free_justs;
    tms.free_justs = n;
}

// Takes node n off its entry's list.
void unlink_from_entry(Tms& tms, uint32_t n) {
    const Just j = tms.justs[n];
    Entry& en = tms.entries[j.entry];
    if (j.prev_in_entry == kNone) en.first_just = j.next_in_entry;
    else tms.justs[j.prev_in_entry].next_in_entry = j.next_in_entry;
    if (j.next_in_entry != kNone) tms.justs[j.next_in_entry].prev_in_entry = j.prev_in_entry;
}

// Record r justifies entry e from now on; once only.
void justify(Tms& tms, uint32_t r, uint32_t e) {
    Record& rec = tms.records[r];
    for (uint32_t n = rec.first; n != kNone; n = tms.justs[n].next_in_record)
        if (tms.justs[n].entry == e) return;
    uint32_t n;
    if (tms.free_justs != kNone) {
        n = tms.free_justs;
        tms.free_justs = tms.justs[n].next_in_record;
    } else {
        if (tms.justs.size() >= kNone) invariant_broken("too many justifications");
        n = static_cast<uint32_t>(tms.justs.size());
        tms.justs.emplace_back();
    }
    Entry& en = tms.entries[e];
    tms.justs[n] = Just{r, e, kNone, en.first_just, kNone};
    if (en.first_just != kNone) tms.justs[en.first_just].prev_in_entry = n;
    en.first_just = n;
    Record& owner = tms.records[r];
    if (owner.last == kNone) owner.first = n;
    else tms.justs[owner.last].next_in_record = n;
    owner.last = n;
}

// After entry e lost a justification: with none left, its logical fact is
// forgotten (and joins `doomed`), and an entry with no stated copy goes.
template <class Out>
void after_unjustified(Tms& tms, uint32_t e, Out& doomed) {
    Entry& en = tms.entries[e];
    if (en.first_just != kNone) return;
    if (!tms.saved.empty()) tms.saved.erase(e);
    if (en.logical != kNone) {
        doomed.push_back(en.logical);
        tms.place_of_fact[en.logical] = {};
        en.logical = kNone;
    }
    if (!has_stated(en)) remove_entry(tms, e);
}

// Forgets every justification of entry e: each record that held one forgets
// the entry, and a record left with none is removed (the others keep their order).
void drop_justifications(Engine& eng, uint32_t e) {
    Tms& tms = eng.tms;
    for (uint32_t n = tms.entries[e].first_just; n != kNone;) {
        const Just j = tms.justs[n];
        Record& rec = tms.records[j.record];
        uint32_t prev = kNone;
        for (uint32_t k = rec.first; k != n; k = tms.justs[k].next_in_record) prev = k;
        if (prev == kNone) rec.first = j.next_in_record;
        else tms.justs[prev].next_in_record = j.next_in_record;
        if (rec.last == n) rec.last = prev;
        free_just(tms, n);
        if (rec.first == kNone) remove_record(eng, j.record);
        n = j.next_in_entry;
    }
    tms.entries[e].first_just = kNone;
    if (!tms.saved.empty()) tms.saved.erase(e);
}

// Removes record r with all its justifications; the logical facts that lost
// their last one join `doomed`, in the record's order.
template <class Out>
void detach_record(Engine& eng, uint32_t r, Out& doomed) {
    Tms& tms = eng.tms;
    uint32_t n = tms.records[r].first;
    remove_record(eng, r);
    while (n != kNone) {
        const Just j = tms.justs[n];
        unlink_from_entry(tms, n);
        free_just(tms, n);
        after_unjustified(tms, j.entry, doomed);
        n = j.next_in_record;
    }
}

std::string tuple_text(TupleView t) {
    std::string s = "[";
    for (size_t i = 0; i < t.size(); ++i) s += (i ? ", " : "") + std::to_string(t[i]);
    return s + "]";
}

// Which rules have no network nodes: their tuple is their one fact.
void know_solo_rules(Engine& e) {
    Tms& tms = e.tms;
    for (size_t r = tms.solo_rule.size(); r < e.rules.size(); ++r) {
        const CompiledRule& rule = e.rules[r];
        tms.solo_rule.push_back(e.nets[r].node_ids.empty() && rule.patterns.size() == 1 && rule.patterns[0].position);
    }
}

}  // namespace

void Tms::verify(const FactStore& store) const {
    auto fail = [](const std::string& what) { invariant_broken("truth maintenance: " + what); };
    size_t facts = 0, live_entries = 0, nodes = 0, key_total = 0, lists = 0;
    for (uint32_t e = 0; e < entries.size(); ++e) {
        const Entry& en = entries[e];
        if (en.key_len == 0) continue;  // free
        ++live_entries;
        key_total += en.key_len;
        if (en.key_at > key_bytes.size() || en.key_len > key_bytes.size() - en.key_at ||
            find_entry(*this, key_of(e), hash_of_key(key_of(e))) != e)
            fail(fmt("entry {} is not found by its key", e));
        if (en.logical == kNone && !has_stated(en)) fail(fmt("entry {} has no fact", e));
        if (en.logical != kNone) {
            ++facts;
            const FactPlace p = place_of(*this, en.logical);
            if (p.entry != e || p.slot != kNone) fail(fmt("logical fact {} is not placed in entry {}", en.logical, e));
            if (!store.is_alive(en.logical)) fail(fmt("logical fact {} is dead", en.logical));
            if (en.first_just == kNone) fail(fmt("logical fact {} has no justification", en.logical));
        }
        if (has_stated(en)) {
            ++lists;
            if (en.stated >= stated_lists.size() || stated_lists[en.stated].empty())
                fail(fmt("entry {} has an empty list of stated copies", e));
            const std::vector<FactId>& stated = stated_lists[en.stated];
            for (uint32_t i = 0; i < stated.size(); ++i) {
                ++facts;
                const FactPlace p = place_of(*this, stated[i]);
                if (p.entry != e || p.slot != i) fail(fmt("stated fact {} is not placed in entry {}", stated[i], e));
            }
        }
        uint32_t count = 0;
        for (uint32_t n = en.first_just, prev = kNone; n != kNone; prev = n, n = justs[n].next_in_entry, ++count) {
            const Just& j = justs[n];
            if (j.entry != e || j.prev_in_entry != prev || j.record >= records.size() || !records[j.record].live)
                fail(fmt("entry {} lists a justification that is not its own", e));
            bool listed = false;
            for (uint32_t k = records[j.record].first; k != kNone && !listed; k = justs[k].next_in_record)
                listed = k == n;
            if (!listed) fail(fmt("record {} does not list its justification of entry {}", j.record, e));
        }
        nodes += count;
    }
    if (key_total + dead_key_bytes != key_bytes.size()) fail("content encodings and their bytes disagree");
    for (uint32_t l : free_stated)
        if (l >= stated_lists.size() || !stated_lists[l].empty()) fail(fmt("free list {} of stated copies in use", l));
    if (lists + free_stated.size() != stated_lists.size()) fail("lists of stated copies disagree");
    size_t placed = 0;
    for (const FactPlace& p : place_of_fact) placed += p.entry != kNone;
    if (facts != placed) fail("facts placed that no entry holds");
    // The free chains: each element on one is free, and they hold the rest.
    auto chain_length = [&](uint32_t head, size_t size, auto next, auto is_free, const char* what) {
        size_t n = 0;
        for (uint32_t i = head; i != kNone; i = next(i), ++n)
            if (i >= size || n >= size || !is_free(i)) fail(fmt("a chain of free {} through one in use", what));
        return n;
    };
    const size_t free_entry_count = chain_length(
        free_entries, entries.size(), [&](uint32_t e) { return entries[e].first_just; },
        [&](uint32_t e) { return entries[e].key_len == 0; }, "entries");
    const size_t free_record_count = chain_length(
        free_records, records.size(), [&](uint32_t r) { return records[r].next_solo; },
        [&](uint32_t r) { return !records[r].live; }, "records");
    const size_t free_just_count = chain_length(
        free_justs, justs.size(), [&](uint32_t n) { return justs[n].next_in_record; },
        [&](uint32_t n) { return justs[n].record == kNone; }, "justification nodes");
    if (live_entries + free_entry_count != entries.size() || index.size() != live_entries)
        fail("entries, free entries and the index disagree");
    size_t live = 0, solo = 0, listed_nodes = 0;
    for (uint32_t r = 0; r < records.size(); ++r) {
        const Record& rec = records[r];
        if (!rec.live) continue;
        ++live;
        if (rec.first == kNone) fail(fmt("record {} justifies nothing", r));
        uint32_t last = kNone;
        for (uint32_t n = rec.first; n != kNone; last = n, n = justs[n].next_in_record, ++listed_nodes)
            if (justs[n].record != r) fail(fmt("record {} lists another record's justification", r));
        if (last != rec.last) fail(fmt("record {} ends elsewhere", r));
        if (rec.rule < solo_rule.size() && solo_rule[rec.rule]) ++solo;
        else if (auto it = record_of.find(act_key(rec.rule, rec.tuple)); it == record_of.end() || it->second != r)
            fail(fmt("record {} is not found by its activation", r));
    }
    size_t chained = 0;
    for (uint32_t head : solo_head)
        for (uint32_t r = head; r != kNone; r = records[r].next_solo, ++chained)
            if (!records[r].live) fail(fmt("a free record {} on a fact's chain", r));
    if (live != live_records || live + free_record_count != records.size() || chained != solo ||
        live - solo != record_of.size())
        fail("records and activations disagree");
    if (nodes != listed_nodes || nodes + free_just_count != justs.size()) fail("justification nodes disagree");
}

// --- The operations.

void Engine::tms_note_stated(FactId fact) {
    if (logical_types.empty() || !logical_types.contains(store.fact_type(fact))) return;
    std::string key;
    encode_stored(key, store, fact);
    add_stated(tms, entry_for(tms, key, hash_of_key(key)), fact);
}

bool Engine::tms_justify_logical(TypeId type, const std::vector<Value>& values) {
    if (!tms.firing_act) invariant_broken("a logical insert outside a firing");
    know_solo_rules(*this);
    std::string& key = tms.pending_key;
    encode_values(key, type, values);
    const uint64_t hash = hash_of_key(key);
    const uint32_t e = find_entry(tms, key, hash, &tms.pending_miss);
    if (e == kNone || (tms.entries[e].logical == kNone && !has_stated(tms.entries[e]))) {
        tms.pending_hash = hash;
        tms.pending_entry = e;
        return true;
    }
    // An equal fact stands for the content already: a stated copy or the
    // logical fact another justification put there.
    const auto& [rule, tuple] = *tms.firing_act;
    justify(tms, record_for(*this, rule, tuple), e);
    tms.fired_entries.push_back(e);
    if (tms.entries[e].logical == kNone && !tms.saved.contains(e)) tms.saved.emplace(e, values);
    return false;
}

void Engine::tms_logical_stored(FactId fact) {
    // Storing the fact changed no content and no slot of the index since
    // tms_justify_logical looked for this one: the entry it found (with no
    // fact) still holds it, and without one then, it has none now and files
    // where that lookup ended.
    const uint32_t e = tms.pending_entry != kNone ? tms.pending_entry
                                                  : new_entry(tms, tms.pending_key, tms.pending_hash, &tms.pending_miss);
    tms.pending_entry = kNone;
    Entry& en = tms.entries[e];
    en.logical = fact;
    set_place(tms, fact, {e, kNone});
    const auto& [rule, tuple] = *tms.firing_act;
    justify(tms, record_for(*this, rule, tuple), e);
    tms.fired_entries.push_back(e);
}

void Engine::tms_reinstated(FactId fact) {
    std::string key;
    encode_stored(key, store, fact);
    const uint32_t e = entry_for(tms, key, hash_of_key(key));
    tms.entries[e].logical = fact;
    set_place(tms, fact, {e, kNone});
}

TmsRoute Engine::tms_route_delete_ex(FactId fact, bool reinstate) {
    TmsRoute route{true, fact, std::nullopt};
    const Tms::FactPlace place = place_of(tms, fact);
    if (place.entry == kNone) return route;
    const uint32_t e = place.entry;
    if (place.slot == kNone) {
        // The logical fact itself: its content loses every justification, so
        // no later loss of those activations deletes anything more.
        tms.place_of_fact[fact] = {};
        tms.entries[e].logical = kNone;
        drop_justifications(*this, e);
        if (!has_stated(tms.entries[e])) remove_entry(tms, e);
        return route;
    }
    // A stated copy is deleted as asked. A logical fact of the same content
    // stays while its justifications hold, and so do the justifications while
    // other copies stand for the content.
    remove_stated(tms, fact, place);
    Entry& en = tms.entries[e];
    if (en.logical != kNone || has_stated(en)) return route;
    if (reinstate && en.first_just != kNone) {
        if (auto s = tms.saved.find(e); s != tms.saved.end()) {
            route.saved = std::move(s->second);
            tms.saved.erase(s);
            return route;
        }
    }
    drop_justifications(*this, e);
    remove_entry(tms, e);
    return route;
}

std::vector<FactId> Engine::tms_drop_act_deps(size_t rule, TupleId tuple) {
    std::vector<FactId> doomed, deleted;
    const uint32_t r = find_record(*this, rule, tuple);
    if (r == kNone) return deleted;
    detach_record(*this, r, doomed);
    for (FactId f : doomed) {
        if (!store.is_alive(f)) continue;
        store.remove(f);  // also leaves the expired set
        on_delete_ex(f, std::nullopt, false);
        deleted.push_back(f);
    }
    return deleted;
}

bool Engine::tms_tuple_expiring(TupleId tuple) const {
    if (tms.expiring_ids.empty()) return false;
    const TupleView facts = tuples.view(tuple);
    return std::any_of(facts.begin(), facts.end(), [&](FactId f) { return tms.expiring_ids.contains(f); });
}

void Engine::tms_eager_break(FactId fact) {
    // Only an activation of a rule without network nodes breaks here (its
    // records hang on its fact); a rule with joins loses its justifications
    // through its terminal.
    if (tms.live_records == 0 || fact >= tms.solo_head.size() || tms.solo_head[fact] == kNone) return;

    // The activations on [fact] that fact no longer supports: it is dead, or
    // it fails its pattern (an update that keeps it inside breaks nothing).
    // The firing activation keeps its justifications while its actions run.
    const bool alive = store.is_alive(fact);
    const uint32_t begin = static_cast<uint32_t>(tms.break_items.size());
    for (uint32_t r = tms.solo_head[fact]; r != kNone; r = tms.records[r].next_solo) {
        const Record& rec = tms.records[r];
        if (tms.firing_act && tms.firing_act->first == rec.rule && tms.firing_act->second == rec.tuple) continue;
        if (alive && alpha_passes_fields(rec.rule, 0, fact)) continue;
        tms.break_items.push_back(r);
    }
    const uint32_t end = static_cast<uint32_t>(tms.break_items.size());
    if (begin == end) return;
    // In the order the activations first justified something; as activations.
    auto items = tms.break_items.begin();
    if (end - begin > 1)
        std::sort(items + begin, items + end,
                  [&](uint64_t a, uint64_t b) { return tms.records[a].order < tms.records[b].order; });
    for (uint32_t i = begin; i < end; ++i) {
        const Record& rec = tms.records[tms.break_items[i]];
        tms.break_items[i] = Tms::act_key(rec.rule, rec.tuple);
    }
    tms.breaks.push_back({begin, end, begin, false});
    if (tms.breaking) return;  // the loop below, further out, takes it next

    tms.breaking = true;
    struct Done {
        Tms& tms;
        ~Done() {
            tms.breaking = false;
            tms.breaks.clear();
            tms.break_items.clear();
        }
    } done{tms};
    while (!tms.breaks.empty()) {
        Tms::BreakFrame& top = tms.breaks.back();
        if (top.next == top.end) {
            tms.break_items.resize(top.begin);
            tms.breaks.pop_back();
            continue;
        }
        const uint64_t item = tms.break_items[top.next++];
        if (top.facts) {  // `top` does not outlive what follows
            const FactId f = static_cast<FactId>(item);
            if (!store.is_alive(f)) continue;
            store.remove(f);
            on_delete_ex(f, std::nullopt, false);
            continue;
        }
        const size_t r = static_cast<size_t>(item >> 32);
        const TupleId t{static_cast<uint32_t>(item)};
        const bool expiring = tms_tuple_expiring(t);
        if (switches.tms_debug())
            std::fprintf(stderr, "%s\n",
                         fmt("TMS eager-break act r{} {} expiring={}", r, tuple_text(tuples.view(t)),
                             expiring ? "true" : "false")
                             .c_str());
        // An expiring fact's justifications go once every expired fact is deleted.
        if (expiring) {
            tms.defer(r, t);
            continue;
        }
        const uint32_t rec = find_record(*this, r, t);
        if (rec == kNone) continue;
        const uint32_t facts_begin = static_cast<uint32_t>(tms.break_items.size());
        detach_record(*this, rec, tms.break_items);
        const uint32_t facts_end = static_cast<uint32_t>(tms.break_items.size());
        if (facts_begin != facts_end) tms.breaks.push_back({facts_begin, facts_end, facts_begin, true});
    }
}

void Engine::tms_on_terminal_del(size_t rule, TupleId tuple) {
    if (logical_types.empty()) return;
    if (switches.tms_debug())
        std::fprintf(stderr, "%s\n", fmt("TMS terminal-del r{} {}", rule, tuple_text(tuples.view(tuple))).c_str());
    if (tms_tuple_expiring(tuple)) {
        tms.defer(rule, tuple);
        return;
    }
    if (tms.is_deferred(rule, tuple)) return;
    know_solo_rules(*this);
    if (find_record(*this, rule, tuple) == kNone) return;
    if (tms.forced_eval) {
        // The forcing evaluation goes on; the agenda hands this over later.
        const TupleView facts = tuples.view(tuple);
        const bool late = std::any_of(facts.begin(), facts.end(),
                                      [&](FactId f) { return tms.first_changes.stamped(f, rule); });
        tms.queue_terminal(rule, tuple, late);
        return;
    }
    const std::vector<FactId> deleted = tms_drop_act_deps(rule, tuple);

    // A deleted fact that the rule's own not pattern held against this tuple
    // would let the tuple come straight back and insert it again: the tuple,
    // and every tuple the fact blocked there, waits for an update instead.
    const CompiledRule& cr = rules[rule];
    const TupleView view = tuples.view(tuple);
    for (FactId f : deleted) {
        const TypeId type = store.fact_type(f);
        auto held_by = [&](size_t j) {
            const CompiledPattern& p = cr.patterns[j];
            return j >= 1 && p.ce == CeKind::Not && p.type_id == type && p.role.kind != SubRole::Kind::Member;
        };
        for (size_t j = 1; j < cr.patterns.size(); ++j) {
            if (!held_by(j) || !alpha_passes_fields(rule, j, f)) continue;
            JoinEnvImpl env(input_seq, store, cr, 0, true, tuples, switches);
            if (!env.allowed(j - 1, view, f)) continue;
            tms.parked.insert(Tms::act_key(rule, tuple));
            for (size_t k = 1; k < cr.patterns.size(); ++k) {
                if (!held_by(k) || k - 1 >= nets[rule].node_ids.size()) continue;
                for (TupleId t : nodes[nets[rule].node_ids[k - 1]].node.blocked_by(f))
                    tms.parked.insert(Tms::act_key(rule, t));
            }
            break;
        }
    }
}

void Engine::tms_unpark_upd(size_t rule, TupleId tuple) {
    if (!tms.parked.empty()) tms.parked.erase(Tms::act_key(rule, tuple));
}

void Engine::tms_parked_del(size_t rule, TupleId tuple) {
    if (!tms.is_parked(rule, tuple)) return;
    // The parked tuple stays while its facts are all still there and inside
    // their patterns: its delete was the parking itself, not the tuple leaving.
    const CompiledRule& cr = rules[rule];
    const TupleView facts = tuples.view(tuple);
    bool stays = std::all_of(facts.begin(), facts.end(), [&](FactId f) { return store.is_alive(f); });
    for (size_t j = 0; stays && j < cr.patterns.size(); ++j) {
        const CompiledPattern& p = cr.patterns[j];
        if (!p.position || p.role.kind == SubRole::Kind::Member) continue;
        stays = *p.position < facts.size() && alpha_passes_fields(rule, j, facts[*p.position]);
    }
    if (!stays) tms.parked.erase(Tms::act_key(rule, tuple));
}

void Engine::tms_after_firing() {
    // A record the firing made holds only what the firing justified.
    if (!tms.firing_act || tms.live_records == 0 || tms.firing_record_fresh) return;
    const auto [rule, tuple] = *tms.firing_act;
    know_solo_rules(*this);
    const uint32_t r = find_record(*this, rule, tuple);
    if (r == kNone) return;

    // An activation that fires again (its tuple updated) justifies what this
    // firing inserted, no longer what an earlier firing did.
    const std::vector<uint32_t>& fired = tms.fired_entries;
    std::vector<uint32_t> stale;
    uint32_t prev = kNone;
    for (uint32_t n = tms.records[r].first; n != kNone;) {
        const Just j = tms.justs[n];
        if (std::find(fired.begin(), fired.end(), j.entry) != fired.end()) {
            prev = n;
            n = j.next_in_record;
            continue;
        }
        Record& rec = tms.records[r];
        if (prev == kNone) rec.first = j.next_in_record;
        else tms.justs[prev].next_in_record = j.next_in_record;
        if (rec.last == n) rec.last = prev;
        unlink_from_entry(tms, n);
        free_just(tms, n);
        stale.push_back(j.entry);
        n = j.next_in_record;
    }
    if (stale.empty()) return;
    if (tms.records[r].first == kNone) remove_record(*this, r);
    std::vector<FactId> doomed;
    for (uint32_t e : stale) after_unjustified(tms, e, doomed);

    tms_retracting = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{tms_retracting};
    for (FactId f : doomed) {
        if (!store.is_alive(f)) continue;
        store.remove(f);
        on_delete_ex(f, rule, false);
    }
}

}  // namespace quarn
