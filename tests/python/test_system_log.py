# SPDX-License-Identifier: LGPL-2.1-or-later
"""The bounded system log against a real datagram socket that reads nothing."""

import re
import socket
import time

from tarno_event_diagnostics import system_log
from tarno_event_diagnostics.system_log import BoundedSystemLog


def test_a_system_log_that_reads_nothing_holds_the_lines_up_within_the_bound(tmp_path):
    address = str(tmp_path / "log")
    told = []
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as server:
        server.bind(address)
        log = BoundedSystemLog(address, on_missing=told.append)
        log.openlog("tarno-event-diagnostics", 0, 13)
        began = time.monotonic()
        for number in range(20):
            log.syslog(log.LOG_CRIT, f"line {number} 100%s")
        took = time.monotonic() - began
        server.setblocking(False)
        received = []
        while len(received) < 20:
            try:
                received.append(server.recv(4096).decode())
            except BlockingIOError:
                break
    # The queue takes a few; each other line waits 1 s at most, all of them 5 s.
    assert 4 <= took < 2 * system_log.PERIOD_WAIT
    assert 0 < len(received) < 20 and log.not_delivered == 20 - len(received)
    # As the C library sends them: priority (facility user), time, identity.
    assert re.fullmatch(r"<10>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d tarno-event-diagnostics: line 0 100%s", received[0])
    assert told == []


def test_a_missing_socket_is_told_once_and_every_line_counted(tmp_path):
    told = []
    log = BoundedSystemLog(str(tmp_path / "missing"), on_missing=told.append)
    for _ in range(3):
        log.syslog(log.LOG_NOTICE, "type=EVENT_DIAGNOSTICS_START")
    assert (told, log.not_delivered) == ([f"{tmp_path}/missing does not exist: the system log receives nothing"], 3)
