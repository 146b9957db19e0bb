#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds, and runs every test: the C++ units, the Python
# suite, the system tests in a sandbox (as root), the installable wheel, the Debian
# package (built from a clean copy, lintian, its manual page; installed and purged
# in the sandbox), the Python suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the Python suite under the debug interpreter
# with reference counting.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh

py=/usr/bin/python3
setup() { # DIR [meson options...]
    local dir=$1
    shift
    if [ -f "$dir/build.ninja" ]; then
        meson setup --reconfigure "$dir" -Dtests=true -Dwerror=true "$@" >/dev/null
    else
        meson setup "$dir" -Dtests=true -Dwerror=true "$@" >/dev/null
    fi
    meson compile -C "$dir" >/dev/null
}
suite() { # BUILD-DIR INTERPRETER [pytest arguments...]
    local dir=$1 interpreter=$2
    shift 2
    PYTHONPATH="$PWD/src:$PWD/$dir/src" TARNO_BUILD_DIR="$PWD/$dir" \
        "$interpreter" -m pytest -q -p no:cacheprovider "$@"
}

echo "== build"
setup build
echo "== C++ unit tests"
meson test -C build --print-errorlogs

echo "== installable wheel"
wheel_dir=$(mktemp -d)
trap 'rm -rf "$wheel_dir"' EXIT
"$py" -m pip wheel -q --no-build-isolation --no-deps -w "$wheel_dir" . 2>/dev/null
# --ignore-installed: the same version may be installed already, from the Debian package.
"$py" -m pip install -q --no-deps --ignore-installed --root "$wheel_dir/root" "$wheel_dir"/*.whl 2>/dev/null
site=$(find "$wheel_dir/root" -type d -name dist-packages | head -n 1)
(cd "$wheel_dir" && PYTHONPATH="$site" "$py" -c \
    'import tarno_event_diagnostics.journal_inspector as j; print("wheel imports", j.JournalInspector.__module__)')
PYTHONPATH="$site" "$wheel_dir/root/usr/local/bin/tarno-event-diagnostics" --help >/dev/null
echo "wheel installs its console script"

echo "== Debian package"
bash tools/build-deb.sh

echo "== sanitizers (AddressSanitizer + UndefinedBehaviorSanitizer)"
setup build-sanitize -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debug
# libstdc++ is preloaded too: the interpreter does not link it, and AddressSanitizer
# must find the real __cxa_throw when it starts.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 suite build-sanitize "$py" tests/python

echo "== debug interpreter (reference counts)"
setup build-debug -Dpython=python3.11-dbg -Dbuildtype=debug
suite build-debug /usr/bin/python3.11-dbg -W ignore::ResourceWarning tests/python

echo "== Python suite and system tests"
TARNO_DEB=$(ls "$PWD"/build-deb/tarno-event-diagnostics_*.deb) suite build "$py" tests/python tests/system
