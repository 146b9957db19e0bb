# SPDX-License-Identifier: LGPL-2.1-or-later
"""The rules file as auditd reads it: a hand-written rules file on a simulated
host with the real auditd, a run of the tool, then a restart of auditd, whose
augenrules loads the rules file again, and a second run."""

import os

import pytest

from system_sandbox import PYTHON, REPORT, RULES_FILE, Host, audit_rules, report_entries, unit_confinement
from system_sandbox import sandbox, sandbox_ready  # noqa: F401 (fixtures)

STARTED = "Self-diagnostics of the event registration subsystem has been started"
COMPLETED = "Self-diagnostics of the event registration subsystem is completed: errors="
REPAIRED = [f"error: important audit rules are missing in {RULES_FILE}",
            f"warning: important audit rules was restored in {RULES_FILE}"]  # fmt: skip
RUN = [*unit_confinement(), "tarno-event-diagnostics", "run"]
WRITE = [PYTHON, "-c", "import sys; open(sys.argv[1], 'wb').write(bytes.fromhex(sys.argv[2]))", RULES_FILE]


def lines(*rules):
    return "".join(rule + "\n" for rule in rules).encode()


def listed_rules():
    from tarno_event_diagnostics.journal_inspector import JournalInspector

    return sorted([*JournalInspector.critical_auditstyle_rules.get(os.uname().machine, {}),
                   *JournalInspector.important_audit_rules])  # fmt: skip


# The rules R of this machine -> the rules file as written by hand, and as the run
# leaves it (None: as it was).
FILES = {
    "a rule written with -F key=": (lambda R: lines(R[0].replace(" -k ", " -F key="), *R[1:]), None),
    "a rule with a trailing blank": (lambda R: lines(R[0] + " ", *R[1:]), None),
    "carriage returns": (lambda R: lines(*R).replace(b"\n", b"\r\n"), lines),
    "a byte that is not UTF-8": (lambda R: b"# R\xe8gles de l'\xe9quipe\n" + lines(*R[:-1]),
                                 lambda *R: lines(R[-1]) + b"# R\xe8gles de l'\xe9quipe\n" + lines(*R[:-1])),
}  # fmt: skip


@pytest.mark.parametrize("written, repaired", list(FILES.values()), ids=list(FILES))
def test_a_restart_of_auditd_loads_every_rule_of_the_file(written, repaired, sandbox):
    rules = audit_rules()
    before = written(rules)
    # auditd has loaded what it could of the file.
    host = Host(setup=[[*WRITE, before.hex()], ["systemctl", "restart", "auditd"]])
    result = sandbox.run(host, steps=[RUN, ["systemctl", "restart", "auditd"], RUN], collect=[REPORT])
    diagnosed, restarted, again = result.steps
    assert report_entries(diagnosed.text(REPORT)) == [
        STARTED, *(REPAIRED if repaired else []), COMPLETED + ("2" if repaired else "0")], diagnosed.describe()
    after = repaired(*rules) if repaired else before
    assert diagnosed.text(RULES_FILE) == after.decode(errors="surrogateescape")
    # augenrules loads every rule once: no rule stands twice in the file.
    assert restarted.systemctl_calls == ["restart auditd"] and sorted(restarted.kernel_rules) == listed_rules()
    # The file is complete now: the second run changes nothing.
    assert report_entries(again.text(REPORT)) == [STARTED, COMPLETED + "0"]
    assert again.text(RULES_FILE) == diagnosed.text(RULES_FILE) and again.systemctl_calls == []
