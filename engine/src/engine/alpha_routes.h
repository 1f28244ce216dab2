// The routes of each fact type (the Lias and the network nodes whose pattern
// has that type) and how one fact finds those whose alpha tests it passes
// without asking every route: an equality with a literal finds its routes by
// the fact's field value, and a test that several patterns share runs once
// per fact. Built with the network (Engine::route_network_by_type); what it
// answers is what Engine::alpha_passes_fields answers route by route.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"
#include "engine/compiler/compiled_rule.h"
#include "store/fact_store.h"

namespace quarn {

// Whether `fact` passes constraint `cmp` of pattern `p` on its own. A test
// that reads another fact (a join comparison, a temporal test, a group
// reading other patterns' bindings) is left to the join and passes here.
bool alpha_cmp_passes(const FactStore& store, const CompiledPattern& p, const CompiledCmp& cmp, FactId fact);

// The routes of one type of one kind (its Lias, or its nodes), in the order
// the type's route list gives them; a route is named by its place there.
class RouteList {
public:
    // A fact passes a route when it has the route's entry point and passes
    // every alpha test of its pattern (alpha_passes_fields).
    struct Route {
        size_t rule = 0, pattern = 0;
        uint32_t entry_point = 0;
        uint32_t first_check = 0, end_check = 0;  // its tests in checks, besides the indexed equality
        bool takes_facts = true;                  // false for a group CE, which reads no fact
        // The fields its alpha tests read, the indexed equality's among them;
        // every field for an accumulate (its windows decide membership) and
        // for a route with a group test.
        uint64_t reads = ~uint64_t{0};
    };
    // One test of a route: the type's check `id`, which runs at most once
    // per fact. An integer field against an integer literal carries what it
    // compares, so that it runs from the field's cell without a look at the
    // pattern: the cell passes when it lies in [low, high], or, when
    // `outside`, when it does not.
    // Likewise a text field against a text literal, and a boolean field
    // against a boolean literal, by equality (by inequality when `outside`),
    // run from the cell: the text is the type's texts[id], the boolean
    // `low`. A text read as a value would be copied at every change.
    struct Check {
        uint32_t id = 0;
        uint32_t field = 0;
        int64_t low = 1, high = 0;
        bool int_cmp = false;
        bool outside = false;
        bool text_eq = false;
        bool bool_eq = false;
    };
    // The routes one look offers a fact: those of a literal's bucket, or
    // those no index finds. A route one of whose tests bounds an integer
    // field on one side only (`total > 100`, `n <= 7`) is filed by that
    // bound, for one field per offer: a fact whose cell lies beyond a bound
    // fails that route, and a look that asks only for the routes a fact
    // passes leaves those out without visiting them.
    struct Offer {
        std::vector<uint32_t> plain;  // ascending
        uint32_t bounded_field = 0;
        // (lowest cell passing, route) by the bound ascending: a cell passes
        // a prefix. Then (highest cell passing, route) by the bound descending.
        std::vector<std::pair<int64_t, uint32_t>> at_least, at_most;
    };
    // An equality of one field with literals: the routes that test it, by
    // the literal. A field value that the literal test accepts finds exactly
    // the routes of that literal; one it refuses finds none of them.
    struct LiteralIndex {
        uint32_t field = 0;
        FieldKind kind = FieldKind::I64;     // I64, F64 or Bool keyed by a word; Str by its text
        HashMap<uint64_t, uint32_t> by_word;  // I64: the integer; F64: its bits, -0 as +0; Bool: 0 or 1
        HashMap<std::string, uint32_t> by_text;
        std::vector<Offer> buckets;
    };

    std::vector<Route> routes;
    std::vector<Check> checks;
    std::vector<LiteralIndex> indexes;
    Offer unindexed;  // the routes no index finds
    // Routes whose pattern accumulates, ascending: their windows and deferred
    // changes decide membership, so every update and delete visits them.
    std::vector<uint32_t> accumulates;
    // Every route that takes facts is a candidate for every fact of the type
    // (no literal index, no integer bound): an update visits them all.
    bool all_candidates() const { return indexes.empty() && unindexed.at_least.empty() && unindexed.at_most.empty(); }
};

// One distinct alpha test among the patterns of a type: constraint `cmp` of
// pattern `pattern` of rule `rule`, as alpha_cmp_passes runs it.
struct AlphaCheck {
    size_t rule = 0, pattern = 0, cmp = 0;
};

struct TypeRoutes {
    std::vector<AlphaCheck> checks;
    std::vector<std::string> texts;  // by check: the literal of a check marked text_eq
    RouteList lias, nodes;
    // Fields some literal index reads: a change of one may move a fact
    // between buckets, so the routes it left are not found by its new value.
    uint64_t indexed_fields = 0;
    // Per check: the epoch of the fact it last ran for, times two, plus the
    // answer.
    std::vector<uint32_t> memo;
    // Per field: the fact whose integer cell was last read (an epoch), and
    // the cell, when the column holds integers without nulls.
    std::array<uint32_t, TypeSchema::max_fields> cell_seen{};
    std::array<int64_t, TypeSchema::max_fields> cell{};
    std::array<bool, TypeSchema::max_fields> cell_read{};
    // The text field last read and its text (none for a null), for the fact
    // of epoch `text_seen`: tests of one field against several literals
    // find the fact's row once.
    uint32_t text_seen = 0;
    uint32_t text_field = 0;
    std::optional<std::string_view> text;
    uint32_t epoch = 0;
};

class Engine;

// Where a fact stands at a route after a change: by the route's tests run
// now, or, when none of them reads a field that changed, where it stood.
enum class Standing : uint8_t { Fails = 0, Passes = 1, Kept = 2 };

// One route an update or a delete visits: its place in the type's list,
// where the fact stands there now, and whether the route held it before
// the change (read once, by the update's first pass).
struct RouteVisit {
    uint32_t place = 0;
    Standing now = Standing::Fails;
    bool was = false;
};

// The routes one propagation call found for its fact: places in the type's
// lists, ascending, and, where asked, the fact's Standing at each.
struct RouteScratch {
    std::vector<uint32_t> lias, nodes;
    std::vector<uint8_t> lia_passes, node_passes;
    // The routes visited, in list order.
    std::vector<RouteVisit> node_visit, lia_visit;
};

class AlphaRoutes {
public:
    // Files the routes of the engine's lias_by_type and nodes_by_type with
    // their tests and literal indexes.
    void build(const Engine& e);

    enum class Kind : uint8_t { Lias, Nodes };
    // Starts the questions about one fact, which the questions below are
    // about: the answers of the tests run for the fact before are forgotten.
    // The store must not change until the last question.
    void start_fact(const Engine& e, FactId fact);
    // The places, in the fact's type's list of kind `kind`, of the routes
    // that can hold it, ascending: every route whose alpha tests it passes,
    // and every route it passed while the fields the indexes read kept their
    // present values. `passes` gets, per place, the fact's Standing there
    // (as a byte): a route none of whose tests reads an `unseen` field is
    // Kept, its tests not run.
    void candidates(const Engine& e, Kind kind, std::vector<uint32_t>& out, std::vector<uint8_t>& passes,
                    uint64_t unseen = ~uint64_t{0});
    // For a list whose routes are all candidates (RouteList::all_candidates):
    // every route that takes facts, ascending, with the fact's Standing, as
    // candidates gives them, straight into `out`; false, and nothing
    // written, for any other list.
    bool visit_all(const Engine& e, Kind kind, uint64_t unseen, std::vector<RouteVisit>& out);
    // Only the places of the routes whose tests the fact passes, ascending.
    void passing(const Engine& e, Kind kind, std::vector<uint32_t>& out);
    // The candidates' places alone, no test run.
    void reachable(const Engine& e, Kind kind, std::vector<uint32_t>& out);

    uint64_t indexed_fields(TypeId type) const { return type < types_.size() ? types_[type].indexed_fields : 0; }
    const TypeRoutes* routes_of(TypeId type) const { return type < types_.size() ? &types_[type] : nullptr; }
    // Alpha tests run so far, for tests that count work.
    uint64_t checks_run() const { return checks_run_; }

private:
    bool route_passes(const Engine& e, TypeRoutes& t, const RouteList& list, uint32_t place);
    Standing standing(const Engine& e, TypeRoutes& t, const RouteList& list, uint32_t place, uint64_t unseen);
    // Runs a check whose answer for the fact is not known yet.
    bool run_check(const Engine& e, TypeRoutes& t, const RouteList::Check& check);
    // The routes of `list` that an index finds for the fact, and the
    // unindexed, ascending; with `bounds`, less those an integer bound
    // refuses.
    void gather(const FactStore& store, const RouteList& list, bool bounds, std::vector<uint32_t>& out) const;
    // What `offer` holds for the fact, appended; whether it appended out of order.
    bool take(const FactStore& store, const RouteList::Offer& offer, bool bounds, std::vector<uint32_t>& out) const;

    std::vector<TypeRoutes> types_;  // by TypeId
    // The fact start_fact began, its type and its entry point.
    FactId fact_ = 0;
    TypeId type_ = 0;
    uint32_t entry_point_ = 0;
    uint64_t checks_run_ = 0;
};

}  // namespace quarn
