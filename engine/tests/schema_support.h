// The schemas engine tests build their sessions on.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "store/fact_store.h"

namespace quarn::test {

// A type whose fields are all 64-bit integers, in the order given.
inline TypeSchema i64_type(std::string name, std::vector<std::string> fields) {
    TypeSchema t{std::move(name), {}, 0};
    for (std::string& f : fields) t.fields.emplace_back(std::move(f), FieldType::i64());
    return t;
}

}  // namespace quarn::test
