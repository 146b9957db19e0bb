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
/// its line end and the blank lines right before it: what
/// `re.sub(r"^\s*<mark>.*\n?", "", text, flags=re.MULTILINE)` gives, with Python's
/// `\s` (Unicode white space, \x1c-\x1f included), in one pass, once "\r\n" and a
/// lone "\r" are read as line ends the way Python's text reading reads them. What
/// is kept keeps its own line ends. `text` is UTF-8.
void remove_marked_lines(std::string &text, char mark);

/// The headers of the definitions in a configuration. Comment and directive
/// lines are removed; then every run of white space counts as one blank, a line
/// ends after every definition end ("};", and "} ;" alike, since syslog-ng reads
/// both as the end of a definition), and a line's header is its text before the
/// first "{", without surrounding blanks. The last line counts even when it is
/// empty (the header ""). Linear in the size of `config`.
Headers configuration_headers(std::string_view config);

/// Whether `line` stands in `config` on a line of its own, as syslog-ng reads a
/// directive: only blanks or tabs before it on its line, and after it only blanks
/// or tabs, optionally followed by a "#" comment. Line ends as `remove_marked_lines`
/// reads them.
bool includes_on_own_line(std::string_view config, std::string_view line);

/// "<header> { <statements>; };", the statements joined by " and " for a filter
/// and by "; " otherwise.
std::string definition_line(std::string_view header, std::span<const std::string> statements);

} // namespace tarno
