"""Command-line tool of the self-diagnostics of the event registration subsystem.

    tarno-event-diagnostics run          one full diagnosis
    tarno-event-diagnostics healthcheck  repeated syslog-ng check until SIGINT or SIGTERM
    tarno-event-diagnostics test         one report line of each level

Exit status: 0 no finding, 1 findings were reported, 2 usage error,
3 the diagnosis ended by an error, 130 interrupted (run and test).
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import math
import os
import shutil
import signal
import sys
from pathlib import Path
from typing import Any, Awaitable, Callable

from tarno_event_diagnostics import config

PROG = "tarno-event-diagnostics"
REPORT_DIR = Path("/tessik/log/tarno")
DEFAULT_REPORT = str(REPORT_DIR / "self-diagnostics.report")

EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_USAGE = 2
EXIT_FAILURE = 3
EXIT_INTERRUPTED = 130


def _interval(text: str) -> float:
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


def _build_parser() -> argparse.ArgumentParser:
    # The options are accepted before and after the command. Their defaults
    # are suppressed so that a subcommand does not overwrite an option given
    # before it; main() fills in the defaults afterwards.
    options = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    options.add_argument(
        "--report",
        metavar="PATH",
        help=f"write the report to PATH (default: {DEFAULT_REPORT})",
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
        type=_interval,
        help=f"pause between two syslog-ng checks of healthcheck "
        f"(default: {config.DEFAULT_CHECK_TIMEOUT})",
    )

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Self-diagnostics of the event registration subsystem (syslog-ng, auditd).",
        epilog="Exit status: 0 no finding, 1 findings reported, 2 usage error, "
        "3 the diagnosis failed, 130 interrupted.",
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


def _report_path_problem(path: str) -> str | None:
    """Says why the report cannot be written at ``path``, or None when it can."""
    if not path:
        return "--report: the path must not be empty"
    if os.path.isdir(path):
        return f"--report: {path} is a directory"
    parent = Path(os.path.abspath(path)).parent
    # The engine creates its own report directory when it is missing.
    if parent.is_dir() or parent == REPORT_DIR:
        return None
    if parent.exists():
        return f"--report: {parent} is not a directory"
    return f"--report: directory {parent} does not exist"


def _counting_inspector(journal_inspector: Any) -> type:
    class CountingInspector(journal_inspector.JournalInspector):
        """The engine's inspector, keeping the finding count of its end message."""

        finding_count: int | None = None

        def _JournalInspector__send_end_check_message(self) -> None:
            # The end message resets the counter, so read it first.
            self.finding_count = self._JournalInspector__error_count
            super()._JournalInspector__send_end_check_message()

    return CountingInspector


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
    loop = asyncio.get_running_loop()
    task = asyncio.create_task(_await(inspector.run_healthcheck()))
    stopping = False

    def stop() -> None:
        nonlocal stopping
        stopping = True
        task.cancel()

    stop_signals = (signal.SIGINT, signal.SIGTERM)
    for signum in stop_signals:
        loop.add_signal_handler(signum, stop)
    try:
        await task
    except asyncio.CancelledError:
        # Only the cancellation that a stop signal asked for ends cleanly.
        if not stopping:
            raise
    finally:
        for signum in stop_signals:
            loop.remove_signal_handler(signum)


_COMMANDS: dict[str, Callable[[Any], int | None]] = {
    "run": _run,
    "healthcheck": _healthcheck,
    "test": _test,
}


def _one_line(error: BaseException) -> str:
    text = " ".join(line.strip() for line in str(error).splitlines() if line.strip())
    name = type(error).__name__
    return f"{name}: {text}" if text else name


def main(argv: list[str] | None = None) -> int:
    """Runs the tool with ``argv`` (default: the process arguments); returns the exit status."""
    parser = _build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        # --help and usage errors; argparse has already printed its text.
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    report = getattr(args, "report", DEFAULT_REPORT)
    problem = _report_path_problem(report)
    if problem is not None:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: {problem}", file=sys.stderr)
        return EXIT_USAGE
    cfg = config.Config()
    if hasattr(args, "interval"):
        cfg.check_timeout = args.interval

    inspector = None
    try:
        journal_inspector = importlib.import_module("tarno_event_diagnostics.journal_inspector")
        inspector = _counting_inspector(journal_inspector)(
            report,
            cfg,
            block=getattr(args, "block", False),
            verbose=getattr(args, "verbose", False),
        )
        count = _COMMANDS[args.command](inspector)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:
        print(f"{PROG}: error: {_one_line(error)}", file=sys.stderr)
        return EXIT_FAILURE
    finally:
        if inspector is not None:
            _close_report(inspector)
    if count is None:
        print(f"{PROG}: error: the diagnosis ended without a result", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_FINDINGS if count else EXIT_CLEAN


if __name__ == "__main__":
    raise SystemExit(main())
