# SPDX-License-Identifier: LGPL-2.1-or-later
"""A run that changes nothing: the command-line tool's --dry-run.

The engine hands every change it would make (a file replaced or appended to,
the report folder made, a command line run) to the inspector's preview instead
of making it, when the inspector carries one. The preview shows each change
where it would happen: a unified diff for a file, the exact command line for a
command. Everything that only looks (files read, queries, the process test,
the health check) runs as in a real run, on the host as it is.

A file or folder that the dry run would have made or changed is, for the
steps that follow, what the real run would have made of it: a step that reads
the inspector's files reads the text that the dry run showed, and a second
change to a file is shown against that text.

Where a later step depends on a change that was not made (the state of a
restarted daemon, the rules that a restarted auditd would load), the dry run
goes on with the host as it is and marks what follows as not known: it never
guesses that the change would have worked.
"""

from __future__ import annotations

import difflib
import grp
import os
import pwd
import stat
import sys
import types
from pathlib import Path, PurePath
from typing import Any, Callable

from tarno_event_diagnostics import records

Record = records.Record

#: The restarts whose outcome a dry run cannot know, and the check after which
#: it no longer matters: syslog-ng's only to the rest of the syslog-ng check;
#: auditd's also to the kernel's rules and the auditd check, so to the end of
#: the run (None).
RESTARTS: dict[str, str | None] = {
    "systemctl restart syslog-ng": "check_syslog_ng",
    "systemctl restart auditd": None,
}

# What a real run says when it repaired something, and what a dry run says
# instead: whole texts, and texts by their beginning and end (the middle, a
# path or a rule, is kept).
_WHOLE = {
    "syslog-ng service is currently stopped. Restarting now.":
        "syslog-ng service is currently stopped. A real run would restart it now.",
    "restarting syslog-ng": "a real run would restart syslog-ng",
    "syslog-ng successfully restarted": "whether syslog-ng would run after a restart is not known",
    "Accounts of non-privileged users are blocked": "Accounts of non-privileged users would be blocked",
}
_FRAMED = (
    (("", " was partially restored"), ("", " would be partially restored")),
    (("audit rule '", "' was restored"), ("audit rule '", "' would be restored")),
    (("important audit rules was restored in ", ""), ("important audit rules would be restored in ", "")),
    (("The following necessary components of syslog-ng have been restored: ", ""),
     ("The following necessary components of syslog-ng would be restored: ", "")),
)


def reworded(message: Any) -> Any:
    """The dry run's words for a message of a real run that says something
    was repaired; any other message unchanged."""
    if type(message) is not str:
        return message
    if message in _WHOLE:
        return _WHOLE[message]
    for (start, end), (new_start, new_end) in _FRAMED:
        if len(message) > len(start) + len(end) and message.startswith(start) and message.endswith(end):
            return new_start + message[len(start):len(message) - len(end)] + new_end
    return message


def unified_diff(path: str, old: str | None, new: str) -> str:
    """The diff of a file's old text (None: no file) and its new text, as
    `diff -u` writes it, with a marker for a last line without a line feed."""
    lines = difflib.unified_diff(
        (old or "").splitlines(keepends=True),
        new.splitlines(keepends=True),
        "/dev/null" if old is None else path,
        path,
    )
    return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _owner_of_new(folder: Path) -> tuple[str, str]:
    """Who owns a file that this process makes in `folder`: its own user, and
    the folder's group where the folder passes its group on (set-group-ID)."""
    gid = os.getegid()
    try:
        status = os.stat(folder)
        if status.st_mode & stat.S_ISGID:
            gid = status.st_gid
    except OSError:
        pass
    return _name(pwd.getpwuid, os.geteuid()), _name(grp.getgrgid, gid)


def _name(lookup: Callable[[int], Any], number: int) -> str:
    try:
        return lookup(number)[0]
    except KeyError:
        return str(number)


class Preview:
    """Receives the changes of a dry run from the engine and hands each on as a
    change record; notes where what follows is not known."""

    def __init__(self, tell: Callable[[Record], None]) -> None:
        self.tell = tell
        self.known = 0
        self.not_known = 0
        # The restarts not made, with the check after which they stop mattering.
        self.pending: dict[str, str | None] = {}
        # What the real run would have written to each file, and the folders
        # it would have made, by path.
        self.texts: dict[str, str] = {}
        self.folders: set[str] = set()

    def file(self, path: Any, text: str, mode: int, exact: bool) -> None:
        target = Path(path)
        key = os.fspath(path)
        shown = records.readable(key)
        record: Record = {"record": "change", "kind": "file", "path": shown}
        if key in self.texts:
            record["diff"] = unified_diff(shown, self.texts[key], text)
        elif target.exists():
            record["diff"] = unified_diff(shown, target.read_text(), text)
        else:
            record["diff"] = unified_diff(shown, None, text)
            self._new_entry(record, target.parent, mode if exact else mode & ~_umask())
        self.texts[key] = text
        self._change(record)

    def folder(self, path: Any, mode: int) -> None:
        target = Path(path)
        self.folders.add(os.fspath(path))
        record: Record = {"record": "change", "kind": "folder", "path": records.readable(os.fspath(path))}
        self._new_entry(record, target.parent, mode & ~_umask())
        self._change(record)

    def command(self, line: str) -> int:
        self._change({"record": "change", "kind": "command", "command": records.readable(line)})
        if line in RESTARTS:
            self.pending[line] = RESTARTS[line]
            self.tell({
                "record": "note",
                "message": f"'{line}' was not run: what follows is checked on the host as it is, "
                           "and what a real run would find there is not known",
                "time": records.now(),
            })  # fmt: skip
        # What the check reads as the command's exit status: no failure to report.
        return 0

    def settle(self, check: str) -> None:
        """`check` has ended: the restarts that mattered only to it stop mattering."""
        self.pending = {line: until for line, until in self.pending.items() if until != check}

    @staticmethod
    def _new_entry(record: Record, folder: Path, mode: int) -> None:
        owner, group = _owner_of_new(folder)
        record.update(mode=f"{mode:04o}", owner=owner, group=group)

    def _change(self, record: Record) -> None:
        record["known"] = not self.pending
        if record["known"]:
            self.known += 1
        else:
            self.not_known += 1
        record["time"] = records.now()
        self.tell(record)


class _PreviewedPath(type(Path())):  # type: ignore[misc]
    """A path whose file or folder is what the dry run of `_preview` would
    have made of it; one that the dry run did not touch is the host's."""

    _preview: Preview

    def exists(self) -> bool:
        key = os.fspath(self)
        return key in self._preview.texts or key in self._preview.folders or super().exists()

    def read_text(self, encoding: str | None = None, errors: str | None = None) -> str:
        text = self._preview.texts.get(os.fspath(self))
        return super().read_text(encoding, errors) if text is None else text

    def read_bytes(self) -> bytes:
        text = self._preview.texts.get(os.fspath(self))
        return super().read_bytes() if text is None else text.encode("utf-8", "surrogateescape")

    def is_file(self) -> bool:
        return os.fspath(self) in self._preview.texts or super().is_file()


def previewing_inspector(base: type, preview: Preview) -> type:
    """A subclass of the inspector that shows its changes to `preview`, reads
    its files as the dry run left them, and says that it would repair where a
    real run says that it did."""
    previewed = type("PreviewedPath", (_PreviewedPath,), {"_preview": preview})

    class PreviewingInspector(base):
        _JournalInspector__preview = preview

        def _JournalInspector__send_report_message(self, level: Any, msg: Any) -> None:
            super()._JournalInspector__send_report_message(level, reworded(msg))

        def _JournalInspector__send_debug_message(self, msg: Any) -> None:
            super()._JournalInspector__send_debug_message(reworded(msg))

        async def check_syslog_ng(self) -> None:
            try:
                return await super().check_syslog_ng()
            finally:
                preview.settle("check_syslog_ng")

    # The files and folders that the inspector reads and changes.
    for name in dir(base):
        if not name.startswith("_") and isinstance(value := getattr(base, name), PurePath):
            setattr(PreviewingInspector, name, previewed(value))
    return PreviewingInspector


def silence_system_log(module: types.ModuleType) -> Callable[[], None]:
    """Gives `module` a system log that receives nothing, with the names of the
    real one, so that a dry run sets off no alarm of a central collector.
    Returns what gives the module its own system log back."""
    real = module.syslog
    silent = types.SimpleNamespace(**{name: getattr(real, name) for name in dir(real) if name.startswith("LOG_")})
    silent.openlog = silent.syslog = silent.closelog = lambda *args, **kwargs: None
    module.syslog = silent
    return lambda: setattr(module, "syslog", real)


def print_text(record: Record) -> None:
    """The changes and notes of a dry run as text, between the report lines."""
    if record["record"] == "note":
        print(f"note: {record['message']}")
    elif record["record"] == "change":
        verb = "would" if record["known"] else "might (not known)"
        if record["kind"] == "command":
            print(f"{verb} run: {record['command']}")
            return
        made = f" (mode {record['mode']}, {record['owner']}:{record['group']})" if "mode" in record else ""
        if record["kind"] == "folder":
            print(f"{verb} make folder {record['path']}{made}")
        else:
            print(f"{verb} {'create' if made else 'change'} {record['path']}{made}:")
            sys.stdout.write(record["diff"])
    sys.stdout.flush()


def close_report(inspector: Any, path: str, line: str) -> None:
    """Adds `line`, stamped as a report line, to the report at `path`, which the
    end message has closed."""
    with open(path, "a") as report:
        report.write(inspector._JournalInspector__msg_template(line) + "\n")


def closing_line(preview: Preview) -> str:
    """What a dry run says last."""
    line = f"Dry run: nothing was changed; a real run would make {preview.known} change(s)"
    if preview.not_known:
        line += f", and {preview.not_known} more whose need is not known"
    return line + "."
