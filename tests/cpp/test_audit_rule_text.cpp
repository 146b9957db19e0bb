// SPDX-License-Identifier: LGPL-2.1-or-later
/// Which rules an audit rules file spells, and its text after a repair.
#include "engine/core/audit_rule_text.hpp"

#include <gtest/gtest.h>

using namespace tarno;

namespace {
const std::vector<std::string> rules{"-a always,exit -S unlink -k remove_audit",
                                     "-w /etc/x -p wa -F key=/etc/x"};
} // namespace

TEST(AuditRuleText, OtherSpellingsOfARuleCountOthersDoNot) {
    EXPECT_EQ(missing_rules(rules, "\t-a  always,exit\t-S unlink -F key=remove_audit \r\n"
                                   "-w /etc/x -p wa -k /etc/x"),
              std::vector<std::string_view>{});
    // A comment, a joined option, another key and a longer line are other rules.
    EXPECT_EQ(missing_rules(rules, "#-a always,exit -S unlink -k remove_audit\n"
                                   "-a always,exit -S unlink -kremove_audit\n"
                                   "-w /etc/x -p wa -F key=/etc/y\n"
                                   "-w /etc/x -p wa -F key=/etc/x -k more\n"),
              (std::vector<std::string_view>{rules[0], rules[1]}));
}

TEST(AuditRuleText, RepairMakesLineFeedsAndAddsNoLine) {
    const std::vector<std::string_view> missing{"-w /a"};
    EXPECT_EQ(repaired_rules_text(missing, "x\r\ny\rz\r\r\n"), "-w /a\nx\ny\nz\n\n");
    EXPECT_EQ(repaired_rules_text(missing, "x\n"), "-w /a\nx\n");
    EXPECT_EQ(repaired_rules_text(missing, "x"), "-w /a\nx\n");
    EXPECT_EQ(repaired_rules_text(missing, ""), "-w /a\n");
    EXPECT_EQ(repaired_rules_text({}, "x\ry\xe9\r\n"), "x\ny\xe9\n");
}
