// SPDX-License-Identifier: LGPL-2.1-or-later
/// The module `_texts`: the engine's own texts that the Python side of the tool
/// matches on or rewords, so that both read them from one place. It imports
/// nothing, so that the tool reads them before the engine is loaded.
#include "engine/core/texts.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

py::str text(std::string_view value) {
    return {value.data(), value.size()};
}

} // namespace

PYBIND11_MODULE(_texts, m) {
    m.doc() = "The engine's texts that the command-line tool matches on or rewords.";
    m.attr("log_ident") = text(tarno::log_ident);
    m.attr("report_folder") = text(tarno::report_folder);
    m.attr("blocked_text") = text(tarno::blocked_text);
    m.attr("lock_command_prefix") = text(tarno::lock_command_prefix);
    m.attr("partially_restored") = text(tarno::partially_restored);
    m.attr("syslog_ng_stopped") = text(tarno::syslog_ng_stopped);
    m.attr("syslog_ng_restarting") = text(tarno::syslog_ng_restarting);
    m.attr("syslog_ng_restart_command") = text(tarno::syslog_ng_restart_command);
    m.attr("syslog_ng_restarted") = text(tarno::syslog_ng_restarted);
    m.attr("syslog_ng_syntax_check") = py::make_tuple(text(tarno::syslog_ng_syntax_check[0]),
                                                      text(tarno::syslog_ng_syntax_check[1]));
    m.attr("syslog_ng_cannot_start") = text(tarno::syslog_ng_cannot_start);
    m.attr("components_restored") = text(tarno::components_restored);
    m.attr("auditd_restart_command") = text(tarno::auditd_restart_command);
    m.attr("audit_rules_restored_in") = text(tarno::audit_rules_restored_in);
    m.attr("audit_rule_load_prefix") = text(tarno::audit_rule_load_prefix);
    m.attr("audit_rule_start") = text(tarno::audit_rule_finding("", ""));
    m.attr("audit_rule_restored") = text(tarno::audit_rule_restored);
    py::dict packages;
    for (const tarno::RequiredPackage &package : tarno::required_packages) {
        packages[package.member] = text(package.name);
    }
    m.attr("package_names") = packages;
}
