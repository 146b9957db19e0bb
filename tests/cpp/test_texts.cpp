/// The engine's report lines, package-list matching and shell quoting.
#include "engine/texts.hpp"

#include <gtest/gtest.h>

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
