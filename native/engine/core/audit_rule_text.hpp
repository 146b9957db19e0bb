// SPDX-License-Identifier: LGPL-2.1-or-later
/// The text of an audit rules file: which rules its lines spell, and its text after
/// a repair. Works on the file's bytes, whatever they are. No Python here.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarno {

/// `line` in the form in which two spellings of one rule are equal: blanks and
/// tabs at either end dropped, every run of them inside made one blank, and every
/// option `-k K` written `-F key=K`, as auditctl takes both.
std::string normal_rule(std::string_view line);

/// Whether `text` holds a carriage return: auditctl reads it as part of the rule
/// it ends, so such a file holds none of its rules as written.
inline bool has_carriage_return(std::string_view text) {
    return text.find('\r') != std::string_view::npos;
}

/// `text` with every "\r\n" and every lone "\r" made "\n".
std::string with_line_feeds(std::string_view text);

/// The entries of `rules` that no line of the rules file `text` spells (compared in
/// their normal form; "\r\n" and "\r" end lines too), in the order of `rules`.
std::vector<std::string_view> missing_rules(std::span<const std::string> rules,
                                            std::string_view text);

/// The rules file after a repair: each of `missing` on a line of its own, then
/// `text` with its line ends made "\n". A text that ends in a line feed ends in
/// one again; a last line without one gets one.
std::string repaired_rules_text(std::span<const std::string_view> missing, std::string_view text);

} // namespace tarno
