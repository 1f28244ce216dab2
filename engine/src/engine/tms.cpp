// Truth maintenance: logical inserts justified by activations, stated copies of their contents, and the retraction of
// a logical fact when its last justification goes.
#include "engine/tms.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void Tms::verify(const FactStore& store) const {
    auto fail = [](const std::string& what) { invariant_broken("internal error: truth maintenance: " + what); };
    size_t facts = 0, live_entries = 0;
    for (uint32_t e = 0; e < entries.size(); ++e) {
        const Entry& en = entries[e];
        if (en.key.empty()) continue;  // free
        ++live_entries;
        auto k = by_key.find(en.key);
        if (k == by_key.end() || k->second != e) fail(fmt("entry {} is not found by its key", e));
        if (en.logical == kNoFact && en.stated.empty()) fail(fmt("entry {} has no fact", e));
        if (en.logical != kNoFact) {
            ++facts;
            auto p = key_of_fact.find(en.logical);
            if (p == key_of_fact.end() || p->second.entry != e || p->second.slot != kLogicalSlot)
                fail(fmt("logical fact {} is not placed in entry {}", en.logical, e));
            if (!store.is_alive(en.logical)) fail(fmt("logical fact {} is dead", en.logical));
            if (en.justifications.empty()) fail(fmt("logical fact {} has no justification", en.logical));
        }
        for (uint32_t i = 0; i < en.stated.size(); ++i) {
            ++facts;
            auto p = key_of_fact.find(en.stated[i]);
            if (p == key_of_fact.end() || p->second.entry != e || p->second.slot != i)
                fail(fmt("stated fact {} is not placed in entry {}", en.stated[i], e));
        }
        for (uint32_t i = 0; i < en.justifications.size(); ++i) {
            const uint32_t r = en.justifications[i];
            if (r >= records.size() || records[r].keys.empty()) fail(fmt("entry {} names a free record", e));
            const auto& keys = records[r].keys;
            if (std::none_of(keys.begin(), keys.end(), [&](const Justified& j) { return j.entry == e && j.slot == i; }))
                fail(fmt("record {} does not list entry {}", r, e));
        }
    }
    if (facts != key_of_fact.size()) fail("facts placed that no entry holds");
    if (live_entries != by_key.size() || live_entries + free_entries.size() != entries.size())
        fail("entries and keys disagree");
    size_t live = 0;
    for (uint32_t r = 0; r < records.size(); ++r) {
        const Record& rec = records[r];
        if (rec.keys.empty()) continue;  // free
        ++live;
        auto it = record_of.find(act_key(rec.rule, rec.tuple));
        if (it == record_of.end() || it->second != r) fail(fmt("record {} is not found by its activation", r));
        for (const Justified& j : rec.keys)
            if (j.entry >= entries.size() || j.slot >= entries[j.entry].justifications.size() ||
                entries[j.entry].justifications[j.slot] != r)
                fail(fmt("record {} names a justification its entry does not hold", r));
    }
    if (live != record_of.size() || live + free_records.size() != records.size())
        fail("records and activations disagree");
}

void Tms::read_debug() { debug = !logical_types.empty() && std::getenv("QUARN_TMS_DEBUG") != nullptr; }

// --- Contents, entries and records.

namespace {

void put(std::string& out, const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }

// A content's encoding: per field a tag byte and the payload. Equal contents
// encode alike and distinct ones differently: floats by their bit pattern (so
// 0.0 and -0.0 differ), decimals without trailing zeros of the unscaled
// integer (so 1.50 and 1.5 agree), texts with their length in front.
void put_value(std::string& out, const Value& v) {
    out.push_back(static_cast<char>(v.tag()));
    switch (v.tag()) {
        case ValueTag::I64: {
            const int64_t x = v.as_i64();
            put(out, &x, sizeof x);
            return;
        }
        case ValueTag::F64: {
            const uint64_t bits = std::bit_cast<uint64_t>(v.as_f64());
            put(out, &bits, sizeof bits);
            return;
        }
        case ValueTag::Str: {
            const std::string& s = v.as_str();
            const uint64_t n = s.size();
            put(out, &n, sizeof n);
            out += s;
            return;
        }
        case ValueTag::Bool: out.push_back(v.as_bool() ? 1 : 0); return;
        case ValueTag::Null: return;
        case ValueTag::Dec: {
            DecParts d = v.as_dec();
            while (d.s > 0 && d.u % 10 == 0) {
                d.u /= 10;
                --d.s;
            }
            put(out, &d.u, sizeof d.u);
            out.push_back(static_cast<char>(d.s));
            return;
        }
    }
    unreachable("value tag out of range");
}

std::string key_of_values(TypeId type, const std::vector<Value>& values) {
    std::string key;
    put(key, &type, sizeof type);
    for (const Value& v : values) put_value(key, v);
    return key;
}

std::string key_of_stored(const FactStore& store, FactId f) {
    const TypeId type = store.fact_type(f);
    std::string key;
    put(key, &type, sizeof type);
    const size_t fields = store.schema(type).fields.size();
    for (size_t i = 0; i < fields; ++i) put_value(key, store.get(f, i));
    return key;
}

uint32_t entry_for(Tms& tms, std::string key) {
    if (auto it = tms.by_key.find(key); it != tms.by_key.end()) return it->second;
    uint32_t e;
    if (!tms.free_entries.empty()) {
        e = tms.free_entries.back();
        tms.free_entries.pop_back();
    } else {
        if (tms.entries.size() >= Tms::kLogicalSlot) invariant_broken("internal error: too many logical contents");
        e = static_cast<uint32_t>(tms.entries.size());
        tms.entries.emplace_back();
    }
    tms.entries[e].key = key;
    tms.by_key.try_emplace(std::move(key), e);
    return e;
}

void remove_entry(Tms& tms, uint32_t e) {
    tms.by_key.erase(tms.entries[e].key);
    if (!tms.saved.empty()) tms.saved.erase(e);
    tms.entries[e] = Tms::Entry{};
    tms.free_entries.push_back(e);
}

void add_stated(Tms& tms, uint32_t e, FactId f) {
    std::vector<FactId>& stated = tms.entries[e].stated;
    tms.key_of_fact.insert_or_assign(f, Tms::FactPlace{e, static_cast<uint32_t>(stated.size())});
    stated.push_back(f);
}

// Takes stated copy f, at `place`, out of its entry; the last copy moves into its slot.
void remove_stated(Tms& tms, FactId f, Tms::FactPlace place) {
    std::vector<FactId>& stated = tms.entries[place.entry].stated;
    const FactId moved = stated.back();
    stated[place.slot] = moved;
    stated.pop_back();
    if (moved != f) tms.key_of_fact[moved].slot = place.slot;
    tms.key_of_fact.erase(f);
}

uint32_t record_for(Tms& tms, size_t rule, TupleId tuple) {
    auto [it, fresh] = tms.record_of.try_emplace(Tms::act_key(rule, tuple), 0);
    if (!fresh) return it->second;
    uint32_t r;
    if (!tms.free_records.empty()) {
        r = tms.free_records.back();
        tms.free_records.pop_back();
    } else {
        r = static_cast<uint32_t>(tms.records.size());
        tms.records.emplace_back();
    }
    it->second = r;
    Tms::Record& rec = tms.records[r];
    rec.rule = rule;
    rec.tuple = tuple;
    rec.order = tms.next_order++;
    return r;
}

void remove_record(Tms& tms, uint32_t r) {
    tms.record_of.erase(Tms::act_key(tms.records[r].rule, tms.records[r].tuple));
    tms.records[r] = Tms::Record{};
    tms.free_records.push_back(r);
}

// Record r justifies entry e from now on; once only.
void justify(Tms& tms, uint32_t r, uint32_t e) {
    Tms::Record& rec = tms.records[r];
    for (const Tms::Justified& j : rec.keys)
        if (j.entry == e) return;
    std::vector<uint32_t>& justs = tms.entries[e].justifications;
    rec.keys.push_back({e, static_cast<uint32_t>(justs.size())});
    justs.push_back(r);
}

// Takes record r's justification `j` out of its entry's list (the record's
// own list is the caller's); the last justification moves into its slot.
void unjustify(Tms& tms, uint32_t r, Tms::Justified j) {
    std::vector<uint32_t>& justs = tms.entries[j.entry].justifications;
    const uint32_t moved = justs.back();
    justs[j.slot] = moved;
    justs.pop_back();
    if (moved == r) return;
    for (Tms::Justified& k : tms.records[moved].keys)
        if (k.entry == j.entry) {
            k.slot = j.slot;
            return;
        }
    invariant_broken("internal error: a justification its record does not list");
}

// Forgets every justification of entry e: each record that held one forgets
// the entry, and a record left with none is removed (the others keep their order).
void drop_justifications(Tms& tms, uint32_t e) {
    for (uint32_t r : tms.entries[e].justifications) {
        std::vector<Tms::Justified>& keys = tms.records[r].keys;
        std::erase_if(keys, [&](const Tms::Justified& k) { return k.entry == e; });
        if (keys.empty()) remove_record(tms, r);
    }
    tms.entries[e].justifications.clear();
    if (!tms.saved.empty()) tms.saved.erase(e);
}

// After entry e lost a justification: with none left, its logical fact is
// forgotten (and joins `doomed`), and an entry with no stated copy goes.
void after_unjustified(Tms& tms, uint32_t e, std::vector<FactId>& doomed) {
    Tms::Entry& en = tms.entries[e];
    if (!en.justifications.empty()) return;
    if (!tms.saved.empty()) tms.saved.erase(e);
    if (en.logical != Tms::kNoFact) {
        doomed.push_back(en.logical);
        tms.key_of_fact.erase(en.logical);
        en.logical = Tms::kNoFact;
    }
    if (en.stated.empty()) remove_entry(tms, e);
}

// Removes the record of activation (rule, tuple) with all its justifications;
// the logical facts that lost their last one, in the record's order.
std::vector<FactId> detach_record(Tms& tms, size_t rule, TupleId tuple) {
    std::vector<FactId> doomed;
    auto it = tms.record_of.find(Tms::act_key(rule, tuple));
    if (it == tms.record_of.end()) return doomed;
    const uint32_t r = it->second;
    const std::vector<Tms::Justified> keys = std::move(tms.records[r].keys);
    tms.records[r].keys.clear();
    for (const Tms::Justified& j : keys) unjustify(tms, r, j);
    remove_record(tms, r);
    for (const Tms::Justified& j : keys) after_unjustified(tms, j.entry, doomed);
    return doomed;
}

std::string tuple_text(TupleView t) {
    std::string s = "[";
    for (size_t i = 0; i < t.size(); ++i) s += (i ? ", " : "") + std::to_string(t[i]);
    return s + "]";
}

}  // namespace

// --- The operations.

void Engine::tms_note_stated(FactId fact) {
    if (tms.logical_types.empty() || !tms.logical_types.contains(store.fact_type(fact))) return;
    add_stated(tms, entry_for(tms, key_of_stored(store, fact)), fact);
}

bool Engine::tms_justify_logical(TypeId type, const std::vector<Value>& values) {
    if (!tms.firing_act) invariant_broken("internal error: a logical insert outside a firing");
    std::string key = key_of_values(type, values);
    auto it = tms.by_key.find(key);
    if (it == tms.by_key.end() ||
        (tms.entries[it->second].logical == Tms::kNoFact && tms.entries[it->second].stated.empty())) {
        tms.pending_key = std::move(key);
        return true;
    }
    // An equal fact stands for the content already: a stated copy or the
    // logical fact another justification put there.
    const uint32_t e = it->second;
    const auto& [rule, tuple] = *tms.firing_act;
    justify(tms, record_for(tms, rule, tuple), e);
    tms.fired_entries.push_back(e);
    if (tms.entries[e].logical == Tms::kNoFact && !tms.saved.contains(e)) tms.saved.emplace(e, values);
    return false;
}

void Engine::tms_logical_stored(FactId fact) {
    const uint32_t e = entry_for(tms, std::move(tms.pending_key));
    tms.pending_key.clear();
    Tms::Entry& en = tms.entries[e];
    en.logical = fact;
    en.inserted = true;
    tms.key_of_fact.insert_or_assign(fact, Tms::FactPlace{e, Tms::kLogicalSlot});
    const auto& [rule, tuple] = *tms.firing_act;
    justify(tms, record_for(tms, rule, tuple), e);
    tms.fired_entries.push_back(e);
}

void Engine::tms_reinstated(FactId fact) {
    const uint32_t e = entry_for(tms, key_of_stored(store, fact));
    Tms::Entry& en = tms.entries[e];
    en.logical = fact;
    en.inserted = true;
    tms.key_of_fact.insert_or_assign(fact, Tms::FactPlace{e, Tms::kLogicalSlot});
}

TmsRoute Engine::tms_route_delete_ex(FactId fact, bool reinstate) {
    TmsRoute route{true, fact, std::nullopt};
    if (tms.key_of_fact.empty()) return route;
    auto it = tms.key_of_fact.find(fact);
    if (it == tms.key_of_fact.end()) return route;
    const Tms::FactPlace place = it->second;
    const uint32_t e = place.entry;
    if (place.slot == Tms::kLogicalSlot) {
        // The logical fact itself: its content loses every justification, so
        // no later loss of those activations deletes anything more.
        tms.key_of_fact.erase(it);
        tms.entries[e].logical = Tms::kNoFact;
        drop_justifications(tms, e);
        if (tms.entries[e].stated.empty()) remove_entry(tms, e);
        return route;
    }
    // A stated copy is deleted as asked. A logical fact of the same content
    // stays while its justifications hold, and so do the justifications while
    // other copies stand for the content.
    remove_stated(tms, fact, place);
    Tms::Entry& en = tms.entries[e];
    if (en.logical != Tms::kNoFact || !en.stated.empty()) return route;
    if (reinstate && !en.justifications.empty()) {
        if (auto s = tms.saved.find(e); s != tms.saved.end()) {
            route.saved = std::move(s->second);
            tms.saved.erase(s);
            return route;
        }
    }
    drop_justifications(tms, e);
    remove_entry(tms, e);
    return route;
}

std::vector<FactId> Engine::tms_drop_act_deps(size_t rule, TupleId tuple) {
    std::vector<FactId> deleted;
    for (FactId f : detach_record(tms, rule, tuple)) {
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
    if (tms.record_of.empty()) return;
    if (tms.solo_rules_seen != rules.size()) {
        // Only a rule without network nodes (one pattern) breaks here; a rule
        // with joins loses its justifications through its terminal.
        tms.solo_rules_by_type.assign(store.type_count(), {});
        for (size_t r = 0; r < rules.size(); ++r) {
            const CompiledRule& rule = rules[r];
            if (!nets[r].node_ids.empty() || rule.patterns.size() != 1 || !rule.patterns[0].position) continue;
            if (std::any_of(rule.actions.begin(), rule.actions.end(), [](const CompiledAction& a) {
                    return a.kind == CompiledAction::Kind::InsertLogical;
                }))
                tms.solo_rules_by_type[rule.patterns[0].type_id].push_back(r);
        }
        tms.solo_rules_seen = rules.size();
    }
    const TypeId type = store.fact_type(fact);
    if (type >= tms.solo_rules_by_type.size() || tms.solo_rules_by_type[type].empty()) return;
    const std::optional<TupleId> one = tuples.find_extension(TupleTable::empty_tuple, fact);
    if (!one) return;

    // The activations on [fact] that fact no longer supports: it is dead, or
    // it fails its pattern (an update that keeps it inside breaks nothing).
    // The firing activation keeps its justifications while its actions run.
    std::vector<std::pair<uint64_t, uint64_t>> picked;  // (order, act_key)
    const bool alive = store.is_alive(fact);
    for (size_t r : tms.solo_rules_by_type[type]) {
        auto it = tms.record_of.find(Tms::act_key(r, *one));
        if (it == tms.record_of.end()) continue;
        if (tms.firing_act && tms.firing_act->first == r && tms.firing_act->second == *one) continue;
        if (alive && alpha_passes_fields(r, 0, fact)) continue;
        picked.emplace_back(tms.records[it->second].order, it->first);
    }
    if (picked.empty()) return;
    std::sort(picked.begin(), picked.end());
    Tms::BreakFrame frame;
    frame.items.reserve(picked.size());
    for (const auto& p : picked) frame.items.push_back(p.second);
    tms.breaks.push_back(std::move(frame));
    if (tms.breaking) return;  // the loop below, further out, takes it next

    tms.breaking = true;
    struct Done {
        Tms& tms;
        ~Done() {
            tms.breaking = false;
            tms.breaks.clear();
        }
    } done{tms};
    while (!tms.breaks.empty()) {
        Tms::BreakFrame& top = tms.breaks.back();
        if (top.next == top.items.size()) {
            tms.breaks.pop_back();
            continue;
        }
        const uint64_t item = top.items[top.next++];
        const bool facts = top.facts;  // `top` does not outlive what follows
        if (facts) {
            const FactId f = static_cast<FactId>(item);
            if (!store.is_alive(f)) continue;
            store.remove(f);
            on_delete_ex(f, std::nullopt, false);
            continue;
        }
        const size_t r = static_cast<size_t>(item >> 32);
        const TupleId t{static_cast<uint32_t>(item)};
        const bool expiring = tms_tuple_expiring(t);
        if (tms.debug)
            std::fprintf(stderr, "%s\n",
                         fmt("TMS eager-break act r{} {} expiring={}", r, tuple_text(tuples.view(t)),
                             expiring ? "true" : "false")
                             .c_str());
        // An expiring fact's justifications go once every expired fact is deleted.
        if (expiring) {
            tms.defer(r, t);
            continue;
        }
        std::vector<FactId> doomed = detach_record(tms, r, t);
        if (doomed.empty()) continue;
        Tms::BreakFrame next;
        next.facts = true;
        next.items.assign(doomed.begin(), doomed.end());
        tms.breaks.push_back(std::move(next));
    }
}

void Engine::tms_on_terminal_del(size_t rule, TupleId tuple) {
    if (tms.logical_types.empty()) return;
    if (tms.debug)
        std::fprintf(stderr, "%s\n", fmt("TMS terminal-del r{} {}", rule, tuple_text(tuples.view(tuple))).c_str());
    if (tms_tuple_expiring(tuple)) {
        tms.defer(rule, tuple);
        return;
    }
    if (tms.is_deferred(rule, tuple)) return;
    if (tms.record_of.empty() || !tms.record_of.contains(Tms::act_key(rule, tuple))) return;
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
            JoinEnvImpl env(input_seq, store, cr, 0, true, tuples);
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
    if (!tms.firing_act) return;
    const auto [rule, tuple] = *tms.firing_act;
    tms.firing_act.reset();
    const std::vector<uint32_t> fired = std::exchange(tms.fired_entries, {});
    if (tms.record_of.empty()) return;
    auto it = tms.record_of.find(Tms::act_key(rule, tuple));
    if (it == tms.record_of.end()) return;

    // An activation that fires again (its tuple updated) justifies what this
    // firing inserted, no longer what an earlier firing did.
    const uint32_t r = it->second;
    std::vector<Tms::Justified>& keys = tms.records[r].keys;
    std::vector<Tms::Justified> stale;
    std::erase_if(keys, [&](const Tms::Justified& j) {
        if (std::find(fired.begin(), fired.end(), j.entry) != fired.end()) return false;
        stale.push_back(j);
        return true;
    });
    if (stale.empty()) return;
    for (const Tms::Justified& j : stale) unjustify(tms, r, j);
    if (tms.records[r].keys.empty()) remove_record(tms, r);
    std::vector<FactId> doomed;
    for (const Tms::Justified& j : stale) after_unjustified(tms, j.entry, doomed);

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
