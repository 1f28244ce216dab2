// A JoinEnv scripted by tables, for network tests: which pairs are allowed,
// which keys tuples and facts carry, the switches it reports, and a log of
// every test the network asked for and every trace line it wrote.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "network/network.h"

namespace quarn::testing {

class ScriptedEnv : public JoinEnv {
public:
    using Pair = std::pair<Tuple, FactId>;

    // Join test; every pair passes unless scripted otherwise.
    std::function<bool(const Tuple&, FactId)> allow = [](const Tuple&, FactId) { return true; };
    // Not/exists test; falls back to `allow` when empty.
    std::function<bool(const Tuple&, FactId)> allow_ce;
    // Keys; none by default.
    std::function<Key(const Tuple&)> left_key = [](const Tuple&) { return Key{}; };
    std::function<Key(FactId)> right_key = [](FactId) { return Key{}; };
    std::map<Tuple, int64_t> fire_times;  // not_fire_time; absent: none
    bool update_optimization = true;
    uint64_t mark_value = 0;
    bool expired_joins = true;  // join_expired
    std::set<FactId> expired;
    std::map<std::string, std::string> vars;  // the process environment as seen by the network

    mutable std::vector<Pair> tested;  // every allowed / allowed_ce call, in call order
    mutable std::vector<std::string> lines;  // trace lines

    // Only the listed pairs pass.
    void allow_only(std::set<Pair> pairs) {
        allow = [pairs = std::move(pairs)](const Tuple& t, FactId f) { return pairs.count({t, f}) > 0; };
    }
    // Facts carry one value each; a tuple's key is the value of its fact at
    // `pos`, a fact's key its own value. Facts without a value have no key.
    void key_on_values(std::map<FactId, Value> values, size_t pos) {
        auto shared = std::make_shared<std::map<FactId, Value>>(std::move(values));
        key_values = shared;
        left_key = [shared, pos](const Tuple& t) -> Key {
            if (pos >= t.size()) return std::nullopt;
            auto it = shared->find(t[pos]);
            if (it == shared->end()) return std::nullopt;
            return std::vector<Value>{it->second};
        };
        right_key = [shared](FactId f) -> Key {
            auto it = shared->find(f);
            if (it == shared->end()) return std::nullopt;
            return std::vector<Value>{it->second};
        };
    }
    // The values given to key_on_values; tests may change them between batches.
    std::shared_ptr<std::map<FactId, Value>> key_values;

    bool allowed_ce(size_t, const Tuple& t, FactId f) const override {
        tested.emplace_back(t, f);
        return allow_ce ? allow_ce(t, f) : allow(t, f);
    }
    Key key_of_left(size_t, const Tuple& t) const override { return left_key(t); }
    Key key_of_right(size_t, FactId f) const override { return right_key(f); }
    std::optional<int64_t> not_fire_time(size_t, const Tuple& t) const override {
        auto it = fire_times.find(t);
        if (it == fire_times.end()) return std::nullopt;
        return it->second;
    }
    bool left_update_optimization(size_t) const override { return update_optimization; }
    bool allowed(size_t, const Tuple& t, FactId f) const override {
        tested.emplace_back(t, f);
        return allow(t, f);
    }
    uint64_t mark() const override { return mark_value; }
    bool join_expired() const override { return expired_joins; }
    bool is_expired(FactId f) const override { return expired.count(f) > 0; }
    std::optional<std::string> env_var(const char* name) const override {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    }
    void trace(std::string_view line) const override { lines.emplace_back(line); }
};

// Batch builders: entries are listed oldest first, as they were staged.
inline Staged<FactId> right_batch(std::vector<StagedEntry<FactId>> ins, std::vector<StagedEntry<FactId>> upd = {},
                                  std::vector<StagedEntry<FactId>> del = {}) {
    Staged<FactId> s;
    for (auto& e : ins) s.ins.push_front(e);
    for (auto& e : upd) s.upd.push_front(e);
    for (auto& e : del) s.del.push_front(e);
    return s;
}

inline Staged<Tuple> left_batch(std::vector<StagedEntry<Tuple>> ins, std::vector<StagedEntry<Tuple>> upd = {},
                                 std::vector<StagedEntry<Tuple>> del = {}) {
    Staged<Tuple> s;
    for (auto& e : ins) s.ins.push_front(e);
    for (auto& e : upd) s.upd.push_front(e);
    for (auto& e : del) s.del.push_front(e);
    return s;
}

// Items of a staged list, front (newest) first.
template <class T>
std::vector<T> items_of(const EntryList<T>& l) {
    std::vector<T> out;
    for (const auto& e : l) out.push_back(e.item);
    return out;
}

template <class T>
std::vector<StagedEntry<T>> entries_of(const EntryList<T>& l) {
    return std::vector<StagedEntry<T>>(l.begin(), l.end());
}

}  // namespace quarn::testing

namespace quarn {
// Readable failure messages for staged entries.
inline void PrintTo(const StagedEntry<Tuple>& e, std::ostream* os) { *os << debug(e); }
inline void PrintTo(const StagedEntry<FactId>& e, std::ostream* os) { *os << debug(e); }
}  // namespace quarn
