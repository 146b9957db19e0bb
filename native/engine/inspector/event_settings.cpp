// SPDX-License-Identifier: LGPL-2.1-or-later
/// The event-settings check: the groups "audit" and "diagnostics" each have
/// configured event groups or, failing those, their settings entries.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {
namespace {

bool settings_exist(std::string_view entry) {
    return rt::truthy(global("Path")(rt::to_str(entry)).attr("exists")());
}

/// The groups of `name` that the module reports, asked of a new object.
bool has_event_groups(py::handle events_type, std::string_view name) {
    return rt::truthy(events_type().attr("get_event_groups")(rt::to_str(name)));
}

/// An existence test of settings entries, `missing` (true: the finding is due).
/// An ordinary error of it fails the step as missing entries would: reported at
/// critical level with the error, which names the entry, and the accounts are
/// blocked; the finding itself is then not due.
template <class Test> bool settings_missing(py::handle self, Test missing) {
    try {
        return missing();
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_critical_message, error);
        call(self, method::block_users);
        return false;
    }
}

void report_wrong_configuration(py::handle self) {
    call(self, method::send_critical_message,
         rt::concat(rt::to_str(wrong_event_configuration), get(self, attribute::repair_hint)));
    call(self, method::block_users);
}

} // namespace

py::object any_required_event_config_missing(py::object) {
    // The security-logs entry is looked at only when the authorization entry exists.
    const bool missing =
        !settings_exist(authorization_settings) || !settings_exist(security_logs_settings);
    return py::bool_(missing);
}

void check_event_configuration(py::object self) {
    // 1. The module package's event definitions must be importable.
    py::object events_type = import_or_block(self, events_module, events_class, Reported::error);
    if (!events_type) {
        return;
    }
    // 2. "audit": configured groups, or both of its settings entries.
    if (!has_event_groups(events_type, audit_group) && settings_missing(self, [&] {
            return rt::truthy(get(self, method::any_required_event_config_missing));
        })) {
        report_wrong_configuration(self);
    }
    // 3. "diagnostics", whatever "audit" gave: groups, or its settings entry.
    if (!has_event_groups(events_type, diagnostics_group) &&
        settings_missing(self, [] { return !settings_exist(self_diagnostics_settings); })) {
        report_wrong_configuration(self);
    }
}

} // namespace tarno::engine
