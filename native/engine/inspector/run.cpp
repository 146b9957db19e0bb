// SPDX-License-Identifier: LGPL-2.1-or-later
/// The entry points: one diagnostic run, the repeated syslog-ng check and the
/// self-test of the report channel.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {
namespace {

/// The member `name` of the module's `Packages`.
py::object package(const char *name) {
    return global("Packages").attr(name);
}

} // namespace

rt::Task run(py::handle self) {
    // 1-2. One run at a time per inspector.
    if (rt::truthy(get(self, attribute::is_running))) {
        co_return py::none();
    }
    set(self, attribute::is_running, Py_True);
    // 3-4. Start message, then what is installed decides what can be checked; the
    // set is needed after the suspension in the syslog-ng check, so it is kept
    // where the collector sees it.
    call(self, method::send_start_check_message);
    py::handle installed = co_await rt::keep(call(self, method::check_installed_packages));
    // 5. The syslog-ng service.
    if (rt::contains(installed, package("SYSLOG_NG"))) {
        py::object check = call(self, method::check_syslog_ng);
        co_await rt::await(std::move(check));
    }
    // 6. The module's configuration and event settings.
    if (rt::contains(installed, package("SYSLOG_NG_MOD_TARNO"))) {
        call(self, method::check_syslog_ng_configuration);
        call(self, method::check_event_configuration);
    }
    // 7. Audit rules before the audit daemon.
    if (rt::contains(installed, package("AUDITD"))) {
        call(self, method::check_audit_rules);
        call(self, method::check_auditd);
    }
    // 8-9. End message, then the next run may start.
    call(self, method::send_end_check_message);
    set(self, attribute::is_running, Py_False);
    co_return py::none();
}

rt::Task run_healthcheck(py::handle self) {
    for (;;) {
        py::object check = call(self, method::check_syslog_ng);
        co_await rt::await(std::move(check));
        // The pause is read anew before every sleep.
        py::object pause =
            global("asyncio").attr("sleep")(get(self, member::cfg).attr("check_timeout"));
        co_await rt::await(std::move(pause));
    }
}

void test(py::object self) {
    call(self, method::send_start_check_message);
    for (const Method *sender : {&method::send_critical_message, &method::send_error_message,
                                 &method::send_warning_message}) {
        call(self, *sender, rt::to_str(self_test_text));
    }
    call(self, method::send_end_check_message);
}

} // namespace tarno::engine
