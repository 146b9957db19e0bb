# SPDX-License-Identifier: LGPL-2.1-or-later
"""Runs last: the host is as the first sandbox of the session found it."""

import pytest

from system_sandbox import host_fingerprint, recorded_host_state


def test_the_host_is_as_the_first_sandbox_found_it():
    before = recorded_host_state()
    if before is None:
        pytest.skip("no sandbox ran in this session")
    assert host_fingerprint() == before
