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

enum class Op { send_none, send_value, throw_error, throw_exit, close, finalize };

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
            log.push_back(event + " while " + name_of(driver->state()));
        }));
    }

    /// Takes `op` and tells what it gave or raised.
    std::string take(Op op) {
        PyObject *result = nullptr;
        py::object thrown =
            py::module_::import("builtins")
                .attr(op == Op::throw_exit ? "GeneratorExit" : "ValueError")("thrown");
        PyObject *args[] = {thrown.ptr()};
        switch (op) {
        case Op::send_none:
            result = driver->send(Py_None);
            break;
        case Op::send_value:
            result = driver->send(py::str("value").ptr());
            break;
        case Op::throw_error:
        case Op::throw_exit:
            result = driver->throw_(args, 1);
            break;
        case Op::close:
            result = driver->close();
            break;
        case Op::finalize:
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
    std::vector<std::string> log;
    CoroutineDriver *driver = nullptr;
};

struct Row {
    const char *kind;
    std::vector<Op> before;
    Op op;
    std::string outcome;
    State after;
    std::vector<std::string> seen; ///< what the awaited iterator was asked during `op`
};

TEST_F(CoroutineDriverTest, EveryStepFromEveryStateLeavesTheInterpretersState) {
    const std::string reused = "raised RuntimeError: cannot reuse already awaited coroutine";
    const std::vector<Op> suspended = {Op::send_none}, done = {Op::send_none, Op::send_value};
    const Row rows[] = {
        {"Inner",
         {},
         Op::send_value,
         "raised TypeError: can't send non-None value to a just-started coroutine",
         State::created,
         {}},
        {"Inner", {}, Op::send_none, "gave yielded", State::suspended, {"send while running"}},
        {"Inner", {}, Op::throw_error, "raised ValueError: thrown", State::done, {}},
        {"Inner", {}, Op::close, "gave None", State::done, {}},
        {"Inner", {}, Op::finalize, "nothing", State::done, {}},
        {"Inner",
         suspended,
         Op::send_value,
         "raised StopIteration: value",
         State::done,
         {"send while running"}},
        {"Inner", suspended, Op::throw_error, "raised ValueError: thrown", State::done, {}},
        {"Rethrows",
         suspended,
         Op::throw_error,
         "raised ValueError: thrown",
         State::done,
         {"throw while running"}},
        {"ThrowLookupFails",
         suspended,
         Op::throw_error,
         "raised LookupError: no throw",
         State::suspended,
         {"throw looked up while suspended"}},
        {"ThrowLookupFails",
         {Op::send_none, Op::throw_error},
         Op::send_value,
         "raised StopIteration: value",
         State::done,
         {"send while running"}},
        {"Rethrows",
         suspended,
         Op::throw_exit,
         "raised GeneratorExit: thrown",
         State::done,
         {"close while running"}},
        {"Inner", suspended, Op::close, "gave None", State::done, {"close while running"}},
        {"Inner", suspended, Op::finalize, "nothing", State::done, {"close while running"}},
        {"Inner", done, Op::send_none, reused, State::done, {}},
        {"Inner", done, Op::throw_error, reused, State::done, {}},
        {"Inner", done, Op::close, "gave None", State::done, {}},
    };
    for (const Row &row : rows) {
        py::object inner = make_inner(row.kind);
        CoroutineDriver coroutine(await_one(inner));
        driver = &coroutine;
        for (Op op : row.before) {
            take(op);
        }
        log.clear();
        const std::string outcome = take(row.op);
        SCOPED_TRACE(std::string(row.kind) + " after " + std::to_string(row.before.size()) +
                     " steps, then op " + std::to_string(static_cast<int>(row.op)));
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_STREQ(name_of(coroutine.state()), name_of(row.after));
        EXPECT_EQ(log, row.seen);
        EXPECT_EQ(coroutine.awaited().is(inner), row.after == State::suspended);
    }
    driver = nullptr;
}

TEST_F(CoroutineDriverTest, RefusesEveryReentrantStepAndRecoversAfter) {
    py::object inner = (*scope)["Inner"](py::cpp_function([this](const std::string &) {
        for (Op op : {Op::send_none, Op::throw_error, Op::close}) {
            log.push_back(take(op));
        }
    }));
    CoroutineDriver coroutine(await_one(inner));
    driver = &coroutine;
    const std::string executing = "raised ValueError: coroutine already executing";
    EXPECT_EQ(take(Op::send_none), "gave yielded");
    EXPECT_EQ(log, std::vector<std::string>(3, executing));
    EXPECT_EQ(coroutine.state(), State::suspended);
    EXPECT_EQ(take(Op::send_value), "raised StopIteration: value");
    EXPECT_EQ(coroutine.state(), State::done);
    driver = nullptr;
}

} // namespace
