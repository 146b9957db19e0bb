# SPDX-License-Identifier: LGPL-2.1-or-later
"""The report channel against a real syslog-ng: identity, facility and priority
of every line, line feeds inside messages, the report file, and the repair of
a missing report directory."""

import pytest

from system_sandbox import PYTHON, REPORT_DIR, Host, emitted, report_entries
from system_sandbox import module_sandbox, sandbox, sandbox_ready  # noqa: F401 (fixtures)

PROGRAM = "tarno-event-diagnostics"
REPORT = "/tessik/log/tarno/report"
STARTED = "Self-diagnostics of the event registration subsystem has been started"
COMPLETED = "Self-diagnostics of the event registration subsystem is completed: errors="


def finding(level, desc, report=REPORT):
    return f"type=EVENT_DIAGNOSTICS_{level} desc='{desc}' file='{report}'"


def self_test_lines(report=REPORT):
    """(priority, message) of the system-log lines of one self-test."""
    return [
        ("user.notice", "type=EVENT_DIAGNOSTICS_START"),
        ("user.crit", finding("CRITICAL", "test\ntest", report)),
        ("user.crit", finding("ERROR", "test\ntest", report)),
        ("user.crit", finding("WARNING", "test\ntest", report)),
        ("user.notice", "type=EVENT_DIAGNOSTICS_END desc='errors=3'"),
    ]


SELF_TEST_REPORT = [
    STARTED,
    "critical: test\ntest",
    "error: test\ntest",
    "warning: test\ntest",
    COMPLETED + "3",
]


def lines_of(result):
    return result.engine_lines()


@pytest.fixture(scope="module")
def self_test(module_sandbox):
    """A fresh inspector's self-test, then a finding after the end message
    closed the report, then a second self-test on the same inspector."""
    script = f"""
inspector = JournalInspector({REPORT!r}, Config())
inspector.test()
with open({REPORT!r}) as report:
    emit(report.read())
inspector._JournalInspector__send_error_message("late")
inspector.test()
"""
    result = module_sandbox.run(steps=[script], collect=[REPORT])
    assert result.returncode == 0, result.describe()
    return result


def test_self_test_reaches_the_system_log_with_identity_facility_and_priority(self_test):
    assert lines_of(self_test)[:5] == self_test_lines()


def test_embedded_line_feed_is_written_as_a_real_line_break(self_test):
    # syslog-ng writes the message as it came: the second "test" stands on a
    # line of its own, without facility, level or program.
    assert (
        f"user.crit {PROGRAM}: type=EVENT_DIAGNOSTICS_CRITICAL desc='test\ntest' "
        f"file='{REPORT}'\nuser.crit {PROGRAM}: type=EVENT_DIAGNOSTICS_ERROR"
    ) in self_test.log


def test_self_test_report_file_holds_five_entries(self_test):
    (written_by_the_end,) = emitted(self_test)
    assert report_entries(written_by_the_end) == SELF_TEST_REPORT


def test_line_after_the_end_message_keeps_the_identity(self_test):
    assert lines_of(self_test)[5] == ("user.crit", finding("ERROR", "late"))
    # Nothing reaches the log under another name once the connection was closed.
    records = [entry for entry in self_test.entries if entry.message.startswith("type=EVENT_DIAGNOSTICS")]
    assert {entry.program for entry in records} == {PROGRAM}


def test_second_self_test_logs_but_leaves_the_closed_report_as_it_was(self_test):
    assert lines_of(self_test)[6:] == self_test_lines()
    assert report_entries(self_test.text(REPORT)) == SELF_TEST_REPORT


def test_report_lines_survive_a_killed_process(sandbox):
    script = f"""
import signal
inspector = JournalInspector({REPORT!r}, Config())
inspector._JournalInspector__send_start_check_message()
inspector._JournalInspector__send_critical_message("before the kill")
os.kill(os.getpid(), signal.SIGKILL)
"""
    result = sandbox.run(steps=[script], collect=[REPORT])
    assert result.returncode == -9, result.describe()
    assert report_entries(result.text(REPORT)) == [STARTED, "critical: before the kill"]
    assert lines_of(result) == [
        ("user.notice", "type=EVENT_DIAGNOSTICS_START"),
        ("user.crit", finding("CRITICAL", "before the kill")),
    ]


def test_missing_report_directory_is_reported_and_repaired_when_its_parent_exists(sandbox):
    # /tessik starts empty: first without /tessik/log, then with it.
    script = f"""
def state(inspector):
    return {{
        "directory": os.path.isdir("/tessik/log/tarno"),
        "report": open({REPORT!r}).read() if os.path.exists({REPORT!r}) else None,
        "count": inspector._JournalInspector__error_count,
    }}

emit(state(JournalInspector({REPORT!r}, Config())))
os.mkdir("/tessik/log")
emit(state(JournalInspector({REPORT!r}, Config())))
"""
    result = sandbox.run(Host(files={"/tessik/log": None, REPORT_DIR: None}), steps=[script])
    assert result.returncode == 0, result.describe()
    without_parent, with_parent = emitted(result)
    assert without_parent == {"directory": False, "report": None, "count": 2}
    assert with_parent == {"directory": True, "report": "", "count": 2}
    assert lines_of(result) == [
        ("user.crit", finding("ERROR", "/tessik/log/tarno does not exist")),
        ("user.crit", finding("ERROR", "[Errno 2] No such file or directory: '/tessik/log/tarno'")),
        ("user.crit", finding("ERROR", "/tessik/log/tarno does not exist")),
        ("user.crit", finding("WARNING", "/tessik/log/tarno was partially restored")),
    ]


def test_command_line_self_test_end_to_end(sandbox):
    report = "/tessik/log/tarno/r"
    result = sandbox.run(steps=[[PYTHON, "-m", "tarno_event_diagnostics", "test", "--report", report]],
                         collect=[report])
    assert result.returncode == 1, result.describe()
    assert lines_of(result) == self_test_lines(report)
    assert report_entries(result.text(report)) == SELF_TEST_REPORT
