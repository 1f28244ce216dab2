// Keys of one integer handed to a join as words (JoinEnv::int_key_of_left)
// must leave everything as the same keys handed over as Keys: the children
// made, their order, the tests asked, and both memories' order.
#include <gtest/gtest.h>

#include <random>

#include "network_scripted_env.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

constexpr FactId kLefts = 80;
constexpr FactId kRightBase = 100;
constexpr FactId kRights = 80;

// Keys that take every way through an index probe: small integers that
// repeat (buckets of many entries), integers a double cannot tell apart
// (one class hash, different words), integers too wide for a word (a key
// record), floats equal to an integer or not, a null, a text and no key.
Value random_key_value(std::mt19937& rng) {
    constexpr int64_t kExact = int64_t{1} << 53;
    constexpr int64_t kWide = int64_t{1} << 61;
    switch (rng() % 16) {
        case 0: return Value::i64(kExact);
        case 1: return Value::i64(kExact + 1);
        case 2: return Value::i64(kWide);
        case 3: return Value::i64(-kWide - 1);
        case 4: return Value::f64(3.0);
        case 5: return Value::f64(2.5);
        case 6: return Value::null();
        case 7: return Value::str("k");
        case 8: return Value::i64(kWide - 1);
        default: return Value::i64(static_cast<int64_t>(rng() % 6));
    }
}

std::string transcript(const Staged<Tuple>& out, const ScriptedEnv& env) {
    std::string s;
    for (const auto& e : out.ins.oldest_first()) s += debug(TupleView(e.item)) + (e.flag == Insert ? "i " : "r ");
    s += "| del " + std::to_string(out.del.size()) + " | tested";
    for (const auto& [t, f] : env.tested) s += " " + debug(TupleView(t)) + "/" + std::to_string(f);
    return s;
}

}  // namespace

TEST(IntKeys, JoinsHandedIntegerWordsDoAsJoinsHandedKeys) {
    size_t long_batches = 0;
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        std::mt19937 rng(seed);
        Rig keys(Kind::Join, IndexSpec::equality()), words(Kind::Join, IndexSpec::equality());
        keys.env.key_on_values({});
        words.env.left_key = keys.env.left_key;
        words.env.right_key = keys.env.right_key;
        words.env.int_words = true;
        // Where keys decide, a pair of equal keys skips the test: the twins
        // must agree on which pairs that is.
        keys.env.keys_decide = words.env.keys_decide = seed % 2 == 0;
        auto allow = [](const Tuple& t, FactId f) { return (t[0] * 3 + f) % 5 != 0; };
        keys.env.allow = words.env.allow = allow;
        std::map<FactId, Value>& values = *keys.env.values;
        std::set<FactId> lefts, rights;
        uint64_t stamp = 0;
        for (int batch = 0; batch < 40; ++batch) {
            Staged<Tuple> sl;
            Staged<FactId> sr;
            // Short batches and batches long enough to make their keys ahead.
            const int n = rng() % 3 == 0 ? 1 + static_cast<int>(rng() % 8) : 32 + static_cast<int>(rng() % 40);
            long_batches += n >= 32;
            const bool left = rng() % 2 == 0, both = rng() % 4 == 0;
            for (int k = 0; k < n; ++k) {
                const bool on_left = both ? k % 2 == 0 : left;
                const FactId f = on_left ? 1 + rng() % kLefts : kRightBase + 1 + rng() % kRights;
                std::set<FactId>& present = on_left ? lefts : rights;
                if (present.contains(f)) {
                    // Present facts leave now and then; a batch changes a fact once.
                    if (rng() % 3 != 0) continue;
                    if (on_left ? sl.del.contains({f}) : sr.del.contains(f)) continue;
                    present.erase(f);
                    on_left ? sl.add_del({f}, ++stamp) : sr.add_del(f, ++stamp);
                    continue;
                }
                if (on_left ? sl.del.contains({f}) : sr.del.contains(f)) continue;
                present.insert(f);
                if (rng() % 10 == 0) {
                    values.erase(f);
                } else {
                    values[f] = random_key_value(rng);
                }
                on_left ? sl.add_ins_ph({f}, ++stamp, Insert) : sr.add_ins_ph(f, ++stamp, Insert);
            }
            const std::string at = "seed " + std::to_string(seed) + " batch " + std::to_string(batch);
            const Staged<Tuple> a = keys.run(sl, sr);
            const Staged<Tuple> b = words.run(sl, sr);
            ASSERT_EQ(transcript(a, keys.env), transcript(b, words.env)) << at;
            ASSERT_EQ(keys.lefts(), words.lefts()) << at;
            ASSERT_EQ(keys.rights(), words.rights()) << at;
            ASSERT_EQ(keys.alive_children(), words.alive_children()) << at;
        }
    }
    EXPECT_GT(long_batches, 500u);
}
