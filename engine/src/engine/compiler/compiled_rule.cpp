// Properties derived from compiled patterns.
#include "engine/compiler/compiled_rule.h"

namespace quarn {

bool not_exempt(const CompiledPattern& p) {
    for (const CompiledCmp& c : p.cmps) {
        switch (c.test.kind) {
            case Test::Kind::Cmp:
                if (c.test.rhs.kind == Src::Kind::FactField) return true;
                break;
            case Test::Kind::Group:
                if (c.test.refs_bindings) return true;
                break;
            case Test::Kind::Temporal: return true;
            default: break;
        }
    }
    return false;
}

namespace {

void add_leaf_fields(const GExpr& e, uint64_t& mask) {
    switch (e.kind) {
        case GExpr::Kind::Unknown: return;
        case GExpr::Kind::And:
        case GExpr::Kind::Or:
        case GExpr::Kind::Not:
            for (const GExpr& c : e.children) add_leaf_fields(c, mask);
            return;
        default: mask |= uint64_t{1} << e.field; return;
    }
}

}  // namespace

uint64_t join_read_fields(const CompiledPattern& p) {
    uint64_t mask = 0;
    for (const CompiledCmp& c : p.cmps) {
        switch (c.test.kind) {
            case Test::Kind::Cmp:
                if (c.test.rhs.kind == Src::Kind::FactField) mask |= uint64_t{1} << c.field;
                break;
            case Test::Kind::Group:
                if (c.test.refs_bindings) add_leaf_fields(c.test.expr, mask);
                break;
            case Test::Kind::Temporal:
                mask |= uint64_t{1} << c.field;
                if (c.test.own_duration_field) mask |= uint64_t{1} << *c.test.own_duration_field;
                break;
            default: break;
        }
    }
    return mask;
}

}  // namespace quarn
