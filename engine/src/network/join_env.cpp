// Trace and switch helpers of the join environment.
#include "network/join_env.h"

#include <cstdio>
#include <cstdlib>

#include "common/utf8.h"

namespace quarn {

std::optional<std::string> JoinEnv::env_var(const char* name) const {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    std::string s(v);
    if (first_invalid_utf8(s) != std::string::npos) return std::nullopt;
    return s;
}

void JoinEnv::trace(std::string_view line) const {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

uint32_t JoinEnv::int_keys_of_left(size_t i, const TupleId* tuples, size_t n, int64_t* v) const {
    const TupleTable& table = this->tuples();
    uint32_t words = 0;
    for (size_t k = 0; k < n; ++k) {
        if (int_key_of_left(i, table.view(tuples[k]), v[k])) words |= 1u << k;
    }
    return words;
}

uint32_t JoinEnv::int_keys_of_right(size_t i, const FactId* facts, size_t n, int64_t* v) const {
    uint32_t words = 0;
    for (size_t k = 0; k < n; ++k) {
        if (int_key_of_right(i, facts[k], v[k])) words |= 1u << k;
    }
    return words;
}

Key left_key(const JoinEnv& env, size_t i, TupleId t) {
    Key k;
    env.key_of_left(i, env.tuples().view(t), k);
    return k;
}

Key left_key(const JoinEnv& env, size_t i, TupleView t) {
    Key k;
    env.key_of_left(i, t, k);
    return k;
}

Key right_key(const JoinEnv& env, size_t i, FactId f) {
    Key k;
    env.key_of_right(i, f, k);
    return k;
}

bool JoinEnv::trace_switch() const { return env_var("QUARN_TRACE").has_value(); }

bool JoinEnv::tail_first_switch() const {
    auto v = env_var("QUARN_JSR");
    return v && *v == "tail";
}

bool tracing_on(const JoinEnv& env) { return env.trace_switch(); }

bool right_inserts_tail_first(const JoinEnv& env) { return env.tail_first_switch(); }

}  // namespace quarn
