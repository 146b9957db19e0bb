# SPDX-License-Identifier: LGPL-2.1-or-later
"""What a diagnosis sends, as records that machines read: JSON lines on standard
output, and Prometheus metrics for the node exporter's textfile collector.

Every record is obtained through the inspector's own senders, by a subclass
that overrides them and then hands on what they sent; nothing changes what the
engine sends to the system log or writes to the report file.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import secrets
import platform
import socket
import sys
import time
from datetime import datetime
from typing import Any, Callable

from dateutil import tz

from tarno_event_diagnostics import _texts

IDENTITY = f" {_texts.log_ident}: "
LEVELS = ("critical", "error", "warning")
PACKAGE_NAMES: dict[str, str] = dict(_texts.package_names)
#: The report of the syslog-ng check when syslog-ng stays down, and its debug
#: line for a restart.
CANNOT_START: str = _texts.syslog_ng_cannot_start
RESTARTING: str = _texts.syslog_ng_restarting

Record = dict[str, Any]


def readable(value: object) -> str:
    """The text of a message, with undecodable file-name bytes as backslash
    escapes (as the system log and the report file show them)."""
    return str(value).encode("utf-8", "backslashreplace").decode("utf-8")


def now() -> str:
    return datetime.now(tz.tzlocal()).isoformat()


def observing_inspector(base: type, listeners: list[Callable[[Record], None]], notes: list[str] | None = None) -> type:
    """A subclass of the engine's inspector that hands every record it sends to
    each listener, after the engine has sent it. It also keeps the count of its
    end message (`finding_count`) and the packages the package check found.
    Each text put in `notes` (what the tool has to say about its own outputs)
    is written to the open report file after the next line, and handed on as a
    note record."""
    stamps: list[str] = []
    notes = [] if notes is None else notes

    def stamp() -> str:
        return stamps[-1] if stamps else now()

    def tell(record: Record) -> None:
        for listener in listeners:
            listener(record)

    def write_notes(inspector: Any) -> None:
        report = inspector.__dict__.get("_JournalInspector__report_file")
        if not notes or report is None or report.closed:
            return
        while notes:
            text = notes.pop(0)
            tell({"record": "note", "message": text, "time": now()})
            try:
                report.write(base._JournalInspector__msg_template(text) + "\n")
                report.flush()
            except OSError:
                pass  # the engine meets the same failure with its next line, and reports it

    class ObservingInspector(base):
        finding_count: int | None = None
        installed: Any = None

        @staticmethod
        def _JournalInspector__msg_template(message: str) -> str:
            # The time stamp of the report line, for the record of that line.
            line = base._JournalInspector__msg_template(message)
            stamps.append(line.split(IDENTITY, 1)[0])
            return line

        def _report(self) -> str:
            return readable(self._JournalInspector__report_file_path)

        def _JournalInspector__send_start_check_message(self) -> None:
            super()._JournalInspector__send_start_check_message()
            tell({"record": "start", "time": stamp(), "report": self._report()})
            write_notes(self)

        def _JournalInspector__send_report_message(self, level: Any, msg: Any) -> None:
            super()._JournalInspector__send_report_message(level, msg)
            level_name = getattr(level, "name", level)
            tell({"record": "finding", "level": level_name.lower(), "message": readable(msg),
                  "time": stamp(), "report": self._report()})  # fmt: skip
            write_notes(self)

        def _JournalInspector__send_debug_message(self, msg: Any) -> None:
            super()._JournalInspector__send_debug_message(msg)
            tell({"record": "debug", "message": readable(msg), "time": now()})

        def _JournalInspector__send_end_check_message(self) -> None:
            write_notes(self)
            # The end message resets the counter, so read it first.
            self.finding_count = self._JournalInspector__error_count
            super()._JournalInspector__send_end_check_message()
            tell({"record": "end", "errors": self.finding_count, "time": stamp(), "report": self._report()})

        def check_installed_packages(self) -> Any:
            self.installed = super().check_installed_packages()
            return self.installed

    return ObservingInspector


class Tally:
    """Counts the findings of a command per level, and what the repeated
    syslog-ng check did in its current pass."""

    def __init__(self) -> None:
        self.counts = dict.fromkeys(LEVELS, 0)
        self.restarts = 0
        self.pass_failed = False

    @property
    def findings(self) -> int:
        return sum(self.counts.values())

    def __call__(self, record: Record) -> None:
        if record["record"] == "finding":
            self.counts[record["level"]] += 1
            self.pass_failed = self.pass_failed or record["message"].startswith(CANNOT_START)
        elif record["record"] == "debug" and record["message"] == RESTARTING:
            self.restarts += 1


def print_json(record: Record) -> None:
    """One JSON object on a line of its own, ASCII only, written at once."""
    sys.stdout.write(json.dumps(record) + "\n")
    sys.stdout.flush()


def summary(command: str, inspector: Any, tally: Tally, status: int, duration: float,
            not_delivered: int = 0) -> Record:
    installed = getattr(inspector, "installed", None)
    packages = None
    if installed is not None:
        packages = [name for member, name in PACKAGE_NAMES.items() if getattr(type(installed), member) in installed]
    return {
        "record": "summary",
        "command": command,
        "host": socket.gethostname(),
        "machine": platform.machine(),
        "packages": packages,
        "counts": dict(tally.counts),
        "system_log_not_delivered": not_delivered,
        "exit_status": status,
        "duration": round(duration, 6),
    }


class Metrics:
    """The Prometheus metrics of one command in a registry of their own: those
    of a diagnosis for run, those of the health check for healthcheck. Each
    write puts a whole new file in the place of the old, so that the collector
    never reads half of one; a write that fails leaves the old file and no
    other. The two commands write to files of their own."""

    def __init__(self, path: str, command: str) -> None:
        from prometheus_client import CollectorRegistry, Counter, Gauge

        self.path = path
        self.registry = CollectorRegistry()
        #: The first write that failed, if any.
        self.failure: OSError | None = None
        prefix = "tarno_event_diagnostics_"

        def gauge(name: str, text: str, *labels: str) -> Gauge:
            return Gauge(prefix + name, text, list(labels), registry=self.registry)

        if command == "healthcheck":
            self.available = gauge("healthcheck_syslog_ng_available",
                                   "1 when syslog-ng ran after the last pass of the health check")  # fmt: skip
            self.restarts = Counter(prefix + "healthcheck_restarts",
                                    "Restarts of syslog-ng by the health check since it started",
                                    registry=self.registry)  # fmt: skip
            self.pass_timestamp = gauge("healthcheck_last_pass_timestamp_seconds",
                                        "When the last pass of the health check ended (Unix time)")  # fmt: skip
            self.not_delivered = gauge("healthcheck_system_log_lines_not_delivered",
                                       "System-log lines that the system log did not take since the health check started")  # fmt: skip
        else:
            self.findings = gauge("last_run_findings", "Findings of the last diagnosis, per level", "level")
            self.timestamp = gauge("last_run_timestamp_seconds", "When the last diagnosis ended (Unix time)")
            self.success = gauge("last_run_success",
                                 "1 when the last diagnosis ran to its end, findings or none; 0 when it failed")  # fmt: skip
            self.duration = gauge("last_run_duration_seconds", "How long the last diagnosis took")
            self.not_delivered = gauge("last_run_system_log_lines_not_delivered",
                                       "System-log lines of the last diagnosis that the system log did not take")  # fmt: skip

    def write(self) -> bool:
        """Writes the file; False when it could not be written (kept in `failure`)."""
        from prometheus_client import generate_latest

        try:
            replace_file(self.path, generate_latest(self.registry))
            return True
        except OSError as error:
            if self.failure is None:
                self.failure = error
            return False

    def diagnosis(self, tally: Tally, status: int, duration: float, not_delivered: int = 0) -> bool:
        for level in LEVELS:
            self.findings.labels(level).set(tally.counts[level])
        self.timestamp.set(time.time())
        self.success.set(1 if status in (0, 1) else 0)
        self.duration.set(duration)
        self.not_delivered.set(not_delivered)
        return self.write()

    def health_pass(self, tally: Tally, restarts: int, not_delivered: int = 0) -> bool:
        self.available.set(0 if tally.pass_failed else 1)
        self.restarts.inc(restarts)
        self.pass_timestamp.set(time.time())
        self.not_delivered.set(not_delivered)
        return self.write()


def replace_file(path: str, data: bytes) -> None:
    """Puts a new file holding `data` (mode 0644 less the umask) in the place
    of the name `path`. The file is made unnamed (O_TMPFILE) where the file
    system allows it, so that a process that dies half way leaves nothing; it
    gets a hidden name, which a collector of "*.prom" files never reads, and
    that name is renamed over `path`. On failure nothing new is left."""
    folder, name = os.path.split(os.path.abspath(path))
    folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    hidden = f".{name}.{os.getpid()}.{secrets.token_hex(4)}"
    named = False
    try:
        try:
            fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o644, dir_fd=folder_fd)
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR):
                raise
            fd = os.open(hidden, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                         0o644, dir_fd=folder_fd)  # fmt: skip
            named = True
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            if not named:
                # linkat(AT_SYMLINK_FOLLOW) of the descriptor's /proc name: an
                # absolute source ignores the folder descriptor given for it.
                os.link(f"/proc/self/fd/{fd}", hidden, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
                named = True
            os.rename(hidden, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
            named = False
        finally:
            os.close(fd)
            if named:
                with contextlib.suppress(OSError):
                    os.unlink(hidden, dir_fd=folder_fd)
    finally:
        os.close(folder_fd)


def watching_passes(base: type, tally: Tally, metrics: Metrics, not_delivered: Callable[[], int] = lambda: 0) -> type:
    """A subclass whose every pass of the syslog-ng check ends by writing the
    health-check metrics. A pass whose metrics cannot be written goes on; the
    first such failure is said on standard error."""

    class WatchingInspector(base):
        async def check_syslog_ng(self) -> None:
            tally.pass_failed, restarts_before = False, tally.restarts
            await super().check_syslog_ng()
            told = metrics.failure is not None
            if not metrics.health_pass(tally, tally.restarts - restarts_before, not_delivered()) and not told:
                print(metrics_failure_line(metrics), file=sys.stderr, flush=True)

    return WatchingInspector


def metrics_failure_line(metrics: Metrics) -> str:
    error = metrics.failure
    reason = error.strerror or str(error) if error is not None else "unknown error"
    return f"tarno-event-diagnostics: error: the metrics could not be written to {metrics.path}: {reason}"
