// The token cursor and the recursive-descent grammar built on it. Internal to
// the parser role: the grammar's methods live in condition_grammar.cpp and
// rule_grammar.cpp, the cursor and shared readers in cursor.cpp.
//
// Error positions: "at the current token" is the token at `index_` (the last
// token when the input is used up); "at the consumed token" is the one that
// next() returned last. With no tokens at all an error has no position.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/lexer.h"
#include "parser/rule_tree.h"
#include "common/result.h"

namespace quarn {

template <class T>
using PResult = Result<T, ParseError>;

class Parser {
public:
    explicit Parser(Lexed lexed);

    // Cursor.
    bool at_end() const { return index_ >= tokens_.size(); }
    // The token `ahead` places after the current one, or null past the end.
    const Tok* peek(size_t ahead = 0) const;
    PResult<Tok> next();
    bool at_kw(std::string_view word) const;
    bool at_sym(std::string_view s) const;
    bool at_binding() const;
    PResult<void> expect_sym(std::string_view s);
    PResult<void> expect_kw(std::string_view word);
    PResult<std::string> ident();
    PResult<std::string> dollar_ident();
    ParseError perr(std::string msg) const;          // at the current token
    ParseError err_consumed(std::string msg) const;  // at the consumed token
    // Display text of the current token in debug form: Some("foo") or None.
    std::string current_debug_text() const;

    // Shared readers.
    PResult<Literal> literal();
    PResult<int64_t> duration_ms();

    // Rule and query grammar.
    PResult<RuleFile> file();
    PResult<SalienceSpec> salience();
    PResult<SalTerm> salience_term();
    PResult<std::vector<Action>> statements();
    PResult<RhsArg> rhs_arg();
    PResult<QueryDef> query_decl();
    PResult<std::vector<QElem>> qbranch();
    PResult<QElem> qelem();

    // Condition grammar.
    PResult<CeNode> lhs_or();
    PResult<CeNode> lhs_and();
    PResult<CeNode> lhs_unary();
    PResult<CeNode> lhs_chain(std::string_view word, CeNode::Kind kind, PResult<CeNode> (Parser::*element)());
    PResult<Pattern> pattern();
    PResult<Pattern> accumulate_pattern();
    PResult<Pattern> groupby_pattern();
    PResult<std::vector<Constraint>> constraint_slot();
    PResult<CExpr> cexpr_or(std::optional<std::string>& prev_field);
    PResult<CExpr> cexpr_and(std::optional<std::string>& prev_field);
    PResult<CExpr> cexpr_unary(std::optional<std::string>& prev_field);
    PResult<CExpr> cexpr_chain(std::optional<std::string>& prev_field, std::string_view sym, CExpr::Kind kind,
                               PResult<CExpr> (Parser::*operand)(std::optional<std::string>&));
    PResult<std::vector<Literal>> in_list();

private:
    // Bounds the recursion of the condition grammar; see kMaxNesting.
    class NestingGuard {
    public:
        explicit NestingGuard(Parser& p) : p_(p) { ++p_.nesting_; }
        ~NestingGuard() { --p_.nesting_; }
        bool too_deep() const;
        NestingGuard(const NestingGuard&) = delete;
        NestingGuard& operator=(const NestingGuard&) = delete;

    private:
        Parser& p_;
    };

    PResult<Pattern> pattern_body();
    PResult<Pattern> collect_source(Pattern outer);
    PResult<Pattern> query_call(CeKind ce);
    PResult<RuleDef> rule_head();
    PResult<std::vector<RuleDef>> rule_decl();
    PResult<Action> insert_statement(Action::Kind kind);
    PResult<void> statement(std::vector<Action>& out);
    std::optional<uint32_t> current_pos() const;
    std::optional<uint32_t> consumed_pos() const;

    std::vector<Tok> tokens_;
    std::vector<uint32_t> positions_;
    size_t index_ = 0;
    int nesting_ = 0;
    uint64_t decl_counter_ = 0;
    uint64_t rule_counter_ = 0;
};

// Splits a setter name into its field: setFooBar -> fooBar, setURL -> uRL.
// Refuses other names with "expected setter, got {}" (no position).
PResult<std::string> setter_field(const std::string& method);

// Normalises and lowers a rule's condition tree (the And of its top-level
// elements) into or-free branches, each a list of patterns, in branch order.
// Each branch becomes a copy of `head` (the rule without conditions), and the
// expansion budget is charged for those copies too.
PResult<std::vector<std::vector<Pattern>>> condition_branches(CeNode root, const RuleDef& head);

}  // namespace quarn
