# SPDX-License-Identifier: LGPL-2.1-or-later
"""Event-group definitions of the syslog-ng module package.

The definitions live in one directory per kind of event under the module
package's share directory:

    /usr/share/syslog-ng-mod-tarno/event-groups/<name>/<group>

Each entry (a file or a directory) in ``<name>/`` defines one event group of
that kind and is named after the group; entries whose names begin with a dot
(hidden and temporary files) are ignored.
"""

from __future__ import annotations

import os
from pathlib import Path

from syslog_ng_mod_tarno.common.mod_tarno_common import ModTarnoCommon


class ModTarnoEvents:
    """Reads the configured event groups.

    ``base_dir`` replaces the class attribute ``event_groups_dir`` (by default
    /usr/share/syslog-ng-mod-tarno/event-groups) for this object.
    """

    event_groups_dir = ModTarnoCommon.event_groups_dir

    def __init__(self, base_dir: str | os.PathLike[str] | None = None) -> None:
        self.base_dir = Path(self.event_groups_dir if base_dir is None else base_dir)

    def get_event_groups(self, name: str) -> list[str]:
        """Returns the names of the event groups of kind ``name``, sorted.

        The list is empty when the kind has no directory or the directory has
        no entries. ``name`` must be one plain directory name; anything that
        could lead out of the base directory raises ``ValueError``. Other
        errors of reading the directory (no permission, a file where the
        directory should be) propagate: a broken installation is not the same
        as one without groups.
        """
        if not name or name in (".", "..") or "/" in name or "\0" in name:
            raise ValueError(f"invalid event group kind: {name!r}")
        try:
            entries = os.scandir(self.base_dir / name)
        except FileNotFoundError:
            return []
        with entries:
            return sorted(
                entry.name
                for entry in entries
                if not entry.name.startswith(".") and _is_definition(entry)
            )


def _is_definition(entry: os.DirEntry[str]) -> bool:
    # A dangling link or an entry that vanished defines nothing.
    try:
        return entry.is_file() or entry.is_dir()
    except OSError:
        return False
