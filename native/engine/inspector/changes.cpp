// SPDX-License-Identifier: LGPL-2.1-or-later
/// What a check changes on the host, made or shown to the inspector's preview.
#include "engine/inspector/engine.hpp"

namespace tarno::engine {
namespace {

/// The inspector's preview, or a null object when the change is to be made.
py::object preview_of(py::handle self) {
    py::object preview = rt::optional_attr(self, preview_attribute.key().c_str());
    return preview && !preview.is_none() ? preview : py::object();
}

} // namespace

void replace_text(py::handle self, py::handle path, py::handle text, NewFile new_file) {
    if (py::object preview = preview_of(self)) {
        preview.attr("file")(path, text, py::int_(new_file.mode), py::bool_(new_file.exact));
        return;
    }
    write_whole_text(path, text, new_file);
}

void remove_file(py::handle self, py::handle path) {
    if (py::object preview = preview_of(self)) {
        preview.attr("remove")(path);
        return;
    }
    path.attr("unlink")();
}

void make_folder(py::handle self, py::handle path) {
    if (py::object preview = preview_of(self)) {
        preview.attr("folder")(path, py::int_(0777));
        return;
    }
    path.attr("mkdir")();
}

py::object run_command(py::handle self, py::handle line) {
    if (py::object preview = preview_of(self)) {
        return preview.attr("command")(line);
    }
    return global("os").attr("system")(line);
}

} // namespace tarno::engine
