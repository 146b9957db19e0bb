// SPDX-License-Identifier: LGPL-2.1-or-later
/// The module `journal_inspector`: its namespace, `ErrorLevel` and the class
/// `JournalInspector`. The only file of the engine that binds to Python.
#include "engine/core/tables.hpp"
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

namespace tarno::engine {
namespace {

constexpr const char *module_name = "tarno_event_diagnostics.journal_inspector";

// ---------------------------------------------------------------- the class body

py::object path(const char *text) {
    return global("Path")(text);
}

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

/// One line of the class body: a constant, built when the class is created, or a
/// method.
struct ClassEntry {
    constexpr ClassEntry(const Name &name, py::object (*value)()) : name(&name), value(value) {}
    constexpr ClassEntry(const Method &method) : name(&method), method(&method) {}

    const Name *name;
    py::object (*value)() = nullptr;
    const Method *method = nullptr;
};

// clang-format off
constexpr ClassEntry class_body[] = {
    {attribute::default_dir, [] { return path(report_folder.data()); }},
    {attribute::audit_rules_file, [] { return path("/etc/audit/rules.d/tarno-syslog.rules"); }},
    {attribute::syslog_user_config_file, [] { return path("/etc/syslog-ng/conf.d/mod-tarno.conf"); }},
    {attribute::syslog_default_config_file, [] { return path("/usr/share/syslog-ng-mod-tarno/mod-tarno.conf"); }},
    {attribute::syslog_config_file, [] { return path("/etc/syslog-ng/syslog-ng.conf"); }},
    {attribute::user_pw_uid, [] { return py::object(py::int_(1000)); }},
    {attribute::arch, [] { return global("platform").attr("machine")(); }},
    {attribute::is_running, [] { return py::object(py::bool_(false)); }},
    {method::msg_template},
    {attribute::repair_hint, [] { return py::object(rt::to_str(repair_hint)); }},
    {attribute::critical_audit_rules, [] { return py::object(critical_audit_rules()); }},
    {attribute::important_audit_rules, [] { return py::object(important_audit_rules()); }},
    {attribute::critical_auditstyle_rules, [] { return py::object(critical_auditstyle_rules()); }},
    {attribute::required_syslog_components, [] { return py::object(required_syslog_components()); }},
    {method::init},
    {method::setup},
    {method::send_start_check_message},
    {method::send_critical_message},
    {method::send_error_message},
    {method::send_warning_message},
    {method::send_debug_message},
    {method::send_report_message},
    {method::send_end_check_message},
    {method::block_users},
    {method::check_nonexistent_audit_rules},
    {method::check_missing_audit_rules},
    {method::check_lost_audit_rules},
    {method::test},
    {method::run},
    {method::run_healthcheck},
    {method::check_installed_packages},
    {method::check_syslog_ng_configuration},
    {method::check_default_config_existence},
    {method::ensure_default_config_include},
    {method::ensure_required_syslog_components},
    {method::any_required_event_config_missing},
    {method::check_event_configuration},
    {method::check_audit_rules},
    {method::check_syslog_ng},
    {method::syslog_ng_is_available},
    {method::check_auditd},
};
// clang-format on

constexpr const char *class_doc =
    "Diagnoses the security-event logging subsystem, repairs what it can and reports every "
    "finding to the system log and a report file.";

// ---------------------------------------------------------------- binding

/// A dotted name (`config.Config`) as the module's code would evaluate it.
py::object dotted(std::string_view name) {
    size_t dot = name.find('.');
    py::object value = global(name.substr(0, dot));
    while (dot != std::string_view::npos) {
        name.remove_prefix(dot + 1);
        dot = name.find('.');
        value = rt::attr(value, std::string(name.substr(0, dot)).c_str());
    }
    return value;
}

py::object resolve(const Annotation &annotation) {
    if (annotation.name.empty()) {
        return {};
    }
    py::object value = dotted(annotation.name);
    if (annotation.arguments[0].empty()) {
        return value;
    }
    py::list arguments;
    for (std::string_view argument : annotation.arguments) {
        if (!argument.empty()) {
            arguments.append(dotted(argument));
        }
    }
    return value[py::tuple(arguments)];
}

py::object bind(const Method &method) {
    const std::string name(method.text);
    rt::Signature signature{name,        std::string(class_name) + "." + name,
                            module_name, std::string(method.doc),
                            {},          resolve(method.returns)};
    if (method.kind != Kind::static_method) {
        signature.parameters.push_back({"self", {}, {}});
    }
    for (size_t i = 0; i < method.param_count; ++i) {
        const Param &param = method.params[i];
        signature.parameters.push_back(
            {std::string(param.name), resolve(param.annotation),
             param.default_value.empty() ? py::object() : global(param.default_value)});
    }
    switch (method.kind) {
    case Kind::coroutine:
        return rt::make_coroutine_function(std::move(signature), method.coroutine);
    case Kind::static_method:
        return rt::make_staticmethod(rt::make_function(std::move(signature), method.plain));
    case Kind::property:
        return rt::make_property(rt::make_function(std::move(signature), method.plain));
    case Kind::method:
        break;
    }
    return rt::make_function(std::move(signature), method.plain);
}

py::object make_journal_inspector() {
    py::dict body;
    body["__module__"] = module_name;
    body["__qualname__"] = rt::to_str(class_name);
    body["__doc__"] = class_doc;
    for (const ClassEntry &entry : class_body) {
        body[rt::to_str(entry.name->key())] = entry.method ? bind(*entry.method) : entry.value();
    }
    return rt::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(
        rt::to_str(class_name), py::make_tuple(global("object")), body);
}

py::object make_error_level() {
    py::object syslog = global("syslog");
    py::list members;
    members.append(py::make_tuple("CRITICAL", py::make_tuple(syslog.attr("LOG_CRIT"))));
    members.append(py::make_tuple("ERROR", py::make_tuple(syslog.attr("LOG_ERR"))));
    members.append(py::make_tuple("WARNING", syslog.attr("LOG_WARNING")));
    return global("Enum")("ErrorLevel", members, py::arg("module") = module_name,
                          py::arg("qualname") = "ErrorLevel");
}

// ---------------------------------------------------------------- the module

/// The module's namespace and the builtins. Owned for the life of the process and
/// never released: the module stays loaded until the interpreter ends, and a
/// reference given back at exit would reach an interpreter that is already gone.
struct Scopes {
    py::object module_dict;
    py::object builtins;
};

Scopes &scopes() {
    static Scopes *kept = new Scopes();
    return *kept;
}

void load(py::module_ m) {
    bind_namespace(m.attr("__dict__"));
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
    m.attr("ErrorLevel") = make_error_level();
    m.attr("JournalInspector") = make_journal_inspector();
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

std::string Name::key() const {
    return private_key(class_name, text);
}

py::object from_import(const char *module, const char *name) {
    // The fromlist makes the import machinery load `name` when it is a submodule.
    py::object imported = rt::steal(
        PyImport_ImportModuleLevel(module, nullptr, nullptr, py::make_tuple(name).ptr(), 0));
    if (py::object value = rt::optional_attr(imported, name)) {
        return value;
    }
    py::object file = rt::optional_attr(imported, "__file__");
    if (!file || file.is_none()) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (unknown location)",
                     name, module);
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", name, module,
                     file.ptr());
    }
    throw py::error_already_set();
}

void bind_namespace(py::handle module_dict) {
    scopes().module_dict = rt::borrow(module_dict.ptr());
    scopes().builtins = rt::borrow(PyEval_GetBuiltins());
}

py::object global(std::string_view name) {
    py::str key = rt::to_str(name);
    for (const py::object &scope : {scopes().module_dict, scopes().builtins}) {
        if (PyObject *value = PyDict_GetItemWithError(scope.ptr(), key.ptr())) {
            return rt::borrow(value);
        }
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw py::error_already_set();
}

} // namespace tarno::engine

// The entry point lets a failing import leave the load with its own error, as a
// failing import statement in a Python module does.
extern "C" PYBIND11_EXPORT PyObject *PyInit_journal_inspector() noexcept {
    try {
        py::object module = rt::steal(PyModule_Create(&tarno::engine::module_def));
        tarno::engine::load(py::reinterpret_borrow<py::module_>(module));
        return module.release().ptr();
    } catch (...) {
        rt::restore_error();
        return nullptr;
    }
}
