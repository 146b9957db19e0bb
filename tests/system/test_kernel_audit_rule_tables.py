"""The audit rule tables against the real kernel: on this machine's architecture
every rule in rules-file form loads with auditctl, and auditctl -l then lists
exactly the listing form that the table pairs with it (the watch rules in their
own text). Each rule is removed right after it is looked at, so the kernel keeps
the rules it had; rules the host already holds are left alone.

Runs in the sandbox, whose overlays and tmpfs give the watched paths the folders
that the kernel needs, without touching the host's files."""

import pytest

from system_sandbox import ENGINE_PRELUDE, emitted
from system_sandbox import module_sandbox, sandbox_ready  # noqa: F401 (fixtures)

PROBE = ENGINE_PRELUDE + """
import platform, subprocess

def auditctl(*args):
    done = subprocess.run(["auditctl", *args], capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr.strip()

def listing():
    status, out, err = auditctl("-l")
    if status:
        raise RuntimeError(f"auditctl -l: {err}")
    return out.strip().split("\\n")

def removal(rule):
    words = rule.split(" ")
    return [{"-a": "-d", "-w": "-W"}[words[0]], *words[1:]]

status, out, err = auditctl("-s")
if status:
    emit({"refused": f"the kernel refuses audit requests here: {err or status}"})
elif "enabled 2" in out.split("\\n"):
    emit({"refused": "the audit configuration is immutable (enabled 2)"})
else:
    arch = platform.machine()
    pairs = [(rule, listed) for listed, rule in JournalInspector.critical_auditstyle_rules.get(arch, {}).items()]
    pairs += [(rule, rule) for rule in JournalInspector.important_audit_rules]
    before, rows = listing(), []
    for rule, listed in pairs:
        if listed in before:
            rows.append({"rule": rule, "held by the host": True})
            continue
        previous = listing()
        status, _, err = auditctl(*rule.split(" "))
        try:
            added = [line for line in listing() if line not in previous] if status == 0 else err
        finally:
            if status == 0:
                auditctl(*removal(rule))
        rows.append({"rule": rule, "listed": listed, "added": added, "restored": listing() == previous})
    emit({"arch": arch, "rows": rows, "kept": listing() == before})
"""

FOLDERS = ["/usr/share/syslog-ng-mod-tarno", "/var/log/audit", "/etc/syslog-ng/conf.d", "/etc/audit/rules.d"]


@pytest.fixture(scope="module")
def probe(module_sandbox):
    result = module_sandbox.run(PROBE, tessik_dirs=("log", "log/tarno", "log/tarno/events"),
                                prepare=[["mkdir", "-p", *FOLDERS]])  # fmt: skip
    assert result.returncode == 0, result.describe()
    [found] = emitted(result)
    if "refused" in found:
        pytest.skip(found["refused"])
    return found


def test_every_rule_of_this_machine_lists_in_its_paired_form(probe):
    rows = [row for row in probe["rows"] if "held by the host" not in row]
    assert len(rows) == len(probe["rows"]) == {"x86_64": 10, "aarch64": 10, "armv7l": 10}.get(probe["arch"], 4)
    assert [row["rule"] for row in rows if row["added"] != [row["listed"]]] == [], rows


def test_the_kernel_keeps_the_rules_it_had(probe):
    assert probe["kept"] and all(row["restored"] for row in probe["rows"] if "restored" in row)
