# SPDX-License-Identifier: LGPL-2.1-or-later
"""The syslog-ng configuration check and repair, on files in a temporary folder;
the repaired main configuration judged by the real `syslog-ng -s`, and failures
injected into the real system calls of the rewrite with strace."""

import hashlib
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from tarno_event_diagnostics.journal_inspector import JournalInspector

pytestmark = pytest.mark.usefixtures("inspector_paths")

HINT = JournalInspector._JournalInspector__repair_msg_template
COMPLETE = """@version: 3.38
source s_src { system(); internal(); };
filter f_syslog3 { not facility(auth, authpriv, mail) and not filter(f_dbg); };
filter f_dbg { level(debug); };
filter f_kern { facility(kern) and not filter(f_dbg); };
filter f_auth { facility(auth, authpriv) and not filter(f_dbg); };
filter f_audit { program("audit"); };
"""
LINES = {
    "source s_src": "source s_src { internal(); system(); };",
    "filter f_syslog3": "filter f_syslog3 { not facility(auth, authpriv, mail) and not filter(f_dbg); };",
    "filter f_dbg": "filter f_dbg { level(debug); };",
    "filter f_kern": "filter f_kern { facility(kern) and not filter(f_dbg); };",
    "filter f_auth": "filter f_auth { facility(auth, authpriv) and not filter(f_audit) and not filter(f_dbg); };",
    "filter f_audit": 'filter f_audit { program("audit"); };',
}
RESTORED = "The following necessary components of syslog-ng have been restored: "


class Recorder(JournalInspector):
    events = None

    def _JournalInspector__send_report_message(self, level, msg):
        self.events.append((level.name, msg if isinstance(msg, str) else f"{type(msg).__name__}: {msg}"))

    def _JournalInspector__send_debug_message(self, msg):
        self.events.append(("DEBUG", msg))

    def _JournalInspector__block_users(self):
        self.events.append("block")


@pytest.fixture
def files(inspector_paths):
    """The three configuration files of the class, in an existing folder."""
    default = JournalInspector.syslog_default_config_file
    default.parent.mkdir()
    return default, JournalInspector.syslog_user_config_file, JournalInspector.syslog_config_file


@pytest.fixture(autouse=True)
def syntax_queries(inspector_paths, fake_bin):
    """`syslog-ng` first on PATH: the real syntax check of the temporary main
    configuration (never the host's). Returns the file that logs each query."""
    log = inspector_paths.parent / "syntax-queries"
    log.touch()
    real = shutil.which("syslog-ng") or "/usr/sbin/syslog-ng"
    fake_bin.add("syslog-ng", f"""\
        #!/bin/sh
        echo "$*" >> '{log}'
        exec {real} "$@" -f '{JournalInspector.syslog_config_file}'
    """)
    return log


@pytest.fixture
def check(new_inspector):
    def run(method="check_syslog_ng_configuration"):
        events = []
        inspector = new_inspector(cls=type("R", (Recorder,), {"events": events}))
        getattr(inspector, method)()
        return events

    return run


def include(default):
    return f'@include "{default}"'


# ---------------------------------------------------------------- the default and include sub-checks

# name: (default present, user file text or None, reports (with {user} and {default}), user file afterwards)
INCLUDE_ROWS = {
    "all in order": (True, '@include "{default}"\n', [], '@include "{default}"\n'),
    "default missing": (False, '@include "{default}"\n',
                        [("CRITICAL", "{default} does not exist\n" + HINT), "block"], '@include "{default}"\n'),
    "user file missing": (True, None, [("ERROR", "{user} does not exist"), ("WARNING", "{user} was partially restored")],
                          '@include "{default}"\n'),
    "include missing": (True, "old\n", [("ERROR", "{user} is wrong"), ("WARNING", "{user} was partially restored")],
                        '@include "{default}"\nold\n\n'),
    "empty user file": (True, "", [("ERROR", "{user} is wrong"), ("WARNING", "{user} was partially restored")],
                        '@include "{default}"\n\n'),
    "include only in a comment": (True, '# @include "{default}" x', [("ERROR", "{user} is wrong"),
                                  ("WARNING", "{user} was partially restored")],
                                  '@include "{default}"\n# @include "{default}" x\n'),
    "both missing": (False, None, [("CRITICAL", "{default} does not exist\n" + HINT), "block",
                                   ("ERROR", "{user} does not exist"), ("WARNING", "{user} was partially restored")],
                     '@include "{default}"\n'),
}  # fmt: skip


@pytest.mark.parametrize("default_present, before, reports, after", list(INCLUDE_ROWS.values()), ids=list(INCLUDE_ROWS))
def test_default_and_include(default_present, before, reports, after, files, check):
    default, user, main = files
    main.write_text(COMPLETE)
    if default_present:
        default.write_text("# the module's configuration\n")
    if before is not None:
        user.write_text(before.format(default=default))
    names = {"default": default, "user": user}
    expected = [e if e == "block" else (e[0], e[1].format(**names)) for e in reports]
    assert check() == expected
    assert user.read_text() == after.format(default=default)
    assert main.read_text() == COMPLETE


# The include line as it may stand in the file: (text with {i} for the line, counts)
INCLUDE_FORMS = [
    ("{i}", True),
    ("# the module\n  \t{i} \t# the default configuration\nx\n", True),
    ("{i}#comment", True),
    ("x\r\n{i}\r\ny", True),
    ("x\r{i}\ry", True),
    ("# {i}", False),
    ("x {i}", False),
    ("{i} x", False),
    ("{i}x", False),
    ("@define x 1 {i}\n", False),
]  # fmt: skip


@pytest.mark.parametrize("text, counts", INCLUDE_FORMS)
def test_the_include_counts_only_on_a_line_of_its_own(text, counts, files, check):
    default, user, _ = files
    before = text.format(i=include(default))
    user.write_bytes(before.encode())
    events = check("_JournalInspector__ensure_default_config_include")
    assert events == ([] if counts else [("ERROR", f"{user} is wrong"), ("WARNING", f"{user} was partially restored")])
    assert user.read_bytes().decode() == (before if counts else f"{include(default)}\n{before}\n")


def test_include_repair_keeps_owner_mode_and_link(files, check):
    default, user, main = files
    main.write_text(COMPLETE)
    default.write_text("")
    real = user.parent / "real.conf"
    real.write_text("old\n")
    os.chown(real, 1234, 4321)
    real.chmod(0o640)
    user.symlink_to(real.name)
    check("_JournalInspector__ensure_default_config_include")
    assert user.is_symlink() and real.read_text() == include(default) + "\nold\n\n"
    status = real.stat()
    assert (status.st_uid, status.st_gid, status.st_mode & 0o7777) == (1234, 4321, 0o640)
    assert sorted(p.name for p in user.parent.iterdir()) == sorted([user.name, real.name, default.name, main.name])


def test_a_new_user_file_follows_the_umask(files, check):
    default, user, _ = files
    old = os.umask(0o027)
    try:
        check("_JournalInspector__ensure_default_config_include")
    finally:
        os.umask(old)
    assert user.stat().st_mode & 0o777 == 0o640


def test_include_write_that_fails(inspector_paths, check):
    user = JournalInspector.syslog_user_config_file
    assert check("_JournalInspector__ensure_default_config_include") == [
        ("ERROR", f"{user} does not exist"),
        ("CRITICAL", f"FileNotFoundError: [Errno 2] No such file or directory: '{user}'"),
        "block",
    ]


# ---------------------------------------------------------------- the required components

# name: (main configuration, components appended in order)
COMPONENT_ROWS = {
    "all defined": (COMPLETE, []),
    "other spacing counts": (COMPLETE.replace("filter f_dbg {", "filter   f_dbg{").replace("source s_src ", "source\ts_src\n"), []),
    "empty file": ("", list(LINES)),
    "two missing": (COMPLETE.replace("filter f_kern", "filter f_kernel").replace("filter f_audit", "filter f_audits"),
                    ["filter f_kern", "filter f_audit"]),
    "only in a comment": (COMPLETE.replace("filter f_audit", "# filter f_audit"), ["filter f_audit"]),
    "only behind a directive": (COMPLETE.replace("filter f_audit", "@define x 1\n@filter f_audit"), ["filter f_audit"]),
    "case matters": (COMPLETE.replace("source s_src", "Source s_src"), ["source s_src"]),
    "a blank between brace and semicolon ends a definition": (
        COMPLETE.replace("level(debug); };", "level(debug); } ;"), []),
    "no final line feed": (COMPLETE.replace('filter f_audit { program("audit"); };\n', "# last line"),
                           ["filter f_audit"]),
}  # fmt: skip


@pytest.mark.parametrize("before, appended", list(COMPONENT_ROWS.values()), ids=list(COMPONENT_ROWS))
def test_required_components(before, appended, files, check):
    _, _, main = files
    main.write_text(before)
    events = check("_JournalInspector__ensure_required_syslog_components")
    separator = "\n" if before and not before.endswith("\n") else ""
    added = "".join(LINES[header] + "\n" for header in appended)
    assert main.read_text() == before + (separator + added if appended else "")
    assert events == ([("DEBUG", RESTORED + ", ".join(appended) + ".")] if appended else [])


@pytest.mark.parametrize("problem, error", [
    ("missing", "FileNotFoundError: [Errno 2] No such file or directory: '{main}'"),
    ("a folder", "IsADirectoryError: [Errno 21] Is a directory: '{main}'"),
    ("a FIFO", "OSError: {main} is not a regular file"),
    ("a link to a device", "OSError: {main} is not a regular file"),
])  # fmt: skip
def test_unreadable_main_configuration(problem, error, files, check):
    _, _, main = files
    if problem == "a folder":
        main.mkdir()
    if problem == "a FIFO":
        os.mkfifo(main)
    if problem == "a link to a device":
        main.symlink_to("/dev/zero")
    events = check("_JournalInspector__ensure_required_syslog_components")
    assert events == [("CRITICAL", error.format(main=main))]
    assert problem != "missing" or not main.exists()
    assert problem != "a FIFO" or stat.S_ISFIFO(main.stat().st_mode)


def test_bytes_that_are_not_utf8_and_line_ends_survive_the_repairs(files, check):
    default, user, main = files
    default.write_text("")
    main_before = COMPLETE.replace(LINES["filter f_audit"] + "\n", "").replace("\n", "\r\n").encode() + b"# caf\xe9\r\n"
    user_before = b"# r\xe9glages\r\n"
    main.write_bytes(main_before)
    user.write_bytes(user_before)
    assert check() == [("ERROR", f"{user} is wrong"), ("WARNING", f"{user} was partially restored"),
                       ("DEBUG", RESTORED + "filter f_audit.")]  # fmt: skip
    assert main.read_bytes() == main_before + LINES["filter f_audit"].encode() + b"\n"
    assert user.read_bytes() == include(default).encode() + b"\n" + user_before + b"\n"


def test_changed_table_is_read_at_call_time(files, check, monkeypatch):
    _, _, main = files
    main.write_text(COMPLETE)
    monkeypatch.setattr(JournalInspector, "required_syslog_components", {"destination d_x": {"file(x)", "a()"}})
    assert check("_JournalInspector__ensure_required_syslog_components") == [
        ("DEBUG", RESTORED + "destination d_x.")]
    assert main.read_text().endswith("destination d_x { a(); file(x); };\n")


def test_a_table_key_that_names_the_empty_last_line_is_present(files, check, monkeypatch):
    _, _, main = files
    main.write_text(COMPLETE.rstrip("\n"))
    table = {"": {"a()"}, "destination d_x": {"file(x)"}}
    monkeypatch.setattr(JournalInspector, "required_syslog_components", table)
    assert check("_JournalInspector__ensure_required_syslog_components") == [("DEBUG", RESTORED + "destination d_x.")]
    assert main.read_text() == COMPLETE + "destination d_x { file(x); };\n"


# ---------------------------------------------------------------- the real syslog-ng

STOCK = Path("/etc/syslog-ng/syslog-ng.conf")


def stock_configuration():
    """Debian's syslog-ng.conf as the package shipped it, or a skip."""
    if not shutil.which("syslog-ng") or not STOCK.exists():
        pytest.skip("syslog-ng is not installed")
    listed = subprocess.run(["dpkg-query", "-W", "-f=${Conffiles}", "syslog-ng-core"],
                            capture_output=True, text=True).stdout  # fmt: skip
    if f"{STOCK} {hashlib.md5(STOCK.read_bytes()).hexdigest()}" not in listed:
        pytest.skip(f"{STOCK} differs from the one Debian ships")
    return STOCK.read_text()


def syntax_check(path):
    done = subprocess.run(["syslog-ng", "-s", "-f", str(path)], capture_output=True, text=True)
    return done.returncode, done.stderr


STOCK_VARIANTS = {
    "stock": lambda text: text,
    "a blank before the semicolon ahead of f_auth": lambda text: text.replace(
        "not facility(auth,authpriv,cron,daemon,mail,news); };", "not facility(auth,authpriv,cron,daemon,mail,news); } ;"),
    "no final line feed after a comment": lambda text: text.rstrip("\n") + "\n# the last line",
}  # fmt: skip


@pytest.mark.parametrize("variant", list(STOCK_VARIANTS))
def test_repaired_stock_configuration_passes_the_real_syntax_check(variant, files, check):
    _, _, main = files
    text = STOCK_VARIANTS[variant](stock_configuration())
    assert text != stock_configuration() or variant == "stock"
    main.write_text(text)
    assert check("_JournalInspector__ensure_required_syslog_components") == [("DEBUG", RESTORED + "filter f_audit.")]
    assert syntax_check(main) == (0, "")
    # A second check finds everything in place.
    assert check("_JournalInspector__ensure_required_syslog_components") == []
    if "blank" in variant:
        # Without "} ;" ending the definition, f_auth would be appended again, and
        # syslog-ng refuses a duplicate.
        main.write_text(main.read_text() + LINES["filter f_auth"] + "\n")
        status, complaint = syntax_check(main)
        assert status != 0 and "duplicate filter definition" in complaint


# ---------------------------------------------------------------- repairs that syslog-ng rejects

NOT_REPAIRED = " was not repaired: syslog-ng rejects the repaired configuration"
NO_AUDIT = COMPLETE.replace(LINES["filter f_audit"] + "\n", "")
DUPLICATE_DBG = LINES["filter f_dbg"] + "\n"

# name: (main configuration, user file or None, default file, reports ({user}, {main}),
#        user file afterwards ({i}: the include line), main configuration appended, queries)
GUARD_ROWS = {
    "all in order: no query": (COMPLETE, "{i}\n", "", [], "{i}\n", "", 0),
    "an include that brings a duplicate is put back": (COMPLETE, "# old\n", DUPLICATE_DBG,
                                                       [("ERROR", "{user} is wrong"), ("ERROR", "{user}" + NOT_REPAIRED)],
                                                       "# old\n", "", 2),
    "a new file that brings a duplicate is removed": (COMPLETE, None, DUPLICATE_DBG,
                                                      [("ERROR", "{user} does not exist"), ("ERROR", "{user}" + NOT_REPAIRED)],
                                                      None, "", 2),
    "accepted repairs stand": (NO_AUDIT, "# old\n", "", [("ERROR", "{user} is wrong"),
                               ("WARNING", "{user} was partially restored"), ("DEBUG", RESTORED + "filter f_audit.")],
                               "{i}\n# old\n\n", LINES["filter f_audit"] + "\n", 3),
    "rejected before: repaired unchecked": (NO_AUDIT + "filter f_dbg { level(debug); };\n", "# old\n", "",
                                            [("ERROR", "{user} is wrong"), ("WARNING", "{user} was partially restored"),
                                             ("DEBUG", RESTORED + "filter f_audit.")],
                                            "{i}\n# old\n\n", LINES["filter f_audit"] + "\n", 1),
}  # fmt: skip


@pytest.mark.parametrize("main_text, user_text, default_text, reports, user_after, appended, queries",
                         list(GUARD_ROWS.values()), ids=list(GUARD_ROWS))  # fmt: skip
def test_a_repair_that_syslog_ng_rejects_is_put_back(main_text, user_text, default_text, reports, user_after,
                                                    appended, queries, files, check, syntax_queries, monkeypatch):
    if not shutil.which("syslog-ng"):
        pytest.skip("syslog-ng is not installed")
    default, _, main = files
    # The module's file in a conf.d folder that the main configuration includes.
    user = main.parent / "conf.d" / "mod-tarno.conf"
    user.parent.mkdir()
    monkeypatch.setattr(JournalInspector, "syslog_user_config_file", user)
    default.write_text(default_text)
    main_before = f'{main_text}@include "{user.parent}"\n'
    main.write_text(main_before)
    if user_text is not None:
        user.write_text(user_text.replace("{i}", include(default)))
    assert check() == [(level, text.format(user=user, main=main)) for level, text in reports]
    assert main.read_text() == main_before + appended
    assert (user.read_text() if user.exists() else None) == (user_after and user_after.replace("{i}", include(default)))
    assert syntax_queries.read_text() == "-s\n" * queries
    assert sorted(os.listdir(user.parent)) == ([] if user_after is None else ["mod-tarno.conf"])


# ---------------------------------------------------------------- failures of real system calls

CHILD = """
import json, os, sys
from pathlib import Path
sys.path[:0] = json.loads(os.environ["CHILD_PATH"])
from tarno_event_diagnostics.config import Config
from tarno_event_diagnostics.journal_inspector import JournalInspector
events = []
class Child(JournalInspector):
    _JournalInspector__send_report_message = lambda self, level, msg: events.append([level.name, str(msg)])
    _JournalInspector__block_users = lambda self: events.append("block")
root = Path(sys.argv[1])
Child.syslog_default_config_file = root / "mod-tarno.conf"
Child.syslog_user_config_file = root / "conf.d" / "mod-tarno.conf"
Child.default_dir = root
inspector = Child(str(root / "report"), Config())
inspector._JournalInspector__ensure_default_config_include()
# pwrite, not write: the injected failures must not reach the results.
os.pwrite(int(sys.argv[2]), json.dumps(events).encode(), 0)
"""


def rewrite_under_strace(tmp_path, inject):
    """Runs the include repair of a file in tmp_path in a child whose system call
    `inject` fails as strace makes it; returns (exit status, reports, user file
    text, names in its folder)."""
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    if inject.startswith("write") and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's own runtime writes, and stops when its writes fail")
    root = tmp_path / "child"
    (root / "conf.d").mkdir(parents=True)
    user = root / "conf.d" / "mod-tarno.conf"
    user.write_text("old\n")
    results = tmp_path / "results.json"
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    env["CHILD_PATH"] = json.dumps(sys.path)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    preload = ["-E", f"LD_PRELOAD={os.environ['LD_PRELOAD']}"] if "LD_PRELOAD" in os.environ else []
    syscall = inject.split(":")[0]
    with open(results, "w+b") as out:
        done = subprocess.run(
            ["strace", "-f", "-o", "/dev/null", *preload, "-e", f"trace={syscall}", "-e", f"inject={inject}",
             sys.executable, "-c", CHILD, str(root), str(out.fileno())],
            env=env, pass_fds=[out.fileno()], capture_output=True, text=True, timeout=120,
        )  # fmt: skip
    text = results.read_text()
    assert done.returncode <= 0 or text, done.stderr
    return done.returncode, json.loads(text) if text else None, user.read_text(), sorted(os.listdir(user.parent))


def wrong_and(user, *more):
    return [["ERROR", f"{user} is wrong"], *more]


@pytest.mark.parametrize(
    "inject, error",
    [("write:error=ENOSPC", "[Errno 28] No space left on device"),
     ("fsync:error=EIO", "[Errno 5] Input/output error"),
     ("fchown:error=EIO", "[Errno 5] Input/output error"),
     ("fchmod:error=EPERM", "[Errno 1] Operation not permitted"),
     ("linkat:error=ENOSPC", "[Errno 28] No space left on device"),
     ("renameat:error=EACCES", "[Errno 13] Permission denied")],
)  # fmt: skip
def test_a_failed_step_leaves_the_old_file_and_nothing_else(inject, error, tmp_path):
    status, events, text, names = rewrite_under_strace(tmp_path, inject)
    user = tmp_path / "child" / "conf.d" / "mod-tarno.conf"
    assert (status, events) == (0, wrong_and(user, ["CRITICAL", f"{error}: '{user}'"], "block"))
    assert (text, names) == ("old\n", ["mod-tarno.conf"])


def test_a_folder_that_cannot_be_flushed_is_reported_with_the_new_file_in_place(tmp_path):
    status, events, text, names = rewrite_under_strace(tmp_path, "fsync:error=EIO:when=2")
    user = tmp_path / "child" / "conf.d" / "mod-tarno.conf"
    assert (status, events) == (0, wrong_and(user, ["CRITICAL", f"[Errno 5] Input/output error: '{user}'"], "block"))
    assert text.startswith("@include") and names == ["mod-tarno.conf"]


def test_an_owner_that_may_not_be_given_keeps_the_process_own(tmp_path):
    status, events, text, _ = rewrite_under_strace(tmp_path, "fchown:error=EPERM")
    user = tmp_path / "child" / "conf.d" / "mod-tarno.conf"
    assert (status, events) == (0, wrong_and(user, ["WARNING", f"{user} was partially restored"]))
    assert text.startswith("@include")


@pytest.mark.parametrize("syscall", ["write", "fsync", "fchown", "fchmod", "linkat", "renameat", "fsync:when=2"])
def test_a_process_killed_during_the_rewrite_leaves_old_or_new(syscall, tmp_path):
    name, _, when = syscall.partition(":")
    status, _, text, names = rewrite_under_strace(tmp_path, f"{name}:signal=SIGKILL" + (f":{when}" if when else ""))
    assert status == -signal.SIGKILL or status == 128 + signal.SIGKILL
    assert text in ("old\n", f'@include "{tmp_path / "child" / "mod-tarno.conf"}"\nold\n\n')
    assert [n for n in names if n.endswith(".conf")] == ["mod-tarno.conf"]
    assert all(n == "mod-tarno.conf" or n.startswith(".") for n in names)
