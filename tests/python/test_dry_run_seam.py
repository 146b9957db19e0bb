# SPDX-License-Identifier: LGPL-2.1-or-later
"""The dry run's diffs of bytes, and the texts it shares with the engine."""

import ast
import re
from pathlib import Path

import pytest

dry_run = pytest.importorskip("tarno_event_diagnostics.dry_run")
from tarno_event_diagnostics import _texts  # noqa: E402

TEXTS_HPP = Path(__file__).resolve().parents[2] / "native" / "engine" / "core" / "texts.hpp"


def engine_constants():
    """The string constants of the engine's texts, by name, as C++ spells them."""
    source = TEXTS_HPP.read_text()
    found = {}
    for name, literals in re.findall(r'constexpr std::string_view (\w+) =\s*((?:"(?:[^"\\]|\\.)*"\s*)+);', source):
        found[name] = "".join(ast.literal_eval(piece) for piece in re.findall(r'"(?:[^"\\]|\\.)*"', literals))
    return found


def test_the_shared_texts_are_the_engines():
    constants = engine_constants()
    shared = {name: getattr(_texts, name) for name in dir(_texts) if name in constants}
    assert len(shared) >= 14 and shared == {name: constants[name] for name in shared}
    # Each text that the dry run rewords is reworded, once.
    for text in (_texts.syslog_ng_stopped, _texts.blocked_text, "/etc/x" + _texts.partially_restored,
                 _texts.audit_rule_start + "-w /etc/x -p wa" + _texts.audit_rule_restored):  # fmt: skip
        assert dry_run.reworded(text) != text and dry_run.reworded(dry_run.reworded(text)) == dry_run.reworded(text)


def test_diffs_are_of_the_bytes():
    diff = dry_run.unified_diff("f", b"a\r\nb\xff\n", "a\n" + b"b\xff".decode("utf-8", "surrogateescape") + "\n")
    assert diff.encode("utf-8", "surrogateescape").split(b"\n")[2:] == [b"@@ -1,2 +1,2 @@", b"-a\r", b"+a", b" b\xff", b""]
    assert dry_run.unified_diff("f", "x", None).splitlines()[:2] == ["--- f", "+++ /dev/null"]
