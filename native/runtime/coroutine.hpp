// SPDX-License-Identifier: LGPL-2.1-or-later
/// The bridge between C++20 coroutines and Python's await protocol.
#pragma once

#include "runtime/ref.hpp"

#include <coroutine>
#include <exception>
#include <utility>
#include <vector>

namespace rt {

class Task;
class Awaiter;

/// What `co_await rt::keep(value)` hands to the frame: see `Promise`.
struct Keep {
    py::object value;
};

namespace detail {

/// The promise of a native coroutine body. The body starts suspended (lazy) and
/// stays suspended at its end, so that the Python coroutine object that owns the
/// frame collects the result and destroys the frame itself.
//
// The garbage collector sees only what the coroutine object shows it, and a frame
// is opaque to it. So a frame holds Python references across a suspension in three
// places only, all of which the coroutine object's traverse visits: its arguments
// (owned by the coroutine object; the body gets them as handles), the object it
// awaits (in its `Awaiter`) and what it kept with `co_await rt::keep(value)` (in
// `m_kept`). A `py::object` local or a temporary that lives across a `co_await`
// would be invisible to it and keep a cycle through it alive for ever, so bodies
// build an awaitable in a statement of its own and hold nothing else over a
// suspension.
struct Promise {
    Task get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object value) noexcept { m_result = std::move(value); }
    void unhandled_exception() noexcept { m_error = std::current_exception(); }
    /// Bodies await Python awaitables only, through `rt::await`: the driver knows
    /// how to step nothing else.
    Awaiter &&await_transform(Awaiter &&awaiter) noexcept { return std::move(awaiter); }

    /// Keeps `kept.value` alive for the rest of the body where the collector sees
    /// it, and gives the body a handle to it without suspending.
    struct Kept {
        py::handle value;
        bool await_ready() const noexcept { return true; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        py::handle await_resume() const noexcept { return value; }
    };
    Kept await_transform(Keep kept) {
        m_kept.push_back(std::move(kept.value));
        return {m_kept.back()};
    }

    py::object m_result;
    std::exception_ptr m_error;
    /// The awaiter that the frame is suspended on; set by `Awaiter::await_suspend`.
    Awaiter *m_awaiting = nullptr;
    std::vector<py::object> m_kept;
};

} // namespace detail

/// A native coroutine body that has not been handed to Python yet. Move-only; owns
/// its frame until `make_coroutine` takes it over. Every body ends in `co_return`.
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise;
    using handle_type = std::coroutine_handle<promise_type>;

    explicit Task(handle_type handle) noexcept : m_handle(handle) {}
    Task(Task &&other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() { reset(); }

    /// Gives up ownership of the frame.
    handle_type release() noexcept { return std::exchange(m_handle, {}); }

private:
    void reset() noexcept {
        if (m_handle) {
            m_handle.destroy();
        }
    }
    handle_type m_handle;
};

inline Task detail::Promise::get_return_object() noexcept {
    return Task(Task::handle_type::from_promise(*this));
}

/// What a body suspends on with `co_await rt::await(awaitable)`. The Python
/// coroutine object that drives the body iterates the awaitable's `__await__`
/// iterator in the caller's `send`/`throw`, and resumes the body with the value the
/// iterator returned or the error it raised.
class Awaiter {
public:
    explicit Awaiter(py::object awaitable) noexcept : m_awaitable(std::move(awaitable)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<detail::Promise> caller) noexcept {
        caller.promise().m_awaiting = this;
    }
    py::object await_resume() {
        if (m_error) {
            std::rethrow_exception(std::exchange(m_error, nullptr));
        }
        return std::move(m_value);
    }

    /// Driver side: the object being awaited, its outcome.
    py::handle awaitable() const noexcept { return m_awaitable; }
    void set_value(py::object value) noexcept { m_value = std::move(value); }
    void set_error(std::exception_ptr error) noexcept { m_error = std::move(error); }

private:
    py::object m_awaitable;
    py::object m_value;
    std::exception_ptr m_error;
};

/// `co_await rt::await(x)` awaits any Python awaitable `x` and gives its result.
inline Awaiter await(py::object awaitable) noexcept {
    return Awaiter(std::move(awaitable));
}

/// `py::handle h = co_await rt::keep(x)` keeps `x` for the rest of the body where
/// the garbage collector sees it; for values a body needs after a suspension.
inline Keep keep(py::object value) noexcept {
    return Keep{std::move(value)};
}

/// Wraps `task` into a Python coroutine object. `owned` (usually the tuple of the
/// call's arguments) is kept alive and visible to the garbage collector for as
/// long as the coroutine lives; `code` is what `cr_code` shows.
py::object make_coroutine(Task task, py::object name, py::object qualname, py::object code,
                          py::object owned);

} // namespace rt
