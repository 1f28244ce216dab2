// The token cursor and the readers the grammar shares.
#include "parser/grammar.h"

#include "parser/parser.h"
#include "store/debug_form.h"
#include "common/text.h"

namespace quarn {

Parser::Parser(Lexed lexed) : tokens_(std::move(lexed.tokens)), positions_(std::move(lexed.positions)) {}

const Tok* Parser::peek(size_t ahead) const {
    size_t k = index_ + ahead;
    return k < tokens_.size() ? &tokens_[k] : nullptr;
}

std::optional<uint32_t> Parser::current_pos() const {
    if (positions_.empty()) return std::nullopt;
    return positions_[std::min(index_, positions_.size() - 1)];
}

std::optional<uint32_t> Parser::consumed_pos() const {
    if (positions_.empty()) return std::nullopt;
    size_t k = index_ == 0 ? 0 : index_ - 1;
    return positions_[std::min(k, positions_.size() - 1)];
}

ParseError Parser::perr(std::string msg) const { return ParseError{std::move(msg), current_pos()}; }

ParseError Parser::err_consumed(std::string msg) const { return ParseError{std::move(msg), consumed_pos()}; }

std::string Parser::current_debug_text() const {
    const Tok* t = peek();
    return t ? fmt("Some({})", quoted(display(*t))) : std::string("None");
}

PResult<Tok> Parser::next() {
    if (at_end()) return err(perr("unexpected end of input"));
    return tokens_[index_++];
}

bool Parser::at_kw(std::string_view word) const {
    const Tok* t = peek();
    return t && t->is_ident(word);
}

bool Parser::at_sym(std::string_view s) const {
    const Tok* t = peek();
    return t && t->is_sym(s);
}

bool Parser::at_binding() const {
    const Tok* t = peek();
    return t && t->is_binding();
}

PResult<void> Parser::expect_sym(std::string_view s) {
    QUARN_TRY(Tok t, next());
    if (!t.is_sym(s)) return err(err_consumed(fmt("expected {}, got {}", quoted(s), display(t))));
    return {};
}

PResult<void> Parser::expect_kw(std::string_view word) {
    QUARN_TRY(Tok t, next());
    if (!t.is_ident(word)) return err(err_consumed(fmt("expected keyword {}, got {}", quoted(word), display(t))));
    return {};
}

PResult<std::string> Parser::ident() {
    QUARN_TRY(Tok t, next());
    if (!t.is_ident()) return err(err_consumed(fmt("expected identifier, got {}", display(t))));
    return std::move(t.text);
}

PResult<std::string> Parser::dollar_ident() {
    QUARN_TRY(std::string name, ident());
    if (name.empty() || name[0] != '$') return err(err_consumed(fmt("expected $binding, got {}", name)));
    return name;
}

bool Parser::NestingGuard::too_deep() const { return p_.nesting_ > kMaxNesting; }

PResult<Literal> Parser::literal() {
    QUARN_TRY(Tok t, next());
    switch (t.kind) {
        case Tok::Kind::StrLit: return Literal::str(std::move(t.text));
        case Tok::Kind::IntLit: return Literal::i64(t.i);
        case Tok::Kind::FloatLit: return Literal::f64(t.f);
        case Tok::Kind::Ident:
            if (t.text == "true") return Literal::boolean(true);
            if (t.text == "false") return Literal::boolean(false);
            if (t.text == "null") return Literal::null();
            break;
        case Tok::Kind::Sym:
            if (t.text == "-") {
                QUARN_TRY(Tok num, next());
                // Number tokens are never negative, so negation cannot overflow.
                if (num.kind == Tok::Kind::IntLit) return Literal::i64(-num.i);
                if (num.kind == Tok::Kind::FloatLit) return Literal::f64(-num.f);
                return err(err_consumed(fmt("expected number after '-', got {}", display(num))));
            }
            break;
    }
    return err(err_consumed(fmt("expected literal, got {}", display(t))));
}

PResult<int64_t> Parser::duration_ms() {
    QUARN_TRY(Tok num, next());
    if (num.kind != Tok::Kind::IntLit) return err(err_consumed(fmt("expected duration, got {}", display(num))));
    QUARN_TRY(Tok unit, next());
    if (unit.is_ident("ms")) return num.i;
    if (unit.is_ident("s")) {
        int64_t ms = 0;
        if (__builtin_mul_overflow(num.i, int64_t{1000}, &ms))
            return err(err_consumed(fmt("duration {}s out of range", num.i)));
        return ms;
    }
    return err(err_consumed(fmt("expected ms/s unit, got {}", display(unit))));
}

}  // namespace quarn
