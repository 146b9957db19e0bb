# SPDX-License-Identifier: LGPL-2.1-or-later
"""The built package under a real systemd: a root of the release the package
was built for (Debian 12 or 13) booted with systemd-nspawn, the package
installed with apt beside a stand-in module package, its units at work, its
autopkgtest, and its purge. TARNO_CONTAINER_DEBS names the packages (paths
joined by ":"; tools/test.sh gives one of each release); without it, the
package built here.

Runs after the sandbox tests (the container's syslog-ng is in this machine's
process table) and before the final check that the host is untouched.
"""

import contextlib
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from system_container import Container, ContainerUnusable, cached_root, release_of_package
from system_sandbox import INCLUDE_LINE, MAIN_CONFIG, REPO, USER_CONFIG, module_package_files, report_entries
from test_sandboxed_package import EXPOSURE_LIMIT, PACKAGE, built_package
from test_whole_host import BLOCKED, COMPLETED, STOPPED

DIAGNOSIS = "tarno-event-diagnostics.service"
TIMER = "tarno-event-diagnostics.timer"
HEALTHCHECK = "tarno-event-healthcheck.service"
REPORT_DIR = "/tessik/log/tarno"
REPORT = f"{REPORT_DIR}/self-diagnostics.report"
HEALTHCHECK_REPORT = f"{REPORT_DIR}/healthcheck.report"
STAMP = "/var/lib/systemd/timers/stamp-tarno-event-diagnostics.timer"
LOCK_DIR = "/run/tarno-event-diagnostics"
STAGE = "/var/tmp/tarno"
DROP_INS = "/etc/systemd/system"
PASSWORD = "$6$container$fixturehash"


def stand_in_module_package(folder: Path) -> Path:
    """syslog-ng-mod-tarno as a package of its own, with the module's files."""
    tree = folder / "syslog-ng-mod-tarno"
    (tree / "DEBIAN").mkdir(parents=True)
    (tree / "DEBIAN/control").write_text(
        "Package: syslog-ng-mod-tarno\nVersion: 0.0~stand.in\nArchitecture: all\n"
        "Maintainer: System Tests <tests@example.invalid>\nDepends: syslog-ng-core\n"
        "Description: stand-in of the module package for the container test\n")  # fmt: skip
    (tree / "DEBIAN/conffiles").write_text(USER_CONFIG + "\n")
    for path, file in module_package_files().items():
        target = tree / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(file.text)
        target.chmod(file.mode)
    deb = folder / "syslog-ng-mod-tarno.deb"
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", str(tree), str(deb)],
                   check=True, capture_output=True)  # fmt: skip
    return deb


def packages_to_boot():
    named = os.environ.get("TARNO_CONTAINER_DEBS")
    return [Path(path) for path in named.split(":")] if named else [None]


def release_id(deb):
    with contextlib.suppress(Exception):
        return release_of_package(deb)
    return deb.name if deb else "built-here"


@pytest.fixture(scope="module", params=packages_to_boot(), ids=release_id)
def package(request):
    """One package to test; each boots a container of its own release."""
    return request.param or built_package()  # skips when there is no package to test


@pytest.fixture(scope="module")
def container(package, tmp_path_factory):
    """A booted container, always powered off (or killed) and reaped afterwards."""
    if os.geteuid() != 0:
        pytest.skip("the container test needs root (it mounts an overlay and boots systemd-nspawn)")
    try:
        root = cached_root(release_of_package(package))
    except ContainerUnusable as reason:
        pytest.skip(str(reason))
    machine = Container(root, tmp_path_factory.mktemp("container"))
    try:
        machine.start()
        yield machine
    finally:
        machine.stop()


def show(machine, unit, *properties):
    listed = machine.run("systemctl", "show", "-p", ",".join(properties), unit).stdout
    return dict(line.split("=", 1) for line in listed.splitlines())


def is_active(machine, *units):
    return machine.run("systemctl", "is-active", *units, check=False).stdout.split()


def drop_in(machine, unit, name, text):
    target = machine.path(f"{DROP_INS}/{unit}.d/{name}")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(text)
    machine.run("systemctl", "daemon-reload")


def ran(machine, unit):
    """Whether a run of the oneshot unit has ended since it was last reset."""
    state = show(machine, unit, "ExecMainExitTimestampMonotonic", "ActiveState")
    return state["ExecMainExitTimestampMonotonic"] != "0" and state["ActiveState"] != "activating"


def read(machine, path):
    target = machine.path(path)
    return target.read_text() if target.exists() else None


def package_processes(machine):
    """The container's processes that run this package's tool."""
    found = []
    for pid in machine.processes():
        with contextlib.suppress(OSError):  # it may have ended meanwhile
            if re.search(rb"tarno[-_]event", Path(f"/proc/{pid}/cmdline").read_bytes()):
                found.append(pid)
    return found


def locked(machine, user):
    return machine.run("passwd", "-S", user).stdout.split()[1] == "L"


@pytest.fixture(scope="module")
def journey(container, package, tmp_path_factory):
    """Every step on the booted container, in order; the tests examine what
    each left behind."""
    deb = package
    machine, seen = container, {"boot": container.boot_seconds}
    seen["had_tessik"] = machine.path("/tessik").exists()
    stage = machine.path(STAGE)
    stage.mkdir(parents=True)
    shutil.copy(deb, stage / deb.name)
    shutil.copy(stand_in_module_package(tmp_path_factory.mktemp("stand-in")), stage / "syslog-ng-mod-tarno.deb")
    # The tests and the changelog only: autopkgtest takes that as a built tree,
    # with nothing to unpack or build (and so no need of dpkg-dev).
    shutil.copytree(REPO / "debian/tests", stage / "source/debian/tests")
    shutil.copy(REPO / "debian/changelog", stage / "source/debian/changelog")

    # Install: the timer and the health check run, the report folder is there.
    seen["install"] = machine.run("apt-get", "install", "-y", "--no-install-recommends",
                                  f"{STAGE}/syslog-ng-mod-tarno.deb", f"{STAGE}/{deb.name}", timeout=300)  # fmt: skip
    seen["enabled"] = machine.run("systemctl", "is-enabled", TIMER, HEALTHCHECK, check=False).stdout.split()
    seen["active"] = is_active(machine, TIMER, HEALTHCHECK)
    if machine.path(REPORT_DIR).is_dir():
        folder = machine.path(REPORT_DIR).stat()
        seen["folder"] = (oct(folder.st_mode & 0o7777), folder.st_uid, folder.st_gid)
    seen["stamp_after_install"] = machine.path(STAMP).exists()
    seen["exposure"] = {}
    for unit in (DIAGNOSIS, HEALTHCHECK):
        output = machine.run("systemd-analyze", "security", unit, check=False).stdout
        seen["exposure"][unit] = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", output)[1])

    # A broken host with syslog-ng stopped, diagnosed when the timer fires.
    machine.run("systemctl", "stop", HEALTHCHECK, "syslog-ng")
    seen["broken_main"] = read(machine, MAIN_CONFIG)
    machine.path(USER_CONFIG).write_text("# the module's settings\n")
    drop_in(machine, TIMER, "soon.conf", "[Timer]\nOnActiveSec=5s\nRandomizedDelaySec=0\n")
    machine.run("systemctl", "restart", TIMER)
    machine.wait_for("the timer's diagnosis", lambda: ran(machine, DIAGNOSIS), limit=90)
    seen["timer_run"] = show(machine, DIAGNOSIS, "Result", "ExecMainStatus", "ActiveState")
    seen["timer_triggered"] = show(machine, TIMER, "LastTriggerUSec")["LastTriggerUSec"]
    seen["timer_report"] = read(machine, REPORT)
    seen["repaired"] = {path: read(machine, path) for path in (MAIN_CONFIG, USER_CONFIG)}
    seen["syslog_ng_after_diagnosis"] = is_active(machine, "syslog-ng")
    seen["journal"] = machine.run("journalctl", "--no-pager", "-o", "cat", "-u", DIAGNOSIS, check=False).stdout
    machine.path(f"{DROP_INS}/{TIMER}.d/soon.conf").unlink()
    machine.run("systemctl", "daemon-reload")

    # The health check restarts a stopped syslog-ng on its next pass.
    drop_in(machine, HEALTHCHECK, "often.conf", "[Service]\nEnvironment=TARNO_EVENT_DIAGNOSTICS_OPTIONS=--interval=1\n")
    machine.run("systemctl", "start", HEALTHCHECK)
    machine.run("systemctl", "stop", "syslog-ng")
    machine.wait_for("the health check's restart",
                     lambda: STOPPED in (read(machine, HEALTHCHECK_REPORT) or "")
                     and is_active(machine, "syslog-ng") == ["active"])  # fmt: skip
    seen["healthcheck_report"] = read(machine, HEALTHCHECK_REPORT)

    # With block.conf: both lock the accounts when syslog-ng cannot start.
    machine.run("useradd", "-u", "1000", "-p", PASSWORD, "alice")
    machine.run("mkdir", "-p", f"{DROP_INS}/tarno-event-.service.d")
    machine.run("cp", "/usr/share/doc/tarno-event-diagnostics/examples/block.conf", f"{DROP_INS}/tarno-event-.service.d/")
    machine.run("systemctl", "daemon-reload")
    repaired_main = read(machine, MAIN_CONFIG)
    machine.path(MAIN_CONFIG).write_text(repaired_main + "filter f_broken { level(debug) ;\n")
    machine.run("systemctl", "restart", HEALTHCHECK)
    machine.run("systemctl", "stop", "syslog-ng")
    seen["healthcheck_locked"] = machine.wait_for("the health check's blocking", lambda: locked(machine, "alice"))
    machine.run("systemctl", "stop", HEALTHCHECK)
    machine.run("usermod", "-U", "alice")
    machine.run("systemctl", "start", DIAGNOSIS, check=False, timeout=300)
    seen["block_run"] = show(machine, DIAGNOSIS, "Result", "ExecMainStatus")
    seen["diagnosis_locked"] = locked(machine, "alice")
    seen["block_report"] = read(machine, REPORT)
    machine.path(MAIN_CONFIG).write_text(repaired_main)
    machine.run("rm", "-r", f"{DROP_INS}/tarno-event-.service.d", f"{DROP_INS}/{HEALTHCHECK}.d")
    machine.run("systemctl", "daemon-reload")
    machine.run("systemctl", "reset-failed")
    machine.run("systemctl", "start", "syslog-ng", HEALTHCHECK)

    # The package's own test, through autopkgtest on this testbed. The container
    # is the isolation that the test asks for; the null testbed does not claim it
    # (autopkgtest 5.49 of Debian 13 skips the test unless told).
    seen["autopkgtest"] = machine.run("autopkgtest", "--ignore-restrictions=isolation-container",
                                      f"{STAGE}/source/", "--", "null", check=False, timeout=600)  # fmt: skip

    # Purge, with the health check running and the lock left by the diagnoses.
    seen["before_purge"] = (package_processes(machine) != [], machine.path(LOCK_DIR).exists())
    seen["purge"] = machine.run("apt-get", "purge", "-y", PACKAGE, timeout=300)
    seen["units_left"] = machine.run("systemctl", "list-units", "--all", "--no-legend", "tarno-event-*",
                                     check=False).stdout  # fmt: skip
    seen["unit_files_left"] = machine.run("systemctl", "list-unit-files", "--no-legend", "tarno-event-*",
                                          check=False).stdout  # fmt: skip
    seen["stamp_after_purge"] = machine.path(STAMP).exists()
    seen["lock_after_purge"] = machine.path(LOCK_DIR).exists()
    seen["processes_after_purge"] = package_processes(machine)
    seen["folder_after_purge"] = sorted(p.name for p in machine.path(REPORT_DIR).glob("*"))
    return seen


def test_install_enables_the_units_and_makes_the_report_folder(journey):
    assert not journey["had_tessik"]
    assert journey["install"].returncode == 0
    assert journey["enabled"] == ["enabled", "enabled"] and journey["active"] == ["active", "active"]
    # As a diagnosis makes it: mkdir() under systemd's default umask 0022.
    assert journey.get("folder") == ("0o755", 0, 0)
    assert journey["stamp_after_install"]
    assert all(figure <= EXPOSURE_LIMIT for figure in journey["exposure"].values()), journey["exposure"]


def test_the_first_timer_started_diagnosis_repairs_the_host_and_writes_its_report(journey):
    assert 'filter f_audit' not in journey["broken_main"]
    assert journey["timer_run"] == {"Result": "success", "ExecMainStatus": "1", "ActiveState": "inactive"}, (
        journey["journal"])
    assert journey["timer_triggered"] not in ("", "n/a", "0")
    assert journey["repaired"][USER_CONFIG] == INCLUDE_LINE + "\n# the module's settings\n\n"
    assert journey["repaired"][MAIN_CONFIG].endswith('filter f_audit { program("audit"); };\n')
    entries = report_entries(journey["timer_report"])
    assert f"critical: {STOPPED}" in entries and f"error: {USER_CONFIG} is wrong" in entries
    assert entries[-1].startswith(COMPLETED)
    # systemctl restart syslog-ng from inside the hardened unit.
    assert journey["syslog_ng_after_diagnosis"] == ["active"]


def test_the_health_check_restarts_a_stopped_syslog_ng(journey):
    assert f"critical: {STOPPED}" in report_entries(journey["healthcheck_report"])


def test_both_services_lock_the_accounts_when_syslog_ng_cannot_start(journey):
    assert journey["healthcheck_locked"] and journey["diagnosis_locked"]
    assert journey["block_run"] == {"Result": "success", "ExecMainStatus": "1"}
    entries = report_entries(journey["block_report"])
    cannot_start = next(i for i, entry in enumerate(entries) if entry.startswith("critical: Can not start syslog-ng"))
    assert entries[cannot_start + 1] == f"warning: {BLOCKED}"


def test_the_autopkgtest_passes_under_systemd(journey):
    done = journey["autopkgtest"]
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert re.search(r"^diagnose-broken-testbed\s+PASS", done.stdout + done.stderr, re.M), done.stdout[-2000:]


def test_purge_leaves_no_unit_stamp_process_or_lock(journey):
    assert journey["before_purge"] == (True, True)
    assert journey["purge"].returncode == 0
    assert (journey["units_left"], journey["unit_files_left"].strip()) == ("", "")
    assert not journey["stamp_after_purge"] and not journey["lock_after_purge"]
    assert journey["processes_after_purge"] == []
    # The folder belongs to the subsystem and stays; the package's reports go.
    assert "self-diagnostics.report" not in journey["folder_after_purge"]
    assert "healthcheck.report" not in journey["folder_after_purge"]
