# SPDX-License-Identifier: LGPL-2.1-or-later
"""The engine owns its references: repeated whole runs, on their ordinary paths
and on their error paths, leave nothing behind. Under the debug interpreter the
total reference count is compared; elsewhere the count of allocated blocks."""

import asyncio
import copy
import gc
import itertools
import os
import shutil
import subprocess
import sys
from types import SimpleNamespace

from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.config import Config


#: Empties the interpreter's type attribute cache (Python 3.13 names the
#: general form; sys._clear_type_cache before).
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def level_of_use():
    """The level, read with the type attribute cache empty. That cache holds a
    reference to the name of every attribute it caches. From Python 3.12 a slot
    it fills for the first time held the immortal None, whose references are not
    counted, so the total grows by one for each slot filled, less and less as
    the cache fills (under 3.13-dbg: 230, 73, 35, 10 per 100 rounds; 3,000 new
    names looked up on a class add 819, and emptying the cache takes 816 away).
    Under 3.11 the same fill moved the total by nothing."""
    clear_type_cache()
    return getattr(sys, "gettotalrefcount", sys.getallocatedblocks)()


# The count of allocated blocks also moves while the interpreter's free lists
# fill; the debug interpreter's total reference count does not.
TOLERANCE = 50 if hasattr(sys, "gettotalrefcount") else 1000


def leaves_nothing_behind(rounds):
    """Warms up with 40 rounds, then compares the level of use around 100 more.
    A reference leaked on any path of a round shows as a hundred or more under
    the debug interpreter, and a block leaked by every call as thousands."""
    rounds(40)
    gc.collect()
    before = level_of_use()
    rounds(100)
    gc.collect()
    assert level_of_use() - before < TOLERANCE


class Databases:
    """pwd and grp stand-ins; `fail` makes the user database unreadable."""

    fail = False

    def getpwall(self):
        if self.fail:
            raise OSError(5, "Input/output error")
        return [SimpleNamespace(pw_name=name, pw_uid=uid) for name, uid in
                (("root", 0), ("alice", 1000), ("bob smith", 1001), ("admin", 1002))]

    def getgrall(self):
        return [SimpleNamespace(gr_name="tarno-admin", gr_mem=["admin"])]


def answer(source):
    """The next scripted answer; an exception among them is raised as a fresh
    copy. From Python 3.12 raising the same object again lengthens its
    traceback, which would grow with the rounds and look like a leak."""
    value = next(source)
    if isinstance(value, BaseException):
        raise copy.copy(value)
    return value


def test_repeated_runs_leave_nothing_behind(tmp_path, monkeypatch, syslog_recorder):
    databases = Databases()
    outputs = iter(())
    commands = []

    def check_output(args):
        return answer(outputs)

    monkeypatch.setattr(ji.JournalInspector, "default_dir", tmp_path)
    monkeypatch.setattr(ji.JournalInspector, "audit_rules_file", tmp_path / "audit.rules")
    monkeypatch.setattr(ji, "pwd", databases)
    monkeypatch.setattr(ji, "grp", databases)
    monkeypatch.setattr(ji, "os", SimpleNamespace(system=commands.append))
    monkeypatch.setattr(ji, "subprocess", SimpleNamespace(check_output=check_output))

    def rounds(count):
        nonlocal outputs
        for i in range(count):
            outputs = iter([
                b"ii syslog-ng\nhi auditd\n",
                subprocess.CalledProcessError(1, ["dpkg-query"]),
                b"\xff\xfe",
            ])
            databases.fail = i % 2 == 1
            for block in (False, True):
                inspector = ji.JournalInspector(str(tmp_path / "report"), Config(), block=block)
                asyncio.run(inspector.run())
                inspector._JournalInspector__send_error_message(ValueError("late"))
                inspector.check_installed_packages()
                inspector.check_installed_packages()
                inspector.test()
                outputs = iter([b"ii syslog-ng\nhi auditd\n", OSError(2, "gone"), b"\xff"])
            commands.clear()
            syslog_recorder.calls.clear()

    leaves_nothing_behind(rounds)


def test_repeated_audit_checks_leave_nothing_behind(tmp_path, monkeypatch, syslog_recorder):
    rules = tmp_path / "rules" / "audit.rules"
    common = "syslog_ng_mod_tarno.common.mod_tarno_common"
    statuses = itertools.cycle([0, 256, OSError(7, "Argument list too long")])
    listings = itertools.cycle([b"-w /etc/tarno-syslog.conf -p wa -k /etc/tarno-syslog.conf\n",
                                subprocess.CalledProcessError(1, ["auditctl", "-l"]), b"\xff"])  # fmt: skip
    running = itertools.cycle([True, False, False, False, True])

    monkeypatch.setattr(ji.JournalInspector, "default_dir", tmp_path)
    monkeypatch.setattr(ji.JournalInspector, "audit_rules_file", rules)
    monkeypatch.setattr(ji, "os", SimpleNamespace(system=lambda command: answer(statuses)))
    monkeypatch.setattr(ji, "subprocess", SimpleNamespace(check_output=lambda args: answer(listings)))
    monkeypatch.setattr(ji, "SystemGetter", SimpleNamespace(is_process_running=lambda name: next(running)))
    monkeypatch.setitem(sys.modules, common, sys.modules[common])

    def rounds(count):
        for i in range(count):
            # No folder, no file, a file that lacks rules, a folder in its place.
            shutil.rmtree(rules.parent, ignore_errors=True)
            if i % 4:
                rules.parent.mkdir()
            if i % 4 == 2:
                rules.write_text("-w /x\n")
            if i % 4 == 3:
                rules.mkdir()
            sys.modules[common], saved = (None if i % 5 == 4 else sys.modules[common]), sys.modules[common]
            try:
                inspector = ji.JournalInspector(str(tmp_path / "report"), Config())
                inspector.check_audit_rules()
                inspector.check_auditd()
            finally:
                sys.modules[common] = saved
            syslog_recorder.calls.clear()

    leaves_nothing_behind(rounds)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_the_repeated_check_leaves_nothing_behind(tmp_path, monkeypatch, syslog_recorder):
    # A count, not a list of passes: every element of a list holds a reference.
    passes = 0

    class Health:
        def __init__(self, cfg):
            nonlocal passes
            passes += 1

        async def run(self):
            return True

    monkeypatch.setattr(ji.JournalInspector, "default_dir", tmp_path)
    monkeypatch.setattr(ji, "Healthcheck", Health)
    monkeypatch.setattr(ji, "SystemGetter", SimpleNamespace(is_process_running=lambda name: True))
    inspector = ji.JournalInspector(str(tmp_path / "report"), Config(check_timeout=0))

    async def run_passes(count):
        wanted = passes + count
        task = asyncio.create_task(inspector.run_healthcheck())
        while passes < wanted:
            await asyncio.sleep(0)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    asyncio.run(run_passes(2000))
    gc.collect()
    before = (level_of_use(), resident_bytes())
    asyncio.run(run_passes(10000))
    gc.collect()
    after = (level_of_use(), resident_bytes())
    # A reference or a native frame left behind by every pass would show as ten
    # thousand of them.
    assert after[0] - before[0] < TOLERANCE
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # AddressSanitizer keeps freed memory in quarantine, so only elsewhere.
        assert after[1] - before[1] < 1 << 20


def test_repeated_configuration_repairs_leave_nothing_behind(tmp_path, monkeypatch, syslog_recorder):
    root = tmp_path / "syslog-ng"
    main, user = root / "syslog-ng.conf", root / "conf.d" / "mod-tarno.conf"
    # What syslog-ng -s answers in a round: accepted before and after each repair,
    # a repair rejected (put back) early or late, rejected before any repair.
    rejected = subprocess.CalledProcessError(1, ["syslog-ng", "-s"])
    plans = [[b"", b"", b""], [b"", rejected, rejected], [rejected], [b"", b"", rejected]]
    syntax = iter(())
    for name, path in (("default_dir", tmp_path), ("syslog_config_file", main), ("syslog_user_config_file", user),
                       ("syslog_default_config_file", root / "missing.conf")):  # fmt: skip
        monkeypatch.setattr(ji.JournalInspector, name, path)
    monkeypatch.setattr(ji, "subprocess", SimpleNamespace(check_output=lambda args: answer(syntax)))

    def rounds(count):
        nonlocal syntax
        for i in range(count):
            syntax = iter(plans[i % 4])
            # No module file, one without the include, a folder in its place.
            shutil.rmtree(root, ignore_errors=True)
            user.parent.mkdir(parents=True)
            main.write_bytes(b"@version: 3.38\r\n# caf\xe9\r\n")
            if i % 3 == 1:
                user.write_text("# old\n")
            if i % 3 == 2:
                user.mkdir()
            ji.JournalInspector(str(tmp_path / "report"), Config()).check_syslog_ng_configuration()
            syslog_recorder.calls.clear()

    leaves_nothing_behind(rounds)
