// What the benchmark programs share: the schemas they build their sessions
// on and the sizes they read from the command line.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "quarn.h"

namespace quarn::bench {

// A type whose fields are all 64-bit integers, in the order given.
inline TypeSchema i64_type(std::string name, std::vector<std::string> fields) {
    TypeSchema t{std::move(name), {}, 0};
    for (std::string& f : fields) t.fields.emplace_back(std::move(f), FieldType::i64());
    return t;
}

// The sizes N given on the command line from argv[first] on ("1e5" reads as
// 100000), or `defaults` when none is given.
inline std::vector<int64_t> sizes_from_args(int argc, char** argv, int first, std::vector<int64_t> defaults) {
    std::vector<int64_t> sizes;
    for (int i = first; i < argc; ++i) sizes.push_back(static_cast<int64_t>(std::atof(argv[i])));
    return sizes.empty() ? defaults : sizes;
}

}  // namespace quarn::bench
