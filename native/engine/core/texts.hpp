// SPDX-License-Identifier: LGPL-2.1-or-later
/// The engine's own texts and the pure text work on them: report lines, the
/// package list, shell quoting, Python's white space, the audit rule listing. No
/// Python here.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tarno {

/// The identity under which every system-log line goes out.
inline constexpr std::string_view log_ident = "tarno-event-diagnostics";
/// The facility argument handed to openlog (a plain 13, as the platform receives it).
inline constexpr int log_facility_argument = 13;
/// The folder of the report files, which the run makes when it is missing.
inline constexpr std::string_view report_folder = "/tessik/log/tarno";

inline constexpr std::string_view start_text =
    "Self-diagnostics of the event registration subsystem has been started";
inline constexpr std::string_view end_text_prefix =
    "Self-diagnostics of the event registration subsystem is completed: errors=";
inline constexpr std::string_view start_record = "type=EVENT_DIAGNOSTICS_START";

inline constexpr std::string_view repair_hint =
    "Need to try to repair:\n"
    "sudo apt -o DPkg::options::=\"--force-confnew\" -o DPkg::options::=\"--force-confmiss\" "
    "install --reinstall syslog-ng-mod-tarno";

inline constexpr std::string_view self_test_text = "test\ntest";
inline constexpr std::string_view blocked_text = "Accounts of non-privileged users are blocked";
/// Around the user name of an account whose lock command failed.
inline constexpr std::string_view not_blocked_prefix = "account '";
inline constexpr std::string_view not_blocked_suffix = "' could not be blocked";
inline constexpr std::string_view admin_group = "tarno-admin";
inline constexpr std::string_view lock_command_prefix = "usermod -L ";
inline constexpr std::string_view does_not_exist = " does not exist";
inline constexpr std::string_view partially_restored = " was partially restored";
/// After a configuration path that leads to a FIFO, a device or a socket.
inline constexpr std::string_view not_regular_file = " is not a regular file";

/// The outside module of the syslog-ng module package that the service checks
/// import when they run, and its class.
inline constexpr const char *common_module = "syslog_ng_mod_tarno.common.mod_tarno_common";
inline constexpr const char *common_class = "ModTarnoCommon";

// The syslog-ng service check.
inline constexpr std::string_view syslog_ng_process = "syslog-ng";
inline constexpr std::string_view syslog_ng_unavailable = "syslog-ng is not available";
inline constexpr std::string_view syslog_ng_stopped =
    "syslog-ng service is currently stopped. Restarting now.";
inline constexpr std::string_view syslog_ng_restarting = "restarting syslog-ng";
inline constexpr std::string_view syslog_ng_restart_command = "systemctl restart syslog-ng";
inline constexpr std::string_view syslog_ng_restarted = "syslog-ng successfully restarted";
inline constexpr std::array<std::string_view, 2> syslog_ng_syntax_check{"syslog-ng", "-s"};
inline constexpr std::string_view syslog_ng_cannot_start = "Can not start syslog-ng\n";

// The syslog-ng configuration check.
inline constexpr std::string_view include_directive = "@include \"";
inline constexpr std::string_view is_wrong = " is wrong";
inline constexpr std::string_view components_restored =
    "The following necessary components of syslog-ng have been restored: ";
/// After a configuration path whose repair was put back.
inline constexpr std::string_view not_repaired =
    " was not repaired: syslog-ng rejects the repaired configuration";

// The event-settings check.
inline constexpr const char *events_module = "syslog_ng_mod_tarno.config.mod_tarno_events";
inline constexpr const char *events_class = "ModTarnoEvents";
inline constexpr std::string_view audit_group = "audit";
inline constexpr std::string_view diagnostics_group = "diagnostics";
inline constexpr std::string_view authorization_settings =
    "/usr/share/syslog-ng-mod-tarno/event-settings/authorization";
inline constexpr std::string_view security_logs_settings =
    "/usr/share/syslog-ng-mod-tarno/event-settings/security-logs";
inline constexpr std::string_view self_diagnostics_settings =
    "/usr/share/syslog-ng-mod-tarno/event-settings/self-diagnostics";
inline constexpr std::string_view wrong_event_configuration = "Wrong event configuration.\n";

// The audit rule checks.
inline constexpr std::string_view auditd_restart_command = "systemctl restart auditd";
/// The query of the loaded rules, run without a shell.
inline constexpr std::array<std::string_view, 2> audit_rule_query{"auditctl", "-l"};
inline constexpr std::string_view audit_rule_load_prefix = "auditctl ";
inline constexpr std::string_view audit_rules_missing_in = "important audit rules are missing in ";
inline constexpr std::string_view audit_rules_restored_in =
    "important audit rules was restored in ";
inline constexpr std::string_view audit_rule_missing = "' is missing";
inline constexpr std::string_view audit_rule_restored = "' was restored";
inline constexpr std::string_view audit_rule_not_restored = "' could not be restored";

// The auditd service check.
inline constexpr std::string_view auditd_process = "auditd";
inline constexpr std::string_view auditd_cannot_start = "Can not start auditd";

/// The attribute key under which Python keeps `name` written in the body of the
/// class `owner`: a private name (two leading underscores, not two trailing, no
/// dot) becomes "_" + `owner` without its leading underscores + `name`.
std::string private_key(std::string_view owner, std::string_view name);

/// "type=EVENT_DIAGNOSTICS_<LEVEL> desc='<message>' file='<path>'"
std::string finding_record(std::string_view level_name, std::string_view message,
                           std::string_view report_path);
/// "type=EVENT_DIAGNOSTICS_END desc='errors=<count>'"
std::string end_record(std::string_view count);
/// "<lower-case level>: <message>", the text of a finding's report-file line.
std::string finding_text(std::string_view level_name, std::string_view message);
/// "<time stamp> tarno-event-diagnostics: <message>", one report-file line.
std::string report_line(std::string_view timestamp, std::string_view message);

/// The length in bytes of the white-space character that starts at `at` in the
/// UTF-8 `text` (what Python's `str.isspace()`, and so `\s`, accepts), or 0 for
/// any other character.
size_t space_length(std::string_view text, size_t at);

/// `text` without the white space at either end, as Python's `str.strip()` gives it.
std::string_view strip(std::string_view text);

/// The pieces of `text` between line feeds, as Python's `split("\n")` gives them:
/// nothing is trimmed, and a text that ends in a line feed has an empty last piece.
std::vector<std::string_view> split_lines(std::string_view text);

/// The rules that an `auditctl -l` listing holds: the whole text stripped, then
/// split at line feeds; the pieces themselves are not trimmed.
std::vector<std::string_view> listed_rules(std::string_view listing);

/// "audit rule '<rule><ending>": a finding about one rule loaded in the kernel.
std::string audit_rule_finding(std::string_view rule, std::string_view ending);

/// A required package, the line that marks it installed and its finding.
struct RequiredPackage {
    std::string_view name;
    const char *member;       ///< the Packages member it adds
    std::string_view missing; ///< text of the critical finding (before any hint)
    bool with_hint;           ///< the repair hint follows the finding
};

inline constexpr std::array<RequiredPackage, 3> required_packages{{
    {"syslog-ng", "SYSLOG_NG", "syslog-ng is not installed\n", true},
    {"syslog-ng-mod-tarno", "SYSLOG_NG_MOD_TARNO", "syslog-ng-mod-tarno is not installed\n", true},
    {"auditd", "AUDITD", "auditd is not installed", false},
}};

/// The package query's argument list; the format ends in a real line feed.
inline constexpr std::array<std::string_view, 3> package_query{
    "dpkg-query", "--showformat=${db:Status-Abbrev}${binary:Package}\n", "--show"};

/// Whether the package list (one "<status abbreviation><name>" per line) shows
/// `package` installed: a whole line "ii <name>", or "hi <name>" for a package
/// that is installed and held at its version.
bool lists_installed(std::string_view package_list, std::string_view package);

/// Quotes `word` for the POSIX shell the way Python's shlex.quote does: words of
/// safe characters stay as they are, anything else goes in single quotes.
std::string shell_quote(std::string_view word);

} // namespace tarno
