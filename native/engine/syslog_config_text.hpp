/// The text of a syslog-ng configuration: which definitions it holds, and the line
/// that defines a missing one. No Python here.
#pragma once

#include <set>
#include <span>
#include <string>
#include <string_view>

namespace tarno {

/// Removes every line whose first non-blank character is `mark`, with its line
/// feed and the blank lines right before it: what `re.sub(r"^\s*<mark>.*\n?", "",
/// text, flags=re.MULTILINE)` gives, with Python's `\s` (Unicode white space,
/// \x1c-\x1f included), in one pass over the text. `text` is UTF-8.
std::string remove_marked_lines(std::string_view text, char mark);

/// Collapses every run of white space (line feeds included) to one blank, then
/// ends a line after every definition end: "};", and "} ;" alike, since syslog-ng
/// reads both as the end of a definition.
std::string normalise(std::string_view text);

/// The headers of the definitions in a configuration: comment and directive lines
/// removed, the text normalised, and of each line the text before its first "{",
/// without surrounding blanks. Linear in the size of `config`.
std::set<std::string> configuration_headers(std::string_view config);

/// "<header> { <statements>; };", the statements joined by " and " for a filter
/// and by "; " otherwise.
std::string definition_line(std::string_view header, std::span<const std::string> statements);

} // namespace tarno
