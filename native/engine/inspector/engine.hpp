// SPDX-License-Identifier: LGPL-2.1-or-later
/// What the engine's method bodies share: names of the inspector's attributes,
/// look-ups in the module namespace, calls through the inspector object, and the
/// host primitives. The bodies themselves are declared beside their entries in
/// methods.hpp.
#pragma once

#include "engine/core/file_replace.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

#include <span>
#include <string>
#include <string_view>

namespace tarno::engine {

/// The class whose attributes the engine reads and writes.
inline constexpr std::string_view class_name = "JournalInspector";

/// An attribute of the inspector as the class body spells it; `key()` is where
/// Python's name mangling stores it (`__cfg` lives under `_JournalInspector__cfg`).
struct Name {
    std::string_view text;
    std::string key() const;
};

/// Instance members, set by the constructor.
namespace member {
inline constexpr Name cfg{"__cfg"};
inline constexpr Name verbose{"__verbose"};
inline constexpr Name block{"__block"};
inline constexpr Name report_file_path{"__report_file_path"};
inline constexpr Name report_file{"__report_file"};
inline constexpr Name error_count{"__error_count"};
} // namespace member

/// Class attributes, fixed by the class body (a run shadows `is_running`).
namespace attribute {
inline constexpr Name default_dir{"default_dir"};
inline constexpr Name audit_rules_file{"audit_rules_file"};
inline constexpr Name syslog_user_config_file{"syslog_user_config_file"};
inline constexpr Name syslog_default_config_file{"syslog_default_config_file"};
inline constexpr Name syslog_config_file{"syslog_config_file"};
inline constexpr Name user_pw_uid{"user_pw_uid"};
inline constexpr Name arch{"__arch"};
inline constexpr Name is_running{"__is_running"};
inline constexpr Name repair_hint{"__repair_msg_template"};
inline constexpr Name critical_audit_rules{"critical_audit_rules"};
inline constexpr Name important_audit_rules{"important_audit_rules"};
inline constexpr Name critical_auditstyle_rules{"critical_auditstyle_rules"};
inline constexpr Name required_syslog_components{"required_syslog_components"};
} // namespace attribute

/// Remembers the module's namespace for `global`; called once per load.
void bind_namespace(py::handle module_dict);
/// A name as the module's own code sees it at this moment: the module namespace,
/// then the builtins; NameError when neither has it.
py::object global(std::string_view name);

/// `self.<name>`, through the object so that instances, subclasses and patches
/// take part.
inline py::object get(py::handle self, const Name &name) {
    return rt::attr(self, name.key().c_str());
}
/// `self.<name> = value`
inline void set(py::handle self, const Name &name, py::handle value) {
    rt::set_attr(self, name.key().c_str(), value);
}
/// `self.<name>(args...)`
template <class... Args> py::object call(py::handle self, const Name &name, Args &&...args) {
    return get(self, name)(std::forward<Args>(args)...);
}

/// `from <module> import <name>` as the module's own code runs it: through
/// sys.modules, with the interpreter's ImportError when the name is missing.
py::object from_import(const char *module, const char *name);

/// The text of `value` (a path, say) followed by `text`: how findings name a file.
inline py::str followed_by(py::handle value, std::string_view text) {
    return rt::concat(rt::str_of(value), rt::to_str(text));
}

// ---------------------------------------------------------------- host primitives (host.cpp)
// What the checks ask of the host and change on it, each through the module's
// own names or the inspector object, so that replacements and previews are obeyed.

/// `subprocess.check_output(argv).decode()`: a query run without a shell, its
/// standard output decoded as UTF-8; a failure to start it, a non-zero exit
/// status or undecodable output raises.
py::object query_output(std::span<const std::string_view> argv);
/// `SystemGetter.is_process_running(name)`, by its truth value.
bool process_running(std::string_view name);

/// How a check hands a failed import to the report channel.
enum class Reported { error, text };

/// `from <module> import <name>` of the module package, made when a check runs.
/// A failing import (an ordinary error) is reported at critical level, as the
/// error object or its text, and the accounts are blocked: the subsystem cannot
/// work. Returns the name, or a null object after such a failure.
py::object import_or_block(py::handle self, const char *module, const char *name,
                           Reported reported);

// Configuration files are read and written as UTF-8 with surrogate escapes: a
// byte that is not UTF-8 survives a repair byte for byte, and line ends are
// neither translated on reading nor on writing.

/// The text of the configuration file at the path object `path`, through the
/// object (`read_bytes`), so that a subclass or a preview takes part. Only a
/// regular file (or a folder, which gives the error reading gives) is read: a
/// FIFO would block the read for good and a device be read without end, so their
/// path raises OSError "<path> is not a regular file".
py::str read_config_text(py::handle path);
/// A configuration text as the bytes it stands for, and bytes as that text.
std::string config_bytes(py::handle text);
py::str config_text(std::string_view bytes);

/// Replaces the file at the path object `path` by the text `text`, encoded as
/// `config_bytes` encodes it (see `replace_file`); a failure raises the
/// interpreter's OSError for it, naming `path`. Checks call it through
/// `replace_text`.
void write_whole_text(py::handle path, py::handle text, NewFile new_file);

// What a check changes on the host: a file replaced or removed, the report
// folder made, a command line run. Every change goes through one of
// these, so that an inspector that carries a preview (the instance or class
// attribute `__preview`, set by the command-line tool's dry run) is shown the
// change instead of having it made. A preview is any object with
//   file(path, text, mode, exact)  the whole new text of the file at `path`, and
//                                  the mode a new file would be made with (reduced
//                                  by the umask unless `exact`);
//   remove(path)                   the file at `path` removed (a repair put back);
//   folder(path, mode)             a folder made with `mode`, reduced by the umask;
//   command(line)                  a command line; returns the status the check
//                                  then reads, as from `os.system`.

/// The attribute that carries a preview.
inline constexpr Name preview_attribute{"__preview"};
/// `write_whole_text`, or the whole new text shown to the preview.
void replace_text(py::handle self, py::handle path, py::handle text, NewFile new_file);
/// `path.unlink()`, or the removal shown to the preview.
void remove_file(py::handle self, py::handle path);
/// `path.mkdir()`: one level, the default mode.
void make_folder(py::handle self, py::handle path);
/// `os.system(line)`: a command line through the shell; returns its status.
py::object run_command(py::handle self, py::handle line);

} // namespace tarno::engine
