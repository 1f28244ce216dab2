// The rules on the agenda by group, in choice order (agenda_queue.h).
#include "engine/agenda_queue.h"

#include <algorithm>
#include <functional>

#include "common/internal_error.h"

namespace quarn {

namespace {

const std::string kMain = "MAIN";

bool constant_salience(const CompiledRule& rule) { return rule.salience.kind == CompiledSalience::Kind::Const; }

}  // namespace

void AgendaQueue::build(const Program& program) {
    const size_t n = program.rules.size();
    group_numbers_ = {};
    group_numbers_.emplace(kMain, 0);
    group_of_.assign(n, 0);
    for (size_t r = 0; r < n; ++r) {
        const std::optional<std::string>& g = program.rules[r].def.agenda_group;
        group_of_[r] = group_numbers_.try_emplace(g ? *g : kMain, static_cast<uint32_t>(group_numbers_.size()))
                           .first->second;
    }
    groups_.assign(group_numbers_.size(), Group{});
    place_.assign(n, 0);
    for (size_t i = 0; i < program.rule_order.size(); ++i) place_[program.rule_order[i]] = static_cast<uint32_t>(i);
    constant_.assign(n, 0);
    eager_.clear();
    for (size_t r : program.rule_order) {
        const CompiledRule& rule = program.rules[r];
        constant_[r] = constant_salience(rule) ? 1 : 0;
        if (!constant_[r] || rule.def.no_loop) eager_.push_back(r);
    }
    // The loop's choice among rules of constant salience: the highest
    // salience, then the smallest agenda order, then the first in rule_order.
    rule_of_rank_.clear();
    for (size_t r = 0; r < n; ++r)
        if (constant_[r]) rule_of_rank_.push_back(static_cast<uint32_t>(r));
    std::sort(rule_of_rank_.begin(), rule_of_rank_.end(), [&](uint32_t a, uint32_t b) {
        const CompiledRule& ra = program.rules[a];
        const CompiledRule& rb = program.rules[b];
        if (ra.salience.value != rb.salience.value) return ra.salience.value > rb.salience.value;
        if (ra.def.decl_seq != rb.def.decl_seq) return ra.def.decl_seq < rb.def.decl_seq;
        return place_[a] < place_[b];
    });
    rank_.assign(n, 0);
    for (size_t k = 0; k < rule_of_rank_.size(); ++k) rank_[rule_of_rank_[k]] = static_cast<uint32_t>(k);
    listed_.assign(n, 0);
    watched_group_ = kNoGroup;
    watch_ = nullptr;
}

void AgendaQueue::enter(size_t rule) {
    if (rule >= listed_.size()) invariant_broken("an unknown rule put on the agenda");
    if (listed_[rule]) return;
    listed_[rule] = 1;
    Group& g = groups_[group_of_[rule]];
    if (constant_[rule]) {
        g.constant_ranks.push_back(rank_[rule]);
        std::push_heap(g.constant_ranks.begin(), g.constant_ranks.end(), std::greater<uint32_t>());
    } else {
        g.expression_rules.push_back(static_cast<uint32_t>(rule));
    }
    if (watch_ && group_of_[rule] == watched_group_) watch_->push_back(rule);
}

uint32_t AgendaQueue::group_number(std::string_view name) const {
    auto it = group_numbers_.find(name);
    return it == group_numbers_.end() ? kNoGroup : it->second;
}

void AgendaQueue::pop_first(std::vector<uint32_t>& heap) {
    std::pop_heap(heap.begin(), heap.end(), std::greater<uint32_t>());
    heap.pop_back();
}

}  // namespace quarn
