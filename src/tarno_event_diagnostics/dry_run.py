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
goes on with the host as it is and marks what follows as not known, findings
included: it never guesses that the change would have worked. What follows
depends on a restart from the first look at what the restart changes (a
process test, a query other than syslog-ng's syntax check) to the end of the
check that the restart matters to.

A change that the real run could not make fails in the dry run too, with the
error the real change would meet (a dangling link, a loop, a folder in the way,
a read-only file system, a full disk), and a command says the status it would
end with where that is known beforehand (`usermod` on an account database that
cannot be written). A repaired syslog-ng configuration is checked by syslog-ng
as the real run checks it, on a private copy of the configuration folder with
the repaired texts in it, mounted over the live folder in a mount namespace of
its own: the live files are neither written nor opened for writing.

A real run tells the same change records for the changes it made (`Recorder`).
"""

from __future__ import annotations

import difflib
import errno
import grp
import io
import os
import pwd
import shlex
import shutil
import stat
import sys
import tempfile
import types
from pathlib import Path, PurePath
from typing import Any, Callable

from tarno_event_diagnostics import _texts, records

Record = records.Record

#: The restarts whose outcome a dry run cannot know, and the check after which
#: it no longer matters: syslog-ng's only to the rest of the syslog-ng check;
#: auditd's also to the kernel's rules and the auditd check, so to the end of
#: the run (None).
RESTARTS: dict[str, str | None] = {
    _texts.syslog_ng_restart_command: "check_syslog_ng",
    _texts.auditd_restart_command: None,
}

#: Put before a finding of a dry run that follows a restart it did not make.
NOT_KNOWN = "(not known) "

# What a real run says when it repaired something, and what a dry run says
# instead: whole texts, and texts by their beginning and end (the middle, a
# path or a rule, is kept).
_WHOLE = {
    _texts.syslog_ng_stopped: "syslog-ng service is currently stopped. A real run would restart it now.",
    _texts.syslog_ng_restarting: "a real run would restart syslog-ng",
    _texts.syslog_ng_restarted: "whether syslog-ng would run after a restart is not known",
    _texts.blocked_text: "Accounts of non-privileged users would be blocked",
}
_FRAMED = (
    (("", _texts.partially_restored), ("", " would be partially restored")),
    ((_texts.audit_rule_start, _texts.audit_rule_restored), (_texts.audit_rule_start, "' would be restored")),
    ((_texts.audit_rules_restored_in, ""), ("important audit rules would be restored in ", "")),
    ((_texts.components_restored, ""), ("The following necessary components of syslog-ng would be restored: ", "")),
)
_SYNTAX_CHECK = list(_texts.syslog_ng_syntax_check)
# Where usermod writes the account database (its lock files beside them).
_ACCOUNT_FILES = ("/etc/passwd", "/etc/shadow")
# The exit status of usermod that cannot update the account database.
_USERMOD_CANNOT_UPDATE = 1
# The exit status of auditctl whose request the kernel refused.
_AUDITCTL_FAILED = 255
# Resolution gives up after this many symbolic links, as the real write does.
_LINK_LIMIT = 40


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


def _bytes(text: str | bytes) -> bytes:
    return text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")


def _lines(data: bytes) -> list[bytes]:
    # Split at line feeds only: a carriage return stays part of its line.
    lines = data.split(b"\n")
    return [line + b"\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])


def unified_diff(path: str, old: str | bytes | None, new: str | bytes | None) -> str:
    """The diff of a file's old content (None: no file) and its new one (None:
    removed), as `diff -u` writes it, of the bytes: line ends and bytes that are
    not UTF-8 are kept (as surrogate escapes in the text returned), and a last
    line without a line feed gets the marker."""
    lines = difflib.diff_bytes(
        difflib.unified_diff,
        _lines(_bytes(old or b"")),
        _lines(_bytes(new or b"")),
        os.fsencode("/dev/null" if old is None else path),
        os.fsencode("/dev/null" if new is None else path),
    )
    diff = b"".join(line if line.endswith(b"\n") else line + b"\n\\ No newline at end of file\n" for line in lines)
    return diff.decode("utf-8", "surrogateescape")


def _resolved(path: str) -> str:
    """The file that a chain of symbolic links at `path` ends in, followed as
    the real write follows it; OSError ELOOP for a chain too long."""
    for hops in range(_LINK_LIMIT + 1):
        try:
            if not stat.S_ISLNK(os.lstat(path).st_mode):
                return path
        except OSError:
            return path
        if hops == _LINK_LIMIT:
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))
        target = os.readlink(path)
        slash = path.rfind("/")
        path = target if target.startswith("/") or slash < 0 else path[:slash + 1] + target
    return path


def _folder_failure(folder: str, size: int) -> None:
    """Raises the OSError that writing `size` bytes of a new entry in `folder`
    would meet: the folder missing or not one, a read-only file system, too
    little room."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        space = os.fstatvfs(fd)
    finally:
        os.close(fd)
    if space.f_flag & os.ST_RDONLY:
        raise OSError(errno.EROFS, os.strerror(errno.EROFS))
    blocks = space.f_bfree if os.geteuid() == 0 else space.f_bavail
    needed = -(-size // space.f_frsize) if space.f_frsize else 0
    if blocks < needed or (space.f_files and not space.f_ffree):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


def write_failure(path: str, size: int) -> OSError | None:
    """The error that replacing the file at `path` by `size` bytes would meet,
    naming `path` as the real write's error does; None when none is seen."""
    try:
        target = _resolved(path)
        slash = target.rfind("/")
        folder = target[:slash + 1] if slash >= 0 else "."
        try:
            if stat.S_ISDIR(os.lstat(target).st_mode):
                raise OSError(errno.EISDIR, os.strerror(errno.EISDIR))
        except FileNotFoundError:
            pass
        _folder_failure(folder, size)
    except OSError as error:
        return OSError(error.errno, error.strerror, path)
    return None


def folder_failure(path: str) -> OSError | None:
    """The error that making the folder `path` would meet, as `mkdir` gives it."""
    try:
        if os.path.lexists(path):
            raise OSError(errno.EEXIST, os.strerror(errno.EEXIST))
        _folder_failure(os.path.dirname(os.path.abspath(path)), 0)
    except OSError as error:
        return OSError(error.errno, error.strerror, path)
    return None


def _foretold_status(line: str) -> int:
    """The status, as `os.system` gives it, that a command line of a check would
    end with, where it can be told beforehand: usermod on an account database
    that cannot be written, an audit watch whose folder does not exist (the
    kernel refuses it). 0 for any other."""
    if line.startswith(_texts.lock_command_prefix):
        if any(write_failure(name, 0) for name in _ACCOUNT_FILES):
            return _USERMOD_CANNOT_UPDATE << 8
    elif line.startswith(_texts.audit_rule_load_prefix):
        try:
            words = shlex.split(line)
        except ValueError:
            return 0
        for option, value in zip(words, words[1:]):
            if option == "-w" and not os.path.isdir(os.path.dirname(value)):
                return _AUDITCTL_FAILED << 8
    return 0


def _exit_status(status: Any) -> Any:
    """The exit status in a status of `os.system`, or the status as it is."""
    try:
        return os.waitstatus_to_exitcode(status)
    except (TypeError, ValueError):
        return status


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
    change record, or raises the error that the real change would meet; notes
    where what follows is not known."""

    def __init__(self, tell: Callable[[Record], None]) -> None:
        self.tell = tell
        self.known = 0
        self.not_known = 0
        # The restarts not made, with the check after which they stop mattering,
        # and those of them whose outcome a look at the host has met since.
        self.pending: dict[str, str | None] = {}
        self.looked: set[str] = set()
        # What the real run would have written to each file (None: removed),
        # and the folders it would have made, by path.
        self.texts: dict[str, str | None] = {}
        self.folders: set[str] = set()

    def file(self, path: Any, text: str, mode: int, exact: bool) -> None:
        key = os.fspath(path)
        new = _bytes(text)
        failure = write_failure(key, len(new))
        if failure is not None:
            raise failure
        shown = records.readable(key)
        old = self.current(key)
        record: Record = {"record": "change", "kind": "file", "path": shown, "diff": unified_diff(shown, old, new)}
        if old is None:
            folder = Path(_resolved(key)).parent
            self._new_entry(record, folder, mode if exact else mode & ~_umask())
        self.texts[key] = text
        self._change(record)

    def remove(self, path: Any) -> None:
        key = os.fspath(path)
        shown = records.readable(key)
        self._change({"record": "change", "kind": "file", "path": shown,
                      "diff": unified_diff(shown, self.current(key), None)})  # fmt: skip
        self.texts[key] = None

    def folder(self, path: Any, mode: int) -> None:
        key = os.fspath(path)
        failure = folder_failure(key)
        if failure is not None:
            raise failure
        self.folders.add(key)
        record: Record = {"record": "change", "kind": "folder", "path": records.readable(key)}
        self._new_entry(record, Path(key).parent, mode & ~_umask())
        self._change(record)

    def command(self, line: str) -> int:
        status = _foretold_status(line)
        # The status of a restart, or of a command after a look at its outcome, is not known.
        known = line not in RESTARTS and not self.looked
        self._change({"record": "change", "kind": "command", "command": records.readable(line),
                      "status": _exit_status(status) if known else None})  # fmt: skip
        if line in RESTARTS:
            self.pending[line] = RESTARTS[line]
            self.tell({
                "record": "note",
                "message": f"'{line}' was not run: what follows is checked on the host as it is, "
                           "and what a real run would find there is not known",
                "time": records.now(),
            })  # fmt: skip
        # What the check reads as the command's exit status, as os.system gives it.
        return status

    def current(self, key: str) -> bytes | None:
        """The bytes of the file at `key` as the dry run left it, None for none."""
        if key in self.texts:
            text = self.texts[key]
            return None if text is None else _bytes(text)
        try:
            return Path(key).read_bytes() if os.path.isfile(key) else None
        except OSError:
            return None

    def settle(self, check: str) -> None:
        """`check` has ended: the restarts that mattered only to it stop mattering."""
        self.pending = {line: until for line, until in self.pending.items() if until != check}
        self.looked &= self.pending.keys()

    def look(self) -> None:
        """The check looks at the host where the restarts not made would have
        changed it: what follows depends on them."""
        self.looked |= self.pending.keys()

    def mark(self, record: Record) -> None:
        """Marks a finding as known or not; a listener that comes before the others."""
        if record["record"] == "finding":
            record["known"] = not self.looked

    @staticmethod
    def _new_entry(record: Record, folder: Path, mode: int) -> None:
        owner, group = _owner_of_new(folder)
        record.update(mode=f"{mode:04o}", owner=owner, group=group)

    def _change(self, record: Record) -> None:
        record["known"] = not self.looked
        if record["known"]:
            self.known += 1
        else:
            self.not_known += 1
        record["time"] = records.now()
        self.tell(record)


class Recorder:
    """Tells a change record, in the dry run's form, for every change that a
    real run made; the engine calls it once each change is made. A change that
    cannot be recorded is noted, and never undoes nor fails the change."""

    def __init__(self, tell: Callable[[Record], None]) -> None:
        self.tell = tell

    def before(self, path: Any) -> bytes | None:
        key = os.fspath(path)
        try:
            return Path(key).read_bytes() if os.path.isfile(key) else None
        except OSError:
            return None

    def file(self, path: Any, old: bytes | None) -> None:
        key = os.fspath(path)
        shown = records.readable(key)
        try:
            # A file that is gone now was removed.
            new = Path(key).read_bytes() if os.path.lexists(key) else None
            record: Record = {"record": "change", "kind": "file", "path": shown,
                              "diff": unified_diff(shown, old, new)}  # fmt: skip
            if old is None and new is not None:
                self._entry(record, _resolved(key))
        except OSError as error:
            return self._unrecorded(shown, error)
        self._tell(record)

    def folder(self, path: Any) -> None:
        shown = records.readable(os.fspath(path))
        record: Record = {"record": "change", "kind": "folder", "path": shown}
        try:
            self._entry(record, os.fspath(path))
        except OSError as error:
            return self._unrecorded(shown, error)
        self._tell(record)

    def command(self, line: Any, status: Any) -> None:
        self._tell({"record": "change", "kind": "command", "command": records.readable(line),
                    "status": _exit_status(status)})  # fmt: skip

    @staticmethod
    def _entry(record: Record, path: str) -> None:
        status = os.stat(path)
        record.update(mode=f"{stat.S_IMODE(status.st_mode):04o}", owner=_name(pwd.getpwuid, status.st_uid),
                      group=_name(grp.getgrgid, status.st_gid))  # fmt: skip

    def _unrecorded(self, shown: str, error: OSError) -> None:
        self.tell({"record": "note", "message": f"{shown} was changed, but the change cannot be recorded: "
                   f"{error.strerror or error}", "time": records.now()})  # fmt: skip

    def _tell(self, record: Record) -> None:
        record.update(known=True, time=records.now())
        self.tell(record)


def recording_inspector(base: type, recorder: Recorder) -> type:
    """A subclass of the inspector that tells `recorder` every change it makes."""
    return type("RecordingInspector", (base,), {"_JournalInspector__observer": recorder})


_MISSING = object()


class _PreviewedPath(type(Path())):  # type: ignore[misc]
    """A path whose file or folder is what the dry run of `_preview` would
    have made of it; one that the dry run did not touch is the host's."""

    _preview: Preview

    def _previewed(self) -> Any:
        return self._preview.texts.get(os.fspath(self), _MISSING)

    def exists(self) -> bool:
        text = self._previewed()
        if text is not _MISSING:
            return text is not None
        return os.fspath(self) in self._preview.folders or super().exists()

    def read_bytes(self) -> bytes:
        text = self._previewed()
        if text is _MISSING:
            return super().read_bytes()
        if text is None:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(self))
        return _bytes(text)

    def read_text(self, encoding: str | None = None, errors: str | None = None) -> str:
        if self._previewed() is _MISSING:
            return super().read_text(encoding, errors)
        # Decoded as reading the real file decodes it, line ends included.
        stream = io.TextIOWrapper(io.BytesIO(self.read_bytes()), io.text_encoding(encoding), errors)
        return stream.read()

    def is_file(self) -> bool:
        text = self._previewed()
        return super().is_file() if text is _MISSING else text is not None


def previewing_inspector(base: type, preview: Preview) -> type:
    """A subclass of the inspector that shows its changes to `preview`, reads
    its files as the dry run left them, says that it would repair where a real
    run says that it did, and marks a finding that follows a restart it did
    not make as not known."""
    previewed = type("PreviewedPath", (_PreviewedPath,), {"_preview": preview})

    class PreviewingInspector(base):
        _JournalInspector__preview = preview

        def _JournalInspector__send_report_message(self, level: Any, msg: Any) -> None:
            msg = reworded(msg)
            if preview.looked and type(msg) is str:
                msg = NOT_KNOWN + msg
            super()._JournalInspector__send_report_message(level, msg)

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


class _CandidateCheck:
    """The module `subprocess` as the engine sees it in a dry run: syslog-ng's
    syntax check, asked for after the dry run repaired the configuration, checks
    the repaired configuration; anything else goes to the real module."""

    def __init__(self, real: Any, preview: Preview, config_file: str) -> None:
        self._real = real
        self._preview = preview
        self._folder, self._main = os.path.split(config_file)
        self._namespaces: bool | None = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)

    def check_output(self, args: Any, *more: Any, **options: Any) -> Any:
        inside = self._folder.rstrip("/") + "/"
        candidates = {key: text for key, text in self._preview.texts.items() if key.startswith(inside)}
        syntax_check = isinstance(args, (list, tuple)) and list(args) == _SYNTAX_CHECK
        if not syntax_check:
            # The rules the kernel lists, say: what a restart would have changed.
            self._preview.look()
        if not syntax_check or not candidates:
            return self._real.check_output(args, *more, **options)
        with tempfile.TemporaryDirectory(prefix="tarno-dry-run-") as scratch:
            copy = os.path.join(scratch, "config")
            shutil.copytree(self._folder, copy, symlinks=True, copy_function=_copy_regular)
            for key, text in candidates.items():
                target = Path(copy, os.path.relpath(key, self._folder))
                if target.is_symlink() or target.exists():
                    target.unlink()
                if text is not None:
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(_bytes(text))
            try:
                return self._real.check_output(self._on_copy(copy, list(args)), *more, **options)
            except self._real.CalledProcessError as error:
                raise self._real.CalledProcessError(error.returncode, args, error.output, error.stderr) from None

    def _on_copy(self, copy: str, args: list[str]) -> list[str]:
        """The syntax check that reads `copy` where the live folder is: mounted
        over it in a private mount namespace; where no namespace may be made (no
        CAP_SYS_ADMIN), the copy's own paths written in its files instead."""
        namespace = ["unshare", "-m", "--propagation", "private"]
        if self._namespaces is None:
            probe = self._real.run([*namespace, "mount", "--make-rprivate", "/"], stdin=self._real.DEVNULL,
                                   stdout=self._real.DEVNULL, stderr=self._real.DEVNULL)  # fmt: skip
            self._namespaces = probe.returncode == 0
        if self._namespaces:
            script = 'mount --bind "$1" "$2" || exit 125; shift 2; exec "$@"'
            return [*namespace, "sh", "-c", script, "sh", copy, self._folder, *args]
        live, copied = (f'"{folder.rstrip("/")}/'.encode() for folder in (self._folder, copy))
        for where, _, names in os.walk(copy):
            for name in names:
                path = os.path.join(where, name)
                if not os.path.islink(path):
                    Path(path).write_bytes(Path(path).read_bytes().replace(live, copied))
        return [*args, "-f", os.path.join(copy, self._main)]


def _copy_regular(source: str, target: str) -> None:
    # A FIFO or a device in the folder would hold the copy up, and syslog-ng
    # reads no such file.
    if stat.S_ISREG(os.stat(source).st_mode):
        shutil.copy2(source, target)


class _LookingProcesses:
    """The engine's process test, which looks at what a restart changes."""

    def __init__(self, real: Any, preview: Preview) -> None:
        self._real = real
        self._preview = preview

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)

    def is_process_running(self, *args: Any, **options: Any) -> Any:
        self._preview.look()
        return self._real.is_process_running(*args, **options)


def check_candidates(module: types.ModuleType, preview: Preview, config_file: Any) -> Callable[[], None]:
    """Gives `module` the syntax check of the repaired configuration of
    `config_file` and its folder (see `_CandidateCheck`), and queries and a process test that tell `preview`
    when they look; returns what gives the module its own back."""
    stand_ins = {}
    if getattr(module, "subprocess", None) is not None and config_file is not None:
        stand_ins["subprocess"] = _CandidateCheck(module.subprocess, preview, os.path.abspath(config_file))
    if getattr(module, "SystemGetter", None) is not None:
        stand_ins["SystemGetter"] = _LookingProcesses(module.SystemGetter, preview)
    for name, stand_in in stand_ins.items():
        setattr(module, name, stand_in)

    def restore() -> None:
        for name, stand_in in stand_ins.items():
            if getattr(module, name) is stand_in:
                setattr(module, name, stand_in._real)

    return restore


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
            action = "remove" if record["diff"].split("\n", 2)[1:2] == ["+++ /dev/null"] else "change"
            print(f"{verb} {'create' if made else action} {record['path']}{made}:")
            # The diff's own bytes, line ends and bytes that are not UTF-8 included.
            sys.stdout.flush()
            sys.stdout.buffer.write(_bytes(record["diff"]))
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
