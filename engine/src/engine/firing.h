// What a fire hands its caller: each firing, rendered or taken by a sink.
// Shared by the engine's record (engine.h) and its public face (session.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/ids.h"
#include "store/fact_store.h"

namespace quarn {

// One fired activation: the rule's name and its facts rendered after the
// right-hand side ran.
struct Firing {
    std::string rule;
    std::vector<FactView> facts;
};

// The firings of one fire, in firing order, each read as a Firing. A firing
// is kept as its rule, its facts' handles and types and the cells the facts
// held when it fired, a few words; its Firing is built when it is read, with
// the same texts and values a Firing made at firing time would hold. Facts
// that a Firing shows otherwise than the store renders them (collection
// results, query rows) are kept rendered. Holds its own copy of the names it
// shows, so it outlives its engine.
class Firings {
public:
    // What a Firing shows besides cells: rule names by rule index, types by
    // TypeId with their field names and kinds.
    struct Names {
        struct Type {
            std::string name;
            std::vector<std::pair<std::string, FieldKind>> fields;  // field order
            // No nullable field and only integers, floats and booleans: each
            // cell is kept as one word, else the fact's cells as Values.
            bool in_words = false;
        };
        std::vector<std::string> rules;
        std::vector<Type> types;
    };

    Firings() = default;
    explicit Firings(std::shared_ptr<const Names> names) : names_(std::move(names)) {}

    size_t size() const { return starts_.size(); }
    bool empty() const { return starts_.empty(); }
    // Firing `i` (below size()).
    Firing operator[](size_t i) const;
    // The same, with std::out_of_range for an `i` past the end.
    Firing at(size_t i) const;
    Firing front() const { return (*this)[0]; }
    Firing back() const { return (*this)[size() - 1]; }

    class const_iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Firing;
        using difference_type = std::ptrdiff_t;
        using reference = Firing;
        using pointer = void;
        const_iterator() = default;
        Firing operator*() const { return (*firings_)[at_]; }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }

    private:
        friend class Firings;
        const_iterator(const Firings* firings, size_t at) : firings_(firings), at_(at) {}
        const Firings* firings_ = nullptr;
        size_t at_ = 0;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    // Keeps a firing of rule `rule` on `facts` as `store` holds them now.
    // `rendered(position, fact)` gives a fact rendered whole where a Firing
    // shows it otherwise than the store renders it, none for the others.
    // Every fact's type and the rule must be among the names'.
    template <class Rendered>
    void record(size_t rule, std::span<const FactId> facts, const FactStore& store, Rendered rendered) {
        begin_firing(rule, facts.size());
        for (size_t p = 0; p < facts.size(); ++p) {
            if (std::optional<FactView> view = rendered(p, facts[p])) add_view(std::move(*view));
            else add_fact(facts[p], store);
        }
        end_firing();
    }

private:
    void begin_firing(size_t rule, size_t facts);
    void add_fact(FactId fact, const FactStore& store);
    void add_view(FactView view);
    void end_firing();
    FactView fact_at(const uint64_t*& w) const;

    std::shared_ptr<const Names> names_;
    // The firings' words end to end, in chunks that never move (a firing
    // lies inside one chunk): per firing its rule and fact count, then per
    // fact its type and handle (or, with the top bit set, its place in
    // views_) followed by its cells: a word each, or its first place in
    // values_.
    std::vector<std::vector<uint64_t>> chunks_;
    // By firing: its chunk (the high 24 bits) and its first word there.
    std::vector<uint64_t> starts_;
    std::vector<uint64_t> pending_;  // the firing being recorded
    std::vector<Value> values_;
    std::vector<FactView> views_;
};

// What one fire did to working memory besides its firings, so that a caller
// can build the fire's result without looking at every fact.
struct FireReport {
    // The store's fact count when the fire began: the facts the fire added
    // have the handles from here on.
    size_t start_fact_count = 0;
    // The facts alive when the fire began that it deleted, ascending; only
    // those that the fact reads list (no built-in, query row or groupby row,
    // no fact of a named entry point).
    std::vector<FactId> deleted;
};

// Takes each firing as the fire completes it, in place of a rendered Firing.
class FiringSink {
public:
    virtual ~FiringSink() = default;
    // Rule `rule` (its index in load order) fired on `facts`, the match's
    // facts by pattern position; the store is as its right-hand side left it.
    // An exception goes out of the fire.
    virtual void fired(size_t rule, std::span<const FactId> facts) = 0;
};

}  // namespace quarn
