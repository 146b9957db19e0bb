# SPDX-License-Identifier: LGPL-2.1-or-later
"""The rules file under faults injected into real system calls, with strace and
with a file-size limit (a full disk): a rewrite that fails or is killed leaves the
old file (or none) and nothing that augenrules would load, and a failure is an
error with no restart and no warning."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys

import pytest

STRACE = shutil.which("strace")
pytestmark = pytest.mark.skipif(STRACE is None, reason="strace is not installed")

# One check in a process of its own. The report file is left out and the system
# log and the shell are recorded in memory, so that the rewrite makes the only
# writes until the findings are printed.
CHILD = """
import json, signal, sys, types
from pathlib import Path
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.config import Config
rules_file, check, on_fsize = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
signal.signal(signal.SIGXFSZ, getattr(signal, on_fsize))
J = ji.JournalInspector
J.audit_rules_file, J.default_dir, J._JournalInspector__arch = rules_file, rules_file.parent.parent, "x86_64"
found = []
ji.syslog = types.SimpleNamespace(openlog=lambda *a: None, LOG_CRIT=2,
                                  syslog=lambda priority, message: found.append(message.split(" file=")[0]))
ji.os = types.SimpleNamespace(system=lambda command: found.append(command) or 0)
inspector = J(str(rules_file.parent.parent / "report"), Config())
inspector._JournalInspector__report_file = None
getattr(inspector, f"_JournalInspector__check_{check}_audit_rules")()
print(json.dumps(found))
"""

OLD = "# kept as it was\n-w /x -p wa -k /x\n"


@pytest.fixture
def rules_file(tmp_path):
    folder = tmp_path / "rules.d"
    folder.mkdir()
    return folder / "tarno-syslog.rules"


def traced(rules_file, check, fault):
    """Runs the check in a child process under `fault`: a system call and what
    strace does to its first invocation, or "FSIZE" (a file-size limit of 100 bytes,
    so that a write of the rules fails with EFBIG) or "SIGXFSZ" (the same limit
    kills the process in the middle of that write). The sanitizers make writes of
    their own, so writes are failed by the limit rather than by a count."""
    call, _, action = fault.partition(":")
    limited = call in ("FSIZE", "SIGXFSZ")

    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

    strace = [] if limited else [STRACE, "-o", "/dev/null", "-e", f"trace={call}", "-e", f"inject={call}:{action}"]
    on_fsize = "SIG_DFL" if call == "SIGXFSZ" else "SIG_IGN"
    result = subprocess.run(
        [*strace, sys.executable, "-c", CHILD, str(rules_file), check, on_fsize], preexec_fn=limit if limited else None,
        capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )  # fmt: skip
    return result.returncode, json.loads(result.stdout) if result.returncode == 0 else None


def existing(rules_file):
    rules_file.write_text(OLD)
    os.chown(rules_file, 1234, 5678)
    os.chmod(rules_file, 0o2640)
    status = rules_file.stat()
    return lambda: (rules_file.read_text(), *(getattr(rules_file.stat(), f) - getattr(status, f) for f in
                    ("st_ino", "st_uid", "st_gid", "st_mode")))  # fmt: skip


FAULTS = {
    "full disk": ("FSIZE", "[Errno 27] File too large"),
    "fsync": ("fsync:error=EIO:when=1", "[Errno 5] Input/output error"),
    "fchown": ("fchown:error=EIO:when=1", "[Errno 5] Input/output error"),
    "fchmod": ("fchmod:error=EACCES:when=1", "[Errno 13] Permission denied"),
    "linkat": ("linkat:error=ENOSPC:when=1", "[Errno 28] No space left on device"),
    "renameat": ("renameat:error=EACCES:when=1", "[Errno 13] Permission denied"),
}


@pytest.mark.parametrize("fault, text", list(FAULTS.values()), ids=list(FAULTS))
def test_failed_rewrite_keeps_the_old_file_and_reports_an_error(fault, text, rules_file):
    unchanged = existing(rules_file)
    assert traced(rules_file, "missing", fault) == (0, [
        f"type=EVENT_DIAGNOSTICS_ERROR desc='important audit rules are missing in {rules_file}'",
        f"type=EVENT_DIAGNOSTICS_ERROR desc='{text}: '{rules_file}''",
    ])  # fmt: skip
    assert unchanged() == (OLD, 0, 0, 0, 0)
    assert os.listdir(rules_file.parent) == [rules_file.name]


@pytest.mark.parametrize("fault, text", [("FSIZE", "[Errno 27] File too large"),
                                         ("fchmod:error=EPERM:when=1", "[Errno 1] Operation not permitted"),
                                         ("fsync:error=ENOSPC:when=1", "[Errno 28] No space left on device")])  # fmt: skip
def test_failed_creation_leaves_no_file(fault, text, rules_file):
    assert traced(rules_file, "nonexistent", fault) == (0, [
        f"type=EVENT_DIAGNOSTICS_ERROR desc='{rules_file} does not exist'",
        f"type=EVENT_DIAGNOSTICS_ERROR desc='{text}: '{rules_file}''",
    ])  # fmt: skip
    assert os.listdir(rules_file.parent) == []


KILLS = ["SIGXFSZ", "fsync:signal=SIGKILL:when=1", "fchown:signal=SIGKILL:when=1", "fchmod:signal=SIGKILL:when=1",
         "linkat:signal=SIGKILL:when=1", "renameat:signal=SIGKILL:when=1", "fsync:signal=SIGKILL:when=2"]  # fmt: skip


@pytest.mark.parametrize("fault", KILLS)
def test_killed_rewrite_leaves_old_or_new_and_nothing_augenrules_loads(fault, rules_file):
    existing(rules_file)
    assert traced(rules_file, "missing", fault)[0] == (-signal.SIGXFSZ if fault == "SIGXFSZ" else -signal.SIGKILL)
    text = rules_file.read_text()
    assert text == OLD or text.endswith("\n" + OLD) and text.startswith("-a always,exit -F arch=x86_64")
    leftovers = sorted(set(os.listdir(rules_file.parent)) - {rules_file.name})
    assert all(name.startswith(".") and not name.endswith(".rules") for name in leftovers)
    assert leftovers == [] or fault.startswith("renameat")


def test_owner_that_cannot_be_given_keeps_the_processes_own(rules_file):
    existing(rules_file)
    status, found = traced(rules_file, "missing", "fchown:error=EPERM")
    assert status == 0 and found[-1].startswith("type=EVENT_DIAGNOSTICS_WARNING desc='important audit rules was")
    after = rules_file.stat()
    assert (after.st_uid, after.st_gid, after.st_mode & 0o7777) == (os.geteuid(), os.getegid(), 0o2640)


@pytest.mark.parametrize("check, calls", [
    ("nonexistent", ["openat O_TMPFILE 0640", "fchmod 0640", "write", "fsync", "linkat", "renameat", "fsync"]),
    ("missing", ["openat O_TMPFILE 0600", "write", "fsync", "fchown 1234 5678", "fchmod 02640", "linkat", "renameat",
                 "fsync"]),
])  # fmt: skip
def test_system_calls_of_the_replacement(check, calls, rules_file, tmp_path):
    if check == "missing":
        existing(rules_file)
    log = tmp_path / "strace.log"
    subprocess.run([STRACE, "-o", log, "-e", "trace=openat,write,fsync,fchown,fchmod,linkat,renameat,rename,renameat2",
                    sys.executable, "-c", CHILD, str(rules_file), check, "SIG_IGN"], check=True, capture_output=True)  # fmt: skip
    lines = log.read_text().splitlines()
    first = next(i for i, line in enumerate(lines) if "O_TMPFILE" in line)
    unnamed = lines[first].rsplit("= ", 1)[1]
    made = []
    for line in lines[first:]:
        name, arguments = line.split("(", 1)
        if name == "write" and arguments.startswith("1,"):
            break
        if name == "write" and not arguments.startswith(unnamed + ","):
            continue  # the sanitizers probe memory through a pipe of their own
        words = arguments.split(")")[0].split(", ")
        shown = {"openat": ["O_TMPFILE" if "O_TMPFILE" in arguments else "named", words[-1]],
                 "fchmod": words[1:], "fchown": words[1:]}  # fmt: skip
        made.append(" ".join([name, *shown.get(name, [])]))
    assert made == calls
    assert not any("O_TRUNC" in line and rules_file.name in line for line in lines)
