# SPDX-License-Identifier: LGPL-2.1-or-later
"""Health check of the running syslog-ng daemon.

A process named syslog-ng may run and still not work (a hung main loop, a
daemon stuck in a reload). ``Healthcheck`` therefore asks the daemon itself:
it sends the ``STATS`` request over syslog-ng's control socket, the request
that ``syslog-ng-ctl stats`` makes, and judges the daemon available when a
well-formed answer arrives within the time limit of the settings record.
"""

from __future__ import annotations

import asyncio

from tarno_event_diagnostics.config import Config

# The control protocol: one request line; the answer is a block of lines
# closed by a line holding a single dot. The statistics answer is a CSV table
# separated by semicolons whose first line names the columns.
_STATS_REQUEST = b"STATS\n"
_STATS_HEADER = b"SourceName;"
_END_OF_ANSWER = b".\n"
_STATS_FIELDS = 6
# A single statistics line is short; a longer one is not an answer of syslog-ng.
_LINE_LIMIT = 1 << 20


class Healthcheck:
    """Judges whether the running syslog-ng answers over its control socket.

    Reads ``cfg.control_socket`` (path of the unix stream socket) and
    ``cfg.healthcheck_timeout`` (seconds for connecting, asking and reading the
    whole answer). Make a new object for every check; ``run`` may be awaited
    more than once.
    """

    def __init__(self, cfg: Config) -> None:
        self._cfg = cfg

    async def run(self) -> bool:
        """Asks syslog-ng for its statistics.

        Returns True when a complete, well-formed statistics answer arrives in
        time; False when the socket cannot be reached, the time runs out, the
        connection closes early or the answer is not a statistics table.
        Cancellation of the awaiting task is never swallowed.
        """
        try:
            async with asyncio.timeout(self._cfg.healthcheck_timeout):
                return await self._ask_stats()
        except (OSError, EOFError, ValueError, asyncio.LimitOverrunError):
            # OSError covers TimeoutError (the limit above ran out), refused or
            # missing sockets and broken connections; ValueError an overlong line.
            return False

    async def _ask_stats(self) -> bool:
        reader, writer = await asyncio.open_unix_connection(
            self._cfg.control_socket, limit=_LINE_LIMIT
        )
        try:
            writer.write(_STATS_REQUEST)
            await writer.drain()
            if not (await reader.readline()).startswith(_STATS_HEADER):
                return False
            while True:
                line = await reader.readline()
                if line == _END_OF_ANSWER:
                    return True
                if not _is_stats_line(line):
                    return False
        finally:
            writer.close()


def _is_stats_line(line: bytes) -> bool:
    # An empty result means the peer closed before the end of the answer.
    # syslog-ng may put a blank line before the closing dot. The instance
    # column may itself hold semicolons, so only a lower bound holds.
    if not line.endswith(b"\n"):
        return False
    return line == b"\n" or line.count(b";") >= _STATS_FIELDS - 1
