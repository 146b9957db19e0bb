# SPDX-License-Identifier: LGPL-2.1-or-later
"""What holds for every test: each has a time limit, and no system test skips
unsaid.

A test without a `timeout` mark gets the limit of its folder (pytest-timeout,
which ends the test, not the session). The reasons of skipped tests are listed
at the end of the run. A system test that skips (no root, the kernel refuses
audit requests, no package built) proves nothing of what it is for: with
CI=true it fails instead, with the reason, and when TARNO_SKIP_SUMMARY names a
file, one line about such skips is added to it (tools/test.sh prints it last).
The Python suite's own skips (such as those a superuser cannot meet) stay skips.
"""

import os
from collections import Counter
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
#: Seconds per test (setup and teardown included). The system tests' module
#: fixtures boot containers and run autopkgtest.
LIMITS = {"system": 1800, "python": 300}
ON_CI = os.environ.get("CI", "").lower() == "true"
#: The reasons of this session's skips, and how often, per folder.
_skips = pytest.StashKey[dict]()


def pytest_configure(config):
    if not config.pluginmanager.hasplugin("timeout"):
        raise pytest.UsageError("every test needs a time limit: install pytest-timeout "
                                "(Debian package python3-pytest-timeout; bash tools/packages.sh)")  # fmt: skip
    config.stash[_skips] = {"python": Counter(), "system": Counter()}



def _folder(item):
    path = item.path.resolve()
    return path.relative_to(HERE).parts[0] if path.is_relative_to(HERE) else "python"


def pytest_collection_modifyitems(items):
    for item in items:
        if item.get_closest_marker("timeout") is None:
            item.add_marker(pytest.mark.timeout(LIMITS.get(_folder(item), LIMITS["python"])))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.skipped or hasattr(report, "wasxfail"):
        return
    reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    reason = reason.removeprefix("Skipped: ")
    system = _folder(item) == "system"
    item.config.stash[_skips]["system" if system else "python"][reason] += 1
    if system and ON_CI:
        report.outcome = "failed"
        report.longrepr = f"skipped under CI=true, which allows a system test no skip: {reason}"


def pytest_terminal_summary(terminalreporter, config):
    skips = config.stash[_skips]
    for folder, counts in skips.items():
        if counts:
            terminalreporter.section(f"skipped tests of tests/{folder}, by reason")
            for reason, count in counts.most_common():
                terminalreporter.line(f"{count:4} {reason}")
    summary, system = os.environ.get("TARNO_SKIP_SUMMARY"), skips["system"]
    if summary and system and not ON_CI:
        with open(summary, "a") as out:
            reasons = "; ".join(f"{count}: {reason}" for reason, count in system.most_common(3))
            out.write(f"{sum(system.values())} system tests skipped ({reasons})\n")
