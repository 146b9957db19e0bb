// SPDX-License-Identifier: LGPL-2.1-or-later
/// Queries, command lines and process tests, through the module's own names at
/// the moment of use, so that a caller's replacement of them is obeyed.
#include "engine/inspector/engine.hpp"

namespace tarno::engine {

py::object query_output(std::span<const std::string_view> argv) {
    py::list arguments;
    for (std::string_view argument : argv) {
        arguments.append(rt::to_str(argument));
    }
    return global("subprocess").attr("check_output")(arguments).attr("decode")();
}

bool process_running(std::string_view name) {
    return rt::truthy(global("SystemGetter").attr("is_process_running")(rt::to_str(name)));
}

} // namespace tarno::engine
