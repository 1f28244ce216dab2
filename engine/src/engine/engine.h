// The rule engine's record, internal to the engine and its tests: callers
// outside (the bindings, the behaviour-case runners) use Session, session.h.
// One Engine owns the fact store, the compiled rules and queries, the shared
// rule network with one RuleNet per rule, the agenda, the pseudo-clock with its
// schedules, accumulate and groupby state, the shadow evaluators and truth
// maintenance.
//
// Life of an engine: Engine::create from the declared types, declare_event per
// event type, add_rules_text once; then facts come and go (insert, update_fact,
// delete_fact), advance moves the clock, fire_all fires to quiescence, reset
// empties working memory and keeps everything compiled. Every operation returns
// its value or an EngineError. A failed allocation or a broken invariant that
// stops a change midway leaves the engine broken: every later call throws that
// failure again (broken_state.h), and its owner builds a new engine.
//
// Where the engine's operations live. The rule compiler and loader, in
// engine/src/engine/compiler/:
//   compiled_rule.cpp       properties derived from compiled patterns
//   compile_conditions.cpp  compile_rule and its left-hand side
//   compile_actions.cpp     compile_arg, actions and salience
//   constraint_groups.cpp   compile_gexpr
//   compiled_rule_dump.cpp  dump_compiled_rule
//   loader.cpp              add_rules_text and the checks that span rules
//   pattern_key.cpp         pattern_key, pattern_test_key, canonical_eq_literal
//   network_build.cpp       build_network and the shadow decisions
//   network_dump.cpp        dump_network
//   event_decl.cpp          declare_event
// The record is a Program (program.h: what the loader compiled, kept by reset)
// and a Runtime (runtime.h: working memory and every runtime state, replaced
// whole by reset).
// The runtime, in engine/src/engine/:
//   session.cpp             Session (session.h), the engine's public face
//   engine_state.cpp        create, reset, build_runtime, facts, fact_type_name, check_handle,
//                           refuse_own_fact, listed_among
//   trace_switches.cpp      the trace switches (trace_switches.h)
//   constraint_eval.cpp     the evaluation services of constraint_eval.h
//   join_env_impl.cpp       JoinEnvImpl (join_env_impl.h)
//   fact_ops.cpp            insert, insert_into, insert_columns, insert_table, update_fact, delete_fact
//   dead_rows.cpp           reclaim_dead_rows_if_due: which dead facts work to come still reads
//   propagation.cpp         on_insert, on_insert_stored, on_update, on_delete_ex, alpha_passes_fields
//   alpha_routes.cpp        AlphaRoutes (alpha_routes.h), the routes a fact can pass
//   linking.cpp             rule_linked, rule_linked_by_facts, note_link_effect, stage_snapshot
//   evaluation.cpp          evaluate_rule_inner, terminal step, pruning
//   engine_ce_nodes.cpp     the dispatch to the nodes the engine evaluates itself
//   query_nodes.cpp         ?query nodes, the refresh of their answers, render_qargs
//   subnet_nodes.cpp        not and exists over a group of patterns
//   activation_list.cpp     a rule's activations by tuple (activation_list.h)
//   activations.cpp         push_activation, eval_salience, activation order
//   agenda.cpp              fire_all and its FireReport
//   firings.cpp             Firings (firing.h), the firings of a fire kept to be read
//   verify.cpp              verify, the engine's own invariants
//   actions.cpp             eval_src and the right-hand-side actions
//   stream_flush.cpp        stream_flush_ex
//   peer_merge.cpp          RuleNet::s0_close_window, RuleNet::peer_merge_term
//   shadows.cpp             the shadow evaluators
//   accumulate.cpp          accumulate state (accumulate.h) and accumulate nodes
//   groupby.cpp             groupby groups
//   windows.cpp             sliding windows
//   time.cpp                advance, expiry schedules
//   tms.cpp                 truth maintenance; its state is the Tms of tms.h
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/dense_ids.h"
#include "common/hash.h"
#include "common/ids.h"
#include "common/result.h"
#include "engine/accumulate.h"
#include "engine/activation_list.h"
#include "engine/broken_state.h"
#include "engine/tuple_lists.h"
#include "engine/compiler/compiled_rule.h"
#include "engine/constraint_eval.h"
#include "engine/engine_error.h"
#include "engine/firing.h"
#include "engine/join_env_impl.h"
#include "engine/program.h"
#include "engine/runtime.h"
#include "engine/shadows.h"
#include "engine/tms.h"
#include "engine/trace_switches.h"
#include "network/network.h"
#include "parser/parser.h"
#include "queries/queries.h"
#include "store/fact_store.h"

namespace quarn {


// A row that passed every check of an insert, converted to its type's fields.
struct PreparedInsert {
    TypeId type = 0;
    uint32_t entry_point = 0;
    std::vector<Value> values;  // field order
};

// How much staged input the network held just before one fact operation, so
// that the stream flush that follows can tell what that operation added. It
// covers the nodes and rules listed, ascending: the whole network, or, taken
// for the insert of one fact type, the places that insert can reach
// (FlushScopes); the flush looks nowhere else.
struct StageSnapshot {
    std::vector<uint32_t> nodes, rules;
    // Per covered node: inserts staged in the first-pattern, left and right
    // inputs, then the deletes of the same three.
    std::vector<std::array<uint64_t, 6>> node_counts;
    // Per covered rule: staged inserts, updates and deletes over all of its windows.
    std::vector<uint64_t> window_totals;
    // Per covered rule: rule_linked as a byte.
    std::vector<uint8_t> linked_before;
    // By rule: a copy of Engine::flush_linked.
    std::vector<uint8_t> flush_linked_before;
};


// The engine's record: the compiled program (program.h), the runtime state
// (runtime.h), and the little that belongs to the engine as a whole and
// outlives a reset (below). Fields are public: the engine's operations live in
// many files. Callers outside the engine use Session (session.h).
class Engine : public Program, public Runtime {
public:
    // Built from the declared types: refuses a
    // repeated name, a reserved name and more than 64 fields; appends the six
    // built-in types after the declared ones.
    static EngineResult<Engine> create(std::vector<TypeSchema> schemas);

    // Empties working memory and runtime state; keeps everything compiled.
    // Rebuilds the network and re-inserts the InitialFact when a rule needs it.
    EngineStatus reset();
    // Live facts for results, FactId order: no built-in, query row or groupby
    // row types, no facts of a named entry point.
    std::vector<FactView> facts() const;
    // The handles of the facts facts() renders, in the same order, unrendered.
    std::vector<FactId> fact_ids() const;
    // Those of them that are of type t, ascending.
    std::vector<FactId> fact_ids_of_type(TypeId t) const;
    // Those of `ids` that fact_ids() would list were they alive, in order.
    std::vector<FactId> listed_among(std::vector<FactId> ids) const;
    // Type name of a live fact; none for a deleted one; an error for a handle
    // that was never issued.
    EngineResult<std::optional<std::string>> fact_type_name(FactId fact) const;
    // "unknown handle {}" for a handle that was never issued since the last reset.
    EngineStatus check_handle(FactId fact) const;
    // "{operation} of the engine's own fact {} ({type})" for a fact in
    // own_facts: an outside change of one would leave the node that made it
    // holding a fact that no longer says what the node decided.
    EngineStatus refuse_own_fact(FactId fact, std::string_view operation) const;

    // Rule compilation and loading.
    Result<CompiledRule, std::string> compile_rule(RuleDef def);
    // A constraint group: the tree, with its key appended to `key`, the fields
    // it reads set in `field_mask` and `refs_bindings` set when it reads a
    // variable of another pattern than `position`.
    Result<GExpr, std::string> compile_gexpr(const CExpr& e, TypeId type, std::string_view rule,
                                             std::optional<size_t> position, const Bindings& bound,
                                             const HashSet<std::string>& minmax_double, uint64_t& field_mask,
                                             bool& refs_bindings, std::string& key) const;
    EngineStatus add_rules_text(std::string_view text);
    // What the pattern tests and how it feeds the network; equal keys mean
    // interchangeable patterns.
    std::string pattern_key(const CompiledPattern& p, size_t rule, size_t pattern) const;
    // keys[r][p]: the pattern key of pattern p of rule r. Rules share the Lia
    // of equal first keys and the node of pattern p while all keys up to p agree.
    void build_network(const std::vector<std::vector<std::string>>& keys);
    // The network as text, one line per Lia, node and rule, for tests.
    std::string dump_network() const;

    // Events and time.
    EngineStatus declare_event(std::string_view type_name, std::string_view ts_field,
                               std::optional<std::string_view> duration_field, std::optional<int64_t> expires_ms);
    EngineStatus advance(int64_t ms);

    // Facts. A handle the engine never issued gives "unknown handle {}", one
    // of the engine's own facts (own_facts) is refused; an update of a
    // deleted fact is refused, its delete does nothing.
    EngineResult<FactId> insert(std::string_view type_name, std::vector<std::pair<std::string, Value>> row);
    EngineResult<FactId> insert_into(std::string_view type_name, std::vector<std::pair<std::string, Value>> row,
                                     std::optional<std::string_view> entry_point);
    // The checks of insert_into without storing anything: the row converted to
    // the type's fields, or the error insert_into would give. With
    // insert_prepared, a caller checks a whole batch before storing any of it.
    EngineResult<PreparedInsert> prepare_insert(std::string_view type_name,
                                                std::vector<std::pair<std::string, Value>> row,
                                                std::optional<std::string_view> entry_point) const;
    EngineResult<FactId> insert_prepared(PreparedInsert prepared);
    // Rows of type `type` (the default entry point) as whole columns in the
    // store's form (FactStore::append_columns), every cell already converted
    // and checked: the same as insert_prepared row by row, in one pass. The
    // facts take consecutive FactIds in row order; the first is returned.
    EngineResult<FactId> insert_columns(TypeId type, std::vector<Column> columns, size_t rows);
    // Rows of type `type` (the default entry point) as whole columns, one per
    // field in field order, each with exactly `rows` cells of one kind (any
    // kind insert converts to the field's) and validity where a cell may be
    // null. All or nothing: every cell is converted as insert converts it,
    // and the first row that insert would refuse gives insert's error with
    // nothing stored; else the rows are stored as insert_columns stores them.
    EngineResult<FactId> insert_table(TypeId type, std::vector<Column> columns, size_t rows);
    // All or nothing: a refused pair writes nothing and propagates nothing.
    EngineStatus update_fact(FactId fact, std::vector<std::pair<std::string, Value>> changes);
    EngineStatus delete_fact(FactId fact);
    // Run first by every outside change (a nested one leaves it to its
    // caller): gives back the rows of the facts that died in earlier calls
    // once the store finds it due, but for those dead_facts_still_named.
    void reclaim_dead_rows_if_due();
    // The dead facts, ascending, that work still to come may read. Rules are
    // evaluated lazily: a fact's delete, and the retraction of the tuples
    // holding it, may wait in staged input for many calls, and evaluating
    // them reads the fact's cells (join tests, keys, truth maintenance).
    // Every such read goes through something pending that names the fact,
    // itself or in a tuple: staged input of nodes, windows and terminals,
    // deferred and parked tuples, timers, the truth maintenance queues, the
    // queued window changes, the clock's schedules, and the collection
    // members and query answer rows that firings render. A fact once no
    // longer named is read no more, which reclaim_eagerly tests.
    std::vector<FactId> dead_facts_still_named() const;
    // Drops the published members of collection results that are dead (their
    // context or group went in an earlier call): no firing renders them again.
    void forget_members_of_dead_collections();
    // After a reclaim that gave back the rows of `reclaimed`: releases the
    // tuples that hold one of those facts, and what the network keeps of
    // them and of those facts. Costs what went, not what is held: the
    // tuples are found by fact, and a node or a rule's list is walked only
    // when it holds fewer entries than went.
    struct ReleaseWork {
        size_t tuples = 0;   // released
        uint64_t reads = 0;  // tuple records and node and list entries read
    };
    ReleaseWork release_tuples_of_reclaimed(std::vector<FactId> reclaimed);

    // Change propagation (propagation.cpp). The fact's row must already be in
    // its new state (inserted, overwritten or marked dead). A stamp is none for
    // outside changes, the firing rule's index for a right-hand side's.
    // Whether `fact` passes pattern `pattern` of rule `rule` on its own: type,
    // entry point and the tests that read no other fact.
    bool alpha_passes_fields(size_t rule, size_t pattern, FactId fact) const;
    void on_insert(FactId fact, Stamp stamp);
    // The first fire's intake of the facts stored before it, in order: what
    // on_insert(f, none) of each in turn does, in a session without event types.
    void on_insert_stored(std::span<const FactId> facts);
    // What follows the store's insert of an outside fact: entry point, event
    // time, schedules, and propagation once the engine propagates as it goes.
    void after_outside_insert(FactId fact, TypeId type, uint32_t entry_point);
    // `mask`: bit i = field i was written; all ones means every field.
    void on_update(FactId fact, uint64_t mask, Stamp stamp);
    // `window`: the caller queued the delete for the windowed accumulates,
    // which therefore leave the fact alone here.
    void on_delete_ex(FactId fact, Stamp stamp, bool window);

    // Lazy linking (linking.cpp). rule_linked: every pattern of the rule could
    // still be satisfied, judged from membership counts alone.
    bool rule_linked(size_t rule) const;
    // rule_linked without what an exists group's node holds: every member of
    // the group that is no not pattern admits a fact. The node takes in
    // tuples when a rule sharing the chain before it is evaluated, which no
    // change notes; a rule linked only by that cannot match until a change
    // admits the member's fact, and that change marks it. The self-checks
    // hold only rules linked by their facts to their marks.
    bool rule_linked_by_facts(size_t rule) const;
    // After one staged change, for the given rules only, and for one rule:
    // marks the rules whose link state changed or that hold pending work;
    // `linked_before` (one byte per rule) is brought up to date.
    void note_link_effects_on(const std::vector<size_t>& touched, std::vector<uint8_t>& linked_before);
    void note_link_effect(size_t rule, std::vector<uint8_t>& linked_before);
    // The marks of a rule that is linked and was linked before the change.
    void note_still_linked(size_t rule);
    // Some window, the terminal input or a node of the rule holds staged input
    // (or a node deferred tuples).
    bool has_pending_work(size_t rule) const;
    // Only the stream flush reads a snapshot, and in a session without event
    // types it returns before reading one: there the snapshot is left empty.
    StageSnapshot stage_snapshot() const;
    // The same over the places an insert of a fact of type `type` can reach.
    StageSnapshot stage_snapshot_for(TypeId type) const;
    // Derives flush_scopes from the network (stream_flush.cpp); run by build_network.
    void build_flush_scopes();
    // Steps shared by the propagation operations: the linked flags of tracked
    // queries recomputed; a fact taken into or let go from a Lia's passing set
    // with its windows and first-pattern inputs; a fact admitted to a node's
    // right side (win_in and the first-blocker mark).
    void refresh_query_links();
    // Files every Lia and node under its pattern's type, so that a change
    // visits only the places that read its type, and the ?query nodes under
    // the types their queries read. Run by build_network.
    void route_network_by_type();
    class LinkNotes;
    class UpdateRoutes;
    // The routes of its type that `fact` passes, as places in the type's
    // route lists (AlphaRoutes), into found.lias and found.nodes; whether any.
    bool find_passing_routes(FactId fact, RouteScratch& found);
    // The insert of `fact`, stored and alive, staged at the routes `passing`
    // names (find_passing_routes) among `lia_routes` and `node_routes`
    // (those of its type), with the marks that follow.
    void route_insert(FactId fact, Stamp stamp, const RouteScratch& passing, std::span<const size_t> lia_routes,
                      std::span<const size_t> node_routes, LinkNotes& notes);
    // After a change of `fact` has propagated: every Lia of its type holds it
    // exactly when it passes the Lia's alpha tests, and so does every node
    // but accumulates (whose windows decide). The sanitizer build checks it
    // after every update and delete.
    void verify_routes_of(FactId fact) const;
    void lia_take_in(size_t lia, FactId fact, Stamp stamp);
    void lia_let_go(size_t lia, FactId fact, Stamp stamp);
    void node_admit(size_t node, FactId fact);

    // Hooks of features that other files own; each runs at its place in the
    // fact operations and propagation above.
    // Expiry schedule of a new fact: 0 already due (queued), 1 scheduled, 2 not
    // an expiring event, 255 negative deadline (time.cpp).
    uint8_t schedule_expiration(FactId fact);
    // When an expiring event is gone: `matched` when some rule pattern reads
    // its type (time.cpp). None for a fact that never expires. The second
    // form takes the declaration and the event time already looked up.
    std::optional<int64_t> expiry_deadline(FactId fact, bool matched) const;
    std::optional<int64_t> expiry_deadline(const EventDecl& decl, FactId fact, int64_t ts, bool matched) const;
    // Whether the clock has reached the expiry of an event that some rule
    // reads: such an event is never admitted to an accumulate.
    bool past_expiry(FactId fact) const;
    void schedule_window_evictions(FactId fact);
    // Sliding windows of accumulates (windows.cpp).
    bool winacc_admits(size_t node, FactId fact) const;
    void winacc_step(size_t node, FactId fact, uint64_t changed, Stamp stamp);
    // The marks after a change of accumulate node `node`'s input: an
    // accumulate pattern never decides whether its rule is linked, so no link
    // state moves, and only the rules listing the node can have gained
    // pending work; the linked ones among them are marked.
    void note_acc_input(size_t node);
    // The clock's eviction of `fact` from windowed accumulate node `node`, when
    // its window closes after the clock and none is scheduled yet.
    void schedule_window_eviction(size_t node, FactId fact);
    // Truth maintenance (tms.cpp): a stored fact of a logical type becomes a
    // stated copy of its content; a delete is routed (a delete of a logical
    // fact forgets its justifications); an updated or deleted fact that no
    // longer supports a one-pattern activation takes that activation's
    // justifications with it, and the logical facts left without one.
    void tms_note_stated(FactId fact);
    TmsRoute tms_route_delete_ex(FactId fact, bool reinstate);
    void tms_eager_break(FactId fact);
    // Forgets activation (rule, tuple)'s justifications and deletes the
    // logical facts left without one; those it deleted, in order.
    std::vector<FactId> tms_drop_act_deps(size_t rule, TupleId tuple);
    // Some fact of the tuple is an event the clock expired.
    bool tms_tuple_expiring(TupleId tuple) const;
    // Shadow evaluators (shadows.cpp): a new fact offered to the evaluators
    // keyed by its type and entry point (`expiry` as schedule_expiration gave
    // it); an updated fact refreshed in them; a deleted fact dropped from them;
    // the gate sides told of an insert or a delete with its stamp.
    void shadow_intake(FactId fact, uint8_t expiry);
    void shadow_refresh(FactId fact);
    void shadow_drop(FactId fact);
    void shadow_gate_insert(FactId fact, uint64_t seq);
    void shadow_gate_delete(FactId fact, uint64_t seq);
    // Some rule has an evaluator: callers skip the hooks above otherwise.
    bool has_shadows() const { return !shadow_routes.rules.empty(); }
    // The insert-time evaluation of sessions with event types (stream_flush.cpp).
    void stream_flush_ex(const StageSnapshot& snapshot, bool close_windows);
    // Truth maintenance told of the terminal: a tuple left it; a parked tuple
    // comes back through its update (tms.cpp).
    void tms_on_terminal_del(size_t rule, TupleId tuple);
    void tms_parked_del(size_t rule, TupleId tuple);
    void tms_unpark_upd(size_t rule, TupleId tuple);
    // Where the rule's side evaluator emitted `fact`: its place in the
    // evaluator's output, none when it did not (shadows.cpp).
    std::optional<size_t> shadow_out_place(size_t rule, ShadowKind kind, FactId fact) const;
    // A rule that takes its activations in shadow order: the evaluator whose
    // output orders them (null when the rule has none built: every key is
    // then the same) and the tuple position of the fact looked up there. None
    // for a rule in the default order.
    struct ShadowOrder {
        const ShadowCommon* shadow = nullptr;
        size_t position = 0;
    };
    std::optional<ShadowOrder> shadow_order(size_t rule) const;
    // Sets the rule's shadow order fields from its marks and its evaluator;
    // run by build_network.
    void decide_shadow_order(size_t rule);

    // Lazy evaluation (evaluation.cpp). Brings one rule's match state up to
    // date: walks its chain over the staged input and turns the tuples that
    // reach the end into activations. Runs only when the rule is dirty and,
    // unless `force`, on the agenda. A failing node parks its error in
    // pending_error, leaves its input staged and the rule dirty.
    void evaluate_rule_inner(size_t rule, bool force);
    // Evaluates an Acc, Query, SubnetNot or SubnetExists node into out.trg
    // (engine_ce_nodes.cpp). `inner` is the subnetwork inner input, empty for
    // the other kinds. On failure the node's own state must be left as it was:
    // the caller puts the batches back.
    EngineStatus eval_engine_node(size_t node, Staged<TupleId> left, Staged<FactId> right, Staged<TupleId> inner,
                                  Out& out);
    // Whether a pass of engine-side node `node` can fail at all; the caller
    // copies the batches to put back only when it can.
    bool engine_node_can_fail(size_t node) const;
    // One pass of a plain accumulate or collect node (accumulate.cpp) and of a
    // groupby node (groupby.cpp), whose pattern is `pattern` of `rule`. A pass
    // that fails (a sum out of range, a null group key) changes nothing.
    EngineStatus eval_acc_node(size_t node, size_t rule, size_t pattern, Staged<TupleId> left, Staged<FactId> right,
                               Out& out);
    EngineStatus eval_groupby_node(size_t node, size_t rule, size_t pattern, Staged<TupleId> left,
                                   Staged<FactId> right, Out& out);
    // A ?query node: one child per answer row, the left tuple extended by the
    // row's fact (query_nodes.cpp). The query runs before anything changes,
    // so a failing query leaves the node and the store as they were.
    EngineStatus eval_query_node(size_t node, Staged<TupleId> left, Out& out);
    // A not or exists over a group of patterns: a present left tuple is
    // emitted exactly while no inner tuple extends it (not), or while one
    // does (exists) (subnet_nodes.cpp).
    void eval_subnet_node(size_t node, Staged<TupleId> left, Staged<TupleId> inner, Out& out);
    // Files the ?query nodes under the types their queries read (QueryNodes);
    // run with every network build.
    void index_query_nodes();
    // A fact changed (`mask`: the fields written, all ones for an insert or a
    // delete): the ?query nodes whose queries read them are due to ask again,
    // and their rules are marked for evaluation.
    void note_query_inputs(FactId fact, uint64_t mask, Stamp stamp);
    // Whether node `node` is a ?query node due to ask again.
    bool query_refresh_due(size_t node) const;

    // Sets the rule's agenda flag and lists the rule in agenda_queue: the one
    // way the flag is set.
    void put_on_agenda(size_t rule) {
        nets[rule].on_agenda = true;
        agenda_queue.enter(rule);
    }

    // Activations (activations.cpp). Appends an activation of `tuple`: the
    // tuple keeps its sequence number while seq_by_tuple holds it; an
    // expression salience also refreshes top_salience and on_agenda.
    void push_activation(size_t rule, TupleId tuple);
    // The salience a new activation of `tuple` gets.
    int32_t activation_salience(size_t rule, TupleId tuple) const;
    // The slot in acts of the activation that fires next; acts must not be empty.
    uint32_t next_activation(size_t rule) const;
    // Removes that activation, the others keeping their order.
    Act take_activation(size_t rule);

    // Checks the engine's invariants (verify.cpp): activation lists against
    // their firing order, passing sets against the alpha tests, window sets
    // against node memories, agenda marks against staged input. Throws
    // InternalError naming the rule or node of the first one broken. The
    // sanitizer build runs it after the agenda's evaluations and every firing,
    // through verify_after_step.
    void verify() const;
    // verify() at its pace: at every step of a small session, at one step in
    // facts/256 of a large one, where each check reads every fact.
    void verify_after_step();
    uint64_t verify_steps_to_skip = 0;

    // Firing (agenda.cpp): fires to quiescence; at most `fire_limit` firings.
    // On an error the firings of the call are dropped; fact changes stay.
    // `report`, when given, is filled on success and on error alike.
    EngineResult<Firings> fire_all(uint64_t fire_limit, FireReport* report = nullptr);
    // Keeps the firing of `rule` on `facts` in `out` as a Firing will show it
    // (firings.cpp), with the names of names_for_firings.
    void keep_firing(Firings& out, size_t rule, TupleView facts) const;
    // The rule and type names a fire's Firings show, made again only when
    // rules or types were added since.
    std::shared_ptr<const Firings::Names> names_for_firings();
    // The value of a source for a tuple; `snapshot` holds the value rows taken
    // before a firing's actions ran.
    Value eval_src(const Src& src, TupleView tuple, const std::vector<std::vector<Value>>& snapshot) const;
    // The same with no snapshot (null) meaning the live values.
    Value arg_value(const Src& src, TupleView tuple, const std::vector<std::vector<Value>>* snapshot) const;
    // Runs rule r's right-hand side on `tuple` (actions.cpp). Every change is
    // stamped with r; the first failing action ends it, earlier ones stay.
    EngineStatus run_actions(size_t rule, TupleView tuple);
    // A fired fact as a Firing shows it: collection results carry their members.
    FactView render_fired(FactId fact) const;
    // The fact at tuple position `position` of a match of rule `rule` as a
    // Firing shows it: a query row as the arguments of its call (render_qargs),
    // any other fact as render_fired does.
    FactView render_fired_at(size_t rule, size_t position, FactId fact) const;
    // The call of the rule's ?query element at tuple position `position`, as
    // a pseudo fact "QueryArgs" (no fields, id u32::MAX) whose members are the
    // answer row's values, one per argument: empty where the call gave the
    // argument, scalar_view of the value where the query bound it. None when
    // no ?query element sits at that position.
    std::optional<FactView> render_qargs(size_t rule, size_t position, FactId row) const;
    // Whether `fact` is an answer row of a ?query element.
    bool is_query_row(FactId fact) const;
    // When set, fire_all hands each firing here in place of rendering it, and
    // returns no Firing.
    FiringSink* firing_sink = nullptr;
    std::shared_ptr<const Firings::Names> firing_names;  // names_for_firings

    // Hooks of features that other files own, reached from the firing loop and
    // the clock. Truth maintenance (tms.cpp), during a firing: a logical insert
    // justifies its content by the firing activation and answers whether the
    // content needs a fact of its own; if so the caller stores one and hands it
    // to tms_logical_stored before propagating it. A right-hand side's delete
    // of a content's last stated copy may bring the logical fact back
    // (tms_reinstated). After the last action the activation justifies what
    // this firing inserted and no longer what an earlier firing of it did.
    bool tms_justify_logical(TypeId type, const std::vector<Value>& values);
    void tms_logical_stored(FactId fact);
    void tms_reinstated(FactId fact);
    void tms_after_firing();
    // Sliding windows (windows.cpp): a fact leaves accumulate node `owner`;
    // the same for every (owner, fact) of `due`, in order, with one look at
    // the rules afterwards (what advance does).
    void stage_acc_removal(uint64_t owner, FactId fact);
    void stage_acc_removals(const std::vector<std::pair<uint64_t, FactId>>& due);
    // Shadow evaluators (shadows.cpp): an event the clock expired; the
    // catch-up at the start of a fire; the quiescence evaluation of the
    // exists-gated ones; their output forgotten at the end of a fire.
    void shadow_note_expired(FactId fact);
    void shadow_catch_up();
    void shadow_quiescence();
    void shadow_end_of_fire();

    // --- Kept across reset: the environment's switches, the caller's sink
    // (firing_sink above), test switches, and the counters that number things
    // for the whole session.

    // The environment's trace switches, read at their first use in each outside call.
    TraceSwitches switches;
    uint32_t outside_calls = 0;  // nesting of OutsideCall
    // Set by a failure that stopped a change midway: from then on every
    // operation that changes or reads working memory throws that failure
    // again (reset too: the half-updated state may reach the compiled parts).
    BrokenState broken_state;
    // Test switch: false makes build_network give no rule a side evaluator,
    // so that marked rules fire in push order; the set of firings must not
    // change.
    bool build_shadows = true;
    // Test switch: false makes every outside change close the first-pattern
    // windows it filled, as sessions with event types always do, rather than
    // let a window join the one before it (RuleNet::s0_close_window); the
    // firings must not change.
    bool merge_windows = true;
    // Test switch: true makes nearly every outside change give back the rows
    // of dead facts first (reclaim_dead_rows_if_due), rather than once they
    // pile up, so that a read of a dead fact across calls shows at once; the
    // firings must not change. The verifying build always does.
    bool reclaim_eagerly = false;
    // fire_calls at the last reclaim (reclaim_dead_rows_if_due).
    uint64_t fire_calls_at_reclaim = 0;
    uint64_t input_seq = 0;
    uint64_t timer_seq = 0;  // the next TimerEntry::seq
    uint64_t step_count = 0;
    uint64_t fire_calls = 0;

private:
    Engine() = default;
    // The network of the compiled rules built into the runtime from `keys`
    // (keys[r][p]: the pattern key of pattern p of rule r), and the
    // InitialFact inserted when some pattern has its type and the runtime
    // holds none: how a load and a reset each end.
    EngineStatus build_runtime(const std::vector<std::vector<std::string>>& keys);
    // The pattern keys of every compiled rule.
    std::vector<std::vector<std::string>> pattern_keys() const;
};

class Session;
// The engine behind a session, for code inside the engine and for tests that
// reach its internals.
Engine& engine_of(Session& session);

// Names that declared types may not take.
bool is_reserved_type_name(std::string_view name);

// The pattern of the fact at tuple position `target`, as actions name it; a
// group member shares its position with a later pattern and is never one.
const CompiledPattern* action_target(const CompiledRule& rule, size_t target);

// The literal an equality test on a field of type `field` compares with: an
// integer on a double field becomes that double, a whole double that an i64
// holds on an integer field becomes that integer; every other literal stays.
Value canonical_eq_literal(const Value& lit, const FieldType& field);

// The key text of one test as pattern_key writes it: two tests of one field
// with equal texts, at one pattern position, pass the same facts.
std::string pattern_test_key(const Test& test, const FieldType& field_type);

// A stable text of a compiled rule (patterns with positions, slots, index
// operators, masks and tests; accumulate result types; actions) for tests.
std::string dump_compiled_rule(const CompiledRule& rule, const FactStore& store);

}  // namespace quarn
