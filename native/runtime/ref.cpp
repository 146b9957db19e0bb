// SPDX-License-Identifier: LGPL-2.1-or-later
/// Error translation at the C boundary, and the holder of a pending error.
#include "runtime/ref.hpp"

#include <new>

namespace rt {

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

py::handle PendingError::value() noexcept {
    if (m_type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&m_type, &m_value, &m_traceback);
    if (m_traceback != nullptr) {
        PyException_SetTraceback(m_value, m_traceback);
    }
    return m_value;
}

void PendingError::restore() noexcept {
    if (m_type != nullptr) {
        PyErr_Restore(std::exchange(m_type, nullptr), std::exchange(m_value, nullptr),
                      std::exchange(m_traceback, nullptr));
    }
}

void PendingError::discard() noexcept {
    Py_CLEAR(m_type);
    Py_CLEAR(m_value);
    Py_CLEAR(m_traceback);
}

} // namespace rt
