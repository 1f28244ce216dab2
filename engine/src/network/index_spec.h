// How a node memory is probed: no index (every entry), an equality index on
// the whole join key, or a range index on the key's first value under a
// comparison operator.
#pragma once

#include <cstdint>

#include "store/value.h"

namespace quarn {

enum class IndexKind : uint8_t { None, Equality, Range };

class IndexSpec {
public:
    // No index.
    constexpr IndexSpec() = default;
    static constexpr IndexSpec none() { return {}; }
    static constexpr IndexSpec equality() { return IndexSpec(IndexKind::Equality, CmpOp::Eq); }
    // A probe value p reaches a stored first key value k when `p op k` holds.
    static constexpr IndexSpec range(CmpOp op) { return IndexSpec(IndexKind::Range, op); }

    constexpr IndexKind kind() const { return kind_; }
    // The operator of a range index; Eq for the other kinds.
    constexpr CmpOp op() const { return op_; }
    constexpr bool operator==(const IndexSpec&) const = default;

    // The one number that rule and network dumps print: 0 to 5 the operator
    // of a range index (CmpOp order), 6 none, 7 equality.
    constexpr uint8_t code() const {
        switch (kind_) {
            case IndexKind::None: return 6;
            case IndexKind::Equality: return 7;
            case IndexKind::Range: break;
        }
        return static_cast<uint8_t>(op_);
    }

private:
    constexpr IndexSpec(IndexKind kind, CmpOp op) : kind_(kind), op_(op) {}

    IndexKind kind_ = IndexKind::None;
    CmpOp op_ = CmpOp::Eq;
};

}  // namespace quarn
