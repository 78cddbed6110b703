#!/usr/bin/env bash
# Runs the 64-bit Windows build of the installer (out/windows/x64/Update.exe) under
# Wine on a device image, as "ceupdate run --device IMAGE --yes UPDATE_DIR" runs it on
# the host, and leaves the image holding the result.
#
# Usage: scripts/run-windows.sh IMAGE UPDATE_DIR
#
# A fresh Wine prefix (copied from a template made once in out/windows/wine-template)
# gets the image's registry (ceupdate reg export, then Wine's own reg import). The
# image is its drive D: and the program's current drive, so \storage\mxip_lang.vol is
# IMAGE/storage/mxip_lang.vol; a copy of the update folder with Update.exe in it is
# E:\Storage Card. observer.exe starts the program, prints the status window's text and
# the completion message as "ceupdate run" prints them without a terminal, presses OK
# and lists every key the run wrote under HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and
# HKEY_LOCAL_MACHINE, with all its values; "ceupdate reg import" writes them into the
# image's registry. The windows are drawn on $DISPLAY, or on an Xvfb of its own
# when none is set. Exit code: the installer's; 2 when the run could not be made.
#
# RUN_WINDOWS_WAIT_FOR=FILE (for scripts/screenshots.sh): the completion message stays
# up until FILE exists. For looking into a run: RUN_WINDOWS_KEEP=1 keeps the work folder
# (the prefix, the listing of what was written), RUN_WINDOWS_XTRACE=1 traces each step
# with the time.
set -euo pipefail
[ -n "${RUN_WINDOWS_XTRACE:-}" ] && { PS4='+ $(date +%s.%N | cut -c7-14) '; set -x; }
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/lib.sh"
source "$root/scripts/wine.sh"

fail() { echo "run-windows: $*" >&2; exit 2; }
[ $# -eq 2 ] || fail "usage: scripts/run-windows.sh IMAGE UPDATE_DIR"
[ -f "$1/.ceimage/registry.db" ] || fail "$1 is not a device image"
[ -d "$2" ] || fail "the update folder $2 does not exist"
image=$(realpath "$1")
update=$(realpath "$2")

wine_setup
ceupdate="${CEUPDATE:-$root/build/ceupdate}"
[ -x "$ceupdate" ] || CEUPDATE_TARGET=ceupdate bash "$root/scripts/setup.sh" "$root/build" >/dev/null
windows="$root/out/windows/x64"
[ -f "$windows/Update.exe" ] || bash "$root/scripts/build-windows.sh" x64 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/run-windows-XXXXXX")
xvfb_pid=""
cleanup() {
  WINEPREFIX="$work/prefix" "$WINESERVER" --kill 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  if [ -n "${RUN_WINDOWS_KEEP:-}" ]; then echo "run-windows: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# This run's prefix, with D: the image and E: the storage card.
wine_prefix "$work/prefix"
ln -s "$image" "$WINEPREFIX/dosdevices/d:"
mkdir -p "$work/card/Storage Card"
ln -s "$work/card" "$WINEPREFIX/dosdevices/e:"
cp -a "$update"/. "$work/card/Storage Card/"
cp "$windows/Update.exe" "$work/card/Storage Card/Update.exe"
wine_display "$work"

# The image's registry, seeded into the prefix.
{
  printf '\xff\xfe'
  for top in HKEY_CLASSES_ROOT HKEY_CURRENT_USER HKEY_LOCAL_MACHINE; do
    "$ceupdate" reg export --device "$image" "$top" | { [ "$top" = HKEY_CLASSES_ROOT ] && cat || tail -n +2; }
  done | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE
} > "$work/image.reg"
# Wine's reg now and then fails on a fresh prefix while its server starts (seen once in
# some hundreds of runs); the import is the same whenever it is made, so it is tried
# again on a restarted server before the run is given up, and what Wine said is shown.
imported=""
for attempt in 1 2 3; do
  if "$WINE" reg import "$(windows_path "$work/image.reg")" >"$work/reg-import.log" 2>&1; then
    imported=1
    break
  fi
  "$WINESERVER" --kill 2>/dev/null || true
  sleep "$attempt"
done
[ -n "$imported" ] || {
  tail -n 5 "$work/reg-import.log" >&2
  fail "Wine's reg import did not take the image's registry (3 tries)"
}

status=0
"$WINE" "$windows/observer.exe" ${RUN_WINDOWS_WAIT_FOR:+--wait-for "$(windows_path "$RUN_WINDOWS_WAIT_FOR")"} \
  "$(windows_path "$work/changes.reg")" 'E:\Storage Card\Update.exe' 'D:\' || status=$?
case $status in
  124) fail "Update.exe did not end within five minutes" ;;
  125) fail "observer.exe could not start Update.exe or list what it wrote" ;;
esac
"$WINESERVER" --kill 2>/dev/null || true
"$ceupdate" reg import --device "$image" "$work/changes.reg" >/dev/null ||
  fail "the run's registry changes could not be written into $image"
exit "$status"
