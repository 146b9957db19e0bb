"""Fixtures of the system tests: sandboxes run as root with a real syslog-ng,
real dpkg-query, useradd and usermod (see system_sandbox.py)."""

import os
from pathlib import Path

import pytest

from system_sandbox import Sandbox, SandboxRefused, unusable_reason

REPO = Path(__file__).resolve().parents[2]


def _build_dir() -> Path:
    return Path(os.environ.get("TARNO_BUILD_DIR", REPO / "build")).resolve()


@pytest.fixture(scope="session")
def sandbox_ready():
    """Skips the system tests on hosts that cannot run the sandbox."""
    reason = unusable_reason()
    if reason is not None:
        pytest.skip(reason)
    package = _build_dir() / "src" / "tarno_event_diagnostics"
    if not any(package.glob("journal_inspector*.so")):
        pytest.skip(f"the engine is not built in {_build_dir()} (set TARNO_BUILD_DIR)")


class SkippingSandbox(Sandbox):
    """A Sandbox that skips the test when the kernel refuses the namespace or
    the overlays."""

    def run(self, *args, **kwargs):
        try:
            return super().run(*args, **kwargs)
        except SandboxRefused as refused:
            pytest.skip(str(refused))


@pytest.fixture
def sandbox(sandbox_ready, tmp_path):
    """A Sandbox whose runs keep their files under the test's tmp_path."""
    return SkippingSandbox(tmp_path, REPO, _build_dir())


@pytest.fixture(scope="module")
def module_sandbox(sandbox_ready, tmp_path_factory):
    """A Sandbox for scenarios run once and examined by several tests."""
    return SkippingSandbox(tmp_path_factory.mktemp("sandbox"), REPO, _build_dir())
