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

}  // namespace quarn
