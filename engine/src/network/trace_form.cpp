// Debug forms of network values, as trace lines print them.
#include "common/text.h"
#include "network/network.h"
#include "network/trace_form.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

std::string stamp_text(const Stamp& s) { return s ? fmt("Some({})", *s) : std::string("None"); }

// Items as text: facts by themselves, tuples through their table.
struct ItemText {
    const TupleTable* tt = nullptr;
    std::string operator()(FactId f) const { return debug_fact_id(f); }
    std::string operator()(TupleId t) const { return debug(*tt, t); }
};

template <class T>
std::string entry_text(const ItemText& text, const StagedEntry<T>& e) {
    return fmt("({}, {}, {})", text(e.item), stamp_text(e.stamp), static_cast<unsigned>(e.flag));
}

template <class T>
std::string list_text(const ItemText& text, const EntryList<T>& l) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : l) {
        if (!first) out += ", ";
        first = false;
        out += entry_text(text, e);
    }
    return out + "]";
}

template <class T>
std::string memory_text(const ItemText& text, const Memory<T>& m) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : m) {
        if (!first) out += ", ";
        first = false;
        out += fmt("({}, {})", text(e.item), debug_key(e.key));
    }
    return out + "]";
}

}  // namespace

std::string debug(TupleView t) {
    std::string out = "[";
    for (size_t k = 0; k < t.size(); ++k) {
        if (k > 0) out += ", ";
        out += debug_fact_id(t[k]);
    }
    return out + "]";
}

std::string debug(const TupleTable& tt, TupleId t) { return debug(tt.view(t)); }
std::string debug(const StagedEntry<FactId>& e) { return entry_text(ItemText{}, e); }
std::string debug(const TupleTable& tt, const StagedEntry<TupleId>& e) { return entry_text(ItemText{&tt}, e); }
std::string debug(const EntryList<FactId>& l) { return list_text(ItemText{}, l); }
std::string debug(const TupleTable& tt, const EntryList<TupleId>& l) { return list_text(ItemText{&tt}, l); }

std::string debug(const TupleTable& tt, const std::vector<TupleId>& ts) {
    std::string out = "[";
    for (size_t k = 0; k < ts.size(); ++k) {
        if (k > 0) out += ", ";
        out += debug(tt, ts[k]);
    }
    return out + "]";
}

std::string debug(const Memory<FactId>& m) { return memory_text(ItemText{}, m); }
std::string debug(const TupleTable& tt, const Memory<TupleId>& m) { return memory_text(ItemText{&tt}, m); }

}  // namespace quarn
