/// The diagnostic run, the installed-package check and account blocking.
#include "engine/engine.hpp"
#include "engine/texts.hpp"

namespace tarno::engine {
namespace {

/// The member `name` of the module's `Packages`.
py::object package(const char *name) {
    return attr(global("Packages"), name);
}

/// The text as the operating system sees it: str to bytes and back with the
/// file-system encoding, so that names that are not valid UTF-8 survive.
std::string os_bytes(py::handle text) {
    py::object encoded = rt::steal(PyUnicode_EncodeFSDefault(text.ptr()));
    return {PyBytes_AS_STRING(encoded.ptr()),
            static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

py::object os_text(const std::string &bytes) {
    return rt::steal(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

} // namespace

rt::Task run(py::handle self) {
    // 1-2. One run at a time per inspector.
    if (rt::truthy(attr(self, member::is_running))) {
        co_return py::none();
    }
    set_attr(self, member::is_running, Py_True);
    // 3-4. Start message, then what is installed decides what can be checked.
    call_method(self, method::send_start);
    py::object installed = call_method(self, "check_installed_packages");
    // 5. The syslog-ng service.
    if (contains(installed, package("SYSLOG_NG"))) {
        co_await rt::await(call_method(self, "check_syslog_ng"));
    }
    // 6. The module's configuration and event settings.
    if (contains(installed, package("SYSLOG_NG_MOD_TARNO"))) {
        call_method(self, "check_syslog_ng_configuration");
        call_method(self, "check_event_configuration");
    }
    // 7. Audit rules before the audit daemon.
    if (contains(installed, package("AUDITD"))) {
        call_method(self, "check_audit_rules");
        call_method(self, "check_auditd");
    }
    // 8-9. End message, then the next run may start.
    call_method(self, method::send_end);
    set_attr(self, member::is_running, Py_False);
    co_return py::none();
}

rt::Task run_healthcheck(py::handle self) {
    for (;;) {
        co_await rt::await(call_method(self, "check_syslog_ng"));
        py::object pause = attr(attr(self, member::cfg), "check_timeout");
        co_await rt::await(global("asyncio").attr("sleep")(pause));
    }
}

py::object check_installed_packages(py::object self) {
    py::object result = package("NONE");
    try {
        // Query the package database; a failed query is an error of this check.
        py::list query;
        for (std::string_view argument : package_query) {
            query.append(rt::to_str(argument));
        }
        py::object output = global("subprocess").attr("check_output")(query);
        const std::string package_list = rt::to_utf8(output.attr("decode")());
        // Each required package, in order: add its member or report it missing.
        for (const RequiredPackage &required : required_packages) {
            if (lists_installed(package_list, required.name)) {
                result =
                    rt::steal(PyNumber_InPlaceOr(result.ptr(), package(required.member).ptr()));
            } else {
                py::object message = rt::to_str(required.missing);
                if (required.with_hint) {
                    message = concat(message, attr(self, member::repair_hint));
                }
                call_method(self, method::send_critical, message);
            }
        }
        // Anything missing makes the subsystem unusable.
        if (!result.is(package("ALL_REQUIRED"))) {
            call_method(self, method::block_users);
        }
    } catch (py::error_already_set &error) {
        if (!rt::is_ordinary(error)) {
            throw;
        }
        call_method(self, method::send_error, error_text(error));
    }
    return result;
}

void block_users(py::object self) {
    // 1. Blocking is asked for at construction, or never happens.
    if (!rt::truthy(attr(self, member::block))) {
        return;
    }
    try {
        // 3. Both databases, whole.
        py::object users = global("pwd").attr("getpwall")();
        py::object groups = global("grp").attr("getgrall")();
        // 4. The members of the first administrators group are exempt.
        py::object admins = py::list();
        py::object admin_name = rt::to_str(admin_group);
        for (py::handle group : groups) {
            if (attr(group, "gr_name").equal(admin_name)) {
                admins = attr(group, "gr_mem");
                break;
            }
        }
        // 5-6. Lock every other account from the threshold up. The name is quoted
        // for the shell, so that it reaches usermod as one argument and runs nothing.
        for (py::handle user : users) {
            py::object name = attr(user, "pw_name");
            if (contains(admins, name)) {
                continue;
            }
            py::object uid = attr(user, "pw_uid");
            if (rt::raise_if_negative(
                    PyObject_RichCompareBool(uid.ptr(), attr(self, "user_pw_uid").ptr(), Py_GE))) {
                const std::string command =
                    std::string(lock_command_prefix) + shell_quote(os_bytes(name));
                global("os").attr("system")(os_text(command));
            }
        }
    } catch (py::error_already_set &error) {
        // 7. A database that cannot be read: report it, and no warning.
        if (!rt::is_ordinary(error)) {
            throw;
        }
        call_method(self, method::send_error, error_text(error));
        return;
    }
    // 8. A clean pass.
    call_method(self, method::send_warning, rt::to_str(blocked_text));
}

void no_check(py::object) {}

rt::Task no_async_check(py::handle) {
    co_return py::none();
}

rt::Task nothing_unavailable(py::handle) {
    co_return py::bool_(true);
}

py::object nothing_missing(py::object) {
    return py::bool_(false);
}

} // namespace tarno::engine
