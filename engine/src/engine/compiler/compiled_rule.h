// The compiled rule: what Engine::compile_rule makes of one RuleDef, and the
// only form of a rule that network building, the loader and the runtime read.
//
// Every name is resolved: fact types to TypeIds, fields to field indexes of the
// type's schema, bindings to tuple positions. A tuple holds one FactId per
// positive pattern, at that pattern's position (positions count from 0 in
// pattern order); not and exists patterns add no entry. The records are plain
// values, built once per rule and read-only afterwards, except that the loader
// canonicalises the literals of equality tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"
#include "network/index_spec.h"
#include "parser/condition_tree.h"
#include "parser/rule_tree.h"
#include "rx/rx.h"
#include "store/value.h"

namespace quarn {

// CeKind (Positive 0, Not 1, Exists 2) is the parser's: a compiled pattern
// keeps the kind of the element it came from.

// A value source. Tags 0 to 5 are a literal Value with the Value's own tag;
// 6 reads a tuple fact's field from the store when evaluated; 7 reads entry
// `field` of the value row of tuple position `position`, taken before a
// firing's actions run (so it keeps the matched value while a FactField sees
// changes made by earlier actions of the same firing). As a `?query` argument,
// tag 7 with no payload is an output argument that the call binds.
struct Src {
    enum class Kind : uint8_t { Lit = 0, FactField = 1, SnapField = 2 } kind = Kind::Lit;
    Value lit;            // Lit
    size_t position = 0;  // FactField, SnapField
    size_t field = 0;     // FactField, SnapField

    static Src literal(Value v) { return {Kind::Lit, std::move(v), 0, 0}; }
    static Src fact_field(size_t position, size_t field) { return {Kind::FactField, Value(), position, field}; }
    static Src snap_field(size_t position, size_t field) { return {Kind::SnapField, Value(), position, field}; }

    // 0 to 5 for a literal (its Value tag), 6 FactField, 7 SnapField.
    uint8_t tag() const {
        switch (kind) {
            case Kind::Lit: return static_cast<uint8_t>(lit.tag());
            case Kind::FactField: return 6;
            case Kind::SnapField: return 7;
        }
        return 7;
    }
    bool is_literal() const { return kind == Kind::Lit; }
    bool operator==(const Src&) const = default;
};

// An argument of a `?query` element; same encoding as Src (see above).
using CeArg = Src;

// A constraint group: the tree of one constraint that uses &&, || or !.
// Evaluated three-valued (eval_gexpr). Variants in tag order.
struct GExpr {
    enum class Kind : uint8_t { Cmp = 0, IsNull, Unknown, Matches, Contains, In, And, Or, Not } kind = Kind::Unknown;
    size_t field = 0;               // Cmp, IsNull, Matches, Contains, In
    CmpOp op = CmpOp::Eq;           // Cmp
    Src operand;                    // Cmp: a literal or a FactField, never a SnapField
    bool negated = false;           // IsNull (`!= null`), In (`not in`)
    std::optional<Regex> regex;     // Matches
    std::string text;               // Matches: the pattern source; Contains: the needle
    std::vector<Value> items;       // In, in source order
    std::vector<GExpr> children;    // And, Or: in source order; Not: exactly one
};

// One test of a compiled pattern. Tags 0 to 6 in this order.
struct Test {
    enum class Kind : uint8_t { Cmp = 0, IsNull, Unknown, Temporal, Matches, Contains, Group } kind = Kind::Unknown;
    // Cmp: field op rhs. A literal rhs is an alpha test (a decimal literal keeps
    // its own scale); a FactField rhs names a bound field of another pattern
    // (a join test) or of this pattern itself.
    CmpOp op = CmpOp::Eq;
    Src rhs;
    // IsNull: passes on null, or on non-null when negated.
    bool negated = false;
    // Temporal: the relation between this pattern's event and the event at
    // tuple position `anchor`. `params` are the bounds as written (defaults for
    // missing bounds are applied when evaluated).
    AllenOp allen = AllenOp::After;
    size_t anchor = 0;
    size_t anchor_ts_field = 0;
    std::vector<int64_t> params;
    std::optional<size_t> own_duration_field;
    std::optional<size_t> anchor_duration_field;
    // Matches: the pattern source and its compiled form.
    std::string source;
    std::optional<Regex> regex;
    // Contains: the needle.
    std::string text;
    // Group: the tree, its canonical key text, and whether it reads bindings
    // of other patterns (then it is evaluated while joining).
    bool refs_bindings = false;
    std::string key;
    GExpr expr;
};

struct CompiledCmp {
    Test test;
    // The tested field; for a Group the field of its first leaf; for a
    // Temporal test this pattern's timestamp field.
    size_t field = 0;
    // Temporal tests: the anchor binding's name; none for every other test.
    std::optional<std::string> label;
};

// How a compiled pattern takes part in a not/exists group.
struct SubRole {
    enum class Kind : uint8_t { Plain = 0, Member = 1, Group = 2 } kind = Kind::Plain;
    // Group: the member count and the tuple position of the first member
    // (members take base, base + 1, ...). Members come right before their group.
    size_t member_count = 0;
    size_t base = 0;

    bool operator==(const SubRole&) const = default;
};

struct CompiledAcc {
    std::optional<size_t> arg_field;    // none for a function without argument
    std::optional<size_t> key_field;    // groupby only
    std::optional<int64_t> window_ms;   // window:time length
    std::optional<std::string> arg_name;
    // Long, Double, Decimal, Collection or SetCollection; a groupby's own row type.
    TypeId result_type = 0;
    FieldType arg_type = FieldType::i64();  // I64 when there is no argument
    AccFunc func = AccFunc::Count;
};

struct CompiledQce {
    std::vector<CeArg> args;  // one per argument, in order
    uint32_t query = 0;       // the callee's index in the engine's query list
    uint64_t given_mask = 0;  // bit i: argument i is a literal or a bound variable
    TypeId row_type = 0;      // the callee's row type, also the pattern's type
    // (argument, the earlier argument it repeats): an unbound variable named
    // twice binds one value, so an answer row must hold equal values there.
    std::vector<std::pair<uint32_t, uint32_t>> repeats;
};

struct CompiledPattern {
    std::optional<size_t> position;  // tuple position; none for not and exists patterns
    // The position of a positive pattern; a not/exists pattern's ordinal among
    // the rule's not/exists patterns; none on a Group pattern.
    std::optional<size_t> slot;
    // Index into cmps of the comparison kept as a range index; present only
    // for a range index.
    std::optional<size_t> range_cmp;
    std::optional<CompiledAcc> acc;
    SubRole role;
    std::vector<CompiledCmp> cmps;  // constraint order
    std::optional<CompiledQce> qce;
    uint64_t field_mask = 0;  // bit i: some constraint reads field i
    uint64_t bound_mask = 0;  // bit i: a `$x : field` constraint binds field i
    TypeId type_id = 0;
    uint32_t entry_point_id = 0;  // 0 = DEFAULT
    bool beta = false;            // some test refers to another pattern
    CeKind ce = CeKind::Positive;
    // Equality keys, a range index (not/exists only) or none.
    IndexSpec index_op;

    bool has_temporal() const {
        for (const CompiledCmp& c : cmps)
            if (c.test.kind == Test::Kind::Temporal) return true;
        return false;
    }
};

// True when a pattern's tests read the left tuple: a comparison with another
// pattern's field, a group that refers to bindings, or a temporal test. Such a
// not pattern cannot unlink its rule by its own facts alone.
bool not_exempt(const CompiledPattern& p);

// The fields of the pattern's own fact that those tests read (every field a
// group that refers to bindings reads; a temporal test's timestamp and
// duration). A change of one of them may move the fact to other tuples.
uint64_t join_read_fields(const CompiledPattern& p);

struct SalOperand {
    enum class Kind : uint8_t { Int = 0, Field = 1 } kind = Kind::Int;
    int64_t value = 0;    // Int
    size_t position = 0;  // Field: the bound fact's tuple position
    size_t field = 0;     // Field
    bool is_f64 = false;  // Field: the bound field is F64 (else I64)
};

struct CompiledSalience {
    enum class Kind : uint8_t { Const = 0, Expr = 1 } kind = Kind::Const;
    int32_t value = 0;       // Const
    SalOperand first;        // Expr
    std::optional<char> op;  // Expr: '+', '-' or '*' when a second operand follows
    SalOperand second;       // Expr, with op
};

// One right-hand-side statement. Tags: 0 to 7 a setter (the tag of its value
// source), 8 Insert, 9 InsertLogical, 11 Update, 12 Delete, 13 SetFocus.
struct CompiledAction {
    enum class Kind : uint8_t { Setter = 0, Insert = 8, InsertLogical = 9, Update = 11, Delete = 12, SetFocus = 13 }
        kind = Kind::Update;
    Src value;              // Setter
    size_t target = 0;      // Setter, Update, Delete: tuple position
    size_t field = 0;       // Setter
    std::vector<Src> args;  // Insert, InsertLogical: one per field, field order
    TypeId type_id = 0;     // Insert, InsertLogical
    std::string group;      // SetFocus

    uint8_t tag() const { return kind == Kind::Setter ? value.tag() : static_cast<uint8_t>(kind); }
};

struct CompiledRule {
    // Kept whole; the loader adds its base to `ordinal` before compiling.
    RuleDef def;
    std::vector<CompiledPattern> patterns;  // flattened order; index = pattern index
    std::vector<CompiledAction> actions;    // statement order
    // Every query the rule's `?query` patterns call, directly or not; ascending.
    std::vector<uint32_t> query_deps;
    CompiledSalience salience;
    // Shapes for the runtime's side evaluators: each, when present, is the
    // position of the third pattern. ce_event_exists is set only with
    // ce_event_tail and tells that the second pattern is an exists.
    std::optional<size_t> ce_event_tail;
    bool ce_event_exists = false;
    std::optional<size_t> not_tail;
    std::optional<size_t> exists_tail;
};

// A variable bound so far in a rule: where its value sits and its type.
struct Binding {
    size_t position = 0;
    size_t field = 0;
    FieldType type;
};
using Bindings = HashMap<std::string, Binding>;

}  // namespace quarn
