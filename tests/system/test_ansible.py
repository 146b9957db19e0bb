# SPDX-License-Identifier: LGPL-2.1-or-later
"""The shipped Ansible playbook on the simulated host, with the local connection:
it installs the built package, runs one diagnosis with --json, and gathers the
summaries into one table; the play fails only where the tool could not run."""

import subprocess

import pytest

from system_sandbox import REPO, USER_CONFIG, File, Host, emitted
from system_sandbox import module_sandbox, sandbox_ready  # noqa: F401 (fixtures)
from test_sandboxed_package import built_package

PLAYBOOK = REPO / "contrib" / "ansible" / "tarno-event-diagnostics.yml"

PLAY = """
import subprocess
os.makedirs("/run/ansible/home")
# The second host's report folder can exist on no machine: /dev/null is no folder.
with open("/run/ansible/hosts", "w") as hosts:
    hosts.write("diagnosed ansible_connection=local ansible_become=false ansible_python_interpreter=/usr/bin/python3\\n"
                "misconfigured ansible_connection=local ansible_become=false ansible_python_interpreter=/usr/bin/python3 "
                "tarno_options='--report /dev/null/report'\\n")
# Ansible keeps its own state under the sandbox's /run, not in root's home.
env = dict(os.environ, HOME="/run/ansible/home", ANSIBLE_HOME="/run/ansible/home",
           ANSIBLE_LOCAL_TEMP="/run/ansible/tmp", ANSIBLE_REMOTE_TEMP="/run/ansible/tmp", ANSIBLE_NOCOLOR="1")
done = subprocess.run(["ansible-playbook", "-i", "/run/ansible/hosts", PLAYBOOK, "-e", "tarno_deb=" + DEB,
                       "-e", "tarno_table=/run/ansible/summary.txt"], env=env, capture_output=True, text=True)
installed = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "tarno-event-diagnostics"],
                           capture_output=True, text=True).stdout
table = open("/run/ansible/summary.txt").read().splitlines()
repaired = open(USER_CONFIG).read()
# Check mode on the repaired host, broken again: a dry run that changes nothing.
with open("/run/ansible/hosts-check", "w") as hosts:
    hosts.write("diagnosed ansible_connection=local ansible_become=false ansible_python_interpreter=/usr/bin/python3\\n")
with open(USER_CONFIG, "w") as user:
    user.write("# broken again\\n")
broken = os.stat(USER_CONFIG)
checked = subprocess.run(["ansible-playbook", "-i", "/run/ansible/hosts-check", "--check", "--diff",
                          PLAYBOOK, "-e", "tarno_deb=" + DEB, "-e", "tarno_table=/run/ansible/checked.txt"],
                         env=env, capture_output=True, text=True)
emit({"status": done.returncode, "output": done.stdout + done.stderr, "installed": installed, "table": table,
      "repaired": repaired,
      "check_status": checked.returncode, "check_output": checked.stdout + checked.stderr,
      "check_table": open("/run/ansible/checked.txt").read().splitlines() if os.path.exists("/run/ansible/checked.txt") else None,
      "untouched": open(USER_CONFIG).read() == "# broken again\\n" and os.stat(USER_CONFIG).st_mtime_ns == broken.st_mtime_ns})
"""


@pytest.fixture(scope="module")
def played(module_sandbox):
    host = Host(files={USER_CONFIG: File("# the module's settings\n", 0o640, "root", "adm")})
    script = f"PLAYBOOK = {str(PLAYBOOK)!r}\nDEB = {str(built_package())!r}\nUSER_CONFIG = {USER_CONFIG!r}\n" + PLAY
    step = module_sandbox.run(host, steps=[script], collect=[USER_CONFIG], timeout=600).steps[0]
    assert step.returncode == 0, step.describe()
    (outcome,) = emitted(step)
    return step, outcome


def test_the_playbook_installs_and_diagnoses(played):
    step, outcome = played
    assert outcome["installed"] == "install ok installed"
    # The installed tool repaired the include line, as a diagnosis does.
    assert outcome["repaired"].startswith('@include "/usr/share/syslog-ng-mod-tarno/mod-tarno.conf"\n')


def test_the_summaries_make_one_table(played):
    _, outcome = played
    assert [line.split() for line in outcome["table"]] == [
        ["host", "errors", "worst", "exit", "status"],
        ["diagnosed", "2", "error", "1"],
        ["changed", USER_CONFIG],
        ["misconfigured", "-", "-", "2"],
    ]


def test_the_play_fails_only_where_the_tool_could_not_run(played):
    _, outcome = played
    assert outcome["status"] == 2, outcome["output"]
    assert "the diagnosis could not run (exit status 2)" in outcome["output"]
    recap = [line for line in outcome["output"].splitlines() if line.startswith(("diagnosed ", "misconfigured "))]
    assert "failed=0" in recap[0] and "failed=1" in recap[1]


def test_check_mode_changes_nothing_and_shows_the_would_be_changes(played):
    _, outcome = played
    assert outcome["check_status"] == 0, outcome["check_output"]
    assert outcome["untouched"]
    assert [line.split() for line in outcome["check_table"]] == [
        ["host", "errors", "worst", "exit", "status"],
        ["diagnosed", "2", "error", "1"],
        ["would", "change", USER_CONFIG],
    ]
    # --diff shows the diff of the file.
    assert '+@include \\"/usr/share/syslog-ng-mod-tarno/mod-tarno.conf\\"' in outcome["check_output"]


def test_ansible_lint_passes():
    done = subprocess.run(["ansible-lint", "--offline", "-p", str(PLAYBOOK)], capture_output=True, text=True,
                          timeout=300, cwd=PLAYBOOK.parent)  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr
