// SPDX-License-Identifier: LGPL-2.1-or-later
/// The installed-package check: which of the three required packages the package
/// database lists as installed.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {

py::object check_installed_packages(py::object self) {
    py::object packages = global("Packages");
    py::object result = packages.attr("NONE");
    try {
        // Query the package database; a failed query is an error of this check.
        const std::string package_list = rt::to_utf8(query_output(package_query));
        // Each required package, in order: add its member or report it missing.
        for (const RequiredPackage &required : required_packages) {
            if (lists_installed(package_list, required.name)) {
                result = rt::steal(
                    PyNumber_InPlaceOr(result.ptr(), packages.attr(required.member).ptr()));
            } else {
                py::str message = rt::to_str(required.missing);
                if (required.with_hint) {
                    message = rt::concat(message, get(self, attribute::repair_hint));
                }
                call(self, method::send_critical_message, message);
            }
        }
        // Anything missing makes the subsystem unusable.
        if (!result.is(packages.attr("ALL_REQUIRED"))) {
            call(self, method::block_users);
        }
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error, Reported::text);
    }
    return result;
}

} // namespace tarno::engine
