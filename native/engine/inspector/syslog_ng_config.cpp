// SPDX-License-Identifier: LGPL-2.1-or-later
/// The syslog-ng configuration check: the module's default configuration exists,
/// the module's conf.d file includes it, and the main configuration defines the
/// source and filters that the event log depends on. The last two are repaired,
/// and a repair that syslog-ng rejects is put back.
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

/// Whether `syslog-ng -s` accepts the configuration as it stands now. A query
/// that fails or cannot run says no; an interruption goes on.
bool syntax_accepted() {
    try {
        query_output(syslog_ng_syntax_check);
        return true;
    } catch (py::error_already_set &error) {
        if (!rt::is_ordinary(error)) {
            throw;
        }
        return false;
    }
}

/// What syslog-ng said of the configuration before the first repair of one call
/// of the check. Only a configuration that it accepted is checked after each
/// repair: one it already rejects cannot tell a harmful repair from a sound one.
/// A healthy host, which needs no repair, runs no query at all.
class SyntaxGuard {
public:
    explicit SyntaxGuard(py::handle self) : m_self(self.ptr()), m_outer(s_active) {
        s_active = this;
    }
    SyntaxGuard(const SyntaxGuard &) = delete;
    SyntaxGuard &operator=(const SyntaxGuard &) = delete;
    ~SyntaxGuard() { s_active = m_outer; }

    /// Called just before a change to a configuration file of `self`: whether the
    /// change is to be checked after it. A sub-check called on its own repairs
    /// unchecked, as the check did before it had a guard.
    static bool check_after_change(py::handle self) {
        SyntaxGuard *guard = s_active;
        if (guard == nullptr || guard->m_self != self.ptr()) {
            return false;
        }
        if (guard->m_before == Before::not_asked) {
            guard->m_before = syntax_accepted() ? Before::accepted : Before::rejected;
        }
        return guard->m_before == Before::accepted;
    }

private:
    enum class Before { not_asked, accepted, rejected };
    PyObject *m_self; // borrowed: the inspector outlives its call
    SyntaxGuard *m_outer;
    Before m_before = Before::not_asked;
    static thread_local SyntaxGuard *s_active;
};

thread_local SyntaxGuard *SyntaxGuard::s_active = nullptr;

/// Replaces the configuration file at `path` by `text`. When syslog-ng accepted
/// the configuration before and rejects it now, the old text `old_text` is put
/// back (a file that did not exist, null `old_text`, is removed again) and that
/// is reported at error level. Returns whether the repair stands.
bool repair(py::handle self, py::handle path, py::handle text, py::handle old_text) {
    const bool checked = SyntaxGuard::check_after_change(self);
    replace_text(self, path, text, {0666, false});
    if (!checked || syntax_accepted()) {
        return true;
    }
    if (old_text) {
        replace_text(self, path, old_text, {0666, false});
    } else {
        remove_file(self, path);
    }
    call(self, method::send_error_message, followed_by(path, not_repaired));
    return false;
}

/// The step failed to read or test a configuration file: the check cannot go on.
void report_unreadable(py::handle self, const py::error_already_set &error) {
    report_ordinary(self, method::send_critical_message, error);
    call(self, method::block_users);
}

} // namespace

void check_syslog_ng_configuration(py::object self) {
    // One guard for the three sub-checks: syslog-ng is asked at most once before
    // the first repair, and again after each one.
    SyntaxGuard guard(self);
    call(self, method::check_default_config_existence);
    call(self, method::ensure_default_config_include);
    call(self, method::ensure_required_syslog_components);
}

void check_default_config_existence(py::object self) {
    // 1. The default configuration comes with the package; nothing here makes it.
    py::object default_file = get(self, attribute::syslog_default_config_file);
    try {
        if (exists(default_file)) {
            return;
        }
    } catch (py::error_already_set &error) {
        report_unreadable(self, error);
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
    py::object current_config; // null: no user configuration
    try {
        if (exists(user_file)) {
            current_config = read_config_text(user_file);
        }
    } catch (py::error_already_set &error) {
        report_unreadable(self, error);
        return;
    }
    py::str new_config;
    if (!current_config) {
        // 2. No user configuration: it becomes the include line alone.
        call(self, method::send_error_message, followed_by(user_file, does_not_exist));
        new_config = include_string;
    } else {
        // 3. The include line counts where syslog-ng reads it, on a line of its
        // own; otherwise it goes on top.
        if (includes_on_own_line(config_bytes(current_config), config_bytes(include_string))) {
            return;
        }
        call(self, method::send_error_message, followed_by(user_file, is_wrong));
        new_config = rt::concat(rt::concat(include_string, rt::to_str("\n")), current_config);
    }
    // 4-5. Rewrite the file whole; a failure leaves it as it was.
    try {
        if (repair(self, user_file, rt::concat(new_config, rt::to_str("\n")), current_config)) {
            call(self, method::send_warning_message, followed_by(user_file, partially_restored));
        }
    } catch (py::error_already_set &error) {
        report_unreadable(self, error);
    }
}

void ensure_required_syslog_components(py::object self) {
    try {
        // 1-6. The definitions that the main configuration holds, and those of
        // the table that it lacks.
        py::object config_file = get(self, attribute::syslog_config_file);
        py::str current_text = read_config_text(config_file);
        const std::string current_config = config_bytes(current_text);
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
        // 8. Every missing definition, one line each, after the old text. A file
        // that does not end in a line feed gets one first, so that the first
        // definition does not join its last line (which may be a comment).
        std::string lines = current_config.empty() || current_config.ends_with('\n') ? "" : "\n";
        std::string names;
        for (size_t i = 0; i < missing_required_components.size(); ++i) {
            const py::object &header = missing_required_components[i];
            const std::string component = rt::to_utf8(header);
            py::object body = required[header];
            lines += definition_line(component, statements_of(body)) + "\n";
            names += (i == 0 ? "" : ", ") + component;
        }
        if (!repair(self, config_file, rt::concat(current_text, rt::to_str(lines)),
                    current_text)) {
            return;
        }
        // 9. What was restored, in the order written.
        call(self, method::send_debug_message,
             rt::to_str(std::string(components_restored) + names + "."));
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_critical_message, error);
    }
}

} // namespace tarno::engine
