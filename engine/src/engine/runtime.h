// The runtime state of an engine: working memory, the network built from the
// program's rules with every node's memories, the agenda, the clock and its
// schedules, and the state of accumulate, ?query elements, truth maintenance
// and the shadow evaluators. A reset replaces the whole Runtime with a fresh
// one for the same program (Engine::reset); nothing here is cleared by hand.
// Engine (engine.h) is a Program (program.h) and a Runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/dense_ids.h"
#include "common/hash.h"
#include "common/ids.h"
#include "engine/accumulate.h"
#include "engine/activation_list.h"
#include "engine/agenda_queue.h"
#include "engine/alpha_routes.h"
#include "engine/program.h"
#include "engine/shadows.h"
#include "engine/tms.h"
#include "engine/tuple_lists.h"
#include "network/network.h"
#include "queries/queries.h"
#include "store/fact_store.h"

namespace quarn {

// A deferred change of a fact that feeds accumulate patterns.
struct WindowChange {
    FactId fact = 0;
    uint64_t kind = 0;  // 0 update, 1 delete
    uint64_t mask = 0;  // changed fields
};

// A window registration of an accumulate source.
struct WindowSource {
    uint64_t owner = 0;  // the accumulate node's index
    TypeId type = 0;
    std::optional<int64_t> window_ms;
};

// An accumulate node of the network: its node index, the source pattern's
// type and the window length. Rebuilt with the network.
struct AccNode {
    size_t node = 0;
    TypeId type = 0;
    std::optional<int64_t> window_ms;
};

// A tuple that a temporal not deferred until its fire time.
struct TimerEntry {
    size_t node = 0;
    TupleId tuple;
    Stamp stamp;
    uint64_t seq = 0;  // Engine::timer_seq when deferred
};

// Where a node's output goes: the left input of node `index`, the terminal of
// rule `index`, or the subnetwork inner input of node `index`.
struct Target {
    enum class Kind : uint8_t { Node = 0, Rule = 1, Subnet = 2 } kind = Kind::Node;
    size_t index = 0;
    bool operator==(const Target&) const = default;
};

// Which side evaluator orders a rule's activations.
enum class ShadowKind : uint8_t { Bf, Ex, Pn, Px };

// The engine's state of its ?query nodes beside the answer records
// (Engine::qce_answers), kept by query_nodes.cpp and derived from the network
// by index_query_nodes, so a network rebuild starts it afresh.
struct QueryNodes {
    // A ?query node whose query reads a type, directly or through the
    // queries it calls, and the fields of that type the queries read.
    struct Reader {
        size_t node = 0;
        uint64_t fields = 0;
    };
    struct NodeState {
        // The left tuples present; an updated one moves to the end.
        ArrivalList lefts;
        // A fact the query reads changed since the node last ran: every
        // present tuple is asked again at its next evaluation. `due_stamp` is
        // the stamp those changes share, none when they differ.
        bool due = false;
        Stamp due_stamp;
    };
    std::vector<std::vector<Reader>> readers_by_type;  // by TypeId, node order
    HashMap<size_t, NodeState> nodes;                  // by node index, every ?query node
};

// The first-pattern input that rules with the same first pattern share.
struct Lia {
    size_t rule = 0;     // the rule whose pattern decides membership
    size_t pattern = 0;  // that rule's pattern 0
    DenseIdSet passing;         // facts currently passing the pattern's alpha tests
    std::vector<size_t> rules;  // rules whose only pattern it is; it feeds their s0_windows
    std::vector<size_t> nodes;  // nodes whose first_input it feeds
};

// One position of the shared rule network: the network node and the engine's
// state of that position.
struct TrieNode {
    // Network operations receive this field alone, never the whole TrieNode.
    Node node;
    DenseIdSet win_in;   // facts admitted to the node's right input
    DenseIdSet win_out;  // facts of the pattern known to the node but held out
    Staged<FactId> first_input;
    std::vector<Target> targets;  // the first target continues the owning chain
    Staged<TupleId> subnet_input;
    InnerTuplesByLeft subnet_inner;
    ArrivalList subnet_lefts;
    DenseIdSet subnet_emitted;  // by tuple id, as subnet_inner
    std::pair<size_t, size_t> owner{0, 0};  // (rule, pattern) that created the node
    size_t subnet_prefix = 0;
    bool blocker_pending = false;
};

// How many entries of a rule's first-pattern windows hold one fact, per list,
// and for inserts and updates the window of the one entry while there is
// exactly one (kSomewhere once there were more).
struct WindowHolds {
    static constexpr uint32_t kSomewhere = UINT32_MAX;
    uint32_t ins = 0;
    uint32_t upd = 0;
    uint32_t del = 0;
    uint32_t ins_window = kSomewhere;
    uint32_t upd_window = kSomewhere;
};

// Per-rule runtime state; index = rule index.
struct RuleNet {
    // Staged changes of the first pattern in windows, oldest first; never
    // empty, the last window is the open one. Their contents change only in
    // propagation.cpp, which keeps s0_held; take them out with take_s0_windows.
    std::vector<Staged<FactId>> s0_windows{Staged<FactId>{}};
    // While s0_indexed: every fact with an entry in s0_windows and how many
    // entries of each list hold it, so that a change asks in constant time
    // whether the windows already hold its fact. Built once the windows are
    // too many to walk, kept until they are taken.
    HashMap<FactId, WindowHolds> s0_held;
    bool s0_indexed = false;
    // Node of each chain position k (joining pattern k+1); one less than the
    // rule's patterns.
    std::vector<size_t> node_ids;
    // What rule_linked checks, read once from the rule's patterns and
    // node_ids (linking.cpp); made on first use, as the net lives as long as
    // the network it was built with.
    struct LinkCheck {
        enum class Kind : uint8_t { Rights, NotBlocked, ExistsGroup } kind;
        uint32_t node = 0;
        uint32_t first_member = 0, end_member = 0;  // ExistsGroup: its range in link_members
    };
    mutable std::vector<LinkCheck> link_checks;
    mutable std::vector<uint32_t> link_members;  // nodes whose right input an exists group's members need
    mutable bool link_checks_made = false;
    Staged<TupleId> term;
    HashSet<TupleId> peer_tuples;
    // The next to fire: Engine::next_activation. Changed only by
    // push_activation, take_activation and evaluation. It also holds each
    // tuple's sequence number, which outlives the activation while the tuple
    // stays matched.
    ActivationList acts;
    std::optional<BfShadow> bf_shadow;
    std::optional<ExShadow> ex_shadow;
    std::optional<PnShadow> pn_shadow;
    std::optional<PxShadow> px_shadow;
    // Shadow order, decided with the network (Engine::shadow_order): the rule
    // has a constant salience and a compiler mark; the evaluator whose output
    // orders it (none when the rule got none: push order then) and the tuple
    // position of the fact looked up there.
    bool shadow_ordered = false;
    std::optional<ShadowKind> order_shadow;
    uint32_t order_position = 0;
    size_t lia = 0;
    uint64_t dirty_stamp = 0;
    int32_t top_salience = 0;
    bool on_agenda = false;
    bool linked_mark = false;
    bool dirty = false;

    // Closes the open window of first-pattern changes when it holds any, so
    // that later changes go into a new one. With `merge` (a session without
    // event types, where nothing but propagation.cpp reads the windows
    // between evaluations) the open window joins the one before it instead
    // when that cannot change the order its entries are taken in.
    void s0_close_window(bool merge = false);
    // Every window, oldest first, leaving one empty open window.
    std::vector<Staged<FactId>> take_s0_windows();
    // Merges a delta that a shared node produced for another rule into this
    // rule's terminal input; `incoming` is read, not consumed.
    void peer_merge_term(const Staged<TupleId>& incoming);
};

// What the stream flush after an insert of each fact type must look at, from
// the network's routes: the nodes of every rule whose first-pattern windows or
// node inputs such a fact can reach, the nodes their evaluations deliver to,
// the temporal nodes (their new input cascades whatever the type), and the
// rules that own or list those nodes. Other rules cannot be touched by the
// insert, so the flush evaluates none of them and leaves their input as it is.
// Rebuilt with the network.
struct FlushScopes {
    std::vector<std::vector<uint32_t>> nodes_by_type, rules_by_type;  // ascending
};

// Who a change of one fact type, or the clock, can reach beyond the routes a
// fact passes, so that the work of a queued accumulate change, an event's
// delete or an empty agenda costs the nodes and rules concerned, never a walk
// over every node or rule. Rebuilt with the network; every list ascending.
struct ChangeScopes {
    // By TypeId: the accumulate nodes whose source pattern has the type.
    std::vector<std::vector<uint32_t>> acc_nodes_by_type;
    // By TypeId: the rules with a not or exists pattern of the type.
    std::vector<std::vector<uint32_t>> negating_rules_by_type;
    // The rules holding an exists node that is not temporal: only these can
    // wait with input that no change will come to evaluate.
    std::vector<uint32_t> plain_exists_rules;

    std::span<const uint32_t> acc_nodes_of(TypeId t) const {
        return t < acc_nodes_by_type.size() ? std::span<const uint32_t>(acc_nodes_by_type[t])
                                            : std::span<const uint32_t>();
    }
    std::span<const uint32_t> negating_rules_of(TypeId t) const {
        return t < negating_rules_by_type.size() ? std::span<const uint32_t>(negating_rules_by_type[t])
                                                 : std::span<const uint32_t>();
    }
};
struct Runtime {
    Runtime() = default;
    // A runtime with an empty working memory for `program` over `store`,
    // whose facts the caller has dropped and whose types it keeps: the
    // per-query flags sized to the program's queries, everything else empty.
    // The network comes after, from Engine::build_runtime.
    Runtime(const Program& program, FactStore store);

    // --- Working memory.
    FactStore store;
    // Every tuple the network made and holds; a tuple goes with the row of
    // a dead fact it holds (release_tuples_of_reclaimed). Ids are never
    // handed out again until the next reset.
    TupleTable tuples;
    // The entry point a fact came in through (0 = default), which the store keeps.
    uint32_t entry_point_of(FactId f) const { return store.entry_point(f); }
    // Facts a right-hand side's setter wrote that no update or delete has
    // propagated since, with the fields written: the network still matches
    // them by the values it saw last, so Engine::verify does not hold them to
    // their alpha tests, and their next update or delete cannot find the
    // routes they are in by the present values of those fields.
    DenseIdMap<uint64_t> silent_writes;
    // Entries written into silent_writes so far, for tests that count work: a
    // modify block's setters and update write none.
    uint64_t silent_writes_noted = 0;
    std::optional<FactId> initial_fact;
    // Facts the engine stored for itself: the InitialFact, accumulate and
    // collection results, groupby rows and ?query answer rows. Their handles
    // reach callers through firings, yet only the engine may change them, so
    // update_fact and delete_fact refuse them, dead ones too.
    DenseIdSet own_facts;

    // --- The network, built from the program's rules by build_network, and
    // what is derived from it with it.
    std::vector<Lia> lias;
    // The Lias whose passing set holds a fact, kept in a session of more than
    // kLinkWalkAll rules. A rule fed by any other is not linked
    // (Engine::rule_linked), so a change's link notes look only at the rules
    // of these and at the rules the change touched; with fewer rules they walk
    // every rule, which costs less than keeping the set.
    static constexpr size_t kLinkWalkAll = 48;
    bool lias_holding_kept = false;
    DenseIdSet lias_holding;
    std::vector<TrieNode> nodes;
    std::vector<RuleNet> nets;  // index = rule index
    // By TypeId: the Lias and the nodes whose pattern has that type, in list
    // order; derived from the network by route_network_by_type.
    std::vector<std::vector<size_t>> lias_by_type;
    std::vector<std::vector<size_t>> nodes_by_type;
    // The same routes with their alpha tests, so that a fact finds the routes
    // it passes without asking each; built with them.
    AlphaRoutes alpha_routes;
    // By Lia and by node: the rules whose link state or pending work a change
    // there can alter (the rules fed by the Lia, the rules listing the node).
    std::vector<std::vector<size_t>> rules_of_lia;
    std::vector<std::vector<size_t>> rules_of_node;
    FlushScopes flush_scopes;
    ChangeScopes change_scopes;
    // By type: the rules whose side evaluator a fact of that type can reach.
    ShadowRoutes shadow_routes;
    std::vector<AccNode> acc_nodes;
    std::vector<WindowSource> window_sources;
    QueryNodes query_nodes;
    std::vector<uint8_t> flush_linked;  // one per rule

    // --- The clock and its schedules.
    int64_t clock = 0;
    std::map<int64_t, std::vector<FactId>> expiry_deadlines;
    std::vector<FactId> expired_queue;
    std::map<int64_t, std::vector<std::pair<uint64_t, FactId>>> window_deadlines;
    std::vector<WindowChange> window_changes;
    std::map<int64_t, std::vector<TimerEntry>> timers;

    // --- The agenda and the state of the operation in progress.
    // Every rule whose RuleNet::on_agenda is set, by group in choice order;
    // built with the network.
    AgendaQueue agenda_queue;
    std::vector<std::string> focus_stack;  // top = last
    std::optional<std::string> pending_error;
    std::optional<FactId> deleting_fact;
    std::optional<TypeId> flush_origin_type;
    uint64_t shadow_seq = 0;
    uint64_t act_seq = 0;  // the last activation sequence number handed out
    bool firing = false;
    bool eager_eval = false;
    bool immediate = false;
    bool expiring = false;
    bool focus_changed = false;
    bool tms_retracting = false;

    // --- Accumulate, ?query elements and truth maintenance.
    // Accumulate contexts, groups and published collection members (accumulate.h).
    AccState acc;
    QueryCache query_caches;
    // Per query: linked at the last change; a ?query element depending on it
    // was evaluated (only these get query_linked); to be drained before run_site.
    std::vector<uint8_t> linked_queries;
    std::vector<uint8_t> tracked_queries;
    std::vector<uint8_t> refresh_queries;
    // The row facts of each left tuple of a ?query node, by the node's owner
    // (rule, pattern); a tuple without rows has no entry.
    HashMap<std::pair<size_t, size_t>, HashMap<TupleId, std::vector<FactId>>> qce_answers;
    Tms tms;

    // --- Buffers reused from call to call, kept for their room.
    // The converted row of an outside insert.
    std::vector<Value> insert_values;
    // What run_actions reuses from firing to firing (actions.cpp): the
    // snapshot rows, the fields setters wrote, per fact, and the row of an
    // insert.
    struct RhsScratch {
        // Fields setters wrote to a fact in this firing, and those of them
        // already handed to silent_writes (handed is a subset of fields).
        struct SetterWrites {
            FactId fact;
            uint64_t fields = 0;
            uint64_t handed = 0;
        };
        std::vector<std::vector<Value>> snapshot;
        std::vector<SetterWrites> changed;
        std::vector<Value> values;
    } rhs_scratch;
    // Link-state buffers that propagation borrows, one per call in progress
    // (LinkNotes).
    std::vector<std::vector<uint8_t>> link_buffers;
    std::vector<std::vector<uint32_t>> link_rule_buffers;
    // Rules whose link state a propagation call's notes read, for tests that
    // count work: the rules of the Lias holding facts and the rules touched,
    // not every rule.
    uint64_t link_rules_read = 0;
    // Nodes and rules that queued accumulate changes and window evictions
    // read (FireLoop::apply_window_changes, windows.cpp), for tests that count
    // work: the accumulate nodes of the fact's type and the rules listing
    // them, not every node and rule.
    uint64_t acc_change_reads = 0;
    // The routes a propagation call found for its fact, one per call in
    // progress: the first `route_buffers_lent` are lent out. A deque, so that
    // a nested call's new buffer leaves the outer calls' in place.
    std::deque<RouteScratch> route_buffers;
    size_t route_buffers_lent = 0;
};

}  // namespace quarn
