# SPDX-License-Identifier: LGPL-2.1-or-later
"""The audit rule checks and the auditd service check, with fake auditctl and
systemctl first on PATH and the rules file in a temporary folder."""

import copy
import json
import os
import re
import subprocess
import sys
import types

import pytest

from conftest import DEFAULT_STAMP, Shell
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.journal_inspector import JournalInspector as J

ARCHES = ["x86_64", "aarch64", "armv7l", "riscv64"]
IMPORTANT = list(J.important_audit_rules)

# Both fakes log their command line; auditctl -l prints the listing, a load exits
# with the status given for its rule (0 when none is).
TOOL = """\
    #!/usr/bin/python3
    import json, pathlib, sys
    state = pathlib.Path({state!r})
    command = " ".join([pathlib.Path(sys.argv[0]).name, *sys.argv[1:]])
    with open(state / "calls", "a") as log:
        log.write(json.dumps(command) + "\\n")
    if sys.argv[1:] == ["-l"]:
        sys.stdout.buffer.write((state / "listing").read_bytes())
        sys.exit(int((state / "listing-status").read_text()))
    sys.exit(json.loads((state / "statuses").read_text()).get(command, 0))
    """


class Audit:
    """One machine: its name, the rules it needs, the fakes and the rules file."""

    def __init__(self, arch, tmp_path, fake_bin, monkeypatch):
        monkeypatch.setattr(J, "_JournalInspector__arch", arch)
        self.arch = arch
        self.state = tmp_path / "state"
        self.state.mkdir()
        self.file = J.audit_rules_file
        self.file.parent.mkdir()
        self.critical = [(rule, listed) for listed, rule in J.critical_auditstyle_rules.get(arch, {}).items()]
        self.rules = [rule for rule, _ in self.critical] + IMPORTANT
        self.listed = [listed for _, listed in self.critical] + IMPORTANT
        self.list(self.listed)
        self.statuses({})
        for name in ("auditctl", "systemctl"):
            fake_bin.add(name, TOOL.format(state=str(self.state)))

    def list(self, rules, status=0):
        listing = rules if isinstance(rules, bytes) else lines(*rules).encode()
        (self.state / "listing").write_bytes(listing)
        (self.state / "listing-status").write_text(str(status))

    def statuses(self, by_command):
        (self.state / "statuses").write_text(json.dumps(by_command))

    def calls(self):
        log = self.state / "calls"
        return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []


@pytest.fixture(params=ARCHES)
def audit(request, inspector_paths, tmp_path, fake_bin, monkeypatch):
    return Audit(request.param, tmp_path, fake_bin, monkeypatch)


def reports(recorder):
    return [re.fullmatch(r"type=EVENT_DIAGNOSTICS_(\w+) desc='(.*)' file='.*'", m, re.S).groups()
            for m in recorder.messages()]  # fmt: skip


def restoring(rules, refused=()):
    """The reports of loading `rules` again; those in `refused` fail to load."""
    found = []
    for rule in rules:
        found.append(("ERROR", f"audit rule '{rule}' is missing"))
        found.append(("ERROR", f"audit rule '{rule}' could not be restored") if rule in refused
                     else ("WARNING", f"audit rule '{rule}' was restored"))  # fmt: skip
    return found


def loads(rules):
    return [f"auditctl {rule}" for rule in rules]


def lines(*rules):
    return "".join(f"{rule}\n" for rule in rules)


# ---------------------------------------------------------------- the rules file


def test_complete_rules_change_nothing(audit, new_inspector, syslog_recorder):
    audit.file.write_text("# kept\n\n" + lines(*reversed(audit.rules)) + "-w /other -p r")
    before = audit.file.stat()
    new_inspector().check_audit_rules()
    assert reports(syslog_recorder) == [] and audit.calls() == ["auditctl -l"]
    after = audit.file.stat()
    assert (after.st_ino, after.st_mtime_ns, after.st_size) == (before.st_ino, before.st_mtime_ns, before.st_size)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o000])
def test_absent_rules_file_is_made(umask, audit, new_inspector, syslog_recorder, report_dir):
    old_umask = os.umask(umask)
    try:
        new_inspector().check_audit_rules()
    finally:
        os.umask(old_umask)
    assert audit.file.read_bytes() == lines(*audit.rules).encode()
    assert os.stat(audit.file).st_mode & 0o7777 == 0o640
    assert audit.calls() == ["systemctl restart auditd", "auditctl -l"]
    report = report_dir / "report"
    assert syslog_recorder.messages() == [
        f"type=EVENT_DIAGNOSTICS_ERROR desc='{audit.file} does not exist' file='{report}'",
        f"type=EVENT_DIAGNOSTICS_WARNING desc='{audit.file} was partially restored' file='{report}'",
    ]
    assert report.read_text() == (
        f"{DEFAULT_STAMP} tarno-event-diagnostics: error: {audit.file} does not exist\n"
        f"{DEFAULT_STAMP} tarno-event-diagnostics: warning: {audit.file} was partially restored\n"
    )


def fed(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


# Former file text for the machine's rules R (critical first, then important),
# and which of them count as missing; a text that holds a carriage return is
# rewritten with line feeds even when no rule is missing.
FILES = {
    "one watch rule missing": (lambda R: lines(*R[:-2], R[-1]), lambda R: [R[-2]]),
    "first rule missing, no final line feed": (lambda R: "\n".join(R[1:]), lambda R: R[:1]),
    "longer lines, comments and joined options do not count": (
        lambda R: lines("#" + R[0], R[1] + R[1], R[2].replace(" -k ", " -k"), *R[3:]),
        lambda R: R[:2] + ([R[2]] if " -k " in R[2] else [])),
    "empty file": (lambda R: "", lambda R: R),
    "carriage returns and line feeds": (lambda R: "\r\n".join(R[2:]) + "\r" + "x\r\n", lambda R: R[:2]),
    "carriage returns alone": (lambda R: "\r".join(R) + "\r", lambda R: []),
    "one line end of each kind": (lambda R: "\r\n".join(R[:2]) + "\r" + lines(*R[2:]), lambda R: []),
    "bytes that are not UTF-8 stay": (lambda R: "# \udce9quipe \udcff\n" + lines(*R[1:]), lambda R: R[:1]),
}  # fmt: skip


@pytest.mark.parametrize("former, missing", list(FILES.values()), ids=list(FILES))
def test_missing_rules_go_on_top_of_the_former_lines(former, missing, audit, new_inspector, syslog_recorder):
    text = former(audit.rules)
    audit.file.write_bytes(text.encode(errors="surrogateescape"))
    os.chown(audit.file, 1234, 5678)
    os.chmod(audit.file, 0o604)
    before = audit.file.stat()
    inspector = new_inspector()
    inspector._JournalInspector__check_missing_audit_rules()
    body = fed(text) + ("\n" if text and not fed(text).endswith("\n") else "")
    repaired = (lines(*missing(audit.rules)) + body).encode(errors="surrogateescape")
    assert audit.file.read_bytes() == repaired
    after = audit.file.stat()
    assert (after.st_uid, after.st_gid, after.st_mode) == (1234, 5678, before.st_mode)
    assert after.st_ino != before.st_ino
    assert audit.calls() == ["systemctl restart auditd"]
    assert reports(syslog_recorder) == [
        ("ERROR", f"important audit rules are missing in {audit.file}"),
        ("WARNING", f"important audit rules was restored in {audit.file}"),
    ]
    # The repaired file is complete: a second check leaves its bytes alone.
    inspector._JournalInspector__check_missing_audit_rules()
    assert audit.file.read_bytes() == repaired and len(reports(syslog_recorder)) == 2


SPELLINGS = {
    "-k written -F key=": lambda rule: rule.replace(" -k ", " -F key="),
    "-F key= written -k": lambda rule: rule.replace(" -F key=", " -k "),
    "blanks and tabs around and between words": lambda rule: "\t " + rule.replace(" ", " \t  ") + " \t",
}


@pytest.mark.parametrize("spelling", list(SPELLINGS.values()), ids=list(SPELLINGS))
def test_other_spellings_of_a_rule_count(spelling, audit, new_inspector, syslog_recorder):
    audit.file.write_text("".join(spelling(rule) + " \n" for rule in audit.rules))
    before = audit.file.stat()
    new_inspector()._JournalInspector__check_missing_audit_rules()
    assert reports(syslog_recorder) == [] and audit.calls() == []
    assert audit.file.stat().st_ino == before.st_ino


# ---------------------------------------------------------------- loaded rules

NOT_UTF8 = "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"
FAILED = "Command '['auditctl', '-l']' returned non-zero exit status 1."

# listing(audit) -> what auditctl -l prints; its exit status; lost(audit) -> the
# rules reported missing; the report that comes first, if any.
LISTINGS = {
    "all listed, blanks around the whole listing":
        (lambda a: b" \n\n" + lines(*a.listed).encode() + b"\t\n", 0, lambda a: [], None),
    "a watch rule lost": (lambda a: a.listed[:-1], 0, lambda a: a.rules[-1:], None),
    "critical rules listed in rules-file form": (lambda a: a.rules, 0, lambda a: a.rules[: len(a.critical)], None),
    "blank after a listed rule": (lambda a: [a.listed[0] + " ", *a.listed[1:]], 0, lambda a: a.rules[:1], None),
    "auditctl -l fails": (lambda a: a.listed, 1, lambda a: a.rules, FAILED),
    "listing not UTF-8": (lambda a: b"\xff" + lines(*a.listed).encode(), 0, lambda a: a.rules, NOT_UTF8),
}  # fmt: skip


@pytest.mark.parametrize("listing, status, lost, first", list(LISTINGS.values()), ids=list(LISTINGS))
def test_lost_rules_are_loaded_again(listing, status, lost, first, audit, new_inspector, syslog_recorder):
    audit.file.write_text(lines(*audit.rules))
    audit.list(listing(audit), status)
    new_inspector().check_audit_rules()
    assert reports(syslog_recorder) == ([("ERROR", first)] if first else []) + restoring(lost(audit))
    assert audit.calls() == ["auditctl -l"] + loads(lost(audit))


@pytest.mark.parametrize("status", [1, 2, 127, 255])
def test_each_load_is_judged_by_its_own_status(status, audit, new_inspector, syslog_recorder):
    audit.list(b"No rules\n")
    audit.statuses({f"auditctl {audit.rules[-2]}": status})
    new_inspector()._JournalInspector__check_lost_audit_rules()
    assert reports(syslog_recorder) == restoring(audit.rules, refused=audit.rules[-2:-1])
    assert audit.calls() == ["auditctl -l"] + loads(audit.rules)


def test_auditctl_missing(audit, fake_bin, new_inspector, syslog_recorder):
    (fake_bin.dir / "auditctl").unlink()
    fake_bin.only()
    new_inspector()._JournalInspector__check_lost_audit_rules()
    assert reports(syslog_recorder) == [("ERROR", "[Errno 2] No such file or directory: 'auditctl'")] + restoring(
        audit.rules, refused=audit.rules)


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize("check, first", [("nonexistent", "{} does not exist"),
                                          ("missing", "important audit rules are missing in {}")])  # fmt: skip
def test_restart_that_cannot_be_started_is_an_error_and_no_warning(check, first, audit, new_inspector, syslog_recorder,
                                                                   monkeypatch):  # fmt: skip
    if check == "missing":
        audit.file.write_text("")
    monkeypatch.setattr(ji, "os", Shell(fail_on=1, error=OSError(7, "Argument list too long")))
    getattr(new_inspector(), f"_JournalInspector__check_{check}_audit_rules")()
    assert reports(syslog_recorder) == [("ERROR", first.format(audit.file)), ("ERROR", "[Errno 7] Argument list too long")]
    assert audit.file.read_text().startswith(lines(*audit.rules))


def test_load_that_cannot_be_started_ends_only_that_rule(audit, new_inspector, syslog_recorder, monkeypatch):
    audit.list([])
    monkeypatch.setattr(ji, "os", shell := Shell(fail_on=2, error=OSError(12, "Cannot allocate memory")))
    new_inspector()._JournalInspector__check_lost_audit_rules()
    expected = restoring(audit.rules)
    expected[3] = ("ERROR", "[Errno 12] Cannot allocate memory")
    assert reports(syslog_recorder) == expected and shell.commands == loads(audit.rules)


def test_rules_file_that_cannot_be_made(audit, new_inspector, syslog_recorder):
    audit.file.parent.rmdir()
    new_inspector().check_audit_rules()
    assert reports(syslog_recorder)[:2] == [
        ("ERROR", f"{audit.file} does not exist"),
        ("ERROR", f"[Errno 2] No such file or directory: '{audit.file}'"),
    ]
    assert not audit.file.exists() and audit.calls()[0] == "auditctl -l"


class Unsearchable(type(J.audit_rules_file)):
    """A rules file in a folder that may not be searched: every test of it fails."""

    def stat(self, *args, **kwargs):
        raise PermissionError(13, "Permission denied", str(self))

    exists = stat


# How the rules file is made unreadable -> the error of each check that reads it.
UNREADABLE = {
    "a folder": (lambda f: f.mkdir() or f, ["[Errno 21] Is a directory: '{}'"]),
    "a FIFO": (lambda f: os.mkfifo(f) or f, ["{} is not a regular file"]),
    "a folder that may not be searched": (Unsearchable, ["[Errno 13] Permission denied: '{}'"] * 2),
}  # fmt: skip


@pytest.mark.parametrize("make, errors", list(UNREADABLE.values()), ids=list(UNREADABLE))
def test_rules_file_that_cannot_be_read(make, errors, audit, new_inspector, syslog_recorder, monkeypatch):
    monkeypatch.setattr(J, "audit_rules_file", make(audit.file))
    new_inspector().check_audit_rules()
    assert reports(syslog_recorder) == [("ERROR", error.format(audit.file)) for error in errors]
    assert audit.calls() == ["auditctl -l"]


class Failing(Exception):
    pass


def raising(error):
    def throw(*args, **kwargs):
        raise error

    return throw


class Unreadable(type(J.audit_rules_file)):
    read_bytes = raising(GeneratorExit())


# Where an error is raised (target, name, stand-in) -> the error: the loaded-rule
# check's table look-ups are not guarded; interruptions pass every guard.
UNGUARDED = {
    "interrupted existence test": (
        lambda a: (J, "audit_rules_file", types.SimpleNamespace(exists=raising(KeyboardInterrupt()))),
        KeyboardInterrupt),
    "loaded-rule table": (
        lambda a: (J, "critical_auditstyle_rules", types.SimpleNamespace(get=raising(Failing()))), Failing),
    "interrupted restart": (
        lambda a: (ji, "os", types.SimpleNamespace(system=raising(KeyboardInterrupt()))), KeyboardInterrupt),
    "exit in the listing": (
        lambda a: (ji, "subprocess", types.SimpleNamespace(check_output=raising(SystemExit(3)))), SystemExit),
    "generator exit in the read": (
        lambda a: a.file.touch() or (J, "audit_rules_file", Unreadable(a.file)), GeneratorExit),
}  # fmt: skip


@pytest.mark.parametrize("where, error", list(UNGUARDED.values()), ids=list(UNGUARDED))
def test_errors_outside_the_guarded_steps_end_the_checks(where, error, audit, new_inspector, monkeypatch):
    monkeypatch.setattr(*where(audit))
    with pytest.raises(error):
        new_inspector().check_audit_rules()


def test_tables_are_read_when_the_check_runs_and_left_as_they_were(audit, new_inspector, monkeypatch):
    tables = {name: copy.deepcopy(getattr(J, name)) for name in ("critical_audit_rules", "critical_auditstyle_rules")}
    new_inspector().check_audit_rules()
    assert {name: getattr(J, name) for name in tables} == tables
    monkeypatch.setattr(J, "critical_audit_rules", {"riscv64": ["-a never,exit"]})
    monkeypatch.setattr(J, "important_audit_rules", ["-w /x"])
    audit.file.unlink()
    new_inspector()._JournalInspector__check_nonexistent_audit_rules()
    assert audit.file.read_text() == ("-a never,exit\n" if audit.arch == "riscv64" else "") + "-w /x\n"


def test_checks_run_in_order_through_the_object(audit, new_inspector):
    seen = []

    class Spy(J):
        def _JournalInspector__check_nonexistent_audit_rules(self):
            seen.append("nonexistent")

        def _JournalInspector__check_missing_audit_rules(self):
            seen.append("missing")
            raise Failing()

        def _JournalInspector__check_lost_audit_rules(self):
            seen.append("lost")

    with pytest.raises(Failing):
        new_inspector(cls=Spy).check_audit_rules()
    assert seen == ["nonexistent", "missing"]


# ---------------------------------------------------------------- auditd

COMMON = "syslog_ng_mod_tarno.common.mod_tarno_common"


class Recorder(J):
    """Records the findings, the blocking calls and the process queries in order."""

    events = None

    def _JournalInspector__send_report_message(self, level, msg):
        self.events.append((level.name, str(msg)))

    def _JournalInspector__block_users(self):
        self.events.append("block")


@pytest.fixture
def auditd(new_inspector, fake_bin, tmp_path, monkeypatch):
    events = []

    class Getter:
        @staticmethod
        def is_process_running(*args):
            events.append(("running?", *args))
            return answers.pop(0)

    monkeypatch.setattr(ji, "SystemGetter", Getter)
    state = tmp_path / "state"
    state.mkdir()
    (state / "statuses").write_text("{}")
    fake_bin.add("systemctl", TOOL.format(state=str(state)))
    answers = []

    def check(*given, systemctl=0):
        events.clear()
        answers[:] = given
        (state / "statuses").write_text(json.dumps({"systemctl restart auditd": systemctl}))
        new_inspector(cls=type("R", (Recorder,), {"events": events})).check_auditd()
        log = state / "calls"
        return events, [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    return check


QUERY = ("running?", "auditd")
SERVICE = {
    "running": ((True,), {}, [QUERY], []),
    "back after the restart": ((False, "yes"), {}, [QUERY, QUERY], ["systemctl restart auditd"]),
    "restart fails, auditd runs": ((0, 1), {"systemctl": 1}, [QUERY, QUERY], ["systemctl restart auditd"]),
    "still stopped": (([], None), {}, [QUERY, QUERY, ("CRITICAL", "Can not start auditd"), "block"],
                      ["systemctl restart auditd"]),
}  # fmt: skip


@pytest.mark.parametrize("answers, options, events, commands", list(SERVICE.values()), ids=list(SERVICE))
def test_auditd_service(answers, options, events, commands, auditd):
    assert auditd(*answers, **options) == (events, commands)


@pytest.mark.parametrize(
    "module, error",
    [(None, f"import of {COMMON} halted; None in sys.modules"),
     (types.ModuleType(COMMON), f"cannot import name 'ModTarnoCommon' from '{COMMON}' (unknown location)")],
)  # fmt: skip
def test_common_module_that_cannot_be_imported(module, error, auditd, monkeypatch):
    assert auditd(True) == ([QUERY], [])
    monkeypatch.setitem(sys.modules, COMMON, module)
    assert auditd(True) == ([("CRITICAL", error), "block"], [])


def test_restart_that_cannot_be_started(auditd, monkeypatch):
    monkeypatch.setattr(ji, "os", Shell(fail_on=1, error=OSError(7, "Argument list too long")))
    assert auditd(False, False)[0] == [QUERY, ("ERROR", "[Errno 7] Argument list too long"), QUERY,
                                       ("CRITICAL", "Can not start auditd"), "block"]  # fmt: skip


# Not guarded: the process query, interruptions of the restart, account blocking.
AUDITD_UNGUARDED = {
    "query": ((), None, IndexError),
    "restart": ((False,), ("os", types.SimpleNamespace(system=raising(KeyboardInterrupt()))), KeyboardInterrupt),
    "block": ((False, False), None, subprocess.CalledProcessError),
}


@pytest.mark.parametrize("answers, patch, error", list(AUDITD_UNGUARDED.values()), ids=list(AUDITD_UNGUARDED))
def test_auditd_errors_outside_the_guarded_steps(answers, patch, error, auditd, monkeypatch):
    if patch:
        monkeypatch.setattr(ji, *patch)
    monkeypatch.setattr(Recorder, "_JournalInspector__block_users", lambda self: subprocess.check_output(["false"]))
    with pytest.raises(error):
        auditd(*answers)
