/// Headers of a syslog-ng configuration, found in linear time.
#include "engine/syslog_config_text.hpp"
#include "engine/texts.hpp"

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

/// The position after the line feed that ends the line holding `at` (the end of
/// the text when there is none).
size_t next_line(std::string_view text, size_t at) {
    const size_t feed = text.find('\n', at);
    return feed == std::string_view::npos ? text.size() : feed + 1;
}

} // namespace

std::string remove_marked_lines(std::string_view text, char mark) {
    // The expression can match only at a line start, and there only when the
    // longest run of white space from it ends at `mark`. Every line start inside
    // such a run shares its end, so a run is looked at once: that is what keeps
    // long stretches of blank lines linear, where the expression rescans them
    // from each of their lines.
    std::string kept;
    kept.reserve(text.size());
    size_t line = 0;
    while (line < text.size()) {
        const size_t first = skip_space(text, line);
        const size_t after = next_line(text, first);
        if (first == text.size() || text[first] != mark) {
            kept.append(text.substr(line, after - line));
        }
        line = after;
    }
    return kept;
}

std::string normalise(std::string_view text) {
    std::string collapsed;
    collapsed.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t end = skip_space(text, at);
        if (end > at) {
            collapsed.push_back(' ');
            at = end;
        } else {
            collapsed.push_back(text[at++]);
        }
    }
    std::string normalised;
    normalised.reserve(collapsed.size() + collapsed.size() / 8);
    for (size_t at = 0; at < collapsed.size(); ++at) {
        normalised.push_back(collapsed[at]);
        if (collapsed[at] != '}') {
            continue;
        }
        const size_t semicolon = collapsed.compare(at + 1, 1, " ") == 0 ? at + 2 : at + 1;
        if (semicolon < collapsed.size() && collapsed[semicolon] == ';') {
            normalised.append(";\n");
            at = semicolon;
        }
    }
    return normalised;
}

std::set<std::string> configuration_headers(std::string_view config) {
    const std::string normalised =
        normalise(remove_marked_lines(remove_marked_lines(config, '#'), '@'));
    std::set<std::string> headers;
    std::string_view rest = normalised;
    while (!rest.empty()) {
        const size_t feed = rest.find('\n');
        std::string_view header = rest.substr(0, std::min(feed, rest.find('{')));
        rest.remove_prefix(feed == std::string_view::npos ? rest.size() : feed + 1);
        // After normalising, a blank is the only white space left.
        const size_t first = header.find_first_not_of(' ');
        header = first == std::string_view::npos
                     ? std::string_view()
                     : header.substr(first, header.find_last_not_of(' ') - first + 1);
        headers.emplace(header);
    }
    return headers;
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
