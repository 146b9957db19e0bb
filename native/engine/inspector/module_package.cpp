// SPDX-License-Identifier: LGPL-2.1-or-later
/// The Python side of the syslog-ng module package, imported when a check runs.
#include "engine/inspector/methods.hpp"

namespace tarno::engine {

py::object import_or_block(py::handle self, const char *module, const char *name,
                           Reported reported) {
    try {
        return from_import(module, name);
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_critical_message, error, reported);
        call(self, method::block_users);
        return {};
    }
}

} // namespace tarno::engine
