# SPDX-License-Identifier: LGPL-2.1-or-later
"""A whole diagnosis on a healthy simulated host: its wall time beside the wall
time of the child processes it starts (the same command lines run on their
own, in the same sandbox). Prints medians; asserts nothing. Run as root:

    python3 benchmarks/whole_run.py [REPETITIONS]
"""

import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPO / "tests" / "system"), str(REPO / "src"), str(REPO / "build" / "src")]

import system_sandbox as host  # noqa: E402

MEASURE = """
import asyncio, statistics, subprocess, time
REPETITIONS = {repetitions}
# The children of a run on a healthy host, with the arguments the engine gives them.
CHILDREN = [["dpkg-query", "--showformat=${{db:Status-Abbrev}}${{binary:Package}}\\n", "--show"],
            ["auditctl", "-l"]]
times = {{"tool": [], "engine": [], "children": []}}

def clock(name, work):
    start = time.perf_counter()
    work()
    times[name].append(time.perf_counter() - start)

def engine():
    inspector = JournalInspector("/tessik/log/tarno/bench.report", Config())
    asyncio.run(inspector.run())

for _ in range(REPETITIONS):
    clock("tool", lambda: subprocess.run(["tarno-event-diagnostics", "run", "--report",
                                          "/tessik/log/tarno/bench.report"], check=True))
    clock("engine", engine)
    clock("children", lambda: [subprocess.run(c, stdout=subprocess.DEVNULL, check=True) for c in CHILDREN])
emit({{name: statistics.median(values) for name, values in times.items()}})
"""


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    reason = host.unusable_reason() or host.audit_refusal()
    if reason is not None:
        sys.exit(f"cannot simulate a host here: {reason}")
    sandbox = host.Sandbox(Path(tempfile.mkdtemp(prefix="tarno-bench-")), REPO, REPO / "build")
    step = sandbox.run(host.Host(), steps=[MEASURE.format(repetitions=repetitions)]).steps[0]
    if step.returncode != 0:
        sys.exit(step.describe())
    (medians,) = host.emitted(step)
    print(f"healthy simulated host, median of {repetitions} repetitions")
    print(f"  tarno-event-diagnostics run (whole process) {medians['tool'] * 1000:8.1f} ms")
    print(f"  one run of the engine, in process           {medians['engine'] * 1000:8.1f} ms")
    print(f"  its child processes on their own            {medians['children'] * 1000:8.1f} ms")
    print(f"  engine run / child processes                {medians['engine'] / medians['children']:8.2f}")
    print(f"  whole process / child processes             {medians['tool'] / medians['children']:8.2f}")


if __name__ == "__main__":
    main()
