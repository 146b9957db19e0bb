// SPDX-License-Identifier: LGPL-2.1-or-later
/// What a check changes on the host, made or shown to the inspector's preview.
/// A change that is made is then told to the inspector's observer, when it has
/// one (the instance or class attribute `__observer`, set by the command-line
/// tool for its change records): `before(path)` just before a file is written,
/// whose answer goes back with `file(path, before)` once the file is in place;
/// `folder(path)` once made; `command(line, status)` once the command ended.
#include "engine/inspector/engine.hpp"

namespace tarno::engine {
namespace {

constexpr Name observer_attribute{"__observer"};

/// The object that `attribute` of the inspector holds, or a null object.
py::object carried(py::handle self, const Name &attribute) {
    py::object value = rt::optional_attr(self, attribute.key().c_str());
    return value && !value.is_none() ? value : py::object();
}

/// The inspector's preview, or a null object when the change is to be made.
py::object preview_of(py::handle self) {
    return carried(self, preview_attribute);
}

/// What the observer keeps of a file just before it is written, or a null object.
py::object before_file(py::handle observer, py::handle path) {
    return observer ? observer.attr("before")(path) : py::object();
}

void after_file(py::handle observer, py::handle path, py::handle before) {
    if (observer) {
        observer.attr("file")(path, before);
    }
}

} // namespace

void replace_text(py::handle self, py::handle path, py::handle text, NewFile new_file) {
    if (py::object preview = preview_of(self)) {
        preview.attr("file")(path, text, py::int_(new_file.mode), py::bool_(new_file.exact));
        return;
    }
    py::object observer = carried(self, observer_attribute);
    py::object before = before_file(observer, path);
    write_whole_text(path, text, new_file);
    after_file(observer, path, before);
}

void remove_file(py::handle self, py::handle path) {
    if (py::object preview = preview_of(self)) {
        preview.attr("remove")(path);
        return;
    }
    py::object observer = carried(self, observer_attribute);
    py::object before = before_file(observer, path);
    path.attr("unlink")();
    after_file(observer, path, before);
}

void make_folder(py::handle self, py::handle path) {
    if (py::object preview = preview_of(self)) {
        preview.attr("folder")(path, py::int_(0777));
        return;
    }
    path.attr("mkdir")();
    if (py::object observer = carried(self, observer_attribute)) {
        observer.attr("folder")(path);
    }
}

py::object run_command(py::handle self, py::handle line) {
    if (py::object preview = preview_of(self)) {
        return preview.attr("command")(line);
    }
    py::object status = global("os").attr("system")(line);
    if (py::object observer = carried(self, observer_attribute)) {
        observer.attr("command")(line, status);
    }
    return status;
}

} // namespace tarno::engine
