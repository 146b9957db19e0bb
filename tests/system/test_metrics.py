# SPDX-License-Identifier: LGPL-2.1-or-later
"""The Prometheus metrics file on the simulated host: after a diagnosis, and
after every pass of a health check that finds syslog-ng unable to start, read
by prometheus_client's own text parser while it is being rewritten."""

from system_sandbox import MAIN_CONFIG, USER_CONFIG, File, Host, emitted, stock_syslog_ng_conf
from system_sandbox import sandbox, sandbox_ready  # noqa: F401 (fixtures)

PREFIX = "tarno_event_diagnostics_"

READ = """
from prometheus_client.parser import text_string_to_metric_families

def samples(text):
    return {s.name + "".join(f"{{{k}={v}}}" for k, v in sorted(s.labels.items())): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}
"""

DIAGNOSIS = READ + """
import subprocess, time
os.makedirs("/run/metrics")
began = time.time()
status = subprocess.run(["tarno-event-diagnostics", "run", "--metrics", "/run/metrics/diagnosis.prom"]).returncode
emit({"status": status, "began": began, "samples": samples(open("/run/metrics/diagnosis.prom").read()),
      "files": sorted(os.listdir("/run/metrics"))})
"""

HEALTH = READ + """
import signal, subprocess, time
os.makedirs("/run/metrics")
path = "/run/metrics/health.prom"
child = subprocess.Popen(["tarno-event-diagnostics", "healthcheck", "--interval", "0", "--metrics", path],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
reads, bad, last = 0, [], {}
deadline = time.monotonic() + 60
while time.monotonic() < deadline and child.poll() is None:
    try:
        text = open(path).read()
    except FileNotFoundError:
        continue
    # Every read sees one whole file: the writer renames a new one over it.
    try:
        last = samples(text)
        assert text.endswith("\\n") and len(last) == 5, text
        reads += 1
    except Exception as error:
        bad.append(repr(error))
    if last.get("%shealthcheck_restarts_total") >= 3 and reads >= 100:
        break
child.send_signal(signal.SIGTERM)
_, errors = child.communicate(timeout=60)
emit({"status": child.returncode, "errors": errors, "reads": reads, "bad": bad[:3], "last": last,
      "files": sorted(os.listdir("/run/metrics"))})
""".replace("%s", PREFIX)


def test_metrics_after_a_diagnosis(sandbox):
    host = Host(files={USER_CONFIG: File("# the module's settings\n", 0o640, "root", "adm")})
    (outcome,) = emitted(sandbox.run(host, steps=[DIAGNOSIS]).steps[0])
    assert outcome["status"] == 1 and outcome["files"] == ["diagnosis.prom"]
    samples = outcome["samples"]
    assert {name: value for name, value in samples.items() if "findings" in name} == {
        f"{PREFIX}last_run_findings{{level=critical}}": 0,
        f"{PREFIX}last_run_findings{{level=error}}": 1,
        f"{PREFIX}last_run_findings{{level=warning}}": 1,
    }
    assert samples[f"{PREFIX}last_run_success"] == 1
    assert 0 < samples[f"{PREFIX}last_run_duration_seconds"] < 60
    assert outcome["began"] <= samples[f"{PREFIX}last_run_timestamp_seconds"] < outcome["began"] + 60


def test_metrics_of_a_failing_health_check_are_never_read_half_written(sandbox):
    broken = stock_syslog_ng_conf() + 'filter f_audit { program("audit"); };\nfilter f_broken { level(debug) ;\n'
    step = sandbox.run(Host(files={MAIN_CONFIG: broken}, syslog_ng=False), steps=[HEALTH], timeout=180).steps[0]
    (outcome,) = emitted(step)
    # Findings end the command with 1, or 143 when the SIGTERM came during a pass;
    # systemctl and the syntax check complain on standard error, which the check
    # leaves alone.
    assert outcome["status"] in (1, 143), outcome
    assert outcome["reads"] >= 100 and outcome["bad"] == []
    last = outcome["last"]
    assert last[f"{PREFIX}healthcheck_syslog_ng_available"] == 0
    assert last[f"{PREFIX}healthcheck_restarts_total"] >= 3
    # No temporary file of the writer stays behind for the collector to read.
    assert outcome["files"] == ["health.prom"]
