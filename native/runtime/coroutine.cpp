// SPDX-License-Identifier: LGPL-2.1-or-later
/// The Python coroutine type that drives a native coroutine body, and the iterator
/// that its `__await__` returns.
#include "runtime/coroutine.hpp"
#include "runtime/object.hpp"

#include <structmember.h>

namespace rt {
namespace {

enum class State : unsigned char { created, suspended, running, done };

/// The Python object. It owns the frame; while the frame waits on an awaitable,
/// `inner` is that awaitable's iterator and `awaiter` the frame's `Awaiter`.
struct CoroutineObject {
    PyObject_HEAD Task::handle_type frame;
    Awaiter *awaiter;
    PyObject *inner;
    PyObject *name;
    PyObject *qualname;
    PyObject *code;
    PyObject *arguments; ///< what the frame borrows its arguments from
    PyObject *weakreflist;
    State state;
};

constexpr detail::OwnedMembers<CoroutineObject, 5> coroutine_owned{
    &CoroutineObject::inner, &CoroutineObject::name, &CoroutineObject::qualname,
    &CoroutineObject::code, &CoroutineObject::arguments};

/// What `__await__` returns: the iterator over a coroutine, as the interpreter's
/// coroutine wrapper. The coroutine itself is not an iterator.
struct WrapperObject {
    PyObject_HEAD PyObject *coroutine;
};

constexpr detail::OwnedMembers<WrapperObject, 1> wrapper_owned{&WrapperObject::coroutine};

CoroutineObject *as_coroutine(PyObject *self) {
    return reinterpret_cast<CoroutineObject *>(self);
}

/// The error that is set now, as a C++ exception that the frame can rethrow.
std::exception_ptr take_error() {
    try {
        throw py::error_already_set();
    } catch (...) {
        return std::current_exception();
    }
}

/// The iterator that `await x` steps through, with the interpreter's errors for
/// objects that cannot be awaited.
PyObject *awaitable_iterator(PyObject *awaitable) {
    if (PyCoro_CheckExact(awaitable)) {
        return Py_NewRef(awaitable);
    }
    if (PyGen_CheckExact(awaitable)) {
        // A generator-based coroutine (types.coroutine) is its own iterator.
        py::object code = steal(PyObject_GetAttrString(awaitable, "gi_code"));
        if (reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE) {
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

/// Hands the outcome of one step of the inner iterator to the waiting frame.
void deliver(CoroutineObject *c, PySendResult outcome, PyObject *value) {
    Py_CLEAR(c->inner);
    Awaiter *awaiter = std::exchange(c->awaiter, nullptr);
    if (outcome == PYGEN_RETURN) {
        awaiter->set_value(py::reinterpret_steal<py::object>(value));
    } else {
        awaiter->set_error(take_error());
    }
}

/// A `StopIteration` that escapes a coroutine body would end the caller's own
/// iteration silently; like the interpreter, turn it into a RuntimeError.
void replace_stop_iteration() {
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

/// Destroys the frame, dropping everything it holds.
void destroy_frame(CoroutineObject *c) {
    c->awaiter = nullptr;
    if (auto frame = std::exchange(c->frame, {})) {
        frame.destroy();
    }
}

/// The body has run to its end: collect its result or error, then free the frame.
PySendResult finish(CoroutineObject *c, PyObject **result) {
    c->state = State::done;
    py::object value = std::move(c->frame.promise().m_result);
    std::exception_ptr error = std::exchange(c->frame.promise().m_error, nullptr);
    destroy_frame(c);
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

/// Sends `value` into the inner iterator. True when it yielded (`*result` is what
/// goes out to our caller); otherwise its outcome is handed to the waiting frame.
bool step_inner(CoroutineObject *c, PyObject *value, PyObject **result) {
    PyObject *yielded = nullptr;
    PySendResult outcome = PyIter_Send(c->inner, value, &yielded);
    if (outcome == PYGEN_NEXT) {
        c->state = State::suspended;
        *result = yielded;
        return true;
    }
    deliver(c, outcome, yielded);
    return false;
}

/// Resumes the frame and drives it until it either hands a value out to our
/// caller (an inner iterator yielded) or finishes.
PySendResult advance(CoroutineObject *c, PyObject **result) {
    for (;;) {
        c->frame.resume();
        if (c->frame.done()) {
            return finish(c, result);
        }
        c->awaiter = std::exchange(c->frame.promise().m_awaiting, nullptr);
        c->inner = awaitable_iterator(c->awaiter->awaitable().ptr());
        if (c->inner == nullptr) {
            std::exchange(c->awaiter, nullptr)->set_error(take_error());
            continue;
        }
        if (step_inner(c, Py_None, result)) {
            return PYGEN_NEXT;
        }
    }
}

/// The state errors the interpreter gives for a coroutine that cannot take a step.
bool refuse_step(CoroutineObject *c) {
    if (c->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (c->state == State::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

PySendResult coroutine_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    auto *c = as_coroutine(self);
    *result = nullptr;
    if (refuse_step(c)) {
        return PYGEN_ERROR;
    }
    try {
        if (c->state == State::created) {
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError,
                                "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = State::running;
            return advance(c, result);
        }
        c->state = State::running;
        return step_inner(c, arg, result) ? PYGEN_NEXT : advance(c, result);
    } catch (...) {
        restore_error();
        return PYGEN_ERROR;
    }
}

/// Raises `StopIteration(value)`, built by calling the class so that a tuple value
/// arrives as one value.
void set_stop_iteration(PyObject *value) {
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

/// Maps a send result onto the `send()`/`__next__` calling convention.
PyObject *step_result(PySendResult outcome, PyObject *result, bool iternext) {
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

PyObject *coroutine_send(PyObject *self, PyObject *arg) noexcept {
    PyObject *result = nullptr;
    PySendResult outcome = coroutine_am_send(self, arg, &result);
    return step_result(outcome, result, false);
}

/// The exception instance that `throw(type[, value[, traceback]])` asks for.
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
void raise_instance(py::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
}

/// Ends the frame without running it further; the frame's locals are released by
/// their destructors. Returns false with an error set when closing the inner
/// iterator failed.
bool close_frame(CoroutineObject *c) {
    bool ok = true;
    if (c->inner != nullptr) {
        auto inner = py::reinterpret_steal<py::object>(std::exchange(c->inner, nullptr));
        try {
            if (py::object close = optional_attr(inner, "close")) {
                steal(PyObject_CallNoArgs(close.ptr()));
            }
        } catch (py::error_already_set &error) {
            error.restore();
            ok = false;
        }
    }
    // The frame's destructors may call into Python; the close error waits.
    PendingError pending;
    destroy_frame(c);
    c->state = State::done;
    return ok;
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    auto *c = as_coroutine(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    try {
        py::object exception = thrown_exception(args[0], nargs > 1 ? args[1] : nullptr,
                                                nargs > 2 ? args[2] : nullptr);
        if (refuse_step(c)) {
            return nullptr;
        }
        if (c->state == State::created) {
            // Thrown in before the first step: the body ends with the error at once.
            destroy_frame(c);
            c->state = State::done;
            raise_instance(exception);
            return nullptr;
        }
        c->state = State::running;
        if (PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit)) {
            // Like the interpreter: close what we wait on, then end the body.
            if (close_frame(c)) {
                raise_instance(exception);
            }
            return nullptr;
        }
        PyObject *result = nullptr;
        PySendResult outcome = PYGEN_ERROR;
        if (py::object thrower = optional_attr(py::handle(c->inner), "throw")) {
            result = PyObject_CallOneArg(thrower.ptr(), exception.ptr());
            if (result != nullptr) {
                c->state = State::suspended;
                return result;
            }
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                // The inner iterator returned: its value goes to the frame.
                PendingError stop;
                result = PyObject_GetAttrString(stop.value().ptr(), "value");
                if (result != nullptr) {
                    stop.discard();
                    outcome = PYGEN_RETURN;
                }
            }
        } else {
            raise_instance(exception);
        }
        deliver(c, outcome, result);
        result = nullptr;
        outcome = advance(c, &result);
        return step_result(outcome, result, false);
    } catch (...) {
        restore_error();
        return nullptr;
    }
}

PyObject *coroutine_close(PyObject *self, PyObject *) noexcept {
    auto *c = as_coroutine(self);
    if (c->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state == State::done) {
        Py_RETURN_NONE;
    }
    c->state = State::running;
    if (!close_frame(c)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyTypeObject *wrapper_type();

PyObject *coroutine_await(PyObject *self) noexcept {
    auto *wrapper = PyObject_GC_New(WrapperObject, wrapper_type());
    if (wrapper == nullptr) {
        return nullptr;
    }
    wrapper->coroutine = Py_NewRef(self);
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject *>(wrapper);
}

/// The interpreter iterates a coroutine only in `yield from` inside a coroutine or
/// a generator-based coroutine (`types.coroutine`); anywhere else a coroutine is
/// not iterable. The frame that asks tells which case this is.
PyObject *coroutine_iter(PyObject *self) noexcept {
    if (PyFrameObject *frame = PyEval_GetFrame()) {
        PyCodeObject *code = PyFrame_GetCode(frame);
        const int flags = code->co_flags;
        Py_DECREF(code);
        if (flags & (CO_COROUTINE | CO_ITERABLE_COROUTINE)) {
            return coroutine_await(self);
        }
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    return nullptr;
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

void coroutine_finalize(PyObject *self) noexcept {
    auto *c = as_coroutine(self);
    if (c->state == State::done || !c->frame) {
        return;
    }
    PendingError pending;
    if (interpreter_finalizing()) {
        // Nothing more may run: drop the frame and go.
        destroy_frame(c);
        Py_CLEAR(c->inner);
        c->state = State::done;
    } else if (c->state == State::created) {
        destroy_frame(c);
        c->state = State::done;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                             c->qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else {
        PyObject *closed = coroutine_close(self, nullptr);
        if (closed == nullptr) {
            PyErr_WriteUnraisable(self);
        }
        Py_XDECREF(closed);
    }
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *c = as_coroutine(self);
    if (c->awaiter != nullptr) {
        Py_VISIT(c->awaiter->awaitable().ptr());
    }
    if (c->frame) {
        for (const py::object &kept : c->frame.promise().m_kept) {
            Py_VISIT(kept.ptr());
        }
    }
    return detail::traverse_owned(c, coroutine_owned, visit, arg);
}

int coroutine_clear(PyObject *self) noexcept {
    auto *c = as_coroutine(self);
    destroy_frame(c);
    c->state = State::done;
    detail::clear_owned(c, coroutine_owned);
    return 0;
}

/// In the interpreter's order for generators: weak references are cleared first,
/// the finaliser runs while the object is still tracked (so that code it runs may
/// take the object back, and the collector still sees it then), and the object is
/// untracked only once it stays dead.
void coroutine_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return; // resurrected, and tracked again
    }
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(self)->qualname, self);
}

PyObject *get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::running);
}

PyObject *get_await(PyObject *self, void *) noexcept {
    PyObject *inner = as_coroutine(self)->inner;
    return Py_NewRef(inner != nullptr ? inner : Py_None);
}

PyObject *get_none(PyObject *, void *) noexcept {
    Py_RETURN_NONE;
}

PyObject *get_code(PyObject *self, void *) noexcept {
    PyObject *code = as_coroutine(self)->code;
    return Py_NewRef(code != nullptr ? code : Py_None);
}

constexpr detail::CheckedAttribute coroutine_name{"__name__", offsetof(CoroutineObject, name),
                                                  detail::is_str, "string", false};
constexpr detail::CheckedAttribute coroutine_qualname{
    "__qualname__", offsetof(CoroutineObject, qualname), detail::is_str, "string", false};

PyGetSetDef coroutine_getset[] = {
    detail::checked_getset(coroutine_name),
    detail::checked_getset(coroutine_qualname),
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyCFunction as_cfunction(auto function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise "
     "StopIteration."},
    {"throw", as_cfunction(coroutine_throw), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return "
     "next iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject *coroutine_type() {
    static PyTypeObject *type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
            {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
            {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
            {Py_tp_iter, reinterpret_cast<void *>(coroutine_iter)},
            {Py_tp_methods, coroutine_methods},
            {Py_tp_members, coroutine_members},
            {Py_tp_getset, coroutine_getset},
            {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
            {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
            {Py_tp_doc, const_cast<char *>("A coroutine whose body is native code.")},
            {0, nullptr},
        };
        return detail::make_type(
            "tarno_event_diagnostics.native_coroutine", sizeof(CoroutineObject),
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    }();
    return type;
}

// ---------------------------------------------------------------- the wrapper

PyObject *wrapped(PyObject *self) {
    return reinterpret_cast<WrapperObject *>(self)->coroutine;
}

PySendResult wrapper_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    return coroutine_am_send(wrapped(self), arg, result);
}

PyObject *wrapper_iternext(PyObject *self) noexcept {
    PyObject *result = nullptr;
    PySendResult outcome = coroutine_am_send(wrapped(self), Py_None, &result);
    return step_result(outcome, result, true);
}

PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept {
    return coroutine_send(wrapped(self), arg);
}

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return coroutine_throw(wrapped(self), args, nargs);
}

PyObject *wrapper_close(PyObject *self, PyObject *) noexcept {
    return coroutine_close(wrapped(self), nullptr);
}

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    return detail::traverse_owned(reinterpret_cast<WrapperObject *>(self), wrapper_owned, visit,
                                  arg);
}

int wrapper_clear(PyObject *self) noexcept {
    detail::clear_owned(reinterpret_cast<WrapperObject *>(self), wrapper_owned);
    return 0;
}

void wrapper_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, "send(arg) -> send 'arg' into the wrapped coroutine."},
    {"throw", as_cfunction(wrapper_throw), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in the wrapped "
     "coroutine."},
    {"close", wrapper_close, METH_NOARGS, "close() -> close the wrapped coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject *wrapper_type() {
    static PyTypeObject *type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(wrapper_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(wrapper_clear)},
            {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void *>(wrapper_iternext)},
            {Py_tp_methods, wrapper_methods},
            {Py_am_send, reinterpret_cast<void *>(wrapper_am_send)},
            {0, nullptr},
        };
        return detail::make_type(
            "tarno_event_diagnostics.native_coroutine_wrapper", sizeof(WrapperObject),
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    }();
    return type;
}

} // namespace

py::object make_coroutine(Task task, py::object name, py::object qualname, py::object code,
                          py::object arguments) {
    auto *c = PyObject_GC_New(CoroutineObject, coroutine_type());
    if (c == nullptr) {
        throw py::error_already_set();
    }
    c->frame = task.release();
    c->awaiter = nullptr;
    c->inner = nullptr;
    c->name = name.release().ptr();
    c->qualname = qualname.release().ptr();
    c->code = code.release().ptr();
    c->arguments = arguments.release().ptr();
    c->weakreflist = nullptr;
    c->state = State::created;
    PyObject_GC_Track(c);
    return steal(reinterpret_cast<PyObject *>(c));
}

} // namespace rt
