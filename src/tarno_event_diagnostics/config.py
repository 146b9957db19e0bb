# SPDX-License-Identifier: LGPL-2.1-or-later
"""Settings record of the self-diagnostics.

The caller (the command-line tool or a service) builds one ``Config`` and hands
it to the inspector, which reads ``check_timeout`` before every pause of the
repeated syslog-ng check and passes the whole record on to ``Healthcheck``;
the command-line tool reads the time limits of the commands it runs.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

DEFAULT_CHECK_TIMEOUT = 60
DEFAULT_CONTROL_SOCKET = "/var/lib/syslog-ng/syslog-ng.ctl"
DEFAULT_HEALTHCHECK_TIMEOUT = 5
# systemd's own default start timeout (DefaultTimeoutStartSec).
DEFAULT_RESTART_TIMEOUT = 90
DEFAULT_QUERY_TIMEOUT = 30


@dataclass
class Config:
    """Settings of one diagnostics process.

    Attributes:
        check_timeout: seconds between two passes of the repeated syslog-ng
            check (an int or a float, not negative; 0 checks again at once).
            Default: 60.
        control_socket: path of the control socket of the running syslog-ng,
            a unix stream socket that answers the ``STATS`` request.
            Default: "/var/lib/syslog-ng/syslog-ng.ctl".
        healthcheck_timeout: seconds that the health check waits in all for
            the connection and the answer of syslog-ng before it judges the
            daemon unavailable (greater than 0). Default: 5.
        restart_timeout: seconds that a service restart command line
            ("systemctl restart ...") may take before it is ended with its
            whole process group (greater than 0). Default: 90, systemd's own
            default start timeout.
        query_timeout: the same for every other command line ("auditctl ...",
            "usermod -L ...") and every query ("dpkg-query", "auditctl -l",
            "syslog-ng -s") (greater than 0). Default: 30.

    Every assignment is checked, at construction and later, so a record never
    holds a value that would only fail deep inside a check: a wrong type
    raises ``TypeError``, a negative or non-finite number ``ValueError``.
    The record stays mutable: a changed ``check_timeout`` applies from the
    next pause on.
    """

    check_timeout: float = DEFAULT_CHECK_TIMEOUT
    control_socket: str = DEFAULT_CONTROL_SOCKET
    healthcheck_timeout: float = DEFAULT_HEALTHCHECK_TIMEOUT
    restart_timeout: float = DEFAULT_RESTART_TIMEOUT
    query_timeout: float = DEFAULT_QUERY_TIMEOUT

    def __setattr__(self, name: str, value: object) -> None:
        validate = _VALIDATORS.get(name)
        if validate is not None:
            value = validate(name, value)
        super().__setattr__(name, value)


def _seconds(name: str, value: object) -> float:
    # bool is an int subclass, but True seconds is a mistake, not a duration.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number of seconds, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value!r}")
    return value


def _positive_seconds(name: str, value: object) -> float:
    value = _seconds(name, value)
    if value == 0:
        raise ValueError(f"{name} must be greater than 0, got {value!r}")
    return value


def _socket_path(name: str, value: object) -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path, not {type(value).__name__}")
    value = os.fspath(value)
    if not isinstance(value, str) or not value:
        raise ValueError(f"{name} must be a non-empty text path, got {value!r}")
    return value


_VALIDATORS = {
    "check_timeout": _seconds,
    "control_socket": _socket_path,
    "healthcheck_timeout": _positive_seconds,
    "restart_timeout": _positive_seconds,
    "query_timeout": _positive_seconds,
}
