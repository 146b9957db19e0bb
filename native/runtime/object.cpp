// SPDX-License-Identifier: LGPL-2.1-or-later
/// Type creation and checked attributes of the runtime's own Python types.
#include "runtime/object.hpp"

namespace rt::detail {

PyTypeObject *make_type(const char *name, size_t basicsize, unsigned flags,
                        std::span<PyType_Slot> slots) {
    PyType_Spec spec = {name, static_cast<int>(basicsize), 0, flags, slots.data()};
    return reinterpret_cast<PyTypeObject *>(steal(PyType_FromSpec(&spec)).release().ptr());
}

namespace {

PyObject *&member_of(PyObject *self, const CheckedAttribute &attribute) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + attribute.offset);
}

} // namespace

PyObject *get_checked(PyObject *self, void *attribute) noexcept {
    PyObject *value = member_of(self, *static_cast<CheckedAttribute *>(attribute));
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_checked(PyObject *self, PyObject *value, void *closure) noexcept {
    const auto &attribute = *static_cast<CheckedAttribute *>(closure);
    if (attribute.none_clears && value == Py_None) {
        value = nullptr;
    }
    if ((value == nullptr && !attribute.none_clears) ||
        (value != nullptr && !attribute.check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute.name,
                     attribute.kind);
        return -1;
    }
    Py_XSETREF(member_of(self, attribute), Py_XNewRef(value));
    return 0;
}

} // namespace rt::detail
