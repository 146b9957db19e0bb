# SPDX-License-Identifier: LGPL-2.1-or-later
"""Two runs of the tool started together on one host: the lock in /run lets
one diagnose while the other waits, or gives up with exit status 4."""

import pytest

from system_sandbox import USER_CONFIG, File, Host, emitted, report_entries
from system_sandbox import sandbox, sandbox_ready  # noqa: F401 (fixtures)

PROGRAM = "tarno-event-diagnostics"
REPORT = "/tessik/log/tarno/self-diagnostics.report"
START = "type=EVENT_DIAGNOSTICS_START"
END = "type=EVENT_DIAGNOSTICS_END"

# The first run queries dpkg through a slow dpkg-query, so that it holds the
# lock for seconds; the second starts once the first holds it. Both find the
# module's conf.d file without its include line.
TWO_RUNS = """
import fcntl, json, os, subprocess, sys, time

os.mkdir("slow")
with open("slow/dpkg-query", "w") as script:
    script.write("#!/bin/sh\\nsleep 3\\nexec /usr/bin/dpkg-query \\"$@\\"\\n")
os.chmod("slow/dpkg-query", 0o755)
env = dict(os.environ, PATH=os.path.abspath("slow") + ":" + os.environ["PATH"])
tool = [sys.executable, "-m", "tarno_event_diagnostics", "run"]

first = subprocess.Popen(tool + ["--wait", "30"], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
lock = "/run/tarno-event-diagnostics/diagnosis.lock"

def held():
    try:
        with open(lock) as probe:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except FileNotFoundError:
        return False
    except BlockingIOError:
        return True
    return False

deadline = time.monotonic() + 30
while not held():
    assert time.monotonic() < deadline and first.poll() is None, "the first run never took the lock"
    time.sleep(0.02)
second = subprocess.run(tool + ["--wait", WAIT], env=env, capture_output=True, text=True)
out, err = first.communicate(timeout=60)
print("EMIT " + json.dumps([[first.returncode, err], [second.returncode, second.stderr]]))
"""


@pytest.mark.parametrize("wait", ["0", "60"], ids=["gives-up", "waits"])
def test_two_runs_started_together_never_diagnose_at_the_same_time(sandbox, wait):
    host = Host(files={USER_CONFIG: File("# the module's settings\n", 0o640, "root", "adm")})
    result = sandbox.run(host, steps=[f"WAIT = {wait!r}\n" + TWO_RUNS], collect=[REPORT], timeout=120)
    assert result.returncode == 0, result.describe()
    (first, second), = emitted(result)
    frames = [message for _, message in result.engine_lines() if message.startswith((START, END))]
    report = report_entries(result.text(REPORT))
    # The include line went in once: the second run found it in place.
    assert result.text(USER_CONFIG).count("@include") == 1
    assert first[0] == 1, first
    if wait == "0":
        assert second == [
            4,
            "tarno-event-diagnostics: another run holds the lock "
            "/run/tarno-event-diagnostics/diagnosis.lock; gave up after 0 s\n",
        ]
        assert [f.split(" ")[0] for f in frames] == [START, END]
    else:
        # It found what the first repaired in place: nothing to report.
        assert second == [0, ""]
        # The second diagnosis starts only after the first has ended.
        assert [f.split(" ")[0] for f in frames] == [START, END, START, END]
    # The report is whole: the run that waited or gave up never truncated it
    # while the other wrote.
    assert report[0] == "Self-diagnostics of the event registration subsystem has been started"
    assert report[-1].startswith("Self-diagnostics of the event registration subsystem is completed")
