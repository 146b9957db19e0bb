# SPDX-License-Identifier: LGPL-2.1-or-later
"""Whole runs of the command-line tool on a simulated host with the real daemons,
the real kernel audit rules and a real system log."""

import json
import os
import shlex
import subprocess

import pytest

from system_sandbox import (
    INCLUDE_LINE, MAIN_CONFIG, REPORT, REPORT_DIR, RULES_FILE, USER_CONFIG, File, Host, report_entries,
    stock_syslog_ng_conf, unit_confinement,
)  # fmt: skip
from system_sandbox import module_sandbox, sandbox, sandbox_ready  # noqa: F401 (fixtures)

TOOL = "tarno-event-diagnostics"
HINT = (
    "Need to try to repair:\n"
    'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
    "install --reinstall syslog-ng-mod-tarno"
)
STARTED = "Self-diagnostics of the event registration subsystem has been started"
COMPLETED = "Self-diagnostics of the event registration subsystem is completed: errors="
STOPPED = "syslog-ng service is currently stopped. Restarting now."
BLOCKED = "Accounts of non-privileged users are blocked"
PASSWORD = "$6$sandbox$fixturehash"
ACCOUNTS = {"alice": 1000, "bob": 1001, "admin": 1002}


def tables():
    from tarno_event_diagnostics.journal_inspector import JournalInspector

    machine = os.uname().machine
    listing = dict(JournalInspector.critical_auditstyle_rules.get(machine, {}))
    important = list(JournalInspector.important_audit_rules)
    return listing, important


def listed_rules():
    """The kernel's listing of a complete rule set, as a set."""
    listing, important = tables()
    return set(listing) | set(important)


@pytest.fixture(params=["text", "json"])
def output(request):
    """Every scenario runs twice: as it is, and with --json, which must not change
    what reaches the report file and the system log."""
    return request.param


#: Every diagnosis here runs as the diagnosis unit confines it: its capability
#: bounding set, no new privileges and a network namespace of its own. A
#: container refuses audit requests, so this is where rule loads under the
#: unit's confinement are proven.
CONFINED = unit_confinement()


def run(*options, output="text"):
    return [*CONFINED, TOOL, "run", *options, *(["--json"] if output == "json" else [])]


def test_the_diagnosis_runs_confined_as_its_unit(sandbox):
    steps = sandbox.run(Host(syslog_ng=False, auditd=False),
                        steps=[[*CONFINED, "setpriv", "-d"], [*CONFINED, "cat", "/proc/net/dev"]]).steps  # fmt: skip
    status = dict(line.split(": ", 1) for line in steps[0].stdout.splitlines() if ": " in line)
    bounding = set(status["Capability bounding set"].split(","))
    option = next(word for word in CONFINED if word.startswith("--bounding-set="))
    assert bounding == {name[1:] for name in option.split(",")[1:]}
    assert "audit_control" in bounding and "sys_admin" not in bounding
    assert status["no_new_privs"] == "1"
    # Only the loopback device: no way out to any network.
    assert [line.split(":")[0].strip() for line in steps[1].stdout.splitlines()[2:]] == ["lo"]


def unique_keys(pairs):
    keys = [key for key, _ in pairs]
    assert len(keys) == len(set(keys)), keys
    return dict(pairs)


def reject_constant(name):
    raise ValueError(f"not JSON: {name}")


def json_records(step):
    """Standard output, line by line, as JSON objects read by a strict parser;
    jq reads it too."""
    records = [json.loads(line, object_pairs_hook=unique_keys, parse_constant=reject_constant)
               for line in step.stdout.splitlines()]  # fmt: skip
    assert subprocess.run(["jq", "-e", "."], input=step.stdout, capture_output=True, text=True).returncode == 0
    assert records[-1]["record"] == "summary" and records[-1]["exit_status"] == step.returncode
    return records


def as_log_lines(records):
    """The system-log lines that the records stand for."""
    lines = []
    for record in records:
        kind = record["record"]
        if kind == "start":
            lines.append(("user.notice", "type=EVENT_DIAGNOSTICS_START"))
        elif kind == "finding":
            lines.append(finding(record["level"].upper(), record["message"]))
        elif kind == "debug":
            lines.append(("user.debug", record["message"]))
        elif kind == "end":
            lines.append(("user.notice", f"type=EVENT_DIAGNOSTICS_END desc='errors={record['errors']}'"))
    return lines


def check_output(step, output, complete_log=True):
    """With --json: the records stand for exactly the system-log lines (or end
    with them, where syslog-ng was down for a while)."""
    if output != "json":
        return
    lines = as_log_lines(json_records(step))
    sent = step.engine_lines()
    assert lines == sent if complete_log else lines[len(lines) - len(sent):] == sent


NO_DEV_LOG = "/dev/log does not exist: the system log receives nothing"


def finding(level, desc):
    return ("user.crit", f"type=EVENT_DIAGNOSTICS_{level} desc='{desc}' file='{REPORT}'")


def framed(*findings, count=None):
    """The engine's system-log lines of one run with these findings."""
    count = len(findings) if count is None else count
    return [("user.notice", "type=EVENT_DIAGNOSTICS_START"), *findings,
            ("user.notice", f"type=EVENT_DIAGNOSTICS_END desc='errors={count}'")]  # fmt: skip


def texts(step):
    return {path: (d["kind"], d["text"], d.get("mode"), d.get("owner"), d.get("group"))
            for path, d in step.files.items() if path != REPORT}  # fmt: skip


def accounts_setup():
    setup = [["groupadd", "tarno-admin"]]
    for name, uid in ACCOUNTS.items():
        groups = ["-G", "tarno-admin"] if name == "admin" else []
        setup.append(["useradd", *groups, "-o", "-u", str(uid), "-p", PASSWORD, name])
    return setup


def passwords(step):
    return {line.split(":")[0]: line.split(":")[1] for line in step.text("/etc/shadow").splitlines()}


def newly_locked(result):
    before, after = passwords(result.before), passwords(result.steps[0])
    return {name for name, password in after.items() if password != before[name]}


def lockable(result):
    """Unlocked accounts from uid 1000 up, but the listed administrator (the host
    may have accounts of its own there)."""
    before = passwords(result.before)
    return {line.split(":")[0] for line in result.before.text("/etc/passwd").splitlines()
            if int(line.split(":")[2]) >= 1000 and line.split(":")[0] != "admin"
            and not before[line.split(":")[0]].startswith("!")}  # fmt: skip


# ---------------------------------------------------------------- a healthy host


def test_a_healthy_host_is_left_as_it_is(sandbox, output):
    result = sandbox.run(Host(setup=accounts_setup()), steps=[run(output=output)], collect=[REPORT, "/etc/shadow"])
    step = result.steps[0]
    assert step.returncode == 0, step.describe()
    check_output(step, output)
    assert report_entries(step.text(REPORT)) == [STARTED, COMPLETED + "0"]
    assert step.engine_lines() == framed()
    assert texts(step) == texts(result.before)
    assert step.kernel_rules == result.before.kernel_rules and set(step.kernel_rules) == listed_rules()
    assert step.systemctl_calls == [] and step.running == {"syslog-ng": True, "auditd": True}
    assert passwords(step) == passwords(result.before)


# ---------------------------------------------------------------- a broken host

HAND_EDITED = "hand-edited"


def broken_main_config(variant):
    text = stock_syslog_ng_conf()
    if variant == HAND_EDITED:
        # "} ;" ends the definition before f_auth, and the last line has no line feed.
        text = text.replace("not facility(auth,authpriv,cron,daemon,mail,news); };",
                            "not facility(auth,authpriv,cron,daemon,mail,news); } ;")  # fmt: skip
        text = text.rstrip("\n") + "\n# edited by hand"
    return text


@pytest.fixture(scope="module", params=[(v, o) for v in ("stock", HAND_EDITED) for o in ("text", "json")],
                ids=lambda p: "-".join(p))
def broken(request, module_sandbox):
    """A broken host diagnosed, diagnosed again, then syslog-ng's own syntax check."""
    variant, output = request.param
    host = Host(
        files={
            MAIN_CONFIG: broken_main_config(variant),
            USER_CONFIG: File("# the module's settings\n", 0o640, "root", "adm"),
            REPORT_DIR: None,
            RULES_FILE: None,
        },
        setup=[["auditctl", "-D"]],
    )
    diagnose = run("--verbose", output=output)
    result = module_sandbox.run(host, steps=[diagnose, diagnose, ["syslog-ng", "-s"]], collect=[REPORT])
    return variant, output, result


def test_broken_host_findings(broken):
    _, output, result = broken
    first = result.steps[0]
    assert first.returncode == 1, first.describe()
    # The report directory's findings come before the report file is open.
    directory = [f"error: {REPORT_DIR} does not exist", f"warning: {REPORT_DIR} was partially restored"]
    expected = [
        STARTED,
        f"error: {USER_CONFIG} is wrong",
        f"warning: {USER_CONFIG} was partially restored",
        f"error: {RULES_FILE} does not exist",
        f"warning: {RULES_FILE} was partially restored",
        COMPLETED + "4",
    ]
    assert report_entries(first.text(REPORT)) == expected
    if output == "text":
        assert [line.split(" tarno-event-diagnostics: ", 1)[1] for line in first.stdout.splitlines()] == [
            *directory, *expected]  # fmt: skip
    check_output(first, output)
    assert first.engine_lines() == [
        finding("ERROR", f"{REPORT_DIR} does not exist"),
        finding("WARNING", f"{REPORT_DIR} was partially restored"),
        *framed(
            finding("ERROR", f"{USER_CONFIG} is wrong"),
            finding("WARNING", f"{USER_CONFIG} was partially restored"),
            ("user.debug", "The following necessary components of syslog-ng have been restored: filter f_audit."),
            finding("ERROR", f"{RULES_FILE} does not exist"),
            finding("WARNING", f"{RULES_FILE} was partially restored"),
            count=4,
        ),
    ]  # fmt: skip
    assert first.systemctl_calls == ["restart auditd"]


def test_broken_host_repairs(broken):
    variant, _, result = broken
    before, first = result.before, result.steps[0]
    user = first.files[USER_CONFIG]
    assert (user["text"], user["mode"], user["owner"], user["group"]) == (
        INCLUDE_LINE + "\n# the module's settings\n\n", 0o640, "root", "adm")
    main = first.files[MAIN_CONFIG]
    separator = "\n" if variant == HAND_EDITED else ""
    assert main["text"] == before.text(MAIN_CONFIG) + separator + 'filter f_audit { program("audit"); };\n'
    assert (main["mode"], main["owner"]) == (before.files[MAIN_CONFIG]["mode"], "root")
    rules = first.files[RULES_FILE]
    listing, important = tables()
    assert (rules["text"], rules["mode"], rules["owner"]) == (
        "".join(rule + "\n" for rule in [*listing.values(), *important]), 0o640, "root")
    assert first.files[REPORT_DIR]["kind"] == "folder"
    # The restart of auditd loaded every rule of the new file.
    assert before.kernel_rules == [] and set(first.kernel_rules) == listed_rules()
    assert first.running == {"syslog-ng": True, "auditd": True}


def test_broken_host_is_clean_on_the_second_run(broken):
    _, output, result = broken
    first, second, syntax = result.steps
    assert second.returncode == 0, second.describe()
    check_output(second, output)
    assert report_entries(second.text(REPORT)) == [STARTED, COMPLETED + "0"]
    assert texts(second) == texts(first) and second.kernel_rules == first.kernel_rules
    assert second.systemctl_calls == []
    # syslog-ng itself accepts the repaired configuration, module file included.
    assert (syntax.returncode, syntax.stderr) == (0, ""), syntax.describe()


# ---------------------------------------------------------------- daemons


def test_stopped_daemons_are_restarted(sandbox, output):
    # A stopped auditd leaves the kernel's rules loaded; with none, the rule check
    # would load each one again before the service check.
    host = Host(syslog_ng=False, auditd=False, setup=[["auditctl", "-R", RULES_FILE]])
    result = sandbox.run(host, steps=[run(output=output)], collect=[REPORT])
    step = result.steps[0]
    check_output(step, output, complete_log=False)
    # With no syslog-ng there is no /dev/log: the report says so, once.
    assert report_entries(step.text(REPORT)) == [STARTED, NO_DEV_LOG, f"critical: {STOPPED}", COMPLETED + "1"]
    assert step.systemctl_calls == ["restart syslog-ng", "restart auditd"]
    assert step.running == {"syslog-ng": True, "auditd": True}
    # Lines sent while no syslog-ng listened are lost; the rest arrive.
    assert step.engine_lines()[-2:] == [
        ("user.debug", "syslog-ng successfully restarted"),
        ("user.notice", "type=EVENT_DIAGNOSTICS_END desc='errors=1'"),
    ]


def test_a_syslog_ng_that_cannot_start_blocks_the_accounts(sandbox, output):
    broken = stock_syslog_ng_conf() + 'filter f_audit { program("audit"); };\nfilter f_broken { level(debug) ;\n'
    host = Host(files={MAIN_CONFIG: broken}, syslog_ng=False, setup=accounts_setup())
    result = sandbox.run(host, steps=[run("--block", output=output)], collect=[REPORT, "/etc/shadow", "/etc/passwd"])
    step = result.steps[0]
    assert step.returncode == 1, step.describe()
    check_output(step, output, complete_log=False)
    assert report_entries(step.text(REPORT)) == [
        STARTED,
        NO_DEV_LOG,
        f"critical: {STOPPED}",
        "error: Command '['syslog-ng', '-s']' returned non-zero exit status 1.",
        "critical: Can not start syslog-ng\n" + HINT,
        f"warning: {BLOCKED}",
        COMPLETED + "4",
    ]
    assert step.running["syslog-ng"] is False and step.engine_lines() == []
    assert newly_locked(result) == lockable(result) and {"alice", "bob"} <= newly_locked(result)


# ---------------------------------------------------------------- kernel rules


def delete_command(listed):
    """The auditctl command that deletes a rule as the kernel lists it."""
    words = shlex.split(listed)
    return ["auditctl", "-d" if words[0] == "-a" else "-W", *words[1:]]


def test_lost_rules_are_loaded_again_in_their_file_form(sandbox, output):
    listing, important = tables()
    critical_listed, critical_file = next(iter(listing.items()))
    host = Host(setup=[delete_command(critical_listed), delete_command(important[1])])
    result = sandbox.run(host, steps=[run(output=output)], collect=[REPORT])
    step = result.steps[0]
    check_output(step, output)
    assert len(result.before.kernel_rules) == len(listed_rules()) - 2
    assert report_entries(step.text(REPORT)) == [
        STARTED,
        f"error: audit rule '{critical_file}' is missing",
        f"warning: audit rule '{critical_file}' was restored",
        f"error: audit rule '{important[1]}' is missing",
        f"warning: audit rule '{important[1]}' was restored",
        COMPLETED + "4",
    ]
    assert set(step.kernel_rules) == listed_rules() and step.systemctl_calls == []


def test_refused_loads_are_not_reported_as_restored(sandbox, output):
    listing, important = tables()
    host = Host(setup=[["auditctl", "-D"]], refuse_rule_loads=True)
    result = sandbox.run(host, steps=[run(output=output)], collect=[REPORT])
    step = result.steps[0]
    check_output(step, output)
    expected = [STARTED]
    for rule in [*listing.values(), *important]:
        expected += [f"error: audit rule '{rule}' is missing", f"error: audit rule '{rule}' could not be restored"]
    assert report_entries(step.text(REPORT)) == expected + [COMPLETED + str(len(expected) - 1)]
    assert step.kernel_rules == [] == result.before.kernel_rules


# ---------------------------------------------------------------- packages


def test_a_missing_package_with_blocking(sandbox, output):
    host = Host(packages={"syslog-ng": "install ok installed", "syslog-ng-mod-tarno": "install ok installed"},
                setup=accounts_setup())  # fmt: skip
    result = sandbox.run(host, steps=[run("--block", output=output)], collect=[REPORT, "/etc/shadow", "/etc/passwd"])
    step = result.steps[0]
    check_output(step, output)
    assert report_entries(step.text(REPORT)) == [
        STARTED, "critical: auditd is not installed", f"warning: {BLOCKED}", COMPLETED + "2"]
    assert newly_locked(result) == lockable(result) and {"alice", "bob"} <= newly_locked(result)
    assert [priority for priority, _ in step.engine_lines()].count("user.crit") == 2


def test_held_packages_count_as_installed(sandbox, output):
    host = Host(packages={name: "hold ok installed" for name in ("syslog-ng", "syslog-ng-mod-tarno", "auditd")})
    step = sandbox.run(host, steps=[run(output=output)], collect=[REPORT]).steps[0]
    assert step.returncode == 0, step.describe()
    check_output(step, output)
    if output == "json":
        assert json_records(step)[-1]["packages"] == ["syslog-ng", "syslog-ng-mod-tarno", "auditd"]
    assert report_entries(step.text(REPORT)) == [STARTED, COMPLETED + "0"]
