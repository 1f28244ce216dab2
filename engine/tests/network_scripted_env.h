// A JoinEnv scripted by tables, for network tests: which pairs are allowed,
// which keys tuples and facts carry, the switches it reports, and a log of
// every test the network asked for and every trace line it wrote; and a rig
// that evaluates one node through it. Tests write tuples out as their facts
// (testing::Tuple); the env interns them in its table and converts batches
// both ways, keeping every list's order.
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
#include "network/trace_form.h"

namespace quarn::testing {

// Tables write a staged entry's flag by its name: {tuple, stamp, Insert}.
using enum StagedFlag;

// A tuple written out as its facts.
using Tuple = std::vector<FactId>;
using Pair = std::pair<Tuple, FactId>;
using TE = StagedEntry<Tuple>;
using RE = StagedEntry<FactId>;
using TEs = std::vector<TE>;
using Tuples = std::vector<Tuple>;
using Facts = std::vector<FactId>;
using Pairs = std::vector<Pair>;

class ScriptedEnv : public JoinEnv {
public:
    // Join test; every pair passes unless scripted otherwise.
    std::function<bool(const Tuple&, FactId)> allow = [](const Tuple&, FactId) { return true; };
    // Not/exists test; falls back to `allow` when empty.
    std::function<bool(const Tuple&, FactId)> allow_ce;
    std::function<Key(const Tuple&)> left_key = [](const Tuple&) { return Key{}; };
    std::function<Key(FactId)> right_key = [](FactId) { return Key{}; };
    std::map<Tuple, int64_t> fire_times;  // not_fire_time; absent: none
    bool update_optimization = true;
    uint64_t mark_value = 0;
    bool expired_joins = true;  // join_expired
    std::set<FactId> expired;
    std::map<std::string, std::string> vars;  // the process environment as seen by the network

    mutable std::vector<Pair> tested;        // every allowed / allowed_ce call, in call order
    mutable std::vector<std::string> lines;  // trace lines

    void allow_only(std::set<Pair> pairs) {
        allow = [pairs = std::move(pairs)](const Tuple& t, FactId f) { return pairs.count({t, f}) > 0; };
    }
    // Facts carry one value each (changeable between batches through
    // `values`); a tuple's key is the value of its first fact, a fact's key its
    // own value. Facts without a value have no key.
    void key_on_values(std::map<FactId, Value> v) {
        values = std::make_shared<std::map<FactId, Value>>(std::move(v));
        auto of = [m = values](FactId f) -> Key {
            auto it = m->find(f);
            if (it == m->end()) return std::nullopt;
            return std::vector<Value>{it->second};
        };
        left_key = [of](const Tuple& t) { return of(t[0]); };
        right_key = of;
    }
    std::shared_ptr<std::map<FactId, Value>> values;

    bool allowed_ce(size_t, TupleView v, FactId f) const override {
        Tuple t(v.begin(), v.end());
        tested.emplace_back(t, f);
        return allow_ce ? allow_ce(t, f) : allow(t, f);
    }
    void key_of_left(size_t, TupleView v, Key& key) const override { key = left_key(Tuple(v.begin(), v.end())); }
    void key_of_right(size_t, FactId f, Key& key) const override { key = right_key(f); }
    // With int_words, keys of one integer are handed over as words too.
    bool int_words = false;
    bool int_keys(size_t) const override { return int_words; }
    bool int_key_of_left(size_t, TupleView v, int64_t& n) const override {
        return int_words && one_int(left_key(Tuple(v.begin(), v.end())), n);
    }
    bool int_key_of_right(size_t, FactId f, int64_t& n) const override {
        return int_words && one_int(right_key(f), n);
    }
    static bool one_int(const Key& k, int64_t& n) {
        if (!k.present() || k.size() != 1 || k[0].tag != ValueTag::I64) return false;
        n = k[0].as_i64();
        return true;
    }
    // key_decides, as the env reports it.
    bool keys_decide = false;
    bool key_decides(size_t) const override { return keys_decide; }
    std::optional<int64_t> not_fire_time(size_t, TupleView v) const override {
        auto it = fire_times.find(Tuple(v.begin(), v.end()));
        if (it == fire_times.end()) return std::nullopt;
        return it->second;
    }
    bool left_update_optimization(size_t) const override { return update_optimization; }
    bool allowed(size_t, TupleView v, FactId f) const override {
        Tuple t(v.begin(), v.end());
        tested.emplace_back(t, f);
        return allow(t, f);
    }
    TupleTable& tuples() const override { return shared_table != nullptr ? *shared_table : table; }
    uint64_t mark() const override { return mark_value; }
    bool join_expired() const override { return expired_joins; }
    bool is_expired(FactId f) const override { return expired.count(f) > 0; }
    std::optional<std::string> env_var(const char* name) const override {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    }
    void trace(std::string_view line) const override { lines.emplace_back(line); }

    mutable TupleTable table;
    TupleTable* shared_table = nullptr;  // another env's table, when set

    // Conversions between written-out tuples and interned ones.
    TupleId id(const Tuple& t) const { return tuples().intern(t); }
    Tuple facts(TupleId t) const {
        TupleView v = tuples().view(t);
        return Tuple(v.begin(), v.end());
    }
    Tuples facts(const std::vector<TupleId>& ts) const {
        Tuples out;
        for (TupleId t : ts) out.push_back(facts(t));
        return out;
    }
    template <class From, class To, class Map>
    static EntryList<To> map_list(const EntryList<From>& l, Map map) {
        EntryList<To> out;
        for (const auto& e : l.oldest_first()) out.push_front({map(e.item), e.stamp, e.flag});
        return out;
    }
    template <class From, class To, class Map>
    static Staged<To> map_staged(const Staged<From>& s, Map map) {
        Staged<To> out;
        out.ins = map_list<From, To>(s.ins, map);
        out.upd = map_list<From, To>(s.upd, map);
        out.del = map_list<From, To>(s.del, map);
        out.cancelled = map_list<From, To>(s.cancelled, map);
        for (const From& t : s.reinserted) out.reinserted.push_back(map(t));
        for (const auto& [t, at] : s.placeholders) out.placeholders.emplace_back(map(t), at);
        out.placeholders_on = s.placeholders_on;
        return out;
    }
    Staged<TupleId> ids(const Staged<Tuple>& s) const {
        return map_staged<Tuple, TupleId>(s, [this](const Tuple& t) { return id(t); });
    }
    Staged<Tuple> facts(const Staged<TupleId>& s) const {
        return map_staged<TupleId, Tuple>(s, [this](TupleId t) { return facts(t); });
    }
    std::vector<StagedEntry<TupleId>> ids(const std::vector<TE>& es) const {
        std::vector<StagedEntry<TupleId>> out;
        for (const TE& e : es) out.push_back({id(e.item), e.stamp, e.flag});
        return out;
    }
};

// Batch builders: entries are listed oldest first, as they were staged.
template <class T>
Staged<T> batch(std::vector<std::vector<StagedEntry<T>>> lists) {
    Staged<T> s;
    EntryList<T>* to[] = {&s.ins, &s.upd, &s.del};
    for (size_t k = 0; k < lists.size(); ++k) {
        for (auto& e : lists[k]) to[k]->push_front(e);
    }
    return s;
}
inline Staged<Tuple> lb(std::vector<TE> ins, std::vector<TE> upd = {}, std::vector<TE> del = {}) {
    return batch<Tuple>({ins, upd, del});
}
inline Staged<FactId> rb(std::vector<RE> ins, std::vector<RE> upd = {}, std::vector<RE> del = {}) {
    return batch<FactId>({ins, upd, del});
}

// Items and entries of a staged list, front (newest) first.
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
// Entries oldest first: the order in which they were staged.
template <class T>
std::vector<StagedEntry<T>> staged_order(const EntryList<T>& l) {
    return std::vector<StagedEntry<T>>(l.oldest_first().begin(), l.oldest_first().end());
}

// One node evaluated through a ScriptedEnv. For not/exists nodes the
// not/exists test passes exactly `pairs` (changeable between batches).
struct Rig {
    ScriptedEnv env;
    Node node;
    Staged<Tuple> pending;  // the child's unconsumed batch
    std::set<Pair> pairs;

    explicit Rig(Kind kind = Kind::Join, IndexSpec index_op = IndexSpec::none(), bool temporal = false)
        : node(Node::new_ex(index_op, kind, temporal)) {
        if (kind != Kind::Join) env.allow_ce = [this](const Tuple& t, FactId f) { return pairs.count({t, f}) > 0; };
    }
    Rig(const Rig&) = delete;

    Staged<Tuple> run(Staged<Tuple> sl = {}, Staged<FactId> sr = {}) {
        Staged<TupleId> held = env.ids(pending);
        Out out(held);
        env.tested.clear();
        do_node(env, 0, node, env.ids(sl), std::move(sr), out);
        node.verify();
        pending = env.facts(held);
        return env.facts(out.trg);
    }
    // Evaluates the deltas held at the node.
    Staged<Tuple> run_held() {
        Staged<TupleId> held = node.take_staged_left();
        return run(env.facts(held), node.take_staged_right());
    }
    // Facts, then tuples, stored in this memory order (one batch each), with
    // no test passing meanwhile.
    void store(std::vector<FactId> rights, std::vector<Tuple> lefts = {}) {
        auto keep = env.allow;
        auto keep_pairs = std::exchange(pairs, {});
        env.allow = [](const Tuple&, FactId) { return false; };
        for (FactId f : rights) run({}, rb({{f, 0, Insert}}));
        for (const Tuple& t : lefts) run(lb({{t, 0, Insert}}));
        env.allow = keep;
        pairs = keep_pairs;
    }
    TupleId id(const Tuple& t) const { return env.id(t); }
    // The node's state, tuples written out.
    Tuples lefts() const { return env.facts(node.left_memory().items()); }
    Facts rights() const { return node.right_memory().items(); }
    Staged<Tuple> held_lefts() const { return env.facts(node.staged_left()); }
    void hold_lefts(const Staged<Tuple>& s) { node.put_back_staged_left(env.ids(s)); }
    void push_left(const Tuple& t, Key key = {}) { node.store_left(id(t), std::move(key)); }
    std::optional<FactId> blocker(const Tuple& t) const { return node.blocker_of(id(t)); }
    Tuples blocked_by(FactId f) const { return env.facts(node.blocked_by(f)); }
    Tuples alive_children() const { return env.facts(node.alive_children()); }
    Tuples alive(const std::vector<size_t>& positions) const {
        Tuples out;
        for (size_t p : positions) out.push_back(env.facts(node.child(p).tuple));
        return out;
    }
    std::vector<uint64_t> seqs(const Tuples& ts) const {
        std::vector<uint64_t> out;
        for (const Tuple& t : ts) out.push_back(node.left_seq(id(t)));
        return out;
    }
    std::optional<uint64_t> mark(const Tuple& t) const { return node.left_mark(id(t)); }
    Tuples alive_of_left(const Tuple& t) const { return alive(node.children_of_left(id(t))); }
    Tuples alive_by_right(FactId f) const { return alive(node.children_of_right(f)); }
    void peer_merge(const Staged<Tuple>& peer) { node.peer_merge_left(env.ids(peer)); }
};

}  // namespace quarn::testing

namespace quarn {
// Readable failure messages for staged entries.
inline void PrintTo(const StagedEntry<std::vector<FactId>>& e, std::ostream* os) {
    *os << "(" << debug(TupleView(e.item)) << ", " << (e.stamp ? std::to_string(*e.stamp) : "None") << ", "
        << static_cast<unsigned>(e.flag) << ")";
}
inline void PrintTo(const StagedEntry<FactId>& e, std::ostream* os) { *os << debug(e); }
}  // namespace quarn
