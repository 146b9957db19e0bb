# SPDX-License-Identifier: LGPL-2.1-or-later
"""Commands that hang or fail on a simulated host with the real daemons: time
limits, stop signals, and account blocking that the host refuses."""

from pathlib import Path

from system_sandbox import REPORT, Host, emitted, report_entries
from system_sandbox import sandbox, sandbox_ready  # noqa: F401 (fixtures)
from test_whole_host import BLOCKED, COMPLETED, HINT, NO_DEV_LOG, STARTED, STOPPED, accounts_setup, passwords, run

TESTS = Path(__file__).resolve().parents[1] / "python"
INTERRUPTED = ("Self-diagnostics of the event registration subsystem was interrupted by SIGTERM: "
               "no further change was made")  # fmt: skip
HUNG_PIDS = "/run/tarno-sandbox/hung.pids"
# A restart of syslog-ng that never ends, with a child of its own; every other
# call goes to the sandbox's service manager.
HUNG_RESTART = f"""#!/bin/sh
if [ "$*" = "restart syslog-ng" ]; then
    sleep 601 &
    echo $! $$ > {HUNG_PIDS}
    exec sleep 600
fi
exec "$0.real" "$@"
"""
HANG_THE_RESTART = ["sh", "-c", 'cd /run/tarno-sandbox/bin && mv systemctl systemctl.real && printf "%s" "$0" > systemctl'
                    ' && chmod 755 systemctl', HUNG_RESTART]  # fmt: skip

# The tool with limits of 2 s, as the settings record sets them.
STEP = f"""
import functools, signal, subprocess, sys, time
from pathlib import Path
sys.path.insert(0, {str(TESTS)!r})
from test_cli import running, signalled
LAUNCH = ("import functools\\n"
          "from tarno_event_diagnostics import config\\n"
          "config.Config = functools.partial(config.Config, restart_timeout=2, query_timeout=2)\\n"
          "from tarno_event_diagnostics.cli import main\\n"
          "raise SystemExit(main())\\n")
pids = Path({HUNG_PIDS!r})
def left():
    return [pid for pid in pids.read_text().split() if running(pid)]
"""
TERMINATE = STEP + f"""
began = []
def hung(pid):
    if pids.exists() and len(pids.read_text().split()) == 2:
        began.append(time.monotonic())
        return True
    return False
status, _, stderr = signalled([LAUNCH, "run", "--block", "--report", {REPORT!r}], dict(os.environ),
                              signal.SIGTERM, hung)
emit({{"status": status, "stderr": stderr, "took": time.monotonic() - began[-1], "left": left()}})
"""
AT_THE_LIMIT = STEP + f"""
began = time.monotonic()
done = subprocess.run([sys.executable, "-c", LAUNCH, "run", "--block", "--report", {REPORT!r}], timeout=100)
emit({{"status": done.returncode, "took": time.monotonic() - began, "left": left()}})
"""


def test_a_hung_restart_ends_at_its_limit_or_at_sigterm(sandbox):
    host = Host(syslog_ng=False, setup=[*accounts_setup(), HANG_THE_RESTART])
    result = sandbox.run(host, steps=[TERMINATE, AT_THE_LIMIT], collect=[REPORT, "/etc/shadow"])
    terminated, limited = result.steps
    # SIGTERM while the restart hangs: the restart's group ends with the tool,
    # promptly, and nothing follows it (no blocking, no check of auditd).
    (outcome,) = emitted(terminated)
    print(f"SIGTERM to the end of the run: {outcome['took']:.2f} s")
    assert (outcome["status"], outcome["stderr"], outcome["left"]) == (143, "tarno-event-diagnostics: terminated\n", [])
    assert outcome["took"] < 10
    # No syslog-ng runs, so the system log's absence is said once in the report.
    assert report_entries(terminated.text(REPORT)) == [STARTED, NO_DEV_LOG, f"critical: {STOPPED}", INTERRUPTED]
    assert passwords(terminated) == passwords(result.before)
    assert terminated.systemctl_calls == [] and not [e for e in terminated.entries if e.program == "usermod"]
    # Without a signal the limit ends it, and the run goes on as after a failed restart.
    (outcome,) = emitted(limited)
    print(f"run with a restart hung at its limit of 2 s: {outcome['took']:.2f} s")
    assert (outcome["status"], outcome["left"]) == (1, [])
    assert outcome["took"] < 2 * (2 + 5)
    assert report_entries(limited.text(REPORT)) == [
        STARTED,
        NO_DEV_LOG,
        f"critical: {STOPPED}",
        "error: Command 'systemctl restart syslog-ng' timed out after 2 seconds",
        "critical: Can not start syslog-ng\n" + HINT,
        f"warning: {BLOCKED}",
        COMPLETED + "4",
    ]
    assert passwords(limited)["alice"].startswith("!")


def test_accounts_on_a_read_only_etc_are_not_reported_blocked(sandbox):
    read_only = [["mount", "--bind", "/etc", "/etc"], ["mount", "-o", "remount,ro,bind", "/etc"]]
    host = Host(packages={"syslog-ng": "install ok installed", "syslog-ng-mod-tarno": "install ok installed"},
                setup=[*accounts_setup(), *read_only])  # fmt: skip
    result = sandbox.run(host, steps=[run("--block")], collect=[REPORT, "/etc/shadow", "/etc/passwd"])
    step = result.steps[0]
    assert step.returncode == 1, step.describe()
    # The real usermod fails for every account it is asked to lock, and says so.
    selected = [line.split(":")[0] for line in step.text("/etc/passwd").splitlines()
                if int(line.split(":")[2]) >= 1000 and line.split(":")[0] != "admin"]  # fmt: skip
    assert {"alice", "bob"} <= set(selected)
    errors = [f"error: account '{name}' could not be blocked" for name in selected]
    assert report_entries(step.text(REPORT)) == [
        STARTED, "critical: auditd is not installed", *errors, COMPLETED + str(1 + len(errors))]
    assert "usermod: " in step.stderr
    assert passwords(step) == passwords(result.before)
