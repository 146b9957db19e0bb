// SPDX-License-Identifier: LGPL-2.1-or-later
/// The auditd service check: the audit daemon runs, or is restarted once; if it
/// still does not run, the accounts are blocked.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {

void check_auditd(py::object self) {
    // 1. The module package's common module must be importable.
    if (!import_or_block(self, common_module, common_class, Reported::error)) {
        return;
    }
    // 2. Running: nothing to report.
    if (process_running(auditd_process)) {
        return;
    }
    // 3. One restart; its exit status is not looked at, step 4 finds the result.
    try {
        run_command(self, rt::to_str(auditd_restart_command));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
    }
    // 4. Running again right after the restart: done, and nothing said.
    if (process_running(auditd_process)) {
        return;
    }
    // 5. auditd cannot work: block.
    call(self, method::send_critical_message, rt::to_str(auditd_cannot_start));
    call(self, method::block_users);
}

} // namespace tarno::engine
