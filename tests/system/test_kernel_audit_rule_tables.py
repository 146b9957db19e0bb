# SPDX-License-Identifier: LGPL-2.1-or-later
"""The audit rule tables against the real kernel: on this machine's architecture
every rule in rules-file form loads with auditctl, and auditctl -l then lists
exactly the listing form that the table pairs with it (the watch rules in their
own text). Each rule is removed right after it is looked at, so the kernel keeps
the rules it had; rules the host already holds are left alone.

Runs on the simulated host, whose files give the watched paths the folders that
the kernel needs; no auditd runs there, so nothing else loads rules meanwhile."""

import pytest

from system_sandbox import Host, audit_refusal, emitted
from system_sandbox import module_sandbox, sandbox_ready  # noqa: F401 (fixtures)

PROBE = """
import platform, subprocess

def auditctl(*args):
    return subprocess.run(["auditctl", *args], capture_output=True, text=True)

def listing():
    return auditctl("-l").stdout.strip().split("\\n")

def removal(rule):
    words = rule.split(" ")
    return [{"-a": "-d", "-w": "-W"}[words[0]], *words[1:]]

arch = platform.machine()
pairs = [(rule, listed) for listed, rule in JournalInspector.critical_auditstyle_rules.get(arch, {}).items()]
pairs += [(rule, rule) for rule in JournalInspector.important_audit_rules]
before, rows = listing(), []
for rule, listed in pairs:
    if listed in before:
        rows.append({"rule": rule, "held by the host": True})
        continue
    previous = listing()
    loaded = auditctl(*rule.split(" "))
    try:
        added = [line for line in listing() if line not in previous] if loaded.returncode == 0 else loaded.stderr
    finally:
        if loaded.returncode == 0:
            auditctl(*removal(rule))
    rows.append({"rule": rule, "listed": listed, "added": added, "restored": listing() == previous})
emit({"arch": arch, "rows": rows, "kept": listing() == before})
"""


@pytest.fixture(scope="module")
def probe(module_sandbox):
    if audit_refusal() is not None:
        pytest.skip(audit_refusal())
    step = module_sandbox.run(Host(syslog_ng=False, auditd=False), steps=[PROBE]).steps[0]
    assert step.returncode == 0, step.describe()
    [found] = emitted(step)
    return found


def test_every_rule_of_this_machine_lists_in_its_paired_form(probe):
    assert len(probe["rows"]) == {"x86_64": 10, "aarch64": 10, "armv7l": 10}.get(probe["arch"], 4)
    rows = [row for row in probe["rows"] if "held by the host" not in row]
    if not rows:
        pytest.skip("the host holds every rule already")
    assert [row["rule"] for row in rows if row["added"] != [row["listed"]]] == [], rows


def test_the_kernel_keeps_the_rules_it_had(probe):
    assert probe["kept"] and all(row["restored"] for row in probe["rows"] if "restored" in row)
