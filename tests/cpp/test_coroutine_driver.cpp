// SPDX-License-Identifier: LGPL-2.1-or-later
/// The coroutine driver's state machine: every step from every state, and what the
/// awaited iterator sees meanwhile.
#include "runtime/coroutine_driver.hpp"

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <string>
#include <vector>

namespace {

using rt::detail::CoroutineDriver;
using State = rt::detail::CoroutineState;

// Awaited iterators: one that yields once and then returns what it is sent, and
// two with a `throw` of their own. Each reports every request to `probe`.
constexpr const char *iterators = R"(
class Inner:
    def __init__(self, probe):
        self.probe, self.steps = probe, 0
    def __await__(self):
        return self
    def __next__(self):
        return self.send(None)
    def send(self, value):
        self.probe("send")
        self.steps += 1
        if self.steps > 1:
            raise StopIteration(value)
        return "yielded"
    def close(self):
        self.probe("close")

class Rethrows(Inner):
    def throw(self, error):
        self.probe("throw")
        raise error

class ThrowLookupFails(Inner):
    @property
    def throw(self):
        self.probe("throw looked up")
        raise LookupError("no throw")
)";

rt::Task await_one(py::handle awaitable) {
    co_return co_await rt::await(py::reinterpret_borrow<py::object>(awaitable));
}

const char *name_of(State state) {
    constexpr const char *names[] = {"created", "suspended", "running", "done"};
    return names[static_cast<int>(state)];
}

class CoroutineDriverTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            interpreter = new py::scoped_interpreter();
        }
        scope = new py::dict();
        py::exec(iterators, *scope);
        py::module_::import("warnings").attr("simplefilter")("ignore");
    }

    /// An iterator of `kind` whose requests are logged with the driver's state then.
    py::object make_inner(const char *kind) {
        return (*scope)[kind](py::cpp_function([this](const std::string &event) {
            log += event + " while " + name_of(driver->state()) + "; ";
        }));
    }

    /// Takes the step `op` (s: send None, v: send "value", t: throw ValueError, x: throw
    /// GeneratorExit, c: close, f: finalise) and tells what it gave or raised.
    std::string take(char op) {
        PyObject *result = nullptr;
        if (op == 's' || op == 'v') {
            result = driver->send(op == 's' ? Py_None : py::str("value").ptr());
        } else if (op == 't' || op == 'x') {
            py::object thrown = py::module_::import("builtins")
                                    .attr(op == 't' ? "ValueError" : "GeneratorExit")("thrown");
            PyObject *args[] = {thrown.ptr()};
            result = driver->throw_(args, 1);
        } else if (op == 'c') {
            result = driver->close();
        } else {
            driver->finalize(Py_None, Py_None);
            return "nothing";
        }
        if (result != nullptr) {
            return "gave " + rt::text_of(rt::steal(result));
        }
        rt::PendingError error;
        std::string text = std::string("raised ") + Py_TYPE(error.value().ptr())->tp_name + ": " +
                           rt::text_of(error.value());
        error.discard();
        return text;
    }

    static inline py::scoped_interpreter *interpreter = nullptr;
    static inline py::dict *scope = nullptr;
    std::string log;
    CoroutineDriver *driver = nullptr;
};

TEST_F(CoroutineDriverTest, EveryStepFromEveryStateLeavesTheInterpretersState) {
    const char *fresh = "raised TypeError: can't send non-None value to a just-started coroutine";
    const char *reused = "raised RuntimeError: cannot reuse already awaited coroutine";
    const char *thrown = "raised ValueError: thrown", *returned = "raised StopIteration: value";
    struct Row {
        const char *kind, *before;
        char op;
        const char *outcome, *after, *seen; ///< `seen`: what the iterator was asked in `op`
    } rows[] = {
        {"Inner", "", 'v', fresh, "created", ""},
        {"Inner", "", 's', "gave yielded", "suspended", "send while running; "},
        {"Inner", "", 't', thrown, "done", ""},
        {"Inner", "", 'c', "gave None", "done", ""},
        {"Inner", "", 'f', "nothing", "done", ""},
        {"Inner", "s", 'v', returned, "done", "send while running; "},
        {"Inner", "s", 't', thrown, "done", ""},
        {"Rethrows", "s", 't', thrown, "done", "throw while running; "},
        {"ThrowLookupFails", "s", 't', "raised LookupError: no throw", "suspended",
         "throw looked up while suspended; "},
        {"ThrowLookupFails", "st", 'v', returned, "done", "send while running; "},
        {"Rethrows", "s", 'x', "raised GeneratorExit: thrown", "done", "close while running; "},
        {"Inner", "s", 'c', "gave None", "done", "close while running; "},
        {"Inner", "s", 'f', "nothing", "done", "close while running; "},
        {"Inner", "sv", 's', reused, "done", ""},
        {"Inner", "sv", 't', reused, "done", ""},
        {"Inner", "sv", 'c', "gave None", "done", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " after '" + row.before + "', then " + row.op);
        py::object inner = make_inner(row.kind);
        CoroutineDriver coroutine(await_one(inner));
        driver = &coroutine;
        for (const char *op = row.before; *op != 0; ++op) {
            take(*op);
        }
        log.clear();
        EXPECT_EQ(take(row.op), row.outcome);
        EXPECT_STREQ(name_of(coroutine.state()), row.after);
        EXPECT_EQ(log, row.seen);
        EXPECT_EQ(coroutine.awaited().is(inner), coroutine.state() == State::suspended);
    }
}

TEST_F(CoroutineDriverTest, RefusesEveryReentrantStepAndRecoversAfter) {
    py::object inner = (*scope)["Inner"](py::cpp_function([this](const std::string &) {
        for (char op : {'s', 't', 'c'}) {
            log += take(op) + "; ";
        }
    }));
    CoroutineDriver coroutine(await_one(inner));
    driver = &coroutine;
    EXPECT_EQ(take('s'), "gave yielded");
    const std::string executing = "raised ValueError: coroutine already executing; ";
    EXPECT_EQ(log, executing + executing + executing);
    EXPECT_EQ(coroutine.state(), State::suspended);
    EXPECT_EQ(take('v'), "raised StopIteration: value");
}

} // namespace
