// Result<T, E>: the value of a fallible operation, or its error.
//
// Errors that a caller can act on travel in a Result; a broken invariant throws
// InternalError instead (see internal_error.h).
#pragma once

#include <string>
#include <utility>
#include <variant>

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

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E error() && { return std::get<1>(std::move(v_)); }

private:
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

// Status: success, or a message. The store and the value layer report their
// failures as plain texts that callers wrap.
using Status = Result<void, std::string>;

}  // namespace quarn
