# SPDX-License-Identifier: LGPL-2.1-or-later
"""The native runtime on its own: coroutines driven by asyncio and by hand, and
functions that bind like Python functions."""

import asyncio
import collections.abc
import ctypes
import gc
import inspect
import itertools
import os
import sys
import types
import warnings
import weakref
from pathlib import Path

import pytest

_build = Path(os.environ.get("TARNO_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
sys.path.insert(0, str(_build / "tests"))
native = pytest.importorskip("_native_test")


class Yielding:
    """An awaitable that yields once to its driver, then returns what was sent in."""

    def __init__(self, log=None):
        self.log = log if log is not None else []

    def __await__(self):
        try:
            sent = yield "suspended"
            return sent
        finally:
            self.log.append("inner closed")


def drive(coro, sent=None):
    """Steps `coro` by hand to its end and returns its value."""
    with pytest.raises(StopIteration) as stop:
        coro.send(sent)
    return stop.value.value


class TestUnderAsyncio:
    def test_run_awaits_sleep_and_returns_its_value(self):
        assert asyncio.run(native.await_one(asyncio.sleep(0, result="slept"))) == "slept"

    def test_task_awaits_future_set_later(self):
        async def main():
            future = asyncio.get_running_loop().create_future()
            task = asyncio.create_task(native.await_each([asyncio.sleep(0), future]))
            await asyncio.sleep(0)
            assert not task.done()
            future.set_result("late")
            return await task

        assert asyncio.run(main()) == (None, "late")

    def test_awaits_native_coroutines_and_python_coroutines(self):
        async def python_side():
            return await native.return_value("inner")

        inner = native.await_one(python_side())
        assert asyncio.run(native.await_one(inner)) == "inner"

    @pytest.mark.parametrize("value", [(1, 2), (), None, StopIteration, [3]])
    def test_return_value_survives_stop_iteration(self, value):
        assert asyncio.run(native.return_value(value)) == value
        assert drive(native.return_value(value)) == value

    def test_error_raised_in_body_reaches_awaiter(self):
        with pytest.raises(ValueError, match="^boom$"):
            asyncio.run(native.raise_error(ValueError, "boom"))

    def test_stop_iteration_from_body_becomes_runtime_error(self):
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
            asyncio.run(native.raise_error(StopIteration, "x"))
        assert isinstance(info.value.__cause__, StopIteration)

    def test_cancellation_reaches_awaiting_code_and_destroys_frame(self):
        probe = []

        async def main():
            task = asyncio.create_task(native.await_each([asyncio.sleep(10)], probe))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

        assert asyncio.run(main()) is True
        assert probe == ["destroyed"]

    def test_ordinary_handler_never_catches_cancellation(self):
        async def main():
            task = asyncio.create_task(native.catch_ordinary(asyncio.sleep(10)))
            await asyncio.sleep(0)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            return task.cancelled()

        assert asyncio.run(main()) is True

    def test_gather_of_many_coroutines(self):
        async def main():
            return await asyncio.gather(*(native.await_one(asyncio.sleep(0, i)) for i in range(50)))

        assert asyncio.run(main()) == list(range(50))


class PythonBodies:
    """The native test bodies written as Python coroutines, under the same names."""

    async def await_one(awaitable):
        return await awaitable

    async def await_each(awaitables, probe=None):
        try:
            return tuple([await awaitable for awaitable in awaitables])
        finally:
            if probe is not None:
                probe.append("destroyed")

    async def catch_ordinary(awaitable):
        try:
            return ("value", await awaitable)
        except Exception as error:
            return ("caught", str(error))

    for body in (await_one, await_each, catch_ordinary):
        body.__qualname__ = body.__name__
    del body


@pytest.fixture(params=[native, PythonBodies], ids=["native", "python"])
def bodies(request):
    return request.param


class WithoutThrow:
    """An awaitable that is its own iterator: yields once, then returns. It logs each
    request with whether its coroutine was marked running then."""

    def __init__(self):
        self.log, self.coroutine, self.steps = [], lambda: None, 0

    def __await__(self):
        return self

    def note(self, event):
        coroutine = self.coroutine()
        self.log.append((event, coroutine and coroutine.cr_running))

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.note(f"send {value!r}")
        self.steps += 1
        if self.steps > 1:
            raise StopIteration(f"returned after {value!r}")
        return "suspended"

    def close(self):
        self.note("close")


class Rethrows(WithoutThrow):
    def throw(self, error):
        self.note(f"throw {error!r}")
        raise error


class ThrowLookupFails(WithoutThrow):
    @property
    def throw(self):
        self.note("throw looked up")
        raise LookupError("no throw here")


class ReturnsFromThrow(WithoutThrow):
    def throw(self, error):
        self.note(f"throw {error!r}")
        raise StopIteration("returned from throw")


class ReturnsAtOnce(Rethrows):
    def send(self, value):
        self.note(f"send {value!r}")
        raise StopIteration("returned at once")


STEPS = {
    "send None": lambda coro: coro.send(None),
    "send 'value'": lambda coro: coro.send("value"),
    "throw ValueError": lambda coro: coro.throw(ValueError("thrown")),
    "throw GeneratorExit": lambda coro: coro.throw(GeneratorExit()),
    "close": lambda coro: coro.close(),
}


def transcript(body, inner, steps):
    """What each step gives and leaves, what the inner iterator was asked, and what
    collecting the coroutine afterwards says."""
    coro = body(inner)
    inner.coroutine = weakref.ref(coro)
    seen = []
    for step in steps:
        try:
            outcome = ("gave", STEPS[step](coro))
        except StopIteration as stop:
            outcome = ("returned", stop.value)
        except (Exception, GeneratorExit) as error:
            outcome = ("raised", type(error).__name__, str(error))
        seen.append((step, outcome, coro.cr_running, coro.cr_await is inner))
    hook, unraisable = sys.unraisablehook, []
    sys.unraisablehook = lambda u: unraisable.append((type(u.exc_value).__name__, str(u.exc_value)))
    try:
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            del coro
    finally:
        sys.unraisablehook = hook
    return seen, inner.log, [str(w.message) for w in warned], unraisable


class TestByHand:
    def test_send_steps_through_inner_awaitable(self, bodies):
        coro = bodies.await_one(Yielding())
        assert coro.send(None) == "suspended"
        assert coro.cr_running is False
        assert coro.cr_await is not None
        assert drive(coro, "answer") == "answer"

    def test_thrown_ordinary_error_reaches_the_body(self, bodies):
        log = []
        coro = bodies.catch_ordinary(Yielding(log))
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("thrown in"))
        assert stop.value.value == ("caught", "thrown in")
        assert log == ["inner closed"]

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, asyncio.CancelledError])
    def test_thrown_non_ordinary_error_passes(self, bodies, error):
        coro = bodies.catch_ordinary(Yielding())
        coro.send(None)
        with pytest.raises(error):
            coro.throw(error)
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_throw_three_argument_form_and_bad_argument(self, bodies):
        coro = bodies.catch_ordinary(Yielding())
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError, "legacy", None)
        assert stop.value.value == ("caught", "legacy")
        unstarted = bodies.catch_ordinary(Yielding())
        with pytest.raises(TypeError, match="exceptions must be classes or instances"):
            unstarted.throw(42)
        unstarted.close()

    def test_throw_before_start_ends_the_coroutine(self, bodies):
        coro = bodies.await_one(Yielding())
        with pytest.raises(ValueError):
            coro.throw(ValueError("early"))
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_close_on_suspended_closes_inner_and_destroys_frame(self, bodies):
        log, probe = [], []
        coro = bodies.await_each([Yielding(log)], probe)
        coro.send(None)
        assert coro.close() is None
        assert log == ["inner closed"] and probe == ["destroyed"]
        assert coro.close() is None
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_state_errors_match_the_interpreter(self, bodies):
        coro = bodies.await_one(Yielding())
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            coro.send(1)
        coro.send(None)
        drive(coro)
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_reentrant_send_is_refused(self, bodies):
        class Reenter:
            def __await__(self):
                yield from ()
                return coro.send(None)

        coro = bodies.catch_ordinary(Reenter())
        assert drive(coro) == ("caught", "coroutine already executing")

    def test_awaiting_a_non_awaitable_raises_type_error_in_the_body(self, bodies):
        assert drive(bodies.catch_ordinary(5)) == (
            "caught",
            "object int can't be used in 'await' expression",
        )


    @pytest.mark.parametrize(
        "kind", [Rethrows, WithoutThrow, ThrowLookupFails, ReturnsFromThrow, ReturnsAtOnce]
    )
    @pytest.mark.parametrize("body", ["await_one", "catch_ordinary"])
    def test_every_sequence_of_steps_goes_as_with_pythons_own(self, body, kind):
        for length in range(4):
            for steps in itertools.product(STEPS, repeat=length):
                expected = transcript(getattr(PythonBodies, body), kind(), steps)
                assert transcript(getattr(native, body), kind(), steps) == expected, steps



async def python_await_one(awaitable):
    return await awaitable


class Reviver:
    """An awaitable whose iterator, closed while its coroutine is being collected,
    takes that coroutine back (as any code run by a finaliser may)."""

    def __init__(self, revived):
        self.revived = revived
        self.coroutine_id = None

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return None

    def send(self, value):
        return None

    def throw(self, *args):
        raise args[0]

    def close(self):
        self.revived.append(ctypes.cast(self.coroutine_id, ctypes.py_object).value)


class TestLikePythonsOwn:
    """Each behaviour beside the same operation on a plain Python coroutine or function."""

    @pytest.mark.parametrize("make", [native.await_one, python_await_one])
    def test_a_coroutine_is_not_an_iterator_and_its_await_iterator_is(self, make):
        coro = make(Yielding())
        assert not hasattr(coro, "__next__")
        with pytest.raises(TypeError, match="object is not an iterator"):
            next(coro)
        with pytest.raises(TypeError, match="object is not iterable"):
            iter(coro)
        wrapper = coro.__await__()
        assert wrapper is not coro and iter(wrapper) is wrapper
        assert next(wrapper) == "suspended"
        with pytest.raises(StopIteration) as stop:
            wrapper.send("sent")
        assert stop.value.value == "sent"
        thrown, closed = make(Yielding()), make(Yielding())
        next(thrown.__await__())
        with pytest.raises(ValueError):
            thrown.__await__().throw(ValueError("in"))
        next(closed.__await__())
        assert closed.__await__().close() is None
        for done in (thrown, closed):
            with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
                done.send(None)

    @pytest.mark.parametrize("make", [native.await_one, python_await_one])
    def test_yield_from_in_a_generator_based_coroutine_only(self, make):
        @types.coroutine
        def legacy(coro):
            return (yield from coro)

        def plain(coro):
            return (yield from coro)

        async def main():
            return await legacy(make(asyncio.sleep(0, "slept")))

        assert asyncio.run(main()) == "slept"
        coro = make(None)
        with pytest.raises(TypeError):
            next(plain(coro))
        coro.close()

    @pytest.mark.parametrize("make", [native.await_one, python_await_one])
    def test_a_coroutine_taken_back_by_its_finaliser_stays_tracked(self, make):
        revived = []
        reviver = Reviver(revived)
        coro = make(reviver)
        reviver.coroutine_id = id(coro)
        assert coro.send(None) is None
        del coro
        gc.collect()
        assert len(revived) == 1 and gc.is_tracked(revived[0])
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            revived.pop().send(None)

    @pytest.mark.parametrize(
        "attribute", ["__defaults__", "__kwdefaults__", "__annotations__", "__name__", "__qualname__"]
    )
    def test_function_attributes_keep_their_types(self, attribute):
        def pair(a, b=2):
            return (a, b)

        messages = []
        for function in (pair, native.pair):
            with pytest.raises(TypeError) as refused:
                setattr(function, attribute, 5)
            messages.append(str(refused.value))
        assert messages[0] == messages[1]

    def test_defaults_can_be_replaced_and_removed(self):
        def pair(a, b=2):
            return (a, b)

        pair.__qualname__ = "pair"
        try:
            for function in (pair, native.pair):
                function.__defaults__ = (7,)
                assert function(1) == (1, 7)
                function.__defaults__ = None
                assert function.__defaults__ is None and function.__kwdefaults__ is None
            with pytest.raises(TypeError) as expected:
                pair(1)
            with pytest.raises(TypeError) as got:
                native.pair(1)
            assert str(got.value) == str(expected.value)
        finally:
            native.pair.__defaults__ = (2,)


class TestIdentity:
    def test_recognised_as_a_coroutine(self):
        coro = native.return_value(1)
        try:
            assert asyncio.iscoroutine(coro)
            assert isinstance(coro, collections.abc.Coroutine)
            assert coro.__name__ == "return_value" and coro.__qualname__ == "return_value"
            assert coro.cr_code is native.return_value.__code__
        finally:
            coro.close()

    def test_coroutine_function_introspects_like_async_def(self):
        assert inspect.iscoroutinefunction(native.await_one)
        assert asyncio.iscoroutinefunction(native.await_one)
        assert not inspect.iscoroutinefunction(native.pair)
        assert str(inspect.signature(native.await_each)) == "(awaitables, probe=None)"

    def test_function_binds_as_method(self):
        class Holder:
            method = native.pair

        holder = Holder()
        assert isinstance(holder.method, types.MethodType)
        assert holder.method() == (holder, 2)
        assert Holder.method is native.pair

    def test_functions_pickle_and_copy_by_reference(self):
        import copy
        import pickle

        assert pickle.loads(pickle.dumps(native.pair)) is native.pair
        assert copy.deepcopy(native.await_one) is native.await_one

    def test_never_awaited_coroutine_warns(self):
        with pytest.warns(RuntimeWarning, match="coroutine 'await_one' was never awaited"):
            native.await_one(None)
            gc.collect()


def python_pair(a, b=2):
    return (a, b)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2, 3), {}), ((1,), {"c": 3}), ((1,), {"a": 1}), ((), {"b": 1}), ((1,), {1: 2})],
)
def test_binding_errors_read_like_python(args, kwargs):
    python_pair.__qualname__ = "pair"
    with pytest.raises(TypeError) as expected:
        python_pair(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        native.pair(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_binding_by_keyword_and_default():
    assert native.pair(b=1, a=0) == (0, 1)
    assert native.pair(5) == (5, 2)


class TestHygiene:
    def test_no_reference_leaks_over_many_round_trips(self):
        value = object()

        loop = asyncio.new_event_loop()

        def finish(coro, sent=None, thrown=None):
            try:
                coro.throw(thrown) if thrown else coro.send(sent)
            except StopIteration:
                pass

        def round_trips():
            for _ in range(200):
                finish(native.return_value(value))
                coro = native.catch_ordinary(Yielding())
                coro.send(None)
                finish(coro, value)
                coro = native.catch_ordinary(Yielding())
                coro.send(None)
                finish(coro, thrown=ValueError(value))
                coro = native.await_each([Yielding()], None)
                coro.send(None)
                coro.close()
                loop.run_until_complete(native.await_one(asyncio.sleep(0, value)))

        round_trips()
        round_trips()
        gc.collect()
        total = getattr(sys, "gettotalrefcount", lambda: 0)
        before = (sys.getrefcount(value), sys.getallocatedblocks(), total())
        round_trips()
        gc.collect()
        after = (sys.getrefcount(value), sys.getallocatedblocks(), total())
        loop.close()
        # A leak of one object per round trip would show as a thousand; what is
        # left is the interpreter's own caches settling.
        assert after[0] == before[0]
        assert after[1] - before[1] < 100
        assert after[2] - before[2] < 100

    def test_cycle_through_the_arguments_is_collected(self):
        awaitables = []
        coro = native.await_each(awaitables, None)
        awaitables.append(coro)
        alive = weakref.ref(coro)
        del coro, awaitables
        with pytest.warns(RuntimeWarning):
            gc.collect()
        assert alive() is None

    def test_a_cycle_through_a_kept_value_is_collected(self):
        class Box:
            pass

        boxes, pending = [], []

        def make():
            box = Box()
            box.coroutine = pending.pop()
            boxes.append(weakref.ref(box))
            return box

        coro = native.keep_across(make, Yielding())
        pending.append(coro)
        coro.send(None)  # the frame now keeps a box that holds the coroutine
        alive = weakref.ref(coro)
        del coro
        gc.collect()
        assert alive() is None and boxes[0]() is None
