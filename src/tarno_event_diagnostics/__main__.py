# SPDX-License-Identifier: LGPL-2.1-or-later
"""``python3 -m tarno_event_diagnostics``: the command-line tool (see cli)."""

from tarno_event_diagnostics.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
