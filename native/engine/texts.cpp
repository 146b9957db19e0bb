/// Report lines, the package list and shell quoting.
#include "engine/texts.hpp"

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
