# SPDX-License-Identifier: LGPL-2.1-or-later
"""--dry-run on the simulated host: it changes nothing (files, kernel rules,
daemons, accounts, system log), and the real run that follows makes exactly the
changes it showed."""

import pytest

from system_sandbox import (AUDIT_FILTER, MAIN_CONFIG, REPORT, REPORT_DIR, RULES_FILE, USER_CONFIG, File, Host,
                            stock_syslog_ng_conf)
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
    # After a restart that it did not make.
    assert findings[-1] == "(not known) Accounts of non-privileged users would be blocked"


# ---------------------------------------------------------------- a dry run, then the real run

SYSLOG_NG_FOLDER = "/etc/syslog-ng"
OTHER_CONFIG = f"{SYSLOG_NG_FOLDER}/conf.d/other.conf"
COLLECTED = [REPORT, REPORT_DIR, USER_CONFIG, MAIN_CONFIG, RULES_FILE, "/etc/shadow", "/etc/passwd"]

#: Hosts on which a dry run and then the real run are compared: (name, host, options).
SCENARIOS = [
    ("healthy", Host(), []),
    ("broken", Host(files={MAIN_CONFIG: stock_syslog_ng_conf(), USER_CONFIG: "# settings\n", RULES_FILE: None},
                    setup=[["auditctl", "-D"]]), []),
    ("conf.d-crlf", Host(files={USER_CONFIG: "# settings\r\n# more\r\n"}), []),
    ("conf.d-not-utf-8", Host(setup=[["sh", "-c", f"printf '# r\\351glages\\n' > {USER_CONFIG}"]]), []),
    ("conf.d-dangling-link", Host(files={USER_CONFIG: None}, setup=[
        *accounts_setup(), ["ln", "-s", f"{SYSLOG_NG_FOLDER}/gone/mod-tarno.conf", USER_CONFIG]]), ["--block"]),
    ("conf.d-link-loop", Host(files={USER_CONFIG: None},
                              setup=[*accounts_setup(), ["ln", "-s", "mod-tarno.conf", USER_CONFIG]]), ["--block"]),
    ("rules-dangling-link", Host(files={RULES_FILE: None},
                                 setup=[["ln", "-s", "/etc/audit/gone/tarno.rules", RULES_FILE]]), []),
    ("rules-link-loop", Host(files={RULES_FILE: None}, setup=[["ln", "-s", "tarno-syslog.rules", RULES_FILE]]), []),
    ("rules.d-missing", Host(setup=[["rm", "-r", "/etc/audit/rules.d"]]), []),
    ("etc-read-only", Host(files={USER_CONFIG: "# settings\n"},
                           setup=[*accounts_setup(), ["mount", "-o", "remount,ro", "/etc"]]), ["--block"]),
    ("syslog-ng-stopped", Host(syslog_ng=False, setup=accounts_setup()), ["--block"]),
    # Repairing the main configuration defines a filter twice: syslog-ng rejects it.
    ("repair-rejected", Host(files={MAIN_CONFIG: stock_syslog_ng_conf(), OTHER_CONFIG: AUDIT_FILTER}), []),
]  # fmt: skip


def subsequence(part, whole):
    rest = iter(whole)
    return all(item in rest for item in part)


def compare_with_real_run(result):
    """The dry run changed nothing; its findings (reworded) and changes are the
    real run's, where it knew them; the real run's change records are the
    changes that the host shows from before to after."""
    from tarno_event_diagnostics.dry_run import RESTARTS, reworded, unified_diff

    before, dry, real = result.before, *result.steps
    unchanged(before, dry)
    shown, made = json_records(dry), json_records(real)

    def items(records, known_only):
        return [{key: value for key, value in r.items() if key not in ("time", "report", "known")}
                for r in records if r["record"] in ("finding", "change") and (r.get("known", True) or not known_only)]

    expected = [dict(r, message=reworded(r["message"])) if r["record"] == "finding"
                else dict(r, status=None) if r.get("command") in RESTARTS else r  # its outcome is not known
                for r in items(made, False)]  # fmt: skip
    if all(r["known"] for r in shown if r["record"] in ("finding", "change")):
        assert items(shown, True) == expected
        assert dry.returncode == real.returncode
    else:
        # What a dry run did not know it leaves out, and says nothing false.
        assert subsequence(items(shown, True), expected)
    # The real run's records against the host before and after it.
    changes = [r for r in made if r["record"] == "change"]
    files = {}
    for record in changes:
        files.setdefault(record.get("path"), []).append(record)
    for path in COLLECTED[:-2]:  # the account database is usermod's
        old, new = before.files[path], real.files[path]
        if path == REPORT or "link" in (old["kind"], new["kind"]):
            continue
        # A change undone (a repair that syslog-ng rejects) leaves the file as it was.
        changed = dict(old, names=None) != dict(new, names=None)
        assert path in files if changed else len(files.get(path, [])) != 1, path
        if new["kind"] == "file" and path in files and len(files[path]) == 1:
            record = files[path][0]
            assert record["diff"] == unified_diff(path, old["text"], new["text"])
            if "mode" in record:
                assert (record["mode"], record["owner"], record["group"]) == (
                    f"{new['mode']:04o}", new["owner"], new["group"])  # fmt: skip
    commands = [r["command"] for r in changes if r["kind"] == "command"]
    assert [c for c in commands if c.startswith("systemctl ")] == ["systemctl " + c for c in real.systemctl_calls]
    locked = {r["command"].removeprefix("usermod -L ") for r in changes
              if r["kind"] == "command" and r["command"].startswith("usermod -L ") and r["status"] == 0}  # fmt: skip
    after = passwords(real)
    assert {name for name, password in passwords(before).items() if password != after[name]} <= locked
    return shown, made


@pytest.mark.parametrize("name, host, options", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_a_dry_run_foretells_the_real_run(sandbox, name, host, options):
    steps = [run("--dry-run", *options, output="json"), run(*options, output="json")]
    result = sandbox.run(host, steps=steps, collect=COLLECTED)
    shown, made = compare_with_real_run(result)
    if name == "syslog-ng-stopped":
        # The restart not made: what it decides is marked not known, never said as a fact.
        findings = [r for r in shown if r["record"] == "finding" and "Can not start" in r["message"]]
        assert findings and all(not r["known"] and r["message"].startswith("(not known) ") for r in findings)


def test_a_dry_run_makes_no_report_folder(sandbox):
    result = sandbox.run(Host(files={REPORT_DIR: None}), steps=[run("--dry-run", "--report", REPORT)],
                         collect=[REPORT_DIR])  # fmt: skip
    assert result.returncode == 2 and "a dry run makes no folder" in result.stderr
    assert result.files[REPORT_DIR]["kind"] == "missing" and result.stdout == ""


CANDIDATE_CHECK = f"""
import subprocess
from tarno_event_diagnostics import dry_run, journal_inspector
preview = dry_run.Preview(lambda record: None)
restore = dry_run.check_candidates(journal_inspector, preview, "{MAIN_CONFIG}")
live = open("{MAIN_CONFIG}").read()
# In a namespace of its own, then on a copy whose paths are rewritten.
for namespaces in (None, False):
    journal_inspector.subprocess._namespaces = namespaces
    for extra in ("", {AUDIT_FILTER!r} * 2):
        preview.texts["{MAIN_CONFIG}"] = live + extra
        try:
            journal_inspector.subprocess.check_output(["syslog-ng", "-s"])
            emit("accepted")
        except subprocess.CalledProcessError as error:
            emit(error.cmd)
restore()
emit(journal_inspector.subprocess is subprocess)
"""


def test_syslog_ng_checks_the_repaired_configuration_not_the_live_one(sandbox):
    from system_sandbox import emitted

    result = sandbox.run(Host(), steps=[CANDIDATE_CHECK], collect=[MAIN_CONFIG])
    assert emitted(result.steps[0]) == ["accepted", ["syslog-ng", "-s"]] * 2 + [True], result.describe()
    assert texts(result.steps[0]) == texts(result.before)
