// SPDX-License-Identifier: LGPL-2.1-or-later
/// Headers of a syslog-ng configuration, found in linear time.
#include "engine/core/syslog_config_text.hpp"
#include "engine/core/texts.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

namespace tarno {
namespace {

/// The first position at or after `at` that is not white space.
size_t skip_space(std::string_view text, size_t at) {
    while (at < text.size()) {
        const size_t length = space_length(text, at);
        if (length == 0) {
            break;
        }
        at += length;
    }
    return at;
}

/// The position after the line end ("\n", "\r\n" or a lone "\r", as Python's text
/// reading takes them) of the line holding `at` (the end of the text when there is
/// none).
size_t next_line(std::string_view text, size_t at) {
    const size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) {
        return text.size();
    }
    return text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
}

bool blank_or_tab(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

void remove_marked_lines(std::string &text, char mark) {
    // The expression can match only at a line start, and there only when the
    // longest run of white space from it ends at `mark`. Every line start inside
    // such a run shares its end, so a run is looked at once: that is what keeps
    // long stretches of blank lines linear, where the expression rescans them
    // from each of their lines. What is kept moves down over what is removed.
    size_t kept = 0;
    size_t line = 0;
    while (line < text.size()) {
        const size_t first = skip_space(text, line);
        const size_t after = next_line(text, first);
        if (first == text.size() || text[first] != mark) {
            if (kept != line) {
                std::copy(text.begin() + static_cast<std::ptrdiff_t>(line),
                          text.begin() + static_cast<std::ptrdiff_t>(after),
                          text.begin() + static_cast<std::ptrdiff_t>(kept));
            }
            kept += after - line;
        }
        line = after;
    }
    text.resize(kept);
}

Headers configuration_headers(std::string_view config) {
    std::string text(config);
    remove_marked_lines(text, '#');
    remove_marked_lines(text, '@');

    // One pass over the normalised text, which is never built: each step reads one
    // of its characters, a whole run of white space reading as one blank.
    const auto next = [&](size_t at) {
        const size_t end = skip_space(text, at);
        return end > at ? std::pair{' ', end} : std::pair{text[at], at + 1};
    };
    Headers headers;
    std::string line;     // the current line's text before its first "{"
    bool in_body = false; // past that "{"
    const auto take = [&](char c) {
        in_body = in_body || c == '{';
        if (!in_body) {
            line.push_back(c);
        }
    };
    const auto end_line = [&] {
        const size_t first = line.find_first_not_of(' ');
        const std::string_view header =
            first == std::string::npos
                ? std::string_view()
                : std::string_view(line).substr(first, line.find_last_not_of(' ') - first + 1);
        if (!headers.contains(header)) {
            headers.emplace(header);
        }
        line.clear();
        in_body = false;
    };
    for (size_t at = 0; at < text.size();) {
        const auto [c, after] = next(at);
        at = after;
        take(c);
        if (c != '}' || at == text.size()) {
            continue;
        }
        // "};" and "} ;" end a definition, and the line after the semicolon.
        auto [following, beyond] = next(at);
        if (following == ' ' && beyond < text.size()) {
            std::tie(following, beyond) = next(beyond);
        }
        if (following == ';') {
            take(';');
            end_line();
            at = beyond;
        }
    }
    // The last line counts even when it is empty, as a split at line feeds gives it.
    end_line();
    return headers;
}

bool includes_on_own_line(std::string_view config, std::string_view line) {
    for (size_t at = config.find(line); at != std::string_view::npos;
         at = config.find(line, at + 1)) {
        size_t before = at;
        while (before > 0 && blank_or_tab(config[before - 1])) {
            --before;
        }
        if (before > 0 && config[before - 1] != '\n' && config[before - 1] != '\r') {
            continue;
        }
        size_t after = at + line.size();
        while (after < config.size() && blank_or_tab(config[after])) {
            ++after;
        }
        if (after == config.size() || config[after] == '\n' || config[after] == '\r' ||
            config[after] == '#') {
            return true;
        }
    }
    return false;
}

std::string definition_line(std::string_view header, std::span<const std::string> statements) {
    const std::string_view separator = header.starts_with("filter") ? " and " : "; ";
    std::string line(header);
    line.append(" { ");
    for (size_t i = 0; i < statements.size(); ++i) {
        line.append(i == 0 ? "" : separator).append(statements[i]);
    }
    line.append("; };");
    return line;
}

} // namespace tarno
