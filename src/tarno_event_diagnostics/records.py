# SPDX-License-Identifier: LGPL-2.1-or-later
"""What a diagnosis sends, as records that machines read: JSON lines on standard
output, and Prometheus metrics for the node exporter's textfile collector.

Every record is obtained through the inspector's own senders, by a subclass
that overrides them and then hands on what they sent; nothing changes what the
engine sends to the system log or writes to the report file.
"""

from __future__ import annotations

import json
import os
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


def observing_inspector(base: type, listeners: list[Callable[[Record], None]]) -> type:
    """A subclass of the engine's inspector that hands every record it sends to
    each listener, after the engine has sent it. It also keeps the count of its
    end message (`finding_count`) and the packages the package check found."""
    stamps: list[str] = []

    def stamp() -> str:
        return stamps[-1] if stamps else now()

    def tell(record: Record) -> None:
        for listener in listeners:
            listener(record)

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

        def _JournalInspector__send_report_message(self, level: Any, msg: Any) -> None:
            super()._JournalInspector__send_report_message(level, msg)
            level_name = getattr(level, "name", level)
            tell({"record": "finding", "level": level_name.lower(), "message": readable(msg),
                  "time": stamp(), "report": self._report()})  # fmt: skip

        def _JournalInspector__send_debug_message(self, msg: Any) -> None:
            super()._JournalInspector__send_debug_message(msg)
            tell({"record": "debug", "message": readable(msg), "time": now()})

        def _JournalInspector__send_end_check_message(self) -> None:
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


def summary(command: str, inspector: Any, tally: Tally, status: int, duration: float) -> Record:
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
        "exit_status": status,
        "duration": round(duration, 6),
    }


class Metrics:
    """The Prometheus metrics of one command in a registry of their own: those
    of a diagnosis for run, those of the health check for healthcheck. Written
    with the client's textfile writer, which renames a new file over the old,
    so that the collector never reads half of one. The two commands write to
    files of their own."""

    def __init__(self, path: str, command: str) -> None:
        from prometheus_client import CollectorRegistry, Counter, Gauge

        self.path = path
        self.registry = CollectorRegistry()
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
        else:
            self.findings = gauge("last_run_findings", "Findings of the last diagnosis, per level", "level")
            self.timestamp = gauge("last_run_timestamp_seconds", "When the last diagnosis ended (Unix time)")
            self.success = gauge("last_run_success",
                                 "1 when the last diagnosis ran to its end, findings or none; 0 when it failed")  # fmt: skip
            self.duration = gauge("last_run_duration_seconds", "How long the last diagnosis took")

    def write(self) -> None:
        from prometheus_client import write_to_textfile

        write_to_textfile(self.path, self.registry)

    def diagnosis(self, tally: Tally, status: int, duration: float) -> None:
        for level in LEVELS:
            self.findings.labels(level).set(tally.counts[level])
        self.timestamp.set(time.time())
        self.success.set(1 if status in (0, 1) else 0)
        self.duration.set(duration)
        self.write()

    def health_pass(self, tally: Tally, restarts: int) -> None:
        self.available.set(0 if tally.pass_failed else 1)
        self.restarts.inc(restarts)
        self.pass_timestamp.set(time.time())
        self.write()


def watching_passes(base: type, tally: Tally, metrics: Metrics) -> type:
    """A subclass whose every pass of the syslog-ng check ends by writing the
    health-check metrics."""

    class WatchingInspector(base):
        async def check_syslog_ng(self) -> None:
            tally.pass_failed, restarts_before = False, tally.restarts
            await super().check_syslog_ng()
            metrics.health_pass(tally, tally.restarts - restarts_before)

    return WatchingInspector


def metrics_path_problem(path: str) -> str | None:
    """Why the metrics cannot be written at `path`, or None."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"--metrics: directory {folder} does not exist"
    if os.path.isdir(path):
        return f"--metrics: {path} is a directory"
    try:
        import prometheus_client  # noqa: F401
    except ImportError:
        return "--metrics needs the Python module prometheus_client (Debian: python3-prometheus-client)"
    return None
