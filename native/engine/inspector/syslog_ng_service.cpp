// SPDX-License-Identifier: LGPL-2.1-or-later
/// The syslog-ng service check: the daemon runs and answers its health check, or
/// is restarted once; if it still does not run, its configuration's syntax check
/// tells why, and the accounts are blocked.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {

rt::Task check_syslog_ng(py::handle self) {
    // 1. The module package's common module must be importable.
    if (!import_or_block(self, common_module, common_class, Reported::text)) {
        co_return py::none();
    }

    // 2. A running daemon must also pass the health check.
    if (process_running(syslog_ng_process)) {
        py::object available = call(self, method::syslog_ng_is_available);
        if (rt::truthy(co_await rt::await(std::move(available)))) {
            co_return py::none();
        }
        call(self, method::send_critical_message, rt::to_str(syslog_ng_unavailable));
    }

    // 3. One restart; its exit status is not looked at, step 4 finds the result.
    try {
        call(self, method::send_critical_message, rt::to_str(syslog_ng_stopped));
        call(self, method::send_debug_message, rt::to_str(syslog_ng_restarting));
        run_command(self, rt::to_str(syslog_ng_restart_command));
        call(self, method::send_debug_message, rt::to_str(syslog_ng_restarted));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error, Reported::text);
    }

    // 4. Running again right after the restart: done.
    if (process_running(syslog_ng_process)) {
        co_return py::none();
    }

    // 5. The syntax check says what is wrong; its standard error is left alone.
    py::object syntax_check_result = py::none();
    try {
        syntax_check_result = query_output(syslog_ng_syntax_check);
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
    }

    // 6. The output, or the repair hint when there is none.
    py::object detail =
        rt::truthy(syntax_check_result) ? syntax_check_result : get(self, attribute::repair_hint);
    call(self, method::send_critical_message,
         rt::concat(rt::to_str(syslog_ng_cannot_start), detail));

    // 7. syslog-ng cannot work: block.
    call(self, method::block_users);
    co_return py::none();
}

rt::Task syslog_ng_is_available(py::handle self) {
    // A new health check for every question; its answer goes on unchanged.
    py::object answer = global("Healthcheck")(get(self, member::cfg)).attr("run")();
    co_return co_await rt::await(std::move(answer));
}

} // namespace tarno::engine
