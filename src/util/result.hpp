// Result<T, E>: a value or an error, the way every fallible operation reports failure.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace vop {

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
    Result(const T& v) : v_(std::in_place_index<0>, v) {}
    Result(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
    template <class E2>
        requires std::is_constructible_v<E, E2&&>
    Result(Err<E2> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { assert(!ok()); return std::get<1>(v_); }
    const E& error() const& { assert(!ok()); return std::get<1>(v_); }
    E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

    // Hands the error on unchanged to a caller with another value type.
    Err<E> take_error() { return Err<E>{std::get<1>(std::move(v_))}; }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class E2>
        requires std::is_constructible_v<E, E2&&>
    Result(Err<E2> e) : e_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return e_.index() == 0; }
    explicit operator bool() const { return ok(); }
    void value() const { assert(ok()); }
    E& error() & { assert(!ok()); return std::get<1>(e_); }
    const E& error() const& { assert(!ok()); return std::get<1>(e_); }
    Err<E> take_error() { return Err<E>{std::get<1>(std::move(e_))}; }

private:
    std::variant<std::monostate, E> e_;
};

}  // namespace vop

// Returns the error of a failed Result from the enclosing function.
#define VOP_TRY(expr)                                   \
    do {                                                \
        auto vop_try_r_ = (expr);                       \
        if (!vop_try_r_.ok()) return vop_try_r_.take_error(); \
    } while (0)
