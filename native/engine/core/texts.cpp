// SPDX-License-Identifier: LGPL-2.1-or-later
/// Report lines, the package list, shell quoting, Python's white space and the
/// audit rule listing.
#include "engine/core/texts.hpp"

#include <cctype>

namespace tarno {

std::string private_key(std::string_view owner, std::string_view name) {
    const bool is_private = name.starts_with("__") && !name.ends_with("__") &&
                            name.find('.') == std::string_view::npos;
    const size_t start = owner.find_first_not_of('_');
    if (!is_private || start == std::string_view::npos) {
        return std::string(name);
    }
    std::string key = "_";
    key.append(owner.substr(start)).append(name);
    return key;
}

std::string finding_record(std::string_view level_name, std::string_view message,
                           std::string_view report_path) {
    std::string record = "type=EVENT_DIAGNOSTICS_";
    record.append(level_name).append(" desc='").append(message);
    record.append("' file='").append(report_path).append("'");
    return record;
}

std::string end_record(std::string_view count) {
    std::string record = "type=EVENT_DIAGNOSTICS_END desc='errors=";
    record.append(count).append("'");
    return record;
}

std::string finding_text(std::string_view level_name, std::string_view message) {
    std::string text;
    for (char c : level_name) {
        // Level names are ASCII; lower-case them without the locale.
        text.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    text.append(": ").append(message);
    return text;
}

std::string report_line(std::string_view timestamp, std::string_view message) {
    std::string line(timestamp);
    line.append(" ").append(log_ident).append(": ").append(message);
    return line;
}

size_t space_length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    };
    const unsigned first = byte(at);
    if (first == ' ' || (first >= '\t' && first <= '\r') || (first >= 0x1c && first <= 0x1f)) {
        return 1;
    }
    const unsigned second = byte(at + 1);
    const unsigned third = byte(at + 2);
    switch (first) {
    case 0xc2: // U+0085, U+00A0
        return second == 0x85 || second == 0xa0 ? 2 : 0;
    case 0xe1: // U+1680
        return second == 0x9a && third == 0x80 ? 3 : 0;
    case 0xe2: // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
        if (second == 0x80) {
            // A continuation byte only: "\xe2\x80" before an ASCII character is not UTF-8.
            return (third >= 0x80 && third <= 0x8a) || third == 0xa8 || third == 0xa9 ||
                           third == 0xaf
                       ? 3
                       : 0;
        }
        return second == 0x81 && third == 0x9f ? 3 : 0;
    case 0xe3: // U+3000
        return second == 0x80 && third == 0x80 ? 3 : 0;
    default:
        return 0;
    }
}

std::string_view strip(std::string_view text) {
    size_t first = 0;
    while (const size_t length = space_length(text, first)) {
        first += length;
    }
    text.remove_prefix(first);
    // From the end: white space is one to three bytes long, and each of its first
    // bytes is one that never continues another character.
    for (bool stripped = true; stripped && !text.empty();) {
        stripped = false;
        for (size_t length = 1; length <= 3 && length <= text.size(); ++length) {
            if (space_length(text, text.size() - length) == length) {
                text.remove_suffix(length);
                stripped = true;
                break;
            }
        }
    }
    return text;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (size_t feed = text.find('\n'); feed != std::string_view::npos; feed = text.find('\n')) {
        lines.push_back(text.substr(0, feed));
        text.remove_prefix(feed + 1);
    }
    lines.push_back(text);
    return lines;
}

std::vector<std::string_view> listed_rules(std::string_view listing) {
    return split_lines(strip(listing));
}

std::string audit_rule_finding(std::string_view rule, std::string_view ending) {
    std::string finding = "audit rule '";
    finding.append(rule).append(ending);
    return finding;
}

bool lists_installed(std::string_view package_list, std::string_view package) {
    while (true) {
        const size_t end = package_list.find('\n');
        std::string_view line = package_list.substr(0, end);
        if (line.size() == package.size() + 3 && line.substr(3) == package &&
            (line.starts_with("ii ") || line.starts_with("hi "))) {
            return true;
        }
        if (end == std::string_view::npos) {
            return false;
        }
        package_list.remove_prefix(end + 1);
    }
}

std::string shell_quote(std::string_view word) {
    if (word.empty()) {
        return "''";
    }
    auto safe = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '@' || c == '%' || c == '+' || c == '=' || c == ':' || c == ',' ||
               c == '.' || c == '/' || c == '-';
    };
    bool all_safe = true;
    for (char c : word) {
        all_safe = all_safe && safe(static_cast<unsigned char>(c));
    }
    if (all_safe) {
        return std::string(word);
    }
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\"'\"'";
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

} // namespace tarno
