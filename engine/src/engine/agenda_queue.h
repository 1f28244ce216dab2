// The rules on the agenda, by agenda group, in the order the firing loop
// chooses among them: a choice costs the rules that hold the agenda flag, not
// every rule of the program.
//
// RuleNet::on_agenda stays the flag; this queue lists every rule whose flag is
// set. Engine::put_on_agenda sets the flag and lists the rule in one step, and
// is the only way the flag is set. A rule stays listed after its flag is
// cleared until a look at its group finds it off the agenda and unlists it, so
// the listing is a superset of the rules on the agenda (Engine::verify checks
// it holds them all).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hash.h"
#include "engine/program.h"

namespace quarn {

class AgendaQueue {
public:
    static constexpr uint32_t kNoGroup = ~uint32_t{0};

    // Numbers the program's agenda groups (MAIN is 0), ranks its rules and
    // starts with nothing listed.
    void build(const Program& program);

    // Lists `rule`, whose agenda flag was just set; nothing when listed.
    void enter(size_t rule);
    bool listed(size_t rule) const { return rule < listed_.size() && listed_[rule] != 0; }

    uint32_t group_of(size_t rule) const { return group_of_[rule]; }
    // The number of the group named `name`; kNoGroup when no rule belongs to
    // it (MAIN always has 0).
    uint32_t group_number(std::string_view name) const;
    // The rules whose activations depend on more than a constant salience
    // (an expression salience or no-loop), in rule_order.
    const std::vector<size_t>& eager_rules() const { return eager_; }
    // A rule's place in rule_order.
    uint32_t order_place(size_t rule) const { return place_[rule]; }

    // The listed constant-salience rule of `group` that comes first in choice
    // order (highest salience, then smallest agenda order, then first in
    // rule_order) among those `keep` holds for. Rules ahead of it that `keep`
    // refuses are unlisted: `keep` must hold for every rule on the agenda.
    template <class Keep>
    std::optional<size_t> first_constant(uint32_t group, Keep keep) {
        if (group >= groups_.size()) return std::nullopt;
        std::vector<uint32_t>& heap = groups_[group].constant_ranks;
        while (!heap.empty()) {
            const size_t rule = rule_of_rank_[heap.front()];
            ++looks_;
            if (keep(rule)) return rule;
            pop_first(heap);
            listed_[rule] = 0;
        }
        return std::nullopt;
    }
    // The listed expression-salience rules of `group`, those `keep` refuses
    // unlisted first; in no particular order.
    template <class Keep>
    const std::vector<uint32_t>& expression_rules(uint32_t group, Keep keep) {
        static const std::vector<uint32_t> none;
        if (group >= groups_.size()) return none;
        std::vector<uint32_t>& rules = groups_[group].expression_rules;
        for (size_t i = 0; i < rules.size();) {
            ++looks_;
            if (keep(rules[i])) {
                ++i;
                continue;
            }
            listed_[rules[i]] = 0;
            rules[i] = rules.back();
            rules.pop_back();
        }
        return rules;
    }
    // Every listed rule of `group`, either salience, in no particular order.
    template <class F>
    void for_each_listed(uint32_t group, F f) const {
        if (group >= groups_.size()) return;
        looks_ += groups_[group].constant_ranks.size() + groups_[group].expression_rules.size();
        for (uint32_t rank : groups_[group].constant_ranks) f(rule_of_rank_[rank]);
        for (uint32_t rule : groups_[group].expression_rules) f(size_t{rule});
    }
    // While set, every rule of `group` that enter lists is also appended to
    // `entered`, so that a walk over a group's rules learns of those its own
    // steps put on the agenda.
    void watch(uint32_t group, std::vector<size_t>* entered) {
        watched_group_ = group;
        watch_ = entered;
    }
    // Listed rules looked at so far, for tests that count work.
    uint64_t looks() const { return looks_; }

private:
    struct Group {
        std::vector<uint32_t> constant_ranks;    // a min-heap of ranks: the first in choice order on top
        std::vector<uint32_t> expression_rules;  // rule indexes
    };
    static void pop_first(std::vector<uint32_t>& heap);

    HashMap<std::string, uint32_t> group_numbers_;
    std::vector<uint32_t> group_of_;       // by rule
    std::vector<uint32_t> place_;          // by rule: place in rule_order
    std::vector<uint32_t> rank_;           // by rule: choice rank of a constant-salience rule
    std::vector<uint32_t> rule_of_rank_;   // by rank
    std::vector<uint8_t> constant_;        // by rule
    std::vector<uint8_t> listed_;          // by rule
    std::vector<Group> groups_;            // by group number
    std::vector<size_t> eager_;
    uint32_t watched_group_ = kNoGroup;
    std::vector<size_t>* watch_ = nullptr;
    mutable uint64_t looks_ = 0;
};

}  // namespace quarn
