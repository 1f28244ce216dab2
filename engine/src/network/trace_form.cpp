// Debug forms of network values, as trace lines print them.
#include "network/network.h"
#include "store/debug_form.h"
#include "common/text.h"

namespace quarn {

namespace {

std::string stamp_text(const Stamp& s) { return s ? fmt("Some({})", *s) : std::string("None"); }

std::string item_text(FactId f) { return debug_fact_id(f); }
std::string item_text(const Tuple& t) { return debug(t); }

template <class T>
std::string entry_text(const StagedEntry<T>& e) {
    return fmt("({}, {}, {})", item_text(e.item), stamp_text(e.stamp), static_cast<unsigned>(e.flag));
}

template <class T>
std::string list_text(const EntryList<T>& l) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : l) {
        if (!first) out += ", ";
        first = false;
        out += entry_text(e);
    }
    return out + "]";
}

template <class T>
std::string memory_text(const Memory<T>& m) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : m) {
        if (!first) out += ", ";
        first = false;
        out += fmt("({}, {})", item_text(e.item), debug_key(e.key));
    }
    return out + "]";
}

}  // namespace

std::string debug(const Tuple& t) {
    std::string out = "[";
    for (size_t k = 0; k < t.size(); ++k) {
        if (k > 0) out += ", ";
        out += debug_fact_id(t[k]);
    }
    return out + "]";
}

std::string debug_key(const Key& k) {
    if (!k) return "None";
    std::string out = "Some([";
    for (size_t j = 0; j < k->size(); ++j) {
        if (j > 0) out += ", ";
        out += debug((*k)[j]);
    }
    return out + "])";
}

std::string debug(const StagedEntry<FactId>& e) { return entry_text(e); }
std::string debug(const StagedEntry<Tuple>& e) { return entry_text(e); }
std::string debug(const EntryList<FactId>& l) { return list_text(l); }
std::string debug(const EntryList<Tuple>& l) { return list_text(l); }

std::string debug(const std::vector<Tuple>& ts) {
    std::string out = "[";
    for (size_t k = 0; k < ts.size(); ++k) {
        if (k > 0) out += ", ";
        out += debug(ts[k]);
    }
    return out + "]";
}

std::string debug(const Memory<FactId>& m) { return memory_text(m); }
std::string debug(const Memory<Tuple>& m) { return memory_text(m); }

}  // namespace quarn
