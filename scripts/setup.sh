#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing) and builds.
# Usage: scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
ensure_packages cmake g++ make libsqlite3-dev libicu-dev libcli11-dev nlohmann-json3-dev \
  libgtest-dev libbenchmark-dev sqlite3

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# CEUPDATE_TARGET=NAME builds that target alone (the demo needs only ceupdate).
cmake --build "$build_dir" -j"$(nproc)" ${CEUPDATE_TARGET:+--target "$CEUPDATE_TARGET"}
