// SPDX-License-Identifier: LGPL-2.1-or-later
/// What the runtime's own Python types share: type creation, the owned members that
/// the collector walks, and attributes whose type is checked on assignment.
#pragma once

#include "runtime/ref.hpp"

#include <array>
#include <span>

namespace rt::detail {

/// Creates a heap type. The runtime keeps each of its types for the life of the
/// process (extension modules are never unloaded), so the reference is never
/// given back.
PyTypeObject *make_type(const char *name, size_t basicsize, unsigned flags,
                        std::span<PyType_Slot> slots);

/// The Python references that an object of type `T` owns, listed once per type
/// as an array of member pointers: the collector's traverse and clear walk the
/// same list, so a member cannot be visited and then forgotten by clear.
template <class T, size_t N> using OwnedMembers = std::array<PyObject * T::*, N>;

template <class T, size_t N>
int traverse_owned(T *object, const OwnedMembers<T, N> &owned, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(object));
    for (PyObject *T::*member : owned) {
        Py_VISIT(object->*member);
    }
    return 0;
}

template <class T, size_t N> void clear_owned(T *object, const OwnedMembers<T, N> &owned) {
    for (PyObject *T::*member : owned) {
        Py_CLEAR(object->*member);
    }
}

/// An attribute stored in an object member whose assignments are checked as the
/// interpreter checks those of its functions: "<name> must be set to a <kind>
/// object". With `none_clears`, None (and `del`) empty the member and an empty
/// member reads as None; without it, the member must always hold a `kind`.
struct CheckedAttribute {
    const char *name;
    Py_ssize_t offset;
    int (*check)(PyObject *);
    const char *kind;
    bool none_clears;
};

PyObject *get_checked(PyObject *self, void *attribute) noexcept;
int set_checked(PyObject *self, PyObject *value, void *attribute) noexcept;

/// The getset entry of a checked attribute.
inline PyGetSetDef checked_getset(const CheckedAttribute &attribute) {
    return {attribute.name, get_checked, set_checked, nullptr,
            const_cast<CheckedAttribute *>(&attribute)};
}

inline int is_str(PyObject *value) {
    return PyUnicode_Check(value);
}
inline int is_tuple(PyObject *value) {
    return PyTuple_Check(value);
}
inline int is_dict(PyObject *value) {
    return PyDict_Check(value);
}

} // namespace rt::detail
