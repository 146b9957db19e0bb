#!/usr/bin/env bash
# Installs what is missing, builds, and runs one diagnosis of this machine with the
# freshly built engine; prints the report file. Arguments go to the tool, e.g. --block.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
meson compile -C build >/dev/null
report_dir=$(mktemp -d)
status=0
PYTHONPATH="$PWD/src:$PWD/build/src" /usr/bin/python3 -m tarno_event_diagnostics run \
    --verbose --report "$report_dir/self-diagnostics.report" "$@" || status=$?
echo "== report file $report_dir/self-diagnostics.report (exit status $status)"
cat "$report_dir/self-diagnostics.report"
exit "$status"
