/// Owned and borrowed Python references, and the error helpers built on them.
#pragma once

// Rules of use, for every file that includes this header:
//  1. `py::object` owns one reference, `py::handle` owns none. A raw `PyObject*`
//     never owns anything outside this runtime layer.
//  2. A new reference from the C API is turned into an owner on the line where it
//     arrives, with `steal(...)`; a borrowed one with `borrow(...)`. Both throw
//     `py::error_already_set` when the pointer is null, so a failed call is never
//     carried further.
//  3. Python errors travel through C++ as `py::error_already_set`. Only code that
//     the behaviour says may catch an error catches it, and then only errors of the
//     `Exception` family (`is_ordinary`): KeyboardInterrupt, SystemExit,
//     GeneratorExit and asyncio.CancelledError always pass.
//  4. Every C entry point is `noexcept` and turns a C++ exception back into a
//     Python error in exactly one place (`restore_error`).
//  5. Python objects are touched only while the GIL is held; nothing here releases it.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace py = pybind11;

namespace rt {

/// Owns the new reference `p`; throws the pending Python error when `p` is null.
inline py::object steal(PyObject *p) {
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(p);
}

/// Adds an owner to the borrowed reference `p`; throws when `p` is null.
inline py::object borrow(PyObject *p) {
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(p);
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

/// A Python str holding the UTF-8 text `text`.
inline py::str to_str(std::string_view text) {
    return py::reinterpret_steal<py::str>(
        steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
            .release());
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

/// The UTF-8 text of a Python str in which lone surrogates (the undecodable bytes
/// of a file name, say) stand as backslash escapes instead of failing.
inline std::string to_utf8_escaped(py::handle text) {
    py::object encoded = steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    return {PyBytes_AS_STRING(encoded.ptr()),
            static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

/// `str(value)`: the text an object stands for in a message.
inline std::string text_of(py::handle value) {
    return to_utf8(steal(PyObject_Str(value.ptr())));
}

/// Truth value as `bool(value)` gives it; raises what `__bool__` raises.
inline bool truthy(py::handle value) {
    return raise_if_negative(PyObject_IsTrue(value.ptr())) != 0;
}

/// Sets the Python error that corresponds to the C++ exception in flight.
/// Call only from inside a `catch (...)` block.
void restore_error() noexcept;

} // namespace rt
