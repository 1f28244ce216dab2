// Result<T, E>: the value of a fallible operation, or its error.
//
// Errors that a caller can act on travel in a Result; a broken invariant throws
// InternalError instead (see internal_error.h).
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "common/internal_error.h"

namespace quarn {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Reading the value of an error (or the error of a value) is a broken
    // invariant, never undefined behaviour.
    T& value() & { return std::get<0>(checked(0)); }
    const T& value() const& { return std::get<0>(checked(0)); }
    T value() && { return std::get<0>(std::move(checked(0))); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { return std::get<1>(checked(1)); }
    const E& error() const& { return std::get<1>(checked(1)); }
    E error() && { return std::get<1>(std::move(checked(1))); }

private:
    std::variant<T, E>& checked(size_t index) {
        if (v_.index() != index) invariant_broken(index == 0 ? "value of a failed result" : "error of a successful result");
        return v_;
    }
    const std::variant<T, E>& checked(size_t index) const { return const_cast<Result*>(this)->checked(index); }

    std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F>
    Result(Err<F> e) : err_(E(std::move(e.error))), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }

    E& error() & { return err_; }
    const E& error() const& { return err_; }
    E&& error() && { return std::move(err_); }

private:
    E err_{};
    bool failed_ = false;
};

#define QUARN_CAT2(a, b) a##b
#define QUARN_CAT(a, b) QUARN_CAT2(a, b)
// `QUARN_TRY(auto x, expr);` binds the value of a Result or returns its error
// from the enclosing function (whose Result must accept that error type).
#define QUARN_TRY(decl, expr)                                                                  \
    auto QUARN_CAT(quarn_try_, __LINE__) = (expr);                                              \
    if (!QUARN_CAT(quarn_try_, __LINE__)) return err(std::move(QUARN_CAT(quarn_try_, __LINE__)).error()); \
    decl = std::move(QUARN_CAT(quarn_try_, __LINE__)).value()
// `QUARN_CHECK(expr);` returns the error of a Result<void, E>.
#define QUARN_CHECK(expr)                                                                      \
    do {                                                                                       \
        auto quarn_check_ = (expr);                                                            \
        if (!quarn_check_) return err(std::move(quarn_check_).error());                        \
    } while (0)

// Status: success, or a message. The store and the value layer report their
// failures as plain texts that callers wrap.
using Status = Result<void, std::string>;

}  // namespace quarn
