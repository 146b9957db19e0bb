// SPDX-License-Identifier: LGPL-2.1-or-later
/// Account blocking: locks the password of every non-privileged account when the
/// inspector was built with blocking on.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {
namespace {

/// The text as the operating system sees it: str to bytes and back with the
/// file-system encoding, so that names that are not valid UTF-8 survive.
std::string os_bytes(py::handle text) {
    return rt::bytes_of(rt::steal(PyUnicode_EncodeFSDefault(text.ptr())));
}

py::str os_text(const std::string &bytes) {
    return rt::steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

} // namespace

void block_users(py::object self) {
    // 1. Blocking is asked for at construction, or never happens.
    if (!rt::truthy(get(self, member::block))) {
        return;
    }
    try {
        // 3. Both databases, whole.
        py::object users = global("pwd").attr("getpwall")();
        py::object groups = global("grp").attr("getgrall")();
        // 4. The members of the first administrators group are exempt.
        py::object admins = py::list();
        py::str admin_name = rt::to_str(admin_group);
        for (py::handle group : groups) {
            if (rt::attr(group, "gr_name").equal(admin_name)) {
                admins = rt::attr(group, "gr_mem");
                break;
            }
        }
        // 5-6. Lock every other account from the threshold up. The name is quoted
        // for the shell, so that it reaches usermod as one argument and runs nothing.
        for (py::handle user : users) {
            py::object name = rt::attr(user, "pw_name");
            if (rt::contains(admins, name)) {
                continue;
            }
            py::object uid = rt::attr(user, "pw_uid");
            if (rt::raise_if_negative(PyObject_RichCompareBool(
                    uid.ptr(), get(self, attribute::user_pw_uid).ptr(), Py_GE))) {
                const std::string command =
                    std::string(lock_command_prefix) + shell_quote(os_bytes(name));
                run_command(self, os_text(command));
            }
        }
    } catch (py::error_already_set &error) {
        // 7. A database that cannot be read: report it, and no warning.
        report_ordinary(self, method::send_error_message, error, Reported::text);
        return;
    }
    // 8. A clean pass.
    call(self, method::send_warning_message, rt::to_str(blocked_text));
}

} // namespace tarno::engine
