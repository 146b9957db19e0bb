// SPDX-License-Identifier: LGPL-2.1-or-later
/// The native coroutine task: lazy start, frame ownership and the await hand-over.
#include "runtime/coroutine.hpp"

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;

struct Probe {
    ~Probe() { g_events.push_back("frame destroyed"); }
};

rt::Task recorded_body() {
    Probe probe;
    g_events.push_back("body started");
    py::object value = co_await rt::await(py::none());
    g_events.push_back("resumed with " + std::string(py::str(value)));
    co_return py::int_(7);
}

class TaskTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            interpreter = new py::scoped_interpreter();
        }
    }
    void SetUp() override { g_events.clear(); }
    static inline py::scoped_interpreter *interpreter = nullptr;
};

TEST_F(TaskTest, DoesNotStartUntilResumed) {
    {
        rt::Task task = recorded_body();
        EXPECT_TRUE(g_events.empty());
    }
    // A frame that never ran still destroys only what it constructed: nothing.
    EXPECT_TRUE(g_events.empty());
}

TEST_F(TaskTest, SuspendsAtAwaitAndHandsTheAwaiterToThePromise) {
    rt::Task task = recorded_body();
    auto frame = task.release();
    frame.resume();
    EXPECT_EQ(g_events, std::vector<std::string>{"body started"});
    rt::Awaiter *awaiter = std::exchange(frame.promise().m_awaiting, nullptr);
    ASSERT_NE(awaiter, nullptr);
    EXPECT_TRUE(awaiter->awaitable().is_none());
    awaiter->set_value(py::str("done"));
    frame.resume();
    EXPECT_TRUE(frame.done());
    EXPECT_EQ(py::cast<int>(frame.promise().m_result), 7);
    frame.destroy();
    EXPECT_EQ(g_events,
              (std::vector<std::string>{"body started", "resumed with done", "frame destroyed"}));
}

TEST_F(TaskTest, DeliversAnErrorAsAnExceptionAtTheAwait) {
    rt::Task task = recorded_body();
    auto frame = task.release();
    frame.resume();
    rt::Awaiter *awaiter = std::exchange(frame.promise().m_awaiting, nullptr);
    PyErr_SetString(PyExc_ValueError, "thrown in");
    try {
        throw py::error_already_set();
    } catch (...) {
        awaiter->set_error(std::current_exception());
    }
    frame.resume();
    ASSERT_TRUE(frame.done());
    ASSERT_TRUE(frame.promise().m_error);
    try {
        std::rethrow_exception(frame.promise().m_error);
    } catch (py::error_already_set &error) {
        EXPECT_TRUE(error.matches(PyExc_ValueError));
    }
    frame.promise().m_error = nullptr;
    frame.destroy();
    EXPECT_EQ(g_events.back(), "frame destroyed");
}

TEST_F(TaskTest, DestroyingASuspendedFrameRunsItsDestructors) {
    {
        rt::Task task = recorded_body();
        auto frame = task.release();
        frame.resume();
        frame.destroy();
    }
    EXPECT_EQ(g_events, (std::vector<std::string>{"body started", "frame destroyed"}));
}

TEST_F(TaskTest, MovedFromTaskOwnsNothing) {
    rt::Task first = recorded_body();
    rt::Task second = std::move(first);
    EXPECT_FALSE(first.release());
    auto frame = second.release();
    ASSERT_TRUE(frame);
    frame.destroy();
}

} // namespace
