// SPDX-License-Identifier: LGPL-2.1-or-later
/// Text files named by Python path objects, replaced whole.
#include "engine/core/file_replace.hpp"
#include "engine/inspector/engine.hpp"

#include <cerrno>
#include <system_error>

namespace tarno::engine {

void write_whole_text(py::handle path, py::handle text, NewFile new_file) {
    // The text in the encoding that `open` would use, and the path as the
    // operating system spells it.
    py::object locale = rt::steal(PyImport_ImportModule("locale"));
    py::object encoding = locale.attr("getpreferredencoding")(false);
    const std::string content = rt::bytes_of(text.attr("encode")(encoding));
    py::object name = rt::steal(PyOS_FSPath(path.ptr()));
    const std::string file = rt::bytes_of(rt::steal(PyUnicode_EncodeFSDefault(name.ptr())));
    try {
        replace_file(file, content, new_file);
    } catch (const std::system_error &failure) {
        // The interpreter's own OSError for that error number, naming the file.
        errno = failure.code().value();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        throw py::error_already_set();
    }
}

} // namespace tarno::engine
