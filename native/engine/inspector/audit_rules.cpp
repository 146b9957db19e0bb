// SPDX-License-Identifier: LGPL-2.1-or-later
/// The audit rule checks: the critical and important rules stand in the rules file
/// of the event subsystem and are loaded in the kernel; what is missing is
/// written or loaded again.
#include "engine/core/audit_rule_text.hpp"
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

#include <algorithm>
#include <vector>

namespace tarno::engine {
namespace {

/// A rules file made by a check is never readable by others, not even while it
/// is written; one that exists keeps its owner, group and mode.
constexpr NewFile new_rules_file{0640, true};

bool holds(const std::vector<std::string_view> &lines, std::string_view rule) {
    return std::ranges::find(lines, rule) != lines.end();
}

/// `table[machine]` of a class table, or `empty` for a machine it does not know;
/// the table itself is not changed.
py::object for_this_machine(py::handle self, const Name &table, py::object empty) {
    return get(self, table).attr("get")(get(self, attribute::arch), std::move(empty));
}

/// The rules that the file must hold, as the class tables give them now: the
/// critical rules of this machine in rules-file form, then the important rules.
std::vector<std::string> file_rules(py::handle self) {
    std::vector<std::string> rules;
    for (py::handle rule : for_this_machine(self, attribute::critical_audit_rules, py::list())) {
        rules.push_back(rt::to_utf8(rule));
    }
    for (py::handle rule : get(self, attribute::important_audit_rules)) {
        rules.push_back(rt::to_utf8(rule));
    }
    return rules;
}

/// Each of `lines` followed by a line feed, as the rules file holds them.
void append_lines(std::string &text, const std::vector<std::string> &lines) {
    for (std::string_view line : lines) {
        text.append(line).push_back('\n');
    }
}

/// Restarts auditd, which loads the rules files again; how the command ends is
/// not looked at here (the auditd service check looks at the daemon).
void restart_auditd(py::handle self) {
    run_command(self, rt::to_str(auditd_restart_command));
}

/// Reports `rule` missing from the kernel and loads it again through the shell.
/// The load's own exit status tells whether it was restored: a refused load (an
/// immutable audit configuration, auditctl missing) is not a repair.
void restore_rule(py::handle self, const std::string &rule) {
    call(self, method::send_error_message,
         rt::to_str(audit_rule_finding(rule, audit_rule_missing)));
    py::object status;
    try {
        const std::string command = std::string(audit_rule_load_prefix) + rule;
        status = run_command(self, rt::to_str(command));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
        return;
    }
    if (rt::truthy(status)) {
        call(self, method::send_error_message,
             rt::to_str(audit_rule_finding(rule, audit_rule_not_restored)));
    } else {
        call(self, method::send_warning_message,
             rt::to_str(audit_rule_finding(rule, audit_rule_restored)));
    }
}

} // namespace

void check_audit_rules(py::object self) {
    call(self, method::check_nonexistent_audit_rules);
    call(self, method::check_missing_audit_rules);
    call(self, method::check_lost_audit_rules);
}

void check_nonexistent_audit_rules(py::object self) {
    // 1. A rules file in place is the completeness check's to look at. A test that
    // fails (a folder on the way that may not be searched) is reported, naming the
    // file, and nothing is made.
    py::object rules_file = get(self, attribute::audit_rules_file);
    try {
        if (rt::truthy(rules_file.attr("exists")())) {
            return;
        }
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
        return;
    }
    // 2. Missing.
    call(self, method::send_error_message, followed_by(rules_file, does_not_exist));
    // 3. The rules of this machine in a new file, then auditd loads them. A write
    // that fails leaves no file behind.
    try {
        std::string text;
        append_lines(text, file_rules(self));
        replace_text(self, rules_file, rt::to_str(text), new_rules_file);
        restart_auditd(self);
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
        return;
    }
    // 4. Made and loaded.
    call(self, method::send_warning_message, followed_by(rules_file, partially_restored));
}

void check_missing_audit_rules(py::object self) {
    try {
        // 3. The file's bytes as they are: bytes that are not UTF-8 stay as they
        // were, and a FIFO or a device is refused by name.
        py::object rules_file = get(self, attribute::audit_rules_file);
        const std::string text = config_bytes(read_config_text(rules_file));
        // 4. Each rule that no line of the file spells, in table order.
        const std::vector<std::string> rules = file_rules(self);
        const std::vector<std::string_view> missing = missing_rules(rules, text);
        // 5. Every rule there, in lines that auditctl reads: the file stays as it is.
        if (missing.empty() && !has_carriage_return(text)) {
            return;
        }
        // 6. The missing rules on top of the former lines, each line ended by a
        // line feed alone, the file replaced whole.
        call(self, method::send_error_message,
             rt::concat(rt::to_str(audit_rules_missing_in), rt::str_of(rules_file)));
        replace_text(self, rules_file, config_text(repaired_rules_text(missing, text)),
                     new_rules_file);
        restart_auditd(self);
        call(self, method::send_warning_message,
             rt::concat(rt::to_str(audit_rules_restored_in), rt::str_of(rules_file)));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
    }
}

void check_lost_audit_rules(py::object self) {
    // 1-2. The rules the kernel lists. Without a listing none counts as listed, so
    // every rule is loaded again.
    std::string listing;
    std::vector<std::string_view> listed;
    try {
        listing = rt::to_utf8(query_output(audit_rule_query));
        listed = listed_rules(listing);
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error);
    }
    // 3. The critical rules of this machine, listed in their own form, loaded in
    // rules-file form.
    py::object critical = for_this_machine(self, attribute::critical_auditstyle_rules, py::dict());
    for (py::handle pair : critical.attr("items")()) {
        const py::object listing_form = pair[py::int_(0)];
        const py::object file_form = pair[py::int_(1)];
        if (!holds(listed, rt::to_utf8(listing_form))) {
            restore_rule(self, rt::to_utf8(file_form));
        }
    }
    // 4. The important rules, listed as they are written.
    for (py::handle rule : get(self, attribute::important_audit_rules)) {
        const std::string text = rt::to_utf8(rule);
        if (!holds(listed, text)) {
            restore_rule(self, text);
        }
    }
}

} // namespace tarno::engine
