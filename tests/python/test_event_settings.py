# SPDX-License-Identifier: LGPL-2.1-or-later
"""The event-settings check, with the module package's event definitions and the
module's `Path` replaced."""

import sys
import types

import pytest

from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.journal_inspector import JournalInspector

pytestmark = pytest.mark.usefixtures("inspector_paths")

EVENTS = "syslog_ng_mod_tarno.config.mod_tarno_events"
SETTINGS = "/usr/share/syslog-ng-mod-tarno/event-settings/"
AUTH, SEC, DIAG = SETTINGS + "authorization", SETTINGS + "security-logs", SETTINGS + "self-diagnostics"
WRONG = ("CRITICAL", "Wrong event configuration.\n" + JournalInspector._JournalInspector__repair_msg_template)


class Recorder(JournalInspector):
    events = None

    def _JournalInspector__send_report_message(self, level, msg):
        self.events.append((level.name, msg if isinstance(msg, str) else f"{type(msg).__name__}: {msg}"))

    def _JournalInspector__block_users(self):
        self.events.append("block")


@pytest.fixture
def world(monkeypatch, new_inspector):
    """Event groups per name and existing settings entries; records the objects
    made, the queries and the existence tests."""

    def make(groups, existing):
        log = []

        class ModTarnoEvents:
            def __init__(self):
                log.append("new")

            def get_event_groups(self, name):
                log.append(("groups", name))
                answer = groups[name]
                if isinstance(answer, BaseException):
                    raise answer
                return answer

        class FakePath:
            def __init__(self, text):
                self.text = text

            def exists(self):
                log.append(("exists", self.text))
                if isinstance(existing.get(self.text) if isinstance(existing, dict) else None, OSError):
                    raise existing[self.text]
                return self.text in existing

        events = []
        inspector = new_inspector(cls=type("R", (Recorder,), {"events": events}))
        monkeypatch.setitem(sys.modules, EVENTS, types.SimpleNamespace(ModTarnoEvents=ModTarnoEvents))
        monkeypatch.setattr(ji, "Path", FakePath)
        return inspector, events, log

    return make


def asked(*names):
    return [step for name in names for step in ("new", ("groups", name))]


ROWS = {
    # name: (groups per name, existing entries, reports, queries and existence tests in order)
    "both groups configured": ({"audit": ["a"], "diagnostics": ["d"]}, [], [], asked("audit", "diagnostics")),
    "audit settings present": ({"audit": [], "diagnostics": ["d"]}, [AUTH, SEC], [],
                               asked("audit") + [("exists", AUTH), ("exists", SEC)] + asked("diagnostics")),
    "authorization missing": ({"audit": None, "diagnostics": ["d"]}, [SEC], [WRONG, "block"],
                              asked("audit") + [("exists", AUTH)] + asked("diagnostics")),
    "security-logs missing": ({"audit": False, "diagnostics": ["d"]}, [AUTH], [WRONG, "block"],
                              asked("audit") + [("exists", AUTH), ("exists", SEC)] + asked("diagnostics")),
    "nothing at all": ({"audit": (), "diagnostics": ""}, [], [WRONG, "block", WRONG, "block"],
                       asked("audit") + [("exists", AUTH)] + asked("diagnostics") + [("exists", DIAG)]),
    "self-diagnostics present": ({"audit": ["a"], "diagnostics": []}, [DIAG], [],
                                 asked("audit", "diagnostics") + [("exists", DIAG)]),
    # An entry that cannot be tested fails its group as a missing one would.
    "entries that cannot be tested": ({"audit": [], "diagnostics": []}, {AUTH: OSError(f"denied: '{AUTH}'"),
                                      DIAG: OSError(f"denied: '{DIAG}'")},
                                      [("CRITICAL", f"OSError: denied: '{AUTH}'"), "block",
                                       ("CRITICAL", f"OSError: denied: '{DIAG}'"), "block"],
                                      asked("audit") + [("exists", AUTH)] + asked("diagnostics") + [("exists", DIAG)]),
}  # fmt: skip


@pytest.mark.parametrize("groups, existing, reports, steps", list(ROWS.values()), ids=list(ROWS))
def test_outcomes(groups, existing, reports, steps, world):
    inspector, events, log = world(groups, existing)
    assert inspector.check_event_configuration() is None
    assert events == reports
    assert log == steps


def test_the_property_reads_the_entries_afresh(world):
    existing = [AUTH, SEC]
    inspector, _, log = world({}, existing)
    assert inspector._JournalInspector__any_required_event_config_missing is False
    existing.remove(SEC)
    assert inspector._JournalInspector__any_required_event_config_missing is True
    assert log == [("exists", AUTH), ("exists", SEC)] * 2
    with pytest.raises(AttributeError):
        inspector._JournalInspector__any_required_event_config_missing = True


@pytest.mark.parametrize("stub", [None, types.ModuleType(EVENTS)])
def test_events_module_not_importable(stub, world, monkeypatch):
    inspector, events, log = world({}, [])
    monkeypatch.setitem(sys.modules, EVENTS, stub)
    try:
        exec(f"from {EVENTS} import ModTarnoEvents", {})
    except ImportError as error:
        expected = f"{type(error).__name__}: {error}"
    inspector.check_event_configuration()
    assert events == [("CRITICAL", expected), "block"] and log == []


def test_an_error_of_the_audit_query_ends_the_check(world):
    inspector, events, log = world({"audit": OSError("unreadable")}, [])
    with pytest.raises(OSError, match="unreadable"):
        inspector.check_event_configuration()
    assert events == [] and log == asked("audit")
