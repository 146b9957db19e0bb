# SPDX-License-Identifier: LGPL-2.1-or-later
"""Bounded commands and stop signals of the command-line tool.

The engine runs its command lines through ``os.system`` and its queries through
``subprocess.check_output``, both looked up at the moment it runs them. While a
command of the tool runs, ``bounded`` puts stand-ins in their place. Each runs
its child in a session (and so a process group) of its own, and waits at most
the time limit that the settings record gives: ``restart_timeout`` for a service
job ("systemctl restart ..."), ``query_timeout`` for every other command line and
for every query. At the limit the whole process group is ended and
``subprocess.TimeoutExpired`` is raised: an ordinary error, which the engine's
step reports (it names the command and the limit) before the run goes on.

``stop_signals`` makes SIGINT raise ``KeyboardInterrupt`` and SIGTERM (and
SIGHUP: the commands no longer share the tool's terminal, so a hangup must end
them through the tool) raise ``Terminated`` wherever the tool is. Neither
belongs to the ``Exception``
family, so no step of the engine catches them and nothing after the stop runs:
the command running then is ended with its process group, and once a stop
signal arrived the stand-ins refuse to start another command. A child in a
session of its own never sees the signal that a terminal or the service manager
sends to the tool's process group; the tool alone decides how it ends.

The repeated check is the exception: between two passes there is nothing to cut
short, so a stop signal there cancels the check (``quiet_between_passes``) and
the tool ends as it always ends.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import os
import shlex
import signal
import subprocess
import threading
import time
from datetime import datetime
from typing import Any, Callable, Iterator, TypeVar

from dateutil import tz

INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it
TERMINATED = 143  # 128 + SIGTERM
#: Seconds that a command's process group has between SIGTERM and SIGKILL.
GRACE = 2.0
#: The words after "systemctl" that start a service job, bounded by the restart limit.
_SERVICE_JOBS = frozenset({"restart", "start", "stop", "try-restart", "reload-or-restart"})
_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

INTERRUPTED_TEXT = "Self-diagnostics of the event registration subsystem was interrupted by {}: no further change was made"


class Terminated(SystemExit):
    """SIGTERM (or SIGHUP) arrived. A ``SystemExit``, so that asyncio passes it on
    at once as it passes an interrupt, and a process that does not catch it
    exits with 128 + the signal's number (143 for SIGTERM)."""

    def __init__(self, signum: int = signal.SIGTERM) -> None:
        super().__init__(128 + signum)
        self.signum = signum


#: What a stop signal raises.
STOPS = (KeyboardInterrupt, Terminated)


def signal_name(stop: BaseException) -> str:
    return signal.Signals(stop.signum).name if isinstance(stop, Terminated) else "SIGINT"


class _Stopping:
    """Where the stop of this process stands; signal handlers are the process's."""

    def __init__(self) -> None:
        self.signum: int | None = None  # the first stop signal that arrived
        self.raised = False  # the stop is under way as an exception
        self.holding = 0  # > 0: a child is being started or ended; raise afterwards
        self.quiet: Callable[[], None] | None = None  # how the repeated check stops between passes
        self.passes = 0  # passes of the repeated check under way


_state = _Stopping()


def _stop() -> BaseException:
    _state.raised = True
    return KeyboardInterrupt() if _state.signum == signal.SIGINT else Terminated(_state.signum)


def _on_stop_signal(signum: int, _frame: Any) -> None:
    first = _state.signum is None
    if first:
        _state.signum = signum
    if _state.raised:
        return  # the stop is under way; a second signal must not cut its cleanup short
    if _state.holding:
        return  # raised once the child is started (and so can be ended) or ended
    if first and _state.quiet is not None and not _state.passes:
        _state.quiet()
        return
    raise _stop()


def _raise_if_stopped() -> None:
    if _state.signum is not None:
        raise _stop()


_Function = TypeVar("_Function", bound=Callable[..., Any])


def stop_signals(function: _Function) -> _Function:
    """Runs ``function`` with SIGINT, SIGTERM and SIGHUP raising their stop exceptions.
    A signal that the tool was started with ignored stays ignored, as a
    background job of a shell expects; the former handlers come back after."""

    @functools.wraps(function)
    def with_stop_signals(*args: Any, **kwargs: Any) -> Any:
        global _state
        if threading.current_thread() is not threading.main_thread():
            return function(*args, **kwargs)
        _state = _Stopping()
        saved = {}
        for signum in _STOP_SIGNALS:
            if signal.getsignal(signum) != signal.SIG_IGN:
                saved[signum] = signal.signal(signum, _on_stop_signal)
        try:
            return function(*args, **kwargs)
        finally:
            for signum, handler in saved.items():
                signal.signal(signum, signal.SIG_DFL if handler is None else handler)

    return with_stop_signals  # type: ignore[return-value]


@contextlib.contextmanager
def _holding() -> Iterator[None]:
    _state.holding += 1
    try:
        yield
    finally:
        _state.holding -= 1


def _signal_group(process: subprocess.Popen, signum: int) -> bool:
    """Sends ``signum`` to the command's process group; False when none of it is left."""
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        return False
    return True


def _group_lives(pgid: int) -> bool:
    """Whether a process of the group ``pgid`` still runs. Zombies do not count:
    orphans wait for whoever adopted them to reap them, which may take a while."""
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                with open(f"/proc/{entry.name}/stat", "rb") as status:
                    fields = status.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue  # ended meanwhile
            if fields[2] == str(pgid).encode() and fields[0] != b"Z":
                return True
    return False


def _end_group(process: subprocess.Popen) -> None:
    """Ends the process group of ``process``: SIGTERM, then SIGKILL for whatever
    is left after ``GRACE`` seconds; reaps the command. Stop signals wait."""
    with _holding():
        try:
            deadline = time.monotonic() + GRACE
            if _signal_group(process, signal.SIGTERM):
                # poll() reaps the command itself.
                while time.monotonic() < deadline and (process.poll() is None or _group_lives(process.pid)):
                    time.sleep(0.01)
        finally:
            _signal_group(process, signal.SIGKILL)
            # A process in uninterruptible sleep is not waited for without end.
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(GRACE)
            if process.stdout is not None:
                process.stdout.close()
    # A stop signal that waited here stops the tool now, before the step that
    # ran the command could go on.
    if _state.signum is not None and not _state.raised:
        raise _stop()


def _wait_status(returncode: int) -> int:
    """A wait status as ``os.system`` returns it, from a Popen return code."""
    return -returncode if returncode < 0 else returncode << 8


def _started(start: Callable[[], subprocess.Popen]) -> subprocess.Popen:
    """Starts a child; a stop signal that arrives meanwhile ends it again."""
    with _holding():
        process = start()
    if _state.signum is not None:
        _end_group(process)
    return process


def _line_limit(cfg: Any, line: str) -> float:
    words = line.split()
    if len(words) >= 2 and os.path.basename(words[0]) == "systemctl" and words[1] in _SERVICE_JOBS:
        return cfg.restart_timeout
    return cfg.query_timeout


def _system(cfg: Any, command: str) -> int:
    _raise_if_stopped()
    limit = _line_limit(cfg, command)
    process = _started(lambda: subprocess.Popen(command, shell=True, start_new_session=True))
    try:
        returncode = process.wait(limit)
    except subprocess.TimeoutExpired:
        _end_group(process)
        raise subprocess.TimeoutExpired(command, limit) from None
    except BaseException:
        _end_group(process)
        raise
    return _wait_status(returncode)


def _check_output(cfg: Any, args: Any, *, timeout: float | None = None, input: Any = None, **options: Any) -> Any:
    _raise_if_stopped()
    limit = cfg.query_timeout if timeout is None else min(timeout, cfg.query_timeout)
    if input is not None:
        options["stdin"] = subprocess.PIPE
    process = _started(lambda: subprocess.Popen(args, stdout=subprocess.PIPE, start_new_session=True, **options))
    try:
        output, _ = process.communicate(input, timeout=limit)
    except subprocess.TimeoutExpired:
        _end_group(process)
        shown = args if isinstance(args, (str, bytes)) else shlex.join(map(os.fsdecode, args))
        raise subprocess.TimeoutExpired(shown, limit) from None
    except BaseException:
        _end_group(process)
        raise
    if process.returncode:
        raise subprocess.CalledProcessError(process.returncode, args, output)
    return output


@contextlib.contextmanager
def bounded(cfg: Any) -> Iterator[None]:
    """Puts the bounded stand-ins in place of ``os.system`` and
    ``subprocess.check_output``; the limits are read from ``cfg`` at every command."""
    real_system, real_check_output = os.system, subprocess.check_output

    def system(command: str) -> int:
        return _system(cfg, command)

    def check_output(args: Any, **options: Any) -> Any:
        return _check_output(cfg, args, **options)

    os.system, subprocess.check_output = system, check_output
    try:
        yield
    finally:
        if os.system is system:
            os.system = real_system
        if subprocess.check_output is check_output:
            subprocess.check_output = real_check_output


@contextlib.contextmanager
def quiet_between_passes(inspector: Any, task: asyncio.Task) -> Iterator[Callable[[], bool]]:
    """While the repeated check of ``inspector`` runs as ``task``, a stop signal
    that arrives between two passes cancels the task instead of raising; one
    that arrives during a pass stops it as it stops a run. Yields a test of
    whether the check was cancelled so."""
    loop = asyncio.get_running_loop()
    check = getattr(inspector, "check_syslog_ng", None)

    async def counted_pass() -> Any:
        _state.passes += 1
        try:
            return await check()
        finally:
            _state.passes -= 1

    # The engine reaches the check through the object, so the instance's own
    # attribute comes first.
    if check is not None:
        inspector.check_syslog_ng = counted_pass
    _state.quiet = lambda: loop.call_soon_threadsafe(task.cancel)
    try:
        yield lambda: _state.signum is not None and not _state.raised
    finally:
        _state.quiet = None
        vars(inspector).pop("check_syslog_ng", None)


def note_in_report(inspector: Any, stop: BaseException) -> None:
    """Ends the inspector's report, while it is open, with a line that says the
    command was interrupted and by which signal."""
    report = None if inspector is None else vars(inspector).get("_JournalInspector__report_file")
    if report is None or report.closed:
        return
    # The engine's own form of a report line: local time stamp, identity, text.
    stamp = datetime.now(tz.tzlocal()).isoformat()
    with contextlib.suppress(OSError, ValueError):
        report.write(f"{stamp} tarno-event-diagnostics: {INTERRUPTED_TEXT.format(signal_name(stop))}\n")
        report.flush()
