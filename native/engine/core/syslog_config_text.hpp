// SPDX-License-Identifier: LGPL-2.1-or-later
/// The text of a syslog-ng configuration: which definitions it holds, and the line
/// that defines a missing one. No Python here.
#pragma once

#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace tarno {

/// Header texts, found without building a string for every look-up.
using Headers = std::set<std::string, std::less<>>;

/// Removes, in place, every line whose first non-blank character is `mark`, with
/// its line feed and the blank lines right before it: what
/// `re.sub(r"^\s*<mark>.*\n?", "", text, flags=re.MULTILINE)` gives, with Python's
/// `\s` (Unicode white space, \x1c-\x1f included), in one pass. `text` is UTF-8.
void remove_marked_lines(std::string &text, char mark);

/// The headers of the definitions in a configuration. Comment and directive
/// lines are removed; then every run of white space counts as one blank, a line
/// ends after every definition end ("};", and "} ;" alike, since syslog-ng reads
/// both as the end of a definition), and a line's header is its text before the
/// first "{", without surrounding blanks. Linear in the size of `config`.
Headers configuration_headers(std::string_view config);

/// "<header> { <statements>; };", the statements joined by " and " for a filter
/// and by "; " otherwise.
std::string definition_line(std::string_view header, std::span<const std::string> statements);

} // namespace tarno
