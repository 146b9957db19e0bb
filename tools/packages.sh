#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages that building, running and testing need, as the
# running release names them (Debian 12 or 13).
#   packages.sh           everything, for tools/test.sh on this machine
#   packages.sh --release only what one release's build, C++ tests, Python suite
#                         and package need (tools/test.sh --this-release)
#   packages.sh --list    prints those, one a line: the recipe of the root in
#                         which tools/release-root.sh tests the other release
set -euo pipefail
# One release: build, C++ tests, the Python suite (faults injected with strace,
# a private syslog-ng), the package (lintian, the manual page), the debug
# interpreter of the default Python (python3-dbg: python3.11-dbg on Debian 12,
# python3.13-dbg on Debian 13). ccache: rebuilds in a cached root are quick.
release=(python3-dev pybind11-dev meson ninja-build python3-mesonpy python3-dateutil
         python3-pytest python3-pytest-timeout python3-hypothesis python3-pip
         googletest libgtest-dev g++ pkg-config ccache
         syslog-ng-core python3-dbg util-linux passwd dpkg strace python3-prometheus-client
         git build-essential debhelper dh-python pybuild-plugin-pyproject python3-all-dev
         scdoc lintian man-db)
case ${1-} in
--list) printf '%s\n' "${release[@]}"; exit 0 ;;
--release) packages=("${release[@]}") ;;
'') packages=("${release[@]}"
          # the system tests: the real audit daemon, and the units under systemd
          auditd systemd
          # machine-readable results: metrics, JSON checks, the fleet playbook
          jq ansible-core ansible-lint
          # promtool for the alerting rules; the node exporter's textfile collector
          prometheus prometheus-node-exporter python3-yaml
          # the units under a real systemd: a root of each release booted in a
          # container, the package's autopkgtest run there; the other release's
          # build and tests in a root of its own
          mmdebstrap systemd-container autopkgtest) ;;
*) echo "usage: $0 [--release | --list]" >&2; exit 2 ;;
esac
# Servers that these packages would start on every address when installed; the
# tests run their binaries themselves, on loopback only.
servers=(prometheus prometheus-node-exporter)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    # apt's progress goes to a log; it is shown only when the installation fails.
    log=$(mktemp /tmp/tarno-packages.XXXXXX.log)
    echo "== installing ${#missing[@]} Debian packages (log: $log)"
    export DEBIAN_FRONTEND=noninteractive
    # invoke-rc.d and deb-systemd-invoke start no service while policy-rc.d says
    # 101; a machine that has a policy of its own keeps it.
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
        printf '#!/bin/sh\n# tools/packages.sh: no service starts while it installs.\nexit 101\n' \
            >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "installing the Debian packages failed; the whole log: $log" >&2
        exit 1
    fi
fi
# The servers installed just now stay off, also after the next boot and on
# upgrades (deb-systemd-invoke starts no disabled unit); one that a policy of
# this machine let start is stopped.
for p in "${missing[@]}"; do
    for server in "${servers[@]}"; do
        [[ $p == "$server" ]] || continue
        if [[ -d /run/systemd/system ]]; then
            systemctl disable --now --quiet "$server.service"
        else
            systemctl disable --quiet "$server.service" 2>/dev/null || true
            update-rc.d "$server" disable >/dev/null 2>&1 || true
            /etc/init.d/"$server" stop >/dev/null 2>&1 || true
        fi
    done
done
