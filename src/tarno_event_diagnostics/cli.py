# SPDX-License-Identifier: LGPL-2.1-or-later
"""Command-line tool of the self-diagnostics of the event registration subsystem.

    tarno-event-diagnostics run          one full diagnosis
    tarno-event-diagnostics healthcheck  repeated syslog-ng check until SIGINT or SIGTERM
    tarno-event-diagnostics test         one report line of each level

run --dry-run and healthcheck --dry-run change nothing: they show what a real
run would repair (a diff for each file, each command line) and write no report
file unless --report names one, and nothing to the system log.

run and test hold an exclusive lock (flock) on /run/tarno-event-diagnostics/diagnosis.lock
while they work, so that two diagnoses never meet on one host.

Exit status: 0 no finding, 1 findings were reported, 2 usage error (or not
run as root), 3 the diagnosis ended by an error or its metrics could not be
written, 4 another run held the lock, 130 interrupted by SIGINT, 143 by SIGTERM.
"""

from __future__ import annotations

import argparse
import asyncio
import enum
import importlib
import math
import os
import shutil
import sys
import time
from pathlib import Path
from typing import Any, Awaitable, Callable

from tarno_event_diagnostics import _texts, commands, config, dry_run, lock, paths, records, streams, system_log

PROG = "tarno-event-diagnostics"
REPORT_DIR = Path(_texts.report_folder)
DEFAULT_REPORT = str(REPORT_DIR / "self-diagnostics.report")
# The repeated check keeps its own report, so that it never truncates the
# report of a diagnosis (nor a diagnosis its report).
DEFAULT_HEALTHCHECK_REPORT = str(REPORT_DIR / "healthcheck.report")

EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_USAGE = 2
EXIT_FAILURE = 3
EXIT_LOCKED = 4
EXIT_INTERRUPTED = commands.INTERRUPTED
EXIT_TERMINATED = commands.TERMINATED


class Ending(enum.Enum):
    """How a command ended, when no stop signal ended it (a stop ends it with the
    exception that the signal raised)."""

    CLEAN = "no finding"
    FINDINGS = "findings were reported"
    USAGE = "a usage error, or not run as root"
    FAILED = "the diagnosis ended by an error"
    LOCKED = "another run held the lock"


_ENDING_STATUSES = {
    Ending.CLEAN: EXIT_CLEAN,
    Ending.FINDINGS: EXIT_FINDINGS,
    Ending.USAGE: EXIT_USAGE,
    Ending.FAILED: EXIT_FAILURE,
    Ending.LOCKED: EXIT_LOCKED,
}


def exit_status(ending: Ending | BaseException, metrics_failed: bool = False) -> int:
    """The exit status of a command that ended so: an ``Ending``, or the stop
    exception of SIGINT (130), SIGTERM or SIGHUP (128 + the signal's number).
    ``metrics_failed``: its metrics file could not be written."""
    if isinstance(ending, BaseException):
        status = ending.code if isinstance(ending, commands.Terminated) else EXIT_INTERRUPTED
    else:
        status = _ENDING_STATUSES[ending]
    # A metrics file that could not be written is a failure of the command.
    if metrics_failed and status not in (EXIT_LOCKED, EXIT_INTERRUPTED, EXIT_TERMINATED):
        status = EXIT_FAILURE
    return status


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(seconds) or seconds < 0:
        raise argparse.ArgumentTypeError(
            f"must be a non-negative number of seconds, got {text!r}"
        )
    return seconds


class _HelpFormatter(argparse.HelpFormatter):
    """Keeps the help of each option on one line in a terminal of 100 columns or less."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=max(shutil.get_terminal_size().columns - 2, 100))


_SUBCOMMANDS = (
    ("run", "run one full diagnosis", "Run one full diagnosis."),
    (
        "healthcheck",
        "check syslog-ng repeatedly until SIGINT or SIGTERM",
        "Check syslog-ng repeatedly, every --interval seconds, until SIGINT or SIGTERM.",
    ),
    ("test", "write one test line of each report level", "Write one test line of each report level."),
)


def build_parser() -> argparse.ArgumentParser:
    # The options are accepted before and after the command. Their defaults
    # are suppressed so that a subcommand does not overwrite an option given
    # before it; main() fills in the defaults afterwards.
    options = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    options.add_argument(
        "--report",
        metavar="PATH",
        help=f"write the report to PATH (default: {DEFAULT_REPORT}; "
        f"healthcheck: {DEFAULT_HEALTHCHECK_REPORT})",
    )
    options.add_argument(
        "--block",
        action="store_true",
        help="lock the accounts of non-privileged users when the subsystem is unusable",
    )
    options.add_argument(
        "--verbose", action="store_true", help="also print every report line on standard output"
    )
    options.add_argument(
        "--interval",
        metavar="SECONDS",
        type=_seconds,
        help=f"pause between two syslog-ng checks of healthcheck "
        f"(default: {config.DEFAULT_CHECK_TIMEOUT})",
    )
    options.add_argument(
        "--wait",
        metavar="SECONDS",
        type=_seconds,
        help="how long run and test wait while another run holds the lock (default: 0)",
    )
    options.add_argument(
        "--json",
        action="store_true",
        help="print every record as a JSON line instead of the report lines, "
        "and a summary after run and test",
    )
    options.add_argument(
        "--dry-run",
        action="store_true",
        help="run and healthcheck: change nothing, and show every change a real run would make; "
        "no report file unless --report, nothing to the system log",
    )
    options.add_argument(
        "--metrics",
        metavar="FILE",
        help="write Prometheus metrics to FILE after every run and every pass of healthcheck",
    )

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Self-diagnostics of the event registration subsystem (syslog-ng, auditd).",
        epilog="Exit status: 0 no finding, 1 findings reported, 2 usage error, "
        "3 the diagnosis failed, 4 another run holds the lock, 130 interrupted (SIGINT), "
        "143 terminated (SIGTERM).",
        parents=[options],
        formatter_class=_HelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, summary, description in _SUBCOMMANDS:
        commands.add_parser(
            name,
            parents=[options],
            formatter_class=_HelpFormatter,
            help=summary,
            description=description,
        )
    return parser


def _close_report(inspector: Any) -> None:
    """Closes the report file that no end message closed (a run that ended by an
    error, the repeated check). Every line in it is already flushed."""
    report = inspector.__dict__.get("_JournalInspector__report_file")
    if report is not None and not report.closed:
        try:
            report.close()
        except OSError:
            pass


async def _await(awaitable: Awaitable[Any]) -> Any:
    return await awaitable


def _run(inspector: Any) -> int | None:
    asyncio.run(_await(inspector.run()))
    return inspector.finding_count


def _test(inspector: Any) -> int | None:
    inspector.test()
    return inspector.finding_count


def _healthcheck(inspector: Any) -> int:
    asyncio.run(_watch_until_signal(inspector))
    return inspector._JournalInspector__error_count


async def _watch_until_signal(inspector: Any) -> None:
    task = asyncio.create_task(_await(inspector.run_healthcheck()))
    with commands.quiet_between_passes(inspector, task) as stopped_between_passes:
        try:
            await task
        except asyncio.CancelledError:
            # Only the cancellation that a stop signal asked for ends cleanly.
            if not stopped_between_passes():
                raise


_COMMANDS: dict[str, Callable[[Any], int | None]] = {
    "run": _run,
    "healthcheck": _healthcheck,
    "test": _test,
}
# The commands that repair the system and write the shared report take the
# lock; the endless repeated check, with a report of its own, runs beside them.
_LOCKED_COMMANDS = frozenset({"run", "test"})


def _one_line(error: BaseException) -> str:
    text = " ".join(line.strip() for line in str(error).splitlines() if line.strip())
    name = type(error).__name__
    return f"{name}: {text}" if text else name


@commands.stop_signals
def main(argv: list[str] | None = None) -> int:
    """Runs the tool with ``argv`` (default: the process arguments); returns the exit status."""
    # A reader of standard output that goes away ends the output, not the work.
    with streams.ending_outputs(PROG):
        return _main(argv)


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        # --help and usage errors; argparse has already printed its text, and
        # its status says which (0 after --help, 2 after a usage error).
        return stop.code if isinstance(stop.code, int) else exit_status(Ending.USAGE)
    # Before anything is opened or sent to the system log.
    problem = paths.root_problem()
    if problem is not None:
        print(f"{PROG}: error: {problem}", file=sys.stderr)
        return exit_status(Ending.USAGE)
    previewing = getattr(args, "dry_run", False)
    default = DEFAULT_HEALTHCHECK_REPORT if args.command == "healthcheck" else DEFAULT_REPORT
    # A dry run writes a report only where --report asks for one.
    report = getattr(args, "report", os.devnull if previewing else default)
    try:
        problem = paths.report_path_problem(report, REPORT_DIR)
    except OSError as error:
        problem = f"--report: {report}: {error.strerror}"
    if problem is None and previewing:
        problem = _dry_run_problem(args)
    if problem is None and hasattr(args, "metrics"):
        problem = paths.metrics_path_problem(args.metrics)
    if problem is not None:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {problem}", file=sys.stderr)
        return exit_status(Ending.USAGE)
    cfg = config.Config()
    if hasattr(args, "interval"):
        cfg.check_timeout = args.interval

    session = Session(args)
    lock_fd = None
    # A dry run makes no lock file: where none exists, no run holds one.
    if args.command in _LOCKED_COMMANDS and not (previewing and not os.path.exists(lock.path())):
        # Taken before the inspector exists: the inspector truncates the
        # report, and a run kept out must leave the other run's report alone.
        lock_path = lock.path()
        wait = getattr(args, "wait", 0)
        try:
            lock_fd = lock.take(lock_path, wait)
        except commands.STOPS as stop:
            _say_stopped(stop)
            return session.end(stop)
        except (OSError, lock.LockError) as error:
            reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            print(f"{PROG}: error: cannot take the lock {lock_path}: {reason}", file=sys.stderr)
            return session.end(Ending.FAILED)
        if lock_fd is None:
            print(
                f"{PROG}: another run holds the lock {lock_path}; gave up after {wait:g} s",
                file=sys.stderr,
            )
            return session.end(Ending.LOCKED)
    try:
        return session.end(_diagnose(args, report, cfg, session))
    finally:
        if lock_fd is not None:
            os.close(lock_fd)


def _say_stopped(stop: BaseException) -> None:
    word = "terminated" if isinstance(stop, commands.Terminated) else "interrupted"
    print(f"{PROG}: {word}", file=sys.stderr)


def _dry_run_problem(args: argparse.Namespace) -> str | None:
    if args.command not in ("run", "healthcheck"):
        return f"--dry-run: only run and healthcheck have a dry run, not {args.command}"
    if hasattr(args, "metrics"):
        return "--dry-run and --metrics: a dry run must not overwrite the metrics of the last real run"
    # A real run makes its report folder; a dry run makes none.
    folder = Path(os.path.abspath(getattr(args, "report", os.devnull))).parent
    if not folder.is_dir():
        return f"--report: directory {folder} does not exist, and a dry run makes no folder"
    return None


class Session:
    """The session of one command: what its machine-readable outputs need (the
    records it sent, the inspector, when it began) and what they say when it ends."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.command = args.command
        self.json = getattr(args, "json", False)
        self.metrics = records.Metrics(args.metrics, args.command) if hasattr(args, "metrics") else None
        self.tally = records.Tally()
        self.listeners = [self.tally] + ([records.print_json] if self.json else [])
        # What the tool says about its own outputs, for the report (see records).
        self.notes: list[str] = []
        self.system_log = system_log.BoundedSystemLog(on_missing=self.system_log_missing)
        self.preview = None
        # What the command changed in this process and gives back when it ends.
        self.cleanups: list[Callable[[], None]] = []
        self.report = getattr(args, "report", None)
        if getattr(args, "dry_run", False):
            if not self.json:
                self.listeners.append(dry_run.print_text)
            self.preview = dry_run.Preview(self.tell)
            self.listeners.insert(0, self.preview.mark)
        self.inspector = None
        self.began = time.monotonic()

    def tell(self, record: records.Record) -> None:
        for listener in self.listeners:
            listener(record)

    def system_log_missing(self, text: str) -> None:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
        self.notes.append(text)

    def end(self, ending: Ending | BaseException) -> int:
        status = exit_status(ending)
        duration = time.monotonic() - self.began
        if self.preview is not None and self.inspector is not None:
            line = dry_run.closing_line(self.preview)
            if not self.json:
                print(line)
            # A report that --report asked for, and that the end message closed.
            if self.report is not None and self.inspector.finding_count is not None:
                try:
                    dry_run.close_report(self.inspector, self.report, line)
                except OSError as error:
                    print(f"{PROG}: error: {self.report}: {error.strerror}", file=sys.stderr)
        not_delivered = self.system_log.not_delivered
        if not_delivered:
            print(f"{PROG}: the system log did not take {not_delivered} line(s)", file=sys.stderr)
        if self.metrics is not None:
            if self.command == "run":
                self.metrics.diagnosis(self.tally, status, duration, not_delivered)
                if self.metrics.failure is not None:
                    print(records.metrics_failure_line(self.metrics), file=sys.stderr)
            # A metrics file that could not be written is a failure of the
            # command, said once, after the work.
            status = exit_status(ending, metrics_failed=self.metrics.failure is not None)
        if self.json and self.command in _LOCKED_COMMANDS:
            summary = records.summary(self.command, self.inspector, self.tally, status, duration, not_delivered)
            if self.preview is not None:
                summary.update(dry_run=True, changes=self.preview.known, changes_not_known=self.preview.not_known)
            records.print_json(summary)
        return status


def _inspector_class(args: argparse.Namespace, session: Session) -> type:
    journal_inspector = importlib.import_module("tarno_event_diagnostics.journal_inspector")
    cls = records.observing_inspector(journal_inspector.JournalInspector, session.listeners, session.notes)
    if session.metrics is not None and args.command == "healthcheck":
        cls = records.watching_passes(cls, session.tally, session.metrics, lambda: session.system_log.not_delivered)
    if session.preview is not None:
        session.cleanups.append(dry_run.silence_system_log(journal_inspector))
        config_file = getattr(journal_inspector.JournalInspector, "syslog_config_file", None)
        session.cleanups.append(dry_run.check_candidates(journal_inspector, session.preview, config_file))
        cls = dry_run.previewing_inspector(cls, session.preview)
    else:
        # A system log that does not answer holds no line up for long.
        session.cleanups.append(system_log.install(journal_inspector, session.system_log))
        if args.command == "healthcheck":
            cls = system_log.per_pass(cls, session.system_log)
        if session.json:
            # A real run's JSON lines hold a record of every change it made.
            cls = dry_run.recording_inspector(cls, dry_run.Recorder(session.tell))
    return cls


def _diagnose(args: argparse.Namespace, report: str, cfg: config.Config, session: Session) -> Ending | BaseException:
    inspector = None
    try:
        inspector = session.inspector = _inspector_class(args, session)(
            report,
            cfg,
            block=getattr(args, "block", False),
            # JSON lines stand in for the report lines on standard output; a dry
            # run shows its report lines there.
            verbose=(getattr(args, "verbose", False) or session.preview is not None) and not session.json,
        )
        with commands.bounded(cfg):
            count = _COMMANDS[args.command](inspector)
    except commands.STOPS as stop:
        # The command running then is ended; nothing after it ran.
        _say_stopped(stop)
        commands.note_in_report(inspector, stop)
        return stop
    except Exception as error:
        print(f"{PROG}: error: {_one_line(error)}", file=sys.stderr)
        return Ending.FAILED
    finally:
        if inspector is not None:
            _close_report(inspector)
        for cleanup in session.cleanups:
            cleanup()
    if count is None:
        print(f"{PROG}: error: the diagnosis ended without a result", file=sys.stderr)
        return Ending.FAILED
    # Every finding counts, also those made before the start message (while
    # the report was opened), which no end message counts.
    return Ending.FINDINGS if session.tally.findings else Ending.CLEAN
