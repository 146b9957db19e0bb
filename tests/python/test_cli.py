# SPDX-License-Identifier: LGPL-2.1-or-later
"""The command-line tool: options, exit status, signals, and whole runs of the engine."""

import asyncio
import fcntl
import os
import re
import resource
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import pytest

from tarno_event_diagnostics import cli, lock

REPO = Path(__file__).resolve().parents[2]
TESTS = Path(__file__).resolve().parent
PYTHON = sys.executable
BUILD = Path(os.environ.get("TARNO_BUILD_DIR", REPO / "build"))
ENGINE_BUILT = any((BUILD / "src/tarno_event_diagnostics").glob("journal_inspector*.so"))
needs_engine = pytest.mark.skipif(not ENGINE_BUILT, reason="the engine is not built (meson compile -C build)")

# ---------------------------------------------------------------- a stand-in engine
#
# It keeps its state under the engine's mangled names and calls its senders
# through self, so the tool's subclass sees what it would see in the engine.
# Its behaviour comes from the environment, so a child process can use it too.


class JournalInspector:
    instances = []

    def __init__(self, report_file, cfg, block=False, verbose=False):
        self.__cfg = cfg
        self.__block = block
        self.__verbose = verbose
        self.__report_file_path = Path(report_file)
        self.__report_file = None
        self.__error_count = 0
        if self.__report_file_path.parent.is_dir():
            self.__report_file = open(self.__report_file_path, "w")
        JournalInspector.instances.append(self)

    def __send_report_message(self, level, msg):
        self.__error_count += 1
        if self.__report_file is not None:
            self.__report_file.write(f"{level.lower()}: {msg}\n")
            self.__report_file.flush()

    def __send_end_check_message(self):
        self.__error_count = 0
        if self.__report_file is not None:
            self.__report_file.close()

    def __findings(self):
        if "FAKE_RAISE" in os.environ:
            raise RuntimeError(os.environ["FAKE_RAISE"])
        if "FAKE_INTERRUPT" in os.environ:
            raise KeyboardInterrupt
        for _ in range(int(os.environ.get("FAKE_FINDINGS", "0"))):
            self.__send_report_message("ERROR", "finding")

    def test(self):
        self.__findings()
        self.__send_end_check_message()

    async def run(self):
        await asyncio.sleep(0)
        self.__findings()
        self.__send_end_check_message()

    async def run_healthcheck(self):
        while True:
            self.__findings()
            print("pass", flush=True)
            await asyncio.sleep(self.__cfg.check_timeout)


def fake_engine():
    module = types.ModuleType("tarno_event_diagnostics.journal_inspector")
    module.JournalInspector = JournalInspector
    return module


@pytest.fixture(autouse=True)
def lock_dir(tmp_path, monkeypatch):
    """Every run of the tool here, in this process or a child, locks in tmp, not in /run."""
    directory = tmp_path / "lock"
    monkeypatch.setenv(lock.DIR_VARIABLE, str(directory))
    return directory


@pytest.fixture
def fake(monkeypatch):
    monkeypatch.setitem(sys.modules, "tarno_event_diagnostics.journal_inspector", fake_engine())
    for name in ("FAKE_FINDINGS", "FAKE_RAISE", "FAKE_INTERRUPT"):
        monkeypatch.delenv(name, raising=False)
    JournalInspector.instances = []
    # The stand-in repairs nothing: it may run as any user.
    monkeypatch.setattr(cli.paths, "running_as_root", lambda: True)
    return JournalInspector


def child_env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(REPO / "src"), str(BUILD / "src"), str(TESTS)])
    env.update(extra)
    return env


LAUNCH_WITH_FAKE = (
    "import sys, test_cli\n"
    "sys.modules['tarno_event_diagnostics.journal_inspector'] = test_cli.fake_engine()\n"
    "raise SystemExit(test_cli.cli.main())\n"
)


# The engine always checks its own report directory, /tessik/log/tarno, and
# reports it when it is missing. Runs that look at the report point that
# directory at a temporary one, so that what they see does not depend on this
# machine's /tessik.
LAUNCH_WITH_REPORT_DIR = (
    "import os, sys\n"
    "from pathlib import Path\n"
    "from tarno_event_diagnostics import journal_inspector\n"
    "journal_inspector.JournalInspector.default_dir = Path(os.environ['TEST_REPORT_DIR'])\n"
    "from tarno_event_diagnostics.cli import main\n"
    "raise SystemExit(main())\n"
)


# On a machine without a system log the tool says so on standard error and in
# the report; what these tests look at is the rest.
SYSTEM_LOG_NOTES = re.compile(
    r"^.*tarno-event-diagnostics: (/dev/log does not exist: .*|the system log did not take \d+ line.*)\n", re.M)


def without_system_log_notes(text):
    return text if os.path.exists("/dev/log") else SYSTEM_LOG_NOTES.sub("", text)


def tool(*args, env=None, launcher=None, **kwargs):
    command = [PYTHON, "-c", launcher] if launcher else [PYTHON, "-m", "tarno_event_diagnostics"]
    result = subprocess.run(
        [*command, *map(str, args)],
        env=env or child_env(),
        capture_output=True,
        text=True,
        timeout=60,
        **kwargs,
    )
    result.stderr = without_system_log_notes(result.stderr)
    return result


# ---------------------------------------------------------------- usage


def test_help_explains_every_option():
    result = tool("--help")
    assert result.returncode == 0
    for option in ("--report PATH", "--block", "--verbose", "--interval SECONDS", "run", "healthcheck", "test"):
        assert option in result.stdout
    assert "/tessik/log/tarno/" in result.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "--interval", "abc"], "--interval: not a number of seconds: 'abc'"),
        (["healthcheck", "--interval=-1"], "--interval: must be a non-negative number"),
        (["healthcheck", "--interval", "nan"], "--interval: must be a non-negative number"),
        (["run", "--wait", "-1"], "--wait: must be a non-negative number"),
        (["test", "--wait", "soon"], "--wait: not a number of seconds: 'soon'"),
        (["test", "--report", "/dev/full"], "/dev/full is a character device, not a regular file"),
        (["run", "--report", "/nonexistent/dir/r"], "directory /nonexistent/dir does not exist"),
        (["run", "--report", "/etc/passwd/r"], "/etc/passwd is not a directory"),
        (["run", "--report", "/tmp"], "/tmp is a directory"),
        (["run", "--report", ""], "must not be empty"),
        (["run", "--metrics", "/nonexistent/dir/m.prom"], "--metrics: directory /nonexistent/dir does not exist"),
        (["healthcheck", "--metrics", "/tmp"], "--metrics: /tmp is a directory"),
        (["run", "--metrics", "/dev/null"], "--metrics: /dev/null is a character device, not a regular file"),
        (["run", "--metrics", "/dev/stdout"], "--metrics: /dev/stdout is a symbolic link, not a regular file"),
        (["run", "--report", "/proc/sys/kernel/hostname"], "is on the pseudo file system proc, not a regular"),
        (["test", "--report", "/sys/kernel/new.report"], "is on the pseudo file system sysfs, not a regular"),
        (["run", "--dry-run", "--metrics", "/tmp/m.prom"], "a dry run must not overwrite the metrics of the last real"),
        (["test", "--dry-run"], "--dry-run: only run and healthcheck have a dry run, not test"),
        ([], "required: COMMAND"),
        (["diagnose"], "invalid choice: 'diagnose'"),
        (["run", "--fast"], "unrecognized arguments: --fast"),
    ],
)
def test_usage_errors_exit_2_with_one_clear_line(args, message):
    result = tool(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    last = result.stderr.splitlines()[-1]
    assert re.match(r"tarno-event-diagnostics( \w+)?: error: ", last)
    assert message in last
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("args", [["run"], ["test"], ["healthcheck"], ["run", "--dry-run"]])
def test_every_command_needs_root(fake, monkeypatch, capsys, args):
    monkeypatch.setattr(cli.paths, "running_as_root", lambda: False)
    assert cli.main(args) == 2
    assert capsys.readouterr().err == f"tarno-event-diagnostics: error: must run as root, not as uid {os.geteuid()}\n"
    assert fake.instances == []


def test_report_in_the_missing_report_directory_is_left_to_the_engine(fake):
    # The engine creates /tessik/log/tarno itself, so the path is accepted.
    assert cli.main(["test", "--report", "/tessik/log/tarno/x.report"]) == 0
    assert str(fake.instances[0]._JournalInspector__report_file_path) == "/tessik/log/tarno/x.report"


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give files away")
NOBODY = 65534


def _link(path, target, owner=0):
    os.symlink(target, path)
    os.lchown(path, owner, owner)
    return path


def _folder(tmp_path, mode, owner=0):
    folder = tmp_path / "shared"
    folder.mkdir()
    folder.chmod(mode)
    os.chown(folder, owner, owner)
    return folder


def _socket(path):
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))
    return path


STICKY_LINK = "is a symbolic link in the world-writable sticky folder"
# A report path made in tmp -> the usage error it gives, or None when it is accepted.
REPORT_PATHS = {
    "fifo": (lambda t: os.mkfifo(t / "r") or t / "r", "is a FIFO, not a regular file"),
    "socket": (lambda t: _socket(t / "r"), "is a socket, not a regular file"),
    "link-to-device": (lambda t: _link(t / "r", "/dev/full"), "is a character device, not a regular file"),
    "foreign-link-in-sticky": (lambda t: _link(_folder(t, 0o1777) / "r", t / "target", NOBODY), STICKY_LINK),
    "foreign-folder-link-in-sticky": (lambda t: _link(_folder(t, 0o1777) / "d", t, NOBODY) / "target", STICKY_LINK),
    "own-link-in-sticky": (lambda t: _link(_folder(t, 0o1777) / "r", t / "target"), None),
    "folder-owners-link-in-sticky": (lambda t: _link(_folder(t, 0o1777, NOBODY) / "r", t / "target", NOBODY), None),
    "foreign-link-in-open-folder": (lambda t: _link(_folder(t, 0o777) / "r", t / "target", NOBODY), None),
    "null-device": (lambda t: "/dev/null", None),
}


@needs_root
@pytest.mark.parametrize("name", REPORT_PATHS)
def test_report_paths_are_checked_as_the_kernel_protects_root(fake, tmp_path, capsys, name):
    make, message = REPORT_PATHS[name]
    status = cli.main(["run", "--report", str(make(tmp_path))])
    if message is None:
        assert (status, len(fake.instances)) == (0, 1)
        return
    assert status == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert last.startswith("tarno-event-diagnostics: error: --report: ") and message in last
    assert fake.instances == [] and not (tmp_path / "target").exists()


def test_healthcheck_has_a_report_of_its_own(fake, monkeypatch):
    monkeypatch.setenv("FAKE_RAISE", "stop")
    assert cli.main(["healthcheck"]) == 3
    assert str(fake.instances[0]._JournalInspector__report_file_path) == (
        "/tessik/log/tarno/healthcheck.report"
    )


# ---------------------------------------------------------------- the lock


@pytest.fixture
def held_lock(lock_dir):
    """The lock, held by another open file, as another run would hold it."""
    lock_dir.mkdir(mode=0o700)
    holder = os.open(lock_dir / "diagnosis.lock", os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(holder, fcntl.LOCK_EX)
    yield holder
    os.close(holder)


@pytest.mark.parametrize("command", ["run", "test"])
def test_a_second_run_exits_4_and_leaves_the_report_alone(fake, held_lock, lock_dir, tmp_path, capsys, command):
    report = tmp_path / "r"
    report.write_text("the other run's report\n")
    started = time.monotonic()
    assert cli.main([command, "--wait", "0.3", "--report", str(report)]) == 4
    assert time.monotonic() - started >= 0.3
    assert capsys.readouterr().err == (
        f"tarno-event-diagnostics: another run holds the lock {lock_dir}/diagnosis.lock; "
        "gave up after 0.3 s\n"
    )
    assert fake.instances == []
    assert report.read_text() == "the other run's report\n"


def test_a_waiting_run_goes_on_when_the_lock_is_released(fake, held_lock, tmp_path):
    threading.Timer(0.2, fcntl.flock, (held_lock, fcntl.LOCK_UN)).start()
    assert cli.main(["run", "--wait", "30", "--report", str(tmp_path / "r")]) == 0
    assert len(fake.instances) == 1


def test_healthcheck_runs_beside_a_held_lock(fake, held_lock, monkeypatch, tmp_path):
    monkeypatch.setenv("FAKE_RAISE", "reached the engine")
    assert cli.main(["healthcheck", "--report", str(tmp_path / "r")]) == 3
    assert len(fake.instances) == 1


def test_the_lock_is_made_private_and_released_at_the_end(fake, lock_dir, tmp_path):
    assert cli.main(["test", "--report", str(tmp_path / "r")]) == 0
    lock = lock_dir / "diagnosis.lock"
    assert stat.S_IMODE(lock_dir.stat().st_mode) == 0o700
    assert (stat.S_IFMT(lock.lstat().st_mode), stat.S_IMODE(lock.stat().st_mode)) == (stat.S_IFREG, 0o600)
    with open(lock) as again:
        fcntl.flock(again, fcntl.LOCK_EX | fcntl.LOCK_NB)


# Ways to prepare the lock folder d (in tmp t) for abuse.
LOCK_ABUSES = {
    "linked-file": lambda d, t: (d.mkdir(mode=0o700), (d / "diagnosis.lock").symlink_to(t / "target")),
    "linked-folder": lambda d, t: ((t / "elsewhere").mkdir(mode=0o700), d.symlink_to(t / "elsewhere")),
    "open-folder": lambda d, t: (d.mkdir(), d.chmod(0o1777)),
    "fifo": lambda d, t: (d.mkdir(mode=0o700), os.mkfifo(d / "diagnosis.lock")),
}


@pytest.mark.parametrize("name", LOCK_ABUSES)
def test_a_lock_file_that_could_be_abused_is_refused(fake, lock_dir, tmp_path, capsys, name):
    LOCK_ABUSES[name](lock_dir, tmp_path)
    assert cli.main(["run", "--report", str(tmp_path / "r")]) == 3
    err = capsys.readouterr().err
    assert err.startswith(f"tarno-event-diagnostics: error: cannot take the lock {lock_dir}/diagnosis.lock: ")
    assert len(err.splitlines()) == 1
    assert fake.instances == []
    assert not (tmp_path / "target").exists() and not (tmp_path / "elsewhere" / "diagnosis.lock").exists()


# ---------------------------------------------------------------- exit status and settings (stand-in engine)


@pytest.mark.parametrize("command", ["run", "test"])
@pytest.mark.parametrize("findings, status", [(0, 0), (1, 1), (3, 1)])
def test_exit_status_follows_the_count_of_the_end_message(fake, monkeypatch, tmp_path, command, findings, status):
    monkeypatch.setenv("FAKE_FINDINGS", str(findings))
    assert cli.main([command, "--report", str(tmp_path / "r")]) == status
    # The end message resets the engine's counter; the tool kept the figure.
    assert fake.instances[0]._JournalInspector__error_count == 0
    assert fake.instances[0].finding_count == findings


@pytest.mark.parametrize(
    "args",
    [
        ["--block", "--verbose", "--interval", "2.5", "--report", "{r}", "run"],
        ["run", "--block", "--verbose", "--interval", "2.5", "--report", "{r}"],
        ["--block", "--report", "{r}", "run", "--verbose", "--interval", "2.5"],
    ],
    ids=["before", "after", "mixed"],
)
def test_options_reach_the_engine_before_or_after_the_command(fake, tmp_path, args):
    report = str(tmp_path / "r")
    assert cli.main([a.replace("{r}", report) for a in args]) == 0
    (inspector,) = fake.instances
    assert inspector._JournalInspector__block is True
    assert inspector._JournalInspector__verbose is True
    assert str(inspector._JournalInspector__report_file_path) == report
    assert inspector._JournalInspector__cfg.check_timeout == 2.5


def test_a_dry_run_gives_the_engine_its_system_log_back(fake, capsys):
    import syslog

    engine = sys.modules["tarno_event_diagnostics.journal_inspector"]
    engine.syslog = syslog
    assert cli.main(["run", "--dry-run"]) == 0
    assert engine.syslog is syslog
    assert capsys.readouterr().out.endswith("Dry run: nothing was changed; a real run would make 0 change(s).\n")


def test_defaults(fake):
    assert cli.main(["run"]) == 0
    (inspector,) = fake.instances
    assert str(inspector._JournalInspector__report_file_path) == "/tessik/log/tarno/self-diagnostics.report"
    assert (inspector._JournalInspector__block, inspector._JournalInspector__verbose) == (False, False)
    assert inspector._JournalInspector__cfg.check_timeout == 60


@pytest.mark.parametrize("command", ["run", "test"])
def test_an_exception_exits_3_with_one_line(fake, monkeypatch, tmp_path, capsys, command):
    monkeypatch.setenv("FAKE_RAISE", "broken\npipe")
    assert cli.main([command, "--report", str(tmp_path / "r")]) == 3
    assert capsys.readouterr().err == "tarno-event-diagnostics: error: RuntimeError: broken pipe\n"


def test_a_missing_engine_exits_3(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "tarno_event_diagnostics.journal_inspector", None)
    assert cli.main(["run", "--report", str(tmp_path / "r")]) == 3
    assert capsys.readouterr().err.startswith("tarno-event-diagnostics: error: ModuleNotFoundError: ")


def test_interrupt_exits_130_without_traceback(fake, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("FAKE_INTERRUPT", "1")
    assert cli.main(["test", "--report", str(tmp_path / "r")]) == 130
    assert capsys.readouterr().err == "tarno-event-diagnostics: interrupted\n"


def test_a_run_without_end_message_is_a_failure(fake, monkeypatch, tmp_path, capsys):
    async def no_end(self):
        return None

    monkeypatch.setattr(fake, "run", no_end)
    assert cli.main(["run", "--report", str(tmp_path / "r")]) == 3
    assert "without a result" in capsys.readouterr().err


# ---------------------------------------------------------------- healthcheck and signals


def wait_for_line(process, expected, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if line == expected:
            return
        assert line, f"child ended early: {process.stderr.read()}"
    pytest.fail(f"no {expected!r} from the child")


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("findings, status", [(0, 0), (2, 1)])
def test_healthcheck_stops_cleanly_on_a_signal(tmp_path, signum, findings, status):
    child = subprocess.Popen(
        [PYTHON, "-c", LAUNCH_WITH_FAKE, "healthcheck", "--interval", "0.05", "--report", str(tmp_path / "r")],
        env=child_env(FAKE_FINDINGS=str(findings)),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # A pass is printed only once the stop handlers are in place.
        wait_for_line(child, "pass\n")
        wait_for_line(child, "pass\n")
        # No end message closes the report: each finding is flushed at once.
        assert (tmp_path / "r").read_text().count("error: finding\n") >= 2 * findings
        child.send_signal(signum)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert (child.returncode, stderr) == (status, "")


# ---------------------------------------------------------------- the real engine


@pytest.fixture
def fake_bin(tmp_path):
    """Stand-ins for the programs the engine runs, first on PATH."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "commands.log"
    scripts = {
        # Only unrelated packages installed: the run needs none of the
        # checks that would repair files of this machine.
        "dpkg-query": "printf 'ii bash\\nii syslog-ng-core\\n'",
        "systemctl": f'echo "systemctl $*" >> {log}',
        "syslog-ng": f'echo "syslog-ng $*" >> {log}',
        "usermod": f'echo "usermod $*" >> {log}',
        "auditctl": f'echo "auditctl $*" >> {log}',
    }
    for name, body in scripts.items():
        script = bin_dir / name
        script.write_text(f"#!/bin/sh\n{body}\n")
        script.chmod(0o755)
    return child_env(PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}", TEST_REPORT_DIR=str(tmp_path))


STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?[+-]\d\d:\d\d tarno-event-diagnostics: "
SELF_TEST_LINES = [
    "Self-diagnostics of the event registration subsystem has been started",
    "critical: test",
    "test",
    "error: test",
    "test",
    "warning: test",
    "test",
    "Self-diagnostics of the event registration subsystem is completed: errors=3",
]


def unstamped(text):
    """The lines of a report without their time stamps; continuation lines have none."""
    return [re.sub(STAMP, "", line) for line in without_system_log_notes(text).splitlines()]


@needs_engine
def test_engine_self_test_through_the_module_entry(tmp_path):
    result = tool("test", "--verbose", "--report", tmp_path / "r")
    assert (result.returncode, result.stderr) == (1, "")
    # Lines about this machine's report directory may come first.
    assert unstamped(result.stdout)[-len(SELF_TEST_LINES) :] == SELF_TEST_LINES


@needs_engine
@pytest.mark.parametrize("verbose", [[], ["--verbose"]], ids=["quiet", "verbose"])
def test_engine_self_test_writes_the_report(tmp_path, verbose):
    report = tmp_path / "self-test.report"
    result = tool(
        "test", *verbose, "--report", report,
        launcher=LAUNCH_WITH_REPORT_DIR, env=child_env(TEST_REPORT_DIR=str(tmp_path)),
    )
    assert (result.returncode, result.stderr) == (1, "")
    assert unstamped(report.read_text()) == SELF_TEST_LINES
    assert all(re.match(STAMP, line) for line in report.read_text().splitlines() if line != "test")
    assert result.stdout == (without_system_log_notes(report.read_text()) if verbose else "")


@needs_engine
def test_engine_run_reports_missing_packages(tmp_path, fake_bin):
    report = tmp_path / "run.report"
    result = tool("run", "--report", report, env=fake_bin, launcher=LAUNCH_WITH_REPORT_DIR)
    assert (result.returncode, result.stderr) == (1, "")
    lines = unstamped(report.read_text())
    assert [line for line in lines if line.startswith("critical: ")] == [
        "critical: syslog-ng is not installed",
        "critical: syslog-ng-mod-tarno is not installed",
        "critical: auditd is not installed",
    ]
    assert lines[-1].endswith("is completed: errors=3")
    # Blocking was not asked for, and no other check ran: no command at all.
    assert not (tmp_path / "commands.log").exists()


def _no_file_may_grow():
    # A write to a file then fails with EFBIG: a full disk without filling one.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))


@needs_engine
def test_engine_run_goes_on_when_its_report_cannot_be_written(fake_bin, tmp_path):
    import json

    result = tool(
        "test", "--json", "--report", tmp_path / "r", env=fake_bin, launcher=LAUNCH_WITH_REPORT_DIR,
        preexec_fn=_no_file_may_grow,
    )
    assert (result.returncode, result.stderr) == (1, "")
    records = [json.loads(line) for line in result.stdout.splitlines()]
    findings = [(r["level"], r["message"]) for r in records if r["record"] == "finding"]
    # The first line that the file refuses is reported once; every finding is counted.
    assert findings == [("error", f"report file {tmp_path / 'r'} could not be written: [Errno 27] File too large"),
                        ("critical", "test\ntest"), ("error", "test\ntest"), ("warning", "test\ntest")]  # fmt: skip
    assert records[-1]["counts"] == {"critical": 1, "error": 2, "warning": 1}


def caught_signals(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("SigCgt:"):
            return int(line.split()[1], 16)
    return 0


def signalled(args, env, signum, ready, settle=0.0):
    """Runs the tool with `args` in a process group of its own, sends `signum` to
    the whole group (as a terminal or the service manager does) `settle` seconds
    after `ready(pid)` holds, and returns its status, output and errors."""
    child = subprocess.Popen([PYTHON, "-c", *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)  # fmt: skip
    try:
        deadline = time.monotonic() + 30
        while not ready(child.pid):
            assert child.poll() is None, child.stderr.read()
            assert time.monotonic() < deadline, "the tool never got ready for the signal"
            time.sleep(0.01)
        time.sleep(settle)
        os.killpg(child.pid, signum)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.communicate()
    return child.returncode, stdout, without_system_log_notes(stderr)


def restart_until_signalled(tmp_path):
    """A systemctl whose restart lasts until a signal ends it; tells when it began."""
    log = tmp_path / "commands.log"
    (tmp_path / "bin" / "systemctl").write_text(f'#!/bin/sh\necho "systemctl $*" >> {log}\nexec sleep 60\n')
    return lambda pid: log.exists() and "systemctl restart" in log.read_text()


@needs_engine
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize(
    "dry_run, in_restart",
    [([], False), ([], True), (["--dry-run"], False)],
    ids=["real", "real-in-restart", "dry-run"],
)
def test_engine_healthcheck_stops_cleanly_on_a_signal(tmp_path, fake_bin, signum, dry_run, in_restart):
    report = tmp_path / "healthcheck.report"
    log = tmp_path / "commands.log"
    restarting = restart_until_signalled(tmp_path) if in_restart else lambda pid: True

    def ready(pid):
        # SIGTERM is caught only once the stop handlers are in place.
        return caught_signals(pid) & (1 << (signal.SIGTERM - 1)) and restarting(pid)

    # No syslog-ng runs for the dry run nor for the restart, whatever this machine runs.
    launcher = LAUNCH_ON_FILES if dry_run or in_restart else LAUNCH_WITH_REPORT_DIR
    status, stdout, stderr = signalled(
        [launcher, "healthcheck", "--interval", "0.05", "--report", str(report), *dry_run],
        dict(fake_bin, TEST_PATHS=f'{{"default_dir": "{tmp_path}"}}'), signum, ready, settle=0.2,
    )
    if in_restart:
        assert log.read_text().count("systemctl restart") == 1
    if in_restart or status not in (0, 1):
        # The pass that the signal cut short was the last; its report says so.
        assert (status, stderr) == STOPPED[signum]
        assert unstamped(report.read_text())[-1] == INTERRUPTED_LINE.format(signum.name)
        return
    # Between two passes the endless check just ends.
    assert stderr == ""
    if status == 1:
        # Findings of the endless check reach the file without an end message.
        assert "critical: " in report.read_text()
    if dry_run:
        # Each pass shows the restart it would make, and makes none.
        assert "would run: systemctl restart syslog-ng" in stdout
        assert not log.exists() or "systemctl" not in log.read_text()


STOPPED = {signal.SIGINT: (130, "tarno-event-diagnostics: interrupted\n"),
           signal.SIGTERM: (143, "tarno-event-diagnostics: terminated\n"),
           signal.SIGHUP: (129, "tarno-event-diagnostics: terminated\n")}  # fmt: skip
INTERRUPTED_LINE = "Self-diagnostics of the event registration subsystem was interrupted by {}: no further change was made"


def files_env(tmp_path, fake_bin, packages):
    import json

    (tmp_path / "bin" / "dpkg-query").write_text(f"#!/bin/sh\nprintf '{packages}'\n")
    paths = {name: str(tmp_path / name) for name in (
        "syslog_config_file", "syslog_user_config_file", "syslog_default_config_file", "audit_rules_file", "default_dir")}
    return dict(fake_bin, TEST_PATHS=json.dumps(paths), TARNO_EVENT_DIAGNOSTICS_LOCK_DIR=str(tmp_path / "lock"))


@needs_engine
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_engine_run_stopped_in_a_hung_restart_changes_nothing_more(tmp_path, fake_bin, signum):
    env = files_env(tmp_path, fake_bin, "ii syslog-ng\\nii syslog-ng-mod-tarno\\nii auditd\\n")
    restarting, began = restart_until_signalled(tmp_path), []
    status, _, stderr = signalled([LAUNCH_ON_FILES, "run", "--block", "--report", str(tmp_path / "report")], env,
                                  signum, lambda pid: restarting(pid) and not began.append(time.monotonic()))  # fmt: skip
    took = time.monotonic() - began[0]
    assert (status, stderr) == STOPPED[signum]
    # Neither the blocking that the failed restart would lead to, nor the audit checks.
    assert (tmp_path / "commands.log").read_text() == "systemctl restart syslog-ng\n"
    assert unstamped((tmp_path / "report").read_text())[-1] == INTERRUPTED_LINE.format(signum.name)
    assert took < 10, took  # 5 s is the promise


LAUNCH_ON_FILES = (
    "import json, os, sys\n"
    "from pathlib import Path\n"
    "from tarno_event_diagnostics import journal_inspector\n"
    "for name, path in json.loads(os.environ['TEST_PATHS']).items():\n"
    "    setattr(journal_inspector.JournalInspector, name, Path(path))\n"
    "class SystemGetter:\n"  # no daemon runs, whatever this machine runs
    "    is_process_running = staticmethod(lambda name: False)\n"
    "journal_inspector.SystemGetter = SystemGetter\n"
    "from tarno_event_diagnostics.cli import main\n"
    "raise SystemExit(main())\n"
)


@needs_engine
def test_engine_dry_run_shows_diff_u_and_changes_nothing(tmp_path, fake_bin):
    import json

    from tarno_event_diagnostics.dry_run import NOT_KNOWN, reworded

    main = tmp_path / "syslog-ng.conf"
    main.write_text("@version: 3.38\nsource s_src { system(); internal(); };\n# no final line feed")
    user = tmp_path / "mod-tarno.conf"
    user.write_text("# settings\n")
    (tmp_path / "default.conf").write_text("")
    paths = {"syslog_config_file": main, "syslog_user_config_file": user, "syslog_default_config_file":
             tmp_path / "default.conf", "audit_rules_file": tmp_path / "rules.d" / "tarno.rules",
             "default_dir": tmp_path / "missing-report-dir"}  # fmt: skip
    (tmp_path / "rules.d").mkdir()
    (tmp_path / "bin" / "dpkg-query").write_text("#!/bin/sh\nprintf 'ii syslog-ng\\nii syslog-ng-mod-tarno\\nii auditd\\n'\n")
    before = {path: path.read_bytes() for path in (main, user)}
    env = dict(fake_bin, TEST_PATHS=json.dumps({name: str(path) for name, path in paths.items()}))
    report = tmp_path / "rules.d" / "dry-run.report"
    result = tool("run", "--dry-run", "--json", "--block", "--report", report, env=env, launcher=LAUNCH_ON_FILES)
    assert result.returncode == 1, result.stderr
    # The report says what would be done, and last that it was a dry run.
    lines = unstamped(report.read_text())
    assert lines[-1].startswith("Dry run: nothing was changed") and "would be partially restored" in report.read_text()
    assert not re.search(r"was (partially )?restored|have been restored|are blocked", report.read_text())
    report.unlink()
    records = [json.loads(line) for line in result.stdout.splitlines()]
    # Nothing changed, and the only commands run were queries.
    assert {path: path.read_bytes() for path in (main, user)} == before
    assert sorted(os.listdir(tmp_path)) == sorted(["bin", "commands.log", "default.conf", "rules.d", main.name, user.name])
    assert os.listdir(tmp_path / "rules.d") == []
    assert all(line.startswith(("syslog-ng -s", "auditctl -l")) for line in (tmp_path / "commands.log").read_text().splitlines())
    shown = {r["path"]: r for r in records if r["record"] == "change" and r["kind"] != "command"}
    assert shown[str(paths["default_dir"])]["kind"] == "folder"
    commands = [r["command"] for r in records if r["record"] == "change" and r["kind"] == "command"]
    assert commands[0] == "systemctl restart syslog-ng" and "usermod -L root" not in commands
    assert records[-1]["dry_run"] is True
    # A real run then makes each change shown: each diff is what diff -u makes
    # of the old and the new file.
    for path, text in before.items():
        (tmp_path / f"{path.name}.old").write_bytes(text)
    real = tool("run", "--json", "--block", "--report", tmp_path / "real.report", env=env, launcher=LAUNCH_ON_FILES)
    assert real.returncode == 1, real.stderr
    # It finds what the dry run found: the dry run read the rules file that it
    # would have made, as the real run reads the one it made.
    findings = [[(r["level"], r["message"]) for r in map(json.loads, run.splitlines()) if r["record"] == "finding"]
                for run in (result.stdout, real.stdout)]  # fmt: skip
    # What follows the restart that the dry run did not make is marked not known.
    assert NOT_KNOWN + "Can not start syslog-ng\n" in {message[:len(NOT_KNOWN) + 24] for _, message in findings[0]}
    assert len(findings[0]) == len(findings[1])
    for found, (level, message) in zip(*findings):
        assert found[1].startswith(NOT_KNOWN) or found == (level, reworded(message))
    for path in (main, user, paths["audit_rules_file"]):
        old = tmp_path / f"{path.name}.old"
        diff = subprocess.run(["diff", "-u", old if old.exists() else "/dev/null", path], capture_output=True, text=True)
        assert shown[str(path)]["diff"].split("\n", 2)[2] == diff.stdout.split("\n", 2)[2]
    assert f"{paths['audit_rules_file'].stat().st_mode & 0o777:04o}" == shown[str(paths["audit_rules_file"])]["mode"]


LIMITED = (
    "import functools\n"
    "from tarno_event_diagnostics import config\n"
    "config.Config = functools.partial(config.Config, restart_timeout=1, query_timeout=1)\n"
) + LAUNCH_ON_FILES

#: A hung command: its program and first argument, its finding, and what the run did after it.
HANGS = {
    "restart": ("systemctl", "restart", "Command 'systemctl restart syslog-ng' timed out after 1 seconds",
                "syslog-ng -s"),
    "syntax check": ("syslog-ng", "-s", "Command 'syslog-ng -s' timed out after 1 seconds",
                     "systemctl restart auditd"),
    "rule listing": ("auditctl", "-l", "Command 'auditctl -l' timed out after 1 seconds", "auditctl -w"),
}  # fmt: skip


@needs_engine
@pytest.mark.parametrize("program, argument, finding, later", HANGS.values(), ids=list(HANGS))
def test_engine_hung_command_is_ended_at_its_limit_and_the_run_goes_on(tmp_path, fake_bin, program, argument,
                                                                        finding, later):  # fmt: skip
    log, pids = tmp_path / "commands.log", tmp_path / "pids"
    env = files_env(tmp_path, fake_bin, "ii syslog-ng\\nii auditd\\n")
    # It hangs with a child of its own, which must end with it.
    (tmp_path / "bin" / program).write_text(f'#!/bin/sh\necho "{program} $*" >> {log}\n'
                                            f'[ "$1" = {argument} ] && {{ sleep 60 & echo $! $$ >> {pids}; wait; }}\n')
    began = time.monotonic()
    result = tool("run", "--report", tmp_path / "report", env=env, launcher=LIMITED)
    took = time.monotonic() - began
    assert result.returncode == 1, result.stderr
    lines = unstamped((tmp_path / "report").read_text())
    assert f"error: {finding}" in lines and lines[-1].startswith("Self-diagnostics of the event registration subsystem is completed")
    assert later in log.read_text().split(f"{program} {argument}", 1)[1]
    # Each hang costs its limit and the group's end (SIGTERM ends it at once here).
    assert took < 30, took
    assert not [pid for pid in pids.read_text().split() if running(pid)]


def running(pid):
    """Whether the process lives; a zombie that its new parent has yet to reap does not."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
