// SPDX-License-Identifier: LGPL-2.1-or-later
/// The audit rule tables and the required syslog-ng components. No Python here.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace tarno {

/// One critical audit rule: as the rules file holds it, and as `auditctl -l` lists it.
struct CriticalRule {
    std::string_view file_form;
    std::string_view listing_form;
};

/// The critical rules of one machine name, in table order.
struct MachineRules {
    std::string_view machine;
    std::array<CriticalRule, 6> rules;
};

extern const std::array<MachineRules, 3> critical_rules;
extern const std::array<std::string_view, 4> important_rules;

/// A syslog-ng component that the main configuration must define, and its statements.
struct SyslogComponent {
    std::string_view header;
    std::span<const std::string_view> statements;
};

extern const std::array<SyslogComponent, 6> required_components;

} // namespace tarno
