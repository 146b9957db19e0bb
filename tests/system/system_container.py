# SPDX-License-Identifier: LGPL-2.1-or-later
"""Roots of Debian 12 and Debian 13 made with mmdebstrap: booted under
systemd-nspawn, the package's units under a real systemd; or, with the build
and test packages, the place where tools/release-root.sh builds and tests the
release that this machine does not run.

A root is built from Debian's archive on first use and cached outside the
checkout, in `CACHE`. Every boot starts from that clean cache: the cache is the
lower layer of an overlay whose upper layer lives in the test's temporary
folder. The overlay, and a tmpfs over /run/systemd that takes nspawn's
bookkeeping, are mounted in a private mount namespace of the nspawn process,
so both vanish with it and nothing of a boot stays on this machine.

Commands run inside with ``nsenter -t PID1 -a``. Such a process keeps this
machine's capabilities, CAP_AUDIT_CONTROL included, so `Container.run` drops
that one from the bounding set before the command starts; still, never run
auditctl that way. The container itself is booted without CAP_AUDIT_CONTROL.

    python3 tests/system/system_container.py [boot:SUITE | build:SUITE]...

builds the roots named (boot:bookworm by default) and prints their paths; what
mmdebstrap is doing goes to standard error as it happens.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

CACHE = Path(os.environ.get("TARNO_CONTAINER_CACHE", "/var/cache/tarno-event-diagnostics-tests"))
SUITE = "bookworm"
#: The releases a package is built and tested for, by codename.
RELEASES = {"bookworm": "Debian 12", "trixie": "Debian 13"}
#: The default Python of each release. A package built on one depends on its
#: python3 (">= 3.13~, << 3.14" on Debian 13) and installs only there.
PYTHON_OF = {"bookworm": "3.11", "trixie": "3.13"}
MIRROR = "http://deb.debian.org/debian"
REPO = Path(__file__).resolve().parents[2]
#: What a booted root holds beside minbase: a booting systemd, the daemons, the
#: package's dependencies and autopkgtest, so that a run needs no download.
INCLUDE = ("systemd", "systemd-sysv", "dbus", "syslog-ng", "syslog-ng-core", "python3",
           "python3-dateutil", "autopkgtest")  # fmt: skip
MMDEBSTRAP = "/usr/bin/mmdebstrap"
NSPAWN = "/usr/bin/systemd-nspawn"
NSENTER = "/usr/bin/nsenter"
UNSHARE = "/usr/bin/unshare"
INSIDE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
#: A root with the build packages takes about 4 minutes on a fresh machine.
BUILD_LIMIT = 1500


class ContainerUnusable(Exception):
    """This machine cannot build or boot the container; the text says why."""


def _archive_unreachable() -> str | None:
    host = MIRROR.split("/")[2]
    try:
        socket.create_connection((host, 80), timeout=10).close()
    except OSError as error:
        return f"Debian's archive ({host}) is not reachable: {error}"
    return None


def build_packages() -> tuple[str, ...]:
    """What one release's build, C++ tests, Python suite and package need, as
    tools/packages.sh names them."""
    listed = subprocess.run(["bash", str(REPO / "tools/packages.sh"), "--list"], capture_output=True,
                            text=True, check=True, timeout=30).stdout  # fmt: skip
    return tuple(listed.split())


def release_of_package(deb: Path) -> str:
    """The codename of the release a built package is for, from the python3
    version it depends on."""
    depends = subprocess.run(["dpkg-deb", "--field", str(deb), "Depends"], capture_output=True,
                             text=True, check=True, timeout=30).stdout  # fmt: skip
    found = re.search(r"python3 \(>= (3\.\d+)", depends)
    for suite, version in PYTHON_OF.items():
        if found and found[1] == version:
            return suite
    raise AssertionError(f"{deb.name} is for no release known here (Depends: {depends.strip()})")


def cached_root(suite: str = SUITE, include: tuple[str, ...] = INCLUDE, kind: str = "minbase",
                progress=None) -> Path:  # fmt: skip
    """The root file system, built on first use; its name holds a digest of what
    it was built from, so that a change of `include` builds a new one. `progress`,
    when given, is called with each step that mmdebstrap reports."""
    for program, package in ((MMDEBSTRAP, "mmdebstrap"), (NSPAWN, "systemd-container")):
        if not os.access(program, os.X_OK):
            raise ContainerUnusable(f"{program} is missing (Debian package {package})")
    recipe = json.dumps([suite, MIRROR, "minbase", include] if kind == "minbase"
                        else [suite, MIRROR, kind, include]).encode()  # fmt: skip
    root = CACHE / f"{suite}-{kind}-{hashlib.sha256(recipe).hexdigest()[:12]}"
    if (root / "etc/os-release").exists():
        return root
    CACHE.mkdir(mode=0o755, parents=True, exist_ok=True)
    with open(CACHE / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one build at a time; the others use it
        if (root / "etc/os-release").exists():
            return root
        reason = _archive_unreachable()
        if reason is not None:
            raise ContainerUnusable(reason)
        partial = root.with_name(f".{root.name}.partial")
        _remove_partial(partial)
        command = [MMDEBSTRAP, "--variant=minbase", "--mode=root", "--include=" + ",".join(include),
                   "--customize-hook=echo tarno-container > \"$1/etc/hostname\"",
                   suite, str(partial), MIRROR]  # fmt: skip
        log_path = root.with_name(f".{root.name}.log")
        with open(log_path, "w") as log:
            done = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline, shown = time.monotonic() + BUILD_LIMIT, 0
        while done.poll() is None and time.monotonic() < deadline:
            time.sleep(1)
            shown = _show_steps(log_path, shown, progress)
        if done.poll() is None:
            done.kill()
            done.wait()
            _remove_partial(partial)
            raise AssertionError(f"mmdebstrap took more than {BUILD_LIMIT} s (log: {log_path})")
        _show_steps(log_path, shown, progress)
        if done.returncode != 0:
            _remove_partial(partial)
            tail = log_path.read_text(errors="replace")[-3000:]
            raise AssertionError(f"mmdebstrap failed ({done.returncode}; log: {log_path}):\n{tail}")
        partial.rename(root)  # the os-release check only ever sees a finished root
        log_path.unlink()
    return root


def _remove_partial(partial: Path) -> None:
    """Removes a half-made root. mmdebstrap mounts /proc, /sys and device
    folders inside while it works; one that was killed may leave them mounted,
    and removing files through such a mount would reach this machine's own."""
    with open("/proc/self/mounts") as mounts:
        inside = [line.split()[1] for line in mounts
                  if line.split()[1].startswith(f"{partial}/")]  # fmt: skip
    for mount_point in sorted(inside, key=len, reverse=True):
        subprocess.run(["umount", "-l", mount_point], check=False, timeout=60)
    shutil.rmtree(partial, ignore_errors=True)


def _show_steps(log_path: Path, shown: int, progress) -> int:
    """Passes the steps of mmdebstrap's log after the first `shown` to `progress`."""
    if progress is None:
        return shown
    steps = [line for line in log_path.read_text(errors="replace").splitlines() if line.startswith("I: ")]
    for step in steps[shown:]:
        progress(step[3:])
    return len(steps)


class Container:
    """One boot of the cached root; `stop` always ends it and reaps its processes."""

    BOOT_LIMIT = 60
    POWEROFF_LIMIT = 60

    def __init__(self, lower: Path, workdir: Path, name: str = "tarno-test"):
        self.lower, self.workdir, self.name = lower, workdir, name
        self.process: subprocess.Popen | None = None
        self.pid1: int | None = None
        self.pid_namespace: str | None = None
        self.boot_seconds: float | None = None

    # ------------------------------------------------------------ boot and stop

    def start(self) -> None:
        merged, upper, work = (self.workdir / name for name in ("root", "upper", "work"))
        for folder in (merged, upper, work):
            folder.mkdir(parents=True)
        options = f"lowerdir={self.lower},upperdir={upper},workdir={work}"
        nspawn = [NSPAWN, "--register=no", "--keep-unit", "--console=passive",
                  "--drop-capability=CAP_AUDIT_CONTROL", "--link-journal=no", "-M", self.name,
                  "-D", str(merged), "-b"]  # fmt: skip
        # nspawn keeps its state under /run/systemd/nspawn; a tmpfs of its own
        # mount namespace takes it, so no leftover of a boot stays on this machine.
        # -n: mount records nothing in this machine's /run/mount.
        script = (f"mount -n -t overlay overlay -o {shlex.quote(options)} {shlex.quote(str(merged))}"
                  " && mount -n -t tmpfs -o mode=0755 tmpfs /run/systemd && exec " + shlex.join(nspawn))  # fmt: skip
        started = time.monotonic()
        with open(self.workdir / "nspawn.log", "w") as log:
            self.process = subprocess.Popen([UNSHARE, "-m", "--propagation", "private", "/bin/sh", "-c", script],
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            start_new_session=True)  # fmt: skip
        deadline = started + self.BOOT_LIMIT
        while self.pid1 is None:
            self._expect_alive(deadline)
            self.pid1 = self._find_pid1()
            time.sleep(0.05)
        self.pid_namespace = os.readlink(f"/proc/{self.pid1}/ns/pid")
        while True:
            self._expect_alive(deadline)
            state = self.run("systemctl", "is-system-running", "--wait", check=False,
                             timeout=max(1, deadline - time.monotonic())).stdout.strip()  # fmt: skip
            if state in ("running", "degraded"):
                break
            time.sleep(0.2)  # the manager's bus is not up yet
        self.boot_seconds = time.monotonic() - started
        if state != "running":
            failed = self.run("systemctl", "--failed", "--no-legend", check=False).stdout
            raise AssertionError(f"the container booted {state}:\n{failed}")

    def _expect_alive(self, deadline: float) -> None:
        if self.process.poll() is not None:
            raise AssertionError(f"systemd-nspawn ended ({self.process.returncode}):\n{self.log()}")
        if time.monotonic() > deadline:
            raise AssertionError(f"the container did not boot within {self.BOOT_LIMIT} s:\n{self.log()}")

    def _find_pid1(self) -> int | None:
        """The container's init: the child of nspawn that is PID 1 of its own
        PID namespace."""
        for task in Path(f"/proc/{self.process.pid}/task").glob("*/children"):
            with contextlib.suppress(OSError):
                for child in task.read_text().split():
                    status = Path(f"/proc/{child}/status").read_text()
                    numbers = next(line for line in status.splitlines() if line.startswith("NSpid:")).split()
                    if len(numbers) > 2 and numbers[-1] == "1":
                        return int(child)
        return None

    def processes(self) -> list[int]:
        """This machine's processes that live in the container's PID namespace."""
        found = []
        for entry in Path("/proc").iterdir():
            with contextlib.suppress(OSError):
                if entry.name.isdigit() and os.readlink(entry / "ns/pid") == self.pid_namespace:
                    found.append(int(entry.name))
        return found

    def stop(self) -> None:
        """Powers the container off; kills it when it does not go within the
        limit. Returns only when nspawn is reaped and no process of the
        container is left."""
        if self.process is None:
            return
        try:
            if self.pid_namespace is not None and self.process.poll() is None:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.run("systemctl", "poweroff", "--no-block", timeout=15, check=False)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.process.wait(timeout=self.POWEROFF_LIMIT)
        finally:
            # Killing PID 1 kills every process of its namespace.
            if self.pid_namespace is not None and self.pid1 in self.processes():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(self.pid1, signal.SIGKILL)
            if self.process.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=30)
            deadline = time.monotonic() + 10
            while self.pid_namespace is not None and self.processes() and time.monotonic() < deadline:
                time.sleep(0.1)
            left = self.processes() if self.pid_namespace is not None else []
            # The overlay went with the mount namespace; its layers stay.
            for name in ("upper", "work"):
                shutil.rmtree(self.workdir / name, ignore_errors=True)
            assert not left, f"processes of the container outlived it: {left}"

    def log(self) -> str:
        return (self.workdir / "nspawn.log").read_text(errors="replace")[-3000:]

    # ------------------------------------------------------------ inside

    def run(self, *command: str, timeout: float = 120, check: bool = True,
            input: str | None = None) -> subprocess.CompletedProcess:  # fmt: skip
        """Runs a command inside, with a clean environment. nsenter keeps this
        machine's capabilities; CAP_AUDIT_CONTROL is dropped from the bounding
        set, as it is for the container itself."""
        argv = [NSENTER, "-t", str(self.pid1), "-a", "/usr/bin/setpriv", "--bounding-set=-audit_control", "--",
                "/usr/bin/env", "-i", f"PATH={INSIDE_PATH}",
                "LANG=C.UTF-8", "HOME=/root", "DEBIAN_FRONTEND=noninteractive", *command]  # fmt: skip
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, input=input,
                              stdin=None if input is not None else subprocess.DEVNULL, check=False)  # fmt: skip
        if check and done.returncode != 0:
            raise AssertionError(f"{shlex.join(command)} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done

    def path(self, inside: str) -> Path:
        """A path of the container, as this machine reaches it."""
        return Path(f"/proc/{self.pid1}/root") / inside.lstrip("/")

    def wait_for(self, what: str, test, limit: float = 60, pause: float = 0.5):
        """Polls `test` until it returns something true; fails after `limit` seconds."""
        deadline = time.monotonic() + limit
        while True:
            value = test()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"{what}: not within {limit} s")
            time.sleep(pause)


def main(names: list[str]) -> int:
    for name in names or [f"boot:{SUITE}"]:
        kind, _, suite = name.partition(":")
        if kind not in ("boot", "build") or suite not in RELEASES:
            print(f"unknown root {name!r}: boot:SUITE or build:SUITE, SUITE one of {', '.join(RELEASES)}",
                  file=sys.stderr)  # fmt: skip
            return 2
        started = time.monotonic()

        def progress(step, name=name):
            print(f"   {name} {time.monotonic() - started:5.0f} s: {step}", file=sys.stderr, flush=True)

        try:
            if kind == "boot":
                root = cached_root(suite, progress=progress)
            else:
                root = cached_root(suite, build_packages(), "build", progress=progress)
        except ContainerUnusable as reason:
            print(f"{name}: {reason}", file=sys.stderr)
            return 1
        print(root, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
