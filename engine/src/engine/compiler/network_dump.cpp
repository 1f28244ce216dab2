// A text dump of the built network: every Lia, node and rule net, one per line.
#include <string>

#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

namespace {

std::string index_list(const std::vector<size_t>& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += fmt(i ? ", {}" : "{}", v[i]);
    return out + "]";
}

std::string target_text(const Target& t) {
    switch (t.kind) {
        case Target::Kind::Node: return fmt("Node({})", t.index);
        case Target::Kind::Rule: return fmt("Rule({})", t.index);
        case Target::Kind::Subnet: return fmt("Subnet({})", t.index);
    }
    unreachable("target kind out of range");
}

std::string side_text(const ShadowSide& s) { return fmt("{}@{}", s.type, s.entry_point); }

std::string shadow_text(const RuleNet& n) {
    if (n.bf_shadow) return fmt(" shadow Bf {} {}", side_text(n.bf_shadow->gate), side_text(n.bf_shadow->positive));
    if (n.ex_shadow) return fmt(" shadow Ex {} {}", side_text(n.ex_shadow->gate), side_text(n.ex_shadow->positive));
    if (n.pn_shadow) return fmt(" shadow Pn {} {}", side_text(n.pn_shadow->gate), side_text(n.pn_shadow->positive));
    if (n.px_shadow) return fmt(" shadow Px {} {}", side_text(n.px_shadow->gate), side_text(n.px_shadow->positive));
    return "";
}

}  // namespace

// lia <i> rule <r> key <key> nodes [..] rules [..]
// node <i> <Kind> index <op>[ temporal] owner <r>.<p> rules <sharing count>
//      [prefix <n>][ mask <m>] key <key> targets [..]
// net <r> lia <i> nodes [..][ shadow <kind> <gate type@entry> <positive type@entry>]
std::string Engine::dump_network() const {
    std::vector<size_t> sharing(nodes.size(), 0);
    for (const RuleNet& n : nets)
        for (size_t id : n.node_ids) ++sharing[id];

    std::string out;
    for (size_t i = 0; i < lias.size(); ++i) {
        const Lia& l = lias[i];
        out += fmt("lia {} rule {} key {} nodes {} rules {}\n", i, l.rule,
                   pattern_key(rules[l.rule].patterns[l.pattern], l.rule, l.pattern), index_list(l.nodes),
                   index_list(l.rules));
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const TrieNode& t = nodes[i];
        const auto [r, p] = t.owner;
        out += fmt("node {} {} index {}{} owner {}.{} rules {}", i, kind_name(t.node.kind()), t.node.index_op().code(),
                   t.node.temporal() ? " temporal" : "", r, p, sharing[i]);
        if (t.subnet_prefix) out += fmt(" prefix {}", t.subnet_prefix);
        out += fmt(" key {} targets [", pattern_key(rules[r].patterns[p], r, p));
        for (size_t k = 0; k < t.targets.size(); ++k) out += (k ? ", " : "") + target_text(t.targets[k]);
        out += "]\n";
    }
    for (size_t r = 0; r < nets.size(); ++r)
        out += fmt("net {} lia {} nodes {}{}\n", r, nets[r].lia, index_list(nets[r].node_ids), shadow_text(nets[r]));
    return out;
}

}  // namespace quarn
