# SPDX-License-Identifier: LGPL-2.1-or-later
"""--dry-run on the simulated host: it changes nothing (files, kernel rules,
daemons, accounts, system log), and the real run that follows makes exactly the
changes it showed."""

import pytest

from system_sandbox import MAIN_CONFIG, REPORT, REPORT_DIR, RULES_FILE, USER_CONFIG, File, Host, stock_syslog_ng_conf
from system_sandbox import module_sandbox, sandbox, sandbox_ready  # noqa: F401 (fixtures)
from test_whole_host import accounts_setup, json_records, lockable, passwords, run, texts


def changes(step, known=True):
    return [record for record in json_records(step) if record["record"] == "change" and record["known"] == known]


def unchanged(before, step):
    assert texts(step) == texts(before) and step.files[REPORT] == before.files[REPORT]
    assert step.kernel_rules == before.kernel_rules and step.running == before.running
    assert step.systemctl_calls == [] and passwords(step) == passwords(before)
    # Nothing reached the system log, which the sandbox's syslog-ng receives.
    assert step.engine_lines() == []


@pytest.fixture(scope="module")
def previewed(module_sandbox):
    """The main job's broken host: a dry run as text, one as JSON lines, then a
    real run."""
    host = Host(
        files={
            MAIN_CONFIG: stock_syslog_ng_conf(),
            USER_CONFIG: File("# the module's settings\n", 0o640, "root", "adm"),
            REPORT_DIR: None,
            RULES_FILE: None,
        },
        setup=[["auditctl", "-D"], *accounts_setup()],
    )
    steps = [run("--dry-run"), run("--dry-run", output="json"), run(output="json")]
    return module_sandbox.run(host, steps=steps, collect=[REPORT, "/etc/shadow"])


def test_a_dry_run_changes_nothing(previewed):
    before, text, json, _ = previewed.before, *previewed.steps
    for step in (text, json):
        assert step.returncode == 1, step.describe()
        unchanged(before, step)
    assert before.files[REPORT_DIR]["kind"] == "missing"


def test_a_dry_run_says_what_it_would_do_and_never_that_it_did(previewed):
    text, json = previewed.steps[:2]
    findings = [r["message"] for r in json_records(json) if r["record"] == "finding"]
    assert findings[:2] == [f"{REPORT_DIR} does not exist", f"{REPORT_DIR} would be partially restored"]
    assert f"{RULES_FILE} would be partially restored" in findings
    assert not any("was partially restored" in line or "was restored" in line for line in text.stdout.splitlines())
    assert f"would change {USER_CONFIG}:" in text.stdout and "would run: systemctl restart auditd" in text.stdout
    assert text.stdout.splitlines()[-1].startswith("Dry run: nothing was changed; a real run would make 5 change(s)")
    summary = json_records(json)[-1]
    assert (summary["dry_run"], summary["changes"], summary["exit_status"]) == (True, 5, 1)


def test_the_real_run_makes_exactly_the_changes_shown(previewed):
    from tarno_event_diagnostics.dry_run import unified_diff

    before, _, json, real = previewed.before, *previewed.steps
    assert real.returncode == 1, real.describe()
    shown = changes(json)
    files = {r["path"]: r for r in shown if r["kind"] in ("file", "folder")}
    # A folder whose only change is a new entry in it is no change of its own.
    made = {path for path, state in real.files.items()
            if dict(state, names=None) != dict(before.files[path], names=None) and path != REPORT}  # fmt: skip
    assert set(files) == made
    for path, record in files.items():
        after = real.files[path]
        if record["kind"] == "file":
            old = before.files[path]["text"] if before.files[path]["kind"] != "missing" else None
            assert record["diff"] == unified_diff(path, old, after["text"])
        if "mode" in record:
            assert (record["mode"], record["owner"], record["group"]) == (
                f"{after['mode']:04o}", after["owner"], after["group"])
    assert [r["command"] for r in shown if r["kind"] == "command"] == [
        "systemctl " + call for call in real.systemctl_calls]
    # Whether auditd's restart loads the rules is not known to a dry run: the
    # loads it lists for a kernel without rules are marked so, and the real run,
    # whose restart loaded them, needed none of them.
    loads = changes(json, known=False)
    assert loads and all(r["command"].startswith("auditctl ") for r in loads)
    assert set(real.kernel_rules) != set(before.kernel_rules)
    assert any(r["record"] == "note" and "'systemctl restart auditd' was not run" in r["message"]
               for r in json_records(json))  # fmt: skip


def test_a_dry_run_lists_the_accounts_it_would_lock_and_locks_none(sandbox):
    broken = stock_syslog_ng_conf() + 'filter f_audit { program("audit"); };\nfilter f_broken { level(debug) ;\n'
    host = Host(files={MAIN_CONFIG: broken}, syslog_ng=False, setup=accounts_setup())
    result = sandbox.run(host, steps=[run("--block", "--dry-run", output="json")],
                         collect=[REPORT, "/etc/shadow", "/etc/passwd"])  # fmt: skip
    step = result.steps[0]
    assert step.returncode == 1, step.describe()
    unchanged(result.before, step)
    commands = [r["command"] for r in changes(step) + changes(step, known=False) if r["kind"] == "command"]
    assert commands[0] == "systemctl restart syslog-ng"
    # Every account from uid 1000 up but the administrator's, locked already or not.
    accounts = {line.split(":")[0] for line in result.before.text("/etc/passwd").splitlines()
                if int(line.split(":")[2]) >= 1000} - {"admin"}  # fmt: skip
    assert {c.removeprefix("usermod -L ") for c in commands[1:]} == accounts >= lockable(result) >= {"alice", "bob"}
    findings = [r["message"] for r in json_records(step) if r["record"] == "finding"]
    assert findings[-1] == "Accounts of non-privileged users would be blocked"
