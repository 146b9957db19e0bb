# SPDX-License-Identifier: LGPL-2.1-or-later
"""The installed-package check against a fake dpkg-query first on PATH."""

import json
import subprocess
import types

import pytest

from conftest import DEFAULT_STAMP
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.journal_inspector import ErrorLevel, JournalInspector
from tarno_event_diagnostics.packages import Packages

pytestmark = pytest.mark.usefixtures("inspector_paths")

ARGV = ["dpkg-query", "--showformat=${db:Status-Abbrev}${binary:Package}\n", "--show"]
HINT = (
    "Need to try to repair:\n"
    'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
    "install --reinstall syslog-ng-mod-tarno"
)
MISSING = {
    "syslog-ng": "syslog-ng is not installed\n" + HINT,
    "syslog-ng-mod-tarno": "syslog-ng-mod-tarno is not installed\n" + HINT,
    "auditd": "auditd is not installed",
}
SN, MOD, AUD = Packages.SYSLOG_NG, Packages.SYSLOG_NG_MOD_TARNO, Packages.AUDITD


@pytest.fixture
def dpkg(fake_bin, tmp_path):
    """Installs a fake dpkg-query that logs its arguments (and DPKG_ADMINDIR) and
    prints the given bytes; returns the reader of its log."""
    log = tmp_path / "dpkg-query.log"

    def install(output=b"", status=0, signal=None):
        (tmp_path / "dpkg-query.out").write_bytes(output)
        fake_bin.add("dpkg-query", f"""\
            #!/usr/bin/python3
            import json, os, sys
            with open({str(log)!r}, "a") as log:
                log.write(json.dumps([sys.argv[1:], os.environ.get("DPKG_ADMINDIR")]) + "\\n")
            sys.stdout.buffer.write(open({str(tmp_path / "dpkg-query.out")!r}, "rb").read())
            sys.stdout.flush()
            print("dpkg-query: a note on standard error", file=sys.stderr)
            if {signal!r} is not None:
                os.kill(os.getpid(), {signal!r})
            sys.exit({status})
            """)

        def calls():
            return [json.loads(text) for text in log.read_text().splitlines()] if log.exists() else []

        return calls

    return install


class Recorder(JournalInspector):
    """Records the findings and the blocking calls in one list, in order."""

    events = None

    def _JournalInspector__send_report_message(self, level, msg):
        self.events.append((level.name, msg))

    def _JournalInspector__block_users(self):
        self.events.append("block")


@pytest.fixture
def recorder(new_inspector):
    def make(cls=Recorder, **kwargs):
        events = []
        inspector = new_inspector(cls=type("R", (cls,), {"events": events}), **kwargs)
        return inspector, events

    return make


ALL = b"ii syslog-ng\nii syslog-ng-mod-tarno\nii auditd\n"

CASES = {
    "all three": (ALL, SN | MOD | AUD),
    "only auditd missing": (b"ii syslog-ng\nii syslog-ng-mod-tarno\n", SN | MOD),
    "empty list": (b"", Packages.NONE),
    "blank lines only": (b"\n\n", Packages.NONE),
    "other packages only": (b"ii bash\nii coreutils\nii dpkg\n", Packages.NONE),
    "held counts as installed": (b"hi syslog-ng\nhi syslog-ng-mod-tarno\nhi auditd\n", SN | MOD | AUD),
    "half-configured": (b"iF syslog-ng\nii syslog-ng-mod-tarno\nii auditd\n", MOD | AUD),
    "error flag": (b"iiRsyslog-ng\nhiRsyslog-ng-mod-tarno\nii auditd\n", AUD),
    "other states": (b"rc auditd\nun syslog-ng\npi syslog-ng-mod-tarno\niU auditd\n", Packages.NONE),
    "architecture qualifier": (b"ii syslog-ng:amd64\nii syslog-ng-mod-tarno:all\nii auditd\n", AUD),
    "longer names": (b"ii syslog-ng-core\nii syslog-ng-mod-tarno-extra\nii auditd-plugins\nii auditd\n", AUD),
    "shorter names": (b"ii syslog\nii syslog-ng-mod\nii audit\n", Packages.NONE),
    "blanks around": (b" ii syslog-ng\nii syslog-ng-mod-tarno \nii  auditd\n", Packages.NONE),
    "carriage returns": (b"ii syslog-ng\r\nii syslog-ng-mod-tarno\nii auditd\r\n", MOD),
    "no final line feed": (b"ii syslog-ng\nii syslog-ng-mod-tarno\nii auditd", SN | MOD | AUD),
    "any order, repeated": (b"ii auditd\nii auditd\nii syslog-ng-mod-tarno\nii syslog-ng\n", SN | MOD | AUD),
    "several names on a line": (b"ii syslog-ng ii auditd\nii syslog-ng-mod-tarno\n", MOD),
    "non-ASCII neighbours": ("ii пакет\nii syslog-ng\nii syslog-ng-mod-tarno\nii auditd\n".encode(), SN | MOD | AUD),
}


@pytest.mark.parametrize("output, expected", list(CASES.values()), ids=list(CASES))
def test_package_list(output, expected, dpkg, recorder):
    calls = dpkg(output)
    inspector, events = recorder()
    result = inspector.check_installed_packages()
    assert type(result) is Packages and result == expected
    if expected.name is not None:
        assert result is expected
    missing = [name for name, member in zip(MISSING, (SN, MOD, AUD)) if member not in expected]
    assert events == [("CRITICAL", MISSING[name]) for name in missing] + (["block"] if missing else [])
    assert calls() == [[ARGV[1:], None]]


def test_missing_packages_in_the_report(dpkg, new_inspector, syslog_recorder, report_dir):
    dpkg(b"ii auditd\n")
    inspector = new_inspector()
    assert inspector.check_installed_packages() is Packages.AUDITD
    path = report_dir / "report"
    assert syslog_recorder.messages() == [
        f"type=EVENT_DIAGNOSTICS_CRITICAL desc='{MISSING['syslog-ng']}' file='{path}'",
        f"type=EVENT_DIAGNOSTICS_CRITICAL desc='{MISSING['syslog-ng-mod-tarno']}' file='{path}'",
    ]
    assert path.read_text() == (
        f"{DEFAULT_STAMP} tarno-event-diagnostics: critical: syslog-ng is not installed\n"
        "Need to try to repair:\n"
        'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
        "install --reinstall syslog-ng-mod-tarno\n"
        f"{DEFAULT_STAMP} tarno-event-diagnostics: critical: syslog-ng-mod-tarno is not installed\n"
        "Need to try to repair:\n"
        'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
        "install --reinstall syslog-ng-mod-tarno\n"
    )
    assert vars(inspector)["_JournalInspector__error_count"] == 2


def test_blocking_warning_follows_the_findings(dpkg, new_inspector, syslog_recorder, monkeypatch):
    dpkg(b"ii syslog-ng\nii syslog-ng-mod-tarno\n")
    monkeypatch.setattr(ji, "pwd", types.SimpleNamespace(getpwall=lambda: []))
    monkeypatch.setattr(ji, "grp", types.SimpleNamespace(getgrall=lambda: []))
    inspector = new_inspector(block=True)
    assert inspector.check_installed_packages() == SN | MOD
    assert [m.split(" desc=")[1].split("' file")[0] for m in syslog_recorder.messages()] == [
        "'auditd is not installed", "'Accounts of non-privileged users are blocked",
    ]  # fmt: skip
    assert vars(inspector)["_JournalInspector__error_count"] == 2


def test_query_arguments_and_environment(dpkg, recorder, monkeypatch, capfd):
    calls = dpkg(ALL)
    monkeypatch.setenv("DPKG_ADMINDIR", "/fixture/admindir")
    inspector, _ = recorder()
    inspector.check_installed_packages()
    inspector.check_installed_packages()
    assert calls() == [[ARGV[1:], "/fixture/admindir"]] * 2
    assert "\n" in calls()[0][0][0] and "\\n" not in calls()[0][0][0]
    captured = capfd.readouterr()
    assert captured.err.count("dpkg-query: a note on standard error") == 2
    assert "ii syslog-ng" not in captured.out


def test_query_is_run_directly_through_check_output(dpkg, recorder, monkeypatch):
    dpkg(ALL)
    real, seen = subprocess.check_output, []

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(subprocess, "check_output", spy)
    inspector, _ = recorder()
    assert inspector.check_installed_packages() is Packages.ALL_REQUIRED
    [(args, kwargs)] = seen
    assert [list(args[0])] == [ARGV] and len(args) == 1
    assert not kwargs.get("shell") and not {"timeout", "stdin", "stderr", "env", "input"} & set(kwargs)


def command_error(status):
    return str(subprocess.CalledProcessError(status, ARGV))


@pytest.mark.parametrize(
    "status, signal, text",
    [
        (1, None, "Command '['dpkg-query', '--showformat=${db:Status-Abbrev}${binary:Package}\\n', '--show']' "
                  "returned non-zero exit status 1."),
        (2, None, command_error(2)),
        (0, 9, "Command '['dpkg-query', '--showformat=${db:Status-Abbrev}${binary:Package}\\n', '--show']' "
               "died with <Signals.SIGKILL: 9>."),
    ],
)  # fmt: skip
def test_failed_query(status, signal, text, dpkg, recorder):
    dpkg(ALL, status=status, signal=signal)
    inspector, events = recorder(block=True)
    assert inspector.check_installed_packages() is Packages.NONE
    assert events == [("ERROR", text)]


def test_query_not_on_the_search_path(fake_bin, recorder):
    fake_bin.only()
    inspector, events = recorder(block=True)
    assert inspector.check_installed_packages() is Packages.NONE
    assert events == [("ERROR", "[Errno 2] No such file or directory: 'dpkg-query'")]


def test_query_not_executable(fake_bin, recorder):
    fake_bin.add("dpkg-query", "#!/bin/sh\n").chmod(0o644)
    fake_bin.only()
    inspector, events = recorder(block=True)
    assert inspector.check_installed_packages() is Packages.NONE
    assert events == [("ERROR", "[Errno 13] Permission denied: 'dpkg-query'")]


@pytest.mark.parametrize("output", [b"ii syslog-ng\n\xff\xfe\nii auditd\n", ALL + b"ii caf\xe9\n", b"\xc3"])
def test_output_that_is_not_utf8(output, dpkg, recorder):
    dpkg(output)
    with pytest.raises(UnicodeDecodeError) as expected:
        output.decode("utf-8")
    inspector, events = recorder(block=True)
    assert inspector.check_installed_packages() is Packages.NONE
    assert events == [("ERROR", str(expected.value))]


def test_not_utf8_text(dpkg, recorder):
    dpkg(b"ii syslog-ng\n\xff\n")
    inspector, events = recorder()
    inspector.check_installed_packages()
    assert events == [("ERROR", "'utf-8' codec can't decode byte 0xff in position 13: invalid start byte")]


def test_error_while_reporting_keeps_what_was_found(dpkg, recorder):
    dpkg(b"ii syslog-ng\nii syslog-ng-mod-tarno\n")

    class FailingReport(Recorder):
        def _JournalInspector__send_critical_message(self, msg):
            raise ValueError("cannot report")

    inspector, events = recorder(cls=FailingReport)
    assert inspector.check_installed_packages() == SN | MOD
    assert events == [("ERROR", "cannot report")]


def test_error_while_reporting_stops_the_later_tests(dpkg, recorder):
    dpkg(b"ii syslog-ng-mod-tarno\n")

    class FailingFirst(Recorder):
        def _JournalInspector__send_critical_message(self, msg):
            raise KeyError("first")

    inspector, events = recorder(cls=FailingFirst)
    assert inspector.check_installed_packages() is Packages.NONE
    assert events == [("ERROR", "'first'")]


def test_error_from_blocking_is_reported(dpkg, recorder):
    dpkg(b"ii syslog-ng\nii auditd\n")

    class FailingBlock(Recorder):
        def _JournalInspector__block_users(self):
            self.events.append("block")
            raise OSError(5, "Input/output error")

    inspector, events = recorder(cls=FailingBlock)
    assert inspector.check_installed_packages() == SN | AUD
    assert events == [("CRITICAL", MISSING["syslog-ng-mod-tarno"]), "block", ("ERROR", "[Errno 5] Input/output error")]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass(error, dpkg, recorder):
    dpkg(b"")

    class Interrupted(Recorder):
        def _JournalInspector__block_users(self):
            raise error

    inspector, events = recorder(cls=Interrupted)
    with pytest.raises(error):
        inspector.check_installed_packages()
    assert len(events) == 3


def test_calls_go_through_the_object(dpkg, new_inspector, syslog_recorder):
    dpkg(b"")
    levels = []

    class Spy(JournalInspector):
        def _JournalInspector__send_report_message(self, level, msg):
            levels.append(level)

    new_inspector(cls=Spy).check_installed_packages()
    assert levels == [ErrorLevel.CRITICAL] * 3


def test_repair_hint_is_read_from_the_class(dpkg, recorder, monkeypatch):
    dpkg(b"ii auditd\n")
    monkeypatch.setattr(JournalInspector, "_JournalInspector__repair_msg_template", "HINT")
    inspector, events = recorder()
    inspector.check_installed_packages()
    assert events[:2] == [
        ("CRITICAL", "syslog-ng is not installed\nHINT"),
        ("CRITICAL", "syslog-ng-mod-tarno is not installed\nHINT"),
    ]
