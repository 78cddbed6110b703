#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the whole test suite.
# Usage: scripts/test.sh            the normal build, in build/
#        scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#        scripts/test.sh --windows  the Windows build (scripts/build-windows.sh) and the
#                                   difference test of host and Windows runs (label "windows")
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--windows" ]; then
  bash scripts/setup.sh build
  bash scripts/build-windows.sh
  ctest --test-dir build --output-on-failure -L windows
elif [ "${1:-}" = "--sanitize" ]; then
  bash scripts/setup.sh build-asan -DCEUPDATE_SANITIZE=ON -DCEUPDATE_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -LE windows
else
  bash scripts/setup.sh build
  ctest --test-dir build --output-on-failure -j"$(nproc)" -LE windows
fi
