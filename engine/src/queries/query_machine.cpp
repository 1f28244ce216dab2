// The query machine: answers one `?query` element by walking query branches
// backwards over the fact store.
//
// All control lives in explicit data: a work stack of branch walks and, per
// call site, the list of caller environments that have received answers. A
// recursion therefore costs no native stack, a shared step counter bounds the
// whole evaluation, and a shared byte count bounds what it holds at once.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <memory>
#include <utility>

#include "queries/queries.h"
#include "common/internal_error.h"
#include "common/text.h"
#include "common/utf8.h"

namespace quarn {

namespace {

constexpr uint64_t kStepLimit = 1'000'000;
// Environments multiply: one pattern visit can make an environment per
// candidate fact before the step count is looked at again, and every level of
// a recursion keeps its caller's slots and its waiting work. Steps alone
// therefore bound neither time nor memory, and a short query over a handful of
// facts could take every byte of the process. Whatever the machine holds that
// grows with the walk is charged at its estimated size, and a run that would
// hold more than this stops with the step-limit error. The estimate leaves out
// allocator headers and the spare capacity of growing vectors, which at most
// double it: one run stays within about 256 MB.
constexpr size_t kLiveBytesLimit = size_t{128} << 20;
constexpr size_t kIndexBuckets = 128;
constexpr size_t kIndexMaxKeys = 96;

const char* const kStepLimitMessage = "query evaluation step limit exceeded (cyclic recursion data? D-055)";

// A slot's content: a value, or the fact a pattern's fact binding matched.
struct EnvVal {
    Value value;  // meaningful unless is_fact
    FactId fact = 0;
    bool is_fact = false;

    static EnvVal of(Value v) { return {std::move(v), 0, false}; }
    static EnvVal of_fact(FactId f) { return {Value(), f, true}; }
    const Value* as_value() const { return is_fact ? nullptr : &value; }
};
using Slots = std::vector<std::optional<EnvVal>>;

// The bytes a run holds, as charged by its holders.
struct LiveBytes {
    size_t total = 0;
};

// A holder's share of its run's LiveBytes, given back when the holder dies. A
// copy is charged again; a move hands the share over.
class Charge {
public:
    Charge() = default;
    Charge(LiveBytes* live, size_t bytes) : live_(live), bytes_(bytes) { live_->total += bytes_; }
    Charge(const Charge& other) : live_(other.live_), bytes_(other.bytes_) {
        if (live_) live_->total += bytes_;
    }
    Charge(Charge&& other) noexcept : live_(std::exchange(other.live_, nullptr)), bytes_(other.bytes_) {}
    Charge& operator=(Charge other) noexcept {
        std::swap(live_, other.live_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~Charge() {
        if (live_) live_->total -= bytes_;
    }

private:
    LiveBytes* live_ = nullptr;
    size_t bytes_ = 0;
};

// What a value holds outside itself.
size_t heap_bytes(const Value& v) { return v.tag() == ValueTag::Str ? v.as_str().size() : 0; }

size_t slots_bytes(const Slots& slots) {
    size_t n = slots.size() * sizeof(std::optional<EnvVal>);
    for (const std::optional<EnvVal>& s : slots) {
        if (s && !s->is_fact) n += heap_bytes(s->value);
    }
    return n;
}

struct NestedRoot;

// Where an environment's answers go: an argument row of the site, or back to
// the caller environment a call was made from.
struct EnvParent {
    uint32_t row = 0;                    // meaningful when nested is null
    std::shared_ptr<NestedRoot> nested;  // the caller, for callee environments
};

// One caller environment at one call site, shared by every callee environment
// made from it.
struct NestedRoot {
    EnvParent parent;
    Slots slots;
    QuerySite site;
    Charge charge;

    NestedRoot(EnvParent p, Slots s, QuerySite at, LiveBytes& live)
        : parent(std::move(p)), slots(std::move(s)), site(at), charge(&live, footprint(slots)) {}
    NestedRoot(const NestedRoot&) = delete;
    NestedRoot& operator=(const NestedRoot&) = delete;
    // A deep recursion leaves a long chain of roots; release it iteratively so
    // that dropping it costs no stack.
    ~NestedRoot() {
        std::shared_ptr<NestedRoot> next = std::move(parent.nested);
        while (next && next.use_count() == 1) next = std::move(next->parent.nested);
    }

    // With the reference counts make_shared puts beside it.
    static size_t footprint(const Slots& s) { return sizeof(NestedRoot) + 16 + slots_bytes(s); }
};

struct Env {
    EnvParent parent;
    Slots slots;
    Charge charge;  // footprint(slots)

    static size_t footprint(const Slots& s) { return sizeof(Env) + slots_bytes(s); }
};

struct Work {
    std::vector<Env> envs;
    uint32_t query;
    uint32_t branch;
    std::optional<uint32_t> resume_after;  // Resume: the call element; Enter: none
    Charge charge;                         // sizeof(Work)
};

// Equality of key values: same variant and payload, floats by bit pattern.
bool key_value_equal(const Value& a, const Value& b) {
    if (a.tag() != b.tag()) return false;
    if (a.tag() == ValueTag::F64) return std::bit_cast<uint64_t>(a.as_f64()) == std::bit_cast<uint64_t>(b.as_f64());
    return a == b;
}

bool key_equal(const std::vector<Value>& a, const std::vector<Value>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!key_value_equal(a[i], b[i])) return false;
    }
    return true;
}

uint32_t fold64(uint64_t x) { return static_cast<uint32_t>(x) ^ static_cast<uint32_t>(x >> 32); }

uint32_t string_hash(const std::string& s) {
    uint32_t h = 0;
    for (size_t i = 0; i < s.size();) {
        Decoded d = decode_utf8(s, i);
        i += d.len;
        char32_t c = d.ok ? d.cp : U'\uFFFD';
        if (c >= 0x10000) {
            char32_t v = c - 0x10000;
            h = 31 * h + static_cast<uint32_t>(0xD800 + (v >> 10));
            h = 31 * h + static_cast<uint32_t>(0xDC00 + (v & 0x3FF));
        } else {
            h = 31 * h + static_cast<uint32_t>(c);
        }
    }
    return h;
}

// An index over one pattern element's candidates: a fixed table of buckets,
// each a chain of keys, newest key first. Never resized.
class KeyIndex {
public:
    struct Entry {
        std::vector<Value> key;
        std::vector<FactId> facts;  // candidate order
        uint32_t hash;
        int32_t next;  // the entry behind this one in its bucket, or -1
    };

    // Fails when the candidates hold more distinct keys than the table allows.
    static Result<KeyIndex, std::string> build(const FactStore& store, const CNode& node,
                                               const std::vector<FactId>& candidates) {
        KeyIndex index;
        for (FactId f : candidates) {
            std::vector<Value> key;
            for (uint32_t k : node.key) key.push_back(store.get(f, node.unify[k].field));
            uint32_t hash = key_hash(node.seed, key);
            Entry* entry = index.find(hash, key);
            if (!entry) {
                if (index.entries_.size() == kIndexMaxKeys)
                    return err(std::string("query index exceeds 96 distinct keys (hash-table resize is out of subset, D-051)"));
                int32_t& head = index.heads_[hash & (kIndexBuckets - 1)];
                index.entries_.push_back(Entry{std::move(key), {}, hash, head});
                head = static_cast<int32_t>(index.entries_.size() - 1);
                entry = &index.entries_.back();
            }
            entry->facts.push_back(f);
        }
        return index;
    }

    Entry* find(uint32_t hash, const std::vector<Value>& key) {
        for (int32_t e = heads_[hash & (kIndexBuckets - 1)]; e >= 0; e = entries_[e].next) {
            if (entries_[e].hash == hash && key_equal(entries_[e].key, key)) return &entries_[e];
        }
        return nullptr;
    }

    // Every fact: buckets in order, entries in bucket order, facts in entry order.
    std::vector<FactId> flattened() const {
        std::vector<FactId> out;
        for (int32_t head : heads_) {
            for (int32_t e = head; e >= 0; e = entries_[e].next) {
                out.insert(out.end(), entries_[e].facts.begin(), entries_[e].facts.end());
            }
        }
        return out;
    }

private:
    KeyIndex() { heads_.fill(-1); }

    std::array<int32_t, kIndexBuckets> heads_;
    std::vector<Entry> entries_;  // at most kIndexMaxKeys, in order of first appearance
};

// `w` compared with the fact's value `v` for one unify item. An integer field
// meets a float by the float's truncation for equality, as joins do.
bool unify_test(const Value& v, CmpOp op, const Value& w) {
    if (op == CmpOp::Eq && w.tag() == ValueTag::F64 && v.tag() == ValueTag::I64) {
        double t = std::trunc(w.as_f64());
        if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return false;
        return static_cast<int64_t>(t) == v.as_i64();
    }
    return eval_cmp(v, op, w);
}

// A pattern element's candidates as drained at its first visit, with their
// index when the element has a key and, for a key taken from a parameter, the
// index flattened.
struct SiteFacts {
    std::vector<FactId> candidates;
    std::optional<KeyIndex> index;
    std::vector<FactId> flat;
};

class Machine {
public:
    Machine(const FactStore& store, const std::vector<CompiledQuery>& queries, QueryCache& cache)
        : store_(store), queries_(queries), cache_(cache) {}

    // Seeds the walk of every branch of q for every argument row; the last
    // branch ends up on top of the stack and so is walked first.
    Status start(uint32_t q, const std::vector<QueryArgs>& rows) {
        const CompiledQuery& query = queries_[q];
        std::vector<Env> entering;
        entering.reserve(rows.size());
        for (uint32_t r = 0; r < rows.size(); ++r) {
            Slots slots(query.slot_count);
            for (size_t j = 0; j < rows[r].size() && j < slots.size(); ++j) {
                if (rows[r][j]) slots[j] = EnvVal::of(*rows[r][j]);
            }
            entering.push_back(make_env(EnvParent{r, nullptr}, std::move(slots)));
            QUARN_CHECK(within_bounds());
        }
        return push_entries(q, std::move(entering));
    }

    Status drain() {
        while (!stack_.empty()) {
            Work w = std::move(stack_.back());
            stack_.pop_back();
            Status s;
            if (!w.resume_after) {
                s = walk(w.query, w.branch, 0, std::move(w.envs));
            } else {
                uint32_t at = *w.resume_after;
                std::vector<Env> envs = std::move(w.envs);
                std::vector<Env> answers = take_answers({w.query, w.branch, at});
                std::move(answers.begin(), answers.end(), std::back_inserter(envs));
                s = walk(w.query, w.branch, at + 1, std::move(envs));
            }
            if (!s) return s;
        }
        return {};
    }

    // Newest first; the machine is spent afterwards.
    std::vector<QueryRow> take_rows() {
        std::reverse(rows_.begin(), rows_.end());
        return std::move(rows_);
    }

private:
    Status step() {
        if (++steps_ > kStepLimit) return err(std::string(kStepLimitMessage));
        return {};
    }

    Status within_bounds() const {
        if (live_.total > kLiveBytesLimit) return err(std::string(kStepLimitMessage));
        return {};
    }

    Env make_env(EnvParent parent, Slots slots) {
        const size_t bytes = Env::footprint(slots);
        return Env{std::move(parent), std::move(slots), Charge(&live_, bytes)};
    }

    void push_work(std::vector<Env> envs, uint32_t q, uint32_t b, std::optional<uint32_t> resume_after) {
        stack_.push_back(Work{std::move(envs), q, b, resume_after, Charge(&live_, sizeof(Work))});
    }

    // Every environment enters every branch of q. Each branch's list is built
    // by putting each environment in front, so it holds them in reverse order;
    // the lists are pushed as soon as they are built, so no list of waiting
    // environments outlives this call.
    Status push_entries(uint32_t q, std::vector<Env> envs) {
        const size_t branches = queries_[q].branches.size();
        std::reverse(envs.begin(), envs.end());
        for (uint32_t b = 0; b < branches; ++b) {
            if (b + 1 == branches) {
                push_work(std::move(envs), q, b, std::nullopt);
                break;
            }
            std::vector<Env> copy;
            copy.reserve(envs.size());
            for (const Env& env : envs) {
                copy.push_back(env);
                QUARN_CHECK(within_bounds());
            }
            push_work(std::move(copy), q, b, std::nullopt);
        }
        return {};
    }

    // Answer lists are stored oldest first; the machine hands them out newest first.
    std::vector<Env> take_answers(const QuerySite& site) {
        auto it = answers_.find(site);
        if (it == answers_.end()) return {};
        std::vector<Env> out(std::make_move_iterator(it->second.rbegin()), std::make_move_iterator(it->second.rend()));
        answers_.erase(it);
        return out;
    }

    Status walk(uint32_t q, uint32_t b, uint32_t i, std::vector<Env> envs) {
        const std::vector<CNode>& branch = queries_[q].branches[b];
        for (; i < branch.size(); ++i) {
            if (Status s = step(); !s) return s;
            const CNode& node = branch[i];
            if (node.is_call()) {
                // With nothing to send, answers parked here stay for a later resume.
                if (envs.empty()) return {};
                return call(q, b, i, node, std::move(envs));
            }
            QUARN_TRY(envs, match_pattern({q, b, i}, node, envs));
        }
        return finish(q, envs);
    }

    // The caller environments are used up: their slots move into the roots.
    Status call(uint32_t q, uint32_t b, uint32_t i, const CNode& node, std::vector<Env> envs) {
        QuerySite site{q, b, i};
        push_work(take_answers(site), q, b, i);
        const CompiledQuery& callee = queries_[node.callee];
        std::vector<Env> entering;
        entering.reserve(envs.size());
        for (Env& env : envs) {
            Slots slots(callee.slot_count);
            for (size_t k = 0; k < node.args.size() && k < slots.size(); ++k) {
                const CArg& arg = node.args[k];
                if (arg.kind == CArg::Kind::Lit) {
                    slots[k] = EnvVal::of(arg.lit);
                } else if (arg.slot < env.slots.size() && env.slots[arg.slot]) {
                    slots[k] = env.slots[arg.slot];
                }
            }
            auto root = std::make_shared<NestedRoot>(std::move(env.parent), std::move(env.slots), site, live_);
            entering.push_back(make_env(EnvParent{0, std::move(root)}, std::move(slots)));
            QUARN_CHECK(within_bounds());
        }
        envs = {};
        return push_entries(node.callee, std::move(entering));
    }

    Result<std::vector<Env>, std::string> match_pattern(const QuerySite& site, const CNode& node,
                                                        const std::vector<Env>& envs) {
        QUARN_TRY(SiteFacts * facts, facts_of(site, node));
        const std::vector<FactId>& candidates = facts->candidates;
        std::vector<Env> out;
        for (const Env& env : envs) {
            QUARN_CHECK(step());
            const std::vector<FactId>* seen = &candidates;
            if (facts->index) {
                seen = node.key_from_param ? &facts->flat : keyed_candidates(*facts->index, node, env, candidates);
            }
            for (FactId f : *seen) {
                if (unify(node, env, f, out)) QUARN_CHECK(within_bounds());
            }
        }
        return out;
    }

    // The store does not change while the machine runs, so a site's second
    // drain would keep every cached fact and add none, and its index would come
    // out the same: both are made at the first visit and reused, and a deep
    // recursion neither rescans the store nor reindexes at every level.
    Result<SiteFacts*, std::string> facts_of(const QuerySite& site, const CNode& node) {
        if (auto it = sites_.find(site); it != sites_.end()) return &it->second;
        SiteFacts facts;
        facts.candidates = drain_pattern(cache_, store_, site, node);
        if (!node.key.empty()) {
            QUARN_TRY(facts.index, KeyIndex::build(store_, node, facts.candidates));
            if (node.key_from_param) facts.flat = facts.index->flattened();
        }
        return &sites_.emplace(site, std::move(facts)).first->second;
    }

    // The facts an environment sees through the index. An environment whose key
    // slot is not bound to a value (a variable a callee left unbound) cannot be
    // looked up: it sees every candidate, and unification binds the slot.
    const std::vector<FactId>* keyed_candidates(KeyIndex& index, const CNode& node, const Env& env,
                                                const std::vector<FactId>& candidates) {
        std::vector<Value> key;
        for (uint32_t k : node.key) {
            const std::optional<EnvVal>& slot = env.slots[node.unify[k].slot];
            if (!slot || slot->is_fact) return &candidates;
            key.push_back(slot->value);
        }
        KeyIndex::Entry* entry = index.find(key_hash(node.seed, key), key);
        return entry ? &entry->facts : &no_facts_;
    }

    // Whether the fact answered: it adds one environment to `out`.
    bool unify(const CNode& node, const Env& env, FactId f, std::vector<Env>& out) {
        std::vector<std::pair<uint32_t, Value>> pending;
        for (const UnifyItem& item : node.unify) {
            Value v = store_.get(f, item.field);
            const std::optional<EnvVal>& slot = env.slots[item.slot];
            if (slot) {
                // A slot holding a fact never equals a field value.
                const Value* w = slot->as_value();
                if (!w || !unify_test(v, item.op, *w)) return false;
                continue;
            }
            // A slot this fact has just bound is tested like a bound one, so a
            // fact answers only when it satisfies every test of the element.
            auto bound = std::find_if(pending.begin(), pending.end(), [&](const auto& p) { return p.first == item.slot; });
            if (bound == pending.end()) {
                pending.emplace_back(item.slot, std::move(v));
            } else if (!unify_test(v, item.op, bound->second)) {
                return false;
            }
        }
        Slots slots = env.slots;
        for (auto& [slot, v] : pending) slots[slot] = EnvVal::of(std::move(v));
        if (node.fact_slot) slots[*node.fact_slot] = EnvVal::of_fact(f);
        for (const auto& [slot, field] : node.field_binds) slots[slot] = EnvVal::of(store_.get(f, field));
        out.push_back(make_env(env.parent, std::move(slots)));
        return true;
    }

    // Environments past the last element answer their caller or their row.
    Status finish(uint32_t q, const std::vector<Env>& envs) {
        const CompiledQuery& query = queries_[q];
        for (const Env& env : envs) {
            if (Status s = step(); !s) return s;
            if (env.parent.nested) {
                const NestedRoot& root = *env.parent.nested;
                const CNode& call = queries_[root.site.query].branches[root.site.branch][root.site.element];
                if (!call.is_call()) unreachable("query answer returns to a pattern element");
                Slots slots = root.slots;
                std::vector<uint32_t> handled;
                for (size_t k = 0; k < call.args.size(); ++k) {
                    const CArg& arg = call.args[k];
                    if (arg.kind != CArg::Kind::Var || slots[arg.slot]) continue;
                    if (std::find(handled.begin(), handled.end(), arg.slot) != handled.end()) continue;
                    handled.push_back(arg.slot);
                    if (k < env.slots.size() && env.slots[k]) slots[arg.slot] = env.slots[k];
                }
                answers_[root.site].push_back(make_env(root.parent, std::move(slots)));
                QUARN_CHECK(within_bounds());
                continue;
            }
            QueryRow row{env.parent.row, {}};
            for (size_t p = 0; p < query.params.size(); ++p) {
                const std::optional<EnvVal>& slot = env.slots[p];
                const Value* v = slot ? slot->as_value() : nullptr;
                if (!v) return err(std::string("?query CE row left a param position unbound (D-057)"));
                row.values.push_back(*v);
                live_.total += sizeof(Value) + heap_bytes(*v);
            }
            // Rows are kept to the end of the run: their bytes are never given back.
            live_.total += sizeof(QueryRow);
            rows_.push_back(std::move(row));
            QUARN_CHECK(within_bounds());
        }
        return {};
    }

    const FactStore& store_;
    const std::vector<CompiledQuery>& queries_;
    QueryCache& cache_;
    // Declared before every holder of a Charge, so it outlives them all.
    LiveBytes live_;
    std::vector<Work> stack_;  // taken from the end
    // Per call site, the caller environments that received answers; oldest first.
    HashMap<QuerySite, std::vector<Env>> answers_;
    HashMap<QuerySite, SiteFacts> sites_;  // per pattern element visited
    std::vector<QueryRow> rows_;  // oldest first
    uint64_t steps_ = 0;
    const std::vector<FactId> no_facts_;
};

}  // namespace

uint32_t key_hash(uint32_t seed, const std::vector<Value>& key) {
    uint32_t h = seed;
    for (const Value& v : key) {
        uint32_t e = 0;
        switch (v.tag()) {
            case ValueTag::I64: e = fold64(static_cast<uint64_t>(v.as_i64())); break;
            case ValueTag::F64: e = fold64(std::bit_cast<uint64_t>(v.as_f64())); break;
            case ValueTag::Str: e = string_hash(v.as_str()); break;
            case ValueTag::Bool: e = v.as_bool() ? 1231u : 1237u; break;
            case ValueTag::Null:
            case ValueTag::Dec: e = 0; break;
        }
        h = 31 * h + e;
    }
    h ^= (h >> 20) ^ (h >> 12);
    return h ^ (h >> 7) ^ (h >> 4);
}

Result<std::vector<QueryRow>, std::string> run_site(const FactStore& store, const std::vector<CompiledQuery>& queries,
                                                    QueryCache& cache, uint32_t q, const std::vector<QueryArgs>& rows) {
    Machine machine(store, queries, cache);
    QUARN_CHECK(machine.start(q, rows));
    QUARN_CHECK(machine.drain());
    return machine.take_rows();
}

}  // namespace quarn
