// SPDX-License-Identifier: LGPL-2.1-or-later
/// The methods of `JournalInspector`, one entry each: the name the class body gives
/// it, its parameters with their annotations and defaults, its return annotation,
/// its kind and its body, whose declaration stands just before the entry. Bodies
/// call each other through these entries, so every name is spelled once.
#pragma once

#include "engine/inspector/engine.hpp"
#include "runtime/function.hpp"

#include <array>
#include <initializer_list>
#include <type_traits>

namespace tarno::engine {

enum class Kind { method, coroutine, static_method, property };

/// An annotation as the class body writes it: a name of the module namespace or
/// the builtins (a dotted name goes on through attributes: `config.Config`),
/// optionally subscripted with further such names (`Union[str, Exception]`).
struct Annotation {
    std::string_view name; ///< empty: not annotated
    std::array<std::string_view, 2> arguments{};
};

/// A parameter after `self`.
struct Param {
    std::string_view name;
    Annotation annotation;
    std::string_view default_value{}; ///< a name such as "False"; empty: required
};

/// One method of the class.
struct Method : Name {
    Kind kind = Kind::method;
    std::array<Param, 4> params{};
    size_t param_count = 0;
    Annotation returns{};
    std::string_view doc{};
    rt::PlainBody plain = nullptr;
    rt::CoroutineBody coroutine = nullptr;
};

namespace detail {

/// Called only to fail the build: a call outside constant evaluation.
inline void body_takes_other_arguments_than_its_entry() {}
inline void body_is_of_another_kind_than_its_entry() {}

template <class Result, class... Args> constexpr bool returns_task(Result (*)(Args...)) {
    return std::is_same_v<Result, rt::Task>;
}

template <auto Body>
consteval Method entry(Kind kind, std::string_view name, std::initializer_list<Param> params,
                       Annotation returns, std::string_view doc) {
    Method method;
    method.text = name;
    method.kind = kind;
    for (const Param &param : params) {
        method.params[method.param_count++] = param;
    }
    method.returns = returns;
    method.doc = doc;
    const size_t self_count = kind == Kind::static_method ? 0 : 1;
    if (rt::detail::arity(Body) != method.param_count + self_count) {
        body_takes_other_arguments_than_its_entry();
    }
    if ((kind == Kind::coroutine) != returns_task(Body)) {
        body_is_of_another_kind_than_its_entry();
    }
    if constexpr (returns_task(Body)) {
        method.coroutine = &rt::coroutine<Body>;
    } else {
        method.plain = &rt::plain<Body>;
    }
    return method;
}

} // namespace detail

/// A method taking `self`.
template <auto Body>
consteval Method def_method(std::string_view name, std::initializer_list<Param> params = {},
                            Annotation returns = {}, std::string_view doc = {}) {
    return detail::entry<Body>(Kind::method, name, params, returns, doc);
}
/// A coroutine method taking `self`.
template <auto Body>
consteval Method def_coroutine(std::string_view name, Annotation returns = {},
                               std::string_view doc = {}) {
    return detail::entry<Body>(Kind::coroutine, name, {}, returns, doc);
}
/// A static method.
template <auto Body>
consteval Method def_static(std::string_view name, std::initializer_list<Param> params,
                            std::string_view doc = {}) {
    return detail::entry<Body>(Kind::static_method, name, params, {}, doc);
}
/// A read-only property; its getter takes `self`.
template <auto Body>
consteval Method def_property(std::string_view name, Annotation returns,
                              std::string_view doc = {}) {
    return detail::entry<Body>(Kind::property, name, {}, returns, doc);
}

namespace annotation {
inline constexpr Annotation str{"str"};
inline constexpr Annotation boolean{"bool"};
inline constexpr Annotation none{"None"};
inline constexpr Annotation path{"Path"};
inline constexpr Annotation message{"Union", {"str", "Exception"}};
} // namespace annotation

// clang-format off

// Construction and the report channel (channel.cpp).

py::object msg_template(py::object message);
namespace method {
inline constexpr Method msg_template = def_static<&engine::msg_template>(
    "__msg_template", {{"message", annotation::str}},
    "The report-file line of a message: local time stamp, identity, message.");
} // namespace method

void init(py::object self, py::object report_file, py::object cfg, py::object block,
          py::object verbose);
namespace method {
inline constexpr Method init = def_method<&engine::init>(
    "__init__", {{"report_file", annotation::str}, {"cfg", {"config.Config"}},
                 {"block", annotation::boolean, "False"}, {"verbose", annotation::boolean, "False"}},
    {}, "Opens the system log and the report file; a failure becomes a report line.");
} // namespace method

void setup(py::object self, py::object report_file);
namespace method {
inline constexpr Method setup = def_method<&engine::setup>(
    "__setup", {{"report_file", annotation::path}});
} // namespace method

void send_start_check_message(py::object self);
namespace method {
inline constexpr Method send_start_check_message =
    def_method<&engine::send_start_check_message>("__send_start_check_message");
} // namespace method

void send_critical_message(py::object self, py::object msg);
namespace method {
inline constexpr Method send_critical_message = def_method<&engine::send_critical_message>(
    "__send_critical_message", {{"msg", annotation::message}});
} // namespace method

void send_error_message(py::object self, py::object msg);
namespace method {
inline constexpr Method send_error_message = def_method<&engine::send_error_message>(
    "__send_error_message", {{"msg", annotation::message}});
} // namespace method

void send_warning_message(py::object self, py::object msg);
namespace method {
inline constexpr Method send_warning_message = def_method<&engine::send_warning_message>(
    "__send_warning_message", {{"msg", annotation::message}});
} // namespace method

void send_debug_message(py::object self, py::object msg);
namespace method {
inline constexpr Method send_debug_message = def_method<&engine::send_debug_message>(
    "__send_debug_message", {{"msg", annotation::message}});
} // namespace method

void send_report_message(py::object self, py::object level, py::object msg);
namespace method {
inline constexpr Method send_report_message = def_method<&engine::send_report_message>(
    "__send_report_message", {{"level", {"ErrorLevel"}}, {"msg", annotation::message}});
} // namespace method

void send_end_check_message(py::object self);
namespace method {
inline constexpr Method send_end_check_message =
    def_method<&engine::send_end_check_message>("__send_end_check_message");
} // namespace method

// Account blocking (block_users.cpp).

void block_users(py::object self);
namespace method {
inline constexpr Method block_users = def_method<&engine::block_users>("__block_users");
} // namespace method

// The audit rule checks (audit_rules.cpp).

void check_nonexistent_audit_rules(py::object self);
namespace method {
inline constexpr Method check_nonexistent_audit_rules =
    def_method<&engine::check_nonexistent_audit_rules>("__check_nonexistent_audit_rules");
} // namespace method

void check_missing_audit_rules(py::object self);
namespace method {
inline constexpr Method check_missing_audit_rules =
    def_method<&engine::check_missing_audit_rules>("__check_missing_audit_rules");
} // namespace method

void check_lost_audit_rules(py::object self);
namespace method {
inline constexpr Method check_lost_audit_rules =
    def_method<&engine::check_lost_audit_rules>("__check_lost_audit_rules");
} // namespace method

// The entry points (run.cpp).

void test(py::object self);
namespace method {
inline constexpr Method test = def_method<&engine::test>(
    "test", {}, {}, "Writes one report line of each level between a start and an end.");
} // namespace method

rt::Task run(py::handle self);
namespace method {
inline constexpr Method run = def_coroutine<&engine::run>(
    "run", {}, "One complete diagnosis of the event registration subsystem.");
} // namespace method

rt::Task run_healthcheck(py::handle self);
namespace method {
inline constexpr Method run_healthcheck = def_coroutine<&engine::run_healthcheck>(
    "run_healthcheck", {"NoReturn"},
    "Checks the syslog-ng service again and again, pausing between passes.");
} // namespace method

// The installed-package check (installed_packages.cpp).

py::object check_installed_packages(py::object self);
namespace method {
inline constexpr Method check_installed_packages = def_method<&engine::check_installed_packages>(
    "check_installed_packages", {}, {"Packages"},
    "Reports each required package that is not installed; returns those that are.");
} // namespace method

// The syslog-ng configuration check and repair (syslog_ng_config.cpp).

void check_syslog_ng_configuration(py::object self);
namespace method {
inline constexpr Method check_syslog_ng_configuration = def_method<&engine::check_syslog_ng_configuration>(
    "check_syslog_ng_configuration", {}, {},
    "Checks the syslog-ng configuration that the event log depends on, and repairs it.");
} // namespace method

void check_default_config_existence(py::object self);
namespace method {
inline constexpr Method check_default_config_existence =
    def_method<&engine::check_default_config_existence>("__check_default_config_existence");
} // namespace method

void ensure_default_config_include(py::object self);
namespace method {
inline constexpr Method ensure_default_config_include =
    def_method<&engine::ensure_default_config_include>("__ensure_default_config_include");
} // namespace method

void ensure_required_syslog_components(py::object self);
namespace method {
inline constexpr Method ensure_required_syslog_components =
    def_method<&engine::ensure_required_syslog_components>("__ensure_required_syslog_components");
} // namespace method

// The event-settings check (event_settings.cpp).

py::object any_required_event_config_missing(py::object self);
namespace method {
inline constexpr Method any_required_event_config_missing =
    def_property<&engine::any_required_event_config_missing>(
        "__any_required_event_config_missing", annotation::boolean);
} // namespace method

void check_event_configuration(py::object self);
namespace method {
inline constexpr Method check_event_configuration = def_method<&engine::check_event_configuration>(
    "check_event_configuration", {}, {},
    "Checks that the event settings of the groups audit and diagnostics are in place.");
} // namespace method

// The audit rule checks (audit_rules.cpp).

void check_audit_rules(py::object self);
namespace method {
inline constexpr Method check_audit_rules = def_method<&engine::check_audit_rules>(
    "check_audit_rules", {}, {},
    "Checks that the audit rules stand in the rules file and are loaded, and restores them.");
} // namespace method

// The syslog-ng service check (syslog_ng_service.cpp).

rt::Task check_syslog_ng(py::handle self);
namespace method {
inline constexpr Method check_syslog_ng = def_coroutine<&engine::check_syslog_ng>(
    "check_syslog_ng", annotation::none,
    "Checks that syslog-ng runs and works; restarts it once when it does not.");
} // namespace method

rt::Task syslog_ng_is_available(py::handle self);
namespace method {
inline constexpr Method syslog_ng_is_available = def_coroutine<&engine::syslog_ng_is_available>(
    "__syslog_ng_is_available", annotation::boolean);
} // namespace method

// The auditd service check (auditd_service.cpp).

void check_auditd(py::object self);
namespace method {
inline constexpr Method check_auditd = def_method<&engine::check_auditd>(
    "check_auditd", {}, {}, "Checks that auditd runs; restarts it once when it does not.");
} // namespace method
// clang-format on

/// The rule of every guarded step, called from the step's `catch`: an error outside
/// the `Exception` family (KeyboardInterrupt, SystemExit, GeneratorExit,
/// CancelledError) goes on as it came; an ordinary one is reported through
/// `self.<report>(...)`, as the error object or as its text, and the step ends.
inline void report_ordinary(py::handle self, const Method &report,
                            const py::error_already_set &error,
                            Reported reported = Reported::error) {
    if (!rt::is_ordinary(error)) {
        throw; // the exception being handled, unchanged
    }
    call(self, report,
         reported == Reported::text ? py::object(rt::error_text(error)) : error.value());
}

} // namespace tarno::engine
