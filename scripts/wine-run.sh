#!/usr/bin/env bash
# Runs a Windows console program under Wine in a throwaway prefix, its standard
# input, output and exit code passed through: for the tests' Windows helpers
# (out/windows/x64/fold_names.exe).
# Usage: scripts/wine-run.sh PROGRAM.exe [ARGUMENT...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
source "$root/scripts/wine.sh"
[ $# -ge 1 ] || { echo "wine-run: usage: scripts/wine-run.sh PROGRAM.exe [ARGUMENT...]" >&2; exit 2; }
wine_setup
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-run-XXXXXX")
trap '"$WINESERVER" --kill 2>/dev/null || true; rm -rf "$work"' EXIT
wine_prefix "$work/prefix"
"$WINE" "$@"
