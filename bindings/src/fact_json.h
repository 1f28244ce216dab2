// The compact JSON text of a fact, as the audit table's values_json holds it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "store/fact_store.h"

namespace quarn::py {

// Fields by name in bytewise order, then "value" for collection members.
std::string fact_json(const FactView& view);
// The shortest text that reads back to the same finite double.
std::string json_float(double v);

// Growable text into which each piece is written after room is made for it.
class JsonText {
public:
    void clear() { size_ = 0; }
    std::string_view view() const { return {buf_.data(), size_}; }
    // Room for `n` more bytes, written from the returned pointer on.
    char* room(size_t n) {
        if (buf_.size() - size_ < n) grow(n);
        return buf_.data() + size_;
    }
    void wrote(const char* end) { size_ = size_t(end - buf_.data()); }
    void put(char c) { *room(1) = c, ++size_; }
    void put(std::string_view s);

private:
    void grow(size_t n);
    std::string buf_;
    size_t size_ = 0;
};

// Renders facts one after another. The key order of a field list is worked
// out once and kept for the facts that follow with the same field names.
class FactJsonWriter {
public:
    void write(JsonText& out, const FactView& view);

private:
    struct Plan {
        std::vector<std::string> names;  // the view's field names, in field order
        bool members = false;
        // Which field each key shows (fields.size() for the members), and the
        // key's text with its separator: {"a": or ,"b":
        std::vector<std::pair<size_t, std::string>> keys;
    };
    const Plan& plan_for(const FactView& view);

    std::vector<Plan> plans_;
    size_t next_evicted_ = 0;
};

}  // namespace quarn::py
