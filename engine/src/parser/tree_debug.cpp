// Debug forms of syntax-tree nodes.
#include <array>

#include "parser/parser.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

// Word and debug name of each operator, indexed by its code.
struct AllenNames {
    const char* keyword;
    const char* name;
};
constexpr std::array<AllenNames, 13> kAllen = {{
    {"after", "After"},
    {"before", "Before"},
    {"coincides", "Coincides"},
    {"meets", "Meets"},
    {"metby", "MetBy"},
    {"overlaps", "Overlaps"},
    {"overlappedby", "OverlappedBy"},
    {"during", "During"},
    {"includes", "Includes"},
    {"starts", "Starts"},
    {"startedby", "StartedBy"},
    {"finishes", "Finishes"},
    {"finishedby", "FinishedBy"},
}};

}  // namespace

std::optional<AllenOp> allen_op_from_keyword(std::string_view word) {
    for (size_t i = 0; i < kAllen.size(); ++i)
        if (word == kAllen[i].keyword) return static_cast<AllenOp>(i);
    return std::nullopt;
}

const char* allen_op_keyword(AllenOp op) { return kAllen[static_cast<size_t>(op)].keyword; }

std::string debug(AllenOp op) { return kAllen[static_cast<size_t>(op)].name; }

std::string debug(CeKind k) {
    switch (k) {
        case CeKind::Positive: return "Positive";
        case CeKind::Not: return "Not";
        case CeKind::Exists: return "Exists";
    }
    unreachable("CeKind out of range");
}

std::string debug(AccFunc f) {
    static constexpr const char* names[] = {"Sum", "Count", "Average", "Min",
                                            "Max", "Collect", "CollectList", "CollectSet"};
    return names[static_cast<size_t>(f)];
}

std::string display(const Tok& t) {
    switch (t.kind) {
        case Tok::Kind::Ident:
        case Tok::Kind::Sym: return t.text;
        case Tok::Kind::StrLit: return quoted(t.text);
        case Tok::Kind::IntLit: return fmt("{}", t.i);
        case Tok::Kind::FloatLit: return float_plain_text(t.f);
    }
    unreachable("token kind out of range");
}

std::string debug(const Tok& t) {
    switch (t.kind) {
        case Tok::Kind::Ident: return fmt("Ident({})", quoted(t.text));
        case Tok::Kind::StrLit: return fmt("StrLit({})", quoted(t.text));
        case Tok::Kind::IntLit: return fmt("IntLit({})", t.i);
        case Tok::Kind::FloatLit: return fmt("FloatLit({})", float_debug_text(t.f));
        case Tok::Kind::Sym: return fmt("Sym({})", quoted(t.text));
    }
    unreachable("token kind out of range");
}

}  // namespace quarn
