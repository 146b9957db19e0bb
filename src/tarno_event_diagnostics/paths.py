# SPDX-License-Identifier: LGPL-2.1-or-later
"""Checks of what the command line names, made before anything is opened: the
report file, the metrics file, and the user that runs the tool.

The tool runs as root, so a path from the command line is treated as hostile
until checked: a device, FIFO, socket, folder or file of a pseudo file system
where a regular file is meant, and a symbolic link that the kernel's
protected-symlinks rule would not let root follow, are refused as usage errors.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import stat
from pathlib import Path

NULL_DEVICE = os.makedev(1, 3)
# Path resolution gives up after this many symbolic links (ELOOP), as the kernel does.
SYMLINK_LIMIT = 40

# File systems whose files are views of the kernel, not data: writing one
# changes the system (/proc/sys) or fails half way. By statfs(2) magic number.
PSEUDO_FILE_SYSTEMS = {
    0x9FA0: "proc",
    0x62656572: "sysfs",
    0x1CD1: "devpts",
    0x27E0EB: "cgroup",
    0x63677270: "cgroup2",
    0x64626720: "debugfs",
    0x74726163: "tracefs",
    0x73636673: "securityfs",
    0xF97CFF8C: "selinuxfs",
    0x6165676C: "pstore",
    0xDE5E81E4: "efivarfs",
    0xCAFE4A11: "bpf",
    0x62656570: "configfs",
    0x65735543: "fusectl",
    0x42494E4D: "binfmt_misc",
    0x19800202: "mqueue",
    0x6E736673: "nsfs",
}


def root_problem() -> str | None:
    """Why the tool cannot run for the calling user, or None. Its commands
    repair files under /etc, load audit rules, restart daemons and ask
    syslog-ng over its control socket: as another user each step would fail
    and be reported as a fault of the host."""
    if running_as_root():
        return None
    return f"must run as root, not as uid {os.geteuid()}"


def running_as_root() -> bool:
    return os.geteuid() == 0


def report_path_problem(path: str, report_dir: Path) -> str | None:
    """Says why the report cannot be written at ``path``, or None when it can.
    The engine makes `report_dir` itself when it is missing."""
    if not path:
        return "--report: the path must not be empty"
    problem = forbidden_symlink(path, "--report")
    if problem is not None:
        return problem
    try:
        status = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        status = None
    except OSError as error:
        return f"--report: {path}: {error.strerror}"
    if status is not None:
        if stat.S_ISDIR(status.st_mode):
            return f"--report: {path} is a directory"
        if is_null_device(status):
            return None
        # Opening the report truncates it: as root, a device would be
        # overwritten and a FIFO would hold the run up.
        if not stat.S_ISREG(status.st_mode):
            return f"--report: {path} is a {file_kind(status.st_mode)}, not a regular file"
    parent = Path(os.path.abspath(path)).parent
    pseudo = pseudo_file_system(path if status is not None else parent)
    if pseudo is not None:
        return f"--report: {path} is on the pseudo file system {pseudo}, not a regular file"
    if parent.is_dir() or parent == report_dir:
        return None
    if parent.exists():
        return f"--report: {parent} is not a directory"
    return f"--report: directory {parent} does not exist"


def metrics_path_problem(path: str) -> str | None:
    """Why the metrics cannot be written at `path`, or None. The metrics
    writer puts a new file in the place of the name, so the name must be a
    regular file or not exist yet: a device, a link or the like would be
    replaced by a file, not written."""
    if not path:
        return "--metrics: the path must not be empty"
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"--metrics: directory {folder} does not exist"
    problem = forbidden_symlink(path, "--metrics")
    if problem is not None:
        return problem
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        status = None
    except OSError as error:
        return f"--metrics: {path}: {error.strerror}"
    if status is not None:
        if stat.S_ISDIR(status.st_mode):
            return f"--metrics: {path} is a directory"
        if stat.S_ISLNK(status.st_mode):
            return f"--metrics: {path} is a symbolic link, not a regular file"
        if not stat.S_ISREG(status.st_mode):
            return f"--metrics: {path} is a {file_kind(status.st_mode)}, not a regular file"
    pseudo = pseudo_file_system(folder)
    if pseudo is not None:
        return f"--metrics: {path} is on the pseudo file system {pseudo}, not a regular file"
    try:
        import prometheus_client  # noqa: F401
    except ImportError:
        return "--metrics needs the Python module prometheus_client (Debian: python3-prometheus-client)"
    return None


def is_null_device(status: os.stat_result) -> bool:
    return stat.S_ISCHR(status.st_mode) and status.st_rdev == NULL_DEVICE


def file_kind(mode: int) -> str:
    for test, kind in (
        (stat.S_ISCHR, "character device"),
        (stat.S_ISBLK, "block device"),
        (stat.S_ISFIFO, "FIFO"),
        (stat.S_ISSOCK, "socket"),
    ):
        if test(mode):
            return kind
    return "special file"


class _StatFs(ctypes.Structure):
    # f_type comes first, a long on every architecture of Debian's; the rest
    # is room for the remainder of struct statfs.
    _fields_ = [("f_type", ctypes.c_long), ("rest", ctypes.c_byte * 256)]


_libc = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)


def pseudo_file_system(path: str | Path) -> str | None:
    """The name of the pseudo file system that holds `path`, or None (also
    when statfs(2) fails: opening the path then says why)."""
    buffer = _StatFs()
    if _libc.statfs(os.fsencode(path), ctypes.byref(buffer)) != 0:
        return None
    return PSEUDO_FILE_SYSTEMS.get(buffer.f_type & 0xFFFFFFFF)


def forbidden_symlink(path: str, option: str) -> str | None:
    """Walks ``path`` as the kernel resolves it and applies the kernel's
    protected-symlinks rule to every symbolic link on the way, whatever the
    sysctl fs.protected_symlinks says: a link in a world-writable sticky
    folder is followed only when the caller or the folder's owner owns it.
    Returns the usage error for the first link that breaks the rule."""
    pending = os.path.join(os.getcwd(), path).split("/")
    pending.reverse()
    folder = "/"  # resolved so far; never holds a symbolic link
    links = 0
    while pending:
        name = pending.pop()
        if name in ("", "."):
            continue
        if name == "..":
            folder = os.path.dirname(folder)
            continue
        candidate = os.path.join(folder, name)
        try:
            entry = os.lstat(candidate)
        except OSError:
            return None  # the rest does not exist yet; opening it creates it or fails
        if not stat.S_ISLNK(entry.st_mode):
            folder = candidate
            continue
        holder = os.stat(folder)
        sticky_and_open = stat.S_ISVTX | stat.S_IWOTH
        if (holder.st_mode & sticky_and_open == sticky_and_open
                and entry.st_uid not in (os.geteuid(), holder.st_uid)):
            return (f"{option}: {candidate} is a symbolic link in the world-writable sticky "
                    f"folder {folder} and belongs to uid {entry.st_uid}, not to the caller")
        links += 1
        if links > SYMLINK_LIMIT:
            return None  # opening it fails with ELOOP
        target = os.readlink(candidate)
        if target.startswith("/"):
            folder = "/"
        pending.extend(reversed(target.split("/")))
    return None
