# SPDX-License-Identifier: LGPL-2.1-or-later
"""The report channel: system-log records, report-file lines, standard output,
the error counter and the time stamps, byte for byte."""

import contextlib
import io
import os
import subprocess
import syslog
import time
from datetime import datetime, timedelta, timezone

import dateutil.tz
import pytest

from conftest import DEFAULT_STAMP
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.journal_inspector import ErrorLevel, JournalInspector

pytestmark = pytest.mark.usefixtures("inspector_paths")

START = "Self-diagnostics of the event registration subsystem has been started"
END = "Self-diagnostics of the event registration subsystem is completed: errors="
OPENLOG = ("openlog", "tarno-event-diagnostics", 0, 13)
SENDERS = [
    ("_JournalInspector__send_critical_message", "CRITICAL", "critical"),
    ("_JournalInspector__send_error_message", "ERROR", "error"),
    ("_JournalInspector__send_warning_message", "WARNING", "warning"),
]


def line(text, stamp=DEFAULT_STAMP):
    return f"{stamp} tarno-event-diagnostics: {text}"


def record(level, message, inspector):
    path = vars(inspector)["_JournalInspector__report_file_path"]
    return ("syslog", syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_{level} desc='{message}' file='{path}'")


def report(inspector):
    return vars(inspector)["_JournalInspector__report_file_path"].read_text()


def count(inspector):
    return vars(inspector)["_JournalInspector__error_count"]


def send(inspector, sender, msg):
    getattr(inspector, sender)(msg)


# ---------------------------------------------------------------- line formats


def test_worked_example(new_inspector, syslog_recorder, clock):
    zone = timezone(timedelta(hours=3))
    clock.set(
        datetime(2024, 3, 5, 14, 7, 9, 123456, zone),
        datetime(2024, 3, 5, 14, 7, 10, 4210, zone),
        datetime(2024, 3, 5, 14, 7, 11, 500000, zone),
        datetime(2024, 3, 5, 14, 7, 12, 0, zone),
    )
    inspector = new_inspector()
    path = vars(inspector)["_JournalInspector__report_file_path"]
    inspector._JournalInspector__send_start_check_message()
    inspector._JournalInspector__send_critical_message("auditd is not installed")
    inspector._JournalInspector__send_warning_message("Accounts of non-privileged users are blocked")
    inspector._JournalInspector__send_end_check_message()
    assert syslog_recorder.calls == [
        OPENLOG,
        ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_START"),
        ("syslog", syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_CRITICAL desc='auditd is not installed' file='{path}'"),
        ("syslog", syslog.LOG_CRIT,
         f"type=EVENT_DIAGNOSTICS_WARNING desc='Accounts of non-privileged users are blocked' file='{path}'"),
        ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_END desc='errors=2'"),
        ("closelog",),
    ]  # fmt: skip
    assert path.read_bytes() == (
        b"2024-03-05T14:07:09.123456+03:00 tarno-event-diagnostics: "
        b"Self-diagnostics of the event registration subsystem has been started\n"
        b"2024-03-05T14:07:10.004210+03:00 tarno-event-diagnostics: critical: auditd is not installed\n"
        b"2024-03-05T14:07:11.500000+03:00 tarno-event-diagnostics: "
        b"warning: Accounts of non-privileged users are blocked\n"
        b"2024-03-05T14:07:12+03:00 tarno-event-diagnostics: "
        b"Self-diagnostics of the event registration subsystem is completed: errors=2\n"
    )
    assert count(inspector) == 0


@pytest.mark.parametrize("sender, level, lower", SENDERS)
def test_finding_at_each_level(sender, level, lower, new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    send(inspector, sender, "something is wrong")
    assert syslog_recorder.calls[1:] == [record(level, "something is wrong", inspector)]
    assert report(inspector) == line(f"{lower}: something is wrong") + "\n"
    assert capsys.readouterr().out == line(f"{lower}: something is wrong") + "\n"
    assert count(inspector) == 1


def test_report_message_with_a_level_directly(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_report_message(ErrorLevel.WARNING, "direct")
    assert syslog_recorder.calls[1:] == [record("WARNING", "direct", inspector)]
    assert report(inspector) == line("warning: direct") + "\n"


def test_debug_goes_to_the_system_log_only(new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    inspector._JournalInspector__send_debug_message("restarting syslog-ng")
    assert syslog_recorder.calls[1:] == [("syslog", syslog.LOG_DEBUG, "restarting syslog-ng")]
    assert count(inspector) == 0
    assert report(inspector) == "" and capsys.readouterr().out == ""


def test_debug_hands_its_argument_over_unconverted(new_inspector, syslog_recorder):
    inspector = new_inspector()
    error = ValueError("not text")
    inspector._JournalInspector__send_debug_message(error)
    assert syslog_recorder.calls[1][2] is error


def test_start_and_end(new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    vars(inspector)["_JournalInspector__error_count"] = 7
    inspector._JournalInspector__send_start_check_message()
    assert count(inspector) == 0
    for _ in range(12):
        inspector._JournalInspector__send_warning_message("w")
    file = vars(inspector)["_JournalInspector__report_file"]
    inspector._JournalInspector__send_end_check_message()
    assert syslog_recorder.calls[1] == ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_START")
    assert syslog_recorder.calls[-2:] == [
        ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_END desc='errors=12'"),
        ("closelog",),
    ]
    expected = [line(START)] + [line("warning: w")] * 12 + [line(END + "12")]
    assert report(inspector) == "".join(text + "\n" for text in expected)
    assert capsys.readouterr().out == report(inspector)
    assert vars(inspector)["_JournalInspector__report_file"] is file and file.closed
    assert count(inspector) == 0


def test_end_with_no_findings_reports_zero(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_start_check_message()
    inspector._JournalInspector__send_end_check_message()
    assert syslog_recorder.messages()[-1] == "type=EVENT_DIAGNOSTICS_END desc='errors=0'"
    assert report(inspector).endswith(line(END + "0") + "\n")


def test_counting(new_inspector, syslog_recorder):
    inspector = new_inspector()
    steps = [
        ("_JournalInspector__send_warning_message", 1),
        ("_JournalInspector__send_debug_message", 1),
        ("_JournalInspector__send_error_message", 2),
        ("_JournalInspector__send_critical_message", 3),
        ("_JournalInspector__send_start_check_message", 0),
        ("_JournalInspector__send_warning_message", 1),
        ("_JournalInspector__send_end_check_message", 0),
        ("_JournalInspector__send_error_message", 1),
        ("_JournalInspector__send_start_check_message", 0),
    ]
    for sender, expected in steps:
        method = getattr(inspector, sender)
        method() if sender.endswith("check_message") else method("m")
        assert count(inspector) == expected, sender
    assert "type=EVENT_DIAGNOSTICS_END desc='errors=1'" in syslog_recorder.messages()


# ---------------------------------------------------------------- order of the steps


def trace_clock(clock, calls):
    original = clock.now

    def now(tz=None):
        calls.append(("now",))
        return original(tz)

    clock.now = now


@pytest.mark.parametrize("sender, level, lower", SENDERS)
def test_finding_counts_then_logs_then_stamps(sender, level, lower, new_inspector, syslog_recorder, clock):
    inspector = new_inspector()
    trace_clock(clock, syslog_recorder.calls)
    seen = []
    syslog_recorder.on_syslog = lambda *_: seen.append((count(inspector), report(inspector)))
    send(inspector, sender, "m")
    assert [call[0] for call in syslog_recorder.calls[1:]] == ["syslog", "now"]
    assert seen == [(1, "")]


def test_start_stamps_then_logs(new_inspector, syslog_recorder, clock):
    inspector = new_inspector()
    vars(inspector)["_JournalInspector__error_count"] = 3
    trace_clock(clock, syslog_recorder.calls)
    seen = []
    syslog_recorder.on_syslog = lambda *_: seen.append((count(inspector), report(inspector)))
    inspector._JournalInspector__send_start_check_message()
    assert [call[0] for call in syslog_recorder.calls[1:]] == ["now", "syslog"]
    assert seen == [(0, "")]


def test_end_stamps_logs_closes_then_writes(new_inspector, syslog_recorder, clock):
    inspector = new_inspector()
    inspector._JournalInspector__send_error_message("e")
    trace_clock(clock, syslog_recorder.calls)
    seen = []
    syslog_recorder.on_syslog = lambda *_: seen.append((count(inspector), report(inspector)))
    inspector._JournalInspector__send_end_check_message()
    assert [call[0] for call in syslog_recorder.calls[-3:]] == ["now", "syslog", "closelog"]
    assert seen == [(1, line("error: e") + "\n")]


# ---------------------------------------------------------------- time stamps


@pytest.mark.parametrize(
    "moment, stamp",
    [
        (datetime(2024, 3, 5, 14, 7, 12, 0, timezone(timedelta(hours=3))), "2024-03-05T14:07:12+03:00"),
        (datetime(2024, 3, 5, 14, 7, 12, 1, timezone.utc), "2024-03-05T14:07:12.000001+00:00"),
        (datetime(2024, 3, 5, 23, 59, 59, 0, dateutil.tz.tzutc()), "2024-03-05T23:59:59+00:00"),
        (datetime(2024, 1, 2, 3, 4, 5, 60, timezone(-timedelta(hours=5, minutes=30))),
         "2024-01-02T03:04:05.000060-05:30"),
        (datetime(999, 12, 31, 0, 0, 0, 999999, timezone(timedelta(hours=14))), "0999-12-31T00:00:00.999999+14:00"),
    ],
)  # fmt: skip
def test_time_stamp_forms(moment, stamp, new_inspector, syslog_recorder, clock):
    inspector = new_inspector()
    clock.set(moment)
    inspector._JournalInspector__send_error_message("m")
    assert report(inspector) == line("error: m", stamp) + "\n"
    assert JournalInspector._JournalInspector__msg_template("x") == line("x", stamp)


def test_template_asks_for_local_time_once_per_line(new_inspector, clock):
    inspector = new_inspector()
    clock.set()
    inspector.test()
    assert len(clock.zones) == 5
    assert all(isinstance(zone, dateutil.tz.tzlocal) for zone in clock.zones)


def test_template_is_a_static_method_usable_from_the_instance(new_inspector, clock):
    inspector = new_inspector()
    message = "a 'b' %s\nc"
    assert inspector._JournalInspector__msg_template(message) == f"{DEFAULT_STAMP} tarno-event-diagnostics: {message}"
    assert len(" tarno-event-diagnostics: ") == 26


@pytest.fixture
def local_zone():
    with pytest.MonkeyPatch.context() as patch:

        def use(zone):
            patch.setenv("TZ", zone)
            time.tzset()

        yield use
    time.tzset()


@pytest.mark.parametrize("zone, offset", [("UTC0", "+00:00"), ("XYZ-5:30", "+05:30"), ("ABC+3", "-03:00")])
def test_real_clock_in_the_local_zone(zone, offset, local_zone, report_dir, syslog_recorder):
    local_zone(zone)
    inspector = JournalInspector(str(report_dir / "report"), Config())
    before = datetime.now(timezone.utc)
    inspector._JournalInspector__send_warning_message("w")
    after = datetime.now(timezone.utc)
    text = report(inspector)
    stamp, rest = text.split(" ", 1)
    assert rest == "tarno-event-diagnostics: warning: w\n"
    assert stamp.endswith(offset)
    moment = datetime.fromisoformat(stamp)
    assert before <= moment <= after
    assert ("." in stamp) == (moment.microsecond != 0)


# ---------------------------------------------------------------- messages pass unchanged

MESSAGES = [
    "it's a 'quoted' text",
    "first line\nsecond line\n",
    "100% done %s %d %(name)s %% %n",
    "",
    "  padded\twith blanks  ",
    'back\\slash and "double quotes"',
    "ошибка — ✓ 日本",
    "nul\x00inside",
    "carriage\rreturn",
]


@pytest.mark.parametrize("message", MESSAGES)
@pytest.mark.parametrize("sender, level, lower", SENDERS)
def test_messages_pass_unchanged(message, sender, level, lower, new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    send(inspector, sender, message)
    assert syslog_recorder.calls[1:] == [record(level, message, inspector)]
    expected = line(f"{lower}: {message}") + "\n"
    assert vars(inspector)["_JournalInspector__report_file_path"].read_bytes() == expected.encode()
    assert capsys.readouterr().out == expected


@pytest.mark.parametrize("message", MESSAGES)
def test_debug_messages_pass_unchanged(message, new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_debug_message(message)
    assert syslog_recorder.calls[1:] == [("syslog", syslog.LOG_DEBUG, message)]


class Quoting(Exception):
    def __str__(self):
        return "it's\nbroken"


ERRORS = [
    ValueError("bad value"),
    FileNotFoundError(2, "No such file or directory", "/x/y"),
    KeyError("k"),
    subprocess.CalledProcessError(1, ["dpkg-query", "--show"]),
    Quoting(),
    RuntimeError(),
]


@pytest.mark.parametrize("error", ERRORS, ids=lambda e: type(e).__name__)
def test_error_objects_stand_as_their_text(error, new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_error_message(error)
    assert syslog_recorder.calls[1:] == [record("ERROR", str(error), inspector)]
    assert report(inspector) == line(f"error: {error}") + "\n"


@pytest.mark.parametrize("wrap", [str, lambda text: FileNotFoundError(2, text)], ids=["text", "error"])
def test_undecodable_file_name_bytes_are_escaped_not_lost(wrap, new_inspector, syslog_recorder, capsys):
    # A file name that is not UTF-8 arrives as lone surrogates; the system log
    # and the report file would refuse the whole line, so the bytes are escaped.
    inspector = new_inspector(verbose=True)
    message = wrap("cannot read /etc/bad" + os.fsdecode(b"\xff") + "name")
    inspector._JournalInspector__send_error_message(message)
    escaped = str(message).encode("utf-8", "backslashreplace").decode()
    assert "\\udcff" in escaped
    assert syslog_recorder.calls[1:] == [record("ERROR", escaped, inspector)]
    assert report(inspector) == line(f"error: {escaped}") + "\n"
    assert capsys.readouterr().out == line(f"error: {escaped}") + "\n"
    assert inspector._JournalInspector__error_count == 1


def test_self_test_message_spans_two_lines(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_critical_message("test\ntest")
    path = vars(inspector)["_JournalInspector__report_file_path"]
    assert report(inspector) == f"{DEFAULT_STAMP} tarno-event-diagnostics: critical: test\ntest\n"
    assert syslog_recorder.messages() == [f"type=EVENT_DIAGNOSTICS_CRITICAL desc='test\ntest' file='{path}'"]


@pytest.mark.parametrize("name", ["it's a report", "per%cent %s", "ünï"])
def test_report_path_text_is_quoted_as_is(name, new_inspector, syslog_recorder, report_dir):
    inspector = new_inspector(name)
    inspector._JournalInspector__send_warning_message("w")
    assert syslog_recorder.messages() == [f"type=EVENT_DIAGNOSTICS_WARNING desc='w' file='{report_dir / name}'"]


# ---------------------------------------------------------------- standard output


@pytest.mark.parametrize("verbose", [True, 1, "yes", [0]])
def test_verbose_prints_exactly_the_report_lines(verbose, new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=verbose)
    inspector.test()
    inspector._JournalInspector__send_debug_message("debug")
    out = capsys.readouterr().out
    assert out == report(inspector)
    assert out.count(START) == 1 and "debug" not in out


@pytest.mark.parametrize("verbose", [False, 0, "", None, []])
def test_quiet_prints_nothing(verbose, new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=verbose)
    inspector.test()
    assert capsys.readouterr().out == ""


def test_output_goes_through_print(new_inspector, syslog_recorder, monkeypatch):
    inspector = new_inspector(verbose=True)
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        inspector._JournalInspector__send_error_message("to the buffer")
    assert buffer.getvalue() == line("error: to the buffer") + "\n"
    printed = []
    monkeypatch.setattr(ji, "print", lambda *args, **kwargs: printed.append((args, kwargs)), raising=False)
    inspector._JournalInspector__send_warning_message("to print")
    assert printed == [((line("warning: to print"),), {})]


# ---------------------------------------------------------------- without a report file


def test_without_a_report_file(tmp_path, syslog_recorder, clock, capsys):
    path = tmp_path / "nowhere" / "report"
    inspector = JournalInspector(str(path), Config(), verbose=True)
    error = f"[Errno 2] No such file or directory: '{path}'"
    inspector.test()
    assert vars(inspector)["_JournalInspector__report_file"] is None
    assert syslog_recorder.messages() == [
        f"type=EVENT_DIAGNOSTICS_ERROR desc='{error}' file='{path}'",
        "type=EVENT_DIAGNOSTICS_START",
        f"type=EVENT_DIAGNOSTICS_CRITICAL desc='test\ntest' file='{path}'",
        f"type=EVENT_DIAGNOSTICS_ERROR desc='test\ntest' file='{path}'",
        f"type=EVENT_DIAGNOSTICS_WARNING desc='test\ntest' file='{path}'",
        "type=EVENT_DIAGNOSTICS_END desc='errors=3'",
    ]
    assert capsys.readouterr().out == "".join(
        text + "\n"
        for text in [line(f"error: {error}"), line(START), line("critical: test\ntest"),
                     line("error: test\ntest"), line("warning: test\ntest"), line(END + "3")]
    )  # fmt: skip
    assert not path.exists()


# ---------------------------------------------------------------- every line on disk at once


@pytest.mark.parametrize("sender, level, lower", SENDERS)
def test_each_line_reaches_the_disk_at_once(sender, level, lower, new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_start_check_message()
    assert report(inspector) == line(START) + "\n"
    send(inspector, sender, "kept")
    assert report(inspector) == line(START) + "\n" + line(f"{lower}: kept") + "\n"


def test_lines_survive_a_run_that_ends_by_an_exception(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_start_check_message()
    inspector._JournalInspector__send_error_message("found before the crash")
    syslog_recorder.on_syslog = lambda *_: (_ for _ in ()).throw(RuntimeError("crash"))
    with pytest.raises(RuntimeError):
        inspector._JournalInspector__send_error_message("never written")
    assert report(inspector) == line(START) + "\n" + line("error: found before the crash") + "\n"


# ---------------------------------------------------------------- after the end message


@pytest.mark.parametrize("sender, level, lower", SENDERS)
def test_finding_after_the_end_skips_the_closed_file(sender, level, lower, new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    inspector.test()
    before = vars(inspector)["_JournalInspector__report_file_path"].read_bytes()
    capsys.readouterr()
    send(inspector, sender, "late")
    assert syslog_recorder.calls[-1] == record(level, "late", inspector)
    assert count(inspector) == 1
    assert capsys.readouterr().out == line(f"{lower}: late") + "\n"
    assert vars(inspector)["_JournalInspector__report_file_path"].read_bytes() == before


def test_second_self_test_skips_the_file(new_inspector, syslog_recorder, capsys):
    inspector = new_inspector(verbose=True)
    inspector.test()
    before = vars(inspector)["_JournalInspector__report_file_path"].read_bytes()
    first_out = capsys.readouterr().out
    inspector.test()
    assert vars(inspector)["_JournalInspector__report_file_path"].read_bytes() == before
    assert capsys.readouterr().out == first_out
    assert syslog_recorder.messages()[-1] == "type=EVENT_DIAGNOSTICS_END desc='errors=3'"
    assert count(inspector) == 0


def test_system_log_is_reopened_with_the_identity_after_the_end(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector.test()
    del syslog_recorder.calls[:]
    inspector._JournalInspector__send_debug_message("first after end")
    inspector._JournalInspector__send_error_message("second after end")
    inspector.test()
    inspector._JournalInspector__send_warning_message("after the second end")
    kinds = [call[0] if call[0] != "syslog" else call[2].split(" ")[0] for call in syslog_recorder.calls]
    assert kinds == [
        "openlog", "first", "type=EVENT_DIAGNOSTICS_ERROR",
        "type=EVENT_DIAGNOSTICS_START", "type=EVENT_DIAGNOSTICS_CRITICAL", "type=EVENT_DIAGNOSTICS_ERROR",
        "type=EVENT_DIAGNOSTICS_WARNING", "type=EVENT_DIAGNOSTICS_END", "closelog",
        "openlog", "type=EVENT_DIAGNOSTICS_WARNING",
    ]  # fmt: skip
    assert [call for call in syslog_recorder.calls if call[0] == "openlog"] == [OPENLOG, OPENLOG]


def test_the_end_of_one_inspector_reopens_the_log_for_another(new_inspector, syslog_recorder):
    # The connection is the process's: after the first inspector's end message,
    # the second one's next line must not go out under the interpreter's identity.
    first, second = new_inspector("first"), new_inspector("second")
    first.test()
    del syslog_recorder.calls[:]
    second._JournalInspector__send_error_message("still ours")
    assert syslog_recorder.calls == [OPENLOG, record("ERROR", "still ours", second)]


def test_no_reopen_before_the_end(new_inspector, syslog_recorder):
    inspector = new_inspector()
    inspector._JournalInspector__send_start_check_message()
    inspector._JournalInspector__send_error_message("e")
    inspector._JournalInspector__send_debug_message("d")
    assert [call[0] for call in syslog_recorder.calls] == ["openlog", "syslog", "syslog", "syslog"]


# ---------------------------------------------------------------- through the object


def test_a_subclass_sees_every_finding(new_inspector, syslog_recorder):
    seen = []

    class Spy(JournalInspector):
        def _JournalInspector__send_report_message(self, level, msg):
            seen.append((level, msg))

    inspector = new_inspector(cls=Spy)
    error = OSError("os")
    inspector.test()
    inspector._JournalInspector__send_error_message(error)
    inspector._JournalInspector__send_debug_message("not a finding")
    assert seen == [(ErrorLevel.CRITICAL, "test\ntest"), (ErrorLevel.ERROR, "test\ntest"),
                    (ErrorLevel.WARNING, "test\ntest"), (ErrorLevel.ERROR, error)]  # fmt: skip
    assert seen[-1][1] is error
    assert syslog_recorder.messages() == [
        "type=EVENT_DIAGNOSTICS_START", "type=EVENT_DIAGNOSTICS_END desc='errors=0'", "not a finding",
    ]


def test_the_template_is_called_through_the_object(new_inspector, syslog_recorder):
    class Plain(JournalInspector):
        @staticmethod
        def _JournalInspector__msg_template(message):
            return f"<{message}>"

    inspector = new_inspector(cls=Plain)
    inspector.test()
    assert report(inspector) == (
        f"<{START}>\n<critical: test\ntest>\n<error: test\ntest>\n<warning: test\ntest>\n<{END}3>\n"
    )


# ---------------------------------------------------------------- failures propagate


def test_system_log_failure_propagates_after_counting(new_inspector, syslog_recorder):
    inspector = new_inspector()

    def fail(*_):
        raise OSError("log down")

    syslog_recorder.on_syslog = fail
    with pytest.raises(OSError, match="log down"):
        inspector._JournalInspector__send_warning_message("w")
    assert count(inspector) == 1 and report(inspector) == ""


def test_a_report_file_that_fails_is_reported_once_and_skipped(new_inspector, syslog_recorder, capsys):
    class Full(io.StringIO):
        def write(self, text):
            raise OSError(28, "No space left on device")

    inspector = new_inspector(verbose=True)
    full = vars(inspector)["_JournalInspector__report_file"] = Full()
    inspector._JournalInspector__send_error_message("e")
    inspector._JournalInspector__send_warning_message("w")
    inspector._JournalInspector__send_end_check_message()
    path = vars(inspector)["_JournalInspector__report_file_path"]
    failure = f"report file {path} could not be written: [Errno 28] No space left on device"
    assert syslog_recorder.calls[1:] == [
        record("ERROR", "e", inspector), record("ERROR", failure, inspector), record("WARNING", "w", inspector),
        ("syslog", syslog.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_END desc='errors=3'"), ("closelog",)]  # fmt: skip
    # Every line still reaches standard output; the file is closed and left alone.
    assert [text.split(": ", 1)[1] for text in capsys.readouterr().out.splitlines()] == [
        "error: e", f"error: {failure}", "warning: w", END + "3"]  # fmt: skip
    assert full.closed and vars(inspector)["_JournalInspector__report_file"] is full


def test_print_failure_propagates_after_writing(new_inspector, syslog_recorder, monkeypatch):
    def fail(*args, **kwargs):
        raise BrokenPipeError(32, "Broken pipe")

    inspector = new_inspector(verbose=True)
    monkeypatch.setattr(ji, "print", fail, raising=False)
    with pytest.raises(BrokenPipeError):
        inspector._JournalInspector__send_critical_message("c")
    assert report(inspector) == line("critical: c") + "\n"


def test_interrupt_from_the_system_log_passes(new_inspector, syslog_recorder):
    inspector = new_inspector()

    def interrupt(*_):
        raise KeyboardInterrupt

    syslog_recorder.on_syslog = interrupt
    with pytest.raises(KeyboardInterrupt):
        inspector._JournalInspector__send_error_message("e")
