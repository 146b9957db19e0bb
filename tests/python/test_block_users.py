# SPDX-License-Identifier: LGPL-2.1-or-later
"""Account blocking with the user and group databases and the shell replaced."""

import grp
import json
import pwd
import shlex
import subprocess
import types

import pytest

from conftest import DEFAULT_STAMP, Shell
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.journal_inspector import JournalInspector

pytestmark = pytest.mark.usefixtures("inspector_paths")

WARNING = "Accounts of non-privileged users are blocked"


def user(name, uid, gid=None):
    return pwd.struct_passwd((name, "x", uid, uid if gid is None else gid, "", f"/home/{name}", "/bin/sh"))


def group(name, members, gid=100):
    return grp.struct_group((name, "x", gid, list(members)))


class Databases:
    """Fake `pwd` and `grp` for the engine module; `reads` lists the enumerations made."""

    def __init__(self, users=(), groups=(), pwd_error=None, grp_error=None):
        self.reads = []
        self.pwd = types.SimpleNamespace(getpwall=lambda: self._read("pwd", list(users), pwd_error))
        self.grp = types.SimpleNamespace(getgrall=lambda: self._read("grp", list(groups), grp_error))

    def _read(self, name, entries, error):
        self.reads.append(name)
        if error is not None:
            raise error
        return entries


@pytest.fixture
def accounts(monkeypatch):
    def install(*args, **kwargs):
        databases = Databases(*args, **kwargs)
        monkeypatch.setattr(ji, "pwd", databases.pwd)
        monkeypatch.setattr(ji, "grp", databases.grp)
        return databases

    return install


@pytest.fixture
def shell(monkeypatch):
    fake = Shell()
    monkeypatch.setattr(ji, "os", fake)
    return fake


def block(inspector):
    inspector._JournalInspector__block_users()


def findings(recorder):
    return [message.split(" file=")[0] for message in recorder.messages()]


def locked(*names):
    return [f"usermod -L {name}" for name in names]


# ---------------------------------------------------------------- disabled


@pytest.mark.parametrize("switch", [False, 0, "", None, []])
def test_disabled_does_nothing_at_all(switch, accounts, shell, new_inspector, syslog_recorder, report_dir):
    databases = accounts([user("alice", 1000)])
    inspector = new_inspector(block=switch)
    assert block(inspector) is None
    block(inspector)
    assert databases.reads == [] and shell.commands == []
    assert syslog_recorder.messages() == []
    assert vars(inspector)["_JournalInspector__error_count"] == 0
    assert (report_dir / "report").read_text() == ""


# ---------------------------------------------------------------- who is locked

SELECTIONS = {
    "user id threshold": (
        [user("root", 0), user("daemon", 1), user("svc", 999), user("alice", 1000), user("bob", 1001),
         user("nobody", 65534)],
        [],
        ["alice", "bob", "nobody"],
    ),
    "members of the first tarno-admin group only": (
        [user("alice", 1000), user("bob", 5000), user("carol", 1001), user("dave", 1002), user("erin", 1003, gid=900)],
        [group("users", ["carol"]), group("tarno-admin", ["alice", "bob"], gid=900), group("tarno-admin", ["dave"])],
        ["carol", "dave", "erin"],
    ),
    "an empty first admin group exempts nobody": (
        [user("alice", 1000), user("bob", 1001)],
        [group("tarno-admin", []), group("tarno-admin", ["alice"])],
        ["alice", "bob"],
    ),
    "only the exact group name": (
        [user("alice", 1000), user("bob", 1001), user("carol", 1002)],
        [group("tarno-admins", ["alice"]), group("Tarno-admin", ["bob"]), group("tarno-admin ", ["carol"])],
        ["alice", "bob", "carol"],
    ),
    "admins below the threshold stay as well": (
        [user("root", 0), user("svc", 500), user("zed", 2000)],
        [group("tarno-admin", ["root", "svc"])],
        ["zed"],
    ),
    "members by exact name": (
        [user("alice", 1000), user("alice2", 1001), user("Alice", 1002)],
        [group("tarno-admin", ["alice"])],
        ["alice2", "Alice"],
    ),
    "order of the user database": (
        [user("zoe", 1005), user("adam", 1001), user("mia", 3000)],
        [group("tarno-admin", ["nobody-listed"])],
        ["zoe", "adam", "mia"],
    ),
    "nobody to lock": ([user("root", 0), user("svc", 999)], [group("tarno-admin", [])], []),
}  # fmt: skip


@pytest.mark.parametrize("users, groups, expected", list(SELECTIONS.values()), ids=list(SELECTIONS))
def test_selection(users, groups, expected, accounts, shell, new_inspector, syslog_recorder):
    databases = accounts(users, groups)
    inspector = new_inspector(block=True)
    block(inspector)
    assert shell.commands == locked(*expected)
    assert databases.reads == ["pwd", "grp"]
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_WARNING desc='{WARNING}'"]
    assert vars(inspector)["_JournalInspector__error_count"] == 1


def test_threshold_is_read_from_the_class(accounts, shell, new_inspector, syslog_recorder, monkeypatch):
    accounts([user("svc", 499), user("app", 500), user("alice", 1000)])
    monkeypatch.setattr(JournalInspector, "user_pw_uid", 500)
    block(new_inspector(block=True))
    assert shell.commands == locked("app", "alice")


def test_warning_line(accounts, shell, new_inspector, syslog_recorder, report_dir):
    accounts([user("alice", 1000)])
    block(new_inspector(block=True))
    assert syslog_recorder.messages() == [
        f"type=EVENT_DIAGNOSTICS_WARNING desc='{WARNING}' file='{report_dir / 'report'}'"
    ]
    assert (report_dir / "report").read_text() == f"{DEFAULT_STAMP} tarno-event-diagnostics: warning: {WARNING}\n"


def test_real_databases_with_the_shell_recorded(shell, new_inspector, syslog_recorder):
    admins = next((g.gr_mem for g in grp.getgrall() if g.gr_name == "tarno-admin"), [])
    expected = [
        "usermod -L " + shlex.quote(u.pw_name) for u in pwd.getpwall() if u.pw_name not in admins and u.pw_uid >= 1000
    ]
    block(new_inspector(block=True))
    assert shell.commands == expected


# ---------------------------------------------------------------- quoting

NAMES = [
    "alice", "svc-backup_01", "a.b@c+d=e:f,g/h%i", "two words", "it's", 'say "hi"', "evil; touch pwned",
    "$(reboot)", "`id`", "a&b|c>d<e", "new\nline", "tab\tname", "back\\slash", "glob*?[x]", "~user", "!bang",
    "jürgen", "caf\udce9", "", "-L",
]  # fmt: skip


@pytest.mark.parametrize("name", NAMES, ids=repr)
def test_names_are_quoted_as_shlex_quotes_them(name, accounts, shell, new_inspector, syslog_recorder):
    accounts([user(name, 1000)])
    block(new_inspector(block=True))
    assert shell.commands == ["usermod -L " + shlex.quote(name)]


def test_hostile_names_reach_usermod_as_one_argument(fake_bin, tmp_path, accounts, new_inspector, syslog_recorder,
                                                     monkeypatch):  # fmt: skip
    log = tmp_path / "usermod.log"
    fake_bin.add("usermod", f"""\
        #!/usr/bin/python3
        import json, sys
        with open({str(log)!r}, "a") as log:
            log.write(json.dumps(sys.argv[1:]) + "\\n")
        """)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    names = ["plain", "two words", "it's", "evil; touch pwned1", "$(touch pwned2)", "`touch pwned3`",
             "x && touch pwned4", "new\nline", "tab\tname", "glob*", "jürgen"]  # fmt: skip
    accounts([user(name, 1000 + i) for i, name in enumerate(names)])
    block(new_inspector(block=True))
    assert [json.loads(text) for text in log.read_text().splitlines()] == [["-L", name] for name in names]
    assert list(work.iterdir()) == []
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_WARNING desc='{WARNING}'"]


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize(
    "where, error",
    [("pwd", OSError(5, "Input/output error")), ("pwd", KeyError("getpwall")),
     ("grp", OSError(13, "Permission denied")), ("grp", RuntimeError("nss module failed"))],
)  # fmt: skip
def test_database_read_error(where, error, accounts, shell, new_inspector, syslog_recorder):
    accounts([user("alice", 1000)], [], **{f"{where}_error": error})
    inspector = new_inspector(block=True)
    block(inspector)
    assert shell.commands == []
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_ERROR desc='{error}'"]
    assert vars(inspector)["_JournalInspector__error_count"] == 1


@pytest.mark.parametrize("error", [OSError(12, "Cannot allocate memory"),
                                   subprocess.TimeoutExpired("usermod -L bob", 30)], ids=repr)  # fmt: skip
def test_a_command_that_cannot_be_run_is_reported_and_the_walk_goes_on(error, accounts, shell, new_inspector,
                                                                      syslog_recorder):  # fmt: skip
    accounts([user("alice", 1000), user("bob", 1001), user("carol", 1002)])
    shell.fail_on, shell.error = 2, error
    block(new_inspector(block=True))
    assert shell.commands == locked("alice", "bob", "carol")
    # Not all were locked: no warning says they were.
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_ERROR desc='{error}'"]


def test_malformed_entry_is_an_error(accounts, shell, new_inspector, syslog_recorder):
    accounts([user("alice", 1000), types.SimpleNamespace(pw_name="broken", pw_uid=None), user("bob", 1001)])
    with pytest.raises(TypeError) as expected:
        None >= 1000
    block(new_inspector(block=True))
    assert shell.commands == locked("alice")
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_ERROR desc='{expected.value}'"]


@pytest.mark.parametrize("status", [256, 2048, 9, -1])
def test_a_failed_lock_command_is_an_error_and_no_warning(status, accounts, shell, new_inspector, syslog_recorder):
    accounts([user("alice", 1000), user("b'ob", 1001)])
    shell.status = status
    block(new_inspector(block=True))
    assert shell.commands == locked("alice", shlex.quote("b'ob"))
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_ERROR desc='account '{name}' could not be blocked'"
                                         for name in ("alice", "b'ob")]  # fmt: skip


def test_usermod_missing_is_an_error(fake_bin, accounts, new_inspector, syslog_recorder, capfd):
    fake_bin.only()
    accounts([user("alice", 1000)])
    block(new_inspector(block=True))
    assert findings(syslog_recorder) == ["type=EVENT_DIAGNOSTICS_ERROR desc='account 'alice' could not be blocked'"]


def test_two_calls_lock_twice_and_warn_twice(accounts, shell, new_inspector, syslog_recorder):
    databases = accounts([user("alice", 1000)])
    inspector = new_inspector(block=True)
    block(inspector)
    block(inspector)
    assert shell.commands == locked("alice", "alice")
    assert databases.reads == ["pwd", "grp", "pwd", "grp"]
    assert findings(syslog_recorder) == [f"type=EVENT_DIAGNOSTICS_WARNING desc='{WARNING}'"] * 2
    assert vars(inspector)["_JournalInspector__error_count"] == 2


def test_failing_warning_reaches_the_caller(accounts, shell, new_inspector, syslog_recorder):
    class Failing(JournalInspector):
        def _JournalInspector__send_warning_message(self, msg):
            raise ValueError(msg)

    accounts([user("alice", 1000)])
    with pytest.raises(ValueError, match=WARNING):
        block(new_inspector(cls=Failing, block=True))
    assert shell.commands == locked("alice")


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass(interrupt, accounts, shell, new_inspector, syslog_recorder):
    accounts([user("alice", 1000), user("bob", 1001)])
    shell.fail_on, shell.error = 1, interrupt()
    with pytest.raises(interrupt):
        block(new_inspector(block=True))
    assert syslog_recorder.messages() == []


def test_reports_go_through_the_object(accounts, shell, new_inspector, syslog_recorder):
    seen = []

    class Spy(JournalInspector):
        def _JournalInspector__send_warning_message(self, msg):
            seen.append(("warning", msg))

        def _JournalInspector__send_error_message(self, msg):
            seen.append(("error", msg))

    accounts([user("alice", 1000)])
    inspector = new_inspector(cls=Spy, block=True)
    block(inspector)
    accounts(pwd_error=LookupError("gone"))
    block(inspector)
    assert seen[0] == ("warning", WARNING)
    assert seen[1][0] == "error" and str(seen[1][1]) == "gone"
