// SPDX-License-Identifier: LGPL-2.1-or-later
/// The Python coroutine type that drives a native coroutine body, and the iterator
/// that its `__await__` returns.
#include "runtime/coroutine.hpp"
#include "runtime/coroutine_driver.hpp"
#include "runtime/object.hpp"

#include <structmember.h>

#include <new>

namespace rt {
namespace {

/// The Python object: the driver that owns and runs the frame, and what the frame
/// borrows from.
struct CoroutineObject {
    PyObject_HEAD detail::CoroutineDriver driver;
    PyObject *name;
    PyObject *qualname;
    PyObject *code;
    PyObject *arguments; ///< what the frame borrows its arguments from
    PyObject *weakreflist;
};

constexpr detail::OwnedMembers<CoroutineObject, 4> coroutine_owned{
    &CoroutineObject::name, &CoroutineObject::qualname, &CoroutineObject::code,
    &CoroutineObject::arguments};

/// What `__await__` returns: the iterator over a coroutine, as the interpreter's
/// coroutine wrapper. The coroutine itself is not an iterator.
struct WrapperObject {
    PyObject_HEAD PyObject *coroutine;
};

constexpr detail::OwnedMembers<WrapperObject, 1> wrapper_owned{&WrapperObject::coroutine};

CoroutineObject *as_coroutine(PyObject *self) {
    return reinterpret_cast<CoroutineObject *>(self);
}

detail::CoroutineDriver &driver_of(PyObject *self) {
    return as_coroutine(self)->driver;
}

// Each slot is one call into the driver, which keeps the interpreter's rules for
// coroutines; the slots only find the driver in the object.

PySendResult coroutine_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    return driver_of(self).send(arg, result);
}

PyObject *coroutine_send(PyObject *self, PyObject *arg) noexcept {
    return driver_of(self).send(arg);
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return driver_of(self).throw_(args, nargs);
}

PyObject *coroutine_close(PyObject *self, PyObject *) noexcept {
    return driver_of(self).close();
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

void coroutine_finalize(PyObject *self) noexcept {
    driver_of(self).finalize(self, as_coroutine(self)->qualname);
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    if (int status = driver_of(self).traverse(visit, arg)) {
        return status;
    }
    return detail::traverse_owned(as_coroutine(self), coroutine_owned, visit, arg);
}

int coroutine_clear(PyObject *self) noexcept {
    driver_of(self).clear();
    detail::clear_owned(as_coroutine(self), coroutine_owned);
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
    driver_of(self).~CoroutineDriver();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(self)->qualname, self);
}

PyObject *get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(driver_of(self).state() == detail::CoroutineState::running);
}

PyObject *get_await(PyObject *self, void *) noexcept {
    py::handle awaited = driver_of(self).awaited();
    return Py_NewRef(awaited ? awaited.ptr() : Py_None);
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
    return driver_of(wrapped(self)).send(arg, result);
}

PyObject *wrapper_iternext(PyObject *self) noexcept {
    return driver_of(wrapped(self)).next();
}

PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept {
    return driver_of(wrapped(self)).send(arg);
}

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return driver_of(wrapped(self)).throw_(args, nargs);
}

PyObject *wrapper_close(PyObject *self, PyObject *) noexcept {
    return driver_of(wrapped(self)).close();
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
    // The interpreter allocates the object's memory; the driver, a C++ object with
    // a destructor, is built in place here and destroyed in place by the dealloc.
    new (&c->driver) detail::CoroutineDriver(std::move(task));
    c->name = name.release().ptr();
    c->qualname = qualname.release().ptr();
    c->code = code.release().ptr();
    c->arguments = arguments.release().ptr();
    c->weakreflist = nullptr;
    PyObject_GC_Track(c);
    return steal(reinterpret_cast<PyObject *>(c));
}

} // namespace rt
