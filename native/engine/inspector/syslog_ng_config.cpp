// SPDX-License-Identifier: LGPL-2.1-or-later
/// The syslog-ng configuration check: the module's default configuration exists,
/// the module's conf.d file includes it, and the main configuration defines the
/// source and filters that the event log depends on. The last two are repaired.
#include "engine/core/syslog_config_text.hpp"
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

#include <algorithm>
#include <vector>

namespace tarno::engine {
namespace {

bool exists(py::handle path) {
    return rt::truthy(path.attr("exists")());
}

/// Sorted, so that a repair writes the same line every time.
std::vector<std::string> statements_of(py::handle body) {
    std::vector<std::string> statements;
    for (py::handle statement : body) {
        statements.push_back(rt::to_utf8(statement));
    }
    std::sort(statements.begin(), statements.end());
    return statements;
}

/// Appends `text` to the main configuration in one write. A file that does not
/// end in a line feed gets one first, so that the first definition does not join
/// its last line (which may be a comment and swallow it).
void append_definitions(py::handle self, py::handle config_file, py::handle current_text,
                        const std::string &current, std::string text) {
    if (!current.empty() && !current.ends_with('\n')) {
        text.insert(0, "\n");
    }
    append_text(self, config_file, current_text, rt::to_str(text));
}

} // namespace

void check_syslog_ng_configuration(py::object self) {
    call(self, method::check_default_config_existence);
    call(self, method::ensure_default_config_include);
    call(self, method::ensure_required_syslog_components);
}

void check_default_config_existence(py::object self) {
    // 1. The default configuration comes with the package; nothing here makes it.
    py::object default_file = get(self, attribute::syslog_default_config_file);
    if (exists(default_file)) {
        return;
    }
    // 2-3. Missing: reinstalling the package is the repair.
    call(self, method::send_critical_message,
         rt::concat(followed_by(default_file, std::string(does_not_exist) + "\n"),
                    get(self, attribute::repair_hint)));
    call(self, method::block_users);
}

void ensure_default_config_include(py::object self) {
    // 1. The line that includes the default configuration.
    py::str include_string =
        rt::concat(rt::concat(rt::to_str(include_directive),
                              rt::str_of(get(self, attribute::syslog_default_config_file))),
                   rt::to_str("\""));
    py::object user_file = get(self, attribute::syslog_user_config_file);
    py::str new_config;
    if (!exists(user_file)) {
        // 2. No user configuration: it becomes the include line alone.
        call(self, method::send_error_message, followed_by(user_file, does_not_exist));
        new_config = include_string;
    } else {
        // 3. The include line anywhere in it will do; otherwise it goes on top.
        py::object current_config = user_file.attr("read_text")();
        if (rt::contains(current_config, include_string)) {
            return;
        }
        call(self, method::send_error_message, followed_by(user_file, is_wrong));
        new_config = rt::concat(rt::concat(include_string, rt::to_str("\n")), current_config);
    }
    // 4-5. Rewrite the file whole; a failure leaves it as it was.
    try {
        replace_text(self, user_file, rt::concat(new_config, rt::to_str("\n")), {0666, false});
        call(self, method::send_warning_message, followed_by(user_file, partially_restored));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_critical_message, error);
        call(self, method::block_users);
    }
}

void ensure_required_syslog_components(py::object self) {
    try {
        // 1-6. The definitions that the main configuration holds, and those of
        // the table that it lacks.
        py::object config_file = get(self, attribute::syslog_config_file);
        py::object current_text = config_file.attr("read_text")();
        const std::string current_config = rt::to_utf8(current_text);
        const Headers current_config_components = configuration_headers(current_config);
        py::object required = get(self, attribute::required_syslog_components);
        std::vector<py::object> missing_required_components;
        for (py::handle header : required) {
            if (!current_config_components.contains(rt::to_utf8(header))) {
                missing_required_components.push_back(py::reinterpret_borrow<py::object>(header));
            }
        }
        // 7. Nothing missing.
        if (missing_required_components.empty()) {
            return;
        }
        // 8. Every missing definition, one line each, in one append.
        std::string lines;
        std::string names;
        for (const py::object &header : missing_required_components) {
            const std::string component = rt::to_utf8(header);
            py::object body = required[header];
            lines += definition_line(component, statements_of(body)) + "\n";
            names += (names.empty() ? "" : ", ") + component;
        }
        append_definitions(self, config_file, current_text, current_config, lines);
        // 9. What was restored, in the order written.
        call(self, method::send_debug_message,
             rt::to_str(std::string(components_restored) + names + "."));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_critical_message, error);
    }
}

} // namespace tarno::engine
