// SPDX-License-Identifier: LGPL-2.1-or-later
/// The module `packages`: the flag set of the packages that the event subsystem needs.
#include <pybind11/pybind11.h>

namespace py = pybind11;

// `Packages` is created through the standard IntFlag's own functional interface, so
// it is an ordinary IntFlag: members combine with `|`, a combination equal to a
// named member is that very member, and members pickle by their class's name.
PYBIND11_MODULE(packages, m) {
    m.doc() = "The set of packages that the security-event subsystem needs, as flags.";
    py::object int_flag = py::module_::import("enum").attr("IntFlag");
    py::list members;
    members.append(py::make_tuple("NONE", 0));
    members.append(py::make_tuple("SYSLOG_NG", 1));
    members.append(py::make_tuple("SYSLOG_NG_MOD_TARNO", 2));
    members.append(py::make_tuple("AUDITD", 4));
    members.append(py::make_tuple("ALL_REQUIRED", 1 | 2 | 4));
    m.attr("Packages") =
        int_flag("Packages", members, py::arg("module") = "tarno_event_diagnostics.packages",
                 py::arg("qualname") = "Packages");
}
