"""The engine's pure C++ helpers against the Python they must agree with."""

import os
import shlex
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

_build = Path(os.environ.get("TARNO_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
sys.path.insert(0, str(_build / "tests"))
native = pytest.importorskip("_native_test")

# Account names as the user database may hold them: shell characters, blanks,
# quotes, non-ASCII letters and undecodable bytes.
names = st.text(alphabet=st.characters(blacklist_categories=["Cs"]) | st.sampled_from("'\"$`;&|() \t\\*?~#!\udcff"))


@given(names)
def test_shell_quote_agrees_with_shlex(name):
    assert native.shell_quote(os.fsencode(name)) == os.fsencode(shlex.quote(name))


statuses = st.sampled_from(["ii ", "hi ", "iF ", "iiR", "rc ", "un ", "iU ", ""])
packages = st.sampled_from(["syslog-ng", "syslog-ng-mod-tarno", "auditd", "syslog-ng-core", "auditd:amd64", " auditd"])


@given(st.lists(st.tuples(statuses, packages)), st.sampled_from(["syslog-ng", "syslog-ng-mod-tarno", "auditd"]), st.booleans())
def test_package_list_matching_is_whole_line(entries, package, final_line_feed):
    listing = "\n".join(status + name for status, name in entries) + ("\n" if final_line_feed else "")
    lines = listing.split("\n")
    expected = f"ii {package}" in lines or f"hi {package}" in lines
    assert native.lists_installed(listing, package) is expected
