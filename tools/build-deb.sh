#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the Debian package from a clean copy of the tracked files, into
# build-deb/, and checks it: lintian (no error, no warning) and its manual page
# rendered with man's warnings on. Run as root on Debian 12 or 13.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh --release

out=$PWD/build-deb
rm -rf "$out"
mkdir -p "$out/src/tarno-event-diagnostics"
# Only what git tracks: no build trees or caches of this checkout in the package.
# safe.directory: root may build a checkout that another user cloned.
git -c safe.directory="$PWD" ls-files -z |
    tar --null -T - -cf - | tar -xf - -C "$out/src/tarno-event-diagnostics"

echo "== dpkg-buildpackage"
# Debian's own tools and interpreter only, whatever this shell has on its path.
(cd "$out/src/tarno-event-diagnostics" &&
    env -u PYTHONPATH -u PYTHONHOME PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log"
    echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
rm -rf "$out/src"
changes=$(ls "$out"/*.changes)
deb=$(ls "$out"/tarno-event-diagnostics_*.deb)

echo "== lintian"
lintian --info --display-info --fail-on error,warning "$changes"
echo "lintian: no error, no warning"

echo "== manual page"
man_dir=$(mktemp -d)
trap 'rm -rf "$man_dir"' EXIT
dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$man_dir" ./usr/share/man/man8/tarno-event-diagnostics.8.gz
warnings=$(MANWIDTH=80 man --warnings -l "$man_dir/usr/share/man/man8/tarno-event-diagnostics.8.gz" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    printf '%s\n' "$warnings" >&2
    exit 1
fi
echo "man renders tarno-event-diagnostics(8) without warnings"

dpkg-deb --show --showformat='${Package} ${Version} ${Architecture}: Installed-Size ${Installed-Size} KiB\n' "$deb"
echo "built $deb"
