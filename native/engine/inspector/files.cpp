// SPDX-License-Identifier: LGPL-2.1-or-later
/// Configuration files named by Python path objects: read as they are, replaced whole.
#include "engine/core/file_replace.hpp"
#include "engine/core/texts.hpp"
#include "engine/inspector/engine.hpp"

#include <cerrno>
#include <system_error>

namespace tarno::engine {

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

} // namespace tarno::engine
