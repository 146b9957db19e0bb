// SPDX-License-Identifier: LGPL-2.1-or-later
/// The engine's host primitives: queries and command lines, configuration files,
/// the changes a check makes (or shows to a preview), the module package's import.
#include "engine/core/file_replace.hpp"
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

#include <cerrno>
#include <system_error>

namespace tarno::engine {

// ---------------------------------------------------------------- queries and command lines
// Queries, command lines and process tests, through the module's own names at
// the moment of use, so that a caller's replacement of them is obeyed.

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

// ---------------------------------------------------------------- configuration files
// Configuration files named by Python path objects: read as they are, replaced whole.

py::str read_config_text(py::handle path) {
    if (!rt::truthy(path.attr("is_file")()) && !rt::truthy(path.attr("is_dir")()) &&
        rt::truthy(path.attr("exists")())) {
        PyErr_SetObject(PyExc_OSError, followed_by(path, not_regular_file).ptr());
        throw py::error_already_set();
    }
    return config_text(rt::bytes_of(path.attr("read_bytes")()));
}

std::string config_bytes(py::handle text) {
    return rt::bytes_of(
        rt::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape")));
}

py::str config_text(std::string_view bytes) {
    return rt::steal<py::str>(PyUnicode_DecodeUTF8(
        bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
}

void write_whole_text(py::handle path, py::handle text, NewFile new_file) {
    // The text's bytes, and the path as the operating system spells it.
    const std::string content = config_bytes(text);
    py::object name = rt::steal(PyOS_FSPath(path.ptr()));
    const std::string file = rt::bytes_of(rt::steal(PyUnicode_EncodeFSDefault(name.ptr())));
    try {
        replace_file(file, content, new_file);
    } catch (const NotRegularFile &) {
        PyErr_SetObject(PyExc_OSError, followed_by(path, not_regular_file).ptr());
        throw py::error_already_set();
    } catch (const std::system_error &failure) {
        // The interpreter's own OSError for that error number, naming the file.
        errno = failure.code().value();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        throw py::error_already_set();
    }
}

// ---------------------------------------------------------------- changes
// What a check changes on the host, made or shown to the inspector's preview.
// A change that is made is then told to the inspector's observer, when it has
// one (the instance or class attribute `__observer`, set by the command-line
// tool for its change records): `before(path)` just before a file is written,
// whose answer goes back with `file(path, before)` once the file is in place;
// `folder(path)` once made; `command(line, status)` once the command ended.

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

// ---------------------------------------------------------------- the module package
// The Python side of the syslog-ng module package, imported when a check runs.

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
