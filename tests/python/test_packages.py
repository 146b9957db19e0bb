# SPDX-License-Identifier: LGPL-2.1-or-later
"""The package flag set behaves as the same IntFlag written in Python would."""

import copy
import enum
import itertools
import pickle

import pytest

from tarno_event_diagnostics import packages
from tarno_event_diagnostics.packages import Packages


class Reference(enum.IntFlag):
    NONE = 0
    SYSLOG_NG = 1
    SYSLOG_NG_MOD_TARNO = 2
    AUDITD = 4
    ALL_REQUIRED = SYSLOG_NG | SYSLOG_NG_MOD_TARNO | AUDITD


SINGLE = [Packages.SYSLOG_NG, Packages.SYSLOG_NG_MOD_TARNO, Packages.AUDITD]


def test_is_an_int_flag_of_this_module():
    assert issubclass(Packages, enum.IntFlag)
    assert Packages.__module__ == "tarno_event_diagnostics.packages"
    assert Packages.__qualname__ == "Packages"
    assert [name for name in vars(packages) if not name.startswith("__")] in (["Packages"], ["IntFlag", "Packages"])


def test_members_in_definition_order():
    assert [(name, int(member)) for name, member in Packages.__members__.items()] == [
        (name, int(member)) for name, member in Reference.__members__.items()
    ]


@pytest.mark.parametrize("order", list(itertools.permutations(SINGLE)))
def test_union_of_all_three_is_the_all_required_object(order):
    collected = Packages.NONE
    for member in order:
        collected |= member
    assert collected is Packages.ALL_REQUIRED
    assert order[0] | order[1] | order[2] is Packages.ALL_REQUIRED


def test_canonical_objects():
    assert Packages(0) is Packages.NONE
    assert Packages.NONE | Packages.SYSLOG_NG is Packages.SYSLOG_NG
    assert Packages(7) is Packages.ALL_REQUIRED
    assert int(Packages.ALL_REQUIRED) == 7 and isinstance(Packages.ALL_REQUIRED, int)


def test_containment():
    assert Packages.SYSLOG_NG not in Packages.NONE
    for member in SINGLE + [Packages.NONE, Packages.ALL_REQUIRED]:
        assert member in Packages.ALL_REQUIRED
    partial = Packages.AUDITD | Packages.SYSLOG_NG
    assert int(partial) == 5 and type(partial) is Packages
    assert partial is not Packages.ALL_REQUIRED
    assert Packages.SYSLOG_NG_MOD_TARNO not in partial
    assert Packages.SYSLOG_NG in partial and Packages.AUDITD in partial


@pytest.mark.parametrize("value", range(9))
def test_every_value_behaves_like_the_python_definition(value):
    ours, ref = Packages(value), Reference(value)

    def shown(text):
        return text.replace("Reference", "Packages")

    assert shown(repr(ref)) == repr(ours)
    assert str(ours) == str(ref) and format(ours) == format(ref)
    assert bool(ours) == bool(ref)
    assert ours.name == ref.name
    assert [m.name for m in ours] == [m.name for m in ref]
    assert int(~ours) == int(~ref) and (~ours).name == (~ref).name
    assert hash(ours) == hash(value)


@pytest.mark.parametrize("member", list(Packages.__members__.values()))
def test_members_survive_pickle_and_copy(member):
    assert pickle.loads(pickle.dumps(member)) is member
    assert copy.deepcopy(member) is member
