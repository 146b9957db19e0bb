// SPDX-License-Identifier: LGPL-2.1-or-later
/// The engine's report lines, package-list matching and shell quoting.
#include "engine/core/texts.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace tarno;

TEST(ReportLines, FindingRecordQuotesMessageAndPathVerbatim) {
    EXPECT_EQ(finding_record("CRITICAL", "auditd is not installed", "/tmp/report"),
              "type=EVENT_DIAGNOSTICS_CRITICAL desc='auditd is not installed' file='/tmp/report'");
    EXPECT_EQ(finding_record("ERROR", "it's 100%\nsure", "/r"),
              "type=EVENT_DIAGNOSTICS_ERROR desc='it's 100%\nsure' file='/r'");
}

TEST(ReportLines, FindingTextLowersTheLevelName) {
    EXPECT_EQ(finding_text("WARNING", "Accounts of non-privileged users are blocked"),
              "warning: Accounts of non-privileged users are blocked");
}

TEST(ReportLines, ReportLineJoinsStampIdentityAndMessage) {
    const std::string line = report_line("2024-03-05T14:07:12+03:00", "critical: x");
    EXPECT_EQ(line, "2024-03-05T14:07:12+03:00 tarno-event-diagnostics: critical: x");
    EXPECT_EQ(line.find(" tarno-event-diagnostics: "), 25U);
}

TEST(ReportLines, EndRecordCarriesTheCount) {
    EXPECT_EQ(end_record("0"), "type=EVENT_DIAGNOSTICS_END desc='errors=0'");
}

TEST(RepairHint, IsTwoLinesWithoutTrailingLineFeed) {
    EXPECT_TRUE(repair_hint.starts_with("Need to try to repair:\nsudo apt -o "));
    EXPECT_EQ(repair_hint.find('\n'), repair_hint.rfind('\n'));
    EXPECT_FALSE(repair_hint.ends_with("\n"));
}

struct ListCase {
    const char *list;
    const char *package;
    bool installed;
};

class PackageList : public testing::TestWithParam<ListCase> {};

TEST_P(PackageList, MatchesWholeLinesOfInstalledOrHeldPackages) {
    EXPECT_EQ(lists_installed(GetParam().list, GetParam().package), GetParam().installed)
        << GetParam().list;
}

INSTANTIATE_TEST_SUITE_P(Statuses, PackageList,
                         testing::Values(ListCase{"ii syslog-ng\n", "syslog-ng", true},
                                         ListCase{"hi syslog-ng\n", "syslog-ng", true},
                                         ListCase{"ii auditd", "auditd", true},
                                         ListCase{"iF syslog-ng\n", "syslog-ng", false},
                                         ListCase{"iiR syslog-ng\n", "syslog-ng", false},
                                         ListCase{"rc auditd\n", "auditd", false},
                                         ListCase{"ii auditd:amd64\n", "auditd", false},
                                         ListCase{"ii syslog-ng-core\n", "syslog-ng", false},
                                         ListCase{"ii syslog-ng-mod-tarno\n", "syslog-ng", false},
                                         ListCase{"ii  syslog-ng\n", "syslog-ng", false},
                                         ListCase{"xii syslog-ng\n", "syslog-ng", false},
                                         ListCase{"ii syslog-ng \n", "syslog-ng", false},
                                         ListCase{"", "auditd", false},
                                         ListCase{"ii a\nii b\nhi auditd\n", "auditd", true}));

TEST(ShellQuote, LeavesSafeWordsAlone) {
    EXPECT_EQ(shell_quote("alice"), "alice");
    EXPECT_EQ(shell_quote("a.b-c_d@e%f+g=h:i,j/k"), "a.b-c_d@e%f+g=h:i,j/k");
}

TEST(ShellQuote, QuotesEverythingElse) {
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(shell_quote("john smith"), "'john smith'");
    EXPECT_EQ(shell_quote("x;rm -rf /"), "'x;rm -rf /'");
    EXPECT_EQ(shell_quote("$(touch p)"), "'$(touch p)'");
    EXPECT_EQ(shell_quote("o'neil"), "'o'\"'\"'neil'");
    EXPECT_EQ(shell_quote("j\xc3\xbcrgen"), "'j\xc3\xbcrgen'");
}

TEST(Names, PrivateNamesAreMangledAsPythonDoes) {
    EXPECT_EQ(private_key("JournalInspector", "__cfg"), "_JournalInspector__cfg");
    EXPECT_EQ(private_key("__Hidden", "__x"), "_Hidden__x");
    for (const char *unchanged : {"__init__", "default_dir", "_single", "__a.b"}) {
        EXPECT_EQ(private_key("JournalInspector", unchanged), unchanged);
    }
    EXPECT_EQ(private_key("___", "__x"), "__x");
}

using Pieces = std::vector<std::string_view>;

TEST(PythonText, StripRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(strip(" \t\n\r\v\f\x1c\x1f a b \n"), "a b");
    // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000
    EXPECT_EQ(strip("\xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80x\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9"
                    "\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"),
              "x");
    // Not white space to Python: zero-width space U+200B, U+FEFF, NUL, and an
    // "x" whose UTF-8 merely ends in the byte of a blank's last byte.
    EXPECT_EQ(strip("\xe2\x80\x8bx\xef\xbb\xbf"), "\xe2\x80\x8bx\xef\xbb\xbf");
    EXPECT_EQ(strip(std::string_view("\0x\0", 3)), std::string_view("\0x\0", 3));
    EXPECT_EQ(strip("\xc3\xa0"), "\xc3\xa0"); // à ends in 0xa0, as U+00A0 does
    // Bytes that are not UTF-8 (kept in a configuration file) are no blank either.
    EXPECT_EQ(strip("\xe2\x80x"), "\xe2\x80x");
    EXPECT_EQ(strip(""), "");
    EXPECT_EQ(strip(" \n\xe3\x80\x80 "), "");
}

TEST(PythonText, SplitLinesKeepsEveryPieceUntrimmed) {
    EXPECT_EQ(split_lines(""), Pieces{""});
    EXPECT_EQ(split_lines("a\n"), (Pieces{"a", ""}));
    EXPECT_EQ(split_lines("\n\n"), (Pieces{"", "", ""}));
    EXPECT_EQ(split_lines(" a \r\nb"), (Pieces{" a \r", "b"}));
}

TEST(AuditListing, StripsTheWholeTextNotItsLines) {
    EXPECT_EQ(listed_rules("No rules\n"), Pieces{"No rules"});
    EXPECT_EQ(listed_rules(""), Pieces{""});
    EXPECT_EQ(listed_rules("\n \n-w /a -p wa -k /a\n\n-a x \n\t-w /b\n \n"),
              (Pieces{"-w /a -p wa -k /a", "", "-a x ", "\t-w /b"}));
    EXPECT_EQ(listed_rules("-a x\r\n-a y\r\n"), (Pieces{"-a x\r", "-a y"}));
}

TEST(AuditListing, FindingsQuoteTheRule) {
    EXPECT_EQ(audit_rule_finding("-w /a -p wa", audit_rule_missing),
              "audit rule '-w /a -p wa' is missing");
    EXPECT_EQ(audit_rule_finding("x", audit_rule_restored), "audit rule 'x' was restored");
    EXPECT_EQ(audit_rule_finding("x", audit_rule_not_restored),
              "audit rule 'x' could not be restored");
}
