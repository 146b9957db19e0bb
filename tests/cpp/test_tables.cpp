// SPDX-License-Identifier: LGPL-2.1-or-later
/// The audit rule tables and the required syslog-ng components.
#include "engine/core/tables.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace tarno;

TEST(AuditRules, EveryMachineHasSixDistinctRulesForItsArchitecture) {
    std::set<std::string_view> machines;
    for (const MachineRules &machine : critical_rules) {
        machines.insert(machine.machine);
        std::set<std::string_view> file_forms, listing_forms;
        for (const CriticalRule &rule : machine.rules) {
            file_forms.insert(rule.file_form);
            listing_forms.insert(rule.listing_form);
            EXPECT_TRUE(rule.file_form.starts_with("-a always,exit -F arch=")) << rule.file_form;
            EXPECT_TRUE(rule.listing_form.starts_with("-a always,exit -F arch=b"))
                << rule.listing_form;
            EXPECT_NE(rule.file_form, rule.listing_form);
        }
        EXPECT_EQ(file_forms.size(), 6U) << machine.machine;
        EXPECT_EQ(listing_forms.size(), 6U) << machine.machine;
        // The first five name the machine itself; the sixth is the openat rule.
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_NE(machine.rules[i].file_form.find("arch=" + std::string(machine.machine)),
                      std::string_view::npos);
        }
    }
    EXPECT_EQ(machines, (std::set<std::string_view>{"x86_64", "aarch64", "armv7l"}));
}

TEST(AuditRules, ImportantRulesWatchTheSubsystemsFilesUnderTheirOwnKey) {
    for (std::string_view rule : important_rules) {
        ASSERT_TRUE(rule.starts_with("-w "));
        const std::string_view path = rule.substr(3, rule.find(' ', 3) - 3);
        EXPECT_EQ(rule, "-w " + std::string(path) + " -p wa -k " + std::string(path));
    }
}

TEST(SyslogComponents, HeadersAreKindAndNameWithStatements) {
    std::set<std::string_view> headers;
    for (const SyslogComponent &component : required_components) {
        headers.insert(component.header);
        EXPECT_TRUE(component.header.starts_with("source ") ||
                    component.header.starts_with("filter "));
        EXPECT_FALSE(component.statements.empty());
    }
    EXPECT_EQ(headers.size(), required_components.size());
}
