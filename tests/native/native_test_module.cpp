// SPDX-License-Identifier: LGPL-2.1-or-later
/// `_native_test`: native coroutines and functions built on the runtime, and the
/// engine's pure helpers, for the Python test suite. Not installed.
#include "engine/core/syslog_config_text.hpp"
#include "engine/core/texts.hpp"
#include "runtime/function.hpp"

namespace {

/// Runs `probe.append(text)` when the frame that holds it is destroyed.
class FrameProbe {
public:
    FrameProbe(py::object probe, const char *text) : m_probe(std::move(probe)), m_text(text) {}
    FrameProbe(const FrameProbe &) = delete;
    FrameProbe &operator=(const FrameProbe &) = delete;
    ~FrameProbe() {
        if (!m_probe.is_none()) {
            rt::PendingError pending;
            try {
                rt::call_method(m_probe, "append", m_text);
            } catch (py::error_already_set &error) {
                error.discard_as_unraisable(m_probe);
            }
        }
    }

private:
    py::object m_probe;
    const char *m_text;
};

rt::Task await_one(py::handle awaitable) {
    co_return co_await rt::await(py::reinterpret_borrow<py::object>(awaitable));
}

rt::Task await_each(py::handle awaitables, py::handle probe) {
    FrameProbe guard(py::reinterpret_borrow<py::object>(probe), "destroyed");
    py::list results;
    for (py::handle awaitable : awaitables) {
        results.append(co_await rt::await(py::reinterpret_borrow<py::object>(awaitable)));
    }
    co_return py::tuple(results);
}

/// Keeps what `make()` returns across the await of `awaitable`, and returns it.
rt::Task keep_across(py::handle make, py::handle awaitable) {
    py::handle kept = co_await rt::keep(make());
    co_await rt::await(py::reinterpret_borrow<py::object>(awaitable));
    co_return py::reinterpret_borrow<py::object>(kept);
}

rt::Task return_value(py::handle value) {
    co_return py::reinterpret_borrow<py::object>(value);
}

rt::Task raise_error(py::handle type, py::handle text) {
    PyErr_SetObject(type.ptr(), text.ptr());
    throw py::error_already_set();
    co_return py::none();
}

/// Awaits and reports an ordinary error as a value, the way checks do; any other
/// error passes.
rt::Task catch_ordinary(py::handle awaitable) {
    try {
        py::object value = co_await rt::await(py::reinterpret_borrow<py::object>(awaitable));
        co_return py::make_tuple("value", value);
    } catch (py::error_already_set &error) {
        if (!rt::is_ordinary(error)) {
            throw;
        }
        co_return py::make_tuple("caught", py::str(error.value()));
    }
}

py::object pair(py::object a, py::object b) {
    return py::make_tuple(a, b);
}

rt::Signature signature(const char *name, std::vector<rt::Parameter> parameters) {
    return {name, name, "_native_test", "", std::move(parameters), {}};
}

rt::Parameter param(const char *name, py::object default_value = {}) {
    return {name, {}, std::move(default_value)};
}

} // namespace

PYBIND11_MODULE(_native_test, m) {
    m.attr("await_one") =
        rt::coroutine_function<&await_one>(signature("await_one", {param("awaitable")}));
    m.attr("await_each") = rt::coroutine_function<&await_each>(
        signature("await_each", {param("awaitables"), param("probe", py::none())}));
    m.attr("keep_across") = rt::coroutine_function<&keep_across>(
        signature("keep_across", {param("make"), param("awaitable")}));
    m.attr("return_value") =
        rt::coroutine_function<&return_value>(signature("return_value", {param("value")}));
    m.attr("raise_error") = rt::coroutine_function<&raise_error>(
        signature("raise_error", {param("type"), param("text")}));
    m.attr("catch_ordinary") =
        rt::coroutine_function<&catch_ordinary>(signature("catch_ordinary", {param("awaitable")}));
    m.attr("pair") = rt::function<&pair>(signature("pair", {param("a"), param("b", py::int_(2))}));
    m.def("shell_quote",
          [](py::bytes word) { return py::bytes(tarno::shell_quote(std::string(word))); });
    m.def("configuration_headers", [](const std::string &config) {
        py::set headers;
        for (const std::string &header : tarno::configuration_headers(config)) {
            headers.add(rt::to_str(header));
        }
        return headers;
    });
    m.def("listed_rules", [](const std::string &listing) {
        py::list rules;
        for (std::string_view rule : tarno::listed_rules(listing)) {
            rules.append(rt::to_str(rule));
        }
        return rules;
    });
    m.def("lists_installed", [](const std::string &list, const std::string &package) {
        return tarno::lists_installed(list, package);
    });
}
