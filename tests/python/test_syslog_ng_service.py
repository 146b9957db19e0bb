# SPDX-License-Identifier: LGPL-2.1-or-later
"""The syslog-ng service check: outside components replaced in the module
namespace, fake systemctl and syslog-ng first on PATH."""

import asyncio
import sys
import syslog
import types

import pytest

from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.journal_inspector import JournalInspector

pytestmark = pytest.mark.usefixtures("inspector_paths")

HINT = JournalInspector._JournalInspector__repair_msg_template
COMMON = "syslog_ng_mod_tarno.common.mod_tarno_common"
STOPPED = [("CRITICAL", "syslog-ng service is currently stopped. Restarting now."),
           ("DEBUG", "restarting syslog-ng"), ("DEBUG", "syslog-ng successfully restarted")]  # fmt: skip
UNAVAILABLE = [("CRITICAL", "syslog-ng is not available")]
CANNOT = "Can not start syslog-ng\n"


def rendered(msg):
    """A text as it is; an error object as its type and text, so that a table can
    tell which of the two a check handed over."""
    return msg if isinstance(msg, str) else f"{type(msg).__name__}: {msg}"


class Recorder(JournalInspector):
    """Records findings, debug lines and blocking in one list, in order."""

    events = None

    def _JournalInspector__send_report_message(self, level, msg):
        self.events.append((level.name, rendered(msg)))

    def _JournalInspector__send_debug_message(self, msg):
        self.events.append(("DEBUG", rendered(msg)))

    def _JournalInspector__block_users(self):
        self.events.append("block")


class Getter:
    """Stands in for SystemGetter: answers in turn (then `default` for ever) and
    records each name asked."""

    def __init__(self, answers, default=None):
        self.answers, self.default, self.asked = list(answers), default, []

    def is_process_running(self, name):
        self.asked.append(name)
        answer = self.answers.pop(0) if self.answers else self.default
        if isinstance(answer, BaseException):
            raise answer
        return answer


@pytest.fixture
def world(monkeypatch, fake_bin, tmp_path, new_inspector):
    """Builds the outside world of one check: process answers, health answers, the
    syntax check's exit status and output; returns (inspector, events, commands, state)."""
    log = tmp_path / "commands.log"

    def make(running, healthy=(), syntax=(0, b""), restart_status=0, syslog_ng=True, cls=Recorder,
             default=None):
        getter = Getter(running, default)
        made = []

        class Health:
            def __init__(self, cfg):
                made.append(cfg)

            async def run(self):
                await asyncio.sleep(0)
                return healthy[min(len(made), len(healthy)) - 1]

        monkeypatch.setattr(ji, "SystemGetter", getter)
        monkeypatch.setattr(ji, "Healthcheck", Health)
        fake_bin.add("systemctl", f'#!/bin/sh\necho "systemctl $*" >> {log}\nexit {restart_status}\n')
        status, output = syntax
        (tmp_path / "syntax.out").write_bytes(output)
        if syslog_ng:
            fake_bin.add("syslog-ng", f"""\
                #!/bin/sh
                echo "syslog-ng $*" >> {log}
                cat {tmp_path / 'syntax.out'}
                echo "complaint on standard error" >&2
                exit {status}
                """)
        else:
            fake_bin.only()
        events = []
        inspector = new_inspector(cls=type("R", (cls,), {"events": events}))
        state = types.SimpleNamespace(getter=getter, made=made, cfg=vars(inspector)["_JournalInspector__cfg"])

        def commands():
            return log.read_text().splitlines() if log.exists() else []

        return inspector, events, commands, state

    return make


SYNTAX = ["systemctl restart syslog-ng", "syslog-ng -s"]
ROWS = {
    # name: (process answers, health answers, syntax check, reports, commands)
    "running and available": ([True], [True], None, [], []),
    "running, unavailable, back after the restart": (
        [True, True], [False], None, UNAVAILABLE + STOPPED, ["systemctl restart syslog-ng"]),
    "stopped, back after the restart": ([False, True], [], None, STOPPED, ["systemctl restart syslog-ng"]),
    "still stopped, syntax check prints text": (
        [False, False], [], (0, b"line one\nline two\n"),
        STOPPED + [("CRITICAL", CANNOT + "line one\nline two\n"), "block"], SYNTAX),
    "still stopped, syntax check prints white space only": (
        [False, False], [], (0, b" \n"), STOPPED + [("CRITICAL", CANNOT + " \n"), "block"], SYNTAX),
    "still stopped, syntax check prints nothing": (
        [False, False], [], (0, b""), STOPPED + [("CRITICAL", CANNOT + HINT), "block"], SYNTAX),
    "still stopped, syntax check fails": (
        [False, False], [], (1, b"ignored\n"),
        STOPPED + [("ERROR", "CalledProcessError: Command '['syslog-ng', '-s']' returned non-zero exit status 1."),
                   ("CRITICAL", CANNOT + HINT), "block"], SYNTAX),
    "still stopped, syntax output not UTF-8": (
        [False, False], [], (0, b"\xff\n"),
        STOPPED + [("ERROR", "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 0: "
                             "invalid start byte"), ("CRITICAL", CANNOT + HINT), "block"], SYNTAX),
    "unavailable and still stopped": (
        [True, False], [False], (0, b"x\n"), UNAVAILABLE + STOPPED + [("CRITICAL", CANNOT + "x\n"), "block"], SYNTAX),
}  # fmt: skip


@pytest.mark.parametrize("running, healthy, syntax, reports, commands", list(ROWS.values()), ids=list(ROWS))
def test_outcomes(running, healthy, syntax, reports, commands, world):
    inspector, events, ran, state = world(running, healthy, syntax or (0, b""))
    assert asyncio.run(inspector.check_syslog_ng()) is None
    assert events == reports
    assert ran() == commands
    assert state.getter.asked == ["syslog-ng"] * len(running)
    assert len(state.made) == len(healthy) and all(cfg is state.cfg for cfg in state.made)


def test_a_failing_restart_command_is_not_looked_at(world):
    inspector, events, ran, _ = world([False, True], restart_status=1)
    asyncio.run(inspector.check_syslog_ng())
    assert events == STOPPED and ran() == ["systemctl restart syslog-ng"]


def test_a_missing_syntax_checker_is_reported_as_its_error(world):
    inspector, events, _, _ = world([False, False], syslog_ng=False)
    asyncio.run(inspector.check_syslog_ng())
    assert events[3:] == [
        ("ERROR", "FileNotFoundError: [Errno 2] No such file or directory: 'syslog-ng'"),
        ("CRITICAL", CANNOT + HINT), "block"]  # fmt: skip


@pytest.mark.parametrize("stub", [None, types.ModuleType(COMMON)])
def test_common_module_not_importable(stub, world, monkeypatch):
    monkeypatch.setitem(sys.modules, COMMON, stub)
    try:
        exec(f"from {COMMON} import ModTarnoCommon", {})
    except ImportError as error:
        expected = str(error)
    inspector, events, ran, state = world([])
    asyncio.run(inspector.check_syslog_ng())
    assert events == [("CRITICAL", expected), "block"]
    assert ran() == [] and state.getter.asked == []


def test_the_health_check_answer_passes_unchanged(world):
    answer = object()
    inspector, _, _, state = world([], [answer])
    assert asyncio.run(inspector._JournalInspector__syslog_ng_is_available()) is answer
    assert state.made == [state.cfg]


class Boom(Exception):
    pass


def boom(*args):
    raise Boom()


def interrupt(*args):
    raise KeyboardInterrupt()


@pytest.mark.parametrize(
    "where",
    ["first process test", "second process test", "health check", "report outside the guard",
     "blocking", "interrupt in the restart"],
)
def test_errors_that_are_not_caught_end_the_check(where, world, monkeypatch):
    running = {"first process test": [Boom()], "second process test": [False, Boom()],
               "health check": [True], "report outside the guard": [True]}.get(where, [False, False])  # fmt: skip
    inspector, events, _, _ = world(running, [False])
    error = Boom
    if where == "health check":
        monkeypatch.setattr(ji, "Healthcheck", lambda cfg: types.SimpleNamespace(run=boom))
    elif where == "report outside the guard":
        inspector._JournalInspector__send_report_message = boom
    elif where == "blocking":
        inspector._JournalInspector__block_users = boom
    elif where == "interrupt in the restart":
        monkeypatch.setattr(ji, "os", types.SimpleNamespace(system=interrupt))
        error = KeyboardInterrupt
    with pytest.raises(error):
        asyncio.run(inspector.check_syslog_ng())


def test_reports_reach_the_channel(world, syslog_recorder):
    inspector, _, _, _ = world([True, True], [False], cls=JournalInspector)
    asyncio.run(inspector.check_syslog_ng())
    path = vars(inspector)["_JournalInspector__report_file_path"]
    assert syslog_recorder.lines() == [
        (syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_CRITICAL desc='syslog-ng is not available' file='{path}'"),
        (syslog.LOG_CRIT, "type=EVENT_DIAGNOSTICS_CRITICAL desc='syslog-ng service is currently stopped. "
                          f"Restarting now.' file='{path}'"),
        (syslog.LOG_DEBUG, "restarting syslog-ng"),
        (syslog.LOG_DEBUG, "syslog-ng successfully restarted"),
    ]  # fmt: skip
    assert vars(inspector)["_JournalInspector__error_count"] == 2


def test_the_repeated_check_keeps_looping_while_unavailable(world):
    inspector, events, ran, state = world([], [False], default=True)
    vars(inspector)["_JournalInspector__cfg"].check_timeout = 0

    async def main():
        task = asyncio.create_task(inspector.run_healthcheck())
        while len(state.made) < 5:
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert events[:16] == (UNAVAILABLE + STOPPED) * 4
    assert ran()[:4] == ["systemctl restart syslog-ng"] * 4
