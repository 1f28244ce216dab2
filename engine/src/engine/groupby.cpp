// Groupby nodes: the source facts split into groups by their key field, one
// accumulate context per group, each live group published as a row fact under
// the node's left tuple.
#include <algorithm>
#include <utility>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/accumulate.h"
#include "engine/engine.h"

namespace quarn {

namespace {

class GroupbyPass {
public:
    GroupbyPass(Engine& e, size_t node, size_t rule, size_t pattern, Out& out)
        : e_(e),
          node_(e.nodes[node].node),
          st_(e.acc.gb_groups[node]),
          rule_(e.rules[rule]),
          acc_(*e.rules[rule].patterns[pattern].acc),
          env_(e.input_seq, e.store, e.rules[rule], 0, true, e.tuples, e.switches),
          i_(pattern - 1),
          out_(out) {}

    EngineStatus run(const Staged<TupleId>& left, const Staged<FactId>& right) {
        // A null key has no row to be published in: refused before anything changes.
        for (const auto* list : {&right.upd, &right.ins})
            for (const auto& x : *list)
                if (key_of(x.item).is_null()) return engine_err(fmt("rule {}: groupby key is null", rule_.def.name));
        std::optional<std::pair<Node::Memories, GbNodeState>> saved;
        if (acc_sum_can_fail(acc_)) {
            for (const auto& x : right.ins) st_.bounds.note(acc_arg_value(e_.store, acc_, x.item));
            for (const auto& x : right.upd) st_.bounds.note(acc_arg_value(e_.store, acc_, x.item));
            const uint64_t most = node_.right_memory().size() + right.ins.size() + right.upd.size() + 1;
            if (!st_.bounds.safe_for(most, acc_.func, acc_.arg_type)) saved.emplace(node_.memories(), st_);
        }
        pass_ = ++st_.passes;
        Status ok = steps(left, right);
        if (ok && saved) ok = sums_in_range();
        if (!ok) {
            if (!saved) invariant_broken("a groupby sum overflowed within its bounds");
            node_.restore_memories(std::move(saved->first));
            st_ = std::move(saved->second);
            return engine_err(std::move(ok).error());
        }
        // Row facts of groups unpublished by a left delete leave the store
        // only now that nothing can fail.
        for (FactId row : dropped_rows_) drop_row(row);
        results();
        for (uint32_t g : compact_) {
            if (!st_.arena[g].live || !st_.arena[g].ctx.wants_compaction()) continue;
            st_.arena[g].ctx.compact([&](FactId f, uint32_t, uint32_t to) { st_.member_of[f].slot = to; });
        }
        return {};
    }

private:
    Value key_of(FactId f) const { return e_.store.get(f, *acc_.key_field); }

    void drop_row(FactId row) {
        e_.store.expired.erase(row);
        e_.store.remove(row);
    }

    // A group's child carries the stamp of the change that first touched it.
    void mark_dirty(uint32_t g, const Stamp& stamp) {
        if (st_.arena[g].dirty_pass == pass_) return;
        st_.arena[g].dirty_pass = pass_;
        dirty_.emplace_back(g, stamp);
    }

    Status removal(FactId f, const Stamp& stamp) {
        const GbPlace* held = st_.member_of.find(f);
        if (held == nullptr) return {};
        const GbPlace place = *held;
        st_.member_of.erase(f);
        GbGroup& g = st_.arena[place.group];
        QUARN_TRY(const bool stale, acc_remove_in_pass(g.ctx, acc_.func, place.slot, st_.recompute_reads));
        if (stale) stale_.push_back(place.group);
        if (g.ctx.wants_compaction()) compact_.push_back(place.group);
        mark_dirty(place.group, stamp);
        return {};
    }

    Status addition(FactId f, const Stamp& stamp) {
        if (st_.member_of.contains(f)) QUARN_CHECK(removal(f, stamp));
        Value key = key_of(f);
        std::string text = scalar_canon_key(key);
        uint32_t g = 0;
        if (auto it = st_.by_key.find(text); it != st_.by_key.end()) {
            g = it->second;
        } else {
            if (!st_.free_slots.empty()) {
                g = st_.free_slots.back();
                st_.free_slots.pop_back();
            } else {
                g = static_cast<uint32_t>(st_.arena.size());
                st_.arena.emplace_back();
            }
            st_.arena[g] = GbGroup{text, std::move(key), AccCtx{}, true, 0};
            st_.by_key.try_emplace(std::move(text), g);
        }
        Value v = acc_arg_value(e_.store, acc_, f);
        AccCtx& ctx = st_.arena[g].ctx;
        QUARN_CHECK(ctx.apply(acc_.func, v));
        st_.member_of[f] = GbPlace{g, ctx.push_match(f, std::move(v))};
        mark_dirty(g, stamp);
        return {};
    }

    // Every live group, in key-text order.
    std::vector<uint32_t> groups_by_key() const {
        std::vector<uint32_t> out;
        for (const auto& [text, g] : st_.by_key) out.push_back(g);
        std::sort(out.begin(), out.end(), [&](uint32_t a, uint32_t b) { return st_.arena[a].key_text < st_.arena[b].key_text; });
        return out;
    }

    Status steps(const Staged<TupleId>& left, const Staged<FactId>& right) {
        // 1. Left deletes: every published group is withdrawn, in key-text
        // order. The groups keep their members for the next left tuple.
        for (const auto& x : left.del) {
            node_.remove_left(x.item);
            for (uint32_t g : groups_by_key()) {
                AccCtx& ctx = st_.arena[g].ctx;
                if (!ctx.result_fact) continue;
                if (ctx.emitted) acc_retract_child(out_, e_.tuples.extend(x.item, *ctx.result_fact), x.stamp);
                dropped_rows_.push_back(*ctx.result_fact);
                ctx.result_fact.reset();
                ctx.emitted = false;
            }
        }
        // 2. Right deletes.
        for (const auto& x : right.del) {
            node_.remove_right(x.item);
            QUARN_CHECK(removal(x.item, x.stamp));
        }
        // 3. Right updates: out of the old group, into the current one.
        for (const auto& x : right.upd) {
            QUARN_CHECK(removal(x.item, x.stamp));
            QUARN_CHECK(addition(x.item, x.stamp));
        }
        // 4. Right inserts.
        for (const auto& x : right.ins) {
            Key key;
            env_.key_of_right(i_, x.item, key);
            node_.store_right(x.item, std::move(key));
            QUARN_CHECK(addition(x.item, x.stamp));
        }
        // 5. Left inserts. A left tuple that arrives publishes every group.
        for (const auto& x : left.ins) {
            Key key;
            env_.key_of_left(i_, e_.tuples.view(x.item), key);
            node_.store_left(x.item, std::move(key));
        }
        if (!left.ins.empty())
            for (uint32_t g : groups_by_key()) mark_dirty(g, left.ins.front().stamp);
        // Extremes lost to this pass's removals, recomputed once each.
        for (uint32_t g : stale_)
            if (st_.arena[g].live) acc_settle(st_.arena[g].ctx, acc_.func, st_.recompute_reads);
        return {};
    }

    // The sums of the groups' current members lie within their range,
    // whatever the order their changes came in (a pass lists every group it
    // changes dirty).
    Status sums_in_range() const {
        for (const auto& [g, stamp] : dirty_)
            if (st_.arena[g].live) QUARN_CHECK(st_.arena[g].ctx.check_sum_range(acc_.func, acc_.arg_type));
        return {};
    }

    void remove_group(uint32_t g) {
        GbGroup& group = st_.arena[g];
        st_.by_key.erase(group.key_text);
        group = GbGroup{};
        group.live = false;
        st_.free_slots.push_back(g);
    }

    // 6. Results, the dirty list worked from its end.
    void results() {
        if (node_.left_memory().empty()) {
            // Nothing is published; groups that lost every member go.
            for (const auto& [g, stamp] : dirty_)
                if (st_.arena[g].live && st_.arena[g].ctx.live == 0 && !st_.arena[g].ctx.result_fact) remove_group(g);
            return;
        }
        const TupleId t = node_.left_memory().at(node_.left_memory().first_pos()).item;
        for (auto it = dirty_.rbegin(); it != dirty_.rend(); ++it) {
            const auto& [g, stamp] = *it;
            if (!st_.arena[g].live) continue;
            AccCtx& ctx = st_.arena[g].ctx;
            if (ctx.live == 0) {
                if (ctx.result_fact) {
                    if (ctx.emitted) acc_retract_child(out_, e_.tuples.extend(t, *ctx.result_fact), stamp);
                    drop_row(*ctx.result_fact);
                }
                remove_group(g);
                continue;
            }
            std::optional<Value> r = ctx.result_value(acc_.func, acc_.arg_type);
            if (!r) {
                // Members with null arguments only give no result: the child
                // leaves, as a plain accumulate's does; the row fact stays
                // for the group's next result.
                if (ctx.emitted) {
                    acc_retract_child(out_, e_.tuples.extend(t, *ctx.result_fact), stamp);
                    ctx.emitted = false;
                }
                continue;
            }
            if (!ctx.result_fact) {
                Result<FactId, std::string> made = e_.store.insert(acc_.result_type, {std::move(*r), st_.arena[g].key});
                if (!made) invariant_broken("gb row insert: " + made.error());
                ctx.result_fact = *made;
                e_.own_facts.insert(*made);
            } else if (Status ok = e_.store.set_value(*ctx.result_fact, 0, std::move(*r)); !ok) {
                invariant_broken("gb res set: " + ok.error());
            }
            if (acc_.func == AccFunc::Collect || acc_.func == AccFunc::CollectList || acc_.func == AccFunc::CollectSet)
                acc_publish_members(e_.acc, acc_.func, ctx);
            acc_stage_child(out_, ctx, e_.tuples.extend(t, *ctx.result_fact), stamp);
        }
    }

    Engine& e_;
    Node& node_;
    GbNodeState& st_;
    const CompiledRule& rule_;
    const CompiledAcc& acc_;
    JoinEnvImpl env_;
    size_t i_;
    Out& out_;
    uint64_t pass_ = 0;
    std::vector<std::pair<uint32_t, Stamp>> dirty_;  // first-touch order
    std::vector<uint32_t> compact_;
    std::vector<uint32_t> stale_;  // groups whose extreme this pass left stale
    std::vector<FactId> dropped_rows_;
};

}  // namespace

EngineStatus Engine::eval_groupby_node(size_t node, size_t rule, size_t pattern, Staged<TupleId> left,
                                       Staged<FactId> right, Out& out) {
    if (rule >= rules.size() || pattern == 0 || pattern >= rules[rule].patterns.size() ||
        !rules[rule].patterns[pattern].acc || !rules[rule].patterns[pattern].acc->key_field)
        invariant_broken("groupby node without a groupby pattern");
    GroupbyPass pass(*this, node, rule, pattern, out);
    return pass.run(left, right);
}

}  // namespace quarn
