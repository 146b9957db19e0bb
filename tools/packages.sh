#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
set -euo pipefail
packages=(python3-dev pybind11-dev meson ninja-build python3-mesonpy python3-dateutil
          python3-pytest python3-hypothesis python3-pip googletest libgtest-dev g++ pkg-config
          syslog-ng-core auditd python3.11-dbg util-linux passwd dpkg strace
          # the Debian package: building, lintian, the manual page, the units
          git build-essential debhelper dh-python pybuild-plugin-pyproject python3-all-dev
          scdoc lintian man-db systemd
          # machine-readable results: metrics, JSON checks, the fleet playbook
          python3-prometheus-client jq ansible-core
          # the units under a real systemd: a Debian 12 root booted in a container,
          # the package's autopkgtest run there
          mmdebstrap systemd-container autopkgtest)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    # apt's progress goes to a log; it is shown only when the installation fails.
    log=$(mktemp /tmp/tarno-packages.XXXXXX.log)
    echo "== installing ${#missing[@]} Debian packages (log: $log)"
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "installing the Debian packages failed; the whole log: $log" >&2
        exit 1
    fi
fi
