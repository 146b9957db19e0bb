# SPDX-License-Identifier: LGPL-2.1-or-later
"""Settings record, syslog-ng health check, process query and event-group reader."""

import asyncio
import contextlib
import math
import os
import shutil
import socket
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from syslog_ng_mod_tarno.common.mod_tarno_common import SystemGetter
from syslog_ng_mod_tarno.config.mod_tarno_events import ModTarnoEvents
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.healthcheck import Healthcheck

# ---------------------------------------------------------------- Config


def test_config_defaults():
    cfg = Config()
    assert cfg.check_timeout == 60
    assert cfg.control_socket == "/var/lib/syslog-ng/syslog-ng.ctl"
    assert cfg.healthcheck_timeout > 0


@pytest.mark.parametrize(
    "field, value, error",
    [
        ("check_timeout", -1, ValueError),
        ("check_timeout", -0.5, ValueError),
        ("check_timeout", math.nan, ValueError),
        ("check_timeout", math.inf, ValueError),
        ("check_timeout", "60", TypeError),
        ("check_timeout", True, TypeError),
        ("healthcheck_timeout", 0, ValueError),
        ("healthcheck_timeout", -3, ValueError),
        ("healthcheck_timeout", None, TypeError),
        ("control_socket", "", ValueError),
        ("control_socket", 5, TypeError),
    ],
)
def test_config_rejects_wrong_values_at_construction_and_assignment(field, value, error):
    with pytest.raises(error, match=field):
        Config(**{field: value})
    cfg = Config()
    with pytest.raises(error, match=field):
        setattr(cfg, field, value)
    assert getattr(cfg, field) == getattr(Config(), field)


def test_config_accepts_zero_pause_and_path_objects():
    cfg = Config(check_timeout=0, control_socket=Path("/run/ctl"), healthcheck_timeout=0.25)
    assert (cfg.check_timeout, cfg.control_socket, cfg.healthcheck_timeout) == (0, "/run/ctl", 0.25)
    cfg.check_timeout = 2.5
    assert cfg.check_timeout == 2.5


# ---------------------------------------------------------------- Healthcheck


@pytest.fixture(scope="module")
def syslog_ng_control_socket(tmp_path_factory):
    """A private syslog-ng with its own control socket, stopped after the module."""
    binary = shutil.which("syslog-ng") or "/usr/sbin/syslog-ng"
    if not os.access(binary, os.X_OK):
        pytest.skip("syslog-ng is not installed")
    work = tmp_path_factory.mktemp("syslog-ng")
    conf = work / "syslog-ng.conf"
    conf.write_text(
        "@version: 3.38\n"
        "source s_internal { internal(); };\n"
        f'destination d_file {{ file("{work}/messages"); }};\n'
        "log { source(s_internal); destination(d_file); };\n"
    )
    control = work / "syslog-ng.ctl"
    daemon = subprocess.Popen(
        [
            binary,
            "-F",
            "--no-caps",
            "-f",
            str(conf),
            f"--control={control}",
            f"--persist-file={work}/syslog-ng.persist",
            f"--pidfile={work}/syslog-ng.pid",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + 10
        while not control.exists():
            if daemon.poll() is not None:
                pytest.skip(f"private syslog-ng did not start: {daemon.stderr.read().decode()}")
            if time.monotonic() > deadline:
                pytest.fail("private syslog-ng did not create its control socket")
            time.sleep(0.05)
        yield str(control)
    finally:
        daemon.terminate()
        try:
            daemon.wait(timeout=10)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
        daemon.stderr.close()


def healthcheck(path, timeout=2.0):
    return asyncio.run(Healthcheck(Config(control_socket=str(path), healthcheck_timeout=timeout)).run())


def test_healthcheck_passes_for_a_running_syslog_ng(syslog_ng_control_socket):
    assert healthcheck(syslog_ng_control_socket) is True
    # The same object may be asked again.
    check = Healthcheck(Config(control_socket=syslog_ng_control_socket))

    async def twice():
        return await check.run(), await check.run()

    assert asyncio.run(twice()) == (True, True)


def test_private_syslog_ng_is_found_in_the_process_table(syslog_ng_control_socket):
    assert SystemGetter.is_process_running("syslog-ng") is True


def test_healthcheck_fails_without_a_socket(tmp_path):
    assert healthcheck(tmp_path / "missing.ctl") is False


def test_healthcheck_fails_on_a_socket_nobody_listens_on(tmp_path):
    path = tmp_path / "stale.ctl"
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(str(path))
    stale.close()
    assert healthcheck(path) is False


#: Bound of every scenario with a fake control socket, so that none can hang.
SCENARIO_LIMIT = 30


def run_scenario(scenario):
    return asyncio.run(asyncio.wait_for(scenario, SCENARIO_LIMIT))


@contextlib.asynccontextmanager
async def fake_control_socket(path, handle):
    """A control socket served by `handle`. Leaving it closes the connections it
    accepted, which a handler may keep open for ever: from Python 3.12.1 the
    server waits for every connection to close."""
    writers = []

    async def serve(reader, writer):
        writers.append(writer)
        await handle(reader, writer)

    server = await asyncio.start_unix_server(serve, str(path))
    async with server:
        try:
            yield
        finally:
            for writer in writers:
                writer.close()


async def _serve(path, answer, timeout):
    """Runs a fake control socket that gives `answer` (None: never answers)."""

    async def handle(reader, writer):
        await reader.readline()
        if answer is None:
            await asyncio.sleep(3600)
        writer.write(answer)
        await writer.drain()
        # Keep the connection open, as syslog-ng does after an answer.
        await asyncio.sleep(3600)

    async with fake_control_socket(path, handle):
        cfg = Config(control_socket=str(path), healthcheck_timeout=timeout)
        return await Healthcheck(cfg).run()


@pytest.mark.parametrize(
    "answer, expected",
    [
        (b"SourceName;SourceId;SourceInstance;State;Type;Number\ncenter;;received;a;processed;0\n\n.\n", True),
        (b"SourceName;SourceId;SourceInstance;State;Type;Number\n.\n", True),
        (b"garbage\n.\n", False),
        (b"SourceName;SourceId;SourceInstance;State;Type;Number\nnot a statistics line\n.\n", False),
        # The answer never ends: the limit runs out.
        (b"SourceName;SourceId;SourceInstance;State;Type;Number\ncenter;;received;a;processed;0\n", False),
        (None, False),
    ],
    ids=["stats", "empty-stats", "garbage", "bad-line", "unterminated", "silent"],
)
def test_healthcheck_judges_the_answer(tmp_path, answer, expected):
    started = time.monotonic()
    assert run_scenario(_serve(tmp_path / "ctl", answer, timeout=0.3)) is expected
    assert time.monotonic() - started < 5


def test_healthcheck_fails_when_the_peer_closes_early(tmp_path):
    async def scenario():
        async def handle(reader, writer):
            writer.write(b"SourceName;SourceId;SourceInstance;State;Type;Number\ncenter;")
            writer.close()

        async with fake_control_socket(tmp_path / "ctl", handle):
            return await Healthcheck(Config(control_socket=str(tmp_path / "ctl"))).run()

    assert run_scenario(scenario()) is False


def test_healthcheck_lets_cancellation_through(tmp_path):
    async def scenario():
        async def handle(reader, writer):
            await asyncio.sleep(3600)

        async with fake_control_socket(tmp_path / "ctl", handle):
            cfg = Config(control_socket=str(tmp_path / "ctl"), healthcheck_timeout=60)
            task = asyncio.create_task(Healthcheck(cfg).run())
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

    assert run_scenario(scenario()) is True


# ---------------------------------------------------------------- SystemGetter


def unique_comm():
    return "tq" + uuid.uuid4().hex[:12]


def spawn_named(comm, then):
    """Starts a Python child that renames itself to `comm`, says so, then runs `then`."""
    code = (
        "import sys, time\n"
        f"open('/proc/self/comm', 'w').write({comm!r})\n"
        "print('ready', flush=True)\n"
        f"{then}\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"ready\n"
    return child


def proc_state(pid):
    stat = Path(f"/proc/{pid}/stat").read_bytes()
    return stat.rpartition(b")")[2].split()[0]


@pytest.mark.parametrize("comm", ["plain", "we) Z (ird"], ids=["plain", "parens-and-blanks"])
def test_running_process_is_found_by_its_name(comm):
    comm = (comm + unique_comm())[:15]
    child = spawn_named(comm, "time.sleep(60)")
    try:
        assert SystemGetter.is_process_running(comm) is True
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    assert SystemGetter.is_process_running(comm) is False


def process_names():
    """The names of the processes in /proc; one that ends while it is read is left out."""
    names = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(FileNotFoundError, ProcessLookupError):
            names.add(Path(f"/proc/{pid}/comm").read_text().strip())
    return names


@pytest.mark.skipif(os.geteuid() != 0, reason="a new PID namespace needs root")
def test_process_of_a_container_is_not_this_systems():
    comm = unique_comm()
    # The child of unshare's fork is process 1 of a PID namespace of its own.
    child = subprocess.Popen(
        ["unshare", "--pid", "--fork", "--kill-child", sys.executable, "-c",
         f"import time; open('/proc/self/comm', 'w').write({comm!r}); print('ready', flush=True); time.sleep(60)"],
        stdout=subprocess.PIPE,
    )
    try:
        assert child.stdout.readline() == b"ready\n"
        assert comm in process_names()
        assert SystemGetter.is_process_running(comm) is False
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


def test_zombie_process_is_not_running():
    comm = unique_comm()
    child = spawn_named(comm, "sys.exit(0)")
    try:
        # Wait for the exit without reaping: the child stays a zombie.
        deadline = time.monotonic() + 10
        while proc_state(child.pid) != b"Z":
            assert time.monotonic() < deadline, "child did not exit"
            time.sleep(0.01)
        assert Path(f"/proc/{child.pid}/comm").read_text().strip() == comm
        assert SystemGetter.is_process_running(comm) is False
    finally:
        child.wait()
        child.stdout.close()


def test_name_not_running():
    assert SystemGetter.is_process_running(unique_comm()) is False


@pytest.fixture
def fake_proc(tmp_path, monkeypatch):
    """A process table of our own making: {pid: (comm, stat or None[, NSpid line])}."""

    def make(processes):
        for pid, (comm, stat, *nspid) in processes.items():
            directory = tmp_path / str(pid)
            directory.mkdir()
            (directory / "comm").write_text(comm + "\n")
            if stat is not None:
                (directory / "stat").write_text(stat)
                (directory / "status").write_text(f"Name:\t{comm}\nState:\tS (sleeping)\n{''.join(nspid)}")
        (tmp_path / "self").mkdir()
        (tmp_path / "self" / "comm").write_text("auditd\n")
        monkeypatch.setattr(SystemGetter, "proc_dir", tmp_path)

    return make


@pytest.mark.parametrize(
    "processes, name, expected",
    [
        ({7: ("auditd", "7 (auditd) S 1 7 7 0")}, "auditd", True),
        ({7: ("auditd", "7 (auditd) Z 1 7 7 0")}, "auditd", False),
        ({7: ("auditd", "7 (auditd) X 1 7 7 0")}, "auditd", False),
        ({7: ("a) Z (b", "7 (a) Z (b) R 1")}, "a) Z (b", True),
        # Vanished between reading comm and stat.
        ({7: ("auditd", None)}, "auditd", False),
        ({7: ("auditd", "7 (auditd) Z 1"), 9: ("auditd", "9 (auditd) S 1")}, "auditd", True),
        # The kernel keeps 15 bytes of the name.
        ({7: ("syslog-ng-mod-t", "7 (syslog-ng-mod-t) S 1")}, "syslog-ng-mod-tarno", True),
        ({7: ("syslog-ng", "7 (syslog-ng) S 1")}, "syslog", False),
        # Not a process directory.
        ({}, "auditd", False),
        # Its own PID namespace is this one; one below it (a container's); a
        # container's beside this system's own.
        ({7: ("auditd", "7 (auditd) S 1", "NSpid:\t7\n")}, "auditd", True),
        ({7: ("auditd", "7 (auditd) S 1", "NSpid:\t7\t1\n")}, "auditd", False),
        ({7: ("auditd", "7 (auditd) S 1", "NSpid:\t7\t1\n"), 9: ("auditd", "9 (auditd) S 1", "NSpid:\t9\n")},
         "auditd", True),
    ],
    ids=["running", "zombie", "dead", "parens", "vanished", "zombie-and-live", "long-name", "prefix", "self-link",
         "own-namespace", "container", "container-and-own"],
)
def test_process_table_walk(fake_proc, processes, name, expected):
    fake_proc(processes)
    assert SystemGetter.is_process_running(name) is expected


def test_process_query_rejects_an_empty_name():
    with pytest.raises(ValueError):
        SystemGetter.is_process_running("")


# ---------------------------------------------------------------- ModTarnoEvents


def test_event_groups_are_the_entries_of_their_directory(tmp_path, monkeypatch):
    audit = tmp_path / "audit"
    audit.mkdir()
    (audit / "logins").write_text("")
    (audit / "accounts").mkdir()
    (audit / ".hidden").write_text("")
    (audit / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "diagnostics").mkdir()
    # The engine makes the object without arguments.
    monkeypatch.setattr(ModTarnoEvents, "event_groups_dir", tmp_path)
    assert ModTarnoEvents().get_event_groups("audit") == ["accounts", "logins"]
    assert ModTarnoEvents().get_event_groups("diagnostics") == []
    assert ModTarnoEvents().get_event_groups("network") == []
    assert ModTarnoEvents(base_dir=audit).get_event_groups("accounts") == []


@pytest.mark.parametrize("name", ["", ".", "..", "../etc", "a/b", "a\0b"])
def test_event_group_kind_must_be_a_plain_name(tmp_path, name):
    with pytest.raises(ValueError):
        ModTarnoEvents(base_dir=tmp_path).get_event_groups(name)


def test_broken_event_group_directory_is_an_error(tmp_path):
    (tmp_path / "audit").write_text("not a directory")
    with pytest.raises(NotADirectoryError):
        ModTarnoEvents(base_dir=tmp_path).get_event_groups("audit")
