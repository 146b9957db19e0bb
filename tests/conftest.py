# SPDX-License-Identifier: LGPL-2.1-or-later
"""What holds for every test: each has a time limit, and no skip goes unsaid.

A test without a `timeout` mark gets the limit of its folder (pytest-timeout,
which ends the test, not the session). The reasons of skipped tests are listed
at the end of the run; with CI=true a skipped test fails instead, with the
reason, since a run that skipped its system tests proves nothing. When
TARNO_SKIP_SUMMARY names a file, one line about the skips is written there
(tools/test.sh prints it last).
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


def pytest_configure(config):
    if not config.pluginmanager.hasplugin("timeout"):
        raise pytest.UsageError("every test needs a time limit: install pytest-timeout "
                                "(Debian package python3-pytest-timeout; bash tools/packages.sh)")  # fmt: skip
    config.stash[_skips] = Counter()


_skips = pytest.StashKey[Counter]()


def pytest_collection_modifyitems(items):
    for item in items:
        if item.get_closest_marker("timeout") is None:
            path = item.path.resolve()
            folder = path.relative_to(HERE).parts[0] if path.is_relative_to(HERE) else None
            item.add_marker(pytest.mark.timeout(LIMITS.get(folder, LIMITS["python"])))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.skipped or hasattr(report, "wasxfail"):
        return
    reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
    reason = reason.removeprefix("Skipped: ")
    item.config.stash[_skips][reason] += 1
    if ON_CI:
        report.outcome = "failed"
        report.longrepr = f"skipped under CI=true, which allows no skip: {reason}"


def pytest_terminal_summary(terminalreporter, config):
    skips = config.stash[_skips]
    if skips:
        terminalreporter.section("skipped tests, by reason")
        for reason, count in skips.most_common():
            terminalreporter.line(f"{count:4} {reason}")
    summary = os.environ.get("TARNO_SKIP_SUMMARY")
    if summary:
        total = sum(skips.values())
        with open(summary, "a") as out:
            if total:
                main = skips.most_common(1)[0][0]
                out.write(f"{total} tests skipped ({len(skips)} reasons; most: {main})\n")
