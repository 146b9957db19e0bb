/// The Python coroutine type that drives a native coroutine body.
#include "runtime/coroutine.hpp"

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
    PyObject *owned;
    PyObject *weakreflist;
    State state;
};

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
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject *new_type = nullptr, *new_value = nullptr, *new_traceback = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    PyException_SetCause(new_value, Py_NewRef(value));
    PyException_SetContext(new_value, value);
    PyErr_Restore(new_type, new_value, new_traceback);
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

PyObject *coroutine_iternext(PyObject *self) noexcept {
    PyObject *result = nullptr;
    PySendResult outcome = coroutine_am_send(self, Py_None, &result);
    return step_result(outcome, result, true);
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

/// `obj.name`, or a null object when `obj` has no such attribute.
py::object optional_attr(py::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return {};
    }
    return steal(value);
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
        py::object inner = py::reinterpret_steal<py::object>(std::exchange(c->inner, nullptr));
        try {
            if (py::object close = optional_attr(inner, "close")) {
                steal(PyObject_CallNoArgs(close.ptr()));
            }
        } catch (py::error_already_set &error) {
            error.restore();
            ok = false;
        }
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    destroy_frame(c);
    c->state = State::done;
    PyErr_Restore(type, value, traceback);
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
        PyObject *result = nullptr;
        if (PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit)) {
            // Like the interpreter: close what we wait on, then end the body.
            if (!close_frame(c)) {
                return nullptr;
            }
            raise_instance(exception);
            return nullptr;
        }
        py::object thrower = optional_attr(py::handle(c->inner), "throw");
        PySendResult outcome = PYGEN_ERROR;
        if (!thrower) {
            raise_instance(exception);
        } else {
            result = PyObject_CallOneArg(thrower.ptr(), exception.ptr());
            if (result != nullptr) {
                c->state = State::suspended;
                return result;
            }
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
                PyErr_Fetch(&type, &value, &traceback);
                PyErr_NormalizeException(&type, &value, &traceback);
                result = PyObject_GetAttrString(value, "value");
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(traceback);
                if (result != nullptr) {
                    outcome = PYGEN_RETURN;
                }
            }
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

PyObject *coroutine_await(PyObject *self) noexcept {
    return Py_NewRef(self);
}

void coroutine_finalize(PyObject *self) noexcept {
    auto *c = as_coroutine(self);
    if (c->state == State::done || !c->frame) {
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (_Py_IsFinalizing()) {
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
    PyErr_Restore(type, value, traceback);
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->inner);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->code);
    Py_VISIT(c->owned);
    if (c->awaiter != nullptr) {
        Py_VISIT(c->awaiter->awaitable().ptr());
    }
    return 0;
}

int coroutine_clear(PyObject *self) noexcept {
    auto *c = as_coroutine(self);
    destroy_frame(c);
    c->state = State::done;
    Py_CLEAR(c->inner);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->code);
    Py_CLEAR(c->owned);
    return 0;
}

void coroutine_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return; // resurrected
    }
    if (as_coroutine(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
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

PyObject *get_text(PyObject *self, void *which) noexcept {
    auto *c = as_coroutine(self);
    PyObject *value = which != nullptr ? c->qualname : c->name;
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_text(PyObject *self, PyObject *value, void *which) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     which != nullptr ? "__qualname__" : "__name__");
        return -1;
    }
    auto *c = as_coroutine(self);
    Py_XSETREF(which != nullptr ? c->qualname : c->name, Py_NewRef(value));
    return 0;
}

PyObject *get_code(PyObject *self, void *) noexcept {
    PyObject *code = as_coroutine(self)->code;
    return Py_NewRef(code != nullptr ? code : Py_None);
}

char qualname_tag = 0;

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_text, set_text, nullptr, nullptr},
    {"__qualname__", get_text, set_text, nullptr, &qualname_tag},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise "
     "StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
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
            {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
            {Py_tp_methods, coroutine_methods},
            {Py_tp_members, coroutine_members},
            {Py_tp_getset, coroutine_getset},
            {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
            {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
            {Py_tp_doc, const_cast<char *>("A coroutine whose body is native code.")},
            {0, nullptr},
        };
        PyType_Spec spec = {
            "tarno_event_diagnostics.native_coroutine",
            sizeof(CoroutineObject),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots,
        };
        return reinterpret_cast<PyTypeObject *>(steal(PyType_FromSpec(&spec)).release().ptr());
    }();
    return type;
}

} // namespace

py::object make_coroutine(Task task, py::object name, py::object qualname, py::object code,
                          py::object owned) {
    PyTypeObject *type = coroutine_type();
    auto *c = PyObject_GC_New(CoroutineObject, type);
    if (c == nullptr) {
        throw py::error_already_set();
    }
    c->frame = task.release();
    c->awaiter = nullptr;
    c->inner = nullptr;
    c->name = name.release().ptr();
    c->qualname = qualname.release().ptr();
    c->code = code.release().ptr();
    c->owned = owned.release().ptr();
    c->weakreflist = nullptr;
    c->state = State::created;
    PyObject_GC_Track(c);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(c));
}

void restore_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (py::builtin_exception &error) {
        error.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

} // namespace rt
