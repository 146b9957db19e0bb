#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and tests the tree on the Debian release that this machine does not run
# (Debian 13 on a Debian 12 machine, Debian 12 on a Debian 13 one), in a root of
# that release made with mmdebstrap and cached beside the container roots
# (tests/system/system_container.py). A copy of the tracked files goes to
# build-SUITE/src; `tools/test.sh --this-release` runs there under systemd-nspawn
# without boot: the build with -Werror, the C++ tests, the package (lintian,
# the manual page), the sanitizers and the debug interpreter, and the
# Python suite. The package stays in build-SUITE/src/build-deb/ for the
# container test. Run as root.
#   release-root.sh [SUITE]      SUITE: bookworm or trixie (default: the other one)
#   release-root.sh --other      prints the codename of the other release
#   release-root.sh --this       prints the codename of this machine's release
set -euo pipefail
cd "$(dirname "$0")/.."
py=/usr/bin/python3

this=$(. /etc/os-release && echo "${VERSION_CODENAME-}")
case $this in
bookworm) other=trixie ;;
trixie) other=bookworm ;;
*) echo "this machine runs '$this'; Debian 12 (bookworm) or 13 (trixie) is needed" >&2; exit 1 ;;
esac
case ${1-} in
--other) echo "$other"; exit 0 ;;
--this) echo "$this"; exit 0 ;;
esac
suite=${1:-$other}

echo "== root of $suite with the build and test packages"
root=$("$py" tests/system/system_container.py "build:$suite")
echo "   $root"

work=$PWD/build-$suite
rm -rf "$work/src"
mkdir -p "$work/src" "$work/ccache"
# The tracked files of this checkout, as they are now, in a checkout of their
# own: build-deb.sh takes what git tracks. safe.directory: root may test a
# checkout that another user cloned.
git -c safe.directory="$PWD" ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work/src"
git -C "$work/src" init -q
git -C "$work/src" add -A

echo "== $suite: tools/test.sh --this-release in the root (log: $work/test.log)"
# Without boot; the root's own /dev; the cache stays clean (its writes go to a
# tmpfs); no network and no audit control; the copy and a compiler cache of this
# release are the only folders of this machine inside. CAP_SYSLOG, which nspawn
# does not give by default: syslog-ng takes it at start and says so on standard
# error when it cannot, and the Python suite's syntax checks expect silence.
# Bounded as a whole.
started=$SECONDS
set +e
nspawn=(systemd-nspawn --quiet --register=no --keep-unit --as-pid2 --console=pipe
        --volatile=overlay --private-network --drop-capability=CAP_AUDIT_CONTROL --capability=CAP_SYSLOG
        -D "$root" -M "tarno-$suite" --bind="$work/src:/tarno" --bind="$work/ccache:/var/cache/ccache"
        --chdir=/tarno --setenv=CCACHE_DIR=/var/cache/ccache --setenv=CI="${CI-}" --setenv=LANG=C.UTF-8
        --setenv=PATH=/usr/sbin:/usr/bin:/sbin:/bin
        bash tools/test.sh --this-release)
# nspawn keeps its state under /run/systemd/nspawn; a tmpfs of a mount namespace
# of its own takes it, so that nothing of the run stays on this machine.
timeout --kill-after=30 2400 unshare -m --propagation private /bin/sh -c \
    'mount -n -t tmpfs -o mode=0755 tmpfs /run/systemd && exec "$@"' sh "${nspawn[@]}" 2>&1 |
    tee "$work/test.log" | sed -u "s/^/   $suite: /"
status=${PIPESTATUS[0]}
set -e
if ((status != 0)); then
    echo "$suite: the build or its tests failed ($status); the whole log is $work/test.log" >&2
    exit 1
fi
echo "== $suite: built and tested in $((SECONDS - started)) s; package: $(ls "$work"/src/build-deb/tarno-event-diagnostics_*.deb)"
