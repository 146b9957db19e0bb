// SPDX-License-Identifier: LGPL-2.1-or-later
/// Which rules an audit rules file spells, and its text after a repair.
#include "engine/core/audit_rule_text.hpp"

#include <gtest/gtest.h>

using namespace tarno;

TEST(AuditRuleText, SpellingsCountAsOneRuleLineEndsBecomeLineFeeds) {
    const std::vector<std::string> rules{"-w /x -p wa -k /x", "-w /y -k /y"};
    // The key in either form, after blanks and tabs; an option joined to its
    // value or one more option is another rule.
    EXPECT_EQ(missing_rules(rules, "\t-w  /x -p wa\t-F key=/x \r-w /y -k/y\n-w /y -k /y -p r"),
              std::vector<std::string_view>{rules[1]});
    const std::string_view former = "x\r\n\xe9\rz\r\r\n";
    EXPECT_EQ(repaired_rules_text(missing_rules(rules, former), former),
              "-w /x -p wa -k /x\n-w /y -k /y\nx\n\xe9\nz\n\n");
    EXPECT_EQ(repaired_rules_text({}, "x"), "x\n");
}
