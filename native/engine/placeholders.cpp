/// Checks whose bodies are not built yet: they report nothing and find nothing.
#include "engine/engine.hpp"

namespace tarno::engine {

void no_check(py::object) {}

rt::Task no_async_check(py::handle) {
    co_return py::none();
}

rt::Task nothing_unavailable(py::handle) {
    co_return py::bool_(true);
}

py::object nothing_missing(py::object) {
    return py::bool_(false);
}

} // namespace tarno::engine
