#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing) and builds.
# Usage: scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libsqlite3-dev libicu-dev libcli11-dev nlohmann-json3-dev
          libgtest-dev libbenchmark-dev sqlite3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# CEUPDATE_TARGET=NAME builds that target alone (the demo needs only ceupdate).
cmake --build "$build_dir" -j"$(nproc)" ${CEUPDATE_TARGET:+--target "$CEUPDATE_TARGET"}
