/// The module `journal_inspector`: its namespace, `ErrorLevel` and the class
/// `JournalInspector`. The only file of the engine that binds to Python.
#include "engine/engine.hpp"
#include "engine/tables.hpp"
#include "engine/texts.hpp"
#include "runtime/function.hpp"

namespace tarno::engine {
namespace {

constexpr const char *module_name = "tarno_event_diagnostics.journal_inspector";

/// `from <module> import <name>`, with the interpreter's error when the name is missing.
py::object from_import(const char *module, const char *name) {
    // The fromlist makes the import machinery load `name` when it is a submodule.
    py::object imported = rt::steal(
        PyImport_ImportModuleLevel(module, nullptr, nullptr, py::make_tuple(name).ptr(), 0));
    PyObject *value = PyObject_GetAttrString(imported.ptr(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyObject *file = PyModule_GetFilenameObject(imported.ptr());
        if (file == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (unknown location)",
                         name, module);
        } else {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", name, module,
                         file);
            Py_DECREF(file);
        }
    }
    return rt::steal(value);
}

/// Builds the signatures of the class's methods from the annotations in the module.
class Methods {
public:
    Methods(py::handle ns) : m_ns(ns) {}

    rt::Parameter self() const { return {"self", {}, {}}; }
    rt::Parameter param(const char *name, py::object annotation,
                        py::object default_value = {}) const {
        return {name, std::move(annotation), std::move(default_value)};
    }
    py::object annotation(const char *name) const {
        return rt::borrow(PyDict_GetItemString(m_ns.ptr(), name));
    }
    py::object builtin(const char *name) const { return global(name); }
    py::object message_type() const {
        return annotation("Union")[py::make_tuple(builtin("str"), builtin("Exception"))];
    }

    rt::Signature signature(const char *name, std::vector<rt::Parameter> parameters,
                            py::object returns = {}, const char *doc = "") const {
        return {name,
                std::string("JournalInspector.") + name,
                module_name,
                doc,
                std::move(parameters),
                std::move(returns)};
    }

private:
    py::handle m_ns;
};

/// The class attribute tables.
py::dict critical_audit_rules() {
    py::dict table;
    for (const MachineRules &machine : critical_rules) {
        py::list rules;
        for (const CriticalRule &rule : machine.rules) {
            rules.append(rt::to_str(rule.file_form));
        }
        table[rt::to_str(machine.machine)] = rules;
    }
    return table;
}

py::dict critical_auditstyle_rules() {
    py::dict table;
    for (const MachineRules &machine : critical_rules) {
        py::dict rules;
        for (const CriticalRule &rule : machine.rules) {
            rules[rt::to_str(rule.listing_form)] = rt::to_str(rule.file_form);
        }
        table[rt::to_str(machine.machine)] = rules;
    }
    return table;
}

py::list important_audit_rules() {
    py::list rules;
    for (std::string_view rule : important_rules) {
        rules.append(rt::to_str(rule));
    }
    return rules;
}

py::dict required_syslog_components() {
    py::dict table;
    for (const SyslogComponent &component : required_components) {
        py::set statements;
        for (std::string_view statement : component.statements) {
            statements.add(rt::to_str(statement));
        }
        table[rt::to_str(component.header)] = statements;
    }
    return table;
}

py::object make_error_level(py::handle ns) {
    py::object syslog = rt::borrow(PyDict_GetItemString(ns.ptr(), "syslog"));
    py::list members;
    members.append(py::make_tuple("CRITICAL", py::make_tuple(syslog.attr("LOG_CRIT"))));
    members.append(py::make_tuple("ERROR", py::make_tuple(syslog.attr("LOG_ERR"))));
    members.append(py::make_tuple("WARNING", syslog.attr("LOG_WARNING")));
    py::object enum_type = rt::borrow(PyDict_GetItemString(ns.ptr(), "Enum"));
    return enum_type("ErrorLevel", members, py::arg("module") = module_name,
                     py::arg("qualname") = "ErrorLevel");
}

py::object make_journal_inspector(py::handle ns) {
    const Methods m(ns);
    py::object none = py::none();
    py::object msg = m.message_type();
    py::dict body;
    body["__module__"] = module_name;
    body["__qualname__"] = "JournalInspector";
    body["__doc__"] =
        "Diagnoses the security-event logging subsystem, repairs what it can and reports "
        "every finding to the system log and a report file.";

    // Paths, thresholds and tables.
    py::object path = m.annotation("Path");
    body["default_dir"] = path("/tessik/log/tarno");
    body["audit_rules_file"] = path("/etc/audit/rules.d/tarno-syslog.rules");
    body["syslog_user_config_file"] = path("/etc/syslog-ng/conf.d/mod-tarno.conf");
    body["syslog_default_config_file"] = path("/usr/share/syslog-ng-mod-tarno/mod-tarno.conf");
    body["syslog_config_file"] = path("/etc/syslog-ng/syslog-ng.conf");
    body["user_pw_uid"] = py::int_(1000);
    body["_JournalInspector__arch"] = m.annotation("platform").attr("machine")();
    body["_JournalInspector__is_running"] = py::bool_(false);
    body["_JournalInspector__msg_template"] = rt::make_staticmethod(rt::function<&msg_template>(
        {"__msg_template",
         "JournalInspector.__msg_template",
         module_name,
         "The report-file line of a message: local time stamp, identity, message.",
         {m.param("message", m.builtin("str"))},
         {}}));
    body["_JournalInspector__repair_msg_template"] = rt::to_str(repair_hint);
    body["critical_audit_rules"] = critical_audit_rules();
    body["important_audit_rules"] = important_audit_rules();
    body["critical_auditstyle_rules"] = critical_auditstyle_rules();
    body["required_syslog_components"] = required_syslog_components();

    // Construction and the report channel.
    body["__init__"] = rt::function<&init>(m.signature(
        "__init__",
        {m.self(), m.param("report_file", m.builtin("str")),
         m.param("cfg", m.annotation("config").attr("Config")),
         m.param("block", m.builtin("bool"), py::bool_(false)),
         m.param("verbose", m.builtin("bool"), py::bool_(false))},
        {}, "Opens the system log and the report file; a failure becomes a report line."));
    auto private_method = [&](const char *key, const char *name,
                              std::vector<rt::Parameter> parameters, auto body_fn,
                              py::object returns = {}) {
        body[key] = body_fn(m.signature(name, std::move(parameters), std::move(returns)));
    };
    private_method("_JournalInspector__setup", "__setup", {m.self(), m.param("report_file", path)},
                   rt::function<&setup>);
    private_method("_JournalInspector__send_start_check_message", "__send_start_check_message",
                   {m.self()}, rt::function<&send_start_check_message>);
    private_method("_JournalInspector__send_critical_message", "__send_critical_message",
                   {m.self(), m.param("msg", msg)}, rt::function<&send_critical_message>);
    private_method("_JournalInspector__send_error_message", "__send_error_message",
                   {m.self(), m.param("msg", msg)}, rt::function<&send_error_message>);
    private_method("_JournalInspector__send_warning_message", "__send_warning_message",
                   {m.self(), m.param("msg", msg)}, rt::function<&send_warning_message>);
    private_method("_JournalInspector__send_debug_message", "__send_debug_message",
                   {m.self(), m.param("msg", msg)}, rt::function<&send_debug_message>);
    private_method("_JournalInspector__send_report_message", "__send_report_message",
                   {m.self(), m.param("level", m.annotation("ErrorLevel")), m.param("msg", msg)},
                   rt::function<&send_report_message>);
    private_method("_JournalInspector__send_end_check_message", "__send_end_check_message",
                   {m.self()}, rt::function<&send_end_check_message>);
    private_method("_JournalInspector__block_users", "__block_users", {m.self()},
                   rt::function<&block_users>);
    private_method("_JournalInspector__check_nonexistent_audit_rules",
                   "__check_nonexistent_audit_rules", {m.self()}, rt::function<&no_check>);
    private_method("_JournalInspector__check_missing_audit_rules", "__check_missing_audit_rules",
                   {m.self()}, rt::function<&no_check>);
    private_method("_JournalInspector__check_lost_audit_rules", "__check_lost_audit_rules",
                   {m.self()}, rt::function<&no_check>);

    // The entry points.
    body["test"] = rt::function<&test>(
        m.signature("test", {m.self()}, {},
                    "Writes one report line of each level between a start and an end."));
    body["run"] = rt::coroutine_function<&run>(m.signature(
        "run", {m.self()}, {}, "One complete diagnosis of the event registration subsystem."));
    body["run_healthcheck"] = rt::coroutine_function<&run_healthcheck>(
        m.signature("run_healthcheck", {m.self()}, m.annotation("NoReturn"),
                    "Checks the syslog-ng service again and again, pausing between passes."));
    body["check_installed_packages"] = rt::function<&check_installed_packages>(m.signature(
        "check_installed_packages", {m.self()}, m.annotation("Packages"),
        "Reports each required package that is not installed; returns those that are."));

    // The syslog-ng and auditd checks.
    body["check_syslog_ng_configuration"] =
        rt::function<&no_check>(m.signature("check_syslog_ng_configuration", {m.self()}));
    private_method("_JournalInspector__check_default_config_existence",
                   "__check_default_config_existence", {m.self()}, rt::function<&no_check>);
    private_method("_JournalInspector__ensure_default_config_include",
                   "__ensure_default_config_include", {m.self()}, rt::function<&no_check>);
    private_method("_JournalInspector__ensure_required_syslog_components",
                   "__ensure_required_syslog_components", {m.self()}, rt::function<&no_check>);
    body["_JournalInspector__any_required_event_config_missing"] =
        rt::make_property(rt::function<&nothing_missing>(
            m.signature("__any_required_event_config_missing", {m.self()}, m.builtin("bool"))));
    body["check_event_configuration"] =
        rt::function<&no_check>(m.signature("check_event_configuration", {m.self()}));
    body["check_audit_rules"] =
        rt::function<&no_check>(m.signature("check_audit_rules", {m.self()}));
    body["check_syslog_ng"] =
        rt::coroutine_function<&no_async_check>(m.signature("check_syslog_ng", {m.self()}, none));
    private_method("_JournalInspector__syslog_ng_is_available", "__syslog_ng_is_available",
                   {m.self()}, rt::coroutine_function<&nothing_unavailable>, m.builtin("bool"));
    body["check_auditd"] = rt::function<&no_check>(m.signature("check_auditd", {m.self()}));

    return rt::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(
        "JournalInspector", py::make_tuple(m.builtin("object")), body);
}

} // namespace
} // namespace tarno::engine

namespace tarno::engine {
namespace {

void load(py::module_ m) {
    py::handle ns = m.attr("__dict__");
    bind_namespace(ns);
    for (const char *name :
         {"asyncio", "grp", "os", "platform", "pwd", "re", "stat", "subprocess", "syslog"}) {
        m.attr(name) = py::module_::import(name);
    }
    m.attr("datetime") = from_import("datetime", "datetime");
    m.attr("Enum") = from_import("enum", "Enum");
    m.attr("Path") = from_import("pathlib", "Path");
    m.attr("NoReturn") = from_import("typing", "NoReturn");
    m.attr("Union") = from_import("typing", "Union");
    m.attr("tz") = from_import("dateutil", "tz");
    m.attr("config") = from_import("tarno_event_diagnostics", "config");
    m.attr("Healthcheck") = from_import("tarno_event_diagnostics.healthcheck", "Healthcheck");
    m.attr("Packages") = from_import("tarno_event_diagnostics.packages", "Packages");
    m.attr("SystemGetter") =
        from_import("syslog_ng_mod_tarno.common.mod_tarno_common", "SystemGetter");
    m.attr("ErrorLevel") = make_error_level(ns);
    m.attr("JournalInspector") = make_journal_inspector(ns);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "journal_inspector",
    "The diagnostics engine of the security-event logging subsystem.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tarno::engine

// The entry point lets a failing import leave the load with its own error, as a
// failing import statement in a Python module does.
extern "C" PYBIND11_EXPORT PyObject *PyInit_journal_inspector() noexcept {
    PyObject *module = PyModule_Create(&tarno::engine::module_def);
    if (module == nullptr) {
        return nullptr;
    }
    try {
        tarno::engine::load(py::reinterpret_borrow<py::module_>(module));
    } catch (...) {
        rt::restore_error();
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
