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

/// Runs the lock command of the account `name`. The name is quoted for the shell,
/// so that it reaches usermod as one argument and runs nothing. A command that
/// cannot be run (its error, a time limit among them) or whose status is not 0 is
/// reported at error level; returns whether the account was locked.
bool lock_account(py::handle self, py::handle name) {
    py::object status;
    try {
        const std::string command = std::string(lock_command_prefix) + shell_quote(os_bytes(name));
        status = run_command(self, os_text(command));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error, Reported::text);
        return false;
    }
    if (!rt::truthy(status)) {
        return true;
    }
    call(self, method::send_error_message,
         rt::concat(rt::concat(rt::to_str(not_blocked_prefix), rt::str_of(name)),
                    rt::to_str(not_blocked_suffix)));
    return false;
}

} // namespace

void block_users(py::object self) {
    // 1. Blocking is asked for at construction, or never happens.
    if (!rt::truthy(get(self, member::block))) {
        return;
    }
    bool all_locked = true;
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
        // 5-6. Lock every other account from the threshold up; an account that
        // could not be locked is reported and the walk goes on.
        for (py::handle user : users) {
            py::object name = rt::attr(user, "pw_name");
            if (rt::contains(admins, name)) {
                continue;
            }
            py::object uid = rt::attr(user, "pw_uid");
            if (rt::raise_if_negative(PyObject_RichCompareBool(
                    uid.ptr(), get(self, attribute::user_pw_uid).ptr(), Py_GE))) {
                all_locked = lock_account(self, name) && all_locked;
            }
        }
    } catch (py::error_already_set &error) {
        // 7. A database that cannot be read: report it, and no warning.
        report_ordinary(self, method::send_error_message, error, Reported::text);
        return;
    }
    // 8. Said only when no lock command failed: blocking that did not happen is
    // never reported as done.
    if (all_locked) {
        call(self, method::send_warning_message, rt::to_str(blocked_text));
    }
}

} // namespace tarno::engine
