// SPDX-License-Identifier: LGPL-2.1-or-later
/// The coroutine driver: send, throw, close and finalisation of a native frame.
#include "runtime/coroutine_driver.hpp"

namespace rt::detail {

/// One step of the coroutine: see the comment on `CoroutineDriver`.
class CoroutineDriver::Step {
public:
    explicit Step(CoroutineDriver &driver) noexcept
        : m_driver(driver), m_before(std::exchange(driver.m_state, CoroutineState::running)) {}
    Step(const Step &) = delete;
    Step &operator=(const Step &) = delete;
    ~Step() {
        if (m_driver.m_state == CoroutineState::running) {
            m_driver.m_state = m_before;
        }
    }

    /// The awaited iterator yielded; its value goes out to our caller.
    void yielded() noexcept { m_driver.m_state = CoroutineState::suspended; }

private:
    CoroutineDriver &m_driver;
    CoroutineState m_before;
};

namespace {

/// The error that is set now, as a C++ exception that the frame can rethrow.
std::exception_ptr take_error() noexcept {
    try {
        throw py::error_already_set();
    } catch (...) {
        return std::current_exception();
    }
}

/// Drops an owned reference the way Py_CLEAR does: the member is empty before any
/// code that the release runs can look at it.
void clear_ref(py::object &ref) noexcept {
    Py_XDECREF(ref.release().ptr());
}

/// The iterator that `await x` steps through (a new reference), with the
/// interpreter's errors for objects that cannot be awaited (_PyCoro_GetAwaitableIter);
/// null with the error set.
PyObject *awaitable_iterator(PyObject *awaitable) noexcept {
    if (PyCoro_CheckExact(awaitable)) {
        return Py_NewRef(awaitable);
    }
    if (PyGen_CheckExact(awaitable)) {
        // A generator-based coroutine (types.coroutine) is its own iterator.
        PyObject *code = PyObject_GetAttrString(awaitable, "gi_code");
        if (code == nullptr) {
            return nullptr;
        }
        const int flags = reinterpret_cast<PyCodeObject *>(code)->co_flags;
        Py_DECREF(code);
        if (flags & CO_ITERABLE_COROUTINE) {
            return Py_NewRef(awaitable);
        }
    }
    unaryfunc getter = Py_TYPE(awaitable)->tp_as_async != nullptr
                           ? Py_TYPE(awaitable)->tp_as_async->am_await
                           : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(awaitable)->tp_name);
        return nullptr;
    }
    PyObject *iterator = getter(awaitable);
    if (iterator == nullptr) {
        return nullptr;
    }
    if (PyCoro_CheckExact(iterator)) {
        Py_DECREF(iterator);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iterator)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator)->tp_name);
        Py_DECREF(iterator);
        return nullptr;
    }
    return iterator;
}

/// A `StopIteration` that escapes a coroutine body would end the caller's own
/// iteration silently; like the interpreter (_PyGen_SetStopIterationValue's
/// counterpart in gen_send_ex2), turn it into a RuntimeError.
void replace_stop_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return;
    }
    PendingError stop;
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PendingError replacement;
    PyObject *error = replacement.value().ptr();
    PyException_SetCause(error, Py_NewRef(stop.value().ptr()));
    PyException_SetContext(error, Py_NewRef(stop.value().ptr()));
    stop.discard();
    replacement.restore();
}

/// When the pending error is a StopIteration, clears it and gives its value as a
/// new reference: the awaited iterator returned (_PyGen_FetchStopIterationValue).
bool take_stop_value(PyObject **value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return false;
    }
    PendingError stop;
    PyObject *error = stop.value().ptr();
    if (!PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
        return false; // normalising it raised something else, which stays set
    }
    PyObject *returned = reinterpret_cast<PyStopIterationObject *>(error)->value;
    *value = Py_NewRef(returned != nullptr ? returned : Py_None);
    stop.discard();
    return true;
}

/// Raises `StopIteration(value)`, built by calling the class so that a tuple value
/// arrives as one value (_PyGen_SetStopIterationValue).
void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop != nullptr) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
}

/// Maps a send result onto the `send()` or `__next__` calling convention
/// (gen_send, gen_iternext).
PyObject *step_result(PySendResult outcome, PyObject *result, bool iternext) noexcept {
    if (outcome == PYGEN_NEXT) {
        return result;
    }
    if (outcome == PYGEN_RETURN) {
        if (!(iternext && result == Py_None)) {
            set_stop_iteration(result);
        }
        Py_DECREF(result);
    }
    return nullptr;
}

/// The exception instance that `throw(type[, value[, traceback]])` asks for, with
/// the interpreter's errors for arguments that name none (_gen_throw's throw_here).
py::object thrown_exception(PyObject *type, PyObject *value, PyObject *traceback) {
    if (traceback == Py_None) {
        traceback = nullptr;
    }
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        throw py::error_already_set();
    }
    py::object instance;
    if (PyExceptionClass_Check(type)) {
        if (value != nullptr && value != Py_None &&
            PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
            instance = borrow(value);
        } else if (value == nullptr || value == Py_None) {
            instance = steal(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            instance = steal(PyObject_Call(type, value, nullptr));
        } else {
            instance = steal(PyObject_CallOneArg(type, value));
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            throw py::error_already_set();
        }
        instance = borrow(type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(type)->tp_name);
        throw py::error_already_set();
    }
    if (traceback != nullptr) {
        raise_if_negative(PyException_SetTraceback(instance.ptr(), traceback));
    }
    return instance;
}

/// Sets `exception` as the current Python error.
void raise_instance(py::handle exception) noexcept {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
}

// Py_IsFinalizing is public from 3.13, whose headers no longer declare the
// underscored name that 3.11 and 3.12 have.
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

} // namespace

// gen_send_ex2: the start and state checks in its order, then one step.
PySendResult CoroutineDriver::send(PyObject *value, PyObject **result) noexcept {
    *result = nullptr;
    if (m_state == CoroutineState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (refuse_step()) {
        return PYGEN_ERROR;
    }
    Step step(*this);
    return advance(step, value, result);
}

PyObject *CoroutineDriver::send(PyObject *value) noexcept {
    PyObject *result = nullptr;
    PySendResult outcome = send(value, &result);
    return step_result(outcome, result, false);
}

PyObject *CoroutineDriver::next() noexcept {
    PyObject *result = nullptr;
    PySendResult outcome = send(Py_None, &result);
    return step_result(outcome, result, true);
}

// gen_throw and _gen_throw. The arguments become one exception instance first (the
// form asyncio uses), and that instance is what the awaited iterator's `throw` gets.
PyObject *CoroutineDriver::throw_(PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    try {
        py::object exception = thrown_exception(args[0], nargs > 1 ? args[1] : nullptr,
                                                nargs > 2 ? args[2] : nullptr);
        if (m_state != CoroutineState::suspended) {
            if (refuse_step()) {
                return nullptr;
            }
            // Thrown in before the first step: the body ends with the error at once,
            // as a frame does that starts with an exception pending.
            end_frame();
            raise_instance(exception);
            return nullptr;
        }
        if (PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit)) {
            // close_on_genexit: close the awaited iterator, then end the body with
            // the exception, or with the error that closing raised.
            if (close_frame()) {
                raise_instance(exception);
            }
            return nullptr;
        }
        // Looked up before the coroutine is marked running, as _gen_throw does: an
        // error from the lookup leaves the coroutine suspended where it was.
        py::object thrower = optional_attr(m_inner, "throw");
        Step step(*this);
        if (thrower) {
            PyObject *yielded = PyObject_CallOneArg(thrower.ptr(), exception.ptr());
            if (yielded != nullptr) {
                step.yielded();
                return yielded;
            }
            PyObject *returned = nullptr;
            const bool stopped = take_stop_value(&returned);
            deliver(stopped ? PYGEN_RETURN : PYGEN_ERROR, returned);
        } else {
            // Without a `throw`, the exception is raised in the body at its await
            // (throw_here); the iterator is dropped, not closed.
            raise_instance(exception);
            deliver(PYGEN_ERROR, nullptr);
        }
        PyObject *result = nullptr;
        PySendResult outcome = advance(step, Py_None, &result);
        return step_result(outcome, result, false);
    } catch (...) {
        restore_error();
        return nullptr;
    }
}

// gen_close: silent once done, refused while running.
PyObject *CoroutineDriver::close() noexcept {
    if (m_state == CoroutineState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (m_state == CoroutineState::suspended && !close_frame()) {
        return nullptr;
    }
    end_frame();
    Py_RETURN_NONE;
}

// _PyGen_Finalize: a coroutine never started warns, a suspended one is closed, and
// errors go to the unraisable hook; the error pending meanwhile is kept.
void CoroutineDriver::finalize(PyObject *owner, PyObject *qualname) noexcept {
    if (m_state == CoroutineState::done) {
        return;
    }
    PendingError pending;
    if (interpreter_finalizing()) {
        // Nothing more may run: drop the frame and go.
        clear();
    } else if (m_state == CoroutineState::created) {
        end_frame();
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                             qualname) < 0) {
            PyErr_WriteUnraisable(owner);
        }
    } else {
        PyObject *closed = close();
        if (closed == nullptr) {
            PyErr_WriteUnraisable(owner);
        }
        Py_XDECREF(closed);
    }
}

int CoroutineDriver::traverse(visitproc visit, void *arg) const noexcept {
    if (m_awaiter != nullptr) {
        Py_VISIT(m_awaiter->awaitable().ptr());
    }
    if (m_frame) {
        for (const py::object &kept : m_frame.promise().m_kept) {
            Py_VISIT(kept.ptr());
        }
    }
    Py_VISIT(m_inner.ptr());
    return 0;
}

void CoroutineDriver::clear() noexcept {
    end_frame();
    clear_ref(m_inner);
}

/// gen_send_ex2's refusals: a reentrant step, and any step once done.
bool CoroutineDriver::refuse_step() const noexcept {
    if (m_state == CoroutineState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (m_state == CoroutineState::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

/// Runs the coroutine on until an awaited iterator yields (that value goes out to
/// our caller) or the body ends: what the interpreter's frame does between two
/// yields. `value` goes to the awaited iterator if the frame waits on one (SEND);
/// each outcome of an awaited iterator resumes the frame.
PySendResult CoroutineDriver::advance(Step &step, PyObject *value, PyObject **result) noexcept {
    for (;;) {
        if (m_inner) {
            PyObject *yielded = nullptr;
            PySendResult outcome = PyIter_Send(m_inner.ptr(), value, &yielded);
            if (outcome == PYGEN_NEXT) {
                step.yielded();
                *result = yielded;
                return PYGEN_NEXT;
            }
            deliver(outcome, yielded);
        }
        m_frame.resume();
        if (m_frame.done()) {
            return finish(result);
        }
        // The body awaits something new (GET_AWAITABLE): step its iterator, or
        // resume the body with the error of an object that cannot be awaited.
        m_awaiter = std::exchange(m_frame.promise().m_awaiting, nullptr);
        if (PyObject *inner = awaitable_iterator(m_awaiter->awaitable().ptr())) {
            m_inner = py::reinterpret_steal<py::object>(inner);
        } else {
            deliver(PYGEN_ERROR, nullptr);
        }
        value = Py_None;
    }
}

/// Hands the outcome of the awaited iterator to the waiting frame: its return value
/// (stolen), or the error that is set. The iterator is done with.
void CoroutineDriver::deliver(PySendResult outcome, PyObject *value) noexcept {
    Awaiter *awaiter = std::exchange(m_awaiter, nullptr);
    if (outcome == PYGEN_RETURN) {
        awaiter->set_value(py::reinterpret_steal<py::object>(value));
    } else {
        awaiter->set_error(take_error());
    }
    clear_ref(m_inner);
}

/// The body has run to its end: collect its result or error, then free the frame.
PySendResult CoroutineDriver::finish(PyObject **result) noexcept {
    py::object value = std::move(m_frame.promise().m_result);
    std::exception_ptr error = std::exchange(m_frame.promise().m_error, nullptr);
    end_frame();
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (...) {
            restore_error();
        }
        replace_stop_iteration();
        return PYGEN_ERROR;
    }
    *result = value ? value.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

/// Closes the awaited iterator while marked running (gen_close_iter), then ends the
/// frame without running the body on: its locals are released by their destructors
/// (C++ `catch` blocks do not run). False, with the error set, when closing the
/// iterator failed.
bool CoroutineDriver::close_frame() noexcept {
    Step step(*this);
    bool closed = true;
    if (py::object inner = std::move(m_inner)) {
        try {
            if (py::object close = optional_attr(inner, "close")) {
                steal(PyObject_CallNoArgs(close.ptr()));
            }
        } catch (...) {
            restore_error();
            closed = false;
        }
    }
    // The frame's destructors may call into Python; the close error waits.
    PendingError pending;
    end_frame();
    return closed;
}

/// Ends the coroutine. It is marked done before the frame goes, so that code run by
/// the frame's destructors finds it ended, as CPython's clear_gen_frame marks a
/// generator cleared before it clears the frame's locals.
void CoroutineDriver::end_frame() noexcept {
    m_state = CoroutineState::done;
    m_awaiter = nullptr;
    if (auto frame = std::exchange(m_frame, {})) {
        frame.destroy();
    }
}

} // namespace rt::detail
