# SPDX-License-Identifier: LGPL-2.1-or-later
"""Self-diagnostics of the security-event logging subsystem.

The engine lives in the native modules ``packages`` and ``journal_inspector``.
"""

# A development build keeps the native modules in the build tree; extend_path
# lets a second ``tarno_event_diagnostics`` directory on sys.path join this one.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
del extend_path
