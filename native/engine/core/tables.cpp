// SPDX-License-Identifier: LGPL-2.1-or-later
/// The audit rule tables and the required syslog-ng components.
#include "engine/core/tables.hpp"

namespace tarno {

// clang-format off
const std::array<MachineRules, 3> critical_rules{{
    {"x86_64", {{
        {"-a always,exit -F arch=x86_64 -F path=/var/log/audit/audit.log -S unlink,unlinkat -k remove_audit",
         "-a always,exit -F arch=b64 -S unlink,unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"},
        {"-a always,exit -F arch=x86_64 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b64 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"},
        {"-a always,exit -F arch=x86_64 -F path=/tessik/log/tarno/events -S unlink,unlinkat -k remove_events",
         "-a always,exit -F arch=b64 -S unlink,unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"},
        {"-a always,exit -F arch=x86_64 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b64 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"},
        {"-a always,exit -F arch=x86_64 -S chmod,fchmod,fchmodat,chown,fchown,fchownat,lchown -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S chmod,fchmod,chown,fchown,lchown,fchownat,fchmodat -F path=/tessik/log/tarno/events -F key=events_modified"},
        {"-a always,exit -F arch=b64 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"},
    }}},
    {"aarch64", {{
        {"-a always,exit -F arch=aarch64 -F path=/var/log/audit/audit.log -S unlinkat -k remove_audit",
         "-a always,exit -F arch=b64 -S unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"},
        {"-a always,exit -F arch=aarch64 -S renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b64 -S renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"},
        {"-a always,exit -F arch=aarch64 -F path=/tessik/log/tarno/events -S unlinkat -k remove_events",
         "-a always,exit -F arch=b64 -S unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"},
        {"-a always,exit -F arch=aarch64 -S renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b64 -S renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"},
        {"-a always,exit -F arch=aarch64 -S fchmod,fchmodat,fchown,fchownat -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S fchmod,fchmodat,fchownat,fchown -F path=/tessik/log/tarno/events -F key=events_modified"},
        {"-a always,exit -F arch=b64 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"},
    }}},
    {"armv7l", {{
        {"-a always,exit -F arch=armv7l -F path=/var/log/audit/audit.log -S unlink,unlinkat -k remove_audit",
         "-a always,exit -F arch=b32 -S unlink,unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"},
        {"-a always,exit -F arch=armv7l -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b32 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"},
        {"-a always,exit -F arch=armv7l -F path=/tessik/log/tarno/events -S unlink,unlinkat -k remove_events",
         "-a always,exit -F arch=b32 -S unlink,unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"},
        {"-a always,exit -F arch=armv7l -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b32 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"},
        {"-a always,exit -F arch=armv7l -S chmod,fchmod,fchmodat,chown,fchown,fchownat,lchown -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b32 -S chmod,lchown,fchmod,fchown,chown,fchownat,fchmodat -F path=/tessik/log/tarno/events -F key=events_modified"},
        {"-a always,exit -F arch=b32 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b32 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"},
    }}},
}};

const std::array<std::string_view, 4> important_rules{
    "-w /etc/tarno-syslog.conf -p wa -k /etc/tarno-syslog.conf",
    "-w /etc/audit/rules.d/tarno-syslog.rules -p wa -k /etc/audit/rules.d/tarno-syslog.rules",
    "-w /etc/syslog-ng/conf.d/mod-tarno.conf -p wa -k /etc/syslog-ng/conf.d/mod-tarno.conf",
    "-w /usr/share/syslog-ng-mod-tarno/mod-tarno.conf -p wa -k /usr/share/syslog-ng-mod-tarno/mod-tarno.conf",
};

namespace {
constexpr std::array<std::string_view, 2> statements_0{"system()", "internal()"};
constexpr std::array<std::string_view, 2> statements_1{"not facility(auth, authpriv, mail)", "not filter(f_dbg)"};
constexpr std::array<std::string_view, 1> statements_2{"level(debug)"};
constexpr std::array<std::string_view, 2> statements_3{"facility(kern)", "not filter(f_dbg)"};
constexpr std::array<std::string_view, 3> statements_4{"facility(auth, authpriv)", "not filter(f_dbg)", "not filter(f_audit)"};
constexpr std::array<std::string_view, 1> statements_5{"program(\"audit\")"};
} // namespace

const std::array<SyslogComponent, 6> required_components{{
    {"source s_src", statements_0},
    {"filter f_syslog3", statements_1},
    {"filter f_dbg", statements_2},
    {"filter f_kern", statements_3},
    {"filter f_auth", statements_4},
    {"filter f_audit", statements_5},
}};
// clang-format on

} // namespace tarno
