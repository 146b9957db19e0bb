# SPDX-License-Identifier: LGPL-2.1-or-later
"""The lock that keeps two diagnoses apart on one host: where it is, how its
file is opened without following links, and how it is taken with a wait."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import time

# run and test lock this file; healthcheck does not. The variable exists for
# tests: runs that see different folders do not keep each other apart.
DIR = "/run/tarno-event-diagnostics"
DIR_VARIABLE = "TARNO_EVENT_DIAGNOSTICS_LOCK_DIR"
NAME = "diagnosis.lock"


class LockError(Exception):
    """The lock file cannot be opened safely."""


def path() -> str:
    """The lock file: in DIR, or in the folder that DIR_VARIABLE names."""
    return os.path.join(os.environ.get(DIR_VARIABLE) or DIR, NAME)


def open_file(lock_path: str) -> int:
    """Opens the lock file, making its folder (0700) and the file (0600) when
    they are missing. Neither may be a symbolic link; the folder must belong
    to the caller and be writable by nobody else, the file must be a regular
    file of the caller. The file is never written, truncated or removed."""
    folder = os.path.dirname(lock_path)
    try:
        os.mkdir(folder, 0o700)
    except FileExistsError:
        pass
    folder_fd = _open_no_link(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        status = os.fstat(folder_fd)
        if status.st_uid != os.geteuid() or status.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            raise LockError(f"{folder} must belong to uid {os.geteuid()} and be writable by it alone")
        # O_NONBLOCK: a FIFO put in its place must not hold the open up.
        fd = _open_no_link(
            os.path.basename(lock_path),
            os.O_RDWR | os.O_CREAT | os.O_NONBLOCK | os.O_NOCTTY,
            dir_fd=folder_fd,
            shown=lock_path,
        )
    finally:
        os.close(folder_fd)
    status = os.fstat(fd)
    if not stat.S_ISREG(status.st_mode) or status.st_uid != os.geteuid():
        os.close(fd)
        raise LockError(f"{lock_path} is not a regular file of uid {os.geteuid()}")
    return fd


def _open_no_link(path: str, flags: int, dir_fd: int | None = None, shown: str = "") -> int:
    try:
        return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
    except OSError as error:
        # O_NOFOLLOW refuses a link with ELOOP, or ENOTDIR where a folder is wanted.
        if error.errno in (errno.ELOOP, errno.ENOTDIR) and os.path.islink(shown or path):
            raise LockError(f"{shown or path} is a symbolic link") from None
        raise


def take(lock_path: str, wait: float) -> int | None:
    """Holds the lock exclusively and returns its descriptor, or None when
    another process still holds it after ``wait`` seconds."""
    fd = open_file(lock_path)
    deadline = time.monotonic() + wait
    pause = 0.01
    try:
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return fd
            except BlockingIOError:
                left = deadline - time.monotonic()
                if left <= 0:
                    os.close(fd)
                    return None
                time.sleep(min(pause, left))
                pause = min(pause * 2, 0.25)
    except BaseException:
        os.close(fd)
        raise
