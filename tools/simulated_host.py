# SPDX-License-Identifier: LGPL-2.1-or-later
"""Diagnoses a simulated broken host and shows what happened.

The host is a private copy of this machine (overlays on /etc, /usr, /var, /dev
and /run in a mount namespace of its own), with the real syslog-ng and auditd
and the kernel's real audit rules, which are put back afterwards. This machine
itself is not touched. Run as root, after building (tools/diagnose.sh does both).
"""

import difflib
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPO / "tests" / "system"), str(REPO / "src"), str(REPO / "build" / "src")]

import system_sandbox as host  # noqa: E402

BROKEN = {
    # Debian's stock main configuration: it lacks the filter f_audit.
    host.MAIN_CONFIG: host.stock_syslog_ng_conf,
    # The module's conf.d file without the line that includes its configuration.
    host.USER_CONFIG: lambda: host.File("# settings of the syslog-ng module\n", 0o640, "root", "adm"),
    # No report folder, and no audit rules file.
    host.REPORT_DIR: lambda: None,
    host.RULES_FILE: lambda: None,
}


def section(title):
    print(f"\n=== {title}")


def show_file(path, before, after):
    # A folder whose only change is a new entry shows as that entry.
    strip = lambda state: {key: value for key, value in state.items() if key != "names"}  # noqa: E731
    if strip(before) == strip(after):
        return
    change = describe(after) if describe(before) == describe(after) else f"{describe(before)} -> {describe(after)}"
    print(f"--- {path}: {change}")
    old = (before.get("text") or "").splitlines(keepends=True)
    new = (after.get("text") or "").splitlines(keepends=True)
    sys.stdout.writelines(difflib.unified_diff(old, new, f"{path} (before)", f"{path} (after)"))


def describe(state):
    if state["kind"] == "missing":
        return "missing"
    return f"{state['kind']}, mode {state['mode']:04o}, {state['owner']}:{state['group']}"


def main():
    reason = host.unusable_reason() or host.audit_refusal()
    if reason is not None:
        sys.exit(f"cannot simulate a host here: {reason}")
    files = {path: make() for path, make in BROKEN.items()}
    sandbox = host.Sandbox(Path(tempfile.mkdtemp(prefix="tarno-host-")), REPO, REPO / "build")
    command = ["tarno-event-diagnostics", "run", "--verbose"]
    preview = ["tarno-event-diagnostics", "run", "--dry-run"]
    result = sandbox.run(host.Host(files=files, setup=[["auditctl", "-D"]]),
                         steps=[preview, command, command, ["syslog-ng", "--syntax-only"]], collect=[host.REPORT])
    dry, first, second, syntax = result.steps

    section("The simulated host")
    print("Installed: syslog-ng, syslog-ng-mod-tarno, auditd; syslog-ng and auditd run.")
    print("Broken on purpose:")
    print(f"  {host.MAIN_CONFIG}: Debian's stock file, which does not define filter f_audit")
    print(f"  {host.USER_CONFIG}: does not include {host.MODULE_CONFIG}")
    print(f"  {host.REPORT_DIR}: missing")
    print(f"  {host.RULES_FILE}: missing, and the kernel holds no audit rules")

    section(f"A dry run first: {' '.join(preview)}  (exit status {dry.returncode})")
    print(dry.stdout, end="")
    print(dry.stderr, end="", file=sys.stderr)
    untouched = all(dry.files[path] == result.before.files[path] for path in dry.files)
    print(f"Files changed by it: {'none' if untouched else 'SOME (a fault)'}; systemctl calls: "
          f"{len(dry.systemctl_calls)}; lines it sent to the system log: {len(dry.engine_lines())}")

    section(f"First diagnosis: {' '.join(command)}  (exit status {first.returncode}: "
            f"{'findings were reported' if first.returncode == 1 else 'see below'})")
    print(first.stdout, end="")
    print(first.stderr, end="", file=sys.stderr)
    print("(error: something found wrong; warning: something repaired; critical: the subsystem cannot\n"
          " work. Lines before \"has been started\" come from opening the report; \"errors=\" counts\n"
          " the findings after it.)")

    section("What syslog-ng received from it (facility.priority program: message)")
    for entry in first.entries:
        if entry.program == host.PROGRAM:
            print(f"{entry.priority} {entry.program}: {entry.message}")

    section("Files the diagnosis repaired")
    for path in sorted(first.files):
        if path != host.REPORT:
            show_file(path, result.before.files[path], first.files[path])

    section("Commands it ran through systemctl")
    for call in first.systemctl_calls:
        print(f"systemctl {call}")

    section("The kernel's audit rules afterwards (auditctl -l)")
    print("\n".join(first.kernel_rules) or "No rules")

    section(f"Second diagnosis: {' '.join(command)}  (exit status {second.returncode})")
    print(second.stdout, end="")
    changed = [path for path in second.files if second.files[path] != first.files[path] and path != host.REPORT]
    print(f"Files changed by it: {', '.join(changed) or 'none'}")

    section(f"syslog-ng --syntax-only on the repaired configuration: exit status {syntax.returncode}")
    print(syntax.stderr or "accepted")
    print("\nThis machine was not touched. To diagnose it for real: tarno-event-diagnostics run")
    return 0 if untouched and second.returncode == 0 and syntax.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
