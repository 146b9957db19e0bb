/// The bridge between C++20 coroutines and Python's await protocol.
#pragma once

#include "runtime/ref.hpp"

#include <coroutine>
#include <exception>
#include <utility>

namespace rt {

class Task;
class Awaiter;

namespace detail {

/// The promise of a native coroutine body. The body starts suspended (lazy) and
/// stays suspended at its end, so that the Python coroutine object that owns the
/// frame collects the result and destroys the frame itself.
struct Promise {
    Task get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object value) noexcept { m_result = std::move(value); }
    void unhandled_exception() noexcept { m_error = std::current_exception(); }
    /// Bodies await Python awaitables only, through `rt::await`: the driver knows
    /// how to step nothing else.
    Awaiter&& await_transform(Awaiter&& awaiter) noexcept { return std::move(awaiter); }

    py::object m_result;
    std::exception_ptr m_error;
    /// The awaiter that the frame is suspended on; set by `Awaiter::await_suspend`.
    Awaiter *m_awaiting = nullptr;
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

/// Wraps `task` into a Python coroutine object. `owned` (usually the tuple of the
/// call's arguments) is kept alive and visible to the garbage collector for as
/// long as the coroutine lives; `code` is what `cr_code` shows.
py::object make_coroutine(Task task, py::object name, py::object qualname, py::object code,
                          py::object owned);

} // namespace rt
