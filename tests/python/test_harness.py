# SPDX-License-Identifier: LGPL-2.1-or-later
"""The suite's own rules (tests/conftest.py): a system test that skips fails
under CI=true and is counted otherwise; a test that hangs is ended."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]


def run_pytest(tmp_path, ci, tests):
    """Runs pytest on a tree with tests/conftest.py and the given system tests."""
    shutil.copy(TESTS / "conftest.py", tmp_path / "conftest.py")
    (tmp_path / "system").mkdir()
    (tmp_path / "system/test_example.py").write_text(tests)
    env = {k: v for k, v in os.environ.items() if k not in ("CI", "PYTEST_ADDOPTS")}
    env.update(CI=ci, TARNO_SKIP_SUMMARY=str(tmp_path / "skipped"))
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "system"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)  # fmt: skip


SKIPPING = "import pytest\ndef test_audit():\n    pytest.skip('the kernel refuses audit requests')\n"


def test_a_skipped_system_test_fails_under_ci_and_says_why(tmp_path):
    done = run_pytest(tmp_path, "true", SKIPPING)
    assert done.returncode == 1, done.stdout
    assert "skipped under CI=true, which allows a system test no skip: the kernel refuses audit" in done.stdout


def test_a_skipped_system_test_is_counted_outside_ci(tmp_path):
    done = run_pytest(tmp_path, "", SKIPPING)
    assert done.returncode == 0, done.stdout
    assert (tmp_path / "skipped").read_text() == (
        "1 system tests skipped (1: the kernel refuses audit requests)\n")


def test_a_test_that_hangs_is_ended(tmp_path):
    done = run_pytest(tmp_path, "", "import time, pytest\n@pytest.mark.timeout(1)\n"
                                    "def test_hangs():\n    time.sleep(3600)\n")  # fmt: skip
    assert done.returncode == 1 and "Timeout" in done.stdout, done.stdout
