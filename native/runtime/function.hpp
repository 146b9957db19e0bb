// SPDX-License-Identifier: LGPL-2.1-or-later
/// Native callables that bind, call and introspect like Python functions.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace rt {

/// One positional-or-keyword parameter.
struct Parameter {
    std::string name;
    py::object annotation;    ///< null: not annotated
    py::object default_value; ///< null: required
};

/// What `inspect.signature` and friends see of a function.
struct Signature {
    std::string name;
    std::string qualname;
    std::string module;
    std::string doc;
    std::vector<Parameter> parameters;
    py::object return_annotation; ///< null: not annotated (`py::none()` for `-> None`)
};

/// A plain body gets the bound arguments in parameter order.
using PlainBody = py::object (*)(std::span<py::object> arguments);
/// A coroutine body gets them as borrowed handles and returns its (still suspended)
/// frame. The coroutine object owns the arguments for as long as the frame lives,
/// and owns them where the garbage collector can see them: an owning reference
/// inside the frame would be invisible to it and keep a cycle through an argument
/// alive for ever.
using CoroutineBody = Task (*)(std::vector<py::handle> arguments);

/// A function object whose call runs `body`.
py::object make_function(Signature signature, PlainBody body);
/// A coroutine function: its call binds the arguments and returns a coroutine.
py::object make_coroutine_function(Signature signature, CoroutineBody body);
/// `staticmethod(function)` and `property(getter)`, the interpreter's own wrappers.
py::object make_staticmethod(py::object function);
py::object make_property(py::object getter);

namespace detail {

template <class Result, class... Args, size_t... I>
py::object invoke_plain(Result (*fn)(Args...), std::span<py::object> arguments,
                        std::index_sequence<I...>) {
    if constexpr (std::is_void_v<Result>) {
        fn(arguments[I]...);
        return py::none();
    } else {
        return fn(arguments[I]...);
    }
}

template <class... Args, size_t... I>
Task invoke_coroutine(Task (*fn)(Args...), std::vector<py::handle> &arguments,
                      std::index_sequence<I...>) {
    static_assert((std::is_same_v<Args, py::handle> && ...),
                  "coroutine bodies take their arguments as py::handle");
    return fn(arguments[I]...);
}

template <class Result, class... Args> constexpr size_t arity(Result (*)(Args...)) {
    return sizeof...(Args);
}

} // namespace detail

/// Adapts `py::object f(py::object, ...)` (or a `void` one, which returns None) to
/// a `PlainBody`; the parameter count must match the signature.
template <auto Fn> py::object plain(std::span<py::object> arguments) {
    return detail::invoke_plain(Fn, arguments, std::make_index_sequence<detail::arity(Fn)>{});
}

/// Adapts `Task f(py::handle, ...)` to a `CoroutineBody`.
template <auto Fn> Task coroutine(std::vector<py::handle> arguments) {
    return detail::invoke_coroutine(Fn, arguments, std::make_index_sequence<detail::arity(Fn)>{});
}

namespace detail {
void check_arity(const Signature &signature, size_t arity);
} // namespace detail

/// `make_function` for a typed body; its parameter count must match the signature.
template <auto Fn> py::object function(Signature signature) {
    detail::check_arity(signature, detail::arity(Fn));
    return make_function(std::move(signature), &plain<Fn>);
}

/// `make_coroutine_function` for a typed body.
template <auto Fn> py::object coroutine_function(Signature signature) {
    detail::check_arity(signature, detail::arity(Fn));
    return make_coroutine_function(std::move(signature), &coroutine<Fn>);
}

} // namespace rt
