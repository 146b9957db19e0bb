# SPDX-License-Identifier: LGPL-2.1-or-later
"""A disposable simulated host for whole runs against the real components.

The outer half (`Sandbox`) runs on the test's side. It starts this very file
under ``unshare -m --propagation private`` as root; the inner half (`inside`)
then builds the host in that private mount namespace:

- copy-on-write overlays on /etc, /usr, /var, /dev and /run, their upper and
  work directories in the test's temporary directory, and a tmpfs on /tessik:
  real ``useradd``, ``usermod``, ``dpkg-query``, ``syslog-ng`` and ``auditd``
  work on the real paths and nothing reaches the host;
- the host's package database at its real place, with the entries of the three
  required packages set per scenario;
- Debian's stock ``syslog-ng.conf``, the module package's files and the audit
  rules file of a healthy host, changed per scenario (`Host.files`);
- a service manager that really starts, stops and restarts ``syslog-ng`` and
  ``auditd`` (the start of auditd followed by ``augenrules --load``, as
  Debian's unit does), as children that it reaps, behind a ``systemctl`` shim
  first on PATH;
- the real syslog-ng as the system log: a conf.d file of the harness writes
  every line it receives as ``$FACILITY.$LEVEL $PROGRAM: $MSG`` to a file;
- the real ``auditctl`` and the kernel's audit rules.

There is no process namespace (the kernel refuses audit requests from one), so
the process table and the kernel's audit rules are the host's: a scenario runs
only where no syslog-ng or auditd of the host runs, and the outer half puts the
kernel's audit rules and settings back as it found them after every run.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

UNSHARE = "/usr/bin/unshare"
PYTHON = "/usr/bin/python3"
SYSLOG_NG = "/usr/sbin/syslog-ng"
AUDITD = "/usr/sbin/auditd"
AUDITCTL = "/usr/sbin/auditctl"
AUGENRULES = "/usr/sbin/augenrules"
OVERLAID = ("etc", "usr", "var", "dev", "run")
TESSIK = Path("/tessik")
STANDARD_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
#: Where the harness keeps its own state inside the sandbox (in the /run overlay).
STATE = Path("/run/tarno-sandbox")
CONTROL_SOCKET = Path("/var/lib/syslog-ng/syslog-ng.ctl")
PROGRAM = "tarno-event-diagnostics"
REPORT_DIR = "/tessik/log/tarno"
REPORT = f"{REPORT_DIR}/self-diagnostics.report"

#: Program name of the harness's own probe lines, which are left out of the log.
PROBE_PROGRAM = "tarno-sandbox-probe"
#: Marks a /tessik mount point that the harness made on the host.
MOUNT_POINT_MARK = "trusted.tarno-system-tests"
#: Exit status of the inner half when the kernel refuses the sandbox.
REFUSED = 77

ALL_INSTALLED = {
    "syslog-ng": "install ok installed",
    "syslog-ng-mod-tarno": "install ok installed",
    "auditd": "install ok installed",
}

MODULE_SHARE = "/usr/share/syslog-ng-mod-tarno"
MODULE_CONFIG = f"{MODULE_SHARE}/mod-tarno.conf"
USER_CONFIG = "/etc/syslog-ng/conf.d/mod-tarno.conf"
MAIN_CONFIG = "/etc/syslog-ng/syslog-ng.conf"
RULES_FILE = "/etc/audit/rules.d/tarno-syslog.rules"
INCLUDE_LINE = f'@include "{MODULE_CONFIG}"'
#: What a healthy host adds to Debian's stock syslog-ng.conf.
AUDIT_FILTER = 'filter f_audit { program("audit"); };\n'

LINE_START = re.compile(
    r"^(kern|user|mail|daemon|auth|syslog|lpr|news|uucp|cron|authpriv|ftp|ntp|security"
    r"|console|solaris-cron|local[0-7])\.(emerg|alert|crit|err|warning|notice|info|debug) "
    r"([^:\n]*): "
)


# ---------------------------------------------------------------- the host described


@dataclasses.dataclass(frozen=True)
class File:
    """A file of the simulated host (a folder when `text` is None)."""

    text: str | None
    mode: int = 0o644
    owner: str = "root"
    group: str = "root"


@dataclasses.dataclass
class Host:
    """A simulated host: a healthy one unless told otherwise.

    files: path -> File, text (mode 0644, root) or None (absent), on top of the
        healthy host's files.
    syslog_ng, auditd: whether the daemon runs when the steps begin.
    setup: commands run after the daemons started (kernel rules deleted, users
        made); each must succeed.
    refuse_rule_loads: auditctl refuses to add rules, as an immutable audit
        configuration makes it (listing and deleting still work).
    """

    packages: dict[str, str] = dataclasses.field(default_factory=lambda: dict(ALL_INSTALLED))
    files: dict[str, File | str | None] = dataclasses.field(default_factory=dict)
    syslog_ng: bool = True
    auditd: bool = True
    setup: list[list[str]] = dataclasses.field(default_factory=list)
    refuse_rule_loads: bool = False


def stock_syslog_ng_conf() -> str:
    """Debian's syslog-ng.conf as the package ships it (the host's, when it is
    unchanged)."""
    path = Path(MAIN_CONFIG)
    listed = subprocess.run(["dpkg-query", "-W", "-f=${Conffiles}", "syslog-ng-core"],
                            capture_output=True, text=True, check=False).stdout  # fmt: skip
    if not path.exists() or f"{path} {hashlib.md5(path.read_bytes()).hexdigest()}" not in listed:
        raise SandboxRefused(f"{MAIN_CONFIG} is not the one Debian's syslog-ng-core ships")
    return path.read_text()


def audit_rules() -> list[str]:
    """The rules a complete rules file holds on this machine, in the engine's order."""
    from tarno_event_diagnostics.journal_inspector import JournalInspector

    machine = os.uname().machine
    return list(JournalInspector.critical_audit_rules.get(machine, [])) + list(
        JournalInspector.important_audit_rules
    )


def module_package_files() -> dict[str, File]:
    """The files of the module package syslog-ng-mod-tarno (its Python side
    comes with this package)."""
    settings = f"{MODULE_SHARE}/event-settings"
    groups = f"{MODULE_SHARE}/event-groups"
    return {
        USER_CONFIG: File(INCLUDE_LINE + "\n", 0o640, "root", "adm"),
        MODULE_CONFIG: File(
            "# The event log of the security-event subsystem.\n"
            'destination d_tarno_events { file("/tessik/log/tarno/events" perm(0640)); };\n'
            "log { source(s_src); filter(f_audit); destination(d_tarno_events); };\n"
        ),
        f"{settings}/authorization": File("logins and privilege changes\n"),
        f"{settings}/security-logs": File("audit log, event log\n"),
        f"{settings}/self-diagnostics": File("self-diagnostics reports\n"),
        f"{groups}/audit/logins": File("login events\n"),
        f"{groups}/diagnostics/self-checks": File("self-diagnostics events\n"),
    }


def healthy_files() -> dict[str, File]:
    """The files of a host on which the diagnosis finds nothing."""
    return {
        MAIN_CONFIG: File(stock_syslog_ng_conf() + AUDIT_FILTER),
        **module_package_files(),
        RULES_FILE: File("".join(rule + "\n" for rule in audit_rules()), 0o640),
        "/tessik/log": File(None, 0o755),
        REPORT_DIR: File(None, 0o755),
    }


# ---------------------------------------------------------------- what a run left behind


@dataclasses.dataclass(frozen=True)
class LogEntry:
    """One line of the sandbox's system log, as syslog-ng wrote it."""

    facility: str
    level: str
    program: str
    message: str

    @property
    def priority(self) -> str:
        return f"{self.facility}.{self.level}"


def parse_log(text: str) -> list[LogEntry]:
    """Splits the written log into entries. A message that holds line feeds is
    written over several lines; a line that does not begin with a facility and
    a level continues the entry before it."""
    entries: list[list[str]] = []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    for line in lines:
        match = LINE_START.match(line)
        if match:
            entries.append([match[1], match[2], match[3], line[match.end():]])
        elif entries:
            entries[-1][3] += "\n" + line
        else:
            raise AssertionError(f"system log begins with a continuation line: {line!r}")
    return [LogEntry(*entry) for entry in entries if entry[2] != PROBE_PROGRAM]


@dataclasses.dataclass
class Step:
    """What one command of a scenario did and left behind."""

    returncode: int
    stdout: str
    stderr: str
    log: str
    files: dict[str, dict]
    kernel_rules: list[str]
    running: dict[str, bool]
    systemctl_calls: list[str]

    @property
    def entries(self) -> list[LogEntry]:
        return parse_log(self.log)

    def engine_lines(self) -> list[tuple[str, str]]:
        """(priority, message) of every system-log line of the engine."""
        return [(entry.priority, entry.message) for entry in self.entries if entry.program == PROGRAM]

    def text(self, path: str) -> str | None:
        return self.files[path]["text"]

    def describe(self) -> str:
        return (
            f"exit status {self.returncode}\n--- stdout\n{self.stdout}\n--- stderr\n"
            f"{self.stderr}\n--- system log\n{self.log}"
        )


@dataclasses.dataclass
class Result:
    """A scenario: the state before the first command, then each command."""

    before: Step
    steps: list[Step]

    def __getattr__(self, name):
        # A one-command scenario reads like its step.
        if len(self.steps) == 1:
            return getattr(self.steps[0], name)
        raise AttributeError(name)


class SandboxRefused(Exception):
    """The kernel or the host does not allow the sandbox."""


# ---------------------------------------------------------------- outer half


def unusable_reason() -> str | None:
    """Why the sandbox cannot run on this host, or None when it can."""
    if os.geteuid() != 0:
        return "the system tests need root (they mount overlays and add users)"
    for program, package in ((UNSHARE, "util-linux"), (SYSLOG_NG, "syslog-ng-core"),
                             (AUDITD, "auditd"), (AUDITCTL, "auditd"), (AUGENRULES, "auditd")):  # fmt: skip
        if not os.access(program, os.X_OK):
            return f"{program} is missing (Debian package {package})"
    for program in ("useradd", "usermod", "dpkg-query"):
        if shutil.which(program, path=STANDARD_PATH) is None:
            return f"{program} is missing"
    for name in ("syslog-ng", "auditd"):
        if host_processes(name):
            return f"a {name} of this host runs; the sandbox shares its process table"
    return None


def audit_refusal() -> str | None:
    """Why the kernel's audit rules cannot be used here, or None when they can."""
    state = audit_state()
    if state is None:
        return "the kernel refuses audit requests here (no audit support, or not the initial namespaces)"
    if state["status"].get("enabled") == "2":
        return "the kernel's audit configuration is immutable (enabled 2)"
    return None


def host_processes(name: str) -> list[int]:
    """Live processes of that name in this PID namespace (zombies left out):
    a container's daemons are in this machine's process table too, but they are
    not the host's."""
    found = []
    own = os.readlink("/proc/self/ns/pid")
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if (entry / "comm").read_text().strip() != name or os.readlink(entry / "ns/pid") != own:
                continue
            state = (entry / "stat").read_text().rpartition(")")[2].split()[0]
        except OSError:
            continue
        if state not in ("Z", "X"):
            found.append(int(entry.name))
    return found


def audit_state() -> dict | None:
    """The kernel's audit rules and settings, or None when it refuses to tell."""
    status = subprocess.run([AUDITCTL, "-s"], capture_output=True, text=True, check=False)
    rules = subprocess.run([AUDITCTL, "-l"], capture_output=True, text=True, check=False)
    if status.returncode != 0 or rules.returncode != 0:
        return None
    settings = dict(line.split(" ", 1) for line in status.stdout.splitlines() if " " in line)
    listed = [] if rules.stdout.strip() == "No rules" else rules.stdout.splitlines()
    return {"status": settings, "rules": listed}


#: The settings that the harness puts back, with the auditctl option that sets each.
AUDIT_SETTINGS = {"enabled": "-e", "failure": "-f", "rate_limit": "-r", "backlog_limit": "-b",
                  "backlog_wait_time": "--backlog_wait_time"}  # fmt: skip


def restore_audit_state(saved: dict) -> None:
    """Puts the kernel's audit rules and settings back as `saved` holds them."""
    now = audit_state()
    if now is None or now["rules"] != saved["rules"]:
        subprocess.run([AUDITCTL, "-D"], capture_output=True, check=False)
        for rule in saved["rules"]:
            subprocess.run([AUDITCTL, *shlex.split(rule)], capture_output=True, check=False)
    for name, option in AUDIT_SETTINGS.items():
        value = saved["status"].get(name)
        if value is not None and (now is None or now["status"].get(name) != value):
            subprocess.run([AUDITCTL, option, value], capture_output=True, check=False)


def comparable_audit_state(state: dict | None) -> dict | None:
    if state is None:
        return None
    return {"rules": state["rules"], "status": {k: state["status"].get(k) for k in AUDIT_SETTINGS}}


@contextlib.contextmanager
def tessik_mount_point():
    """Holds /tessik as the mount point of the sandbox's tmpfs.

    A host without /tessik gets an empty, marked directory for the time of the
    run. Every run holds a shared lock on it; the last one out removes it, and
    only if the harness made it.
    """
    made_here = False
    while True:
        try:
            TESSIK.mkdir(mode=0o755)
            made_here = True
            with contextlib.suppress(OSError):
                os.setxattr(TESSIK, MOUNT_POINT_MARK, b"1")
        except FileExistsError:
            pass
        fd = os.open(TESSIK, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(fd, fcntl.LOCK_SH)
        # Another run may have removed the directory between the open and the lock.
        try:
            now = os.stat(TESSIK)
            held = os.fstat(fd)
            if (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
                break
        except FileNotFoundError:
            pass
        os.close(fd)
    try:
        yield
    finally:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            pass  # another run still has its tmpfs there
        else:
            marked = made_here
            with contextlib.suppress(OSError):
                marked = marked or os.getxattr(TESSIK, MOUNT_POINT_MARK) == b"1"
            if marked:
                with contextlib.suppress(OSError):
                    os.rmdir(TESSIK)
        finally:
            os.close(fd)


def stop_leftover_daemons(pid_file: Path) -> None:
    """Kills the daemons of a run that outlived it (the inner half died)."""
    try:
        pids = [int(line) for line in pid_file.read_text().split()]
    except (OSError, ValueError):
        return
    for pid in pids:
        try:
            environ = Path(f"/proc/{pid}/environ").read_bytes()
        except OSError:
            continue
        if f"TARNO_SANDBOX={pid_file.parent}".encode() not in environ:
            continue  # the pid belongs to another process by now
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 5
        while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
            time.sleep(0.05)


def _as_file(value: File | str | None) -> File | None:
    return File(value) if isinstance(value, str) else value


class Sandbox:
    """Runs scenarios as root on a fresh simulated host; one `run` is one host."""

    def __init__(self, workdir: Path, repo: Path, build_dir: Path):
        self.workdir = workdir
        self.repo = repo
        self.build_dir = build_dir
        self._runs = 0

    def run(
        self,
        host: Host | None = None,
        steps: list[list[str] | str] = (),
        *,
        collect: list[str] = (),
        timeout: float = 120,
    ) -> Result:
        """Builds `host` and runs each step in it: a command (argv list) or
        Python source (run with the engine importable; `emit(value)` hands JSON
        back, see `emitted`). After each step: the new system-log lines, the
        files in `collect` (text, kind, mode, owner, group), the kernel's rules,
        which daemons run and the systemctl calls made."""
        host = host or Host()
        if host.auditd and audit_refusal() is not None:
            raise SandboxRefused(audit_refusal())
        self._runs += 1
        root = self.workdir / f"run{self._runs}"
        root.mkdir(parents=True)
        files = {path: _as_file(value) for path, value in {**healthy_files(), **host.files}.items()}
        spec = {
            "root": str(root),
            "pythonpath": f"{self.repo / 'src'}:{self.build_dir / 'src'}",
            "packages": host.packages,
            "files": {path: None if f is None else dataclasses.asdict(f) for path, f in files.items()},
            "syslog_ng": host.syslog_ng,
            "auditd": host.auditd,
            "setup": host.setup,
            "refuse_rule_loads": host.refuse_rule_loads,
            "steps": [step if isinstance(step, list) else {"python": step} for step in steps],
            "collect": sorted(set(collect) | {path for path in files}),
            "timeout": timeout,
        }
        spec_file = root / "spec.json"
        spec_file.write_text(json.dumps(spec))
        saved = audit_state()
        record_host_state()
        command = [UNSHARE, "-m", "--propagation", "private", PYTHON, __file__, str(spec_file)]
        try:
            with tessik_mount_point():
                try:
                    inner = subprocess.run(command, capture_output=True, text=True,
                                           timeout=timeout * (len(steps) + 2), check=False)  # fmt: skip
                finally:
                    stop_leftover_daemons(root / "daemons.pids")
                    if saved is not None:
                        restore_audit_state(saved)
        finally:
            # The upper layers hold the sandbox's copies of /etc/shadow and the like.
            for name in OVERLAID:
                shutil.rmtree(root / "overlay" / name, ignore_errors=True)
        assert comparable_audit_state(audit_state()) == comparable_audit_state(saved), (
            "the kernel's audit rules or settings were not put back")
        if inner.returncode == REFUSED or inner.stderr.startswith("unshare: "):
            raise SandboxRefused(inner.stderr.strip())
        result_file = root / "result.json"
        if inner.returncode != 0 or not result_file.exists():
            raise AssertionError(
                f"the sandbox failed (status {inner.returncode}):\n{inner.stdout}\n{inner.stderr}"
            )
        outcome = json.loads(result_file.read_text())
        return Result(before=Step(**outcome["before"]), steps=[Step(**s) for s in outcome["steps"]])


# ---------------------------------------------------------------- the host left as it was

#: The trees whose state one check of the whole suite compares.
WATCHED = ("/etc", "/usr", "/run", "/tessik")
_HOST_BEFORE: dict | None = None


def host_fingerprint() -> dict:
    """A digest of every name, type, mode, size and modification time under the
    watched trees, and the kernel's audit rules and settings."""
    digests = {}
    for top in WATCHED:
        digest = hashlib.sha256()
        if os.path.lexists(top):
            for folder, subfolders, names in os.walk(top):
                # Byte code that an interpreter of the session compiled is not ours.
                subfolders[:] = sorted(name for name in subfolders if name != "__pycache__")
                for name in sorted(names + subfolders):
                    path = os.path.join(folder, name)
                    with contextlib.suppress(FileNotFoundError):
                        status = os.lstat(path)
                        digest.update(f"{path}\0{status.st_mode}\0{status.st_size}\0"
                                      f"{status.st_mtime_ns}\n".encode(errors="surrogateescape"))  # fmt: skip
        digests[top] = digest.hexdigest()
    digests["audit"] = comparable_audit_state(audit_state())
    return digests


def record_host_state() -> None:
    """Remembers the host as the first sandbox of the session found it."""
    global _HOST_BEFORE
    if _HOST_BEFORE is None:
        _HOST_BEFORE = host_fingerprint()


def recorded_host_state() -> dict | None:
    return _HOST_BEFORE


# ---------------------------------------------------------------- fixtures
#
# The test modules import these fixtures. A conftest.py here would shadow the
# one of the Python suite when both suites run in one pytest session.

REPO = Path(__file__).resolve().parents[2]


def _build_dir() -> Path:
    return Path(os.environ.get("TARNO_BUILD_DIR", REPO / "build")).resolve()


@pytest.fixture(scope="session")
def sandbox_ready():
    """Skips the system tests on hosts that cannot run the sandbox."""
    reason = unusable_reason()
    if reason is not None:
        pytest.skip(reason)
    package = _build_dir() / "src" / "tarno_event_diagnostics"
    if not any(package.glob("journal_inspector*.so")):
        pytest.skip(f"the engine is not built in {_build_dir()} (set TARNO_BUILD_DIR)")
    sys.path[:0] = [str(REPO / "src"), str(_build_dir() / "src")]


class SkippingSandbox(Sandbox):
    """A Sandbox that skips the test when the kernel refuses the namespace or
    the overlays."""

    def run(self, *args, **kwargs):
        try:
            return super().run(*args, **kwargs)
        except SandboxRefused as refused:
            pytest.skip(str(refused))


@pytest.fixture
def sandbox(sandbox_ready, tmp_path):
    """A Sandbox whose runs keep their files under the test's tmp_path."""
    return SkippingSandbox(tmp_path, REPO, _build_dir())


@pytest.fixture(scope="module")
def module_sandbox(sandbox_ready, tmp_path_factory):
    """A Sandbox for scenarios run once and examined by several tests."""
    return SkippingSandbox(tmp_path_factory.mktemp("sandbox"), REPO, _build_dir())


# ---------------------------------------------------------------- inner half


def _mount(*args: str) -> None:
    # -n: without it, the first mount on a fresh machine makes /run/mount there
    # (the host's /run, before its overlay is in place) for the mount table.
    subprocess.run(["mount", "-n", *args], check=True, capture_output=True, text=True)


def _build_mounts(root: Path) -> None:
    for name in OVERLAID:
        upper = root / "overlay" / name / "upper"
        work = root / "overlay" / name / "work"
        upper.mkdir(parents=True)
        work.mkdir(parents=True)
        _mount("-t", "overlay", "overlay", "-o",
               f"lowerdir=/{name},upperdir={upper},workdir={work}", f"/{name}")
    # The overlay hides the submounts of /dev; shared memory is the one worth having.
    _mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/dev/shm")
    _mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", str(TESSIK))


def _write_package_database(packages: dict[str, str]) -> None:
    """Sets the entries of the three required packages in the real database."""
    status_file = Path("/var/lib/dpkg/status")
    stanzas = [s for s in status_file.read_text().split("\n\n") if s.strip()]
    wanted = set(ALL_INSTALLED) | set(packages)
    kept = [s for s in stanzas if re.search(r"^Package: (\S+)", s, re.M)[1] not in wanted]
    for name, status in packages.items():
        # dpkg-query refuses a stanza without Version and warns about a missing
        # Maintainer or Description; Architecture decides the name's qualifier.
        kept.append(f"Package: {name}\nStatus: {status}\nPriority: optional\nSection: admin\n"
                    f"Maintainer: System Tests <tests@example.invalid>\nArchitecture: all\n"
                    f"Version: 1.0\nDescription: fixture package")  # fmt: skip
    status_file.write_text("\n\n".join(s.strip("\n") for s in kept) + "\n")


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def _write_files(files: dict[str, dict | None]) -> None:
    # The host's own conf.d files and rules would blur what a scenario shows.
    for folder in ("/etc/syslog-ng/conf.d", "/etc/audit/rules.d"):
        for entry in Path(folder).iterdir():
            if entry.name != "audit.rules":
                _remove(entry)
    for path, spec in sorted(files.items()):
        target = Path(path)
        _remove(target)
        if spec is None:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        if spec["text"] is None:
            target.mkdir()
        else:
            target.write_text(spec["text"])
        shutil.chown(target, spec["owner"], spec["group"])
        target.chmod(spec["mode"])


CAPTURE_CONFIG = """# The sandbox's view of the system log: every line, with facility and level.
destination d_sandbox_capture {{
    file("{log}" template("$FACILITY.$LEVEL $PROGRAM: $MSG\\n") flush_lines(0));
}};
log {{ source(s_src); destination(d_sandbox_capture); }};
"""

SYSTEMCTL_SHIM = """#!{python}
# Stands in for systemctl: the sandbox's service manager does the work.
import socket, sys
with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
    connection.connect({socket!r})
    connection.sendall((" ".join(sys.argv[1:]) + "\\n").encode())
    answer = connection.makefile().readline().split(" ", 1)
sys.stderr.write(answer[1] if len(answer) > 1 else "")
sys.exit(int(answer[0] or 1))
"""

REFUSING_AUDITCTL = """#!/bin/sh
# auditctl of a host whose audit configuration is immutable: loads are refused.
case "$1" in
    -a|-A|-w) echo "The audit system is in immutable mode, no rule changes allowed" >&2; exit 1;;
esac
exec {auditctl} "$@"
"""

TOOL = """#!/bin/sh
exec {python} -m tarno_event_diagnostics "$@"
"""


def _kill_on_parent_death() -> None:
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Unit:
    """A daemon under the service manager."""

    def __init__(self, name: str, argv: list[str], env: dict, errors: Path, pids: Path):
        self.name, self.argv, self.env = name, argv, env
        self.errors, self.pids = errors, pids
        self.process: subprocess.Popen | None = None

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def start(self) -> int:
        if self.running:
            return 0
        with open(self.errors, "a") as errors:
            self.process = subprocess.Popen(
                self.argv, env=self.env, stdin=subprocess.DEVNULL, stdout=errors, stderr=errors,
                preexec_fn=_kill_on_parent_death,
            )  # fmt: skip
        with open(self.pids, "a") as pids:
            pids.write(f"{self.process.pid}\n")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return 1
            if self.ready():
                self.started()
                return 0
            time.sleep(0.05)
        self.stop()
        return 1

    def stop(self) -> int:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            # As systemd does: a stopped daemon gets the signal too.
            self.process.send_signal(signal.SIGCONT)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return 0

    def ready(self) -> bool:
        return True

    def started(self) -> None:
        pass


class SyslogNgUnit(Unit):
    def ready(self) -> bool:
        # Type=notify: ready once it answers on its control socket.
        with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as connection:
            connection.connect(str(CONTROL_SOCKET))
            return True
        return False


class AuditdUnit(Unit):
    def ready(self) -> bool:
        status = subprocess.run([AUDITCTL, "-s"], capture_output=True, text=True, check=False)
        return f"pid {self.process.pid}\n" in status.stdout

    def started(self) -> None:
        # ExecStartPost=-/sbin/augenrules --load
        subprocess.run([AUGENRULES, "--load"], env=self.env, capture_output=True, check=False)


class ServiceManager:
    """Answers the systemctl shim: start, stop, restart and is-active of the
    two daemons; records every call."""

    def __init__(self, env: dict, pids: Path):
        self.units = {
            "syslog-ng": SyslogNgUnit("syslog-ng", [SYSLOG_NG, "-F"], env, STATE / "syslog-ng.stderr", pids),
            "auditd": AuditdUnit("auditd", [AUDITD, "-n"], env, STATE / "auditd.stderr", pids),
        }  # fmt: skip
        self.calls: list[str] = []
        self.lock = threading.Lock()
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(str(STATE / "systemd.sock"))
        self.listener.listen()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        # The daemons are children of this thread (their parent-death signal
        # follows it), and a job goes on when its systemctl is killed, as with
        # systemd: a client that went away must not end the thread.
        while True:
            connection, _ = self.listener.accept()
            with connection, contextlib.suppress(OSError):
                line = connection.makefile().readline().strip()
                status, message = self.command(line.split())
                connection.sendall(f"{status} {message}\n".encode())

    def command(self, words: list[str]) -> tuple[int, str]:
        with self.lock:
            self.calls.append(" ".join(words))
            if len(words) != 2 or words[0] not in ("start", "stop", "restart", "is-active"):
                return 1, f"the sandbox's systemctl does not know: {' '.join(words)}"
            unit = self.units.get(words[1].removesuffix(".service"))
            if unit is None:
                return 5, f"Unit {words[1]} not found."
            if words[0] == "is-active":
                return (0, "") if unit.running else (3, "")
            if words[0] in ("stop", "restart"):
                unit.stop()
            if words[0] in ("start", "restart"):
                if unit.start() != 0:
                    return 1, f"Job for {unit.name}.service failed."
            return 0, ""

    def stop_all(self) -> None:
        with self.lock:
            for unit in self.units.values():
                unit.stop()


def _send_probe(text: str) -> None:
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.sendto(f"<13>{PROBE_PROGRAM}: {text}".encode(), "/dev/log")


def _wait_for_probe(log_file: Path, text: str, limit: float) -> bool:
    """Sends probe lines until one appears in the log: then every line sent
    before it has been written too (one socket, read in order)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError):
            _send_probe(text)
        for _ in range(10):
            time.sleep(0.02)
            if log_file.exists() and f"{PROBE_PROGRAM}: {text}\n" in log_file.read_text(errors="replace"):
                return True
    return False


def _describe_file(path: str) -> dict:
    target = Path(path)
    try:
        status = target.lstat()
    except FileNotFoundError:
        return {"kind": "missing", "text": None}
    import grp
    import pwd

    kind = ("link" if stat.S_ISLNK(status.st_mode) else "folder" if stat.S_ISDIR(status.st_mode)
            else "file" if stat.S_ISREG(status.st_mode) else "other")  # fmt: skip
    owner = pwd.getpwuid(status.st_uid).pw_name
    group = grp.getgrgid(status.st_gid).gr_name
    return {
        "kind": kind,
        # The bytes as they are, line ends included.
        "text": target.read_bytes().decode("utf-8", "surrogateescape") if kind == "file" else None,
        "mode": stat.S_IMODE(status.st_mode),
        "owner": owner,
        "group": group,
        "link": os.readlink(target) if kind == "link" else None,
        "names": sorted(os.listdir(target)) if kind == "folder" else None,
    }


def _kernel_rules() -> list[str]:
    listed = subprocess.run([AUDITCTL, "-l"], capture_output=True, text=True, check=False).stdout
    return [] if listed.strip() == "No rules" else listed.splitlines()


def inside(spec: dict) -> None:
    root = Path(spec["root"])
    try:
        _build_mounts(root)
    except subprocess.CalledProcessError as error:
        print(f"the kernel refused the sandbox: {' '.join(error.cmd)}: {error.stderr.strip()}",
              file=sys.stderr)
        raise SystemExit(REFUSED) from None

    # The host's state in /run and /var that belongs to daemons of its own, and
    # the ways to its service manager and message bus, which maintainer scripts
    # would use when they find them.
    for stale in ("/run/syslog-ng.pid", "/run/auditd.pid", str(CONTROL_SOCKET), "/dev/log",
                  "/run/systemd", "/run/dbus"):
        _remove(Path(stale))
    Path("/run/utmp").write_bytes(b"")  # no terminal of the host gets console lines
    STATE.mkdir(parents=True, exist_ok=True)
    log_file = STATE / "system.log"
    shims = STATE / "bin"
    shims.mkdir()
    (shims / "systemctl").write_text(SYSTEMCTL_SHIM.format(python=PYTHON, socket=str(STATE / "systemd.sock")))
    if spec["refuse_rule_loads"]:
        (shims / "auditctl").write_text(REFUSING_AUDITCTL.format(auditctl=AUDITCTL))
    Path("/usr/local/bin/tarno-event-diagnostics").write_text(TOOL.format(python=PYTHON))
    for tool in [*shims.iterdir(), Path("/usr/local/bin/tarno-event-diagnostics")]:
        tool.chmod(0o755)

    _write_package_database(spec["packages"])
    _write_files(spec["files"])
    Path("/etc/syslog-ng/conf.d/sandbox-capture.conf").write_text(CAPTURE_CONFIG.format(log=log_file))
    Path("/var/lib/syslog-ng").mkdir(parents=True, exist_ok=True)
    Path("/var/log/audit").mkdir(parents=True, exist_ok=True)

    env = {
        "PATH": f"{shims}:{STANDARD_PATH}",
        "PYTHONPATH": spec["pythonpath"],
        "HOME": "/root",
        "LANG": "C.UTF-8",
        "TARNO_SANDBOX": str(root),
    }
    os.environ["TARNO_SANDBOX"] = str(root)
    manager = ServiceManager(env, root / "daemons.pids")
    calls_seen = 0
    log_seen = 0

    def snapshot(returncode: int, stdout: str, stderr: str) -> dict:
        nonlocal calls_seen, log_seen
        if manager.units["syslog-ng"].running:
            _wait_for_probe(log_file, f"step {time.monotonic()}", 15)
        text = log_file.read_text(errors="replace") if log_file.exists() else ""
        calls = manager.calls[calls_seen:]
        calls_seen = len(manager.calls)
        step = {
            "returncode": returncode,
            "stdout": stdout,
            "stderr": stderr,
            "log": text[log_seen:],
            "files": {path: _describe_file(path) for path in spec["collect"]},
            "kernel_rules": _kernel_rules(),
            "running": {name: unit.running for name, unit in manager.units.items()},
            "systemctl_calls": calls,
        }
        log_seen = len(text)
        return step

    try:
        for name, key in (("syslog-ng", "syslog_ng"), ("auditd", "auditd")):
            if spec[key] and manager.units[name].start() != 0:
                raise RuntimeError(f"{name} did not start: {(STATE / f'{name}.stderr').read_text()}")
        for command in spec["setup"]:
            done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
            if done.returncode != 0:
                raise RuntimeError(f"{command} failed with status {done.returncode}: {done.stderr}")
        manager.calls.clear()
        before = snapshot(0, "", "")
        steps = []
        for step in spec["steps"]:
            if isinstance(step, dict):
                script = STATE / f"step{len(steps)}.py"
                script.write_text(ENGINE_PRELUDE + step["python"])
                argv = [PYTHON, str(script)]
            else:
                argv = step
            try:
                done = subprocess.run(argv, cwd=root, env=env, capture_output=True, text=True,
                                      timeout=spec["timeout"], stdin=subprocess.DEVNULL,
                                      check=False, preexec_fn=_kill_on_parent_death)  # fmt: skip
                outcome = (done.returncode, done.stdout, done.stderr)
            except subprocess.TimeoutExpired as expired:
                outcome = (-1, str(expired.stdout or ""), f"{expired.stderr or ''}\n[timed out]")
            steps.append(snapshot(*outcome))
    finally:
        manager.stop_all()
    (root / "result.json").write_text(json.dumps({"before": before, "steps": steps}))


# ---------------------------------------------------------------- helpers for tests

SETPRIV = "/usr/bin/setpriv"
DIAGNOSIS_UNIT = "debian/tarno-event-diagnostics.service"


def unit_confinement(unit: str = DIAGNOSIS_UNIT) -> list[str]:
    """The command prefix that confines a step as the unit's [Service] section
    confines its service: PrivateNetwork= (``unshare --net``), then
    CapabilityBoundingSet= and NoNewPrivileges= (``setpriv``). The values are
    read from the unit file, so that the tests follow the unit."""
    settings: dict[str, list[str]] = {}
    section = None
    for line in (REPO / unit).read_text().splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and line and line[0] not in "#;" and "=" in line:
            key, value = line.split("=", 1)
            settings.setdefault(key.strip(), []).append(value.strip())

    def enabled(key: str) -> bool:
        return settings.get(key, ["no"])[-1].lower() in ("yes", "true", "on", "1")

    prefix = [UNSHARE, "--net"] if enabled("PrivateNetwork") else []
    options = []
    capabilities: set[str] | None = None
    for value in settings.get("CapabilityBoundingSet", []):
        # Lines add up; an empty one starts again. An inverted list is not used.
        assert not value.startswith("~"), f"{unit}: an inverted CapabilityBoundingSet is not read here"
        capabilities = set() if not value else (capabilities or set()) | set(value.split())
    if capabilities is not None:
        names = sorted(name.removeprefix("CAP_").lower() for name in capabilities)
        options.append("--bounding-set=" + ",".join(["-all", *(f"+{name}" for name in names)]))
    if enabled("NoNewPrivileges"):
        options.append("--no-new-privs")
    return prefix + ([SETPRIV, *options, "--"] if options else [])


#: Start of a Python step; `emit(value)` hands a JSON value back (see `emitted`).
ENGINE_PRELUDE = """\
import json, os, sys
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.journal_inspector import JournalInspector

def emit(value):
    print("EMIT " + json.dumps(value), flush=True)
"""


def emitted(step: Step) -> list:
    """The values that a Python step handed back with `emit`, in order."""
    return [json.loads(line[len("EMIT "):]) for line in step.stdout.splitlines() if line.startswith("EMIT ")]


REPORT_LINE_START = re.compile(
    r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?[+-]\d\d:\d\d tarno-event-diagnostics: "
)


def report_entries(text: str) -> list[str]:
    """The messages of a report file. A line without the time stamp and the
    prefix continues the entry before it."""
    entries: list[str] = []
    assert text == "" or text.endswith("\n"), f"report does not end in a line feed: {text!r}"
    for line in text.split("\n")[:-1]:
        match = REPORT_LINE_START.match(line)
        if match:
            entries.append(line[match.end():])
        else:
            assert entries, f"report begins with a continuation line: {line!r}"
            entries[-1] += "\n" + line
    return entries


if __name__ == "__main__":
    inside(json.loads(Path(sys.argv[1]).read_text()))
