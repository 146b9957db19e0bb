#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds, and runs every test, on both supported
# releases (Debian 12 and Debian 13), as root:
#   test.sh                 this release: the C++ units, the installable wheel, the
#                           Debian package (built from a clean copy, lintian, its
#                           manual page), the Python suite under AddressSanitizer +
#                           UndefinedBehaviorSanitizer and under the debug
#                           interpreter with reference counting; then the same for
#                           the other release in a root of its own
#                           (tools/release-root.sh); last the Python suite and the
#                           system tests, in which each release's package is
#                           installed under its own systemd in a container.
#   test.sh --this-release  this release without the system tests and the wheel
#                           (what tools/release-root.sh runs in the other
#                           release's root)
# With CI=true a system test that cannot run fails, and so does an other release
# that cannot be reached; otherwise the last line says what did not run.
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1-} in
'') whole=yes ;;
--this-release) whole= ;;
*) echo "usage: $0 [--this-release]" >&2; exit 2 ;;
esac

py=/usr/bin/python3
this=$(. /etc/os-release && echo "$PRETTY_NAME")
part() { printf '== %s [%d:%02d]\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }
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

work=$(mktemp -d)
roots_job=
# A root still being made when this script ends is given up (a half-made root is
# never used, and the next run starts it again).
trap '[[ -z $roots_job ]] || kill -- "-$roots_job" 2>/dev/null; rm -rf "$work"' EXIT
export TARNO_SKIP_SUMMARY=$work/skipped
not_run=()
if [[ $whole ]]; then
    bash tools/packages.sh
    other=$(bash tools/release-root.sh --other)
    case $other in bookworm) other_name="Debian 12" ;; *) other_name="Debian 13" ;; esac
    # The roots that the other release and the containers need are made (on
    # first use only) while this release is tested.
    roots_log=$PWD/build-$other/roots.log
    mkdir -p "build-$other"
    roots=("build:$other" "boot:$other" "boot:$(bash tools/release-root.sh --this)")
    part "roots of the containers and of $other_name (${roots[*]}): made in the background if not cached" \
        "(log: $roots_log)"
    setsid "$py" tests/system/system_container.py "${roots[@]}" >"$roots_log" 2>&1 &
    roots_job=$!
else
    bash tools/packages.sh --release
fi

part "build ($this)"
setup build
part "C++ unit tests"
meson test -C build --print-errorlogs

# The package's build (pybuild's pyproject plugin) makes the same meson-python
# wheel; in the other release's root that build is the check, which spares a
# whole build there.
if [[ $whole ]]; then
    part "installable wheel"
    mkdir "$work/wheel"
    "$py" -m pip wheel -q --no-build-isolation --no-deps -w "$work/wheel" . 2>/dev/null
    # --ignore-installed: the same version may be installed already, from the Debian package.
    "$py" -m pip install -q --no-deps --ignore-installed --root "$work/wheel/root" "$work/wheel"/*.whl 2>/dev/null
    site=$(find "$work/wheel/root" -type d -name dist-packages | head -n 1)
    (cd "$work/wheel" && PYTHONPATH="$site" "$py" -c \
        'import tarno_event_diagnostics.journal_inspector as j; print("wheel imports", j.JournalInspector.__module__)')
    PYTHONPATH="$site" "$work/wheel/root/usr/local/bin/tarno-event-diagnostics" --help >/dev/null
    echo "wheel installs its console script"
fi

part "Debian package"
bash tools/build-deb.sh

part "sanitizers (AddressSanitizer + UndefinedBehaviorSanitizer)"
setup build-sanitize -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debug
# libstdc++ is preloaded too: the interpreter does not link it, and AddressSanitizer
# must find the real __cxa_throw when it starts.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 suite build-sanitize "$py" tests/python

# The debug build of this release's own Python (python3-dbg).
debug_python=/usr/bin/python$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-dbg
part "debug interpreter ($debug_python; reference counts)"
setup build-debug -Dpython="$debug_python" -Dbuildtype=debug
suite build-debug "$debug_python" -W ignore::ResourceWarning tests/python

if [[ ! $whole ]]; then
    part "Python suite"
    suite build "$py" tests/python
    part "$this: every test passed"
    exit 0
fi

part "the roots of the containers and of $other_name (what mmdebstrap does, as it comes)"
tail --pid="$roots_job" -n +1 -f "$roots_log"
packages=("$PWD"/build-deb/tarno-event-diagnostics_*.deb)
if wait "$roots_job"; then
    roots_job=
    bash tools/release-root.sh "$other"
    packages+=("$PWD/build-$other"/src/build-deb/tarno-event-diagnostics_*.deb)
elif [[ ${CI-} != true ]] && grep -q "archive .* is not reachable" "$roots_log"; then
    not_run+=("$other_name: $(grep -m1 "is not reachable" "$roots_log")")
else
    echo "the roots could not be made; the whole log: $roots_log" >&2
    exit 1
fi

# The system tests act on the whole machine (the kernel's audit rules, the
# process table): checkouts tested at the same time on one machine take turns.
lock=${TARNO_SYSTEM_TESTS_LOCK:-/run/lock/tarno-event-diagnostics-system-tests.lock}
part "Python suite"
suite build "$py" tests/python
part "system tests (the containers: ${#packages[@]} packages; lock: $lock)"
exec {held}>>"$lock"
if ! flock -n "$held"; then
    echo "another test run holds $lock; waiting for it"
    flock "$held"
    part "got the lock"
fi
TARNO_DEB=${packages[0]} TARNO_CONTAINER_DEBS=$(IFS=:; echo "${packages[*]}") \
    suite build "$py" tests/system
flock -u "$held"

if [[ -s $TARNO_SKIP_SUMMARY ]]; then
    while read -r line; do not_run+=("$line"); done <"$TARNO_SKIP_SUMMARY"
fi
if ((${#not_run[@]})); then
    part "passed, but NOT every test ran (CI=true makes this a failure): $(IFS=';'; echo "${not_run[*]}")"
    exit 0
fi
part "every test passed, on $this and in the root of $other_name"
