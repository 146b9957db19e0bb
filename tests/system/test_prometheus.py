# SPDX-License-Identifier: LGPL-2.1-or-later
"""The alerting rules of contrib/prometheus and the metrics files against
Prometheus's own tools: promtool checks the rules and runs their unit tests;
every metric, label and label value that the rules and the unit tests' input
series name is one that the tool wrote on a simulated host; and the real node
exporter, on loopback only, serves every family of those files."""

import os
import re
import subprocess

import pytest
import yaml
from prometheus_client.parser import text_string_to_metric_families

from system_sandbox import REPO, Host, emitted
from system_sandbox import module_sandbox, sandbox_ready  # noqa: F401 (fixtures)

RULES = REPO / "contrib" / "prometheus" / "tarno-event-diagnostics.rules.yml"
UNIT_TESTS = sorted((REPO / "tests" / "prometheus").glob("*.test.yml"))
PROMTOOL = "/usr/bin/promtool"
EXPORTER = "/usr/bin/prometheus-node-exporter"
PREFIX = "tarno_event_diagnostics_"
#: The labels that Prometheus gives every series it scrapes.
SCRAPE_LABELS = {"instance", "job"}

# Both commands write their files under the names that examples/metrics.conf gives
# them, and the node exporter reads their folder through its textfile collector alone.
SCENARIO = """
import contextlib, ctypes, http.client, signal, socket, subprocess, time
folder = "/run/tarno-metrics"
os.makedirs(folder)
subprocess.run(["tarno-event-diagnostics", "run", "--metrics", folder + "/tarno-event-diagnostics.prom"],
               stdout=subprocess.DEVNULL, timeout=120)
health = subprocess.Popen(["tarno-event-diagnostics", "healthcheck", "--metrics",
                           folder + "/tarno-event-healthcheck.prom"], stdout=subprocess.DEVNULL)
deadline = time.monotonic() + 60
while not os.path.exists(folder + "/tarno-event-healthcheck.prom") and time.monotonic() < deadline:
    time.sleep(0.05)
health.send_signal(signal.SIGTERM)
health.wait(timeout=60)
files = {name: open(os.path.join(folder, name)).read() for name in sorted(os.listdir(folder))}

def listening(pid):
    sockets = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            sockets.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
    found = []
    for table in ("tcp", "tcp6", "udp", "udp6"):
        for line in open(f"/proc/net/{table}").read().splitlines()[1:]:
            fields = line.split()
            # TCP sockets that listen (0A), and every UDP one
            if f"socket:[{fields[9]}]" in sockets and (table.startswith("udp") or fields[3] == "0A"):
                found.append(f"{table} {fields[1]}")
    return found

with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
exporter = subprocess.Popen(
    ["%EXPORTER%", f"--web.listen-address=127.0.0.1:{port}", "--web.disable-exporter-metrics",
     "--collector.disable-defaults", "--collector.textfile", "--collector.textfile.directory=" + folder],
    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, user="nobody", group="nogroup",
    preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))  # dies with this step
answer, bound = None, []
try:
    deadline = time.monotonic() + 30
    while answer is None and time.monotonic() < deadline and exporter.poll() is None:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        try:
            connection.request("GET", "/metrics")
            answer = connection.getresponse().read().decode()
        except OSError:
            time.sleep(0.1)
        finally:
            connection.close()
    bound = listening(exporter.pid)
finally:
    exporter.terminate()
    try:
        exporter.wait(timeout=10)
    except subprocess.TimeoutExpired:
        exporter.kill()
        exporter.wait()
emit({"files": files, "port": port, "answer": answer, "listening": bound,
      "exporter": exporter.stderr.read()[-2000:]})
""".replace("%EXPORTER%", EXPORTER)

TOKEN = re.compile(r"""\s+|\#[^\n]*
    |(?P<string>"(?:\\.|[^"\\])*"|'(?:\\.|[^'\\])*'|`[^`]*`)
    |(?P<range>\[[^\]]*\])
    |(?P<number>0x[0-9a-fA-F]+|(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?[a-z]*)
    |(?P<name>[A-Za-z_:][\w:]*)
    |(?P<op>=~|!~|!=|==|<=|>=|\S)""", re.X)  # fmt: skip
LABEL_LISTS = {"by", "without", "on", "ignoring", "group_left", "group_right"}
KEYWORDS = LABEL_LISTS | {"and", "or", "unless", "offset", "bool", "inf", "nan", "start", "end", "atan2",
                          "sum", "min", "max", "avg", "group", "stddev", "stdvar", "count",
                          "count_values", "bottomk", "topk", "quantile"}  # fmt: skip


def promql_names(expr: str) -> tuple[set, set, set]:
    """The metric names, label names and (label, value) pairs of `=` matchers
    in a PromQL expression or series selector. A name is a metric unless a call
    follows it, it is a keyword, or it stands in braces or in a label list."""
    tokens = [(m.lastgroup, m.group()) for m in TOKEN.finditer(expr) if m.lastgroup]
    metrics, labels, values = set(), set(), set()
    in_braces = in_list = False
    for i, (kind, text) in enumerate(tokens):
        following = tokens[i + 1][1] if i + 1 < len(tokens) else ""
        if text in "{}":
            in_braces = text == "{"
        elif text == ")":
            in_list = False
        elif kind != "name":
            continue
        elif in_braces or in_list:
            labels.add(text)
            if in_braces and following == "=":
                values.add((text, tokens[i + 2][1][1:-1]))
        elif text in LABEL_LISTS:
            in_list = following == "("
        elif following != "(" and text not in KEYWORDS:
            metrics.add(text)
    return metrics, labels, values


def samples(text: str) -> dict:
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}  # fmt: skip


def test_promtool_checks_the_rules_and_passes_their_unit_tests():
    if not os.access(PROMTOOL, os.X_OK):
        pytest.skip(f"{PROMTOOL} is missing (Debian package prometheus)")
    assert UNIT_TESTS
    for argv in ([PROMTOOL, "check", "rules", RULES], [PROMTOOL, "test", "rules", *UNIT_TESTS]):
        done = subprocess.run(argv, capture_output=True, text=True, timeout=300, check=False)
        assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def served(module_sandbox):
    if not os.access(EXPORTER, os.X_OK):
        pytest.skip(f"{EXPORTER} is missing (Debian package prometheus-node-exporter)")
    step = module_sandbox.run(Host(), steps=[SCENARIO], timeout=180).steps[0]
    outcome = emitted(step)
    assert len(outcome) == 1, step.describe()
    return outcome[0]


def test_the_rules_name_only_metrics_and_labels_that_the_tool_writes(served):
    assert promql_names('sum by (host) (rate(x_total{level="error"}[5m])) > bool 0 and on(level) y') == (
        {"x_total", "y"}, {"host", "level"}, {("level", "error")})  # fmt: skip
    written = samples("".join(served["files"].values()))
    metrics = {name: {label for label, _ in labels} for name, labels in written}
    values = {pair for _, labels in written for pair in labels}
    known_labels = set().union(*metrics.values()) | SCRAPE_LABELS
    rules = [rule for group in yaml.safe_load(RULES.read_text())["groups"] for rule in group["rules"]]
    assert {rule["alert"] for rule in rules} >= {"TarnoEventDiagnosisOverdue", "TarnoEventSyslogNgUnavailable"}
    for rule in rules:
        names, labels, matched = promql_names(rule["expr"])
        assert names and names <= metrics.keys(), rule["alert"]
        assert labels <= known_labels and matched <= values, rule["alert"]
        assert rule["labels"]["severity"] in ("critical", "warning"), rule["alert"]
        assert rule["annotations"].keys() == {"summary", "description"}, rule["alert"]
        for text in rule["annotations"].values():
            assert "$labels.instance" in text and set(re.findall(r"\$labels\.(\w+)", text)) <= known_labels, text
    # The unit tests' input series carry exactly the labels the tool writes.
    for path in UNIT_TESTS:
        for test in yaml.safe_load(path.read_text())["tests"]:
            for series in test["input_series"]:
                (name,), labels, matched = promql_names(series["series"])
                assert labels - SCRAPE_LABELS == metrics[name], series
                assert {pair for pair in matched if pair[0] not in SCRAPE_LABELS} <= values, series


def test_the_node_exporter_serves_every_family_that_the_tool_wrote(served):
    assert sorted(served["files"]) == ["tarno-event-diagnostics.prom", "tarno-event-healthcheck.prom"]
    # It listened on one socket: 127.0.0.1 (0100007F) and the chosen port.
    assert served["listening"] == [f"tcp 0100007F:{served['port']:04X}"], served["exporter"]
    assert served["answer"] is not None, served["exporter"]

    def families(text: str) -> dict:
        return {f.name: f.type for f in text_string_to_metric_families(text) if f.name.startswith(PREFIX)}

    written = "".join(served["files"].values())
    assert all(families(text) for text in served["files"].values())
    assert families(served["answer"]) == families(written)
    answered = samples(served["answer"])
    assert {key: value for key, value in answered.items() if key[0].startswith(PREFIX)} == samples(written)
    assert answered[("node_textfile_scrape_error", ())] == 0
