// SPDX-License-Identifier: LGPL-2.1-or-later
/// Headers of a syslog-ng configuration and the lines that define missing ones.
#include "engine/core/syslog_config_text.hpp"

#include <gtest/gtest.h>

using namespace tarno;

TEST(ConfigurationHeaders, CommentAndDirectiveLinesGoWithTheBlankLinesBeforeThem) {
    const auto removed = [](std::string text, char mark) {
        remove_marked_lines(text, mark);
        return text;
    };
    EXPECT_EQ(removed("a\n \n\t# c\nb # not a comment\n#", '#'), "a\nb # not a comment\n");
    EXPECT_EQ(removed("@version: 4.0\n@include \"x\"\nsource s { };", '@'), "source s { };");
}

TEST(ConfigurationHeaders, HeadersWithOtherSpacingCountOnesInCommentsDoNot) {
    EXPECT_EQ(configuration_headers("source   s_src{ system(); };\n"
                                    "# filter f_dbg { level(debug); };\n"
                                    "filter\u3000f_kern\n{ facility(kern); };"),
              (Headers{"source s_src", "filter f_kern", ""}));
}

TEST(ConfigurationHeaders, ABlankBetweenBraceAndSemicolonEndsADefinition) {
    EXPECT_EQ(configuration_headers("filter f_a { x(); } ;filter f_b { y(); }\n;"),
              (Headers{"filter f_a", "filter f_b", ""}));
}

TEST(ConfigurationHeaders, LongRunsOfBlankLinesKeepTheirMeaning) {
    const std::string blanks(100000, '\n');
    EXPECT_EQ(configuration_headers(blanks + "# c\n" + blanks + "source s {};" + blanks + "@x"),
              (Headers{"source s", ""}));
}

TEST(DefinitionLine, FiltersJoinWithAndOthersWithSemicolons) {
    const std::vector<std::string> two{"a()", "not b()"};
    EXPECT_EQ(definition_line("filter f_x", two), "filter f_x { a() and not b(); };");
    EXPECT_EQ(definition_line("source s_src", two), "source s_src { a(); not b(); };");
}

TEST(ConfigurationHeaders, CarriageReturnsEndLinesAndAnEmptyLastLineIsAHeader) {
    EXPECT_EQ(configuration_headers("# c\rfilter f_a { x(); };\r\n# d\r\nfilter f_b { y(); };"),
              (Headers{"filter f_a", "filter f_b", ""}));
    EXPECT_EQ(configuration_headers(""), (Headers{""}));
}
