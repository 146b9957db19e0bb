# SPDX-License-Identifier: LGPL-2.1-or-later
"""The diagnostic run, the repeated syslog-ng check and the self-test."""

import asyncio
import syslog
import types

import pytest

from conftest import DEFAULT_STAMP
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.journal_inspector import JournalInspector
from tarno_event_diagnostics.packages import Packages

pytestmark = pytest.mark.usefixtures("inspector_paths")

START = "type=EVENT_DIAGNOSTICS_START"
CHECKS = ["check_syslog_ng", "check_syslog_ng_configuration", "check_event_configuration",
          "check_audit_rules", "check_auditd"]  # fmt: skip


def flag(inspector):
    return vars(inspector).get("_JournalInspector__is_running", "unset")


def scripted(installed, calls, fail=None, error=None, pause=None, findings=()):
    """A JournalInspector whose checks only record their calls (and the running
    flag at that moment). `fail` names a check that raises `error`; `pause` is
    awaited inside check_syslog_ng; each check named in `findings` reports an error."""

    class Scripted(JournalInspector):
        def _step(self, name):
            calls.append((name, flag(self)))
            if name in findings:
                self._JournalInspector__send_error_message(f"{name} found something")
            if name == fail:
                raise error

        def check_installed_packages(self):
            self._step("check_installed_packages")
            return installed

        async def check_syslog_ng(self):
            if pause is not None:
                await pause()
            self._step("check_syslog_ng")
            return "ignored"

        def check_syslog_ng_configuration(self):
            self._step("check_syslog_ng_configuration")
            return False

        def check_event_configuration(self):
            self._step("check_event_configuration")

        def check_audit_rules(self):
            self._step("check_audit_rules")

        def check_auditd(self):
            self._step("check_auditd")
            return 1

    return Scripted


ORDERS = {
    Packages.NONE: [],
    Packages.SYSLOG_NG: ["check_syslog_ng"],
    Packages.SYSLOG_NG_MOD_TARNO: ["check_syslog_ng_configuration", "check_event_configuration"],
    Packages.AUDITD: ["check_audit_rules", "check_auditd"],
    Packages.SYSLOG_NG | Packages.SYSLOG_NG_MOD_TARNO: CHECKS[:3],
    Packages.SYSLOG_NG | Packages.AUDITD: ["check_syslog_ng", "check_audit_rules", "check_auditd"],
    Packages.SYSLOG_NG_MOD_TARNO | Packages.AUDITD: CHECKS[1:],
    Packages.ALL_REQUIRED: CHECKS,
}


@pytest.mark.parametrize("installed", list(ORDERS), ids=lambda p: str(int(p)))
def test_installed_packages_decide_the_checks_and_their_order(installed, new_inspector, syslog_recorder):
    calls = []
    inspector = new_inspector(cls=scripted(installed, calls))
    assert asyncio.run(inspector.run()) is None
    assert calls == [(name, True) for name in ["check_installed_packages"] + ORDERS[installed]]
    assert syslog_recorder.messages() == [START, "type=EVENT_DIAGNOSTICS_END desc='errors=0'"]
    assert flag(inspector) is False
    assert vars(inspector)["_JournalInspector__report_file"].closed


def test_findings_of_the_checks_are_counted_in_the_end_message(new_inspector, syslog_recorder, report_dir):
    calls = []
    inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls, findings=CHECKS[::2]))
    asyncio.run(inspector.run())
    assert syslog_recorder.messages()[-1] == "type=EVENT_DIAGNOSTICS_END desc='errors=3'"
    assert (report_dir / "report").read_text().splitlines() == [
        f"{DEFAULT_STAMP} tarno-event-diagnostics: Self-diagnostics of the event registration subsystem has been started",
        f"{DEFAULT_STAMP} tarno-event-diagnostics: error: check_syslog_ng found something",
        f"{DEFAULT_STAMP} tarno-event-diagnostics: error: check_event_configuration found something",
        f"{DEFAULT_STAMP} tarno-event-diagnostics: error: check_auditd found something",
        f"{DEFAULT_STAMP} tarno-event-diagnostics: Self-diagnostics of the event registration subsystem is completed: errors=3",
    ]


def test_run_is_a_coroutine(new_inspector):
    coroutine = new_inspector().run()
    assert asyncio.iscoroutine(coroutine)
    coroutine.close()


def test_start_message_comes_before_the_package_check(new_inspector, syslog_recorder):
    calls = []
    seen = []

    class Watching(scripted(Packages.NONE, calls)):
        def check_installed_packages(self):
            seen.append(syslog_recorder.messages())
            return super().check_installed_packages()

    asyncio.run(new_inspector(cls=Watching).run())
    assert seen == [[START]]


# ---------------------------------------------------------------- one run at a time


def test_a_second_run_while_the_first_is_suspended_returns_at_once(new_inspector, syslog_recorder):
    calls = []

    async def scenario():
        gate = asyncio.Event()
        inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls, pause=gate.wait))
        first = asyncio.create_task(inspector.run())
        await asyncio.sleep(0)
        sent = list(syslog_recorder.calls)
        assert calls == [("check_installed_packages", True)]
        assert await inspector.run() is None
        assert syslog_recorder.calls == sent and calls == [("check_installed_packages", True)]
        gate.set()
        assert await first is None
        return inspector

    inspector = asyncio.run(scenario())
    assert [name for name, _ in calls] == ["check_installed_packages"] + CHECKS
    assert syslog_recorder.messages() == [START, "type=EVENT_DIAGNOSTICS_END desc='errors=0'"]
    assert flag(inspector) is False


def test_gathered_runs_make_one_diagnosis(new_inspector, syslog_recorder):
    calls = []
    inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls, pause=lambda: asyncio.sleep(0)))

    async def both():
        return await asyncio.gather(inspector.run(), inspector.run())

    assert asyncio.run(both()) == [None, None]
    assert [name for name, _ in calls] == ["check_installed_packages"] + CHECKS
    assert syslog_recorder.messages().count(START) == 1


def test_run_after_a_run_runs_again(new_inspector, syslog_recorder):
    calls = []
    inspector = new_inspector(cls=scripted(Packages.AUDITD, calls))
    asyncio.run(inspector.run())
    asyncio.run(inspector.run())
    assert [name for name, _ in calls] == ["check_installed_packages", "check_audit_rules", "check_auditd"] * 2
    assert syslog_recorder.messages().count("type=EVENT_DIAGNOSTICS_END desc='errors=0'") == 2


def test_an_already_running_flag_stops_the_run(new_inspector, syslog_recorder):
    calls = []
    inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls))
    inspector._JournalInspector__is_running = 1
    assert asyncio.run(inspector.run()) is None
    assert calls == [] and syslog_recorder.messages() == []


# ---------------------------------------------------------------- a check that raises


@pytest.mark.parametrize("failing", ["check_installed_packages"] + CHECKS)
def test_an_exception_ends_the_run_without_an_end_message(failing, new_inspector, syslog_recorder):
    calls = []
    error = RuntimeError("unexpected")
    inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls, fail=failing, error=error))
    with pytest.raises(RuntimeError) as raised:
        asyncio.run(inspector.run())
    assert raised.value is error
    names = ["check_installed_packages"] + CHECKS
    assert [name for name, _ in calls] == names[: names.index(failing) + 1]
    assert syslog_recorder.messages() == [START]
    assert flag(inspector) is True
    assert not vars(inspector)["_JournalInspector__report_file"].closed
    # Every later run on this inspector does nothing.
    del calls[:]
    assert asyncio.run(inspector.run()) is None
    assert calls == [] and syslog_recorder.messages() == [START]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)], ids=lambda e: type(e).__name__)
def test_interrupts_leave_the_run_too(error, new_inspector, syslog_recorder):
    inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, [], fail="check_audit_rules", error=error))
    coroutine = inspector.run()
    with pytest.raises(type(error)):
        coroutine.send(None)
    assert flag(inspector) is True
    assert syslog_recorder.messages() == [START]


def test_cancelling_a_suspended_run(new_inspector, syslog_recorder):
    calls = []

    async def scenario():
        inspector = new_inspector(cls=scripted(Packages.ALL_REQUIRED, calls, pause=asyncio.Event().wait))
        task = asyncio.create_task(inspector.run())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return inspector

    inspector = asyncio.run(scenario())
    assert calls == [("check_installed_packages", True)]
    assert syslog_recorder.messages() == [START]
    assert flag(inspector) is True


# ---------------------------------------------------------------- run_healthcheck


class RecordingAsyncio:
    """Stands in for the engine module's `asyncio`: records each pause, then
    gives the loop up once, whatever the pause asked for."""

    def __init__(self, fail_on=None):
        self.pauses = []
        self.fail_on = fail_on

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def sleep(self, delay, *args, **kwargs):
        self.pauses.append(delay)
        if len(self.pauses) == self.fail_on:
            raise OSError("pause failed")
        return asyncio.sleep(0)


def counting(cfg, passes, fail_on=None):
    """An inspector class whose syslog-ng check counts its passes and sets a
    new pause for every one; any other check must not run."""

    class Counting(JournalInspector):
        async def check_syslog_ng(self):
            passes.append(flag(self))
            cfg.check_timeout = len(passes) * 1.5
            if len(passes) == fail_on:
                raise ValueError("check failed")

        def check_installed_packages(self):
            raise AssertionError("run_healthcheck looked at the packages")

    return Counting


async def drive(inspector, passes, wanted):
    task = asyncio.create_task(inspector.run_healthcheck())
    while len(passes) < wanted and not task.done():
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


def test_healthcheck_loops_and_reads_the_pause_anew(new_inspector, syslog_recorder, monkeypatch):
    cfg, passes = Config(check_timeout=99), []
    fake = RecordingAsyncio()
    monkeypatch.setattr(ji, "asyncio", fake)
    inspector = new_inspector(cls=counting(cfg, passes), cfg=cfg)
    asyncio.run(drive(inspector, passes, 4))
    assert len(passes) >= 4
    assert fake.pauses[:3] == [1.5, 3.0, 4.5]
    assert all(seen == "unset" for seen in passes)
    assert syslog_recorder.messages() == []
    assert flag(inspector) == "unset"


def test_healthcheck_with_the_real_pause(new_inspector, syslog_recorder):
    cfg, passes = types.SimpleNamespace(check_timeout=0), []

    class Quick(JournalInspector):
        async def check_syslog_ng(self):
            passes.append(1)

    inspector = new_inspector(cls=Quick, cfg=cfg)
    asyncio.run(drive(inspector, passes, 3))
    assert len(passes) >= 3


def test_healthcheck_is_not_held_off_by_a_run(new_inspector, syslog_recorder, monkeypatch):
    cfg, passes = Config(check_timeout=0), []
    monkeypatch.setattr(ji, "asyncio", RecordingAsyncio())
    inspector = new_inspector(cls=counting(cfg, passes), cfg=cfg)
    inspector._JournalInspector__is_running = True
    asyncio.run(drive(inspector, passes, 2))
    assert passes[:2] == [True, True]


def test_healthcheck_ends_by_an_exception_of_the_check(new_inspector, syslog_recorder, monkeypatch):
    cfg, passes = Config(), []
    fake = RecordingAsyncio()
    monkeypatch.setattr(ji, "asyncio", fake)
    inspector = new_inspector(cls=counting(cfg, passes, fail_on=3), cfg=cfg)
    with pytest.raises(ValueError, match="check failed"):
        asyncio.run(inspector.run_healthcheck())
    assert len(passes) == 3 and fake.pauses == [1.5, 3.0]


def test_healthcheck_ends_by_an_exception_of_the_pause(new_inspector, syslog_recorder, monkeypatch):
    cfg, passes = Config(), []
    monkeypatch.setattr(ji, "asyncio", RecordingAsyncio(fail_on=2))
    inspector = new_inspector(cls=counting(cfg, passes), cfg=cfg)
    with pytest.raises(OSError, match="pause failed"):
        asyncio.run(inspector.run_healthcheck())
    assert len(passes) == 2


def test_healthcheck_findings_reach_the_shared_channel(new_inspector, syslog_recorder, monkeypatch):
    cfg, passes = Config(check_timeout=0), []
    monkeypatch.setattr(ji, "asyncio", RecordingAsyncio())

    class Unavailable(counting(cfg, passes)):
        async def check_syslog_ng(self):
            await super().check_syslog_ng()
            self._JournalInspector__send_critical_message("syslog-ng is unavailable")

    inspector = new_inspector(cls=Unavailable, cfg=cfg)
    asyncio.run(drive(inspector, passes, 2))
    assert vars(inspector)["_JournalInspector__error_count"] >= 2
    assert syslog_recorder.messages()[0].startswith("type=EVENT_DIAGNOSTICS_CRITICAL desc='syslog-ng is unavailable'")


# ---------------------------------------------------------------- test()


def test_self_test(new_inspector, syslog_recorder, report_dir):
    inspector = new_inspector()
    assert inspector.test() is None
    path = report_dir / "report"
    assert syslog_recorder.calls == [
        ("openlog", "tarno-event-diagnostics", 0, 13),
        ("syslog", syslog.LOG_NOTICE, START),
        ("syslog", syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_CRITICAL desc='test\ntest' file='{path}'"),
        ("syslog", syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_ERROR desc='test\ntest' file='{path}'"),
        ("syslog", syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_WARNING desc='test\ntest' file='{path}'"),
        ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_END desc='errors=3'"),
        ("closelog",),
    ]
    prefix = f"{DEFAULT_STAMP} tarno-event-diagnostics: "
    assert path.read_text() == (
        f"{prefix}Self-diagnostics of the event registration subsystem has been started\n"
        f"{prefix}critical: test\ntest\n"
        f"{prefix}error: test\ntest\n"
        f"{prefix}warning: test\ntest\n"
        f"{prefix}Self-diagnostics of the event registration subsystem is completed: errors=3\n"
    )


def test_self_test_ignores_the_running_flag(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__is_running = True
    inspector.test()
    assert len(syslog_recorder.messages()) == 5
    assert inspector._JournalInspector__is_running is True


def test_self_test_calls_the_senders_through_the_object(new_inspector, syslog_recorder):
    calls = []

    class Spy(JournalInspector):
        def _JournalInspector__send_start_check_message(self):
            calls.append("start")

        def _JournalInspector__send_critical_message(self, msg):
            calls.append(("critical", msg))

        def _JournalInspector__send_error_message(self, msg):
            calls.append(("error", msg))
            raise LookupError("stop here")

        def _JournalInspector__send_warning_message(self, msg):
            calls.append(("warning", msg))

        def _JournalInspector__send_end_check_message(self):
            calls.append("end")

    inspector = new_inspector(cls=Spy)
    with pytest.raises(LookupError):
        inspector.test()
    assert calls == ["start", ("critical", "test\ntest"), ("error", "test\ntest")]
