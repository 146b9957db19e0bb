// SPDX-License-Identifier: LGPL-2.1-or-later
/// The text of an audit rules file: which rules its lines spell, and its text after
/// a repair.
#include "engine/core/audit_rule_text.hpp"

#include <set>

namespace tarno {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

/// The words of `line`, between blanks and tabs.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    size_t at = 0;
    while (true) {
        while (at < line.size() && is_blank(line[at])) {
            ++at;
        }
        if (at == line.size()) {
            return found;
        }
        const size_t start = at;
        while (at < line.size() && !is_blank(line[at])) {
            ++at;
        }
        found.push_back(line.substr(start, at - start));
    }
}

} // namespace

std::string normal_rule(std::string_view line) {
    const std::vector<std::string_view> found = words(line);
    std::string normal;
    for (size_t i = 0; i < found.size(); ++i) {
        if (!normal.empty()) {
            normal.push_back(' ');
        }
        if (found[i] == "-k" && i + 1 < found.size()) {
            normal.append("-F key=").append(found[++i]);
        } else {
            normal.append(found[i]);
        }
    }
    return normal;
}

std::string with_line_feeds(std::string_view text) {
    std::string fed;
    fed.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\r') {
            fed.push_back(text[at]);
            continue;
        }
        fed.push_back('\n');
        if (at + 1 < text.size() && text[at + 1] == '\n') {
            ++at;
        }
    }
    return fed;
}

std::vector<std::string_view> missing_rules(std::span<const std::string> rules,
                                            std::string_view text) {
    const std::string fed = with_line_feeds(text);
    std::set<std::string, std::less<>> spelled;
    for (std::string_view rest = fed;;) {
        const size_t feed = rest.find('\n');
        spelled.insert(normal_rule(rest.substr(0, feed)));
        if (feed == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(feed + 1);
    }
    std::vector<std::string_view> missing;
    for (const std::string &rule : rules) {
        if (!spelled.contains(normal_rule(rule))) {
            missing.push_back(rule);
        }
    }
    return missing;
}

std::string repaired_rules_text(std::span<const std::string_view> missing, std::string_view text) {
    std::string repaired;
    for (std::string_view rule : missing) {
        repaired.append(rule).push_back('\n');
    }
    repaired += with_line_feeds(text);
    if (!repaired.empty() && repaired.back() != '\n') {
        repaired.push_back('\n');
    }
    return repaired;
}

} // namespace tarno
