# SPDX-License-Identifier: LGPL-2.1-or-later
"""Outputs that fail or block never stop the work: a system log that reads
nothing, a full report folder, a reader of standard output that goes away, a
metrics file that cannot be written; paths of the command line, and root."""

import json

import pytest

from system_sandbox import PROGRAM, REPORT, REPORT_DIR, USER_CONFIG, File, Host, emitted, report_entries
from system_sandbox import module_sandbox, sandbox, sandbox_ready  # noqa: F401 (fixtures)

TOOL = "tarno-event-diagnostics"
UNINCLUDED = File("# the module's settings\n", 0o640, "root", "adm")

# Stops syslog-ng and fills its queue on /dev/log, then runs ARGS; a
# healthcheck runs until a syslog-ng that is not stopped runs again.
BLOCKED = """
import signal, socket, subprocess, time

def daemons():
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open(f"/proc/{pid}/comm").read().strip() == "syslog-ng":
                found[int(pid)] = open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()[0]
        except OSError:
            pass
    return found

(stopped,) = daemons()
os.kill(stopped, signal.SIGSTOP)
filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK)
filler.connect("/dev/log")
queued = 0
try:
    while queued < 1000:
        filler.send(b"<13>filler: queued while syslog-ng is stopped")
        queued += 1
except BlockingIOError:
    pass
began = time.monotonic()
args = %ARGS%
tool = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
if args[1] == "healthcheck":
    while time.monotonic() < began + 60 and not [p for p, s in daemons().items() if p != stopped and s in "RS"]:
        time.sleep(0.05)
    restarted = time.monotonic() - began
    tool.send_signal(signal.SIGTERM)
out, errors = tool.communicate(timeout=120)
emit({"queued": queued, "took": time.monotonic() - began, "status": tool.returncode, "out": out, "errors": errors,
      "restarted": restarted if args[1] == "healthcheck" else None})
"""


def blocked(*args):
    return BLOCKED.replace("%ARGS%", repr([TOOL, *args]))


@pytest.fixture(scope="module")
def blocked_log(module_sandbox):
    return module_sandbox.run(Host(), steps=[blocked("healthcheck", "--interval", "0.2"), blocked("run", "--json")],
                              collect=[REPORT], timeout=240)  # fmt: skip


def test_healthcheck_restarts_a_syslog_ng_that_reads_nothing(blocked_log):
    (outcome,) = emitted(blocked_log.steps[0])
    # The SIGTERM may come while the restart's command still runs: 143.
    assert outcome["queued"] >= 10 and outcome["status"] in (1, 143), outcome
    # The control socket's time limit (5 s) and two lines of at most 1 s each.
    assert outcome["restarted"] < 2 * (5 + 2 + 3), outcome
    assert blocked_log.steps[0].systemctl_calls == ["restart syslog-ng"]
    assert "the system log did not take" in outcome["errors"]


def test_a_run_against_a_blocked_system_log_ends_within_its_bound(blocked_log):
    step = blocked_log.steps[1]
    (outcome,) = emitted(step)
    assert outcome["status"] == 1, outcome
    # At most 5 s of waiting for the system log, the control socket's 5 s, a restart.
    assert outcome["took"] < 2 * (5 + 5 + 3), outcome
    summary = json.loads(outcome["out"].splitlines()[-1])
    assert 1 <= summary["system_log_not_delivered"] <= 5
    assert f"did not take {summary['system_log_not_delivered']} line(s)" in outcome["errors"]
    # Once syslog-ng was restarted, the lines after it reached the system log.
    assert step.engine_lines()[-1] == ("user.notice", "type=EVENT_DIAGNOSTICS_END desc='errors=2'")
    entries = report_entries(step.files[REPORT]["text"])
    assert entries[0].startswith("Self-diagnostics") and entries[-1].endswith("errors=2")


def test_full_report_folder_closed_output_and_failing_metrics_stop_nothing(sandbox):
    fill = f"dd if=/dev/zero of={REPORT_DIR}/fill bs=4k 2>/dev/null; true"
    host = Host(files={USER_CONFIG: UNINCLUDED},
                setup=[["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", REPORT_DIR], ["sh", "-c", fill]])  # fmt: skip
    metrics = f"{REPORT_DIR}/diagnosis.prom"
    step = sandbox.run(host, steps=[["bash", "-c", f"{TOOL} run --json --metrics {metrics} | head -1; "
                                     "echo status=${PIPESTATUS[0]}"]], collect=[REPORT_DIR]).steps[0]  # fmt: skip
    first, status = step.stdout.splitlines()
    assert "record" in json.loads(first) and status == "status=3", step.describe()
    assert step.stderr == (f"{PROGRAM}: error: the metrics could not be written to {metrics}: "
                           "No space left on device\n")  # fmt: skip
    # Every check ran and repaired, and the system log holds every line.
    assert '@include "' in step.text(USER_CONFIG)
    lines = step.engine_lines()
    assert ("user.crit", f"type=EVENT_DIAGNOSTICS_ERROR desc='report file {REPORT} could not be written: "
            f"[Errno 28] No space left on device' file='{REPORT}'") in lines  # fmt: skip
    assert lines[-1] == ("user.notice", "type=EVENT_DIAGNOSTICS_END desc='errors=3'")
    # No temporary file of the metrics writer stays behind.
    assert step.files[REPORT_DIR]["names"] == ["fill", "self-diagnostics.report"]


def test_findings_before_the_start_count_paths_and_root(sandbox):
    dangling = ["sh", "-c", f"rm -r {REPORT_DIR} && ln -s /nonexistent {REPORT_DIR}"]
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", TOOL]
    steps = [[TOOL, "run", "--json"], [TOOL, "run", "--metrics", "/dev/null"],
             [TOOL, "run", "--report", "/proc/sys/kernel/hostname"], [*nobody, "healthcheck"]]  # fmt: skip
    dangled, null, proc, unprivileged = sandbox.run(Host(setup=[dangling]), steps=steps, collect=["/dev/null"]).steps
    summary = json.loads(dangled.stdout.splitlines()[-1])
    # Both findings come before the start message, whose count they are not in.
    assert (dangled.returncode, summary["counts"]["error"], summary["exit_status"]) == (1, 2, 1), dangled.describe()
    assert dangled.engine_lines()[-1] == ("user.notice", "type=EVENT_DIAGNOSTICS_END desc='errors=0'")
    for refused, message in ((null, "--metrics: /dev/null is a character device"),
                             (proc, "--report: /proc/sys/kernel/hostname is on the pseudo file system proc")):  # fmt: skip
        assert refused.returncode == 2 and message in refused.stderr.splitlines()[-1], refused.describe()
    assert null.files["/dev/null"]["kind"] == "other" and unprivileged.engine_lines() == []
    assert (unprivileged.returncode, unprivileged.stderr) == (2, f"{PROGRAM}: error: must run as root, not as uid 65534\n")
