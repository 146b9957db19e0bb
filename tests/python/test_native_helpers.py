# SPDX-License-Identifier: LGPL-2.1-or-later
"""The engine's pure C++ helpers against the Python they must agree with."""

import os
import re
import shlex
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

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


def reference_headers(config):
    """The headers as the regular expressions find them in the text as Python's
    text reading gives it ("\r\n" and a lone "\r" end lines); a definition also
    ends at "} ;", as syslog-ng reads it, and an empty last line is the header ""."""
    text = config.replace("\r\n", "\n").replace("\r", "\n")
    text = re.sub(r"^\s*#.*\n?", "", text, flags=re.MULTILINE)
    text = re.sub(r"^\s*@.*\n?", "", text, flags=re.MULTILINE)
    text = re.sub(r"\} ?;", "};\n", re.sub(r"\s+", " ", text))
    return {line.split("{", 1)[0].strip() for line in text.split("\n")}


# Configuration text with everything that the expressions treat specially: every
# kind of white space Python's \s knows, comment and directive marks, braces.
config_text = st.lists(
    st.sampled_from(
        [" ", "\t", "\n", "\r", "\f", "\v", "\x1c", "\x1f", "\x85", "\xa0", "\u2028", "\u3000",
         "#", "@", "{", "}", ";", "a", "f", "é", "filter f_a", "source s_src", "};", "} ;", "\n#", "\n@",
         "\r#", "\r\n#"]
    )
    | st.characters(blacklist_categories=["Cs"]),
    max_size=60,
).map("".join)


@settings(max_examples=1500)
@given(config_text)
def test_configuration_headers_agree_with_the_regular_expressions(config):
    assert native.configuration_headers(config) == reference_headers(config)


# auditctl listings: rules, blank lines, every kind of white space at either end.
listing_text = st.lists(
    st.sampled_from([" ", "\t", "\n", "\r", "\x0b", "\x1c", "\x85", "\xa0", "\u2028", "\u3000", "\u200b",
                     "\ufeff", "\x00", "à", "-w /etc/x -p wa -k /etc/x", "-a always,exit -F a3!=0x0", "No rules"])
    | st.characters(blacklist_categories=["Cs"]),
    max_size=30,
).map("".join)


@settings(max_examples=1500)
@given(listing_text)
def test_listed_rules_agree_with_strip_and_split(listing):
    assert native.listed_rules(listing) == listing.strip().split("\n")
