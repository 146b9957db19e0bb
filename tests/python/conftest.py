# SPDX-License-Identifier: LGPL-2.1-or-later
"""Shared fixtures: a system-log recorder, a fixed clock, a private report
directory and fake executables first on PATH.

Every fixture patches through monkeypatch, so each test leaves the engine
module and the environment as it found them.
"""

import os
import stat
import syslog as _syslog
import textwrap
from datetime import datetime, timedelta, timezone

import pytest

# ---------------------------------------------------------------- system log


class SyslogRecorder:
    """Stands in for the engine module's `syslog`: records every call, in order.

    `calls` holds ("openlog", ident, logoption, facility), ("syslog", priority,
    message) and ("closelog",) tuples. `on_syslog`, when set, is called with
    (priority, message) before a line is recorded, so a test can look at the
    inspector at that moment or make the call fail.
    """

    def __init__(self):
        for name in dir(_syslog):
            if name.startswith("LOG_"):
                setattr(self, name, getattr(_syslog, name))
        self.calls = []
        self.on_syslog = None

    def openlog(self, ident=None, logoption=0, facility=_syslog.LOG_USER):
        self.calls.append(("openlog", ident, logoption, facility))

    def syslog(self, *args):
        priority, message = args if len(args) == 2 else (_syslog.LOG_INFO, args[0])
        if self.on_syslog is not None:
            self.on_syslog(priority, message)
        self.calls.append(("syslog", priority, message))

    def closelog(self):
        self.calls.append(("closelog",))

    def lines(self):
        """(priority, message) of every line sent, in order."""
        return [call[1:] for call in self.calls if call[0] == "syslog"]

    def messages(self):
        return [message for _, message in self.lines()]


@pytest.fixture
def syslog_recorder(monkeypatch):
    """A SyslogRecorder installed as `journal_inspector.syslog`."""
    from tarno_event_diagnostics import journal_inspector

    recorder = SyslogRecorder()
    monkeypatch.setattr(journal_inspector, "syslog", recorder)
    return recorder


# ---------------------------------------------------------------- clock

#: The moment the fixed clock gives unless a test sets others, and its text.
DEFAULT_MOMENT = datetime(2024, 3, 5, 14, 7, 9, 123456, tzinfo=timezone(timedelta(hours=3)))
DEFAULT_STAMP = "2024-03-05T14:07:09.123456+03:00"


class FakeClock:
    """Stands in for the `datetime` class in the engine module: `now()` gives the
    moments in turn (the last one for ever) and records the zone it was asked for."""

    def __init__(self, *moments):
        self.set(*moments)

    def set(self, *moments):
        self.moments = list(moments) or [DEFAULT_MOMENT]
        self.zones = []

    def now(self, tz=None):
        self.zones.append(tz)
        return self.moments.pop(0) if len(self.moments) > 1 else self.moments[0]


@pytest.fixture
def clock(monkeypatch):
    """A FakeClock installed as `journal_inspector.datetime`, at DEFAULT_MOMENT."""
    from tarno_event_diagnostics import journal_inspector

    fake = FakeClock()
    monkeypatch.setattr(journal_inspector, "datetime", fake)
    return fake


# ---------------------------------------------------------------- paths


@pytest.fixture
def inspector_paths(tmp_path, monkeypatch):
    """Points every path attribute of JournalInspector into tmp_path.

    `default_dir` exists (tmp_path/"tarno"); the syslog-ng and audit files do
    not. Returns the report directory.
    """
    from tarno_event_diagnostics.journal_inspector import JournalInspector

    root = tmp_path / "system"
    default_dir = tmp_path / "tarno"
    default_dir.mkdir()
    monkeypatch.setattr(JournalInspector, "default_dir", default_dir)
    monkeypatch.setattr(JournalInspector, "audit_rules_file", root / "tarno-syslog.rules")
    monkeypatch.setattr(JournalInspector, "syslog_user_config_file", root / "conf.d-mod-tarno.conf")
    monkeypatch.setattr(JournalInspector, "syslog_default_config_file", root / "mod-tarno.conf")
    monkeypatch.setattr(JournalInspector, "syslog_config_file", root / "syslog-ng.conf")
    return default_dir


@pytest.fixture
def report_dir(inspector_paths):
    """The class's `default_dir`, an existing directory in tmp."""
    return inspector_paths


@pytest.fixture
def new_inspector(report_dir, syslog_recorder, clock):
    """Builds inspectors whose report file lies in the tmp report directory, with
    the system log recorded and the clock fixed.

    new_inspector(name="report", block=False, verbose=False, cls=JournalInspector, cfg=None)
    """
    from tarno_event_diagnostics.config import Config
    from tarno_event_diagnostics.journal_inspector import JournalInspector

    def make(name="report", block=False, verbose=False, cls=JournalInspector, cfg=None):
        return cls(str(report_dir / name), Config() if cfg is None else cfg, block=block, verbose=verbose)

    return make


# ---------------------------------------------------------------- executables


class Shell:
    """Stands in for the engine module's `os`: records os.system commands, which
    return `status`; the command numbered `fail_on` raises `error` instead."""

    def __init__(self, status=0, fail_on=None, error=None):
        self.commands = []
        self.status = status
        self.fail_on = fail_on
        self.error = error

    def __getattr__(self, name):
        return getattr(os, name)

    def system(self, command):
        self.commands.append(command)
        if len(self.commands) == self.fail_on:
            raise self.error
        return self.status


class FakeBin:
    """A directory of fake executables placed first on PATH."""

    def __init__(self, directory, monkeypatch):
        self.dir = directory
        self._monkeypatch = monkeypatch

    def add(self, name, script):
        """Writes an executable `name`; `script` is its whole text (with #! line)."""
        path = self.dir / name
        path.write_text(textwrap.dedent(script).lstrip())
        path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        return path

    def only(self):
        """Leaves this directory as the whole search path."""
        self._monkeypatch.setenv("PATH", str(self.dir))


@pytest.fixture
def fake_bin(tmp_path, monkeypatch):
    directory = tmp_path / "bin"
    directory.mkdir()
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ.get('PATH', os.defpath)}")
    return FakeBin(directory, monkeypatch)

