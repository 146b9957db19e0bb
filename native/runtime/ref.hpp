// SPDX-License-Identifier: LGPL-2.1-or-later
/// Owned and borrowed Python references, and the error helpers built on them.
#pragma once

// Rules of use, for every file that includes this header:
//  1. `py::object` (and its typed kin, `py::str`, `py::tuple`, ...) owns one
//     reference, `py::handle` owns none. A raw `PyObject*` never owns anything
//     outside this runtime layer.
//  2. A new reference from the C API is turned into an owner on the line where it
//     arrives, with `steal<T>(...)`; a borrowed one with `borrow<T>(...)`. Both
//     throw `py::error_already_set` when the pointer is null, so a failed call is
//     never carried further.
//  3. Python errors travel through C++ as `py::error_already_set`. Only code that
//     the behaviour says may catch an error catches it, and then only errors of the
//     `Exception` family (`is_ordinary`): KeyboardInterrupt, SystemExit,
//     GeneratorExit and asyncio.CancelledError always pass.
//  4. Every C entry point is `noexcept` and turns a C++ exception back into a
//     Python error in exactly one place (`restore_error`).
//  5. Code that must run while an error is pending (a finaliser, a destructor that
//     calls Python) sets it aside with a `PendingError` and puts it back after.
//  6. Python objects are touched only while the GIL is held; nothing here releases it.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

namespace py = pybind11;

namespace rt {

/// Owns the new reference `p` as a `T`; throws the pending Python error when `p`
/// is null.
template <class T = py::object> T steal(PyObject *p) {
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<T>(p);
}

/// Adds an owner to the borrowed reference `p`, as a `T`; throws when `p` is null.
template <class T = py::object> T borrow(PyObject *p) {
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<T>(p);
}

/// Throws the pending Python error when a C-API status is negative.
inline int raise_if_negative(int status) {
    if (status < 0) {
        throw py::error_already_set();
    }
    return status;
}

/// True for errors that a check may catch: the `Exception` family only.
inline bool is_ordinary(const py::error_already_set &error) {
    return error.matches(PyExc_Exception);
}

/// Sets the Python error that corresponds to the C++ exception in flight.
/// Call only from inside a `catch (...)` block.
void restore_error() noexcept;

/// The Python error pending at construction (if any), set aside so that other
/// code can call into Python. It is put back by `restore()`, dropped by
/// `discard()`, or put back by the destructor when neither was called; once only.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&m_type, &m_value, &m_traceback); }
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;
    ~PendingError() { restore(); }

    /// Whether an error was pending.
    explicit operator bool() const noexcept { return m_type != nullptr; }
    /// The exception instance (normalised on first use); null when none was pending.
    py::handle value() noexcept;
    /// Makes the held error the pending one again.
    void restore() noexcept;
    /// Drops the held error.
    void discard() noexcept;

private:
    PyObject *m_type = nullptr;
    PyObject *m_value = nullptr;
    PyObject *m_traceback = nullptr;
};

/// A Python str holding the UTF-8 text `text`.
inline py::str to_str(std::string_view text) {
    return steal<py::str>(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// The UTF-8 text of a Python str; raises as the interpreter does for text that
/// cannot be encoded (lone surrogates).
inline std::string to_utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return {data, static_cast<size_t>(size)};
}

/// The contents of a bytes object.
inline std::string bytes_of(py::handle bytes) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    raise_if_negative(PyBytes_AsStringAndSize(bytes.ptr(), &data, &size));
    return {data, static_cast<size_t>(size)};
}

/// The UTF-8 text of a Python str in which lone surrogates (the undecodable bytes
/// of a file name, say) stand as backslash escapes instead of failing.
inline std::string to_utf8_escaped(py::handle text) {
    return bytes_of(steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace")));
}

/// `str(value)`
inline py::str str_of(py::handle value) {
    return steal<py::str>(PyObject_Str(value.ptr()));
}

/// `str(value)` as UTF-8: the text an object stands for in a message.
inline std::string text_of(py::handle value) {
    return to_utf8(str_of(value));
}

/// Truth value as `bool(value)` gives it; raises what `__bool__` raises.
inline bool truthy(py::handle value) {
    return raise_if_negative(PyObject_IsTrue(value.ptr())) != 0;
}

/// `obj.name`
inline py::object attr(py::handle obj, const char *name) {
    return steal(PyObject_GetAttrString(obj.ptr(), name));
}

/// `obj.name`, or a null object when `obj` has no such attribute.
inline py::object optional_attr(py::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return {};
    }
    return steal(value);
}

/// `obj.name = value`
inline void set_attr(py::handle obj, const char *name, py::handle value) {
    raise_if_negative(PyObject_SetAttrString(obj.ptr(), name, value.ptr()));
}

/// `obj.name(args...)`, looked up through the object so that subclasses and
/// patches take part.
template <class... Args> py::object call_method(py::handle obj, const char *name, Args &&...args) {
    return attr(obj, name)(std::forward<Args>(args)...);
}

/// `item in container`
inline bool contains(py::handle container, py::handle item) {
    return raise_if_negative(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}

/// `a + b` for two str objects.
inline py::str concat(py::handle a, py::handle b) {
    return steal<py::str>(PyUnicode_Concat(a.ptr(), b.ptr()));
}

/// `str(error)` of a caught Python error.
inline py::str error_text(const py::error_already_set &error) {
    return str_of(error.value());
}

} // namespace rt
