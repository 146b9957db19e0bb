// SPDX-License-Identifier: LGPL-2.1-or-later
/// The state machine of a coroutine whose body is a native frame: send, throw, close
/// and finalisation, in the interpreter's manner (CPython's Objects/genobject.c).
#pragma once

#include "runtime/coroutine.hpp"

namespace rt::detail {

/// Where a coroutine is. `suspended` always means waiting on an awaited iterator;
/// `done` means the frame is gone (returned, raised, closed or cleared).
enum class CoroutineState : unsigned char { created, suspended, running, done };

/// Drives one native frame for the Python coroutine object that holds it. Every
/// entry point follows the Python calling convention of the slot it serves: it
/// never throws, and it reports an error by setting it and returning null (or
/// `PYGEN_ERROR`).
//
// The state is set in three places only: its initialiser (`created`), `end_frame`
// (`done`) and a `Step`. A `Step` marks it `running` for as long as the coroutine
// takes a step and, on every way out of that step (return or exception), puts back
// the state it had unless the step moved it on: to `suspended` when an awaited
// iterator yielded, or to `done` through `end_frame`. So no way out of a step can
// leave the coroutine marked running, which would refuse every later call with
// "coroutine already executing". What may fail without touching the frame (the
// lookup of the awaited iterator's `throw`) happens before the step, as in the
// interpreter, and leaves the coroutine as it was.
class CoroutineDriver {
public:
    explicit CoroutineDriver(Task task) noexcept : m_frame(task.release()) {}
    CoroutineDriver(const CoroutineDriver &) = delete;
    CoroutineDriver &operator=(const CoroutineDriver &) = delete;
    ~CoroutineDriver() { clear(); }

    /// `am_send`: one step with `value` sent in.
    PySendResult send(PyObject *value, PyObject **result) noexcept;
    /// `send(value)`: a return raises `StopIteration(value)`.
    PyObject *send(PyObject *value) noexcept;
    /// `__next__` of the await iterator: a return of None raises nothing.
    PyObject *next() noexcept;
    /// `throw(value)` and the older `throw(type[, value[, traceback]])`.
    PyObject *throw_(PyObject *const *args, Py_ssize_t nargs) noexcept;
    /// `close()`
    PyObject *close() noexcept;
    /// `tp_finalize` of `owner`, whose qualified name is `qualname`.
    void finalize(PyObject *owner, PyObject *qualname) noexcept;

    /// What the frame holds across a suspension, for the garbage collector.
    int traverse(visitproc visit, void *arg) const noexcept;
    /// Drops the frame and the awaited iterator without running the body further.
    void clear() noexcept;

    CoroutineState state() const noexcept { return m_state; }
    /// The iterator being awaited, or null (`cr_await`).
    py::handle awaited() const noexcept { return m_inner; }

private:
    class Step;

    bool refuse_step() const noexcept;
    PySendResult advance(Step &step, PyObject *value, PyObject **result) noexcept;
    void deliver(PySendResult outcome, PyObject *value) noexcept;
    PySendResult finish(PyObject **result) noexcept;
    bool close_frame() noexcept;
    void end_frame() noexcept;

    Task::handle_type m_frame;
    /// The frame's `Awaiter` while it waits on `m_inner`.
    Awaiter *m_awaiter = nullptr;
    /// The iterator of what the frame awaits; its outcome resumes the frame.
    py::object m_inner;
    CoroutineState m_state = CoroutineState::created;
};

} // namespace rt::detail
