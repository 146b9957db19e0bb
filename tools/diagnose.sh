#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds, and diagnoses a simulated broken host with the
# freshly built engine: a private copy of this machine in a mount namespace, with
# the real syslog-ng, auditd and kernel audit rules. This machine is not touched.
# A real diagnosis of this machine: tarno-event-diagnostics run
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
meson compile -C build >/dev/null
exec /usr/bin/python3 tools/simulated_host.py "$@"
