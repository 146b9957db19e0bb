# SPDX-License-Identifier: LGPL-2.1-or-later
"""Loading the engine module, the inspector class, and constructing an inspector."""

import asyncio
import datetime
import enum
import grp
import inspect
import os
import platform
import pwd
import re
import stat
import subprocess
import sys
import syslog
import types
import typing
from pathlib import Path

import dateutil.tz
import pytest

import tarno_event_diagnostics.config
from conftest import DEFAULT_STAMP
from syslog_ng_mod_tarno.common.mod_tarno_common import SystemGetter
from tarno_event_diagnostics import journal_inspector as ji
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.healthcheck import Healthcheck
from tarno_event_diagnostics.journal_inspector import ErrorLevel, JournalInspector
from tarno_event_diagnostics.packages import Packages

MODULE = "tarno_event_diagnostics.journal_inspector"
PYTHON = sys.executable
REPAIR_HINT = (
    "Need to try to repair:\n"
    'sudo apt -o DPkg::options::="--force-confnew" -o DPkg::options::="--force-confmiss" '
    "install --reinstall syslog-ng-mod-tarno"
)

# ---------------------------------------------------------------- module load


def test_namespace_binds_its_names_in_order():
    names = [name for name in vars(ji) if not name.startswith("__")]
    assert names == [
        "asyncio", "grp", "os", "platform", "pwd", "re", "stat", "subprocess", "syslog",
        "datetime", "Enum", "Path", "NoReturn", "Union",
        "tz", "config", "Healthcheck", "Packages", "SystemGetter",
        "ErrorLevel", "JournalInspector",
    ]  # fmt: skip


def test_namespace_names_are_the_real_objects():
    expected = {
        "asyncio": asyncio, "grp": grp, "os": os, "platform": platform, "pwd": pwd, "re": re,
        "stat": stat, "subprocess": subprocess, "syslog": syslog,
        "datetime": datetime.datetime, "Enum": enum.Enum, "Path": Path,
        "NoReturn": typing.NoReturn, "Union": typing.Union, "tz": dateutil.tz,
        "config": tarno_event_diagnostics.config, "Healthcheck": Healthcheck,
        "Packages": Packages, "SystemGetter": SystemGetter,
    }  # fmt: skip
    for name, value in expected.items():
        assert getattr(ji, name) is value, name
    assert sys.modules[MODULE] is ji
    assert ji.__name__ == MODULE


def load_in_child(prelude, statement="pass"):
    """In a fresh interpreter, after `prelude`: the error that the Python form of
    the failing import `statement` raises, the error that importing the engine
    raises (each as "Type|text", or "ok"), and whether the engine stays loaded."""
    code = (
        "import sys, types\n" + prelude + "\n"
        "def attempt(statement):\n"
        "    try:\n"
        "        exec(statement, {})\n"
        "    except BaseException as err:\n"
        "        return f'{type(err).__name__}|{err}'\n"
        "    return 'ok'\n"
        f"print(attempt({statement!r}))\n"
        f"print(attempt('import {MODULE}'))\n"
        f"print({MODULE!r} in sys.modules)\n"
    )
    done = subprocess.run([PYTHON, "-c", code], capture_output=True, text=True, env=os.environ, check=True)
    return done.stdout.splitlines()


def test_child_load_works():
    assert load_in_child("") == ["ok", "ok", "True"]


IMPORTS = [
    ("dateutil", "from dateutil import tz"),
    ("tarno_event_diagnostics.config", "from tarno_event_diagnostics import config"),
    ("tarno_event_diagnostics.healthcheck", "from tarno_event_diagnostics.healthcheck import Healthcheck"),
    ("tarno_event_diagnostics.packages", "from tarno_event_diagnostics.packages import Packages"),
    ("syslog_ng_mod_tarno.common.mod_tarno_common", "from syslog_ng_mod_tarno.common.mod_tarno_common import SystemGetter"),
]


# An absent module, and a module without the name to import (the settings
# module is imported whole, so only its absence fails the import).
@pytest.mark.parametrize(
    "stub, module, statement",
    [("None", *i) for i in IMPORTS] + [("types.ModuleType({!r})", *i) for i in IMPORTS if "config" not in i[0]],
)
def test_a_failing_import_fails_the_load_with_its_own_error(stub, module, statement):
    expected, got, loaded = load_in_child(f"sys.modules[{module!r}] = {stub.format(module)}", statement)
    assert expected != "ok"
    assert got == expected
    assert loaded == "False"


def test_a_missing_name_in_the_class_body_raises_name_error():
    # The class body's annotations name builtins; with one gone, the load fails
    # as evaluating that annotation in Python does.
    prelude = "import builtins\n" + "".join(f"import {module}\n" for module, _ in IMPORTS) + (
        "del builtins.Exception"
    )
    expected, got, loaded = load_in_child(prelude, "from typing import Union; Union[str, Exception]")
    assert expected == got == "NameError|name 'Exception' is not defined"
    assert loaded == "False"


# ---------------------------------------------------------------- ErrorLevel


def test_error_level():
    assert issubclass(ErrorLevel, enum.Enum) and not issubclass(ErrorLevel, int)
    assert ErrorLevel.__module__ == MODULE and ErrorLevel.__qualname__ == "ErrorLevel"
    assert [(m.name, m.value) for m in ErrorLevel] == [
        ("CRITICAL", (syslog.LOG_CRIT,)),
        ("ERROR", (syslog.LOG_ERR,)),
        ("WARNING", syslog.LOG_WARNING),
    ]


# ---------------------------------------------------------------- the class

CRITICAL_RULES = {
    "x86_64": [
        ("-a always,exit -F arch=x86_64 -F path=/var/log/audit/audit.log -S unlink,unlinkat -k remove_audit",
         "-a always,exit -F arch=b64 -S unlink,unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"),
        ("-a always,exit -F arch=x86_64 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b64 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"),
        ("-a always,exit -F arch=x86_64 -F path=/tessik/log/tarno/events -S unlink,unlinkat -k remove_events",
         "-a always,exit -F arch=b64 -S unlink,unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"),
        ("-a always,exit -F arch=x86_64 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b64 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"),
        ("-a always,exit -F arch=x86_64 -S chmod,fchmod,fchmodat,chown,fchown,fchownat,lchown -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S chmod,fchmod,chown,fchown,lchown,fchownat,fchmodat -F path=/tessik/log/tarno/events -F key=events_modified"),
        ("-a always,exit -F arch=b64 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"),
    ],
    "aarch64": [
        ("-a always,exit -F arch=aarch64 -F path=/var/log/audit/audit.log -S unlinkat -k remove_audit",
         "-a always,exit -F arch=b64 -S unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"),
        ("-a always,exit -F arch=aarch64 -S renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b64 -S renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"),
        ("-a always,exit -F arch=aarch64 -F path=/tessik/log/tarno/events -S unlinkat -k remove_events",
         "-a always,exit -F arch=b64 -S unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"),
        ("-a always,exit -F arch=aarch64 -S renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b64 -S renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"),
        ("-a always,exit -F arch=aarch64 -S fchmod,fchmodat,fchown,fchownat -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S fchmod,fchmodat,fchownat,fchown -F path=/tessik/log/tarno/events -F key=events_modified"),
        ("-a always,exit -F arch=b64 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b64 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"),
    ],
    "armv7l": [
        ("-a always,exit -F arch=armv7l -F path=/var/log/audit/audit.log -S unlink,unlinkat -k remove_audit",
         "-a always,exit -F arch=b32 -S unlink,unlinkat -F path=/var/log/audit/audit.log -F key=remove_audit"),
        ("-a always,exit -F arch=armv7l -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit",
         "-a always,exit -F arch=b32 -S rename,renameat,renameat2 -F path=/var/log/audit/audit.log -F key=rename_audit"),
        ("-a always,exit -F arch=armv7l -F path=/tessik/log/tarno/events -S unlink,unlinkat -k remove_events",
         "-a always,exit -F arch=b32 -S unlink,unlinkat -F path=/tessik/log/tarno/events -F key=remove_events"),
        ("-a always,exit -F arch=armv7l -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events",
         "-a always,exit -F arch=b32 -S rename,renameat,renameat2 -F path=/tessik/log/tarno/events -F key=rename_events"),
        ("-a always,exit -F arch=armv7l -S chmod,fchmod,fchmodat,chown,fchown,fchownat,lchown -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b32 -S chmod,lchown,fchmod,fchown,chown,fchownat,fchmodat -F path=/tessik/log/tarno/events -F key=events_modified"),
        ("-a always,exit -F arch=b32 -S openat -F a3!=0 -F path=/tessik/log/tarno/events -F key=events_modified",
         "-a always,exit -F arch=b32 -S openat -F a3!=0x0 -F path=/tessik/log/tarno/events -F key=events_modified"),
    ],
}  # fmt: skip


class Reference:
    """The class's methods as Python would define them, to compare introspection."""

    @staticmethod
    def __msg_template(message: str): ...
    def __init__(self, report_file: str, cfg: ji.config.Config, block: bool = False, verbose: bool = False): ...
    def __setup(self, report_file: ji.Path): ...
    def __send_start_check_message(self): ...
    def __send_critical_message(self, msg: ji.Union[str, Exception]): ...
    def __send_error_message(self, msg: ji.Union[str, Exception]): ...
    def __send_warning_message(self, msg: ji.Union[str, Exception]): ...
    def __send_debug_message(self, msg: ji.Union[str, Exception]): ...
    def __send_report_message(self, level: ji.ErrorLevel, msg: ji.Union[str, Exception]): ...
    def __send_end_check_message(self): ...
    def __block_users(self): ...
    def __check_nonexistent_audit_rules(self): ...
    def __check_missing_audit_rules(self): ...
    def __check_lost_audit_rules(self): ...
    def test(self): ...
    async def run(self): ...
    async def run_healthcheck(self) -> ji.NoReturn: ...
    def check_installed_packages(self) -> ji.Packages: ...
    def check_syslog_ng_configuration(self): ...
    def __check_default_config_existence(self): ...
    def __ensure_default_config_include(self): ...
    def __ensure_required_syslog_components(self): ...
    @property
    def __any_required_event_config_missing(self) -> bool: ...
    def check_event_configuration(self): ...
    def check_audit_rules(self): ...
    async def check_syslog_ng(self) -> None: ...
    async def __syslog_ng_is_available(self) -> bool: ...
    def check_auditd(self): ...


def class_key(name):
    return "_Reference" + name if name.startswith("__") and name != "__init__" else name


METHODS = [name for name in vars(Reference) if not name.startswith("__") or name == "__init__"]
METHOD_NAMES = [name.replace("_Reference", "", 1) for name in METHODS]


def test_plain_class():
    assert type(JournalInspector) is type
    assert JournalInspector.__bases__ == (object,)
    assert JournalInspector.__module__ == MODULE and JournalInspector.__qualname__ == "JournalInspector"


def test_class_body_order():
    attributes = [
        "default_dir", "audit_rules_file", "syslog_user_config_file", "syslog_default_config_file",
        "syslog_config_file", "user_pw_uid", "_JournalInspector__arch", "_JournalInspector__is_running",
        "_JournalInspector__msg_template", "_JournalInspector__repair_msg_template",
        "critical_audit_rules", "important_audit_rules", "critical_auditstyle_rules",
        "required_syslog_components",
    ]  # fmt: skip
    methods = [name.replace("_Reference", "_JournalInspector") for name in METHODS]
    methods.remove("_JournalInspector__msg_template")
    body = [name for name in vars(JournalInspector) if not name.startswith("__") or name == "__init__"]
    assert body == attributes + methods


def test_class_constants():
    J = JournalInspector
    assert [(type(J.__dict__[n]), str(J.__dict__[n])) for n in (
        "default_dir", "audit_rules_file", "syslog_user_config_file",
        "syslog_default_config_file", "syslog_config_file")] == [
        (type(Path()), "/tessik/log/tarno"),
        (type(Path()), "/etc/audit/rules.d/tarno-syslog.rules"),
        (type(Path()), "/etc/syslog-ng/conf.d/mod-tarno.conf"),
        (type(Path()), "/usr/share/syslog-ng-mod-tarno/mod-tarno.conf"),
        (type(Path()), "/etc/syslog-ng/syslog-ng.conf"),
    ]  # fmt: skip
    assert type(J.user_pw_uid) is int and J.user_pw_uid == 1000
    assert J._JournalInspector__arch == platform.machine()
    assert J.__dict__["_JournalInspector__is_running"] is False
    assert isinstance(J.__dict__["_JournalInspector__msg_template"], staticmethod)
    assert J._JournalInspector__repair_msg_template == REPAIR_HINT


def test_rule_tables():
    J = JournalInspector
    assert J.critical_audit_rules == {arch: [f for f, _ in rows] for arch, rows in CRITICAL_RULES.items()}
    assert list(J.critical_audit_rules) == ["x86_64", "aarch64", "armv7l"]
    for arch, rows in CRITICAL_RULES.items():
        assert list(J.critical_auditstyle_rules[arch].items()) == [(listed, f) for f, listed in rows]
    assert list(J.critical_auditstyle_rules) == ["x86_64", "aarch64", "armv7l"]
    assert J.important_audit_rules == [
        "-w /etc/tarno-syslog.conf -p wa -k /etc/tarno-syslog.conf",
        "-w /etc/audit/rules.d/tarno-syslog.rules -p wa -k /etc/audit/rules.d/tarno-syslog.rules",
        "-w /etc/syslog-ng/conf.d/mod-tarno.conf -p wa -k /etc/syslog-ng/conf.d/mod-tarno.conf",
        "-w /usr/share/syslog-ng-mod-tarno/mod-tarno.conf -p wa -k /usr/share/syslog-ng-mod-tarno/mod-tarno.conf",
    ]


def test_required_syslog_components():
    table = JournalInspector.required_syslog_components
    assert type(table) is dict and all(type(body) is set for body in table.values())
    assert list(table.items()) == [
        ("source s_src", {"system()", "internal()"}),
        ("filter f_syslog3", {"not facility(auth, authpriv, mail)", "not filter(f_dbg)"}),
        ("filter f_dbg", {"level(debug)"}),
        ("filter f_kern", {"facility(kern)", "not filter(f_dbg)"}),
        ("filter f_auth", {"facility(auth, authpriv)", "not filter(f_dbg)", "not filter(f_audit)"}),
        ("filter f_audit", {'program("audit")'}),
    ]


def test_class_attributes_can_be_reassigned(monkeypatch, tmp_path):
    monkeypatch.setattr(JournalInspector, "user_pw_uid", 5)
    monkeypatch.setattr(JournalInspector, "default_dir", tmp_path)
    assert JournalInspector.user_pw_uid == 5 and JournalInspector.default_dir == tmp_path


# ---------------------------------------------------------------- introspection


def native(name):
    obj = JournalInspector.__dict__[name.replace("_Reference", "_JournalInspector")]
    return obj.fget if isinstance(obj, property) else obj.__func__ if isinstance(obj, staticmethod) else obj


def python(name):
    obj = Reference.__dict__[name]
    return obj.fget if isinstance(obj, property) else obj.__func__ if isinstance(obj, staticmethod) else obj


def test_class_signature():
    assert inspect.signature(JournalInspector) == inspect.signature(Reference)
    assert str(inspect.signature(JournalInspector)) == (
        "(report_file: str, cfg: tarno_event_diagnostics.config.Config, "
        "block: bool = False, verbose: bool = False)"
    )


@pytest.mark.parametrize("name", METHODS, ids=METHOD_NAMES)
def test_methods_introspect_like_python_functions(name):
    ours, ref = native(name), python(name)
    kind = type(JournalInspector.__dict__[name.replace("_Reference", "_JournalInspector")])
    assert kind is type(Reference.__dict__[name]) or (callable(ours) and inspect.isfunction(python(name)))
    assert inspect.signature(ours) == inspect.signature(ref)
    assert inspect.iscoroutinefunction(ours) == inspect.iscoroutinefunction(ref)
    assert asyncio.iscoroutinefunction(ours) == asyncio.iscoroutinefunction(ref)
    assert typing.get_type_hints(ours) == typing.get_type_hints(ref)
    assert ours.__annotations__ == ref.__annotations__
    assert ours.__name__ == ref.__name__
    assert ours.__qualname__ == ref.__qualname__.replace("Reference", "JournalInspector")
    assert ours.__module__ == MODULE
    assert ours.__defaults__ == ref.__defaults__ and ours.__kwdefaults__ == ref.__kwdefaults__
    assert isinstance(ours.__code__, types.CodeType)
    code, ref_code = ours.__code__, ref.__code__
    assert code.co_argcount == ref_code.co_argcount
    assert code.co_varnames[: code.co_argcount] == ref_code.co_varnames[: ref_code.co_argcount]
    assert bool(code.co_flags & inspect.CO_COROUTINE) == bool(ref_code.co_flags & inspect.CO_COROUTINE)


def test_kinds_of_the_special_members():
    J = JournalInspector
    assert isinstance(J.__dict__["_JournalInspector__msg_template"], staticmethod)
    assert isinstance(J.__dict__["_JournalInspector__any_required_event_config_missing"], property)
    coroutines = [n for n in METHOD_NAMES if inspect.iscoroutinefunction(native(class_key(n)))]
    assert coroutines == ["run", "run_healthcheck", "check_syslog_ng", "__syslog_ng_is_available"]


@pytest.mark.parametrize("name", ["__init__", "test", "run", "run_healthcheck", "check_installed_packages"])
def test_public_methods_carry_their_own_docstring(name):
    doc = getattr(JournalInspector, name).__doc__
    others = {getattr(JournalInspector, other).__doc__ for other in
              ("__init__", "test", "run", "run_healthcheck", "check_installed_packages") if other != name}
    assert isinstance(doc, str) and doc and doc not in others


def test_methods_bind_like_functions(new_inspector):
    inspector = new_inspector()
    for name in METHODS:
        key = name.replace("_Reference", "_JournalInspector")
        raw = JournalInspector.__dict__[key]
        if isinstance(raw, staticmethod):
            assert getattr(inspector, key) is raw.__func__
            assert getattr(JournalInspector, key) is raw.__func__
        elif isinstance(raw, property):
            assert getattr(JournalInspector, key) is raw
        else:
            bound = getattr(inspector, key)
            assert type(bound) is types.MethodType and inspect.ismethod(bound)
            assert bound.__func__ is raw and bound.__self__ is inspector
            assert getattr(JournalInspector, key) is raw
            ref = types.MethodType(python(name), object())
            assert inspect.signature(bound) == inspect.signature(ref)


def test_wrong_argument_counts_fail_as_in_python(report_dir, syslog_recorder):
    cfg = Config()
    cases = [((), {}), (("r",), {}), (("r", cfg, 1, 2, 3), {}), (("r", cfg), {"bogus": 1}),
             (("r",), {"report_file": "x", "cfg": cfg})]  # fmt: skip
    for args, kwargs in cases:
        with pytest.raises(TypeError) as ours:
            JournalInspector(*args, **kwargs)
        with pytest.raises(TypeError) as ref:
            Reference(*args, **kwargs)
        assert str(ours.value) == str(ref.value).replace("Reference", "JournalInspector")
    assert syslog_recorder.calls == []


# ---------------------------------------------------------------- construction


def member(inspector, name):
    return vars(inspector)["_JournalInspector__" + name]


def test_construction_state(report_dir, syslog_recorder, clock):
    cfg, block, verbose = Config(), object(), "yes"
    inspector = JournalInspector(str(report_dir / "report"), cfg, block, verbose)
    assert list(vars(inspector)) == [
        "_JournalInspector__cfg", "_JournalInspector__verbose", "_JournalInspector__block",
        "_JournalInspector__report_file_path", "_JournalInspector__report_file",
        "_JournalInspector__error_count",
    ]  # fmt: skip
    assert member(inspector, "cfg") is cfg
    assert member(inspector, "block") is block and member(inspector, "verbose") is verbose
    path = member(inspector, "report_file_path")
    assert type(path) is type(Path()) and path == report_dir / "report"
    report = member(inspector, "report_file")
    assert report.mode == "w" and not report.closed and report.name == str(report_dir / "report")
    assert report.encoding == open(os.devnull, "w").encoding  # the platform's default
    assert member(inspector, "error_count") == 0 and type(member(inspector, "error_count")) is int
    assert syslog_recorder.calls == [("openlog", "tarno-event-diagnostics", 0, 13)]
    assert (report_dir / "report").read_bytes() == b""


def test_keywords_and_path_objects(report_dir, syslog_recorder):
    cfg = Config()
    inspector = JournalInspector(cfg=cfg, verbose=True, report_file=report_dir / "r", block=1)
    assert member(inspector, "report_file_path") == report_dir / "r"
    assert member(inspector, "verbose") is True and member(inspector, "block") == 1
    assert not member(inspector, "report_file").closed


@pytest.mark.parametrize("value", [5, None, b"/tmp/report", 2.5])
def test_report_file_of_another_type_raises_as_path_does(value, report_dir, syslog_recorder):
    with pytest.raises(TypeError) as expected:
        Path(value)
    with pytest.raises(TypeError) as got:
        JournalInspector(value, Config())
    assert str(got.value) == str(expected.value)
    assert syslog_recorder.calls == []


def test_existing_report_file_is_truncated(report_dir, syslog_recorder):
    (report_dir / "report").write_text("old findings\n")
    JournalInspector(str(report_dir / "report"), Config())
    assert (report_dir / "report").read_bytes() == b""


@pytest.mark.parametrize("mask, file_mode, dir_mode", [(0o022, 0o644, 0o755), (0o077, 0o600, 0o700), (0, 0o666, 0o777)])
def test_modes_follow_the_umask(mask, file_mode, dir_mode, tmp_path, monkeypatch, syslog_recorder):
    monkeypatch.setattr(JournalInspector, "default_dir", tmp_path / "made")
    old = os.umask(mask)
    try:
        JournalInspector(str(tmp_path / "report"), Config())
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "report").stat().st_mode) == file_mode
    assert stat.S_IMODE((tmp_path / "made").stat().st_mode) == dir_mode


def finding(level, message, path):
    return (syslog.LOG_CRIT, f"type=EVENT_DIAGNOSTICS_{level} desc='{message}' file='{path}'")


@pytest.mark.parametrize("verbose", [False, True])
def test_missing_default_dir_is_created_and_reported(verbose, tmp_path, monkeypatch, syslog_recorder, clock, capsys):
    default_dir = tmp_path / "tarno"
    monkeypatch.setattr(JournalInspector, "default_dir", default_dir)
    (tmp_path / "elsewhere").mkdir()
    report = tmp_path / "elsewhere" / "report"
    inspector = JournalInspector(str(report), Config(), verbose=verbose)
    assert default_dir.is_dir()
    assert syslog_recorder.lines() == [
        finding("ERROR", f"{default_dir} does not exist", report),
        finding("WARNING", f"{default_dir} was partially restored", report),
    ]
    assert member(inspector, "error_count") == 2
    assert report.read_bytes() == b"" and not member(inspector, "report_file").closed
    printed = (
        f"{DEFAULT_STAMP} tarno-event-diagnostics: error: {default_dir} does not exist\n"
        f"{DEFAULT_STAMP} tarno-event-diagnostics: warning: {default_dir} was partially restored\n"
    )
    assert capsys.readouterr().out == (printed if verbose else "")


@pytest.mark.parametrize("inside", [False, True], ids=["report elsewhere", "report inside"])
def test_default_dir_that_cannot_be_created(inside, tmp_path, monkeypatch, syslog_recorder):
    default_dir = tmp_path / "absent" / "tarno"
    monkeypatch.setattr(JournalInspector, "default_dir", default_dir)
    report = default_dir / "report" if inside else tmp_path / "report"
    inspector = JournalInspector(str(report), Config())
    assert syslog_recorder.lines() == [
        finding("ERROR", f"{default_dir} does not exist", report),
        finding("ERROR", f"[Errno 2] No such file or directory: '{default_dir}'", report),
    ]
    assert member(inspector, "error_count") == 2
    if inside:
        # Its directory is the one that could not be made: no third report.
        assert member(inspector, "report_file") is None and not report.exists()
    else:
        # A report elsewhere is still opened, so the findings are not lost.
        assert member(inspector, "report_file").name == str(report) and report.exists()
        member(inspector, "report_file").close()


def unopenable(kind, tmp_path):
    if kind == "missing directory":
        return tmp_path / "nowhere" / "report", "[Errno 2] No such file or directory: '{}'"
    if kind == "directory":
        (tmp_path / "adir").mkdir()
        return tmp_path / "adir", "[Errno 21] Is a directory: '{}'"
    if os.geteuid() == 0:
        pytest.skip("the superuser may write anywhere")
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    return locked / "report", "[Errno 13] Permission denied: '{}'"


@pytest.mark.parametrize("kind", ["missing directory", "directory", "no permission"])
def test_report_file_that_cannot_be_opened(kind, report_dir, tmp_path, syslog_recorder):
    path, text = unopenable(kind, tmp_path)
    inspector = JournalInspector(str(path), Config())
    assert syslog_recorder.lines() == [finding("ERROR", text.format(path), path)]
    assert member(inspector, "report_file") is None
    assert member(inspector, "error_count") == 1


def test_openlog_failure_leaves_the_constructor(report_dir, syslog_recorder):
    def broken(*args):
        raise OSError("no log")

    syslog_recorder.openlog = broken
    with pytest.raises(OSError, match="no log"):
        JournalInspector(str(report_dir / "report"), Config())
    assert not (report_dir / "report").exists()


def test_a_failing_report_of_a_caught_error_leaves_the_constructor(tmp_path, report_dir, syslog_recorder):
    class Failing(JournalInspector):
        def _JournalInspector__send_error_message(self, msg):
            raise ValueError(f"cannot report {msg}")

    with pytest.raises(ValueError, match=r"cannot report \[Errno 2\]"):
        Failing(str(tmp_path / "nowhere" / "report"), Config())


def test_interrupts_in_setup_are_not_caught(report_dir, syslog_recorder, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(ji, "open", interrupted, raising=False)
    with pytest.raises(KeyboardInterrupt):
        JournalInspector(str(report_dir / "report"), Config())
    assert syslog_recorder.lines() == []


def test_setup_and_reports_go_through_the_object(tmp_path, monkeypatch, syslog_recorder):
    calls = []

    class Spy(JournalInspector):
        def _JournalInspector__setup(self, report_file):
            calls.append(("setup", report_file, dict(vars(self))))
            return super()._JournalInspector__setup(report_file)

        def _JournalInspector__send_report_message(self, level, msg):
            calls.append((level, msg))

    monkeypatch.setattr(JournalInspector, "default_dir", tmp_path / "tarno")
    report = tmp_path / "report"
    Spy(str(report), Config())
    (name, argument, state), *reports = calls
    assert name == "setup" and argument == report and type(argument) is type(Path())
    assert list(state) == ["_JournalInspector__cfg", "_JournalInspector__verbose", "_JournalInspector__block",
                           "_JournalInspector__report_file_path", "_JournalInspector__report_file",
                           "_JournalInspector__error_count"]  # fmt: skip
    assert state["_JournalInspector__report_file"] is None
    assert reports == [
        (ErrorLevel.ERROR, f"{tmp_path / 'tarno'} does not exist"),
        (ErrorLevel.WARNING, f"{tmp_path / 'tarno'} was partially restored"),
    ]


def test_two_inspectors_share_the_class_but_not_their_state(new_inspector):
    first, second = new_inspector("one"), new_inspector("two")
    assert first._JournalInspector__arch is second._JournalInspector__arch
    assert first.critical_audit_rules is second.critical_audit_rules
    first._JournalInspector__send_error_message("only the first")
    assert member(first, "error_count") == 1 and member(second, "error_count") == 0
    assert member(first, "report_file") is not member(second, "report_file")
    first._JournalInspector__is_running = True
    assert second._JournalInspector__is_running is False
