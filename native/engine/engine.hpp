/// What the engine's method bodies share: name lookup in the module namespace,
/// calls through the inspector object, and the bodies themselves.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/ref.hpp"

#include <string_view>

namespace tarno::engine {

/// The inspector's members, under the names Python's name mangling gives them.
namespace member {
inline constexpr const char *cfg = "_JournalInspector__cfg";
inline constexpr const char *verbose = "_JournalInspector__verbose";
inline constexpr const char *block = "_JournalInspector__block";
inline constexpr const char *report_file_path = "_JournalInspector__report_file_path";
inline constexpr const char *report_file = "_JournalInspector__report_file";
inline constexpr const char *error_count = "_JournalInspector__error_count";
inline constexpr const char *is_running = "_JournalInspector__is_running";
inline constexpr const char *repair_hint = "_JournalInspector__repair_msg_template";
} // namespace member

/// The inspector's methods that other methods call through the object.
namespace method {
inline constexpr const char *setup = "_JournalInspector__setup";
inline constexpr const char *msg_template = "_JournalInspector__msg_template";
inline constexpr const char *send_start = "_JournalInspector__send_start_check_message";
inline constexpr const char *send_end = "_JournalInspector__send_end_check_message";
inline constexpr const char *send_report = "_JournalInspector__send_report_message";
inline constexpr const char *send_critical = "_JournalInspector__send_critical_message";
inline constexpr const char *send_error = "_JournalInspector__send_error_message";
inline constexpr const char *send_warning = "_JournalInspector__send_warning_message";
inline constexpr const char *block_users = "_JournalInspector__block_users";
} // namespace method

/// Remembers the module's namespace (and the builtins) for `global`.
void bind_namespace(py::handle module_dict);
/// A name as the module's own code sees it at this moment: the module namespace,
/// then the builtins; NameError when neither has it.
py::object global(const char *name);

/// `obj.name`
inline py::object attr(py::handle obj, const char *name) {
    return rt::steal(PyObject_GetAttrString(obj.ptr(), name));
}
/// `obj.name = value`
inline void set_attr(py::handle obj, const char *name, py::handle value) {
    rt::raise_if_negative(PyObject_SetAttrString(obj.ptr(), name, value.ptr()));
}
/// `self.name(args...)`, looked up through the object so that subclasses and
/// patches take part.
template <class... Args>
py::object call_method(py::handle self, const char *name, Args &&...args) {
    return attr(self, name)(std::forward<Args>(args)...);
}
/// `item in container`
inline bool contains(py::handle container, py::handle item) {
    return rt::raise_if_negative(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}
/// `a + b` for two str objects.
inline py::object concat(py::handle a, py::handle b) {
    return rt::steal(PyUnicode_Concat(a.ptr(), b.ptr()));
}
/// `str(error)` of a caught Python error.
inline py::object error_text(const py::error_already_set &error) {
    return rt::steal(PyObject_Str(error.value().ptr()));
}

// Construction and the report channel.
void init(py::object self, py::object report_file, py::object cfg, py::object block,
          py::object verbose);
void setup(py::object self, py::object report_file);
py::object msg_template(py::object message);
void send_start_check_message(py::object self);
void send_critical_message(py::object self, py::object msg);
void send_error_message(py::object self, py::object msg);
void send_warning_message(py::object self, py::object msg);
void send_debug_message(py::object self, py::object msg);
void send_report_message(py::object self, py::object level, py::object msg);
void send_end_check_message(py::object self);

// The run and its checks.
void test(py::object self);
rt::Task run(py::handle self);
rt::Task run_healthcheck(py::handle self);
py::object check_installed_packages(py::object self);
void block_users(py::object self);

// Checks whose bodies are not built yet: they report nothing and find nothing.
void no_check(py::object self);
rt::Task no_async_check(py::handle self);
rt::Task nothing_unavailable(py::handle self);
py::object nothing_missing(py::object self);

} // namespace tarno::engine
