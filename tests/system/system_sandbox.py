"""A disposable sandbox for whole runs against the real system components.

The outer half (`Sandbox`) runs on the test's side. It starts this very file
under ``unshare -m --propagation private`` as root; the inner half (`inside`)
then builds the sandbox in that private mount namespace:

- copy-on-write overlays on /etc, /usr, /var and /dev, their upper and work
  directories in the test's temporary directory, so real ``useradd`` and
  ``usermod`` change only the sandbox's /etc/shadow;
- a tmpfs on /tessik, and one on /run, so that locks, runtime folders and
  the test of /run/systemd/system in maintainer scripts stay inside;
- a package database of its own (``DPKG_ADMINDIR``) and a ``systemctl`` shim
  first on PATH that only records its calls;
- a real ``syslog-ng`` listening on /dev/log and writing every line as
  ``$FACILITY.$LEVEL $PROGRAM: $MSG`` to a file: a real system log.

There is no process namespace (the kernel refuses audit requests from one),
so the process table is the host's. The daemon is stopped at the end of every
run, whatever happens: by the inner half, by the parent-death signal when the
inner half dies, and by the outer half from the pid file as a last resort.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

SYSLOG_NG = "/usr/sbin/syslog-ng"
UNSHARE = "/usr/bin/unshare"
PYTHON = "/usr/bin/python3"
OVERLAID = ("etc", "usr", "var", "dev")
TESSIK = Path("/tessik")
STANDARD_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

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

SYSTEMCTL_SHIM = """#!/bin/sh
# Stands in for systemctl in the sandbox: records the call and succeeds.
printf '%s\\n' "$*" >> "{calls}"
exit 0
"""

LINE_START = re.compile(
    r"^(kern|user|mail|daemon|auth|syslog|lpr|news|uucp|cron|authpriv|ftp|ntp|security"
    r"|console|solaris-cron|local[0-7])\.(emerg|alert|crit|err|warning|notice|info|debug) "
    r"([^:\n]*): "
)


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
class Result:
    """What one sandbox run left behind."""

    returncode: int
    stdout: str
    stderr: str
    log: str
    files: dict[str, str | None]
    kinds: dict[str, str]
    systemctl_calls: list[str]

    @property
    def entries(self) -> list[LogEntry]:
        return parse_log(self.log)

    def entries_of(self, program: str) -> list[LogEntry]:
        return [entry for entry in self.entries if entry.program == program]

    def describe(self) -> str:
        return (
            f"exit status {self.returncode}\n--- stdout\n{self.stdout}\n--- stderr\n"
            f"{self.stderr}\n--- system log\n{self.log}"
        )


class SandboxRefused(Exception):
    """The kernel or the host does not allow the sandbox."""


# ---------------------------------------------------------------- outer half


def unusable_reason() -> str | None:
    """Why the sandbox cannot run on this host, or None when it can."""
    if os.geteuid() != 0:
        return "the system tests need root (they mount overlays and add users)"
    for program, package in ((UNSHARE, "util-linux"), (SYSLOG_NG, "syslog-ng-core")):
        if not os.access(program, os.X_OK):
            return f"{program} is missing (Debian package {package})"
    for program in ("useradd", "usermod", "dpkg-query"):
        if shutil.which(program, path=STANDARD_PATH) is None:
            return f"{program} is missing"
    return None


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


def stop_leftover_daemon(pid_file: Path, config_file: Path) -> None:
    """Kills the sandbox's syslog-ng if it outlived its run."""
    try:
        pid = int(pid_file.read_text().strip())
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
    except (OSError, ValueError):
        return
    if str(config_file).encode() not in cmdline:
        return  # the pid belongs to another process by now
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGKILL)
    deadline = time.monotonic() + 5
    while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
        time.sleep(0.05)


class Sandbox:
    """Runs Python code as root in a fresh sandbox; one `run` is one sandbox."""

    def __init__(self, workdir: Path, repo: Path, build_dir: Path):
        self.workdir = workdir
        self.repo = repo
        self.build_dir = build_dir
        self._runs = 0

    def run(
        self,
        script: str | None = None,
        *,
        argv: list[str] | None = None,
        script_args: list[str] = (),
        packages: dict[str, str] | None = None,
        tessik_dirs: tuple[str, ...] = ("log", "log/tarno"),
        prepare: list[list[str]] = (),
        collect: list[str] = (),
        timeout: float = 60,
    ) -> Result:
        """Runs `script` (Python source, with `script_args` as its arguments)
        or the command `argv` inside a new sandbox.

        packages: package name -> dpkg status ("install ok installed", ...)
            for the sandbox's package database (default: the three required
            packages installed).
        tessik_dirs: directories made under the empty /tessik, in order.
        prepare: commands run before the system log starts (so their own
            log lines stay out of it); each must succeed.
        collect: paths looked at inside the sandbox after the run: their
            text (None unless a file) and their kind ("file", "directory",
            "missing" or "other").
        """
        self._runs += 1
        root = self.workdir / f"run{self._runs}"
        root.mkdir(parents=True)
        spec = {
            "root": str(root),
            "pythonpath": f"{self.repo / 'src'}:{self.build_dir / 'src'}",
            "script": script,
            "argv": argv,
            "script_args": list(script_args),
            "packages": ALL_INSTALLED if packages is None else packages,
            "tessik_dirs": list(tessik_dirs),
            "prepare": [list(command) for command in prepare],
            "collect": list(collect),
            "timeout": timeout,
        }
        spec_file = root / "spec.json"
        spec_file.write_text(json.dumps(spec))
        command = [UNSHARE, "-m", "--propagation", "private", PYTHON, __file__, str(spec_file)]
        try:
            with tessik_mount_point():
                try:
                    inner = subprocess.run(
                        command, capture_output=True, text=True, timeout=timeout + 60,
                        check=False,
                    )
                finally:
                    stop_leftover_daemon(root / "syslog-ng.pid", root / "syslog-ng.conf")
        finally:
            # The upper layers hold the sandbox's copies of /etc/shadow and the like.
            for name in OVERLAID:
                shutil.rmtree(root / "overlay" / name, ignore_errors=True)
        if inner.returncode == REFUSED or inner.stderr.startswith("unshare: "):
            raise SandboxRefused(inner.stderr.strip())
        result_file = root / "result.json"
        if inner.returncode != 0 or not result_file.exists():
            raise AssertionError(
                f"the sandbox failed (status {inner.returncode}):\n{inner.stdout}\n{inner.stderr}"
            )
        return Result(**json.loads(result_file.read_text()))


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
    subprocess.run(["mount", *args], check=True, capture_output=True, text=True)


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
    _mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")


def _write_package_database(directory: Path, packages: dict[str, str]) -> None:
    # dpkg-query refuses a stanza without Version and warns about a missing
    # Maintainer or Description; Architecture decides the name's qualifier.
    directory.mkdir()
    stanzas = []
    for name, status in packages.items():
        stanzas.append(
            f"Package: {name}\nStatus: {status}\nPriority: optional\nSection: admin\n"
            f"Maintainer: System Tests <tests@example.invalid>\nArchitecture: all\n"
            f"Version: 1.0\nDescription: fixture package\n"
        )
    (directory / "status").write_text("\n".join(stanzas))


def _syslog_ng_config(log_file: Path) -> str:
    return f"""@version: current
options {{ chain_hostnames(off); use_dns(no); use_fqdn(no); dns_cache(no); stats_freq(0); flush_lines(0); }};
source s_dev_log {{ unix-dgram("/dev/log"); }};
destination d_file {{ file("{log_file}" template("$FACILITY.$LEVEL $PROGRAM: $MSG\\n")); }};
log {{ source(s_dev_log); destination(d_file); }};
"""


def _send_probe(text: str) -> None:
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.sendto(f"<13>{PROBE_PROGRAM}: {text}".encode(), "/dev/log")


def _wait_for_probe(log_file: Path, daemon: subprocess.Popen, text: str, limit: float) -> None:
    """Sends probe lines until one appears in the log: then every line sent
    before it has been written too (one socket, read in order)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            raise RuntimeError(f"syslog-ng ended with status {daemon.returncode}")
        with contextlib.suppress(OSError):
            _send_probe(text)
        for _ in range(10):
            time.sleep(0.02)
            if log_file.exists() and f"{PROBE_PROGRAM}: {text}\n" in log_file.read_text(
                errors="replace"
            ):
                return
    raise RuntimeError(f"syslog-ng did not write the probe line {text!r} in {limit} s")


def _kill_on_parent_death() -> None:
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _stop(daemon: subprocess.Popen) -> None:
    if daemon.poll() is None:
        daemon.terminate()
        try:
            daemon.wait(timeout=10)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()


def inside(spec: dict) -> None:
    root = Path(spec["root"])
    try:
        _build_mounts(root)
    except subprocess.CalledProcessError as error:
        print(f"the kernel refused the sandbox: {' '.join(error.cmd)}: {error.stderr.strip()}",
              file=sys.stderr)
        raise SystemExit(REFUSED) from None

    for name in spec["tessik_dirs"]:
        (TESSIK / name).mkdir()
    _write_package_database(root / "dpkg", spec["packages"])
    shims = root / "bin"
    shims.mkdir()
    calls = root / "systemctl.calls"
    calls.touch()
    shim = shims / "systemctl"
    shim.write_text(SYSTEMCTL_SHIM.format(calls=calls))
    shim.chmod(0o755)
    env = {
        "PATH": f"{shims}:{STANDARD_PATH}",
        "PYTHONPATH": spec["pythonpath"],
        "DPKG_ADMINDIR": str(root / "dpkg"),
        "HOME": "/root",
        "LANG": "C.UTF-8",
    }
    for command in spec["prepare"]:
        done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"{command} failed with status {done.returncode}: {done.stderr}")

    Path("/var/lib/syslog-ng").mkdir(parents=True, exist_ok=True)
    log_file = root / "system.log"
    config_file = root / "syslog-ng.conf"
    config_file.write_text(_syslog_ng_config(log_file))
    daemon_errors = open(root / "syslog-ng.stderr", "w")
    daemon = subprocess.Popen(
        [SYSLOG_NG, "-F", "-f", str(config_file), f"--persist-file={root / 'syslog-ng.persist'}",
         f"--pidfile={root / 'syslog-ng.pid'}", "--control=/var/lib/syslog-ng/syslog-ng.ctl"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=daemon_errors,
        preexec_fn=_kill_on_parent_death,
    )
    try:
        (root / "syslog-ng.pid").write_text(f"{daemon.pid}\n")
        _wait_for_probe(log_file, daemon, "ready", 15)
        script = root / "script.py"
        if spec["argv"] is None:
            script.write_text(spec["script"])
            argv = [PYTHON, str(script), *spec["script_args"]]
        else:
            argv = spec["argv"]
        try:
            completed = subprocess.run(
                argv, cwd=root, env=env, capture_output=True, text=True,
                timeout=spec["timeout"], stdin=subprocess.DEVNULL, check=False,
                preexec_fn=_kill_on_parent_death,
            )
            returncode, stdout, stderr = completed.returncode, completed.stdout, completed.stderr
        except subprocess.TimeoutExpired as expired:
            returncode, stdout = -1, expired.stdout or ""
            stderr = f"{expired.stderr or ''}\n[timed out after {spec['timeout']} s]"
            stdout = stdout if isinstance(stdout, str) else stdout.decode(errors="replace")
        _wait_for_probe(log_file, daemon, "done", 15)
    finally:
        _stop(daemon)
        daemon_errors.close()

    files, kinds = {}, {}
    for name in spec["collect"]:
        path = Path(name)
        files[name] = path.read_text(errors="replace") if path.is_file() else None
        if path.is_file():
            kinds[name] = "file"
        elif path.is_dir():
            kinds[name] = "directory"
        else:
            kinds[name] = "missing" if not path.exists() else "other"
    result = {
        "returncode": returncode,
        "stdout": stdout,
        "stderr": stderr if isinstance(stderr, str) else stderr.decode(errors="replace"),
        "log": log_file.read_text(errors="replace"),
        "files": files,
        "kinds": kinds,
        "systemctl_calls": calls.read_text().splitlines(),
    }
    (root / "result.json").write_text(json.dumps(result))


if __name__ == "__main__":
    inside(json.loads(Path(sys.argv[1]).read_text()))


# ---------------------------------------------------------------- helpers for tests

#: Start of a script that uses the engine inside the sandbox; `emit(value)`
#: hands a JSON value back to the test (see `emitted`).
ENGINE_PRELUDE = """\
import json, os, sys
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.journal_inspector import JournalInspector

def emit(value):
    print("EMIT " + json.dumps(value), flush=True)
"""


def emitted(result: Result) -> list:
    """The values that the script handed back with `emit`, in order."""
    return [
        json.loads(line[len("EMIT "):])
        for line in result.stdout.splitlines()
        if line.startswith("EMIT ")
    ]


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
