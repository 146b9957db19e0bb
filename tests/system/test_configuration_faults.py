# SPDX-License-Identifier: LGPL-2.1-or-later
"""The syslog-ng configuration on hosts that misbehave, with the real syslog-ng
judging every repair: a full file system, a definition that another file already
makes, an include that stands only in a comment, bytes that are not UTF-8 and a
folder where a file belongs."""

from system_sandbox import (
    AUDIT_FILTER, INCLUDE_LINE, MAIN_CONFIG, REPORT, RULES_FILE, USER_CONFIG, File, Host, report_entries,
    stock_syslog_ng_conf,
)  # fmt: skip
from system_sandbox import sandbox, sandbox_ready  # noqa: F401 (fixtures)

STARTED = "Self-diagnostics of the event registration subsystem has been started"
COMPLETED = "Self-diagnostics of the event registration subsystem is completed: errors="
NOT_REPAIRED = " was not repaired: syslog-ng rejects the repaired configuration"
FOLDER = "/etc/syslog-ng"
CONF_D = f"{FOLDER}/conf.d"
SYNTAX = ["syslog-ng", "-s"]
#: The module's file without the include line: syslog-ng starts without f_audit.
UNINCLUDED = "# the module's settings\n"


def shell(script):
    return ["sh", "-c", script]


def diagnose(sandbox, host, collect=()):
    """syslog-ng's syntax check, a diagnosis, the syntax check again."""
    result = sandbox.run(host, steps=[SYNTAX, ["tarno-event-diagnostics", "run"], SYNTAX],
                         collect=[REPORT, FOLDER, CONF_D, *collect])  # fmt: skip
    before, run, after = result.steps
    assert before.returncode == 0, before.describe()
    assert after.returncode == 0, after.describe()
    return result.before, run


def test_a_full_file_system_leaves_every_file_as_it_was(sandbox):
    fill = (f"cp -a {FOLDER} /run/saved && mount -n -t tmpfs -o size=256k tmpfs {FOLDER} && "
            f"cp -a /run/saved/. {FOLDER}/ && (dd if=/dev/zero of={FOLDER}/.fill bs=4k 2>/dev/null || true)")  # fmt: skip
    host = Host(files={MAIN_CONFIG: stock_syslog_ng_conf(), USER_CONFIG: UNINCLUDED}, setup=[shell(fill)])
    before, run = diagnose(sandbox, host)
    assert report_entries(run.text(REPORT)) == [
        STARTED,
        f"error: {USER_CONFIG} is wrong",
        f"critical: [Errno 28] No space left on device: '{USER_CONFIG}'",
        f"critical: [Errno 28] No space left on device: '{MAIN_CONFIG}'",
        COMPLETED + "3",
    ]
    for path in (MAIN_CONFIG, USER_CONFIG, FOLDER, CONF_D):
        assert run.files[path] == before.files[path], path


def test_a_definition_that_another_file_makes_is_not_added_again(sandbox):
    host = Host(files={MAIN_CONFIG: stock_syslog_ng_conf(), f"{CONF_D}/audit-filter.conf": AUDIT_FILTER})
    before, run = diagnose(sandbox, host)
    assert report_entries(run.text(REPORT)) == [STARTED, f"error: {MAIN_CONFIG}{NOT_REPAIRED}", COMPLETED + "1"]
    assert run.files[MAIN_CONFIG] == before.files[MAIN_CONFIG]
    assert run.files[CONF_D] == before.files[CONF_D]


def test_an_include_in_a_comment_is_added_and_other_bytes_are_kept(sandbox):
    commented = f"# {INCLUDE_LINE}\n"
    host = Host(files={USER_CONFIG: commented}, setup=[shell(f"printf '# r\\351glages\\n' >> {USER_CONFIG}")])
    before, run = diagnose(sandbox, host)
    assert report_entries(run.text(REPORT)) == [
        STARTED, f"error: {USER_CONFIG} is wrong", f"warning: {USER_CONFIG} was partially restored", COMPLETED + "2"]
    assert before.text(USER_CONFIG) == commented + "# r\udce9glages\n"
    assert run.text(USER_CONFIG) == f"{INCLUDE_LINE}\n{before.text(USER_CONFIG)}\n"
    assert run.files[USER_CONFIG] == {**before.files[USER_CONFIG], "text": run.text(USER_CONFIG)}


def test_the_checks_go_on_after_a_folder_in_place_of_the_module_file(sandbox):
    host = Host(files={MAIN_CONFIG: stock_syslog_ng_conf(), USER_CONFIG: File(None, 0o755), RULES_FILE: None},
                setup=[shell(f"printf '# caf\\351\\n' >> {MAIN_CONFIG}")])  # fmt: skip
    before, run = diagnose(sandbox, host, collect=[RULES_FILE])
    assert report_entries(run.text(REPORT)) == [
        STARTED,
        f"critical: [Errno 21] Is a directory: '{USER_CONFIG}'",
        f"error: {RULES_FILE} does not exist",
        f"warning: {RULES_FILE} was partially restored",
        COMPLETED + "3",
    ]
    assert "# caf\udce9\n" in before.text(MAIN_CONFIG)
    assert run.text(MAIN_CONFIG) == before.text(MAIN_CONFIG) + AUDIT_FILTER
    assert run.files[USER_CONFIG]["kind"] == "folder" and run.files[RULES_FILE]["kind"] == "file"
