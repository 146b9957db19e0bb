# SPDX-License-Identifier: LGPL-2.1-or-later
"""A system log that never holds the diagnosis up.

The C library sends each line over a blocking datagram socket to /dev/log: a
syslog daemon that reads nothing (stopped, or its queue full) holds the caller
in its first line for as long as the daemon does, and the health check that
would restart the daemon never runs. `BoundedSystemLog` stands in for the
standard module `syslog` in the engine's namespace, with its names
(`openlog`, `syslog`, `closelog`, `setlogmask` and the constants). It sends
each line as the C library formats it (``<PRI>Mmm dd hh:mm:ss IDENT: MSG``,
the facility and identity rules included), over a non-blocking socket, and
waits for a full queue at most `LINE_WAIT` seconds a line and `PERIOD_WAIT`
seconds in all per run or pass; past that budget a line is still offered, but
without waiting. What the system log did not take is counted; the report file
holds every line all the same.
"""

from __future__ import annotations

import errno
import os
import select
import socket
import sys
import syslog as _syslog
import time
import types
from typing import Callable

LINE_WAIT = 1.0
PERIOD_WAIT = 5.0
ADDRESS = "/dev/log"

_PRIMASK = 0x07
_FACMASK = 0x03F8
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


class BoundedSystemLog:
    """The system-log connection of one process, with the interface of the
    module `syslog`. `not_delivered` counts the lines that did not reach the
    system log; `on_missing(text)` is told once when `address` does not exist."""

    def __init__(self, address: str = ADDRESS, on_missing: Callable[[str], None] | None = None) -> None:
        for name in dir(_syslog):
            if name.startswith("LOG_"):
                setattr(self, name, getattr(_syslog, name))
        self.address = address
        self.on_missing = on_missing
        self.not_delivered = 0
        self._missing_told = False
        self._socket: socket.socket | None = None
        self._ident: str | None = None
        self._option = 0
        self._facility = _syslog.LOG_USER
        self._mask = 0xFF
        self._open = False
        self._budget = PERIOD_WAIT

    # ------------------------------------------------------------ the module's interface

    def openlog(self, ident: str | None = None, logoption: int = 0, facility: int = _syslog.LOG_USER) -> None:
        if ident is None:
            # As the module does: the name of the program.
            ident = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else None
        self._ident = ident
        self._option = logoption
        # As the C library does: a facility with bits outside the facility
        # field is ignored, and the one set before stays.
        if facility != 0 and facility & ~_FACMASK == 0:
            self._facility = facility
        self._open = True

    def syslog(self, *args: object) -> None:
        if len(args) == 1:
            priority, message = _syslog.LOG_INFO, args[0]
        elif len(args) == 2:
            priority, message = args
        else:
            raise TypeError(f"syslog.syslog() takes 1 or 2 arguments ({len(args)} given)")
        if not isinstance(priority, int):
            raise TypeError("syslog.syslog(): the priority must be an integer")
        if not isinstance(message, str):
            raise TypeError(f"syslog.syslog(): the message must be str, not {type(message).__name__}")
        if not self._open:
            self.openlog()
        priority &= _PRIMASK | _FACMASK
        if not self._mask & (1 << (priority & _PRIMASK)):
            return
        if priority & _FACMASK == 0:
            priority |= self._facility
        if not self._send(self._format(priority, message)):
            self.not_delivered += 1

    def closelog(self) -> None:
        self._disconnect()
        self._open = False
        self._ident = None

    def setlogmask(self, mask: int) -> int:
        old, self._mask = self._mask, mask or self._mask
        return old

    LOG_MASK = staticmethod(_syslog.LOG_MASK)
    LOG_UPTO = staticmethod(_syslog.LOG_UPTO)

    # ------------------------------------------------------------ bounds

    def new_period(self) -> None:
        """Gives a new run or pass its own budget of waiting."""
        self._budget = PERIOD_WAIT

    # ------------------------------------------------------------ sending

    def _format(self, priority: int, message: str) -> bytes:
        now = time.localtime()
        stamp = f"{_MONTHS[now.tm_mon - 1]} {now.tm_mday:2d} {now.tm_hour:02d}:{now.tm_min:02d}:{now.tm_sec:02d}"
        pid = f"[{os.getpid()}]" if self._option & _syslog.LOG_PID else ""
        ident = self._ident if self._ident is not None else os.path.basename(sys.argv[0] if sys.argv else "")
        return f"<{priority}>{stamp} {ident}{pid}: {message}".encode()

    def _send(self, data: bytes) -> bool:
        # As the C library does: a failed send reconnects once and tries again
        # (the daemon may have been restarted).
        for _ in range(2):
            if self._socket is None and not self._connect():
                return False
            try:
                self._socket.send(data)
                return True
            except BlockingIOError:
                return self._wait_and_send(data)
            except OSError:
                self._disconnect()
        return False

    def _wait_and_send(self, data: bytes) -> bool:
        line_left = LINE_WAIT
        while True:
            wait = min(line_left, self._budget)
            if wait <= 0:
                return False
            began = time.monotonic()
            poller = select.poll()
            poller.register(self._socket, select.POLLOUT)
            poller.poll(wait * 1000)
            waited = time.monotonic() - began
            line_left -= waited
            self._budget -= waited
            try:
                self._socket.send(data)
                return True
            except BlockingIOError:
                continue
            except OSError:
                self._disconnect()
                return False

    def _connect(self) -> bool:
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK | socket.SOCK_CLOEXEC)
        try:
            connection.connect(self.address)
        except OSError as error:
            connection.close()
            if error.errno == errno.ENOENT and not self._missing_told:
                self._missing_told = True
                if self.on_missing is not None:
                    self.on_missing(f"{self.address} does not exist: the system log receives nothing")
            return False
        self._socket = connection
        return True

    def _disconnect(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None


def install(module: types.ModuleType, log: BoundedSystemLog) -> Callable[[], None]:
    """Puts `log` in the place of the system log of `module` (the engine looks
    it up there at every use). Returns what gives the module its own back."""
    missing = object()
    real = getattr(module, "syslog", missing)
    module.syslog = log

    def restore() -> None:
        log.closelog()
        if real is missing:
            del module.syslog
        else:
            module.syslog = real

    return restore


def per_pass(base: type, log: BoundedSystemLog) -> type:
    """A subclass whose every pass of the repeated syslog-ng check has its own
    budget of waiting for the system log."""

    class BoundedPasses(base):
        async def check_syslog_ng(self) -> None:
            log.new_period()
            await super().check_syslog_ng()

    return BoundedPasses
