# SPDX-License-Identifier: LGPL-2.1-or-later
"""Fixed places of the syslog-ng module package and queries of the running system."""

from __future__ import annotations

import os
from pathlib import Path

# The kernel keeps at most 15 bytes of a process name in /proc/PID/comm.
_COMM_LENGTH = 15


class ModTarnoCommon:
    """The fixed paths of the syslog-ng module package syslog-ng-mod-tarno."""

    share_dir = Path("/usr/share/syslog-ng-mod-tarno")
    default_config_file = share_dir / "mod-tarno.conf"
    event_groups_dir = share_dir / "event-groups"
    event_settings_dir = share_dir / "event-settings"
    user_config_file = Path("/etc/syslog-ng/conf.d/mod-tarno.conf")


class SystemGetter:
    """Queries of the running system."""

    proc_dir = Path("/proc")

    @classmethod
    def is_process_running(cls, name: str) -> bool:
        """Tells whether a live process with the given name runs now.

        The name is compared with the process name the kernel keeps in
        /proc/PID/comm (the executable's base name, cut to its first 15
        bytes, so a longer ``name`` is compared by those bytes). Zombies,
        processes that have exited but are not yet reaped by their parent,
        are not running and are skipped, as are processes that vanish while
        the process table is read. So are the processes of containers: a
        daemon in a PID namespace below this one is not this system's.
        """
        wanted = os.fsencode(name)
        if not wanted:
            raise ValueError("process name must not be empty")
        wanted = wanted[:_COMM_LENGTH]
        try:
            entries = os.scandir(cls.proc_dir)
        except FileNotFoundError:
            return False
        with entries:
            for entry in entries:
                if entry.name.isdigit() and _is_live_process_named(entry.path, wanted):
                    return True
        return False


def _is_live_process_named(pid_dir: str, wanted: bytes) -> bool:
    try:
        with open(os.path.join(pid_dir, "comm"), "rb") as comm_file:
            if comm_file.read().removesuffix(b"\n") != wanted:
                return False
        with open(os.path.join(pid_dir, "stat"), "rb") as stat_file:
            stat = stat_file.read()
    except OSError:
        # The process ended between the listing and the read (ENOENT, ESRCH).
        return False
    # "PID (comm) STATE ...": comm may hold blanks and parentheses, so the
    # state is the first field after the last closing parenthesis.
    _, _, rest = stat.rpartition(b")")
    fields = rest.split()
    return bool(fields) and fields[0] not in (b"Z", b"X") and _is_in_this_pid_namespace(pid_dir)


def _is_in_this_pid_namespace(pid_dir: str) -> bool:
    # NSpid holds the process's number in the PID namespace of this process
    # table and in each one below it down to its own: one number means its
    # own namespace is this one. A kernel without the line (before 4.1)
    # cannot tell, and the process counts.
    try:
        with open(os.path.join(pid_dir, "status"), "rb") as status_file:
            status = status_file.read()
    except OSError:
        return False
    for line in status.splitlines():
        if line.startswith(b"NSpid:"):
            return len(line.split()) == 2
    return True
