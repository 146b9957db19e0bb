# SPDX-License-Identifier: LGPL-2.1-or-later
"""The installed-package check against the real dpkg-query, and account
blocking with the real usermod on the sandbox's own /etc/shadow."""

import pytest

from system_sandbox import Host, emitted
from system_sandbox import module_sandbox, sandbox, sandbox_ready  # noqa: F401 (fixtures)

PROGRAM = "tarno-event-diagnostics"
REPORT = "/tessik/log/tarno/report"
REPAIR = (
    "Need to try to repair:\n"
    'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
    "install --reinstall syslog-ng-mod-tarno"
)
PASSWORD = "$6$sandbox$fixturehash"

CHECK_PACKAGES = f"""
import subprocess
listing = subprocess.check_output(
    ["dpkg-query", "--showformat=${{db:Status-Abbrev}}${{binary:Package}}\\n", "--show"], text=True)
inspector = JournalInspector({REPORT!r}, Config(), block=BLOCK)
installed = inspector.check_installed_packages()
emit({{"listing": listing.splitlines(), "installed": int(installed),
      "count": inspector._JournalInspector__error_count}})
"""


def critical(desc):
    return ("user.crit", f"type=EVENT_DIAGNOSTICS_CRITICAL desc='{desc}' file='{REPORT}'")


def engine_lines(result):
    return result.engine_lines()


@pytest.mark.parametrize(
    "packages, listing, installed, findings",
    [
        pytest.param(
            {"syslog-ng": "install ok installed", "syslog-ng-mod-tarno": "install ok installed",
             "auditd": "install ok installed"},
            ["ii auditd", "ii syslog-ng", "ii syslog-ng-mod-tarno"],
            7, [], id="all-installed",
        ),
        pytest.param(
            {"syslog-ng": "install ok installed", "syslog-ng-mod-tarno": "hold ok installed",
             "auditd": "install ok half-configured"},
            ["iF auditd", "ii syslog-ng", "hi syslog-ng-mod-tarno"],
            3, [critical("auditd is not installed")], id="held-counts-half-configured-does-not",
        ),
        pytest.param(
            {"syslog-ng": "install ok unpacked", "syslog-ng-core": "install ok installed",
             "auditd": "hold ok installed"},
            ["hi auditd", "iU syslog-ng", "ii syslog-ng-core"],
            4,
            [critical("syslog-ng is not installed\n" + REPAIR),
             critical("syslog-ng-mod-tarno is not installed\n" + REPAIR)],
            id="unpacked-and-absent",
        ),
    ],
)
def test_installed_packages_from_the_real_package_database(
    sandbox, packages, listing, installed, findings
):
    result = sandbox.run(Host(packages=packages), steps=["BLOCK = False\n" + CHECK_PACKAGES])
    assert result.returncode == 0, result.describe()
    (outcome,) = emitted(result)
    # The host's database, with the fixture entries, gives dpkg-query's real
    # status abbreviations.
    assert [line for line in outcome["listing"] if line[3:] in packages] == listing
    assert outcome["installed"] == installed
    assert outcome["count"] == len(findings)
    assert engine_lines(result) == findings


# Accounts made in the sandbox: name -> (uid, extra useradd options, locked?).
ACCOUNTS = {
    "sys999": (999, [], False),
    "user1000": (1000, [], True),
    "user1001": (1001, [], True),
    "admin1002": (1002, ["-G", "tarno-admin"], False),
    # Only the primary group: not a listed member, so not exempt.
    "primary1003": (1003, ["-g", "tarno-admin"], True),
    "o'b' $(touch /tessik/pwned);x": (1004, ["--badname"], True),
    'eve "`touch /tessik/pwned2`" &': (1005, ["--badname"], True),
}


def _shadow_passwords(text):
    return {line.split(":")[0]: line.split(":")[1] for line in text.splitlines() if line}


def _expected_locked(passwd_text, group_text):
    """Accounts from uid 1000 up that are not listed members of tarno-admin."""
    admins = set()
    for line in group_text.splitlines():
        name, _, _, members = line.split(":")
        if name == "tarno-admin":
            admins = set(filter(None, members.split(",")))
            break
    locked = set()
    for line in passwd_text.splitlines():
        name, _, uid = line.split(":")[:3]
        if int(uid) >= 1000 and name not in admins:
            locked.add(name)
    return locked


@pytest.fixture(scope="module")
def blocking(module_sandbox):
    """check_installed_packages with block=True and auditd missing, on real accounts."""
    prepare = [["groupadd", "tarno-admin"]]
    for name, (uid, options, _) in ACCOUNTS.items():
        prepare.append(["useradd", *options, "-o", "-u", str(uid), "-p", PASSWORD, name])
    script = "before = open('/etc/shadow').read()\nBLOCK = True\n" + CHECK_PACKAGES + "emit(before)\n"
    result = module_sandbox.run(
        Host(packages={"syslog-ng": "install ok installed", "syslog-ng-mod-tarno": "install ok installed"},
             setup=prepare),
        steps=[script],
        collect=["/etc/shadow", "/etc/passwd", "/etc/group", "/tessik/pwned", "/tessik/pwned2"],
    )
    assert result.returncode == 0, result.describe()
    return result


def test_blocking_locks_exactly_the_non_exempt_accounts(blocking):
    outcome, before_text = emitted(blocking)
    assert outcome["installed"] == 3
    before = _shadow_passwords(before_text)
    after = _shadow_passwords(blocking.text("/etc/shadow"))
    locked = _expected_locked(blocking.text("/etc/passwd"), blocking.text("/etc/group"))
    for name, (_, _, fixture_locked) in ACCOUNTS.items():
        assert (name in locked) == fixture_locked, name
        assert after[name] == ("!" + PASSWORD if fixture_locked else PASSWORD), name
    # Every other account too: locked from uid 1000 up, untouched below.
    assert after.keys() == before.keys()
    for name, password in before.items():
        if name in locked:
            assert after[name].startswith("!"), name
            assert after[name].lstrip("!") == password.lstrip("!"), name
        else:
            assert after[name] == password, name


def test_hostile_account_names_run_no_command(blocking):
    assert blocking.files["/tessik/pwned"]["kind"] == "missing"
    assert blocking.files["/tessik/pwned2"]["kind"] == "missing"


def test_blocking_is_logged_by_usermod_and_by_the_engine(blocking):
    outcome, _ = emitted(blocking)
    assert outcome["count"] == 2
    entries = [(entry.program, entry.priority, entry.message) for entry in blocking.entries]
    warning = (
        PROGRAM, "user.crit",
        f"type=EVENT_DIAGNOSTICS_WARNING desc='Accounts of non-privileged users are blocked' "
        f"file='{REPORT}'",
    )
    assert entries[0] == (PROGRAM, *critical("auditd is not installed"))
    assert entries[-1] == warning
    # usermod itself names every fixture account it locked, the hostile ones
    # whole, between the finding and the warning.
    locks = {message for program, _, message in entries[1:-1] if program == "usermod"}
    for name, (_, _, fixture_locked) in ACCOUNTS.items():
        assert (f"lock user '{name}' password" in locks) == fixture_locked, name
    assert {(program, priority) for program, priority, _ in entries[1:-1]} == {
        ("usermod", "authpriv.info")
    }
