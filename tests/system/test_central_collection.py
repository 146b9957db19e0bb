# SPDX-License-Identifier: LGPL-2.1-or-later
"""The shipped syslog-ng drop-ins for central collection, for real: the host's
syslog-ng forwards the tool's records over TCP to a second syslog-ng, the central
server, on the loopback address, which writes each record as a JSON line."""

import json
import socket

import pytest

from system_sandbox import REPO, REPORT_DIR, Host
from system_sandbox import module_sandbox, sandbox_ready  # noqa: F401 (fixtures)

EXAMPLES = REPO / "contrib" / "syslog-ng"
FORWARD = "/etc/syslog-ng/conf.d/tarno-forward.conf"
RECORDS = "/run/central/records.jsonl"

CENTRAL = """
import os, socket, subprocess, time
os.makedirs("/run/central", exist_ok=True)
with open("/run/central/syslog-ng.conf", "w") as config:
    config.write("@version: 3.38\\noptions {{ stats_freq(0); }};\\n" + {central!r})
central = subprocess.Popen(
    ["syslog-ng", "-F", "-f", "/run/central/syslog-ng.conf", "--persist-file=/run/central/persist",
     "--pidfile=/run/central/pid", "--control=/run/central/ctl"],
    stderr=open("/run/central/stderr", "w"))
deadline = time.monotonic() + 20
while True:
    try:
        socket.create_connection(("127.0.0.1", {port}), timeout=1).close()
        break
    except OSError:
        assert time.monotonic() < deadline and central.poll() is None, open("/run/central/stderr").read()
        time.sleep(0.1)
# The host's syslog-ng starts after the central server listens.
subprocess.run(["systemctl", "start", "syslog-ng"], check=True)
for command in (["test"], ["run"]):
    subprocess.run(["tarno-event-diagnostics", *command], stdout=subprocess.DEVNULL)
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    if os.path.exists({records!r}) and open({records!r}).read().count("EVENT_DIAGNOSTICS_END") == 2:
        break
    time.sleep(0.1)
central.terminate()
central.wait()
emit(open({records!r}).read())
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def record_text(record):
    """The message that a parsed record was made from."""
    text = "type=" + record["type"]
    if "desc" in record:
        text += f" desc='{record['desc']}'"
    if "file" in record:
        text += f" file='{record['file']}'"
    return text


@pytest.fixture(scope="module")
def collected(module_sandbox):
    port = free_port()
    forward = (EXAMPLES / "tarno-forward.conf").read_text()
    forward = forward.replace('"central.example.org"', '"127.0.0.1"').replace('"6514"', f'"{port}"')
    central = (EXAMPLES / "tarno-central.conf").read_text()
    central = central.replace('"0.0.0.0"', '"127.0.0.1"').replace('"6514"', f'"{port}"')
    central = central.replace("/var/log/tarno-event-diagnostics/records.jsonl", RECORDS)
    # No report folder and no parent for it: the run reports errors whose texts
    # hold quotes; the self-test's messages hold line feeds.
    host = Host(files={FORWARD: forward, "/tessik/log": None, REPORT_DIR: None}, syslog_ng=False)
    step = module_sandbox.run(host, steps=[CENTRAL.format(central=central, port=port, records=RECORDS)]).steps[0]
    assert step.returncode == 0, step.describe()
    (text,) = [json.loads(line[len("EMIT "):]) for line in step.stdout.splitlines() if line.startswith("EMIT ")]
    return step, text


def test_every_record_arrives_parsed_as_one_json_line(collected):
    step, text = collected
    records = [json.loads(line) for line in text.splitlines()]
    sent = step.engine_lines()
    assert len(records) == len(sent) > 10
    assert [(f"{r['facility']}.{r['priority']}", record_text(r)) for r in records] == sent
    assert {r["host"] for r in records} == {socket.gethostname()}
    assert {r["program"] for r in records} == {"tarno-event-diagnostics"}


def test_quotes_and_line_feeds_stay_in_their_field(collected):
    _, text = collected
    records = [json.loads(line) for line in text.splitlines()]
    assert {"type": "EVENT_DIAGNOSTICS_ERROR", "desc": "[Errno 2] No such file or directory: '/tessik/log/tarno'",
            "file": f"{REPORT_DIR}/self-diagnostics.report"}.items() <= next(
        r for r in records if "Errno" in r.get("desc", "")).items()  # fmt: skip
    assert sum(r.get("desc") == "test\ntest" for r in records) == 3
